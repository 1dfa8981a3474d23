// Environment variables and the folders the program finds through them.
//
// Variables that SET defines are kept in a table of our own rather than in
// the C library's environment: setenv() is linear in the size of the
// environment, so a transfer file with a million SET lines would take hours.
// The table overlays the inherited environment; programs that RUN and OPEN
// start receive the merged block through execve().
#include "platform/platform.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

extern char** environ;

namespace platform {

namespace {

std::unordered_map<std::string, std::string>& Defined() {
    static std::unordered_map<std::string, std::string> table;
    return table;
}

// Longest text ExpandEnvironmentStrings produces; beyond it the expansion
// fails and the text is used as written (as when the system call fails).
constexpr size_t kMaxExpandedText = size_t{1} << 20;

// Variables that decide which code a program loads, or which program
// xdg-open picks. A transfer file must not be able to set them.
constexpr std::array<std::string_view, 29> kLoaderVariables = {
    "LD_*",
    "BASH_ENV",
    "ENV",
    "BASH_FUNC_*",
    "SHELLOPTS",
    "PS4",
    "PYTHONSTARTUP",
    "PYTHONPATH",
    "PYTHONHOME",
    "PERL5OPT",
    "PERL5LIB",
    "PERLLIB",
    "RUBYOPT",
    "RUBYLIB",
    "NODE_OPTIONS",
    "NODE_PATH",
    "JAVA_TOOL_OPTIONS",
    "_JAVA_OPTIONS",
    "JDK_JAVA_OPTIONS",
    "GCONV_PATH",
    "GTK_MODULES",
    "GTK_PATH",
    "GIO_EXTRA_MODULES",
    "QT_PLUGIN_PATH",
    "QT_QPA_PLATFORM_PLUGIN_PATH",
    "XDG_CONFIG_HOME",
    "XDG_CONFIG_DIRS",
    "XDG_DATA_HOME",
    "XDG_DATA_DIRS",
};

} // namespace

bool IsLoaderVariable(std::string_view name) {
    for (std::string_view pattern : kLoaderVariables) {
        if (pattern.back() == '*') {
            pattern.remove_suffix(1);
            if (name.substr(0, pattern.size()) == pattern) return true;
        } else if (name == pattern) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> GetEnv(const std::string& name) {
    const auto& table = Defined();
    if (const auto it = table.find(name); it != table.end()) return it->second;
    if (name.find('\0') != std::string::npos) return std::nullopt;
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

int SetEnv(const std::string& name, const std::string& value) {
    if (name.empty() || name.find('=') != std::string::npos ||
        name.find('\0') != std::string::npos || value.find('\0') != std::string::npos)
        return 0;
    Defined()[name] = value;
    return 1;
}

void ForgetDefinedVariables() {
    Defined().clear();
}

std::vector<std::string> EnvironmentBlock() {
    const auto& table = Defined();
    std::vector<std::string> block;
    block.reserve(table.size() + 64);
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const size_t equals = text.find('=');
        if (equals != std::string_view::npos &&
            table.count(std::string(text.substr(0, equals))) != 0)
            continue; // replaced by SET
        block.emplace_back(text);
    }
    for (const auto& [name, value] : table)
        block.push_back(name + "=" + value);
    return block;
}

std::string ExpandEnvironmentStrings(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (out.size() > kMaxExpandedText) return std::string(text);
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
        const auto value = name.empty() ? std::nullopt : GetEnv(name);
        if (value) {
            if (out.size() + value->size() > kMaxExpandedText) return std::string(text);
            out += *value;
            i = close + 1;
        } else {
            // Undefined: keep "%NAME" and let the closing "%" open the next reference.
            out += '%';
            out += name;
            i = close;
        }
    }
    if (out.size() > kMaxExpandedText) return std::string(text);
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

std::optional<std::string> PrivateTempFolder(const std::string& parent) {
    const uid_t uid = ::getuid();
    const std::string folder = parent + "/norvakel-" + std::to_string(uid);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    struct stat st {};
    // Refuse a link, a folder somebody else made in our place, or one that
    // others may write into or read.
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid ||
        (st.st_mode & 077) != 0)
        return std::nullopt;
    return folder;
}

} // namespace platform
