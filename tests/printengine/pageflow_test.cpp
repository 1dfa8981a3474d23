// How bands flow over pages and columns: the report's and the groups' page
// attributes, checked by where each text lands.
#include "report_test_support.h"

#include <gtest/gtest.h>

#include <map>

using namespace printengine;
using namespace printengine::test;

namespace {

struct Placed {
    std::string text;
    QRectF rect;
};

struct Filled {
    std::vector<std::vector<Placed>> pages;
    std::vector<double> heights;
};

// Fills the report (twice, for values from the report's end) and keeps every
// text with its place.
Filled Fill(const Report& r, const std::vector<std::vector<Value>>& rows) {
    FillState atEnd;
    const auto parameters = ParameterValues(r, {});
    VectorRows first(rows);
    FillReport(
        r, parameters, first, [](Page&&) {}, nullptr, &atEnd);
    VectorRows second(rows);
    Filled out;
    FillReport(
        r, parameters, second,
        [&](Page&& page) {
            std::vector<Placed> placed;
            for (const auto& item : page.items)
                if (!item.text.isEmpty()) placed.push_back({item.text.toStdString(), item.rect});
            out.pages.push_back(std::move(placed));
            out.heights.push_back(page.height);
        },
        &atEnd, nullptr);
    return out;
}

const Placed* Find(const std::vector<Placed>& page, const std::string& text) {
    for (const auto& p : page)
        if (p.text == text) return &p;
    return nullptr;
}

std::string Texts(const std::vector<Placed>& page) {
    std::string s;
    for (const auto& p : page)
        s += (s.empty() ? "" : "|") + p.text;
    return s;
}

// A 300 x `height` page, 20-point margins, with `attributes` on the report.
std::string Doc(const std::string& attributes, const std::string& body, int height = 200) {
    return "<?xml version=\"1.0\"?>\n<jasperReport "
           "xmlns=\"http://jasperreports.sourceforge.net/jasperreports\" name=\"t\" "
           "pageWidth=\"300\" pageHeight=\"" +
           std::to_string(height) +
           "\" leftMargin=\"20\" rightMargin=\"20\" topMargin=\"20\" bottomMargin=\"20\" " +
           attributes + ">\n<field name=\"CITY\" class=\"java.lang.String\"/>\n" +
           "<field name=\"N\" class=\"java.lang.Integer\"/>\n" + body + "\n</jasperReport>";
}

// A band of `height` with one text field `width` wide.
std::string BandOf(const std::string& expression, int height, int width = 60) {
    return "<band height=\"" + std::to_string(height) + "\"><textField><reportElement x=\"0\" " +
           "y=\"0\" width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) +
           "\"/><textFieldExpression><![CDATA[" + expression +
           "]]></textFieldExpression></textField></band>";
}

std::string CityGroup(const std::string& attributes, int header = 10, int footer = 10) {
    return "<group name=\"G\" " + attributes +
           "><groupExpression>$F{CITY}</groupExpression><groupHeader>" +
           BandOf("\"H\" + $F{CITY}", header) + "</groupHeader><groupFooter>" +
           BandOf("\"E\" + $F{CITY}", footer) + "</groupFooter></group>";
}

std::vector<std::vector<Value>> Rows(const std::vector<std::pair<std::string, int>>& rows) {
    std::vector<std::vector<Value>> out;
    for (const auto& [city, n] : rows)
        out.push_back({city, std::int64_t{n}});
    return out;
}

std::vector<std::vector<Value>> Numbered(int count, const std::string& city = "a") {
    std::vector<std::pair<std::string, int>> rows;
    for (int i = 0; i < count; ++i)
        rows.emplace_back(city, i);
    return Rows(rows);
}

Report Parsed(const std::string& text) {
    Report r = ParsePrepared(text);
    EXPECT_TRUE(r.refusals.empty()) << (r.refusals.empty() ? "" : r.refusals.front());
    return r;
}

// Two columns 120 wide, 20 apart: x = 20 and 160.
const char* TwoColumns = "columnCount=\"2\" columnWidth=\"120\" columnSpacing=\"20\"";

} // namespace

