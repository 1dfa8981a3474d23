// The About window ("About"): product line and copyright notice; all the
// program shows when it is started without a transfer file.
#pragma once

#include <QWidget>

#include <functional>

namespace ui {

class AboutWindow : public QWidget {
  public:
    // `onClose` runs once when the window closes, by OK or otherwise (the
    // program passes the end of the process). With `closeByItself` the window
    // closes as if OK was clicked once it has been shown and painted.
    AboutWindow(std::function<void()> onClose, bool closeByItself);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void OnShownAndPainted();

    std::function<void()> onClose_;
    bool closeByItself_;
    bool closed_ = false;
};

} // namespace ui
