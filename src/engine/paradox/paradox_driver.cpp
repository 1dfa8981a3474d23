#include "engine/paradox/paradox_driver.h"

#include "engine/convert.h"
#include "engine/paradox/paradox_format.h"
#include "platform/datafile.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>

namespace engine::paradox {

namespace {

using platform::DataFile;

std::string VersionName(std::uint8_t version) {
    return version >= 5 ? "Paradox 4.x" : "Paradox 3.x";
}

std::string Upper(std::string text) {
    return platform::UpperCaseName(text);
}

std::string Extension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : Upper(name.substr(dot + 1));
}

std::string Stem(const std::string& name) {
    return name.substr(0, name.rfind('.'));
}

[[noreturn]] void RaiseFileError(int err, const std::string& path, const std::string& doing) {
    switch (err) {
    case EWOULDBLOCK:
    case EBUSY:
        throw EngineError(errFileInUse,
                          "The table file '" + path + "' is in use by another writer.");
    case ENOENT:
        throw EngineError(errFileNotFound, "The table file '" + path + "' could not be found.");
    case ENOSPC:
    case EDQUOT:
    case EFBIG: // beyond the size a process may write
        throw EngineError(errNoSpace, "The disk holding '" + path + "' is full.");
    case EROFS:
        throw EngineError(errReadOnly, "The table file '" + path + "' can only be read.");
    case EIO:
        throw EngineError(errDiskIo, doing + " '" + path + "' failed: " + std::strerror(err) + ".");
    default:
        throw EngineError(errCannotOpenFile,
                          doing + " '" + path + "' failed: " + std::strerror(err) + ".");
    }
}

void Check(int err, const std::string& path, const std::string& doing) {
    if (err != 0) RaiseFileError(err, path, doing);
}

// How a table file is opened. Readers share the file; a writer has it to
// itself. A lock held elsewhere is reported at once, never waited for.
enum class Use {
    Read,    // an existing file, shared lock
    Write,   // an existing file, exclusive lock
    Replace, // created, or emptied once the exclusive lock is ours; a
             // symbolic link in the last component is refused
};

// 0 or an errno value (EWOULDBLOCK: locked elsewhere).
int OpenLocked(DataFile& file, const std::string& path, Use use) {
    const DataFile::Mode mode = use == Use::Read    ? DataFile::Mode::Read
                                : use == Use::Write ? DataFile::Mode::ReadWrite
                                                    : DataFile::Mode::CreateOrOpen;
    if (const int err = file.Open(path, mode); err != 0) return err;
    const auto lock = use == Use::Read ? DataFile::Lock::Shared : DataFile::Lock::Exclusive;
    int err = file.TryLock(lock) ? 0 : EWOULDBLOCK;
    if (err == 0 && use == Use::Replace) err = file.Truncate(0);
    if (err != 0) file.Close();
    return err;
}

class FileSource final : public Source {
  public:
    explicit FileSource(const DataFile& file) : file_(file) {}
    bool Read(void* buffer, std::size_t size, std::uint64_t offset) const override {
        return file_.ReadAt(offset, buffer, size) == static_cast<std::int64_t>(size);
    }
    std::uint64_t Size() const override {
        const std::int64_t size = file_.Size();
        return size < 0 ? 0 : std::uint64_t(size);
    }

  private:
    const DataFile& file_;
};

Header ReadHeader(const DataFile& file, const std::string& path) {
    FileSource source(file);
    std::vector<std::uint8_t> bytes(kHeaderProbe);
    if (!source.Read(bytes.data(), bytes.size(), 0)) {
        throw EngineError(errUnrecognizedFormat,
                          "'" + path + "' is not a Paradox 3.x or 4.x table the engine can read.");
    }
    const std::uint64_t fileSize = source.Size();
    const auto size = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max(HeaderSizeField(bytes.data()), bytes.size()), fileSize));
    bytes.resize(size);
    if (!source.Read(bytes.data(), size, 0)) {
        throw EngineError(errDiskIo, "Reading the table file '" + path + "' failed.");
    }
    return ParseHeader(bytes.data(), bytes.size(), fileSize, path);
}

// ---- Writing -----------------------------------------------------------------

// One table open for appending. Records fill a 4 KiB block in memory; a full
// block is written when the next record needs a new one, so each block is
// written once, with its link to the next. Small blobs fill a suballocated
// .MB block the same way. Memory stays the same whatever the table's size.
class TableWriter {
  public:
    // A new, empty table: its files are created (emptied) under our lock.
    // One `replacing` a table deleted in this session is written to hidden
    // files that take the table's name at Close().
    TableWriter(const std::string& dbPath, Header header, bool replacing)
        : path_(dbPath), header_(std::move(header)), replacing_(replacing) {
        Check(replacing_ ? dbReplacement_.Begin(path_, db_) : OpenLocked(db_, path_, Use::Replace),
              path_, "Creating");
        std::vector<std::uint8_t> bytes = BuildHeader(header_);
        Check(db_.WriteAt(0, bytes.data(), bytes.size()), path_, "Writing");
        mbPath_ = Stem(path_) + ".MB";
        if (header_.HasBlobs()) CreateBlobFile();
        Prepare();
    }

