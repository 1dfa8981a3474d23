// The unattended event stream: with NORVAKEL_UNATTENDED set, every event the
// user would see is one JSON object on one line of standard error. The
// program and the report engine library both write through this one writer,
// so that the two halves of the stream escape text alike.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace events {

// True when NORVAKEL_UNATTENDED is set to anything but "" or "0".
bool Unattended();

// `text` as a JSON string literal, quotes included. Control characters use
// the short escapes where JSON has one (\n, \r, \t, \b, \f), \u00XX otherwise.
std::string JsonString(std::string_view text);
// A JSON array of strings.
std::string JsonStringArray(const std::vector<std::string>& items);

// Writes one JSON object (without a trailing newline) as a line on standard
// error and flushes it. Only in unattended mode.
void Emit(const std::string& jsonObject);

} // namespace events
