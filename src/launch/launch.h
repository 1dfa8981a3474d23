// RUN and OPEN: hand a program or a document to the system and end the run.
#pragma once

#include <string>

namespace launch {

// Start the program named by the (expanded) command; the Windows-style
// result: above 32 means started.
int RunProgram(const std::string& command);
// Open the (expanded) document with the desktop's application for it.
int OpenDocument(const std::string& document);

// The script's RUN and OPEN: expand, launch, and end the run; a failed launch
// is reported with the text as written in the script.
[[noreturn]] void RunCommand(const std::string& text);
[[noreturn]] void OpenCommand(const std::string& text);

} // namespace launch
