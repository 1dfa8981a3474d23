// A new, empty database: the header page, the free-page map and the four
// system tables with their rows, indexes and permissions, laid out as Jet
// lays out a new file.
#include "engine/jet/jet_writer.h"

#include "engine/convert.h"
#include "engine/jet/jet_index.h"
#include "engine/jet/jet_security.h"
#include "engine/jet/jet_writer_parts.h"
#include "platform/platform.h"

#include <cerrno>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>

namespace engine::jet {

using namespace parts;

namespace {

NewColumn Column(const char16_t* name, std::uint8_t type, std::uint16_t length,
                 std::uint8_t flags) {
    return NewColumn{name, type, length, flags, 0};
}

// The three other system tables of a new database.
std::vector<NewColumn> AceColumns() {
    return {
        Column(u"ObjectId", colLong, 4, kColumnFixed),
        Column(u"SID", colBinary, 510, kColumnOwnerBinary),
        Column(u"ACM", colLong, 4, kColumnFixed),
        Column(u"FInheritable", colBoolean, 1, kColumnFixed),
    };
}

std::vector<NewColumn> QueryColumns() {
    return {
        Column(u"ObjectId", colLong, 4, kColumnFixed),
        Column(u"Attribute", colByte, 1, kColumnFixed),
        Column(u"Order", colBinary, 510, kColumnVariable),
        Column(u"Name1", colText, 510, kColumnVariable),
        Column(u"Name2", colText, 510, kColumnVariable),
        Column(u"Expression", colMemo, 0, kColumnVariable),
        Column(u"Flag", colInteger, 2, kColumnFixed),
        Column(u"LvExtra", colLong, 4, kColumnFixed),
    };
}

std::vector<NewColumn> RelationshipColumns() {
    return {
        Column(u"szRelationship", colText, 510, kColumnVariable),
        Column(u"grbit", colLong, 4, kColumnFixed),
        Column(u"ccolumn", colLong, 4, kColumnFixed),
        Column(u"icolumn", colLong, 4, kColumnFixed),
        Column(u"szObject", colText, 510, kColumnVariable),
        Column(u"szColumn", colText, 510, kColumnVariable),
        Column(u"szReferencedObject", colText, 510, kColumnVariable),
        Column(u"szReferencedColumn", colText, 510, kColumnVariable),
    };
}

struct CatalogRowPlan {
    std::int32_t id, parent;
    const char16_t* name;
    std::int16_t type;
    const std::vector<std::uint8_t>* owner;
};

std::vector<std::uint8_t> HeaderPage0(double created) {
    Page page{};
    const char magic[] = "Standard Jet DB";
    page[1] = 1;
    std::memcpy(page.data() + 4, magic, sizeof magic);
    Put32(page.data() + kHdrVersion, kJet4Version);
    std::uint8_t* m = page.data() + kHdrMaskedStart;
    // The start of the masked region as Jet writes it.
    Put32(m + 0x00, 0x100);
    Put32(m + 0x04, 0x101);
    Put32(m + 0x08, 2);
    Put32(m + 0x0C, 3);
    Put32(m + 0x10, 4);
    Put32(m + 0x14, 5);
    Put16(page.data() + kHdrCodePage, 1252);
    // No password: the password area holds only its date-derived mask.
    const auto mask = static_cast<std::uint32_t>(static_cast<std::int32_t>(created));
    for (std::size_t i = 0; i < kHdrPasswordLength; ++i)
        page[kHdrPassword + i] = static_cast<std::uint8_t>(mask >> (8 * (i % 4)));
    Put16(page.data() + 0x6A, 0x11A6);
    Put32(page.data() + kHdrSortOrder, kGeneralSortOrder);
    Put64(page.data() + kHdrCreationDate, DoubleBits(created));
    UnmaskHeader(page); // RC4 is its own inverse
    Put32(page.data() + 0x98, 0x0654);
    std::memcpy(page.data() + 0x9C, "4.0", 4);
    page[0xE00] = 1;
    for (std::size_t i = 0xE01; i < kPageSize; i += 2)
        page[i] = 1;
    return std::vector<std::uint8_t>(page.begin(), page.end());
}

// Which page holds what; the order is the one Jet uses for a new file.
constexpr std::uint32_t kNewFilePages = 19;
constexpr std::uint32_t pgObjects = 2, pgAces = 3, pgQueries = 4, pgRelations = 5;
constexpr std::uint32_t mapObjects = 6, leafObjectsName = 7, leafObjectsId = 8;
constexpr std::uint32_t mapAces = 9, leafAces = 10, mapQueries = 11, leafQueries = 12;
constexpr std::uint32_t mapRelations = 13, leafRelations = 14, dataObjects = 17, dataAces = 18;

// The rights a new database grants (see Ace below).
constexpr std::uint32_t kRightsOnPermissions = kRightReadPermissions | kRightWritePermissions;
constexpr std::uint32_t kRightsOfCreator =
    kRightDelete | kRightsOnPermissions | kRightTransferOwner | kRightOpen | kRightAdminister |
    kRightReadData | kRightInsertData | kRightUpdateData | kRightDeleteData;
// Jet withholds this one right from the Users group on new tables; it has
// no documented name.
constexpr std::uint32_t kRightWithheldFromUsers = 0x00100;

struct NewFile {
    std::vector<Page> pages = std::vector<Page>(kNewFilePages, Page{});

