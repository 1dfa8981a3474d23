#include "printengine/preview.h"

#include "printengine/events.h"
#include "printengine/output.h"
#include "printengine/paint.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPdfWriter>
#include <QPrintDialog>
#include <QPrinter>
#include <QScreen>
#include <QScrollArea>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

namespace printengine {

class PageView : public QWidget {
  public:
    PageView(const Report& report, std::function<void()> firstPaint)
        : report_(report), firstPaint_(std::move(firstPaint)) {
        setObjectName("PreviewPage");
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    void SetPage(const Page* page) {
        page_ = page;
        SetZoom(zoom_); // a page without pagination has its own height
    }
    void SetZoom(double zoom) {
        zoom_ = zoom;
        const double px = logicalDpiX() / 72.0 * zoom_;
        const double height =
            page_ != nullptr && page_->height > 0 ? page_->height : report_.pageHeight;
        setFixedSize(int(report_.pageWidth * px) + 1, int(height * px) + 1);
        update();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), Qt::white);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::TextAntialiasing);
        const double px = logicalDpiX() / 72.0 * zoom_;
        painter.scale(px, px);
        if (page_ != nullptr) PaintPage(painter, *page_);
        painter.end();
        if (firstPaint_) {
            auto once = std::move(firstPaint_);
            firstPaint_ = nullptr;
            QTimer::singleShot(0, once);
        }
    }

  private:
    const Report& report_;
    const Page* page_ = nullptr;
    double zoom_ = 1.0;
    std::function<void()> firstPaint_;
};

PreviewWindow::PreviewWindow(std::unique_ptr<PageSource> pages, const QString& title)
    : report_(*pages->Doc().report), pages_(std::move(pages)) {
    setObjectName("Preview");
    setWindowTitle(title);

    auto* bar = new QToolBar(this);
    bar->setObjectName("PreviewToolBar");
    bar->addAction("|<", this, [this] { ShowPage(0); })->setToolTip("First page");
    bar->addAction("<", this, [this] { ShowPage(current_ - 1); })->setToolTip("Previous page");
    pageLabel_ = new QLabel(this);
    pageLabel_->setObjectName("PageLabel");
    bar->addWidget(pageLabel_);
    bar->addAction(">", this, [this] { ShowPage(current_ + 1); })->setToolTip("Next page");
    bar->addAction(">|", this, [this] { ShowPage(PageCount() - 1); })->setToolTip("Last page");
    bar->addSeparator();
    zoom_ = new QComboBox(this);
    zoom_->setObjectName("Zoom");
    for (int z : {50, 75, 100, 125, 150, 200, 300})
        zoom_->addItem(QString::number(z) + "%", z / 100.0);
    zoom_->addItem("Page width", 0.0);
    zoom_->setCurrentIndex(2);
    connect(zoom_, &QComboBox::currentIndexChanged, this, [this] { ApplyZoom(); });
    bar->addWidget(zoom_);
    bar->addSeparator();
    bar->addAction("Print…", this, [this] { PrintPages(); });
    bar->addAction("Save as PDF…", this, [this] { SavePdf(); });

    view_ = new PageView(report_, [this] { OnFirstPaint(); });
    scroll_ = new QScrollArea(this);
    scroll_->setBackgroundRole(QPalette::Dark);
    scroll_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    scroll_->setWidget(view_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(bar);
    layout->addWidget(scroll_);
    ApplyZoom();
    ShowPage(0);
}

PreviewWindow::~PreviewWindow() = default;

int PreviewWindow::PageCount() const {
    return pages_->PageCount();
}

void PreviewWindow::ShowPage(int index) {
    if (PageCount() == 0) {
        current_ = 0;
        view_->SetPage(nullptr);
    } else {
        current_ = std::clamp(index, 0, PageCount() - 1);
        try {
            view_->SetPage(&pages_->GetPage(current_));
        } catch (const std::exception&) {
            view_->SetPage(nullptr); // the table can no longer be read
        }
    }
    UpdateLabel();
}

void PreviewWindow::UpdateLabel() {
    pageLabel_->setText(PageCount() == 0
                            ? QString(" No pages ")
                            : QString(" Page %1 of %2 ").arg(current_ + 1).arg(PageCount()));
}

void PreviewWindow::ApplyZoom() {
    double zoom = zoom_->currentData().toDouble();
    if (zoom <= 0) {
        const double pagePx = report_.pageWidth * logicalDpiX() / 72.0;
        zoom = std::max(0.1, (scroll_->viewport()->width() - 20) / pagePx);
    }
    view_->SetZoom(zoom);
}

void PreviewWindow::OnFirstPaint() {
    if (announced_) return;
    announced_ = true;
    EmitPreviewEvent("shown", windowTitle().toStdString(), PageCount());
    if (Unattended()) QTimer::singleShot(0, this, [this] { close(); });
}

void PreviewWindow::closeEvent(QCloseEvent* event) {
    if (open_) {
        open_ = false;
        EmitPreviewEvent("closed", {}, 0);
    }
    event->accept();
}

void PreviewWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_PageDown:
        ShowPage(current_ + 1);
        break;
    case Qt::Key_PageUp:
        ShowPage(current_ - 1);
        break;
    case Qt::Key_Home:
        ShowPage(0);
        break;
    case Qt::Key_End:
        ShowPage(PageCount() - 1);
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

void PreviewWindow::Render(QPagedPaintDevice& device, const QString& name) {
    try {
        RenderDocument(pages_->Doc(), device, 1, name.toStdString());
    } catch (const std::exception& e) {
        QMessageBox::information(this, windowTitle(), QString::fromStdString(e.what()));
    }
}

void PreviewWindow::PrintPages() {
    QPrinter printer(QPrinter::HighResolution);
    SetReportPage(report_, printer);
    QPrintDialog dialog(&printer, this);
    if (dialog.exec() != QDialog::Accepted) return;
    Render(printer, printer.printerName());
}

void PreviewWindow::SavePdf() {
    const QString path =
        QFileDialog::getSaveFileName(this, "Save as PDF", QString(), "PDF files (*.pdf)");
    if (path.isEmpty()) return;
    QPdfWriter writer(path);
    SetUpPdfWriter(report_, writer);
    Render(writer, path);
}

} // namespace printengine
