#include "platform/datafile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace platform {

DataFile& DataFile::operator=(DataFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

int DataFile::Open(const std::string& path, Mode mode, unsigned permissions) {
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
    case Mode::ReadNoFollow:
        flags |= O_RDONLY | O_NOFOLLOW;
        break;
    case Mode::ReadWriteNoFollow:
        flags |= O_RDWR | O_NOFOLLOW;
        break;
    }
    const int fd = ::open(path.c_str(), flags, static_cast<mode_t>(permissions));
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

bool DataFile::TryLockRange(Lock lock) {
    if (fd_ < 0) return false;
    // An open-file-description lock: it conflicts with every other holder,
    // this process's other opens included.
    struct flock range {};
    range.l_type = lock == Lock::Exclusive ? F_WRLCK : F_RDLCK;
    range.l_whence = SEEK_SET;
    return ::fcntl(fd_, F_OFD_SETLK, &range) == 0;
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

int DataFile::Sync() const {
    if (fd_ < 0) return EBADF;
    return ::fsync(fd_) == 0 ? 0 : errno;
}

int DataFile::CopyFrom(const DataFile& from, std::uint64_t size) const {
    std::uint64_t done = 0;
    bool kernel = true;
    std::vector<char> buffer;
    while (done < size) {
        if (kernel) {
            loff_t in = static_cast<loff_t>(done);
            const ssize_t n = ::copy_file_range(from.fd_, &in, fd_, nullptr, size - done, 0);
            if (n > 0) {
                done += static_cast<std::uint64_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 &&
                (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernel = false;
                buffer.resize(1 << 20);
                continue;
            }
            if (n == 0) break; // the file got shorter under us
            return errno;
        }
        const std::int64_t got =
            from.ReadAt(done, buffer.data(), std::min<std::uint64_t>(buffer.size(), size - done));
        if (got < 0) return errno;
        if (got == 0) break;
        const std::int64_t end = Size();
        if (end < 0) return errno;
        if (const int err = WriteAt(static_cast<std::uint64_t>(end), buffer.data(),
                                    static_cast<std::size_t>(got)))
            return err;
        done += static_cast<std::uint64_t>(got);
    }
    return 0;
}

std::FILE* DataFile::OpenStream(const char* mode) const {
    if (fd_ < 0) {
        errno = EBADF;
        return nullptr;
    }
    // A duplicate shares the open file (and its locks) but closes on its own.
    const int copy = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return nullptr;
    std::FILE* stream = ::fdopen(copy, mode);
    if (stream == nullptr) {
        const int err = errno;
        ::close(copy);
        errno = err;
    }
    return stream;
}

namespace {
DataFile::Info InfoOf(const struct stat& st) {
    DataFile::Info info;
    info.device = static_cast<std::uint64_t>(st.st_dev);
    info.inode = static_cast<std::uint64_t>(st.st_ino);
    info.size = static_cast<std::int64_t>(st.st_size);
    info.mode = static_cast<unsigned>(st.st_mode & 07777);
    info.owner = st.st_uid;
    info.group = st.st_gid;
    info.ownedByMe = st.st_uid == ::geteuid();
    return info;
}
} // namespace

std::optional<DataFile::Info> DataFile::Describe() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return std::nullopt;
    return InfoOf(st);
}

std::optional<DataFile::Info> DescribePath(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
    return InfoOf(st);
}

int DataFile::SetOwnerAndMode(const Info& from) const {
    if (fd_ < 0) return EBADF;
    if (::fchown(fd_, from.owner, from.group) != 0) {
        // Not allowed to give it away: it stays this user's.
    }
    return ::fchmod(fd_, static_cast<mode_t>(from.mode)) == 0 ? 0 : errno;
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

// ---- Replacing a file whole -----------------------------------------------------

namespace {

std::string FolderPart(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NamePart(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// mkostemp's six characters follow the name.
bool IsHiddenSibling(const std::string& entry, const std::string& name) {
    const std::string prefix = "." + name + ".";
    return entry.size() == prefix.size() + 6 && entry.compare(0, prefix.size(), prefix) == 0 &&
           std::all_of(entry.end() - 6, entry.end(),
                       [](unsigned char c) { return std::isalnum(c) != 0; });
}

unsigned Umask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<unsigned>(mask);
}

int SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    // A folder that cannot be synced (some network file systems) leaves it
    // to the system.
    ::fsync(fd);
    ::close(fd);
    return 0;
}

int Rename(const std::string& from, const std::string& to, bool noReplace) {
    if (noReplace) {
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
            return 0;
        if (errno != EINVAL && errno != ENOSYS) return errno;
        // A file system without it: the plain rename below.
    }
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

} // namespace

Replacement::Replacement(Replacement&& other) noexcept
    : target_(std::move(other.target_)), temp_(std::exchange(other.temp_, std::string())) {}

Replacement& Replacement::operator=(Replacement&& other) noexcept {
    if (this != &other) {
        Abandon();
        target_ = std::move(other.target_);
        temp_ = std::exchange(other.temp_, std::string());
    }
    return *this;
}

int Replacement::Begin(const std::string& target, DataFile& file, unsigned newPermissions) {
    Abandon();
    file.Close();
    target_ = target;
    const std::string pattern = FolderPart(target) + "/." + NamePart(target) + ".XXXXXX";
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string temp = pattern;
        // mkostemp creates with O_EXCL: a link planted under the name is not followed.
        const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
        if (fd < 0) return errno;
        ::close(fd);
        int err = file.Open(temp, DataFile::Mode::ReadWriteNoFollow);
        if (err == 0 && !file.TryLock(DataFile::Lock::Exclusive)) err = EWOULDBLOCK;
        // Between its creation and the lock a cleaner may have taken the
        // file for a leftover: it must still be the one under the name.
        const auto opened = file.Describe();
        const auto named = DescribePath(temp);
        if (err == 0 && opened && named && opened->device == named->device &&
            opened->inode == named->inode) {
            temp_ = std::move(temp);
            break;
        }
        file.Close();
        if (err != 0 && err != EWOULDBLOCK && err != ENOENT) {
            ::unlink(temp.c_str());
            return err;
        }
    }
    if (temp_.empty()) return EEXIST;
    DataFile::Info wanted;
    if (const auto old = DescribePath(target)) {
        wanted = *old;
    } else {
        const auto own = file.Describe();
        if (own) wanted = *own;
        wanted.mode = newPermissions & ~Umask() & 07777;
    }
    if (const int err = file.SetOwnerAndMode(wanted)) {
        file.Close();
        Abandon();
        return err;
    }
    return 0;
}

int Replacement::MoveIntoPlace(bool noReplace) {
    if (temp_.empty()) return ENOENT;
    if (const int err = Rename(temp_, target_, noReplace)) return err;
    temp_.clear();
    SyncFolder(FolderPart(target_));
    return 0;
}

void Replacement::Abandon() {
    if (temp_.empty()) return;
    ::unlink(temp_.c_str());
    temp_.clear();
}

int MoveIntoPlaceTogether(const std::vector<std::pair<Replacement*, const DataFile*>>& files) {
    for (const auto& [replacement, file] : files) {
        if (const int err = file->Sync()) return err;
    }
    std::vector<std::string> folders;
    for (const auto& [replacement, file] : files) {
        if (replacement->HiddenPath().empty()) return ENOENT;
        if (const int err = Rename(replacement->HiddenPath(), replacement->Target(), false))
            return err;
        folders.push_back(FolderPart(replacement->Target()));
        replacement->temp_.clear();
    }
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    for (const std::string& folder : folders)
        SyncFolder(folder);
    return 0;
}

int RemoveLeftovers(const std::string& target,
                    const std::function<bool(const DataFile&)>& belongs) {
    const std::string folder = FolderPart(target);
    const std::string name = NamePart(target);
    int removed = 0;
    for (const std::string& entry : FolderEntries(folder)) {
        if (!IsHiddenSibling(entry, name)) continue;
        const std::string path = folder + "/" + entry;
        DataFile file;
        if (file.Open(path, DataFile::Mode::ReadNoFollow) != 0) continue;
        const auto info = file.Describe();
        if (!info || !info->ownedByMe || !file.TryLock(DataFile::Lock::Exclusive)) continue;
        if (belongs && !belongs(file)) continue;
        if (::unlink(path.c_str()) == 0) ++removed;
    }
    return removed;
}

// ---- Setting a file aside ------------------------------------------------------

namespace {
std::string SetAsideName(const std::string& path) {
    return FolderPart(path) + "/." + NamePart(path) + ".old";
}
} // namespace

SetAside::SetAside(SetAside&& other) noexcept
    : path_(std::move(other.path_)), hidden_(std::move(other.hidden_)),
      file_(std::move(other.file_)) {}

SetAside& SetAside::operator=(SetAside&& other) noexcept {
    if (this != &other) {
        Restore();
        path_ = std::move(other.path_);
        hidden_ = std::move(other.hidden_);
        file_ = std::move(other.file_);
    }
    return *this;
}

int SetAside::Begin(const std::string& path) {
    Restore();
    DataFile file;
    if (const int err = file.Open(path, DataFile::Mode::Read)) return err;
    if (!file.TryLock(DataFile::Lock::Exclusive)) return EWOULDBLOCK;
    const std::string hidden = SetAsideName(path);
    if (::rename(path.c_str(), hidden.c_str()) != 0) return errno;
    path_ = path;
    hidden_ = hidden;
    file_ = std::move(file);
    return 0;
}

void SetAside::Discard() {
    if (!file_.IsOpen()) return;
    ::unlink(hidden_.c_str());
    file_.Close();
}

void SetAside::Restore() {
    if (!file_.IsOpen()) return;
    struct stat st {};
    const bool taken = ::lstat(path_.c_str(), &st) == 0;
    if (taken || Rename(hidden_, path_, true) != 0) ::unlink(hidden_.c_str());
    file_.Close();
}

void RecoverFolder(
    const std::string& folder, const std::function<bool(const std::string& name)>& ours,
    const std::function<bool(const std::string& name, const std::string& main)>& partOf) {
    const std::string base = folder.empty() ? "." : folder;
    const std::string prefix = base.back() == '/' ? base : base + "/";
    struct Left {
        std::string name, path;
        bool setAside;
        DataFile file; // locked while the folder is put right
    };
    std::vector<Left> left;
    for (const std::string& entry : FolderEntries(base)) {
        if (entry.size() < 3 || entry[0] != '.') continue;
        const bool setAside = entry.size() > 5 && entry.compare(entry.size() - 4, 4, ".old") == 0;
        const std::string name = setAside
                                     ? entry.substr(1, entry.size() - 5)
                                     : entry.substr(1, std::max<std::size_t>(entry.size(), 8) - 8);
        if (name.empty() || !ours(name)) continue;
        if (!setAside && !IsHiddenSibling(entry, name)) continue;
        Left found{name, prefix + entry, setAside, DataFile()};
        if (found.file.Open(found.path, DataFile::Mode::ReadNoFollow) != 0) continue;
        const auto info = found.file.Describe();
        if (!info || !info->ownedByMe || !found.file.TryLock(DataFile::Lock::Exclusive)) continue;
        left.push_back(std::move(found));
    }
    const auto taken = [&](const std::string& name) {
        struct stat st {};
        return ::lstat((prefix + name).c_str(), &st) == 0;
    };
    // A main file set aside whose name is still free was never replaced: a
    // file of its own that has taken its name meanwhile is a new one that got
    // there first, and the old one goes back over it.
    if (partOf) {
        for (const Left& main : left) {
            if (!main.setAside || taken(main.name)) continue;
            for (Left& part : left) {
                if (part.setAside && &part != &main && taken(part.name) &&
                    partOf(part.name, main.name) &&
                    ::rename(part.path.c_str(), (prefix + part.name).c_str()) == 0)
                    part.path.clear();
            }
        }
    }
    for (const Left& found : left) {
        if (found.path.empty()) continue;
        if (!found.setAside || taken(found.name) ||
            Rename(found.path, prefix + found.name, true) != 0)
            ::unlink(found.path.c_str());
    }
}

CalendarDate Today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) == nullptr) return {1970, 1, 1};
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

} // namespace platform
