// Element layout inside a band: positions, stretching, frames and bands
// that do not fit a page. A stretching text field (60 points wide, 10 high)
// grows by G points; expectations are written in terms of G.
#include "report_test_support.h"

#include <gtest/gtest.h>

#include <memory>

using namespace printengine;
using namespace printengine::test;

namespace {

const char* Fields = R"(<field name="TEXT" class="java.lang.String"/>)";

const std::string Long = "many words that wrap over several lines of a narrow text field, "
                         "enough of them to make it grow well past its design height";

// The stretching text field at (x, y), relative to its band or frame.
std::string Stretching(int x = 0, int y = 0, const std::string& attributes = "") {
    return "<textField textAdjust=\"StretchHeight\"><reportElement x=\"" + std::to_string(x) +
           "\" y=\"" + std::to_string(y) + "\" width=\"60\" height=\"10\" " + attributes +
           "/><textFieldExpression>$F{TEXT}</textFieldExpression></textField>";
}

// A rectangle: elements are told apart by their x in the tests.
std::string Shape(int x, int y, int height, const std::string& attributes = "") {
    return "<rectangle><reportElement x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) +
           "\" width=\"5\" height=\"" + std::to_string(height) + "\" " + attributes +
           "/></rectangle>";
}

struct Filled {
    std::unique_ptr<Report> report;
    std::vector<Page> pages;
};

Filled Fill(const std::string& body, const std::vector<std::string>& texts, int pageHeight = 2000) {
    Filled out;
    out.report = std::make_unique<Report>(ParsePrepared(Jrxml(Fields + body, pageHeight)));
    EXPECT_TRUE(out.report->refusals.empty()) << out.report->refusals.front();
    std::vector<std::vector<Value>> rows;
    for (const auto& t : texts)
        rows.push_back({t});
    VectorRows source(rows);
    FillReport(
        *out.report, {}, source, [&](Page&& p) { out.pages.push_back(std::move(p)); }, nullptr,
        nullptr);
    return out;
}

Filled Detail(const std::string& band, const std::vector<std::string>& texts) {
    return Fill("<detail>" + band + "</detail>", texts);
}

// The rects of the items whose element stands at design x, in page order;
// relative to the page's top left margin corner.
std::vector<QRectF> RectsAt(const Page& page, double x) {
    std::vector<QRectF> out;
    for (const auto& item : page.items)
        if (item.element->x == x) out.push_back(item.rect.translated(-20, -20));
    return out;
}

QRectF At(const Page& page, double x, size_t n = 0) {
    const auto rects = RectsAt(page, x);
    EXPECT_GT(rects.size(), n) << "nothing at x " << x;
    return rects.size() > n ? rects[n] : QRectF();
}

// How much the stretching text at x 0 grew.
double Growth(const Page& page) {
    const double g = At(page, 0).height() - 10;
    EXPECT_GT(g, 20) << "the text must wrap onto several lines";
    return g;
}

} // namespace

// ---- positionType ------------------------------------------------------------------

TEST(BandPositions, FloatTopAndBottom) {
    const auto f =
        Detail("<band height=\"40\">" + Stretching() + Shape(10, 15, 5, "positionType=\"Float\"") +
                   Shape(100, 15, 5, "positionType=\"Float\"") +
                   Shape(30, 20, 5, "positionType=\"FixRelativeToTop\"") + Shape(40, 22, 5) +
                   Shape(130, 30, 5, "positionType=\"FixRelativeToBottom\"") + "</band>",
               {Long, "x"});
    ASSERT_EQ(f.pages.size(), 1u);
    const Page& p = f.pages[0];
    const double g = Growth(p);
    // A floating element keeps its distance below what overlaps it from above...
    EXPECT_DOUBLE_EQ(At(p, 10).top(), 15 + g);
    // ...and stays where it is beside it.
    EXPECT_DOUBLE_EQ(At(p, 100).top(), 15);
    EXPECT_DOUBLE_EQ(At(p, 30).top(), 20);
    EXPECT_DOUBLE_EQ(At(p, 40).top(), 22);
    // The band grew by G; the bottom element keeps its 5 points to its end.
    EXPECT_DOUBLE_EQ(At(p, 130).top(), 30 + g);
    // The second row's band starts where the grown one ends; its one line
    // grows the text (and the band) by less.
    EXPECT_DOUBLE_EQ(At(p, 0, 1).top(), 40 + g);
    const double small = At(p, 0, 1).height() - 10;
    EXPECT_LT(small, g);
    EXPECT_DOUBLE_EQ(At(p, 10, 1).top(), 40 + g + 15 + small);
    EXPECT_DOUBLE_EQ(At(p, 130, 1).top(), 40 + g + 30 + small);
}

