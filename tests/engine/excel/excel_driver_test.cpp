#include "engine/engine.h"
#include "engine/engine_errors.h"
#include "engine/engine_rows.h"
#include "engine/excel/biff5.h"
#include "engine/temp_folder.h"
#include "workbook_files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>

namespace engine {
namespace {

using testing::AddRow;
using testing::Bytes;
using testing::ErrorNumber;
using testing::ReadAll;
using testing::Records;

std::unique_ptr<Database> OpenBook(const std::string& path, const char* connect = "Excel 5.0;") {
    return Engine().Workspaces(0).OpenDatabase(path, true, false, connect);
}

void AddTable(Database& db, const std::string& name, const std::vector<Field>& fields) {
    TableDef def = db.CreateTableDef(name);
    for (const Field& f : fields)
        def.AppendField(def.CreateField(f.Name, f.Type, f.Size));
    db.AppendTableDef(def);
}

Value Text(const char* s) {
    return std::string(s);
}

// The substreams of a BIFF5 workbook stream by sheet name, read by walking its
// records the way the format describes them.
struct BookLayout {
    Bytes globals; // without the BOUNDSHEET records
    std::vector<std::string> names;
    std::vector<std::uint32_t> starts;
    std::vector<Bytes> sheets;
};

std::uint16_t U16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

BookLayout Layout(const Bytes& book) {
    BookLayout layout;
    std::vector<std::uint32_t>& starts = layout.starts;
    std::size_t at = 0;
    while (at + 4 <= book.size()) {
        const std::uint16_t id = U16(book, at), length = U16(book, at + 2);
        if (id == 0x0085) {
            starts.push_back(book[at + 4] | (book[at + 5] << 8) | (book[at + 6] << 16) |
                             (std::uint32_t(book[at + 7]) << 24));
            layout.names.emplace_back(book.begin() + long(at) + 11,
                                      book.begin() + long(at) + 11 + book[at + 10]);
        } else {
            layout.globals.insert(layout.globals.end(), book.begin() + long(at),
                                  book.begin() + long(at + 4 + length));
        }
        at += 4 + length;
        if (id == 0x000A) break;
    }
    for (std::uint32_t start : starts) {
        std::size_t end = start;
        int depth = 0;
        while (end + 4 <= book.size()) {
            const std::uint16_t id = U16(book, end), length = U16(book, end + 2);
            end += 4 + length;
            if (id == 0x0809) ++depth;
            if (id == 0x000A && --depth == 0) break;
        }
        layout.sheets.emplace_back(book.begin() + start, book.begin() + long(end));
    }
    return layout;
}

// A workbook as another program would write it: a worksheet "Data" with rich
// text, MULRK, date formats, formulas with cached results, an error cell and
// INDEX/DBCELL/ROW records, a chart sheet, and a summary stream.
struct ForeignWorkbook {
    Bytes book;
    Bytes dataSheet, chartSheet;
    std::size_t indexPositionAt = 0; // where the INDEX record's DBCELL position is

