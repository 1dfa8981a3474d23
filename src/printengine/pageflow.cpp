#include "printengine/pageflow.h"

namespace printengine {

double ColumnX(const Report& r, int column) {
    return r.leftMargin + column * (r.columnWidth + r.columnSpacing);
}

std::vector<bool> FootersAtBottom(const Report& r, size_t from) {
    using P = GroupDef::FooterPosition;
    const size_t n = r.groups.size();
    std::vector<bool> down(n, false), forced(n, false);
    bool force = false;
    for (size_t g = from; g < n; ++g) {
        force = force || r.groups[g].footerPosition == P::ForceAtBottom;
        forced[g] = force;
    }
    for (size_t g = n; g-- > from;) {
        const P p = r.groups[g].footerPosition;
        if (forced[g] || p == P::StackAtBottom)
            down[g] = true;
        else if (p == P::CollateAtBottom)
            down[g] = g + 1 < n && down[g + 1];
    }
    return down;
}

} // namespace printengine