TEST(BandPositions, FloatingChainsAndLeftOutPushers) {
    // A floating element pushes the one below it in turn; an element that is
    // not printed still holds its design place.
    const auto f =
        Detail("<band height=\"50\">" + Stretching() + Shape(0, 12, 5, "positionType=\"Float\"") +
                   Shape(2, 20, 5, "positionType=\"Float\"") +
                   "<staticText><reportElement x=\"70\" y=\"0\" width=\"20\" height=\"30\">"
                   "<printWhenExpression>false</printWhenExpression></reportElement><text>no</text>"
                   "</staticText>" +
                   Shape(75, 35, 5, "positionType=\"Float\"") + "</band>",
               {Long});
    const Page& p = f.pages.at(0);
    const double g = Growth(p);
    EXPECT_DOUBLE_EQ(At(p, 0, 1).top(), 12 + g);
    EXPECT_DOUBLE_EQ(At(p, 2).top(), 20 + g);
    EXPECT_DOUBLE_EQ(At(p, 75).top(), 35);
}

// ---- stretchType -------------------------------------------------------------------

TEST(BandStretch, ContainerAndGroupStretchTypes) {
    const auto f = Detail(
        "<band height=\"30\"><elementGroup>" + Stretching() +
            Shape(110, 0, 5, "stretchType=\"ElementGroupHeight\"") +
            Shape(120, 2, 5, "stretchType=\"ElementGroupBottom\"") +
            Shape(130, 0, 5, "stretchType=\"RelativeToTallestObject\"") + "</elementGroup>" +
            Shape(70, 0, 10) + Shape(80, 0, 20, "stretchType=\"ContainerHeight\"") +
            Shape(90, 0, 20, "stretchType=\"RelativeToBandHeight\"") +
            Shape(100, 5, 10, "stretchType=\"ContainerBottom\"") +
            "<elementGroup><staticText><reportElement x=\"150\" y=\"0\" width=\"20\" "
            "height=\"10\"/><text>z</text></staticText>" +
            Shape(140, 0, 5, "stretchType=\"ElementGroupHeight\"") + "</elementGroup></band>",
        {Long});
    const Page& p = f.pages.at(0);
    const double g = Growth(p);
    EXPECT_DOUBLE_EQ(At(p, 70).height(), 10);
    // The band grew by G: container stretches follow it.
    EXPECT_DOUBLE_EQ(At(p, 80).height(), 20 + g);
    EXPECT_DOUBLE_EQ(At(p, 90).height(), 20 + g);
    EXPECT_DOUBLE_EQ(At(p, 100).top(), 5);
    EXPECT_DOUBLE_EQ(At(p, 100).bottom(), 15 + g);
    // The text's group grew by G.
    EXPECT_DOUBLE_EQ(At(p, 110).height(), 5 + g);
    EXPECT_DOUBLE_EQ(At(p, 120).bottom(), 7 + g);
    EXPECT_DOUBLE_EQ(At(p, 130).height(), 5 + g);
    // Another group did not grow.
    EXPECT_DOUBLE_EQ(At(p, 140).height(), 5);
}

TEST(BandStretch, GroupsOfFloatingTextsStretchTheirSideLines) {
    // Two groups one below the other, each a text between two lines, as
    // designers outline stacked texts: each pair of lines spans its own text.
    std::string band = "<band height=\"40\">";
    for (int y : {0, 20}) {
        const std::string fl = "positionType=\"Float\" stretchType=\"ElementGroupHeight\"";
        // Both texts are in the first column, the second one floating.
        band += "<elementGroup>" + Shape(100 + y, y, 10, fl) +
                Stretching(y / 4, y, y ? "positionType=\"Float\"" : "") +
                Shape(200 + y, y, 10, fl) + "</elementGroup>";
    }
    band += "</band>";
    const auto f = Detail(band, {Long});
    const Page& p = f.pages.at(0);
    const double g = Growth(p);
    const QRectF second = At(p, 5);
    EXPECT_DOUBLE_EQ(second.top(), 20 + g);
    for (int x : {100, 200})
        EXPECT_DOUBLE_EQ(At(p, x).height(), 10 + g) << x;
    // The second group's lines float only as far as what is above them in
    // their own column: they do not move, but span their text all the same.
    for (int x : {120, 220}) {
        EXPECT_DOUBLE_EQ(At(p, x).top(), 20);
        EXPECT_GE(At(p, x).bottom(), second.bottom()) << x;
    }
}