    ForeignWorkbook() {
        const Bytes bof = Records::Words({0x0500, 0x0010, 0x1234, 0x07CD});
        Records data;
        data.Add(0x0809, bof);
        const std::size_t index = data.bytes.size();
        Bytes indexData;
        Records::Put32(indexData, 0);
        Records::Put16(indexData, 0);
        Records::Put16(indexData, 4);
        Records::Put32(indexData, 0);
        Records::Put32(indexData, 0); // DBCELL position, set below
        data.Add(0x020B, indexData);
        data.Add(0x0200, Records::Words({0, 4, 0, 5, 0}));
        for (std::uint32_t row = 0; row < 4; ++row)
            data.Add(0x0208, Records::Words({row, 0, 5, 0xFF, 0, 0, 0x100, 0x0F}));
        const char* names[] = {"Name", "Amount", "Day", "Flag", "Note"};
        for (int c = 0; c < 5; ++c)
            data.Add(0x0204, Records::Join(Records::Cell(0, c, 15), Records::Str16(names[c])));
        data.Add(0x00D6,
                 Records::Join(Records::Join(Records::Cell(1, 0, 15), Records::Str16("Ann")),
                               Bytes{1, 0, 0}));
        Bytes mulrk = Records::Words({1, 1});
        for (auto [xf, value] : {std::pair{15u, 1250u}, std::pair{16u, 45000u}}) {
            Records::Put16(mulrk, xf);
            Records::Put32(mulrk, (value << 2) | 2);
        }
        Records::Put16(mulrk, 2);
        data.Add(0x00BD, mulrk);
        data.Add(0x0205, Records::Join(Records::Cell(1, 3, 15), Bytes{1, 0}));
        data.Add(0x0204, Records::Join(Records::Cell(1, 4, 15), Records::Str16("caf\xE9")));
        const Bytes formulaTail = Records::Join(Records::Words({0, 0, 0, 3}), Bytes{0x1E, 7, 0});
        data.Add(0x0006, Records::Join(Records::Join(Records::Cell(2, 0, 15),
                                                     Bytes{0, 0, 0, 0, 0, 0, 0xFF, 0xFF}),
                                       formulaTail));
        data.Add(0x0207, Records::Str16("Bob"));
        data.Add(0x0006,
                 Records::Join(Records::Join(Records::Cell(2, 1, 18), Records::Double(99.5)),
                               formulaTail));
        data.Add(0x0203, Records::Join(Records::Cell(2, 2, 17), Records::Double(36526.75)));
        data.Add(0x0205, Records::Join(Records::Cell(2, 3, 15), Bytes{0x07, 1}));
        data.Add(0x0201, Records::Cell(2, 4, 15));
        data.Add(0x0204, Records::Join(Records::Cell(3, 0, 15), Records::Str16("Last")));
        const std::size_t dbcell = data.bytes.size();
        data.Add(0x00D7, Records::Join(Records::Words({0x40, 0, 0, 0}), Records::Words({0})));
        data.Add(0x023E, Records::Join(Records::Words({0x06B6, 0, 0}), Records::Words({0, 0})));
        data.Add(0x000A, {});

        Records chart;
        chart.Add(0x0809, Records::Words({0x0500, 0x0020, 0x1234, 0x07CD}));
        chart.Add(0x1001, Records::Words({0}));
        chart.Add(0x000A, {});

        auto globals = [&](std::uint32_t dataAt, std::uint32_t chartAt) {
            Records g;
            g.Add(0x0809, Records::Words({0x0500, 0x0005, 0x1234, 0x07CD}));
            g.Add(0x0042, Records::Words({1252}));
            g.Add(0x0022, Records::Words({0}));
            g.Add(0x0031, Records::Join(Records::Join(Records::Words({200, 0, 0x7FFF, 400, 0}),
                                                      Bytes{0, 0, 0, 0}),
                                        Records::Str8("Arial")));
            g.Add(0x041E, Records::Join(Records::Words({164}), Records::Str8("d/m/yyyy")));
            for (int i = 0; i < 19; ++i) {
                const std::uint32_t format = i == 16 ? 164 : i == 17 ? 14 : i == 18 ? 7 : 0;
                Bytes xf = Records::Words({0, format, i < 15 ? 0xFFF5u : 0x0001u});
                xf.insert(xf.end(), {0x20, 0, 0xC0, 0x20, 0, 0, 0, 0, 0, 0});
                g.Add(0x00E0, xf);
            }
            g.Add(0x0293, Bytes{0x00, 0x80, 0x00, 0xFF});
            Bytes sheet;
            Records::Put32(sheet, dataAt);
            sheet.insert(sheet.end(), {0, 0});
            g.Add(0x0085, Records::Join(sheet, Records::Str8("Data")));
            sheet.clear();
            Records::Put32(sheet, chartAt);
            sheet.insert(sheet.end(), {0, 2});
            g.Add(0x0085, Records::Join(sheet, Records::Str8("Chart1")));
            g.Add(0x000A, {});
            return g.bytes;
        };
        const std::size_t globalsSize = globals(0, 0).size();
        const auto dataAt = std::uint32_t(globalsSize);
        const auto chartAt = std::uint32_t(globalsSize + data.bytes.size());
        // The INDEX record points at the DBCELL record by its stream position.
        indexPositionAt = index + 4 + 12;
        const std::uint32_t dbcellAt = dataAt + std::uint32_t(dbcell);
        for (int i = 0; i < 4; ++i)
            data.bytes[indexPositionAt + std::size_t(i)] = std::uint8_t(dbcellAt >> (8 * i));
        book = globals(dataAt, chartAt);
        dataSheet = data.bytes;
        chartSheet = chart.bytes;
        book.insert(book.end(), dataSheet.begin(), dataSheet.end());
        book.insert(book.end(), chartSheet.begin(), chartSheet.end());
    }
};

const Bytes kSummary = {0xFE, 0xFF, 0, 0, 1, 2, 3, 4, 5};

class ExcelDriverTest : public ::testing::Test {
  protected:
    testing::TempFolder folder;
    std::string path = folder / "BOOK.XLS";
};

// ---- Round trips -------------------------------------------------------------

TEST_F(ExcelDriverTest, EveryFieldTypeComesBackFromItsCells) {
    const DateTime when{2024, 2, 29, 13, 45, 7};
    const DateTime day{1999, 12, 31};
    const std::vector<Field> fields = {
        {"Flag", dbBoolean, 1}, {"Small", dbByte, 1},      {"Whole", dbInteger, 2},
        {"Big", dbLong, 4},     {"Money", dbCurrency, 8},  {"Single", dbSingle, 4},
        {"Real", dbDouble, 8},  {"When", dbDate, 8},       {"Bytes", dbBinary, 10},
        {"Name", dbText, 50},   {"Blob", dbLongBinary, 0}, {"Long", dbMemo, 0},
        {"Id", dbGUID, 16}};
    {
        auto db = OpenBook(path);
        EXPECT_FALSE(std::filesystem::exists(path)); // written at Close
        AddTable(*db, "All", fields);
        auto rs = db->OpenRecordset("All");
        AddRow(*rs, {true, std::int64_t{255}, std::int64_t{-32768}, std::int64_t{2147483647},
                     1234.5678, 0.1, 1e300, when, Blob{0x00, 0xAB}, Text("Grüße €"), Blob{0xFF},
                     Text("memo"), Text("{6F9619FF-8B86-D011-B42D-00C04FC964FF}")});
        AddRow(*rs, {false, std::int64_t{0}, std::int64_t{7}, std::int64_t{-2147483647 - 1}, -0.01,
                     -2.5, 3.25, day, Null{}, Text(""), Null{}, Null{}, Null{}});
        rs->Close();
        db->Close();
    }
    auto db = OpenBook(path);
    const TableDef def = db->TableDefs("All");
    ASSERT_EQ(def.FieldCount(), 13);
    const int types[] = {dbBoolean, dbDouble, dbDouble, dbDouble, dbDouble, dbDouble, dbDouble,
                         dbDate,    dbText,   dbText,   dbText,   dbText,   dbText};
    for (int i = 0; i < 13; ++i) {
        EXPECT_EQ(def.Fields(i).Name, fields[std::size_t(i)].Name);
        EXPECT_EQ(def.Fields(i).Type, types[i]) << def.Fields(i).Name;
    }
    const auto rows = ReadAll(*db, "All");
    ASSERT_EQ(rows.size(), 2u);
    const std::vector<Value> first = {true,
                                      255.0,
                                      -32768.0,
                                      2147483647.0,
                                      1234.5678,
                                      0.1,
                                      1e300,
                                      when,
                                      Text("00AB"),
                                      Text("Grüße €"),
                                      Text("FF"),
                                      Text("memo"),
                                      Text("{6F9619FF-8B86-D011-B42D-00C04FC964FF}")};
    EXPECT_EQ(rows[0], first);
    const std::vector<Value> second = {false, 0.0,    7.0,    -2147483648.0, -0.01,  -2.5,  3.25,
                                       day,   Null{}, Null{}, Null{},        Null{}, Null{}};
    EXPECT_EQ(rows[1], second);
}

TEST_F(ExcelDriverTest, AllThreeConnectNamesWriteAnExcel5Workbook) {
    for (const char* connect : {"Excel 3.0;", "EXCEL 4.0;", "Excel 5.0;"}) {
        const std::string file = folder / (std::string(connect, 9) + ".XLS");
        auto db = OpenBook(file, connect);
        AddTable(*db, "S", {{"A", dbLong, 4}});
        db->Close();
        const Bytes book = testing::StreamNamed(testing::ReadCompoundFile(file), "Book");
        ASSERT_GE(book.size(), 8u) << connect;
        // BOF: BIFF5 version, workbook globals, Excel 5.0's year.
        EXPECT_EQ(U16(book, 0), 0x0809);
        EXPECT_EQ(U16(book, 4), 0x0500);
        EXPECT_EQ(U16(book, 6), 0x0005);
        EXPECT_EQ(U16(book, 10), 1993);
    }
}

TEST_F(ExcelDriverTest, TextsUpTo32767CharactersSpanContinueRecordsAndLongerOnesAreRefused) {
    const std::string edge(2072, 'a');   // fills one LABEL record exactly
    const std::string past = edge + "b"; // needs a CONTINUE record
    std::string longest;
    for (int i = 0; i < 32767; ++i)
        longest += i % 2 ? "é" : "z"; // one byte each in Windows-1252
    {
        auto db = OpenBook(path);
        AddTable(*db, "T", {{"Memo", dbMemo, 0}});
        auto rs = db->OpenRecordset("T");
        for (const std::string& text : {edge, past, longest})
            AddRow(*rs, {text});
        db->Close();
    }
    const Bytes book = testing::StreamNamed(testing::ReadCompoundFile(path), "Book");
    std::size_t continues = 0, largest = 0;
    const BookLayout layout = Layout(book);
    ASSERT_EQ(layout.sheets.size(), 1u);
    for (std::size_t at = 0; at + 4 <= layout.sheets[0].size();) {
        const std::uint16_t length = U16(layout.sheets[0], at + 2);
        continues += U16(layout.sheets[0], at) == 0x003C;
        largest = std::max<std::size_t>(largest, length);
        at += 4 + length;
    }
    EXPECT_EQ(largest, 2080u);
    EXPECT_EQ(continues, 1u + 15u); // "past" needs one, the longest 15
    auto db = OpenBook(path);
    const auto rows = ReadAll(*db, "T");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][0], Value(edge));
    EXPECT_EQ(rows[1][0], Value(past));
    EXPECT_EQ(rows[2][0], Value(longest));
    db->Close();

