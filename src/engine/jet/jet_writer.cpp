#include "engine/jet/jet_writer.h"

#include "engine/jet/jet_index.h"

#include "engine/convert.h"
#include "engine/jet/jet_security.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>

namespace engine::jet {

namespace {

constexpr std::uint32_t kSystemFlag = 0x80000000;
constexpr std::uint64_t kMaxFileSize = std::uint64_t(1) << 31; // 2 GB
constexpr std::uint8_t kIndexUnique = 0x81;
constexpr std::uint8_t kIndexRequired = 0x88;
constexpr std::uint8_t kIndexIgnoreNulls = 0x82;
constexpr std::uint8_t kColumnFixed = 0x13;
constexpr std::uint8_t kColumnVariable = 0x12;
constexpr std::uint8_t kColumnOwnerBinary = 0x32;
constexpr std::size_t kMaxInlineProperties = 3000;

// Owner and permission holders of a new database, as a database made by Jet
// stores them (the stored form differs from file to file): the engine's own account (owner of the
// system objects), the Admin user (who creates the database and its tables), the Users group, and
// the stand-in for whoever creates an object (the rights a container hands down to it).
const std::vector<std::uint8_t> kSidEngine{0x06, 0xEA};
const std::vector<std::uint8_t> kSidAdmin{0x07, 0xE8};
const std::vector<std::uint8_t> kSidUsers{0x06, 0xE8};
const std::vector<std::uint8_t> kSidCreator{0x06, 0xED};

std::vector<ColumnDef> ByNumber(std::vector<ColumnDef> defs) {
    std::stable_sort(defs.begin(), defs.end(),
                     [](const ColumnDef& a, const ColumnDef& b) { return a.number < b.number; });
    return defs;
}

double NowSerial() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    return DateToSerial(DateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                 local.tm_hour, local.tm_min, local.tm_sec});
}

