#include "printengine/dataset.h"

#include "printengine/subreport.h"

namespace printengine {

namespace {

// new JREmptyDataSource(n): n rows whose fields are all null.
class EmptyRows final : public RowSource {
  public:
    EmptyRows(int count, size_t fields) : left_(count), fields_(fields) {}
    bool Next(std::vector<Value>& row) override {
        if (left_ <= 0) return false;
        --left_;
        row.assign(fields_, engine::Null{});
        return true;
    }

  private:
    int left_;
    size_t fields_;
};

} // namespace

std::vector<Value> DatasetParameters(const Report& dataset, const Report& runner,
                                     const FillState& runnerState, bool passParameters,
                                     const std::vector<NamedExpression>& given,
                                     const std::function<Value(const Expression&)>& evaluate) {
    std::vector<Value> parameters = ParameterValues(dataset, {});
    const auto set = [&](const std::string& name, const Value& v) {
        for (size_t i = 0; i < dataset.parameters.size(); ++i) {
            if (dataset.parameters[i].name != name) continue;
            try {
                parameters[i] = ConvertToClass(v, dataset.parameters[i].valueClass, name);
            } catch (const SourceError& x) {
                throw FillError("The parameter " + name + " of " + dataset.name + ": " + x.what());
            }
        }
    };
    if (passParameters)
        for (size_t i = 0; i < runner.parameters.size() && i < runnerState.parameters.size(); ++i)
            set(runner.parameters[i].name, runnerState.parameters[i]);
    for (const auto& p : given)
        set(p.name, evaluate(p.expression));
    return parameters;
}

std::unique_ptr<RowSource> DatasetRows(const Report& dataset, const std::vector<Value>& parameters,
                                       int emptyRows, const TableOpener& tables) {
    std::unique_ptr<RowSource> rows;
    if (emptyRows >= 0)
        rows = std::make_unique<EmptyRows>(emptyRows, dataset.fields.size());
    else if (tables)
        rows = tables(dataset.tableName, dataset.fields);
    else
        throw FillError(dataset.name + " has no table to read.");
    return FilteredRows(std::move(rows), dataset, parameters);
}

void RunDataset(const Report& runner, const FillState& runnerState, const DatasetRunDef& run,
                const std::function<Value(const Expression&)>& evaluate, const TableOpener& tables,
                const std::function<void(const FillState&)>& onRow, FillState* final) {
    if (!run.dataset) throw FillError("The dataset " + run.datasetName + " is not declared.");
    const Report& dataset = *run.dataset;
    const auto parameters = DatasetParameters(dataset, runner, runnerState, run.passParameters,
                                              run.parameters, evaluate);
    auto rows = DatasetRows(dataset, parameters, run.emptyRows, tables);
    FillRows(dataset, parameters, *rows, onRow, final);
}

void BindToDataset(Report& dataset, Expression& e) {
    BindExpressionTo(dataset, e);
}

Value EvaluateIn(const Expression& e, const FillState& state) {
    try {
        return e.Evaluate([&](RefKind kind, int slot) -> const Value& {
            static const Value null;
            const auto& list = kind == RefKind::Field       ? state.fields
                               : kind == RefKind::Parameter ? state.parameters
                                                            : state.variables;
            if (slot < 0 || size_t(slot) >= list.size()) return null;
            return list[size_t(slot)];
        });
    } catch (const ExpressionError& x) {
        throw FillError("Error evaluating the expression \"" + e.Text() + "\": " + x.what() + ".");
    }
}

void PrepareDatasetRun(Report& runner, DatasetRunDef& run,
                       const std::function<void(Expression&)>& bind) {
    for (auto& p : run.parameters)
        bind(p.expression);
    for (const auto& d : runner.datasets)
        if (d->name == run.datasetName) run.dataset = d;
    if (!run.dataset)
        runner.refusals.push_back("The report uses the unknown subDataset \"" + run.datasetName +
                                  "\" in a datasetRun, which the report engine does not support.");
}

void PrepareDatasets(Report& report) {
    for (auto& d : report.datasets) {
        PrepareReport(*d);
        report.refusals.insert(report.refusals.end(), d->refusals.begin(), d->refusals.end());
        d->refusals.clear();
    }
}

} // namespace printengine
