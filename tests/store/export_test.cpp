#include "core/runstate.h"
#include "engine/engine.h"
#include "store/export_database.h"
#include "store/export_text.h"
#include "store/folders.h"
#include "store/valuetext.h"
#include "store_test_support.h"

#include <QLocale>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>

namespace {

namespace fs = std::filesystem;
using engine::Value;
using store_test::ReadWholeFile;
using store_test::TempFolder;

std::string Item(const Value& value, bool first = true) {
    std::string line;
    store::AppendValueItem(line, first, value, store::CurrentTextFormat());
    return line;
}

TEST(TextItems, AreQuotedTrimmedAndNotEscaped) {
    std::string line;
    store::AppendTextItem(line, true, "  A  ");
    store::AppendTextItem(line, false, "B");
    store::AppendTextItem(line, false, "   ");
    store::AppendTextItem(line, false, "say \"hi\"");
    store::AppendTextItem(line, false, "a,b\r\nc");
    EXPECT_EQ(line, "\"A\",\"B\",\"\",\"say \"hi\"\",\"a,b\r\nc\"");
}

TEST(TextItems, ValuesTakeTheirTextForm) {
    EXPECT_EQ(Item(engine::Null{}), "\"Null\"");
    EXPECT_EQ(Item(std::string()), "\"\"");
    EXPECT_EQ(Item(std::string("  padded ")), "\"padded\"");
    EXPECT_EQ(Item(std::string("x\"")), "\"x\"\"");
    EXPECT_EQ(Item(std::int64_t{-42}, false), ",\"-42\"");
    EXPECT_EQ(Item(std::numeric_limits<std::int64_t>::min()), "\"-9223372036854775808\"");
    EXPECT_EQ(Item(true), "\"True\"");
}

// The export formats doubles itself for speed: it must give exactly the text
// of store::ValueText, whatever the locale.
TEST(TextItems, NumbersMatchTheValueTextInEveryLocale) {
    const QLocale saved;
    const double values[] = {12.5,
                             100.0,
                             -0.0,
                             0.1 + 0.2,
                             1.0 / 3.0,
                             -2.5e-300,
                             1e15,
                             123456789012345.0,
                             1234567890123456789.0,
                             0.0001,
                             0.00001,
                             std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN()};
    for (const QLocale& locale : {QLocale::c(), QLocale(QLocale::German, QLocale::Germany),
                                  QLocale(QLocale::English, QLocale::UnitedStates)}) {
        QLocale::setDefault(locale);
        for (double value : values) {
            SCOPED_TRACE(locale.name().toStdString() + " " + std::to_string(value));
            EXPECT_EQ(Item(value), "\"" + store::ValueText(value, "Null") + "\"");
        }
    }
    QLocale::setDefault(QLocale::German);
    EXPECT_EQ(Item(12.5), "\"12,5\"");
    QLocale::setDefault(saved);
    EXPECT_EQ(Item(12.5), "\"12.5\"");
    EXPECT_EQ(Item(100.0), "\"100\"");
}

struct ScratchField {
    std::string name;
    int type;
    int size;
};

// A work folder holding a scratch database, with the run state pointing at it.
class ExportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        core::RunState& run = core::Run();
        saved_ = run;
        run.WorkFolder = work_.Path();
        run.ScratchDbName = "UNTITLED.MDB";
        run.ScratchTableName = "UNTITLED";
        run.ExportTarget = core::ExportTargetRecord{};
        run.ExportTarget.Location = run.WorkFolder;
        run.ReplaceExistingDb = false;
    }
    void TearDown() override { core::Run() = saved_; }

    void MakeScratch(const std::vector<ScratchField>& fields,
                     const std::vector<std::vector<Value>>& rows) {
        auto db = engine::Engine().Workspaces(0).CreateDatabase(
            core::ScratchDbPath(), engine::dbLangGeneral, engine::dbVersion20);
        engine::TableDef def = db->CreateTableDef("UNTITLED");
        for (const ScratchField& f : fields) {
            engine::Field field = def.CreateField(f.name, f.type, f.size);
            field.AllowZeroLength = f.type == engine::dbText || f.type == engine::dbMemo;
            def.AppendField(field);
        }
        db->AppendTableDef(def);
        auto records = db->OpenRecordset("UNTITLED", engine::dbOpenTable);
        for (const auto& row : rows) {
            records->AddNew();
            for (size_t i = 0; i < row.size(); ++i)
                records->SetValue(static_cast<int>(i), row[i]);
            records->Update();
        }
        records->Close();
        db->Close();
    }

    void Target(const std::string& location, const std::string& file, std::int16_t type,
                const std::string& table) {
        core::ExportTargetRecord& target = core::Run().ExportTarget;
        target.Location = location;
        target.FileName = file;
        target.DbType = type;
        target.TableName = table;
    }

    static std::vector<std::vector<Value>> ReadTable(const std::string& path,
                                                     const std::string& table) {
        auto db = engine::Engine().Workspaces(0).OpenDatabase(path);
        auto records = db->OpenRecordset(table);
        std::vector<std::vector<Value>> rows;
        while (!records->Eof()) {
            std::vector<Value> row;
            for (int i = 0; i < records->FieldCount(); ++i)
                row.push_back(records->GetValue(i));
            rows.push_back(std::move(row));
            records->MoveNext();
        }
        records->Close();
        db->Close();
        return rows;
    }

    static std::vector<std::string> TableNames(const std::string& path) {
        auto db = engine::Engine().Workspaces(0).OpenDatabase(path);
        auto names = db->TableNames();
        db->Close();
        return names;
    }

    TempFolder work_;
    core::RunState saved_;
};

