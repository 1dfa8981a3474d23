// Writing Access (Jet 4) files through the engine: tables of every type,
// long values in each of their forms, replacing tables, Access's own files,
// and what the driver refuses.
#include "engine/jet/jet_build.h"
#include "engine/jet/jet_test_support.h"
#include "engine/temp_folder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace engine::jet {
namespace {

using namespace engine::jet::testing;
using engine::testing::ReadAll;
using engine::testing::TempFolder;

Field MakeField(const TableDef& def, const char* name, int type, int size = 0) {
    Field f = def.CreateField(name, type, size);
    f.AllowZeroLength = type == dbText || type == dbMemo;
    return f;
}

void AddTable(Database& db, const std::string& name, const std::vector<Field>& fields) {
    TableDef def(name);
    for (const Field& f : fields)
        def.AppendField(f);
    db.AppendTableDef(def);
}

void Insert(Database& db, const std::string& table, const std::vector<std::vector<Value>>& rows) {
    auto rs = db.OpenRecordset(table);
    for (const auto& row : rows) {
        rs->AddNew();
        for (std::size_t i = 0; i < row.size(); ++i)
            rs->SetValue(static_cast<int>(i), row[i]);
        rs->Update();
    }
    rs->Close();
}

// The flag byte of each row's long-value reference in column `column`
// (0x80 in the row, 0x40 one long-value row, 0x00 a chain; -1 for Null).
std::vector<int> LongValueForms(const std::string& path, const std::string& table,
                                const std::string& column) {
    auto file = JetFile::Open(path, false);
    std::uint32_t tdef = 0;
    for (const CatalogEntry& e : file->ReadCatalog()) {
        if (e.name == table) tdef = e.TdefPage();
    }
    const TableInfo info = file->ReadTable(tdef);
    const ColumnDef* c = nullptr;
    for (const ColumnDef& col : info.columns) {
        if (col.name == column) c = &col;
    }
    std::vector<int> forms;
    file->ScanRows(info, [&](const std::uint8_t* row, std::size_t size) {
        const std::size_t mask = (Get16(row) + 7) / 8;
        if (((row[size - mask + c->number / 8] >> (c->number % 8)) & 1) == 0) {
            forms.push_back(-1);
            return true;
        }
        const std::size_t varLen = size - mask - 2;
        const std::size_t start = Get16(row + varLen - 2 * (c->varIndex + 1));
        forms.push_back(row[start + 3] & 0xC0);
        return true;
    });
    return forms;
}

class JetWriterTest : public ::testing::Test {
  protected:
    TempFolder folder;
    std::string path = folder / "OUT.MDB";
};

TEST_F(JetWriterTest, EveryTypeRoundTripsWithNullEmptyAndNonAsciiValues) {
    auto db = CreateDatabase(path);
    TableDef def("ALLTYPES");
    const std::vector<Field> fields{
        MakeField(def, "BOOL", dbBoolean),   MakeField(def, "BYTE", dbByte),
        MakeField(def, "INT", dbInteger),    MakeField(def, "LONG", dbLong),
        MakeField(def, "CUR", dbCurrency),   MakeField(def, "SGL", dbSingle),
        MakeField(def, "DBL", dbDouble),     MakeField(def, "DATE", dbDate),
        MakeField(def, "BIN", dbBinary, 8),  MakeField(def, "TEXT", dbText, 20),
        MakeField(def, "OLE", dbLongBinary), MakeField(def, "MEMO", dbMemo),
        MakeField(def, "GUID", dbGUID),
    };
    AddTable(*db, "ALLTYPES", fields);
    const std::vector<std::vector<Value>> rows{
        {true, std::int64_t{255}, std::int64_t{-32768}, std::int64_t{2147483647},
         Currency{9223372036854775}, 1.5, -2.25e300, DateTime{1899, 12, 30, 0, 0, 0},
         Blob{0, 1, 2, 255},
         std::string("Gr\xC3\xBC\xC3\x9F"
                     "e \xE2\x82\xAC \xE4\xB8\xAD"),
         Blob{9, 8, 7}, std::string("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"),
         std::string("{00112233-4455-6677-8899-AABBCCDDEEFF}")},
        {false, Null{}, Null{}, Null{}, Null{}, Null{}, Null{}, Null{}, Null{}, Null{}, Null{},
         Null{}, Null{}},
        {false, std::int64_t{0}, std::int64_t{0}, std::int64_t{-2147483648LL}, Currency{-1}, 0.0,
         0.0, DateTime{9999, 12, 31, 23, 59, 59}, Blob{}, std::string(""), Blob{}, std::string(""),
         Null{}},
    };
    Insert(*db, "ALLTYPES", rows);
    const TableDef stored = db->TableDefs("ALLTYPES");
    ASSERT_EQ(stored.FieldCount(), 13);
    for (int i = 0; i < 13; ++i) {
        EXPECT_EQ(stored.Fields(i).Name, fields[i].Name);
        EXPECT_EQ(stored.Fields(i).Type, fields[i].Type);
        EXPECT_EQ(stored.Fields(i).Size, fields[i].Size) << fields[i].Name;
        EXPECT_EQ(stored.Fields(i).AllowZeroLength, fields[i].AllowZeroLength) << fields[i].Name;
    }
    const auto back = ReadAll(*db, "ALLTYPES");
    db->Close();
    ASSERT_EQ(back.size(), rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t i = 0; i < rows[r].size(); ++i) {
            if (i == 5 && std::holds_alternative<double>(rows[r][i])) {
                EXPECT_FLOAT_EQ(std::get<double>(back[r][i]), std::get<double>(rows[r][i]));
                continue;
            }
            EXPECT_EQ(back[r][i], rows[r][i]) << "row " << r << " field " << fields[i].Name;
        }
    }
    EXPECT_TRUE(Problems(path).empty());
}

