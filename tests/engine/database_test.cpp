#include "engine/convert.h"
#include "engine/engine.h"
#include "engine/sqlite_driver.h"
#include "engine_errors.h"
#include "engine_rows.h"
#include "temp_folder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>

namespace engine {
namespace {

using testing::TempFolder;
using testing::WriteFile;

struct Column {
    std::string name;
    int type;
    int size;
    bool allowZeroLength;
};

using engine::testing::ErrorNumber;
using engine::testing::ErrorText;
using engine::testing::ReadAll;

std::unique_ptr<Database> NewDatabase(const std::string& path) {
    return Engine().Workspaces(0).CreateDatabase(path, dbLangGeneral, dbVersion20);
}

void AddTable(Database& db, const std::string& name, const std::vector<Column>& columns) {
    TableDef def = db.CreateTableDef(name);
    for (const Column& c : columns) {
        Field field = def.CreateField(c.name, c.type, c.size);
        field.AllowZeroLength = c.allowZeroLength;
        def.AppendField(field);
    }
    db.AppendTableDef(def);
}

void AddRows(Database& db, const std::string& table, const std::vector<std::vector<Value>>& rows) {
    auto rs = db.OpenRecordset(table, dbOpenTable);
    for (const auto& row : rows) {
        rs->AddNew();
        for (std::size_t i = 0; i < row.size(); ++i)
            rs->SetValue(int(i), row[i]);
        rs->Update(dbUpdateRegular, false);
    }
    rs->Close();
}

// Runs one query through SQLite itself and gives the first column of each row
// as text ("NULL" for Null).
std::vector<std::string> Query(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::vector<std::string> result;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK) {
            while (sqlite3_step(s) == SQLITE_ROW) {
                const auto* text = sqlite3_column_text(s, 0);
                result.emplace_back(text ? reinterpret_cast<const char*>(text) : "NULL");
            }
        } else {
            result.push_back(std::string("error: ") + sqlite3_errmsg(db));
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return result;
}

const std::vector<Column> kEveryType = {
    {"B", dbBoolean, 0, false},   {"Y", dbByte, 0, false},     {"I", dbInteger, 0, false},
    {"L", dbLong, 0, false},      {"C", dbCurrency, 0, false}, {"S", dbSingle, 0, false},
    {"D", dbDouble, 0, false},    {"T", dbDate, 0, false},     {"X", dbText, 20, true},
    {"M", dbMemo, 0, true},       {"G", dbGUID, 0, false},     {"N", dbBinary, 8, false},
    {"O", dbLongBinary, 0, false}};

std::vector<Value> SampleRow() {
    return {std::string("yes"),
            250.0,
            -1234.0,
            std::string("2147483647"),
            12.34567,
            0.1,
            -2.5e-7,
            std::string("3/15/2024 10:20:30 AM"),
            std::string("  leading kept"),
            std::string(1000, 'm'),
            std::string("{0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d}"),
            Blob{0, 1, 2},
            Blob{}};
}

class EngineFiles : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(folder.Valid()); }
    TempFolder folder;
};

