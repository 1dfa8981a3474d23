#include "engine/jet/jet_file.h"

#include "engine/convert.h"
#include "platform/datafile.h"
#include "platform/paths.h"
#include "platform/platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace engine::jet {

namespace {

constexpr std::size_t kCacheSlots = 64;
// Long values can be up to 1 GiB; a chain longer than the file is damaged.
constexpr std::size_t kMaxLongValue = std::size_t(1) << 30;

std::string Hex(std::uint32_t v) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%u", v);
    return buffer;
}

std::string GuidText(const std::uint8_t* p) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  Get32(p), Get16(p + 4), Get16(p + 6), p[8], p[9], p[10], p[11], p[12], p[13],
                  p[14], p[15]);
    return buffer;
}

double FloatFrom(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

double DoubleFrom(std::uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// A scaled decimal: sign byte, then four 32-bit words, the most significant first.
double NumericValue(const std::uint8_t* p, int scale) {
    double value = 0;
    for (int word = 0; word < 4; ++word)
        value = value * 4294967296.0 + Get32(p + 1 + 4 * word);
    value /= std::pow(10.0, scale);
    return (p[0] & 0x80) != 0 ? -value : value;
}

} // namespace

std::vector<const ColumnDef*> TableInfo::ByNumber() const {
    std::vector<const ColumnDef*> ordered;
    for (const ColumnDef& c : columns)
        ordered.push_back(&c);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const ColumnDef* a, const ColumnDef* b) { return a->number < b->number; });
    return ordered;
}

int TableInfo::ColumnIndex(std::string_view name) const {
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (columns[i].name == name) return static_cast<int>(i);
    }
    return -1;
}

bool CatalogEntry::IsUserTable() const {
    return type == kObjTable && (flags & kSystemObjectFlags) == 0;
}

void UnmaskHeader(Page& page) {
    Rc4(kHdrMaskKey, page.data() + kHdrMaskedStart, kHdrMaskedLength);
}

bool LooksLikeJet(const std::uint8_t* head, std::size_t size) {
    static const char kJet[] = "Standard Jet DB";
    static const char kAce[] = "Standard ACE DB";
    if (size < 4 + 15 || head[0] != 0 || head[1] != 1 || head[2] != 0 || head[3] != 0) return false;
    return std::memcmp(head + 4, kJet, 15) == 0 || std::memcmp(head + 4, kAce, 15) == 0;
}

// A copy never committed was given up (copy_ removes it): the old file stays
// as it was.
JetFile::~JetFile() = default;

void RaiseWriteError(int error, const std::string& path, const std::string& what) {
    if (error == ENOSPC || error == EFBIG || error == EDQUOT)
        throw EngineError(errNoSpace, "The disk holding '" + path + "' is full.");
    throw EngineError(errDiskIo, what + " failed: " + std::strerror(error) + ".");
}

std::string RealFile(const std::string& path) {
    return platform::RealPath(path);
}

void RemoveStaleCopies(const std::string& path, const std::string& keep) {
    const auto kept = platform::DescribePath(keep);
    platform::RemoveLeftovers(RealFile(path), [&](const platform::DataFile& copy) {
        const auto info = copy.Describe();
        if (!info || (kept && info->device == kept->device && info->inode == kept->inode))
            return false;
        std::uint8_t head[32]{};
        return copy.ReadAt(0, head, sizeof head) == static_cast<std::int64_t>(sizeof head) &&
               LooksLikeJet(head, sizeof head);
    });
}

