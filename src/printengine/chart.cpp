#include "printengine/chart.h"

#include "engine/convert.h"
#include "printengine/format.h"

#include <QDate>
#include <QDateTime>

#include <cmath>

namespace printengine {

namespace {

// A number the chart can place; infinities and NaN are left out.
std::optional<double> Number(const Value& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) return double(*i);
    if (const auto* d = std::get_if<double>(&v))
        return std::isfinite(*d) ? std::optional<double>(*d) : std::nullopt;
    if (const auto* c = std::get_if<engine::Currency>(&v)) return engine::CurrencyToDouble(*c);
    return std::nullopt;
}

QString Text(const Value& v) {
    if (engine::IsNull(v)) return QString();
    return FormatValue(v, std::string());
}

// Series and categories are bounded so that a hostile table cannot make a
// chart without end; points are the chart's own data and stay.
constexpr size_t MaxKeys = 100000;

int IndexOf(std::vector<QString>& list, std::map<QString, int>& index, const QString& name) {
    if (const auto it = index.find(name); it != index.end()) return it->second;
    if (list.size() >= MaxKeys) return -1;
    list.push_back(name);
    index.emplace(name, int(list.size() - 1));
    return int(list.size() - 1);
}

} // namespace

int ChartData::SeriesIndex(const QString& name) {
    const int i = IndexOf(series, seriesIndex, name);
    if (i >= 0 && points.size() < series.size()) points.resize(series.size());
    if (i >= 0 && periods.size() < series.size()) periods.resize(series.size());
    return i;
}

int ChartData::CategoryIndex(const QString& name) {
    return IndexOf(categories, categoryIndex, name);
}

double PeriodStart(const engine::DateTime& d, TimePeriod period) {
    QDate date(d.year, d.month, d.day);
    if (!date.isValid()) return 0;
    int hour = d.hour, minute = d.minute, second = d.second;
    switch (period) {
    case TimePeriod::Year:
        date = QDate(d.year, 1, 1);
        hour = minute = second = 0;
        break;
    case TimePeriod::Quarter:
        date = QDate(d.year, (d.month - 1) / 3 * 3 + 1, 1);
        hour = minute = second = 0;
        break;
    case TimePeriod::Month:
        date = QDate(d.year, d.month, 1);
        hour = minute = second = 0;
        break;
    case TimePeriod::Week:
        date = date.addDays(1 - date.dayOfWeek()); // weeks start on Monday
        hour = minute = second = 0;
        break;
    case TimePeriod::Day:
        hour = minute = second = 0;
        break;
    case TimePeriod::Hour:
        minute = second = 0;
        break;
    case TimePeriod::Minute:
        second = 0;
        break;
    case TimePeriod::Second:
    case TimePeriod::Millisecond:
        break;
    }
    const QDateTime at(date, QTime(hour, minute, second), Qt::UTC);
    return double(at.toMSecsSinceEpoch());
}

void AddToDataset(const ChartDef& def, ChartData& data,
                  const std::function<Value(const Expression&)>& evaluate) {
    if (!def.incrementWhen.Empty()) {
        const Value when = evaluate(def.incrementWhen);
        const auto* yes = std::get_if<bool>(&when);
        if (yes == nullptr || !*yes) return;
    }
    for (const SeriesDef& s : def.series) {
        // A pie has one series: its keys are the categories.
        const QString seriesName =
            def.dataset == DatasetKind::Pie ? QString() : Text(evaluate(s.series));
        if (def.dataset != DatasetKind::Pie && engine::IsNull(evaluate(s.series))) continue;
        const int series = data.SeriesIndex(seriesName);
        if (series < 0) continue;
        const std::optional<double> value = Number(evaluate(s.value));
        switch (def.dataset) {
        case DatasetKind::Category:
        case DatasetKind::Pie: {
            const Value key = evaluate(s.category);
            if (engine::IsNull(key)) break;
            const int category = data.CategoryIndex(Text(key));
            if (category < 0) break;
            if (value)
                data.values[{series, category}] = *value;
            else
                data.values.erase({series, category});
            if (!s.label.Empty()) data.labels[{series, category}] = Text(evaluate(s.label));
            break;
        }
        case DatasetKind::XY: {
            const std::optional<double> x = Number(evaluate(s.x));
            if (x && value) data.points[size_t(series)].emplace_back(*x, *value);
            break;
        }
        case DatasetKind::TimeSeries: {
            const Value when = evaluate(s.x);
            const auto* date = std::get_if<engine::DateTime>(&when);
            if (date && value)
                data.periods[size_t(series)][PeriodStart(*date, def.period)] = *value;
            break;
        }
        }
    }
}

