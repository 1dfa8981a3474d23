#include "engine/xbase/xbase_driver.h"

#include "engine/xbase/format.h"
#include "platform/datafile.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <optional>

namespace engine::xbase {

namespace {

using platform::DataFile;

bool EndsWithNoCase(const std::string& text, const std::string& suffix) {
    if (text.size() < suffix.size()) return false;
    return std::equal(suffix.begin(), suffix.end(), text.end() - std::ptrdiff_t(suffix.size()),
                      [](char a, char b) {
                          return std::toupper(static_cast<unsigned char>(a)) ==
                                 std::toupper(static_cast<unsigned char>(b));
                      });
}

// Memo files: dBASE's and FoxPro's.
const std::vector<SideFile>& MemoFiles() {
    static const std::vector<SideFile> files{{SideFile::Role::Memo, ".DBT"},
                                             {SideFile::Role::Memo, ".FPT"}};
    return files;
}

// Whether a file name is that of a table or memo file.
bool IsTableOrMemoName(const std::string& name) {
    if (EndsWithNoCase(name, ".DBF")) return true;
    return std::any_of(MemoFiles().begin(), MemoFiles().end(),
                       [&](const SideFile& side) { return EndsWithNoCase(name, side.suffix); });
}

// Whether `name` is a memo file of the table file `table`.
bool IsMemoOf(const std::string& name, const std::string& table) {
    return EndsWithNoCase(table, ".DBF") &&
           std::any_of(MemoFiles().begin(), MemoFiles().end(),
                       [&](const SideFile& side) { return side.Matches(name, table); });
}

// The writer's buffer is written out at whichever comes first.
constexpr std::uint32_t kFlushRecords = 10000;
constexpr std::size_t kFlushBytes = 4u << 20;

[[noreturn]] void RaiseFileError(int err, const std::string& path, const std::string& doing) {
    switch (err) {
    case ENOENT:
        throw EngineError(errFileNotFound, "The file '" + path + "' could not be found.");
    case ENOSPC:
    case EDQUOT:
    case EFBIG: // beyond the size a process may write
        throw EngineError(errNoSpace, "The disk holding '" + path + "' is full.");
    case EROFS:
        throw EngineError(errReadOnly, "The file '" + path + "' can only be read.");
    case EACCES:
    case EPERM:
    case EISDIR:
    case EINVAL:
    case ELOOP:
    case EMFILE:
    case ENFILE:
        throw EngineError(errCannotOpenFile,
                          doing + " '" + path + "' failed: " + std::strerror(err) + ".");
    default:
        throw EngineError(errDiskIo, doing + " '" + path + "' failed: " + std::strerror(err) + ".");
    }
}

[[noreturn]] void RaiseInUse(const std::string& path) {
    throw EngineError(errFileInUse, "The table '" + path + "' is in use by another user.");
}

[[noreturn]] void RaiseClosed() {
    throw EngineError(errObjectClosed, "The object has been closed and can no longer be used.");
}

[[noreturn]] void RaiseReadOnly(const std::string& folder) {
    throw EngineError(errReadOnly, "The database '" + folder + "' is opened read-only.");
}

// A table name becomes a file name: nothing in it may leave the folder.
void CheckTableName(const std::string& name) {
    const bool bad = name.empty() || name == "." || name == ".." ||
                     std::any_of(name.begin(), name.end(), [](char c) {
                         return c == '/' || static_cast<unsigned char>(c) < 0x20;
                     });
    if (bad) throw EngineError(errInvalidName, "'" + name + "' is not a valid table name.");
}

class FileSource final : public ByteSource {
  public:
    FileSource(const DataFile& file, std::string path) : file_(file), path_(std::move(path)) {}
    std::uint64_t Size() const override {
        const std::int64_t size = file_.Size();
        if (size < 0) RaiseFileError(errno, path_, "Reading");
        return static_cast<std::uint64_t>(size);
    }
    std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const override {
        const std::int64_t got = file_.ReadAt(offset, buffer, size);
        if (got < 0) RaiseFileError(errno, path_, "Reading");
        return static_cast<std::size_t>(got);
    }

