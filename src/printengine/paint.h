// Drawing laid-out pages with Qt, on screen, on printers and into PDF files.
#pragma once

#include "printengine/fill.h"

#include <QPainter>

namespace printengine {

// Draws `page` with the painter's origin at the page's top left corner. The
// painter's coordinates must be points (1/72 inch): scale it before calling.
void PaintPage(QPainter& painter, const Page& page);

} // namespace printengine
