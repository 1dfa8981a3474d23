// The texts both exporters end with.
#pragma once

#include "app/runstate.h"

#include <string>

namespace store {

// "The requested data stored successfully.", an empty line, "File Name = "
// and the destination's display name.
std::string SuccessText(const app::ExportTargetRecord& target);

// A trapped failure: the description directly followed by "(number)".
std::string FailureText(const std::string& description, int number);

// Ends the run with a fatal message; never returns.
[[noreturn]] void EndRunWith(const std::string& text);

} // namespace store
