#include "engine/jet/jet_writer.h"

#include "engine/convert.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace engine::jet {

namespace {

constexpr std::int32_t kTablesContainer = 0x0F000001;
constexpr std::int32_t kDatabasesContainer = 0x0F000002;
constexpr std::int32_t kRelationshipsContainer = 0x0F000003;
constexpr std::int32_t kContainerParent = 0x0F000000;
constexpr std::int32_t kDatabaseObject = 0x10000000;
constexpr std::uint32_t kSystemFlag = 0x80000000;
constexpr std::uint64_t kMaxFileSize = std::uint64_t(1) << 31; // 2 GB
constexpr std::uint8_t kIndexUnique = 0x81;
constexpr std::uint8_t kIndexRequired = 0x88;
constexpr std::uint8_t kIndexIgnoreNulls = 0x82;
constexpr std::uint8_t kColumnFixed = 0x13;
constexpr std::uint8_t kColumnVariable = 0x12;
constexpr std::uint8_t kColumnOwnerBinary = 0x32;

// Owner and permission holders of a new database: the engine's own
// identities of an unsecured database.
const std::vector<std::uint8_t> kSidCreator{0x06, 0xEA};
const std::vector<std::uint8_t> kSidUsers{0x07, 0xE8};
const std::vector<std::uint8_t> kSidAdmins{0x06, 0xE8};
const std::vector<std::uint8_t> kSidEngine{0x06, 0xED};

std::vector<ColumnDef> ByNumber(std::vector<ColumnDef> defs) {
    std::stable_sort(defs.begin(), defs.end(),
                     [](const ColumnDef& a, const ColumnDef& b) { return a.number < b.number; });
    return defs;
}

void PutPointerKey(std::vector<std::uint8_t>& entry, std::uint32_t pointer) {
    const std::uint32_t page = pointer >> 8;
    entry.push_back(static_cast<std::uint8_t>(page >> 16));
    entry.push_back(static_cast<std::uint8_t>(page >> 8));
    entry.push_back(static_cast<std::uint8_t>(page));
    entry.push_back(static_cast<std::uint8_t>(pointer));
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
    case colCurrency:
        out.resize(8);
        Put64(out.data(), static_cast<std::uint64_t>(std::llround(asDouble() * 10000.0)));
        return true;
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
            const std::u16string text = Utf8ToUtf16(*s);
            const bool compress = (c.extraFlags & kColCompressedText) != 0 &&
                                  (c.type == colText || text.size() <= 1024);
            out = EncodeText(text, compress);
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

ColumnSpec Column(const char16_t* name, std::uint8_t type, std::uint16_t length,
                  std::uint8_t flags) {
    return ColumnSpec{name, type, length, flags, 0};
}

// The four system tables of a new database.
std::vector<ColumnSpec> CatalogColumns() {
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

std::vector<ColumnSpec> AceColumns() {
    return {
        Column(u"ObjectId", colLong, 4, kColumnFixed),
        Column(u"SID", colBinary, 510, kColumnOwnerBinary),
        Column(u"ACM", colLong, 4, kColumnFixed),
        Column(u"FInheritable", colBoolean, 1, kColumnFixed),
    };
}

std::vector<ColumnSpec> QueryColumns() {
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

std::vector<ColumnSpec> RelationshipColumns() {
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

struct CatalogRowSpec {
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

void CreateEmptyDatabase(const std::string& path, const CreateOptions& options) {
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
    const CatalogRowSpec catalog[] = {
        {kTablesContainer, kContainerParent, u"Tables", 3, &kSidCreator},
        {kDatabasesContainer, kContainerParent, u"Databases", 3, &kSidCreator},
        {kRelationshipsContainer, kContainerParent, u"Relationships", 3, &kSidCreator},
        {kDatabaseObject, kDatabasesContainer, u"MSysDb", 2, &kSidUsers},
        {2, kTablesContainer, u"MSysObjects", 1, &kSidCreator},
        {3, kTablesContainer, u"MSysACEs", 1, &kSidCreator},
        {4, kTablesContainer, u"MSysQueries", 1, &kSidCreator},
        {5, kTablesContainer, u"MSysRelationships", 1, &kSidCreator},
    };
    DataPageBuilder objectRows(pgObjects);
    std::vector<std::vector<std::uint8_t>> nameEntries, idEntries;
    for (const CatalogRowSpec& spec : catalog) {
        const auto row = EncodeValues(objectColumns,
                                      CatalogValues(spec.id, spec.parent, Utf16ToUtf8(spec.name),
                                                    spec.type, created, *spec.owner, kSystemFlag));
        const std::uint32_t r = objectRows.Add(row.data(), row.size());
        auto nameEntry = LongKey(spec.parent);
        const auto text = TextKey(spec.name);
        nameEntry.insert(nameEntry.end(), text->begin(), text->end());
        PutPointerKey(nameEntry, pointer(dataObjects, r));
        nameEntries.push_back(nameEntry);
        auto idEntry = LongKey(spec.id);
        PutPointerKey(idEntry, pointer(dataObjects, r));
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
        {2, &kSidUsers, 393216, false},
        {3, &kSidUsers, 393216, false},
        {4, &kSidUsers, 393216, false},
        {5, &kSidUsers, 917504, false},
        {kTablesContainer, &kSidEngine, 983294, true},
        {kTablesContainer, &kSidUsers, 393217, false},
        {kRelationshipsContainer, &kSidEngine, 983294, true},
        {kRelationshipsContainer, &kSidUsers, 393217, false},
        {kDatabasesContainer, &kSidUsers, 393216, false},
        {kDatabaseObject, &kSidUsers, 393230, false},
        {kDatabaseObject, &kSidAdmins, 14, false},
        {4, &kSidAdmins, 20, false},
        {5, &kSidAdmins, 20, false},
        {2, &kSidAdmins, 20, false},
        {kTablesContainer, &kSidAdmins, 1048319, true},
        {kRelationshipsContainer, &kSidAdmins, 1048575, true},
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
        PutPointerKey(entry, pointer(dataAces, r));
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

    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        const int error = errno;
        if (error == EEXIST)
            throw EngineError(errDatabaseExists, "The database '" + path + "' already exists.");
        throw EngineError(errCannotOpenFile, "The database '" + path + "' could not be created: " +
                                                 std::strerror(error) + ".");
    }
    std::vector<std::uint8_t> all(kPages * kPageSize);
    for (std::uint32_t i = 0; i < kPages; ++i)
        std::memcpy(all.data() + i * kPageSize, pages[i].data(), kPageSize);
    std::size_t done = 0;
    while (done < all.size()) {
        const ssize_t n = ::write(fd, all.data() + done, all.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(path.c_str());
            throw EngineError(error == ENOSPC ? errNoSpace : errDiskIo,
                              "Writing the database '" + path + "' failed.");
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

} // namespace engine::jet