void JetFile::WorkOnCopy() {
    if (copy_.Active() || !file_.IsOpen()) return;
    const auto info = file_.Describe();
    if (!info) RaiseWriteError(errno, path_, "Reading the database '" + path_ + "'");
    // A database reached through a link is replaced where it really is.
    const std::string target = platform::IsSymbolicLink(path_) ? RealFile(path_) : path_;
    platform::DataFile copy;
    platform::Replacement replacement;
    // The copy gets the owner too, where this process may give it (it may
    // not, unless privileged, and then the copy stays its own).
    if (const int err = replacement.Begin(target, copy))
        RaiseWriteError(err, target, "Making a working copy of the database '" + target + "'");
    if (const int err = copy.CopyFrom(file_, static_cast<std::uint64_t>(info->size)))
        RaiseWriteError(err, path_, "Copying the database '" + path_ + "'");
    file_ = std::move(copy);
    copy_ = std::move(replacement);
    fresh_ = false;
    DropCache();
}

std::unique_ptr<JetFile> JetFile::Adopt(platform::DataFile data,
                                        platform::Replacement replacement) {
    std::unique_ptr<JetFile> file(new JetFile);
    file->path_ = replacement.Target();
    file->file_ = std::move(data);
    file->copy_ = std::move(replacement);
    file->fresh_ = true;
    file->writable_ = true;
    const std::int64_t size = file->file_.Size();
    file->pageCount_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        static_cast<std::uint64_t>(std::max<std::int64_t>(size, 0)) / kPageSize, 0x00FFFFFF));
    file->CheckHeader();
    return file;
}

void JetFile::Commit() {
    if (!copy_.Active()) return;
    if (failure_) throw *failure_;
    // The copy is on the disk before it takes the old file's place: after a
    // crash there is always one whole database under the name. The new name
    // itself is made durable too.
    if (const int err = file_.Sync())
        RaiseWriteError(err, path_, "Writing the database '" + path_ + "'");
    // A file that appeared under a new database's name meanwhile is not
    // overwritten.
    const int err = copy_.MoveIntoPlace(fresh_);
    if (err == EEXIST && fresh_)
        throw EngineError(errDatabaseExists, "The database '" + path_ + "' already exists.");
    if (err != 0) RaiseWriteError(err, path_, "Replacing the database '" + path_ + "'");
}

void JetFile::Raise(const std::string& what) const {
    throw EngineError(errCorrupt, "The database '" + path_ + "' is damaged: " + what + ".");
}

std::unique_ptr<JetFile> JetFile::Open(const std::string& path, bool write) {
    using Mode = platform::DataFile::Mode;
    std::unique_ptr<JetFile> file(new JetFile);
    file->path_ = path;
    int error = file->file_.Open(path, write ? Mode::ReadWrite : Mode::Read);
    // A file we may not write can still be read.
    if (error != 0 && write && (error == EACCES || error == EROFS || error == EPERM))
        error = file->file_.Open(path, Mode::Read);
    else
        file->writable_ = write && error == 0;
    if (error == ENOENT) {
        throw EngineError(errFileNotFound, "The file '" + path + "' could not be found.");
    }
    if (error == EINVAL || (error == EISDIR && !write)) {
        throw EngineError(errCannotOpenFile, "The database '" + path + "' is not a regular file.");
    }
    if (error != 0) {
        throw EngineError(errCannotOpenFile, "The database '" + path + "' could not be opened: " +
                                                 std::strerror(error) + ".");
    }
    const std::int64_t size = file->file_.Size();
    if (size < 0) {
        throw EngineError(errCannotOpenFile, "The database '" + path + "' is not a regular file.");
    }
    file->pageCount_ = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(size) / kPageSize, 0x00FFFFFF));
    file->CheckHeader();
    return file;
}

std::unique_ptr<JetFile> JetFile::FromBytes(std::vector<std::uint8_t> bytes) {
    std::unique_ptr<JetFile> file(new JetFile);
    file->path_ = "(memory)";
    file->memory_ = std::move(bytes);
    file->pageCount_ = static_cast<std::uint32_t>(
        std::min<std::size_t>(file->memory_.size() / kPageSize, 0x00FFFFFF));
    file->CheckHeader();
    return file;
}

