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

const std::string ThreeRowReport = "<field name='A' class='java.lang.String'/><detail>" +
                                   BandXml("$F{A}", 100) + "</detail><pageFooter>" +
                                   BandXml("\"Page \" + $V{PAGE_NUMBER}") + "</pageFooter>";

// `count` rows of one page each (a 100-point band), with a footer "Page N";
// `passes` counts the reads of the table.
std::unique_ptr<PageSource> Source(const Report& report, int count, int* passes = nullptr) {
    Document doc;
    doc.report = &report;
    doc.openRows = [count, passes] {
        if (passes) ++*passes;
        std::vector<std::vector<Value>> rows;
        for (int i = 0; i < count; ++i)
            rows.push_back({std::string("row") + std::to_string(i)});
        return std::make_unique<VectorRows>(rows);
    };
    return std::make_unique<PageSource>(std::move(doc));
}

std::string PageText(const Page& page) {
    std::string text;
    for (const auto& item : page.items)
        text += item.text.toStdString() + "|";
    return text;
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
    const Report report = ParsePrepared(Jrxml(ThreeRowReport));
    PreviewWindow window(Source(report, 3), "Title");
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
    const Report report = ParsePrepared(Jrxml(ThreeRowReport));
    PreviewWindow window(Source(report, 0), "Empty");
    EXPECT_EQ(window.PageCount(), 0);
    window.ShowPage(1);
    EXPECT_EQ(window.findChild<QLabel*>("PageLabel")->text().trimmed(), "No pages");
}

TEST(Paint, PagesDrawTheirTextAtAnyScale) {
    const Report report = ParsePrepared(Jrxml(ThreeRowReport));
    const auto pages = Source(report, 3);
    const Page& page = pages->GetPage(0);
    for (double scale : {1.0, 2.0}) {
        QImage image(int(300 * scale), int(200 * scale), QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.scale(scale, scale);
        PaintPage(painter, page);
        painter.end();
        // Text in the row's band (top 20..120) and in the footer, nothing elsewhere.
        const int all = DarkPixels(image);
        EXPECT_GT(all, 20) << scale;
        EXPECT_EQ(DarkPixels(image.copy(0, int(140 * scale), image.width(), int(30 * scale))), 0);
    }
}

TEST(PageSource, KeepsAWindowOfPagesAndFillsAgainOutsideIt) {
    const Report report = ParsePrepared(Jrxml(ThreeRowReport));
    int passes = 0;
    auto pages = Source(report, 200, &passes);
    EXPECT_EQ(pages->PageCount(), 200);
    EXPECT_EQ(passes, 1); // counting
    EXPECT_EQ(PageText(pages->GetPage(0)), "row0|Page 1|");
    EXPECT_EQ(PageText(pages->GetPage(PageSource::Window - 1)),
              "row" + std::to_string(PageSource::Window - 1) + "|Page " +
                  std::to_string(PageSource::Window) + "|");
    EXPECT_EQ(passes, 2);
    EXPECT_EQ(PageText(pages->GetPage(199)), "row199|Page 200|");
    EXPECT_EQ(passes, 3);
    EXPECT_EQ(PageText(pages->GetPage(190)), "row190|Page 191|");
    EXPECT_EQ(passes, 3);
    EXPECT_EQ(PageText(pages->GetPage(3)), "row3|Page 4|");
    EXPECT_EQ(passes, 4);
    EXPECT_EQ(PageText(pages->GetPage(500)), "row199|Page 200|"); // clamped
}
