#include "ui/progresswindow.h"

#include "core/version.h"
#include "ui/events.h"
#include "ui/look.h"
#include "ui/twips.h"
#include "ui/windows.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QThread>
#include <QWindow>

#include <algorithm>
#include <cmath>

namespace ui {

namespace {

QPointer<ProgressWindow> g_window;
// Whether the current instance has been put on screen, so that unloading a
// window that was only ever loaded hidden reports nothing.
bool g_shown = false;

ProgressWindow& LoadedProgressWindow() {
    if (!g_window) {
        g_window = new ProgressWindow();
        g_shown = false;
    }
    return *g_window;
}

// The caller goes on working without an event loop, and a window that the
// window system has not yet exposed cannot be repainted: give it a short
// while to map the window, processing no user input meanwhile.
void WaitUntilExposed(QWidget& window) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        const QWindow* handle = window.windowHandle();
        if ((handle && handle->isExposed()) || clock.elapsed() > 1000) return;
        QThread::msleep(5);
    }
}

} // namespace

ProgressWindow::ProgressWindow()
    : QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("Message"));
    setFixedSize(TwipsToRect(0, 0, 5520, 2580).size());
    setWindowIcon(WindowIcon());
    setFont(ClassicFont(8.25));

    // SSPanel1, like the version panel's names, is the name the window was
    // first designed with, meaningless as it is: tests find it by that name.
    // Tab order is creation order: the bar's frame, the version frame, the status line.
    auto* barPanel = MakePanel(this, "SSPanel1", TwipsToRect(180, 1860, 5175, 495),
                               BarPanelBackColor, PanelBevel::Raised, Qt::AlignCenter);
    bar_ = new QProgressBar(barPanel);
    bar_->setObjectName(QStringLiteral("ProgressBar1"));
    bar_->setGeometry(TwipsToRect(60, 60, 5055, 375));
    bar_->setRange(0, 100);
    bar_->setTextVisible(false);

    auto* versionLabel = MakeVersionPanel(this, TwipsToRect(180, 180, 5175, 915), 180);

    msgLabel_ = MakePanel(this, "MsgLabel", TwipsToRect(240, 1200, 5055, 495), PanelBackColor,
                          PanelBevel::None, Qt::AlignLeft | Qt::AlignVCenter);

    CentreOnScreen(this);
    setWindowTitle(QString::fromUtf8(core::AppTitle));
    versionLabel->setText(QString::fromStdString(core::VersionLine()));
    msgLabel_->setText(QStringLiteral("Receiving the data ..."));
    progress_ = 0.0f;
    bar_->setValue(0);
}

void ProgressWindow::SetStatus(const std::string& text) {
    msgLabel_->setText(QString::fromStdString(text));
    progress_ = std::min(progress_ + Step, Ceiling);
    bar_->setValue(static_cast<int>(std::lround(progress_)));
    repaint();
}

QString ProgressWindow::StatusText() const {
    return msgLabel_->text();
}

void ProgressWindow::closeEvent(QCloseEvent* event) {
    // The window has no commands: it stays until the program unloads it.
    if (event->spontaneous())
        event->ignore();
    else
        QWidget::closeEvent(event);
}

ProgressWindow* CurrentProgressWindow() {
    return g_window;
}

void ShowStatus(const std::string& text) {
    ProgressWindow& window = LoadedProgressWindow();
    window.SetStatus(text);
    EmitStatusEvent(text, static_cast<int>(std::lround(window.Progress())));
}

void ShowProgressWindow() {
    ProgressWindow& window = LoadedProgressWindow();
    window.show();
    WaitUntilExposed(window);
    // The load step centred the client area; the frame is known now.
    if (!g_shown && window.frameGeometry().size() != window.size()) CentreOnScreen(&window);
    window.repaint();
    if (!g_shown) {
        g_shown = true;
        EmitWindowEvent("Message", "shown");
    }
}

void UnloadProgressWindow() {
    if (!g_window) return;
    delete g_window.data();
    if (g_shown) EmitWindowEvent("Message", "closed");
    g_shown = false;
}

} // namespace ui
