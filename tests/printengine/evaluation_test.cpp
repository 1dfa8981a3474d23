#include "report_test_support.h"

#include <QBuffer>
#include <QImage>

#include <gtest/gtest.h>

using namespace printengine;
using namespace printengine::test;

namespace {

// A text field at `x` in a band of its own height.
std::string Field(const std::string& expression, const std::string& attributes = "", int x = 0,
                  int height = 10) {
    return "<textField " + attributes + "><reportElement x=\"" + std::to_string(x) +
           "\" y=\"0\" width=\"40\" height=\"" + std::to_string(height) +
           "\"/><textFieldExpression><![CDATA[" + expression +
           "]]></textFieldExpression></textField>";
}

std::string InBand(const std::string& fields, int height = 10) {
    return "<band height=\"" + std::to_string(height) + "\">" + fields + "</band>";
}

Report Prepared(const std::string& body, int pageHeight = 200) {
    Report r = ParsePrepared(Jrxml(std::string(CityAmountFields) + body, pageHeight));
    EXPECT_TRUE(r.refusals.empty()) << r.refusals.front();
    return r;
}

const char* PageSum =
    R"(<variable name="PageSum" class="java.lang.Integer" calculation="Sum" resetType="Page">
    <variableExpression>$F{AMOUNT}</variableExpression></variable>)";
const char* CitySum =
    R"(<variable name="CitySum" class="java.lang.Integer" calculation="Sum" resetType="Group" resetGroup="C">
    <variableExpression>$F{AMOUNT}</variableExpression></variable>)";

} // namespace

// ---- evaluation times ----------------------------------------------------------

TEST(EvaluationTime, PageAndColumnTakeTheValuesAsThePageEnds) {
    // 160 points of room, 10 for the header and 10 for the footer: three rows a page.
    const Report r = Prepared(
        std::string(PageSum) + "<pageHeader>" +
        InBand(Field("\"sum \" + $V{PageSum}", "evaluationTime=\"Page\"") +
               Field("\"col \" + $V{PageSum}", "evaluationTime=\"Column\"", 50) +
               Field("\"now \" + $V{PageSum}", "", 100)) +
        "</pageHeader><detail>" + InBand(Field("$F{AMOUNT}"), 40) + "</detail><pageFooter>" +
        InBand(Field("\"Page \" + $V{PAGE_NUMBER} + \" of\"", "evaluationTime=\"Page\"") +
               Field("$V{PAGE_NUMBER}", "evaluationTime=\"Report\"", 50)) +
        "</pageFooter>");
    const auto pages = FillTexts(
        r,
        CityAmountRows({{"a", 1}, {"a", 2}, {"a", 4}, {"a", 8}, {"a", 16}, {"a", 32}, {"a", 64}}));
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[0], "sum 7|col 7|now null|1|2|4|Page 1 of|3");
    EXPECT_EQ(pages[1], "sum 56|col 56|now null|8|16|32|Page 2 of|3");
    EXPECT_EQ(pages[2], "sum 64|col 64|now null|64|Page 3 of|3");
}

TEST(EvaluationTime, GroupTakesTheValuesAsTheGroupInstanceEnds) {
    // The group "a" runs over two pages; its total shows in the title, its
    // header, every detail row and the page footers while it runs.
    const Report r = Prepared(
        std::string(CitySum) + "<group name=\"C\"><groupExpression>$F{CITY}</groupExpression>" +
        "<groupHeader>" +
        InBand(Field("\"[\" + $F{CITY} + \" \" + $V{CitySum} + \"/\" + $V{C_COUNT}",
                     "evaluationTime=\"Group\" evaluationGroup=\"C\"")) +
        "</groupHeader></group><title>" +
        InBand(Field("\"T\" + $V{CitySum}", "evaluationTime=\"Group\" evaluationGroup=\"C\"")) +
        "</title><detail>" +
        InBand(Field("$F{AMOUNT}") + Field("\"of \" + $V{CitySum}",
                                           "evaluationTime=\"Group\" evaluationGroup=\"C\"", 50),
               40) +
        "</detail><pageFooter>" +
        InBand(Field("$F{CITY} + \"=\" + $V{CitySum}",
                     "evaluationTime=\"Group\" evaluationGroup=\"C\"")) +
        "</pageFooter>");
    const auto pages = FillTexts(
        r, CityAmountRows({{"a", 1}, {"a", 2}, {"a", 4}, {"a", 8}, {"b", 16}, {"b", 32}}));
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0], "T15|[a 15/4|1|of 15|2|of 15|4|of 15|a=15");
    EXPECT_EQ(pages[1], "8|of 15|[b 48/2|16|of 48|32|of 48|b=48");
}

