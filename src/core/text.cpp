#include "core/text.h"

#include "platform/platform.h"

namespace core {

std::string_view TrimView(std::string_view text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::string Trim(std::string_view text) {
    return std::string(TrimView(text));
}

std::string SplitToken(std::string& text, std::string_view separator) {
    const size_t at = separator.empty() ? std::string::npos : text.find(separator);
    if (at == std::string::npos) {
        std::string whole;
        whole.swap(text);
        return whole;
    }
    std::string before = Trim(std::string_view(text).substr(0, at));
    // Trimmed in place: a line may be very long, and a copy would double it.
    const size_t first = text.find_first_not_of(' ', at + separator.size());
    if (first == std::string::npos) {
        text.clear();
    } else {
        text.erase(text.find_last_not_of(' ') + 1);
        text.erase(0, first);
    }
    return before;
}

std::string ExpandEnvironmentText(const std::string& text) {
    return platform::ExpandEnvironmentStrings(text);
}

} // namespace core
