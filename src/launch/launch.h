// RUN and OPEN: hand a program or a document to the system. The script ends
// the run afterwards, whatever the outcome.
#pragma once

#include "core/outcome.h"

#include <string>

namespace launch {

// Start the program named by the (expanded) command; the Windows-style
// result: above 32 means started.
int RunProgram(const std::string& command);
// Open the (expanded) document with the desktop's application for it.
int OpenDocument(const std::string& document);

// The script's RUN and OPEN: expand and launch. A failed launch's message
// quotes the text as written in the script.
core::Outcome RunCommand(const std::string& text);
core::Outcome OpenCommand(const std::string& text);

} // namespace launch
