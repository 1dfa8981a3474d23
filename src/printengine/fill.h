// Lays a report out into pages, row by row, the way JasperReports fills a
// report: the title on the first page, page header and column header at the
// top of every page, group headers and footers around their rows, detail
// bands, column footer and page footer at the foot of every page, the summary
// after the last detail band.
#pragma once

#include "printengine/datasource.h"
#include "printengine/report.h"

#include <QImage>
#include <QRectF>
#include <QString>
#include <QSvgRenderer>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

namespace printengine {

struct ChartData;       // chart.h
struct ChartPlacements; // chart.h

struct PageItem {
    const Element* element = nullptr;
    // The element as its conditional styles made it for this row; `element`
    // then points into it.
    std::shared_ptr<const Element> styled;
    QRectF rect; // in points from the page's top left corner
    QString text;
    QImage image;                           // an image element's picture (shared, not copied)
    std::shared_ptr<QSvgRenderer> drawing;  // or its SVG drawing, kept as vectors
    std::shared_ptr<const ChartData> chart; // a chart's values
};

struct Page {
    std::vector<PageItem> items;
    double height = 0; // a report without pagination makes one page this tall; 0: the report's
};

class FillError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Checks the names the report's expressions use and binds them; the first
// problem found is added to the report's refusals.
void PrepareReport(Report& report);

struct GroupEnds;

// Every value the report's expressions can read, in slots; after a pass, also
// the values each group instance ended with (see evaluation.h).
struct FillState {
    std::vector<Value> fields, parameters, variables;
    std::shared_ptr<const GroupEnds> groupEnds;
    std::shared_ptr<const ChartPlacements> charts; // what delayed charts showed
};

// Opens a table of the report's destination with `fields` (`table` empty:
// the report's own table), for subreports and datasets.
using TableOpener = std::function<std::unique_ptr<RowSource>(const std::string& table,
                                                             const std::vector<FieldDef>& fields)>;

// Fills the report from `rows`. Each finished page goes to `sink`. Text fields
// evaluated at the report's end read `atEnd` (the final state of an earlier
// pass over the same rows) and show nothing when it is null. Returns the number
// of pages; `final` receives the final state. Subreports read their rows
// through `tables`. Throws FillError or SourceError.
int FillReport(const Report& report, const std::vector<Value>& parameters, RowSource& rows,
               const std::function<void(Page&&)>& sink, const FillState* atEnd, FillState* final,
               const TableOpener* tables = nullptr);

struct SubreportRun;

// A report filled inside another's band: no pages, no page header or footer,
// the column footer right after the last rows; items from y 0.
struct InlineFill {
    std::vector<PageItem> items;
    double height = 0;
    FillState final;
};
InlineFill FillInline(const Report& report, const std::vector<Value>& parameters, RowSource& rows,
                      SubreportRun& run);

// The slot of the variable `name` (a built-in one too); -1 when unknown.
int VariableSlotOf(const Report& report, const std::string& name);

// Runs `report` over `rows` for its variables and groups alone, with no
// bands: `onRow` sees the state after each row's variables are calculated.
void FillRows(const Report& report, const std::vector<Value>& parameters, RowSource& rows,
              const std::function<void(const FillState&)>& onRow, FillState* final);

// Binds `e` to the report's names, as the report's own expressions are;
// problems go to its refusals.
void BindExpressionTo(Report& report, Expression& e);

// The parameters' values: their defaults, with `formulas` (name, expression)
// applied over them.
std::vector<Value> ParameterValues(const Report& report,
                                   const std::vector<std::pair<std::string, Expression>>& formulas);

} // namespace printengine
