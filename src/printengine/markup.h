// Text elements' markup read into text and character formats: JasperReports'
// styled text, HTML and RTF. The text comes from the report's data, so the
// readers take anything: what is not well-formed ends or shows as written.
#pragma once

#include "printengine/paragraph.h"

#include <QList>
#include <QString>
#include <QTextLayout>

namespace printengine {

// The text of a markup with its character formats (positions in `text`).
struct StyledText {
    QString text;
    QList<QTextLayout::FormatRange> formats;
};

StyledText ParseMarkup(const QString& text, Markup markup);

} // namespace printengine
