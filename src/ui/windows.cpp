#include "ui/windows.h"

#include "core/version.h"
#include "ui/events.h"
#include "ui/look.h"
#include "ui/messagebox.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

namespace ui {

namespace {

const char* IconName(Icon icon) {
    switch (icon) {
    case Icon::Critical:
        return "critical";
    case Icon::Information:
        return "information";
    case Icon::None:
        break;
    }
    return "none";
}

QMessageBox::Icon BoxIcon(Icon icon) {
    switch (icon) {
    case Icon::Critical:
        return QMessageBox::Critical;
    case Icon::Information:
        return QMessageBox::Information;
    case Icon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

bool HasDisplay() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

// Standard error carries the event lines in unattended mode: the window
// system's own chatter (platform plugin notes and the like) stays off it.
void KeepQtMessagesOffTheEventStream(QtMsgType type, const QMessageLogContext&,
                                     const QString& message) {
    if (type != QtFatalMsg) return;
    const QByteArray text = message.toLocal8Bit();
    std::fprintf(stderr, "%s\n", text.constData());
}

} // namespace

void InitApplication(int& argc, char** argv) {
    // Unattended runs need no display; an explicit platform choice still wins.
    if (Unattended() && !HasDisplay() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (Unattended()) qInstallMessageHandler(KeepQtMessagesOffTheEventStream);
    // Lives until the process ends: every run ends through an exit call, never
    // by returning from main with the application object in scope.
    static QApplication* application = new QApplication(argc, argv);
    // Every window's close ends the process itself; the event loop must not
    // end on its own when, say, the last message box of a run closes.
    application->setQuitOnLastWindowClosed(false);
    application->setWindowIcon(WindowIcon());
}

int RunEventLoop() {
    return QApplication::exec();
}

QString ScreenText(const std::string& text) {
    QString screen = QString::fromStdString(text);
    screen.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return screen;
}

void ShowMessage(const std::string& text, Icon icon) {
    ShowCaptionedMessage(core::AppTitle, text, icon);
}

void ShowCaptionedMessage(const std::string& caption, const std::string& text, Icon icon) {
    if (Unattended()) {
        EmitMessageEvent(caption, IconName(icon), text);
        return;
    }
    QMessageBox box(BoxIcon(icon), QString::fromStdString(caption), ScreenText(text),
                    QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

} // namespace ui