void JetFile::CheckHeader() {
    cache_.assign(kCacheSlots, Cached{});
    if (pageCount_ == 0) {
        throw EngineError(errUnrecognizedFormat,
                          "'" + path_ + "' is not a database file in a format the engine knows.");
    }
    Page page = ReadPage(0);
    if (!LooksLikeJet(page.data(), page.size())) {
        throw EngineError(errUnrecognizedFormat,
                          "'" + path_ + "' is not a database file in a format the engine knows.");
    }
    header_.version = Get32(page.data() + kHdrVersion);
    UnmaskHeader(page);
    header_.codePage = Get16(page.data() + kHdrCodePage);
    header_.databaseKey = Get32(page.data() + kHdrDatabaseKey);
    header_.sortOrder = Get32(page.data() + kHdrSortOrder);
    std::uint64_t dateBits = Get64(page.data() + kHdrCreationDate);
    header_.creationDate = DoubleFrom(dateBits);
    std::array<std::uint8_t, 4> mask{};
    if (std::isfinite(header_.creationDate) && std::fabs(header_.creationDate) < 2.0e9)
        Put32(mask.data(),
              static_cast<std::uint32_t>(static_cast<std::int32_t>(header_.creationDate)));
    for (std::size_t i = 0; i < kHdrPasswordLength; ++i) {
        if ((page[kHdrPassword + i] ^ mask[i % 4]) != 0) header_.hasPassword = true;
    }
}

const Page& JetFile::ReadPage(std::uint32_t number) {
    if (number >= pageCount_) Raise("page " + Hex(number) + " lies beyond the end of the file");
    Cached& slot = cache_[number % kCacheSlots];
    if (slot.number == number) return slot.page;
    if (!memory_.empty()) {
        std::memcpy(slot.page.data(), memory_.data() + std::size_t(number) * kPageSize, kPageSize);
    } else {
        const std::uint64_t at = std::uint64_t(number) * kPageSize;
        if (file_.ReadAt(at, slot.page.data(), kPageSize) != static_cast<std::int64_t>(kPageSize)) {
            slot.number = UINT32_MAX;
            throw EngineError(errDiskIo,
                              "Reading page " + Hex(number) + " of '" + path_ + "' failed.");
        }
    }
    slot.number = number;
    return slot.page;
}

void JetFile::NoteWritten(std::uint32_t number, const Page& page, std::uint32_t pageCount) {
    pageCount_ = std::max(pageCount_, pageCount);
    Cached& slot = cache_[number % kCacheSlots];
    slot.number = number;
    slot.page = page;
}

void JetFile::DropCache() {
    for (Cached& slot : cache_)
        slot.number = UINT32_MAX;
}

std::pair<std::size_t, std::size_t> JetFile::RowSpan(const Page& page, std::uint32_t pageNumber,
                                                     std::uint32_t row) {
    if (page[0] != pgData) Raise("page " + Hex(pageNumber) + " is not a data page");
    const std::uint32_t rows = Get16(page.data() + kDataRowCount);
    if (row >= rows || kDataRowTable + 2 * rows > kPageSize) {
        Raise("row " + Hex(row) + " of page " + Hex(pageNumber) + " does not exist");
    }
    const std::size_t start = Get16(page.data() + kDataRowTable + 2 * row) & kRowOffsetMask;
    const std::size_t end =
        row == 0 ? kPageSize
                 : (Get16(page.data() + kDataRowTable + 2 * (row - 1)) & kRowOffsetMask);
    if (start < kDataRowTable + 2 * rows || end > kPageSize || start > end) {
        Raise("row " + Hex(row) + " of page " + Hex(pageNumber) + " has a bad offset");
    }
    return {start, end};
}

std::vector<std::uint8_t> JetFile::RowBytes(std::uint32_t pageNumber, std::uint32_t row) {
    const Page& page = ReadPage(pageNumber);
    const auto [start, end] = RowSpan(page, pageNumber, row);
    return std::vector<std::uint8_t>(page.begin() + static_cast<std::ptrdiff_t>(start),
                                     page.begin() + static_cast<std::ptrdiff_t>(end));
}

