#include "core/ending.h"

#include "core/runstate.h"

namespace core {

std::string MessageText(const std::string& text) {
    if (text.size() <= MaxMessageText) return text;
    // Cut on a character boundary of the UTF-8 text.
    size_t cut = MaxMessageText;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return text.substr(0, cut) + "...";
}

std::string FatalText(const std::string& text) {
    return MessageText(text) + "\r\nThe program will terminate.";
}

std::string RunTimeErrorText(int number, const std::string& description) {
    return "Run-time error '" + std::to_string(number) + "':\r\n\r\n" + description;
}

int OrderlyExitStatus() {
    return Run().ErrorShown ? 1 : 0;
}

} // namespace core
