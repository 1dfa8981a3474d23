#include "ui/recordgrid.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>

#include <algorithm>

namespace ui {

// ---- The window of rows ------------------------------------------------------

RecordWindow::RecordWindow(TableModel* source, int capacity, QObject* parent)
    : QAbstractTableModel(parent), source_(source), capacity_(std::max(1, capacity)) {
    connect(source_, &QAbstractItemModel::modelAboutToBeReset, this,
            &RecordWindow::beginResetModel);
    connect(source_, &QAbstractItemModel::modelReset, this, [this] {
        first_ = 0;
        endResetModel();
    });
}

int RecordWindow::RowsFrom(int first) const {
    return std::clamp(source_->rowCount() - first, 0, capacity_);
}

void RecordWindow::SetFirstRow(int first) {
    first = std::clamp(first, 0, std::max(0, source_->rowCount() - 1));
    if (first == first_) return;
    const int before = rowCount();
    const int after = RowsFrom(first);
    // Only near the end of the table does the window hold fewer rows.
    if (after < before) {
        beginRemoveRows({}, after, before - 1);
        first_ = first;
        endRemoveRows();
    } else if (after > before) {
        beginInsertRows({}, before, after - 1);
        first_ = first;
        endInsertRows();
    } else {
        first_ = first;
    }
    if (after > 0 && columnCount() > 0)
        emit dataChanged(index(0, 0), index(after - 1, columnCount() - 1));
}

int RecordWindow::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : RowsFrom(first_);
}

int RecordWindow::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : source_->columnCount();
}

QVariant RecordWindow::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    return source_->data(source_->index(first_ + index.row(), index.column()), role);
}

QVariant RecordWindow::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Vertical)
        return source_->headerData(first_ + section, orientation, role);
    return source_->headerData(section, orientation, role);
}

Qt::ItemFlags RecordWindow::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return source_->flags(source_->index(first_ + index.row(), index.column()));
}

// ---- Record selectors --------------------------------------------------------

RecordSelectors::RecordSelectors(QWidget* parent) : QHeaderView(Qt::Vertical, parent) {
    setObjectName(QStringLiteral("RecordSelectors"));
}

void RecordSelectors::SetCurrentRow(int row) {
    if (row == currentRow_) return;
    currentRow_ = row;
    viewport()->update();
}

void RecordSelectors::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    // The style may leave the painter clipped or transformed: keep it clean.
    painter->save();
    QHeaderView::paintSection(painter, rect, logicalIndex);
    painter->restore();
    if (logicalIndex != currentRow_ || !rect.isValid()) return;
    // A right-pointing triangle, centred, about half the selector's width.
    const int h = std::max(3, std::min(rect.width() / 2, rect.height() / 2) | 1);
    const int w = (h + 1) / 2;
    const QPoint c = rect.center();
    const QPoint tip(c.x() + w / 2, c.y());
    const QPolygon marker(
        {QPoint(tip.x() - w, c.y() - h / 2), tip, QPoint(tip.x() - w, c.y() + h / 2)});
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->setPen(Qt::black);
    painter->setBrush(Qt::black);
    painter->drawPolygon(marker);
    painter->restore();
}

// ---- The grid ----------------------------------------------------------------

namespace {

// As many rows as the tallest screen shows at the smallest row height.
int WindowCapacity(int smallestRow) {
    int tallest = 0;
    for (const QScreen* screen : QGuiApplication::screens())
        tallest = std::max(tallest, screen->geometry().height());
    if (tallest == 0) tallest = 1080;
    return tallest / std::max(1, smallestRow) + 2;
}

} // namespace

RecordGrid::RecordGrid(TableModel* data, int rowHeight, QWidget* parent) : QTableView(parent) {
    setObjectName(QStringLiteral("DBGrid1"));
    selectors_ = new RecordSelectors(this);
    setVerticalHeader(selectors_);
    selectors_->setSectionResizeMode(QHeaderView::Interactive);
    selectors_->setMinimumSectionSize(std::max(1, rowHeight / 2));
    selectors_->setDefaultSectionSize(rowHeight);
    rows_ = new RecordWindow(data, WindowCapacity(selectors_->minimumSectionSize()), this);
    setModel(rows_);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    // Sizing one row sizes them all, as in the classic grid.
    connect(selectors_, &QHeaderView::sectionResized, this,
            [this](int, int, int size) { MakeRowsUniform(size); });
    connect(rows_, &QAbstractItemModel::modelReset, this, [this] {
        currentRecord_ = -1;
        selectors_->SetCurrentRow(-1);
        updateGeometries();
    });
}

