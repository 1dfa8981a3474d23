#include "printengine/chart.h"
#include "printengine/paint.h"
#include "report_test_support.h"

#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

#include <cmath>

namespace printengine {
namespace {

using test::Jrxml;
using test::ParsePrepared;
using test::VectorRows;

const char* const Fields = "<field name=\"Region\" class=\"java.lang.String\"/>"
                           "<field name=\"Product\" class=\"java.lang.String\"/>"
                           "<field name=\"Amount\" class=\"java.lang.Double\"/>";

std::vector<std::vector<Value>> Sales() {
    return {{std::string("North"), std::string("Tea"), 10.0},
            {std::string("North"), std::string("Tea"), 15.0},
            {std::string("North"), std::string("Coffee"), 40.0},
            {std::string("South"), std::string("Tea"), 5.0},
            {std::string("South"), std::string("Milk"), 20.0}};
}

std::string CategoryChart(const std::string& kind, const std::string& chartAttrs,
                          const std::string& datasetAttrs, const std::string& plot = "",
                          const std::string& series = "$F{Region}",
                          const std::string& value = "$F{Amount}") {
    const std::string plotName = kind == "lineChart"                                 ? "linePlot"
                                 : kind == "areaChart" || kind == "stackedAreaChart" ? "areaPlot"
                                                                                     : "barPlot";
    return "<" + kind + "><chart " + chartAttrs +
           "><reportElement x=\"0\" y=\"0\" width=\"260\" height=\"150\"/>"
           "<chartTitle><titleExpression><![CDATA[\"Sales by \" + \"product\"]]>"
           "</titleExpression></chartTitle><chartLegend/></chart>"
           "<categoryDataset><dataset " +
           datasetAttrs + "/><categorySeries><seriesExpression><![CDATA[" + series +
           "]]></seriesExpression><categoryExpression><![CDATA[$F{Product}]]>"
           "</categoryExpression><valueExpression><![CDATA[" +
           value + "]]></valueExpression></categorySeries></categoryDataset><" + plotName + ">" +
           plot + "</" + plotName + "></" + kind + ">";
}

// Fills twice, as printing does, and returns every chart item of every page.
// `table`: the rows datasets read.
std::vector<PageItem> ChartItems(const Report& report, const std::vector<std::vector<Value>>& rows,
                                 const std::vector<std::vector<Value>>& table = {}) {
    FillState atEnd;
    const auto parameters = ParameterValues(report, {});
    TableOpener tables = [&](const std::string&, const std::vector<FieldDef>&) {
        return std::make_unique<VectorRows>(table);
    };
    VectorRows first(rows);
    FillReport(
        report, parameters, first, [](Page&&) {}, nullptr, &atEnd, &tables);
    VectorRows second(rows);
    std::vector<PageItem> charts;
    FillReport(
        report, parameters, second,
        [&](Page&& page) {
            for (auto& item : page.items)
                if (item.chart) charts.push_back(item);
        },
        &atEnd, nullptr, &tables);
    return charts;
}

double ValueOf(const ChartData& d, const char* series, const char* category) {
    int s = -1, c = -1;
    for (size_t i = 0; i < d.series.size(); ++i)
        if (d.series[i] == series) s = int(i);
    for (size_t i = 0; i < d.categories.size(); ++i)
        if (d.categories[i] == category) c = int(i);
    const auto it = d.values.find({s, c});
    return it == d.values.end() ? NAN : it->second;
}

TEST(Chart, ReadsTheChartsItDrawsAndRefusesTheOthersByName) {
    const std::string body = std::string(Fields) + "<summary><band height=\"160\">" +
                             CategoryChart("barChart", "isShowLegend=\"false\"", "",
                                           "<plot orientation=\"Horizontal\">"
                                           "<seriesColor seriesOrder=\"1\" color=\"#123456\"/>"
                                           "</plot><valueAxisFormat><axisFormat "
                                           "tickLabelMask=\"#,##0.0\"/></valueAxisFormat>") +
                             "</band></summary>";
    Report r = ParsePrepared(Jrxml(body, 400));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    const Element& e = r.summary->elements.at(0);
    ASSERT_EQ(e.kind, ElementKind::Chart);
    EXPECT_EQ(e.chart->type, ChartType::Bar);
    EXPECT_TRUE(e.chart->horizontal);
    EXPECT_FALSE(e.chart->showLegend);
    EXPECT_EQ(e.chart->seriesColors.at(1), QColor(0x12, 0x34, 0x56));
    EXPECT_EQ(e.chart->valueAxis.tickLabelMask, "#,##0.0");

    const std::string meter =
        "<summary><band height=\"100\"><meterChart><chart><reportElement x=\"0\" y=\"0\" "
        "width=\"100\" height=\"100\"/></chart></meterChart></band></summary>";
    const Report refused = ParsePrepared(Jrxml(meter, 400));
    ASSERT_EQ(refused.refusals.size(), 1u);
    EXPECT_NE(refused.refusals[0].find("\"meterChart\""), std::string::npos);

    // A run over a sub-dataset that is not declared: refused, named.
    const std::string run = std::string(Fields) + "<summary><band height=\"160\">" +
                            CategoryChart("barChart", "", "") + "</band></summary>";
    std::string withRun = run;
    withRun.replace(withRun.find("<dataset />"), 11,
                    "<dataset><datasetRun subDataset=\"x\"/></dataset>");
    const Report subRun = ParsePrepared(Jrxml(withRun, 400));
    ASSERT_FALSE(subRun.refusals.empty());
    EXPECT_NE(subRun.refusals[0].find("the unknown subDataset \"x\" in a datasetRun"),
              std::string::npos)
        << subRun.refusals[0];
}

TEST(Chart, DatasetRunsReadTheSubDatasetsRowsForTheGroupTheyAreIn) {
    // Each area's footer and header charts run the sales of that area; the
    // title reads the report's row, the series the sub-dataset's.
    const std::string dataset =
        "<subDataset name=\"Sales\"><parameter name=\"Wanted\" class=\"java.lang.String\"/>" +
        std::string(Fields) +
        "<filterExpression>$P{Wanted}.equals($F{Region})</filterExpression></subDataset>";
    const std::string run = "<dataset><datasetRun subDataset=\"Sales\"><datasetParameter "
                            "name=\"Wanted\"><datasetParameterExpression>$F{Area}"
                            "</datasetParameterExpression></datasetParameter></datasetRun>"
                            "</dataset>";
    std::string footer = CategoryChart("barChart", "", "");
    footer.replace(footer.find("<dataset />"), 11, run);
    const std::string title = "\"Sales by \" + \"product\"";
    footer.replace(footer.find(title), title.size(), "\"Sales in \" + $F{Area}");
    std::string header =
        CategoryChart("lineChart", "evaluationTime=\"Group\" evaluationGroup=\"A\"", "");
    header.replace(header.find("<dataset />"), 11, run);
    const std::string body = dataset +
                             "<field name=\"Area\" class=\"java.lang.String\"/>"
                             "<group name=\"A\"><groupExpression>$F{Area}</groupExpression>"
                             "<groupHeader><band height=\"160\">" +
                             header + "</band></groupHeader><groupFooter><band height=\"160\">" +
                             footer + "</band></groupFooter></group>";
    const Report r = ParsePrepared(Jrxml(body, 2000));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    const std::vector<std::vector<Value>> areas = {
        {std::string("North")}, {std::string("North")}, {std::string("South")}};
    const auto charts = ChartItems(r, areas, Sales());
    ASSERT_EQ(charts.size(), 4u);
    for (size_t i : {0u, 1u}) { // North's header and footer
        EXPECT_EQ(charts[i].chart->series, std::vector<QString>{"North"}) << i;
        EXPECT_EQ(charts[i].chart->categories, (std::vector<QString>{"Tea", "Coffee"})) << i;
        EXPECT_EQ(ValueOf(*charts[i].chart, "North", "Tea"), 15.0) << i;
    }
    EXPECT_EQ(charts[1].chart->title, "Sales in North");
    for (size_t i : {2u, 3u}) { // South's
        EXPECT_EQ(charts[i].chart->series, std::vector<QString>{"South"}) << i;
        EXPECT_EQ(charts[i].chart->categories, (std::vector<QString>{"Tea", "Milk"})) << i;
        EXPECT_EQ(ValueOf(*charts[i].chart, "South", "Milk"), 20.0) << i;
    }
    EXPECT_EQ(charts[3].chart->title, "Sales in South");

    // The series read the sub-dataset, where the report's field is unknown.
    std::string bad = body;
    bad.replace(bad.find("<seriesExpression><![CDATA[$F{Region}"), 37,
                "<seriesExpression><![CDATA[$F{Area}");
    const Report refused = ParsePrepared(Jrxml(bad, 2000));
    ASSERT_FALSE(refused.refusals.empty());
    EXPECT_NE(refused.refusals[0].find("$F{Area}"), std::string::npos) << refused.refusals[0];
}

TEST(Chart, ThreeDimensionalChartsAreReadAsFlatOnes) {
    const std::string pie =
        "<pie3DChart><chart><reportElement x=\"0\" y=\"0\" width=\"100\" height=\"100\"/>"
        "</chart><pieDataset><pieSeries><keyExpression><![CDATA[$F{Product}]]></keyExpression>"
        "<valueExpression><![CDATA[$F{Amount}]]></valueExpression></pieSeries></pieDataset>"
        "<pie3DPlot depthFactor=\"0.2\"><plot/></pie3DPlot></pie3DChart>";
    std::string bar = CategoryChart("bar3DChart", "", "");
    bar.replace(bar.find("<barPlot>"), 9, "<bar3DPlot xOffset=\"4\">");
    bar.replace(bar.find("</barPlot>"), 10, "</bar3DPlot>");
    const Report r = ParsePrepared(Jrxml(std::string(Fields) + "<summary><band height=\"300\">" +
                                             pie + bar + "</band></summary>",
                                         500));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    ASSERT_EQ(r.summary->elements.size(), 2u);
    EXPECT_EQ(r.summary->elements[0].chart->type, ChartType::Pie);
    EXPECT_EQ(r.summary->elements[0].chart->series.size(), 1u);
    EXPECT_TRUE(r.summary->elements[0].chart->showLabels); // pies are labelled by default
    EXPECT_EQ(r.summary->elements[1].chart->type, ChartType::Bar);
}

TEST(Chart, CategoryValuesKeepFirstSeenOrderAndTheLastValueGiven) {
    const std::string body = std::string(Fields) + "<summary><band height=\"160\">" +
                             CategoryChart("barChart", "", "") + "</band></summary>";
    const Report r = ParsePrepared(Jrxml(body, 400));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    const auto charts = ChartItems(r, Sales());
    ASSERT_EQ(charts.size(), 1u);
    const ChartData& d = *charts[0].chart;
    EXPECT_EQ(d.series, (std::vector<QString>{"North", "South"}));
    EXPECT_EQ(d.categories, (std::vector<QString>{"Tea", "Coffee", "Milk"}));
    // A second Tea row for North replaces the first (a sum is a variable's job).
    EXPECT_EQ(ValueOf(d, "North", "Tea"), 15.0);
    EXPECT_EQ(ValueOf(d, "South", "Milk"), 20.0);
    EXPECT_TRUE(std::isnan(ValueOf(d, "South", "Coffee")));
    EXPECT_EQ(d.title, "Sales by product");

    // incrementWhenExpression: only the rows it holds true for count.
    std::string only = body;
    only.replace(only.find("<dataset />"), 11,
                 "<dataset><incrementWhenExpression><![CDATA[$F{Amount} > 12]]>"
                 "</incrementWhenExpression></dataset>");
    const Report some = ParsePrepared(Jrxml(only, 400));
    ASSERT_TRUE(some.refusals.empty()) << some.refusals.front();
    const auto filtered = ChartItems(some, Sales());
    ASSERT_EQ(filtered.size(), 1u);
    EXPECT_EQ(filtered[0].chart->categories, (std::vector<QString>{"Tea", "Coffee", "Milk"}));
    EXPECT_EQ(filtered[0].chart->series, (std::vector<QString>{"North", "South"}));
    EXPECT_EQ(ValueOf(*filtered[0].chart, "North", "Tea"), 15.0);
    EXPECT_TRUE(std::isnan(ValueOf(*filtered[0].chart, "South", "Tea"))); // 5 is left out
}

TEST(Chart, GroupChartsShowTheirGroupsDataWhateverTheirPlace) {
    // A footer chart evaluated now and a header chart evaluated at the
    // group's end both show only the group's rows; a summary chart evaluated
    // at the report's end shows them all.
    const std::string group =
        "<group name=\"R\"><groupExpression><![CDATA[$F{Region}]]></groupExpression>"
        "<groupHeader><band height=\"160\">" +
        CategoryChart("barChart", "evaluationTime=\"Group\" evaluationGroup=\"R\"",
                      "resetType=\"Group\" resetGroup=\"R\"") +
        "</band></groupHeader><groupFooter><band height=\"160\">" +
        CategoryChart("stackedBarChart", "", "resetType=\"Group\" resetGroup=\"R\"") +
        "</band></groupFooter></group>";
    const std::string body = std::string(Fields) + group + "<summary><band height=\"160\">" +
                             CategoryChart("lineChart", "evaluationTime=\"Report\"", "") +
                             "</band></summary>";
    const Report r = ParsePrepared(Jrxml(body, 2000));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    const auto charts = ChartItems(r, Sales());
    ASSERT_EQ(charts.size(), 5u);
    for (size_t i : {0u, 1u}) { // North's header and footer
        EXPECT_EQ(charts[i].chart->series, std::vector<QString>{"North"}) << i;
        EXPECT_EQ(charts[i].chart->categories, (std::vector<QString>{"Tea", "Coffee"})) << i;
    }
    for (size_t i : {2u, 3u}) { // South's
        EXPECT_EQ(charts[i].chart->series, std::vector<QString>{"South"}) << i;
        EXPECT_EQ(ValueOf(*charts[i].chart, "South", "Milk"), 20.0) << i;
    }
    EXPECT_EQ(charts[4].chart->series.size(), 2u);
    EXPECT_EQ(charts[4].chart->categories.size(), 3u);
}

TEST(Chart, GroupIncrementsTakeTheGroupsSumOncePerGroup) {
    const std::string body =
        std::string(Fields) +
        "<variable name=\"RegionSum\" class=\"java.lang.Double\" resetType=\"Group\" "
        "resetGroup=\"R\" calculation=\"Sum\"><variableExpression><![CDATA[$F{Amount}]]>"
        "</variableExpression></variable>"
        "<group name=\"R\"><groupExpression><![CDATA[$F{Region}]]></groupExpression></group>"
        "<summary><band height=\"160\"><pieChart><chart><reportElement x=\"0\" y=\"0\" "
        "width=\"260\" height=\"150\"/></chart><pieDataset><dataset incrementType=\"Group\" "
        "incrementGroup=\"R\"/><keyExpression><![CDATA[$F{Region}]]></keyExpression>"
        "<valueExpression><![CDATA[$V{RegionSum}]]></valueExpression></pieDataset>"
        "<piePlot/></pieChart></band></summary>";
    const Report r = ParsePrepared(Jrxml(body, 400));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    const auto charts = ChartItems(r, Sales());
    ASSERT_EQ(charts.size(), 1u);
    const ChartData& d = *charts[0].chart;
    EXPECT_EQ(d.categories, (std::vector<QString>{"North", "South"}));
    EXPECT_EQ(ValueOf(d, "", "North"), 65.0);
    EXPECT_EQ(ValueOf(d, "", "South"), 25.0);
}

TEST(Chart, TimeSeriesFallIntoTheirPeriods) {
    const engine::DateTime a{2026, 5, 17, 13, 4, 5};
    const engine::DateTime first{2026, 5, 1};
    EXPECT_EQ(PeriodStart(a, TimePeriod::Month), PeriodStart(first, TimePeriod::Day));
    EXPECT_EQ(PeriodStart(a, TimePeriod::Quarter),
              PeriodStart(engine::DateTime{2026, 4, 1}, TimePeriod::Day));
    // 2026-05-17 is a Sunday: its week started on Monday the 11th.
    EXPECT_EQ(PeriodStart(a, TimePeriod::Week),
              PeriodStart(engine::DateTime{2026, 5, 11}, TimePeriod::Day));
    EXPECT_EQ(PeriodStart(a, TimePeriod::Hour) - PeriodStart(a, TimePeriod::Day), 13 * 3600e3);

    ChartDef def;
    def.dataset = DatasetKind::TimeSeries;
    def.period = TimePeriod::Month;
    def.series.push_back(SeriesDef{Expression::Parse("\"s\""),
                                   {},
                                   Expression::Parse("$F{d}"),
                                   Expression::Parse("$F{v}"),
                                   {}});
    ChartData data;
    for (const auto& [when, v] :
         std::vector<std::pair<engine::DateTime, double>>{{a, 1}, {first, 2}, {{2026, 6, 2}, 3}}) {
        Value date = when, value = v;
        AddToDataset(def, data, [&](const Expression& e) {
            return e.Text() == "$F{d}"   ? date
                   : e.Text() == "$F{v}" ? value
                                         : Value(std::string("s"));
        });
    }
    ASSERT_EQ(data.periods.size(), 1u);
    ASSERT_EQ(data.periods[0].size(), 2u); // May (last value wins) and June
    EXPECT_EQ(data.periods[0].begin()->second, 2.0);
}

// ---- painting ----------------------------------------------------------------

int dumped = 0;
QImage Paint(const Report& r, const PageItem& item) {
    QImage image(int(item.rect.right()) + 10, int(item.rect.bottom()) + 10, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    Page page;
    page.items.push_back(item);
    PaintPage(painter, page);
    (void)r;
    if (qEnvironmentVariableIsSet("CHART_TEST_DUMP"))
        image.save(QString("/tmp/chart-%1.png").arg(dumped++));
    return image;
}

bool Near(QRgb a, QRgb b) {
    return std::abs(qRed(a) - qRed(b)) < 12 && std::abs(qGreen(a) - qGreen(b)) < 12 &&
           std::abs(qBlue(a) - qBlue(b)) < 12;
}

// The heights of the upright bars of `color` above `limit`, left to right.
std::vector<int> BarHeights(const QImage& image, QRgb color, int limit) {
    std::vector<int> heights;
    int run = 0;
    for (int x = 0; x < image.width(); ++x) {
        int h = 0;
        for (int y = 0; y < limit; ++y)
            if (Near(image.pixel(x, y), color)) ++h;
        if (h > 0) run = std::max(run, h);
        if (h == 0 && run > 0) {
            heights.push_back(run);
            run = 0;
        }
    }
    return heights;
}

TEST(Chart, BarHeightsFollowTheValues) {
    const std::string body =
        std::string(Fields) + "<summary><band height=\"160\">" +
        CategoryChart("barChart", "", "",
                      "<plot><seriesColor seriesOrder=\"0\" color=\"#0000FF\"/></plot>",
                      "\"all\"") +
        "</band></summary>";
    const Report r = ParsePrepared(Jrxml(body, 400));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    const auto charts = ChartItems(r, {{std::string("N"), std::string("A"), 10.0},
                                       {std::string("N"), std::string("B"), 40.0},
                                       {std::string("N"), std::string("C"), 25.0}});
    ASSERT_EQ(charts.size(), 1u);
    const QImage image = Paint(r, charts[0]);
    const std::vector<int> heights =
        BarHeights(image, qRgb(0, 0, 255), int(charts[0].rect.bottom()) - 20);
    ASSERT_EQ(heights.size(), 3u);
    ASSERT_GT(heights[1], 20);
    const int left = int(charts[0].rect.left()), width = int(charts[0].rect.width());
    EXPECT_NEAR(double(heights[0]) / heights[1], 0.25, 0.04);
    EXPECT_NEAR(double(heights[2]) / heights[1], 0.625, 0.04);
    // The legend's swatch below the plot carries the series colour.
    bool swatch = false;
    for (int y = int(charts[0].rect.bottom()) - 14; y < int(charts[0].rect.bottom()); ++y)
        for (int x = left; x < left + width; ++x)
            swatch = swatch || Near(image.pixel(x, y), qRgb(0, 0, 255));
    EXPECT_TRUE(swatch);
}

TEST(Chart, AFixedValueRangeScalesTheBars) {
    const std::vector<std::vector<Value>> rows = {{std::string("N"), std::string("A"), 40.0}};
    std::vector<int> tallest;
    for (const char* max : {"", "<rangeAxisMaxValueExpression><![CDATA[80]]>"
                                "</rangeAxisMaxValueExpression>"}) {
        const std::string body = std::string(Fields) + "<summary><band height=\"160\">" +
                                 CategoryChart("barChart", "isShowLegend=\"false\"", "",
                                               std::string("<plot><seriesColor seriesOrder=\"0\" "
                                                           "color=\"#0000FF\"/></plot>") +
                                                   max,
                                               "\"all\"") +
                                 "</band></summary>";
        const Report r = ParsePrepared(Jrxml(body, 400));
        ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
        const auto charts = ChartItems(r, rows);
        ASSERT_EQ(charts.size(), 1u);
        const auto heights = BarHeights(Paint(r, charts[0]), qRgb(0, 0, 255), 1000);
        ASSERT_EQ(heights.size(), 1u);
        tallest.push_back(heights[0]);
    }
    // 40 fills the plot on its own scale and half of it up to 80.
    EXPECT_NEAR(double(tallest[1]) / tallest[0], 0.5, 0.03);
}

TEST(Chart, ExtremeValuesStillDraw) {
    // Values at the ends of the double range, negative ones and one the
    // chart cannot place: the bars go both ways and the print goes on.
    const std::string body =
        std::string(Fields) + "<summary><band height=\"160\">" +
        CategoryChart("stackedBarChart", "", "",
                      "<plot><seriesColor seriesOrder=\"0\" color=\"#0000FF\"/></plot>") +
        "</band></summary>";
    const Report r = ParsePrepared(Jrxml(body, 400));
    const auto charts = ChartItems(r, {{std::string("N"), std::string("A"), 1.7e308},
                                       {std::string("S"), std::string("A"), 1.7e308},
                                       {std::string("N"), std::string("B"), -1.7e308},
                                       {std::string("N"), std::string("C"), NAN}});
    ASSERT_EQ(charts.size(), 1u);
    EXPECT_EQ(charts[0].chart->values.size(), 3u); // NaN left out
    const QImage image = Paint(r, charts[0]);
    EXPECT_FALSE(BarHeights(image, qRgb(0, 0, 255), int(charts[0].rect.bottom()) - 20).empty());
}

TEST(Chart, HorizontalBarsGrowToTheRight) {
    const std::string body =
        std::string(Fields) + "<summary><band height=\"160\">" +
        CategoryChart("barChart", "isShowLegend=\"false\"", "",
                      "<plot orientation=\"Horizontal\"><seriesColor seriesOrder=\"0\" "
                      "color=\"#0000FF\"/></plot>",
                      "\"all\"") +
        "</band></summary>";
    const Report r = ParsePrepared(Jrxml(body, 400));
    const auto charts = ChartItems(r, {{std::string("N"), std::string("A"), 10.0},
                                       {std::string("N"), std::string("B"), 30.0}});
    ASSERT_EQ(charts.size(), 1u);
    const QImage image = Paint(r, charts[0]);
    std::vector<int> lengths;
    for (int y = 0; y < image.height(); ++y) {
        int n = 0;
        for (int x = 0; x < image.width(); ++x)
            if (Near(image.pixel(x, y), qRgb(0, 0, 255))) ++n;
        lengths.push_back(n);
    }
    const int longest = *std::max_element(lengths.begin(), lengths.end());
    int shorter = 0;
    for (int n : lengths)
        if (n > 0 && n < longest * 0.6) shorter = std::max(shorter, n);
    ASSERT_GT(longest, 50);
    EXPECT_NEAR(double(shorter) / longest, 1.0 / 3, 0.04);
}

TEST(Chart, PieSlicesFollowTheShares) {
    const std::string body =
        std::string(Fields) +
        "<summary><band height=\"160\"><pieChart><chart isShowLegend=\"true\"><reportElement "
        "x=\"0\" y=\"0\" width=\"260\" height=\"150\"/></chart><pieDataset><keyExpression>"
        "<![CDATA[$F{Product}]]></keyExpression><valueExpression><![CDATA[$F{Amount}]]>"
        "</valueExpression></pieDataset><piePlot isShowLabels=\"false\"><plot>"
        "<seriesColor seriesOrder=\"0\" color=\"#FF0000\"/><seriesColor seriesOrder=\"1\" "
        "color=\"#0000FF\"/><seriesColor seriesOrder=\"2\" color=\"#00FF00\"/></plot>"
        "</piePlot></pieChart></band></summary>";
    const Report r = ParsePrepared(Jrxml(body, 400));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    const auto charts = ChartItems(r, {{std::string("N"), std::string("A"), 10.0},
                                       {std::string("N"), std::string("B"), 30.0},
                                       {std::string("N"), std::string("C"), 20.0}});
    ASSERT_EQ(charts.size(), 1u);
    const QImage image = Paint(r, charts[0]);
    // Above the legend strip: the pie alone.
    const int legendTop = int(charts[0].rect.bottom()) - 16;
    double counts[3] = {0, 0, 0};
    const QRgb colors[3] = {qRgb(255, 0, 0), qRgb(0, 0, 255), qRgb(0, 255, 0)};
    for (int y = 0; y < legendTop; ++y)
        for (int x = 0; x < image.width(); ++x)
            for (int k = 0; k < 3; ++k)
                if (Near(image.pixel(x, y), colors[k])) ++counts[k];
    const double total = counts[0] + counts[1] + counts[2];
    ASSERT_GT(total, 2000);
    EXPECT_NEAR(counts[0] / total, 1.0 / 6, 0.02);
    EXPECT_NEAR(counts[1] / total, 0.5, 0.02);
    EXPECT_NEAR(counts[2] / total, 1.0 / 3, 0.02);
    // The first slice starts at twelve o'clock and runs clockwise: just
    // right of the top it is red, just left of the top it is green.
    const QPointF c = charts[0].rect.center();
    int top = 0;
    for (int y = 0; y < int(c.y()); ++y)
        if (Near(image.pixel(int(c.x()) + 2, y), colors[0])) {
            top = y;
            break;
        }
    ASSERT_GT(top, 0);
    EXPECT_TRUE(Near(image.pixel(int(c.x()) + 3, top + 4), colors[0]));
    EXPECT_TRUE(Near(image.pixel(int(c.x()) - 3, top + 4), colors[2]));
}

TEST(Chart, XYAndTimeChartsDrawTheirSeries) {
    const std::string body =
        "<field name=\"X\" class=\"java.lang.Double\"/><field name=\"Y\" "
        "class=\"java.lang.Double\"/>"
        "<summary><band height=\"160\"><xyBarChart><chart isShowLegend=\"false\"><reportElement "
        "x=\"0\" y=\"0\" width=\"260\" height=\"150\"/></chart><xyDataset><xySeries>"
        "<seriesExpression><![CDATA[\"s\"]]></seriesExpression><xValueExpression><![CDATA[$F{X}]]>"
        "</xValueExpression><yValueExpression><![CDATA[$F{Y}]]></yValueExpression></xySeries>"
        "</xyDataset><barPlot><plot><seriesColor seriesOrder=\"0\" color=\"#0000FF\"/></plot>"
        "</barPlot></xyBarChart></band></summary>";
    const Report r = ParsePrepared(Jrxml(body, 400));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    const auto charts = ChartItems(r, {{1.0, 10.0}, {2.0, 20.0}, {3.0, 40.0}});
    ASSERT_EQ(charts.size(), 1u);
    ASSERT_EQ(charts[0].chart->points.at(0).size(), 3u);
    const QImage image = Paint(r, charts[0]);
    const std::vector<int> heights = BarHeights(image, qRgb(0, 0, 255), image.height());
    ASSERT_EQ(heights.size(), 3u);
    EXPECT_NEAR(double(heights[0]) / heights[2], 0.25, 0.04);
    EXPECT_NEAR(double(heights[1]) / heights[2], 0.5, 0.04);
}

} // namespace
} // namespace printengine
