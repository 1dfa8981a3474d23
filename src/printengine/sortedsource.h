// The rows in the order and selection the report asks for: <sortField>s (by
// field, or by a variable computed for each row) and <filterExpression>.
// Sorting is external: runs of rows sorted in memory up to a budget are
// written to temporary files and merged, so a table of any size sorts in
// bounded memory. The sorted runs are made once per document and merged
// again for every pass over the rows.
#pragma once

#include "printengine/datasource.h"
#include "printengine/report.h"

#include <QLocale>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace printengine {

using RowOpener = std::function<std::unique_ptr<RowSource>()>;

// What one run may hold in memory before it is written out.
constexpr size_t DefaultSortBudget = size_t{16} << 20;

// Checks the report's sort keys and filter: unknown names, and values that
// depend on the order of the rows (which rows cannot be sorted by), are
// added to the report's refusals.
void PrepareRowOrder(Report& report);

// `open` with the report's filter and sort applied; `open` itself when the
// report has neither. Strings sort by `locale`'s collation (the user's).
// The opener it returns throws SourceError and FillError.
RowOpener ArrangeRows(const Report& report, const std::vector<Value>& parameters, RowOpener open,
                      size_t budget = DefaultSortBudget, const QLocale& locale = QLocale());

// How JasperReports orders two sort values: null first, numbers by value,
// dates by time, Booleans false first, other texts by their characters.
// (Texts of String fields go through the collation instead.)
int CompareSortValues(const Value& a, const Value& b);

} // namespace printengine
