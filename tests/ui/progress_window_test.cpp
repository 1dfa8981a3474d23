#include "core/version.h"
#include "ui/progresswindow.h"
#include "ui/windows.h"
#include "ui_test_support.h"

#include <QLabel>
#include <QProgressBar>
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// The window tests run as an unattended run does, so that the JSON lines can
// be checked and nothing waits for a person. Set before main, before the
// program first reads it.
const bool kUnattended = [] {
    setenv("NORVAKEL_UNATTENDED", "1", 1);
    return true;
}();

class ProgressWindowTest : public ::testing::Test {
  protected:
    void SetUp() override { ui::UnloadProgressWindow(); }
    void TearDown() override { ui::UnloadProgressWindow(); }

    static ui::ProgressWindow& Current() {
        ui::ProgressWindow* window = ui::CurrentProgressWindow();
        EXPECT_NE(window, nullptr);
        return *window;
    }
    static QString Label(QWidget& window, const char* name) {
        auto* label = window.findChild<QLabel*>(QString::fromLatin1(name));
        EXPECT_NE(label, nullptr) << name;
        return label ? label->text() : QString();
    }
    static int Bar(QWidget& window) {
        return window.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"))->value();
    }
};

TEST_F(ProgressWindowTest, LoadStepFillsTheWindow) {
    ui::ProgressWindow window;
    EXPECT_EQ(window.objectName(), "Message");
    EXPECT_EQ(window.windowTitle(), "Norvakel");
    EXPECT_EQ(Label(window, "MsgLabel"), "Receiving the data ...");
    EXPECT_EQ(Label(window, "VersionLabel").toStdString(), core::VersionLine());
    EXPECT_TRUE(Label(window, "VersionLabel").endsWith(" v1.4.7"));
    EXPECT_EQ(window.Progress(), 0.0f);
    EXPECT_EQ(Bar(window), 0);
    auto* bar = window.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_FALSE(window.isVisible());
}

TEST_F(ProgressWindowTest, FixedDialogFrameWithoutMinMax) {
    ui::ProgressWindow window;
    const QSize client = uitest::ExpectedRect(0, 0, 5520, 2580).size();
    EXPECT_EQ(window.size(), client);
    EXPECT_EQ(window.minimumSize(), client);
    EXPECT_EQ(window.maximumSize(), client);
    const Qt::WindowFlags flags = window.windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Dialog);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
}

struct ControlPlace {
    const char* name;
    const char* parent;
    double left, top, width, height;
};

TEST_F(ProgressWindowTest, ControlsSitAtTheirTwipGeometry) {
    ui::ProgressWindow window;
    const ControlPlace places[] = {
        {"SSPanel1", "Message", 180, 1860, 5175, 495},
        {"ProgressBar1", "SSPanel1", 60, 60, 5055, 375},
        {"SSPanel2", "Message", 180, 180, 5175, 915},
        {"Picture1", "SSPanel2", 180, 180, 540, 540},
        {"VersionLabel", "SSPanel2", 840, 180, 4155, 495},
        {"MsgLabel", "Message", 240, 1200, 5055, 495},
    };
    for (const ControlPlace& p : places) {
        auto* control = window.findChild<QWidget*>(QString::fromLatin1(p.name));
        ASSERT_NE(control, nullptr) << p.name;
        EXPECT_EQ(control->parentWidget()->objectName(), p.parent) << p.name;
        EXPECT_EQ(control->geometry(), uitest::ExpectedRect(p.left, p.top, p.width, p.height))
            << p.name;
    }
}

TEST_F(ProgressWindowTest, PanelsUseTheClassicFontAndColours) {
    ui::ProgressWindow window;
    for (const char* name : {"SSPanel1", "SSPanel2", "VersionLabel", "MsgLabel"}) {
        auto* panel = window.findChild<QLabel*>(QString::fromLatin1(name));
        ASSERT_NE(panel, nullptr) << name;
        EXPECT_DOUBLE_EQ(panel->font().pointSizeF(), 8.25) << name;
        EXPECT_EQ(panel->font().weight(), QFont::Normal) << name;
        const QColor expected =
            QString(name) == "SSPanel1" ? QColor(192, 192, 192) : QColor(236, 233, 216);
        EXPECT_EQ(panel->palette().color(QPalette::Window), expected) << name;
        EXPECT_TRUE(panel->autoFillBackground()) << name;
    }
    auto* msg = window.findChild<QLabel*>(QStringLiteral("MsgLabel"));
    EXPECT_EQ(msg->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
    EXPECT_EQ(window.findChild<QLabel*>(QStringLiteral("VersionLabel"))->alignment(),
              Qt::AlignCenter);
    EXPECT_EQ(window.findChild<QLabel*>(QStringLiteral("Picture1"))->pixmap().size(),
              QSize(32, 32));
}

TEST_F(ProgressWindowTest, StatusCreatesAHiddenWindowAndAdvancesByTen) {
    ASSERT_EQ(ui::CurrentProgressWindow(), nullptr);
    ui::ShowStatus("Initializing ...");
    ui::ProgressWindow& window = Current();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.StatusText(), "Initializing ...");
    EXPECT_EQ(window.Progress(), 10.0f);
    EXPECT_EQ(Bar(window), 10);
    for (int call = 2; call <= 10; ++call) {
        ui::ShowStatus("step " + std::to_string(call));
        EXPECT_EQ(window.Progress(), 10.0f * static_cast<float>(call));
    }
    EXPECT_EQ(Bar(window), 100);
    ui::ShowStatus("eleventh");
    ui::ShowStatus("twelfth");
    EXPECT_EQ(window.Progress(), 100.0f);
    EXPECT_EQ(Bar(window), 100);
    EXPECT_EQ(window.StatusText(), "twelfth");
    EXPECT_EQ(&Current(), &window) << "one instance for the whole program";
}

