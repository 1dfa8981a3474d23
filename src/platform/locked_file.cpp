#include "platform/locked_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

LockedFile& LockedFile::operator=(LockedFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

int LockedFile::Open(const std::string& path, Mode mode) {
    Close();
    int flags = O_CLOEXEC;
    switch (mode) {
    case Mode::Read:
        flags |= O_RDONLY;
        break;
    case Mode::ReadWrite:
        flags |= O_RDWR;
        break;
    case Mode::Create:
        flags |= O_RDWR | O_CREAT | O_NOFOLLOW;
        break;
    }
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) return errno;
    const int lock = mode == Mode::Read ? LOCK_SH : LOCK_EX;
    if (::flock(fd, lock | LOCK_NB) != 0) {
        const int err = errno == EINTR ? EWOULDBLOCK : errno;
        ::close(fd);
        return err;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return EISDIR;
    }
    // Emptied only now that the lock is ours: a file someone else is writing
    // is never cut under them.
    if (mode == Mode::Create && ::ftruncate(fd, 0) != 0) {
        const int err = errno;
        ::close(fd);
        return err;
    }
    fd_ = fd;
    return 0;
}

void LockedFile::Close() {
    if (fd_ >= 0) ::close(fd_); // releases the lock
    fd_ = -1;
}

int LockedFile::ReadAt(void* buffer, std::size_t size, std::uint64_t offset,
                       std::size_t& got) const {
    got = 0;
    auto* out = static_cast<char*>(buffer);
    while (got < size) {
        const ssize_t n = ::pread(fd_, out + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return 0;
}

int LockedFile::WriteAt(const void* buffer, std::size_t size, std::uint64_t offset) const {
    const auto* in = static_cast<const char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd_, in + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

std::int64_t LockedFile::Size() const {
    struct stat info {};
    if (fd_ < 0 || ::fstat(fd_, &info) != 0) return -1;
    return info.st_size;
}

int DeleteUnlockedFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        // A dangling or planted link is removed as the name it is.
        if (errno == ELOOP) return ::unlink(path.c_str()) == 0 ? 0 : errno;
        return errno;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno == EINTR ? EWOULDBLOCK : errno;
        ::close(fd);
        return err;
    }
    const int result = ::unlink(path.c_str()) == 0 ? 0 : errno;
    ::close(fd);
    return result;
}

} // namespace platform
