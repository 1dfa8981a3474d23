// PRINT: prints or previews the report that REPORT blocks described, through
// the report engine library, which is loaded at the first engine call. The
// script ends the run after it, whatever the outcome.
#pragma once

#include "core/outcome.h"
#include "printengine/peapi.h"

#include <cstdint>
#include <string>

namespace report {

// Prints or previews (returning when the preview has closed). A failure is
// an information box: the message of a step that failed, or the engine's
// error text in a box of its own caption. A report engine library that is
// missing or incomplete throws core::RunTimeFailure.
core::Outcome PrintReport();
// Closes the print job (even when none is open) and the engine, ignoring the
// results. Loads the engine first when it was not loaded.
void CloseReportEngine();
// The engine's last error text for the print job, as the failure to show: in
// a box captioned "Norvakel(Report Error)", which the script shows before it
// closes the engine.
core::Outcome ShowReportEngineError();

// The table-location record for `path`: the path left-aligned with a zero
// terminator and blanks after it. A path of more than 255 bytes does not fit
// with its terminator and is stored without one, which the engine refuses.
PETableLocation TableLocationRecord(const std::string& path);

// Three quarters of a screen extent in twips, as a 16-bit value: rounded to
// the nearest whole number (halves to even) and kept within the 16-bit range.
std::int16_t PreviewExtent(double screenTwips);

// The message for a report file that the engine could not open as a job.
std::string OpenJobFailureText(const std::string& reportPath);

// The name of the report engine library and the folders searched for it.
inline constexpr const char* ReportEngineLibrary = "libnorvakel-report.so";

} // namespace report
