#include "printengine/crosstab.h"

#include "engine/convert.h"
#include "printengine/dataset.h"
#include "printengine/evaluation.h"
#include "printengine/format.h"

#include <QString>

#include <algorithm>
#include <cmath>
#include <set>
#include <unordered_map>

namespace printengine {

namespace {

// More cells than a printed crosstab could show in a thousand pages: a
// transfer file with a distinct value in every row must not exhaust memory.
constexpr size_t MaxCells = 500000;

// Bucket order: null first, then numbers, texts, dates as Java compares them.
int Compare(const Value& a, const Value& b, bool ignoreCase) {
    const bool na = engine::IsNull(a), nb = engine::IsNull(b);
    if (na || nb) return na == nb ? 0 : na ? -1 : 1;
    bool oka = false, okb = false;
    const double x = NumberOf(a, oka), y = NumberOf(b, okb);
    if (oka && okb) return x < y ? -1 : x > y ? 1 : 0;
    if (a.index() != b.index()) return a.index() < b.index() ? -1 : 1;
    if (const auto* s = std::get_if<std::string>(&a)) {
        // UTF-8 bytes sort as code points: Java's order but for characters
        // beyond U+FFFF, at a fraction of the cost.
        if (!ignoreCase) {
            const int c = s->compare(std::get<std::string>(b));
            return c < 0 ? -1 : c > 0 ? 1 : 0;
        }
        const int c = QString::fromStdString(*s).compare(
            QString::fromStdString(std::get<std::string>(b)), Qt::CaseInsensitive);
        return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    if (const auto* d = std::get_if<engine::DateTime>(&a)) {
        const auto& e = std::get<engine::DateTime>(b);
        const auto kx = std::tie(d->year, d->month, d->day, d->hour, d->minute, d->second);
        const auto ky = std::tie(e.year, e.month, e.day, e.hour, e.minute, e.second);
        return kx < ky ? -1 : kx > ky ? 1 : 0;
    }
    if (const auto* t = std::get_if<bool>(&a)) return int(*t) - int(std::get<bool>(b));
    if (const auto* blob = std::get_if<engine::Blob>(&a)) {
        const auto& other = std::get<engine::Blob>(b);
        return *blob < other ? -1 : other < *blob ? 1 : 0;
    }
    return 0;
}

struct Less {
    bool ignoreCase = false;
    bool operator()(const Value& a, const Value& b) const { return Compare(a, b, ignoreCase) < 0; }
};

// One measure's running value in one cell.
struct MeasureAccumulator {
    Value value;
    double sum = 0;
    std::int64_t intSum = 0, count = 0, moneySum = 0;
    bool allInts = true, money = false, moneyExact = true;
    std::unique_ptr<std::set<Value, Less>> distinct;

    void Add(const Value& v, const CrosstabMeasure& m) {
        using C = CrosstabMeasure::Calc;
        if (m.calculation == C::Nothing) {
            value = v;
            return;
        }
        if (engine::IsNull(v)) return;
        ++count;
        switch (m.calculation) {
        case C::Nothing:
        case C::Count:
            break;
        case C::DistinctCount:
            if (!distinct) distinct = std::make_unique<std::set<Value, Less>>();
            distinct->insert(v);
            break;
        case C::Sum:
        case C::Average: {
            bool ok = false;
            const double d = NumberOf(v, ok);
            if (!ok)
                throw FillError("The crosstab measure " + m.name +
                                " sums a value that is not a number.");
            sum += d;
            std::int64_t units = 0;
            if (const auto* i = std::get_if<std::int64_t>(&v)) {
                if (__builtin_add_overflow(intSum, *i, &intSum)) allInts = false;
                moneyExact = moneyExact && !__builtin_mul_overflow(*i, 10000, &units);
            } else {
                allInts = false;
                if (const auto* c = std::get_if<engine::Currency>(&v)) {
                    money = true;
                    units = c->units;
                } else {
                    moneyExact = false;
                }
            }
            moneyExact = moneyExact && !__builtin_add_overflow(moneySum, units, &moneySum);
            break;
        }
        case C::Lowest:
        case C::Highest: {
            const int c = Compare(v, value, false);
            if (count == 1 || (m.calculation == C::Lowest ? c < 0 : c > 0)) value = v;
            break;
        }
        }
    }

    Value Result(const CrosstabMeasure& m) const {
        using C = CrosstabMeasure::Calc;
        switch (m.calculation) {
        case C::Count:
            return AsClass(double(count), true, count, m.valueClass);
        case C::DistinctCount: {
            const std::int64_t n = distinct ? std::int64_t(distinct->size()) : 0;
            return AsClass(double(n), true, n, m.valueClass);
        }
        case C::Sum:
            if (count == 0) return Value();
            if (money && moneyExact &&
                (m.valueClass == ValueClass::BigDecimal || m.valueClass == ValueClass::Object))
                return engine::Currency{moneySum};
            return AsClass(sum, allInts, intSum, m.valueClass);
        case C::Average: {
            if (count == 0) return Value();
            const bool ints = allInts && m.valueClass != ValueClass::Object &&
                              m.valueClass != ValueClass::Double &&
                              m.valueClass != ValueClass::BigDecimal;
            return AsClass(sum / double(count), ints, allInts ? intSum / count : 0, m.valueClass);
        }
        default:
            return value;
        }
    }
};

// The distinct bucket values of one axis as a tree: the root is the grand
// total, a node at depth k the total of its first k groups' values.
struct Node {
    Value value;
    int parent = -1, depth = 0;
    std::uint64_t seq = 0; // arrival order
    std::map<Value, int, Less> children;
};

class Axis {
  public:
    explicit Axis(const std::vector<CrosstabGroup>& groups) : groups_(groups) { Clear(); }

    void Clear() {
        nodes_.clear();
        nodes_.emplace_back();
    }

    // The node of every prefix of `values`, the root first.
    void Path(const std::vector<Value>& values, std::vector<int>& path) {
        path.assign(1, 0);
        for (size_t k = 0; k < values.size(); ++k) {
            Node& at = nodes_[size_t(path.back())];
            if (at.children.empty())
                at.children = std::map<Value, int, Less>(Less{groups_[k].caseInsensitive});
            auto it = at.children.find(values[k]);
            if (it == at.children.end()) {
                Node child;
                child.value = values[k];
                child.parent = path.back();
                child.depth = int(k) + 1;
                child.seq = nodes_.size();
                const int id = int(nodes_.size());
                at.children.emplace(values[k], id);
                nodes_.push_back(std::move(child)); // `at` is not used after this
                path.push_back(id);
                continue;
            }
            path.push_back(it->second);
        }
    }

    int Ancestor(int node, int depth) const {
        while (nodes_[size_t(node)].depth > depth)
            node = nodes_[size_t(node)].parent;
        return node;
    }
    const Node& At(int node) const { return nodes_[size_t(node)]; }
    size_t Size() const { return nodes_.size(); }

  private:
    const std::vector<CrosstabGroup>& groups_;
    std::vector<Node> nodes_;
};

std::string LineOf(const Expression& e) {
    return e.Line() > 0 ? " (line " + std::to_string(e.Line()) + ")" : std::string();
}

} // namespace

// ---- aggregation ---------------------------------------------------------------

class CrosstabData {
  public:
    CrosstabData(const CrosstabDef& def, ResetType reset, int group)
        : def_(def), reset_(reset), group_(group), rows_(def.rows), columns_(def.columns) {}

