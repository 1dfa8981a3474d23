// dBASE and FoxPro tables written through the engine, read back through the
// engine and by independent readers (Python's dbfread and dbf, GDAL's
// ogr2ogr), and checked byte by byte where the readers disagree.
#include "engine/convert.h"
#include "engine/engine.h"
#include "engine/xbase/format.h"
#include "platform/datafile.h"

#include "../engine_errors.h"
#include "../engine_rows.h"
#include "../temp_folder.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

namespace engine::xbase {
namespace {

using engine::testing::TempFolder;

struct Type {
    const char* connect;
    Version version;
    std::vector<std::string> readers; // independent readers that read its memo fields too
};

const std::vector<Type> kTypes = {
    {"Dbase III;", Version::Dbase3, {"dbfread", "dbf", "ogr"}},
    {"Dbase IV;", Version::Dbase4, {"dbfread", "ogr"}}, // dbf refuses dBASE IV memo tables
    {"FoxPro 2.0;", Version::FoxPro20, {"dbfread", "dbf", "ogr"}},
    {"FoxPro 2.5;", Version::FoxPro25, {"dbfread", "dbf", "ogr"}},
    {"FoxPro 2.6;", Version::FoxPro26, {"dbfread", "dbf", "ogr"}},
};

using engine::testing::ErrorNumber;
using engine::testing::ErrorText;
using engine::testing::ReadAll;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The standard output of a command (the tests' own fixed commands only).
std::string Output(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

std::string ReaderScript() {
    return (std::filesystem::path(__FILE__).parent_path() / "read_with.py").string();
}

std::vector<std::string> ReadWith(const std::string& reader, const std::string& path) {
    return Lines(
        Output("/usr/bin/python3 '" + ReaderScript() + "' " + reader + " '" + path + "' 2>&1"));
}

std::string Real(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

struct Column {
    std::string name;
    int type;
    int size;
};

// Every type these formats hold.
const std::vector<Column> kColumns = {
    {"FLAG", dbBoolean, 0},  {"SMALL", dbByte, 0},     {"MEDIUM", dbInteger, 0},
    {"LARGE", dbLong, 0},    {"PRICE", dbCurrency, 0}, {"RATIO", dbSingle, 0},
    {"AMOUNT", dbDouble, 0}, {"ORDERED", dbDate, 0},   {"CITY", dbText, 12},
    {"NOTES", dbMemo, 0},    {"KEY", dbGUID, 0},
};

const std::string kGuid = "{0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D}";

// 3,000 characters, a few of them beyond ASCII.
std::string LongMemo() {
    std::string text;
    while (CountCharacters(text) < 2990)
        text += "Straße café € ";
    while (CountCharacters(text) < 3000)
        text += 'x';
    return text;
}

std::vector<std::vector<Value>> SampleRows() {
    return {
        {true, std::int64_t{0}, std::int64_t{-32768}, std::int64_t{INT32_MIN},
         std::string("-922337203685477.5807"), -3.4028234e38, 1.5e-300,
         DateTime{100, 1, 1, 23, 59, 59}, std::string("Zürich é€ß"), LongMemo(), kGuid},
        {false, std::int64_t{255}, std::int64_t{32767}, std::int64_t{INT32_MAX},
         std::string("922337203685477.5807"), 0.1, 1234567890.12345,
         DateTime{9999, 12, 31, 0, 0, 0}, std::string("€ and 😀"),
         std::string("line one\r\nline two"), kGuid},
        std::vector<Value>(kColumns.size(), Null{}),
        {false, std::int64_t{7}, std::int64_t{-1}, std::int64_t{0}, 0.0001, -2.5e-7,
         3.14159265358979, DateTime{2026, 2, 28, 0, 0, 0}, std::string(), std::string(),
         std::string("{ffffffff-ffff-ffff-ffff-ffffffffffff}")},
        {true, std::int64_t{1}, std::int64_t{2}, std::int64_t{3}, -0.5, 3.4028234e38, DBL_MAX,
         DateTime{2000, 2, 29, 12, 0, 0}, std::string("  lead"), std::string("x"), kGuid},
    };
}

// What every reader must see, field by field (memo text aside).
std::vector<std::vector<std::string>> ExpectedRows() {
    return {
        {"True", "0", "-32768", "-2147483648", Real(-922337203685477.581), Real(-3.402823e38),
         Real(1.5e-300), "0100-01-01", "Zürich é€ß", "<memo>", kGuid},
        {"False", "255", "32767", "2147483647", Real(922337203685477.5807), Real(0.1),
         Real(1234567890.12345), "9999-12-31", "€ and ?", "<memo>", kGuid},
        {"None", "None", "None", "None", "None", "None", "None", "None", "", "<memo>", ""},
        {"False", "7", "-1", "0", Real(0.0001), Real(-2.5e-7), Real(3.14159265358979), "2026-02-28",
         "", "<memo>", "{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}"},
        {"True", "1", "2", "3", Real(-0.5), Real(3.402823e38), Real(1.79769313486231e308),
         "2000-02-29", "  lead", "<memo>", kGuid},
    };
}

const std::vector<std::string> kExpectedMemos = {LongMemo(), "line one\r\nline two", "", "", "x"};

// As read_with.py shows a text.
std::string Escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string Joined(std::vector<std::string> values, const std::string* memo,
                   const std::string& reader) {
    std::string line;
    for (std::size_t i = 0; i < values.size(); ++i) {
        // GDAL drops the leading blanks of a text.
        if (reader == "ogr") values[i].erase(0, values[i].find_first_not_of(' '));
        if (values[i] == "<memo>" && memo != nullptr) values[i] = Escaped(*memo);
        line += (i == 0 ? "" : "|") + values[i];
    }
    return line;
}

std::unique_ptr<Database> OpenFolder(const std::string& folder, const std::string& connect,
                                     bool exclusive = true) {
    return Engine().Workspaces(0).OpenDatabase(folder, exclusive, false, connect);
}

void CreateTable(Database& db, const std::string& name, const std::vector<Column>& columns) {
    TableDef def = db.CreateTableDef(name);
    for (const Column& c : columns)
        def.AppendField(def.CreateField(c.name, c.type, c.size));
    db.AppendTableDef(def);
}

void AddRows(Database& db, const std::string& table, const std::vector<std::vector<Value>>& rows) {
    auto rs = db.OpenRecordset(table);
    for (const auto& row : rows) {
        rs->AddNew();
        for (std::size_t i = 0; i < row.size(); ++i)
            rs->SetValue(int(i), row[i]);
        rs->Update();
    }
    rs->Close();
}

class XbaseFiles : public ::testing::TestWithParam<Type> {
  protected:
    void SetUp() override { ASSERT_TRUE(folder.Valid()); }
    std::string Folder() const { return folder / ""; }
    TempFolder folder;
};

// ---- Round trips ----------------------------------------------------------------

TEST_P(XbaseFiles, EveryTypeRoundTripsThroughTheEngine) {
    {
        auto db = OpenFolder(Folder(), GetParam().connect);
        CreateTable(*db, "orders", kColumns);
        AddRows(*db, "ORDERS", SampleRows());
        db->Close();
    }
    auto db = OpenFolder(Folder(), GetParam().connect, false);
    EXPECT_EQ(db->TableNames(), std::vector<std::string>{"ORDERS"});
    const TableDef def = db->TableDefs("Orders");
    ASSERT_EQ(def.FieldCount(), int(kColumns.size()));
    const std::vector<int> readTypes = {dbBoolean, dbByte, dbInteger, dbLong, dbCurrency, dbDouble,
                                        dbDouble,  dbDate, dbText,    dbMemo, dbText};
    for (int i = 0; i < def.FieldCount(); ++i) {
        EXPECT_EQ(def.Fields(i).Name, kColumns[std::size_t(i)].name);
        EXPECT_EQ(def.Fields(i).Type, readTypes[std::size_t(i)]) << def.Fields(i).Name;
    }
    EXPECT_EQ(def.Fields("CITY").Size, 12);
    EXPECT_EQ(def.Fields("KEY").Size, 38);

    const auto rows = ReadAll(*db, "ORDERS");
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0][0], Value(true));
    EXPECT_EQ(rows[0][3], Value(std::int64_t{INT32_MIN}));
    // Money is exact where the field has room; the least amounts lose a
    // decimal to the sign, which takes them just past Currency's range.
    EXPECT_EQ(rows[0][4], Value(-922337203685477.581));
    EXPECT_EQ(rows[1][4], Value(Currency{INT64_MAX}));
    EXPECT_EQ(rows[3][4], Value(Currency{1}));
    EXPECT_EQ(rows[0][5], Value(-3.402823e38));
    EXPECT_EQ(rows[0][6], Value(1.5e-300));
    EXPECT_EQ(rows[0][7], Value(DateTime{100, 1, 1, 0, 0, 0})); // no time of day
    EXPECT_EQ(rows[0][8], Value(std::string("Zürich é€ß")));
    EXPECT_EQ(rows[0][9], Value(LongMemo()));
    EXPECT_EQ(rows[1][6], Value(1234567890.12345));
    EXPECT_EQ(rows[1][8], Value(std::string("€ and ?")));
    EXPECT_EQ(rows[1][9], Value(std::string("line one\r\nline two")));
    // Null: numbers, dates and logicals stay Null; texts read back empty.
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
        const int type = kColumns[i].type;
        const bool text = type == dbText || type == dbMemo || type == dbGUID;
        EXPECT_EQ(rows[2][i], text ? Value(std::string()) : Value(Null{})) << kColumns[i].name;
    }
    EXPECT_EQ(rows[3][8], Value(std::string()));
    EXPECT_EQ(rows[3][9], Value(std::string()));
    EXPECT_EQ(rows[4][6], Value(1.79769313486231e308)); // cut, not rounded past the range
    EXPECT_EQ(rows[4][8], Value(std::string("  lead")));
}

TEST_P(XbaseFiles, IndependentReadersSeeTheSameRows) {
    {
        auto db = OpenFolder(Folder(), GetParam().connect);
        CreateTable(*db, "ORDERS", kColumns);
        AddRows(*db, "ORDERS", SampleRows());
        // A table without memo fields: every reader takes it, dBASE IV included.
        std::vector<Column> plain(kColumns.begin(), kColumns.end());
        plain.erase(plain.begin() + 9);
        CreateTable(*db, "PLAIN", plain);
        std::vector<std::vector<Value>> plainRows = SampleRows();
        for (auto& row : plainRows)
            row.erase(row.begin() + 9);
        AddRows(*db, "PLAIN", plainRows);
        db->Close();
    }
    const auto expected = ExpectedRows();
    for (const std::string& reader : GetParam().readers) {
        const auto lines = ReadWith(reader, folder / "ORDERS.DBF");
        ASSERT_EQ(lines.size(), expected.size()) << reader << ": " << lines.at(0).substr(0, 300);
        for (std::size_t r = 0; r < expected.size(); ++r) {
            const std::string* memo = reader == "ogr" ? nullptr : &kExpectedMemos[r];
            EXPECT_EQ(lines[r], Joined(expected[r], memo, reader)) << reader << " row " << r;
        }
    }
    for (const std::string reader : {"dbfread", "dbf", "ogr"}) {
        const auto lines = ReadWith(reader, folder / "PLAIN.DBF");
        ASSERT_EQ(lines.size(), expected.size()) << reader << ": " << lines.at(0).substr(0, 300);
        for (std::size_t r = 0; r < expected.size(); ++r) {
            auto values = expected[r];
            values.erase(values.begin() + 9);
            EXPECT_EQ(lines[r], Joined(values, nullptr, reader)) << reader << " row " << r;
        }
    }
}

TEST_P(XbaseFiles, CollidingNamesAreNumberedAndEveryReaderSeesThem) {
    std::vector<Column> columns;
    for (const char* name : {"CUSTOMER_NAME", "CUSTOMER_NO", "customer_nr", "CUSTOMER_N"})
        columns.push_back({name, dbText, 4});
    {
        auto db = OpenFolder(Folder(), GetParam().connect);
        CreateTable(*db, "NAMES", columns);
        AddRows(*db, "NAMES",
                {{std::string("a"), std::string("b"), std::string("c"), std::string("d")}});
        const TableDef def = db->TableDefs("NAMES");
        std::vector<std::string> names;
        for (const Field& f : def.AllFields())
            names.push_back(f.Name);
        EXPECT_EQ(names, (std::vector<std::string>{"CUSTOMER_N", "CUSTOMER_1", "CUSTOMER_2",
                                                   "CUSTOMER_3"}));
        db->Close();
    }
    const std::string header = Output("/usr/bin/python3 -c \"import dbfread; print(','.join("
                                      "dbfread.DBF('" +
                                      (folder / "NAMES.DBF") + "').field_names))\"");
    EXPECT_EQ(header, "CUSTOMER_N,CUSTOMER_1,CUSTOMER_2,CUSTOMER_3\n");
    EXPECT_EQ(ReadWith("ogr", folder / "NAMES.DBF"), std::vector<std::string>{"a|b|c|d"});
}

// ---- Files on disk -----------------------------------------------------------------

TEST_P(XbaseFiles, HeaderAndMemoFileHaveTheVersionsLayout) {
    {
        auto db = OpenFolder(Folder(), GetParam().connect);
        CreateTable(*db, "WITHMEMO", {{"NAME", dbText, 5}, {"NOTES", dbMemo, 0}});
        AddRows(*db, "WITHMEMO", {{std::string("ab"), std::string("hello")}});
        CreateTable(*db, "NOMEMO", {{"N", dbLong, 0}});
        db->Close();
    }
    const Version version = GetParam().version;
    const std::string dbf = ReadFile(folder / "WITHMEMO.DBF");
    ASSERT_EQ(dbf.size(), 32u + 2 * 32 + 1 + 16 + 1);
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(dbf[i]); };
    const unsigned char versionByte = version == Version::Dbase3   ? 0x83
                                      : version == Version::Dbase4 ? 0x8B
                                                                   : 0xF5;
    EXPECT_EQ(byte(0), versionByte);
    const platform::CalendarDate today = platform::Today();
    EXPECT_EQ(byte(1), today.year - 1900);
    EXPECT_EQ(byte(2), today.month);
    EXPECT_EQ(byte(3), today.day);
    EXPECT_EQ(byte(4), 1); // records
    EXPECT_EQ(byte(8) | byte(9) << 8, 97);
    EXPECT_EQ(byte(10) | byte(11) << 8, 16);
    EXPECT_EQ(byte(29), 0x03); // Windows-1252
    EXPECT_EQ(dbf.substr(32, 11), std::string("NAME\0\0\0\0\0\0\0", 11));
    EXPECT_EQ(dbf[32 + 11], 'C');
    EXPECT_EQ(byte(32 + 16), 5);
    EXPECT_EQ(dbf[64 + 11], 'M');
    EXPECT_EQ(byte(64 + 16), 10);
    // FoxPro keeps each field's place in the record.
    EXPECT_EQ(byte(64 + 12), IsFoxPro(version) ? 6 : 0);
    EXPECT_EQ(byte(96), 0x0D);
    const std::string block = IsFoxPro(version) ? "8" : "1";
    EXPECT_EQ(dbf.substr(97), " ab" + std::string(12, ' ') + block + "\x1A");