TEST_F(EngineFiles, DefinitionsAndValuesSurviveClosingAndReopening) {
    const std::string path = folder / "ROUND.MDB";
    {
        auto db = NewDatabase(path);
        AddTable(*db, "T1", kEveryType);
        std::vector<Value> empties(kEveryType.size(), Null{});
        empties[8] = std::string();
        empties[9] = std::string();
        AddRows(*db, "T1", {SampleRow(), std::vector<Value>(kEveryType.size(), Null{}), empties});
        db->Close();
    }
    auto db = Engine().Workspaces(0).OpenDatabase(path);
    const TableDef def = db->TableDefs("t1");
    EXPECT_EQ(def.Name(), "T1");
    ASSERT_EQ(def.FieldCount(), int(kEveryType.size()));
    for (std::size_t i = 0; i < kEveryType.size(); ++i) {
        const Field& f = def.Fields(int(i));
        EXPECT_EQ(f.Name, kEveryType[i].name);
        EXPECT_EQ(f.Type, kEveryType[i].type);
        EXPECT_EQ(f.Size, CheckedFieldSize(kEveryType[i].type, kEveryType[i].size));
        EXPECT_EQ(f.AllowZeroLength, kEveryType[i].allowZeroLength);
    }

    const auto rows = ReadAll(*db, "T1");
    ASSERT_EQ(rows.size(), 3u);
    const std::vector<Value> sample = SampleRow();
    for (std::size_t i = 0; i < kEveryType.size(); ++i) {
        const Field field{kEveryType[i].name, kEveryType[i].type, kEveryType[i].size, true};
        EXPECT_EQ(rows[0][i], ConvertValue(sample[i], field)) << field.Name;
        EXPECT_TRUE(IsNull(rows[1][i])) << field.Name;
    }
    EXPECT_EQ(rows[0][0], Value(true));
    EXPECT_EQ(rows[0][7], Value(DateTime{2024, 3, 15, 10, 20, 30}));
    EXPECT_EQ(std::get<std::string>(rows[0][9]).size(), 1000u);
    EXPECT_EQ(rows[2][8], Value(std::string()));
    EXPECT_EQ(rows[2][9], Value(std::string()));
}

TEST_F(EngineFiles, FileIsAPlainSqliteDatabaseWithNaturalStorageClasses) {
    const std::string path = folder / "PLAIN.MDB";
    {
        auto db = NewDatabase(path);
        AddTable(*db, "T1", kEveryType);
        AddRows(*db, "T1", {SampleRow(), std::vector<Value>(kEveryType.size(), Null{})});
        EXPECT_EQ(db->TableNames(), std::vector<std::string>{"T1"});
        db->Close();
    }
    std::string classes;
    for (const Column& c : kEveryType) {
        const auto cls = Query(path, "SELECT typeof(\"" + c.name + "\") FROM T1 ORDER BY rowid");
        ASSERT_EQ(cls.size(), 2u);
        classes += cls[0] + " ";
        EXPECT_EQ(cls[1], "null");
    }
    // Currency is a whole number of ten-thousandths: exact where a real is not.
    EXPECT_EQ(classes, "integer integer integer integer integer real real text text text text "
                       "blob blob ");
    EXPECT_EQ(
        Query(path, "SELECT T || '|' || B || '|' || G FROM T1 LIMIT 1"),
        std::vector<std::string>{"2024-03-15 10:20:30|1|{0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D}"});
    EXPECT_EQ(
        Query(path, std::string("SELECT type || '/' || size || '/' || allow_zero_length FROM ") +
                        native::CatalogTable +
                        " WHERE field_name IN ('L', 'X')"
                        " ORDER BY position"),
        (std::vector<std::string>{"4/4/0", "10/20/1"}));
}

TEST_F(EngineFiles, ReplacingATableKeepsTheOthers) {
    const std::string path = folder / "KEEP.MDB";
    auto db = NewDatabase(path);
    AddTable(*db, "A", {{"V", dbLong, 0, false}});
    AddTable(*db, "B", {{"OLD", dbText, 5, false}});
    AddTable(*db, "C", {{"V", dbDouble, 0, false}});
    AddRows(*db, "A", {{1.0}, {2.0}});
    AddRows(*db, "B", {{std::string("old")}});

    db->DeleteTableDef("b");
    AddTable(*db, "B", {{"NEW1", dbMemo, 0, true}, {"NEW2", dbDate, 0, false}});
    AddRows(*db, "B", {{std::string("x"), std::string("2001-02-03")}});
    db->Close();

    db = Engine().Workspaces(0).OpenDatabase(path);
    EXPECT_EQ(db->TableNames(), (std::vector<std::string>{"A", "C", "B"}));
    EXPECT_EQ(ReadAll(*db, "A"),
              (std::vector<std::vector<Value>>{{std::int64_t{1}}, {std::int64_t{2}}}));
    const TableDef b = db->TableDefs("B");
    ASSERT_EQ(b.FieldCount(), 2);
    EXPECT_EQ(b.Fields(0).Name, "NEW1");
    EXPECT_EQ(b.Fields("new2").Type, dbDate);
    EXPECT_EQ(ReadAll(*db, "B"),
              (std::vector<std::vector<Value>>{{std::string("x"), DateTime{2001, 2, 3}}}));
}