TEST_F(JetWriterTest, LongValuesTakeTheFormTheirSizeNeeds) {
    auto db = CreateDatabase(path);
    TableDef def("MEMOS");
    AddTable(*db, "MEMOS", {MakeField(def, "N", dbLong), MakeField(def, "M", dbMemo)});
    // Compressed Latin text takes one byte per character plus two; longer
    // than 1024 characters it is stored uncompressed.
    const std::vector<std::string> memos{
        std::string(254, 'a'),    // 256 bytes: still in the row
        std::string(255, 'b'),    // one long-value row
        std::string(1024, 'c'),   // 1026 bytes compressed: one row
        std::string(2039, 'd'),   // 4078 bytes uncompressed: one row
        std::string(2041, 'e'),   // 4082 bytes: a chain
        std::string(50000, 'f'),  // a long chain
        std::string(3000, '\xE4') // not UTF-8: each byte a replacement character
    };
    std::vector<std::vector<Value>> rows;
    for (std::size_t i = 0; i < memos.size(); ++i)
        rows.push_back({std::int64_t(i), memos[i]});
    rows.push_back({std::int64_t{99}, Null{}});
    Insert(*db, "MEMOS", rows);
    const auto back = ReadAll(*db, "MEMOS");
    db->Close();
    for (std::size_t i = 0; i + 1 < memos.size(); ++i)
        EXPECT_EQ(std::get<std::string>(back[i][1]), memos[i]) << i;
    EXPECT_EQ(std::get<std::string>(back[6][1]).size(), 3000u * 3);
    EXPECT_TRUE(IsNull(back[7][1]));
    EXPECT_EQ(LongValueForms(path, "MEMOS", "M"),
              (std::vector<int>{0x80, 0x40, 0x40, 0x40, 0x00, 0x00, 0x00, -1}));
    EXPECT_TRUE(Problems(path).empty());
}

TEST_F(JetWriterTest, ManyRowsUseTheLargeFormOfThePageMaps) {
    auto db = CreateDatabase(path);
    TableDef def("BIG");
    AddTable(*db, "BIG", {MakeField(def, "N", dbLong), MakeField(def, "T", dbText, 255)});
    auto rs = db->OpenRecordset("BIG");
    constexpr int kRows = 30000;
    for (int i = 0; i < kRows; ++i) {
        rs->AddNew();
        rs->SetValue(0, std::int64_t{i});
        rs->SetValue(1, std::string(200, char('a' + i % 26)));
        rs->Update();
    }
    rs->Close();
    const auto back = ReadAll(*db, "BIG");
    db->Close();
    ASSERT_EQ(back.size(), std::size_t(kRows));
    for (int i : {0, 254, 255, 256, kRows - 1}) {
        EXPECT_EQ(std::get<std::int64_t>(back[i][0]), i);
        EXPECT_EQ(std::get<std::string>(back[i][1]), std::string(200, char('a' + i % 26)));
    }
    auto file = JetFile::Open(path, false);
    ASSERT_GT(file->PageCount(), kInlineMapPages);
    std::uint32_t tdef = 0;
    for (const CatalogEntry& e : file->ReadCatalog()) {
        if (e.name == "BIG") tdef = e.TdefPage();
    }
    const TableInfo info = file->ReadTable(tdef);
    EXPECT_EQ(info.rowCount, std::uint32_t(kRows));
    EXPECT_EQ((*file->ReadRow(info.usedPages >> 8, info.usedPages & 0xFF))[0], 1) << "large form";
    EXPECT_EQ((*file->ReadRow(1, 0))[0], 1) << "the free-page map in its large form";
    EXPECT_TRUE(CheckStructure(*file).empty());
}

