// Message boxes.
#pragma once

#include <QString>

#include <string>

namespace ui {

// A message's text as the screen shows it: the CR LF pairs that the program's
// messages carry become line breaks.
QString ScreenText(const std::string& text);

} // namespace ui
