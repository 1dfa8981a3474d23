// What both exporters share: their closing texts and their clean-up.
#pragma once

#include "app/runstate.h"
#include "engine/engine.h"

#include <optional>

#include <string>

namespace store {

// "The requested data stored successfully.", an empty line, "File Name = "
// and the destination's display name.
std::string SuccessText(const app::ExportTargetRecord& target);

// A trapped failure: the description directly followed by "(number)".
std::string FailureText(const std::string& description, int number);

// Ends the run with a fatal message; never returns.
[[noreturn]] void EndRunWith(const std::string& text);

// Closes an engine object on a failure path; a second failure is not reported,
// the run is ending with the first one's message. Null is ignored.
void CloseQuietly(engine::Recordset* records);
void CloseQuietly(engine::Database* db);

// The existing ordinary file at `path`, found case-insensitively.
std::optional<std::string> ExistingOrdinaryFile(const std::string& path);

} // namespace store