TEST_F(JetWriterTest, ReplacingATableLeavesTheOtherUnchangedAndReusesPages) {
    auto db = CreateDatabase(path);
    TableDef def("T");
    const std::vector<Field> fields{MakeField(def, "N", dbLong), MakeField(def, "M", dbMemo)};
    AddTable(*db, "FIRST", fields);
    Insert(*db, "FIRST", {{std::int64_t{1}, std::string(5000, 'x')}, {std::int64_t{2}, Null{}}});
    AddTable(*db, "SECOND", fields);
    Insert(*db, "SECOND", {{std::int64_t{3}, std::string(9000, 'y')}});
    const auto first = ReadAll(*db, "FIRST");
    db->Close();
    const auto sizeBefore = std::filesystem::file_size(path);

    auto again = Engine().Workspaces(0).OpenDatabase(path);
    again->DeleteTableDef("second");
    EXPECT_EQ(ErrorNumber([&] { again->DeleteTableDef("SECOND"); }), errItemNotFound);
    AddTable(*again, "SECOND", fields);
    Insert(*again, "SECOND", {{std::int64_t{4}, std::string(9000, 'z')}});
    EXPECT_EQ(ReadAll(*again, "FIRST"), first);
    EXPECT_EQ(ReadAll(*again, "SECOND").size(), 1u);
    EXPECT_EQ(again->TableNames(), (std::vector<std::string>{"FIRST", "SECOND"}));
    EXPECT_EQ(ErrorNumber([&] { AddTable(*again, "first", fields); }), errTableExists);
    again->Close();
    EXPECT_EQ(std::filesystem::file_size(path), sizeBefore) << "freed pages are used again";
    EXPECT_TRUE(Problems(path).empty());

    // The dropped catalog row is marked deleted with both flags.
    auto file = JetFile::Open(path, false);
    const Page& page = file->ReadPage(17);
    int deleted = 0;
    for (std::uint32_t r = 0; r < Get16(page.data() + kDataRowCount); ++r) {
        const std::uint16_t entry = Get16(page.data() + kDataRowTable + 2 * r);
        if (entry & kRowDeleted) {
            EXPECT_TRUE(entry & kRowOverflow);
            ++deleted;
        }
    }
    EXPECT_EQ(deleted, 1);
}

// The catalog's reference to a table's property block: its form (the flag
// byte, as LongValueForms gives it) and the long-value rows it lies in.
std::pair<int, std::vector<std::uint32_t>> PropertyBlockRows(const std::string& path,
                                                             const std::string& table) {
    auto file = JetFile::Open(path, false);
    const TableInfo catalog = file->ReadTable(kCatalogPage);
    const ColumnDef *name = nullptr, *props = nullptr;
    for (const ColumnDef& c : catalog.columns) {
        if (c.name == "Name") name = &c;
        if (c.name == "LvProp") props = &c;
    }
    std::pair<int, std::vector<std::uint32_t>> found{-1, {}};
    file->ScanRows(catalog, [&](const std::uint8_t* row, std::size_t size) {
        const auto stored = file->StoredValue(row, size, *name);
        if (!stored || DecodeText(stored->data(), stored->size()) != table) return true;
        const auto ref = file->StoredValue(row, size, *props);
        if (ref) {
            found.first = (*ref)[3] & 0xC0;
            file->ReadLongValue(ref->data(), ref->size(), &found.second);
        }
        return false;
    });
    return found;
}

