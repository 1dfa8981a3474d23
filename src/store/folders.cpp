#include "store/folders.h"

#include "app/transfer.h"
#include "platform/platform.h"
#include "ui/windows.h"

namespace store {

namespace {

constexpr int MissingLevel = 99;
constexpr int OrdinaryFile = 0;

const std::string LevelSeparator(1, platform::Separator);

int LevelAttributes(const std::string& level) {
    return platform::FileAttributes(level).value_or(MissingLevel);
}

// False when the level could not be made to exist as a folder.
bool EnsureLevel(const std::string& level) {
    const int attributes = LevelAttributes(level);
    if (attributes == MissingLevel) return platform::CreateFolder(level) == 0;
    if (attributes == OrdinaryFile) {
        ui::ShowMessage("The folder name given exists as a normal file", ui::Icon::None);
        return false;
    }
    return true;
}

} // namespace

bool CreateFolderPath(const std::string& path) {
    std::string rest = path;
    std::string current = app::SplitToken(rest, LevelSeparator);
    // An empty first level is the root, which always exists; anywhere else an
    // empty level ends the walk.
    if (!current.empty() && !EnsureLevel(current)) return false;
    for (;;) {
        const std::string next = app::SplitToken(rest, LevelSeparator);
        if (next.empty()) return true;
        current += LevelSeparator + next;
        if (!EnsureLevel(current)) return false;
    }
}

} // namespace store
