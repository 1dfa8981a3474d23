// Variables as the filler calculates them, and the values that elements take
// later than their band: as a page, a column or a group instance ends.
#pragma once

#include "printengine/report.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace printengine {

// `number` as a value of the class a variable or measure declares; whole
// numbers stay exact while `allInts` (their sum is `intValue`).
Value AsClass(double number, bool allInts, std::int64_t intValue, ValueClass cls);

// A number of any kind as a double; `ok` false (and 0) for what is not one.
double NumberOf(const Value& v, bool& ok);

// What a variable has gathered since its last reset.
struct Accumulator {
    std::int64_t count = 0; // values that were not null
    double sum = 0;
    std::int64_t intSum = 0;
    bool allInts = true;
    // Money is summed exactly in ten-thousandths, whole numbers with it,
    // while the sum stays within Currency's range.
    std::int64_t moneySum = 0;
    bool money = false, moneyExact = true;
    double variance = 0; // of the population, kept as each value comes
    Value extreme;       // Lowest, Highest and First
    bool haveFirst = false;
    // DistinctCount: the values seen, shared by the copies a row's state
    // makes, and the latest row's value, not yet taken in.
    std::shared_ptr<std::set<std::string>> distinct;
    std::optional<std::string> pending;
};

struct VariableState {
    Value value;
    // What the next row builds on: updated by every row, or for another
    // increment type only when that end comes (`last` is then the running
    // state up to the latest row).
    Accumulator base, last;
    bool initialized = true; // no row since the reset: the initial value shows
};

// Starts the variable again from `initial` (its initialValueExpression's
// value); the first row then replaces it rather than adding to it.
void ResetVariable(const VariableDef& def, VariableState& s, const Value& initial);

// Takes a row's value of the variable's expression. Throws FillError when a
// calculation on numbers meets something else.
void IncrementVariable(const VariableDef& def, VariableState& s, const Value& v);

// The end that the variable's increment type names has come: what it
// gathered up to the latest row becomes its base.
void TakeOver(const VariableDef& def, VariableState& s);

// Whether `def` changes as a page (or column) starts or ends.
bool PageBound(const VariableDef& def);

// Whether an element shows a value that only a pass to the end can give
// (the report's or a group instance's end).
bool NeedsEarlierPass(const Element& e);

// Calls `visit` for every element of every band of the report.
void ForEachElement(const Report& r, const std::function<void(const Element&)>& visit);

// The values a pass over the rows noted at the end of each group instance:
// those of the elements evaluated at that group's end and of the variables
// that the group resets. A later pass over the same rows reads them.
struct GroupEnds {
    struct Group {
        std::vector<const Element*> elements;
        std::vector<int> variableSlots;       // variable variableSlots
        std::vector<Value> values;            // one row per instance: elements, then variableSlots
        std::map<size_t, std::string> errors; // index into values: the failure
    };
    std::vector<Group> groups;

    bool Empty() const;
    // Instances count from 1. Null when the instance was not noted.
    // Throws FillError when evaluating it failed.
    Value ElementValue(size_t group, std::uint64_t instance, const Element* e) const;
    Value SlotValue(size_t group, std::uint64_t instance, int slot) const;

  private:
    Value At(size_t group, std::uint64_t instance, size_t key) const;
};

} // namespace printengine
