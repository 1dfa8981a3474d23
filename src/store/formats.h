// The destination types that an EXPORT block can name: their codes, the
// engine's connect strings, file extensions, and how a destination is shown.
#pragma once

#include "core/runstate.h"
#include "engine/driver.h"

#include <cstdint>
#include <string>

namespace store {

// Destination type codes, in the order of the names the script accepts.
enum DestinationType : std::int16_t {
    dtAccess = 0,
    dtDbase3 = 1,
    dtDbase4 = 2,
    dtFoxPro20 = 3,
    dtFoxPro25 = 4,
    dtFoxPro26 = 5,
    dtParadox3 = 6,
    dtParadox4 = 7,
    dtBtrieve = 8,
    dtExcel30 = 9,
    dtExcel40 = 10,
    dtExcel50 = 11,
    dtText = 12,
};

// The code of a script type name, compared exactly; 0 (MS/ACCESS) for any
// other name, the empty one included.
std::int16_t DestinationTypeFromName(const std::string& name);

// The type's file extension without its dot; "MDB" for a code out of range.
std::string DefaultExtension(int code);

// The connect string for OpenDatabase, trailing ";" included; empty for the
// native database (0), TEXT (12) and codes out of range.
std::string ConnectString(int code);

// The engine's driver for a type written through a connect string; nullptr
// for MS/ACCESS and TEXT, codes out of range and formats no driver here
// writes (Btrieve).
engine::Driver* DestinationDriver(int code);

// Folder types: the database is the folder, each table a file in it.
bool IsFolderType(int code);

// What the success message shows after "File Name = ".
std::string DestinationDisplayName(const core::ExportTargetRecord& target);

// The clean-up when an EXPORT block closes: Location ends in "/", FileName
// carries its type's extension, TableName has no "." part.
void NormaliseExportTarget(core::ExportTargetRecord& target);

// `name` cut before its first ".".
std::string BaseName(const std::string& name);

} // namespace store
