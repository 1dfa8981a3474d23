// Making sure a destination folder exists before anything is saved in it.
#pragma once

#include <string>

namespace store {

// The message for a level of the path that is an ordinary file.
inline constexpr const char* LevelIsFileNotice = "The folder name given exists as a normal file";

// Walks `path` ("/"-separated, ending in "/") from its first level down and
// creates each missing level. False when a level cannot be created, or when a
// level is an ordinary file; then `notice` (when given) receives
// LevelIsFileNotice, which the user is shown before the SAVE fails. A leading
// "/" is the root; an empty level further on ends the walk. Levels created
// before a failure stay.
bool CreateFolderPath(const std::string& path, std::string* notice = nullptr);

} // namespace store