void EvaluateTexts(const ChartDef& def, ChartData& data,
                   const std::function<Value(const Expression&)>& evaluate) {
    const auto text = [&](const Expression& e) {
        return e.Empty() ? QString() : Text(evaluate(e));
    };
    data.title = text(def.title);
    data.subtitle = text(def.subtitle);
    data.categoryAxisLabel = text(def.categoryAxisLabel);
    data.valueAxisLabel = text(def.valueAxisLabel);
    const auto number = [&](const Expression& e) {
        return e.Empty() ? std::nullopt : Number(evaluate(e));
    };
    data.rangeMin = number(def.rangeMin);
    data.rangeMax = number(def.rangeMax);
    data.domainMin = number(def.domainMin);
    data.domainMax = number(def.domainMax);
}

void ForEachChartExpression(ChartDef& def, const std::function<void(Expression&)>& visit) {
    for (SeriesDef& s : def.series)
        for (Expression* e : {&s.series, &s.category, &s.x, &s.value, &s.label})
            visit(*e);
    for (Expression* e :
         {&def.title, &def.subtitle, &def.categoryAxisLabel, &def.valueAxisLabel,
          &def.incrementWhen, &def.rangeMin, &def.rangeMax, &def.domainMin, &def.domainMax})
        visit(*e);
}

void ResolveChartGroups(ChartDef& def, const Report& report, std::vector<std::string>& refusals) {
    const auto find = [&](const std::string& name, const char* what) {
        for (size_t g = 0; g < report.groups.size(); ++g)
            if (report.groups[g].name == name) return int(g);
        refusals.push_back("The report uses the unknown group \"" + name + "\" in the chart's " +
                           what + ", which the report engine does not support.");
        return -1;
    };
    if (def.resetType == ResetType::Group) def.resetGroup = find(def.resetGroupName, "resetGroup");
    if (def.increment == ChartDef::Increment::Group)
        def.incrementGroup = find(def.incrementGroupName, "incrementGroup");
    if (def.evaluation == ChartDef::Evaluation::Group)
        def.evaluationGroup = find(def.evaluationGroupName, "evaluationGroup");
}

void PrepareChart(Report& report, ChartDef& def,
                  const std::function<void(Expression&)>& bindReport) {
    ResolveChartGroups(def, report, report.refusals);
    if (!def.run) {
        ForEachChartExpression(def, bindReport);
        return;
    }
    if (def.increment != ChartDef::Increment::Row)
        report.refusals.push_back("The report uses a chart's incrementType with a datasetRun, "
                                  "which the report engine does not support.");
    PrepareDatasetRun(report, *def.run, bindReport);
    Report* dataset = def.run->dataset.get();
    const auto bindRows = [dataset](Expression& e) {
        if (dataset != nullptr) BindToDataset(*dataset, e);
    };
    for (SeriesDef& s : def.series)
        for (Expression* e : {&s.series, &s.category, &s.x, &s.value, &s.label})
            bindRows(*e);
    bindRows(def.incrementWhen);
    for (Expression* e : {&def.title, &def.subtitle, &def.categoryAxisLabel, &def.valueAxisLabel,
                          &def.rangeMin, &def.rangeMax, &def.domainMin, &def.domainMax})
        bindReport(*e);
}

// ---- the fill ------------------------------------------------------------------

namespace {

void CollectCharts(const Band& band, std::vector<const Element*>& out) {
    for (const Element& e : band.elements)
        if (e.kind == ElementKind::Chart && e.chart) out.push_back(&e);
}

} // namespace

