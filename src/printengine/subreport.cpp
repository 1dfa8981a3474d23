#include "printengine/subreport.h"

#include "engine/convert.h"
#include "engine/driver.h"
#include "printengine/evaluation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>

namespace printengine {

namespace {

constexpr qint64 MaxSubreportFileSize = 16 << 20;

class Filtered final : public RowSource {
  public:
    Filtered(std::unique_ptr<RowSource> rows, const Report& report,
             const std::vector<Value>& parameters)
        : rows_(std::move(rows)), report_(report), parameters_(parameters) {}

    bool Next(std::vector<Value>& row) override {
        while (rows_->Next(row)) {
            const auto lookup = [&](RefKind kind, int slot) -> const Value& {
                static const Value null;
                const auto& list = kind == RefKind::Field ? row : parameters_;
                if (kind == RefKind::Variable || slot < 0 || size_t(slot) >= list.size())
                    return null;
                return list[size_t(slot)];
            };
            Value keep;
            try {
                keep = report_.filter.Evaluate(lookup);
            } catch (const ExpressionError& x) {
                throw FillError("Error evaluating the expression \"" + report_.filter.Text() +
                                "\": " + x.what() + ".");
            }
            if (const auto* b = std::get_if<bool>(&keep); b != nullptr && *b) return true;
        }
        return false;
    }

  private:
    std::unique_ptr<RowSource> rows_;
    const Report& report_;
    std::vector<Value> parameters_;
};

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

// `name` in `folder`, or the one entry that matches it without regard to case.
QString FindEntry(const QDir& folder, const QString& name) {
    if (folder.exists(name)) return folder.filePath(name);
    QString found;
    for (const QString& entry : folder.entryList(QDir::Files))
        if (entry.compare(name, Qt::CaseInsensitive) == 0) {
            if (!found.isEmpty()) return folder.filePath(name); // two: as missing
            found = entry;
        }
    return folder.filePath(found.isEmpty() ? name : found);
}

std::shared_ptr<const Report> LoadSubreport(SubreportRun& run, const QString& path,
                                            const std::string& name) {
    const std::string key = path.toStdString();
    if (auto it = run.reports.find(key); it != run.reports.end()) return it->second;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxSubreportFileSize)
        throw FillError("The subreport " + name + " could not be read.");
    auto report = ParseJrxml(file.read(MaxSubreportFileSize), QFileInfo(path).absolutePath());
    if (!report) throw FillError("The subreport " + name + " is not a report definition.");
    PrepareReport(*report);
    if (!report->refusals.empty())
        throw FillError("The subreport " + name + ": " + RefusalText(report->refusals));
    auto shared = std::make_shared<const Report>(std::move(*report));
    run.reports[key] = shared;
    return shared;
}

} // namespace

QString SubreportPath(const QString& folder, const std::string& name) {
    QString path = QString::fromStdString(name).trimmed();
    if (path.startsWith("file:")) path = path.mid(5);
    if (path.endsWith(".jasper", Qt::CaseInsensitive)) path = path.chopped(7) + ".jrxml";
    if (QDir::isRelativePath(path)) path = QDir(folder).filePath(path);
    const QFileInfo info(path);
    return FindEntry(info.dir(), info.fileName());
}

std::unique_ptr<RowSource> FilteredRows(std::unique_ptr<RowSource> rows, const Report& report,
                                        const std::vector<Value>& parameters) {
    if (report.filter.Empty()) return rows;
    return std::make_unique<Filtered>(std::move(rows), report, parameters);
}

