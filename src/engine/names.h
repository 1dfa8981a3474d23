// The one comparison of table, field and driver names.
#pragma once

#include <string_view>

namespace engine {

// Whether two names of tables, fields or drivers are the same: equal but for
// the case of ASCII letters, as SQLite compares identifiers. (Excel's sheet
// names and Jet's catalog compare by rules of their own, in their drivers.)
bool SameName(std::string_view a, std::string_view b);

} // namespace engine
