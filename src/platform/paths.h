// Path text, without asking the file system.
#pragma once

#include <string>

namespace platform {

// The folder part of `path`: everything before its last "/"; "/" for a file
// in the root and "." for a bare file name.
std::string FolderOf(const std::string& path);

} // namespace platform
