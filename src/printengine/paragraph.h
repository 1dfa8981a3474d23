// How a text element's paragraphs are set: markup, line spacing, indents,
// spacing and tab stops, as JRXML's <paragraph> and markup attributes say.
#pragma once

#include <Qt>

#include <optional>
#include <vector>

namespace printengine {

// How a text element reads its text: literally, as JasperReports' styled
// text (XML <style> tags and a few HTML ones), as HTML or as RTF.
enum class Markup { None, Styled, Html, Rtf };

// Box and line pens drawn as two thin lines. Qt has no such style; custom
// dashes never come from a report, so their value stands for it.
constexpr Qt::PenStyle DoublePenStyle = Qt::CustomDashLine;

struct TabStop {
    double position = 0;
    enum class Align { Left, Center, Right } align = Align::Left;
};

struct Paragraph {
    enum class Spacing { Single, OneAndHalf, Double, AtLeast, Fixed, Proportional };
    Spacing lineSpacing = Spacing::Single;
    double lineSpacingSize = 1.0;
    double firstLineIndent = 0, leftIndent = 0, rightIndent = 0;
    double spacingBefore = 0, spacingAfter = 0;
    double tabStopWidth = 40;
    std::vector<TabStop> tabStops;
};

// What a style or an element sets of a paragraph, attribute by attribute.
struct ParagraphProps {
    std::optional<Paragraph::Spacing> lineSpacing;
    std::optional<double> lineSpacingSize, firstLineIndent, leftIndent, rightIndent;
    std::optional<double> spacingBefore, spacingAfter, tabStopWidth;
    std::optional<std::vector<TabStop>> tabStops;
};

inline void ApplyParagraph(Paragraph& to, const ParagraphProps& p) {
    if (p.lineSpacing) to.lineSpacing = *p.lineSpacing;
    if (p.lineSpacingSize) to.lineSpacingSize = *p.lineSpacingSize;
    if (p.firstLineIndent) to.firstLineIndent = *p.firstLineIndent;
    if (p.leftIndent) to.leftIndent = *p.leftIndent;
    if (p.rightIndent) to.rightIndent = *p.rightIndent;
    if (p.spacingBefore) to.spacingBefore = *p.spacingBefore;
    if (p.spacingAfter) to.spacingAfter = *p.spacingAfter;
    if (p.tabStopWidth) to.tabStopWidth = *p.tabStopWidth;
    if (p.tabStops) to.tabStops = *p.tabStops;
}

} // namespace printengine