    // An existing table, to add records after its last one.
    explicit TableWriter(const std::string& dbPath) : path_(dbPath) {
        Check(OpenLocked(db_, path_, Use::Write), path_, "Opening");
        header_ = ReadHeader(db_, path_);
        if (header_.fileType != 2 || header_.lastBlock != header_.fileBlocks ||
            (header_.fileBlocks != 0 && header_.firstBlock != 1)) {
            throw EngineError(errOperationNotSupported,
                              "Records can only be added to a Paradox table without a primary "
                              "key whose blocks are in order; '" +
                                  path_ + "' is not one.");
        }
        mbPath_ = Stem(path_) + ".MB";
        Prepare();
        if (header_.fileBlocks > 0) {
            blockNumber_ = header_.fileBlocks;
            FileSource source(db_);
            if (!source.Read(block_.data(), block_.size(), header_.BlockOffset(blockNumber_))) {
                throw EngineError(errCorrupt, "The Paradox table '" + path_ + "' is damaged.");
            }
            const auto last = static_cast<std::int16_t>(GetLe16(block_.data() + 4));
            blockRecords_ = last < 0 ? 0 : last / header_.recordSize + 1;
        }
        if (header_.HasBlobs()) {
            const auto found = platform::ResolveExistingPath(mbPath_);
            if (!found) {
                CreateBlobFile();
            } else {
                mbPath_ = *found;
                Check(OpenLocked(mb_, mbPath_, Use::Write), mbPath_, "Opening");
                const std::int64_t size = mb_.Size();
                mbEnd_ = std::max<std::uint64_t>(kMbBlock, (std::uint64_t(size) + kMbBlock - 1) /
                                                               kMbBlock * kMbBlock);
            }
        }
    }

    const Header& header() const { return header_; }
    const DataFile& db() const { return db_; }
    const DataFile* mb() const { return mb_.IsOpen() ? &mb_ : nullptr; }
    const std::string& path() const { return path_; }
    bool replacing() const { return replacing_; }

    void Append(const std::vector<Value>& values) {
        std::fill(record_.begin(), record_.end(), 0);
        std::size_t at = 0;
        for (std::size_t i = 0; i < header_.fields.size(); ++i) {
            const FieldSpec& desc = header_.fields[i];
            if (i < values.size()) EncodeField(desc, values[i], record_.data() + at);
            at += static_cast<std::size_t>(StoredWidth(desc.code, desc.size));
        }
        if (blockNumber_ == 0 || blockRecords_ == header_.RecordsPerBlock()) StartBlock();
        std::memcpy(block_.data() + kBlockHead + std::size_t(blockRecords_) * header_.recordSize,
                    record_.data(), record_.size());
        ++blockRecords_;
        PutLe16(block_.data() + 4, std::uint32_t((blockRecords_ - 1) * header_.recordSize));
        ++header_.numRecords;
        dirty_ = true;
    }

    // Writes what is held in memory: the open block, the open .MB block and
    // the counts in the header. Appending may go on afterwards.
    void Flush() {
        if (!dirty_) return;
        if (blockNumber_ != 0) WriteBlock();
        if (subOffset_ != 0) WriteAt(mb_, mbPath_, sub_.data(), sub_.size(), subOffset_);
        std::uint8_t counts[kCountsEnd] = {};
        if (db_.ReadAt(0, counts, sizeof counts) < 0) RaiseFileError(errno, path_, "Reading");
        PutCounts(counts, header_);
        WriteAt(db_, path_, counts, sizeof counts, 0);
        dirty_ = false;
    }

    // A table written in place of a deleted one then takes its name, as much
    // of it as was written: nothing of a failed copy is undone. The .MB goes
    // first, then the table that refers to it, one right after the other;
    // the table's arrival completes the replacement (see RecoverFolder).
    void Close() {
        struct Release {
            TableWriter& w;
            ~Release() {
                w.db_.Close();
                w.mb_.Close();
            }
        } release{*this};
        std::optional<EngineError> failure;
        try {
            Flush();
        } catch (const EngineError& e) {
            failure = e;
        }
        if (dbReplacement_.Active()) {
            std::vector<std::pair<platform::Replacement*, const DataFile*>> moves;
            if (mbReplacement_.Active()) moves.emplace_back(&mbReplacement_, &mb_);
            moves.emplace_back(&dbReplacement_, &db_);
            if (const int err = platform::MoveIntoPlaceTogether(moves)) {
                try {
                    RaiseFileError(err, path_, "Writing");
                } catch (const EngineError& e) {
                    failure = e;
                }
            }
        }
        if (failure) throw *failure;
    }