    EXPECT_EQ(static_cast<unsigned char>(ReadFile(folder / "NOMEMO.DBF")[0]), 0x03);
    EXPECT_FALSE(std::filesystem::exists(folder / "NOMEMO.DBT"));
    EXPECT_FALSE(std::filesystem::exists(folder / "NOMEMO.FPT"));

    if (IsFoxPro(version)) {
        EXPECT_FALSE(std::filesystem::exists(folder / "WITHMEMO.DBT"));
        const std::string fpt = ReadFile(folder / "WITHMEMO.FPT");
        ASSERT_EQ(fpt.size(), 512u + 64);
        EXPECT_EQ(fpt.substr(0, 8), std::string("\0\0\0\x09\0\0\0\x40", 8)); // next 9, blocks of 64
        EXPECT_EQ(fpt.substr(512, 13), std::string("\0\0\0\1\0\0\0\5hello", 13));
        return;
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "WITHMEMO.FPT"));
    const std::string dbt = ReadFile(folder / "WITHMEMO.DBT");
    ASSERT_EQ(dbt.size(), 1024u);
    EXPECT_EQ(dbt.substr(0, 4), std::string("\2\0\0\0", 4)); // next free block
    if (version == Version::Dbase3) {
        EXPECT_EQ(dbt.substr(512, 7), "hello\x1A\x1A");
    } else {
        EXPECT_EQ(dbt.substr(8, 8), "WITHMEMO");
        EXPECT_EQ(dbt.substr(20, 2), std::string("\0\2", 2)); // 512-byte blocks
        EXPECT_EQ(dbt.substr(512, 15), std::string("\xFF\xFF\x08\0\x0D\0\0\0hello\x1F\x1F", 15));
    }
    EXPECT_EQ(dbt.substr(512 + 15), std::string(512 - 15, '\0'));
}