TEST_F(EngineFiles, CollectionAndRecordErrorsCarryTheClassicNumbers) {
    auto db = NewDatabase(folder / "ERR.MDB");
    AddTable(*db, "T", {{"V", dbLong, 0, false}});
    EXPECT_EQ(ErrorNumber([&] { db->DeleteTableDef("MISSING"); }), errItemNotFound);
    EXPECT_EQ(ErrorNumber([&] { db->TableDefs("MISSING"); }), errItemNotFound);
    EXPECT_EQ(ErrorNumber([&] { db->TableDefs(native::CatalogTable); }), errItemNotFound);
    EXPECT_EQ(ErrorNumber([&] { AddTable(*db, "t", {{"W", dbLong, 0, false}}); }), errTableExists);
    EXPECT_EQ(ErrorNumber([&] { db->AppendTableDef(db->CreateTableDef("EMPTY")); }), errNoFields);
    EXPECT_EQ(ErrorNumber([&] { db->OpenRecordset("MISSING"); }), errTableNotFound);
    EXPECT_EQ(ErrorNumber([&] {
                  AddTable(*db, "DUP", {{"Name", dbLong, 0, false}, {"NAME", dbText, 5, false}});
              }),
              errDuplicateField);

    auto rs = db->OpenRecordset("T");
    EXPECT_TRUE(rs->Eof());
    EXPECT_EQ(ErrorNumber([&] { rs->MoveFirst(); }), errNoCurrentRecord);
    EXPECT_EQ(ErrorNumber([&] { rs->GetValue(0); }), errNoCurrentRecord);
    EXPECT_EQ(ErrorNumber([&] { rs->MoveNext(); }), errNoCurrentRecord);
    EXPECT_EQ(ErrorNumber([&] { rs->Update(); }), errUpdateWithoutAddNew);
    EXPECT_EQ(ErrorNumber([&] { rs->SetValue(0, 1.0); }), errUpdateWithoutAddNew);
    rs->AddNew();
    EXPECT_EQ(ErrorNumber([&] { rs->SetValue(1, 1.0); }), errItemNotFound);
    EXPECT_EQ(ErrorNumber([&] { rs->SetValue(0, std::string("x")); }), errConversion);

    db->Close();
    EXPECT_EQ(ErrorNumber([&] { rs->GetValue(0); }), errObjectClosed);
    EXPECT_EQ(ErrorNumber([&] { db->TableNames(); }), errObjectClosed);
    EXPECT_NO_THROW(db->Close());
}

TEST_F(EngineFiles, ScanFollowsInsertionOrderAndMoveFirstRewinds) {
    auto db = NewDatabase(folder / "SCAN.MDB");
    AddTable(*db, "T", {{"V", dbInteger, 0, false}, {"W", dbText, 3, false}});
    auto rs = db->OpenRecordset("T", dbOpenTable);
    for (int i : {5, 3, 9}) {
        rs->AddNew();
        rs->SetValue(0, double(i));
        rs->Update();
    }
    auto reader = db->OpenRecordset("T");
    std::vector<Value> seen;
    reader->MoveFirst();
    while (!reader->Eof()) {
        seen.push_back(reader->GetValue(0));
        EXPECT_TRUE(IsNull(reader->GetValue(1))) << "a field never set is Null";
        reader->MoveNext();
    }
    EXPECT_EQ(seen, (std::vector<Value>{std::int64_t{5}, std::int64_t{3}, std::int64_t{9}}));
    reader->MoveFirst();
    EXPECT_EQ(reader->GetValue(0), Value(std::int64_t{5}));
}

