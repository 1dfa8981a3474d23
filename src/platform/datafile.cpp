#include "platform/datafile.h"

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

DataFile& DataFile::operator=(DataFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

int DataFile::Open(const std::string& path, Mode mode) {
    Close();
    // Non-blocking so that a FIFO put in a file's place cannot stall the open;
    // it is refused below as not a regular file.
    int flags = O_CLOEXEC | O_NONBLOCK;
    switch (mode) {
    case Mode::Read:
        flags |= O_RDONLY;
        break;
    case Mode::ReadWrite:
        flags |= O_RDWR;
        break;
    case Mode::CreateNew:
        flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
        break;
    case Mode::CreateOrOpen:
        flags |= O_RDWR | O_CREAT | O_NOFOLLOW;
        break;
    }
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) return errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        return err;
    }
    fd_ = fd;
    return 0;
}

bool DataFile::TryLock(Lock lock) {
    if (fd_ < 0) return false;
    const int operation = (lock == Lock::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int rc;
    do {
        rc = ::flock(fd_, operation);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

std::int64_t DataFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const {
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

int DataFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) const {
    const auto* in = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd_, in + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

std::int64_t DataFile::Size() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

int DataFile::Truncate(std::uint64_t size) const {
    return ::ftruncate(fd_, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

void DataFile::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int DeleteUnlockedFile(const std::string& path) {
    DataFile file;
    // A file that cannot be opened to test its lock is deleted as any other.
    if (file.Open(path, DataFile::Mode::Read) == 0 && !file.TryLock(DataFile::Lock::Exclusive)) {
        return EBUSY;
    }
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

CalendarDate Today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) == nullptr) return {1970, 1, 1};
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

} // namespace platform
