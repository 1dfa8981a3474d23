#include "report_test_support.h"

#include <gtest/gtest.h>

using namespace printengine;
using namespace printengine::test;

TEST(Fill, TitleOnceHeadersOnEveryPageSummaryAtTheEnd) {
    // Page 200 high, margins 20: 160 points of room; the footer takes 10.
    const Report r = ParsePrepared(Jrxml(
        std::string(CityAmountFields) + "<title>" + BandXml("\"T\"", 20) + "</title><pageHeader>" +
        BandXml("\"H\"") + "</pageHeader><detail>" + BandXml("$F{CITY}", 30) +
        "</detail><pageFooter>" + BandXml("\"F\" + $V{PAGE_NUMBER}") + "</pageFooter><summary>" +
        BandXml("\"S\"") + "</summary>"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    const auto pages =
        FillTexts(r, CityAmountRows({{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}, {"e", 5}}));
    // 20 + 10 + 4 * 30 = 150 fits under 150; the fifth row goes on.
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0], "T|H|a|b|c|d|F1");
    EXPECT_EQ(pages[1], "H|e|S|F2");
}

TEST(Fill, PageTotalsAtTheReportsEnd) {
    const Report r = ParsePrepared(Jrxml(
        std::string(CityAmountFields) + "<detail>" + BandXml("$F{CITY}", 50) +
        "</detail><pageFooter>" +
        "<band height='10'><textField><reportElement x='0' y='0' width='50' height='10'/>"
        "<textFieldExpression>\"Page \" + $V{PAGE_NUMBER}</textFieldExpression></textField>"
        "<textField evaluationTime='Report'><reportElement x='50' y='0' width='50' height='10'/>"
        "<textFieldExpression>\" of \" + $V{PAGE_NUMBER}</textFieldExpression></textField>"
        "</band></pageFooter>"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    std::vector<std::vector<Value>> rows;
    for (int i = 0; i < 10; ++i)
        rows.push_back({std::string("r") + std::to_string(i), std::int64_t{i}});
    const auto pages = FillTexts(r, rows);
    ASSERT_EQ(pages.size(), 4u); // two rows of 50 per page of 150 (10 for the footer)
    EXPECT_EQ(pages[2], "r6|r7|r8|Page 3| of 4");
    EXPECT_EQ(pages[3], "r9|Page 4| of 4");
}

TEST(Fill, GroupsFootersSeeTheirOwnRowsAndSums) {
    const Report r = ParsePrepared(Jrxml(std::string(CityAmountFields) + R"(
        <variable name="CityTotal" class="java.lang.Integer" calculation="Sum" resetType="Group" resetGroup="C">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <variable name="Low" class="java.lang.Integer" calculation="Lowest" resetType="Group" resetGroup="C">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <variable name="All" class="java.lang.Integer" calculation="Count">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <variable name="Avg" class="java.lang.Double" calculation="Average">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <variable name="Top" class="java.lang.Integer" calculation="Highest">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <group name="C"><groupExpression>$F{CITY}</groupExpression>
          <groupHeader>)" + BandXml("\"[\" + $F{CITY} + \" \" + $V{CityTotal}") +
                                             "</groupHeader><groupFooter>" +
                                             BandXml("$F{CITY} + \"=\" + $V{CityTotal} + \"/\" + "
                                                     "$V{C_COUNT} + \" low \" + $V{Low}") +
                                             R"(</groupFooter></group>
        <detail>)" + BandXml("$F{AMOUNT}") + "</detail><summary>" +
                                             BandXml(
                                                 "$V{All} + \" \" + $V{Avg} + \" \" + $V{Top} + "
                                                 "\" \" + $V{REPORT_COUNT}") +
                                             "</summary>",
                                         2000));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    const auto pages =
        FillTexts(r, CityAmountRows({{"a", 5}, {"a", 3}, {"b", 10}, {"c", 1}, {"c", 2}}));
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0], "[a null|5|3|a=8/2 low 3|[b null|10|b=10/1 low 10|[c null|1|2|c=3/2 low 1|"
                        "5 4.2 10 5");
}