// ---- columns ------------------------------------------------------------------

TEST(PageFlowColumns, VerticalOrderFillsEachColumnDownThenTheNext) {
    const auto r = Parsed(
        Doc(TwoColumns, "<columnHeader>" + BandOf("\"C\" + $V{COLUMN_NUMBER}", 10) +
                            "</columnHeader><detail>" + BandOf("\"r\" + $F{N}", 30) +
                            "</detail><columnFooter>" + BandOf("\"F\" + $V{COLUMN_NUMBER}", 10) +
                            "</columnFooter><pageFooter>" +
                            BandOf("\"P\" + $V{PAGE_NUMBER}", 10, 200) + "</pageFooter>"));
    // Columns start at 30; four rows of 30 fit above the footers at 160.
    const Filled f = Fill(r, Numbered(10));
    ASSERT_EQ(f.pages.size(), 2u);
    const auto& p = f.pages[0];
    EXPECT_EQ(Find(p, "C1")->rect, QRectF(20, 20, 60, 10));
    EXPECT_EQ(Find(p, "C2")->rect, QRectF(160, 20, 60, 10));
    EXPECT_EQ(Find(p, "r0")->rect, QRectF(20, 30, 60, 30));
    EXPECT_EQ(Find(p, "r3")->rect.topLeft(), QPointF(20, 120));
    EXPECT_EQ(Find(p, "r4")->rect.topLeft(), QPointF(160, 30));
    EXPECT_EQ(Find(p, "r7")->rect.topLeft(), QPointF(160, 120));
    EXPECT_EQ(Find(p, "F1")->rect.topLeft(), QPointF(20, 160));
    EXPECT_EQ(Find(p, "F2")->rect.topLeft(), QPointF(160, 160));
    // Page bands span the page from the left margin.
    EXPECT_EQ(Find(p, "P1")->rect.topLeft(), QPointF(20, 170));
    EXPECT_EQ(Find(f.pages[1], "r8")->rect.topLeft(), QPointF(20, 30));
    EXPECT_EQ(Find(f.pages[1], "r9")->rect.topLeft(), QPointF(20, 60));
    EXPECT_EQ(Find(f.pages[1], "F2")->rect.topLeft(), QPointF(160, 160));
}

TEST(PageFlowColumns, ColumnCountCountsTheRowsOfEachColumn) {
    const std::string footer = "<columnFooter>" +
                               BandOf("$V{COLUMN_NUMBER} + \":\" + $V{COLUMN_COUNT}", 10) +
                               "</columnFooter>";
    const auto down =
        Parsed(Doc(TwoColumns, "<columnHeader>" + BandOf("\"C\"", 10) + "</columnHeader><detail>" +
                                   BandOf("\"r\" + $F{N}", 30) + "</detail>" + footer));
    // Four rows a column; the fifth moves to the second column and counts there.
    Filled f = Fill(down, Numbered(10));
    ASSERT_EQ(f.pages.size(), 2u);
    EXPECT_EQ(Texts(f.pages[0]), "C|C|r0|r1|r2|r3|r4|r5|r6|r7|1:4|2:4");
    EXPECT_EQ(Texts(f.pages[1]), "C|C|r8|r9|1:2|2:0");
    const auto across =
        Parsed(Doc("columnCount=\"3\" printOrder=\"Horizontal\"",
                   "<detail>" + BandOf("\"r\" + $F{N}", 20) + "</detail>" + footer));
    f = Fill(across, Numbered(7));
    ASSERT_EQ(f.pages.size(), 1u);
    EXPECT_EQ(Texts(f.pages[0]).substr(Texts(f.pages[0]).find("1:")), "1:3|2:2|3:2");
}