  private:
    void Prepare() {
        block_.assign(std::size_t(header_.BlockSize()), 0);
        record_.assign(header_.recordSize, 0);
        sub_.assign(kMbBlock, 0);
    }

    void CreateBlobFile() {
        Check(replacing_ ? mbReplacement_.Begin(mbPath_, mb_)
                         : OpenLocked(mb_, mbPath_, Use::Replace),
              mbPath_, "Creating");
        std::vector<std::uint8_t> head(kMbBlock, 0);
        PutLe16(&head[1], 1); // one 4 KiB unit
        PutLe16(&head[3], 1); // modification count
        PutLe16(&head[0x0B], 0x1000);
        PutLe16(&head[0x0D], 0x1000);
        head[0x10] = 0x10; // suballocation chunk
        PutLe16(&head[0x11], kMbSubEntries);
        PutLe16(&head[0x13], kMbSubThreshold);
        WriteAt(mb_, mbPath_, head.data(), head.size(), 0);
        mbEnd_ = kMbBlock;
    }

    static void WriteAt(const DataFile& file, const std::string& path, const void* data,
                        std::size_t size, std::uint64_t offset) {
        Check(file.WriteAt(offset, data, size), path, "Writing");
    }

    void WriteBlock() {
        WriteAt(db_, path_, block_.data(), block_.size(), header_.BlockOffset(blockNumber_));
    }

    void StartBlock() {
        if (blockNumber_ >= kMaxBlocks) {
            throw EngineError(errFormatLimit,
                              "The Paradox table '" + path_ +
                                  "' is full: a table holds at most 65,535 blocks of 4,096 bytes "
                                  "(256 MB), and the record " +
                                  std::to_string(header_.numRecords + 1) + " would need more.");
        }
        if (blockNumber_ != 0) {
            PutLe16(block_.data(), std::uint32_t(blockNumber_ + 1));
            WriteBlock();
        }
        std::fill(block_.begin(), block_.end(), 0);
        PutLe16(block_.data() + 2, std::uint32_t(blockNumber_));
        ++blockNumber_;
        blockRecords_ = 0;
        header_.fileBlocks = header_.lastBlock = static_cast<std::uint16_t>(blockNumber_);
        header_.firstBlock = 1;
    }

    [[noreturn]] void RaiseOverflow(const FieldSpec& desc, const std::string& why) const {
        throw EngineError(errNumericOverflow, "The value cannot be stored in the field '" +
                                                  platform::Cp1252ToUtf8(desc.name) + "': " + why +
                                                  ".");
    }

    void EncodeField(const FieldSpec& desc, const Value& value, std::uint8_t* out) {
        if (IsNull(value)) return;
        switch (desc.code) {
        case pxAlpha: {
            std::string bytes = platform::Utf8ToCp1252(TextOf(value));
            // An alpha field ends at its first NUL: like a character the code
            // page cannot hold, a NUL becomes "?" rather than cutting the text.
            std::replace(bytes.begin(), bytes.end(), '\0', '?');
            if (bytes.size() > desc.size) {
                throw EngineError(errValueTooLong, "The text is too long for the field '" +
                                                       platform::Cp1252ToUtf8(desc.name) +
                                                       "', which holds at most " +
                                                       std::to_string(desc.size) + " characters.");
            }
            std::memcpy(out, bytes.data(), bytes.size());
            return;
        }
        case pxShort: {
            const std::int64_t v = WholeOf(value);
            if (v == INT16_MIN) RaiseOverflow(desc, "-32768 is the blank value of a short field");
            if (v < INT16_MIN || v > INT16_MAX) {
                RaiseOverflow(desc, std::to_string(v) + " is out of the range of a short field");
            }
            PutShort(out, static_cast<std::int16_t>(v));
            return;
        }
        case pxLong:
        case pxAutoInc: {
            const std::int64_t v = WholeOf(value);
            if (v <= INT32_MIN || v > INT32_MAX) {
                RaiseOverflow(desc, std::to_string(v) + " is out of the range of a long field");
            }
            PutLong(out, static_cast<std::int32_t>(v));
            return;
        }
        case pxNumber:
        case pxCurrency: {
            const double v = RealOf(value);
            if (!std::isfinite(v)) RaiseOverflow(desc, "it is not a finite number");
            PutDouble(out, v);
            return;
        }
        case pxDate:
            if (const auto* t = std::get_if<DateTime>(&value)) {
                PutLong(out, DateToDays(*t));
                return;
            }
            break;
        case pxLogical:
            if (const auto* b = std::get_if<bool>(&value)) {
                out[0] = *b ? 0x81 : 0x80;
                return;
            }
            break;
        case pxBytes: {
            const std::string bytes = BytesOf(value, false);
            if (bytes.size() > desc.size) {
                throw EngineError(errValueTooLong, "The value is too long for the field '" +
                                                       platform::Cp1252ToUtf8(desc.name) + "'.");
            }
            std::memcpy(out, bytes.data(), bytes.size());
            return;
        }
        default:
            WriteBlob(desc, BytesOf(value, desc.code == pxMemo || desc.code == pxFmtMemo), out);
            return;
        }
        throw EngineError(errConversion, "The value cannot be stored in the field '" +
                                             platform::Cp1252ToUtf8(desc.name) + "'.");
    }

