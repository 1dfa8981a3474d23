// Datasets: a <subDataset> (its parameters, fields, variables, groups and
// filter, over the report's table or the one its norvakel.table names) run
// by a <datasetRun> for the current row of the report that runs it. Lists,
// tables, charts and crosstabs read their rows this way.
#pragma once

#include "printengine/fill.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace printengine {

struct NamedExpression {
    std::string name;
    Expression expression;
};

// <datasetRun subDataset="...">; bound to the report that holds it.
struct DatasetRunDef {
    std::string datasetName;
    std::shared_ptr<Report> dataset; // the <subDataset>, kept as a report without bands
    std::vector<NamedExpression> parameters;
    bool passParameters = false; // parametersMapExpression $P{REPORT_PARAMETERS_MAP}
    int emptyRows = -1;          // dataSourceExpression new JREmptyDataSource(n)
};

// The dataset's parameter values for the running report's current state:
// defaults, the running report's own by name when asked, then the run's.
std::vector<Value> DatasetParameters(const Report& dataset, const Report& runner,
                                     const FillState& runnerState, bool passParameters,
                                     const std::vector<NamedExpression>& given,
                                     const std::function<Value(const Expression&)>& evaluate);

// The rows a dataset (or subreport) reads: `emptyRows` rows without values,
// or its table through `tables`, kept by its filter. Throws FillError.
std::unique_ptr<RowSource> DatasetRows(const Report& dataset, const std::vector<Value>& parameters,
                                       int emptyRows, const TableOpener& tables);

// Runs the dataset for the current state of `runner`, calling `onRow` with
// the dataset's state (fields, parameters, variables) after each row's
// variables are calculated. `evaluate` reads the runner's values; `final`
// receives the state after the last row. Throws FillError or SourceError.
void RunDataset(const Report& runner, const FillState& runnerState, const DatasetRunDef& run,
                const std::function<Value(const Expression&)>& evaluate, const TableOpener& tables,
                const std::function<void(const FillState&)>& onRow, FillState* final = nullptr);

// Runs a dataset for the current state of the report being filled, calling
// back with each row's state: what charts and crosstabs over a run use.
using DatasetRunner =
    std::function<void(const DatasetRunDef& run, const std::function<void(const FillState&)>&)>;

// Binds an expression of an element that a dataset feeds (a chart's, a
// crosstab's) to the dataset's names; problems go to `dataset.refusals`.
void BindToDataset(Report& dataset, Expression& e);

// `e` evaluated over a dataset's state. Throws FillError.
Value EvaluateIn(const Expression& e, const FillState& state);

// Binds the run's parameter expressions to `runner` and finds its dataset
// among `runner.datasets`; problems go to `runner.refusals`.
void PrepareDatasetRun(Report& runner, DatasetRunDef& run,
                       const std::function<void(Expression&)>& bind);

// Checks and binds every <subDataset> of the report; their problems become
// the report's.
void PrepareDatasets(Report& report);

} // namespace printengine
