#include "report_test_support.h"

#include <gtest/gtest.h>

#include <QFile>

#include <algorithm>
#include <cmath>
#include <map>

using namespace printengine;
using namespace printengine::test;

namespace {

const char* Fields = R"(<field name="Region" class="java.lang.String"/>
    <field name="Product" class="java.lang.String"/>
    <field name="Qty" class="java.lang.Integer"/>)";

using Rows = std::vector<std::vector<Value>>;

Value S(const char* s) {
    return s ? Value(std::string(s)) : Value();
}

std::string Text(const std::string& expression, double width = 30, double height = 10) {
    return "<textField isBlankWhenNull=\"true\"><reportElement x=\"0\" y=\"0\" width=\"" +
           std::to_string(int(width)) + "\" height=\"" + std::to_string(int(height)) +
           "\"/><textFieldExpression><![CDATA[" + expression +
           "]]></textFieldExpression></textField>";
}

std::string Group(bool row, const std::string& name, const std::string& expression,
                  const std::string& total = "End", const std::string& bucketAttributes = "",
                  const std::string& bucketChildren = "") {
    const std::string tag = row ? "Row" : "Column";
    return std::string(row ? "<rowGroup" : "<columnGroup") + " name=\"" + name + "\" " +
           (row ? "width=\"40\"" : "height=\"10\"") + " totalPosition=\"" + total +
           "\"><bucket class=\"java.lang.String\" " + bucketAttributes +
           "><bucketExpression><![CDATA[" + expression + "]]></bucketExpression>" + bucketChildren +
           "</bucket><crosstab" + tag + "Header><cellContents>" +
           Text("$V{" + name + "} == null ? \"-\" : $V{" + name + "}") +
           "</cellContents></crosstab" + tag + "Header><crosstabTotal" + tag +
           "Header><cellContents>" + Text("\"T" + name + "\"") + "</cellContents></crosstabTotal" +
           tag + "Header>" + (row ? "</rowGroup>" : "</columnGroup>");
}

std::string Measure(const std::string& name, const std::string& calculation,
                    const std::string& expression = "$F{Qty}",
                    const std::string& cls = "java.lang.Integer") {
    return "<measure name=\"" + name + "\" class=\"" + cls + "\" calculation=\"" + calculation +
           "\"><measureExpression><![CDATA[" + expression + "]]></measureExpression></measure>";
}

std::string Cell(const std::string& expression, const std::string& attributes = "") {
    return "<crosstabCell width=\"30\" height=\"10\" " + attributes + "><cellContents>" +
           Text(expression) + "</cellContents></crosstabCell>";
}

// The same contents in the data cell and in every total cell of one row
// group and one column group.
std::string AllCells(const std::string& expression, const std::string& row,
                     const std::string& column) {
    std::string out;
    for (const std::string& r : {std::string(), row})
        for (const std::string& c : {std::string(), column})
            out += Cell(expression, (r.empty() ? "" : "rowTotalGroup=\"" + r + "\" ") +
                                        (c.empty() ? "" : "columnTotalGroup=\"" + c + "\""));
    return out;
}

// A report whose summary holds a crosstab of `inner` (groups, measures, cells).
std::string Summary(const std::string& inner, const std::string& attributes = "", int width = 260,
                    int pageHeight = 400) {
    return Jrxml(std::string(Fields) + "<summary><band height=\"20\"><crosstab " + attributes +
                     "><reportElement x=\"0\" y=\"0\" width=\"" + std::to_string(width) +
                     "\" height=\"20\"/>" + inner + "</crosstab></band></summary>",
                 pageHeight);
}

// Each page as lines: the texts sharing a top edge, left to right.
// `table`: the rows datasets read.
std::vector<std::vector<std::string>> Pages(const printengine::Report& report, const Rows& rows,
                                            const Rows& table = {}) {
    std::vector<std::vector<std::string>> pages;
    VectorRows source(rows);
    TableOpener tables = [&](const std::string&, const std::vector<FieldDef>&) {
        return std::make_unique<VectorRows>(table);
    };
    FillReport(
        report, ParameterValues(report, {}), source,
        [&](Page&& page) {
            std::map<int, std::vector<std::pair<double, std::string>>> lines;
            for (const auto& item : page.items)
                if (!item.text.isEmpty())
                    lines[int(std::lround(item.rect.top()))].emplace_back(item.rect.left(),
                                                                          item.text.toStdString());
            std::vector<std::string> out;
            for (auto& [top, texts] : lines) {
                std::sort(texts.begin(), texts.end());
                std::string line;
                for (const auto& [x, t] : texts)
                    line += (line.empty() ? "" : " ") + t;
                out.push_back(line);
            }
            pages.push_back(out);
        },
        nullptr, nullptr, &tables);
    return pages;
}

