// The preview window: the report's pages with page navigation, zoom, Print…
// and Save as PDF…. Closing it ends the preview.
#pragma once

#include "printengine/fill.h"

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
    PreviewWindow(const Report& report, std::vector<Page> pages, const QString& title);
    ~PreviewWindow() override;

    bool IsOpen() const { return open_; }
    int PageCount() const { return int(pages_.size()); }
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

    const Report& report_;
    std::vector<Page> pages_;
    int current_ = 0;
    bool open_ = true;
    bool announced_ = false;
    PageView* view_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QLabel* pageLabel_ = nullptr;
    QComboBox* zoom_ = nullptr;
};

// Draws stored pages onto a printer or PDF writer.
void PaintStoredPages(const Report& report, const std::vector<Page>& pages,
                      QPagedPaintDevice& device);

} // namespace printengine
