// Making sure a destination folder exists before anything is saved in it.
#pragma once

#include <string>

namespace store {

// Walks `path` ("/"-separated, ending in "/") from its first level down and
// creates each missing level. False when a level cannot be created, or when a
// level is an ordinary file (then after telling the user so). A leading "/"
// is the root; an empty level further on ends the walk. Levels created before
// a failure stay.
bool CreateFolderPath(const std::string& path);

} // namespace store