std::optional<std::vector<std::uint8_t>> JetFile::ReadRow(std::uint32_t pageNumber,
                                                          std::uint32_t row) {
    // Only the row the table's pages list says whether it is deleted: a row
    // that outgrew its page leaves an overflow pointer there, and the row it
    // points to is marked deleted so that a scan does not meet it twice.
    std::uint32_t visited[kMaxOverflowHops]{};
    for (std::size_t hop = 0; hop < kMaxOverflowHops; ++hop) {
        const Page& page = ReadPage(pageNumber);
        const auto [start, end] = RowSpan(page, pageNumber, row);
        const std::uint16_t entry = Get16(page.data() + kDataRowTable + 2 * row);
        if (hop == 0 && (entry & kRowDeleted) != 0) return std::nullopt;
        if ((entry & kRowOverflow) == 0) {
            return std::vector<std::uint8_t>(page.begin() + static_cast<std::ptrdiff_t>(start),
                                             page.begin() + static_cast<std::ptrdiff_t>(end));
        }
        if (end - start < 4) Raise("an overflow row is too short");
        visited[hop] = RowPointer(pageNumber, row);
        const std::uint32_t pointer = Get32(page.data() + start);
        if (std::find(visited, visited + hop + 1, pointer) != visited + hop + 1)
            Raise("overflow rows point in a loop");
        pageNumber = pointer >> 8;
        row = pointer & 0xFF;
    }
    Raise("overflow rows point in a loop");
    return std::nullopt;
}

std::uint32_t MapPagePointer(std::uint32_t stored, std::uint32_t pageCount) {
    // Jet reads the pointer as a signed number; zero or less is no page,
    // and neither is a page past the end of the file.
    const auto number = static_cast<std::int32_t>(stored);
    if (number <= 0 || static_cast<std::uint32_t>(number) >= pageCount) return 0;
    return stored;
}

std::vector<std::uint32_t> JetFile::ReadUsageMap(std::uint32_t pointer) {
    // A map row is read whatever its flags say, as Jet reads it.
    const std::vector<std::uint8_t> map = RowBytes(pointer >> 8, pointer & 0xFF);
    if (map.empty()) Raise("a usage map is missing");
    std::vector<std::uint32_t> pages;
    // Bits for pages before the first or past the end of the file name no page.
    const auto addBits = [&](const std::uint8_t* bits, std::size_t size, std::int64_t first) {
        for (std::size_t i = 0; i < size; ++i) {
            if (bits[i] == 0) continue;
            for (int b = 0; b < 8; ++b) {
                if ((bits[i] >> b) & 1) {
                    const std::int64_t page = first + static_cast<std::int64_t>(i) * 8 + b;
                    if (page >= 0 && page < std::int64_t{pageCount_})
                        pages.push_back(static_cast<std::uint32_t>(page));
                }
            }
        }
    };
    if (map[0] == 0) {
        if (map.size() < 5) Raise("an inline usage map is too short");
        // The window of pages may start anywhere, even before page 0.
        addBits(map.data() + 5, map.size() - 5, static_cast<std::int32_t>(Get32(map.data() + 1)));
    } else if (map[0] == 1) {
        for (std::size_t i = 0; (1 + 4 * i + 4) <= map.size(); ++i) {
            const std::uint32_t mapPage = MapPagePointer(Get32(map.data() + 1 + 4 * i), pageCount_);
            if (mapPage == 0) continue;
            const Page& page = ReadPage(mapPage);
            if (page[0] != pgUsageMap) Raise("page " + Hex(mapPage) + " is not a usage map page");
            const Page copy = page;
            addBits(copy.data() + 4, kPageSize - 4, static_cast<std::int64_t>(i) * kMapPageBits);
        }
    } else {
        Raise("a usage map has an unknown form");
    }
    return pages;
}