TEST_F(EngineFiles, RowsAreCommittedAtCloseOrByCloseAllDatabases) {
    const std::string path = folder / "LAZY.MDB";
    auto db = NewDatabase(path);
    AddTable(*db, "T", {{"V", dbLong, 0, false}});
    AddRows(*db, "T", {{1.0}, {2.0}, {3.0}});
    // The same database sees its own rows before they are written out...
    EXPECT_EQ(ReadAll(*db, "T").size(), 3u);
    // ...which another connection does not.
    EXPECT_EQ(Query(path, "SELECT count(*) FROM T"), std::vector<std::string>{"0"});

    CloseAllDatabases();
    EXPECT_EQ(Query(path, "SELECT count(*) FROM T"), std::vector<std::string>{"3"});
    EXPECT_EQ(ErrorNumber([&] { db->TableNames(); }), errObjectClosed);
}

TEST_F(EngineFiles, ReadOnlyOpenRefusesChanges) {
    const std::string path = folder / "RO.MDB";
    auto db = NewDatabase(path);
    AddTable(*db, "T", {{"V", dbLong, 0, false}});
    AddRows(*db, "T", {{7.0}});
    db->Close();

    auto ro = Engine().Workspaces(0).OpenDatabase(path, false, true, "");
    EXPECT_EQ(ReadAll(*ro, "T").size(), 1u);
    EXPECT_EQ(ErrorNumber([&] { AddTable(*ro, "U", {{"V", dbLong, 0, false}}); }), errReadOnly);
    EXPECT_EQ(ErrorNumber([&] { AddRows(*ro, "T", {{8.0}}); }), errReadOnly);
}

TEST_F(EngineFiles, CreateAndOpenReportMissingExistingAndForeignFiles) {
    Workspace& ws = Engine().Workspaces(0);
    const std::string missing = folder / "NONE.MDB";
    EXPECT_EQ(ErrorNumber([&] { ws.OpenDatabase(missing); }), errFileNotFound);
    EXPECT_NE(ErrorText([&] { ws.OpenDatabase(missing); }).find(missing), std::string::npos);
    EXPECT_EQ(ErrorNumber([&] { NewDatabase(folder / "NO/SUCH/X.MDB"); }), errInvalidPath);

    const std::string existing = folder / "EXISTS.MDB";
    WriteFile(existing, "");
    EXPECT_EQ(ErrorNumber([&] { NewDatabase(existing); }), errDatabaseExists);

    const std::string text = folder / "TEXT.MDB";
    WriteFile(text, std::string(4096, 'x'));
    EXPECT_EQ(ErrorNumber([&] { ws.OpenDatabase(text)->TableNames(); }), errUnrecognizedFormat);
    EXPECT_EQ(ErrorNumber([&] { ws.OpenDatabase(folder / "."); }), errCannotOpenFile);

    EXPECT_EQ(ErrorNumber([&] { ws.OpenDatabase(folder / "X", true, false, "Btrieve;"); }),
              errNoDriver);
    EXPECT_NE(ErrorText([&] {
                  ws.OpenDatabase(folder / "X", true, false, "Btrieve;");
              }).find("'Btrieve'"),
              std::string::npos);
    EXPECT_EQ(ErrorNumber([&] { Engine().Workspaces(1); }), errItemNotFound);
}

TEST(DefaultExtension, AddedOnlyWhenTheLastComponentHasNone) {
    EXPECT_EQ(native::WithDefaultExtension("/tmp/W/UNTITLED"), "/tmp/W/UNTITLED.MDB");
    EXPECT_EQ(native::WithDefaultExtension("/tmp/W.X/UNTITLED"), "/tmp/W.X/UNTITLED.MDB");
    EXPECT_EQ(native::WithDefaultExtension("/tmp/W/SALES.DAT"), "/tmp/W/SALES.DAT");
    EXPECT_EQ(native::WithDefaultExtension("C:\\OUT.D\\SALES"), "C:\\OUT.D\\SALES.MDB");
    EXPECT_EQ(native::WithDefaultExtension("SALES"), "SALES.MDB");
}

