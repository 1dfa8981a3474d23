#include "printengine/paint.h"
#include "printengine/report_test_support.h"
#include "printengine/textlayout.h"

#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QGlyphRun>
#include <QImage>
#include <QPainter>
#include <QRawFont>

namespace printengine {
namespace {

using test::ParsePrepared;
using test::VectorRows;

TextStyle Style(double size = 10) {
    TextStyle s;
    s.fontName = "DejaVu Sans";
    s.size = size;
    return s;
}

// One line's height at single spacing.
double LineHeight(const TextStyle& s) {
    return TextBlockHeight(s, "Xg", 1000);
}

// The runs of rows with ink inside `area`: the lines of text drawn there,
// for text without descenders.
int InkBands(const QImage& image, const QRect& area) {
    int bands = 0;
    bool inBand = false;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        bool ink = false;
        for (int x = area.left(); x <= area.right() && !ink; ++x)
            ink = qGray(image.pixel(x, y)) < 160;
        if (ink && !inBand) ++bands;
        inBand = ink;
    }
    return bands;
}

// The number of rows of the image, inside `area`, with a dark pixel.
int InkRows(const QImage& image, const QRect& area) {
    int rows = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (qGray(image.pixel(x, y)) < 128) {
                ++rows;
                break;
            }
    return rows;
}

QImage RenderTitle(const std::string& elements, int pageHeight = 200) {
    Report r = ParsePrepared(test::Jrxml("<title><band height='" + std::to_string(pageHeight - 40) +
                                             "'>" + elements + "</band></title>",
                                         pageHeight));
    EXPECT_TRUE(r.refusals.empty()) << (r.refusals.empty() ? "" : r.refusals[0]);
    r.whenNoData = Report::NoData::AllSectionsNoDetail;
    return test::RenderWithoutRows(r);
}

std::string Static(const std::string& text, int width, int height,
                   const std::string& textElement = "") {
    return "<staticText><reportElement x='0' y='0' width='" + std::to_string(width) + "' height='" +
           std::to_string(height) + "'/>" + textElement + "<text><![CDATA[" + text +
           "]]></text></staticText>";
}

TEST(TextLines, LinesThatFitAreAllKeptAndMeasuredAsDrawn) {
    const TextStyle s = Style();
    const double line = LineHeight(s);
    // DejaVu Sans: ascent and descent make about 1.16 of the size.
    EXPECT_NEAR(line, 11.64, 0.2);
    EXPECT_NEAR(TextBlockHeight(s, "one\ntwo\nthree", 1000), 3 * line, 0.01);
    // The height measured for stretching holds every line when drawn.
    const QString text = "a longer text that wraps over several lines in a narrow box";
    const double height = TextBlockHeight(s, text, 60);
    const LaidOutText laid = LayOutText(s, text, 60, height);
    EXPECT_TRUE(laid.complete);
    EXPECT_GE(laid.lines, 4);
    EXPECT_NEAR(laid.height, height, 1e-9);
    EXPECT_NEAR(height, laid.lines * line, 0.01);
    // A box exactly one line high holds its line.
    EXPECT_TRUE(LayOutText(s, "Xg", 100, line).complete);
}

TEST(TextLines, ALineThatDoesNotFitWholeIsNotDrawn) {
    const TextStyle s = Style();
    const double line = LineHeight(s);
    const LaidOutText half = LayOutText(s, "first\nsecond", 100, line * 1.5);
    EXPECT_FALSE(half.complete);
    EXPECT_EQ(half.lines, 1);
    EXPECT_NEAR(half.height, line, 0.01);
    ASSERT_EQ(half.paragraphs.size(), 1u);
    EXPECT_EQ(half.paragraphs[0]->lineCount(), 1);
    // Not even one line: nothing.
    const LaidOutText none = LayOutText(s, "first", 100, line * 0.8);
    EXPECT_EQ(none.lines, 0);
    EXPECT_TRUE(none.paragraphs.empty());
    // A wrapped paragraph is cut between its lines too.
    const LaidOutText wrapped = LayOutText(s, "aaa bbb ccc ddd eee fff", 30, line * 2.5);
    EXPECT_EQ(wrapped.lines, 2);
    ASSERT_EQ(wrapped.paragraphs.size(), 1u);
    EXPECT_EQ(wrapped.paragraphs[0]->lineCount(), 2);

    // On the page: a 10-point text in a box 18 points high shows its first
    // line only; the strip where the second would start stays white.
    const QImage page =
        RenderTitle(Static("HHHH\nHHHH", 100, 18, "<textElement><font size='10'/></textElement>"));
    EXPECT_GT(InkRows(page, QRect(20, 20, 100, 12)), 5);
    EXPECT_EQ(InkRows(page, QRect(20, 32, 100, 20)), 0);
}

TEST(TextLines, AWordWiderThanTheBoxIsBrokenNotClipped) {
    const TextStyle s = Style();
    const QString word(40, QChar('W'));
    const LaidOutText laid = LayOutText(s, word, 80, 1e9);
    EXPECT_GE(laid.lines, 4);
    const QTextLayout& layout = *laid.paragraphs.at(0);
    int characters = 0;
    for (int i = 0; i < layout.lineCount(); ++i) {
        EXPECT_LE(layout.lineAt(i).naturalTextWidth(), 80.01) << i;
        characters += layout.lineAt(i).textLength();
    }
    EXPECT_EQ(characters, 40);
    // Words that fit move whole to the next line.
    const LaidOutText words = LayOutText(s, "alpha beta gamma", 50, 1e9);
    const QTextLayout& w = *words.paragraphs.at(0);
    for (int i = 0; i < w.lineCount(); ++i) {
        const QString part = w.text().mid(w.lineAt(i).textStart(), w.lineAt(i).textLength());
        EXPECT_TRUE(part.trimmed() == "alpha" || part.trimmed() == "beta" ||
                    part.trimmed() == "gamma")
            << part.toStdString();
    }
}

TEST(TextLines, ScaleFontShrinksTheTypeUntilTheTextFits) {
    const TextStyle s = Style(12);
    const QString text = "a text far too long for its small box at twelve points";
    const QSizeF box(100, 30);
    const double scale = FittingScale(s, text, box);
    EXPECT_LT(scale, 1.0);
    EXPECT_GT(scale, 0.2);
    EXPECT_TRUE(LayOutText(s, text, box.width(), box.height(), scale).complete);
    EXPECT_FALSE(LayOutText(s, text, box.width(), box.height(), scale + 0.05).complete);
    // Text that fits keeps its size; ScaleFont never enlarges it.
    EXPECT_EQ(FittingScale(s, "short", box), 1.0);

    // On the page the shrunk text is drawn whole, in more lines than the one
    // the cut text keeps.
    const std::string field = "<textField textAdjust='%'><reportElement x='0' y='0' "
                              "width='100' height='20'/><textElement><font size='12'/>"
                              "</textElement><textFieldExpression><![CDATA[\"HHH HHHH HH "
                              "HHHHH HHH HHHH HHHHH HH HHHH\"]]></textFieldExpression></textField>";
    std::string scaled = field, cut = field;
    scaled.replace(scaled.find('%'), 1, "ScaleFont");
    cut.replace(cut.find('%'), 1, "CutText");
    const QRect area(20, 20, 100, 20);
    EXPECT_EQ(InkBands(RenderTitle(cut), area), 1);
    EXPECT_GE(InkBands(RenderTitle(scaled), area), 2);
}

TEST(Markup, StyledTextMakesFormattedRuns) {
    const StyledText t = ParseMarkup(
        "plain <style isBold=\"true\" forecolor=\"red\">bold</style> and "
        "<b>b</b><i>i</i><u>u</u><br/><font size=\"20\" color=\"#00FF00\" face=\"Serif\">f</font>"
        "<sup>up</sup> &lt;x&gt;",
        Markup::Styled);
    EXPECT_EQ(t.text.toStdString(), "plain bold and biu\nfup <x>");
    const auto at = [&](int position) {
        QTextCharFormat f;
        for (const auto& r : t.formats)
            if (position >= r.start && position < r.start + r.length) f = r.format;
        return f;
    };
    EXPECT_EQ(at(0).properties().size(), 0);
    EXPECT_EQ(at(6).fontWeight(), QFont::Bold);
    EXPECT_EQ(at(6).foreground().color(), QColor(255, 0, 0));
    EXPECT_EQ(at(15).fontWeight(), QFont::Bold);
    EXPECT_TRUE(at(16).fontItalic());
    EXPECT_TRUE(at(17).fontUnderline());
    EXPECT_EQ(at(19).fontPointSize(), 20);
    EXPECT_EQ(at(19).foreground().color(), QColor(0, 255, 0));
    EXPECT_EQ(at(19).fontFamilies().toStringList().value(0), FontFamily("Serif"));
    EXPECT_EQ(at(20).verticalAlignment(), QTextCharFormat::AlignSuperScript);

    // Not well-formed: shown as written. No markup: tags are text.
    EXPECT_EQ(ParseMarkup("a <b>b", Markup::Styled).text, "a <b>b");
    EXPECT_EQ(ParseMarkup("<b>b</b>", Markup::None).text, "<b>b</b>");
    EXPECT_TRUE(ParseMarkup("<b>b</b>", Markup::None).formats.isEmpty());

    // A larger run makes its line taller, in the measure as on the page.
    TextStyle s = Style();
    s.markup = Markup::Styled;
    EXPECT_GT(TextBlockHeight(s, "a <style size=\"20\">big</style> word", 1000),
              LineHeight(Style()) * 1.6);
}

TEST(Markup, HtmlCollapsesSpacesAndKnowsTheCommonTags) {
    const StyledText t = ParseMarkup("<html><head><title>T</title></head><body>\n"
                                     "  <p>One   <b>two</b>\n three</p><p>a&amp;b&nbsp;c<br>"
                                     "<font size=\"5\" color=\"green\">big</font></p>"
                                     "<ul><li>x</li><li>y</li></ul><!-- note --></body></html>",
                                     Markup::Html);
    EXPECT_EQ(t.text.toStdString(), "One two three\na&b\u00a0c\nbig\n\u2022 x\n\u2022 y");
    bool bold = false, big = false;
    for (const auto& r : t.formats) {
        const QString part = t.text.mid(r.start, r.length);
        if (part == "two") bold = r.format.fontWeight() == QFont::Bold;
        if (part == "big")
            big = r.format.fontPointSize() == 18 &&
                  r.format.foreground().color() == QColor(0, 128, 0);
    }
    EXPECT_TRUE(bold);
    EXPECT_TRUE(big);
    // Unclosed and stray tags do not stop the text.
    EXPECT_EQ(ParseMarkup("a <b>b </i>c <", Markup::Html).text, "a b c <");
}

TEST(Markup, RtfKeepsTextAndCharacterFormatting) {
    const StyledText t = ParseMarkup(
        "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\froman Times New Roman;}{\\f1\\fmodern Courier "
        "New;}}{\\colortbl ;\\red255\\green0\\blue0;}{\\*\\generator Writer;}\n"
        "\\pard\\plain Plain {\\b bold} \\i italic\\i0  {\\cf1 red} {\\f1\\fs40 mono}\\par\n"
        "caf\\'e9 \\u8364? \\{x\\}\\tab y{\\pict 0123abcd}\\par\n}",
        Markup::Rtf);
    EXPECT_EQ(t.text.toStdString(), "Plain bold italic red mono\ncaf\u00e9 \u20ac {x}\ty");
    const auto format = [&](const QString& part) {
        const int at = int(t.text.indexOf(part));
        QTextCharFormat f;
        for (const auto& r : t.formats)
            if (at >= r.start && at < r.start + r.length) f = r.format;
        return f;
    };
    EXPECT_EQ(format("bold").fontWeight(), QFont::Bold);
    EXPECT_TRUE(format("italic").fontItalic());
    EXPECT_FALSE(format("red").fontItalic());
    EXPECT_EQ(format("red").foreground().color(), QColor(255, 0, 0));
    EXPECT_EQ(format("mono").fontPointSize(), 20);
    EXPECT_EQ(format("mono").fontFamilies().toStringList().value(0), FontFamily("Courier New"));
    EXPECT_EQ(format("Plain").properties().size(), 0);
    // Unbalanced or endless input ends without harm.
    EXPECT_EQ(ParseMarkup("{\\rtf1 {{{a}", Markup::Rtf).text, "a");
    EXPECT_EQ(ParseMarkup("\\", Markup::Rtf).text, "");
}

TEST(Paragraphs, LineSpacingIndentsAndSpacingChangeHeightsAndPlaces) {
    TextStyle s = Style();
    const double single = LineHeight(s);
    const QString three = "one\ntwo\nthree";
    // Line spacing leaves the first line alone and widens the later ones.
    s.paragraph.lineSpacing = Paragraph::Spacing::Double;
    const double twice = TextBlockHeight(s, three, 1000);
    s.paragraph.lineSpacing = Paragraph::Spacing::OneAndHalf;
    const double oneAndHalf = TextBlockHeight(s, three, 1000);
    EXPECT_GT(twice, oneAndHalf);
    EXPECT_GT(oneAndHalf, 3 * single);
    EXPECT_NEAR(twice - 3 * single, 2 * (oneAndHalf - 3 * single), 0.01);
    s.paragraph.lineSpacing = Paragraph::Spacing::Proportional;
    s.paragraph.lineSpacingSize = 2.0;
    EXPECT_NEAR(TextBlockHeight(s, three, 1000), twice, 0.01);
    s.paragraph.lineSpacing = Paragraph::Spacing::Fixed;
    s.paragraph.lineSpacingSize = 30;
    const LaidOutText fixed = LayOutText(s, three, 1000, 1e9);
    const double second =
        fixed.paragraphs[1]->lineAt(0).position().y() + fixed.paragraphs[1]->lineAt(0).ascent();
    const double third =
        fixed.paragraphs[2]->lineAt(0).position().y() + fixed.paragraphs[2]->lineAt(0).ascent();
    EXPECT_NEAR(third - second, 30 + fixed.paragraphs[1]->lineAt(0).descent(), 0.01);
    s.paragraph.lineSpacing = Paragraph::Spacing::AtLeast;
    s.paragraph.lineSpacingSize = 1; // less than the font needs
    EXPECT_NEAR(TextBlockHeight(s, three, 1000), 3 * single, 0.01);

    // Spacing before and after every paragraph.
    s = Style();
    s.paragraph.spacingBefore = 4;
    s.paragraph.spacingAfter = 6;
    EXPECT_NEAR(TextBlockHeight(s, three, 1000), 3 * single + 30, 0.01);

    // Indents: the first line starts further in, every line keeps off both sides.
    s = Style();
    s.paragraph.leftIndent = 20;
    s.paragraph.rightIndent = 10;
    s.paragraph.firstLineIndent = 15;
    const LaidOutText indented = LayOutText(s, "aaa bbb ccc ddd eee fff ggg", 100, 1e9);
    const QTextLayout& p = *indented.paragraphs.at(0);
    ASSERT_GE(p.lineCount(), 2);
    EXPECT_EQ(p.lineAt(0).position().x(), 15); // from the left indent
    EXPECT_EQ(p.lineAt(1).position().x(), 0);
    EXPECT_LE(p.lineAt(0).width(), 55);
    EXPECT_LE(p.lineAt(1).width(), 70);
    EXPECT_GT(TextBlockHeight(s, "aaa bbb ccc ddd eee fff ggg", 100),
              TextBlockHeight(Style(), "aaa bbb ccc ddd eee fff ggg", 100));

    // Tab stops: the default width, and a right-aligned stop ending its text there.
    s = Style();
    s.paragraph.tabStopWidth = 50;
    const LaidOutText tabbed = LayOutText(s, "a\tb", 1000, 1e9);
    EXPECT_NEAR(tabbed.paragraphs[0]->lineAt(0).cursorToX(2), 50, 0.5);
    s.paragraph.tabStops = {TabStop{120, TabStop::Align::Right}};
    const LaidOutText right = LayOutText(s, "a\tbbb", 1000, 1e9);
    EXPECT_NEAR(right.paragraphs[0]->lineAt(0).cursorToX(5), 120, 0.5);
    // Stops count from the left indent, not from where an indented first line starts.
    s.paragraph.tabStops.clear();
    s.paragraph.leftIndent = 30;
    s.paragraph.firstLineIndent = 20;
    const LaidOutText indentedTabs = LayOutText(s, "a\tb\na\tb", 1000, 1e9);
    EXPECT_NEAR(indentedTabs.paragraphs[0]->lineAt(0).cursorToX(2), 50, 0.5);
    EXPECT_NEAR(indentedTabs.paragraphs[1]->lineAt(0).cursorToX(2), 50, 0.5);
}

TEST(Paragraphs, StylesAndElementsSetThemInTheReport) {
    const Report r = ParsePrepared(test::Jrxml(R"(
        <style name="Indented" lineSpacing="Double"><paragraph leftIndent="12" spacingAfter="3">
            <tabStop position="33" alignment="Center"/></paragraph></style>
        <title><band height="100">
          <textField textAdjust="ScaleFont"><reportElement style="Indented" x="0" y="0"
              width="100" height="20"/><textElement markup="html"><paragraph
              firstLineIndent="5" spacingAfter="4"/></textElement>
            <textFieldExpression><![CDATA["x"]]></textFieldExpression></textField>
          <staticText><reportElement x="0" y="30" width="100" height="20"/>
            <textElement markup="styled"><paragraph lineSpacing="Proportional"
              lineSpacingSize="1.5" tabStopWidth="20"/></textElement><text>y</text></staticText>
          <line><reportElement x="0" y="60" width="100" height="1"/>
            <graphicElement><pen lineWidth="3" lineStyle="Double"/></graphicElement></line>
          <staticText><reportElement x="0" y="70" width="100" height="20"/>
            <box><topPen lineWidth="3" lineStyle="Double"/></box><text>z</text></staticText>
        </band></title>)"));
    ASSERT_TRUE(r.refusals.empty()) << r.refusals[0];
    const auto& el = r.title->elements;
    ASSERT_EQ(el.size(), 4u);
    EXPECT_TRUE(el[0].scaleFont);
    EXPECT_EQ(el[0].style.markup, Markup::Html);
    const Paragraph& p = el[0].style.paragraph;
    EXPECT_EQ(p.lineSpacing, Paragraph::Spacing::Double);
    EXPECT_EQ(p.leftIndent, 12);
    EXPECT_EQ(p.firstLineIndent, 5);
    EXPECT_EQ(p.spacingAfter, 4); // the element's own over its style's
    ASSERT_EQ(p.tabStops.size(), 1u);
    EXPECT_EQ(p.tabStops[0].position, 33);
    EXPECT_EQ(p.tabStops[0].align, TabStop::Align::Center);
    EXPECT_EQ(el[1].style.markup, Markup::Styled);
    EXPECT_EQ(el[1].style.paragraph.lineSpacing, Paragraph::Spacing::Proportional);
    EXPECT_EQ(el[1].style.paragraph.lineSpacingSize, 1.5);
    EXPECT_EQ(el[1].style.paragraph.tabStopWidth, 20);
    EXPECT_EQ(el[2].penStyle, DoublePenStyle);
    EXPECT_EQ(el[3].box.topPen.style, DoublePenStyle);

    // What stays refused is named: an unknown markup and spacing.
    const Report refused = ParsePrepared(test::Jrxml(
        R"(<title><band height="30"><staticText><reportElement x="0" y="0" width="100"
           height="20"/><textElement markup="docbook"><paragraph lineSpacing="Triple"/>
           </textElement><text>y</text></staticText></band></title>)"));
    ASSERT_EQ(refused.refusals.size(), 2u);
    EXPECT_NE(refused.refusals[0].find("\"docbook\""), std::string::npos) << refused.refusals[0];
    EXPECT_NE(refused.refusals[1].find("\"Triple\""), std::string::npos) << refused.refusals[1];
}

TEST(Paragraphs, ADoubleLineIsTwoThinLines) {
    const QImage page =
        RenderTitle("<line><reportElement x='0' y='10' width='100' height='1'/><graphicElement>"
                    "<pen lineWidth='6' lineStyle='Double'/></graphicElement></line>");
    // Ink, a gap, ink across the line's width (rows 28..32 around y = 30).
    std::string rows;
    for (int y = 25; y <= 35; ++y)
        rows += qGray(page.pixel(60, y)) < 128 ? '#' : '.';
    EXPECT_NE(rows.find("#.."), std::string::npos) << rows;
    EXPECT_NE(rows.find("..#"), std::string::npos) << rows;
    EXPECT_EQ(rows.find("######"), std::string::npos) << rows;
}

TEST(Fonts, ReportFontNamesMapToInstalledFamilies) {
    const QStringList families = QFontDatabase::families();
    const bool liberation = families.contains("Liberation Sans");
    EXPECT_EQ(FontFamily("SansSerif"), liberation ? "Liberation Sans" : "DejaVu Sans");
    EXPECT_EQ(FontFamily("Arial"), FontFamily("SansSerif"));
    EXPECT_EQ(FontFamily("Helvetica"), FontFamily("SansSerif"));
    EXPECT_EQ(FontFamily("Times New Roman"), liberation ? "Liberation Serif" : "DejaVu Serif");
    EXPECT_EQ(FontFamily("Courier New"), liberation ? "Liberation Mono" : "DejaVu Sans Mono");
    EXPECT_EQ(FontFamily("Monospaced"), FontFamily("Courier"));
    EXPECT_EQ(FontFamily("DejaVu Serif"), "DejaVu Serif");
    EXPECT_EQ(FontFamily("dejavu serif"), "DejaVu Serif");

    // A font that is not installed: DejaVu Sans, said once on the log.
    testing::internal::CaptureStderr();
    EXPECT_EQ(FontFamily("No Such Font Family 7"), "DejaVu Sans");
    EXPECT_EQ(FontFamily("No Such Font Family 7"), "DejaVu Sans");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, "norvakel-report: The font \"No Such Font Family 7\" is not installed; "
                   "\"DejaVu Sans\" is drawn instead.\n");

    // The layout draws with the family it maps to.
    TextStyle s = Style();
    s.fontName = "Courier New";
    EXPECT_EQ(TextFont(s).family(), FontFamily("Courier New"));
    // A character the family lacks comes from an installed font that has it,
    // never as an empty box (glyph 0).
    s.fontName = "SansSerif";
    const LaidOutText snow = LayOutText(s, QString::fromUtf8("a\u2603b"), 1000, 1e9);
    const auto runs = snow.paragraphs[0]->glyphRuns();
    ASSERT_FALSE(runs.isEmpty());
    for (const QGlyphRun& run : runs)
        for (quint32 glyph : run.glyphIndexes())
            EXPECT_NE(glyph, 0u) << run.rawFont().familyName().toStdString();
    s.fontName = "Courier New";
    // Monospaced: every character as wide as the next.
    const LaidOutText a = LayOutText(s, "iiii", 1000, 1e9), b = LayOutText(s, "WWWW", 1000, 1e9);
    EXPECT_NEAR(a.paragraphs[0]->lineAt(0).naturalTextWidth(),
                b.paragraphs[0]->lineAt(0).naturalTextWidth(), 0.01);
}

} // namespace
} // namespace printengine