    const CrosstabDef& Def() const { return def_; }
    bool ResetsOn(ResetType type, int group) const {
        return reset_ == type && (type != ResetType::Group || group_ == group);
    }

    void Clear() {
        rows_.Clear();
        columns_.Clear();
        cells_.clear();
        accumulators_.clear();
        added_ = 0;
    }

    void Add(const Evaluator& evaluate) {
        if (!def_.incrementWhen.Empty()) {
            const Value v = evaluate(def_.incrementWhen);
            const auto* b = std::get_if<bool>(&v);
            if (b == nullptr || !*b) return;
        }
        values_.clear();
        for (const auto& g : def_.rows)
            values_.push_back(evaluate(g.bucket));
        rows_.Path(values_, rowPath_);
        values_.clear();
        for (const auto& g : def_.columns)
            values_.push_back(evaluate(g.bucket));
        columns_.Path(values_, columnPath_);
        values_.clear();
        for (const auto& m : def_.measures)
            values_.push_back(evaluate(m.expression));
        const size_t measures = def_.measures.size();
        for (int r : rowPath_)
            for (int c : columnPath_) {
                const std::uint64_t key = std::uint64_t(unsigned(r)) << 32 | unsigned(c);
                auto it = cells_.find(key);
                if (it == cells_.end()) {
                    if (cells_.size() + rows_.Size() + columns_.Size() >= MaxCells)
                        throw FillError("The crosstab (line " + std::to_string(def_.line) +
                                        ") would have more than " + std::to_string(MaxCells) +
                                        " cells, which the report engine does not lay out.");
                    it = cells_.emplace(key, accumulators_.size()).first;
                    accumulators_.resize(accumulators_.size() + measures);
                }
                for (size_t m = 0; m < measures; ++m)
                    accumulators_[it->second + m].Add(values_[m], def_.measures[m]);
            }
        ++added_;
    }

