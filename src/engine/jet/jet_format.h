// Jet 4 (Access 2000 format) database files: the on-disk layout this driver
// reads and writes. Every multi-byte number is little-endian; a file is a
// sequence of 4 KiB pages whose first byte says what the page holds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace engine::jet {

constexpr std::size_t kPageSize = 4096;
using Page = std::array<std::uint8_t, kPageSize>;

// Page types (first byte of a page).
enum PageType : std::uint8_t {
    pgHeader = 0x00,
    pgData = 0x01,
    pgTableDef = 0x02,
    pgIndexNode = 0x03,
    pgIndexLeaf = 0x04,
    pgUsageMap = 0x05,
};

// Column type codes as the file stores them; they are also the engine's
// field type numbers.
enum ColumnType : std::uint8_t {
    colBoolean = 0x01,
    colByte = 0x02,
    colInteger = 0x03,
    colLong = 0x04,
    colCurrency = 0x05,
    colSingle = 0x06,
    colDouble = 0x07,
    colDateTime = 0x08,
    colBinary = 0x09,
    colText = 0x0A,
    colOle = 0x0B,
    colMemo = 0x0C,
    colGuid = 0x0F,
    colNumeric = 0x10,
};

// Header page (page 0).
constexpr std::size_t kHdrVersion = 0x14;     // 1 = Jet 4
constexpr std::size_t kHdrMaskedStart = 0x18; // RC4-masked region
constexpr std::size_t kHdrMaskedLength = 128;
constexpr std::uint32_t kHdrMaskKey = 0x6b39dac7;
constexpr std::size_t kHdrCodePage = 0x3C;
constexpr std::size_t kHdrDatabaseKey = 0x3E; // non-zero: pages are encrypted
constexpr std::size_t kHdrPassword = 0x42;    // 40 bytes, masked by the creation date
constexpr std::size_t kHdrPasswordLength = 40;
constexpr std::size_t kHdrSortOrder = 0x6E;
constexpr std::size_t kHdrCreationDate = 0x72;
constexpr std::uint8_t kJet4Version = 1;

// Data pages.
constexpr std::size_t kDataFreeSpace = 2;
constexpr std::size_t kDataOwner = 4;
constexpr std::size_t kDataRowCount = 12;
constexpr std::size_t kDataRowTable = 14;
constexpr std::uint16_t kRowDeleted = 0x8000;
constexpr std::uint16_t kRowOverflow = 0x4000;
constexpr std::uint16_t kRowOffsetMask = 0x1FFF;
// Long-value pages carry this in place of the owning table's page.
constexpr std::uint32_t kLvalMarker = 0x4C41564C; // "LVAL"

// Table definition pages.
constexpr std::size_t kTdefNextPage = 4;
constexpr std::size_t kTdefLength = 8;
constexpr std::size_t kTdefRowCount = 16;
constexpr std::size_t kTdefTableType = 40;
constexpr std::size_t kTdefMaxColumns = 41;
constexpr std::size_t kTdefVarColumns = 43;
constexpr std::size_t kTdefColumns = 45;
constexpr std::size_t kTdefLogicalIndexes = 47;
constexpr std::size_t kTdefRealIndexes = 51;
constexpr std::size_t kTdefUsedPages = 55;
constexpr std::size_t kTdefFreePages = 59;
constexpr std::size_t kTdefBlockEnd = 63;
constexpr std::size_t kTdefRealIndexSize = 12;
constexpr std::size_t kTdefColumnSize = 25;
constexpr std::size_t kTdefRealIndexDefSize = 52;
constexpr std::size_t kTdefLogicalIndexSize = 28;
constexpr std::uint8_t kIndexAscending = 0x01; // the order byte of an index column
constexpr std::uint8_t kTableUser = 0x4E;
constexpr std::uint8_t kTableSystem = 0x53;

// Column flags.
constexpr std::uint8_t kColFixed = 0x01;
constexpr std::uint8_t kColNullable = 0x02;
constexpr std::uint8_t kColAutoLong = 0x04;
constexpr std::uint8_t kColAutoGuid = 0x40;
constexpr std::uint8_t kColCompressedText = 0x01; // in the second flag byte

// Long values (memo / OLE): a 12-byte reference in the row.
constexpr std::size_t kLongValueHeader = 12;
constexpr std::uint32_t kLongValueInline = 0x80000000;
constexpr std::uint32_t kLongValueSinglePage = 0x40000000;
constexpr std::uint32_t kLongValueLengthMask = 0x3FFFFFFF;

// Usage maps: an inline map covers this many pages from its start page, a
// map page this many.
constexpr std::size_t kInlineMapBytes = 64 - 5;
constexpr std::size_t kMapPageBits = (kPageSize - 4) * 8;

// Catalog (MSysObjects) facts.
constexpr std::uint32_t kCatalogPage = 2;
constexpr std::int32_t kObjTable = 1;
constexpr std::int32_t kObjLinkedTable = 4;
constexpr std::int32_t kObjLinkedOdbc = 6;
constexpr std::uint32_t kSystemObjectFlags = 0x80000002;
// Catalog ids of the containers and of the database object; every table's
// parent is the Tables container.
constexpr std::int32_t kContainerParentId = 0x0F000000;
constexpr std::int32_t kTablesContainerId = 0x0F000001;
constexpr std::int32_t kDatabasesContainerId = 0x0F000002;
constexpr std::int32_t kRelationshipsContainerId = 0x0F000003;
constexpr std::int32_t kDatabaseObjectId = 0x10000000;

// Little-endian access to raw bytes; callers check bounds first.
inline std::uint16_t Get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t Get24(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16));
}
inline std::uint32_t Get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t Get64(const std::uint8_t* p) {
    return Get32(p) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}
inline void Put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}
inline void Put64(std::uint8_t* p, std::uint64_t v) {
    Put32(p, static_cast<std::uint32_t>(v));
    Put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// A row address: page number in the upper three bytes, row in the lowest.
inline std::uint32_t RowPointer(std::uint32_t page, std::uint32_t row) {
    return (page << 8) | (row & 0xFF);
}

// RC4, which masks a region of the header page.
void Rc4(std::uint32_t key, std::uint8_t* data, std::size_t size);

// Text as Jet 4 stores it: UCS-2 little-endian, or the compressed form that
// starts with FF FE and keeps one byte per character whose high byte is 0.
std::string DecodeText(const std::uint8_t* data, std::size_t size);
// UTF-8 into UCS-2 (characters beyond the basic plane become surrogate pairs).
std::u16string Utf8ToUtf16(std::string_view text);
void Utf8ToUtf16Into(std::string_view text, std::u16string& out);
std::string Utf16ToUtf8(std::u16string_view text);
// The stored bytes of a text; `compress` allows the compressed form, which is
// used only where it is shorter.
std::vector<std::uint8_t> EncodeText(std::u16string_view text, bool compress);
void EncodeTextInto(std::u16string_view text, bool compress, std::vector<std::uint8_t>& out);
// Names in table definitions: UCS-2 without compression.
void AppendName(std::vector<std::uint8_t>& out, std::u16string_view name);

} // namespace engine::jet