TEST(Fill, NestedGroupsBreakFromTheOuterGroupInward) {
    const Report r = ParsePrepared(Jrxml(std::string(CityAmountFields) + R"(
        <group name="Outer"><groupExpression>$F{CITY}</groupExpression>
          <groupHeader>)" + BandXml("\"O:\" + $F{CITY}") +
                                             R"(</groupHeader></group>
        <group name="Inner"><groupExpression>$F{AMOUNT} > 5</groupExpression>
          <groupFooter>)" + BandXml("\"I/\" + $V{Inner_COUNT}") +
                                             R"(</groupFooter></group>
        <detail>)" + BandXml("$F{AMOUNT}") + "</detail>",
                                         2000));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    const auto pages = FillTexts(r, CityAmountRows({{"a", 1}, {"a", 9}, {"b", 9}}));
    ASSERT_EQ(pages.size(), 1u);
    // The outer break at "b" closes the inner group even though its value stays true.
    EXPECT_EQ(pages[0], "O:a|1|I/1|9|I/1|O:b|9|I/1");
}

TEST(Fill, PageVariablesResetOnEveryPage) {
    const Report r = ParsePrepared(Jrxml(std::string(CityAmountFields) + R"(
        <variable name="PageSum" class="java.lang.Integer" calculation="Sum" resetType="Page">
            <variableExpression>$F{AMOUNT}</variableExpression></variable>
        <detail>)" + BandXml("$F{AMOUNT}", 60) +
                                         "</detail><pageFooter>" +
                                         BandXml("\"sum \" + $V{PageSum} + \" rows \" + "
                                                 "$V{PAGE_COUNT}") +
                                         "</pageFooter>"));
    const auto pages = FillTexts(r, CityAmountRows({{"a", 1}, {"a", 2}, {"a", 4}}));
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0], "1|2|sum 3 rows 2");
    EXPECT_EQ(pages[1], "4|sum 4 rows 1");
}

TEST(Fill, NoRowsMeansNoPagesUnlessAllSectionsAreAskedFor) {
    const std::string body = std::string(CityAmountFields) + "<title>" + BandXml("\"T\"") +
                             "</title><detail>" + BandXml("$F{CITY}") + "</detail><summary>" +
                             BandXml("\"S\"") + "</summary>";
    EXPECT_TRUE(FillTexts(ParsePrepared(Jrxml(body)), {}).empty());
    std::string all = Jrxml(body);
    all.replace(all.find("name=\"t\""), 8, "name=\"t\" whenNoDataType=\"AllSectionsNoDetail\"");
    EXPECT_EQ(FillTexts(ParsePrepared(all), {}), (std::vector<std::string>{"T|S"}));
}

TEST(Fill, StretchingTextPushesFloatingElementsDown) {
    const Report r =
        ParsePrepared(Jrxml(std::string(CityAmountFields) + R"(<detail><band height="20">
        <textField isStretchWithOverflow="true"><reportElement x="0" y="0" width="40" height="10"/>
          <textFieldExpression>$F{CITY}</textFieldExpression></textField>
        <staticText><reportElement positionType="Float" x="0" y="10" width="40" height="10"/>
          <text>below</text></staticText>
        </band></detail>)",
                            2000));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    VectorRows rows({{std::string("many words that wrap over several lines here"), std::int64_t{1}},
                     {std::string("x"), std::int64_t{2}}});
    std::vector<Page> pages;
    FillReport(
        r, {}, rows, [&](Page&& p) { pages.push_back(std::move(p)); }, nullptr, nullptr);
    ASSERT_EQ(pages.size(), 1u);
    ASSERT_EQ(pages[0].items.size(), 4u);
    const QRectF stretched = pages[0].items[0].rect;
    EXPECT_GT(stretched.height(), 30);
    EXPECT_DOUBLE_EQ(pages[0].items[1].rect.top(), stretched.bottom());
    // The next row starts below the grown band.
    EXPECT_DOUBLE_EQ(pages[0].items[2].rect.top(), pages[0].items[1].rect.bottom());
}