    Value Result(int row, int column, size_t measure) const {
        const std::uint64_t key = std::uint64_t(unsigned(row)) << 32 | unsigned(column);
        const auto it = cells_.find(key);
        // A cell without rows counts none and has no other value.
        if (it == cells_.end()) return MeasureAccumulator().Result(def_.measures[measure]);
        return accumulators_[it->second + measure].Result(def_.measures[measure]);
    }

    const Axis& Rows() const { return rows_; }
    const Axis& Columns() const { return columns_; }
    bool Empty() const { return added_ == 0; }

  private:
    const CrosstabDef& def_;
    ResetType reset_;
    int group_;
    Axis rows_, columns_;
    std::unordered_map<std::uint64_t, size_t> cells_;
    std::vector<MeasureAccumulator> accumulators_;
    std::vector<Value> values_;
    std::vector<int> rowPath_, columnPath_;
    std::uint64_t added_ = 0;
};

// ---- the definition --------------------------------------------------------------

void CompleteCrosstab(CrosstabDef& d, std::vector<std::string>& refusals) {
    const size_t R = d.rows.size(), C = d.columns.size();
    if (R == 0 || C == 0 || d.measures.empty()) return; // refused already
    if (!d.cells[R][C].present) {
        refusals.push_back("The report uses a crosstab without its data cell (line " +
                           std::to_string(d.line) + "), which the report engine does not support.");
        d.cells[R][C].present = true;
    }
    const auto used = [&](size_t i, size_t j) {
        return (i == R || d.rows[i].total != TotalPosition::None) &&
               (j == C || d.columns[j].total != TotalPosition::None);
    };
    const CellContents& base = d.cells[R][C];
    const double baseWidth = base.width >= 0 ? base.width : 0;
    const double baseHeight = base.height >= 0 ? base.height : 0;
    // A column's width comes from its cell without row total, else any of its cells.
    for (size_t j = 0; j <= C; ++j) {
        double w = -1;
        for (size_t i = R + 1; i-- > 0 && w < 0;)
            if (d.cells[i][j].present) w = d.cells[i][j].width;
        for (size_t i = 0; i <= R; ++i)
            d.cells[i][j].width = w >= 0 ? w : baseWidth;
    }
    for (size_t i = 0; i <= R; ++i) {
        double h = -1;
        for (size_t j = C + 1; j-- > 0 && h < 0;)
            if (d.cells[i][j].present) h = d.cells[i][j].height;
        for (size_t j = 0; j <= C; ++j)
            d.cells[i][j].height = h >= 0 ? h : baseHeight;
    }
    // A total cell the file leaves out is an empty cell of its row's and
    // column's size, as the designer's files print elsewhere.
    for (size_t i = 0; i <= R; ++i)
        for (size_t j = 0; j <= C; ++j)
            if (used(i, j)) d.cells[i][j].present = true;
}

namespace {

// Crosstab-scope slots: measure values (each measure with every combination
// of row and column total levels), then the groups' bucket values.
struct Slots {
    size_t R, C, M;
    explicit Slots(const CrosstabDef& d)
        : R(d.rows.size()), C(d.columns.size()), M(d.measures.size()) {}
    int Measure(size_t m, size_t rowLevel, size_t columnLevel) const {
        return int(m * (R + 1) * (C + 1) + rowLevel * (C + 1) + columnLevel);
    }
    int Group(size_t g) const { return int(M * (R + 1) * (C + 1) + g); } // rows, then columns
    size_t Count() const { return M * (R + 1) * (C + 1) + R + C; }
};

int CrosstabSlot(const CrosstabDef& d, RefKind kind, const std::string& name) {
    const Slots s(d);
    if (kind == RefKind::Parameter) {
        for (size_t i = 0; i < d.parameters.size(); ++i)
            if (d.parameters[i].name == name) return int(i);
        return -1;
    }
    if (kind != RefKind::Variable) return -1;
    for (size_t r = 0; r < s.R; ++r)
        if (d.rows[r].name == name) return s.Group(r);
    for (size_t c = 0; c < s.C; ++c)
        if (d.columns[c].name == name) return s.Group(s.R + c);
    for (size_t m = 0; m < s.M; ++m) {
        const std::string& n = d.measures[m].name;
        if (name == n) return s.Measure(m, s.R, s.C);
        if (name.size() <= n.size() + 5 || name.compare(0, n.size() + 1, n + "_") != 0 ||
            name.compare(name.size() - 4, 4, "_ALL") != 0)
            continue;
        const std::string middle = name.substr(n.size() + 1, name.size() - n.size() - 5);
        for (size_t r = 0; r <= s.R; ++r)
            for (size_t c = 0; c <= s.C; ++c) {
                if (r == s.R && c == s.C) continue;
                std::string want = r < s.R ? d.rows[r].name : std::string();
                if (c < s.C) want += (want.empty() ? "" : "_") + d.columns[c].name;
                if (middle == want) return s.Measure(m, r, c);
            }
    }
    return -1;
}

void BindCell(Report& report, const CrosstabDef& d, Expression& e) {
    if (e.Empty()) return;
    e.ForEachReference([&](RefKind kind, const std::string& name) {
        if (CrosstabSlot(d, kind, name) >= 0) return;
        const char* what = kind == RefKind::Field       ? "the field $F{"
                           : kind == RefKind::Parameter ? "the unknown crosstab parameter $P{"
                                                        : "the unknown crosstab variable $V{";
        report.refusals.push_back("The report uses " + std::string(what) + name +
                                  "} inside a crosstab in \"" + e.Text() + "\"" + LineOf(e) +
                                  ", which the report engine does not support.");
    });
    e.Bind([&](RefKind kind, const std::string& name) { return CrosstabSlot(d, kind, name); });
}

void BindContents(Report& report, const CrosstabDef& d, CellContents& cell) {
    for (auto& c : cell.frame.conditionals)
        BindCell(report, d, c.condition);
    for (auto& e : cell.elements) {
        BindCell(report, d, e.expression);
        BindCell(report, d, e.printWhen);
        for (auto& c : e.conditionals)
            BindCell(report, d, c.condition);
        if (!e.printRepeated || !e.printWhenGroupChanges.empty())
            report.refusals.push_back(
                "The report uses isPrintRepeatedValues or printWhenGroupChanges inside a "
                "crosstab (line " +
                std::to_string(d.line) + "), which the report engine does not support.");
    }
}

} // namespace

void PrepareCrosstab(Report& report, CrosstabDef& d,
                     const std::function<void(Expression&)>& bindReport) {
    // The rows' values come from the dataset the crosstab runs, if any.
    std::function<void(Expression&)> bindRows = bindReport;
    if (d.run) {
        PrepareDatasetRun(report, *d.run, bindReport);
        Report* dataset = d.run->dataset.get();
        bindRows = [dataset](Expression& e) {
            if (dataset != nullptr) BindToDataset(*dataset, e);
        };
    }
    for (auto& g : d.rows)
        bindRows(g.bucket);
    for (auto& g : d.columns)
        bindRows(g.bucket);
    for (auto& m : d.measures)
        bindRows(m.expression);
    bindRows(d.incrementWhen);
    for (auto& p : d.parameters) {
        // Without an expression a crosstab parameter passes the report's own.
        if (p.value.Empty())
            for (const auto& rp : report.parameters)
                if (rp.name == p.name) p.value = Expression::Parse("$P{" + p.name + "}");
        bindReport(p.value);
    }
    if (d.reset == ResetType::Group) {
        for (size_t g = 0; g < report.groups.size(); ++g)
            if (report.groups[g].name == d.resetGroupName) d.resetGroup = int(g);
        if (d.resetGroup < 0)
            report.refusals.push_back("The report uses the unknown group \"" + d.resetGroupName +
                                      "\" as a crosstab's resetGroup (line " +
                                      std::to_string(d.line) +
                                      "), which the report engine does not support.");
    }
    for (auto& g : d.rows) {
        BindCell(report, d, g.orderBy);
        BindContents(report, d, g.header);
        BindContents(report, d, g.totalHeader);
    }
    for (auto& g : d.columns) {
        BindCell(report, d, g.orderBy);
        BindContents(report, d, g.header);
        BindContents(report, d, g.totalHeader);
    }
    for (auto& row : d.cells)
        for (auto& cell : row)
            BindContents(report, d, cell);
    BindContents(report, d, d.headerCell);
    BindContents(report, d, d.noDataCell);
}

// ---- layout ----------------------------------------------------------------------

namespace {

struct Line {
    int node = 0;
    size_t level = 0; // the total level; the group count for a data line
    double size = 0, pos = 0;
};

} // namespace

class CrosstabGrid {
  public:
    CrosstabGrid(const CrosstabData& data, std::vector<Value> parameters, double availableWidth)
        : data_(data), d_(data.Def()), slots_(d_), parameters_(std::move(parameters)) {
        vars_.resize(slots_.Count());
        const size_t R = d_.rows.size(), C = d_.columns.size();
        for (size_t k = 0; k < R; ++k)
            rowHeaderWidth_ += d_.rows[k].size;
        for (size_t j = 0; j < C; ++j)
            columnHeaderHeight_ += d_.columns[j].size;
        if (data.Empty()) return;
        Lines(true, 0, rows_);
        Lines(false, 0, columns_);
        for (auto* lines : {&rows_, &columns_}) {
            double pos = 0;
            for (auto& l : *lines) {
                l.pos = pos;
                pos += l.size;
            }
        }
        for (size_t start = 0; start < columns_.size();) {
            double width = Headers(chunks_.size()) ? rowHeaderWidth_ : 0;
            size_t end = start;
            while (end < columns_.size() &&
                   (end == start || width + columns_[end].size <= availableWidth + 1e-6))
                width += columns_[end++].size;
            chunks_.emplace_back(start, end);
            start = end;
        }
    }