TEST_P(XbaseFiles, ARecordsHeaderCountKeepsUpWithTheRowsWrittenBeforeClosing) {
    auto db = OpenFolder(Folder(), GetParam().connect);
    CreateTable(*db, "BIG", {{"ID", dbLong, 0}, {"NOTES", dbMemo, 0}});
    auto rs = db->OpenRecordset("BIG");
    for (int i = 0; i < 25000; ++i) {
        rs->AddNew();
        rs->SetValue(0, std::int64_t{i});
        rs->SetValue(1, std::string("memo ") + std::to_string(i));
        rs->Update();
    }
    // As a crash would leave it: the rows of each full buffer (10,000 records
    // or 4 MiB of records or memos), with their memos.
    const auto lines = ReadWith("dbfread", folder / "BIG.DBF");
    ASSERT_GE(lines.size(), 20000u);
    ASSERT_LT(lines.size(), 25000u);
    const std::string last = std::to_string(lines.size() - 1);
    EXPECT_EQ(lines.back(), last + "|memo " + last);
    rs->Close();
    db->Close();
    EXPECT_EQ(ReadWith("dbfread", folder / "BIG.DBF").size(), 25000u);
}

INSTANTIATE_TEST_SUITE_P(Versions, XbaseFiles, ::testing::ValuesIn(kTypes),
                         [](const ::testing::TestParamInfo<Type>& info) {
                             std::string name = info.param.connect;
                             std::erase_if(name, [](char c) { return !std::isalnum(c); });
                             return name;
                         });