const std::vector<ScratchField> ThreeFields = {
    {"A", engine::dbText, 20}, {"B", engine::dbLong, 4}, {"C", engine::dbDouble, 8}};

TEST_F(ExportTest, TextFileHasTheFieldLineAndOneQuotedLinePerRecord) {
    MakeScratch(ThreeFields, {{std::string("  one  "), std::int64_t{1}, 12.5},
                              {std::string("two\""), engine::Null{}, 100.0}});
    Target(work_.Path() + "Out/Sub/", "ORDERS.TXT", 12, "IGNORED");
    EXPECT_TRUE(store::SaveData().ok);
    EXPECT_EQ(ReadWholeFile(work_.Path() + "Out/Sub/ORDERS.TXT"), "\"A\",\"B\",\"C\"\r\n"
                                                                  "\"one\",\"1\",\"12.5\"\r\n"
                                                                  "\"two\"\",\"Null\",\"100\"\r\n");
    EXPECT_EQ(core::Run().ExportTarget.TableName, "ORDERS");
}

TEST_F(ExportTest, AnEmptyTableGivesTheFieldLineOnly) {
    MakeScratch(ThreeFields, {});
    Target(work_.Path(), "EMPTY.TXT", 12, "X");
    EXPECT_TRUE(store::SaveData().ok);
    EXPECT_EQ(ReadWholeFile(work_.Path() + "EMPTY.TXT"), "\"A\",\"B\",\"C\"\r\n");
}

TEST_F(ExportTest, DatabaseExportReplacesOneTableAndKeepsTheOthers) {
    MakeScratch(ThreeFields, {{std::string("a"), std::int64_t{7}, 1.5},
                              {std::string(""), engine::Null{}, engine::Null{}}});
    const std::string file = work_.Path() + "DEST/SALES.MDB";
    Target(work_.Path() + "DEST/", "SALES.MDB", 0, "Q1");
    EXPECT_TRUE(store::SaveData().ok);
    Target(work_.Path() + "DEST/", "SALES.MDB", 0, "Q2");
    EXPECT_TRUE(store::SaveData().ok);
    EXPECT_TRUE(store::SaveData().ok); // Q2 again: replaced, not doubled
    EXPECT_EQ(TableNames(file), (std::vector<std::string>{"Q1", "Q2"}));
    const std::vector<std::vector<Value>> expected = {
        {std::string("a"), std::int64_t{7}, 1.5},
        {std::string(""), engine::Null{}, engine::Null{}}};
    EXPECT_EQ(ReadTable(file, "Q1"), expected);
    EXPECT_EQ(ReadTable(file, "Q2"), expected);
}