TEST(PageFlowColumns, HorizontalOrderPutsRowsSideBySideAndGroupsOnTheirOwnLine) {
    const auto r = Parsed(
        Doc("columnCount=\"3\" columnWidth=\"80\" columnSpacing=\"10\" printOrder=\"Horizontal\"",
            CityGroup("") + "<detail>" + BandOf("\"r\" + $F{N}", 20) + "</detail>", 400));
    const Filled f = Fill(r, Rows({{"a", 0}, {"a", 1}, {"a", 2}, {"a", 3}, {"b", 4}}));
    ASSERT_EQ(f.pages.size(), 1u);
    const auto& p = f.pages[0];
    EXPECT_EQ(Find(p, "Ha")->rect.topLeft(), QPointF(20, 20));
    EXPECT_EQ(Find(p, "r0")->rect.topLeft(), QPointF(20, 30));
    EXPECT_EQ(Find(p, "r1")->rect.topLeft(), QPointF(110, 30));
    EXPECT_EQ(Find(p, "r2")->rect.topLeft(), QPointF(200, 30));
    EXPECT_EQ(Find(p, "r3")->rect.topLeft(), QPointF(20, 50));
    // The footer waits for the line to end and starts at the first column.
    EXPECT_EQ(Find(p, "Ea")->rect.topLeft(), QPointF(20, 70));
    EXPECT_EQ(Find(p, "Hb")->rect.topLeft(), QPointF(20, 80));
    EXPECT_EQ(Find(p, "r4")->rect.topLeft(), QPointF(20, 90));
}

TEST(PageFlowColumns, HorizontalLineThatDoesNotFitStartsTheNextPage) {
    // 160 points of room: eight lines of 20.
    const auto r = Parsed(Doc("columnCount=\"2\" printOrder=\"Horizontal\"",
                              "<detail>" + BandOf("\"r\" + $F{N}", 20) + "</detail>"));
    const Filled f = Fill(r, Numbered(20));
    ASSERT_EQ(f.pages.size(), 2u);
    EXPECT_EQ(f.pages[0].size(), 16u);
    // No width given: the room shared out, 130 each.
    EXPECT_EQ(Find(f.pages[0], "r15")->rect.topLeft(), QPointF(150, 160));
    EXPECT_EQ(Find(f.pages[1], "r16")->rect.topLeft(), QPointF(20, 20));
    EXPECT_EQ(Find(f.pages[1], "r17")->rect.topLeft(), QPointF(150, 20));
}

TEST(PageFlowColumns, GroupStartingANewColumnAndFloatingColumnFooter) {
    const auto r = Parsed(Doc(std::string(TwoColumns) + " isFloatColumnFooter=\"true\"",
                              CityGroup("isStartNewColumn=\"true\"") + "<detail>" +
                                  BandOf("\"r\" + $F{N}", 20) + "</detail><columnFooter>" +
                                  BandOf("\"F\" + $V{COLUMN_NUMBER}", 10) + "</columnFooter>"));
    const Filled f = Fill(r, Rows({{"a", 0}, {"a", 1}, {"b", 2}, {"c", 3}}));
    ASSERT_EQ(f.pages.size(), 2u);
    const auto& p = f.pages[0];
    EXPECT_EQ(Find(p, "Ea")->rect.topLeft(), QPointF(20, 70));
    EXPECT_EQ(Find(p, "Hb")->rect.topLeft(), QPointF(160, 20));
    EXPECT_EQ(Find(p, "Eb")->rect.topLeft(), QPointF(160, 50));
    // Floating: right below the lowest column, in every column.
    EXPECT_EQ(Find(p, "F1")->rect.topLeft(), QPointF(20, 80));
    EXPECT_EQ(Find(p, "F2")->rect.topLeft(), QPointF(160, 80));
    // The last column was taken: the third group starts a page.
    EXPECT_EQ(Find(f.pages[1], "Hc")->rect.topLeft(), QPointF(20, 20));
}

// ---- group attributes ---------------------------------------------------------