    const std::string before = testing::FileBytes(path);
    auto again = OpenBook(path);
    again->DeleteTableDef("T");
    AddTable(*again, "T", {{"Memo", dbMemo, 0}});
    auto rs = again->OpenRecordset("T");
    rs->AddNew();
    rs->SetValue(0, longest + "z");
    EXPECT_EQ(ErrorNumber([&] { rs->Update(); }), errValueTooLong);
    again->Close();
    EXPECT_EQ(testing::FileBytes(path), before); // a failed save changes nothing
}

TEST_F(ExcelDriverTest, EmptyTextsAndNullLeaveTheCellEmpty) {
    auto db = OpenBook(path);
    AddTable(*db, "T", {{"A", dbText, 10}, {"B", dbLong, 4}});
    auto rs = db->OpenRecordset("T");
    EXPECT_TRUE(rs->FieldInfo(0).AllowZeroLength);
    AddRow(*rs, {Text(""), Null{}});
    AddRow(*rs, {Text("x"), std::int64_t{1}});
    db->Close();
    const BookLayout layout = Layout(testing::StreamNamed(testing::ReadCompoundFile(path), "Book"));
    ASSERT_EQ(layout.sheets.size(), 1u);
    int cells = 0;
    for (std::size_t at = 0; at + 4 <= layout.sheets[0].size();
         at += 4 + U16(layout.sheets[0], at + 2)) {
        const std::uint16_t id = U16(layout.sheets[0], at);
        if (id == 0x0204 || id == 0x027E || id == 0x0203 || id == 0x0201) ++cells;
    }
    EXPECT_EQ(cells, 2 + 2); // the field names and the second row
    auto again = OpenBook(path);
    EXPECT_EQ(ReadAll(*again, "T"),
              (std::vector<std::vector<Value>>{{Null{}, Null{}}, {Text("x"), 1.0}}));
}

