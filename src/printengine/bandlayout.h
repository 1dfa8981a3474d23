// Where the elements of a band go once their contents are known, the way
// JasperReports 6 lays a band out: elements grow with their text, floating
// elements move down below what grew above them, elements stretch with
// their element group or their band or frame, elements fixed to the bottom
// keep their distance to it, the strips of blank elements that ask for it
// go, and frames grow with their contents, which they lay out like a band.
#pragma once

#include "printengine/fill.h"
#include "printengine/report.h"

#include <QRectF>

#include <functional>
#include <vector>

namespace printengine {

// What a band's shape allows to work out once, before any row: who sits in
// which band or frame, in what order, and who stretches with whom.
struct BandPlan {
    struct Container {
        int frame = -1;             // the frame's element, or -1 for the band itself
        double top = 0, height = 0; // its design area, in band coordinates
        std::vector<size_t> kids;   // the elements directly in it, from the top down
        std::vector<size_t> floats; // those of them that float
    };
    std::vector<Container> containers; // the band first
    std::vector<int> inside;           // per frame element: its container; -1 otherwise
    // Per element that stretches with its element group: the group's members
    // (index into `groups`), or -1.
    std::vector<int> groupOf;
    std::vector<std::vector<size_t>> groups;
};

BandPlan PlanBand(const Band& band);

// One element as this row fills it.
struct ElementFill {
    bool shown = true; // printed: its print-when expression held, its value was not left out
    double needed = 0; // the height its contents need (stretching text); frames are measured here
};

struct BandGeometry {
    std::vector<QRectF> rects; // per element, relative to the band's top left corner
    double height = 0;
};

BandGeometry LayOutBand(const Band& band, const BandPlan& plan,
                        const std::vector<ElementFill>& fill);

// Cuts a laid-out band too tall for a page into pieces, one page's room at
// a time. An element crossing a page's end is cut there: a text keeps the
// lines that fit and goes on with the rest at the top of the next page;
// boxes and lines go on below. Once what is left holds nothing but the
// rest of boxes and lines cut above, the band ends: its empty tail is cut.
class BandSlicer {
  public:
    // The height a text needs in an element as wide as the item's.
    using Measure = std::function<double(const PageItem&, const QString&)>;

    BandSlicer(std::vector<PageItem> items, double height, Measure measure);

    // Whether anything is left to print.
    bool More() const;
    // The next `room` points (positive): the pieces, relative to their top,
    // and in `used` how much of the room they take.
    std::vector<PageItem> Next(double room, double& used);

  private:
    // Item `i` ends `by` lower: what is below it moves down, what ends
    // below it grows with it.
    void Grow(size_t i, double by);

    std::vector<PageItem> items_;
    std::vector<QString> rest_; // what a text has left to print
    double height_, offset_ = 0;
    Measure measure_;
};

} // namespace printengine