  private:
    const DataFile& file_;
    std::string path_;
};

// One table file of an open database, with its memo file: opened once and
// shared by the database's recordsets on it. A table being written keeps its
// new records and memos in buffers until the next flush.
class TableFile : public MemoSink {
  public:
    std::string name; // as the database knows it
    std::string path, memoPath;
    DataFile file, memoFile;
    // A table written in place of one deleted in this session goes to hidden
    // files, which take the table's name when the session ends.
    platform::Replacement replacement, memoReplacement;
    MemoKind memoKind = MemoKind::None;
    bool writable = false;
    bool exclusive = false;
    // Set once records may be added: the table's layout and where they go.
    std::optional<TablePlan> plan;
    std::uint32_t headerLength = 0;

    ~TableFile() override = default;

    // Adds one record (buffered).
    void Append(const std::vector<Value>& values) {
        if (count_ == std::numeric_limits<std::uint32_t>::max()) {
            throw EngineError(errNoSpace, "The table '" + path + "' cannot hold more records.");
        }
        const auto length = static_cast<std::size_t>(plan->recordLength);
        const std::size_t at = records_.size();
        records_.resize(at + length, ' ');
        try {
            EncodeRecord(*plan, values, this, records_.data() + at);
        } catch (...) {
            records_.resize(at);
            throw;
        }
        ++count_;
        if (count_ - flushedCount_ >= kFlushRecords || records_.size() >= kFlushBytes ||
            memoBuffer_.size() >= kFlushBytes) {
            Flush();
        }
    }

    std::uint32_t Append(std::string_view text) override {
        const std::uint32_t blocks = AppendMemo(memoKind, text, memoBuffer_);
        if (blocks > std::numeric_limits<std::uint32_t>::max() - memoNext_) {
            memoBuffer_.resize(memoBuffer_.size() - std::size_t(blocks) * MemoBlockSize(memoKind));
            throw EngineError(errNoSpace, "The memo file '" + memoPath + "' is full.");
        }
        const std::uint32_t first = memoNext_;
        memoNext_ += blocks;
        return first;
    }

    // Starts a writer at the end of the records the file holds.
    void StartWriting(TablePlan layout, std::uint32_t records, std::uint32_t nextMemoBlock) {
        plan = std::move(layout);
        count_ = flushedCount_ = records;
        memoNext_ = memoFlushed_ = nextMemoBlock;
    }

    // Memos first, then the records that refer to them, then the count that
    // makes the records part of the table: a file cut short anywhere in
    // between still reads as a whole table.
    void Flush() {
        if (!plan) return;
        if (!memoBuffer_.empty()) {
            const std::uint64_t at = std::uint64_t(memoFlushed_) * MemoBlockSize(memoKind);
            Check(memoFile.WriteAt(at, memoBuffer_.data(), memoBuffer_.size()), memoPath);
            std::uint8_t next[4];
            EncodeNextBlock(memoKind, next, memoNext_);
            Check(memoFile.WriteAt(0, next, sizeof next), memoPath);
            memoFlushed_ = memoNext_;
            memoBuffer_.clear();
        }
        if (count_ != flushedCount_ || !headerCurrent_) {
            const std::uint64_t at =
                headerLength + std::uint64_t(flushedCount_) * std::uint64_t(plan->recordLength);
            records_.push_back(kEndOfFile);
            const int err = file.WriteAt(at, records_.data(), records_.size());
            records_.pop_back();
            Check(err, path);
            records_.clear();
            flushedCount_ = count_;
            WriteDateAndCount();
        }
    }

    // The header's date and count, as at closing.
    void WriteDateAndCount() {
        std::uint8_t bytes[8] = {};
        const platform::CalendarDate today = platform::Today();
        EncodeDateAndCount(bytes, flushedCount_, today.year, today.month, today.day);
        Check(file.WriteAt(1, bytes + 1, 7), path);
        headerCurrent_ = true;
    }

    void Release() {
        file.Close();
        memoFile.Close();
    }

  private:
    static void Check(int err, const std::string& where) {
        if (err != 0) RaiseFileError(err, where, "Writing");
    }

    std::vector<char> records_;
    std::vector<char> memoBuffer_;
    std::uint32_t count_ = 0, flushedCount_ = 0;
    std::uint32_t memoNext_ = 0, memoFlushed_ = 0;
    bool headerCurrent_ = false;
};

class XbaseRecordset;

class XbaseDatabase final : public Database {
  public:
    XbaseDatabase(std::string folder, Version version, bool exclusive, bool readOnly)
        : Database(folder), folder_(std::move(folder)), version_(version), exclusive_(exclusive),
          readOnly_(readOnly) {}
    ~XbaseDatabase() override {
        try {
            Close();
        } catch (const EngineError&) {
        }
    }