TEST(EvaluationTime, GroupOfAnOuterGroupInsideAnInnerOne) {
    const Report r = Prepared(
        std::string(CitySum) +
            R"(<variable name="Big" class="java.lang.Integer" calculation="Count" resetType="Group" resetGroup="Size">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <group name="C"><groupExpression>$F{CITY}</groupExpression></group>
        <group name="Size"><groupExpression>$F{AMOUNT} > 5</groupExpression><groupHeader>)" +
            InBand(Field("$V{CitySum} + \"/\" + $V{Big}",
                         "evaluationTime=\"Group\" evaluationGroup=\"C\"") +
                   Field("\"inner \" + $V{Big}",
                         "evaluationTime=\"Group\" evaluationGroup=\"Size\"", 50)) +
            "</groupHeader></group><detail>" + InBand(Field("$F{AMOUNT}")) + "</detail>",
        2000);
    const auto pages = FillTexts(r, CityAmountRows({{"a", 1}, {"a", 2}, {"a", 9}, {"b", 9}}));
    ASSERT_EQ(pages.size(), 1u);
    // The outer total comes with the inner group's count as the outer group ends.
    EXPECT_EQ(pages[0], "12/1|inner 2|1|2|12/1|inner 1|9|9/1|inner 1|9");
}

TEST(EvaluationTime, AutoTakesEachVariableAtItsOwnReset) {
    const Report r =
        Prepared(std::string(CitySum) + PageSum +
                 R"(<variable name="Last" class="java.lang.Integer" resetType="None">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <group name="C"><groupExpression>$F{CITY}</groupExpression><groupHeader>)" +
                 // A field is read as the band is filled, the group's variables as it ends,
                 // PAGE_NUMBER and REPORT_COUNT (reset per report) at the report's end.
                 InBand(Field("$F{CITY} + \" \" + $V{CitySum} + \"/\" + $V{C_COUNT} + \" of \" + "
                              "$V{REPORT_COUNT} + \" last \" + $V{Last}",
                              "evaluationTime=\"Auto\"")) +
                 "</groupHeader></group><detail>" + InBand(Field("$F{AMOUNT}"), 40) +
                 "</detail><pageFooter>" +
                 InBand(Field("$V{PageSum} + \" in \" + $V{PAGE_COUNT} + \" p\" + $V{PAGE_NUMBER}",
                              "evaluationTime=\"Auto\"")) +
                 "</pageFooter>");
    const auto pages =
        FillTexts(r, CityAmountRows({{"a", 1}, {"a", 2}, {"a", 4}, {"b", 8}, {"b", 16}}));
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0], "a 7/3 of 5 last null|1|2|4|b 24/2 of 5 last 4|7 in 3 p2");
    EXPECT_EQ(pages[1], "8|16|24 in 2 p2");
}

TEST(EvaluationTime, BandIsTheRowsOwnValues) {
    const Report r =
        Prepared(std::string(CitySum) + "<detail>" +
                     InBand(Field("$F{AMOUNT} + \":\" + $V{CitySum}", "evaluationTime=\"Band\"")) +
                     "</detail>"
                     R"(<group name="C"><groupExpression>$F{CITY}</groupExpression></group>)",
                 2000);
    EXPECT_EQ(FillTexts(r, CityAmountRows({{"a", 1}, {"a", 2}, {"b", 4}})),
              std::vector<std::string>{"1:1|2:3|4:4"});
}