std::uint64_t DoubleBits(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

// The stored bytes of a value of a short (not long-value) column.
// Returns false for Null.
bool EncodeShortValue(const ColumnDef& c, const Value& v, std::vector<std::uint8_t>& out) {
    out.clear();
    if (IsNull(v)) return false;
    const auto asInt = [&]() -> std::int64_t {
        if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
        if (const auto* d = std::get_if<double>(&v)) return static_cast<std::int64_t>(*d);
        if (const auto* b = std::get_if<bool>(&v)) return *b ? -1 : 0;
        return 0;
    };
    const auto asDouble = [&]() -> double {
        if (const auto* d = std::get_if<double>(&v)) return *d;
        if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
        if (const auto* t = std::get_if<DateTime>(&v)) return DateToSerial(*t);
        return 0;
    };
    switch (c.type) {
    case colBoolean:
        return std::holds_alternative<bool>(v) ? std::get<bool>(v) : asInt() != 0;
    case colByte:
        out.push_back(static_cast<std::uint8_t>(asInt()));
        return true;
    case colInteger:
        out.resize(2);
        Put16(out.data(), static_cast<std::uint32_t>(asInt()));
        return true;
    case colLong:
        out.resize(4);
        Put32(out.data(), static_cast<std::uint32_t>(asInt()));
        return true;
    case colCurrency: {
        out.resize(8);
        const auto* money = std::get_if<Currency>(&v);
        const std::int64_t units = money ? money->units : std::llround(asDouble() * 10000.0);
        Put64(out.data(), static_cast<std::uint64_t>(units));
        return true;
    }
    case colSingle: {
        out.resize(4);
        const float f = static_cast<float>(asDouble());
        std::uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        Put32(out.data(), bits);
        return true;
    }
    case colDouble:
    case colDateTime:
        out.resize(8);
        Put64(out.data(), DoubleBits(asDouble()));
        return true;
    case colGuid: {
        out.assign(16, 0);
        std::string hex;
        if (const auto* s = std::get_if<std::string>(&v)) {
            for (const char ch : *s) {
                if (std::isxdigit(static_cast<unsigned char>(ch))) hex.push_back(ch);
            }
        }
        if (hex.size() != 32) return true;
        std::uint8_t raw[16];
        for (int i = 0; i < 16; ++i)
            raw[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        // The first three groups are stored little-endian.
        const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
        for (int i = 0; i < 16; ++i)
            out[i] = raw[order[i]];
        return true;
    }
    case colText:
    case colMemo:
        if (const auto* s = std::get_if<std::string>(&v)) {
            thread_local std::u16string text;
            Utf8ToUtf16Into(*s, text);
            const bool compress = (c.extraFlags & kColCompressedText) != 0 &&
                                  (c.type == colText || text.size() <= 1024);
            EncodeTextInto(text, compress, out);
        }
        return true;
    default:
        if (const auto* b = std::get_if<Blob>(&v))
            out.assign(b->begin(), b->end());
        else if (const auto* s = std::get_if<std::string>(&v))
            out.assign(s->begin(), s->end());
        return true;
    }
}

NewColumn Column(const char16_t* name, std::uint8_t type, std::uint16_t length,
                 std::uint8_t flags) {
    return NewColumn{name, type, length, flags, 0};
}

// The four system tables of a new database.
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

std::vector<std::uint8_t> EncodeValues(const std::vector<ColumnDef>& byNumber,
                                       const std::vector<Value>& values) {
    std::vector<std::vector<std::uint8_t>> bytes(byNumber.size());
    std::vector<const std::uint8_t*> data(byNumber.size());
    std::vector<std::size_t> sizes(byNumber.size());
    std::vector<char> present(byNumber.size());
    for (std::size_t i = 0; i < byNumber.size(); ++i) {
        present[i] = EncodeShortValue(byNumber[i], values[i], bytes[i]) ? 1 : 0;
        data[i] = bytes[i].data();
        sizes[i] = bytes[i].size();
    }
    return EncodeRow(byNumber, data, sizes, present);
}

struct CatalogRowPlan {
    std::int32_t id, parent;
    const char16_t* name;
    std::int16_t type;
    const std::vector<std::uint8_t>* owner;
};

std::vector<Value> CatalogValues(std::int32_t id, std::int32_t parent, const std::string& name,
                                 std::int64_t type, double date,
                                 const std::vector<std::uint8_t>& owner, std::uint32_t flags) {
    std::vector<Value> v(17, Null{});
    v[0] = std::int64_t{id};
    v[1] = std::int64_t{parent};
    v[2] = name;
    v[3] = type;
    // The serial number itself, to the fraction of a second Jet keeps.
    v[4] = date;
    v[5] = date;
    v[6] = Blob(owner.begin(), owner.end());
    v[7] = std::int64_t{static_cast<std::int32_t>(flags)};
    return v;
}

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

} // namespace

// ---- A new database -----------------------------------------------------------

namespace {

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

// ---- Changing an existing database --------------------------------------------

namespace {

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

[[noreturn]] void RaiseTooLarge(const std::string& path) {
    throw EngineError(errFormatLimit, "The database '" + path +
                                          "' would grow past 2 GB, the largest size an Access "
                                          "database can have.");
}

// A catalog row with where it lies.
struct StoredRow {
    std::uint32_t pointer = 0;
    std::vector<Value> values; // stored column order
};

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

// A system table found through the catalog (see SystemTablePage).
std::optional<TableInfo> ReadSystemTable(JetFile& file, std::string_view name) {
    const auto page = SystemTablePage(file.ReadCatalog(), name);
    if (!page) return std::nullopt;
    return file.ReadTable(*page);
}

std::int64_t IntOf(const Value& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
    return 0;
}

// Values in stored order from values in column-number order.
std::vector<Value> InStoredOrder(const TableInfo& table, const std::vector<Value>& byNumber) {
    std::vector<Value> out(table.columns.size(), Null{});
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        if (table.columns[i].number < byNumber.size()) out[i] = byNumber[table.columns[i].number];
    }
    return out;
}

// Values in column-number order from values in stored order.
std::vector<Value> InNumberOrder(const TableInfo& table, std::vector<Value> stored) {
    std::vector<Value> out(table.columns.size(), Null{});
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        if (table.columns[i].number < out.size())
            out[table.columns[i].number] = std::move(stored[i]);
    }
    return out;
}

// The reference of a long value kept outside its row: on one long-value
// row, or chained over several. `place` stores one long-value row (`link`
// when it is part of a chain) and returns its row pointer.
std::vector<std::uint8_t> OutOfRowReference(
    const std::vector<std::uint8_t>& bytes,
    const std::function<std::uint32_t(const std::vector<std::uint8_t>&, bool)>& place) {
    std::vector<std::uint8_t> ref(kLongValueHeader, 0);
    const auto length = static_cast<std::uint32_t>(bytes.size());
    if (bytes.size() <= kLvalRowMax) {
        Put32(ref.data(), length | kLongValueSinglePage);
        Put32(ref.data() + 4, place(bytes, false));
        return ref;
    }
    // Each row names the next, so the last is written first.
    std::uint32_t next = 0;
    const std::size_t chunks = (bytes.size() + kLvalChunk - 1) / kLvalChunk;
    for (std::size_t k = chunks; k-- > 0;) {
        const std::size_t from = k * kLvalChunk;
        const std::size_t take = std::min(kLvalChunk, bytes.size() - from);
        std::vector<std::uint8_t> row(4 + take);
        Put32(row.data(), next);
        std::memcpy(row.data() + 4, bytes.data() + from, take);
        next = place(row, true);
    }
    Put32(ref.data(), length);
    Put32(ref.data() + 4, next);
    return ref;
}

} // namespace

