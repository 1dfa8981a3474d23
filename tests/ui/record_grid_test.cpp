#include "ui/gridwindow.h"
#include "ui/recordgrid.h"
#include "ui_test_support.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <gtest/gtest.h>

namespace {

using uitest::FakeRowReader;

struct BigGrid {
    FakeRowReader* reader = nullptr;
    ui::GridWindow window{"/tmp/UNTITLED.MDB", "UNTITLED", [] {}, false};

    explicit BigGrid(std::int64_t rows) {
        window.OpenTable([&](const std::string&, const std::string&) {
            auto r = std::make_unique<FakeRowReader>(
                std::vector<engine::Field>{{"ID", engine::dbLong, 4, false},
                                           {"NAME", engine::dbText, 50, true},
                                           {"WHEN", engine::dbDate, 8, false},
                                           {"AMOUNT", engine::dbDouble, 8, false}},
                rows);
            reader = r.get();
            return r;
        });
        window.resize(600, 400);
        window.show();
        uitest::WaitFor([&] { return Grid()->viewport()->height() > 100; });
    }
    ui::RecordGrid* Grid() { return window.Grid(); }
    QScrollBar* Bar() { return Grid()->verticalScrollBar(); }
    // The text shown in `column` of the window's `row`.
    QString Shown(int row, int column = 1) {
        return Grid()->model()->data(Grid()->model()->index(row, column)).toString();
    }
    void Press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QKeyEvent press(QEvent::KeyPress, key, modifiers);
        QCoreApplication::sendEvent(Grid(), &press);
    }
    int FirstShownRecord() { return Grid()->Rows()->FirstRow(); }
};

TEST(RecordGrid, HoldsOnlyAScreenfulOfRowsHoweverLargeTheTable) {
    BigGrid g(1'000'000);
    auto* grid = g.Grid();
    const int capacity = grid->Rows()->Capacity();
    EXPECT_GT(capacity, grid->FullyVisibleRows());
    EXPECT_LT(capacity, 1000);
    EXPECT_EQ(grid->model()->rowCount(), capacity);
    EXPECT_EQ(grid->verticalHeader()->count(), capacity) << "selectors do not grow with the table";
    EXPECT_EQ(g.Bar()->maximum(), 1'000'000 - grid->FullyVisibleRows());
    EXPECT_EQ(g.Bar()->pageStep(), grid->FullyVisibleRows());
    EXPECT_LE(g.reader->rowsRead, 2 * ui::TableModel::PageRows) << "only the shown rows are read";
    EXPECT_EQ(g.Shown(0), "row 0");
}

