// The grid window's data control ("Data1"): one table of a database, read
// through the engine in pages as the grid asks for rows, so that memory stays
// flat however many rows the table holds.
#pragma once

#include "engine/engine.h"

#include <QAbstractTableModel>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace ui {

// The grid shows the scratch table of this run, which was only ever appended
// to, so its rows are counted from the last row id.
std::unique_ptr<engine::RowReader> OpenScratchRows(const std::string& database,
                                                   const std::string& table);

class TableModel : public QAbstractTableModel {
  public:
    static constexpr int PageRows = 256;
    static constexpr int CachedPages = 8;

    using Opener = std::function<std::unique_ptr<engine::RowReader>(const std::string& database,
                                                                    const std::string& table)>;

    explicit TableModel(QObject* parent = nullptr);

    // The data control's database name and record source.
    void SetDatabaseName(const std::string& path) { databaseName_ = path; }
    void SetRecordSource(const std::string& table) { recordSource_ = table; }

    // Opens the record source; on failure the model stays empty and
    // FailureText() says why. True when open.
    bool Open(const Opener& opener = OpenScratchRows);
    const std::string& FailureText() const { return failure_; }

    std::vector<std::string> FieldNames() const;
    // The table's full row count (rowCount() stops at the largest int).
    std::int64_t TotalRows() const { return totalRows_; }
    int CachedPageCount() const { return static_cast<int>(pages_.size()); }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

  private:
    struct Page {
        std::int64_t number;
        std::vector<QStringList> rows; // display texts, one list per row
    };
    const Page& PageFor(std::int64_t row) const;

    std::string databaseName_;
    std::string recordSource_;
    std::string failure_;
    std::unique_ptr<engine::RowReader> reader_;
    std::vector<engine::Field> fields_;
    std::int64_t totalRows_ = 0;
    // Most recently used first.
    mutable std::list<Page> pages_;
};

} // namespace ui
