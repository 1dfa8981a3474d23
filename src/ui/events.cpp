#include "ui/events.h"

namespace ui {

void EmitStatusEvent(const std::string& text, int progress) {
    events::Emit("{\"event\":\"status\",\"text\":" + events::JsonString(text) +
                 ",\"progress\":" + std::to_string(progress) + "}");
}

void EmitMessageEvent(const std::string& caption, const std::string& icon,
                      const std::string& text) {
    events::Emit("{\"event\":\"message\",\"caption\":" + events::JsonString(caption) +
                 ",\"icon\":" + events::JsonString(icon) + ",\"text\":" + events::JsonString(text) +
                 "}");
}

void EmitWindowEvent(const std::string& name, const std::string& state, const std::string& extra) {
    events::Emit("{\"event\":\"window\",\"name\":" + events::JsonString(name) +
                 ",\"state\":" + events::JsonString(state) + extra + "}");
}

void EmitLaunchEvent(const std::string& operation, const std::string& file,
                     const std::optional<std::string>& parameters, const std::string& directory,
                     int show, int result) {
    events::Emit(
        "{\"event\":\"launch\",\"operation\":" + events::JsonString(operation) +
        ",\"file\":" + events::JsonString(file) +
        ",\"parameters\":" + (parameters ? events::JsonString(*parameters) : std::string("null")) +
        ",\"directory\":" + events::JsonString(directory) + ",\"show\":" + std::to_string(show) +
        ",\"result\":" + std::to_string(result) + "}");
}

void EmitExitEvent(int code) {
    events::Emit("{\"event\":\"exit\",\"code\":" + std::to_string(code) + "}");
}

} // namespace ui