TEST(EvaluationTime, DelayedFieldsKeepTheirSizeAndBlankWhenNull) {
    // A long text that comes later does not stretch its element.
    const Report r =
        Prepared("<detail><band height=\"20\"><textField isStretchWithOverflow=\"true\" "
                 "evaluationTime=\"Page\" isBlankWhenNull=\"true\"><reportElement x=\"0\" y=\"0\" "
                 "width=\"20\" height=\"10\"/><textFieldExpression>$F{CITY}</textFieldExpression>"
                 "</textField></band></detail>",
                 2000);
    VectorRows rows(
        {{std::string("many words that would wrap over several lines"), std::int64_t{1}},
         {Value(), std::int64_t{2}}});
    std::vector<Page> pages;
    FillReport(
        r, ParameterValues(r, {}), rows, [&](Page&& p) { pages.push_back(std::move(p)); }, nullptr,
        nullptr);
    ASSERT_EQ(pages.size(), 1u);
    ASSERT_EQ(pages[0].items.size(), 2u);
    // Evaluated as the page ends: the last row's (null) value, blank.
    EXPECT_EQ(pages[0].items[0].text, "");
    EXPECT_EQ(pages[0].items[0].rect.height(), 10);
    EXPECT_EQ(pages[0].items[1].rect.top(), 40);
}