TEST(Fill, BoxPaddingAddsToTheStretchedHeight) {
    const auto stretchedHeight = [](const char* box) {
        const Report r = ParsePrepared(
            Jrxml(std::string(CityAmountFields) +
                      R"(<detail><band height="10">
            <textField isStretchWithOverflow="true"><reportElement x="0" y="0" width="60" height="10"/>)" +
                      box + R"(<textFieldExpression>$F{CITY}</textFieldExpression></textField>
            </band></detail>)",
                  2000));
        EXPECT_TRUE(r.refusals.empty()) << r.refusals.front();
        VectorRows rows({{std::string("words enough to wrap onto more lines"), std::int64_t{1}}});
        double height = 0;
        FillReport(
            r, {}, rows, [&](Page&& p) { height = p.items.at(0).rect.height(); }, nullptr, nullptr);
        return height;
    };
    const double plain = stretchedHeight("");
    EXPECT_GT(plain, 10);
    EXPECT_GE(stretchedHeight("<box topPadding='4' bottomPadding='6'/>"), plain + 10);
    // Side padding narrows the text: more lines.
    EXPECT_GT(stretchedHeight("<box leftPadding='20'/>"), plain);
}

TEST(Fill, ParametersTakeFormulasOverDefaults) {
    Report r = ParsePrepared(Jrxml(R"(
        <parameter name="Year" class="java.lang.Integer"><defaultValueExpression>2000 + 4</defaultValueExpression></parameter>
        <parameter name="Label" class="java.lang.String"><defaultValueExpression>"Y" + $P{Year}</defaultValueExpression></parameter>
        <parameter name="Empty" class="java.lang.String"/>)"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    auto values = ParameterValues(r, {});
    EXPECT_EQ(values[0], Value(std::int64_t{2004}));
    EXPECT_EQ(values[1], Value(std::string("Y2004")));
    EXPECT_TRUE(engine::IsNull(values[2]));
    std::vector<std::pair<std::string, Expression>> formulas;
    formulas.emplace_back("Year", Expression::Parse("1999"));
    values = ParameterValues(r, formulas);
    EXPECT_EQ(values[1], Value(std::string("Y1999")));
    // A formula's value is converted to the parameter's class.
    formulas.clear();
    formulas.emplace_back("Year", Expression::Parse("\"12\""));
    EXPECT_EQ(ParameterValues(r, formulas)[0], Value(std::int64_t{12}));
}

TEST(Fill, EvaluationErrorsNameTheExpression) {
    const Report r = ParsePrepared(Jrxml(std::string(CityAmountFields) + "<detail>" +
                                         BandXml("$F{AMOUNT} / 0") + "</detail>"));
    VectorRows rows(CityAmountRows({{"a", 1}}));
    try {
        FillReport(
            r, {}, rows, [](Page&&) {}, nullptr, nullptr);
        FAIL();
    } catch (const FillError& e) {
        EXPECT_NE(std::string(e.what()).find("$F{AMOUNT} / 0"), std::string::npos);
    }
}

TEST(Fill, ABandTallerThanThePageDoesNotLoopForever) {
    const Report r = ParsePrepared(
        Jrxml(std::string(CityAmountFields) + "<detail>" + BandXml("$F{CITY}", 500) + "</detail>"));
    EXPECT_EQ(FillTexts(r, CityAmountRows({{"a", 1}, {"b", 2}})).size(), 2u);
}

// ---- page layout attributes ------------------------------------------------------

TEST(FillLayout, TheLastPageHasItsOwnFooter) {
    const Report r = ParsePrepared(
        Jrxml(std::string(CityAmountFields) + "<detail>" + BandXml("$F{CITY}", 50) +
              "</detail><pageFooter>" + BandXml("\"F\" + $V{PAGE_NUMBER}") +
              "</pageFooter><lastPageFooter>" + BandXml("\"Last\"", 20) + "</lastPageFooter>"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    // 160 points less the taller footer (20): two rows of 50 per page.
    const auto pages =
        FillTexts(r, CityAmountRows({{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}, {"e", 5}}));
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[0], "a|b|F1");
    EXPECT_EQ(pages[1], "c|d|F2");
    EXPECT_EQ(pages[2], "e|Last");
}

TEST(FillLayout, TheBackgroundIsUnderEveryPage) {
    const Report r =
        ParsePrepared(Jrxml(std::string(CityAmountFields) + "<background>" +
                            BandXml("\"BG\"", 100) + "</background><title>" + BandXml("\"T\"", 20) +
                            "</title><detail>" + BandXml("$F{CITY}", 70) + "</detail>"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    VectorRows rows(CityAmountRows({{"a", 1}, {"b", 2}, {"c", 3}}));
    std::vector<std::vector<std::pair<std::string, int>>> pages;
    FillReport(
        r, ParameterValues(r, {}), rows,
        [&](Page&& page) {
            pages.emplace_back();
            for (const auto& item : page.items)
                pages.back().emplace_back(item.text.toStdString(), int(item.rect.top()));
        },
        nullptr, nullptr);
    ASSERT_EQ(pages.size(), 2u);
    // The background comes first (drawn below the rest) and takes no room.
    EXPECT_EQ(pages[0], (std::vector<std::pair<std::string, int>>{
                            {"BG", 20}, {"T", 20}, {"a", 40}, {"b", 110}}));
    EXPECT_EQ(pages[1], (std::vector<std::pair<std::string, int>>{{"BG", 20}, {"c", 20}}));
}

TEST(FillLayout, WhenThereAreNoRows) {
    const std::string bands = std::string(CityAmountFields) + "<title>" + BandXml("\"T\"") +
                              "</title><detail>" + BandXml("$F{CITY}") + "</detail><noData>" +
                              BandXml("\"Nothing to show\"") + "</noData>";
    const auto fill = [&](const char* type) {
        const std::string text = Jrxml(bands);
        const std::string withType = text.substr(0, text.find("uuid=")) + "whenNoDataType=\"" +
                                     type + "\" " + text.substr(text.find("uuid="));
        const Report r = ParsePrepared(withType);
        EXPECT_TRUE(r.refusals.empty()) << r.refusals.front();
        return FillTexts(r, {});
    };
    EXPECT_EQ(fill("NoPages"), std::vector<std::string>{});
    EXPECT_EQ(fill("BlankPage"), std::vector<std::string>{""});
    EXPECT_EQ(fill("NoDataSection"), std::vector<std::string>{"Nothing to show"});
    EXPECT_EQ(fill("AllSectionsNoDetail"), std::vector<std::string>{"T"});
}

TEST(FillLayout, AGroupNeedingMoreRoomStartsANewPage) {
    const Report r = ParsePrepared(Jrxml(std::string(CityAmountFields) + R"(
        <group name="C" minHeightToStartNewPage="60"><groupExpression>$F{CITY}</groupExpression>
            <groupHeader>)" + BandXml("\"[\" + $F{CITY}", 10) +
                                         R"(</groupHeader></group>
        <detail>)" + BandXml("$F{AMOUNT}", 40) +
                                         "</detail>"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    // After [a 1 2 (90 of 160 points) 70 are left: [b fits. After [b 3 (140), 20 are left.
    const auto pages = FillTexts(r, CityAmountRows({{"a", 1}, {"a", 2}, {"b", 3}, {"c", 4}}));
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0], "[a|1|2|[b|3");
    EXPECT_EQ(pages[1], "[c|4");
}

TEST(FillLayout, SystemVariablesKeepTheirInitialValue) {
    const Report r = ParsePrepared(Jrxml(std::string(CityAmountFields) + R"(
        <variable name="S" class="java.lang.String" calculation="System">
            <variableExpression>$F{CITY}.substring(99)</variableExpression>
            <initialValueExpression>"start"</initialValueExpression></variable>
        <detail>)" + BandXml("$V{S} + $F{AMOUNT}") +
                                         "</detail>"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    EXPECT_EQ(FillTexts(r, CityAmountRows({{"a", 1}, {"b", 2}})),
              std::vector<std::string>{"start1|start2"});
}

TEST(FillLayout, GroupSectionsOfSeveralBands) {
    const Report r = ParsePrepared(Jrxml(std::string(CityAmountFields) + R"(
        <group name="C"><groupExpression>$F{CITY}</groupExpression>
            <groupHeader>)" + BandXml("\"[\" + $F{CITY}") +
                                         BandXml("\"(\" + $F{CITY}") + R"(</groupHeader>
            <groupFooter>)" + BandXml("\"]\"") +
                                         BandXml("\")\"") +
                                         R"(</groupFooter></group>
        <detail>)" + BandXml("$F{AMOUNT}") +
                                         "</detail>"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals.front();
    EXPECT_EQ(FillTexts(r, CityAmountRows({{"a", 1}, {"b", 2}})),
              std::vector<std::string>{"[a|(a|1|]|)|[b|(b|2|]|)"});
}
