// Building the pieces of a Jet 4 file: table definitions, rows, data pages,
// usage maps and index entries. Pure functions over bytes; jet_writer puts
// the results into a file.
#pragma once

#include "engine/engine.h"
#include "engine/jet/jet_file.h"
#include "engine/jet/jet_format.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace engine::jet {

constexpr std::size_t kMaxRowSize = 4060;        // Jet's limit for one row
constexpr std::size_t kMaxRowsPerPage = 255;     // a row number is one byte
constexpr std::size_t kUsageMapRowSize = 69;     // type byte, start page, 64 map bytes
constexpr std::size_t kUsageMapPointers = 17;    // page pointers of the large form
constexpr std::size_t kInlineMapPages = 64 * 8;  // pages an inline map covers
constexpr std::size_t kLongValueInlineMax = 256; // longer memo / OLE values leave the row
constexpr std::size_t kLvalRowMax = kPageSize - kDataRowTable - 2;
constexpr std::size_t kLvalChunk = kLvalRowMax - 4; // a chained row starts with a pointer
constexpr std::uint32_t kTdefUnknown = 0x0659;      // a constant Jet writes beside definitions
constexpr std::uint16_t kGeneralSortOrder = 0x0409;
constexpr std::size_t kIndexEntriesStart = 0x1E0;
constexpr std::size_t kIndexMaskStart = 0x1B;

// The definition of a column to be written.
struct NewColumn {
    std::u16string name;
    std::uint8_t type = colText;
    std::uint16_t length = 0; // bytes
    std::uint8_t flags = 0;
    std::uint8_t extraFlags = 0;
};

// A usage map row for a set of pages: the inline form when every page lies
// within 512 pages of the first, otherwise nothing (the caller writes the
// large form, which needs map pages of its own).
std::optional<std::vector<std::uint8_t>> InlineUsageMap(const std::vector<std::uint32_t>& pages);
// The row of the large form, given its map pages (index i covers pages from
// i * kMapPageBits).
std::vector<std::uint8_t> ReferenceUsageMap(const std::vector<std::uint32_t>& mapPages);

// The General sort order key of a text as an ascending index stores it after
// its 0x7F flag: the primary codes, 0x01, the accent section, the section of
// hidden characters (apostrophes, hyphens, control characters) when there
// are any, and 0x00. Byte order of keys is the order of the texts. Nothing
// for a character whose code is not known here.
std::optional<std::vector<std::uint8_t>> GeneralTextKey(std::u16string_view text);
// Whether two object names are one name to the catalog's index: equal
// General sort keys (case ignored, of accented letters too: "Müller",
// "MÜLLER"); names without keys compare with ASCII case ignored.
bool SameName(std::string_view a, std::string_view b);
// Whether GeneralTextKey knows the character (every character Windows-1252
// holds).
bool HasGeneralSortCode(char16_t c);
// Full index key parts.
std::vector<std::uint8_t> LongKey(std::int32_t value);
std::optional<std::vector<std::uint8_t>> TextKey(std::u16string_view text);

// A table definition as the bytes of its pages (the first page's header
// included). `longValueMaps` holds per long-value column (in column order)
// the used and free map pointers.
struct TableShape {
    std::uint8_t tableType = kTableUser;
    std::uint32_t rowCount = 0;
    std::vector<NewColumn> columns; // in table (column number) order
    std::uint32_t usedPages = 0, freePages = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> longValueMaps;
    struct Index {
        std::u16string name;
        std::vector<std::uint16_t> columns;
        std::uint32_t usedPages = 0, firstPage = 0, rowCount = 0;
        std::uint8_t flags = 0;
        std::uint8_t kind = 0; // 1 = primary key
    };
    // Real and logical indexes coincide here.
    std::vector<Index> indexes;
    // Order in which logical index entries appear (index numbers).
    std::vector<std::size_t> logicalOrder;
};
// Stored descriptors (offsets and variable indexes filled in), in the order
// the definition lists them: sorted by name.
std::vector<ColumnDef> LayOutColumns(const std::vector<NewColumn>& columns);
std::vector<std::uint8_t> TableDefinitionBytes(const TableShape& shape);
// Splits definition bytes into pages (continuation pages get their own header);
// `pages` are the page numbers to use, as many as TableDefinitionPageCount says.
std::size_t TableDefinitionPageCount(std::size_t bytes);
std::vector<Page> TableDefinitionPages(const std::vector<std::uint8_t>& bytes,
                                       const std::vector<std::uint32_t>& pages);

// Encodes a row. `values` are in column-number order; long values are given
// already stored (their 12-byte reference plus inline bytes) as Blob.
std::vector<std::uint8_t> EncodeRow(const std::vector<ColumnDef>& columnsByNumber,
                                    const std::vector<const std::uint8_t*>& data,
                                    const std::vector<std::size_t>& sizes,
                                    const std::vector<char>& present);

// A data page being filled from scratch.
class DataPageBuilder {
  public:
    explicit DataPageBuilder(std::uint32_t owner);
    // From an existing page (rows are appended after its rows).
    explicit DataPageBuilder(const Page& page);
    bool Fits(std::size_t rowSize) const;
    // Returns the new row's number.
    std::uint32_t Add(const std::uint8_t* row, std::size_t size);
    std::uint32_t RowCount() const;
    std::size_t FreeSpace() const;
    const Page& Bytes() const { return page_; }
    void MarkDeleted(std::uint32_t row);

  private:
    Page page_{};
};

// An index leaf page holding `entries` (sorted); nothing if they do not fit.
std::optional<Page> IndexLeafPage(std::uint32_t tdefPage,
                                  const std::vector<std::vector<std::uint8_t>>& entries);
// The entries of a leaf page (without prefix compression support beyond
// applying the shared prefix).
std::vector<std::vector<std::uint8_t>> IndexLeafEntries(const Page& page);

// A table's property block (the catalog's LvProp) that sets AllowZeroLength
// on the named columns; and the columns a property block marks so.
std::vector<std::uint8_t> ZeroLengthProperties(const std::vector<std::u16string>& columns);
std::vector<std::u16string> ColumnsAllowingZeroLength(const std::vector<std::uint8_t>& block);

} // namespace engine::jet