// ---- The folder as a database ------------------------------------------------------

class XbaseFolder : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(folder.Valid()); }
    std::string Folder() const { return folder / ""; }
    TempFolder folder;
};

TEST_F(XbaseFolder, DeletingATableRemovesItsFileAndMemoFileOnly) {
    auto db = OpenFolder(Folder(), "Dbase IV;");
    CreateTable(*db, "ONE", {{"NOTES", dbMemo, 0}});
    CreateTable(*db, "TWO", {{"NOTES", dbMemo, 0}});
    testing::WriteFile(folder / "ONE.TXT", "keep");
    db->DeleteTableDef("one");
    EXPECT_EQ(db->TableNames(), std::vector<std::string>{"TWO"});
    EXPECT_FALSE(std::filesystem::exists(folder / "ONE.DBF"));
    EXPECT_FALSE(std::filesystem::exists(folder / "ONE.DBT"));
    EXPECT_TRUE(std::filesystem::exists(folder / "ONE.TXT"));
    EXPECT_TRUE(std::filesystem::exists(folder / "TWO.DBT"));
    EXPECT_EQ(ErrorNumber([&] { db->DeleteTableDef("ONE"); }), errItemNotFound);
    EXPECT_EQ(ErrorNumber([&] { db->OpenRecordset("ONE"); }), errTableNotFound);
    EXPECT_EQ(ErrorNumber([&] { db->TableDefs("ONE"); }), errItemNotFound);
}