    bool NoData() const { return rows_.empty(); }
    size_t Chunks() const { return NoData() ? 1 : chunks_.size(); }
    size_t RowCount() const { return rows_.size(); }
    double RowHeight(size_t r) const { return rows_[r].size; }
    double HeaderHeight() const { return columnHeaderHeight_; }
    bool RepeatColumnHeaders() const { return d_.repeatColumnHeaders; }
    double BreakOffset() const { return d_.columnBreakOffset; }
    // Whether the chunk shows the row headers.
    bool Headers(size_t chunk) const { return chunk == 0 || d_.repeatRowHeaders; }

    // The whenNoDataCell, or nothing.
    double NoDataCell(std::vector<PageItem>& out) {
        const CellContents& c = d_.noDataCell;
        if (!c.present) return 0;
        double w = 0, h = 0;
        for (const auto& e : c.elements) {
            w = std::max(w, e.x + e.width);
            h = std::max(h, e.y + e.height);
        }
        Context(0, 0);
        Emit(c, QRectF(0, 0, w, h), w, h, false, HeaderPosition::Start, out);
        return h;
    }

    void ColumnHeaders(size_t chunk, double y, std::vector<PageItem>& out) {
        const auto [first, end] = chunks_[chunk];
        const double x0 = (Headers(chunk) ? rowHeaderWidth_ : 0) - columns_[first].pos;
        if (Headers(chunk) && d_.headerCell.present) {
            Context(0, 0);
            Emit(d_.headerCell, QRectF(0, y, rowHeaderWidth_, columnHeaderHeight_), rowHeaderWidth_,
                 columnHeaderHeight_, false, HeaderPosition::Start, out);
        }
        double top = y;
        for (size_t j = 0; j < d_.columns.size(); ++j) {
            const CrosstabGroup& g = d_.columns[j];
            double below = 0;
            for (size_t l = j; l < d_.columns.size(); ++l)
                below += d_.columns[l].size;
            for (size_t c = first; c < end;) {
                const Line& line = columns_[c];
                if (line.level < j) {
                    ++c;
                    continue;
                }
                if (line.level == j) {
                    Context(0, line.node);
                    Emit(g.totalHeader, QRectF(x0 + line.pos, top, line.size, below), line.size,
                         below, true, HeaderPosition::Start, out);
                    ++c;
                    continue;
                }
                const int node = data_.Columns().Ancestor(line.node, int(j) + 1);
                size_t stop = c;
                while (stop < end && columns_[stop].level > j &&
                       data_.Columns().Ancestor(columns_[stop].node, int(j) + 1) == node)
                    ++stop;
                const double width = columns_[stop - 1].pos + columns_[stop - 1].size - line.pos;
                Context(0, node);
                Emit(g.header, QRectF(x0 + line.pos, top, width, g.size), DesignedWidth(j), g.size,
                     true, g.position, out);
                c = stop;
            }
            top += g.size;
        }
    }