TEST(PageFlowGroups, ResetPageNumberStartsNumberingAgainOnANewPage) {
    const auto r = Parsed(Doc("", CityGroup("isResetPageNumber=\"true\"") + "<detail>" +
                                      BandOf("\"r\" + $F{N}", 50) + "</detail><pageFooter>" +
                                      BandOf("\"P\" + $V{PAGE_NUMBER}", 10) + "</pageFooter>"));
    // Room 150 above the footer: header 10 and two rows, then a page.
    const Filled f = Fill(r, Rows({{"a", 0}, {"a", 1}, {"a", 2}, {"b", 3}}));
    ASSERT_EQ(f.pages.size(), 3u);
    EXPECT_NE(Find(f.pages[0], "P1"), nullptr);
    EXPECT_NE(Find(f.pages[1], "P2"), nullptr);
    EXPECT_NE(Find(f.pages[2], "Hb"), nullptr);
    EXPECT_NE(Find(f.pages[2], "P1"), nullptr) << Texts(f.pages[2]);
}

TEST(PageFlowGroups, HeaderReprintedWhereTheGroupGoesOnButNotWhereItStarts) {
    const auto r = Parsed(Doc("", "<pageHeader>" + BandOf("\"PH\"", 10) + "</pageHeader>" +
                                      CityGroup("isReprintHeaderOnEachPage=\"true\"") + "<detail>" +
                                      BandOf("\"r\" + $F{N}", 40) + "</detail>"));
    // 160 of room: page header, group header, three rows (140), then the fourth breaks.
    const Filled f = Fill(r, Rows({{"a", 0}, {"a", 1}, {"a", 2}, {"a", 3}, {"b", 4}, {"b", 5}}));
    ASSERT_GE(f.pages.size(), 2u);
    EXPECT_EQ(Texts(f.pages[0]), "PH|Ha|r0|r1|r2");
    EXPECT_EQ(Texts(f.pages[1]).substr(0, 14), "PH|Ha|r3|Ea|Hb");
    EXPECT_EQ(Find(f.pages[1], "Ha")->rect.top(), 30);
    // A group that starts on the new page shows its header once.
    const auto r2 = Parsed(Doc("", CityGroup("isReprintHeaderOnEachPage=\"true\"", 10, 10) +
                                       "<detail>" + BandOf("\"r\" + $F{N}", 70) + "</detail>"));
    const Filled g = Fill(r2, Rows({{"a", 0}, {"a", 1}, {"b", 2}}));
    ASSERT_EQ(g.pages.size(), 2u);
    EXPECT_EQ(Texts(g.pages[0]), "Ha|r0|r1|Ea");
    EXPECT_EQ(Texts(g.pages[1]), "Hb|r2|Eb");
}

TEST(PageFlowGroups, KeepTogetherMovesAGroupThatWouldBreakOnce) {
    const auto r = Parsed(Doc("", CityGroup("keepTogether=\"true\"") + "<detail>" +
                                      BandOf("\"r\" + $F{N}", 30) + "</detail><pageFooter>" +
                                      BandOf("$V{PAGE_NUMBER} + \"/\" + $V{PAGE_COUNT}", 10) +
                                      "</pageFooter>"));
    // Group a: 10 + 60 + 10 = 80 of 150; group b's 80 does not fit the 70 left.
    const Filled f = Fill(r, Rows({{"a", 0}, {"a", 1}, {"b", 2}, {"b", 3}}));
    ASSERT_EQ(f.pages.size(), 2u);
    EXPECT_EQ(Texts(f.pages[0]), "Ha|r0|r1|Ea|1/2");
    EXPECT_EQ(Texts(f.pages[1]), "Hb|r2|r3|Eb|2/2");
    EXPECT_EQ(Find(f.pages[1], "Hb")->rect.topLeft(), QPointF(20, 20));
    EXPECT_EQ(Find(f.pages[1], "r3")->rect.topLeft(), QPointF(20, 60));
    // Taller than a page: it moves to a fresh page once, then breaks there.
    std::vector<std::pair<std::string, int>> rows = {{"a", 0}, {"a", 1}, {"a", 2}, {"a", 3}};
    for (int i = 0; i < 7; ++i)
        rows.emplace_back("b", 10 + i);
    const Filled g = Fill(r, Rows(rows));
    ASSERT_EQ(g.pages.size(), 3u);
    EXPECT_EQ(Texts(g.pages[0]), "Ha|r0|r1|r2|r3|Ea|1/4");
    EXPECT_EQ(Texts(g.pages[1]), "Hb|r10|r11|r12|r13|2/4");
    EXPECT_EQ(Texts(g.pages[2]), "r14|r15|r16|Eb|3/3");
}