printengine::Report Prepared(const std::string& text) {
    printengine::Report r = ParsePrepared(text);
    EXPECT_TRUE(r.refusals.empty()) << r.refusals.front();
    return r;
}

const Rows Sales = {
    {S("North"), S("Pens"), std::int64_t{3}}, {S("South"), S("Ink"), std::int64_t{5}},
    {S("North"), S("Ink"), std::int64_t{4}},  {S(nullptr), S("Pens"), std::int64_t{1}},
    {S("North"), S("Pens"), Value()},         {S("South"), S("Pens"), std::int64_t{10}},
};

} // namespace

TEST(Crosstab, SumsAndCountsPerBucketWithNullsAndTotals) {
    const auto r = Prepared(Summary(
        Group(true, "R", "$F{Region}") + Group(false, "P", "$F{Product}") + Measure("Q", "Sum") +
        Measure("N", "Count") + AllCells("$V{Q} + \"/\" + $V{N}", "R", "P")));
    const auto pages = Pages(r, Sales);
    ASSERT_EQ(pages.size(), 1u);
    // A null bucket sorts first; a null quantity is neither summed nor counted.
    const std::vector<std::string> want = {
        "Ink Pens TP",         "- null/0 1/1 1/1", "North 4/1 3/1 7/2",
        "South 5/1 10/1 15/2", "TR 9/2 14/3 23/5",
    };
    EXPECT_EQ(pages[0], want);
}

TEST(Crosstab, TotalsAtTheStartOrNowhere) {
    const auto r = Prepared(Summary(Group(true, "R", "$F{Region}", "Start") +
                                    Group(false, "P", "$F{Product}", "None") + Measure("Q", "Sum") +
                                    AllCells("$V{Q}", "R", "")));
    const auto pages = Pages(r, Sales);
    ASSERT_EQ(pages.size(), 1u);
    const std::vector<std::string> want = {"Ink Pens", "TR 9 14", "- 1", "North 4 3", "South 5 10"};
    EXPECT_EQ(pages[0], want);
}

TEST(Crosstab, OtherCalculations) {
    const auto r = Prepared(Summary(
        Group(true, "R", "$F{Region}", "End", "order=\"Descending\"") +
        Group(false, "P", "\"all\"", "None") + Measure("A", "Average") + Measure("L", "Lowest") +
        Measure("H", "Highest") + Measure("D", "DistinctCount", "$F{Product}") +
        AllCells("$V{A} + \" \" + $V{L} + \" \" + $V{H} + \" \" + $V{D}", "R", "")));
    const auto pages = Pages(r, Sales);
    ASSERT_EQ(pages.size(), 1u);
    const std::vector<std::string> want = {"all", "South 7 5 10 2", "North 3 3 4 2", "- 1 1 1 1",
                                           "TR 4 1 10 2"};
    EXPECT_EQ(pages[0], want);
}

TEST(Crosstab, OrderByTotalsAndInArrivalOrder) {
    // Regions by their total quantity, largest first; products as they came.
    const auto r =
        Prepared(Summary(Group(true, "R", "$F{Region}", "None", "order=\"Descending\"",
                               "<orderByExpression><![CDATA[$V{Q}]]></orderByExpression>") +
                         Group(false, "P", "$F{Product}", "None", "order=\"None\"") +
                         Measure("Q", "Sum") + Cell("$V{Q}")));
    const auto pages = Pages(r, Sales);
    ASSERT_EQ(pages.size(), 1u);
    const std::vector<std::string> want = {"Pens Ink", "South 10 5", "North 3 4", "- 1"};
    EXPECT_EQ(pages[0], want);
}

