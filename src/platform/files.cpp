// Files and folders.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::string NativeSeparators(std::string path) {
    std::replace(path.begin(), path.end(), '\\', Separator);
    return path;
}

bool IsOrdinaryFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> ResolveExistingPath(const std::string& path) {
    struct stat st {};
    if (path.empty()) return std::nullopt;
    if (::stat(path.c_str(), &st) == 0) return path;
    const size_t slash = path.find_last_of(Separator);
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) return std::nullopt;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return std::nullopt;
    std::optional<std::string> found;
    int matches = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (::strcasecmp(entry->d_name, name.c_str()) == 0) {
            ++matches;
            found = (slash == std::string::npos ? std::string() : folder) + entry->d_name;
        }
    }
    ::closedir(dir);
    if (matches != 1) return std::nullopt;
    return found;
}

std::optional<int> FileAttributes(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
    return S_ISDIR(st.st_mode) ? 16 : 0;
}

int DeleteFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int CreateFolder(const std::string& path) {
    return ::mkdir(path.c_str(), 0777) == 0 ? 0 : errno;
}

FileError DescribeFileError(int err, const std::string& path) {
    switch (err) {
    case ENOENT:
        return {53, "The file '" + path + "' could not be found."};
    case ENOTDIR:
        return {76, "The path '" + path + "' could not be found."};
    case EACCES:
    case EPERM:
    case EROFS:
        return {70, "Access to '" + path + "' was denied."};
    case EBUSY:
    case ETXTBSY:
        return {75, "The file '" + path + "' is in use."};
    case ENOSPC:
    case EDQUOT:
        return {61, "The disk is full."};
    case EMFILE:
    case ENFILE:
        return {67, "Too many files are open."};
    case EISDIR:
        return {75, "'" + path + "' is a folder."};
    default:
        return {57, "Input/output error on '" + path + "': " + std::strerror(err) + "."};
    }
}

} // namespace platform
