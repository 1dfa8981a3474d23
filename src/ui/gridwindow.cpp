#include "ui/gridwindow.h"

#include "core/runstate.h"
#include "core/version.h"
#include "ui/events.h"
#include "ui/look.h"
#include "ui/recordgrid.h"
#include "ui/twips.h"
#include "ui/windows.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QTableView>

#include <algorithm>
#include <cmath>

namespace ui {

namespace {

// Columns are sized from their heading and the first page of values, never
// wider than this.
constexpr double MaxColumnTwips = 4320;
constexpr double RecordSelectorTwips = 270;

} // namespace

GridWindow::GridWindow(const std::string& databasePath, const std::string& table,
                       std::function<void()> onClose, bool closeByItself)
    : QMainWindow(nullptr), onClose_(std::move(onClose)), closeByItself_(closeByItself) {
    setObjectName(QStringLiteral("Grid"));
    setWindowIcon(WindowIcon());

    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("mFile"));
    QAction* exit = file->addAction(QStringLiteral("E&xit"));
    exit->setObjectName(QStringLiteral("mFileExit"));
    connect(exit, &QAction::triggered, this, &QWidget::close);

    client_ = new QWidget(this);
    client_->installEventFilter(this);
    setCentralWidget(client_);

    data_ = new TableModel(this);
    const QFont font = ClassicFont(9.75);
    // Rows as tall as one line of the grid's font, as the classic grid drew them.
    const int lineHeight = QFontMetrics(font).height() + TwipsToPixels(60);
    grid_ = new RecordGrid(data_, lineHeight, client_);
    grid_->setFont(font);
    grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid_->setTabKeyNavigation(false);
    grid_->setShowGrid(true);
    grid_->setGridStyle(Qt::SolidLine);
    grid_->setWordWrap(false);
    grid_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    grid_->setStyleSheet(QStringLiteral("QTableView { gridline-color: black; }"));
    QPalette palette = grid_->palette();
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Text, Qt::black);
    grid_->setPalette(palette);
    grid_->horizontalHeader()->setVisible(true);
    grid_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    grid_->verticalHeader()->setVisible(true);
    grid_->verticalHeader()->setFixedWidth(TwipsToPixels(RecordSelectorTwips));
    grid_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    grid_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    failureLabel_ = new QLabel(this);
    failureLabel_->setObjectName(QStringLiteral("FailureLabel"));
    failureLabel_->setTextFormat(Qt::PlainText);
    statusBar()->addWidget(failureLabel_, 1);
    statusBar()->setSizeGripEnabled(true);
    statusBar()->hide();

    setWindowTitle(QString::fromUtf8(core::AppTitle));
    PlaceOnScreen();
    data_->SetDatabaseName(databasePath);
    data_->SetRecordSource(table);
    UnloadProgressWindow();

    AfterFirstPaint(grid_->viewport(), [this] { OnShownAndPainted(); });
}

void GridWindow::OpenTable(const TableModel::Opener& opener) {
    if (data_->Open(opener)) {
        statusBar()->hide();
        failureLabel_->clear();
    } else {
        failureLabel_->setText(QString::fromStdString(data_->FailureText()));
        statusBar()->show();
    }
    FitColumns();
}

void GridWindow::PlaceOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    // Three quarters of the screen, frame included; the frame's size is known
    // only once the window system has framed the window.
    const QSize area = screen->geometry().size();
    const QSize margins = frameGeometry().size() - size();
    const QSize outer(static_cast<int>(std::lround(area.width() * 0.75)),
                      static_cast<int>(std::lround(area.height() * 0.75)));
    resize(outer - margins);
    CentreOnScreen(this);
    placedFrame_ = margins;
}

void GridWindow::LayoutGrid() {
    const int height = isMinimized() ? 0 : client_->height();
    const int top = TwipsToPixels(1);
    grid_->setGeometry(0, top, client_->width(), height);
}

void GridWindow::FitColumns() {
    const QFontMetrics metrics(grid_->font());
    const int padding = metrics.horizontalAdvance(QLatin1Char('M'));
    const int widest = TwipsToPixels(MaxColumnTwips);
    const int sample = std::min(data_->rowCount(), TableModel::PageRows);
    for (int column = 0; column < data_->columnCount(); ++column) {
        int width = metrics.horizontalAdvance(data_->headerData(column, Qt::Horizontal).toString());
        for (int row = 0; row < sample; ++row)
            width = std::max(width, metrics.horizontalAdvance(
                                        data_->data(data_->index(row, column)).toString()));
        grid_->setColumnWidth(column, std::min(width + 2 * padding, widest));
    }
}

bool GridWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == client_ && event->type() == QEvent::Resize) LayoutGrid();
    return QMainWindow::eventFilter(watched, event);
}

void GridWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) LayoutGrid();
}

void GridWindow::OnShownAndPainted() {
    // The frame is known now; place the window again if it changed the sums.
    if (frameGeometry().size() - size() != placedFrame_ && !isMinimized() && !isMaximized())
        PlaceOnScreen();
    EmitWindowEvent("Grid", "shown",
                    ",\"columns\":" + JsonStringArray(data_->FieldNames()) +
                        ",\"rows\":" + std::to_string(data_->TotalRows()));
    if (closeByItself_) close();
}

void GridWindow::closeEvent(QCloseEvent* event) {
    // The unload is never cancelled.
    event->accept();
    if (closed_) return;
    closed_ = true;
    EmitWindowEvent("Grid", "closed");
    if (onClose_) onClose_();
}

void ShowGridWindow(std::function<void()> onClose) {
    auto* window = new GridWindow(core::ScratchDbPath(), core::Run().ScratchTableName,
                                  std::move(onClose), Unattended());
    window->OpenTable();
    window->show();
}

} // namespace ui
