// Catalog rows and permissions: the writer's changes to the system tables
// (MSysObjects, MSysACEs) and the checks that come before them.
#include "engine/jet/jet_writer.h"

#include "engine/jet/jet_index.h"
#include "engine/jet/jet_writer_parts.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>

namespace engine::jet {

using namespace parts;

namespace parts {

std::vector<Value> CatalogValues(std::int32_t id, std::int32_t parent, const std::string& name,
                                 std::int64_t type, double date,
                                 const std::vector<std::uint8_t>& owner, std::uint32_t flags) {
    std::vector<Value> v(catColumnCount, Null{});
    v[catId] = std::int64_t{id};
    v[catParentId] = std::int64_t{parent};
    v[catName] = name;
    v[catType] = type;
    // The serial number itself, to the fraction of a second Jet keeps.
    v[catDateCreate] = date;
    v[catDateUpdate] = date;
    v[catOwner] = Blob(owner.begin(), owner.end());
    v[catFlags] = std::int64_t{static_cast<std::int32_t>(flags)};
    return v;
}

std::vector<StoredRow> ReadRowsWithPointers(JetFile& file, const TableInfo& table) {
    std::vector<StoredRow> rows;
    for (const std::uint32_t number : file.ReadUsageMap(table.usedPages)) {
        const Page page = file.ReadPage(number);
        if (page[0] != pgData || Get32(page.data() + kDataOwner) != table.tdefPage) continue;
        const std::uint32_t count = Get16(page.data() + kDataRowCount);
        for (std::uint32_t r = 0; r < count && kDataRowTable + 2 * count <= kPageSize; ++r) {
            auto bytes = file.ReadRow(number, r);
            if (!bytes) continue;
            StoredRow row;
            row.pointer = RowPointer(number, r);
            file.DecodeRow(table, bytes->data(), bytes->size(), row.values);
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

std::optional<TableInfo> ReadSystemTable(JetFile& file, std::string_view name) {
    const auto page = SystemTablePage(file.ReadCatalog(), name);
    if (!page) return std::nullopt;
    return file.ReadTable(*page);
}

std::int64_t IntOf(const Value& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
    return 0;
}

std::vector<Value> InStoredOrder(const TableInfo& table, const std::vector<Value>& byNumber) {
    std::vector<Value> out(table.columns.size(), Null{});
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        if (table.columns[i].number < byNumber.size()) out[i] = byNumber[table.columns[i].number];
    }
    return out;
}

std::vector<Value> InNumberOrder(const TableInfo& table, std::vector<Value> stored) {
    std::vector<Value> out(table.columns.size(), Null{});
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        if (table.columns[i].number < out.size())
            out[table.columns[i].number] = std::move(stored[i]);
    }
    return out;
}

} // namespace parts

void JetWriter::CheckCanAddTable(const std::string& name, std::size_t columns) {
    const std::u16string name16 = Utf8ToUtf16(name);
    for (const char16_t c : name16) {
        // Access refuses these in object names; the rest must have a code in
        // the catalog's sort order for its index entries.
        const bool illegal =
            c < 0x20 || c == u'.' || c == u'!' || c == u'`' || c == u'[' || c == u']';
        if (illegal || !HasGeneralSortCode(c)) {
            throw EngineError(errInvalidName,
                              "The table name '" + name + "' holds a character " +
                                  (illegal ? "Access does not allow in names"
                                           : "the Access catalog's sort order cannot be written "
                                             "for here") +
                                  ".");
        }
    }
    if (name16.empty() || name16.front() == u' ') {
        throw EngineError(errInvalidName, "'" + name + "' is not a valid table name.");
    }
    if (name16.size() > 64 || columns > 255) {
        throw EngineError(errInvalidName, "'" + name + "' is not a valid table name.");
    }
    // The catalog's and the permissions' indexes must be readable (their
    // trees grow as needed), and the name's entry must fit a node page with
    // room for another, as every entry of a B-tree must.
    const std::size_t nameEntry = TextKey(name16)->size() + 9; // parent id and row pointer too
    if (2 * (nameEntry + kNodeEntrySuffix) > kIndexPageCapacity) {
        throw EngineError(errInvalidName, "'" + name + "' is not a valid table name.");
    }
    std::vector<TableInfo> indexed{file_.ReadTable(kCatalogPage)};
    if (auto aces = ReadSystemTable(file_, "MSysACEs")) indexed.push_back(std::move(*aces));
    for (const TableInfo& table : indexed) {
        for (const auto& index : table.indexes)
            ReadIndex(table, index);
    }
}

void JetWriter::CheckCanDropTable(const CatalogEntry& table) {
    const auto relations = ReadSystemTable(file_, "MSysRelationships");
    const int object = relations ? relations->ColumnIndex("szObject") : -1;
    const int referenced = relations ? relations->ColumnIndex("szReferencedObject") : -1;
    const auto rows =
        relations ? ReadRowsWithPointers(file_, *relations) : std::vector<StoredRow>{};
    for (const StoredRow& row : rows) {
        for (const int k : {object, referenced}) {
            if (k < 0) continue;
            const auto* s = std::get_if<std::string>(&row.values[static_cast<std::size_t>(k)]);
            if (s != nullptr && SameName(*s, table.name)) {
                throw EngineError(errTableInUse, "The table '" + table.name +
                                                     "' takes part in a relationship and cannot be "
                                                     "replaced.");
            }
        }
    }
    const TableInfo info = file_.ReadTable(table.TdefPage());
    if (info.tableType != kTableUser) {
        throw EngineError(errOperationNotSupported,
                          "'" + table.name + "' is not a table this engine can replace.");
    }
    CheckCanAddTable(table.name, 0);
}

void JetWriter::InsertCatalogRows(const TableInfo& table, const std::vector<Value>& byNumber) {
    const std::vector<ColumnDef> columns = ByNumber(table.columns);
    const std::vector<std::uint8_t> row = EncodeValues(columns, byNumber);
    const std::uint32_t pointer = InsertRow(table, row);
    for (const auto& index : table.indexes) {
        auto key = RowIndexKey(table, index, InStoredOrder(table, byNumber));
        if (!key) file_.Raise("an index of the catalog cannot be updated");
        IndexContent content = ReadIndex(table, index);
        AppendRowPointer(*key, pointer);
        content.entries.push_back(*key);
        WriteIndex(table, index, std::move(content));
    }
    SetTableCounts(table.tdefPage, 1, 1);
}

void JetWriter::RemoveCatalogRows(const TableInfo& table,
                                  const std::vector<std::uint32_t>& pointers) {
    if (pointers.empty()) return;
    ReleaseLongValues(table, pointers);
    for (const std::uint32_t pointer : pointers)
        DeleteRow(pointer >> 8, pointer & 0xFF);
    for (const auto& index : table.indexes) {
        IndexContent content = ReadIndex(table, index);
        std::erase_if(content.entries, [&](const std::vector<std::uint8_t>& e) {
            return std::find(pointers.begin(), pointers.end(), EntryRowPointer(e)) !=
                   pointers.end();
        });
        WriteIndex(table, index, std::move(content));
    }
    SetTableCounts(table.tdefPage, -static_cast<std::int64_t>(pointers.size()),
                   -static_cast<std::int64_t>(pointers.size()));
}

std::vector<std::uint8_t> JetWriter::StoreSystemLongValue(const TableInfo& table,
                                                          std::uint16_t column,
                                                          const std::vector<std::uint8_t>& bytes) {
    const auto maps = std::find_if(table.longValueMaps.begin(), table.longValueMaps.end(),
                                   [&](const auto& m) { return std::get<0>(m) == column; });
    if (maps == table.longValueMaps.end()) file_.Raise("a long-value map is missing");
    if (bytes.size() > kLongValueLengthMask) file_.Raise("a long value is too long");
    // Pages of their own (never the free room of pages another program
    // filled), so that dropping the table frees them whole.
    std::vector<std::uint32_t> used = file_.ReadUsageMap(std::get<1>(*maps));
    std::uint32_t number = 0;
    std::unique_ptr<DataPageBuilder> builder;
    const auto place = [&](const std::vector<std::uint8_t>& row, bool /*link*/) {
        if (!builder || !builder->Fits(row.size())) {
            if (builder) StorePage(number, builder->Bytes());
            number = AllocatePage();
            builder = std::make_unique<DataPageBuilder>(kLvalMarker);
            used.push_back(number);
        }
        return RowPointer(number, builder->Add(row.data(), row.size()));
    };
    std::vector<std::uint8_t> ref = OutOfRowReference(bytes, place);
    if (builder) StorePage(number, builder->Bytes());
    RewriteUsageMap(std::get<1>(*maps), used);
    return ref;
}

void JetWriter::ReleaseLongValues(const TableInfo& table,
                                  const std::vector<std::uint32_t>& pointers) {
    if (table.longValueMaps.empty()) return;
    // Only rows on the table's own long-value pages are let go: a damaged
    // reference into other pages leaves them alone.
    std::set<std::uint32_t> own;
    for (const auto& maps : table.longValueMaps) {
        for (const std::uint32_t p : file_.ReadUsageMap(std::get<1>(maps)))
            own.insert(p);
    }
    std::map<std::uint32_t, std::set<std::uint32_t>> doomed; // page -> rows
    for (const std::uint32_t pointer : pointers) {
        const auto row = file_.ReadRow(pointer >> 8, pointer & 0xFF);
        if (!row) continue;
        for (const ColumnDef& c : table.columns) {
            if (c.type != colMemo && c.type != colOle) continue;
            const auto ref = file_.StoredValue(row->data(), row->size(), c);
            if (!ref) continue;
            std::vector<std::uint32_t> rows;
            file_.ReadLongValue(ref->data(), ref->size(), &rows);
            for (const std::uint32_t lv : rows) {
                if (own.count(lv >> 8)) doomed[lv >> 8].insert(lv & 0xFF);
            }
        }
    }
    std::set<std::uint32_t> emptied;
    for (const auto& [number, rows] : doomed) {
        Page page = file_.ReadPage(number);
        if (page[0] != pgData || Get32(page.data() + kDataOwner) != kLvalMarker) continue;
        const std::uint32_t count = Get16(page.data() + kDataRowCount);
        if (kDataRowTable + 2 * count > kPageSize) continue;
        DataPageBuilder builder(page);
        bool live = false;
        for (std::uint32_t r = 0; r < count; ++r) {
            if (rows.count(r))
                builder.MarkDeleted(r);
            else if ((Get16(page.data() + kDataRowTable + 2 * r) & kRowDeleted) == 0)
                live = true;
        }
        if (live)
            StorePage(number, builder.Bytes());
        else
            emptied.insert(number);
    }
    if (emptied.empty()) return;
    // Emptied pages leave every map that names them.
    for (const auto& [column, usedPointer, freePointer] : table.longValueMaps) {
        (void)column;
        for (const std::uint32_t pointer : {usedPointer, freePointer}) {
            std::vector<std::uint32_t> kept = file_.ReadUsageMap(pointer);
            const std::size_t before = kept.size();
            std::erase_if(kept, [&](std::uint32_t p) { return emptied.count(p) != 0; });
            if (kept.size() != before) RewriteUsageMap(pointer, kept);
        }
    }
    for (const std::uint32_t p : emptied)
        FreePage(p);
}

} // namespace engine::jet
