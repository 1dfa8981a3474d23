// How a run ends: the texts of its last messages and its exit status. The
// program carries these out in one place (app/run.h).
#pragma once

#include <cstddef>
#include <string>

namespace core {

// Longest message text shown: messages quote lines of the transfer file, which
// may be of any length. A longer text is cut there and ends in "...".
inline constexpr size_t MaxMessageText = 64 * 1024;

// `text` as a message shows it (see MaxMessageText).
std::string MessageText(const std::string& text);

// The fatal message: the text, CR LF and "The program will terminate.".
std::string FatalText(const std::string& text);

// The platform's report of an error nothing trapped: "Run-time error 'N':",
// an empty line and the description.
std::string RunTimeErrorText(int number, const std::string& description);

// The exit status of an orderly end: 1 once an error message was shown, else 0.
int OrderlyExitStatus();

// The exit status after an error that nothing trapped.
inline constexpr int UntrappedExitStatus = 2;

} // namespace core
