// Reading a Jet 4 database file: the header page, table definitions, usage
// maps, data rows and long values. Every byte comes from a file that another
// program may have written (or damaged), so every offset is checked against
// the page it points into; a damaged file raises EngineError 3049.
#pragma once

#include "engine/engine.h"
#include "engine/jet/jet_format.h"
#include "platform/datafile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace engine::jet {

struct HeaderInfo {
    std::uint32_t version = 0;
    std::uint16_t codePage = 0;
    std::uint32_t databaseKey = 0;
    std::uint32_t sortOrder = 0;
    double creationDate = 0;
    bool hasPassword = false;
};

struct ColumnDef {
    std::string name;
    std::u16string name16;
    std::uint8_t type = 0;
    std::uint16_t number = 0;      // position in the row's null mask
    std::uint16_t varIndex = 0;    // entry in the row's variable-length table
    std::uint16_t fixedOffset = 0; // offset among the fixed-length columns
    std::uint16_t length = 0;      // bytes (text: two per character)
    std::uint16_t misc = 0;        // sort order of text, precision/scale of numerics
    std::uint8_t flags = 0;
    std::uint8_t extraFlags = 0;
    bool Fixed() const { return (flags & kColFixed) != 0; }
};

struct TableInfo {
    std::uint32_t tdefPage = 0;
    std::vector<std::uint32_t> tdefPages;
    std::uint32_t rowCount = 0;
    std::uint8_t tableType = 0;
    std::uint16_t maxColumns = 0;
    std::uint16_t varColumns = 0;
    std::uint32_t logicalIndexes = 0;
    std::uint32_t realIndexes = 0;
    std::uint32_t usedPages = 0; // row pointers to the usage maps
    std::uint32_t freePages = 0;
    std::vector<ColumnDef> columns; // in stored order
    // Each real index: the pointer to its usage map and its first page.
    struct RealIndex {
        std::uint32_t rowCount = 0;
        std::uint32_t usedPages = 0;
        std::uint32_t firstPage = 0;
        std::vector<std::uint16_t> columns;
        std::vector<bool> descending; // per column: its keys sort downwards
        std::uint8_t flags = 0;
    };
    std::vector<RealIndex> indexes;
    // Per long-value column: its number and the pointers of the used and
    // free maps of its long-value pages.
    std::vector<std::tuple<std::uint16_t, std::uint32_t, std::uint32_t>> longValueMaps;
    // Columns ordered as the table shows them.
    std::vector<const ColumnDef*> ByNumber() const;
    // The stored position of the column named exactly `name`; -1 when none is.
    int ColumnIndex(std::string_view name) const;
};

// One catalog row of interest.
struct CatalogEntry {
    std::int32_t id = 0;
    std::int32_t parentId = 0;
    std::string name;
    std::int32_t type = 0;
    std::uint32_t flags = 0;
    std::vector<std::uint8_t> properties; // LvProp
    std::vector<std::uint8_t> owner;      // the owning account's identity
    bool IsUserTable() const;
    std::uint32_t TdefPage() const { return static_cast<std::uint32_t>(id) & 0x00FFFFFF; }
};

// The definition page of the system table `name` (MSysACEs,
// MSysRelationships), found by its catalog row: a new file keeps them on
// fixed pages, but a file another program compacted or rebuilt need not.
// Nothing when the catalog lists no such table.
std::optional<std::uint32_t> SystemTablePage(const std::vector<CatalogEntry>& catalog,
                                             std::string_view name);

class JetFile {
  public:
    // Opens and checks the header: 3343 when the file is not a Jet database,
    // 3051 when it cannot be opened, 3049 when the header is damaged.
    static std::unique_ptr<JetFile> Open(const std::string& path, bool write);
    // A new database written into `file`, the hidden file of `replacement`:
    // it takes the replacement's target name at Commit() and is called by
    // it from now on.
    static std::unique_ptr<JetFile> Adopt(platform::DataFile file,
                                          platform::Replacement replacement);
    // A file already in memory (the fuzz target and the checker's tests).
    static std::unique_ptr<JetFile> FromBytes(std::vector<std::uint8_t> bytes);
    ~JetFile();
    JetFile(const JetFile&) = delete;
    JetFile& operator=(const JetFile&) = delete;

    const HeaderInfo& Header() const { return header_; }
    const std::string& Path() const { return path_; }
    std::uint32_t PageCount() const { return pageCount_; }
    const platform::DataFile& Data() const { return file_; }
    bool Writable() const { return writable_; }