    // Rows [first, end) of `chunk` from `y` on, with their headers when the chunk has them.
    void Rows(size_t chunk, size_t first, size_t end, double y, std::vector<PageItem>& out) {
        const auto [cfirst, cend] = chunks_[chunk];
        const double x0 = (Headers(chunk) ? rowHeaderWidth_ : 0) - columns_[cfirst].pos;
        const double y0 = y - rows_[first].pos;
        if (Headers(chunk)) {
            double left = 0;
            for (size_t k = 0; k < d_.rows.size(); ++k) {
                const CrosstabGroup& g = d_.rows[k];
                double right = 0;
                for (size_t l = k; l < d_.rows.size(); ++l)
                    right += d_.rows[l].size;
                for (size_t r = first; r < end;) {
                    const Line& line = rows_[r];
                    if (line.level < k) {
                        ++r;
                        continue;
                    }
                    if (line.level == k) {
                        Context(line.node, 0);
                        Emit(g.totalHeader, QRectF(left, y0 + line.pos, right, line.size), right,
                             line.size, false, HeaderPosition::Start, out);
                        ++r;
                        continue;
                    }
                    const int node = data_.Rows().Ancestor(line.node, int(k) + 1);
                    size_t stop = r;
                    while (stop < end && rows_[stop].level > k &&
                           data_.Rows().Ancestor(rows_[stop].node, int(k) + 1) == node)
                        ++stop;
                    const double height = rows_[stop - 1].pos + rows_[stop - 1].size - line.pos;
                    Context(node, 0);
                    Emit(g.header, QRectF(left, y0 + line.pos, g.size, height), g.size,
                         DesignedHeight(k), false, g.position, out);
                    r = stop;
                }
                left += g.size;
            }
        }
        for (size_t r = first; r < end; ++r)
            for (size_t c = cfirst; c < cend; ++c) {
                const Line& row = rows_[r];
                const Line& column = columns_[c];
                Context(row.node, column.node);
                Emit(d_.cells[row.level][column.level],
                     QRectF(x0 + column.pos, y0 + row.pos, column.size, row.size), column.size,
                     row.size, false, HeaderPosition::Start, out);
            }
    }

