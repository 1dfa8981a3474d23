// The Access (Jet 4 .mdb) driver of the engine. It has no connect-string name:
// the engine hands it a file whose first bytes say it is a Jet database.
#pragma once

#include "engine/driver.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace engine::jet {

std::unique_ptr<Driver> MakeDriver();

// Opens a Jet 4 database file. 3343 for any other format or version, 3031
// (a password) or 3051 for files it will not touch.
std::unique_ptr<Database> OpenDatabase(const std::string& path, bool exclusive, bool readOnly);
// A new database at `path` (3204 when it exists), returned open.
std::unique_ptr<Database> CreateDatabase(const std::string& path);

} // namespace engine::jet