TEST(Crosstab, NestedGroupsPercentagesAndTotalCells) {
    const Rows rows = {
        {S("N"), S("a"), std::int64_t{1}},
        {S("N"), S("b"), std::int64_t{3}},
        {S("S"), S("a"), std::int64_t{4}},
        {S("S"), S("a"), std::int64_t{2}},
    };
    // Rows by region and product; one column group over everything.
    const auto r = Prepared(
        Summary(Group(true, "R", "$F{Region}") + Group(true, "P", "$F{Product}") +
                Group(false, "C", "\"c\"") + Measure("Q", "Sum") +
                Cell("$V{Q} + \":\" + Math.round(100.0 * $V{Q} / $V{Q_R_ALL}) + \"%\"") +
                Cell("$V{Q} + \" of \" + $V{Q_P_ALL}", "rowTotalGroup=\"P\"") +
                Cell("\"all \" + $V{Q_R_C_ALL}", "rowTotalGroup=\"R\" columnTotalGroup=\"C\"")));
    const auto pages = Pages(r, rows);
    ASSERT_EQ(pages.size(), 1u);
    // Total cells the file leaves out stay empty.
    const std::vector<std::string> want = {
        "c TC", "N a 1:10%", "b 3:30%", "TP 4 of 4", "S a 6:60%", "TP 6 of 6", "TR all 10",
    };
    EXPECT_EQ(pages[0], want);
}

TEST(Crosstab, TallCrosstabContinuesWithColumnHeadersRepeated) {
    Rows rows;
    for (int i = 0; i < 30; ++i)
        rows.push_back({S(("r" + std::to_string(100 + i)).c_str()), S("p"), std::int64_t{i}});
    // 160 points of room: the headers (10) and 15 rows of 10 on each page.
    const std::string inner = Group(true, "R", "$F{Region}", "None") +
                              Group(false, "P", "$F{Product}", "None") + Measure("Q", "Sum") +
                              Cell("$V{Q}");
    auto pages = Pages(Prepared(Summary(inner, "", 260, 200)), rows);
    ASSERT_EQ(pages.size(), 2u);
    ASSERT_EQ(pages[0].size(), 16u);
    EXPECT_EQ(pages[0][0], "p");
    EXPECT_EQ(pages[0][15], "r114 14");
    ASSERT_EQ(pages[1].size(), 16u);
    EXPECT_EQ(pages[1][0], "p");
    EXPECT_EQ(pages[1][1], "r115 15");
    EXPECT_EQ(pages[1][15], "r129 29");

    pages = Pages(Prepared(Summary(inner, "isRepeatColumnHeaders=\"false\"", 260, 200)), rows);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].size(), 16u);
    ASSERT_EQ(pages[1].size(), 15u);
    EXPECT_EQ(pages[1][0], "r115 15");
}

TEST(Crosstab, WideCrosstabBreaksColumnsWithRowHeadersRepeated) {
    Rows rows;
    for (int c = 0; c < 12; ++c)
        for (const char* region : {"a", "b"})
            rows.push_back({S(region), S(("c" + std::to_string(10 + c)).c_str()), std::int64_t{c}});
    const std::string inner = Group(true, "R", "$F{Region}", "None") +
                              Group(false, "P", "$F{Product}", "None") + Measure("Q", "Sum") +
                              Cell("$V{Q}");
    // 40 for the row headers and five columns of 30 in 200 points.
    auto pages = Pages(Prepared(Summary(inner, "columnBreakOffset=\"20\"", 200)), rows);
    ASSERT_EQ(pages.size(), 1u);
    const std::vector<std::string> want = {
        "c10 c11 c12 c13 c14",
        "a 0 1 2 3 4",
        "b 0 1 2 3 4",
        "c15 c16 c17 c18 c19",
        "a 5 6 7 8 9",
        "b 5 6 7 8 9",
        "c20 c21",
        "a 10 11",
        "b 10 11",
    };
    EXPECT_EQ(pages[0], want);

    // Without repeated row headers the later parts use the whole width.
    pages = Pages(Prepared(Summary(inner, "isRepeatRowHeaders=\"false\"", 200)), rows);
    ASSERT_EQ(pages.size(), 1u);
    ASSERT_EQ(pages[0].size(), 9u);
    EXPECT_EQ(pages[0][3], "c15 c16 c17 c18 c19 c20");
    EXPECT_EQ(pages[0][4], "5 6 7 8 9 10");
    EXPECT_EQ(pages[0][6], "c21");
    EXPECT_EQ(pages[0][7], "11");
}