    // A page's bytes; 3049 beyond the end of the file.
    const Page& ReadPage(std::uint32_t number);
    // The bytes of row `row` on page `page` (data or long-value page),
    // following overflow pointers; nothing for a deleted row.
    std::optional<std::vector<std::uint8_t>> ReadRow(std::uint32_t page, std::uint32_t row);
    // The bytes a row's offset entry spans, its flags not looked at (usage
    // map and long-value rows).
    std::vector<std::uint8_t> RowBytes(std::uint32_t page, std::uint32_t row);
    // The pages a usage map (given by its row pointer) marks.
    std::vector<std::uint32_t> ReadUsageMap(std::uint32_t pointer);
    // The pages holding the bits of a usage map in its large form (none for
    // the inline form), pointers that name no page left out.
    std::vector<std::uint32_t> MapPages(std::uint32_t pointer);
    TableInfo ReadTable(std::uint32_t tdefPage);
    // Long value of a memo / OLE column, from its 12-byte reference; the
    // long-value rows it lies in go to `rows` (none for a value in the row).
    std::vector<std::uint8_t> ReadLongValue(const std::uint8_t* ref, std::size_t size,
                                            std::vector<std::uint32_t>* rows = nullptr);
    // The stored bytes of one column of a row (a memo's or OLE value's
    // reference rather than the value); nothing for Null.
    std::optional<std::vector<std::uint8_t>> StoredValue(const std::uint8_t* row, std::size_t size,
                                                         const ColumnDef& column);
    // Decodes the values of one row into `out`, one per column of `table`
    // in stored order.
    void DecodeRow(const TableInfo& table, const std::uint8_t* row, std::size_t size,
                   std::vector<Value>& out);
    // The value of column `c` from its `length` stored bytes at `data`.
    Value DecodeColumn(const ColumnDef& c, const std::uint8_t* data, std::size_t length);
    // Every row of a table, in page order and row order within the page.
    void ScanRows(const TableInfo& table,
                  const std::function<bool(const std::uint8_t*, std::size_t)>& visit);
    std::vector<CatalogEntry> ReadCatalog();

    // Forgets cached pages (after the file was written).
    void DropCache();
    // A page the writer has stored; `pageCount` is the file's new length.
    void NoteWritten(std::uint32_t number, const Page& page, std::uint32_t pageCount);
    void Raise(const std::string& what) const;

    // Crash safety: a database being changed is written as a copy beside
    // it, which replaces it only once it is complete, so that a crash or a
    // full disk leaves the old file as it was. From here on, reads and
    // writes go to the copy.
    void WorkOnCopy();
    const std::string& CopyPath() const { return copy_.HiddenPath(); }
    // Puts the copy on the disk and moves it to Path(); nothing without a copy.
    // After a failed write the copy is never used: Commit() raises that
    // failure again and the old file stays.
    void Commit();
    void NoteWriteFailed(const EngineError& failure) {
        if (!failure_) failure_ = failure;
    }

  private:
    JetFile() = default;
    void CheckHeader();
    // Where row `row` of `page` lies; 3049 when the page holds no such row.
    std::pair<std::size_t, std::size_t> RowSpan(const Page& page, std::uint32_t pageNumber,
                                                std::uint32_t row);

    std::string path_;
    platform::Replacement copy_; // the copy being written, until Commit()
    bool fresh_ = false;         // the copy is a new database, not a changed one
    std::optional<EngineError> failure_;
    platform::DataFile file_; // the copy once there is one
    bool writable_ = false;
    std::vector<std::uint8_t> memory_; // FromBytes
    std::uint32_t pageCount_ = 0;
    HeaderInfo header_;
    struct Cached {
        std::uint32_t number = UINT32_MAX;
        Page page{};
    };
    std::vector<Cached> cache_;
};

// Overflow pointers one row may pass through before it counts as a loop.
constexpr std::size_t kMaxOverflowHops = 8;

// A map page pointer of a usage map's large form; 0 for no page (a stored
// value that is zero, negative or past the end of a file of `pageCount` pages).
std::uint32_t MapPagePointer(std::uint32_t stored, std::uint32_t pageCount);

// 3026 for a full disk (or a file size limit) holding `path`, 3043 for
// other failures of `what`.
[[noreturn]] void RaiseWriteError(int error, const std::string& path, const std::string& what);
// The file a path names, links followed (the path itself when it names
// nothing yet).
std::string RealFile(const std::string& path);
// Removes the working copies (".NAME.XXXXXX" holding a Jet database, owned
// by this user) that writers stopped by force left beside the database
// `path`, except `keep`. Only a caller holding the database's lock file may
// do this: no other writer can be at work on it then.
void RemoveStaleCopies(const std::string& path, const std::string& keep);

// Decodes page 0's masked region in place.
void UnmaskHeader(Page& page);
// Whether the first bytes of a file say it is a Jet database of any version.
bool LooksLikeJet(const std::uint8_t* head, std::size_t size);

} // namespace engine::jet