    static std::string TextOf(const Value& value) {
        if (const auto* s = std::get_if<std::string>(&value)) return *s;
        throw EngineError(errConversion, "A text value was expected.");
    }
    static std::int64_t WholeOf(const Value& value) {
        if (const auto* i = std::get_if<std::int64_t>(&value)) return *i;
        if (const auto* b = std::get_if<bool>(&value)) return *b ? -1 : 0;
        throw EngineError(errConversion, "A whole number was expected.");
    }
    static double RealOf(const Value& value) {
        if (const auto* d = std::get_if<double>(&value)) return *d;
        if (const auto* c = std::get_if<Currency>(&value)) return CurrencyToDouble(*c);
        if (const auto* i = std::get_if<std::int64_t>(&value)) return double(*i);
        throw EngineError(errConversion, "A number was expected.");
    }
    static std::string BytesOf(const Value& value, bool text) {
        if (const auto* s = std::get_if<std::string>(&value)) {
            return text ? platform::Utf8ToCp1252(*s) : *s;
        }
        if (const auto* b = std::get_if<Blob>(&value)) return std::string(b->begin(), b->end());
        throw EngineError(errConversion, "A text or binary value was expected.");
    }

    // ---- .MB file ----

    std::uint64_t AllocateBlob(std::uint64_t size) {
        if (mbEnd_ > kMbMaxOffset || size > (std::uint64_t(1) << 32) - mbEnd_) {
            throw EngineError(errFormatLimit, "The blob file '" + mbPath_ +
                                                  "' is full: a Paradox .MB file can address at "
                                                  "most 4 GB.");
        }
        const std::uint64_t at = mbEnd_;
        mbEnd_ += size;
        return at;
    }

    void WriteBlob(const FieldSpec& desc, const std::string& data, std::uint8_t* out) {
        if (data.empty()) return; // blank, like Null
        const std::size_t leader = desc.size - kBlobReference;
        std::memcpy(out, data.data(), std::min(leader, data.size()));
        std::uint8_t* reference = out + leader;
        std::uint32_t pointer = 0;
        if (data.size() > leader) {
            pointer = data.size() < std::size_t(kMbSubThreshold) ? Suballocate(data)
                                                                 : WriteSingle(desc, data);
        }
        PutLe32(reference, pointer);
        PutLe32(reference + 4, static_cast<std::uint32_t>(data.size()));
        PutLe16(reference + 8, 1);
    }

    std::uint32_t WriteSingle(const FieldSpec& desc, const std::string& data) {
        if (data.size() > kMbMaxSingleBlob) {
            throw EngineError(errValueTooLong,
                              "The value is too long for the field '" +
                                  platform::Cp1252ToUtf8(desc.name) +
                                  "': a Paradox blob holds at most 268,431,351 bytes.");
        }
        const std::uint64_t units = (data.size() + kMbSingleHead + kMbBlock - 1) / kMbBlock;
        const std::uint64_t at = AllocateBlob(units * kMbBlock);
        std::uint8_t head[kMbSingleHead] = {2};
        PutLe16(head + 1, static_cast<std::uint32_t>(units));
        PutLe32(head + 3, static_cast<std::uint32_t>(data.size()));
        PutLe16(head + 7, 1);
        WriteAt(mb_, mbPath_, head, sizeof head, at);
        WriteAt(mb_, mbPath_, data.data(), data.size(), at + kMbSingleHead);
        const std::size_t used = kMbSingleHead + data.size();
        const std::vector<std::uint8_t> padding(units * kMbBlock - used, 0);
        if (!padding.empty()) WriteAt(mb_, mbPath_, padding.data(), padding.size(), at + used);
        return static_cast<std::uint32_t>(at) | 0xFF;
    }

