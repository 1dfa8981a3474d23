// The data section loader: blocks, records across their edges, decoding, the
// values it stores against the engine's own per-value path, and its errors.
#include "app/loader.h"
#include "app/transfer.h"
#include "core/runstate.h"
#include "engine/convert.h"
#include "engine/engine_rows.h"
#include "engine/temp_folder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace app;
using engine::Field;
using engine::Value;
using engine::testing::TempFolder;
using engine::testing::WriteFile;

namespace {

using Rows = std::vector<std::vector<Value>>;

std::vector<Field> TextFields(int count, int size = 50) {
    std::vector<Field> fields;
    for (int i = 0; i < count; ++i)
        fields.push_back(Field{"F" + std::to_string(i), engine::dbText, size, true});
    return fields;
}

class LoaderTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(folder_.Valid()); }

    // Opens a transfer file whose data section (after the first line) is `bytes`.
    TransferFile& Open(const std::string& bytes) {
        WriteFile(folder_ / "in.nvk", bytes);
        int error = 0;
        EXPECT_TRUE(file_.Open(folder_ / "in.nvk", error));
        return file_;
    }

    // Every record the reader produces with blocks of `blockSize` bytes.
    Rows ReadAll(const std::string& bytes, const std::vector<Field>& fields,
                 std::optional<std::string> first, std::size_t blockSize) {
        DataSectionReader reader(Open(bytes), fields, first, blockSize);
        Rows rows;
        LoadBatch batch;
        bool more = true;
        while (more) {
            more = reader.Next(batch);
            for (std::size_t r = 0; r < batch.rows.RowCount(); ++r) {
                std::vector<Value> row;
                for (int i = 0; i < batch.rows.FieldCount(); ++i)
                    row.push_back(engine::CellValue(batch.rows, batch.rows.Row(r)[i]));
                rows.push_back(std::move(row));
            }
        }
        return rows;
    }

    // A scratch-like table with `fields`, open for adding.
    void NewTable(const std::vector<Field>& fields, const std::string& table) {
        if (!db_)
            db_ = engine::Engine().Workspaces(0).CreateDatabase(
                folder_ / "scratch.mdb", engine::dbLangGeneral, engine::dbScratch);
        engine::TableDef def = db_->CreateTableDef(table);
        for (const Field& field : fields) {
            Field created = def.CreateField(field.Name, field.Type, field.Size);
            created.AllowZeroLength = field.AllowZeroLength;
            def.AppendField(created);
        }
        db_->AppendTableDef(def);
    }

    TempFolder folder_;
    TransferFile file_;
    std::unique_ptr<engine::Database> db_;
};

std::string Lines(const std::vector<std::string>& lines, const std::string& end = "\r\n") {
    std::string text;
    for (const std::string& line : lines)
        text += line + end;
    return text;
}

Rows TextRows(const std::vector<std::vector<std::string>>& texts) {
    Rows rows;
    for (const auto& row : texts) {
        std::vector<Value> values;
        for (const std::string& text : row)
            values.emplace_back(text);
        rows.push_back(std::move(values));
    }
    return rows;
}

} // namespace

TEST_F(LoaderTest, RecordsAcrossBlockEdgesWhateverTheBlockSize) {
    // Lone CR ends a line, a lone LF does not; a record spans several blocks;
    // the incomplete record before the marker is dropped; the script follows.
    const std::string bytes = "b1\rc\nd\r\n" + std::string(40, 'x') + "\r\n\r\n  sp  \r\n" +
                              "e\r\nf\r\ng\r\n ][zobrafex command][ \r\nEXIT\r\nnext\r\n";
    const Rows expected =
        TextRows({{"a", "b1", "c\nd"}, {std::string(40, 'x'), "", "  sp"}, {"e", "f", "g"}});
    for (std::size_t block : {16, 17, 18, 19, 23, 31, 64, 1000, 1 << 16}) {
        SCOPED_TRACE(block);
        EXPECT_EQ(ReadAll(bytes + "left over", TextFields(3), "a", block), expected);
        std::string line;
        ASSERT_TRUE(file_.ReadLine(line));
        EXPECT_EQ(line, "EXIT") << "the file stands after the marker line";
        ASSERT_TRUE(file_.ReadLine(line));
        EXPECT_EQ(line, "next");
        file_.Close();
    }
}