TEST(Crosstab, PartsThatDoNotFitGoOnTheNextPage) {
    Rows rows;
    for (int c = 0; c < 12; ++c)
        for (int r = 0; r < 6; ++r)
            rows.push_back({S(("r" + std::to_string(r)).c_str()),
                            S(("c" + std::to_string(10 + c)).c_str()), std::int64_t{r * 100 + c}});
    const std::string inner = Group(true, "R", "$F{Region}", "None") +
                              Group(false, "P", "$F{Product}", "None") + Measure("Q", "Sum") +
                              Cell("$V{Q}");
    // Parts of four columns, 70 high, 10 apart, in 160 points of room.
    const auto pages = Pages(Prepared(Summary(inner, "", 160, 200)), rows);
    ASSERT_EQ(pages.size(), 2u);
    ASSERT_EQ(pages[0].size(), 14u);
    EXPECT_EQ(pages[0][7], "c14 c15 c16 c17");
    EXPECT_EQ(pages[0][13], "r5 504 505 506 507");
    ASSERT_EQ(pages[1].size(), 7u);
    EXPECT_EQ(pages[1][0], "c18 c19 c20 c21");
    EXPECT_EQ(pages[1][1], "r0 8 9 10 11");
}

TEST(Crosstab, GroupFooterShowsItsGroupsRows) {
    const std::string crosstab =
        "<crosstab><reportElement x=\"0\" y=\"0\" width=\"260\" height=\"20\"/>" +
        Group(true, "R", "$F{Product}", "None") + Group(false, "C", "\"q\"", "None") +
        Measure("Q", "Sum") + Cell("$V{Q}") + "</crosstab>";
    const auto r = Prepared(
        Jrxml(std::string(Fields) +
              "<group name=\"G\"><groupExpression>$F{Region}</groupExpression><groupFooter>"
              "<band height=\"20\">" +
              crosstab + "</band></groupFooter></group>"));
    const Rows rows = {{S("N"), S("a"), std::int64_t{1}},
                       {S("N"), S("b"), std::int64_t{2}},
                       {S("S"), S("a"), std::int64_t{5}}};
    const auto pages = Pages(r, rows);
    ASSERT_EQ(pages.size(), 1u);
    const std::vector<std::string> want = {"q", "a 1", "b 2", "q", "a 5"};
    EXPECT_EQ(pages[0], want);
}

// A sub-dataset of sales kept by the region its parameter names.
const char* SalesDataset = R"(<subDataset name="Sales">
    <parameter name="Wanted" class="java.lang.String"/>
    <field name="Region" class="java.lang.String"/>
    <field name="Product" class="java.lang.String"/>
    <field name="Qty" class="java.lang.Integer"/>
    <filterExpression>$P{Wanted}.equals($F{Region})</filterExpression></subDataset>)";

std::string SalesRun(const std::string& wanted, const std::string& extra = "") {
    return "<crosstabDataset><dataset>" + extra +
           "<datasetRun subDataset=\"Sales\"><datasetParameter name=\"Wanted\">"
           "<datasetParameterExpression>" +
           wanted +
           "</datasetParameterExpression></datasetParameter></datasetRun></dataset>"
           "</crosstabDataset>";
}

TEST(Crosstab, DatasetRunInGroupFooterReadsTheGroupsRowsOfTheSubDataset) {
    const std::string crosstab =
        "<crosstab><reportElement x=\"0\" y=\"0\" width=\"260\" height=\"20\"/>" +
        SalesRun("$F{Area}") + Group(true, "R", "$F{Product}") +
        Group(false, "C", "$F{Region}", "None") + Measure("Q", "Sum") +
        AllCells("$V{Q}", "R", "C") + "</crosstab>";
    const auto r = Prepared(Jrxml(std::string(SalesDataset) +
                                  "<field name=\"Area\" class=\"java.lang.String\"/>"
                                  "<group name=\"G\"><groupExpression>$F{Area}</groupExpression>"
                                  "<groupFooter><band height=\"20\">" +
                                  crosstab + "</band></groupFooter></group>"));
    // The report's rows name the areas; each footer's crosstab runs the
    // sales of its own area, several rows adding up in one cell.
    const auto pages = Pages(r, {{S("North")}, {S("North")}, {S("South")}},
                             Sales); // Region, Product, Qty
    ASSERT_EQ(pages.size(), 1u);
    const std::vector<std::string> want = {"North", "Ink 4", "Pens 3",  "TR 7",
                                           "South", "Ink 5", "Pens 10", "TR 15"};
    EXPECT_EQ(pages[0], want);
}

