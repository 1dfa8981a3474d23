// Adding and dropping user tables: the definition pages, the maps and the
// catalog rows and permissions that go with them.
#include "engine/jet/jet_writer.h"

#include "engine/jet/jet_security.h"
#include "engine/jet/jet_writer_parts.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>

namespace engine::jet {

using namespace parts;

namespace {

constexpr std::size_t kMaxInlineProperties = 3000;

NewColumn ColumnFor(const Field& field) {
    NewColumn plan;
    plan.name = Utf8ToUtf16(field.Name);
    plan.type = static_cast<std::uint8_t>(field.Type);
    plan.flags = kColumnFixed;
    switch (field.Type) {
    case dbBoolean:
    case dbByte:
        plan.length = 1;
        break;
    case dbInteger:
        plan.length = 2;
        break;
    case dbLong:
    case dbSingle:
        plan.length = 4;
        break;
    case dbCurrency:
    case dbDouble:
    case dbDate:
        plan.length = 8;
        break;
    case dbGUID:
        plan.length = 16;
        break;
    case dbText:
        plan.length = static_cast<std::uint16_t>(2 * std::clamp(field.Size, 1, 255));
        plan.flags = kColumnVariable;
        plan.extraFlags = kColCompressedText;
        break;
    case dbBinary:
        plan.length = static_cast<std::uint16_t>(std::clamp(field.Size, 1, 255));
        plan.flags = kColumnVariable;
        break;
    case dbMemo:
        plan.flags = kColumnVariable;
        plan.extraFlags = kColCompressedText;
        break;
    default: // long binary
        plan.flags = kColumnVariable;
        break;
    }
    return plan;
}

// The table's property block (AllowZeroLength of its text and memo
// columns); empty when no column allows zero-length values. It is kept in
// the catalog row while small, on the catalog's long-value pages when not
// (a very wide table with long column names).
std::vector<std::uint8_t> PropertiesFor(const std::vector<Field>& fields) {
    std::vector<std::u16string> zeroLength;
    for (const Field& field : fields) {
        if (field.AllowZeroLength && (field.Type == dbText || field.Type == dbMemo))
            zeroLength.push_back(Utf8ToUtf16(field.Name));
    }
    return zeroLength.empty() ? std::vector<std::uint8_t>{} : ZeroLengthProperties(zeroLength);
}

} // namespace

std::uint32_t JetWriter::AddTable(const std::string& name, const std::vector<Field>& fields) {
    CheckCanAddTable(name, fields.size());
    const std::vector<std::uint8_t> properties = PropertiesFor(fields);
    const std::optional<std::uint16_t> propertyColumn = PropertyColumn(properties.size());
    const std::uint32_t tdef = WriteDefinition(fields);
    const std::int32_t id = static_cast<std::int32_t>(tdef);
    InsertTableRow(name, id, properties, propertyColumn);
    HandDownPermissions(id);
    Flush();
    return tdef;
}

std::optional<std::uint16_t> JetWriter::PropertyColumn(std::size_t propertyBytes) {
    if (propertyBytes <= kMaxInlineProperties) return std::nullopt;
    const TableInfo catalog = file_.ReadTable(kCatalogPage);
    const int k = catalog.ColumnIndex("LvProp");
    std::optional<std::uint16_t> column;
    for (const auto& maps : catalog.longValueMaps) {
        if (k >= 0 && std::get<0>(maps) == catalog.columns[static_cast<std::size_t>(k)].number)
            column = std::get<0>(maps);
    }
    if (!column) {
        throw EngineError(errOperationNotSupported,
                          "The catalog of '" + file_.Path() +
                              "' keeps no pages for the properties of a table this wide.");
    }
    return column;
}

std::uint32_t JetWriter::WriteDefinition(const std::vector<Field>& fields) {
    TableShape shape;
    for (const Field& field : fields)
        shape.columns.push_back(ColumnFor(field));
    std::size_t longColumns = 0;
    for (const NewColumn& c : shape.columns) {
        if (c.type == colMemo || c.type == colOle) ++longColumns;
    }
    // The definition's size does not depend on the pointers in it.
    const std::size_t defSize = TableDefinitionBytes(shape).size() + 10 * longColumns;
    std::vector<std::uint32_t> tdefPages;
    for (std::size_t i = 0; i < TableDefinitionPageCount(defSize); ++i)
        tdefPages.push_back(AllocatePage());
    std::vector<std::vector<std::uint8_t>> maps(2 + 2 * longColumns, *InlineUsageMap({}));
    const std::vector<std::uint32_t> pointers = AddUsageMapRows(maps);
    shape.usedPages = pointers[0];
    shape.freePages = pointers[1];
    for (std::size_t k = 0; k < longColumns; ++k)
        shape.longValueMaps.emplace_back(pointers[2 + 2 * k], pointers[3 + 2 * k]);
    const auto bytes = TableDefinitionBytes(shape);
    const auto pages = TableDefinitionPages(bytes, tdefPages);
    for (std::size_t i = 0; i < pages.size(); ++i)
        StorePage(tdefPages[i], pages[i]);
    return tdefPages[0];
}

void JetWriter::InsertTableRow(const std::string& name, std::int32_t id,
                               const std::vector<std::uint8_t>& properties,
                               std::optional<std::uint16_t> propertyColumn) {
    const TableInfo catalog = file_.ReadTable(kCatalogPage);
    // The table belongs to the account this engine works as, as it would
    // to whoever created it in Access.
    const std::vector<std::uint8_t> owner = AdminIdentity(file_.ReadCatalog()).value_or(kSidAdmin);
    std::vector<Value> values =
        CatalogValues(id, kTablesContainerId, name, kObjTable, NowSerial(), owner, 0);
    if (propertyColumn) {
        const auto stored = StoreSystemLongValue(catalog, *propertyColumn, properties);
        values[catLvProp] = Blob(stored.begin(), stored.end());
    } else if (!properties.empty()) {
        Blob stored(kLongValueHeader, 0);
        Put32(stored.data(), static_cast<std::uint32_t>(properties.size()) | kLongValueInline);
        stored.insert(stored.end(), properties.begin(), properties.end());
        values[catLvProp] = std::move(stored);
    }
    // CatalogValues is in the new-database column order; this catalog's
    // columns are matched by name.
    std::vector<Value> stored(catalog.columns.size(), Null{});
    const auto plans = CatalogColumns();
    for (std::size_t n = 0; n < plans.size(); ++n) {
        for (std::size_t i = 0; i < catalog.columns.size(); ++i) {
            if (catalog.columns[i].name16 == plans[n].name) stored[i] = values[n];
        }
    }
    InsertCatalogRows(catalog, InNumberOrder(catalog, std::move(stored)));
}

void JetWriter::HandDownPermissions(std::int32_t id) {
    const auto aces = ReadSystemTable(file_, "MSysACEs");
    if (!aces) return;
    const int object = aces->ColumnIndex("ObjectId"), sid = aces->ColumnIndex("SID"),
              acm = aces->ColumnIndex("ACM"), inherit = aces->ColumnIndex("FInheritable");
    if (object < 0 || sid < 0 || acm < 0 || inherit < 0) return;
    std::vector<std::vector<Value>> handed;
    for (const StoredRow& row : ReadRowsWithPointers(file_, *aces)) {
        const auto* flag = std::get_if<bool>(&row.values[static_cast<std::size_t>(inherit)]);
        if (IntOf(row.values[static_cast<std::size_t>(object)]) != kTablesContainerId ||
            flag == nullptr || !*flag)
            continue;
        std::vector<Value> copy = row.values;
        copy[static_cast<std::size_t>(object)] = std::int64_t{id};
        copy[static_cast<std::size_t>(inherit)] = false;
        handed.push_back(InNumberOrder(*aces, std::move(copy)));
    }
    for (const auto& ace : handed)
        InsertCatalogRows(file_.ReadTable(aces->tdefPage), ace);
}

void JetWriter::DropTable(const CatalogEntry& entry) {
    CheckCanDropTable(entry);
    const TableInfo table = file_.ReadTable(entry.TdefPage());
    // Its pages: definition, data, long values, indexes and the maps' pages.
    std::vector<std::uint32_t> pages = table.tdefPages;
    std::vector<std::uint32_t> maps{table.usedPages, table.freePages};
    for (const std::uint32_t p : file_.ReadUsageMap(table.usedPages))
        pages.push_back(p);
    for (const auto& index : table.indexes) {
        maps.push_back(index.usedPages);
        for (const std::uint32_t p : file_.ReadUsageMap(index.usedPages))
            pages.push_back(p);
    }
    for (const auto& [column, pointer, freePointer] : table.longValueMaps) {
        (void)column;
        maps.push_back(freePointer);
        maps.push_back(pointer);
        for (const std::uint32_t p : file_.ReadUsageMap(pointer))
            pages.push_back(p);
    }
    for (const std::uint32_t pointer : maps) {
        for (const std::uint32_t p : file_.MapPages(pointer))
            pages.push_back(p);
    }
    RemoveObjectRows(entry.id);
    RemoveMapRows(maps, pages);
    for (const std::uint32_t p : pages)
        FreePage(p);
    Flush();
}

void JetWriter::RemoveObjectRows(std::int32_t id) {
    const TableInfo catalog = file_.ReadTable(kCatalogPage);
    const int idColumn = catalog.ColumnIndex("Id");
    std::vector<std::uint32_t> catalogRows;
    for (const StoredRow& row : ReadRowsWithPointers(file_, catalog)) {
        if (idColumn >= 0 && IntOf(row.values[static_cast<std::size_t>(idColumn)]) == id)
            catalogRows.push_back(row.pointer);
    }
    RemoveCatalogRows(catalog, catalogRows);
    if (const auto aces = ReadSystemTable(file_, "MSysACEs")) {
        const int object = aces->ColumnIndex("ObjectId");
        std::vector<std::uint32_t> aceRows;
        for (const StoredRow& row : ReadRowsWithPointers(file_, *aces)) {
            if (object >= 0 && IntOf(row.values[static_cast<std::size_t>(object)]) == id)
                aceRows.push_back(row.pointer);
        }
        RemoveCatalogRows(*aces, aceRows);
    }
}

void JetWriter::RemoveMapRows(const std::vector<std::uint32_t>& maps,
                              std::vector<std::uint32_t>& pages) {
    // The map rows go; a map page left without rows is free again.
    std::vector<std::uint32_t> mapPagesTouched;
    for (const std::uint32_t pointer : maps) {
        DeleteRow(pointer >> 8, pointer & 0xFF);
        mapPagesTouched.push_back(pointer >> 8);
    }
    for (const std::uint32_t number : mapPagesTouched) {
        const Page& page = file_.ReadPage(number);
        const std::uint32_t count = Get16(page.data() + kDataRowCount);
        bool live = false;
        for (std::uint32_t r = 0; r < count; ++r) {
            if ((Get16(page.data() + kDataRowTable + 2 * r) & kRowDeleted) == 0) live = true;
        }
        if (!live) pages.push_back(number);
    }
}

} // namespace engine::jet
