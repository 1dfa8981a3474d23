// The preview window: the report's pages with page navigation, zoom, Print…
// and Save as PDF…, laid out as they are shown. Closing it ends the preview.
#pragma once

#include "printengine/output.h"

#include <QWidget>

class QComboBox;
class QLabel;
class QPagedPaintDevice;
class QScrollArea;

namespace printengine {

class PageView;

class PreviewWindow : public QWidget {
    Q_OBJECT
  public:
    PreviewWindow(std::unique_ptr<PageSource> pages, const QString& title);
    ~PreviewWindow() override;

    bool IsOpen() const { return open_; }
    int PageCount() const;
    int CurrentPage() const { return current_; }
    void ShowPage(int index);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void OnFirstPaint();
    void ApplyZoom();
    void PrintPages();
    void SavePdf();
    void UpdateLabel();
    void Render(QPagedPaintDevice& device, const QString& name);

    const Report& report_;
    std::unique_ptr<PageSource> pages_;
    int current_ = 0;
    bool open_ = true;
    bool announced_ = false;
    PageView* view_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QLabel* pageLabel_ = nullptr;
    QComboBox* zoom_ = nullptr;
};

} // namespace printengine
