#include "ui/twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <cmath>

namespace ui {

double LogicalDpi() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->logicalDotsPerInch() : 96.0;
}

int TwipsToPixels(double twips, double dpi) {
    return static_cast<int>(std::lround(twips * dpi / TwipsPerInch));
}

int TwipsToPixels(double twips) {
    return TwipsToPixels(twips, LogicalDpi());
}

QRect TwipsToRect(double left, double top, double width, double height) {
    const double dpi = LogicalDpi();
    return QRect(TwipsToPixels(left, dpi), TwipsToPixels(top, dpi), TwipsToPixels(width, dpi),
                 TwipsToPixels(height, dpi));
}

void CentreOnScreen(QWidget* window) {
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->geometry();
    const QSize frame = window->frameGeometry().size();
    // Fractions are kept until the final pixel position.
    const double left = (area.width() - frame.width()) / 2.0;
    const double top = (area.height() - frame.height()) / 2.0;
    window->move(area.x() + static_cast<int>(std::floor(left)),
                 area.y() + static_cast<int>(std::floor(top)));
}

} // namespace ui
