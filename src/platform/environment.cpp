// Environment variables and the folders the program finds through them.
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::optional<std::string> GetEnv(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

int SetEnv(const std::string& name, const std::string& value) {
    if (name.empty() || name.find('=') != std::string::npos ||
        name.find('\0') != std::string::npos || value.find('\0') != std::string::npos)
        return 0;
    return ::setenv(name.c_str(), value.c_str(), 1) == 0 ? 1 : 0;
}

std::string ExpandEnvironmentStrings(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '%') {
            out += text[i++];
            continue;
        }
        const size_t close = text.find('%', i + 1);
        if (close == std::string_view::npos) {
            out.append(text.substr(i)); // a lone "%" stays as written
            break;
        }
        const std::string name(text.substr(i + 1, close - i - 1));
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        if (value != nullptr) {
            out += value;
            i = close + 1;
        } else {
            // Undefined: keep "%NAME" and let the closing "%" open the next reference.
            out += '%';
            out += name;
            i = close;
        }
    }
    return out;
}

std::string CurrentDirectory() {
    std::string buffer(4096, '\0');
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) return ".";
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

std::optional<std::string> PrivateTempFolder() {
    const uid_t uid = ::getuid();
    const std::string folder = "/tmp/norvakel-" + std::to_string(uid);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    struct stat st {};
    // Refuse a link or a folder somebody else made in our place.
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid)
        return std::nullopt;
    return folder;
}

} // namespace platform