TEST_F(XbaseFolder, TablesAreFoundInAnyCaseAndCreatedOnlyOnce) {
    {
        auto db = OpenFolder(Folder(), "FoxPro 2.6;");
        CreateTable(*db, "Mixed", {{"A", dbText, 3}});
        AddRows(*db, "MIXED", {{std::string("abc")}});
        EXPECT_EQ(ErrorNumber([&] {
                      CreateTable(*db, "mixed", {{"A", dbText, 3}});
                  }),
                  errTableExists);
        db->Close();
    }
    std::filesystem::rename(folder / "MIXED.DBF", folder / "mixed.dbf");
    auto db = OpenFolder(Folder(), "FoxPro 2.6;");
    EXPECT_EQ(db->TableNames(), std::vector<std::string>{"mixed"});
    EXPECT_EQ(ReadAll(*db, "MIXED"), std::vector<std::vector<Value>>{{std::string("abc")}});
    EXPECT_EQ(ErrorNumber([&] { CreateTable(*db, "MIXED", {{"A", dbText, 3}}); }), errTableExists);
}

TEST_F(XbaseFolder, ASecondWriterOfATableGetsInUse) {
    auto first = OpenFolder(Folder(), "Dbase III;");
    CreateTable(*first, "SHARED", {{"A", dbLong, 0}});
    AddRows(*first, "SHARED", {{std::int64_t{1}}});
    auto second = OpenFolder(Folder(), "Dbase III;");
    EXPECT_EQ(ErrorNumber([&] { second->DeleteTableDef("SHARED"); }), errFileInUse);
    EXPECT_EQ(ErrorNumber([&] { second->OpenRecordset("SHARED"); }), errFileInUse);
    first->Close();
    EXPECT_EQ(ReadAll(*second, "SHARED").size(), 1u);
    second->DeleteTableDef("SHARED");
    EXPECT_TRUE(second->TableNames().empty());
}

TEST_F(XbaseFolder, AStaleMemoFileGivesWayToTheNewTable) {
    testing::WriteFile(folder / "ORDERS.FPT", std::string(600, 'x'));
    testing::WriteFile(folder / "orders.dbt", std::string(600, 'y'));
    auto db = OpenFolder(Folder(), "Dbase IV;");
    CreateTable(*db, "ORDERS", {{"NOTES", dbMemo, 0}});
    AddRows(*db, "ORDERS", {{std::string("new")}});
    db->Close();
    EXPECT_FALSE(std::filesystem::exists(folder / "ORDERS.FPT"));
    EXPECT_FALSE(std::filesystem::exists(folder / "orders.dbt"));
    EXPECT_EQ(ReadWith("dbfread", folder / "ORDERS.DBF"), std::vector<std::string>{"new"});
}

TEST_F(XbaseFolder, RecordsAreAddedToAnExistingTableAndItsMemoFile) {
    for (int run = 0; run < 2; ++run) {
        auto db = OpenFolder(Folder(), "FoxPro 2.5;");
        if (run == 0) CreateTable(*db, "LOG", {{"N", dbInteger, 0}, {"NOTES", dbMemo, 0}});
        AddRows(*db, "LOG", {{std::int64_t{run}, std::string("run ") + std::to_string(run)}});
        db->Close();
    }
    EXPECT_EQ(ReadWith("dbf", folder / "LOG.DBF"),
              (std::vector<std::string>{"0|run 0", "1|run 1"}));
}

TEST_F(XbaseFolder, DeletedRecordsAreSkipped) {
    {
        auto db = OpenFolder(Folder(), "Dbase III;");
        CreateTable(*db, "T", {{"A", dbByte, 0}});
        AddRows(*db, "T", {{std::int64_t{1}}, {std::int64_t{2}}, {std::int64_t{3}}});
        db->Close();
    }
    std::string bytes = ReadFile(folder / "T.DBF");
    bytes[32 + 32 + 1 + 4] = '*'; // the second record's deletion flag
    testing::WriteFile(folder / "T.DBF", bytes);
    auto db = OpenFolder(Folder(), "Dbase III;", false);
    EXPECT_EQ(ReadAll(*db, "T"),
              (std::vector<std::vector<Value>>{{std::int64_t{1}}, {std::int64_t{3}}}));
    auto empty = OpenFolder(Folder(), "Dbase III;");
    CreateTable(*empty, "E", {{"A", dbByte, 0}});
    EXPECT_EQ(ErrorNumber([&] { empty->OpenRecordset("E")->MoveFirst(); }), errNoCurrentRecord);
}