std::vector<std::uint32_t> JetFile::MapPages(std::uint32_t pointer) {
    const std::vector<std::uint8_t> map = RowBytes(pointer >> 8, pointer & 0xFF);
    std::vector<std::uint32_t> pages;
    if (map.empty() || map[0] != 1) return pages;
    for (std::size_t i = 0; 1 + 4 * i + 4 <= map.size(); ++i) {
        if (const std::uint32_t p = MapPagePointer(Get32(map.data() + 1 + 4 * i), pageCount_))
            pages.push_back(p);
    }
    return pages;
}

namespace {

// A table definition's bytes read from the file: checked while read, and
// the pieces read into `t`. `at` is the offset reached.
struct DefinitionReader {
    JetFile& file;
    std::vector<std::uint8_t> def;
    std::size_t at = 0;

    void Need(std::size_t end) {
        if (end > def.size()) file.Raise("the definition of a table is cut short");
    }

    // The definition's pages, continuation pages without their headers.
    void Load(TableInfo& t) {
        std::uint32_t page = t.tdefPage;
        while (page != 0) {
            if (t.tdefPages.size() > 64 ||
                std::find(t.tdefPages.begin(), t.tdefPages.end(), page) != t.tdefPages.end()) {
                file.Raise("the definition of a table loops");
            }
            const Page& p = file.ReadPage(page);
            if (p[0] != pgTableDef) file.Raise("page " + Hex(page) + " is not a table definition");
            t.tdefPages.push_back(page);
            if (def.empty())
                def.assign(p.begin(), p.end());
            else
                def.insert(def.end(), p.begin() + 8, p.end());
            page = Get32(p.data() + kTdefNextPage);
        }
    }

    // The fixed block and the real indexes' row counts; returns the number
    // of columns.
    std::uint16_t ReadHeader(TableInfo& t) {
        Need(kTdefBlockEnd);
        const std::uint8_t* d = def.data();
        t.rowCount = Get32(d + kTdefRowCount);
        t.tableType = d[kTdefTableType];
        t.maxColumns = Get16(d + kTdefMaxColumns);
        t.varColumns = Get16(d + kTdefVarColumns);
        const std::uint16_t columnCount = Get16(d + kTdefColumns);
        t.logicalIndexes = Get32(d + kTdefLogicalIndexes);
        t.realIndexes = Get32(d + kTdefRealIndexes);
        t.usedPages = Get32(d + kTdefUsedPages);
        t.freePages = Get32(d + kTdefFreePages);
        if (t.realIndexes > 1000 || t.logicalIndexes > 1000)
            file.Raise("a table has too many indexes");
        at = kTdefBlockEnd;
        Need(at + kTdefRealIndexSize * t.realIndexes);
        t.indexes.resize(t.realIndexes);
        for (auto& index : t.indexes) {
            index.rowCount = Get32(d + at + 4);
            at += kTdefRealIndexSize;
        }
        return columnCount;
    }

    // The column descriptors, then their names.
    void ReadColumns(TableInfo& t, std::uint16_t columnCount) {
        Need(at + kTdefColumnSize * columnCount);
        const std::uint8_t* d = def.data();
        for (std::uint16_t i = 0; i < columnCount; ++i) {
            const std::uint8_t* c = d + at;
            ColumnDef col;
            col.type = c[0];
            col.number = Get16(c + 5);
            col.varIndex = Get16(c + 7);
            col.misc = Get16(c + 11);
            col.flags = c[15];
            col.extraFlags = c[16];
            col.fixedOffset = Get16(c + 21);
            col.length = Get16(c + 23);
            t.columns.push_back(col);
            at += kTdefColumnSize;
        }
        for (ColumnDef& col : t.columns) {
            Need(at + 2);
            const std::size_t length = Get16(d + at);
            Need(at + 2 + length);
            col.name16.clear();
            for (std::size_t k = 0; k + 1 < length; k += 2)
                col.name16.push_back(static_cast<char16_t>(Get16(d + at + 2 + k)));
            col.name = Utf16ToUtf8(col.name16);
            at += 2 + length;
        }
    }

