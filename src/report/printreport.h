// PRINT: prints or previews the report that REPORT blocks described, through
// the report engine library, which is loaded at the first engine call. Every
// path ends the run.
#pragma once

#include "printengine/peapi.h"

#include <cstdint>
#include <string>

namespace report {

// Never returns: the job and the engine are closed and the run ends.
[[noreturn]] void PrintReport();
// Closes the print job (even when none is open) and the engine, ignoring the
// results, then ends the run through FinishRun.
[[noreturn]] void CloseReportEngine();
// Shows the engine's last error text for the print job.
void ShowReportEngineError();

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
