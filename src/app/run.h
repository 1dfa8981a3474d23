// Start-up and the ways a run ends. Only the start-up and the command script
// end a run; the modules they call return what happened (core/outcome.h).
#pragma once

#include "core/outcome.h"

#include <string>

namespace app {

// The start procedure. `argument` is the command-line argument text (empty:
// About window only). Returns when the run is handed to a window (About, grid);
// every other run ends inside it through FinishRun.
void Main(const std::string& argument);

// How NotifyUser's message ends.
enum class Notice {
    Inform,    // an information box; the run goes on
    Terminate, // a critical box with "The program will terminate.", then FinishRun
};

// A message box captioned with the application title. With Notice::Terminate
// the text gets CR LF "The program will terminate.", a critical icon, and the
// run ends through FinishRun.
void NotifyUser(const std::string& text, Notice notice);

// A failed step's message, shown as its outcome asks: the fatal message, or an
// information box (the report printer's). Either way the run ends with status 1.
void ShowFailure(const core::Outcome& outcome);
// ShowFailure, then FinishRun.
[[noreturn]] void EndRunWithFailure(const core::Outcome& outcome);

// Closes and deletes the transfer file and ends the process at once.
[[noreturn]] void FinishRun();

// Ends the process with `code`: writes what the engine holds, reports the exit
// in unattended mode, and exits without returning to the event loop.
[[noreturn]] void EndProcess(int code);

// The platform's own report of an error that nothing trapped: a critical box
// "Run-time error 'N':", an empty line and the description; exit status 2,
// the transfer file is kept.
[[noreturn]] void RunTimeError(int number, const std::string& description);

} // namespace app