std::unique_ptr<RowSource> OpenTableOf(const std::string& location, const std::string& ownTable,
                                       const std::string& table,
                                       const std::vector<FieldDef>& fields) {
    if (table.empty() || Upper(table) == Upper(ownTable))
        return OpenRowSource(location, ownTable, fields);
    const QFileInfo info(QString::fromStdString(location));
    const QString ext = info.suffix().toUpper();
    const engine::Driver* driver = engine::DriverForFileName(location);
    const bool fileOfItsOwn =
        ext == "TXT" || ext == "CSV" || ext == "ASC" || ext == "TAB" ||
        (driver != nullptr && driver->DatabaseKind() == engine::Driver::Kind::Folder);
    if (!fileOfItsOwn) return OpenRowSource(location, table, fields);
    // Each table is a file of its own in the destination's folder.
    if (table.find('/') != std::string::npos || table.find('\\') != std::string::npos)
        throw SourceError("The table name " + table + " is not a name in the destination.");
    const QString sibling =
        FindEntry(info.dir(), QString::fromStdString(table) + "." + info.suffix());
    return OpenRowSource(sibling.toStdString(), std::string(), fields);
}

namespace {

// The file a subreport element names, loaded (once per run) and checked
// against the subreports being filled.
std::shared_ptr<const Report> SubreportFile(const Report& master, const SubreportDef& def,
                                            const std::function<Value(const Expression&)>& evaluate,
                                            SubreportRun& run, std::string& key) {
    const Value named = evaluate(def.reportExpression);
    const auto* name = std::get_if<std::string>(&named);
    if (name == nullptr || name->empty())
        throw FillError("The subreport expression \"" + def.reportExpression.Text() +
                        "\" gives no file name.");
    if (name->find("://") != std::string::npos)
        throw FillError("The subreport " + *name +
                        " would be read from the network, which the report engine does not do.");
    if (master.folder.isEmpty() && QDir::isRelativePath(QString::fromStdString(*name)))
        throw FillError("The subreport " + *name + " could not be read (no report folder).");
    const QString path = SubreportPath(master.folder, *name);
    const QString canonical = QFileInfo(path).canonicalFilePath();
    key = (canonical.isEmpty() ? path : canonical).toStdString();
    if (std::find(run.chain.begin(), run.chain.end(), key) != run.chain.end())
        throw FillError("The subreport " + *name +
                        " includes itself, directly or through other subreports.");
    if (run.chain.size() >= MaxSubreportDepth)
        throw FillError("The subreport " + *name + " is nested more than " +
                        std::to_string(MaxSubreportDepth) + " subreports deep.");
    return LoadSubreport(run, QString::fromStdString(key), *name);
}

// A horizontal list: the cells, one under the other as filled, set side by
// side, `across` to a row.
void SideBySide(InlineContent& content, int across, double cellWidth, double cellHeight) {
    if (across <= 1 || cellHeight <= 0) return;
    double bottom = 0;
    for (auto& item : content.items) {
        const int cell = int(std::floor(item.rect.top() / cellHeight + 1e-9));
        const double top = item.rect.top() - cell * cellHeight;
        item.rect.moveTo(item.rect.left() + (cell % across) * cellWidth,
                         (cell / across) * cellHeight + top);
        bottom = std::max(bottom, (cell / across + 1) * cellHeight);
    }
    content.height = std::min(content.height, bottom);
}

} // namespace

InlineContent FillSubreport(const Report& master, const FillState& masterState, const Element& e,
                            const std::function<Value(const Expression&)>& evaluate,
                            SubreportRun& run) {
    const SubreportDef& def = *e.subreport;
    std::string key;
    std::shared_ptr<const Report> sub = def.inlineReport;
    if (!sub) sub = SubreportFile(master, def, evaluate, run, key);
    const DatasetRunDef none;
    const DatasetRunDef& given = def.run ? *def.run : none;
    const auto parameters =
        DatasetParameters(*sub, master, masterState, def.passParameters || given.passParameters,
                          def.run ? given.parameters : def.parameters, evaluate);
    auto rows =
        DatasetRows(*sub, parameters, def.run ? given.emptyRows : def.emptyRows, run.tables);

    if (!key.empty()) run.chain.push_back(key);
    InlineFill filled;
    try {
        filled = FillInline(*sub, parameters, *rows, run);
    } catch (...) {
        if (!key.empty()) run.chain.pop_back();
        throw;
    }
    if (!key.empty()) run.chain.pop_back();

    InlineContent out;
    out.height = filled.height;
    out.items = std::move(filled.items);
    // The items point into the subreport, which must live as long as the pages.
    for (auto& item : out.items)
        if (!item.styled) item.styled = std::shared_ptr<const Element>(sub, item.element);
    if (def.inlineReport && !sub->details.empty())
        SideBySide(out, def.across, sub->pageWidth, sub->details.front().height);
    for (const auto& r : def.returns) {
        const int slot = VariableSlotOf(*sub, r.from);
        if (slot < 0)
            throw FillError("The subreport " + sub->name + " has no variable " + r.from +
                            " to return.");
        out.returned.push_back({r.toSlot, r.calculation, filled.final.variables[size_t(slot)]});
    }
    return out;
}