std::size_t CountOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Text columns allowing "" with names of 64 characters: about 150 bytes of
// property block each.
std::vector<Field> LongNamedTextFields(char letter, int count) {
    TableDef def("T");
    std::vector<Field> fields;
    for (int i = 0; i < count; ++i) {
        const std::string name =
            std::string(1, letter) + std::string(53, '_') + "column" + std::to_string(1000 + i);
        fields.push_back(MakeField(def, name.c_str(), dbText, 10));
    }
    return fields;
}

TEST_F(JetWriterTest, AVeryWideTableKeepsItsPropertiesOnLongValuePages) {
    // 255 Text columns with long names allowing "": a property block of
    // about 38 KB, a chain of long-value rows owned by the catalog.
    const auto wide = [](char letter) { return LongNamedTextFields(letter, 255); };
    auto db = CreateDatabase(path);
    TableDef def("T");
    AddTable(*db, "SMALL", {MakeField(def, "N", dbLong), MakeField(def, "S", dbText, 5)});
    Insert(*db, "SMALL", {{std::int64_t{1}, std::string("")}});
    const auto first = wide('A');
    AddTable(*db, "WIDE", first);
    std::vector<Value> row(255, std::string(""));
    row[0] = std::string("zero");
    row[254] = Null{};
    Insert(*db, "WIDE", {row});
    db->Close();

    const auto check = [&](const std::vector<Field>& fields) {
        EXPECT_EQ(Problems(path), std::vector<std::string>{});
        const auto [form, rows] = PropertyBlockRows(path, "WIDE");
        EXPECT_EQ(form, 0x00) << "a chain";
        EXPECT_GE(rows.size(), 9u);
        auto file = JetFile::Open(path, false);
        for (const CatalogEntry& e : file->ReadCatalog()) {
            if (e.name == "WIDE") {
                EXPECT_EQ(ColumnsAllowingZeroLength(e.properties).size(), 255u);
            }
        }
        auto reopened = Engine().Workspaces(0).OpenDatabase(path);
        const TableDef stored = reopened->TableDefs("WIDE");
        EXPECT_EQ(stored.FieldCount(), 255);
        for (int i = 0; i < std::min(stored.FieldCount(), 255); ++i) {
            EXPECT_EQ(stored.Fields(i).Name, fields[i].Name);
            EXPECT_TRUE(stored.Fields(i).AllowZeroLength) << fields[i].Name;
        }
        EXPECT_EQ(ReadAll(*reopened, "SMALL"),
                  (std::vector<std::vector<Value>>{{std::int64_t{1}, std::string("")}}));
        reopened->Close();
        if (HaveTool("mdb-export")) {
            EXPECT_EQ(RunTool("mdb-count '" + path + "' WIDE"), "1\n");
            EXPECT_EQ(CountOf(RunTool("mdb-prop '" + path + "' WIDE"), "AllowZeroLength: yes"),
                      255u);
            EXPECT_NE(RunTool("mdb-schema '" + path + "' access").find(fields[254].Name),
                      std::string::npos);
        }
        const std::string js = std::string(NORVAKEL_JS_READER);
        if (HaveTool("node") && std::filesystem::exists(js + "/node_modules/mdb-reader")) {
            std::string names, types, values;
            for (int i = 0; i < 255; ++i) {
                const std::string comma = i > 0 ? "," : "";
                names += comma + "\"" + fields[i].Name + "\"";
                types += comma + "\"text\"";
                values += comma + (i == 0 ? "\"zero\"" : i == 254 ? "null" : "\"\"");
            }
            const std::string expectedPath = folder / "expected.json";
            std::ofstream(expectedPath) << "{\"WIDE\":{\"columns\":[" << names << "],\"types\":["
                                        << types << "],\"rows\":[[" << values << "]]}}";
            EXPECT_EQ(
                RunTool("node '" + js + "/compare.mjs' '" + path + "' '" + expectedPath + "'"),
                "OK\n");
        }
        return rows;
    };
    const auto firstRows = check(first);

    // Replaced (twice): the old block's pages are let go and used again.
    std::uintmax_t size = 0;
    for (const char letter : {'B', 'C'}) {
        auto again = Engine().Workspaces(0).OpenDatabase(path);
        again->DeleteTableDef("WIDE");
        const auto fields = wide(letter);
        AddTable(*again, "WIDE", fields);
        Insert(*again, "WIDE", {row});
        again->Close();
        const auto rows = check(fields);
        EXPECT_EQ(rows.size(), firstRows.size());
        if (letter == 'C') {
            EXPECT_EQ(std::filesystem::file_size(path), size);
        }
        size = std::filesystem::file_size(path);
    }
}

