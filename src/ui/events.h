// Unattended mode: with NORVAKEL_UNATTENDED set, nothing waits for a person and
// every user-visible event is written as one JSON line on standard error.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

// True when NORVAKEL_UNATTENDED is set to anything but "" or "0".
bool Unattended();

// `text` as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);
// A JSON array of strings.
std::string JsonStringArray(const std::vector<std::string>& items);

// Writes one JSON object (given without its braces' trailing newline) as a
// line on standard error and flushes it. Only in unattended mode.
void EmitEvent(const std::string& jsonObject);

void EmitStatusEvent(const std::string& text, int progress);
void EmitMessageEvent(const std::string& caption, const std::string& icon, const std::string& text);
void EmitWindowEvent(const std::string& name, const std::string& state,
                     const std::string& extra = {});
// A RUN or OPEN hand-over; `parameters` null when none were passed.
void EmitLaunchEvent(const std::string& operation, const std::string& file,
                     const std::optional<std::string>& parameters, const std::string& directory,
                     int show, int result);
void EmitExitEvent(int code);

} // namespace ui