// ---- Limits -----------------------------------------------------------------

TEST_F(ExcelDriverTest, TheRecordPastTheSheetsRowLimitFailsAndTheWorkbookStaysAsItWas) {
    {
        auto db = OpenBook(path);
        AddTable(*db, "Old", {{"A", dbLong, 4}});
        db->Close();
    }
    const std::string before = testing::FileBytes(path);
    auto db = OpenBook(path);
    AddTable(*db, "Full", {{"N", dbLong, 4}});
    auto rs = db->OpenRecordset("Full");
    for (int i = 1; i <= 16383; ++i)
        AddRow(*rs, {std::int64_t{i}});
    rs->AddNew();
    rs->SetValue(0, std::int64_t{16384});
    try {
        rs->Update();
        FAIL() << "the 16,384th record was accepted";
    } catch (const EngineError& e) {
        EXPECT_EQ(e.Number(), 3437);
        EXPECT_NE(e.Description().find("16,384"), std::string::npos) << e.Description();
    }
    db->Close();
    EXPECT_EQ(testing::FileBytes(path), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder / ""),
                            std::filesystem::directory_iterator()),
              1); // no temporary file left
}

TEST_F(ExcelDriverTest, ARowFullOfRecordsFitsExactly) {
    auto db = OpenBook(path);
    AddTable(*db, "Full", {{"N", dbLong, 4}});
    auto rs = db->OpenRecordset("Full");
    for (int i = 1; i <= 16383; ++i)
        AddRow(*rs, {std::int64_t{i}});
    db->Close();
    auto again = OpenBook(path);
    const auto rows = ReadAll(*again, "Full");
    ASSERT_EQ(rows.size(), 16383u);
    EXPECT_EQ(rows.back()[0], Value(16383.0));
}