TEST_F(LoaderTest, EndOfFileEndsTheSectionAndALastLineNeedsNoLineEnd) {
    for (std::size_t block : {16, 4096}) {
        EXPECT_EQ(ReadAll("b\r\nc\r\nd", TextFields(2), "a", block),
                  TextRows({{"a", "b"}, {"c", "d"}}));
        EXPECT_EQ(ReadAll("b\r\nc\r", TextFields(2), "a", block), TextRows({{"a", "b"}}));
        EXPECT_TRUE(ReadAll("x\r\n", TextFields(2), std::nullopt, block).empty())
            << "no first line: nothing more is read";
        EXPECT_TRUE(ReadAll("", TextFields(1), "][ZOBRAFEX COMMAND][", block).empty());
    }
}

TEST_F(LoaderTest, EachLineIsDecodedOnItsOwnAndTheFirstLineStaysAsRead) {
    const std::string bytes = "Gr\xC3\xBC\xC3\x9F"
                              "e\r\nGr\xFC\xDF"
                              "e \x80\r\n";
    for (std::size_t block : {16, 4096}) {
        const Rows rows = ReadAll(bytes, TextFields(3),
                                  "\xE2\x82\xAC"
                                  "1",
                                  block);
        EXPECT_EQ(rows, TextRows({{"\xE2\x82\xAC"
                                   "1",
                                   "Gr\xC3\xBC\xC3\x9F"
                                   "e",
                                   "Gr\xC3\xBC\xC3\x9F"
                                   "e \xE2\x82\xAC"}}));
    }
}

TEST_F(LoaderTest, AValueTheEngineRefusesEndsTheSectionAfterTheRecordsBeforeIt) {
    // The second field holds 3 characters: the third record's value is too long.
    std::vector<Field> fields = TextFields(2, 3);
    DataSectionReader reader(Open(Lines({"b", "c", "d", "e", "toolong", "g", "h"})), fields, "a",
                             16);
    LoadBatch batch;
    std::size_t stored = 0;
    try {
        while (reader.Next(batch))
            stored += batch.rows.RowCount();
        FAIL() << "no error";
    } catch (const engine::EngineError& e) {
        EXPECT_EQ(e.Number(), engine::errValueTooLong);
        stored += batch.rows.RowCount();
    }
    EXPECT_EQ(stored, 2u);
    EXPECT_FALSE(reader.Next(batch)) << "nothing is read after the error";
}

TEST_F(LoaderTest, StoresWhatTheEnginesPerValuePathStores) {
    // The same lines through LoadData and through AddNew/SetValue/Update of
    // each line's value by its rule give the same rows.
    const std::vector<Field> fields = {
        {"L", engine::dbLong, 4, false},     {"D", engine::dbDouble, 8, false},
        {"T", engine::dbText, 4, true},      {"M", engine::dbMemo, 0, true},
        {"W", engine::dbDate, 8, false},     {"B", engine::dbBoolean, 1, false},
        {"C", engine::dbCurrency, 8, false}, {"U", engine::dbText, 3, true}};
    const std::vector<std::vector<std::string>> distinct = {
        {"12.50", "1.5E3xyz", "ab  ", "  memo  ", "2026-03-04", "yes", "12.34567",
         "\xC3\xA4\xC3\xB6\xC3\xBC"},
        {"   ", "", "    ", "", "1/2/2003 4:05 PM", "0", "7", "abc"},
        {"&HFF", " - 1 2 . 5", "\xC3\xA4", std::string(5000, 'm'), "2000-02-29 23:59:59", "off",
         "-0.00005", "x  "},
        {"letters", "2D2", "abcd", "m", "12:30", "true", "1e3", ""}};
    // Enough records for several multi-row INSERTs and a remainder.
    std::vector<std::vector<std::string>> records;
    for (int copy = 0; copy < 25; ++copy)
        records.insert(records.end(), distinct.begin(), distinct.end());
    std::vector<std::string> lines;
    for (const auto& record : records)
        lines.insert(lines.end(), record.begin(), record.end());
    NewTable(fields, "PIPE");
    NewTable(fields, "EACH");
    core::Run().FieldCount = static_cast<std::int16_t>(fields.size());
    {
        auto piped = db_->OpenRecordset("PIPE", engine::dbOpenTable);
        Open(Lines(std::vector<std::string>(lines.begin() + 1, lines.end())) +
             "][ZOBRAFEX COMMAND][\r\n");
        LoadData(file_, *piped, lines.front());
        piped->Close();
        auto each = db_->OpenRecordset("EACH", engine::dbOpenTable);
        for (const auto& record : records) {
            each->AddNew();
            for (std::size_t i = 0; i < record.size(); ++i)
                each->SetValue(int(i), DataLineValue(record[i], fields[i].Type));
            each->Update();
        }
        each->Close();
    }
    const Rows piped = engine::testing::ReadAll(*db_, "PIPE");
    ASSERT_EQ(piped.size(), records.size());
    EXPECT_EQ(piped, engine::testing::ReadAll(*db_, "EACH"));
}

