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
};

class FillError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Checks the names the report's expressions use and binds them; the first
// problem found is added to the report's refusals.
void PrepareReport(Report& report);

// Every value the report's expressions can read, in slots.
struct FillState {
    std::vector<Value> fields, parameters, variables;
    std::shared_ptr<const ChartPlacements> charts; // what delayed charts showed
};

// Fills the report from `rows`. Each finished page goes to `sink`. Text fields
// evaluated at the report's end read `atEnd` (the final state of an earlier
// pass over the same rows) and show nothing when it is null. Returns the number
// of pages; `final` receives the final state. Throws FillError or SourceError.
int FillReport(const Report& report, const std::vector<Value>& parameters, RowSource& rows,
               const std::function<void(Page&&)>& sink, const FillState* atEnd, FillState* final);

// The parameters' values: their defaults, with `formulas` (name, expression)
// applied over them.
std::vector<Value> ParameterValues(const Report& report,
                                   const std::vector<std::pair<std::string, Expression>>& formulas);

} // namespace printengine