TEST_F(ExcelDriverTest, MoreThan256FieldsAreRefused) {
    auto db = OpenBook(path);
    TableDef def = db->CreateTableDef("Wide");
    for (int i = 0; i < 257; ++i)
        def.AppendField(def.CreateField("F" + std::to_string(i), dbLong, 4));
    EXPECT_EQ(ErrorNumber([&] { db->AppendTableDef(def); }), 3190);
}

// ---- Tables and names ---------------------------------------------------------

TEST_F(ExcelDriverTest, SheetNamesThatExcelCannotTakeAreRefused) {
    auto db = OpenBook(path);
    for (const std::string& name :
         {std::string(32, 'N'), std::string("A[1]"), std::string("a:b"), std::string("x*"),
          std::string("why?"), std::string("a/b"), std::string("a\\b"), std::string("日本")}) {
        EXPECT_EQ(ErrorNumber([&] {
                      AddTable(*db, name, {{"A", dbLong, 4}});
                  }),
                  errInvalidName)
            << name;
    }
    EXPECT_EQ(ErrorNumber([&] { AddTable(*db, std::string(31, 'N'), {{"A", dbLong, 4}}); }), 0);
}

TEST_F(ExcelDriverTest, DeletingAndAppendingSheets) {
    {
        auto db = OpenBook(path);
        for (const char* name : {"One", "Two", "Three"})
            AddTable(*db, name, {{"A", dbLong, 4}});
        db->Close();
    }
    {
        auto db = OpenBook(path);
        EXPECT_EQ(ErrorNumber([&] { db->DeleteTableDef("Four"); }), errItemNotFound);
        db->DeleteTableDef("two");
        EXPECT_EQ(ErrorNumber([&] { db->TableDefs("Two"); }), errItemNotFound);
        AddTable(*db, "Two", {{"B", dbText, 5}}); // takes the place of the one it replaces
        db->DeleteTableDef("One");
        AddTable(*db, "Four", {{"C", dbLong, 4}});
        db->Close();
    }
    auto db = OpenBook(path);
    EXPECT_EQ(db->TableNames(), (std::vector<std::string>{"Two", "Three", "Four"}));
    EXPECT_EQ(db->TableDefs("Two").Fields(0).Name, "B");
    EXPECT_EQ(ErrorNumber([&] { AddTable(*db, "THREE", {{"A", dbLong, 4}}); }), errTableExists);
}

TEST_F(ExcelDriverTest, AFailedAppendLeavesTheWorkbookAsItWas) {
    {
        auto db = OpenBook(path);
        AddTable(*db, "Keep", {{"A", dbLong, 4}});
        db->Close();
    }
    ::chmod(path.c_str(), 0640);
    const std::string before = testing::FileBytes(path);
    auto db = OpenBook(path);
    db->DeleteTableDef("Keep");
    TableDef empty = db->CreateTableDef("Keep");
    EXPECT_EQ(ErrorNumber([&] { db->AppendTableDef(empty); }), errNoFields);
    db->Close();
    EXPECT_EQ(testing::FileBytes(path), before);

    auto other = OpenBook(path);
    AddTable(*other, "More", {{"A", dbLong, 4}});
    other->Close();
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u); // the rewritten file keeps its permissions
}

TEST_F(ExcelDriverTest, AClosedWorkbookRefusesItsRecordsets) {
    auto db = OpenBook(path);
    AddTable(*db, "T", {{"A", dbLong, 4}});
    auto rs = db->OpenRecordset("T");
    db->Close();
    EXPECT_EQ(ErrorNumber([&] { rs->Eof(); }), errObjectClosed);
    EXPECT_EQ(ErrorNumber([&] { db->TableNames(); }), errObjectClosed);
}

TEST_F(ExcelDriverTest, AWorkbookOpenedExclusivelyIsRefusedToAnotherSession) {
    {
        auto db = OpenBook(path);
        AddTable(*db, "A", {{"N", dbLong, 4}});
        db->Close();
    }
    auto first = OpenBook(path);
    EXPECT_EQ(ErrorNumber([&] { OpenBook(path); }), errFileInUse);
    AddTable(*first, "B", {{"N", dbLong, 4}});
    first->Close(); // replaces the file and lets it go
    auto second = OpenBook(path);
    EXPECT_EQ(second->TableNames(), (std::vector<std::string>{"A", "B"}));
    auto shared = Engine().Workspaces(0).OpenDatabase(path, false, true, "Excel 5.0;");
    EXPECT_EQ(shared->TableNames().size(), 2u);
}

// ---- Files that are not BIFF5 workbooks ---------------------------------------