TEST(BandStretch, AnElementInNoGroupStretchesWithItsBand) {
    const auto f = Detail("<band height=\"20\">" + Stretching() +
                              Shape(100, 0, 10, "stretchType=\"ElementGroupHeight\"") + "</band>",
                          {Long});
    const Page& p = f.pages.at(0);
    EXPECT_DOUBLE_EQ(At(p, 100).height(), 10 + Growth(p));
}

TEST(BandStretch, UnknownStretchTypesAreRefused) {
    auto r = ParseJrxml(QByteArray::fromStdString(
        Jrxml("<title><band height=\"10\">" + Shape(0, 0, 5, "stretchType=\"Sideways\"") +
              Shape(0, 0, 5, "positionType=\"FixRelativeToBottom\"") + "</band></title>")));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->refusals.size(), 1u);
    EXPECT_NE(r->refusals[0].find("\"Sideways\""), std::string::npos);
}

TEST(BandPositions, ElementsThatAlwaysShowTheSameAndDoNotRepeatNeverPrint) {
    // A static text's value repeats itself even in the first band: only the
    // first band of a page brings it back when asked to.
    const auto f = Fill("<detail><band height=\"10\"><staticText><reportElement x=\"0\" y=\"0\" "
                        "width=\"40\" height=\"10\" isPrintRepeatedValues=\"false\" "
                        "isRemoveLineWhenBlank=\"true\"/><text>never</text></staticText>"
                        "<staticText><reportElement x=\"50\" y=\"0\" width=\"40\" height=\"10\" "
                        "isPrintRepeatedValues=\"false\" isPrintInFirstWholeBand=\"true\"/>"
                        "<text>first</text></staticText></band></detail>",
                        {"a", "b"});
    ASSERT_EQ(f.pages.size(), 1u);
    EXPECT_TRUE(RectsAt(f.pages[0], 0).empty());
    ASSERT_EQ(RectsAt(f.pages[0], 50).size(), 1u);
    EXPECT_DOUBLE_EQ(At(f.pages[0], 50).top(), 0);
}

// ---- frames ------------------------------------------------------------------------

TEST(BandFrames, AFrameGrowsWithItsContentsAndPushesWhatFloatsBelow) {
    const auto f = Detail(
        "<band height=\"40\"><frame><reportElement x=\"0\" y=\"0\" width=\"100\" height=\"20\"/>"
        "<box><pen lineWidth=\"1\"/></box>" +
            Stretching() + Shape(1, 12, 2, "positionType=\"Float\"") +
            Shape(70, 0, 20, "stretchType=\"ContainerHeight\"") +
            Shape(80, 10, 5, "positionType=\"FixRelativeToBottom\"") + "</frame>" +
            Shape(3, 25, 5, "positionType=\"Float\"") + Shape(200, 0, 10) + "</band>",
        {Long});
    const Page& p = f.pages.at(0);
    const auto frames = [&] {
        for (const auto& item : p.items)
            if (item.element->kind == ElementKind::Frame) return item.rect.translated(-20, -20);
        return QRectF();
    }();
    const double g = At(p, 0, 1).height() - 10; // the frame stands at x 0 too
    ASSERT_GT(g, 20);
    EXPECT_DOUBLE_EQ(frames.height(), 20 + g);
    EXPECT_DOUBLE_EQ(At(p, 1).top(), 12 + g);
    EXPECT_DOUBLE_EQ(At(p, 70).height(), 20 + g);
    EXPECT_DOUBLE_EQ(At(p, 80).top(), 10 + g);
    EXPECT_DOUBLE_EQ(At(p, 3).top(), 25 + g);
    EXPECT_DOUBLE_EQ(At(p, 200).top(), 0);
    // Contents are drawn after their frame, over its background.
    EXPECT_EQ(p.items.front().element->kind, ElementKind::Frame);
}

