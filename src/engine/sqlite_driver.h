// The native database format: an SQLite 3 file holding one SQLite table per
// table, and a catalog table that keeps what SQLite cannot (each field's engine
// type, size and zero-length setting).
#pragma once

#include "engine/driver.h"
#include "engine/engine.h"

#include <memory>
#include <string>

namespace engine::native {

// The catalog table; it is not one of the database's tables.
inline constexpr const char* CatalogTable = "MSysNvFields";

// `path` with ".MDB" added when its last component has no extension.
std::string WithDefaultExtension(const std::string& path);

// 3044 when the folder does not exist or the path is not valid, 3204 when the
// file does exist. A durable database commits through a synced journal; the
// scratch database is not synced.
std::unique_ptr<Database> CreateDatabase(const std::string& path, bool durable = true);
// 3024 when there is no such file (after a case-insensitive look-up), 3343
// when it is not a database of this format, 3051 when it cannot be opened or
// is a symbolic link that another user made. Written durably.
std::unique_ptr<Database> OpenDatabase(const std::string& path, bool exclusive, bool readOnly);
std::unique_ptr<RowReader> OpenRowReader(const std::string& path, const std::string& table,
                                         bool appendOnly);

// The driver behind an empty connect string.
Driver& NativeDriver();

} // namespace engine::native