TEST_F(ExcelDriverTest, FilesThatAreNotExcel5WorkbooksAreRefusedAndLeftAlone) {
    Records biff8;
    biff8.Add(0x0809, Records::Words({0x0600, 0x0005, 0, 0, 0, 0, 0, 0}));
    biff8.Add(0x000A, {});
    Records truncated;
    truncated.Add(0x0809, Records::Words({0x0500, 0x0005, 0, 0}));
    Bytes sheetOutside = truncated.bytes;
    truncated.bytes.resize(truncated.bytes.size() - 2);
    Records bad;
    bad.Add(0x0809, Records::Words({0x0500, 0x0005, 0, 0}));
    Bytes entry;
    Records::Put32(entry, 0x10000);
    entry.insert(entry.end(), {0, 0, 1, 'S'});
    bad.Add(0x0085, entry);
    bad.Add(0x000A, {});

    const std::vector<std::pair<std::string, std::vector<std::pair<std::string, Bytes>>>> cases = {
        {"newer", {{"Workbook", biff8.bytes}}},
        {"both", {{"Book", ForeignWorkbook().book}, {"Workbook", biff8.bytes}}},
        {"biff8 in book", {{"Book", biff8.bytes}}},
        {"no book", {{"Other", Bytes{1, 2, 3}}}},
        {"truncated", {{"Book", truncated.bytes}}},
        {"sheet outside", {{"Book", bad.bytes}}},
    };
    for (const auto& [label, streams] : cases) {
        const std::string file = folder / (label + ".XLS");
        ASSERT_TRUE(testing::WriteCompoundFile(file, streams));
        const std::string before = testing::FileBytes(file);
        EXPECT_EQ(ErrorNumber([&] { OpenBook(file); }), errUnrecognizedFormat) << label;
        EXPECT_EQ(testing::FileBytes(file), before) << label;
    }
    const std::string text = folder / "TEXT.XLS";
    testing::WriteFile(text, "Name,Qty\r\napple,3\r\n");
    EXPECT_EQ(ErrorNumber([&] { OpenBook(text); }), errUnrecognizedFormat);
    EXPECT_EQ(testing::FileBytes(text), "Name,Qty\r\napple,3\r\n");
    const std::string empty = folder / "EMPTY.XLS";
    testing::WriteFile(empty, "");
    EXPECT_EQ(ErrorNumber([&] { OpenBook(empty); }), errUnrecognizedFormat);
    EXPECT_EQ(ErrorNumber([&] { OpenBook(folder / "missing/BOOK.XLS"); }), errInvalidPath);
}

// ---- Workbooks written by other programs -----------------------------------------

TEST_F(ExcelDriverTest, ReadsAWorkbookAnotherProgramWrote) {
    const ForeignWorkbook foreign;
    ASSERT_TRUE(testing::WriteCompoundFile(path, {{"Book", foreign.book}}));
    auto db = OpenBook(path);
    EXPECT_EQ(db->TableNames(), std::vector<std::string>{"Data"}); // the chart is no table
    const TableDef def = db->TableDefs("Data");
    ASSERT_EQ(def.FieldCount(), 5);
    const std::pair<const char*, int> expected[] = {{"Name", dbText},
                                                    {"Amount", dbDouble},
                                                    {"Day", dbDate},
                                                    {"Flag", dbBoolean},
                                                    {"Note", dbText}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(def.Fields(i).Name, expected[i].first);
        EXPECT_EQ(def.Fields(i).Type, expected[i].second) << expected[i].first;
    }
    const auto rows = ReadAll(*db, "Data");
    const std::vector<std::vector<Value>> want = {
        {Text("Ann"), 1250.0, DateTime{2023, 3, 15}, true, Text("café")},
        {Text("Bob"), 99.5, DateTime{2000, 1, 1, 18, 0, 0}, Null{}, Null{}},
        {Text("Last"), Null{}, Null{}, Null{}, Null{}}};
    EXPECT_EQ(rows, want);
}

