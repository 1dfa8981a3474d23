// Text in a box as JasperReports sets it: paragraphs broken into lines at
// word boundaries (a word wider than the box is broken too), line spacing,
// indents and tab stops, styled or HTML markup. Only whole lines are kept:
// a line that does not fit the box's height is left out, never cut. The
// filler measures stretching text with the same layout the painter draws.
#pragma once

#include "printengine/markup.h"
#include "printengine/report.h"

#include <QFont>
#include <QPainter>
#include <QString>
#include <QTextLayout>

#include <memory>
#include <vector>

namespace printengine {

// The installed family that draws a report's font name: Java's logical
// fonts and the common Windows fonts map to metric-compatible families
// (Liberation, else DejaVu); a font that is not installed falls back to
// DejaVu Sans, which is logged once per name.
QString FontFamily(const QString& reportName);

// The element's font at 72 dots per inch, so that a point is a unit.
QFont TextFont(const TextStyle& style, double scale = 1.0);

// Lines laid out from the text's top left corner inside its left indent.
struct LaidOutText {
    std::vector<std::unique_ptr<QTextLayout>> paragraphs;
    double height = 0; // of the lines kept, with paragraph spacing
    int lines = 0;
    bool complete = true; // every line fitted
};

// Lays `text` out `width` wide, keeping the lines that fit `maxHeight` whole.
// `fontScale` scales every font size (ScaleFont).
LaidOutText LayOutText(const TextStyle& style, const QString& text, double width, double maxHeight,
                       double fontScale = 1.0);

// The height all of `text` needs `width` wide.
double TextBlockHeight(const TextStyle& style, const QString& text, double width);

// The largest font scale, at most 1, at which all of `text` fits `box`.
double FittingScale(const TextStyle& style, const QString& text, QSizeF box);

// Draws `text` in `box` (inside the padding) with its alignment; `scaleFont`
// shrinks the type until the text fits.
void DrawTextBox(QPainter& painter, const TextStyle& style, const QString& text, const QRectF& box,
                 bool scaleFont);

} // namespace printengine