    void ReadIndexes(TableInfo& t) {
        Need(at + kTdefRealIndexDefSize * t.realIndexes);
        for (auto& index : t.indexes) {
            const std::uint8_t* r = def.data() + at + 4;
            for (int k = 0; k < 10; ++k) {
                const std::uint16_t number = Get16(r + 3 * k);
                if (number == 0xFFFF) continue;
                index.columns.push_back(number);
                index.descending.push_back((r[3 * k + 2] & kIndexAscending) == 0);
            }
            index.usedPages = Get32(r + 30);
            index.firstPage = Get32(r + 34);
            index.flags = r[42];
            at += kTdefRealIndexDefSize;
        }
    }

    // Logical indexes and their names, then the long-value columns' maps. A
    // definition cut short here still describes its rows.
    void ReadLongValueMaps(TableInfo& t) {
        const std::uint8_t* d = def.data();
        if (at + kTdefLogicalIndexSize * t.logicalIndexes > def.size()) return;
        at += kTdefLogicalIndexSize * t.logicalIndexes;
        for (std::uint32_t i = 0; i < t.logicalIndexes; ++i) {
            if (at + 2 > def.size()) return;
            at += 2 + Get16(d + at);
        }
        while (at + 2 <= def.size() && Get16(d + at) != 0xFFFF) {
            if (at + 10 > def.size()) break;
            t.longValueMaps.emplace_back(Get16(d + at), Get32(d + at + 2), Get32(d + at + 6));
            at += 10;
        }
    }
};

} // namespace

TableInfo JetFile::ReadTable(std::uint32_t tdefPage) {
    TableInfo t;
    t.tdefPage = tdefPage;
    DefinitionReader reader{*this, {}, 0};
    reader.Load(t);
    const std::uint16_t columnCount = reader.ReadHeader(t);
    reader.ReadColumns(t, columnCount);
    reader.ReadIndexes(t);
    reader.ReadLongValueMaps(t);
    return t;
}

std::vector<std::uint8_t> JetFile::ReadLongValue(const std::uint8_t* ref, std::size_t size,
                                                 std::vector<std::uint32_t>* rows) {
    if (size < kLongValueHeader) Raise("a long value reference is too short");
    const std::uint32_t word = Get32(ref);
    const std::size_t length = word & kLongValueLengthMask;
    if ((word & kLongValueInline) != 0) {
        if (kLongValueHeader + length > size) Raise("an inline long value is cut short");
        return std::vector<std::uint8_t>(ref + kLongValueHeader, ref + kLongValueHeader + length);
    }
    if (length > kMaxLongValue || length > std::size_t(pageCount_) * kPageSize) {
        Raise("a long value is longer than the file");
    }
    std::uint32_t pointer = Get32(ref + 4);
    std::vector<std::uint8_t> value;
    value.reserve(length);
    if ((word & kLongValueSinglePage) != 0) {
        // Long-value rows are read whatever their flags say, as Jet reads them.
        const auto row = RowBytes(pointer >> 8, pointer & 0xFF);
        if (row.size() < length) Raise("a long value is missing");
        if (rows != nullptr) rows->push_back(pointer);
        value.assign(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(length));
        return value;
    }
    std::size_t hops = 0;
    while (value.size() < length) {
        if (pointer == 0 || ++hops > pageCount_) Raise("a long value chain is broken");
        const auto row = RowBytes(pointer >> 8, pointer & 0xFF);
        if (row.size() < 4) Raise("a long value chain is broken");
        if (rows != nullptr) rows->push_back(pointer);
        const std::size_t take = std::min(row.size() - 4, length - value.size());
        value.insert(value.end(), row.begin() + 4,
                     row.begin() + 4 + static_cast<std::ptrdiff_t>(take));
        pointer = Get32(row.data());
    }
    return value;
}