TEST(PageFlowGroups, KeepTogetherMovesToTheNextColumn) {
    const auto r = Parsed(Doc(TwoColumns, CityGroup("keepTogether=\"true\"") + "<detail>" +
                                              BandOf("\"r\" + $F{N}", 30) + "</detail>"));
    const Filled f = Fill(r, Rows({{"a", 0}, {"a", 1}, {"a", 2}, {"b", 3}, {"b", 4}}));
    ASSERT_EQ(f.pages.size(), 1u);
    EXPECT_EQ(Find(f.pages[0], "Hb")->rect.topLeft(), QPointF(160, 20));
    EXPECT_EQ(Find(f.pages[0], "r4")->rect.topLeft(), QPointF(160, 60));
    EXPECT_EQ(Find(f.pages[0], "Eb")->rect.topLeft(), QPointF(160, 90));
}

TEST(PageFlowGroups, FooterPositions) {
    const std::string outer = "<group name=\"O\" footerPosition=\"%O\"><groupExpression>$F{N} / 10"
                              "</groupExpression><groupFooter>" +
                              BandOf("\"O\" + $F{N}", 10) + "</groupFooter></group>";
    const auto make = [&](const std::string& o, const std::string& i) {
        std::string body = outer;
        body.replace(body.find("%O"), 2, o);
        body += "<group name=\"G\" footerPosition=\"" + i +
                "\"><groupExpression>$F{CITY}</groupExpression><groupFooter>" +
                BandOf("\"E\" + $F{CITY}", 10) + "</groupFooter></group>";
        return Parsed(Doc("", body + "<detail>" + BandOf("\"r\" + $F{N}", 20) +
                                  "</detail><pageFooter>" + BandOf("\"P\"", 10) + "</pageFooter>"));
    };
    const auto rows = Rows({{"a", 0}, {"b", 1}, {"b", 11}});
    // Stack: at the foot of the room (170), the next group on the next page;
    // an outer footer in the flow comes after it, so on the next page too.
    Filled f = Fill(make("Normal", "StackAtBottom"), rows);
    ASSERT_EQ(f.pages.size(), 4u);
    EXPECT_EQ(Find(f.pages[0], "Ea")->rect.top(), 160);
    EXPECT_EQ(Texts(f.pages[0]), "r0|Ea|P");
    EXPECT_EQ(Find(f.pages[1], "r1")->rect.top(), 20);
    EXPECT_EQ(Texts(f.pages[1]), "r1|Eb|P");
    EXPECT_EQ(Texts(f.pages[2]), "O1|r11|Eb|P");
    EXPECT_EQ(Texts(f.pages[3]), "O11|P");
    // Normal inner, Collate outer: both stay in the flow.
    f = Fill(make("CollateAtBottom", "Normal"), rows);
    ASSERT_EQ(f.pages.size(), 1u);
    EXPECT_EQ(Find(f.pages[0], "Eb")->rect.top(), 70);
    EXPECT_EQ(Find(f.pages[0], "O1")->rect.top(), 80);
    // Stack inner, Collate outer: they stack at the foot, inner above outer.
    f = Fill(make("CollateAtBottom", "StackAtBottom"), rows);
    ASSERT_GE(f.pages.size(), 2u);
    EXPECT_EQ(Find(f.pages[1], "Eb")->rect.top(), 150);
    EXPECT_EQ(Find(f.pages[1], "O1")->rect.top(), 160);
    // Force pulls the Normal inner footer down with it.
    f = Fill(make("ForceAtBottom", "Normal"), rows);
    ASSERT_GE(f.pages.size(), 2u);
    EXPECT_EQ(Find(f.pages[0], "Ea")->rect.top(), 40);
    EXPECT_EQ(Find(f.pages[0], "Eb")->rect.top(), 150);
    EXPECT_EQ(Find(f.pages[0], "O1")->rect.top(), 160);
}

