// The progress window ("Message"): the product line, one status line and a bar
// that counts status calls. One instance for the whole program.
#pragma once

#include <QWidget>

#include <string>

class QLabel;
class QProgressBar;

namespace ui {

class ProgressWindow : public QWidget {
  public:
    static constexpr float Step = 10.0f;
    static constexpr float Ceiling = 100.0f;

    // The load step: centred, titled, version line, "Receiving the data ...", 0.
    ProgressWindow();

    // Replaces the status text unchanged, advances the bar by one step (never
    // past the ceiling) and repaints at once, without giving the event loop a turn.
    void SetStatus(const std::string& text);

    float Progress() const { return progress_; }
    QString StatusText() const;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    QLabel* msgLabel_ = nullptr;
    QProgressBar* bar_ = nullptr;
    float progress_ = 0.0f;
};

// The current instance, or nullptr when the window is not loaded.
ProgressWindow* CurrentProgressWindow();

} // namespace ui
