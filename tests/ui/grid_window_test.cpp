#include "ui/gridwindow.h"
#include "ui/progresswindow.h"
#include "ui/windows.h"
#include "ui_test_support.h"

#include <QAction>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTableView>
#include <gtest/gtest.h>

namespace {

using uitest::FakeRowReader;

ui::TableModel::Opener FakeTable(std::int64_t rows) {
    return [rows](const std::string&, const std::string&) {
        return std::make_unique<FakeRowReader>(
            std::vector<engine::Field>{{"ID", engine::dbLong, 4, false},
                                       {"NAME", engine::dbText, 50, true}},
            rows);
    };
}

struct Grid {
    int closes = 0;
    ui::GridWindow window;
    explicit Grid(std::int64_t rows, bool closeByItself = false)
        : window(
              "/tmp/UNTITLED.MDB", "UNTITLED", [this] { ++closes; }, closeByItself) {
        window.OpenTable(FakeTable(rows));
    }
    QTableView* View() { return window.findChild<QTableView*>(QStringLiteral("DBGrid1")); }
};

TEST(GridWindow, GridIsReadOnlyWithHeadingsAndRecordSelectors) {
    Grid g(5);
    QTableView* view = g.View();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(g.window.objectName(), "Grid");
    EXPECT_EQ(g.window.windowTitle(), "Norvakel");
    EXPECT_EQ(view->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_FALSE(view->horizontalHeader()->isHidden());
    EXPECT_FALSE(view->verticalHeader()->isHidden());
    EXPECT_TRUE(view->showGrid());
    EXPECT_FALSE(view->tabKeyNavigation()) << "Tab moves the focus out of the grid";
    EXPECT_DOUBLE_EQ(view->font().pointSizeF(), 9.75);
    // The grid shows a window of rows read through the data control.
    EXPECT_EQ(g.window.Grid(), view);
    EXPECT_EQ(g.window.Grid()->Rows()->Source(),
              g.window.findChild<QAbstractItemModel*>(QStringLiteral("Data1")));
    EXPECT_EQ(view->model()->rowCount(), 5);
    EXPECT_EQ(view->model()->headerData(1, Qt::Horizontal).toString(), "NAME");
    EXPECT_EQ(g.window.Data()->FailureText(), "");
}

TEST(GridWindow, TypingAndDeletingChangeNothing) {
    Grid g(2);
    g.window.show();
    QTableView* view = g.View();
    view->setCurrentIndex(view->model()->index(1, 1));
    view->edit(view->currentIndex());
    for (int key : {Qt::Key_X, Qt::Key_F2, Qt::Key_Return, Qt::Key_Delete}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, key == Qt::Key_X ? "x" : "");
        QCoreApplication::sendEvent(view, &press);
    }
    EXPECT_TRUE(view->viewport()->findChildren<QLineEdit*>().isEmpty()) << "no editor opens";
    EXPECT_EQ(view->model()->data(view->model()->index(1, 1)).toString(), "row 1");
    EXPECT_EQ(view->model()->rowCount(), 2);
}

TEST(GridWindow, FileMenuHoldsExitWithoutShortcut) {
    Grid g(1);
    auto* file = g.window.findChild<QMenu*>(QStringLiteral("mFile"));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->title(), "&File");
    EXPECT_EQ(g.window.menuBar()->actions().size(), 1);
    auto* exit = g.window.findChild<QAction*>(QStringLiteral("mFileExit"));
    ASSERT_NE(exit, nullptr);
    EXPECT_EQ(exit->text(), "E&xit");
    EXPECT_TRUE(exit->shortcut().isEmpty());
    EXPECT_EQ(file->actions(), QList<QAction*>{exit});
}