TEST(Crosstab, DatasetRunRunsAgainForEveryRowAndBindsToTheSubDataset) {
    const std::string crosstab =
        "<crosstab><reportElement x=\"0\" y=\"0\" width=\"260\" height=\"20\"/>" +
        SalesRun("$F{Area}", "<incrementWhenExpression>$F{Qty} != null &amp;&amp; $F{Qty} &gt; 3"
                             "</incrementWhenExpression>") +
        Group(true, "R", "$F{Product}", "None") + Group(false, "C", "\"q\"", "None") +
        Measure("Q", "Count") + Cell("$V{Q}") + "</crosstab>";
    const auto r = Prepared(Jrxml(std::string(SalesDataset) +
                                  "<field name=\"Area\" class=\"java.lang.String\"/>"
                                  "<detail><band height=\"20\">" +
                                  crosstab + "</band></detail>"));
    const auto pages = Pages(r, {{S("South")}, {S("North")}, {S("East")}}, Sales);
    ASSERT_EQ(pages.size(), 1u);
    // South: Ink 5 and Pens 10 count; North: only Ink 4; East: no rows, no cells.
    const std::vector<std::string> want = {"q", "Ink 1", "Pens 1", "q", "Ink 1"};
    EXPECT_EQ(pages[0], want);

    // The buckets read the sub-dataset: the report's own field is unknown there.
    std::string badBucket = crosstab;
    badBucket.replace(badBucket.find("$F{Product}"), 11, "$F{Area}");
    const auto bad = ParsePrepared(Jrxml(std::string(SalesDataset) +
                                         "<field name=\"Area\" class=\"java.lang.String\"/>"
                                         "<detail><band height=\"20\">" +
                                         badBucket + "</band></detail>"));
    ASSERT_FALSE(bad.refusals.empty());
    EXPECT_NE(bad.refusals.front().find("$F{Area}"), std::string::npos) << bad.refusals.front();
}

TEST(Crosstab, ParametersHeaderCellAndNoDataCell) {
    const auto r = Prepared(
        Jrxml(std::string(Fields) + R"(
        <parameter name="Title" class="java.lang.String"><defaultValueExpression>"Sales"</defaultValueExpression></parameter>
        <summary><band height="20"><crosstab><reportElement x="0" y="0" width="260" height="20"/>
        <crosstabParameter name="Title"/>
        <crosstabParameter name="Twice"><parameterValueExpression>$P{Title} + $P{Title}</parameterValueExpression></crosstabParameter>
        <crosstabHeaderCell><cellContents>)" +
              Text("$P{Twice}", 40) + R"(</cellContents></crosstabHeaderCell>)" +
              Group(true, "R", "$F{Region}", "None") + Group(false, "P", "$F{Product}", "None") +
              Measure("Q", "Sum") + Cell("$P{Title}") +
              R"(<whenNoDataCell><cellContents><staticText>
        <reportElement x="0" y="0" width="100" height="10"/><text>No sales</text></staticText>
        </cellContents></whenNoDataCell></crosstab></band></summary>)"));
    auto pages = Pages(r, {{S("N"), S("a"), std::int64_t{1}}});
    ASSERT_EQ(pages.size(), 1u);
    const std::vector<std::string> want = {"SalesSales a", "N Sales"};
    EXPECT_EQ(pages[0], want);
}