ChartFeeder::ChartFeeder(const Report& r, Evaluator evaluate,
                         std::shared_ptr<const ChartPlacements> earlier)
    : evaluate_(std::move(evaluate)), earlier_(std::move(earlier)),
      record_(std::make_shared<ChartPlacements>()) {
    std::vector<const Element*> found;
    for (const auto* band :
         {&r.title, &r.pageHeader, &r.columnHeader, &r.columnFooter, &r.pageFooter, &r.summary,
          &r.lastPageFooter, &r.background, &r.noData})
        if (*band) CollectCharts(**band, found);
    for (const auto& g : r.groups) {
        for (const auto& band : g.headers)
            CollectCharts(band, found);
        for (const auto& band : g.footers)
            CollectCharts(band, found);
    }
    for (const auto& band : r.details)
        CollectCharts(band, found);
    for (const Element* e : found)
        charts_.push_back(Live{e, e->chart.get(), std::make_shared<ChartData>(), {}});
}

ChartFeeder::Live* ChartFeeder::Find(const Element& e) {
    for (Live& live : charts_)
        if (live.element == &e || live.def == e.chart.get()) return &live;
    return nullptr;
}

void ChartFeeder::Reset(ResetType type, int group) {
    for (Live& live : charts_)
        if (live.def->resetType == type &&
            (type != ResetType::Group || live.def->resetGroup == group))
            live.data = std::make_shared<ChartData>();
}

void ChartFeeder::RowDone() {
    for (Live& live : charts_)
        if (live.def->increment == ChartDef::Increment::Row && !live.def->run)
            AddToDataset(*live.def, *live.data, evaluate_);
}

void ChartFeeder::GroupEnds(int group) {
    for (Live& live : charts_)
        if (live.def->increment == ChartDef::Increment::Group &&
            live.def->incrementGroup == group && !live.def->run)
            AddToDataset(*live.def, *live.data, evaluate_);
}

std::shared_ptr<ChartData> ChartFeeder::Run(const Live& live) {
    auto data = std::make_shared<ChartData>();
    if (!runner_) throw FillError("A chart's dataset run has nothing to read its rows from.");
    runner_(*live.def->run, [&](const FillState& state) {
        AddToDataset(*live.def, *data, [&](const Expression& e) { return EvaluateIn(e, state); });
    });
    return data;
}

void ChartFeeder::Finish(Live& live) {
    // A chart over a dataset run takes the run's rows when its values are due.
    if (live.def->run && !live.waiting.empty()) live.data = Run(live);
    for (auto& slot : live.waiting) {
        *slot = *live.data;
        EvaluateTexts(*live.def, *slot, evaluate_);
    }
    live.waiting.clear();
}

void ChartFeeder::GroupEvaluated(int group) {
    for (Live& live : charts_)
        if (live.def->evaluation == ChartDef::Evaluation::Group &&
            live.def->evaluationGroup == group)
            Finish(live);
}

void ChartFeeder::ReportEnds() {
    for (Live& live : charts_) {
        if (live.def->increment == ChartDef::Increment::Report && !live.def->run)
            AddToDataset(*live.def, *live.data, evaluate_);
        Finish(live);
    }
}

std::shared_ptr<const ChartData> ChartFeeder::Place(const Element& element) {
    Live* live = Find(element);
    if (live == nullptr) return std::make_shared<ChartData>();
    if (live->def->evaluation == ChartDef::Evaluation::Now) {
        auto now = live->def->run ? Run(*live) : std::make_shared<ChartData>(*live->data);
        EvaluateTexts(*live->def, *now, evaluate_);
        return now;
    }
    // A delayed chart: an earlier pass over the same rows knows its values.
    const size_t n = taken_[live->element]++;
    if (earlier_) {
        const auto it = earlier_->byElement.find(live->element);
        if (it != earlier_->byElement.end() && n < it->second.size()) return it->second[n];
    }
    auto slot = std::make_shared<ChartData>();
    live->waiting.push_back(slot);
    record_->byElement[live->element].push_back(slot);
    return slot;
}

} // namespace printengine
