// Unattended mode seen from the report engine: with NORVAKEL_UNATTENDED set,
// the preview closes itself after its first paint and the engine writes its
// events (preview shown and closed, print job done) as JSON lines on standard
// error, through the program's own writer (events/event_writer.h).
#pragma once

#include "events/event_writer.h"

#include <string>

namespace printengine {

using events::Unattended;

void EmitPreviewEvent(const std::string& state, const std::string& title, int pages);
void EmitPrintEvent(const std::string& printer, int copies, int pages);

} // namespace printengine
