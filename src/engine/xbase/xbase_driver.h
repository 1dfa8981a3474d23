// The xBase driver: dBASE III, dBASE IV and FoxPro 2.0 / 2.5 / 2.6 tables.
// The database is a folder and each table one file in it, named after the
// table in upper case with the extension .DBF (found in any case), with its
// memo file beside it (.DBT for dBASE, .FPT for FoxPro). format.h describes
// the files and how engine types map to their fields.
//
// Writing is sequential and buffered. The header's record count is brought
// up to date each time the buffer is written (at least every 10,000 records
// or 4 MiB), so a file cut short by a crash opens with the rows written so
// far; the count and the date are written once more when the database closes.
// A table file being written holds an exclusive advisory lock (flock); any
// other writer of it, and any deletion, gets 3045 meanwhile.
#pragma once

#include "engine/driver.h"

#include <memory>

namespace engine::xbase {

std::unique_ptr<Driver> MakeDriver();

} // namespace engine::xbase
