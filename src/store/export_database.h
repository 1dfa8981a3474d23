// SAVE: the scratch table copied into the destination that ExportTarget names.
#pragma once

#include "core/outcome.h"

namespace store {

// Checks the destination, creates its folder and hands the work to the text
// or the database exporter. Success carries the text that tells the user
// where the data went; a failure carries the message that ends the run.
core::Outcome SaveData();

// Replaces the table of a database destination (types 0 to 11) with a copy of
// the scratch table.
core::Outcome ExportToDatabase();

// True when ExportTarget names the scratch database file itself (as it does
// before any EXPORT block): there is nothing to copy then.
bool DestinationIsScratchDatabase();

} // namespace store
