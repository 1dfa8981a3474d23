// Writing Jet 4 files: a new database with its system tables, and tables
// added to (or dropped from) an existing one. Pages are appended; pages a
// dropped table leaves behind are marked free in the file's free-page map.
#pragma once

#include "engine/engine.h"
#include "engine/jet/jet_build.h"
#include "engine/jet/jet_file.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace engine::jet {

// The date a new database records as its creation (tests fix it).
struct CreateOptions {
    std::optional<double> creationDate;
};

// Writes a new, empty database to `path` (which must not exist).
void CreateEmptyDatabase(const std::string& path, const CreateOptions& options = {});
// The same into the empty file `file` (named `path` in messages).
void WriteEmptyDatabase(const platform::DataFile& file, const std::string& path,
                        const CreateOptions& options = {});

// Everything a writer must know about a file to change it.
class JetWriter {
  public:
    explicit JetWriter(JetFile& file);
    ~JetWriter();
    JetWriter(const JetWriter&) = delete;
    JetWriter& operator=(const JetWriter&) = delete;

    JetFile& File() { return file_; }

    // Checks that this writer can change the catalog (its indexes can be
    // read, the name can be indexed); raises the engine error that says why
    // not, before anything is written.
    void CheckCanAddTable(const std::string& name, std::size_t columns);
    void CheckCanDropTable(const CatalogEntry& table);

    // Creates an empty user table; returns its definition page.
    std::uint32_t AddTable(const std::string& name, const std::vector<Field>& fields);
    void DropTable(const CatalogEntry& table);

    // Appending rows to a table created by AddTable (or any user table
    // without indexes).
    class Appender;
    std::unique_ptr<Appender> OpenAppender(std::uint32_t tdefPage);

    // Adds one row, `byNumber` in column-number order, to a system table,
    // and its key to each index.
    void InsertCatalogRows(const TableInfo& table, const std::vector<Value>& byNumber);

    // Writes the free-page map and the pending pages.
    void Flush();

    std::uint32_t AllocatePage();
    void StorePage(std::uint32_t number, const Page& page);

  private:
    void LoadFreeMap();
    void WriteFreeMap();
    std::vector<std::uint32_t> AddUsageMapRows(const std::vector<std::vector<std::uint8_t>>& rows);
    std::vector<std::uint8_t> MapRow(const std::vector<std::uint32_t>& pages);
    // The entries of an index, and the pages its tree takes.
    struct IndexContent {
        std::vector<std::vector<std::uint8_t>> entries;
        std::vector<std::uint32_t> pages;
    };
    IndexContent ReadIndex(const TableInfo& table, const TableInfo::RealIndex& index);
    // Writes `entries` as the index's tree: its root stays where it is, its
    // other pages are reused, allocated or freed as the size asks, and its
    // page map follows.
    void WriteIndex(const TableInfo& table, const TableInfo::RealIndex& index,
                    IndexContent content);
    void RemoveCatalogRows(const TableInfo& table, const std::vector<std::uint32_t>& pointers);
    // The steps of AddTable: the catalog column that keeps a property block
    // too large for the row (raises when there is none), the definition with
    // its maps (returns its first page), the catalog row, and the
    // permissions the Tables container hands down to a new table.
    std::optional<std::uint16_t> PropertyColumn(std::size_t propertyBytes);
    std::uint32_t WriteDefinition(const std::vector<Field>& fields);
    void InsertTableRow(const std::string& name, std::int32_t id,
                        const std::vector<std::uint8_t>& properties,
                        std::optional<std::uint16_t> propertyColumn);
    void HandDownPermissions(std::int32_t id);
    // The steps of DropTable: the catalog and permission rows of object
    // `id`, and the map rows of a dropped table (pages they leave empty go
    // to `pages`).
    void RemoveObjectRows(std::int32_t id);
    void RemoveMapRows(const std::vector<std::uint32_t>& maps, std::vector<std::uint32_t>& pages);
    void RewriteUsageMap(std::uint32_t pointer, const std::vector<std::uint32_t>& pages);
    std::uint32_t InsertRow(const TableInfo& table, const std::vector<std::uint8_t>& row);
    void DeleteRow(std::uint32_t page, std::uint32_t row);
    void SetTableCounts(std::uint32_t tdefPage, std::int64_t rowDelta, std::int64_t indexDelta);
    void FreePage(std::uint32_t page);
    // A long value of a system table's row (a property block too large for
    // the catalog row) on long-value pages of its own, kept in the table's
    // map of `column` (which must exist); returns the reference the row
    // stores.
    std::vector<std::uint8_t> StoreSystemLongValue(const TableInfo& table, std::uint16_t column,
                                                   const std::vector<std::uint8_t>& bytes);
    // Deletes the long-value rows that the rows at `pointers` reference;
    // pages left without rows leave the table's maps and are free again.
    void ReleaseLongValues(const TableInfo& table, const std::vector<std::uint32_t>& pointers);

    JetFile& file_;
    std::vector<bool> freePages_; // pages known free (within the file)
    std::uint32_t nextPage_ = 0;
    std::uint32_t searchFrom_ = 3; // no free page lies below
    bool freeMapDirty_ = false;
};

class JetWriter::Appender {
  public:
    Appender(JetWriter& writer, TableInfo table);
    ~Appender();
    // `values` in column-number order, already of each column's type.
    void Add(const std::vector<Value>& values);
    // Writes the last pages, the usage maps and the row count.
    void Finish();

  private:
    std::uint32_t StoreLongValue(const std::vector<std::uint8_t>& bytes, std::size_t column,
                                 bool chained, std::uint32_t* pointerOut);
    void FlushDataPage();
    void FlushLvalPage(std::size_t column);

    JetWriter& writer_;
    TableInfo table_;
    std::vector<ColumnDef> byNumber_;
    std::vector<std::uint32_t> dataPages_;
    std::unique_ptr<DataPageBuilder> page_;
    std::uint32_t pageNumber_ = 0;
    std::uint32_t rows_ = 0;
    // Long-value pages per long-value column.
    std::map<std::size_t, std::vector<std::uint32_t>> lvalPages_;
    std::map<std::size_t, std::pair<std::uint32_t, std::unique_ptr<DataPageBuilder>>> lvalOpen_;
    std::vector<std::vector<std::uint8_t>> scratch_;
    bool finished_ = false;
};

} // namespace engine::jet