TEST_F(EngineFiles, OpenWithoutExtensionMeansDotMdb) {
    NewDatabase(folder / "UNTITLED")->Close();
    EXPECT_EQ(Query(folder / "UNTITLED.MDB", "SELECT count(*) FROM sqlite_master WHERE name = '" +
                                                 std::string(native::CatalogTable) + "'"),
              std::vector<std::string>{"1"});
    auto db = Engine().Workspaces(0).OpenDatabase(folder / "UNTITLED");
    EXPECT_EQ(db->Name(), folder / "UNTITLED.MDB");
}

TEST_F(EngineFiles, ExistingFilesAreFoundWhateverTheirCase) {
    auto created = NewDatabase(folder / "sales.mdb");
    AddTable(*created, "Q1", {{"V", dbLong, 0, false}});
    created->Close();

    auto db = Engine().Workspaces(0).OpenDatabase(folder / "SALES.MDB");
    EXPECT_EQ(db->Name(), folder / "sales.mdb");
    EXPECT_EQ(db->TableNames(), std::vector<std::string>{"Q1"});
    db->Close();
    EXPECT_EQ(ErrorNumber([&] { NewDatabase(folder / "SALES.MDB"); }), errDatabaseExists);

    // Two names that differ only in case: neither is the one meant.
    std::filesystem::copy_file(folder / "sales.mdb", folder / "Sales.MDB");
    EXPECT_EQ(ErrorNumber([&] { Engine().Workspaces(0).OpenDatabase(folder / "SALES.mdb"); }),
              errFileNotFound);
}

TEST_F(EngineFiles, NamesAreQuotedWhateverTheyHold) {
    const std::string table = "Or\"ders\"; DROP TABLE x; --";
    auto db = NewDatabase(folder / "Q.MDB");
    AddTable(*db, table,
             {{"Na\"me", dbText, 10, false},
              {"rowid", dbLong, 0, false},
              {"select", dbDouble, 0, false}});
    AddRows(*db, table, {{std::string("b"), 20.0, 1.5}, {std::string("a"), 10.0, 2.5}});
    db->Close();

    db = Engine().Workspaces(0).OpenDatabase(folder / "Q.MDB");
    EXPECT_EQ(db->TableNames(), std::vector<std::string>{table});
    // A column called rowid does not change the order rows come back in.
    EXPECT_EQ(ReadAll(*db, table),
              (std::vector<std::vector<Value>>{{std::string("b"), std::int64_t{20}, 1.5},
                                               {std::string("a"), std::int64_t{10}, 2.5}}));
    auto reader = OpenRowReader(folder / "Q.MDB", table);
    EXPECT_EQ(reader->ReadRows(1, 5),
              (std::vector<std::vector<Value>>{{std::string("a"), std::int64_t{10}, 2.5}}));
}

TEST_F(EngineFiles, TablesWrittenByOtherSoftwareAreReadByTheirDeclaredTypes) {
    const std::string path = folder / "OTHER.MDB";
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    sqlite3_exec(raw,
                 "CREATE TABLE ext (n INTEGER, r REAL, t VARCHAR(9), b BLOB);"
                 "INSERT INTO ext VALUES (1, 2.5, 'x', x'00ff'), ('7', NULL, 3, NULL);",
                 nullptr, nullptr, nullptr);
    sqlite3_close(raw);

    auto db = Engine().Workspaces(0).OpenDatabase(path);
    const TableDef def = db->TableDefs("EXT");
    ASSERT_EQ(def.FieldCount(), 4);
    EXPECT_EQ(def.Fields(0).Type, dbLong);
    EXPECT_EQ(def.Fields(1).Type, dbDouble);
    EXPECT_EQ(def.Fields(2).Type, dbMemo);
    EXPECT_EQ(def.Fields(3).Type, dbLongBinary);
    EXPECT_EQ(ReadAll(*db, "ext"), (std::vector<std::vector<Value>>{
                                       {std::int64_t{1}, 2.5, std::string("x"), Blob{0, 255}},
                                       {std::int64_t{7}, Null{}, std::string("3"), Null{}}}));
}