int RecordGrid::FullyVisibleRows() const {
    return std::max(1, viewport()->height() / std::max(1, selectors_->defaultSectionSize()));
}

void RecordGrid::MakeRowsUniform(int size) {
    if (size <= 0 || size == selectors_->defaultSectionSize()) return;
    const QSignalBlocker quiet(selectors_);
    selectors_->setDefaultSectionSize(size);
    for (int row = 0; row < selectors_->count(); ++row)
        selectors_->resizeSection(row, size);
    updateGeometries();
    viewport()->update();
}

void RecordGrid::updateGeometries() {
    const bool wasAdjusting = adjusting_;
    adjusting_ = true;
    QTableView::updateGeometries();
    // The base view sized the bar for the window; it counts records instead.
    QScrollBar* bar = verticalScrollBar();
    const int visible = FullyVisibleRows();
    bar->setRange(0, std::max(0, rows_->Source()->rowCount() - visible));
    bar->setPageStep(visible);
    bar->setSingleStep(1);
    bar->setValue(rows_->FirstRow());
    // The window always starts at the top of the viewport.
    selectors_->setOffset(0);
    adjusting_ = wasAdjusting;
    if (!adjusting_ && bar->value() != rows_->FirstRow()) MoveWindow(bar->value());
}

void RecordGrid::scrollContentsBy(int dx, int dy) {
    if (dy != 0 && !adjusting_) MoveWindow(verticalScrollBar()->value());
    QTableView::scrollContentsBy(dx, 0);
}

void RecordGrid::MoveWindow(int first) {
    rows_->SetFirstRow(first);
    selectors_->setOffset(0);
    FollowCurrentRecord();
    viewport()->update();
}

void RecordGrid::FollowCurrentRecord() {
    const int row = currentRecord_ - rows_->FirstRow();
    const bool inWindow = currentRecord_ >= 0 && row >= 0 && row < rows_->rowCount();
    following_ = true;
    if (inWindow)
        selectionModel()->setCurrentIndex(rows_->index(row, currentColumn_),
                                          QItemSelectionModel::ClearAndSelect);
    else
        selectionModel()->clear();
    following_ = false;
    selectors_->SetCurrentRow(inWindow ? row : -1);
}

void RecordGrid::EnsureRecordVisible(int record) {
    const int first = rows_->FirstRow();
    const int visible = FullyVisibleRows();
    int wanted = first;
    if (record < first)
        wanted = record;
    else if (record >= first + visible)
        wanted = record - visible + 1;
    if (wanted != first) verticalScrollBar()->setValue(wanted);
}

void RecordGrid::scrollTo(const QModelIndex& index, ScrollHint hint) {
    if (!index.isValid()) return;
    // Only sideways here. Keys bring their record into view themselves
    // (moveCursor); a click lands on a row that is on screen already, and
    // moving the window under the mouse would select another record.
    QScrollBar* bar = verticalScrollBar();
    const int keep = bar->value();
    {
        const QSignalBlocker quiet(bar);
        QTableView::scrollTo(index, hint);
        bar->setValue(keep);
    }
    selectors_->setOffset(0);
}

QModelIndex RecordGrid::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    const QModelIndex current = currentIndex();
    const int total = rows_->Source()->rowCount();
    if (!current.isValid() || currentRecord_ < 0 || total == 0)
        return QTableView::moveCursor(action, modifiers);
    const int page = std::max(1, FullyVisibleRows() - 1);
    int target = currentRecord_;
    switch (action) {
    case MoveUp:
        target -= 1;
        break;
    case MoveDown:
        target += 1;
        break;
    case MovePageUp:
        target -= page;
        break;
    case MovePageDown:
        target += page;
        break;
    case MoveHome:
        if (!(modifiers & Qt::ControlModifier)) return QTableView::moveCursor(action, modifiers);
        target = 0;
        break;
    case MoveEnd:
        if (!(modifiers & Qt::ControlModifier)) return QTableView::moveCursor(action, modifiers);
        target = total - 1;
        break;
    default:
        return QTableView::moveCursor(action, modifiers);
    }
    // Moving past the first or the last record stays on it.
    target = std::clamp(target, 0, total - 1);
    EnsureRecordVisible(target);
    return rows_->index(target - rows_->FirstRow(), current.column());
}

void RecordGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    // Recorded first: the base view scrolls to the new cell, which may move
    // the window, and the window carries the current record along.
    if (!following_) {
        currentRecord_ = current.isValid() ? rows_->FirstRow() + current.row() : -1;
        if (current.isValid()) currentColumn_ = current.column();
        selectors_->SetCurrentRow(current.isValid() ? current.row() : -1);
    }
    QTableView::currentChanged(current, previous);
}

} // namespace ui
