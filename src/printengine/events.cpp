#include "printengine/events.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace printengine {

namespace {

std::string Json(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

void Emit(const std::string& line) {
    if (!Unattended()) return;
    const std::string out = line + "\n";
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
}

} // namespace

bool Unattended() {
    const char* v = std::getenv("NORVAKEL_UNATTENDED");
    return v != nullptr && *v != '\0' && std::string_view(v) != "0";
}

void EmitPreviewEvent(const std::string& state, const std::string& title, int pages) {
    std::string line = "{\"event\":\"window\",\"name\":\"Preview\",\"state\":" + Json(state);
    if (state == "shown")
        line += ",\"title\":" + Json(title) + ",\"pages\":" + std::to_string(pages);
    Emit(line + "}");
}

void EmitPrintEvent(const std::string& printer, int copies, int pages) {
    Emit("{\"event\":\"print\",\"printer\":" + Json(printer) +
         ",\"copies\":" + std::to_string(copies) + ",\"pages\":" + std::to_string(pages) + "}");
}

} // namespace printengine
