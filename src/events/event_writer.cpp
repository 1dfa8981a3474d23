#include "events/event_writer.h"

#include <cstdio>
#include <cstdlib>

namespace events {

bool Unattended() {
    static const bool unattended = [] {
        const char* v = std::getenv("NORVAKEL_UNATTENDED");
        return v != nullptr && *v != '\0' && std::string_view(v) != "0";
    }();
    return unattended;
}

std::string JsonString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8 + 16);
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

std::string JsonStringArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += ',';
        out += JsonString(items[i]);
    }
    return out + "]";
}

void Emit(const std::string& jsonObject) {
    if (!Unattended()) return;
    // Written in two pieces rather than copied: a message may quote a long
    // line of the transfer file.
    std::fwrite(jsonObject.data(), 1, jsonObject.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

} // namespace events