class RowReaderTest : public EngineFiles {
  protected:
    static constexpr int kRows = 5000;
    void SetUp() override {
        EngineFiles::SetUp();
        auto db = NewDatabase(path);
        AddTable(*db, "T", {{"ID", dbLong, 0, false}, {"WHEN", dbDate, 0, false}});
        auto rs = db->OpenRecordset("T", dbOpenTable);
        for (int i = 0; i < kRows; ++i) {
            rs->AddNew();
            rs->SetValue(0, double(i));
            rs->SetValue(1, DateTime{2000, 1, 1 + i % 28});
            rs->Update();
        }
        db->Close();
    }

    static std::vector<std::int64_t> Ids(const std::vector<std::vector<Value>>& rows) {
        std::vector<std::int64_t> ids;
        for (const auto& row : rows)
            ids.push_back(std::get<std::int64_t>(row[0]));
        return ids;
    }

    std::string path = folder / "ROWS.MDB";
};

TEST_F(RowReaderTest, PagesThroughATableWithoutGaps) {
    auto reader = OpenRowReader(path, "t");
    ASSERT_EQ(reader->Fields().size(), 2u);
    EXPECT_EQ(reader->Fields()[1].Type, dbDate);
    EXPECT_EQ(reader->RowCount(), kRows);
    EXPECT_EQ(Ids(reader->ReadRows(0, 3)), (std::vector<std::int64_t>{0, 1, 2}));
    const auto tail = reader->ReadRows(kRows - 2, 10);
    EXPECT_EQ(Ids(tail), (std::vector<std::int64_t>{kRows - 2, kRows - 1}));
    EXPECT_EQ(tail[0][1], Value(DateTime{2000, 1, 1 + (kRows - 2) % 28}));
    EXPECT_TRUE(reader->ReadRows(kRows, 5).empty());
    EXPECT_TRUE(reader->ReadRows(10, 0).empty());
}

TEST_F(RowReaderTest, AnAppendOnlyTableIsCountedFromItsLastRowId) {
    auto reader = OpenRowReader(path, "t", /*appendOnly=*/true);
    EXPECT_EQ(reader->RowCount(), kRows);
    EXPECT_EQ(Ids(reader->ReadRows(kRows - 1, 5)), (std::vector<std::int64_t>{kRows - 1}));
}

TEST_F(RowReaderTest, PagesThroughATableWithGapsInItsRowIds) {
    ASSERT_EQ(Query(path, "SELECT 1").size(), 1u);
    {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
        sqlite3_exec(raw, "DELETE FROM T WHERE ID % 3 = 0", nullptr, nullptr, nullptr);
        sqlite3_close(raw);
    }
    std::vector<std::int64_t> remaining;
    for (int i = 0; i < kRows; ++i) {
        if (i % 3 != 0) remaining.push_back(i);
    }
    auto reader = OpenRowReader(path, "T");
    ASSERT_EQ(reader->RowCount(), std::int64_t(remaining.size()));
    for (const std::int64_t first :
         std::vector<std::int64_t>{0, 1023, 1024, 2047, 2500, std::int64_t(remaining.size()) - 1}) {
        const auto end = std::min<std::size_t>(remaining.size(), std::size_t(first) + 7);
        EXPECT_EQ(Ids(reader->ReadRows(first, 7)),
                  std::vector<std::int64_t>(remaining.begin() + first, remaining.begin() + end))
            << first;
    }
}

TEST_F(RowReaderTest, ReportsMissingFilesAndTables) {
    EXPECT_EQ(ErrorNumber([&] { OpenRowReader(folder / "NONE.MDB", "T"); }), errFileNotFound);
    EXPECT_EQ(ErrorNumber([&] { OpenRowReader(path, "NONE"); }), errTableNotFound);
    // The default extension applies here too.
    EXPECT_EQ(OpenRowReader(folder / "ROWS", "T")->RowCount(), kRows);
}

} // namespace
} // namespace engine