    // Small blobs share a 4 KiB block: a pointer array (used from its last
    // entry down) and 16-byte chunks after it.
    std::uint32_t Suballocate(const std::string& data) {
        const int chunks = int((data.size() + 15) / 16);
        if (subOffset_ == 0 || subEntry_ < 0 || subChunk_ + chunks > kMbBlock / 16) {
            if (subOffset_ != 0) WriteAt(mb_, mbPath_, sub_.data(), sub_.size(), subOffset_);
            subOffset_ = AllocateBlob(kMbBlock);
            std::fill(sub_.begin(), sub_.end(), 0);
            sub_[0] = 3;
            PutLe16(&sub_[1], 1);
            subChunk_ = kMbSubFirstChunk;
            subEntry_ = kMbSubEntries - 1;
        }
        std::uint8_t* entry = &sub_[std::size_t(12 + subEntry_ * 5)];
        entry[0] = static_cast<std::uint8_t>(subChunk_);
        entry[1] = static_cast<std::uint8_t>(chunks);
        PutLe16(entry + 2, 1);
        entry[4] = static_cast<std::uint8_t>(data.size() - std::size_t(chunks - 1) * 16);
        std::memcpy(&sub_[std::size_t(subChunk_) * 16], data.data(), data.size());
        subChunk_ += chunks;
        const auto index = static_cast<std::uint32_t>(subEntry_--);
        return static_cast<std::uint32_t>(subOffset_) | index;
    }

    std::string path_, mbPath_;
    Header header_;
    DataFile db_, mb_;
    bool replacing_ = false;
    platform::Replacement dbReplacement_, mbReplacement_;
    std::vector<std::uint8_t> block_, record_, sub_;
    int blockNumber_ = 0;
    int blockRecords_ = 0;
    bool dirty_ = true;
    std::uint64_t mbEnd_ = 0;
    std::uint64_t subOffset_ = 0;
    int subChunk_ = 0;
    int subEntry_ = -1;
};

// ---- The folder and its tables -------------------------------------------------

// Shared by a database and its recordsets: the tables this database has open
// for writing, keyed by file path.
struct Folder {
    std::string path;
    std::uint8_t version = kVersion4;
    bool readOnly = false;
    bool closed = false;
    std::map<std::string, std::unique_ptr<TableWriter>> writers;
    // The files of tables deleted in this session, by upper-case name.
    std::map<std::string, std::vector<platform::SetAside>> setAside;

    void CheckOpen() const {
        if (closed) {
            throw EngineError(errObjectClosed,
                              "The object has been closed and can no longer be used.");
        }
    }

    std::string NewTablePath(const std::string& name) const {
        const bool slash = !path.empty() && path.back() == '/';
        return path + (slash ? "" : "/") + name + ".DB";
    }

    // The table's file, found by name whatever its case.
    std::optional<std::string> TablePath(const std::string& name) const {
        // A table written in place of a deleted one has no file of its own yet.
        if (const auto it = writers.find(NewTablePath(name));
            it != writers.end() && it->second->replacing())
            return it->first;
        auto found = platform::ResolveExistingPath(NewTablePath(name));
        if (found && platform::IsOrdinaryFile(*found)) return found;
        return std::nullopt;
    }

    TableWriter* OpenWriter(const std::string& file) {
        if (auto it = writers.find(file); it != writers.end()) return it->second.get();
        if (readOnly) {
            throw EngineError(errReadOnly, "The table file '" + file + "' was opened read-only.");
        }
        auto writer = std::make_unique<TableWriter>(file);
        return writers.emplace(file, std::move(writer)).first->second.get();
    }

    TableWriter* FindWriter(const std::string& file) {
        const auto it = writers.find(file);
        return it == writers.end() ? nullptr : it->second.get();
    }

    void CloseWriter(const std::string& file) {
        const auto it = writers.find(file);
        if (it == writers.end()) return;
        std::unique_ptr<TableWriter> writer = std::move(it->second);
        writers.erase(it);
        if (!writer->replacing()) return writer->Close();
        // The deleted table's files go once the new one has taken the name,
        // and come back if it could not.
        const std::string key = Upper(Stem(writer->path().substr(writer->path().rfind('/') + 1)));
        try {
            writer->Close();
        } catch (const EngineError&) {
            if (!platform::IsOrdinaryFile(writer->path())) {
                for (platform::SetAside& old : setAside[key])
                    old.Restore();
            }
            throw;
        }
    }

    // A table written in place of a deleted one is given up with its hidden
    // files. False when there is none.
    bool DropWriter(const std::string& file) {
        const auto it = writers.find(file);
        if (it == writers.end() || !it->second->replacing()) return false;
        writers.erase(it);
        return true;
    }

    void CloseAll() {
        closed = true;
        std::optional<EngineError> first;
        while (!writers.empty()) {
            try {
                CloseWriter(writers.begin()->first);
            } catch (const EngineError& e) {
                if (!first) first = e;
            }
        }
        // The deleted tables' files go for good.
        for (auto& [key, files] : setAside) {
            for (platform::SetAside& old : files)
                old.Discard();
        }
        setAside.clear();
        if (first) throw *first;
    }
};

void CheckTableName(const std::string& name) {
    const bool bad = name.empty() || name == "." || name == ".." ||
                     std::any_of(name.begin(), name.end(), [](char c) {
                         return c == '/' || static_cast<unsigned char>(c) < 0x20;
                     });
    if (bad) throw EngineError(errInvalidName, "'" + name + "' is not a valid table name.");
}