void PrepareSubreport(Report& master, SubreportDef& def,
                      const std::function<void(Expression&)>& bind) {
    if (def.inlineReport) {
        PrepareReport(*def.inlineReport);
        master.refusals.insert(master.refusals.end(), def.inlineReport->refusals.begin(),
                               def.inlineReport->refusals.end());
        def.inlineReport->refusals.clear();
    }
    if (def.run) PrepareDatasetRun(master, *def.run, bind);
    bind(def.reportExpression);
    for (auto& p : def.parameters)
        bind(p.expression);
    for (auto& r : def.returns) {
        r.toSlot = VariableSlotOf(master, r.to);
        bool own = false;
        for (const auto& v : master.variables)
            own = own || v.name == r.to;
        if (r.toSlot < 0 || !own)
            master.refusals.push_back("The report uses the unknown variable \"" + r.to +
                                      "\" in a subreport's returnValue, which the report engine "
                                      "does not support.");
    }
}

Value CombineReturned(const Value& current, const Value& value, Calculation calculation) {
    switch (calculation) {
    case Calculation::Count: {
        bool ok = false;
        const double now = NumberOf(current, ok);
        const std::int64_t base = ok ? std::int64_t(now) : 0;
        return base + (engine::IsNull(value) ? 0 : 1);
    }
    case Calculation::Sum: {
        if (engine::IsNull(value)) return current;
        if (engine::IsNull(current)) return value;
        const auto* a = std::get_if<std::int64_t>(&current);
        const auto* b = std::get_if<std::int64_t>(&value);
        std::int64_t sum = 0;
        if (a && b && !__builtin_add_overflow(*a, *b, &sum)) return sum;
        const auto* ca = std::get_if<engine::Currency>(&current);
        const auto* cb = std::get_if<engine::Currency>(&value);
        if (ca && cb && !__builtin_add_overflow(ca->units, cb->units, &sum))
            return engine::Currency{sum};
        bool okA = false, okB = false;
        const double x = NumberOf(current, okA), y = NumberOf(value, okB);
        if (!okA || !okB) throw FillError("A subreport returned a value that is not a number.");
        return x + y;
    }
    case Calculation::Lowest:
    case Calculation::Highest: {
        if (engine::IsNull(value)) return current;
        if (engine::IsNull(current)) return value;
        bool okA = false, okB = false;
        const double x = NumberOf(current, okA), y = NumberOf(value, okB);
        if (!okA || !okB) return value;
        const bool lower = y < x;
        return (calculation == Calculation::Lowest) == lower ? value : current;
    }
    default:
        return value;
    }
}

double BestCut(const std::vector<PageItem>& items, double limit) {
    if (limit <= 0) return 0;
    std::vector<double> places{limit};
    for (const auto& item : items) {
        if (item.element != nullptr && item.element->kind == ElementKind::Subreport) continue;
        for (double y : {item.rect.top(), item.rect.bottom()})
            if (y > 1e-6 && y <= limit + 1e-6) places.push_back(std::min(y, limit));
    }
    std::sort(places.begin(), places.end(), std::greater<>());
    for (double y : places) {
        bool clear = true;
        for (const auto& item : items) {
            if (item.element != nullptr && item.element->kind == ElementKind::Subreport) continue;
            if (item.rect.top() < y - 1e-6 && item.rect.bottom() > y + 1e-6) {
                clear = false;
                break;
            }
        }
        if (clear) return y;
    }
    return 0;
}

} // namespace printengine
