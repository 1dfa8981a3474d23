// Renders the grid, progress and About windows as they reach the screen, saves
// each as a PNG and checks the saved image: its size, and pixels sampled where
// the windows' parts must be. Under Xvfb (ctest's ui.screenshots.xvfb) the
// pictures come from the X server on a 1024x768 screen.
#include "ui/aboutwindow.h"
#include "ui/gridwindow.h"
#include "ui/progresswindow.h"
#include "ui/windows.h"
#include "ui_test_support.h"

#include <QDir>
#include <QGuiApplication>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using uitest::FakeRowReader;

QString ShotFolder() {
    const char* chosen = std::getenv("NORVAKEL_SCREENSHOT_DIR");
    const QString folder = chosen && *chosen ? QString::fromLocal8Bit(chosen)
                                             : QDir::temp().filePath("norvakel-shots");
    QDir().mkpath(folder);
    return folder;
}

// Waits until the window is on screen and painted, grabs it from the screen,
// writes it as NAME.png and returns the image read back from that file.
QImage Screenshot(QWidget& window, const QString& name) {
    window.show();
    EXPECT_TRUE(uitest::WaitFor(
        [&] { return window.windowHandle() && window.windowHandle()->isExposed(); }));
    window.repaint();
    uitest::WaitFor([] { return false; }, 200); // let the X server draw it
    const QPixmap shot = window.screen()->grabWindow(window.winId());
    const QString path = QDir(ShotFolder()).filePath(name + ".png");
    EXPECT_TRUE(shot.save(path, "PNG")) << path.toStdString();
    QImage saved(path);
    EXPECT_FALSE(saved.isNull()) << path.toStdString();
    return saved.convertToFormat(QImage::Format_RGB32);
}

// A point of `child`, in the coordinates of its top-level window.
QPoint InWindow(const QWidget* child, QPoint point) {
    return child->mapTo(child->window(), point);
}

bool IsBlack(QRgb c) {
    return qRed(c) < 60 && qGreen(c) < 60 && qBlue(c) < 60;
}
bool IsWhite(QRgb c) {
    return qRed(c) > 235 && qGreen(c) > 235 && qBlue(c) > 235;
}
bool IsDark(QRgb c) {
    return qGray(c) < 128;
}

// Columns of `rect` in `image` holding a dark pixel.
std::pair<int, int> DarkSpan(const QImage& image, const QRect& rect) {
    int left = INT_MAX, right = -1;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            if (IsDark(image.pixel(x, y))) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
    return {left, right};
}

TEST(Screenshot, GridShowsLinesSelectorsMarkerAndAlignedValues) {
    ui::GridWindow window(
        "/tmp/UNTITLED.MDB", "UNTITLED", [] {}, false);
    window.OpenTable([](const std::string&, const std::string&) {
        return std::make_unique<FakeRowReader>(
            std::vector<engine::Field>{{"A_LONG_NUMBER_HEADING", engine::dbLong, 4, false},
                                       {"A_LONG_TEXT_HEADING", engine::dbText, 50, true}},
            1'000'000);
    });
    ui::RecordGrid* grid = window.Grid();
    grid->setCurrentIndex(grid->model()->index(1, 0));
    const QImage image = Screenshot(window, "grid");
    ASSERT_FALSE(image.isNull());

    const QRect screen = window.screen()->geometry();
    EXPECT_EQ(image.size(), window.size());
    if (screen.size() == QSize(1024, 768) && window.frameGeometry().size() == window.size()) {
        EXPECT_EQ(image.size(), QSize(768, 576)) << "three quarters of a 1024x768 screen";
    }

    // Cells are white with black lines between them.
    const QRect cell = grid->visualRect(grid->model()->index(2, 1));
    const QPoint blank =
        InWindow(grid->viewport(), cell.topRight() + QPoint(-3, cell.height() / 2));
    EXPECT_TRUE(IsWhite(image.pixel(blank))) << std::hex << image.pixel(blank);
    const QPoint line = InWindow(grid->viewport(), QPoint(cell.center().x(), cell.bottom() + 1));
    EXPECT_TRUE(IsBlack(image.pixel(line))) << std::hex << image.pixel(line);

    // The marker sits in the current record's selector only.
    QHeaderView* selectors = grid->verticalHeader();
    auto selectorCentre = [&](int row) {
        return InWindow(selectors->viewport(),
                        QPoint(selectors->width() / 2, selectors->sectionViewportPosition(row) +
                                                           selectors->sectionSize(row) / 2));
    };
    EXPECT_EQ(static_cast<ui::RecordSelectors*>(selectors)->CurrentRow(), 1);
    EXPECT_TRUE(IsBlack(image.pixel(selectorCentre(1))));
    EXPECT_FALSE(IsBlack(image.pixel(selectorCentre(0))));
    EXPECT_FALSE(IsBlack(image.pixel(selectorCentre(3))));

    // Short values under long headings: the number hugs the right edge of its
    // cell, the text the left edge.
    auto darkIn = [&](int column) {
        const QRect r = grid->visualRect(grid->model()->index(4, column)).adjusted(1, 2, -2, -2);
        return std::make_pair(r.translated(InWindow(grid->viewport(), QPoint(0, 0))),
                              DarkSpan(image, r.translated(InWindow(grid->viewport(), {0, 0}))));
    };
    const auto [numberCell, numberInk] = darkIn(0);
    ASSERT_GE(numberInk.second, 0) << "the number is drawn";
    EXPECT_GT(numberInk.first, numberCell.center().x());
    const auto [textCell, textInk] = darkIn(1);
    ASSERT_GE(textInk.second, 0) << "the text is drawn";
    EXPECT_LT(textInk.second, textCell.center().x());
}

