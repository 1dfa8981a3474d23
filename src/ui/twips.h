// Window geometry is designed in twips (1/1440 inch) and placed in pixels at
// the screen's logical resolution: 15 twips make one pixel at 96 dpi.
#pragma once

#include <QRect>

class QWidget;

namespace ui {

inline constexpr double TwipsPerInch = 1440.0;

// Logical dots per inch of the primary screen; 96 when there is no screen.
double LogicalDpi();

int TwipsToPixels(double twips, double dpi);
int TwipsToPixels(double twips);
QRect TwipsToRect(double left, double top, double width, double height);

// Centres a top-level window on its screen by its frame size as read back
// (the client size until the window system has framed it).
void CentreOnScreen(QWidget* window);

} // namespace ui
