// Start-up and the two ways every run ends.
#pragma once

#include <cstddef>
#include <string>

namespace app {

// The start procedure. `argument` is the command-line argument text (empty:
// About window only). Returns when the run is handed to a window (About, grid);
// every other run ends inside it through FinishRun.
void Main(const std::string& argument);

// Longest message text shown: messages quote lines of the transfer file, which
// may be of any length. A longer text is cut there and ends in "...".
inline constexpr size_t MaxMessageText = 64 * 1024;

// `text` as a message shows it (see MaxMessageText).
std::string MessageText(const std::string& text);

// A message box captioned with the application title. With `terminate` the
// text gets CR LF "The program will terminate.", a critical icon, and the run
// ends through FinishRun; otherwise an information box that returns.
void NotifyUser(const std::string& text, bool terminate);

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
