#include "ui/gridmodel.h"
#include "ui_test_support.h"

#include <gtest/gtest.h>

namespace {

using uitest::FakeRowReader;

std::vector<engine::Field> ThreeFields() {
    return {{"ID", engine::dbLong, 4, false},
            {"NAME", engine::dbText, 50, true},
            {"NOTE", engine::dbMemo, 0, true}};
}

// Opens a model on a fake table and keeps a view of the reader for counting.
struct OpenModel {
    ui::TableModel model;
    FakeRowReader* reader = nullptr;

    explicit OpenModel(std::int64_t rows) {
        model.SetDatabaseName("/tmp/UNTITLED.MDB");
        model.SetRecordSource("UNTITLED");
        model.Open([&](const std::string& db, const std::string& table) {
            EXPECT_EQ(db, "/tmp/UNTITLED.MDB");
            EXPECT_EQ(table, "UNTITLED");
            auto r = std::make_unique<FakeRowReader>(ThreeFields(), rows);
            reader = r.get();
            return r;
        });
    }
    QString Cell(int row, int column) { return model.data(model.index(row, column)).toString(); }
};

TEST(GridModel, CountsEveryRowWithoutReadingAny) {
    OpenModel m(1'000'000);
    EXPECT_EQ(m.model.objectName(), "Data1");
    EXPECT_EQ(m.model.rowCount(), 1'000'000);
    EXPECT_EQ(m.model.columnCount(), 3);
    EXPECT_EQ(m.reader->reads, 0);
}

TEST(GridModel, HeadingsAreFieldNamesAndSelectorsCarryNoNumbers) {
    OpenModel m(3);
    EXPECT_EQ(m.model.headerData(0, Qt::Horizontal).toString(), "ID");
    EXPECT_EQ(m.model.headerData(1, Qt::Horizontal).toString(), "NAME");
    EXPECT_EQ(m.model.headerData(2, Qt::Horizontal).toString(), "NOTE");
    EXPECT_EQ(m.model.headerData(0, Qt::Vertical).toString(), "");
    EXPECT_EQ(m.model.FieldNames(), (std::vector<std::string>{"ID", "NAME", "NOTE"}));
}

TEST(GridModel, ShowsValuesAndNullAsAnEmptyCell) {
    OpenModel m(3);
    EXPECT_EQ(m.Cell(2, 0), "2");
    EXPECT_EQ(m.Cell(2, 1), "row 2");
    EXPECT_TRUE(m.Cell(2, 2).isEmpty());
    EXPECT_FALSE(m.model.data(m.model.index(3, 0)).isValid()) << "no row past the last";
}

TEST(GridModel, ReadOnly) {
    OpenModel m(3);
    const QModelIndex cell = m.model.index(0, 1);
    EXPECT_FALSE(m.model.flags(cell) & Qt::ItemIsEditable);
    EXPECT_FALSE(m.model.setData(cell, "changed"));
    EXPECT_FALSE(m.model.insertRows(3, 1));
    EXPECT_FALSE(m.model.removeRows(0, 1));
    EXPECT_EQ(m.Cell(0, 1), "row 0");
    EXPECT_EQ(m.model.rowCount(), 3);
}

TEST(GridModel, ReadsOnePageForTheLastRow) {
    OpenModel m(1'000'000);
    EXPECT_EQ(m.Cell(999'999, 1), "row 999999");
    EXPECT_EQ(m.reader->reads, 1);
    EXPECT_LE(m.reader->rowsRead, ui::TableModel::PageRows);
    // Every cell of that page now comes from the cache.
    const int pageStart = 999'999 - 999'999 % ui::TableModel::PageRows;
    for (int row = pageStart; row < 1'000'000; ++row)
        EXPECT_EQ(m.Cell(row, 0).toInt(), row);
    EXPECT_EQ(m.reader->reads, 1);
}

TEST(GridModel, ScrollingThroughKeepsTheCacheBounded) {
    const int pages = 40;
    OpenModel m(static_cast<std::int64_t>(pages) * ui::TableModel::PageRows);
    for (int row = 0; row < m.model.rowCount(); row += 37) {
        ASSERT_EQ(m.Cell(row, 0).toInt(), row);
        EXPECT_LE(m.model.CachedPageCount(), ui::TableModel::CachedPages);
    }
    EXPECT_EQ(m.reader->reads, pages) << "each page read once on a pass through";
}

TEST(GridModel, RecentlyUsedPagesStayCached) {
    OpenModel m(100 * ui::TableModel::PageRows);
    const int page = ui::TableModel::PageRows;
    m.Cell(0, 0);
    // Touch page 0 between every new page: it must never be evicted.
    for (int p = 1; p <= 2 * ui::TableModel::CachedPages; ++p) {
        m.Cell(p * page, 0);
        m.Cell(5, 0);
    }
    EXPECT_EQ(m.reader->reads, 1 + 2 * ui::TableModel::CachedPages);
    // The oldest other page has gone and is read again.
    m.Cell(1 * page, 0);
    EXPECT_EQ(m.reader->reads, 2 + 2 * ui::TableModel::CachedPages);
}

TEST(GridModel, EmptyTableHasHeadingsAndNoRows) {
    OpenModel m(0);
    EXPECT_EQ(m.model.rowCount(), 0);
    EXPECT_EQ(m.model.columnCount(), 3);
    EXPECT_EQ(m.reader->reads, 0);
}

TEST(GridModel, TableThatCannotBeOpenedLeavesTheModelEmpty) {
    ui::TableModel model;
    const bool open = model.Open(
        [](const std::string&, const std::string&) -> std::unique_ptr<engine::RowReader> {
            throw engine::EngineError(engine::errFileNotFound, "Could not find file");
        });
    EXPECT_FALSE(open);
    EXPECT_EQ(model.FailureText(), "Could not find file (3024)");
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(model.columnCount(), 0);
    EXPECT_FALSE(model.data(model.index(0, 0)).isValid());
}

TEST(GridModel, ReadFailureUnderTheGridShowsBlankCellsOnce) {
    OpenModel m(1000);
    m.reader->failReads = true;
    EXPECT_EQ(m.Cell(10, 1), "");
    EXPECT_EQ(m.Cell(11, 1), "");
    EXPECT_EQ(m.reader->reads, 1) << "a failed page is not retried on every repaint";
}

} // namespace
