#include "core/version.h"
#include "ui/aboutwindow.h"
#include "ui/look.h"
#include "ui/messagebox.h"
#include "ui/windows.h"
#include "ui_test_support.h"

#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>

namespace {

TEST(AboutWindow, LoadStepFillsTheWindow) {
    ui::AboutWindow window({}, false);
    EXPECT_EQ(window.objectName(), "About");
    EXPECT_EQ(window.windowTitle(), "Norvakel");
    EXPECT_EQ(window.size(), uitest::ExpectedRect(0, 0, 5490, 2760).size());
    auto* version = window.findChild<QLabel*>(QStringLiteral("VersionLabel"));
    ASSERT_NE(version, nullptr);
    EXPECT_TRUE(version->text().endsWith(" v1.4.7")) << version->text().toStdString();
    EXPECT_TRUE(version->text().startsWith(QString::fromUtf8(core::Version().ProductName)));
    auto* copyright = window.findChild<QLabel*>(QStringLiteral("CopyrightLabel"));
    ASSERT_NE(copyright, nullptr);
    EXPECT_EQ(copyright->text(), QString::fromUtf8(core::Version().LegalCopyright));
    EXPECT_EQ(copyright->alignment(), Qt::AlignCenter);
    // An ordinary sizable window.
    EXPECT_NE(window.minimumSize(), window.maximumSize());
}

TEST(AboutWindow, ControlsSitAtTheirTwipGeometry) {
    ui::AboutWindow window({}, false);
    struct Place {
        const char* name;
        const char* parent;
        double left, top, width, height;
    };
    const Place places[] = {
        {"Command1", "About", 1920, 2280, 1200, 375},
        {"SSPanel2", "About", 180, 120, 5115, 1035},
        {"Picture1", "SSPanel2", 180, 240, 540, 540},
        {"VersionLabel", "SSPanel2", 840, 240, 4155, 495},
        {"CopyrightLabel", "About", 180, 1200, 5115, 975},
    };
    for (const Place& p : places) {
        auto* control = window.findChild<QWidget*>(QString::fromLatin1(p.name));
        ASSERT_NE(control, nullptr) << p.name;
        EXPECT_EQ(control->parentWidget()->objectName(), p.parent) << p.name;
        EXPECT_EQ(control->geometry(), uitest::ExpectedRect(p.left, p.top, p.width, p.height))
            << p.name;
    }
}

TEST(AboutWindow, OkButtonHasTheFocusButIsNotDefault) {
    ui::AboutWindow window({}, false);
    auto* ok = window.findChild<QPushButton*>(QStringLiteral("Command1"));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), "OK");
    EXPECT_FALSE(ok->isDefault());
    EXPECT_FALSE(ok->autoDefault());
    EXPECT_EQ(window.focusWidget(), ok);
    QWidget* first = window.nextInFocusChain();
    while (first != &window && !(first->focusPolicy() & Qt::TabFocus))
        first = first->nextInFocusChain();
    EXPECT_EQ(first, ok) << "first in the tab order";
    window.show();
    uitest::WaitFor([&] { return window.isActiveWindow(); }, 1000);
    EXPECT_EQ(window.focusWidget(), ok);
}

TEST(AboutWindow, OkAndCloseBoxEachEndTheProgramOnce) {
    int endsByOk = 0;
    {
        ui::AboutWindow window([&] { ++endsByOk; }, false);
        window.show();
        window.findChild<QPushButton*>(QStringLiteral("Command1"))->click();
        EXPECT_FALSE(window.isVisible());
        window.close();
    }
    EXPECT_EQ(endsByOk, 1);

    int endsByCloseBox = 0;
    ui::AboutWindow window([&] { ++endsByCloseBox; }, false);
    window.show();
    window.close();
    EXPECT_EQ(endsByCloseBox, 1);
}

TEST(AboutWindow, UnattendedWindowClosesItselfOncePainted) {
    int ends = 0;
    ::testing::internal::CaptureStderr();
    ui::AboutWindow window([&] { ++ends; }, true);
    window.show();
    const bool ended = uitest::WaitFor([&] { return ends > 0; });
    const std::string out = uitest::EventLines(::testing::internal::GetCapturedStderr());
    ASSERT_TRUE(ended);
    EXPECT_EQ(ends, 1);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(out, "{\"event\":\"window\",\"name\":\"About\",\"state\":\"shown\"}\n"
                   "{\"event\":\"window\",\"name\":\"About\",\"state\":\"closed\"}\n");
}

TEST(AppIcon, SmallIconKeepsToTheClassicSixteenColours) {
    const QImage small = ui::DrawAppIcon(32, ui::IconColors::Sixteen);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            const QRgb px = small.pixel(x, y);
            if (qAlpha(px) == 0) continue;
            for (int channel : {qRed(px), qGreen(px), qBlue(px)})
                EXPECT_TRUE(channel == 0 || channel == 128 || channel == 192 || channel == 255)
                    << x << "," << y;
        }
    EXPECT_FALSE(ui::WindowIcon().availableSizes().isEmpty());
}

TEST(MessageBox, ScreenShowsLineBreaksWhereTheTextHasCrLf) {
    EXPECT_EQ(ui::ScreenText("Failed.\r\nThe program will terminate."),
              "Failed.\nThe program will terminate.");
    EXPECT_EQ(ui::ScreenText("stored.\r\n\r\nFile Name = /x"), "stored.\n\nFile Name = /x");
    EXPECT_EQ(ui::ScreenText("no breaks"), "no breaks");
}

TEST(MessageBox, UnattendedBoxIsOneJsonLineWithTheExactText) {
    ::testing::internal::CaptureStderr();
    ui::ShowMessage("Failed.\r\nThe program will terminate.", ui::Icon::Critical);
    ui::ShowMessage("stored", ui::Icon::Information);
    ui::ShowMessage("", ui::Icon::None);
    EXPECT_EQ(uitest::EventLines(::testing::internal::GetCapturedStderr()),
              "{\"event\":\"message\",\"caption\":\"Norvakel\",\"icon\":\"critical\","
              "\"text\":\"Failed.\\r\\nThe program will terminate.\"}\n"
              "{\"event\":\"message\",\"caption\":\"Norvakel\",\"icon\":\"information\","
              "\"text\":\"stored\"}\n"
              "{\"event\":\"message\",\"caption\":\"Norvakel\",\"icon\":\"none\",\"text\":\"\"}\n");
}

} // namespace
