// A file held under an advisory lock (flock) for as long as it is open, for
// the database formats whose tables are plain files. Writers hold an exclusive
// lock, readers a shared one; a lock that someone else holds is reported at
// once (EWOULDBLOCK) rather than waited for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class LockedFile {
  public:
    enum class Mode {
        Read,      // existing file, shared lock
        ReadWrite, // existing file, exclusive lock
        Create,    // created or emptied (after the lock is taken), exclusive lock;
                   // a symbolic link in the last component is refused
    };

    LockedFile() = default;
    ~LockedFile() { Close(); }
    LockedFile(LockedFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    LockedFile& operator=(LockedFile&& other) noexcept;
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    // 0 on success, otherwise an errno value (EWOULDBLOCK: locked elsewhere).
    int Open(const std::string& path, Mode mode);
    bool IsOpen() const { return fd_ >= 0; }
    void Close();

    // Reads up to `size` bytes at `offset`; `got` is what was read (less at
    // the end of the file). 0 or an errno value.
    int ReadAt(void* buffer, std::size_t size, std::uint64_t offset, std::size_t& got) const;
    int WriteAt(const void* buffer, std::size_t size, std::uint64_t offset) const;
    // The file's size, or -1.
    std::int64_t Size() const;

  private:
    int fd_ = -1;
};

// Removes a file once no one else holds a lock on it: 0, ENOENT when there is
// no such file, EWOULDBLOCK when it is locked elsewhere, or another errno.
int DeleteUnlockedFile(const std::string& path);

} // namespace platform