// ---- report attributes --------------------------------------------------------

TEST(PageFlowReport, TitleAndSummaryOnPagesOfTheirOwn) {
    const std::string bands =
        "<title>" + BandOf("\"T\"", 20) + "</title><pageHeader>" +
        BandOf("\"H\" + $V{PAGE_NUMBER}", 10) + "</pageHeader><detail>" + BandOf("$F{CITY}", 20) +
        "</detail><pageFooter>" + BandOf("\"F\"", 10) + "</pageFooter><lastPageFooter>" +
        BandOf("\"L\"", 10) + "</lastPageFooter><summary>" + BandOf("\"S\"", 20) + "</summary>";
    const auto rows = Rows({{"a", 0}, {"b", 1}});
    Filled f = Fill(Parsed(Doc("isTitleNewPage=\"true\" isSummaryNewPage=\"true\"", bands)), rows);
    ASSERT_EQ(f.pages.size(), 3u);
    EXPECT_EQ(Texts(f.pages[0]), "T");
    EXPECT_EQ(Texts(f.pages[1]), "H2|a|b|L");
    EXPECT_EQ(Texts(f.pages[2]), "S");
    EXPECT_EQ(Find(f.pages[2], "S")->rect.top(), 20);
    f = Fill(
        Parsed(Doc("isSummaryNewPage=\"true\" isSummaryWithPageHeaderAndFooter=\"true\"", bands)),
        rows);
    ASSERT_EQ(f.pages.size(), 2u);
    EXPECT_EQ(Texts(f.pages[0]), "T|H1|a|b|F");
    EXPECT_EQ(Texts(f.pages[1]), "H2|S|L");
    // A summary that does not fit goes over without page bands.
    const auto many = Numbered(6);
    f = Fill(Parsed(Doc("", bands)), many);
    ASSERT_EQ(f.pages.size(), 2u);
    EXPECT_EQ(Texts(f.pages[1]), "S");
}

TEST(PageFlowReport, IgnorePaginationMakesOneTallPage) {
    const auto r = Parsed(Doc("isIgnorePagination=\"true\"",
                              "<pageHeader>" + BandOf("\"H\"", 10) + "</pageHeader>" +
                                  CityGroup("isStartNewPage=\"true\"") + "<detail>" +
                                  BandOf("\"r\" + $F{N}", 30) + "</detail><columnFooter>" +
                                  BandOf("\"C\"", 10) + "</columnFooter><pageFooter>" +
                                  BandOf("\"F\"", 10) + "</pageFooter>"));
    const Filled f = Fill(r, Rows({{"a", 0}, {"a", 1}, {"b", 2}, {"b", 3}, {"b", 4}, {"c", 5}}));
    ASSERT_EQ(f.pages.size(), 1u);
    // 20 + 10 + three groups (20 each) + six rows (180) = 270; then C and F.
    EXPECT_EQ(Find(f.pages[0], "C")->rect.top(), 270);
    EXPECT_EQ(Find(f.pages[0], "F")->rect.top(), 280);
    EXPECT_EQ(f.heights[0], 310);
    EXPECT_EQ(Texts(f.pages[0]).substr(0, 2), "H|");
}