TEST_F(XbaseFolder, TextsThatDoNotFitAreRefusedAndDoublesLoseDigitsNotTheRow) {
    auto db = OpenFolder(Folder(), "FoxPro 2.0;");
    CreateTable(*db, "T", {{"D", dbDouble, 0}, {"S", dbText, 3}});
    auto rs = db->OpenRecordset("T");
    // 15 significant digits, a sign and a three-digit exponent would take
    // 22 characters: the field keeps as many digits as it has room for.
    rs->AddNew();
    rs->SetValue(0, -1.23456789012345e-100);
    rs->Update();
    rs->AddNew();
    rs->SetValue(0, -DBL_MAX);
    rs->Update();
    rs->AddNew();
    EXPECT_EQ(ErrorNumber([&] { rs->SetValue(1, std::string("abcd")); }), errValueTooLong);
    rs->SetValue(0, -1.5e-300);
    rs->SetValue(1, std::string("é€ß"));
    rs->Update();
    rs->Close();
    EXPECT_EQ(ReadAll(*db, "T"),
              (std::vector<std::vector<Value>>{{-1.234567890123e-100, std::string()},
                                               {-1.7976931348623e308, std::string()},
                                               {-1.5e-300, std::string("é€ß")}}));
}

TEST_F(XbaseFolder, FieldsAndTablesTheVersionCannotHoldAreRefused) {
    auto db = OpenFolder(Folder(), "Dbase IV;");
    for (const int type : {dbBinary, dbLongBinary}) {
        TableDef def = db->CreateTableDef("BIN");
        def.AppendField(def.CreateField("OK", dbText, 5));
        def.AppendField(def.CreateField("PICTURE", type, 10));
        EXPECT_EQ(ErrorNumber([&] { db->AppendTableDef(def); }), errInvalidFieldType);
        const std::string text = ErrorText([&] { db->AppendTableDef(def); });
        EXPECT_NE(text.find("'PICTURE'"), std::string::npos) << text;
        EXPECT_NE(text.find("dBASE IV"), std::string::npos) << text;
    }
    EXPECT_TRUE(db->TableNames().empty());

    auto db3 = OpenFolder(Folder(), "Dbase III;");
    TableDef wide = db3->CreateTableDef("WIDE");
    for (int i = 0; i < 129; ++i)
        wide.AppendField(wide.CreateField("F" + std::to_string(i), dbByte, 0));
    EXPECT_EQ(ErrorNumber([&] { db3->AppendTableDef(wide); }), 3190);
    TableDef longRecord = db3->CreateTableDef("LONG");
    for (int i = 0; i < 16; ++i)
        longRecord.AppendField(longRecord.CreateField("F" + std::to_string(i), dbText, 255));
    EXPECT_EQ(ErrorNumber([&] { db3->AppendTableDef(longRecord); }), 3047);
    for (const std::string name : {"../ESCAPE", "a/b", ".."})
        EXPECT_EQ(ErrorNumber([&] {
                      CreateTable(*db3, name, {{"A", dbByte, 0}});
                  }),
                  errInvalidName);
    EXPECT_TRUE(db3->TableNames().empty());
}

TEST_F(XbaseFolder, AFolderThatDoesNotExistIsAnInvalidPath) {
    EXPECT_EQ(ErrorNumber([&] { OpenFolder(folder / "missing/", "Dbase IV;"); }), errInvalidPath);
    testing::WriteFile(folder / "file", "x");
    EXPECT_EQ(ErrorNumber([&] { OpenFolder(folder / "file", "Dbase IV;"); }), errInvalidPath);
}

TEST_F(XbaseFolder, DamagedTablesAreReportedNotRead) {
    auto db = OpenFolder(Folder(), "Dbase III;");
    testing::WriteFile(folder / "SHORT.DBF", "\x03\x7e\x01");
    testing::WriteFile(folder / "TEXT.DBF", "this is not a table at all, it is just words");
    std::string cut(32, '\0');
    cut[0] = 0x03, cut[8] = 0x41, cut[10] = 5; // 65-byte header in a 32-byte file
    testing::WriteFile(folder / "CUT.DBF", cut);
    EXPECT_EQ(ErrorNumber([&] { db->TableDefs("SHORT"); }), errUnrecognizedFormat);
    EXPECT_EQ(ErrorNumber([&] { db->OpenRecordset("TEXT"); }), errUnrecognizedFormat);
    EXPECT_EQ(ErrorNumber([&] { db->TableDefs("CUT"); }), errCorrupt);
}

// ---- Format rules ------------------------------------------------------------------

