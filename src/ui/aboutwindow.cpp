#include "ui/aboutwindow.h"

#include "core/version.h"
#include "ui/events.h"
#include "ui/look.h"
#include "ui/twips.h"
#include "ui/windows.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>

namespace ui {

AboutWindow::AboutWindow(std::function<void()> onClose, bool closeByItself)
    : QWidget(nullptr), onClose_(std::move(onClose)), closeByItself_(closeByItself) {
    setObjectName(QStringLiteral("About"));
    resize(TwipsToRect(0, 0, 5490, 2760).size());
    setWindowIcon(ApplicationIcon());
    setFont(ClassicFont(8.25));

    // Command1, like the version panel's names, is the name the window was
    // first designed with, meaningless as it is: the unattended run and the
    // tests find the OK button by it.
    // Created first, so first in the tab order and holding the focus.
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("Command1"));
    ok->setGeometry(TwipsToRect(1920, 2280, 1200, 375));
    ok->setAutoDefault(false);
    ok->setDefault(false);
    connect(ok, &QPushButton::clicked, this, &QWidget::close);

    auto* versionLabel = MakeVersionPanel(this, TwipsToRect(180, 120, 5115, 1035), 240);
    auto* copyright = MakePanel(this, "CopyrightLabel", TwipsToRect(180, 1200, 5115, 975),
                                PanelBackColor, PanelBevel::Raised, Qt::AlignCenter);
    copyright->setWordWrap(true);
    ok->setFocus();

    CentreOnScreen(this);
    setWindowTitle(QString::fromUtf8(core::AppTitle));
    versionLabel->setText(QString::fromStdString(core::VersionLine()));
    copyright->setText(QString::fromUtf8(core::Version().LegalCopyright));

    AfterFirstPaint(ok, [this] { OnShownAndPainted(); });
}

void AboutWindow::OnShownAndPainted() {
    // Centred again by the frame the window system has added since the load.
    if (frameGeometry().size() != size() && !isMinimized() && !isMaximized()) CentreOnScreen(this);
    EmitWindowEvent("About", "shown");
    if (closeByItself_) findChild<QPushButton*>(QStringLiteral("Command1"))->click();
}

void AboutWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    if (closed_) return;
    closed_ = true;
    EmitWindowEvent("About", "closed");
    if (onClose_) onClose_();
}

void ShowAboutWindow(std::function<void()> onClose) {
    auto* window = new AboutWindow(std::move(onClose), Unattended());
    window->show();
}

} // namespace ui