TEST(Crosstab, NoRowsShowTheNoDataCell) {
    const auto r =
        Prepared(Jrxml(std::string(Fields) + R"(
        <summary><band height="20"><crosstab><reportElement x="0" y="0" width="260" height="20"/>)" +
                           Group(true, "R", "$F{Region}") + Group(false, "P", "$F{Product}") +
                           Measure("Q", "Sum") + Cell("$V{Q}") +
                           R"(<whenNoDataCell><cellContents><staticText>
        <reportElement x="0" y="0" width="100" height="10"/><text>No sales</text></staticText>
        </cellContents></whenNoDataCell></crosstab></band></summary>)",
                       400) +
                 "");
    // A report without rows prints its summary when asked to.
    printengine::Report all = r;
    all.whenNoData = printengine::Report::NoData::AllSectionsNoDetail;
    const auto pages = Pages(all, {});
    ASSERT_EQ(pages.size(), 1u);
    const std::vector<std::string> want = {"No sales"};
    EXPECT_EQ(pages[0], want);
}

TEST(Crosstab, RefusesWhatItDoesNotBuildByName) {
    const auto refusals = [](const std::string& text) {
        const auto r = ParsePrepared(text);
        std::string all;
        for (const auto& s : r.refusals)
            all += s + "\n";
        return all;
    };
    const std::string base =
        Group(true, "R", "$F{Region}") + Group(false, "P", "$F{Product}") + Measure("Q", "Sum");
    std::string all = refusals(Summary(
        "<crosstabDataset><dataset><datasetRun subDataset=\"x\"/></dataset></crosstabDataset>" +
        base + Cell("$V{Q}")));
    EXPECT_NE(all.find("the unknown subDataset \"x\" in a datasetRun"), std::string::npos) << all;
    all = refusals(Summary(Group(true, "R", "$F{Region}", "End", "",
                                 "<comparatorExpression>new MyComparator()"
                                 "</comparatorExpression>") +
                           Group(false, "P", "$F{Product}") + Measure("Q", "Sum") + Cell("$V{Q}")));
    EXPECT_NE(all.find("the comparator \"new MyComparator()\""), std::string::npos) << all;
    all = refusals(Summary(base + Cell("$V{Nope} + $F{Qty}"), "runDirection=\"RTL\""));
    EXPECT_NE(all.find("the unknown crosstab variable $V{Nope}"), std::string::npos) << all;
    EXPECT_NE(all.find("the field $F{Qty} inside a crosstab"), std::string::npos) << all;
    EXPECT_NE(all.find("\"RTL\""), std::string::npos) << all;
    all = refusals(Summary(Group(true, "R", "$F{Region}") + Group(false, "P", "$F{Product}") +
                           Measure("Q", "StandardDeviation") + Cell("$V{Q}")));
    EXPECT_NE(all.find("\"StandardDeviation\""), std::string::npos) << all;
    // Simple comparators are understood.
    all = refusals(Summary(Group(true, "R", "$F{Region}", "End", "",
                                 "<comparatorExpression>java.util.Collections.reverseOrder()"
                                 "</comparatorExpression>") +
                           Group(false, "P", "$F{Product}") + Measure("Q", "Sum") + Cell("$V{Q}")));
    EXPECT_EQ(all, "");
}

TEST(Crosstab, DatasetSettingsChooseTheRows) {
    // Only rows with a quantity above 2, and per region although in the summary.
    const std::string crosstab =
        "<crosstab><reportElement x=\"0\" y=\"0\" width=\"260\" height=\"20\"/>"
        "<crosstabDataset isDataPreSorted=\"true\"><dataset resetType=\"Group\" "
        "resetGroup=\"G\"><incrementWhenExpression>$F{Qty} != null &amp;&amp; $F{Qty} &gt; 2"
        "</incrementWhenExpression></dataset></crosstabDataset>" +
        Group(true, "R", "$F{Product}", "None") + Group(false, "C", "\"q\"", "None") +
        Measure("Q", "Sum") + Cell("$V{Q}") + "</crosstab>";
    const auto r =
        Prepared(Jrxml(std::string(Fields) +
                       "<group name=\"G\"><groupExpression>$F{Region}</groupExpression></group>"
                       "<summary><band height=\"20\">" +
                       crosstab + "</band></summary>"));
    const Rows rows = {{S("N"), S("a"), std::int64_t{3}},
                       {S("N"), S("b"), std::int64_t{2}},
                       {S("S"), S("a"), std::int64_t{5}},
                       {S("S"), S("b"), std::int64_t{1}},
                       {S("S"), S("b"), Value()}};
    const auto pages = Pages(r, rows);
    ASSERT_EQ(pages.size(), 1u);
    const std::vector<std::string> want = {"q", "a 5"};
    EXPECT_EQ(pages[0], want);
}

