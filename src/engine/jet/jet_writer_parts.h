// What the parts of the Jet writer share: the new database, table
// definitions, catalog rows and permissions, and values. Not for use
// outside src/engine/jet.
#pragma once

#include "engine/engine.h"
#include "engine/jet/jet_build.h"
#include "engine/jet/jet_file.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engine::jet::parts {

// The flags of a system object's catalog row.
constexpr std::uint32_t kSystemFlag = 0x80000000;
// Index flags and column flags as Jet writes them in new definitions.
constexpr std::uint8_t kIndexUnique = 0x81;
constexpr std::uint8_t kIndexRequired = 0x88;
constexpr std::uint8_t kIndexIgnoreNulls = 0x82;
constexpr std::uint8_t kColumnFixed = 0x13;
constexpr std::uint8_t kColumnVariable = 0x12;
constexpr std::uint8_t kColumnOwnerBinary = 0x32;

// Owner and permission holders of a new database, as a database made by Jet
// stores them (the stored form differs from file to file): the engine's own account (owner of the
// system objects), the Admin user (who creates the database and its tables), the Users group, and
// the stand-in for whoever creates an object (the rights a container hands down to it).
inline const std::vector<std::uint8_t> kSidEngine{0x06, 0xEA};
inline const std::vector<std::uint8_t> kSidAdmin{0x07, 0xE8};
inline const std::vector<std::uint8_t> kSidUsers{0x06, 0xE8};
inline const std::vector<std::uint8_t> kSidCreator{0x06, 0xED};

// Column definitions ordered by column number.
std::vector<ColumnDef> ByNumber(std::vector<ColumnDef> defs);
// The present moment as a date serial number, in local time.
double NowSerial();
std::uint64_t DoubleBits(double d);
// The stored bytes of a value of a short (not long-value) column.
// Returns false for Null.
bool EncodeShortValue(const ColumnDef& c, const Value& v, std::vector<std::uint8_t>& out);
// A row of short values, `values` in column-number order.
std::vector<std::uint8_t> EncodeValues(const std::vector<ColumnDef>& byNumber,
                                       const std::vector<Value>& values);
// The reference of a long value kept outside its row: on one long-value
// row, or chained over several. `place` stores one long-value row (`link`
// when it is part of a chain) and returns its row pointer.
std::vector<std::uint8_t> OutOfRowReference(
    const std::vector<std::uint8_t>& bytes,
    const std::function<std::uint32_t(const std::vector<std::uint8_t>&, bool)>& place);

// The columns of the catalog (MSysObjects) as a new database defines them,
// and their positions there.
std::vector<NewColumn> CatalogColumns();
enum CatalogColumn : std::size_t {
    catId,
    catParentId,
    catName,
    catType,
    catDateCreate,
    catDateUpdate,
    catOwner,
    catFlags,
    catDatabase,
    catConnect,
    catForeignName,
    catRmtInfoShort,
    catRmtInfoLong,
    catLv,
    catLvProp,
    catLvModule,
    catLvExtra,
    catColumnCount
};
// A catalog row's values in the order of CatalogColumns().
std::vector<Value> CatalogValues(std::int32_t id, std::int32_t parent, const std::string& name,
                                 std::int64_t type, double date,
                                 const std::vector<std::uint8_t>& owner, std::uint32_t flags);

// A catalog row with where it lies.
struct StoredRow {
    std::uint32_t pointer = 0;
    std::vector<Value> values; // stored column order
};

std::vector<StoredRow> ReadRowsWithPointers(JetFile& file, const TableInfo& table);
// A system table found through the catalog (see SystemTablePage).
std::optional<TableInfo> ReadSystemTable(JetFile& file, std::string_view name);
// A Long's value; 0 for Null or any other kind.
std::int64_t IntOf(const Value& v);
// Values in stored order from values in column-number order.
std::vector<Value> InStoredOrder(const TableInfo& table, const std::vector<Value>& byNumber);
// Values in column-number order from values in stored order.
std::vector<Value> InNumberOrder(const TableInfo& table, std::vector<Value> stored);

} // namespace engine::jet::parts