TEST(RecordGrid, ScrollBarCountsRecordsAndMovesTheWindow) {
    BigGrid g(1'000'000);
    g.Bar()->setValue(500'000);
    EXPECT_EQ(g.FirstShownRecord(), 500'000);
    EXPECT_EQ(g.Shown(0), "row 500000");
    EXPECT_EQ(g.Shown(3, 0), "500003");
    EXPECT_EQ(g.Grid()->verticalHeader()->offset(), 0);

    g.Bar()->setValue(g.Bar()->maximum());
    const int visible = g.Grid()->FullyVisibleRows();
    EXPECT_EQ(g.Shown(visible - 1), "row 999999") << "the last record sits at the bottom";
    EXPECT_EQ(g.Grid()->model()->rowCount(), visible) << "no rows past the last record";
    EXPECT_EQ(g.Shown(visible), "");

    g.Bar()->setValue(0);
    EXPECT_EQ(g.Shown(0), "row 0");
    EXPECT_EQ(g.Grid()->model()->rowCount(), g.Grid()->Rows()->Capacity());
}

TEST(RecordGrid, SmallTableFitsWithoutScrolling) {
    BigGrid g(3);
    EXPECT_EQ(g.Grid()->model()->rowCount(), 3);
    EXPECT_EQ(g.Bar()->maximum(), 0);
    EXPECT_FALSE(g.Bar()->isVisible()) << "scroll bars only when needed";
    BigGrid empty(0);
    EXPECT_EQ(empty.Grid()->model()->rowCount(), 0) << "never an empty row for adding records";
}

TEST(RecordGrid, KeysMoveTheCurrentRecordThroughTheWholeTable) {
    BigGrid g(100'000);
    auto* grid = g.Grid();
    grid->setFocus();
    grid->setCurrentIndex(grid->model()->index(0, 1));
    ASSERT_EQ(grid->CurrentRecord(), 0);
    const int visible = grid->FullyVisibleRows();

    for (int i = 0; i < visible + 5; ++i)
        g.Press(Qt::Key_Down);
    EXPECT_EQ(grid->CurrentRecord(), visible + 5);
    EXPECT_EQ(g.FirstShownRecord(), 6) << "scrolled just enough to show the record";
    EXPECT_EQ(grid->currentIndex().row(), visible - 1);
    EXPECT_EQ(grid->currentIndex().column(), 1);

    g.Press(Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(grid->CurrentRecord(), 99'999);
    EXPECT_EQ(grid->model()->data(grid->currentIndex()).toString(), "row 99999");
    g.Press(Qt::Key_Down);
    EXPECT_EQ(grid->CurrentRecord(), 99'999) << "moving past the last row changes nothing";
    EXPECT_EQ(grid->Rows()->Source()->rowCount(), 100'000);

    g.Press(Qt::Key_PageUp);
    EXPECT_EQ(grid->CurrentRecord(), 99'999 - (visible - 1));
    g.Press(Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(grid->CurrentRecord(), 0);
    EXPECT_EQ(g.FirstShownRecord(), 0);
    g.Press(Qt::Key_Up);
    EXPECT_EQ(grid->CurrentRecord(), 0);
}

TEST(RecordGrid, CurrentRecordAndItsMarkerStayWithTheRecordWhenScrolling) {
    BigGrid g(10'000);
    auto* grid = g.Grid();
    auto* selectors = static_cast<ui::RecordSelectors*>(grid->verticalHeader());
    grid->setCurrentIndex(grid->model()->index(2, 0));
    EXPECT_EQ(selectors->CurrentRow(), 2);

    g.Bar()->setValue(1);
    EXPECT_EQ(grid->CurrentRecord(), 2);
    EXPECT_EQ(grid->currentIndex().row(), 1);
    EXPECT_EQ(selectors->CurrentRow(), 1);

    g.Bar()->setValue(5000);
    EXPECT_EQ(grid->CurrentRecord(), 2);
    EXPECT_FALSE(grid->currentIndex().isValid()) << "the record is out of view";
    EXPECT_EQ(selectors->CurrentRow(), -1);
    EXPECT_TRUE(grid->selectionModel()->selectedIndexes().isEmpty());

    g.Bar()->setValue(0);
    EXPECT_EQ(grid->currentIndex(), grid->model()->index(2, 0));
    EXPECT_EQ(selectors->CurrentRow(), 2);
}

TEST(RecordGrid, ClickSelectsTheRecordUnderTheMouse) {
    BigGrid g(10'000);
    auto* grid = g.Grid();
    g.Bar()->setValue(100);
    // The lowest row on screen, cut off by the bottom edge when the height
    // does not divide evenly, is the hardest case.
    int row = grid->FullyVisibleRows();
    if (grid->visualRect(grid->model()->index(row, 1)).top() >= grid->viewport()->height()) --row;
    const QPoint at = grid->visualRect(grid->model()->index(row, 1)).topLeft() + QPoint(4, 2);
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent click(type, at, grid->viewport()->mapToGlobal(at), Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(grid->viewport(), &click);
    }
    EXPECT_EQ(grid->CurrentRecord(), 100 + row);
    EXPECT_EQ(grid->model()->data(grid->currentIndex()).toString(),
              QString("row %1").arg(100 + row));
    EXPECT_EQ(grid->selectionModel()->selectedIndexes(), QModelIndexList{grid->currentIndex()});
}

TEST(RecordGrid, SizingOneRowSizesThemAll) {
    BigGrid g(1000);
    auto* header = g.Grid()->verticalHeader();
    const int before = g.Grid()->FullyVisibleRows();
    const int size = header->defaultSectionSize() * 3 / 2;
    header->resizeSection(0, size);
    for (int row : {0, 1, 5})
        EXPECT_EQ(header->sectionSize(row), size);
    EXPECT_LT(g.Grid()->FullyVisibleRows(), before);
    EXPECT_EQ(g.Bar()->maximum(), 1000 - g.Grid()->FullyVisibleRows());
}

TEST(RecordGrid, NumbersAlignRightDatesAndTextsLeftNullStaysEmpty) {
    BigGrid g(2);
    auto alignment = [&](int column) {
        return g.Grid()
                   ->model()
                   ->data(g.Grid()->model()->index(0, column), Qt::TextAlignmentRole)
                   .value<Qt::Alignment>() &
               Qt::AlignHorizontal_Mask;
    };
    EXPECT_EQ(alignment(0), Qt::AlignRight) << "Long";
    EXPECT_EQ(alignment(1), Qt::AlignLeft) << "Text";
    EXPECT_EQ(alignment(2), Qt::AlignLeft) << "Date";
    EXPECT_EQ(alignment(3), Qt::AlignRight) << "Double";
    EXPECT_EQ(g.Shown(1, 3), "") << "a Null cell is empty";
}

} // namespace
