#include "printengine/bandlayout.h"

#include <algorithm>
#include <map>

namespace printengine {

namespace {

constexpr double Eps = 1e-6;

bool StretchesWithGroup(const Element& e) {
    return e.stretchType == StretchType::ElementGroupHeight ||
           e.stretchType == StretchType::ElementGroupBottom;
}

// The element group around group `g`: one read before it, or none.
int Outer(const Band& band, int g) {
    const int outer = band.groups[size_t(g)];
    return outer < g ? outer : -1;
}

// The elements directly inside elements [begin, end): a frame's contents are its own.
std::vector<size_t> DirectKids(const Band& band, size_t begin, size_t end) {
    std::vector<size_t> kids;
    for (size_t i = begin; i < end; i += band.elements[i].contents + 1)
        kids.push_back(i);
    return kids;
}

void PlanContainer(const Band& band, BandPlan& plan, int frame, size_t begin, size_t end) {
    end = std::min(end, band.elements.size());
    BandPlan::Container c;
    c.frame = frame;
    if (frame >= 0) {
        const Element& f = band.elements[size_t(frame)];
        c.top = f.y + f.box.top;
        c.height = std::max(0.0, f.height - f.box.top - f.box.bottom);
        plan.inside[size_t(frame)] = int(plan.containers.size());
    } else {
        c.height = band.height;
    }
    c.kids = DirectKids(band, begin, end);
    const auto& el = band.elements;
    std::stable_sort(c.kids.begin(), c.kids.end(), [&](size_t a, size_t b) {
        if (el[a].y != el[b].y) return el[a].y < el[b].y;
        return el[a].y + el[a].height < el[b].y + el[b].height;
    });
    for (size_t k : c.kids)
        if (el[k].floating) c.floats.push_back(k);
    // The members of each element group that something here stretches with;
    // an element in no group stretches with its band or frame.
    std::map<int, int> sets;
    for (size_t k : c.kids) {
        if (!StretchesWithGroup(el[k])) continue;
        auto [it, fresh] = sets.emplace(el[k].group, int(plan.groups.size()));
        if (fresh) plan.groups.emplace_back();
        plan.groupOf[k] = it->second;
    }
    // Each member joins the sets of the groups around it, nested ones included.
    if (auto all = sets.find(-1); all != sets.end()) plan.groups[size_t(all->second)] = c.kids;
    for (size_t m : c.kids)
        for (int g = el[m].group; g >= 0 && size_t(g) < band.groups.size(); g = Outer(band, g))
            if (auto it = sets.find(g); it != sets.end())
                plan.groups[size_t(it->second)].push_back(m);
    plan.containers.push_back(std::move(c));
    for (size_t i = begin; i < end; i += el[i].contents + 1)
        if (el[i].kind == ElementKind::Frame)
            PlanContainer(band, plan, int(i), i + 1, i + 1 + el[i].contents);
}

// One row's layout of a band: positions relative to the band or frame an
// element sits in, until Finish turns them into the band's coordinates.
class Layouter {
  public:
    Layouter(const Band& band, const BandPlan& plan, const std::vector<ElementFill>& fill)
        : el_(band.elements), plan_(plan), fill_(fill), top_(el_.size()), height_(el_.size()),
          groupDone_(plan.groups.size(), false), groupBottom_(plan.groups.size()),
          groupDesignBottom_(plan.groups.size()) {}

    BandGeometry Run() {
        BandGeometry out;
        out.height = Prepare(0);
        out.rects.resize(el_.size());
        Finish(0, out.height, 0, out.rects);
        return out;
    }

  private:
    bool Shown(size_t i) const { return i < fill_.size() && fill_[i].shown; }
    double DesignTop(const BandPlan::Container& c, size_t k) const { return el_[k].y - c.top; }
    double DesignBottom(const BandPlan::Container& c, size_t k) const {
        return DesignTop(c, k) + el_[k].height;
    }

    // Floating elements below `k` that it overlaps horizontally keep their
    // design distance to its bottom.
    void Push(const BandPlan::Container& c, size_t k) {
        const Element& p = el_[k];
        for (size_t d : c.floats) {
            const Element& q = el_[d];
            const double left = std::min(p.x, q.x);
            const double right = std::max(p.x + p.width, q.x + q.width);
            if (d != k && p.y + p.height <= q.y + Eps && p.width + q.width > right - left + Eps)
                top_[d] =
                    std::max(top_[d], top_[k] + height_[k] + DesignTop(c, d) - DesignBottom(c, k));
        }
    }

