// The run's start values and the environment: the work folder, SET, and
// %NAME% expansion.
#pragma once

#include <string>

namespace app {

// Chooses the work folder and gives the run state its start values.
void InitRunDefaults();

// SET name = value. `text` is what follows SET; on return it holds the value
// part. Returns zero when the variable was refused.
int DefineEnvironment(std::string& text);

// `text` with %NAME% references replaced by their values.
std::string ExpandEnvironmentText(const std::string& text);

} // namespace app