TEST(XbaseFormat, RealsKeepTheirDigitsInTheFormThatFits) {
    std::string out;
    const auto real = [&](double v, int digits = 15) {
        return FormatReal(v, digits, 20, out) ? out : "does not fit: " + out;
    };
    EXPECT_EQ(real(1234567890.12345), "1234567890.12345");
    EXPECT_EQ(real(3.14159265358979), "3.14159265358979");
    EXPECT_EQ(real(1.5e-300), "1.5E-300");
    EXPECT_EQ(real(-2.5e-7), "-0.00000025");
    EXPECT_EQ(real(1e20), "1E20");
    EXPECT_EQ(real(12345678901234500000.0), "12345678901234500000");
    EXPECT_EQ(real(100), "100");
    EXPECT_EQ(real(-0.0), "0");
    // Rounded, the largest Double would read back as infinite: it is cut.
    EXPECT_EQ(real(DBL_MAX), "1.79769313486231E308");
    // The sign takes the room of the fifteenth digit.
    EXPECT_EQ(real(-DBL_MAX), "-1.7976931348623E308");
    EXPECT_EQ(real(3.4028235e38, 7), "3.402823E38");
    EXPECT_EQ(real(0.1, 7), "0.1");
    EXPECT_EQ(real(1.23456789, 7), "1.234568");
    EXPECT_EQ(real(-3.4028234e38, 7), "-3.402823E38");

    EXPECT_TRUE(FormatCurrency(engine::Currency{INT64_MAX}, 20, out));
    EXPECT_EQ(out, "922337203685477.5807");
    EXPECT_TRUE(FormatCurrency(engine::Currency{INT64_MIN}, 21, out));
    EXPECT_EQ(out, "-922337203685477.5808");
    // No room for the fourth decimal beside the sign: rounded, halves to even.
    EXPECT_TRUE(FormatCurrency(engine::Currency{INT64_MIN}, 20, out));
    EXPECT_EQ(out, "-922337203685477.581");
    EXPECT_TRUE(FormatCurrency(engine::Currency{-1000000000000000005}, 20, out));
    EXPECT_EQ(out, "-100000000000000");
    EXPECT_TRUE(FormatCurrency(engine::Currency{-1000000000000000015}, 20, out));
    EXPECT_EQ(out, "-100000000000000.002");
    EXPECT_FALSE(FormatCurrency(engine::Currency{-1000000000000000005}, 15, out));
    EXPECT_TRUE(FormatCurrency(engine::Currency{125000}, 20, out));
    EXPECT_EQ(out, "12.5");
    EXPECT_TRUE(FormatCurrency(engine::Currency{-1}, 20, out));
    EXPECT_EQ(out, "-0.0001");
    EXPECT_TRUE(FormatCurrency(engine::Currency{0}, 20, out));
    EXPECT_EQ(out, "0");
}

// Significant digits of a number as FormatReal writes it.
int SignificantDigits(const std::string& text) {
    const std::string mantissa = text.substr(0, text.find('E'));
    const auto first = mantissa.find_first_of("123456789");
    if (first == std::string::npos) return 0;
    const auto last = text.find('E') == std::string::npos ? mantissa.find_last_of("123456789")
                                                          : mantissa.find_last_of("0123456789");
    int count = 0;
    for (auto i = first; i <= last; ++i)
        count += mantissa[i] != '.';
    return count;
}

TEST(XbaseFormat, RealsGiveUpDigitsRatherThanTheWholeValueInNarrowFields) {
    std::string out;
    // A sign and a two-digit exponent take the room of the fifteenth digit.
    ASSERT_TRUE(FormatReal(-3.43214308635651E-14, 15, 20, out));
    EXPECT_EQ(out, "-3.4321430863565E-14");
    ASSERT_TRUE(FormatReal(-2.2250738585072014e-308, 15, 20, out));
    EXPECT_EQ(out, "-2.225073858507E-308");
    ASSERT_TRUE(FormatReal(4.9406564584124654e-324, 15, 20, out));
    EXPECT_EQ(out, "4.9406564584125E-324");
    ASSERT_TRUE(FormatReal(-1.23456789012345e-5, 15, 20, out));
    EXPECT_EQ(out, "-1.23456789012345E-5");
    ASSERT_TRUE(FormatReal(-3.402823e38, 7, 20, out));
    EXPECT_EQ(out, "-3.402823E38");
    ASSERT_TRUE(FormatReal(-DBL_MAX, 15, 6, out));
    EXPECT_EQ(out, "-1E308");
    EXPECT_FALSE(FormatReal(-DBL_MAX, 15, 5, out));
    ASSERT_TRUE(FormatReal(-5, 15, 2, out));
    EXPECT_EQ(out, "-5");
    EXPECT_FALSE(FormatReal(-5, 15, 1, out));

    // Every width, from the extremes of the type down to 1.5E-300, both signs:
    // once a value fits it fits every wider field, with no fewer digits, and
    // what is written reads back as the value rounded to the digits shown.
    for (const double magnitude :
         {DBL_MAX, 1.7976931348623e308, 1e300, 123456789012345678.0, 1e20, 1234567890.12345,
          3.14159265358979, 0.1, 1.23456789012345e-5, 3.43214308635651E-14, 1e-100, 1.5e-300,
          DBL_MIN, 4.9406564584124654e-324}) {
        for (const double value : {magnitude, -magnitude}) {
            int lastDigits = 0;
            bool fitted = false;
            for (std::size_t width = 1; width <= 20; ++width) {
                const bool fits = FormatReal(value, 15, width, out);
                EXPECT_TRUE(fits || !fitted) << value << " width " << width;
                if (!fits) continue;
                fitted = true;
                EXPECT_LE(out.size(), width) << out;
                const int digits = SignificantDigits(out);
                EXPECT_GE(digits, lastDigits) << out;
                lastDigits = digits;
                double back = 0;
                const auto [end, ec] = std::from_chars(out.data(), out.data() + out.size(), back);
                ASSERT_EQ(ec, std::errc()) << out;
                EXPECT_EQ(end, out.data() + out.size()) << out;
                EXPECT_LE(std::fabs(back - value), std::fabs(value) * std::pow(10.0, 1 - digits))
                    << value << " as " << out;
            }
            EXPECT_TRUE(fitted) << value;
            // At the full width of 20 at least 13 digits are kept.
            ASSERT_TRUE(FormatReal(value, 15, 20, out));
            double full = 0;
            std::from_chars(out.data(), out.data() + out.size(), full);
            EXPECT_LE(std::fabs(full - value), std::fabs(value) * 1e-12) << out;
        }
    }
}