void JetFile::DecodeRow(const TableInfo& table, const std::uint8_t* row, std::size_t size,
                        std::vector<Value>& out) {
    out.assign(table.columns.size(), Null{});
    if (size < 2) Raise("a row is too short");
    const std::size_t columns = Get16(row);
    const std::size_t maskSize = (columns + 7) / 8;
    if (size < 2 + maskSize) Raise("a row is too short for its null mask");
    const std::uint8_t* mask = row + size - maskSize;
    const auto present = [&](std::size_t number) {
        return number < columns && ((mask[number / 8] >> (number % 8)) & 1) != 0;
    };
    // The variable-length part exists only when the table has such columns.
    std::size_t varCount = 0, varTable = 0, eod = 0;
    const bool hasVar = std::any_of(table.columns.begin(), table.columns.end(),
                                    [](const ColumnDef& c) { return !c.Fixed(); });
    if (hasVar) {
        if (size < 2 + maskSize + 2) Raise("a row is too short");
        const std::size_t varLenAt = size - maskSize - 2;
        varCount = Get16(row + varLenAt);
        if (varLenAt < 2 + 2 * varCount + 2) Raise("a row's variable-length table is too long");
        varTable = varLenAt - 2 * varCount; // entry i at varLenAt - 2*(i+1)
        eod = Get16(row + varTable - 2);
        if (eod > varTable - 2) Raise("a row's data end lies outside the row");
    }
    const auto varOffset = [&](std::size_t i) {
        return std::size_t(Get16(row + (size - maskSize - 2) - 2 * (i + 1)));
    };
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        const ColumnDef& c = table.columns[i];
        if (c.type == colBoolean) {
            out[i] = present(c.number);
            continue;
        }
        if (!present(c.number)) continue;
        const std::uint8_t* data = nullptr;
        std::size_t length = 0;
        if (c.Fixed()) {
            const std::size_t start = 2 + c.fixedOffset;
            length = c.length;
            if (start + length > size - maskSize)
                Raise("a fixed-length value lies outside its row");
            data = row + start;
        } else {
            if (c.varIndex >= varCount) continue;
            const std::size_t start = varOffset(c.varIndex);
            const std::size_t end =
                std::size_t(c.varIndex) + 1 < varCount ? varOffset(c.varIndex + 1) : eod;
            if (start > end || end > eod || start < 2)
                Raise("a variable-length value lies outside its row");
            data = row + start;
            length = end - start;
        }
        out[i] = DecodeColumn(c, data, length);
    }
}

Value JetFile::DecodeColumn(const ColumnDef& c, const std::uint8_t* data, std::size_t length) {
    const auto needLength = [&](std::size_t n) {
        if (length < n) Raise("a value is shorter than its type");
    };
    switch (c.type) {
    case colByte:
        needLength(1);
        return std::int64_t{data[0]};
    case colInteger:
        needLength(2);
        return std::int64_t{static_cast<std::int16_t>(Get16(data))};
    case colLong:
        needLength(4);
        return std::int64_t{static_cast<std::int32_t>(Get32(data))};
    case colCurrency:
        needLength(8);
        return Currency{static_cast<std::int64_t>(Get64(data))};
    case colSingle:
        needLength(4);
        return FloatFrom(Get32(data));
    case colDouble:
        needLength(8);
        return DoubleFrom(Get64(data));
    case colDateTime: {
        needLength(8);
        const auto date = SerialToDate(DoubleFrom(Get64(data)));
        if (date) return *date;
        return Null{}; // a serial no calendar date has
    }
    case colGuid:
        needLength(16);
        return GuidText(data);
    case colNumeric:
        needLength(17);
        return NumericValue(data, c.misc >> 8);
    case colText:
        return DecodeText(data, length);
    case colMemo: {
        const auto bytes = ReadLongValue(data, length);
        return DecodeText(bytes.data(), bytes.size());
    }
    case colOle:
        return ReadLongValue(data, length);
    default:
        return Blob(data, data + length);
    }
}