  private:
    // The lines of an axis below `node` at `level`, in bucket order, with the
    // level's total before or after them.
    void Lines(bool rows, int node, std::vector<Line>& out) {
        const auto& groups = rows ? d_.rows : d_.columns;
        const Axis& axis = rows ? data_.Rows() : data_.Columns();
        const size_t level = size_t(axis.At(node).depth);
        const auto size = [&](size_t l) {
            return rows ? d_.cells[l][d_.columns.size()].height : d_.cells[d_.rows.size()][l].width;
        };
        if (level == groups.size()) {
            out.push_back({node, level, size(level), 0});
            return;
        }
        const CrosstabGroup& g = groups[level];
        if (g.total == TotalPosition::Start) out.push_back({node, level, size(level), 0});
        for (int child : Sorted(rows, node, g))
            Lines(rows, child, out);
        if (g.total == TotalPosition::End) out.push_back({node, level, size(level), 0});
    }

    std::vector<int> Sorted(bool rows, int node, const CrosstabGroup& g) {
        const Axis& axis = rows ? data_.Rows() : data_.Columns();
        std::vector<int> children;
        for (const auto& [value, child] : axis.At(node).children)
            children.push_back(child);
        if (g.arrival && g.orderBy.Empty()) {
            std::sort(children.begin(), children.end(),
                      [&](int a, int b) { return axis.At(a).seq < axis.At(b).seq; });
            return children;
        }
        std::map<int, Value> keys;
        if (!g.orderBy.Empty())
            for (int child : children) {
                rows ? Context(child, 0) : Context(0, child);
                keys[child] = Evaluate(g.orderBy);
            }
        std::stable_sort(children.begin(), children.end(), [&](int a, int b) {
            int c = g.orderBy.Empty() ? 0 : Compare(keys[a], keys[b], g.caseInsensitive);
            if (c == 0) c = Compare(axis.At(a).value, axis.At(b).value, g.caseInsensitive);
            return g.descending ? c > 0 : c < 0;
        });
        return children;
    }

    // The designed size of a header: its own line and the totals nested below it.
    double DesignedWidth(size_t j) const {
        const size_t R = d_.rows.size(), C = d_.columns.size();
        double w = d_.cells[R][C].width;
        for (size_t l = j + 1; l < C; ++l)
            if (d_.columns[l].total != TotalPosition::None) w += d_.cells[R][l].width;
        return w;
    }
    double DesignedHeight(size_t k) const {
        const size_t R = d_.rows.size(), C = d_.columns.size();
        double h = d_.cells[R][C].height;
        for (size_t l = k + 1; l < R; ++l)
            if (d_.rows[l].total != TotalPosition::None) h += d_.cells[l][C].height;
        return h;
    }

