// Text for values in text fields: Java DecimalFormat and SimpleDateFormat
// patterns, in the user's locale.
#pragma once

#include "printengine/expression.h"

#include <QString>

namespace printengine {

// `value` as a text field shows it; `pattern` may be empty.
QString FormatValue(const Value& value, const std::string& pattern);

QString FormatNumber(double value, const std::string& pattern);
// Money exactly, every digit the pattern shows.
QString FormatMoney(engine::Currency value, const std::string& pattern);
QString FormatDate(const engine::DateTime& value, const std::string& pattern);

} // namespace printengine
