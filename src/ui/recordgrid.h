// The grid control ("DBGrid1"): a read-only table view over the data control
// whose cost does not grow with the table. The view itself only ever holds a
// window of rows, as many as the screen can show; its vertical scroll bar
// counts records and moves the window over the table. The record selectors
// down the left edge mark the current record, as the classic grid did.
#pragma once

#include "ui/gridmodel.h"

#include <QHeaderView>
#include <QTableView>

namespace ui {

// Rows FirstRow() .. FirstRow() + rowCount() - 1 of a TableModel.
class RecordWindow : public QAbstractTableModel {
  public:
    RecordWindow(TableModel* source, int capacity, QObject* parent = nullptr);

    TableModel* Source() const { return source_; }
    int FirstRow() const { return first_; }
    int Capacity() const { return capacity_; }
    // Moves the window so that it starts at `first` (clamped to the table).
    void SetFirstRow(int first);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

  private:
    int RowsFrom(int first) const;

    TableModel* source_;
    int capacity_;
    int first_ = 0;
};

// The record selector column: the header's own look, plus the classic marker
// (a small black triangle) on the current record.
class RecordSelectors : public QHeaderView {
  public:
    explicit RecordSelectors(QWidget* parent);
    // Window row of the current record, or -1 when it is scrolled out of view.
    void SetCurrentRow(int row);
    int CurrentRow() const { return currentRow_; }

  protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;

  private:
    int currentRow_ = -1;
};

class RecordGrid : public QTableView {
  public:
    // `rowHeight` is the rows' starting height; rows may be sized down to half of it.
    RecordGrid(TableModel* data, int rowHeight, QWidget* parent);

    RecordWindow* Rows() const { return rows_; }
    // The current record's row in the whole table, or -1.
    int CurrentRecord() const { return currentRecord_; }
    // Rows that fit in the viewport completely (at least one).
    int FullyVisibleRows() const;
    // Scrolls the least distance that shows `record` completely.
    void EnsureRecordVisible(int record);

  protected:
    void updateGeometries() override;
    void scrollContentsBy(int dx, int dy) override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

  private:
    void MoveWindow(int first);
    void FollowCurrentRecord();
    void MakeRowsUniform(int size);

    RecordWindow* rows_;
    RecordSelectors* selectors_;
    int currentRecord_ = -1;
    int currentColumn_ = 0;
    bool adjusting_ = false; // inside the base view's geometry update
    bool following_ = false; // moving the current index along with the window
};

} // namespace ui