TEST(GridWindow, ExitAndCloseBoxBothEndTheRunOnce) {
    {
        Grid g(1);
        g.window.show();
        g.window.findChild<QAction*>(QStringLiteral("mFileExit"))->trigger();
        EXPECT_FALSE(g.window.isVisible());
        g.window.close();
        EXPECT_EQ(g.closes, 1);
    }
    Grid g(1);
    g.window.show();
    g.window.close();
    EXPECT_EQ(g.closes, 1);
}

TEST(GridWindow, LoadStepUnloadsTheProgressWindow) {
    ui::ShowStatus("Building the database CrossTab screen ...");
    ASSERT_NE(ui::CurrentProgressWindow(), nullptr);
    Grid g(1);
    EXPECT_EQ(ui::CurrentProgressWindow(), nullptr);
}

TEST(GridWindow, WindowTakesThreeQuartersOfTheScreenCentred) {
    Grid g(1);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QSize expected(static_cast<int>(screen.width() * 0.75 + 0.5),
                         static_cast<int>(screen.height() * 0.75 + 0.5));
    g.window.show();
    ASSERT_TRUE(uitest::WaitFor([&] { return g.window.frameGeometry().size() == expected; }))
        << g.window.frameGeometry().width() << "x" << g.window.frameGeometry().height();
    const QRect frame = g.window.frameGeometry();
    EXPECT_LE(std::abs(frame.left() - screen.left() - (screen.width() - frame.width()) / 2), 1);
    EXPECT_LE(std::abs(frame.top() - screen.top() - (screen.height() - frame.height()) / 2), 1);
}

TEST(GridWindow, GridFillsTheClientAreaAndFollowsResizing) {
    Grid g(50);
    g.window.show();
    QWidget* client = g.window.centralWidget();
    for (QSize size : {QSize(500, 300), QSize(320, 480)}) {
        g.window.resize(size);
        QCoreApplication::processEvents();
        EXPECT_EQ(g.View()->geometry(), QRect(0, 0, client->width(), client->height()));
    }
    g.window.setWindowState(Qt::WindowMinimized);
    QCoreApplication::processEvents();
    EXPECT_EQ(g.View()->height(), 0);
    g.window.setWindowState(Qt::WindowNoState);
    QCoreApplication::processEvents();
    EXPECT_EQ(g.View()->height(), client->height());
    EXPECT_GT(client->height(), 0);
}

TEST(GridWindow, TableThatCannotBeOpenedShowsTheReason) {
    int closes = 0;
    ui::GridWindow window(
        "/nowhere/UNTITLED.MDB", "UNTITLED", [&] { ++closes; }, false);
    window.OpenTable(
        [](const std::string&, const std::string&) -> std::unique_ptr<engine::RowReader> {
            throw engine::EngineError(engine::errFileNotFound, "Could not find file");
        });
    window.show();
    auto* reason = window.findChild<QLabel*>(QStringLiteral("FailureLabel"));
    ASSERT_NE(reason, nullptr);
    EXPECT_EQ(reason->text(), "Could not find file (3024)");
    EXPECT_TRUE(reason->isVisible());
    EXPECT_EQ(window.Grid()->model()->rowCount(), 0);
    EXPECT_EQ(window.Grid()->model()->columnCount(), 0);
}

TEST(GridWindow, UnattendedWindowReportsColumnsAndRowsThenCloses) {
    ::testing::internal::CaptureStderr();
    Grid g(1234, true);
    g.window.show();
    const bool closed = uitest::WaitFor([&] { return g.closes > 0; });
    const std::string out = uitest::EventLines(::testing::internal::GetCapturedStderr());
    ASSERT_TRUE(closed);
    EXPECT_EQ(g.closes, 1);
    EXPECT_EQ(out, "{\"event\":\"window\",\"name\":\"Grid\",\"state\":\"shown\","
                   "\"columns\":[\"ID\",\"NAME\"],\"rows\":1234}\n"
                   "{\"event\":\"window\",\"name\":\"Grid\",\"state\":\"closed\"}\n");
}

} // namespace