TEST(Crosstab, BandMovesToTheNextPageWhenNotEvenOneRowFits) {
    const auto r = Prepared(Jrxml(std::string(Fields) + "<detail>" + BandXml("$F{Region}", 150) +
                                  "</detail><summary><band height=\"20\"><crosstab>"
                                  "<reportElement x=\"0\" y=\"0\" width=\"260\" height=\"20\"/>" +
                                  Group(true, "R", "$F{Region}", "None") +
                                  Group(false, "P", "$F{Product}", "None") + Measure("Q", "Sum") +
                                  Cell("$V{Q}") + "</crosstab></band></summary>"));
    const auto pages = Pages(r, {{S("N"), S("a"), std::int64_t{1}}});
    ASSERT_EQ(pages.size(), 2u); // 10 points left under the row: the headers alone
    const std::vector<std::string> first = {"N"}, second = {"a", "N 1"};
    EXPECT_EQ(pages[0], first);
    EXPECT_EQ(pages[1], second);
}

TEST(Crosstab, TooManyCellsStopThePrint) {
    const auto r =
        Prepared(Summary(Group(true, "R", "$F{Region}") + Group(false, "P", "$F{Product}") +
                         Measure("Q", "Count") + Cell("$V{Q}")));
    Rows rows;
    for (int i = 0; i < 120000; ++i) {
        const std::string v = std::to_string(i);
        rows.push_back({Value(v), Value(v), std::int64_t{i}});
    }
    try {
        Pages(r, rows);
        FAIL() << "no error";
    } catch (const FillError& e) {
        EXPECT_NE(std::string(e.what()).find("more than 500000 cells"), std::string::npos)
            << e.what();
    }
}

// Crosstab cells show shares and bucket dates through msg() with format types.
TEST(Crosstab, MessageArgumentsWithFormatTypes) {
    const auto text = [](const std::string& source) {
        const Value v = Expression::Parse(source).Evaluate(
            [](RefKind, int) -> const Value& { throw ExpressionError("no references"); });
        return std::get<std::string>(v);
    };
    EXPECT_EQ(text("msg(\"({0,number,percent})\", 0.254)"), "(25%)");
    EXPECT_EQ(text("msg(\"{0,number,#0.0} of {1, number, integer}\", 2.25, 7.6)"),
              "2.2 of 8"); // halves to even, as Java
    EXPECT_EQ(text("msg(\"{0,date,yyyy} Total\", DATE(2025, 3, 1))"), "2025 Total");
}

// The fuzzer's crosstab seed must reach the filler, not stop at a refusal.
TEST(Crosstab, FuzzSeedOverTheReportsRowsIsAccepted) {
    const std::string file =
        std::string(NORVAKEL_TESTS_DIR) + "/fuzz/corpus/jrxml/crosstab_main.jrxml";
    // A relative source path is relative to the build folder, one above the tests'.
    QFile in(QString::fromStdString(file));
    if (!in.exists()) in.setFileName(QString::fromStdString("../" + file));
    ASSERT_TRUE(in.open(QIODevice::ReadOnly)) << file;
    const auto r = Prepared(in.readAll().toStdString());
    const Rows rows = {{S("N"), S("Oslo"), std::int64_t{1}, 10.0},
                       {S("N"), S("Bergen"), std::int64_t{2}, 35.0},
                       {S("N"), S("Oslo"), std::int64_t{2}, 20.0}};
    const auto pages = Pages(r, rows);
    ASSERT_EQ(pages.size(), 1u);
    // Cities by their totals, largest first, below the total that starts them;
    const std::vector<std::string> want = {"Sales of N 1 2 Total", "All cities 10.0 55.0 100%",
                                           "Bergen null 35.0 54%", "Oslo 10.0 20.0 46%"};
    EXPECT_EQ(pages[0], want);
}
