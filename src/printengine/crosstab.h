// Crosstabs: the definition the JRXML reader builds, the aggregation of the
// report's rows into cells as they stream by, and the layout of the cells
// into pieces that fill the room left on a page and continue on later pages.
#pragma once

#include "printengine/dataset.h"
#include "printengine/fill.h"
#include "printengine/report.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace printengine {

// A cell's background and box (a frame over the whole cell) and its elements,
// relative to the cell's top left corner; `width`/`height` are its designed size.
struct CellContents {
    bool present = false;
    Element frame;
    std::vector<Element> elements;
    double width = -1, height = -1; // -1: not given
};

enum class TotalPosition { None, Start, End };
// Where header contents go when the header spans more than its designed size.
enum class HeaderPosition { Start, Middle, End, Stretch };

struct CrosstabGroup {
    std::string name;
    double size = 0; // a row group's width, a column group's height
    TotalPosition total = TotalPosition::None;
    HeaderPosition position = HeaderPosition::Start;
    Expression bucket;
    bool descending = false;
    bool arrival = false;         // order="None": in the order the values came
    bool caseInsensitive = false; // the comparator String.CASE_INSENSITIVE_ORDER
    Expression orderBy;           // sorts the buckets by their totals
    CellContents header, totalHeader;
};

struct CrosstabMeasure {
    std::string name;
    ValueClass valueClass = ValueClass::Object;
    enum class Calc { Nothing, Count, DistinctCount, Sum, Average, Lowest, Highest };
    Calc calculation = Calc::Nothing;
    Expression expression;
};

struct CrosstabParameter {
    std::string name;
    Expression value; // in the report's scope
};

struct CrosstabDef {
    std::vector<CrosstabGroup> rows, columns;
    std::vector<CrosstabMeasure> measures;
    std::vector<CrosstabParameter> parameters;
    // cells[i][j]: the cell of row total level i and column total level j;
    // i == rows.size() (j == columns.size()) is a data row (column).
    std::vector<std::vector<CellContents>> cells;
    CellContents headerCell, noDataCell;
    bool repeatColumnHeaders = true, repeatRowHeaders = true, ignoreWidth = false;
    double columnBreakOffset = 10;
    // Whose rows it shows: the whole report's, or since its group (or page) started.
    bool resetGiven = false;
    ResetType reset = ResetType::Report;
    std::string resetGroupName;
    int resetGroup = -1;
    Expression incrementWhen;
    // Rows of another dataset, run anew each time the crosstab is laid out.
    std::shared_ptr<DatasetRunDef> run;
    int line = 0;
};

// After reading: gives every cell its size (from the cell of the same column
// or row when the file leaves it out); a total cell left out stays empty.
// Problems go to `refusals`.
void CompleteCrosstab(CrosstabDef& def, std::vector<std::string>& refusals);

// Binds the crosstab's expressions: buckets, measures and parameters in the
// report's scope through `bindReport`, cell contents in the crosstab's own
// ($V{measure}, $V{group}, $V{measure_group_ALL}, $P{crosstab parameter}).
// With a dataset run, buckets and measures read the run's dataset instead.
void PrepareCrosstab(Report& report, CrosstabDef& def,
                     const std::function<void(Expression&)>& bindReport);

using Evaluator = std::function<Value(const Expression&)>;

struct CrosstabPiece {
    std::vector<PageItem> items; // relative to the crosstab's top left corner
    double height = 0;
};

class CrosstabGrid;

// The part of a laid-out crosstab still to print.
class CrosstabPieces {
  public:
    explicit CrosstabPieces(std::shared_ptr<CrosstabGrid> grid);
    ~CrosstabPieces();
    // The next piece within `room` points of height; nothing fits: an empty
    // piece, unless `force` (a page's top) places at least one row.
    CrosstabPiece Next(double room, bool force);
    bool Done() const;
    // The height the next piece needs at the least (headers and one row).
    double Needed() const;

  private:
    std::shared_ptr<CrosstabGrid> grid_;
    size_t chunk_ = 0, row_ = 0;
    bool started_ = false;
};

class CrosstabData;

// Every crosstab of a report during one fill: rows go in as they come.
class CrosstabRuns {
  public:
    explicit CrosstabRuns(const Report& report);
    ~CrosstabRuns();
    void Reset(ResetType type, int group);
    void Add(const Evaluator& evaluate);
    // The crosstab of `element` laid out from the rows it has now (or from
    // its dataset run's, through `runner`); `availableWidth` is where its
    // columns break.
    std::unique_ptr<CrosstabPieces> Lay(const Element& element, const Evaluator& evaluate,
                                        double availableWidth, const DatasetRunner& runner);

  private:
    std::map<const Element*, std::unique_ptr<CrosstabData>> data_;
};

} // namespace printengine
