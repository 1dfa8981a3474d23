// Unattended mode: with NORVAKEL_UNATTENDED set, nothing waits for a person and
// every user-visible event is written as one JSON line on standard error. The
// program's own events, in the form the event stream documents.
#pragma once

#include "events/event_writer.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

// The shared writer's (events/event_writer.h); the windows use them unqualified.
using events::JsonStringArray;
using events::Unattended;

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