    std::vector<std::string> TableNames() override {
        CheckOpen();
        std::vector<std::string> names;
        for (const std::string& entry : platform::FolderEntries(folder_)) {
            if (entry.size() > 4 && EndsWithNoCase(entry, ".DBF") &&
                platform::IsOrdinaryFile(folder_ + entry)) {
                names.push_back(entry.substr(0, entry.size() - 4));
            }
        }
        // A table written in place of a deleted one has no file of its own yet.
        for (const auto& [key, table] : tables_) {
            if (table->replacement.Active()) names.push_back(table->name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TableDef TableDefs(const std::string& name) override {
        CheckOpen();
        CheckTableName(name);
        auto table = Table(name, errItemNotFound);
        return TableDef(table->name, FieldsFor(*table));
    }

    void DeleteTableDef(const std::string& name) override {
        CheckOpen();
        CheckTableName(name);
        if (readOnly_) RaiseReadOnly(folder_);
        // A table written in place of a deleted one goes with its hidden files.
        if (ForgetTable(name)) return;
        const auto path = platform::ResolveExistingPath(TablePath(name));
        if (!path || !platform::IsOrdinaryFile(*path)) {
            throw EngineError(errItemNotFound, "There is no table named '" + name + "'.");
        }
        DataFile file;
        if (const int err = file.Open(*path, DataFile::Mode::Read)) {
            RaiseFileError(err, *path, "Opening");
        }
        if (!file.TryLock(DataFile::Lock::Exclusive)) RaiseInUse(*path);
        file.Close();
        // The files move aside rather than go until the session ends, so
        // that a table written in their place replaces them whole: a session
        // that ends before leaves them to be put back (RecoverFolder).
        std::vector<platform::SetAside> moved; // put back if a later one fails
        for (const std::string& memo : MemoFilesOf(name))
            SetAsideOrDelete(memo, moved);
        SetAsideOrDelete(*path, moved);
        auto& kept = setAside_[platform::UpperCaseName(name)];
        for (platform::SetAside& old : moved)
            kept.push_back(std::move(old));
    }

    void AppendTableDef(const TableDef& def) override {
        CheckOpen();
        const std::string& name = def.Name();
        CheckTableName(name);
        if (readOnly_) RaiseReadOnly(folder_);
        if (def.FieldCount() == 0) {
            throw EngineError(errNoFields,
                              "The table '" + name + "' has no fields and cannot be created.");
        }
        const std::string path = TablePath(name);
        const std::string key = platform::UpperCaseName(name);
        if (platform::ResolveExistingPath(path) || tables_.count(key) != 0) RaiseExists(name);
        const bool replacing = setAside_.count(key) != 0;
        TablePlan plan = PlanTable(version_, def);

        auto table = std::make_shared<TableFile>();
        table->name = platform::UpperCaseName(name);
        table->path = path;
        table->writable = table->exclusive = true;
        // A memo file left beside a table that is gone belongs to no one; a
        // reader would take it for the new table's.
        DeleteMemoFiles(name);
        const int opened = replacing ? table->replacement.Begin(path, table->file)
                                     : table->file.Open(path, DataFile::Mode::CreateNew);
        if (opened != 0) {
            if (opened == EEXIST && !replacing) RaiseExists(name);
            RaiseFileError(opened, path, "Creating");
        }
        try {
            if (!table->file.TryLock(DataFile::Lock::Exclusive)) RaiseInUse(path);
            const platform::CalendarDate today = platform::Today();
            std::vector<std::uint8_t> header =
                EncodeHeader(plan, 0, today.year, today.month, today.day);
            table->headerLength = static_cast<std::uint32_t>(header.size());
            header.push_back(static_cast<std::uint8_t>(kEndOfFile));
            if (const int err = table->file.WriteAt(0, header.data(), header.size())) {
                RaiseFileError(err, path, "Writing");
            }
            std::uint32_t firstBlock = 0;
            if (plan.hasMemo) {
                table->memoKind = MemoKindOf(version_);
                firstBlock = CreateMemoFile(*table, name);
            }
            table->StartWriting(std::move(plan), 0, firstBlock);
        } catch (...) {
            table->Release();
            if (!replacing) {
                platform::DeleteFile(path);
                if (!table->memoPath.empty()) platform::DeleteFile(table->memoPath);
            }
            throw;
        }
        tables_[table->name] = table;
    }

    std::unique_ptr<Recordset> OpenRecordset(const std::string& name, int /*type*/) override;

    void Close() override {
        if (closed_) return;
        closed_ = true;
        DetachRecordsets();
        // Every table is written and released even when one of them fails.
        std::optional<EngineError> failure;
        for (auto& [key, table] : tables_) {
            try {
                if (table->plan) {
                    table->Flush();
                    table->WriteDateAndCount();
                }
            } catch (const EngineError& e) {
                if (!failure) failure = e;
            }
            // What was written replaces the deleted table, as much of it as
            // there is: nothing of a failed copy is undone.
            if (table->replacement.Active()) {
                try {
                    PutInPlace(*table);
                } catch (const EngineError& e) {
                    if (!failure) failure = e;
                    for (platform::SetAside& old : setAside_[key])
                        old.Restore();
                }
            }
            table->Release();
        }
        tables_.clear();
        // The deleted tables' files go for good.
        for (auto& [key, files] : setAside_) {
            for (platform::SetAside& old : files)
                old.Discard();
        }
        setAside_.clear();
        if (failure) throw *failure;
    }

    void Forget(XbaseRecordset* recordset) { std::erase(recordsets_, recordset); }

    // The table, opened (and locked) on first use.
    std::shared_ptr<TableFile> Table(const std::string& name, int missingError) {
        const std::string key = platform::UpperCaseName(name);
        if (auto found = tables_.find(key); found != tables_.end()) return found->second;
        const auto path = platform::ResolveExistingPath(TablePath(name));
        if (!path || !platform::IsOrdinaryFile(*path)) {
            throw EngineError(missingError, "The table '" + name + "' could not be found.");
        }
        auto table = std::make_shared<TableFile>();
        const std::string file = path->substr(path->find_last_of('/') + 1);
        table->name = file.substr(0, file.size() - 4);
        table->path = *path;
        int err = readOnly_ ? EACCES : table->file.Open(*path, DataFile::Mode::ReadWrite);
        table->writable = err == 0;
        if (err != 0) err = table->file.Open(*path, DataFile::Mode::Read);
        if (err != 0) RaiseFileError(err, *path, "Opening");
        table->exclusive = exclusive_;
        if (!table->file.TryLock(exclusive_ ? DataFile::Lock::Exclusive : DataFile::Lock::Shared))
            RaiseInUse(*path);
        OpenMemoFile(*table);
        tables_[key] = table;
        return table;
    }

    // Makes the table ready to take records: its layout, the end of its
    // records and of its memo file.
    void PrepareForWriting(TableFile& table) {
        if (table.plan) return;
        if (readOnly_ || !table.writable) RaiseReadOnly(table.path);
        if (!table.exclusive) {
            if (!table.file.TryLock(DataFile::Lock::Exclusive)) RaiseInUse(table.path);
            table.exclusive = true;
        }
        FileSource source(table.file, table.path);
        TableReader reader(source, nullptr, MemoKind::None);
        const TableHeader& header = reader.Header();
        TablePlan plan;
        plan.stored = header.fields;
        plan.fields = reader.Fields();
        plan.recordLength = static_cast<int>(header.recordLength);
        plan.hasMemo = std::any_of(header.fields.begin(), header.fields.end(),
                                   [](const StoredField& f) { return f.type == 'M'; });
        const bool writableTypes =
            std::all_of(header.fields.begin(), header.fields.end(), [](const StoredField& f) {
                return std::string_view("CNFLDM").find(f.type) != std::string_view::npos;
            });
        const bool knownVersion = header.version == 0x03 || header.version == 0x83 ||
                                  header.version == 0x8B || header.version == 0xF5;
        if (!writableTypes || !knownVersion || (plan.hasMemo && !table.memoFile.IsOpen())) {
            throw EngineError(errOperationNotSupported,
                              "Records cannot be added to the table '" + table.path +
                                  "': it is of a kind this driver only reads.");
        }
        std::uint32_t nextBlock = 0;
        if (plan.hasMemo) {
            std::uint8_t head[4] = {};
            if (table.memoFile.ReadAt(0, head, sizeof head) != sizeof head) {
                throw EngineError(errCorrupt, "The memo file '" + table.memoPath + "' is damaged.");
            }
            nextBlock = table.memoKind == MemoKind::FoxPro
                            ? std::uint32_t(head[0]) << 24 | std::uint32_t(head[1]) << 16 |
                                  std::uint32_t(head[2]) << 8 | head[3]
                            : std::uint32_t(head[0]) | std::uint32_t(head[1]) << 8 |
                                  std::uint32_t(head[2]) << 16 | std::uint32_t(head[3]) << 24;
            // Never write over what the file already holds.
            const std::uint64_t blockSize = MemoBlockSize(table.memoKind);
            const std::int64_t size = table.memoFile.Size();
            const std::uint64_t end =
                size < 0 ? 0 : (std::uint64_t(size) + blockSize - 1) / blockSize;
            nextBlock = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(std::max<std::uint64_t>(nextBlock, end),
                                        std::numeric_limits<std::uint32_t>::max()));
        }
        table.headerLength = header.headerLength;
        table.StartWriting(std::move(plan), static_cast<std::uint32_t>(reader.RecordCount()),
                           nextBlock);
    }

    static std::vector<Field> FieldsFor(const TableFile& table) {
        if (table.plan) return table.plan->fields;
        FileSource source(table.file, table.path);
        return TableReader(source, nullptr, MemoKind::None).Fields();
    }

    void CheckOpen() const {
        if (closed_) RaiseClosed();
    }

  private:
    std::string TablePath(const std::string& name) const {
        return folder_ + platform::UpperCaseName(name) + ".DBF";
    }

    [[noreturn]] static void RaiseExists(const std::string& name) {
        throw EngineError(errTableExists, "The table '" + name + "' already exists.");
    }

    // Forgets an open table (it is about to be deleted); its recordsets can
    // no longer be used. True when it was a table written in place of a
    // deleted one, which goes with its hidden files.
    bool ForgetTable(const std::string& name);
    void DetachRecordsets();

    // The memo files beside the table `name`, found in any case.
    std::vector<std::string> MemoFilesOf(const std::string& name) const {
        std::vector<std::string> memos;
        for (const SideFile& side : MemoFiles()) {
            const std::string wanted = folder_ + platform::UpperCaseName(name) + side.suffix;
            const auto found = platform::ResolveExistingPath(wanted);
            if (found && platform::IsOrdinaryFile(*found)) memos.push_back(*found);
        }
        return memos;
    }

    void DeleteMemoFiles(const std::string& name) {
        for (const std::string& memo : MemoFilesOf(name)) {
            const int err = platform::DeleteUnlockedFile(memo);
            if (err == EBUSY) RaiseInUse(memo);
            if (err != 0 && err != ENOENT) RaiseFileError(err, memo, "Deleting");
        }
    }

    // Moves a file of a deleted table aside; one that cannot be opened to
    // test its lock goes at once, as any other.
    static void SetAsideOrDelete(const std::string& path, std::vector<platform::SetAside>& kept) {
        platform::SetAside old;
        int err = old.Begin(path);
        if (err == EWOULDBLOCK) RaiseInUse(path);
        if (err == EACCES || err == EPERM) err = platform::DeleteFile(path);
        if (err != 0 && err != ENOENT) RaiseFileError(err, path, "Deleting");
        if (old.Active()) kept.push_back(std::move(old));
    }

    // The new table's files take the deleted table's name: the memo file
    // first, then the table that refers to it, one right after the other.
    // The table's arrival completes the replacement: a session killed between
    // the two leaves the old memo file set aside, and RecoverFolder puts it
    // back over the new one with the old table.
    static void PutInPlace(TableFile& table) {
        std::vector<std::pair<platform::Replacement*, const DataFile*>> moves;
        if (table.memoReplacement.Active())
            moves.emplace_back(&table.memoReplacement, &table.memoFile);
        moves.emplace_back(&table.replacement, &table.file);
        if (const int err = platform::MoveIntoPlaceTogether(moves))
            RaiseFileError(err, table.path, "Writing");
    }

    // Creates the new table's memo file; returns its first free block.
    std::uint32_t CreateMemoFile(TableFile& table, const std::string& name) {
        table.memoPath =
            folder_ + platform::UpperCaseName(name) + "." + MemoExtension(table.memoKind);
        const int opened = table.replacement.Active()
                               ? table.memoReplacement.Begin(table.memoPath, table.memoFile)
                               : table.memoFile.Open(table.memoPath, DataFile::Mode::CreateNew);
        if (const int err = opened) {
            const std::string path = table.memoPath;
            table.memoPath.clear(); // not ours to delete
            if (err == EEXIST) RaiseInUse(path);
            RaiseFileError(err, path, "Creating");
        }
        if (!table.memoFile.TryLock(DataFile::Lock::Exclusive)) RaiseInUse(table.memoPath);
        const std::uint32_t first = kMemoHeaderSize / MemoBlockSize(table.memoKind);
        const std::vector<std::uint8_t> header = EncodeMemoHeader(table.memoKind, first, name);
        if (const int err = table.memoFile.WriteAt(0, header.data(), header.size())) {
            RaiseFileError(err, table.memoPath, "Writing");
        }
        return first;
    }

    // The memo file of an existing table, when it has memo fields: its kind
    // follows from the version byte and from which file is there.
    void OpenMemoFile(TableFile& table) {
        std::uint8_t version = 0;
        if (table.file.ReadAt(0, &version, 1) != 1) return;
        const std::string base = table.path.substr(0, table.path.size() - 4);
        const auto fpt = platform::ResolveExistingPath(base + ".FPT");
        const auto dbt = platform::ResolveExistingPath(base + ".DBT");
        std::optional<std::string> memo;
        if (version == 0x83 && dbt) {
            memo = dbt, table.memoKind = MemoKind::Dbase3;
        } else if (version == 0x8B && dbt) {
            memo = dbt, table.memoKind = MemoKind::Dbase4;
        } else if (fpt) {
            memo = fpt, table.memoKind = MemoKind::FoxPro;
        } else if (dbt) {
            memo = dbt,
            table.memoKind = LooksLikeDbase4Memo(*dbt) ? MemoKind::Dbase4 : MemoKind::Dbase3;
        }
        if (!memo) return;
        int err = table.writable ? table.memoFile.Open(*memo, DataFile::Mode::ReadWrite) : EACCES;
        if (err != 0) err = table.memoFile.Open(*memo, DataFile::Mode::Read);
        if (err != 0) {
            table.memoKind = MemoKind::None;
            return;
        }
        table.memoPath = *memo;
    }

    static bool LooksLikeDbase4Memo(const std::string& path) {
        DataFile file;
        std::uint8_t head[4] = {};
        return file.Open(path, DataFile::Mode::Read) == 0 && file.ReadAt(512, head, 4) == 4 &&
               head[0] == 0xFF && head[1] == 0xFF && head[2] == 0x08 && head[3] == 0x00;
    }

    std::string folder_;
    Version version_;
    bool exclusive_, readOnly_;
    bool closed_ = false;
    std::map<std::string, std::shared_ptr<TableFile>> tables_;
    // The files of tables deleted in this session, by upper-case name.
    std::map<std::string, std::vector<platform::SetAside>> setAside_;
    std::vector<XbaseRecordset*> recordsets_;

    friend class XbaseRecordset;
};

class XbaseRecordset final : public Recordset {
  public:
    XbaseRecordset(XbaseDatabase* database, std::shared_ptr<TableFile> table,
                   std::vector<Field> fields)
        : Recordset(std::move(fields)), database_(database), table_(std::move(table)) {
        database_->recordsets_.push_back(this);
    }
    ~XbaseRecordset() override {
        try {
            Close();
        } catch (const EngineError&) {
        }
    }

    bool Eof() override {
        Start();
        return !onRecord_;
    }

    void MoveFirst() override {
        CheckOpen();
        reader_.reset();
        Start();
        if (!onRecord_) RaiseNoCurrentRecord();
    }

    void MoveNext() override {
        Start();
        if (!onRecord_) RaiseNoCurrentRecord();
        ++index_;
        Advance();
    }

    Value GetValue(int index) override {
        Start();
        FieldInfo(index);
        if (!onRecord_) RaiseNoCurrentRecord();
        return row_[static_cast<std::size_t>(index)];
    }

    void Close() override {
        if (!table_) return;
        std::shared_ptr<TableFile> table = std::move(table_);
        reader_.reset();
        source_.reset();
        memoSource_.reset();
        if (database_ != nullptr) database_->Forget(this);
        database_ = nullptr;
        // What was added is on disk once its recordset is closed.
        if (table->plan && table->file.IsOpen()) table->Flush();
    }

    // The database is closing or deleting the table under this recordset.
    void Detach() {
        reader_.reset();
        source_.reset();
        memoSource_.reset();
        table_.reset();
        database_ = nullptr;
    }

  protected:
    void InsertRecord(const std::vector<Value>& values) override {
        CheckOpen();
        database_->PrepareForWriting(*table_);
        table_->Append(values);
    }

  private:
    [[noreturn]] static void RaiseNoCurrentRecord() {
        throw EngineError(errNoCurrentRecord, "There is no current record.");
    }

    void CheckOpen() const {
        if (!table_) RaiseClosed();
    }

    // The scan begins at the first reading call and sees the records added
    // before it.
    void Start() {
        CheckOpen();
        if (reader_) return;
        table_->Flush();
        source_.emplace(table_->file, table_->path);
        if (table_->memoFile.IsOpen()) memoSource_.emplace(table_->memoFile, table_->memoPath);
        reader_.emplace(*source_, memoSource_ ? &*memoSource_ : nullptr, table_->memoKind);
        index_ = 0;
        Advance();
    }

    // To the next record that is not deleted.
    void Advance() {
        while (index_ < reader_->RecordCount()) {
            if (reader_->Read(index_, row_)) {
                onRecord_ = true;
                return;
            }
            ++index_;
        }
        onRecord_ = false;
    }

    XbaseDatabase* database_;
    std::shared_ptr<TableFile> table_;
    std::optional<FileSource> source_, memoSource_;
    std::optional<TableReader> reader_;
    std::uint64_t index_ = 0;
    std::vector<Value> row_;
    bool onRecord_ = false;

    friend class XbaseDatabase;
};

std::unique_ptr<Recordset> XbaseDatabase::OpenRecordset(const std::string& name, int /*type*/) {
    CheckOpen();
    CheckTableName(name);
    auto table = Table(name, errTableNotFound);
    return std::make_unique<XbaseRecordset>(this, table, FieldsFor(*table));
}

bool XbaseDatabase::ForgetTable(const std::string& name) {
    const auto found = tables_.find(platform::UpperCaseName(name));
    if (found == tables_.end()) return false;
    const std::shared_ptr<TableFile> table = found->second;
    for (XbaseRecordset* recordset : std::vector<XbaseRecordset*>(recordsets_)) {
        if (recordset->table_ == table) {
            recordset->Detach();
            std::erase(recordsets_, recordset);
        }
    }
    tables_.erase(found);
    table->Release();
    const bool replacing = table->replacement.Active();
    table->replacement.Abandon();
    table->memoReplacement.Abandon();
    return replacing;
}

void XbaseDatabase::DetachRecordsets() {
    for (XbaseRecordset* recordset : recordsets_)
        recordset->Detach();
    recordsets_.clear();
}

class XbaseDriver final : public Driver {
  public:
    std::vector<std::string> ConnectNames() const override {
        return {"Dbase III", "Dbase IV", "FoxPro 2.0", "FoxPro 2.5", "FoxPro 2.6"};
    }
    Kind DatabaseKind() const override { return Kind::Folder; }
    std::vector<std::string> FileExtensions() const override { return {"DBF"}; }
    std::vector<SideFile> SideFiles() const override { return MemoFiles(); }
    std::unique_ptr<Database> Open(const std::string& path, bool exclusive, bool readOnly,
                                   const std::string& connectName) override {
        const auto version = VersionNamed(connectName);
        if (!version) {
            throw EngineError(errNoDriver, "No driver is installed for the database format '" +
                                               connectName + "'.");
        }
        std::string folder = path.empty() ? std::string(".") : path;
        if (!platform::IsFolder(folder)) {
            throw EngineError(errInvalidPath,
                              "'" + path + "' is not a valid path: there is no such folder.");
        }
        if (folder.back() != platform::Separator) folder += platform::Separator;
        // What a session that ended part way left: tables set aside go back.
        if (!readOnly) platform::RecoverFolder(folder, IsTableOrMemoName, IsMemoOf);
        return std::make_unique<XbaseDatabase>(folder, *version, exclusive, readOnly);
    }
};

} // namespace

std::unique_ptr<Driver> MakeDriver() {
    return std::make_unique<XbaseDriver>();
}

} // namespace engine::xbase
