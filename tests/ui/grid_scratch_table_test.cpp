// The grid's data control over a real scratch database written by the engine.
#include "engine/engine.h"
#include "ui/gridmodel.h"

#include <QLocale>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

constexpr int kRows = 3 * ui::TableModel::PageRows + 17;

class ScratchTable : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        path_ = dir_.filePath(QStringLiteral("UNTITLED.MDB")).toStdString();
        engine::Workspace& ws = engine::Engine().Workspaces(0);
        auto db = ws.CreateDatabase(path_, engine::dbLangGeneral, engine::dbVersion20);
        engine::TableDef def = db->CreateTableDef("UNTITLED");
        def.AppendField(def.CreateField("ID", engine::dbLong, 4));
        def.AppendField(def.CreateField("NAME \"Q\"", engine::dbText, 50));
        def.AppendField(def.CreateField("AMOUNT", engine::dbDouble, 8));
        for (int i = 0; i < def.FieldCount(); ++i)
            def.Fields(i).AllowZeroLength = true;
        db->AppendTableDef(def);
        auto rs = db->OpenRecordset("UNTITLED", engine::dbOpenTable);
        for (int row = 0; row < kRows; ++row) {
            rs->AddNew();
            rs->SetValue(0, std::int64_t{row});
            if (row % 2 == 0) rs->SetValue(1, std::string("name ") + std::to_string(row));
            rs->SetValue(2, row + 0.5);
            rs->Update();
        }
        rs->Close();
        db->Close();
        QLocale::setDefault(QLocale(QStringLiteral("en_US")));
    }
    void TearDown() override { QLocale::setDefault(QLocale::system()); }

    QTemporaryDir dir_;
    std::string path_;
};

TEST_F(ScratchTable, GridPagesThroughEveryRowInFieldOrder) {
    ui::TableModel model;
    model.SetDatabaseName(path_);
    model.SetRecordSource("UNTITLED");
    ASSERT_TRUE(model.Open()) << model.FailureText();
    ASSERT_EQ(model.rowCount(), kRows);
    ASSERT_EQ(model.columnCount(), 3);
    EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "NAME \"Q\"");
    auto cell = [&](int row, int column) {
        return model.data(model.index(row, column)).toString();
    };
    // Last page first, then the start, then the middle: any order works.
    EXPECT_EQ(cell(kRows - 1, 0), QString::number(kRows - 1));
    EXPECT_EQ(cell(kRows - 1, 2), QString::number(kRows - 1) + ".5");
    EXPECT_EQ(cell(0, 1), "name 0");
    EXPECT_EQ(cell(1, 1), "") << "Null shows as an empty cell";
    EXPECT_EQ(cell(ui::TableModel::PageRows + 2, 1),
              "name " + QString::number(ui::TableModel::PageRows + 2));
    EXPECT_LE(model.CachedPageCount(), 3);
}

TEST_F(ScratchTable, MoneyShowsEveryDigitItWasGiven) {
    const std::string path = dir_.filePath(QStringLiteral("MONEY.MDB")).toStdString();
    {
        auto db = engine::Engine().Workspaces(0).CreateDatabase(path, engine::dbLangGeneral,
                                                                engine::dbVersion20);
        engine::TableDef def = db->CreateTableDef("MONEY");
        def.AppendField(def.CreateField("C", engine::dbCurrency, 8));
        db->AppendTableDef(def);
        auto rs = db->OpenRecordset("MONEY", engine::dbOpenTable);
        for (const char* text :
             {"922337203685477.5807", "-922337203685477.5808", "900719925474.0993", "0.00015"}) {
            rs->AddNew();
            rs->SetValue(0, std::string(text));
            rs->Update();
        }
        rs->Close();
        db->Close();
    }
    ui::TableModel model;
    model.SetDatabaseName(path);
    model.SetRecordSource("MONEY");
    ASSERT_TRUE(model.Open()) << model.FailureText();
    ASSERT_EQ(model.rowCount(), 4);
    const auto cell = [&](int row) { return model.data(model.index(row, 0)).toString(); };
    EXPECT_EQ(cell(0), "922337203685477.5807");
    EXPECT_EQ(cell(1), "-922337203685477.5808");
    EXPECT_EQ(cell(2), "900719925474.0993");
    EXPECT_EQ(cell(3), "0.0002");
}

TEST_F(ScratchTable, MissingTableLeavesAnEmptyGridWithTheEngineError) {
    ui::TableModel model;
    model.SetDatabaseName(path_);
    model.SetRecordSource("OTHER");
    EXPECT_FALSE(model.Open());
    EXPECT_FALSE(model.FailureText().empty());
    EXPECT_EQ(model.FailureText().back(), ')');
    EXPECT_EQ(model.rowCount(), 0);

    model.SetDatabaseName(dir_.filePath(QStringLiteral("MISSING.MDB")).toStdString());
    model.SetRecordSource("UNTITLED");
    EXPECT_FALSE(model.Open());
    EXPECT_EQ(model.columnCount(), 0);
}

} // namespace
