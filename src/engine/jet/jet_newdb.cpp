// A new, empty database: the header page, the free-page map and the four
// system tables with their rows, indexes and permissions, laid out as Jet
// lays out a new file.
#include "engine/jet/jet_writer.h"

#include "engine/convert.h"
#include "engine/jet/jet_index.h"
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

std::vector<std::uint8_t> EmptyDatabaseBytes(const CreateOptions& options) {
    const double created = options.creationDate.value_or(NowSerial());
    constexpr std::uint32_t kPages = 19;
    std::vector<Page> pages(kPages);
    for (Page& p : pages)
        p.fill(0);
    {
        const auto header = HeaderPage0(created);
        std::memcpy(pages[0].data(), header.data(), kPageSize);
    }

    // Which page holds what; the order is the one Jet uses for a new file.
    constexpr std::uint32_t pgObjects = 2, pgAces = 3, pgQueries = 4, pgRelations = 5;
    constexpr std::uint32_t mapObjects = 6, leafObjectsName = 7, leafObjectsId = 8;
    constexpr std::uint32_t mapAces = 9, leafAces = 10, mapQueries = 11, leafQueries = 12;
    constexpr std::uint32_t mapRelations = 13, leafRelations = 14, dataObjects = 17, dataAces = 18;

    const auto mapPage = [&](std::uint32_t number,
                             const std::vector<std::vector<std::uint32_t>>& maps) {
        DataPageBuilder builder(0);
        for (const auto& set : maps) {
            const auto row = InlineUsageMap(set);
            builder.Add(row->data(), row->size());
        }
        pages[number] = builder.Bytes();
    };
    const auto pointer = [](std::uint32_t page, std::uint32_t row) {
        return RowPointer(page, row);
    };

    // MSysObjects.
    TableShape objects;
    objects.tableType = kTableSystem;
    objects.columns = CatalogColumns();
    objects.usedPages = pointer(mapObjects, 0);
    objects.freePages = pointer(mapObjects, 1);
    for (std::uint32_t k = 0; k < 7; ++k)
        objects.longValueMaps.emplace_back(pointer(mapObjects, 2 + 2 * k),
                                           pointer(mapObjects, 3 + 2 * k));
    objects.indexes = {
        {u"ParentIdName", {1, 2}, pointer(mapObjects, 16), leafObjectsName, 0, kIndexUnique, 0},
        {u"Id", {0}, pointer(mapObjects, 17), leafObjectsId, 0, kIndexUnique, 1},
    };
    std::vector<std::vector<std::uint32_t>> objectMaps{{dataObjects}, {dataObjects}};
    for (int k = 0; k < 14; ++k)
        objectMaps.push_back({});
    objectMaps.push_back({leafObjectsName});
    objectMaps.push_back({leafObjectsId});
    mapPage(mapObjects, objectMaps);

    const std::vector<ColumnDef> objectColumns = ByNumber(LayOutColumns(objects.columns));
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
    DataPageBuilder objectRows(pgObjects);
    std::vector<std::vector<std::uint8_t>> nameEntries, idEntries;
    for (const CatalogRowPlan& plan : catalog) {
        const auto row = EncodeValues(objectColumns,
                                      CatalogValues(plan.id, plan.parent, Utf16ToUtf8(plan.name),
                                                    plan.type, created, *plan.owner, kSystemFlag));
        const std::uint32_t r = objectRows.Add(row.data(), row.size());
        auto nameEntry = LongKey(plan.parent);
        const auto text = TextKey(plan.name);
        nameEntry.insert(nameEntry.end(), text->begin(), text->end());
        AppendRowPointer(nameEntry, pointer(dataObjects, r));
        nameEntries.push_back(nameEntry);
        auto idEntry = LongKey(plan.id);
        AppendRowPointer(idEntry, pointer(dataObjects, r));
        idEntries.push_back(idEntry);
    }
    pages[dataObjects] = objectRows.Bytes();
    std::sort(nameEntries.begin(), nameEntries.end());
    std::sort(idEntries.begin(), idEntries.end());
    pages[leafObjectsName] = *IndexLeafPage(pgObjects, nameEntries);
    pages[leafObjectsId] = *IndexLeafPage(pgObjects, idEntries);
    objects.rowCount = 8;
    objects.indexes[0].rowCount = 8;
    objects.indexes[1].rowCount = 8;

    // MSysACEs: the permissions of the objects above.
    TableShape aces;
    aces.tableType = kTableSystem;
    aces.columns = AceColumns();
    aces.usedPages = pointer(mapAces, 0);
    aces.freePages = pointer(mapAces, 1);
    aces.indexes = {{u"ObjectId", {0}, pointer(mapAces, 2), leafAces, 0, kIndexRequired, 0}};
    mapPage(mapAces, {{dataAces}, {dataAces}, {leafAces}});
    struct Ace {
        std::int32_t object;
        const std::vector<std::uint8_t>* sid;
        std::int32_t acm;
        bool inheritable;
    };
    const Ace aceRows[] = {
        {2, &kSidAdmin, 393216, false},
        {3, &kSidAdmin, 393216, false},
        {4, &kSidAdmin, 393216, false},
        {5, &kSidAdmin, 917504, false},
        {kTablesContainerId, &kSidCreator, 983294, true},
        {kTablesContainerId, &kSidAdmin, 393217, false},
        {kRelationshipsContainerId, &kSidCreator, 983294, true},
        {kRelationshipsContainerId, &kSidAdmin, 393217, false},
        {kDatabasesContainerId, &kSidAdmin, 393216, false},
        {kDatabaseObjectId, &kSidAdmin, 393230, false},
        {kDatabaseObjectId, &kSidUsers, 14, false},
        {4, &kSidUsers, 20, false},
        {5, &kSidUsers, 20, false},
        {2, &kSidUsers, 20, false},
        {kTablesContainerId, &kSidUsers, 1048319, true},
        {kRelationshipsContainerId, &kSidUsers, 1048575, true},
    };
    const std::vector<ColumnDef> aceColumns = ByNumber(LayOutColumns(aces.columns));
    DataPageBuilder aceData(pgAces);
    std::vector<std::vector<std::uint8_t>> aceEntries;
    for (const Ace& ace : aceRows) {
        const std::vector<Value> values{std::int64_t{ace.object},
                                        Blob(ace.sid->begin(), ace.sid->end()),
                                        std::int64_t{ace.acm}, ace.inheritable};
        const auto row = EncodeValues(aceColumns, values);
        const std::uint32_t r = aceData.Add(row.data(), row.size());
        auto entry = LongKey(ace.object);
        AppendRowPointer(entry, pointer(dataAces, r));
        aceEntries.push_back(entry);
    }
    pages[dataAces] = aceData.Bytes();
    std::sort(aceEntries.begin(), aceEntries.end());
    pages[leafAces] = *IndexLeafPage(pgAces, aceEntries);
    aces.rowCount = 16;
    aces.indexes[0].rowCount = 16;

    TableShape queries;
    queries.tableType = kTableSystem;
    queries.columns = QueryColumns();
    queries.usedPages = pointer(mapQueries, 0);
    queries.freePages = pointer(mapQueries, 1);
    queries.longValueMaps = {{pointer(mapQueries, 2), pointer(mapQueries, 3)}};
    queries.indexes = {
        {u"ObjectIdAttribute", {0, 1, 2}, pointer(mapQueries, 4), leafQueries, 0, kIndexUnique, 1}};
    mapPage(mapQueries, {{}, {}, {}, {}, {leafQueries}});
    pages[leafQueries] = *IndexLeafPage(pgQueries, {});

    TableShape relations;
    relations.tableType = kTableSystem;
    relations.columns = RelationshipColumns();
    relations.usedPages = pointer(mapRelations, 0);
    relations.freePages = pointer(mapRelations, 1);
    relations.indexes = {
        {u"szRelationship", {0}, pointer(mapRelations, 2), leafRelations, 0, kIndexIgnoreNulls, 0},
        {u"szObject", {4}, pointer(mapRelations, 3), leafRelations + 1, 0, kIndexIgnoreNulls, 0},
        {u"szReferencedObject",
         {6},
         pointer(mapRelations, 4),
         leafRelations + 2,
         0,
         kIndexIgnoreNulls,
         0},
    };
    mapPage(mapRelations, {{}, {}, {leafRelations}, {leafRelations + 1}, {leafRelations + 2}});
    for (std::uint32_t k = 0; k < 3; ++k)
        pages[leafRelations + k] = *IndexLeafPage(pgRelations, {});

    const std::pair<std::uint32_t, const TableShape*> tables[] = {
        {pgObjects, &objects}, {pgAces, &aces}, {pgQueries, &queries}, {pgRelations, &relations}};
    for (const auto& [number, shape] : tables)
        pages[number] = TableDefinitionPages(TableDefinitionBytes(*shape), {number})[0];

    // The free-page map: every page past the end of the file is free.
    {
        std::vector<std::uint32_t> free;
        for (std::uint32_t p = kPages; p < kInlineMapPages; ++p)
            free.push_back(p);
        DataPageBuilder map(1); // the map's page names itself as owner
        const auto row = InlineUsageMap(free);
        map.Add(row->data(), row->size());
        const std::vector<std::uint8_t> spare(kUsageMapRowSize, 0);
        map.Add(spare.data(), spare.size());
        pages[1] = map.Bytes();
    }

    std::vector<std::uint8_t> all(kPages * kPageSize);
    for (std::uint32_t i = 0; i < kPages; ++i)
        std::memcpy(all.data() + i * kPageSize, pages[i].data(), kPageSize);
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
