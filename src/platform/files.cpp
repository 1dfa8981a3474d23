// Files and folders.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::string NativeSeparators(std::string path) {
    std::replace(path.begin(), path.end(), '\\', Separator);
    return path;
}

bool IsUsablePath(std::string_view path) {
    return !path.empty() && path.find('\0') == std::string_view::npos;
}

bool IsOrdinaryFile(const std::string& path) {
    struct stat st {};
    return IsUsablePath(path) && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return IsUsablePath(path) && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> ResolveExistingPath(const std::string& path) {
    struct stat st {};
    if (!IsUsablePath(path)) return std::nullopt;
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
        if (SameNameIgnoringCase(entry->d_name, name)) {
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
    if (!IsUsablePath(path) || ::stat(path.c_str(), &st) != 0) return std::nullopt;
    return S_ISDIR(st.st_mode) ? 16 : 0;
}

bool IsForeignLink(const std::string& path) {
    struct stat link {};
    if (!IsUsablePath(path) || ::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode))
        return false;
    if (link.st_uid == ::geteuid()) return false;
    const size_t slash = path.find_last_of(Separator);
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    struct stat parent {};
    return ::stat(folder.c_str(), &parent) != 0 || parent.st_uid != link.st_uid;
}

int CreateFileForWriting(const std::string& path, int& error) {
    if (!IsUsablePath(path)) {
        error = EINVAL;
        return -1;
    }
    constexpr int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags | O_NOFOLLOW, 0666);
    // Our own links are followed; one somebody else planted is not.
    if (fd < 0 && errno == ELOOP && !IsForeignLink(path)) fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) error = errno;
    return fd;
}

std::FILE* CreateStreamForWriting(const std::string& path, int& error) {
    error = 0;
    const int fd = CreateFileForWriting(path, error);
    if (fd < 0) {
        if (error == 0) error = EIO;
        return nullptr;
    }
    errno = 0;
    std::FILE* stream = ::fdopen(fd, "wb");
    if (stream == nullptr) {
        error = errno != 0 ? errno : EIO;
        ::close(fd);
    }
    return stream;
}

bool IsSymbolicLink(const std::string& path) {
    struct stat st {};
    return IsUsablePath(path) && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string RealPath(const std::string& path) {
    if (!IsUsablePath(path)) return path;
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return path;
    std::string resolved = real;
    std::free(real);
    return resolved;
}

bool MayWrite(const std::string& path) {
    return IsUsablePath(path) && ::access(path.c_str(), W_OK) == 0;
}

int DeleteFile(const std::string& path) {
    if (!IsUsablePath(path)) return EINVAL;
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int CreateFolder(const std::string& path) {
    if (!IsUsablePath(path)) return EINVAL;
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
    case EINVAL:
    case ENAMETOOLONG:
        return {52, "'" + path + "' is not a valid file name."};
    case ELOOP:
        return {70, "Access to '" + path + "' was denied: it is a link that another user made."};
    case EFBIG:
        return {61, "The file '" + path + "' has grown beyond the size allowed."};
    case EISDIR:
        return {75, "'" + path + "' is a folder."};
    default:
        return {57, "Input/output error on '" + path + "': " + std::strerror(err) + "."};
    }
}

} // namespace platform