    // The contents of container `ci` with their own heights, moved and
    // stretched within; the height they need.
    double Prepare(int ci) {
        const auto& c = plan_.containers[size_t(ci)];
        for (size_t k : c.kids) {
            const Element& e = el_[k];
            top_[k] = DesignTop(c, k);
            height_[k] = e.height;
            if (!Shown(k)) continue;
            if (e.kind == ElementKind::Frame) {
                // A frame is as tall as its contents; it keeps its design
                // height unless it gives up blank space.
                const double content = Prepare(plan_.inside[k]) + e.box.top + e.box.bottom;
                height_[k] = e.removeLineWhenBlank ? content : std::max(e.height, content);
            } else {
                height_[k] = std::max(e.height, fill_[k].needed);
            }
        }
        // Elements that did not print push too, with their design height:
        // their strip goes only when they ask for it.
        for (size_t k : c.kids)
            Push(c, k);
        for (size_t k : c.kids) {
            if (Shown(k) && plan_.groupOf[k] >= 0) StretchWithGroup(c, k);
            Push(c, k);
        }
        double needed = c.height;
        for (size_t k : c.kids) {
            const double below = std::max(0.0, c.height - DesignBottom(c, k));
            needed = std::max(needed, top_[k] + height_[k] + below);
        }
        return std::max(0.0, needed - RemoveBlankStrips(c));
    }

    void StretchWithGroup(const BandPlan::Container& c, size_t k) {
        const size_t g = size_t(plan_.groupOf[k]);
        if (!groupDone_[g]) {
            // The group grew by how much further its lowest printed member
            // ends below the one that ends highest than in the design.
            groupDone_[g] = true;
            bool any = false;
            size_t high = 0, low = 0;
            for (size_t m : plan_.groups[g]) {
                if (!Shown(m)) continue;
                const double bottom = top_[m] + height_[m];
                if (!any || bottom < top_[high] + height_[high]) high = m;
                if (!any || bottom > top_[low] + height_[low]) low = m;
                any = true;
            }
            const double grown = any ? (top_[low] + height_[low] - top_[high]) -
                                           (DesignBottom(c, low) - DesignTop(c, high))
                                     : 0;
            groupBottom_[g] = std::max(0.0, grown);
            groupDesignBottom_[g] = any ? top_[low] + height_[low] - DesignBottom(c, low) : 0;
        }
        const Element& e = el_[k];
        if (e.stretchType == StretchType::ElementGroupHeight)
            height_[k] = std::max(height_[k], e.height + groupBottom_[g]);
        else // its bottom moves as far as the group's lowest member's
            height_[k] = std::max(height_[k], DesignBottom(c, k) + groupDesignBottom_[g] - top_[k]);
    }

    // Takes out the strips of elements left out that ask for it (and the
    // space a frame that asks for it gave up) where no printed element
    // shares them; what is below moves up. Returns the height taken out.
    double RemoveBlankStrips(const BandPlan::Container& c) {
        std::vector<std::pair<double, double>> strips;
        for (size_t k : c.kids) {
            const Element& e = el_[k];
            if (!e.removeLineWhenBlank) continue;
            double from = top_[k], to = top_[k] + e.height;
            if (Shown(k)) {
                if (e.kind != ElementKind::Frame || height_[k] >= e.height - Eps) continue;
                from = top_[k] + height_[k];
            }
            if (to - from <= Eps) continue;
            bool shared = false;
            for (size_t j : c.kids)
                if (j != k && Shown(j) && top_[j] < to - Eps && top_[j] + height_[j] > from + Eps)
                    shared = true;
            if (!shared) strips.emplace_back(from, to);
        }
        if (strips.empty()) return 0;
        std::sort(strips.begin(), strips.end());
        std::vector<std::pair<double, double>> merged;
        for (const auto& s : strips)
            if (!merged.empty() && s.first <= merged.back().second + Eps)
                merged.back().second = std::max(merged.back().second, s.second);
            else
                merged.push_back(s);
        double total = 0;
        for (const auto& m : merged)
            total += m.second - m.first;
        for (size_t k : c.kids) {
            double shift = 0;
            for (const auto& m : merged)
                shift += std::clamp(top_[k] - m.first, 0.0, m.second - m.first);
            top_[k] -= shift;
        }
        return total;
    }

    // The container's final height is known: elements stretch to it or keep
    // their distance to its bottom, and frames pass their own on inside.
    void Finish(int ci, double finalHeight, double origin, std::vector<QRectF>& rects) {
        const auto& c = plan_.containers[size_t(ci)];
        const double grown = finalHeight - c.height;
        for (size_t k : c.kids) {
            const Element& e = el_[k];
            if (e.toBottom) top_[k] = DesignTop(c, k) + grown;
            if (Shown(k) && e.stretchType == StretchType::ContainerHeight)
                height_[k] = std::max(height_[k], e.height + grown);
            if (Shown(k) && e.stretchType == StretchType::ContainerBottom)
                height_[k] = std::max(height_[k], DesignBottom(c, k) + grown - top_[k]);
            rects[k] = QRectF(e.x, origin + top_[k], e.width, height_[k]);
            if (e.kind == ElementKind::Frame && Shown(k))
                Finish(plan_.inside[k], std::max(0.0, height_[k] - e.box.top - e.box.bottom),
                       origin + top_[k] + e.box.top, rects);
        }
    }