TEST(XbaseFormat, FieldNamesAreUpperCaseTenBytesAndUnique) {
    std::vector<std::string> names = {"CUSTOMER_NAME", "CUSTOMER_NO", "CUSTOMER_NR"};
    for (int i = 0; i < 8; ++i)
        names.push_back("customer_n" + std::to_string(i));
    const auto stored = StoredFieldNames(names);
    EXPECT_EQ(stored[0], "CUSTOMER_N");
    EXPECT_EQ(stored[1], "CUSTOMER_1");
    EXPECT_EQ(stored[2], "CUSTOMER_2");
    EXPECT_EQ(stored[9], "CUSTOMER_9");
    EXPECT_EQ(stored[10], "CUSTOME_10"); // the tenth collision
    EXPECT_EQ(StoredFieldNames({"straße", "été", "x😀"}),
              (std::vector<std::string>{"STRA\xDF"
                                        "E",
                                        "\xC9T\xC9", "X?"}));
    EXPECT_EQ(StoredFieldNames({"A", "a", "A_1"}), (std::vector<std::string>{"A", "A_1", "A_1_1"}));
}

TEST(XbaseFormat, MemoBlocksOfEachVersion) {
    std::vector<char> out;
    EXPECT_EQ(AppendMemo(MemoKind::Dbase3,
                         "a\x1A"
                         "b",
                         out),
              1u);
    EXPECT_EQ(std::string(out.data(), 5), "a?b\x1A\x1A"); // the end mark cannot be inside
    out.clear();
    const std::string text(504, 't');
    EXPECT_EQ(AppendMemo(MemoKind::Dbase4, text, out), 2u); // 8 + 504 + 2 bytes
    EXPECT_EQ(out.size(), 1024u);
    EXPECT_EQ(std::string(out.data(), 8), std::string("\xFF\xFF\x08\0\0\2\0\0", 8));
    EXPECT_EQ(std::string(out.data() + 512, 2), "\x1F\x1F");
    out.clear();
    EXPECT_EQ(AppendMemo(MemoKind::FoxPro, std::string(57, 'f'), out), 2u);
    EXPECT_EQ(std::string(out.data(), 8), std::string("\0\0\0\1\0\0\0\x39", 8));
}

// An in-memory file for the reader.
class Bytes : public ByteSource {
  public:
    explicit Bytes(std::string data) : data_(std::move(data)) {}
    std::uint64_t Size() const override { return data_.size(); }
    std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const override {
        if (offset >= data_.size()) return 0;
        const std::size_t n = std::min<std::size_t>(size, data_.size() - offset);
        std::memcpy(buffer, data_.data() + offset, n);
        return n;
    }

  private:
    std::string data_;
};

TEST(XbaseFormat, MemoReaderStaysInsideTheFile) {
    // A dBASE IV memo whose length runs past the end, one with a 0x1F pair in
    // its text, and block numbers beyond the file.
    std::string dbt(512, '\0');
    dbt += std::string("\xFF\xFF\x08\0\xFF\xFF\xFF\x7F", 8) + "cut";
    Bytes source(dbt);
    const MemoReader reader(MemoKind::Dbase4, source);
    EXPECT_EQ(reader.Read(1), "cut");
    EXPECT_EQ(reader.Read(2), "");
    EXPECT_EQ(reader.Read(0xFFFFFFFFFFull), "");

    std::vector<char> own;
    AppendMemo(MemoKind::Dbase4, "a\x1F\x1Fz", own);
    Bytes ownSource(std::string(512, '\0') + std::string(own.begin(), own.end()));
    EXPECT_EQ(MemoReader(MemoKind::Dbase4, ownSource).Read(1), "a\x1F\x1Fz");

    Bytes fpt(std::string("\0\0\0\x08\0\0\0\0", 8) + std::string(504, '\0') +
              std::string("\0\0\0\1\x7F\xFF\xFF\xFF", 8) + "tail");
    EXPECT_EQ(MemoReader(MemoKind::FoxPro, fpt).Read(512), "tail"); // block size 0 reads as 1
}

} // namespace
} // namespace engine::xbase