TEST(Screenshot, ProgressWindowShowsTheBarFilledToItsValue) {
    ui::UnloadProgressWindow();
    for (int i = 0; i < 5; ++i)
        ui::ShowStatus("Saving the data ...");
    ui::ProgressWindow* window = ui::CurrentProgressWindow();
    ASSERT_NE(window, nullptr);
    const QImage image = Screenshot(*window, "progress");
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), window->size());
    EXPECT_EQ(image.size(), uitest::ExpectedRect(0, 0, 5520, 2580).size());

    auto* bar = window->findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->value(), 50);
    // Half the bar is filled: a point at a quarter differs from one at three quarters.
    const int y = bar->height() / 2;
    const QRgb filled = image.pixel(InWindow(bar, QPoint(bar->width() / 4, y)));
    const QRgb empty = image.pixel(InWindow(bar, QPoint(bar->width() * 3 / 4, y)));
    EXPECT_NE(filled, empty);
    const QRgb stillFilled = image.pixel(InWindow(bar, QPoint(bar->width() / 8, y)));
    EXPECT_EQ(filled, stillFilled);

    auto* status = window->findChild<QLabel*>(QStringLiteral("MsgLabel"));
    ASSERT_NE(status, nullptr);
    const QRect text = status->rect().adjusted(2, 2, -2, -2).translated(InWindow(status, {0, 0}));
    EXPECT_GE(DarkSpan(image, text).second, 0) << "the status line is drawn";
    ui::UnloadProgressWindow();
}

TEST(Screenshot, AboutWindowShowsTheIconAndButton) {
    int closes = 0;
    ui::AboutWindow window([&] { ++closes; }, false);
    const QImage image = Screenshot(window, "about");
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), window.size());
    EXPECT_EQ(image.size(), uitest::ExpectedRect(0, 0, 5490, 2760).size());

    auto* ok = window.findChild<QPushButton*>(QStringLiteral("Command1"));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->geometry(), uitest::ExpectedRect(1920, 2280, 1200, 375));
    EXPECT_GE(DarkSpan(image, ok->geometry().adjusted(4, 4, -4, -4)).second, 0)
        << "the button's caption is drawn";

    // The picture box shows the icon at its top-left corner: the blue heading
    // row of the table and the green arrow.
    auto* picture = window.findChild<QLabel*>(QStringLiteral("Picture1"));
    ASSERT_NE(picture, nullptr);
    const QPoint icon = InWindow(picture, picture->contentsRect().topLeft());
    const QRgb heading = image.pixel(icon + QPoint(12, 7));
    EXPECT_GT(qBlue(heading), qRed(heading) + 60) << std::hex << heading;
    const QRgb arrow = image.pixel(icon + QPoint(27, 19));
    EXPECT_GT(qGreen(arrow), qRed(arrow) + 40) << std::hex << arrow;
    EXPECT_GT(qGreen(arrow), qBlue(arrow) + 40) << std::hex << arrow;
    window.close();
    EXPECT_EQ(closes, 1);
}

} // namespace
