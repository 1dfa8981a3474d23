#include "printengine/evaluation.h"

#include "engine/convert.h"
#include "printengine/fill.h"

#include <cmath>
#include <tuple>

namespace printengine {

namespace {

bool Integral(ValueClass cls) {
    return cls == ValueClass::Integer || cls == ValueClass::Long;
}

bool Number(const Value& x, double& out) {
    if (const auto* i = std::get_if<std::int64_t>(&x))
        out = double(*i);
    else if (const auto* d = std::get_if<double>(&x))
        out = *d;
    else if (const auto* c = std::get_if<engine::Currency>(&x))
        out = engine::CurrencyToDouble(*c);
    else
        return false;
    return true;
}

bool Better(const Value& v, const Value& current, bool lowest) {
    if (engine::IsNull(current)) return true;
    if (const auto* a = std::get_if<engine::Currency>(&v)) {
        if (const auto* b = std::get_if<engine::Currency>(&current))
            return lowest ? a->units < b->units : a->units > b->units;
    }
    double a = 0, b = 0;
    if (Number(v, a) && Number(current, b)) return lowest ? a < b : a > b;
    if (const auto* x = std::get_if<std::string>(&v))
        if (const auto* y = std::get_if<std::string>(&current)) {
            const int c = x->compare(*y);
            return lowest ? c < 0 : c > 0;
        }
    if (const auto* x = std::get_if<engine::DateTime>(&v))
        if (const auto* y = std::get_if<engine::DateTime>(&current)) {
            const auto kx = std::tie(x->year, x->month, x->day, x->hour, x->minute, x->second);
            const auto ky = std::tie(y->year, y->month, y->day, y->hour, y->minute, y->second);
            return lowest ? kx < ky : kx > ky;
        }
    return false;
}

// Values are distinct as Java's equals tells them apart: 1 and 1.0 differ.
std::string DistinctKey(const Value& v) {
    if (const auto* b = std::get_if<engine::Blob>(&v))
        return std::to_string(v.index()) + ":" + std::string(b->begin(), b->end());
    return std::to_string(v.index()) + ":" + JavaText(v);
}

void AddMoney(Accumulator& a, const Value& v) {
    std::int64_t units = 0;
    if (const auto* c = std::get_if<engine::Currency>(&v)) {
        a.money = true;
        units = c->units;
    } else if (const auto* i = std::get_if<std::int64_t>(&v)) {
        a.moneyExact = a.moneyExact && !__builtin_mul_overflow(*i, 10000, &units);
    } else {
        a.moneyExact = false;
    }
    a.moneyExact = a.moneyExact && !__builtin_add_overflow(a.moneySum, units, &a.moneySum);
}

// Sum, Average, Variance and StandardDeviation: a number that is not null.
void AddNumber(const VariableDef& def, Accumulator& a, const Value& v) {
    const auto* i = std::get_if<std::int64_t>(&v);
    double x = 0;
    if (!Number(v, x))
        throw FillError("The variable " + def.name + " sums a value that is not a number.");
    ++a.count;
    a.sum += x;
    if (!i || __builtin_add_overflow(a.intSum, *i, &a.intSum)) a.allInts = false;
    AddMoney(a, v);
    if (def.calculation != Calculation::Variance &&
        def.calculation != Calculation::StandardDeviation)
        return;
    // The population's variance, updated value by value; whole-number classes
    // divide as whole numbers at every step.
    const double n = double(a.count);
    if (a.count == 1) {
        a.variance = 0;
    } else if (Integral(def.valueClass)) {
        const double mean = std::trunc(std::trunc(a.sum) / n);
        const double d = mean - std::trunc(x);
        a.variance = std::trunc((n - 1) * std::trunc(a.variance) / n) + std::trunc(d * d / (n - 1));
    } else {
        const double d = a.sum / n - x;
        a.variance = (n - 1) * a.variance / n + d * d / (n - 1);
    }
}

Value Result(const VariableDef& def, const Accumulator& a) {
    const ValueClass cls = def.valueClass;
    switch (def.calculation) {
    case Calculation::Count:
        return AsClass(double(a.count), true, a.count, cls);
    case Calculation::Sum:
        if (a.count == 0) return Value();
        if (a.money && a.moneyExact && (cls == ValueClass::BigDecimal || cls == ValueClass::Object))
            return engine::Currency{a.moneySum};
        return AsClass(a.sum, a.allInts, a.intSum, cls);
    case Calculation::Average: {
        if (a.count == 0) return Value();
        const bool ints = a.allInts && cls != ValueClass::Object && cls != ValueClass::Double &&
                          cls != ValueClass::BigDecimal;
        return AsClass(a.sum / double(a.count), ints, ints ? a.intSum / a.count : 0, cls);
    }
    case Calculation::Variance:
        if (a.count == 0) return Value();
        return AsClass(a.variance, false, 0, cls);
    case Calculation::StandardDeviation:
        if (a.count == 0) return Value();
        return AsClass(std::sqrt(a.variance), false, 0, cls);
    case Calculation::Lowest:
    case Calculation::Highest:
        return a.count == 0 ? Value() : a.extreme;
    case Calculation::First:
        return a.haveFirst ? a.extreme : Value();
    case Calculation::DistinctCount: {
        std::int64_t n = a.distinct ? std::int64_t(a.distinct->size()) : 0;
        if (a.pending && (!a.distinct || a.distinct->count(*a.pending) == 0)) ++n;
        return AsClass(double(n), true, n, cls);
    }
    case Calculation::Nothing:
    case Calculation::System:
        break;
    }
    return Value();
}

void TakeInPending(Accumulator& a) {
    if (!a.pending) return;
    if (!a.distinct) a.distinct = std::make_shared<std::set<std::string>>();
    a.distinct->insert(std::move(*a.pending));
    a.pending.reset();
}

} // namespace

Value AsClass(double number, bool allInts, std::int64_t intValue, ValueClass cls) {
    switch (cls) {
    case ValueClass::Integer:
    case ValueClass::Long:
        return allInts ? intValue : static_cast<std::int64_t>(std::trunc(number));
    case ValueClass::Double:
    case ValueClass::BigDecimal:
        return number;
    default:
        return allInts ? Value(intValue) : Value(number);
    }
}

double NumberOf(const Value& v, bool& ok) {
    ok = true;
    if (const auto* i = std::get_if<std::int64_t>(&v)) return double(*i);
    if (const auto* d = std::get_if<double>(&v)) return *d;
    if (const auto* c = std::get_if<engine::Currency>(&v)) return engine::CurrencyToDouble(*c);
    ok = false;
    return 0;
}

void ResetVariable(const VariableDef& def, VariableState& s, const Value& initial) {
    s = VariableState{};
    s.value = initial;
    const bool counts =
        def.calculation == Calculation::Count || def.calculation == Calculation::DistinctCount;
    if (counts && engine::IsNull(s.value)) s.value = AsClass(0, true, 0, def.valueClass);
}

void IncrementVariable(const VariableDef& def, VariableState& s, const Value& v) {
    if (def.calculation == Calculation::System) return; // never calculated
    if (def.calculation == Calculation::Nothing) {
        s.value = v;
        s.initialized = false;
        return;
    }
    const bool everyRow = def.increment == IncrementType::None;
    const bool null = engine::IsNull(v);
    if (def.calculation == Calculation::DistinctCount) {
        // The set is shared by the states copied from this one; a row's value
        // goes into it only as the next row (or the increment's end) comes.
        Accumulator& a = s.base;
        if (s.initialized) a = Accumulator{};
        if (everyRow) TakeInPending(a);
        a.pending.reset();
        if (!null) a.pending = DistinctKey(v);
        s.value = Result(def, a);
        s.initialized = false;
        return;
    }
    // A fresh start after a reset: the initial value is not added to.
    if (everyRow) {
        if (s.initialized) s.base = Accumulator{};
    } else {
        s.last = s.initialized ? Accumulator{} : s.base;
    }
    Accumulator& a = everyRow ? s.base : s.last;
    switch (def.calculation) {
    case Calculation::Count:
        if (!null) ++a.count;
        break;
    case Calculation::First:
        if (s.initialized) {
            a.extreme = v;
            a.haveFirst = true;
        }
        break;
    case Calculation::Sum:
    case Calculation::Average:
    case Calculation::Variance:
    case Calculation::StandardDeviation:
        if (!null) AddNumber(def, a, v);
        break;
    case Calculation::Lowest:
    case Calculation::Highest:
        if (!null &&
            (++a.count == 1 || Better(v, a.extreme, def.calculation == Calculation::Lowest)))
            a.extreme = v;
        break;
    default:
        break;
    }
    // A null first value leaves the calculation without a result yet.
    s.value = null && s.initialized && def.calculation != Calculation::Count &&
                      def.calculation != Calculation::First
                  ? Value()
                  : Result(def, a);
    s.initialized = false;
}

void TakeOver(const VariableDef& def, VariableState& s) {
    if (def.increment == IncrementType::None || s.initialized) return;
    if (def.calculation == Calculation::DistinctCount)
        TakeInPending(s.base);
    else
        s.base = s.last;
}

bool PageBound(const VariableDef& def) {
    return def.reset == ResetType::Page || def.reset == ResetType::Column ||
           def.increment == IncrementType::Page || def.increment == IncrementType::Column;
}

bool NeedsEarlierPass(const Element& e) {
    return e.atReportEnd || e.evaluation == EvaluationTime::Group ||
           e.evaluation == EvaluationTime::Auto;
}

void ForEachElement(const Report& r, const std::function<void(const Element&)>& visit) {
    const auto band = [&](const Band& b) {
        for (const auto& e : b.elements)
            visit(e);
    };
    for (const auto* b : {&r.title, &r.pageHeader, &r.columnHeader, &r.columnFooter, &r.pageFooter,
                          &r.summary, &r.lastPageFooter, &r.background, &r.noData})
        if (*b) band(**b);
    for (const auto& g : r.groups) {
        for (const auto& b : g.headers)
            band(b);
        for (const auto& b : g.footers)
            band(b);
    }
    for (const auto& b : r.details)
        band(b);
}

bool GroupEnds::Empty() const {
    for (const auto& g : groups)
        if (!g.elements.empty() || !g.variableSlots.empty()) return false;
    return true;
}

Value GroupEnds::At(size_t group, std::uint64_t instance, size_t key) const {
    if (group >= groups.size() || instance == 0) return Value();
    const Group& g = groups[group];
    const size_t width = g.elements.size() + g.variableSlots.size();
    const size_t index = size_t(instance - 1) * width + key;
    if (key >= width || index >= g.values.size()) return Value();
    if (const auto it = g.errors.find(index); it != g.errors.end()) throw FillError(it->second);
    return g.values[index];
}

Value GroupEnds::ElementValue(size_t group, std::uint64_t instance, const Element* e) const {
    if (group >= groups.size()) return Value();
    const auto& list = groups[group].elements;
    for (size_t k = 0; k < list.size(); ++k)
        if (list[k] == e) return At(group, instance, k);
    return Value();
}

Value GroupEnds::SlotValue(size_t group, std::uint64_t instance, int slot) const {
    if (group >= groups.size()) return Value();
    const auto& g = groups[group];
    for (size_t k = 0; k < g.variableSlots.size(); ++k)
        if (g.variableSlots[k] == slot) return At(group, instance, g.elements.size() + k);
    return Value();
}

} // namespace printengine