TEST_F(JetWriterTest, DroppingATableLetsGoOnlyOfItsOwnLongValueRows) {
    // A damaged file: the property reference of WIDE points at the row of
    // another table. Dropping WIDE must not delete that row.
    auto db = CreateDatabase(path);
    TableDef def("T");
    AddTable(*db, "SMALL", {MakeField(def, "N", dbLong)});
    Insert(*db, "SMALL", {{std::int64_t{42}}});
    AddTable(*db, "WIDE", LongNamedTextFields('A', 25));
    db->Close();
    std::uint32_t smallPage = 0;
    std::vector<std::uint8_t> reference;
    {
        auto file = JetFile::Open(path, false);
        for (const CatalogEntry& e : file->ReadCatalog()) {
            if (e.name == "SMALL")
                smallPage = file->ReadUsageMap(file->ReadTable(e.TdefPage()).usedPages).at(0);
        }
        const TableInfo catalog = file->ReadTable(kCatalogPage);
        for (const ColumnDef& c : catalog.columns) {
            if (c.name != "LvProp") continue;
            file->ScanRows(catalog, [&](const std::uint8_t* row, std::size_t size) {
                if (auto ref = file->StoredValue(row, size, c); ref && (*ref)[3] == 0x40)
                    reference = *ref;
                return true;
            });
        }
    }
    ASSERT_EQ(reference.size(), kLongValueHeader);
    auto bytes = ReadBytes(path);
    const auto at = std::search(bytes.begin(), bytes.end(), reference.begin(), reference.end());
    ASSERT_NE(at, bytes.end());
    Put32(&*at, 4 | kLongValueSinglePage);
    Put32(&*at + 4, RowPointer(smallPage, 0));
    WriteBytes(path, bytes);
    EXPECT_FALSE(Problems(path).empty()) << "the checker sees the damage";

    auto again = Engine().Workspaces(0).OpenDatabase(path);
    again->DeleteTableDef("WIDE");
    EXPECT_EQ(ReadAll(*again, "SMALL"), (std::vector<std::vector<Value>>{{std::int64_t{42}}}));
    again->Close();
    EXPECT_EQ(Problems(path), std::vector<std::string>{});
}

TEST_F(JetWriterTest, LargePropertyBlocksInAnAccessFileAreStoredAndFreedAgain) {
    // The catalog's long-value maps of a file Access made; a block that
    // fits one long-value row (25 columns) and one that needs a chain.
    if (!HaveSample("empty2003.mdb")) GTEST_SKIP();
    CopySample("empty2003.mdb", path);
    std::uintmax_t size = 0;
    for (const char letter : {'A', 'B', 'C'}) {
        auto db = Engine().Workspaces(0).OpenDatabase(path);
        if (letter != 'A') {
            db->DeleteTableDef("MEDIUM");
            db->DeleteTableDef("WIDE");
        }
        AddTable(*db, "MEDIUM", LongNamedTextFields(letter, 25));
        AddTable(*db, "WIDE", LongNamedTextFields(letter, 255));
        db->Close();
        EXPECT_EQ(Problems(path), std::vector<std::string>{}) << letter;
        const auto medium = PropertyBlockRows(path, "MEDIUM");
        EXPECT_EQ(medium.first, 0x40) << "one long-value row";
        EXPECT_EQ(medium.second.size(), 1u);
        EXPECT_EQ(PropertyBlockRows(path, "WIDE").first, 0x00) << "a chain";
        auto file = JetFile::Open(path, false);
        std::size_t allowing = 0;
        for (const CatalogEntry& e : file->ReadCatalog()) {
            if (e.name == "MEDIUM" || e.name == "WIDE")
                allowing += ColumnsAllowingZeroLength(e.properties).size();
        }
        EXPECT_EQ(allowing, 25u + 255u) << letter;
        if (HaveTool("mdb-prop")) {
            const auto yes = [&](const std::string& table) {
                return CountOf(RunTool("mdb-prop '" + path + "' " + table), "AllowZeroLength: yes");
            };
            EXPECT_EQ(yes("MEDIUM"), 25u);
            EXPECT_EQ(yes("WIDE"), 255u);
        }
        if (letter == 'C') {
            EXPECT_EQ(std::filesystem::file_size(path), size) << "freed pages are used again";
        }
        size = std::filesystem::file_size(path);
    }
    const std::string js = std::string(NORVAKEL_JS_READER);
    if (HaveTool("node") && std::filesystem::exists(js + "/node_modules/mdb-reader")) {
        std::string expected = "{";
        for (const auto& [table, count] : {std::pair{"MEDIUM", 25}, std::pair{"WIDE", 255}}) {
            std::string names, types;
            for (const Field& f : LongNamedTextFields('C', count)) {
                names += (names.empty() ? "\"" : ",\"") + f.Name + "\"";
                types += (types.empty() ? "" : ",") + std::string("\"text\"");
            }
            expected += (expected.size() > 1 ? ",\"" : "\"") + std::string(table) +
                        "\":{\"columns\":[" + names + "],\"types\":[" + types + "],\"rows\":[]}";
        }
        const std::string expectedPath = folder / "expected.json";
        std::ofstream(expectedPath) << expected << "}";
        EXPECT_EQ(RunTool("node '" + js + "/compare.mjs' '" + path + "' '" + expectedPath + "'"),
                  "OK\n");
    }
}