TEST_F(ProgressWindowTest, StatusTextIsShownUnchanged) {
    ui::ShowStatus("Running x ... ");
    EXPECT_EQ(Current().StatusText(), "Running x ... ");
    ui::ShowStatus("");
    EXPECT_EQ(Current().StatusText(), "");
    EXPECT_EQ(Current().Progress(), 20.0f) << "an empty text still advances the bar";
    ui::ShowStatus("<b>not markup</b> & \xC3\xA9");
    EXPECT_EQ(Current().StatusText(), QString::fromUtf8("<b>not markup</b> & \xC3\xA9"));
    EXPECT_EQ(Current().findChild<QLabel*>(QStringLiteral("MsgLabel"))->textFormat(),
              Qt::PlainText);
}

TEST_F(ProgressWindowTest, StatusAfterUnloadingRecreatesAHiddenWindowAtTen) {
    ui::ShowProgressWindow();
    for (int i = 0; i < 5; ++i)
        ui::ShowStatus("busy");
    EXPECT_TRUE(Current().isVisible());
    ui::UnloadProgressWindow();
    EXPECT_EQ(ui::CurrentProgressWindow(), nullptr);
    ui::ShowStatus("late");
    EXPECT_FALSE(Current().isVisible());
    EXPECT_EQ(Current().Progress(), 10.0f);
    EXPECT_EQ(Current().StatusText(), "late");
}

class PaintCounter : public QObject {
  public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

TEST_F(ProgressWindowTest, StatusRepaintsWithoutTheEventLoop) {
    ui::ShowProgressWindow();
    ASSERT_TRUE(Current().isVisible());
    PaintCounter counter;
    Current().findChild<QLabel*>(QStringLiteral("MsgLabel"))->installEventFilter(&counter);
    Current()
        .findChild<QProgressBar*>(QStringLiteral("ProgressBar1"))
        ->installEventFilter(&counter);
    ui::ShowStatus("Receiving data from host ...");
    EXPECT_GE(counter.paints, 2) << "status line and bar painted before ShowStatus returns";
}

TEST_F(ProgressWindowTest, UnattendedRunReportsStatusAndWindowEvents) {
    ::testing::internal::CaptureStderr();
    ui::ShowProgressWindow();
    ui::ShowStatus("Initializing ...");
    ui::ShowStatus("say \"hi\"");
    ui::UnloadProgressWindow();
    ui::ShowStatus("hidden");
    ui::UnloadProgressWindow(); // never shown: nothing to report
    const std::string out = uitest::EventLines(::testing::internal::GetCapturedStderr());
    EXPECT_EQ(out, "{\"event\":\"window\",\"name\":\"Message\",\"state\":\"shown\"}\n"
                   "{\"event\":\"status\",\"text\":\"Initializing ...\",\"progress\":10}\n"
                   "{\"event\":\"status\",\"text\":\"say \\\"hi\\\"\",\"progress\":20}\n"
                   "{\"event\":\"window\",\"name\":\"Message\",\"state\":\"closed\"}\n"
                   "{\"event\":\"status\",\"text\":\"hidden\",\"progress\":10}\n");
}

TEST(Twips, ConvertAtTheGivenResolution) {
    EXPECT_EQ(ui::TwipsToPixels(1440, 96), 96);
    EXPECT_EQ(ui::TwipsToPixels(15, 96), 1);
    EXPECT_EQ(ui::TwipsToPixels(1, 96), 0) << "one twip is below one pixel";
    EXPECT_EQ(ui::TwipsToPixels(5520, 120), 460);
    EXPECT_EQ(ui::TwipsToPixels(5520, 144), 552);
}

} // namespace
