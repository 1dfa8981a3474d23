// The look the windows share: the classic dialog font, the 3-D panels, and the
// program's own icon, drawn at run time.
#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QLabel>

#include <functional>

namespace ui {

inline const QColor PanelBackColor{236, 233, 216};
inline const QColor BarPanelBackColor{192, 192, 192};

// "MS Sans Serif" at `points`, or the desktop's sans-serif font of that size
// where that family is not installed.
QFont ClassicFont(double points);

enum class PanelBevel { None, Raised, Inset };

// A 3-D panel: a plain-text label with a bevel, a back colour and text in the
// button-text colour. `rect` is in pixels, relative to `parent`.
QLabel* MakePanel(QWidget* parent, const char* name, const QRect& rect, const QColor& back,
                  PanelBevel bevel, Qt::Alignment alignment);

// The picture box showing the 32x32 application image at its top-left corner.
QLabel* MakePictureBox(QWidget* parent, const char* name, const QRect& rect);

// The version frame of the progress and About windows: a raised panel (`rect`
// in pixels) with the application picture and, beside it, the version label,
// which it returns; both `innerTop` twips below the panel's top.
QLabel* MakeVersionPanel(QWidget* parent, const QRect& rect, int innerTop);

enum class IconColors { Sixteen, Rich };

// The application icon at `size` pixels: a small table with a blue heading row
// and an arrow bringing data into it. The sixteen-colour version uses only the
// classic 16-colour palette and no anti-aliasing.
QImage DrawAppIcon(int size, IconColors colors);
// The 16-colour icon with its 32x32 and 16x16 images (progress and grid windows).
QIcon WindowIcon();
// The 32x32 rich-colour application icon (About window, picture boxes).
QIcon ApplicationIcon();

} // namespace ui

namespace ui {

// Runs `action` once, from the event loop, right after `widget` has been
// painted for the first time: how the windows that wait for a person know
// that they have been on screen in unattended mode.
void AfterFirstPaint(QWidget* widget, std::function<void()> action);

} // namespace ui
