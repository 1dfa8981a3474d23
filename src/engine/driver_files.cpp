// What a driver's files are called: their extensions and the side files
// named after them.
#include "engine/driver.h"
#include "platform/datafile.h"
#include "platform/platform.h"

#include <algorithm>
#include <cctype>

namespace engine {

namespace {

std::string NameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The name without its extension (the part from its last ".").
std::string StemOf(const std::string& name) {
    const std::size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string ExtensionOf(const std::string& path) {
    const std::string name = NameOf(path);
    const std::size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? std::string() : platform::UpperCase(name.substr(dot + 1));
}

bool SameLetter(char a, char b) {
    return std::toupper(static_cast<unsigned char>(a)) ==
           std::toupper(static_cast<unsigned char>(b));
}

// `text` against `pattern`, in any case; "?" in the pattern is a letter or digit.
bool Fits(const std::string& text, const std::string& pattern) {
    return text.size() == pattern.size() &&
           std::equal(text.begin(), text.end(), pattern.begin(), [](char t, char p) {
               return p == '?' ? std::isalnum(static_cast<unsigned char>(t)) != 0
                               : SameLetter(t, p);
           });
}

std::string BaseFor(const SideFile& side, const std::string& file) {
    return side.replacesExtension ? StemOf(file) : file;
}

} // namespace

bool SideFile::Matches(const std::string& entry, const std::string& file) const {
    return Fits(entry, BaseFor(*this, NameOf(file)) + suffix);
}

bool Driver::RecognizesName(const std::string& path) const {
    const std::string extension = ExtensionOf(path);
    if (extension.empty()) return false;
    const std::vector<std::string> known = FileExtensions();
    return std::find(known.begin(), known.end(), extension) != known.end();
}

std::vector<std::string> Driver::SideFileNames(const std::string& path, SideFile::Role role) const {
    std::vector<std::string> names;
    for (const SideFile& side : SideFiles()) {
        if (side.role == role && side.suffix.find('?') == std::string::npos)
            names.push_back(FolderOf(path) + BaseFor(side, NameOf(path)) + side.suffix);
    }
    return names;
}

std::vector<std::string> Driver::ExistingSideFiles(const std::string& path,
                                                   SideFile::Role role) const {
    std::vector<std::string> found;
    bool patterns = false;
    for (const SideFile& side : SideFiles()) {
        if (side.role != role) continue;
        if (side.suffix.find('?') != std::string::npos) {
            patterns = true;
            continue;
        }
        const std::string name = FolderOf(path) + BaseFor(side, NameOf(path)) + side.suffix;
        // A suffix added to the name goes with that very name.
        const auto existing = side.replacesExtension ? platform::ResolveExistingPath(name)
                                                     : std::optional<std::string>(name);
        if (existing && platform::IsOrdinaryFile(*existing)) found.push_back(*existing);
    }
    if (patterns) {
        const std::string folder = FolderOf(path);
        for (const std::string& entry : platform::FolderEntries(folder)) {
            for (const SideFile& side : SideFiles()) {
                if (side.role == role && side.suffix.find('?') != std::string::npos &&
                    side.Matches(entry, path) && platform::IsOrdinaryFile(folder + entry))
                    found.push_back(folder + entry);
            }
        }
    }
    return found;
}

} // namespace engine