TEST_F(JetWriterTest, AddingATableToAnAccessFileKeepsAccessObjects) {
    if (!HaveSample("empty2003.mdb")) GTEST_SKIP();
    CopySample("empty2003.mdb", path);
    std::vector<std::pair<std::string, std::int32_t>> before;
    {
        auto file = JetFile::Open(path, false);
        for (const CatalogEntry& e : file->ReadCatalog())
            before.emplace_back(e.name, e.id);
    }
    auto db = Engine().Workspaces(0).OpenDatabase(path);
    TableDef def("ORDERS");
    AddTable(*db, "ORDERS", {MakeField(def, "ID", dbLong), MakeField(def, "NAME", dbText, 50)});
    Insert(*db, "ORDERS",
           {{std::int64_t{1}, std::string("one")}, {std::int64_t{2}, std::string("")}});
    EXPECT_EQ(db->TableNames(), (std::vector<std::string>{"ORDERS"}));
    db->Close();
    auto file = JetFile::Open(path, false);
    std::vector<std::pair<std::string, std::int32_t>> after;
    for (const CatalogEntry& e : file->ReadCatalog()) {
        if (e.name != "ORDERS") after.emplace_back(e.name, e.id);
    }
    EXPECT_EQ(after, before);
    EXPECT_TRUE(CheckStructure(*file).empty());
}

TEST_F(JetWriterTest, RefusedFilesAreLeftByteForByte) {
    if (!HaveSample("emptyJet4.mdb")) GTEST_SKIP();
    struct Case {
        const char* what;
        std::function<void(std::vector<std::uint8_t>&)> damage;
        int error;
    };
    const auto masked = [](std::vector<std::uint8_t>& b, std::size_t at, std::uint8_t value) {
        Page page;
        std::copy(b.begin(), b.begin() + kPageSize, page.begin());
        UnmaskHeader(page);
        page[at] ^= value;
        UnmaskHeader(page);
        std::copy(page.begin(), page.end(), b.begin());
    };
    const std::vector<Case> cases{
        {"a password", [&](auto& b) { masked(b, kHdrPassword, 'x'); }, errNotValidPassword},
        {"encryption", [&](auto& b) { masked(b, kHdrDatabaseKey, 0x5A); }, errCannotOpenFile},
        {"Jet 3", [](auto& b) { b[kHdrVersion] = 0; }, errUnrecognizedFormat},
        {"ACE", [](auto& b) { b[kHdrVersion] = 2; }, errUnrecognizedFormat},
    };
    for (const Case& c : cases) {
        auto bytes = ReadBytes(Sample("emptyJet4.mdb"));
        c.damage(bytes);
        WriteBytes(path, bytes);
        EXPECT_EQ(ErrorNumber([&] { Engine().Workspaces(0).OpenDatabase(path); }), c.error)
            << c.what;
        EXPECT_EQ(ReadBytes(path), bytes) << c.what;
    }
}