TEST(BandFrames, NestedFramesGrowOutwards) {
    const auto f = Detail(
        "<band height=\"30\"><frame><reportElement x=\"10\" y=\"0\" width=\"200\" "
        "height=\"30\"/><frame><reportElement x=\"10\" y=\"5\" width=\"100\" height=\"10\"/>" +
            Stretching() + "</frame>" + Shape(50, 20, 5, "positionType=\"Float\"") +
            "</frame></band>",
        {Long});
    const Page& p = f.pages.at(0);
    std::vector<QRectF> frames;
    QRectF text;
    for (const auto& item : p.items)
        if (item.element->kind == ElementKind::Frame)
            frames.push_back(item.rect.translated(-20, -20));
        else if (!item.text.isEmpty())
            text = item.rect.translated(-20, -20);
    ASSERT_EQ(frames.size(), 2u);
    const double g = text.height() - 10;
    ASSERT_GT(g, 20);
    EXPECT_EQ(text.topLeft(), QPointF(20, 5));
    EXPECT_DOUBLE_EQ(frames[1].height(), 10 + g);
    EXPECT_DOUBLE_EQ(frames[0].height(), 30 + g);
    EXPECT_DOUBLE_EQ(At(p, 60).top(), 20 + g); // 50 inside the frame at 10
}

TEST(BandFrames, ContentsStandInsideTheFramesPadding) {
    const auto f = Detail("<band height=\"30\"><frame><reportElement x=\"100\" y=\"0\" "
                          "width=\"100\" height=\"30\"/><box topPadding=\"4\" leftPadding=\"3\" "
                          "bottomPadding=\"6\"/>" +
                              Stretching() + Shape(10, 20, 0, "stretchType=\"ContainerBottom\"") +
                              "</frame></band>",
                          {Long});
    const Page& p = f.pages.at(0);
    const QRectF text = At(p, 103);
    const double g = text.height() - 10;
    ASSERT_GT(g, 20);
    EXPECT_EQ(text.topLeft(), QPointF(103, 4));
    // The frame holds its padding around the grown contents.
    EXPECT_DOUBLE_EQ(At(p, 100).height(), 30 + g);
    EXPECT_DOUBLE_EQ(At(p, 113).bottom(), 24 + g);
}

TEST(BandFrames, BlankLinesGoInsideFramesAndLeftOutFramesHideTheirContents) {
    const auto f = Detail(
        R"(<band height="40"><frame><reportElement x="0" y="0" width="100" height="30" isRemoveLineWhenBlank="true"/>
          <textField><reportElement x="0" y="0" width="50" height="10" isRemoveLineWhenBlank="true"/>
            <textFieldExpression>$F{TEXT}</textFieldExpression></textField>
          <staticText><reportElement x="1" y="10" width="50" height="10"/><text>kept</text></staticText>
          <staticText><reportElement x="2" y="20" width="50" height="10" isRemoveLineWhenBlank="true">
            <printWhenExpression>false</printWhenExpression></reportElement><text>no</text></staticText>
        </frame>
        <frame><reportElement x="150" y="0" width="50" height="10"><printWhenExpression>false</printWhenExpression></reportElement>
          <staticText><reportElement x="0" y="0" width="50" height="10"/><text>hidden</text></staticText>
        </frame>
        <staticText><reportElement x="3" y="30" width="50" height="10"/><text>end</text></staticText></band>)",
        {"", "x"});
    const Page& p = f.pages.at(0);
    // Row 1: the blank text's strip and the left-out one go; the frame gives
    // up the 20 points and the text below it moves up.
    EXPECT_DOUBLE_EQ(At(p, 0).height(), 10);
    EXPECT_DOUBLE_EQ(At(p, 1).top(), 0);
    EXPECT_DOUBLE_EQ(At(p, 3).top(), 10);
    // Row 2 starts after 20 points and keeps its first strip (x 0: its
    // frame, then its text).
    EXPECT_DOUBLE_EQ(At(p, 0, 1).height(), 20);
    EXPECT_DOUBLE_EQ(At(p, 0, 2).top(), 20);
    EXPECT_DOUBLE_EQ(At(p, 1, 1).top(), 30);
    EXPECT_DOUBLE_EQ(At(p, 3, 1).top(), 40);
    for (const auto& item : p.items)
        EXPECT_NE(item.text, "hidden");
}

// ---- bands and pages ---------------------------------------------------------------

