#include "store/folders.h"

#include "core/text.h"
#include "platform/platform.h"

namespace store {

namespace {

constexpr int MissingLevel = 99;
constexpr int OrdinaryFile = 0;

const std::string LevelSeparator(1, platform::Separator);

int LevelAttributes(const std::string& level) {
    return platform::FileAttributes(level).value_or(MissingLevel);
}

// False when the level could not be made to exist as a folder.
bool EnsureLevel(const std::string& level, std::string* notice) {
    const int attributes = LevelAttributes(level);
    if (attributes == MissingLevel) return platform::CreateFolder(level) == 0;
    if (attributes == OrdinaryFile) {
        if (notice != nullptr) *notice = LevelIsFileNotice;
        return false;
    }
    return true;
}

} // namespace

bool CreateFolderPath(const std::string& path, std::string* notice) {
    std::string rest = path;
    std::string current = core::SplitToken(rest, LevelSeparator);
    // An empty first level is the root, which always exists; anywhere else an
    // empty level ends the walk.
    if (!current.empty() && !EnsureLevel(current, notice)) return false;
    for (;;) {
        const std::string next = core::SplitToken(rest, LevelSeparator);
        if (next.empty()) return true;
        current += LevelSeparator + next;
        if (!EnsureLevel(current, notice)) return false;
    }
}

} // namespace store
