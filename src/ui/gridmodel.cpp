#include "ui/gridmodel.h"

#include "store/valuetext.h"

#include <algorithm>
#include <climits>

namespace ui {

TableModel::TableModel(QObject* parent) : QAbstractTableModel(parent) {
    setObjectName(QStringLiteral("Data1"));
}

std::unique_ptr<engine::RowReader> OpenScratchRows(const std::string& database,
                                                   const std::string& table) {
    return engine::OpenRowReader(database, table, /*appendOnly=*/true);
}

bool TableModel::Open(const Opener& opener) {
    beginResetModel();
    pages_.clear();
    fields_.clear();
    totalRows_ = 0;
    failure_.clear();
    reader_.reset();
    try {
        reader_ = opener(databaseName_, recordSource_);
        fields_ = reader_->Fields();
        totalRows_ = std::max<std::int64_t>(reader_->RowCount(), 0);
    } catch (const engine::EngineError& e) {
        failure_ = e.Description() + " (" + std::to_string(e.Number()) + ")";
    } catch (const std::exception& e) {
        failure_ = e.what();
    }
    if (!failure_.empty()) {
        reader_.reset();
        fields_.clear();
        totalRows_ = 0;
    }
    endResetModel();
    return failure_.empty();
}

std::vector<std::string> TableModel::FieldNames() const {
    std::vector<std::string> names;
    names.reserve(fields_.size());
    for (const engine::Field& f : fields_)
        names.push_back(f.Name);
    return names;
}

int TableModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) return 0;
    return static_cast<int>(std::min<std::int64_t>(totalRows_, INT_MAX));
}

int TableModel::columnCount(const QModelIndex& parent) const {
    if (parent.isValid()) return 0;
    return static_cast<int>(fields_.size());
}

const TableModel::Page& TableModel::PageFor(std::int64_t row) const {
    const std::int64_t number = row / PageRows;
    for (auto it = pages_.begin(); it != pages_.end(); ++it) {
        if (it->number != number) continue;
        pages_.splice(pages_.begin(), pages_, it);
        return pages_.front();
    }
    Page page{number, {}};
    try {
        const auto rows = reader_->ReadRows(number * PageRows, PageRows);
        page.rows.reserve(rows.size());
        for (const auto& values : rows) {
            QStringList texts;
            texts.reserve(static_cast<qsizetype>(values.size()));
            for (const engine::Value& v : values)
                texts.append(QString::fromStdString(store::ValueText(v, "")));
            page.rows.push_back(std::move(texts));
        }
    } catch (const std::exception&) {
        // A table that fails under the grid shows blank cells; the page is
        // kept so that every repaint does not try again.
        page.rows.clear();
    }
    pages_.push_front(std::move(page));
    if (static_cast<int>(pages_.size()) > CachedPages) pages_.pop_back();
    return pages_.front();
}

namespace {

bool IsNumberType(int type) {
    switch (type) {
    case engine::dbByte:
    case engine::dbInteger:
    case engine::dbLong:
    case engine::dbCurrency:
    case engine::dbSingle:
    case engine::dbDouble:
        return true;
    default:
        return false;
    }
}

} // namespace

QVariant TableModel::data(const QModelIndex& index, int role) const {
    if (!reader_ || !index.isValid()) return {};
    if (index.row() >= rowCount() || index.column() >= columnCount()) return {};
    if (role == Qt::TextAlignmentRole) {
        // Numbers line up on the right, as spreadsheet users expect; dates
        // and texts read from the left.
        const int type = fields_[static_cast<std::size_t>(index.column())].Type;
        return QVariant::fromValue(Qt::Alignment(Qt::AlignVCenter) |
                                   (IsNumberType(type) ? Qt::AlignRight : Qt::AlignLeft));
    }
    if (role != Qt::DisplayRole) return {};
    const Page& page = PageFor(index.row());
    const std::size_t offset = static_cast<std::size_t>(index.row() % PageRows);
    if (offset >= page.rows.size()) return QString();
    const QStringList& texts = page.rows[offset];
    return index.column() < texts.size() ? texts[index.column()] : QString();
}

QVariant TableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    // The vertical header is the grid's record selector column: no numbers.
    if (orientation == Qt::Vertical) return QString();
    if (section < 0 || section >= columnCount()) return {};
    return QString::fromStdString(fields_[static_cast<std::size_t>(section)].Name);
}

Qt::ItemFlags TableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

} // namespace ui