TEST(BandPages, AGrownBandThatNoLongerFitsMovesToTheNextPage) {
    const std::string band = "<detail><band height=\"40\">" + Stretching() + "</band></detail>";
    // 160 points of room: three short bands, then a grown one.
    const std::string medium = "a few words that wrap onto some lines";
    const auto f = Fill(band, {"a", "b", "c", medium}, 200);
    ASSERT_EQ(f.pages.size(), 2u);
    EXPECT_EQ(RectsAt(f.pages[0], 0).size(), 3u);
    ASSERT_EQ(RectsAt(f.pages[1], 0).size(), 1u);
    EXPECT_DOUBLE_EQ(At(f.pages[1], 0).top(), 0);
    EXPECT_EQ(f.pages[1].items[0].text.toStdString(), medium);
    EXPECT_GT(At(f.pages[1], 0).height(), 40);
}

TEST(BandPages, ABandTallerThanAPageGoesOnOverTheNextPages) {
    std::string words;
    for (int i = 0; i < 150; ++i)
        words += "word" + std::to_string(i) + " ";
    words += "last";
    const std::string body = "<pageHeader><band height=\"15\"><staticText><reportElement x=\"200\" "
                             "y=\"0\" width=\"40\" height=\"15\"/><text>head</text></staticText>"
                             "</band></pageHeader><detail><band height=\"20\">" +
                             Stretching() + Shape(100, 0, 20, "stretchType=\"ContainerHeight\"") +
                             Shape(10, 15, 5, "positionType=\"Float\"") + "</band></detail>";
    const auto f = Fill(body, {words, "after"}, 200);
    ASSERT_GE(f.pages.size(), 3u);
    std::string joined;
    for (size_t n = 0; n < f.pages.size(); ++n) {
        const Page& page = f.pages[n];
        // Every page keeps its header, and nothing runs past its end (the
        // page is 200 high, with a 20-point margin).
        EXPECT_EQ(page.items.front().text, "head") << n;
        for (const auto& item : page.items)
            EXPECT_LE(item.rect.bottom(), 180 + 1e-6) << n;
        for (const auto& item : page.items)
            if (item.element->x == 0 && !item.text.isEmpty() && item.text != "after")
                joined += (joined.empty() ? "" : " ") + item.text.toStdString();
        // The box that stretches with the band is cut into one piece a page.
        if (n + 1 < f.pages.size()) {
            EXPECT_EQ(RectsAt(page, 100).size(), 1u) << n;
        }
    }
    // The text goes on where it stopped: every word once, in order.
    EXPECT_EQ(joined, words);
    // The floating box and the next row follow the text on the last page.
    const Page& last = f.pages.back();
    EXPECT_GT(At(last, 10).top(), 15);
    bool after = false;
    for (const auto& item : last.items)
        after = after || item.text == "after";
    EXPECT_TRUE(after);
}

TEST(BandPages, ABandsEmptyTailIsCut) {
    const std::string body = "<detail><band height=\"500\">" + Shape(100, 0, 500) +
                             "<staticText><reportElement x=\"0\" y=\"0\" width=\"50\" "
                             "height=\"10\"/><text>top</text></staticText></band></detail>";
    const auto f = Fill(body, {"a", "b"}, 200);
    ASSERT_EQ(f.pages.size(), 2u);
    EXPECT_DOUBLE_EQ(At(f.pages[0], 100).height(), 160);
    // But what starts below the page's end follows on the next pages.
    const auto g = Fill("<detail><band height=\"500\"><staticText><reportElement x=\"0\" "
                        "y=\"400\" width=\"50\" height=\"10\"/><text>low</text></staticText>"
                        "</band></detail>",
                        {"a"}, 200);
    ASSERT_EQ(g.pages.size(), 3u);
    EXPECT_DOUBLE_EQ(At(g.pages[2], 0).top(), 400 - 320);
}

TEST(BandPages, HeadersThatLeaveNoRoomStopThePrint) {
    const std::string body =
        "<pageHeader><band height=\"160\"/></pageHeader><detail><band height=\"10\">" +
        Stretching() + "</band></detail>";
    Report r = ParsePrepared(Jrxml(Fields + body, 200));
    VectorRows rows({{std::string("a")}});
    EXPECT_THROW(FillReport(
                     r, {}, rows, [](Page&&) {}, nullptr, nullptr),
                 FillError);
}
