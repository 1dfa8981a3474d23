// The grid window ("Grid"): a read-only table of the scratch table. Closing it
// in any way ends the run.
#pragma once

#include "ui/gridmodel.h"
#include "ui/recordgrid.h"

#include <QMainWindow>

#include <functional>
#include <string>

class QLabel;

namespace ui {

class GridWindow : public QMainWindow {
  public:
    // The load step: title, size and place from the screen, the data control
    // pointed at `table` of `databasePath`, the progress window unloaded.
    // `onClose` runs once when the window closes (the program passes the end
    // of the run); with `closeByItself` the window closes once it has been
    // shown and painted.
    GridWindow(const std::string& databasePath, const std::string& table,
               std::function<void()> onClose, bool closeByItself);

    // Opens the table: the data control's step after the load step.
    void OpenTable(const TableModel::Opener& opener = OpenScratchRows);

    TableModel* Data() const { return data_; }
    RecordGrid* Grid() const { return grid_; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void PlaceOnScreen();
    void LayoutGrid(); // the resize step
    void FitColumns();
    void OnShownAndPainted();

    TableModel* data_ = nullptr;
    RecordGrid* grid_ = nullptr;
    QWidget* client_ = nullptr;
    QLabel* failureLabel_ = nullptr;
    QSize placedFrame_;
    std::function<void()> onClose_;
    bool closeByItself_;
    bool closed_ = false;
};

} // namespace ui