FieldSpec SpecFor(const Field& field, std::uint8_t version) {
    FieldSpec desc;
    switch (field.Type) {
    case dbBoolean:
    case dbByte:
    case dbInteger:
        desc.code = pxShort;
        desc.size = 2;
        break;
    case dbLong:
    case dbSingle:
    case dbDouble:
        desc.code = pxNumber;
        desc.size = 8;
        break;
    case dbCurrency:
        desc.code = pxCurrency;
        desc.size = 8;
        break;
    case dbDate:
        desc.code = pxDate;
        desc.size = 4;
        break;
    case dbText:
        desc.code = pxAlpha;
        desc.size = static_cast<std::uint8_t>(std::clamp(field.Size, 1, 255));
        break;
    case dbGUID:
        desc.code = pxAlpha;
        desc.size = 38;
        break;
    case dbMemo:
    case dbBinary:
    case dbLongBinary:
        if (version < 5) {
            throw EngineError(errInvalidFieldType,
                              "The field '" + field.Name + "' is a " +
                                  (field.Type == dbMemo ? "Memo" : "Binary") +
                                  " field, which a Paradox 3.x table cannot hold (Paradox 4.x "
                                  "tables can).");
        }
        desc.code = field.Type == dbMemo ? pxMemo : pxBlob;
        desc.size = field.Type == dbMemo ? kMemoFieldSize : kBinaryFieldSize;
        break;
    default:
        throw EngineError(errInvalidFieldType, "The field '" + field.Name + "' has a type (" +
                                                   std::to_string(field.Type) + ") that " +
                                                   VersionName(version) + " tables cannot hold.");
    }
    return desc;
}

// Files that belong to a table besides its .DB: blobs, the primary index,
// validity checks, view settings, secondary indexes.
const std::vector<SideFile>& Companions() {
    using Role = SideFile::Role;
    static const std::vector<SideFile> files{
        {Role::Memo, ".MB"},  {Role::Index, ".PX"},  {Role::Index, ".VAL"},
        {Role::Index, ".TV"}, {Role::Index, ".X??"}, {Role::Index, ".Y??"},
    };
    return files;
}

bool IsCompanion(const std::string& entry, const std::string& table) {
    return std::any_of(Companions().begin(), Companions().end(),
                       [&](const SideFile& side) { return side.Matches(entry, table + ".DB"); });
}

// Whether a file name is that of a table or one of its companions.
bool IsTableFileName(const std::string& name) {
    return Extension(name) == "DB" || IsCompanion(name, Stem(name));
}

// Whether `name` is a companion of the table file `table`.
bool IsCompanionOf(const std::string& name, const std::string& table) {
    return Extension(table) == "DB" && IsCompanion(name, Stem(table));
}

std::string InFolder(const std::string& folder, const std::string& entry) {
    return folder + (!folder.empty() && folder.back() == '/' ? "" : "/") + entry;
}

void DeleteCompanions(const std::string& folder, const std::string& table) {
    for (const std::string& entry : platform::FolderEntries(folder)) {
        if (IsCompanion(entry, table)) platform::DeleteUnlockedFile(InFolder(folder, entry));
    }
}

// The companions move aside with a deleted table; one that another program
// holds locked stays, as it would not be deleted either.
void SetAsideCompanions(const std::string& folder, const std::string& table,
                        std::vector<platform::SetAside>& kept) {
    for (const std::string& entry : platform::FolderEntries(folder)) {
        if (!IsCompanion(entry, table)) continue;
        platform::SetAside old;
        const int err = old.Begin(InFolder(folder, entry));
        if (err == EACCES || err == EPERM) platform::DeleteUnlockedFile(InFolder(folder, entry));
        if (old.Active()) kept.push_back(std::move(old));
    }
}

// ---- Recordset -------------------------------------------------------------------

class ParadoxRecordset final : public Recordset {
  public:
    ParadoxRecordset(std::shared_ptr<Folder> folder, std::string file, std::vector<Field> fields)
        : Recordset(std::move(fields)), folder_(std::move(folder)), file_(std::move(file)) {}
    ~ParadoxRecordset() override {
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
        Start();
        onRecord_ = reader_->First();
        if (!onRecord_) RaiseNoRecord();
    }
    void MoveNext() override {
        Start();
        if (!onRecord_) RaiseNoRecord();
        onRecord_ = reader_->Next();
    }
    Value GetValue(int index) override {
        Start();
        FieldInfo(index);
        if (!onRecord_) RaiseNoRecord();
        return reader_->Get(index);
    }
    void Close() override {
        if (closed_) return;
        closed_ = true;
        reader_.reset();
        file_source_.reset();
        blob_source_.reset();
        own_.Close();
        ownBlobs_.Close();
        // The rows added through this recordset are on disk once it closes.
        if (!folder_->closed) {
            if (TableWriter* writer = folder_->FindWriter(file_)) writer->Flush();
        }
    }