JetWriter::JetWriter(JetFile& file) : file_(file) {
    nextPage_ = file_.PageCount();
    LoadFreeMap();
}

JetWriter::~JetWriter() = default;

void JetWriter::LoadFreeMap() {
    freePages_.assign(nextPage_, false);
    for (const std::uint32_t page : file_.ReadUsageMap(RowPointer(1, 0))) {
        // Pages 0 and 1 and the catalog are never free, whatever a damaged map says.
        if (page > kCatalogPage && page < nextPage_) freePages_[page] = true;
    }
}

std::uint32_t JetWriter::AllocatePage() {
    for (; searchFrom_ < freePages_.size(); ++searchFrom_) {
        if (freePages_[searchFrom_]) {
            freePages_[searchFrom_] = false;
            freeMapDirty_ = true;
            return searchFrom_++;
        }
    }
    if ((std::uint64_t(nextPage_) + 1) * kPageSize > kMaxFileSize) RaiseTooLarge(file_.Path());
    freeMapDirty_ = true;
    freePages_.push_back(false);
    return nextPage_++;
}

void JetWriter::FreePage(std::uint32_t page) {
    if (page <= kCatalogPage || page >= freePages_.size()) return;
    freePages_[page] = true;
    searchFrom_ = std::min(searchFrom_, page);
    freeMapDirty_ = true;
}

void JetWriter::StorePage(std::uint32_t number, const Page& page) {
    const std::uint64_t at = std::uint64_t(number) * kPageSize;
    if (const int error = file_.Data().WriteAt(at, page.data(), kPageSize)) {
        try {
            RaiseWriteError(error, file_.Path(),
                            "Writing page " + std::to_string(number) + " of '" + file_.Path() +
                                "'");
        } catch (const EngineError& e) {
            file_.NoteWriteFailed(e);
            throw;
        }
    }
    file_.NoteWritten(number, page, nextPage_);
}

