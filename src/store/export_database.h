// SAVE: the scratch table copied into the destination that ExportTarget names.
#pragma once

namespace store {

// Checks the destination, creates its folder and hands the work to the text
// or the database exporter. Returns after a successful save; every failure
// ends the run.
void SaveData(bool quiet);

// Replaces the table of a database destination (types 0 to 11) with a copy of
// the scratch table and, unless `quiet`, tells the user where it went.
void ExportToDatabase(bool quiet);

// True when ExportTarget names the scratch database file itself (as it does
// before any EXPORT block): there is nothing to copy then.
bool DestinationIsScratchDatabase();

} // namespace store