TEST(PageFlowReport, ColumnAttributesReadAndChecked) {
    auto ok = ParseJrxml(QByteArray::fromStdString(
        Doc("columnCount=\"3\" printOrder=\"Horizontal\" columnSpacing=\"10\" "
            "isTitleNewPage=\"true\" isSummaryNewPage=\"true\" isIgnorePagination=\"false\" "
            "isSummaryWithPageHeaderAndFooter=\"true\" isFloatColumnFooter=\"true\"",
            CityGroup("isStartNewColumn=\"true\" isResetPageNumber=\"true\" "
                      "isReprintHeaderOnEachPage=\"true\" keepTogether=\"true\" "
                      "footerPosition=\"ForceAtBottom\""))));
    ASSERT_TRUE(ok);
    EXPECT_TRUE(ok->refusals.empty()) << ok->refusals.front();
    EXPECT_EQ(ok->columnCount, 3);
    EXPECT_NEAR(ok->columnWidth, 80, 1e-9); // (260 - 20) / 3
    EXPECT_TRUE(ok->horizontalOrder && ok->titleNewPage && ok->summaryWithPageBands);
    auto bad = ParseJrxml(QByteArray::fromStdString(
        Doc("columnCount=\"2\" columnWidth=\"140\" printOrder=\"Sideways\"",
            CityGroup("footerPosition=\"Somewhere\""))));
    ASSERT_TRUE(bad);
    ASSERT_EQ(bad->refusals.size(), 3u);
    EXPECT_NE(bad->refusals[0].find("Sideways"), std::string::npos);
    EXPECT_NE(bad->refusals[1].find("2 columns that do not fit"), std::string::npos);
    EXPECT_NE(bad->refusals[2].find("Somewhere"), std::string::npos);
}

// Every attribute at once on small pages: each row is printed exactly once,
// and nothing lands outside the page.
TEST(PageFlowReport, AllAttributesTogetherLoseNoRow) {
    for (const char* order : {"Vertical", "Horizontal"}) {
        for (const char* position : {"Normal", "StackAtBottom", "ForceAtBottom"}) {
            const auto r = Parsed(Doc(
                std::string(TwoColumns) + " printOrder=\"" + order +
                    "\" isTitleNewPage=\"true\" isSummaryNewPage=\"true\" "
                    "isFloatColumnFooter=\"true\"",
                "<group name=\"G\" isStartNewColumn=\"true\" isReprintHeaderOnEachPage=\"true\" "
                "keepTogether=\"true\" minHeightToStartNewPage=\"40\" footerPosition=\"" +
                    std::string(position) +
                    "\"><groupExpression>$F{CITY}</groupExpression><groupHeader>" +
                    BandOf("\"H\" + $F{CITY}", 10) + "</groupHeader><groupFooter>" +
                    BandOf("\"E\" + $F{CITY}", 10) + "</groupFooter></group><title>" +
                    BandOf("\"T\"", 20) + "</title><pageHeader>" + BandOf("\"PH\"", 10) +
                    "</pageHeader><columnHeader>" + BandOf("\"CH\"", 10) +
                    "</columnHeader><detail>" + BandOf("\"r\" + $F{N}", 25) +
                    "</detail><columnFooter>" + BandOf("\"CF\"", 10) +
                    "</columnFooter><pageFooter>" + BandOf("\"PF\"", 10) +
                    "</pageFooter><summary>" + BandOf("\"S\"", 20) + "</summary>"));
            std::vector<std::pair<std::string, int>> rows;
            for (int i = 0; i < 60; ++i)
                rows.emplace_back(std::string(1, char('a' + i / 7)), i);
            const Filled f = Fill(r, Rows(rows));
            std::map<std::string, int> seen;
            for (const auto& page : f.pages)
                for (const auto& p : page) {
                    ++seen[p.text];
                    EXPECT_LE(p.rect.bottom(), 180 + 1e-6) << order << position << p.text;
                    EXPECT_GE(p.rect.left(), 20);
                    EXPECT_LE(p.rect.right(), 280);
                }
            for (int i = 0; i < 60; ++i)
                EXPECT_EQ(seen["r" + std::to_string(i)], 1) << order << position << i;
            for (char c = 'a'; c <= 'i'; ++c)
                EXPECT_EQ(seen[std::string("E") + c], 1) << order << position << c;
            EXPECT_EQ(seen["S"], 1);
            EXPECT_EQ(seen["T"], 1);
        }
    }
}