    const std::vector<Element>& el_;
    const BandPlan& plan_;
    const std::vector<ElementFill>& fill_;
    std::vector<double> top_, height_;
    std::vector<bool> groupDone_;
    std::vector<double> groupBottom_, groupDesignBottom_;
};

} // namespace

BandPlan PlanBand(const Band& band) {
    BandPlan plan;
    const size_t n = band.elements.size();
    plan.inside.assign(n, -1);
    plan.groupOf.assign(n, -1);
    PlanContainer(band, plan, -1, 0, n);
    return plan;
}

BandGeometry LayOutBand(const Band& band, const BandPlan& plan,
                        const std::vector<ElementFill>& fill) {
    return Layouter(band, plan, fill).Run();
}

// ---- bands taller than a page ---------------------------------------------------

BandSlicer::BandSlicer(std::vector<PageItem> items, double height, Measure measure)
    : items_(std::move(items)), height_(height), measure_(std::move(measure)) {
    for (const auto& item : items_)
        rest_.push_back(item.text);
}

bool BandSlicer::More() const {
    if (offset_ >= height_ - Eps) return false;
    for (size_t i = 0; i < items_.size(); ++i) {
        const QRectF& r = items_[i].rect;
        if (r.top() >= offset_ - Eps || (r.bottom() > offset_ + Eps && !rest_[i].isEmpty()))
            return true;
    }
    return false;
}

namespace {

bool IsText(const PageItem& item) {
    return item.element->kind == ElementKind::StaticText ||
           item.element->kind == ElementKind::TextField;
}

// Where `text` may break: after each run of spaces or a line end.
std::vector<qsizetype> Breaks(const QString& text) {
    std::vector<qsizetype> at;
    for (qsizetype i = 1; i < text.size(); ++i)
        if (!text[i].isSpace() && text[i - 1].isSpace()) at.push_back(i);
    return at;
}

} // namespace

void BandSlicer::Grow(size_t i, double by) {
    const double bottom = items_[i].rect.bottom();
    for (size_t j = 0; j < items_.size(); ++j) {
        QRectF& r = items_[j].rect;
        if (j == i || (r.top() < bottom - Eps && r.bottom() > bottom - Eps))
            r.setBottom(r.bottom() + by); // it ends below: it grows with it
        else if (r.top() >= bottom - Eps)
            r.translate(0, by);
    }
    height_ += by;
}

std::vector<PageItem> BandSlicer::Next(double room, double& used) {
    const double end = offset_ + room;
    std::vector<PageItem> out;
    for (size_t i = 0; i < items_.size(); ++i) {
        const QRectF& r = items_[i].rect;
        if (r.bottom() <= offset_ + Eps && r.height() > 0) continue; // placed already
        if (r.top() >= end - Eps || (r.height() <= 0 && r.top() < offset_ - Eps)) continue;
        PageItem piece = items_[i];
        const double top = std::max(r.top(), offset_);
        const double bottom = std::min(r.bottom(), end);
        piece.rect = QRectF(r.left(), top - offset_, r.width(), bottom - top);
        if (IsText(piece)) {
            piece.text = rest_[i];
            if (r.bottom() > end + Eps) {
                // The longest run of whole lines that fits; the rest goes on.
                const QString& text = rest_[i];
                const auto breaks = Breaks(text);
                size_t lo = 0, hi = breaks.size();
                const auto fits = [&](size_t n) {
                    return measure_(piece, text.left(breaks[n - 1]).trimmed()) <=
                           bottom - top + Eps;
                };
                if (measure_(piece, text) <= bottom - top + Eps) {
                    lo = breaks.size() + 1;
                } else {
                    while (lo < hi) {
                        const size_t mid = (lo + hi + 1) / 2;
                        if (fits(mid))
                            lo = mid;
                        else
                            hi = mid - 1;
                    }
                }
                if (lo > breaks.size()) {
                    rest_[i].clear();
                } else {
                    const qsizetype cut = lo == 0 ? 0 : breaks[lo - 1];
                    piece.text = text.left(cut).trimmed();
                    rest_[i] = text.mid(cut);
                    // The room left blank under the lines that fit is lost:
                    // the rest needs as much more below.
                    const double needed = measure_(piece, rest_[i]);
                    if (needed > r.bottom() - end) Grow(i, needed - (r.bottom() - end));
                }
            } else {
                rest_[i].clear();
            }
        }
        out.push_back(std::move(piece));
    }
    used = std::min(room, height_ - offset_); // the band may have grown above
    offset_ = end;
    return out;
}

} // namespace printengine