namespace {

// Takes rows until its limit, then fails as a full disk would.
class FailingRecordset final : public engine::Recordset {
  public:
    FailingRecordset(std::vector<Field> fields, std::size_t limit)
        : engine::Recordset(std::move(fields)), limit_(limit) {}
    bool Eof() override { return true; }
    void MoveFirst() override {}
    void MoveNext() override {}
    Value GetValue(int) override { return engine::Null{}; }
    void Close() override {}
    std::size_t rows = 0;

  protected:
    void InsertRecord(const std::vector<Value>&) override {
        if (rows == limit_) throw engine::EngineError(engine::errNoSpace, "full");
        ++rows;
    }

  private:
    std::size_t limit_;
};

std::string ManyRecords(std::size_t records, const std::string& badValueAt = "",
                        std::size_t badRecord = 0) {
    std::string bytes = "0\r\n"; // the first record's number; its text is the first line
    for (std::size_t r = 1; r < records; ++r) {
        bytes += (r == badRecord ? badValueAt : "value " + std::to_string(r)) + "\r\n";
        bytes += std::to_string(r) + "\r\n";
    }
    return bytes + "][ZOBRAFEX COMMAND][\r\nEXIT\r\n";
}

} // namespace

TEST_F(LoaderTest, AnErrorOfTheRecordsetStopsTheReaderAndIsRaised) {
    // Many blocks: the reader is ahead of the failing writer, waiting.
    const std::vector<Field> fields = {{"T", engine::dbText, 50, true},
                                       {"N", engine::dbLong, 4, false}};
    core::Run().FieldCount = 2;
    for (std::size_t limit : {0, 1, 5000, 99998}) {
        FailingRecordset records(fields, limit);
        Open(ManyRecords(100000));
        try {
            LoadData(file_, records, "value 0");
            FAIL() << "no error at " << limit;
        } catch (const engine::EngineError& e) {
            EXPECT_EQ(e.Number(), engine::errNoSpace);
        }
        EXPECT_EQ(records.rows, limit);
        file_.Close();
    }
    FailingRecordset all(fields, 1000000);
    Open(ManyRecords(100000));
    LoadData(file_, all, "value 0");
    EXPECT_EQ(all.rows, 100000u);
    std::string line;
    ASSERT_TRUE(file_.ReadLine(line));
    EXPECT_EQ(line, "EXIT");
}

TEST_F(LoaderTest, AnErrorOfTheReaderIsRaisedAfterTheRecordsBeforeIt) {
    const std::vector<Field> fields = {{"T", engine::dbText, 12, true},
                                       {"N", engine::dbLong, 4, false}};
    core::Run().FieldCount = 2;
    for (std::size_t bad : {1, 2, 60000, 99999}) {
        FailingRecordset records(fields, 1000000);
        Open(ManyRecords(100000, "far too long a value", bad));
        try {
            LoadData(file_, records, "value 0");
            FAIL() << "no error at " << bad;
        } catch (const engine::EngineError& e) {
            EXPECT_EQ(e.Number(), engine::errValueTooLong);
        }
        EXPECT_EQ(records.rows, bad) << "the records before the bad one are stored";
        file_.Close();
    }
}

TEST(LoaderAscii, FindsAHighBitAnywhere) {
    std::string text(37, 'a');
    EXPECT_TRUE(IsAscii(text));
    EXPECT_TRUE(IsAscii(""));
    for (std::size_t at = 0; at < text.size(); ++at) {
        std::string marked = text;
        marked[at] = '\x80';
        EXPECT_FALSE(IsAscii(marked)) << at;
    }
}
