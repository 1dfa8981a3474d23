// Where bands go across a page: the columns a report is divided into and
// which group footers sink to the bottom of the page.
#pragma once

#include "printengine/report.h"

#include <vector>

namespace printengine {

// The left edge of `column` (from 0), in points from the page's left edge.
double ColumnX(const Report& r, int column);

// For groups from `from` on (the ones that end together, outermost first),
// whether each footer goes to the bottom of the page; entries before `from`
// are false. A ForceAtBottom footer pulls the inner ones down with it; a
// CollateAtBottom footer goes down only when the inner group's footer does.
std::vector<bool> FootersAtBottom(const Report& r, size_t from);

} // namespace printengine