TEST_F(ExportTest, SavingBeforeAnyExportBlockLeavesTheScratchTableWhole) {
    const std::vector<std::vector<Value>> rows = {{std::string("keep"), std::int64_t{3}, 0.5}};
    MakeScratch(ThreeFields, rows);
    EXPECT_TRUE(store::DestinationIsScratchDatabase());
    core::Run().ReplaceExistingDb = true;
    EXPECT_TRUE(store::SaveData().ok);
    EXPECT_EQ(ReadTable(core::ScratchDbPath(), "UNTITLED"), rows);

    // The same file reached by another spelling is still the scratch database.
    Target(work_.Path() + "./", "untitled.mdb", 0, "UNTITLED");
    EXPECT_TRUE(store::DestinationIsScratchDatabase());
    Target(work_.Path(), "OTHER.MDB", 0, "UNTITLED");
    EXPECT_FALSE(store::DestinationIsScratchDatabase());
}

// SAVE reports what happened instead of ending the run: the script shows it.
TEST_F(ExportTest, OutcomesCarryTheTextsTheUserIsShown) {
    MakeScratch(ThreeFields, {{std::string("x"), std::int64_t{1}, 2.0}});
    Target(work_.Path() + "OUT/", "ORDERS.MDB", 0, "ORDERS");
    const core::Outcome saved = store::SaveData();
    ASSERT_TRUE(saved.ok) << saved.Text();
    EXPECT_EQ(saved.message, "The requested data stored successfully.\r\n\r\nFile Name = " +
                                 work_.Path() + "OUT/ORDERS.MDB(ORDERS)");

    Target(work_.Path() + "OUT/", "ORDERS.TXT", 12, "ORDERS");
    const core::Outcome text = store::SaveData();
    ASSERT_TRUE(text.ok) << text.Text();
    EXPECT_EQ(text.message, "The requested data stored successfully.\r\n\r\nFile Name = " +
                                work_.Path() + "OUT/ORDERS.TXT");

    // A level of the destination folder that is a file: a notice, then the failure.
    store_test::WriteWholeFile(work_.Path() + "plain", "x");
    Target(work_.Path() + "plain/sub/", "ORDERS.TXT", 12, "ORDERS");
    const core::Outcome folder = store::SaveData();
    EXPECT_FALSE(folder.ok);
    EXPECT_EQ(folder.notice, store::LevelIsFileNotice);
    EXPECT_EQ(folder.Text(), "Fail to create the directory given.");
    EXPECT_EQ(folder.box, core::FailureBox::Fatal);

    Target(work_.Path(), "", 0, "ORDERS");
    EXPECT_EQ(store::SaveData().Text(), "Destination database was not specified.");
}

TEST_F(ExportTest, AMissingScratchTableFailsWithTheEnginesNumber) {
    for (const std::int16_t type : {std::int16_t{0}, std::int16_t{12}}) {
        Target(work_.Path(), type == 0 ? "DEST.MDB" : "DEST.TXT", type, "DEST");
        const core::Outcome outcome = store::SaveData();
        EXPECT_FALSE(outcome.ok);
        ASSERT_TRUE(outcome.number.has_value());
        EXPECT_EQ(outcome.Text(), outcome.message + "(" + std::to_string(*outcome.number) + ")");
        EXPECT_FALSE(fs::exists(work_.Path() + "DEST.TXT"));
    }
}

} // namespace
