// Subreports: another report file filled in place of an element, over the rows
// of the master's destination that its filter keeps for the parameters the
// master passes, its bands laid out inside the master's band.
#pragma once

#include "printengine/dataset.h"
#include "printengine/fill.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace printengine {

// <returnValue>: a variable of the subreport handed to one of the master's.
struct ReturnValueDef {
    std::string from, to;
    Calculation calculation = Calculation::Nothing;
    int toSlot = -1; // the master's variable slot
};

struct SubreportDef {
    Expression reportExpression; // the file, relative to the master's folder
    std::vector<NamedExpression> parameters;
    bool passParameters = false; // parametersMapExpression $P{REPORT_PARAMETERS_MAP}
    int emptyRows = -1;          // dataSourceExpression new JREmptyDataSource(n)
    std::vector<ReturnValueDef> returns;
    // A list or table component: bands over a dataset, filled in place
    // rather than read from a file; `run` says which dataset and how.
    std::shared_ptr<Report> inlineReport;
    std::shared_ptr<DatasetRunDef> run;
    int across = 1; // a horizontal list: cells side by side, this many a row
};

// What one fill pass shares with the subreports it fills: where their rows
// come from, each file parsed once, and the files being filled right now.
struct SubreportRun {
    TableOpener tables;
    std::map<std::string, std::shared_ptr<const Report>> reports;
    std::vector<std::string> chain;
};

constexpr size_t MaxSubreportDepth = 8;

// A value a subreport returns, applied when its band is placed.
struct Returned {
    int slot = -1;
    Calculation calculation = Calculation::Nothing;
    Value value;
};

// A subreport's bands laid out one under the other from y 0.
struct InlineContent {
    std::vector<PageItem> items;
    double height = 0;
    std::vector<Returned> returned;
};

// Fills the subreport of `e` for the master's current row; `evaluate` reads
// the master's values. Throws FillError or SourceError.
InlineContent FillSubreport(const Report& master, const FillState& masterState, const Element& e,
                            const std::function<Value(const Expression&)>& evaluate,
                            SubreportRun& run);

// Binds the element's expressions to the master and resolves its return
// values' variables; problems go to `master.refusals`.
void PrepareSubreport(Report& master, SubreportDef& def,
                      const std::function<void(Expression&)>& bind);

// `current` after a subreport returned `value` with `calculation`.
Value CombineReturned(const Value& current, const Value& value, Calculation calculation);

// The lowest place down to `limit` (and below 0) where a band's items can be
// cut between two pages without cutting through one; 0 when none.
double BestCut(const std::vector<PageItem>& items, double limit);

// The rows of `report` that its filter keeps (all of them without one).
std::unique_ptr<RowSource> FilteredRows(std::unique_ptr<RowSource> rows, const Report& report,
                                        const std::vector<Value>& parameters);

// Opens `table` of the destination at `location`, whose report table is
// `ownTable` (`table` empty: that one): inside a file database, or a sibling
// file of a folder format or text export. Throws SourceError.
std::unique_ptr<RowSource> OpenTableOf(const std::string& location, const std::string& ownTable,
                                       const std::string& table,
                                       const std::vector<FieldDef>& fields);

// The report file a subreport expression names: relative to `folder`, a
// compiled name X.jasper read as X.jrxml, the name matched without regard to
// case when the exact one is missing.
QString SubreportPath(const QString& folder, const std::string& name);

} // namespace printengine