  protected:
    void InsertRecord(const std::vector<Value>& values) override {
        CheckOpen();
        if (own_.IsOpen()) {
            throw EngineError(errFileInUse, "The table file '" + file_ +
                                                "' is being read by this recordset and cannot be "
                                                "written by it.");
        }
        folder_->OpenWriter(file_)->Append(values);
    }

  private:
    void CheckOpen() const {
        if (closed_) {
            throw EngineError(errObjectClosed,
                              "The object has been closed and can no longer be used.");
        }
        folder_->CheckOpen();
    }

    [[noreturn]] static void RaiseNoRecord() {
        throw EngineError(errNoCurrentRecord, "There is no current record.");
    }

    // Reading starts at the first reading call. A table this database is
    // writing is read through the writer's own files (after writing out what
    // it holds); any other under a shared lock of our own.
    void Start() {
        CheckOpen();
        if (reader_) return;
        const DataFile* db = nullptr;
        const DataFile* mb = nullptr;
        if (TableWriter* writer = folder_->FindWriter(file_)) {
            writer->Flush();
            db = &writer->db();
            mb = writer->mb();
        } else {
            Check(OpenLocked(own_, file_, Use::Read), file_, "Opening");
            db = &own_;
        }
        header_ = ReadHeader(*db, file_);
        if (mb == nullptr && header_.HasBlobs()) {
            if (auto found = platform::ResolveExistingPath(Stem(file_) + ".MB")) {
                if (OpenLocked(ownBlobs_, *found, Use::Read) == 0) mb = &ownBlobs_;
            }
        }
        file_source_ = std::make_unique<FileSource>(*db);
        if (mb != nullptr) blob_source_ = std::make_unique<FileSource>(*mb);
        reader_ = std::make_unique<RecordReader>(*file_source_, blob_source_.get(), header_, file_);
        onRecord_ = reader_->First();
    }

    std::shared_ptr<Folder> folder_;
    std::string file_;
    DataFile own_, ownBlobs_;
    Header header_;
    std::unique_ptr<FileSource> file_source_, blob_source_;
    std::unique_ptr<RecordReader> reader_;
    bool onRecord_ = false;
    bool closed_ = false;
};

// ---- Database ------------------------------------------------------------------

class ParadoxDatabase final : public Database {
  public:
    explicit ParadoxDatabase(std::shared_ptr<Folder> folder)
        : Database(folder->path), folder_(std::move(folder)) {}
    ~ParadoxDatabase() override {
        try {
            Close();
        } catch (const EngineError&) {
        }
    }

