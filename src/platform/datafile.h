// Binary data files with positioned reads and writes and advisory locks, for
// the engine's drivers that write their formats byte by byte. Linux (POSIX)
// version; every call reports errno values rather than raising.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

class DataFile {
  public:
    enum class Mode {
        Read,      // an existing file, read only
        ReadWrite, // an existing file
        CreateNew, // a new file, read/write; fails with EEXIST when there is one
        // A new file, or the existing one, read/write. Not emptied here: a
        // caller replacing the file truncates it once it holds the lock, so a
        // file someone else is using is never cut under them.
        CreateOrOpen,
    };
    enum class Lock { Shared, Exclusive };

    DataFile() = default;
    ~DataFile() { Close(); }
    DataFile(DataFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    DataFile& operator=(DataFile&& other) noexcept;
    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;

    // 0 or an errno value. The creating modes never follow a symbolic link in
    // the last component (ELOOP), so a link planted in a shared folder cannot
    // redirect the write.
    int Open(const std::string& path, Mode mode);
    bool IsOpen() const { return fd_ >= 0; }
    // Takes (or converts to) a lock without waiting; false when another open
    // of the file holds a conflicting one. Released by Close, and by the
    // kernel when the process ends however it ends.
    bool TryLock(Lock lock);
    // Bytes read (fewer at the end of the file), or -1 with errno set.
    std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const;
    // 0 or an errno value; writes everything or fails.
    int WriteAt(std::uint64_t offset, const void* data, std::size_t size) const;
    // The file's size, or -1.
    std::int64_t Size() const;
    // 0 or an errno value.
    int Truncate(std::uint64_t size) const;
    void Close();

  private:
    int fd_ = -1;
};

// Deletes the file unless another open of it holds an advisory lock, as a
// file in use cannot be deleted on Windows. 0 or an errno value (EBUSY when
// it is locked).
int DeleteUnlockedFile(const std::string& path);

// The names of the entries of a folder (not "." and ".."), in no set order.
std::vector<std::string> FolderEntries(const std::string& folder);

struct CalendarDate {
    int year, month, day;
};
// Today's date in the local time zone.
CalendarDate Today();

} // namespace platform