TEST_F(JetWriterTest, RowLimitNamesAndLocksRaiseEngineErrors) {
    auto db = CreateDatabase(path);
    db->Close();
    const auto untouched = ReadBytes(path);
    auto open = Engine().Workspaces(0).OpenDatabase(path);
    TableDef def("X");
    // Names Access does not allow, or whose catalog index key is unknown here
    // (a CJK character), are refused before any write.
    for (const char* name : {"A.B", "A!B", "A[B]", "A`B", " AB", "A\tB", "\xE4\xB8\xAD"}) {
        EXPECT_EQ(ErrorNumber([&] { AddTable(*open, name, {MakeField(def, "N", dbLong)}); }),
                  errInvalidName)
            << name;
    }
    EXPECT_EQ(ErrorNumber([&] { AddTable(*open, "EMPTY", {}); }), errNoFields);
    open->Close();
    EXPECT_EQ(ReadBytes(path), untouched);

    // Another program holding the lock file: 3045, nothing written.
    const std::string lockPath = folder / "OUT.LDB";
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT, 0644);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &lock), 0);
    auto blocked = Engine().Workspaces(0).OpenDatabase(path);
    EXPECT_EQ(ErrorNumber([&] { AddTable(*blocked, "T", {MakeField(def, "N", dbLong)}); }),
              errFileInUse);
    blocked->Close();
    ::close(fd);
    EXPECT_EQ(ReadBytes(path), untouched);
    EXPECT_TRUE(std::filesystem::exists(lockPath)) << "someone else's lock file stays";
    std::filesystem::remove(lockPath);

    // A row past Jet's row size: 3047. Text that cannot be compressed.
    auto wide = Engine().Workspaces(0).OpenDatabase(path);
    std::vector<Field> texts;
    for (int i = 0; i < 10; ++i)
        texts.push_back(MakeField(def, ("T" + std::to_string(i)).c_str(), dbText, 255));
    AddTable(*wide, "WIDE", texts);
    auto rs = wide->OpenRecordset("WIDE");
    rs->AddNew();
    std::string chinese;
    for (int i = 0; i < 255; ++i)
        chinese += "\xE4\xB8\xAD";
    for (int i = 0; i < 10; ++i)
        rs->SetValue(i, chinese);
    EXPECT_EQ(ErrorNumber([&] { rs->Update(); }), errRecordTooLarge);
    rs->Close();
    wide->Close();
    EXPECT_FALSE(std::filesystem::exists(folder / "OUT.ldb"));
    EXPECT_FALSE(std::filesystem::exists(lockPath));
    EXPECT_TRUE(Problems(path).empty());
}

TEST_F(JetWriterTest, ClosingTheDatabaseFinishesRowsOfRecordsetsLeftOpen) {
    auto db = CreateDatabase(path);
    TableDef def("T");
    AddTable(*db, "T", {MakeField(def, "N", dbLong)});
    auto rs = db->OpenRecordset("T");
    for (int i = 0; i < 3; ++i) {
        rs->AddNew();
        rs->SetValue(0, std::int64_t{i});
        rs->Update();
    }
    CloseAllDatabases(); // as at the end of the process
    rs.reset();
    auto again = Engine().Workspaces(0).OpenDatabase(path);
    EXPECT_EQ(ReadAll(*again, "T").size(), 3u);
    again->Close();
    EXPECT_TRUE(Problems(path).empty());
}

TEST_F(JetWriterTest, AFileThatWouldPassTwoGigabytesIsRefused) {
    auto db = CreateDatabase(path);
    db->Close();
    // A sparse file two pages short of the limit.
    ASSERT_EQ(::truncate(path.c_str(), (off_t(1) << 31) - 2 * off_t(kPageSize)), 0);
    auto big = Engine().Workspaces(0).OpenDatabase(path);
    TableDef def("T");
    try {
        // The free pages inside the file are used up first, then the file grows.
        AddTable(*big, "T", {MakeField(def, "N", dbLong), MakeField(def, "M", dbMemo)});
        auto rs = big->OpenRecordset("T");
        for (int i = 0; i < 2000; ++i) {
            rs->AddNew();
            rs->SetValue(1, std::string(3000, 'm'));
            rs->Update();
        }
        rs->Close();
        ADD_FAILURE() << "no error";
    } catch (const EngineError& e) {
        EXPECT_EQ(e.Number(), errFormatLimit);
        EXPECT_NE(e.Description().find("2 GB"), std::string::npos);
    }
    big->Close();
    EXPECT_LE(std::filesystem::file_size(path), std::uintmax_t(1) << 31);
}