    // The variables as a cell of row node `row` and column node `column` sees them.
    void Context(int row, int column) {
        const size_t R = d_.rows.size(), C = d_.columns.size();
        for (size_t a = 0; a <= R; ++a) {
            const int rn = a == R ? row : data_.Rows().Ancestor(row, int(a));
            for (size_t b = 0; b <= C; ++b) {
                const int cn = b == C ? column : data_.Columns().Ancestor(column, int(b));
                for (size_t m = 0; m < d_.measures.size(); ++m)
                    vars_[size_t(slots_.Measure(m, a, b))] = data_.Result(rn, cn, m);
            }
        }
        for (size_t k = 0; k < R; ++k) {
            const Axis& axis = data_.Rows();
            vars_[size_t(slots_.Group(k))] = axis.At(row).depth > int(k)
                                                 ? axis.At(axis.Ancestor(row, int(k) + 1)).value
                                                 : Value();
        }
        for (size_t j = 0; j < C; ++j) {
            const Axis& axis = data_.Columns();
            vars_[size_t(slots_.Group(R + j))] =
                axis.At(column).depth > int(j) ? axis.At(axis.Ancestor(column, int(j) + 1)).value
                                               : Value();
        }
    }

    Value Evaluate(const Expression& e) {
        try {
            return e.Evaluate([this](RefKind kind, int slot) -> const Value& {
                static const Value null;
                const auto& list = kind == RefKind::Parameter ? parameters_ : vars_;
                if (kind == RefKind::Field || slot < 0 || size_t(slot) >= list.size()) return null;
                return list[size_t(slot)];
            });
        } catch (const ExpressionError& x) {
            throw FillError(std::string("Error evaluating the expression \"") + e.Text() +
                            "\": " + x.what() + ".");
        }
    }

    bool Truth(const Expression& e) {
        const Value v = Evaluate(e);
        const auto* b = std::get_if<bool>(&v);
        return b != nullptr && *b;
    }

    // `e` with the conditional styles that hold here, or null when none apply.
    std::shared_ptr<const Element> Styled(const Element& e) {
        if (e.conditionals.empty()) return nullptr;
        auto copy = std::make_shared<Element>(e);
        for (const auto& c : e.conditionals)
            if (Truth(c.condition)) ApplyStyle(*copy, c.props);
        if (e.own) ApplyStyle(*copy, *e.own);
        copy->conditionals.clear();
        return copy;
    }

    // A cell's frame and elements in `rect`; headers that span more than
    // their designed size place their contents by `position` along their
    // axis (`horizontal`: a column header).
    void Emit(const CellContents& c, const QRectF& rect, double designedWidth,
              double designedHeight, bool horizontal, HeaderPosition position,
              std::vector<PageItem>& out) {
        if (!c.present) return;
        const Box& b = c.frame.box;
        if (c.frame.opaque || !c.frame.conditionals.empty() || b.topPen.width > 0 ||
            b.leftPen.width > 0 || b.bottomPen.width > 0 || b.rightPen.width > 0) {
            PageItem frame;
            frame.styled = Styled(c.frame);
            frame.element = frame.styled ? frame.styled.get() : &c.frame;
            frame.rect = rect;
            out.push_back(std::move(frame));
        }
        const double extra =
            horizontal ? rect.width() - designedWidth : rect.height() - designedHeight;
        const double designed = horizontal ? designedWidth : designedHeight;
        for (const Element& plain : c.elements) {
            if (!plain.printWhen.Empty() && !Truth(plain.printWhen)) continue;
            PageItem item;
            item.styled = Styled(plain);
            item.element = item.styled ? item.styled.get() : &plain;
            const Element& e = *item.element;
            double x = e.x, y = e.y, w = e.width, h = e.height;
            double& at = horizontal ? x : y;
            double& span = horizontal ? w : h;
            if (extra > 1e-6 && designed > 0) {
                if (position == HeaderPosition::Middle) at += extra / 2;
                if (position == HeaderPosition::End) at += extra;
                if (position == HeaderPosition::Stretch) {
                    const double scale = (designed + extra) / designed;
                    at *= scale;
                    span *= scale;
                }
            }
            item.rect = QRectF(rect.left() + x, rect.top() + y, w, h);
            if (e.kind == ElementKind::StaticText) {
                item.text = QString::fromStdString(e.text);
            } else if (e.kind == ElementKind::TextField) {
                const Value v = Evaluate(e.expression);
                if (!(engine::IsNull(v) && (e.blankWhenNull || e.expression.Empty())))
                    item.text = FormatValue(v, e.pattern);
            }
            out.push_back(std::move(item));
        }
    }

