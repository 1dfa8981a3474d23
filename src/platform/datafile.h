// Binary data files with positioned reads and writes and advisory locks, for
// the engine's drivers that write their formats byte by byte. Linux (POSIX)
// version; every call reports errno values rather than raising.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
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
        // As Read and ReadWrite, but a symbolic link in the last component
        // is refused (ELOOP): for files the program made itself beside
        // another, which nobody else should have put a link in place of.
        ReadNoFollow,
        ReadWriteNoFollow,
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
    // `permissions` apply to a file created (less the process's umask).
    int Open(const std::string& path, Mode mode, unsigned permissions = 0666);
    bool IsOpen() const { return fd_ >= 0; }
    // Takes (or converts to) a lock without waiting; false when another open
    // of the file holds a conflicting one (errno EWOULDBLOCK) or the file
    // system has no locks (another errno value). Released by Close, and by the
    // kernel when the process ends however it ends.
    bool TryLock(Lock lock);
    // A byte-range lock over the whole file, without waiting; false when
    // another open of the file holds a conflicting one. This is the kind
    // Access's lock files are locked with; it is independent of TryLock's.
    bool TryLockRange(Lock lock);
    // Bytes read (fewer at the end of the file), or -1 with errno set.
    std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const;
    // 0 or an errno value; writes everything or fails.
    int WriteAt(std::uint64_t offset, const void* data, std::size_t size) const;
    // The file's size, or -1.
    std::int64_t Size() const;
    // 0 or an errno value.
    int Truncate(std::uint64_t size) const;
    // Puts what was written on the disk. 0 or an errno value.
    int Sync() const;
    // Copies the first `size` bytes of `from` to the end of this file, in the
    // kernel where it can. 0 or an errno value (ENOSPC for a short copy).
    int CopyFrom(const DataFile& from, std::uint64_t size) const;
    // A C stream on this file (fopen's `mode`, nothing truncated), for
    // libraries that read or write streams. It shares the file's locks and
    // holds them after Close until it is closed itself, which is the
    // caller's part. Null with errno set on failure.
    std::FILE* OpenStream(const char* mode) const;
    void Close();

    struct Info {
        std::uint64_t device = 0, inode = 0;
        std::int64_t size = 0;
        unsigned mode = 0; // permission bits
        unsigned owner = 0, group = 0;
        bool ownedByMe = false; // by this process's effective user
    };
    std::optional<Info> Describe() const;
    // Gives the file that owner (where this process may: an unprivileged
    // process may not give a file away, and then it stays its own) and
    // those permission bits. 0 or the errno value of setting the mode.
    int SetOwnerAndMode(const Info& from) const;

  private:
    int fd_ = -1;
};

// What DataFile::Describe tells, for the file a path names (links followed).
std::optional<DataFile::Info> DescribePath(const std::string& path);

// Deletes the file unless another open of it holds an advisory lock, as a
// file in use cannot be deleted on Windows. 0 or an errno value (EBUSY when
// it is locked).
int DeleteUnlockedFile(const std::string& path);

// The names of the entries of a folder (not "." and ".."), in no set order.
std::vector<std::string> FolderEntries(const std::string& folder);

// ---- Replacing a file whole -----------------------------------------------------

// A file replaced so that, whatever happens, its name holds either the old
// file or the complete new one, never a part: the new file is written under a
// hidden name beside it (".NAME.XXXXXX"), put on the disk, renamed over the old
// one, and the folder is put on the disk. The hidden file is created
// exclusively (a link planted under its name is never followed) and locked for
// as long as it is open, so RemoveLeftovers can tell a live writer's file from
// one that a writer killed part way left behind.
class Replacement {
  public:
    Replacement() = default;
    ~Replacement() { Abandon(); }
    Replacement(Replacement&& other) noexcept;
    Replacement& operator=(Replacement&& other) noexcept;
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    // Opens `file` read/write on a new hidden file beside `target`, with the
    // owner (where this process may) and permissions of the file `target`
    // names now (links followed), or `newPermissions` less the umask when
    // there is none. The target itself is replaced, a link at it included.
    // 0 or an errno value.
    int Begin(const std::string& target, DataFile& file, unsigned newPermissions = 0666);
    bool Active() const { return !temp_.empty(); }
    const std::string& Target() const { return target_; }
    const std::string& HiddenPath() const { return temp_; }
    // The hidden file takes the target's name and the folder is put on the
    // disk; the caller has synced the file (DataFile::Sync) before. With
    // `noReplace` a file that appeared under the name meanwhile stays and
    // the result is EEXIST. 0 or an errno value; after a failure the hidden
    // file is still there until Abandon.
    int MoveIntoPlace(bool noReplace = false);
    // Removes the hidden file of a replacement not moved into place.
    void Abandon();

  private:
    friend int MoveIntoPlaceTogether(const std::vector<std::pair<Replacement*, const DataFile*>>&);
    std::string target_, temp_;
};

// Moves several replacements into place with the least time between them:
// every file is synced first, then they are renamed one right after the
// other in the given order, then their folders are synced. Stops at the first
// failure: those before it are in place, the rest are not. 0 or an errno value.
int MoveIntoPlaceTogether(const std::vector<std::pair<Replacement*, const DataFile*>>& files);

// Removes the hidden files (".NAME.XXXXXX", NAME being the last component of
// `target`) that replacements of `target` killed part way left: those of this
// user that no live writer holds locked and that `belongs` (when given)
// accepts. Returns how many went.
int RemoveLeftovers(const std::string& target,
                    const std::function<bool(const DataFile&)>& belongs = {});

// ---- Setting a file aside ------------------------------------------------------

// A file moved out of the way, in one step, to a hidden name beside it
// (".NAME.old"), so that its name is free while the file is kept. It stays
// open and locked until the change that needed it ends: Discard() deletes it
// once a new file has taken its place (or none is to), Restore() puts it back.
// One that a process ended part way left behind (unlocked) goes back under
// its name at the next RecoverFolder, unless a new file took the name.
class SetAside {
  public:
    SetAside() = default;
    // A file neither discarded nor restored goes back, as after a crash.
    ~SetAside() { Restore(); }
    SetAside(SetAside&& other) noexcept;
    SetAside& operator=(SetAside&& other) noexcept;
    SetAside(const SetAside&) = delete;
    SetAside& operator=(const SetAside&) = delete;

    // 0 or an errno value (EWOULDBLOCK: another open of the file holds a
    // lock on it; then it stays where it is).
    int Begin(const std::string& path);
    bool Active() const { return file_.IsOpen(); }
    const std::string& Path() const { return path_; }
    // Deletes the file set aside.
    void Discard();
    // Puts the file back under its name, unless another file took it (then
    // the file set aside goes).
    void Restore();

  private:
    std::string path_, hidden_;
    DataFile file_;
};

// What processes that ended part way left in `folder` among the files whose
// names `ours` accepts: files they set aside (".NAME.old") go back under their
// names where the names are free and go otherwise; files they were writing to
// replace others (".NAME.XXXXXX") go. Files of other users and files that a
// live process holds locked stay.
// Where files replace a set together, the main one last (a table after its
// memo file), `partOf(name, main)` tells the set: when the main file set
// aside still has its name free, the set was never replaced whole, and its
// other files set aside go back over the new ones that took their names.
void RecoverFolder(
    const std::string& folder, const std::function<bool(const std::string& name)>& ours,
    const std::function<bool(const std::string& name, const std::string& main)>& partOf = {});

struct CalendarDate {
    int year, month, day;
};
// Today's date in the local time zone.
CalendarDate Today();

} // namespace platform