// Changes are made to a copy beside the database, which replaces it at Close:
// until then (a crash, a full disk) the old file stays byte for byte, and a
// new database appears only once it is whole.
TEST_F(JetWriterTest, ChangesReachTheFileOnlyWhenTheDatabaseCloses) {
    namespace fs = std::filesystem;
    const auto entries = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(fs::path(path).parent_path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    TableDef def("T");
    const std::vector<Field> fields{MakeField(def, "N", dbLong), MakeField(def, "M", dbMemo)};

    auto db = CreateDatabase(path);
    AddTable(*db, "FIRST", fields);
    Insert(*db, "FIRST", {{std::int64_t{1}, std::string(5000, 'x')}});
    EXPECT_FALSE(fs::exists(path)) << "a new database is not visible before it is whole";
    db->Close();
    EXPECT_EQ(entries(), std::vector<std::string>{"OUT.MDB"});

    // Through a link, with its own permissions.
    const std::string real = folder / "REAL.MDB";
    fs::rename(path, real);
    fs::create_symlink("REAL.MDB", path);
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const auto before = ReadBytes(real);

    auto again = Engine().Workspaces(0).OpenDatabase(path);
    AddTable(*again, "SECOND", fields);
    Insert(*again, "SECOND", {{std::int64_t{2}, std::string(9000, 'y')}});
    EXPECT_EQ(ReadAll(*again, "SECOND").size(), 1u);
    EXPECT_EQ(ReadBytes(real), before) << "the database is unchanged until it closes";
    {
        auto reader = Engine().Workspaces(0).OpenDatabase(path, false, true, "");
        EXPECT_EQ(reader->TableNames(), std::vector<std::string>{"FIRST"});
    }
    again->Close();

    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(entries(), (std::vector<std::string>{"OUT.MDB", "REAL.MDB"}));
    auto reader = Engine().Workspaces(0).OpenDatabase(path, false, true, "");
    EXPECT_EQ(reader->TableNames(), (std::vector<std::string>{"FIRST", "SECOND"}));
    EXPECT_EQ(ReadAll(*reader, "SECOND"),
              (std::vector<std::vector<Value>>{{std::int64_t{2}, std::string(9000, 'y')}}));
    EXPECT_TRUE(Problems(real).empty());
}

TEST_F(JetWriterTest, CopiesLeftByAStoppedWriterGoAtTheNextWrite) {
    namespace fs = std::filesystem;
    TableDef def("T");
    auto db = CreateDatabase(path);
    AddTable(*db, "FIRST", {MakeField(def, "N", dbLong)});
    db->Close();
    const auto jet = ReadBytes(path);
    // What a writer killed while at work leaves, and look-alikes that are not.
    const std::string stale = folder / ".OUT.MDB.a1B2c3";
    const std::vector<std::string> kept{folder / ".OUT.MDB.notes", folder / ".OTHER.MDB.abcdef",
                                        folder / ".OUT.MDB.zzzzzz"};
    WriteBytes(stale, jet);
    WriteBytes(kept[0], jet);
    WriteBytes(kept[1], jet);
    WriteBytes(kept[2], std::vector<std::uint8_t>(4096, 'x'));

    // Readers leave them; a writer, holding the lock, removes only the copy.
    auto reader = Engine().Workspaces(0).OpenDatabase(path, false, true, "");
    EXPECT_EQ(reader->TableNames(), std::vector<std::string>{"FIRST"});
    reader->Close();
    EXPECT_TRUE(fs::exists(stale));
    auto writer = Engine().Workspaces(0).OpenDatabase(path);
    AddTable(*writer, "SECOND", {MakeField(def, "N", dbLong)});
    EXPECT_FALSE(fs::exists(stale));
    // A second writer meets the lock and removes nothing, the first's copy
    // included; through a link to the database it meets the same lock.
    const std::string link = folder / "LINK.MDB";
    fs::create_symlink("OUT.MDB", link);
    for (const std::string& other : {path, link}) {
        auto second = Engine().Workspaces(0).OpenDatabase(other);
        EXPECT_EQ(ErrorNumber([&] { AddTable(*second, "THIRD", {MakeField(def, "N", dbLong)}); }),
                  errFileInUse)
            << other;
    }
    writer->Close();
    for (const std::string& k : kept)
        EXPECT_TRUE(fs::exists(k)) << k;
    auto check = Engine().Workspaces(0).OpenDatabase(path, false, true, "");
    EXPECT_EQ(check->TableNames(), (std::vector<std::string>{"FIRST", "SECOND"}));
    check->Close();
    EXPECT_TRUE(Problems(path).empty());
}

} // namespace
} // namespace engine::jet