    // A page of usage map rows, one per set of pages.
    void MapPage(std::uint32_t number, const std::vector<std::vector<std::uint32_t>>& maps) {
        DataPageBuilder builder(0);
        for (const auto& set : maps) {
            const auto row = InlineUsageMap(set);
            builder.Add(row->data(), row->size());
        }
        pages[number] = builder.Bytes();
    }
    // Rows of a system table on data page `dataPage`, and the leaf page of
    // its index(es): `keys` gives each row's key parts, one per index.
    template <typename Rows, typename Encode>
    std::vector<std::vector<IndexEntry>> FillTable(std::uint32_t tdef, std::uint32_t dataPage,
                                                   const Rows& rows, std::size_t indexes,
                                                   const Encode& encode) {
        DataPageBuilder data(tdef);
        std::vector<std::vector<IndexEntry>> entries(indexes);
        for (const auto& plan : rows) {
            std::vector<IndexEntry> keys;
            const auto row = encode(plan, keys);
            const std::uint32_t r = data.Add(row.data(), row.size());
            for (std::size_t k = 0; k < indexes; ++k) {
                AppendRowPointer(keys[k], RowPointer(dataPage, r));
                entries[k].push_back(std::move(keys[k]));
            }
        }
        pages[dataPage] = data.Bytes();
        for (auto& list : entries)
            std::sort(list.begin(), list.end());
        return entries;
    }
};

// MSysObjects: the containers, the database object and the four system
// tables.
TableShape ObjectsTable(NewFile& file, double created) {
    TableShape objects;
    objects.tableType = kTableSystem;
    objects.columns = CatalogColumns();
    objects.usedPages = RowPointer(mapObjects, 0);
    objects.freePages = RowPointer(mapObjects, 1);
    for (std::uint32_t k = 0; k < 7; ++k)
        objects.longValueMaps.emplace_back(RowPointer(mapObjects, 2 + 2 * k),
                                           RowPointer(mapObjects, 3 + 2 * k));
    objects.indexes = {
        {u"ParentIdName", {1, 2}, RowPointer(mapObjects, 16), leafObjectsName, 0, kIndexUnique, 0},
        {u"Id", {0}, RowPointer(mapObjects, 17), leafObjectsId, 0, kIndexUnique, 1},
    };
    std::vector<std::vector<std::uint32_t>> objectMaps{{dataObjects}, {dataObjects}};
    for (int k = 0; k < 14; ++k)
        objectMaps.push_back({});
    objectMaps.push_back({leafObjectsName});
    objectMaps.push_back({leafObjectsId});
    file.MapPage(mapObjects, objectMaps);

    const std::vector<ColumnDef> columns = ByNumber(LayOutColumns(objects.columns));
    const CatalogRowPlan catalog[] = {
        {kTablesContainerId, kContainerParentId, u"Tables", 3, &kSidEngine},
        {kDatabasesContainerId, kContainerParentId, u"Databases", 3, &kSidEngine},
        {kRelationshipsContainerId, kContainerParentId, u"Relationships", 3, &kSidEngine},
        {kDatabaseObjectId, kDatabasesContainerId, u"MSysDb", 2, &kSidAdmin},
        {2, kTablesContainerId, u"MSysObjects", 1, &kSidEngine},
        {3, kTablesContainerId, u"MSysACEs", 1, &kSidEngine},
        {4, kTablesContainerId, u"MSysQueries", 1, &kSidEngine},
        {5, kTablesContainerId, u"MSysRelationships", 1, &kSidEngine},
    };
    const auto entries = file.FillTable(
        pgObjects, dataObjects, catalog, 2,
        [&](const CatalogRowPlan& plan, std::vector<IndexEntry>& keys) {
            auto nameEntry = LongKey(plan.parent);
            const auto text = TextKey(plan.name);
            nameEntry.insert(nameEntry.end(), text->begin(), text->end());
            keys = {nameEntry, LongKey(plan.id)};
            return EncodeValues(columns,
                                CatalogValues(plan.id, plan.parent, Utf16ToUtf8(plan.name),
                                              plan.type, created, *plan.owner, kSystemFlag));
        });
    file.pages[leafObjectsName] = *IndexLeafPage(pgObjects, entries[0]);
    file.pages[leafObjectsId] = *IndexLeafPage(pgObjects, entries[1]);
    objects.rowCount = 8;
    objects.indexes[0].rowCount = 8;
    objects.indexes[1].rowCount = 8;
    return objects;
}

// A permission row: the rights `acm` of account `sid` on `object`; an
// inheritable row is what a container hands down to the objects made in it.
struct Ace {
    std::int32_t object;
    const std::vector<std::uint8_t>* sid;
    std::uint32_t acm;
    bool inheritable;
};

// MSysACEs: the permissions of the objects above.
TableShape AcesTable(NewFile& file) {
    TableShape aces;
    aces.tableType = kTableSystem;
    aces.columns = AceColumns();
    aces.usedPages = RowPointer(mapAces, 0);
    aces.freePages = RowPointer(mapAces, 1);
    aces.indexes = {{u"ObjectId", {0}, RowPointer(mapAces, 2), leafAces, 0, kIndexRequired, 0}};
    file.MapPage(mapAces, {{dataAces}, {dataAces}, {leafAces}});
    const Ace aceRows[] = {
        {2, &kSidAdmin, kRightsOnPermissions, false},
        {3, &kSidAdmin, kRightsOnPermissions, false},
        {4, &kSidAdmin, kRightsOnPermissions, false},
        {5, &kSidAdmin, kRightsOnPermissions | kRightTransferOwner, false},
        {kTablesContainerId, &kSidCreator, kRightsOfCreator, true},
        {kTablesContainerId, &kSidAdmin, kRightsOnPermissions | kRightCreate, false},
        {kRelationshipsContainerId, &kSidCreator, kRightsOfCreator, true},
        {kRelationshipsContainerId, &kSidAdmin, kRightsOnPermissions | kRightCreate, false},
        {kDatabasesContainerId, &kSidAdmin, kRightsOnPermissions, false},
        {kDatabaseObjectId, &kSidAdmin,
         kRightsOnPermissions | kRightOpen | kRightExclusive | kRightAdminister, false},
        {kDatabaseObjectId, &kSidUsers, kRightOpen | kRightExclusive | kRightAdminister, false},
        {4, &kSidUsers, kRightReadData, false},
        {5, &kSidUsers, kRightReadData, false},
        {2, &kSidUsers, kRightReadData, false},
        {kTablesContainerId, &kSidUsers, kRightAll & ~kRightWithheldFromUsers, true},
        {kRelationshipsContainerId, &kSidUsers, kRightAll, true},
    };
    const std::vector<ColumnDef> columns = ByNumber(LayOutColumns(aces.columns));
    const auto entries = file.FillTable(
        pgAces, dataAces, aceRows, 1, [&](const Ace& ace, std::vector<IndexEntry>& keys) {
            keys = {LongKey(ace.object)};
            const std::vector<Value> values{
                std::int64_t{ace.object}, Blob(ace.sid->begin(), ace.sid->end()),
                std::int64_t{static_cast<std::int32_t>(ace.acm)}, ace.inheritable};
            return EncodeValues(columns, values);
        });
    file.pages[leafAces] = *IndexLeafPage(pgAces, entries[0]);
    aces.rowCount = 16;
    aces.indexes[0].rowCount = 16;
    return aces;
}

// MSysQueries: empty.
TableShape QueriesTable(NewFile& file) {
    TableShape queries;
    queries.tableType = kTableSystem;
    queries.columns = QueryColumns();
    queries.usedPages = RowPointer(mapQueries, 0);
    queries.freePages = RowPointer(mapQueries, 1);
    queries.longValueMaps = {{RowPointer(mapQueries, 2), RowPointer(mapQueries, 3)}};
    queries.indexes = {{u"ObjectIdAttribute",
                        {0, 1, 2},
                        RowPointer(mapQueries, 4),
                        leafQueries,
                        0,
                        kIndexUnique,
                        1}};
    file.MapPage(mapQueries, {{}, {}, {}, {}, {leafQueries}});
    file.pages[leafQueries] = *IndexLeafPage(pgQueries, {});
    return queries;
}

// MSysRelationships: empty, with three indexes.
TableShape RelationsTable(NewFile& file) {
    TableShape relations;
    relations.tableType = kTableSystem;
    relations.columns = RelationshipColumns();
    relations.usedPages = RowPointer(mapRelations, 0);
    relations.freePages = RowPointer(mapRelations, 1);
    const auto index = [](const char16_t* name, std::uint16_t column, std::uint32_t k) {
        return TableShape::Index{name,
                                 {column},
                                 RowPointer(mapRelations, 2 + k),
                                 leafRelations + k,
                                 0,
                                 kIndexIgnoreNulls,
                                 0};
    };
    relations.indexes = {index(u"szRelationship", 0, 0), index(u"szObject", 4, 1),
                         index(u"szReferencedObject", 6, 2)};
    file.MapPage(mapRelations, {{}, {}, {leafRelations}, {leafRelations + 1}, {leafRelations + 2}});
    for (std::uint32_t k = 0; k < 3; ++k)
        file.pages[leafRelations + k] = *IndexLeafPage(pgRelations, {});
    return relations;
}

// The free-page map: every page past the end of the file is free.
Page FreePageMap() {
    std::vector<std::uint32_t> free;
    for (std::uint32_t p = kNewFilePages; p < kInlineMapPages; ++p)
        free.push_back(p);
    DataPageBuilder map(1); // the map's page names itself as owner
    const auto row = InlineUsageMap(free);
    map.Add(row->data(), row->size());
    const std::vector<std::uint8_t> spare(kUsageMapRowSize, 0);
    map.Add(spare.data(), spare.size());
    return map.Bytes();
}

std::vector<std::uint8_t> EmptyDatabaseBytes(const CreateOptions& options) {
    const double created = options.creationDate.value_or(NowSerial());
    NewFile file;
    const auto header = HeaderPage0(created);
    std::memcpy(file.pages[0].data(), header.data(), kPageSize);
    const TableShape objects = ObjectsTable(file, created);
    const TableShape aces = AcesTable(file);
    const TableShape queries = QueriesTable(file);
    const TableShape relations = RelationsTable(file);
    const std::pair<std::uint32_t, const TableShape*> tables[] = {
        {pgObjects, &objects}, {pgAces, &aces}, {pgQueries, &queries}, {pgRelations, &relations}};
    for (const auto& [number, shape] : tables)
        file.pages[number] = TableDefinitionPages(TableDefinitionBytes(*shape), {number})[0];
    file.pages[1] = FreePageMap();

    std::vector<std::uint8_t> all(kNewFilePages * kPageSize);
    for (std::uint32_t i = 0; i < kNewFilePages; ++i)
        std::memcpy(all.data() + i * kPageSize, file.pages[i].data(), kPageSize);
    return all;
}

} // namespace

namespace parts {

std::vector<NewColumn> CatalogColumns() {
    return {
        Column(u"Id", colLong, 4, kColumnFixed),
        Column(u"ParentId", colLong, 4, kColumnFixed),
        Column(u"Name", colText, 510, kColumnVariable),
        Column(u"Type", colInteger, 2, kColumnFixed),
        Column(u"DateCreate", colDateTime, 8, kColumnFixed),
        Column(u"DateUpdate", colDateTime, 8, kColumnFixed),
        Column(u"Owner", colBinary, 510, kColumnOwnerBinary),
        Column(u"Flags", colLong, 4, kColumnFixed),
        Column(u"Database", colMemo, 0, kColumnVariable),
        Column(u"Connect", colMemo, 0, kColumnVariable),
        Column(u"ForeignName", colText, 510, kColumnVariable),
        Column(u"RmtInfoShort", colBinary, 510, kColumnVariable),
        Column(u"RmtInfoLong", colOle, 0, kColumnVariable),
        Column(u"Lv", colOle, 0, kColumnVariable),
        Column(u"LvProp", colOle, 0, kColumnVariable),
        Column(u"LvModule", colOle, 0, kColumnVariable),
        Column(u"LvExtra", colOle, 0, kColumnVariable),
    };
}

} // namespace parts

void WriteEmptyDatabase(const platform::DataFile& file, const std::string& path,
                        const CreateOptions& options) {
    const std::vector<std::uint8_t> all = EmptyDatabaseBytes(options);
    if (const int err = file.WriteAt(0, all.data(), all.size()))
        RaiseWriteError(err, path, "Writing the database '" + path + "'");
}

void CreateEmptyDatabase(const std::string& path, const CreateOptions& options) {
    platform::DataFile file;
    if (const int error = file.Open(path, platform::DataFile::Mode::CreateNew, 0644)) {
        if (error == EEXIST)
            throw EngineError(errDatabaseExists, "The database '" + path + "' already exists.");
        throw EngineError(errCannotOpenFile, "The database '" + path + "' could not be created: " +
                                                 std::strerror(error) + ".");
    }
    try {
        WriteEmptyDatabase(file, path, options);
    } catch (...) {
        file.Close();
        platform::DeleteFile(path);
        throw;
    }
}

} // namespace engine::jet