TEST_F(ExcelDriverTest, AForeignWorkbookGainsASheetAndKeepsItsOwnAsStored) {
    const ForeignWorkbook foreign;
    const Bytes macros = {'V', 'B', 'A', 0, 1};
    ASSERT_TRUE(testing::WriteCompoundFile(path, {{"\x05SummaryInformation", kSummary},
                                                  {"Book", foreign.book},
                                                  {"_VBA_PROJECT/dir", macros}}));
    {
        auto db = OpenBook(path);
        AddTable(*db, "Added", {{"When", dbDate, 8}, {"Money", dbCurrency, 8}});
        auto rs = db->OpenRecordset("Added");
        AddRow(*rs, {DateTime{2001, 2, 3}, 9.99});
        db->Close();
    }
    const auto streams = testing::ReadCompoundFile(path);
    EXPECT_EQ(testing::StreamNamed(streams, "\x05SummaryInformation"), kSummary);
    EXPECT_EQ(testing::StreamNamed(streams, "_VBA_PROJECT/dir"), macros);
    const BookLayout before = Layout(foreign.book);
    const BookLayout after = Layout(testing::StreamNamed(streams, "Book"));
    ASSERT_EQ(after.names, (std::vector<std::string>{"Data", "Chart1", "Added"}));
    EXPECT_EQ(after.sheets[1], foreign.chartSheet);
    // The data sheet is copied record for record; only its INDEX record's
    // stream position of the DBCELL record moves with the sheet.
    const std::uint32_t movedBy = after.starts[0] - before.starts[0];
    EXPECT_GT(movedBy, 0u); // the globals grew by the new sheet's entry and formats
    Bytes expected = foreign.dataSheet;
    const std::size_t at = foreign.indexPositionAt;
    const std::uint32_t dbcell = (expected[at] | expected[at + 1] << 8 | expected[at + 2] << 16 |
                                  std::uint32_t(expected[at + 3]) << 24) +
                                 movedBy;
    for (int i = 0; i < 4; ++i)
        expected[at + std::size_t(i)] = std::uint8_t(dbcell >> (8 * i));
    EXPECT_EQ(after.sheets[0], expected);
    // Every record of the old globals is still there, in its order.
    std::size_t found = 0;
    for (std::size_t a = 0, b = 0; a + 4 <= before.globals.size();
         a += 4 + U16(before.globals, a + 2)) {
        const std::size_t length = 4 + U16(before.globals, a + 2);
        for (; b + 4 <= after.globals.size(); b += 4 + U16(after.globals, b + 2)) {
            if (std::equal(before.globals.begin() + long(a),
                           before.globals.begin() + long(a + length),
                           after.globals.begin() + long(b))) {
                ++found;
                b += length;
                break;
            }
        }
    }
    EXPECT_EQ(found, 1u + 1 + 1 + 1 + 1 + 19 + 1 + 1); // BOF .. STYLE, EOF

    auto db = OpenBook(path);
    EXPECT_EQ(db->TableNames(), (std::vector<std::string>{"Data", "Added"}));
    EXPECT_EQ(ReadAll(*db, "Data").size(), 3u);
    EXPECT_EQ(ReadAll(*db, "Added"),
              (std::vector<std::vector<Value>>{{DateTime{2001, 2, 3}, 9.99}}));
}

TEST_F(ExcelDriverTest, TextsFollowTheCodePageTheWorkbookDeclares) {
    const std::string privet = "\xCF\xF0\xE8\xE2\xE5\xF2"; // Привет in code page 1251
    Records sheet;
    sheet.Add(0x0809, Records::Words({0x0500, 0x0010, 0, 0}));
    sheet.Add(0x0204, Records::Join(Records::Cell(0, 0, 0), Records::Str16(privet)));
    sheet.Add(0x0204, Records::Join(Records::Cell(1, 0, 0), Records::Str16(privet + "!")));
    sheet.Add(0x000A, {});
    auto globals = [&](std::uint32_t at) {
        Records g;
        g.Add(0x0809, Records::Words({0x0500, 0x0005, 0, 0}));
        g.Add(0x0042, Records::Words({1251}));
        Bytes entry;
        Records::Put32(entry, at);
        entry.insert(entry.end(), {0, 0});
        g.Add(0x0085, Records::Join(entry, Records::Str8(privet)));
        g.Add(0x000A, {});
        return g.bytes;
    };
    Bytes book = globals(std::uint32_t(globals(0).size()));
    book.insert(book.end(), sheet.bytes.begin(), sheet.bytes.end());
    ASSERT_TRUE(testing::WriteCompoundFile(path, {{"Book", book}}));
    {
        auto db = OpenBook(path);
        EXPECT_EQ(db->TableNames(), std::vector<std::string>{"Привет"});
        EXPECT_EQ(db->TableDefs("Привет").Fields(0).Name, "Привет");
        EXPECT_EQ(ReadAll(*db, "Привет"), (std::vector<std::vector<Value>>{{Text("Привет!")}}));
        AddTable(*db, "Мир", {{"Слово", dbText, 20}});
        auto rs = db->OpenRecordset("Мир");
        AddRow(*rs, {Text("Ёж ü")}); // code page 1251 has no ü
        db->Close();
    }
    const BookLayout layout = Layout(testing::StreamNamed(testing::ReadCompoundFile(path), "Book"));
    ASSERT_EQ(layout.names.size(), 2u);
    EXPECT_EQ(layout.names[1], "\xCC\xE8\xF0"); // Мир
    auto db = OpenBook(path);
    EXPECT_EQ(ReadAll(*db, "Мир"), (std::vector<std::vector<Value>>{{Text("Ёж ?")}}));
}