TEST(EvaluationTime, ImagesTakeTheirPictureLaterToo) {
    const auto png = [](Qt::GlobalColor color) {
        QImage image(4, 4, QImage::Format_RGB32);
        image.fill(color);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return Value(engine::Blob(bytes.begin(), bytes.end()));
    };
    const auto image = [](const std::string& attributes) {
        return "<image " + attributes +
               "><reportElement x=\"0\" y=\"0\" width=\"10\" height=\"10\"/>"
               "<imageExpression>$F{PHOTO}</imageExpression></image>";
    };
    Report r = ParsePrepared(
        Jrxml("<field name=\"PHOTO\" class=\"java.lang.Object\"/><title>" +
              InBand(image("evaluationTime=\"Page\"") + image("evaluationTime=\"Report\"") +
                     image("evaluationTime=\"Auto\"")) +
              "</title><detail>" + InBand("") + "</detail>"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    FillState atEnd;
    std::vector<std::vector<Value>> rows = {{png(Qt::red)}, {png(Qt::blue)}};
    VectorRows first(rows), second(rows);
    const auto parameters = ParameterValues(r, {});
    FillReport(
        r, parameters, first, [](Page&&) {}, nullptr, &atEnd);
    std::vector<Page> pages;
    FillReport(
        r, parameters, second, [&](Page&& p) { pages.push_back(std::move(p)); }, &atEnd, nullptr);
    ASSERT_EQ(pages.size(), 1u);
    ASSERT_EQ(pages[0].items.size(), 3u);
    // The last row's picture at the page's and the report's end; Auto reads
    // the field as the title is filled: the first row's.
    EXPECT_EQ(pages[0].items[0].image.pixelColor(1, 1), QColor(Qt::blue));
    EXPECT_EQ(pages[0].items[1].image.pixelColor(1, 1), QColor(Qt::blue));
    EXPECT_EQ(pages[0].items[2].image.pixelColor(1, 1), QColor(Qt::red));
}

TEST(EvaluationTime, UnknownOrMissingGroupsAreRefused) {
    const auto refusals = [](const std::string& attributes) {
        Report r = ParsePrepared(Jrxml(std::string(CityAmountFields) + "<title>" +
                                       InBand(Field("$F{CITY}", attributes)) + "</title>"));
        return r.refusals.empty() ? std::string() : r.refusals.front();
    };
    EXPECT_NE(refusals("evaluationTime=\"Group\" evaluationGroup=\"Nope\"").find("\"Nope\""),
              std::string::npos);
    EXPECT_NE(refusals("evaluationTime=\"Group\"").find("without an evaluationGroup"),
              std::string::npos);
    EXPECT_EQ(refusals("evaluationTime=\"Auto\""), "");
}

// ---- calculations ---------------------------------------------------------------

TEST(Calculations, DistinctCountVarianceDeviationAndFirstSkipNulls) {
    const Report r = Prepared(
        R"(<variable name="Cities" class="java.lang.Integer" calculation="DistinctCount">
            <variableExpression>$F{CITY}</variableExpression></variable>
        <variable name="Amounts" class="java.lang.Long" calculation="DistinctCount">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <variable name="Var" class="java.lang.Double" calculation="Variance">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <variable name="Dev" class="java.lang.Double" calculation="StandardDeviation">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <variable name="FirstCity" class="java.lang.String" calculation="First">
            <variableExpression>$F{CITY}</variableExpression></variable>
        <variable name="FirstAmount" class="java.lang.Integer" calculation="First">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <detail>)" +
            InBand(Field("$V{Cities} + \" \" + $V{Amounts} + \" \" + $V{FirstCity} + "
                         "\" \" + $V{FirstAmount}")) +
            "</detail><summary>" +
            InBand(Field("$V{Var}", "pattern=\"0.000\"") +
                   Field("$V{Dev}", "pattern=\"0.000\"", 50)) +
            "</summary>",
        2000);
    std::vector<std::vector<Value>> rows = {{std::string("a"), std::int64_t{2}},
                                            {std::string("b"), Value()},
                                            {std::string("a"), std::int64_t{4}},
                                            {Value(), std::int64_t{4}},
                                            {std::string("c"), std::int64_t{6}}};
    // The population's variance of 2 4 4 6 is 2.
    EXPECT_EQ(FillTexts(r, rows),
              std::vector<std::string>{"1 1 a 2|2 1 a 2|2 2 a 2|2 2 a 2|3 3 a 2|2.000|1.414"});
}

TEST(Calculations, ANullFirstValueLeavesNoResultUntilANumberComes) {
    const Report r = Prepared(
        R"(<variable name="S" class="java.lang.Integer" calculation="Sum">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <variable name="V" class="java.lang.Double" calculation="Variance">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <variable name="L" class="java.lang.Integer" calculation="Lowest">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <variable name="F" class="java.lang.Integer" calculation="First">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <variable name="N" class="java.lang.Integer" calculation="Count">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <detail>)" +
            InBand(Field("$V{S} + \" \" + $V{V} + \" \" + $V{L} + \" \" + $V{F} + \" \" + "
                         "$V{N}")) +
            "</detail>",
        2000);
    std::vector<std::vector<Value>> rows = {{std::string("a"), Value()},
                                            {std::string("a"), std::int64_t{3}},
                                            {std::string("a"), Value()},
                                            {std::string("a"), std::int64_t{5}}};
    // First keeps the first row's value even when it is null.
    EXPECT_EQ(FillTexts(r, rows),
              std::vector<std::string>{"null null null null 0|3 0.0 3 null 1|3 0.0 3 null 1|"
                                       "8 1.0 3 null 2"});
}

TEST(Calculations, InitialValuesShowUntilTheFirstRowReplacesThem) {
    const Report r = Prepared(
        R"(<variable name="S" class="java.lang.Integer" calculation="Sum" resetType="Group" resetGroup="C">
            <variableExpression>$F{AMOUNT}</variableExpression>
            <initialValueExpression>100</initialValueExpression></variable>
        <variable name="N" class="java.lang.Integer" calculation="Count" resetType="Group" resetGroup="C">
            <variableExpression>$F{AMOUNT}</variableExpression>
            <initialValueExpression>7</initialValueExpression></variable>
        <variable name="D" class="java.lang.Integer" calculation="DistinctCount" resetType="Group" resetGroup="C">
            <variableExpression>$F{AMOUNT}</variableExpression>
            <initialValueExpression>-1</initialValueExpression></variable>
        <variable name="H" class="java.lang.String" calculation="Highest" resetType="Group" resetGroup="C">
            <variableExpression>$F{CITY}</variableExpression>
            <initialValueExpression>"none"</initialValueExpression></variable>
        <variable name="F" class="java.lang.String" calculation="First" resetType="Group" resetGroup="C">
            <variableExpression>$F{CITY}</variableExpression>
            <initialValueExpression>"-"</initialValueExpression></variable>
        <group name="C"><groupExpression>$F{CITY}</groupExpression><groupHeader>)" +
            InBand(Field("\"h \" + $V{S} + \" \" + $V{N} + \" \" + $V{D} + \" \" + $V{H} + \" \" + "
                         "$V{F}")) +
            "</groupHeader><groupFooter>" +
            InBand(Field("\"f \" + $V{S} + \" \" + $V{N} + \" \" + $V{D} + \" \" + $V{H} + \" \" + "
                         "$V{F}")) +
            "</groupFooter></group>",
        2000);
    EXPECT_EQ(FillTexts(r, CityAmountRows({{"a", 1}, {"a", 1}, {"b", 5}})),
              std::vector<std::string>{"h 100 7 -1 none -|f 2 2 1 a a|h 100 7 -1 none -|"
                                       "f 5 1 1 b b"});
}