void JetWriter::WriteFreeMap() {
    // Pages past the end of the file count as free, as Jet marks them.
    std::vector<std::uint32_t> free;
    for (std::uint32_t p = 0; p < freePages_.size(); ++p) {
        if (freePages_[p]) free.push_back(p);
    }
    const auto withTail = [&](std::uint64_t limit) {
        std::vector<std::uint32_t> all = free;
        for (std::uint64_t p = nextPage_; p < limit; ++p)
            all.push_back(static_cast<std::uint32_t>(p));
        return all;
    };
    std::vector<std::uint8_t> row;
    // A map Access keeps in the large form stays in it, on its pages.
    const std::vector<std::uint8_t> old = file_.RowBytes(1, 0);
    if (nextPage_ <= kInlineMapPages && (old.empty() || old[0] != 1)) {
        row = *InlineUsageMap(withTail(kInlineMapPages));
    } else {
        // The large form: one map page per 32736 pages, kept where they are.
        // A pointer that names no page (Access leaves negative ones) gets a
        // page when its range is needed.
        std::vector<std::uint32_t> mapPages;
        if (!old.empty() && old[0] == 1) {
            for (std::size_t i = 0; i < kUsageMapPointers && 1 + 4 * i + 4 <= old.size(); ++i)
                mapPages.push_back(MapPagePointer(Get32(old.data() + 1 + 4 * i), nextPage_));
        }
        mapPages.resize(kUsageMapPointers, 0);
        const std::size_t needed = (nextPage_ + 64 + kMapPageBits - 1) / kMapPageBits;
        for (std::size_t i = 0; i < needed && i < kUsageMapPointers; ++i) {
            if (mapPages[i] == 0) mapPages[i] = AllocatePage();
        }
        free.clear();
        for (std::uint32_t p = 0; p < freePages_.size(); ++p) {
            if (freePages_[p]) free.push_back(p);
        }
        for (std::size_t i = 0; i < kUsageMapPointers; ++i) {
            if (mapPages[i] == 0) continue;
            Page page{};
            page[0] = pgUsageMap;
            page[1] = 1;
            const std::uint64_t first = std::uint64_t(i) * kMapPageBits;
            for (std::uint64_t bit = 0; bit < kMapPageBits; ++bit) {
                const std::uint64_t p = first + bit;
                const bool isFree = p >= nextPage_ || (p < freePages_.size() &&
                                                       freePages_[static_cast<std::size_t>(p)]);
                if (isFree) page[4 + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
            }
            StorePage(mapPages[i], page);
        }
        row = ReferenceUsageMap(mapPages);
    }
    Page page = file_.ReadPage(1);
    const std::uint16_t entry = Get16(page.data() + kDataRowTable);
    const std::size_t start = entry & kRowOffsetMask;
    // A shorter row than the map would overwrite the row before it.
    if (start + kUsageMapRowSize > kPageSize || old.size() < kUsageMapRowSize)
        file_.Raise("the free-page map is damaged");
    std::memcpy(page.data() + start, row.data(), kUsageMapRowSize);
    StorePage(1, page);
}

void JetWriter::Flush() {
    if (!freeMapDirty_) return;
    WriteFreeMap();
    freeMapDirty_ = false;
}

std::vector<std::uint32_t>
JetWriter::AddUsageMapRows(const std::vector<std::vector<std::uint8_t>>& rows) {
    std::vector<std::uint32_t> pointers;
    std::uint32_t number = 0;
    std::unique_ptr<DataPageBuilder> builder;
    for (const auto& row : rows) {
        if (!builder || !builder->Fits(row.size())) {
            if (builder) StorePage(number, builder->Bytes());
            number = AllocatePage();
            builder = std::make_unique<DataPageBuilder>(0);
        }
        pointers.push_back(RowPointer(number, builder->Add(row.data(), row.size())));
    }
    if (builder) StorePage(number, builder->Bytes());
    return pointers;
}

std::vector<std::uint8_t> JetWriter::MapRow(const std::vector<std::uint32_t>& pages) {
    if (auto inlineRow = InlineUsageMap(pages)) return *inlineRow;
    std::vector<std::uint32_t> mapPages(kUsageMapPointers, 0);
    std::vector<Page> built(kUsageMapPointers);
    for (const std::uint32_t p : pages) {
        const std::size_t i = p / kMapPageBits;
        if (i >= kUsageMapPointers) continue;
        if (mapPages[i] == 0) {
            mapPages[i] = AllocatePage();
            built[i].fill(0);
            built[i][0] = pgUsageMap;
            built[i][1] = 1;
        }
        const std::size_t bit = p % kMapPageBits;
        built[i][4 + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    for (std::size_t i = 0; i < kUsageMapPointers; ++i) {
        if (mapPages[i] != 0) StorePage(mapPages[i], built[i]);
    }
    return ReferenceUsageMap(mapPages);
}

void JetWriter::RewriteUsageMap(std::uint32_t pointer, const std::vector<std::uint32_t>& pages) {
    const std::uint32_t number = pointer >> 8, row = pointer & 0xFF;
    // Map pages of an old large form are let go first.
    for (const std::uint32_t p : file_.MapPages(pointer))
        FreePage(p);
    const std::vector<std::uint8_t> bytes = MapRow(pages);
    Page page = file_.ReadPage(number);
    const std::uint32_t count = Get16(page.data() + kDataRowCount);
    if (row >= count) file_.Raise("a usage map row is missing");
    const std::size_t start = Get16(page.data() + kDataRowTable + 2 * row) & kRowOffsetMask;
    if (start + kUsageMapRowSize > kPageSize ||
        file_.RowBytes(number, row).size() < kUsageMapRowSize)
        file_.Raise("a usage map row is damaged");
    std::memcpy(page.data() + start, bytes.data(), kUsageMapRowSize);
    StorePage(number, page);
}

std::uint32_t JetWriter::InsertRow(const TableInfo& table, const std::vector<std::uint8_t>& row) {
    std::vector<std::uint32_t> used = file_.ReadUsageMap(table.usedPages);
    for (const std::uint32_t number : used) {
        const Page& existing = file_.ReadPage(number);
        if (existing[0] != pgData || Get32(existing.data() + kDataOwner) != table.tdefPage)
            continue;
        DataPageBuilder builder(existing);
        if (!builder.Fits(row.size())) continue;
        const std::uint32_t r = builder.Add(row.data(), row.size());
        StorePage(number, builder.Bytes());
        return RowPointer(number, r);
    }
    const std::uint32_t number = AllocatePage();
    DataPageBuilder builder(table.tdefPage);
    const std::uint32_t r = builder.Add(row.data(), row.size());
    StorePage(number, builder.Bytes());
    used.push_back(number);
    RewriteUsageMap(table.usedPages, used);
    RewriteUsageMap(table.freePages, {number});
    return RowPointer(number, r);
}

void JetWriter::DeleteRow(std::uint32_t number, std::uint32_t row) {
    DataPageBuilder builder(file_.ReadPage(number));
    if (row >= builder.RowCount()) file_.Raise("a row to delete is missing");
    builder.MarkDeleted(row);
    StorePage(number, builder.Bytes());
}

void JetWriter::SetTableCounts(std::uint32_t tdefPage, std::int64_t rowDelta,
                               std::int64_t indexDelta) {
    Page page = file_.ReadPage(tdefPage);
    const auto adjust = [](std::uint8_t* p, std::int64_t delta) {
        const std::int64_t value = std::max<std::int64_t>(0, std::int64_t(Get32(p)) + delta);
        Put32(p, static_cast<std::uint32_t>(value));
    };
    adjust(page.data() + kTdefRowCount, rowDelta);
    const std::uint32_t real = std::min<std::uint32_t>(Get32(page.data() + kTdefRealIndexes), 64);
    for (std::uint32_t i = 0; i < real; ++i) {
        const std::size_t at = kTdefBlockEnd + kTdefRealIndexSize * i + 4;
        if (at + 4 <= kPageSize) adjust(page.data() + at, indexDelta);
    }
    StorePage(tdefPage, page);
}

JetWriter::IndexContent JetWriter::ReadIndex(const TableInfo& table,
                                             const TableInfo::RealIndex& index) {
    IndexTree tree = ReadIndexTree(file_, index.firstPage, table.tdefPage);
    return {std::move(tree.entries), tree.PageNumbers()};
}

void JetWriter::WriteIndex(const TableInfo& table, const TableInfo::RealIndex& index,
                           IndexContent content) {
    std::sort(content.entries.begin(), content.entries.end());
    std::vector<std::uint32_t> spare;
    for (const std::uint32_t p : content.pages) {
        if (p != index.firstPage) spare.push_back(p);
    }
    std::size_t reused = 0;
    std::vector<std::uint32_t> fresh;
    const auto built =
        BuildIndexTree(table.tdefPage, index.firstPage, content.entries, [&]() -> std::uint32_t {
            if (reused < spare.size()) return spare[reused++];
            fresh.push_back(AllocatePage());
            return fresh.back();
        });
    if (!built) file_.Raise("an index entry is larger than an index page");
    std::vector<std::uint32_t> pages;
    for (const BuiltIndexPage& page : *built) {
        pages.push_back(page.number);
        // Pages of the old tree that come out the same are left alone.
        const bool isNew = std::find(fresh.begin(), fresh.end(), page.number) != fresh.end();
        if (page.number == index.firstPage || isNew || file_.ReadPage(page.number) != page.bytes)
            StorePage(page.number, page.bytes);
    }
    for (std::size_t i = reused; i < spare.size(); ++i)
        FreePage(spare[i]);
    std::sort(pages.begin(), pages.end());
    std::sort(content.pages.begin(), content.pages.end());
    if (pages != content.pages) {
        if (index.usedPages == 0) file_.Raise("an index of several pages has no page map");
        RewriteUsageMap(index.usedPages, pages);
    }
}

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

std::uint32_t JetWriter::AddTable(const std::string& name, const std::vector<Field>& fields) {
    CheckCanAddTable(name, fields.size());
    // AllowZeroLength lives in the table's properties: kept in the catalog
    // row while they are small, on the catalog's long-value pages when not
    // (a very wide table with long column names).
    std::vector<std::u16string> zeroLength;
    for (const Field& field : fields) {
        if (field.AllowZeroLength && (field.Type == dbText || field.Type == dbMemo))
            zeroLength.push_back(Utf8ToUtf16(field.Name));
    }
    const auto properties =
        zeroLength.empty() ? std::vector<std::uint8_t>{} : ZeroLengthProperties(zeroLength);
    std::optional<std::uint16_t> propertyColumn;
    if (properties.size() > kMaxInlineProperties) {
        const TableInfo catalog = file_.ReadTable(kCatalogPage);
        const int k = catalog.ColumnIndex("LvProp");
        for (const auto& maps : catalog.longValueMaps) {
            if (k >= 0 && std::get<0>(maps) == catalog.columns[static_cast<std::size_t>(k)].number)
                propertyColumn = std::get<0>(maps);
        }
        if (!propertyColumn) {
            throw EngineError(errOperationNotSupported,
                              "The catalog of '" + file_.Path() +
                                  "' keeps no pages for the properties of a table this wide.");
        }
    }
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

    // The catalog row, and the permissions the Tables container hands down.
    const TableInfo catalog = file_.ReadTable(kCatalogPage);
    // The table belongs to the account this engine works as, as it would
    // to whoever created it in Access.
    const std::vector<std::uint8_t> owner = AdminIdentity(file_.ReadCatalog()).value_or(kSidAdmin);
    const std::int32_t id = static_cast<std::int32_t>(tdefPages[0]);
    std::vector<Value> values =
        CatalogValues(id, kTablesContainerId, name, kObjTable, NowSerial(), owner, 0);
    if (propertyColumn) {
        const auto stored = StoreSystemLongValue(catalog, *propertyColumn, properties);
        values[14] = Blob(stored.begin(), stored.end());
    } else if (!properties.empty()) {
        Blob stored(kLongValueHeader, 0);
        Put32(stored.data(), static_cast<std::uint32_t>(properties.size()) | kLongValueInline);
        stored.insert(stored.end(), properties.begin(), properties.end());
        values[14] = std::move(stored);
    }
    InsertCatalogRows(catalog, InNumberOrder(catalog, [&] {
                          // CatalogValues is in the new-database column order.
                          std::vector<Value> stored(catalog.columns.size(), Null{});
                          const auto plans = CatalogColumns();
                          for (std::size_t n = 0; n < plans.size(); ++n) {
                              for (std::size_t i = 0; i < catalog.columns.size(); ++i) {
                                  if (catalog.columns[i].name16 == plans[n].name)
                                      stored[i] = values[n];
                              }
                          }
                          return stored;
                      }()));

    const auto found = ReadSystemTable(file_, "MSysACEs");
    const TableInfo aces = found.value_or(TableInfo{});
    const int object = aces.ColumnIndex("ObjectId"), sid = aces.ColumnIndex("SID"),
              acm = aces.ColumnIndex("ACM"), inherit = aces.ColumnIndex("FInheritable");
    if (found && object >= 0 && sid >= 0 && acm >= 0 && inherit >= 0) {
        std::vector<std::vector<Value>> handed;
        for (const StoredRow& row : ReadRowsWithPointers(file_, aces)) {
            const auto* flag = std::get_if<bool>(&row.values[static_cast<std::size_t>(inherit)]);
            if (IntOf(row.values[static_cast<std::size_t>(object)]) != kTablesContainerId ||
                flag == nullptr || !*flag)
                continue;
            std::vector<Value> copy = row.values;
            copy[static_cast<std::size_t>(object)] = std::int64_t{id};
            copy[static_cast<std::size_t>(inherit)] = false;
            handed.push_back(InNumberOrder(aces, std::move(copy)));
        }
        for (const auto& ace : handed)
            InsertCatalogRows(file_.ReadTable(aces.tdefPage), ace);
    }
    Flush();
    return tdefPages[0];
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

    const TableInfo catalog = file_.ReadTable(kCatalogPage);
    const int idColumn = catalog.ColumnIndex("Id");
    std::vector<std::uint32_t> catalogRows;
    for (const StoredRow& row : ReadRowsWithPointers(file_, catalog)) {
        if (idColumn >= 0 && IntOf(row.values[static_cast<std::size_t>(idColumn)]) == entry.id)
            catalogRows.push_back(row.pointer);
    }
    RemoveCatalogRows(catalog, catalogRows);
    if (const auto aces = ReadSystemTable(file_, "MSysACEs")) {
        const int object = aces->ColumnIndex("ObjectId");
        std::vector<std::uint32_t> aceRows;
        for (const StoredRow& row : ReadRowsWithPointers(file_, *aces)) {
            if (object >= 0 && IntOf(row.values[static_cast<std::size_t>(object)]) == entry.id)
                aceRows.push_back(row.pointer);
        }
        RemoveCatalogRows(*aces, aceRows);
    }

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
    for (const std::uint32_t p : pages)
        FreePage(p);
    Flush();
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

// ---- Appending rows ------------------------------------------------------------

std::unique_ptr<JetWriter::Appender> JetWriter::OpenAppender(std::uint32_t tdefPage) {
    TableInfo table = file_.ReadTable(tdefPage);
    if (!table.indexes.empty()) {
        throw EngineError(errOperationNotSupported,
                          "Rows can be added here only to tables without indexes.");
    }
    return std::make_unique<Appender>(*this, std::move(table));
}

JetWriter::Appender::Appender(JetWriter& writer, TableInfo table)
    : writer_(writer), table_(std::move(table)), byNumber_(ByNumber(table_.columns)) {
    for (const std::uint32_t p : writer_.File().ReadUsageMap(table_.usedPages))
        dataPages_.push_back(p);
    for (const auto& [column, used, free] : table_.longValueMaps) {
        (void)free;
        for (const std::uint32_t p : writer_.File().ReadUsageMap(used))
            lvalPages_[column].push_back(p);
    }
    scratch_.resize(byNumber_.size());
}

JetWriter::Appender::~Appender() = default;

void JetWriter::Appender::FlushDataPage() {
    if (!page_) return;
    writer_.StorePage(pageNumber_, page_->Bytes());
    page_.reset();
}

void JetWriter::Appender::FlushLvalPage(std::size_t column) {
    auto it = lvalOpen_.find(column);
    if (it == lvalOpen_.end() || !it->second.second) return;
    writer_.StorePage(it->second.first, it->second.second->Bytes());
    it->second.second.reset();
}

// Stores one long-value row on the column's open long-value page.
std::uint32_t JetWriter::Appender::StoreLongValue(const std::vector<std::uint8_t>& bytes,
                                                  std::size_t column, bool /*chained*/,
                                                  std::uint32_t* /*pointerOut*/) {
    auto& [number, builder] = lvalOpen_[column];
    if (!builder || !builder->Fits(bytes.size())) {
        FlushLvalPage(column);
        number = writer_.AllocatePage();
        builder = std::make_unique<DataPageBuilder>(kLvalMarker);
        lvalPages_[column].push_back(number);
    }
    return RowPointer(number, builder->Add(bytes.data(), bytes.size()));
}

void JetWriter::Appender::Add(const std::vector<Value>& values) {
    const std::size_t count = byNumber_.size();
    std::vector<const std::uint8_t*> data(count);
    std::vector<std::size_t> sizes(count);
    std::vector<char> present(count);
    std::vector<std::size_t> longColumns;
    for (std::size_t i = 0; i < count; ++i) {
        present[i] = EncodeShortValue(byNumber_[i], values[i], scratch_[i]) ? 1 : 0;
        const auto t = byNumber_[i].type;
        if ((t == colMemo || t == colOle) && present[i]) longColumns.push_back(i);
        if ((t == colText || t == colBinary) && scratch_[i].size() > byNumber_[i].length) {
            throw EngineError(errValueTooLong,
                              "A value is too long for the field '" + byNumber_[i].name + "'.");
        }
    }
    // Long values: in the row while the row stays small enough, otherwise on
    // long-value pages (one row when it fits, a chain of rows when not).
    // The row's size with every long value out of the row: the fixed area,
    // the variable values, their offsets and the null mask.
    std::size_t fixedArea = 0, varCount = 0, rowSize = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const ColumnDef& c = byNumber_[i];
        if (c.Fixed()) {
            if (c.type != colBoolean)
                fixedArea = std::max<std::size_t>(fixedArea, std::size_t(c.fixedOffset) + c.length);
            continue;
        }
        ++varCount;
        if (!present[i]) continue;
        rowSize += (c.type == colMemo || c.type == colOle) ? kLongValueHeader : scratch_[i].size();
    }
    rowSize += 2 + fixedArea + (varCount > 0 ? 4 + 2 * varCount : 0) + (count + 7) / 8;
    std::vector<std::vector<std::uint8_t>> refs(longColumns.empty() ? 0 : count);
    for (const std::size_t i : longColumns) {
        const std::vector<std::uint8_t>& bytes = scratch_[i];
        std::vector<std::uint8_t>& ref = refs[i];
        ref.assign(kLongValueHeader, 0);
        const auto length = static_cast<std::uint32_t>(bytes.size());
        if (bytes.size() > kLongValueLengthMask) {
            throw EngineError(errValueTooLong,
                              "A value is too long for the field '" + byNumber_[i].name + "'.");
        }
        const std::size_t column = byNumber_[i].number;
        if (bytes.size() <= kLongValueInlineMax && rowSize + bytes.size() <= kMaxRowSize) {
            Put32(ref.data(), length | kLongValueInline);
            ref.insert(ref.end(), bytes.begin(), bytes.end());
            rowSize += bytes.size();
        } else {
            ref = OutOfRowReference(bytes, [&](const std::vector<std::uint8_t>& row, bool link) {
                return StoreLongValue(row, column, link, nullptr);
            });
        }
        data[i] = ref.data();
        sizes[i] = ref.size();
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (refs.empty() || refs[i].empty()) {
            data[i] = scratch_[i].data();
            sizes[i] = scratch_[i].size();
        }
    }
    const std::vector<std::uint8_t> row = EncodeRow(byNumber_, data, sizes, present);
    if (row.size() > kMaxRowSize) {
        throw EngineError(errRecordTooLarge,
                          "The record is too large: an Access row holds at most " +
                              std::to_string(kMaxRowSize) + " bytes outside its memo fields.");
    }
    if (!page_ || !page_->Fits(row.size())) {
        FlushDataPage();
        pageNumber_ = writer_.AllocatePage();
        page_ = std::make_unique<DataPageBuilder>(table_.tdefPage);
        dataPages_.push_back(pageNumber_);
    }
    page_->Add(row.data(), row.size());
    ++rows_;
}

void JetWriter::Appender::Finish() {
    if (finished_) return;
    finished_ = true;
    FlushDataPage();
    for (auto& [column, open] : lvalOpen_) {
        (void)open;
        FlushLvalPage(column);
    }
    writer_.RewriteUsageMap(table_.usedPages, dataPages_);
    std::vector<std::uint32_t> withSpace;
    if (!dataPages_.empty()) withSpace.push_back(dataPages_.back());
    writer_.RewriteUsageMap(table_.freePages, withSpace);
    for (const auto& [column, used, free] : table_.longValueMaps) {
        const auto& pages = lvalPages_[column];
        writer_.RewriteUsageMap(used, pages);
        writer_.RewriteUsageMap(free, pages.empty() ? std::vector<std::uint32_t>{}
                                                    : std::vector<std::uint32_t>{pages.back()});
    }
    writer_.SetTableCounts(table_.tdefPage, rows_, 0);
    rows_ = 0;
    writer_.Flush();
}

} // namespace engine::jet
