#include "printengine/paint.h"
#include "printengine/preview.h"
#include "report_test_support.h"

#include <QCoreApplication>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>

#include <gtest/gtest.h>

using namespace printengine;
using namespace printengine::test;

namespace {

struct Pages {
    Report report;
    std::vector<Page> pages;
};

// Three pages of one 60-point row each, with a footer "Page N".
Pages ThreePages() {
    Pages p;
    p.report = ParsePrepared(Jrxml("<field name='A' class='java.lang.String'/><detail>" +
                                   BandXml("$F{A}", 100) + "</detail><pageFooter>" +
                                   BandXml("\"Page \" + $V{PAGE_NUMBER}") + "</pageFooter>"));
    VectorRows rows({{std::string("one")}, {std::string("two")}, {std::string("three")}});
    FillReport(p.report, {}, rows, [&](Page&& page) { p.pages.push_back(std::move(page)); },
               nullptr, nullptr);
    return p;
}

int DarkPixels(const QImage& image) {
    int dark = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qGray(image.pixel(x, y)) < 128) ++dark;
    return dark;
}

} // namespace

TEST(Preview, NavigatesWithinItsPages) {
    Pages p = ThreePages();
    ASSERT_EQ(p.pages.size(), 3u);
    PreviewWindow window(p.report, std::move(p.pages), "Title");
    EXPECT_EQ(window.windowTitle(), "Title");
    EXPECT_EQ(window.PageCount(), 3);
    auto* label = window.findChild<QLabel*>("PageLabel");
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text().trimmed(), "Page 1 of 3");
    window.ShowPage(5);
    EXPECT_EQ(window.CurrentPage(), 2);
    EXPECT_EQ(label->text().trimmed(), "Page 3 of 3");
    window.ShowPage(-1);
    EXPECT_EQ(window.CurrentPage(), 0);
    QKeyEvent next(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &next);
    EXPECT_EQ(window.CurrentPage(), 1);
    QKeyEvent end(QEvent::KeyPress, Qt::Key_End, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &end);
    EXPECT_EQ(window.CurrentPage(), 2);
    EXPECT_TRUE(window.IsOpen());
    window.show();
    window.close();
    EXPECT_FALSE(window.IsOpen());
}

TEST(Preview, WithoutPagesSaysSo) {
    Pages p = ThreePages();
    PreviewWindow window(p.report, {}, "Empty");
    EXPECT_EQ(window.PageCount(), 0);
    window.ShowPage(1);
    EXPECT_EQ(window.findChild<QLabel*>("PageLabel")->text().trimmed(), "No pages");
}

TEST(Paint, PagesDrawTheirTextAtAnyScale) {
    Pages p = ThreePages();
    for (double scale : {1.0, 2.0}) {
        QImage image(int(300 * scale), int(200 * scale), QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.scale(scale, scale);
        PaintPage(painter, p.pages[0]);
        painter.end();
        // Text in the row's band (top 20..120) and in the footer, nothing elsewhere.
        const int all = DarkPixels(image);
        EXPECT_GT(all, 20) << scale;
        EXPECT_EQ(DarkPixels(image.copy(0, int(140 * scale), image.width(), int(30 * scale))), 0);
    }
}