// ---- Cell encodings -------------------------------------------------------------

TEST(Biff5Cells, RkHoldsWhatItCanExactlyAndNothingElse) {
    for (double v : {0.0, 1.0, -1.0, 536870911.0, -536870912.0, 0.01, -12.34, 1.25, 0.5, 0.1,
                     0.15625, 2.0 * 536870912.0}) {
        const auto rk = excel::EncodeRk(v);
        ASSERT_TRUE(rk.has_value()) << v;
        EXPECT_EQ(excel::DecodeRk(*rk), v) << v;
    }
    for (double v : {1234.5678, 536870912.5, -0.0, 1.0 / 3, 1e300})
        EXPECT_FALSE(excel::EncodeRk(v).has_value()) << v;
}

TEST(Biff5Cells, DatesUseExcelsSerialsOf1900And1904) {
    using excel::ExcelSerial;
    EXPECT_EQ(ExcelSerial({1900, 1, 1}, false), 1.0);
    EXPECT_EQ(ExcelSerial({1900, 2, 28}, false), 59.0);
    EXPECT_EQ(ExcelSerial({1900, 3, 1}, false), 61.0);
    EXPECT_EQ(ExcelSerial({2000, 1, 1, 12, 0, 0}, false), 36526.5);
    EXPECT_EQ(ExcelSerial({1899, 12, 30, 6, 0, 0}, false), 0.25); // a time of day alone
    EXPECT_FALSE(ExcelSerial({1899, 12, 31}, false).has_value());
    EXPECT_FALSE(ExcelSerial({1850, 6, 1}, false).has_value());
    EXPECT_EQ(ExcelSerial({1904, 1, 2}, true), 1.0);
    EXPECT_FALSE(ExcelSerial({1903, 12, 31}, true).has_value());
    for (const DateTime t : {DateTime{1900, 1, 1}, DateTime{1900, 2, 28}, DateTime{1900, 3, 1},
                             DateTime{2024, 2, 29, 23, 59, 59}, DateTime{9999, 12, 31}})
        EXPECT_EQ(excel::DateFromExcelSerial(*ExcelSerial(t, false), false), t);
    for (const DateTime t : {DateTime{1904, 1, 1}, DateTime{2024, 2, 29, 23, 59, 59}})
        EXPECT_EQ(excel::DateFromExcelSerial(*ExcelSerial(t, true), true), t);
    EXPECT_FALSE(excel::DateFromExcelSerial(-1, false).has_value());
}

TEST_F(ExcelDriverTest, DatesBefore1900AreKeptAsTextAndTimesAsFractionsOfADay) {
    auto db = OpenBook(path);
    AddTable(*db, "T", {{"Old", dbDate, 8}, {"Time", dbDate, 8}});
    auto rs = db->OpenRecordset("T");
    AddRow(*rs, {DateTime{1850, 6, 1, 8, 30, 0}, DateTime{1899, 12, 30, 6, 0, 0}});
    AddRow(*rs, {DateTime{1899, 12, 31}, Null{}});
    db->Close();
    auto again = OpenBook(path);
    EXPECT_EQ(again->TableDefs("T").Fields(0).Type, dbText);
    EXPECT_EQ(again->TableDefs("T").Fields(1).Type, dbDate);
    EXPECT_EQ(ReadAll(*again, "T"),
              (std::vector<std::vector<Value>>{
                  {Text("1850-06-01 08:30:00"), DateTime{1899, 12, 30, 6, 0, 0}},
                  {Text("1899-12-31"), Null{}}}));
}

TEST(Biff5Cells, DateFormatsAreToldFromNumberFormats) {
    for (const char* f : {"d/m/yyyy", "yyyy-mm-dd hh:mm:ss", "h:mm AM/PM", "[h]:mm", "mmm-yy",
                          "[$-409]d-mmm", "dd\"th\""})
        EXPECT_TRUE(excel::IsDateFormat(f)) << f;
    for (const char* f : {"General", "0.00", "#,##0_);(#,##0)", "$#,##0.00_);($#,##0.00)",
                          "0.00E+00", "[Red]0.0", "\"days\" 0", "0\\d", "#,##0 [$DM-407]"})
        EXPECT_FALSE(excel::IsDateFormat(f)) << f;
}

} // namespace
} // namespace engine