    std::vector<std::string> TableNames() override {
        folder_->CheckOpen();
        std::vector<std::string> names;
        for (const std::string& name : platform::FolderEntries(folder_->path)) {
            if (Extension(name) == "DB" &&
                platform::IsOrdinaryFile(InFolder(folder_->path, name))) {
                names.push_back(Stem(name));
            }
        }
        // A table written in place of a deleted one has no file of its own yet.
        for (const auto& [file, writer] : folder_->writers) {
            if (writer->replacing()) names.push_back(Stem(file.substr(file.rfind('/') + 1)));
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TableDef TableDefs(const std::string& name) override {
        folder_->CheckOpen();
        CheckTableName(name);
        const auto file = folder_->TablePath(name);
        if (!file) RaiseNoSuchTable(name);
        return TableDef(Stem(std::filesystem::path(*file).filename().string()), FieldsOf(*file));
    }

    void DeleteTableDef(const std::string& name) override {
        folder_->CheckOpen();
        CheckTableName(name);
        const auto file = folder_->TablePath(name);
        if (!file) RaiseNoSuchTable(name);
        if (folder_->readOnly) {
            throw EngineError(errReadOnly, "The table '" + name + "' was opened read-only.");
        }
        // A table written in place of a deleted one goes with its hidden files.
        if (folder_->DropWriter(*file)) return;
        folder_->CloseWriter(*file);
        // The files move aside rather than go until the session ends, so
        // that a table written in their place replaces them whole: a session
        // that ends before leaves them to be put back (RecoverFolder).
        platform::SetAside table;
        int err = table.Begin(*file);
        if (err == EWOULDBLOCK) err = EBUSY;
        // One that cannot be opened to test its lock goes at once, as any other.
        if (err == EACCES || err == EPERM) err = platform::DeleteUnlockedFile(*file);
        if (err == ENOENT) RaiseNoSuchTable(name);
        Check(err, *file, "Deleting");
        auto& kept = folder_->setAside[Upper(name)];
        if (table.Active()) kept.push_back(std::move(table));
        SetAsideCompanions(folder_->path, Stem(std::filesystem::path(*file).filename().string()),
                           kept);
    }

    void AppendTableDef(const TableDef& def) override {
        folder_->CheckOpen();
        const std::string& name = def.Name();
        CheckTableName(name);
        if (folder_->readOnly) {
            throw EngineError(errReadOnly,
                              "The folder '" + folder_->path + "' was opened read-only.");
        }
        if (def.FieldCount() == 0) {
            throw EngineError(errNoFields,
                              "The table '" + name + "' has no fields and cannot be created.");
        }
        if (def.FieldCount() > kMaxFields) {
            throw EngineError(errTooManyFields, "The table '" + name + "' has " +
                                                    std::to_string(def.FieldCount()) +
                                                    " fields; a Paradox table holds at most 255.");
        }
        if (folder_->TablePath(name)) {
            throw EngineError(errTableExists, "The table '" + name + "' already exists.");
        }
        Header header;
        header.version = folder_->version;
        header.tableName = platform::Utf8ToCp1252(name);
        std::vector<std::string> utf8Names;
        int recordSize = 0;
        for (const Field& field : def.AllFields()) {
            header.fields.push_back(SpecFor(field, folder_->version));
            recordSize += header.fields.back().size;
            utf8Names.push_back(field.Name);
        }
        if (recordSize > kBlockSize - kBlockHead) {
            throw EngineError(errRecordTooLarge, "A record of the table '" + name +
                                                     "' would take " + std::to_string(recordSize) +
                                                     " bytes; a Paradox record holds at "
                                                     "most " +
                                                     std::to_string(kBlockSize - kBlockHead) + ".");
        }
        const std::vector<std::string> stored = StoredFieldNames(utf8Names);
        for (std::size_t i = 0; i < stored.size(); ++i)
            header.fields[i].name = stored[i];
        // What an earlier table of this name left beside its .DB (indexes,
        // a .MB) would be taken for part of the new one.
        DeleteCompanions(folder_->path, name);
        const std::string file = folder_->NewTablePath(name);
        const bool replacing = folder_->setAside.count(Upper(name)) != 0;
        auto writer = std::make_unique<TableWriter>(file, std::move(header), replacing);
        folder_->writers.emplace(file, std::move(writer));
    }

    std::unique_ptr<Recordset> OpenRecordset(const std::string& table, int /*type*/) override {
        folder_->CheckOpen();
        CheckTableName(table);
        const auto file = folder_->TablePath(table);
        if (!file) {
            throw EngineError(errTableNotFound, "The table '" + table + "' could not be found.");
        }
        return std::make_unique<ParadoxRecordset>(folder_, *file, FieldsOf(*file));
    }

    void Close() override {
        if (!folder_ || folder_->closed) return;
        folder_->CloseAll();
    }

  private:
    [[noreturn]] static void RaiseNoSuchTable(const std::string& name) {
        throw EngineError(errItemNotFound, "There is no table named '" + name + "'.");
    }

    std::vector<Field> FieldsOf(const std::string& file) {
        Header header;
        if (TableWriter* writer = folder_->FindWriter(file)) {
            header = writer->header();
        } else {
            DataFile reading;
            Check(OpenLocked(reading, file, Use::Read), file, "Opening");
            header = ReadHeader(reading, file);
        }
        std::vector<Field> fields;
        for (const FieldSpec& desc : header.fields)
            fields.push_back(EngineField(desc));
        return fields;
    }

    std::shared_ptr<Folder> folder_;
};

class ParadoxDriver final : public Driver {
  public:
    std::vector<std::string> ConnectNames() const override {
        return {"Paradox 3.X", "Paradox 4.X"};
    }
    Kind DatabaseKind() const override { return Kind::Folder; }
    std::vector<std::string> FileExtensions() const override { return {"DB"}; }
    std::vector<SideFile> SideFiles() const override { return Companions(); }
    std::unique_ptr<Database> Open(const std::string& path, bool /*exclusive*/, bool readOnly,
                                   const std::string& connectName) override {
        // Tables are locked one by one as they are written, so an exclusive
        // open needs nothing more than a shared one.
        if (!platform::IsFolder(path)) {
            throw EngineError(errInvalidPath,
                              "'" + path + "' is not a valid path: no such folder.");
        }
        // What a session that ended part way left: tables set aside go back.
        if (!readOnly) platform::RecoverFolder(path, IsTableFileName, IsCompanionOf);
        auto folder = std::make_shared<Folder>();
        folder->path = path;
        folder->readOnly = readOnly;
        const bool three = Upper(connectName).find("3.") != std::string::npos;
        folder->version = three ? kVersion3 : kVersion4;
        return std::make_unique<ParadoxDatabase>(std::move(folder));
    }
};

} // namespace

std::unique_ptr<Driver> MakeDriver() {
    return std::make_unique<ParadoxDriver>();
}

} // namespace engine::paradox