TEST(Calculations, ResetPerColumnIsResetPerPage) {
    const Report r = Prepared(
        R"(<variable name="ColumnSum" class="java.lang.Integer" calculation="Sum" resetType="Column">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <detail>)" +
        InBand(Field("$F{AMOUNT}"), 60) + "</detail><columnFooter>" +
        InBand(Field("\"c \" + $V{ColumnSum}")) + "</columnFooter>");
    EXPECT_EQ(FillTexts(r, CityAmountRows({{"a", 1}, {"a", 2}, {"a", 4}})),
              (std::vector<std::string>{"1|2|c 3", "4|c 4"}));
}

// ---- increment types ----------------------------------------------------------

TEST(IncrementType, GroupCountsTheGroupsThatEnded) {
    const Report r = Prepared(
        R"(<variable name="Number" class="java.lang.Integer" incrementType="Group" incrementGroup="C" calculation="Count">
            <variableExpression>Boolean.TRUE</variableExpression></variable>
        <group name="C"><groupExpression>$F{CITY}</groupExpression><groupHeader>)" +
            InBand(Field("$V{Number} + \". \" + $F{CITY}",
                         "evaluationTime=\"Group\" evaluationGroup=\"C\"") +
                   Field("\"now \" + $V{Number}", "", 50)) +
            "</groupHeader></group><detail>" + InBand(Field("$F{AMOUNT} + \"#\" + $V{Number}")) +
            "</detail><summary>" + InBand(Field("\"groups \" + $V{Number}")) + "</summary>",
        2000);
    // Each row builds on the groups that ended before it: 1, then 2, then 3.
    EXPECT_EQ(FillTexts(r, CityAmountRows({{"a", 1}, {"a", 2}, {"b", 3}, {"c", 4}, {"c", 5}})),
              std::vector<std::string>{"1. a|now 0|1#1|2#1|2. b|now 1|3#2|3. c|now 2|4#3|5#3|"
                                       "groups 3"});
}

TEST(IncrementType, PageSumsPageTotalsAsPagesEnd) {
    // Three rows a page; the fourth row moves to the second page.
    const Report r = Prepared(
        std::string(PageSum) +
        R"(<variable name="Running" class="java.lang.Integer" calculation="Sum" incrementType="Page">
            <variableExpression>$V{PageSum}</variableExpression></variable>
        <variable name="Pages" class="java.lang.Integer" calculation="Count" incrementType="Column">
            <variableExpression>$V{PAGE_NUMBER}</variableExpression></variable>
        <detail>)" +
        InBand(Field("$F{AMOUNT}"), 45) + "</detail><pageFooter>" +
        InBand(Field("\"run \" + $V{Running} + \" pages \" + $V{Pages}")) + "</pageFooter>");
    const auto pages = FillTexts(
        r,
        CityAmountRows({{"a", 1}, {"a", 2}, {"a", 4}, {"a", 8}, {"a", 16}, {"a", 32}, {"a", 64}}));
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[0], "1|2|4|run 7 pages 1");
    EXPECT_EQ(pages[1], "8|16|32|run 63 pages 2");
    EXPECT_EQ(pages[2], "64|run 127 pages 3");
}

TEST(IncrementType, ReportAndNoneIncrements) {
    const Report r = Prepared(
        R"(<variable name="Row" class="java.lang.Integer" calculation="Sum" incrementType="Report">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <variable name="All" class="java.lang.Integer" calculation="Sum" incrementType="None">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <detail>)" +
            InBand(Field("$V{Row} + \" \" + $V{All}")) + "</detail>",
        2000);
    // Incremented only as the report ends, each row builds on nothing.
    EXPECT_EQ(FillTexts(r, CityAmountRows({{"a", 1}, {"a", 2}, {"a", 4}})),
              std::vector<std::string>{"1 1|2 3|4 7"});
}

TEST(IncrementType, UnknownValuesAndGroupsAreRefused) {
    const auto refusal = [](const std::string& attributes) {
        Report r = ParsePrepared(
            Jrxml(std::string(CityAmountFields) + "<variable name=\"V\" " + attributes + "/>"));
        return r.refusals.empty() ? std::string() : r.refusals.front();
    };
    EXPECT_NE(refusal("incrementType=\"Row\"").find("\"Row\""), std::string::npos);
    EXPECT_NE(refusal("incrementType=\"Group\" incrementGroup=\"Nope\"").find("\"Nope\""),
              std::string::npos);
    EXPECT_EQ(refusal("incrementType=\"Page\" resetType=\"Column\""), "");
}
