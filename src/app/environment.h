// The run's start values and the environment: the work folder, SET, and
// %NAME% expansion.
#pragma once

#include "core/text.h"

#include <string>

namespace app {

// Chooses the work folder and gives the run state its start values.
void InitRunDefaults();

// SET name = value. `text` is what follows SET; on return it holds the value
// part. Returns zero when the variable was refused.
// Variables that change how programs load code are refused.
int DefineEnvironment(std::string& text);

// The message that ends the run when DefineEnvironment refused `setText` (the
// text after SET, as written): the value part, and for a variable that changes
// how programs load code, a line naming it.
std::string SetRefusalText(const std::string& setText);

using core::ExpandEnvironmentText;

} // namespace app
