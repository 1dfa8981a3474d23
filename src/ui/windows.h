// The program's windows and message boxes, as the rest of the program sees them.
#pragma once

#include <functional>
#include <string>

namespace ui {

enum class Icon { None, Information, Critical };

// Creates the application object; in unattended mode without a display the
// offscreen platform is used.
void InitApplication(int& argc, char** argv);
// Runs the window system's event loop until the program ends.
int RunEventLoop();

// A message box captioned "Norvakel" with an OK button; returns when the person
// has closed it (at once in unattended mode, after the JSON line).
void ShowMessage(const std::string& text, Icon icon);
// The same with a caption of its own (the report engine's error box).
void ShowCaptionedMessage(const std::string& caption, const std::string& text, Icon icon);

// Progress window ("Message").
void ShowProgressWindow();
void UnloadProgressWindow();
// Sets the status line, advances the bar by 10 (at most 100), repaints at once.
void ShowStatus(const std::string& text);

// About window: shown modelessly; `onClose` runs when it closes (the program
// passes the end of the process with status 0).
void ShowAboutWindow(std::function<void()> onClose);

// Grid window: shown modelessly on the scratch table; `onClose` runs when it
// closes (the program passes the end of the run).
void ShowGridWindow(std::function<void()> onClose);

} // namespace ui