std::optional<std::vector<std::uint8_t>>
JetFile::StoredValue(const std::uint8_t* row, std::size_t size, const ColumnDef& column) {
    if (column.type == colBoolean) return std::nullopt;
    // The column alone, decoded as plain bytes. A variable-length column
    // reads the row's variable-length table as the whole table would.
    TableInfo alone;
    alone.columns = {column};
    alone.columns[0].type = colBinary;
    std::vector<Value> values;
    DecodeRow(alone, row, size, values);
    if (const auto* bytes = std::get_if<Blob>(&values[0])) return *bytes;
    return std::nullopt;
}

void JetFile::ScanRows(const TableInfo& table,
                       const std::function<bool(const std::uint8_t*, std::size_t)>& visit) {
    const std::vector<std::uint32_t> pages = ReadUsageMap(table.usedPages);
    for (const std::uint32_t number : pages) {
        const Page page = ReadPage(number);
        if (page[0] != pgData || Get32(page.data() + kDataOwner) != table.tdefPage) continue;
        const std::uint32_t rows = Get16(page.data() + kDataRowCount);
        if (kDataRowTable + 2 * rows > kPageSize) Raise("a data page has too many rows");
        for (std::uint32_t r = 0; r < rows; ++r) {
            const std::uint16_t entry = Get16(page.data() + kDataRowTable + 2 * r);
            if ((entry & kRowDeleted) != 0) continue;
            auto row = ReadRow(number, r);
            if (!row) continue;
            if (!visit(row->data(), row->size())) return;
        }
    }
}

std::optional<std::uint32_t> SystemTablePage(const std::vector<CatalogEntry>& catalog,
                                             std::string_view name) {
    for (const CatalogEntry& e : catalog) {
        if (e.parentId == kTablesContainerId && e.type == kObjTable && e.name == name)
            return e.TdefPage();
    }
    return std::nullopt;
}

std::vector<CatalogEntry> JetFile::ReadCatalog() {
    const TableInfo catalog = ReadTable(kCatalogPage);
    int id = -1, parent = -1, name = -1, type = -1, flags = -1, props = -1, owner = -1;
    for (std::size_t i = 0; i < catalog.columns.size(); ++i) {
        const std::string& n = catalog.columns[i].name;
        const int k = static_cast<int>(i);
        if (n == "Id") id = k;
        if (n == "ParentId") parent = k;
        if (n == "Name") name = k;
        if (n == "Type") type = k;
        if (n == "Flags") flags = k;
        if (n == "LvProp") props = k;
        if (n == "Owner") owner = k;
    }
    if (id < 0 || parent < 0 || name < 0 || type < 0 || flags < 0) {
        Raise("the catalog lacks one of its columns");
    }
    std::vector<CatalogEntry> entries;
    std::vector<Value> values;
    const auto number = [&](int k) -> std::int64_t {
        const auto* v = std::get_if<std::int64_t>(&values[static_cast<std::size_t>(k)]);
        return v != nullptr ? *v : 0;
    };
    ScanRows(catalog, [&](const std::uint8_t* row, std::size_t size) {
        DecodeRow(catalog, row, size, values);
        CatalogEntry e;
        e.id = static_cast<std::int32_t>(number(id));
        e.parentId = static_cast<std::int32_t>(number(parent));
        e.type = static_cast<std::int32_t>(number(type));
        e.flags = static_cast<std::uint32_t>(number(flags));
        if (const auto* s = std::get_if<std::string>(&values[static_cast<std::size_t>(name)]))
            e.name = *s;
        if (props >= 0) {
            if (auto* b = std::get_if<Blob>(&values[static_cast<std::size_t>(props)]))
                e.properties = std::move(*b);
        }
        if (owner >= 0) {
            if (auto* b = std::get_if<Blob>(&values[static_cast<std::size_t>(owner)]))
                e.owner = std::move(*b);
        }
        entries.push_back(std::move(e));
        return true;
    });
    return entries;
}

} // namespace engine::jet
