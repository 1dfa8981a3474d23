// The report engine's C interface: the print-engine calls a program makes to
// print or preview a report. The library exports exactly these functions.
//
// Conventions: 16-bit signed results, 1 for success unless stated; texts are
// zero-terminated 8-bit strings (UTF-8 on this platform); a print job is a
// positive 16-bit handle, 0 meaning none.
#pragma once

#include <cstdint>

extern "C" {

// Where a report's table lives: a 258-byte record, size field first.
struct PETableLocation {
    std::uint16_t StructSize; // always PE_SIZEOF_TABLE_LOCATION
    char Location[256];       // zero-terminated path, blanks after the terminator
};
#define PE_SIZEOF_TABLE_LOCATION 258

std::int16_t PEOpenEngine();
// The job handle, or 0 when the file is not a report definition at all.
std::int16_t PEOpenPrintJob(const char* reportPath);
std::int16_t PEHasSavedData(std::int16_t job, std::int16_t* hasSavedData);
std::int16_t PEDiscardSavedData(std::int16_t job);
std::int16_t PEGetNthTableLocation(std::int16_t job, std::int16_t table, PETableLocation* location);
std::int16_t PESetNthTableLocation(std::int16_t job, std::int16_t table,
                                   const PETableLocation* location);
// Sets the report parameter `name` to the value of the expression `text`;
// 0 when the name is unknown or the text does not parse.
std::int16_t PESetFormula(std::int16_t job, const char* name, const char* text);
std::int16_t PEOutputToPrinter(std::int16_t job, std::int16_t copies);
std::int16_t PEOutputToWindow(std::int16_t job, const char* title, std::int32_t left,
                              std::int32_t top, std::int32_t width, std::int32_t height,
                              std::uint32_t style, std::int32_t parentWindow);
std::int16_t PEStartPrintJob(std::int16_t job, std::int16_t waitUntilDone);
// Low 16 bits of the preview window's handle; 0 when there is no preview window.
std::int16_t PEGetWindowHandle(std::int16_t job);
// Hands out the job's last error text as a text handle and its length.
std::int16_t PEGetErrorText(std::int16_t job, std::uint32_t* textHandle, std::int16_t* textLength);
// Copies a handed-out text into `buffer` (at most `bufferLength` bytes, no
// terminator added) and releases the handle.
std::int16_t PEGetHandleString(std::uint32_t textHandle, char* buffer, std::int16_t bufferLength);
std::int16_t PEClosePrintJob(std::int16_t job);
std::int16_t PECloseEngine();

} // extern "C"

static_assert(sizeof(PETableLocation) == PE_SIZEOF_TABLE_LOCATION,
              "the table-location record is 258 bytes");