    const CrosstabData& data_;
    const CrosstabDef& d_;
    Slots slots_;
    std::vector<Value> parameters_, vars_;
    std::vector<Line> rows_, columns_;
    std::vector<std::pair<size_t, size_t>> chunks_;
    double rowHeaderWidth_ = 0, columnHeaderHeight_ = 0;
};

// ---- pieces ----------------------------------------------------------------------

CrosstabPieces::CrosstabPieces(std::shared_ptr<CrosstabGrid> grid) : grid_(std::move(grid)) {}
CrosstabPieces::~CrosstabPieces() = default;

bool CrosstabPieces::Done() const {
    return chunk_ >= grid_->Chunks();
}

double CrosstabPieces::Needed() const {
    if (Done() || grid_->NoData()) return 0;
    const bool headers = !started_ || grid_->RepeatColumnHeaders();
    return (headers ? grid_->HeaderHeight() : 0) + grid_->RowHeight(row_);
}

CrosstabPiece CrosstabPieces::Next(double room, bool force) {
    CrosstabPiece piece;
    if (Done()) return piece;
    if (grid_->NoData()) {
        piece.height = grid_->NoDataCell(piece.items);
        chunk_ = grid_->Chunks();
        return piece;
    }
    double y = 0;
    bool any = false;
    while (!Done()) {
        const bool headers = !started_ || grid_->RepeatColumnHeaders();
        const double top = any ? y + grid_->BreakOffset() : 0;
        if (top + Needed() > room + 1e-6 && !(force && !any)) break;
        y = top;
        if (headers) {
            grid_->ColumnHeaders(chunk_, y, piece.items);
            y += grid_->HeaderHeight();
        }
        const size_t first = row_;
        const double start = y;
        while (row_ < grid_->RowCount() &&
               (y + grid_->RowHeight(row_) <= room + 1e-6 || (force && row_ == first && !any))) {
            y += grid_->RowHeight(row_);
            ++row_;
        }
        if (row_ > first) grid_->Rows(chunk_, first, row_, start, piece.items);
        started_ = true;
        any = true;
        if (row_ < grid_->RowCount()) break; // the chunk continues on the next page
        ++chunk_;
        row_ = 0;
        started_ = false;
    }
    piece.height = y;
    return piece;
}

// ---- runs ------------------------------------------------------------------------

CrosstabRuns::CrosstabRuns(const Report& report) {
    const auto scan = [&](const std::vector<Element>& elements, int footerOf) {
        for (const auto& e : elements) {
            if (e.kind != ElementKind::Crosstab || !e.crosstab) continue;
            const CrosstabDef& d = *e.crosstab;
            // Unless its dataset says otherwise, a crosstab in a group's
            // footer shows that group's rows.
            ResetType reset = d.reset;
            int group = d.resetGroup;
            if (!d.resetGiven && footerOf >= 0) {
                reset = ResetType::Group;
                group = footerOf;
            }
            data_[&e] = std::make_unique<CrosstabData>(d, reset, group);
        }
    };
    for (const auto* band : {&report.title, &report.pageHeader, &report.columnHeader,
                             &report.columnFooter, &report.pageFooter, &report.summary,
                             &report.lastPageFooter, &report.background, &report.noData})
        if (*band) scan((*band)->elements, -1);
    for (const auto& band : report.details)
        scan(band.elements, -1);
    for (size_t g = 0; g < report.groups.size(); ++g) {
        for (const auto& band : report.groups[g].headers)
            scan(band.elements, -1);
        for (const auto& band : report.groups[g].footers)
            scan(band.elements, int(g));
    }
}

CrosstabRuns::~CrosstabRuns() = default;

void CrosstabRuns::Reset(ResetType type, int group) {
    for (auto& [element, data] : data_)
        if (data->ResetsOn(type, group)) data->Clear();
}

void CrosstabRuns::Add(const Evaluator& evaluate) {
    for (auto& [element, data] : data_)
        if (!data->Def().run) data->Add(evaluate);
}

std::unique_ptr<CrosstabPieces> CrosstabRuns::Lay(const Element& element, const Evaluator& evaluate,
                                                  double availableWidth,
                                                  const DatasetRunner& runner) {
    const auto it = data_.find(&element);
    if (it == data_.end()) return nullptr;
    if (const auto& run = it->second->Def().run) {
        // Each layout runs the dataset again, for the report's current row.
        CrosstabData& data = *it->second;
        data.Clear();
        runner(*run, [&](const FillState& state) {
            data.Add([&](const Expression& e) { return EvaluateIn(e, state); });
        });
    }
    std::vector<Value> parameters;
    for (const auto& p : it->second->Def().parameters)
        parameters.push_back(p.value.Empty() ? Value() : evaluate(p.value));
    return std::make_unique<CrosstabPieces>(
        std::make_shared<CrosstabGrid>(*it->second, std::move(parameters), availableWidth));
}

} // namespace printengine
