#include "printengine/events.h"

#include "events/event_writer.h"

namespace printengine {

void EmitPreviewEvent(const std::string& state, const std::string& title, int pages) {
    std::string line =
        "{\"event\":\"window\",\"name\":\"Preview\",\"state\":" + events::JsonString(state);
    if (state == "shown")
        line += ",\"title\":" + events::JsonString(title) + ",\"pages\":" + std::to_string(pages);
    events::Emit(line + "}");
}

void EmitPrintEvent(const std::string& printer, int copies, int pages) {
    events::Emit("{\"event\":\"print\",\"printer\":" + events::JsonString(printer) +
                 ",\"copies\":" + std::to_string(copies) + ",\"pages\":" + std::to_string(pages) +
                 "}");
}

} // namespace printengine
