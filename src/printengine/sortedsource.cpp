#include "printengine/sortedsource.h"

#include "engine/convert.h"
#include "printengine/fill.h"

#include <QCollator>
#include <QDir>
#include <QTemporaryFile>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

namespace printengine {

namespace {

// Files merged at once; more runs than this are merged in steps.
constexpr size_t MaxFanIn = 32;
constexpr size_t IoChunk = 64 * 1024;

template <typename List> int IndexOf(const List& list, const std::string& name) {
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].name == name) return int(i);
    return -1;
}

std::string Refusal(const std::string& what) {
    return "The report uses " + what + ", which the report engine does not support.";
}

std::string LineOf(int line) {
    return line > 0 ? " (line " + std::to_string(line) + ")" : std::string();
}

// The variables one row alone gives the value of: no calculation over rows,
// and an expression of fields, parameters and such variables declared
// before (a later one would still hold the previous row's value).
std::vector<bool> RowVariables(const Report& r) {
    std::vector<bool> ok(r.variables.size(), false);
    for (size_t i = 0; i < r.variables.size(); ++i) {
        const VariableDef& v = r.variables[i];
        if (v.calculation != Calculation::Nothing || !v.otherClass.empty()) continue;
        bool good = true;
        v.expression.ForEachReference([&](RefKind kind, const std::string& name) {
            if (kind != RefKind::Variable) return;
            const int j = IndexOf(r.variables, name);
            if (j < 0 || size_t(j) >= i || !ok[size_t(j)]) good = false;
        });
        ok[i] = good;
    }
    return ok;
}

bool BuiltInVariable(const Report& r, const std::string& name) {
    for (const char* b : {"PAGE_NUMBER", "REPORT_COUNT", "PAGE_COUNT", "COLUMN_NUMBER",
                          "COLUMN_COUNT", "MASTER_CURRENT_PAGE", "MASTER_TOTAL_PAGES"})
        if (name == b) return true;
    for (const auto& g : r.groups)
        if (name == g.name + "_COUNT") return true;
    return false;
}

void CheckFilter(Report& r, const std::vector<bool>& rowVariables) {
    const Expression& f = r.filter;
    const std::string in = " in the filterExpression \"" + f.Text() + "\"" + LineOf(f.Line());
    std::vector<std::string> found;
    f.ForEachReference([&](RefKind kind, const std::string& name) {
        if (kind == RefKind::Field) {
            const int i = IndexOf(r.fields, name);
            if (i < 0)
                found.push_back(Refusal("the unknown field $F{" + name + "}" + in));
            else if (!r.fields[size_t(i)].otherClass.empty())
                found.push_back(Refusal("$F{" + name + "} of the class " +
                                        r.fields[size_t(i)].otherClass + in));
        } else if (kind == RefKind::Parameter) {
            const int i = IndexOf(r.parameters, name);
            if (i < 0)
                found.push_back(Refusal("the unknown parameter $P{" + name + "}" + in));
            else if (!r.parameters[size_t(i)].otherClass.empty())
                found.push_back(Refusal("$P{" + name + "} of the class " +
                                        r.parameters[size_t(i)].otherClass + in));
        } else {
            const int i = IndexOf(r.variables, name);
            if (i >= 0 && rowVariables[size_t(i)]) return;
            if (i < 0 && !BuiltInVariable(r, name))
                found.push_back(Refusal("the unknown variable $V{" + name + "}" + in));
            else
                found.push_back(Refusal("$V{" + name + "}" + in +
                                        ", a value that depends on the order of the rows"));
        }
    });
    r.refusals.insert(r.refusals.end(), found.begin(), found.end());
}

} // namespace

void PrepareRowOrder(Report& r) {
    const std::vector<bool> rowVariables = RowVariables(r);
    for (const SortFieldDef& s : r.sortFields) {
        const std::string in = " in a sortField" + LineOf(s.line);
        if (!s.variable) {
            const int i = IndexOf(r.fields, s.name);
            if (i < 0)
                r.refusals.push_back(Refusal("the unknown field \"" + s.name + "\"" + in));
            else if (!r.fields[size_t(i)].otherClass.empty())
                r.refusals.push_back(Refusal("the field \"" + s.name + "\" of the class " +
                                             r.fields[size_t(i)].otherClass + in));
            continue;
        }
        const int i = IndexOf(r.variables, s.name);
        if (i < 0)
            r.refusals.push_back(Refusal("the unknown variable \"" + s.name + "\"" + in));
        else if (!rowVariables[size_t(i)])
            r.refusals.push_back(Refusal("the variable \"" + s.name + "\"" + in +
                                         ", whose value depends on the order of the rows"));
    }
    if (!r.filter.Empty()) CheckFilter(r, rowVariables);
}

int CompareSortValues(const Value& a, const Value& b) {
    const bool an = engine::IsNull(a), bn = engine::IsNull(b);
    if (an || bn) return an == bn ? 0 : an ? -1 : 1;
    const auto number = [](const Value& v, double& d) {
        if (const auto* i = std::get_if<std::int64_t>(&v))
            d = double(*i);
        else if (const auto* x = std::get_if<double>(&v))
            d = *x;
        else if (const auto* c = std::get_if<engine::Currency>(&v))
            d = engine::CurrencyToDouble(*c);
        else
            return false;
        return true;
    };
    const auto* ia = std::get_if<std::int64_t>(&a);
    const auto* ib = std::get_if<std::int64_t>(&b);
    if (ia && ib) return *ia < *ib ? -1 : *ia > *ib;
    const auto* ca = std::get_if<engine::Currency>(&a);
    const auto* cb = std::get_if<engine::Currency>(&b);
    if (ca && cb) return ca->units < cb->units ? -1 : ca->units > cb->units;
    double x = 0, y = 0;
    if (number(a, x) && number(b, y)) {
        // Java's Double.compareTo: NaN above everything, -0.0 below 0.0.
        if (std::isnan(x) || std::isnan(y)) return std::isnan(x) - std::isnan(y);
        if (x == y) return std::signbit(y) - std::signbit(x);
        return x < y ? -1 : 1;
    }
    if (a.index() != b.index()) return a.index() < b.index() ? -1 : 1;
    if (const auto* s = std::get_if<std::string>(&a)) {
        const int c = s->compare(std::get<std::string>(b));
        return c < 0 ? -1 : c > 0;
    }
    if (const auto* d = std::get_if<engine::DateTime>(&a)) {
        const auto& e = std::get<engine::DateTime>(b);
        const auto ka = std::tie(d->year, d->month, d->day, d->hour, d->minute, d->second);
        const auto kb = std::tie(e.year, e.month, e.day, e.hour, e.minute, e.second);
        return ka < kb ? -1 : ka > kb;
    }
    if (const auto* t = std::get_if<bool>(&a)) return int(*t) - int(std::get<bool>(b));
    const auto& p = std::get<engine::Blob>(a);
    const auto& q = std::get<engine::Blob>(b);
    return std::lexicographical_compare(p.begin(), p.end(), q.begin(), q.end())   ? -1
           : std::lexicographical_compare(q.begin(), q.end(), p.begin(), p.end()) ? 1
                                                                                  : 0;
}

namespace {

// ---- the values a row gives: filter and variables ----------------------------

// Evaluates the filter and the variables the sort and the filter need for
// one row, with expressions of its own bound to the row's slots.
class RowContext {
  public:
    RowContext(const Report& r, const std::vector<Value>& parameters,
               const std::vector<int>& sortVariables)
        : parameters_(parameters), variables_(r.variables.size()) {
        std::vector<bool> needed(r.variables.size(), false);
        for (int v : sortVariables)
            needed[size_t(v)] = true;
        const auto slotOf = [&r](RefKind kind, const std::string& name) {
            return kind == RefKind::Field       ? IndexOf(r.fields, name)
                   : kind == RefKind::Parameter ? IndexOf(r.parameters, name)
                                                : IndexOf(r.variables, name);
        };
        const auto markNeeded = [&](const Expression& e) {
            e.ForEachReference([&](RefKind kind, const std::string& name) {
                if (kind == RefKind::Variable && IndexOf(r.variables, name) >= 0)
                    needed[size_t(IndexOf(r.variables, name))] = true;
            });
        };
        if (!r.filter.Empty()) {
            filter_ = r.filter.Clone();
            filter_.Bind(slotOf);
            markNeeded(filter_);
        }
        // Variables only read earlier ones: one backward sweep finds them all.
        for (size_t i = r.variables.size(); i-- > 0;)
            if (needed[i]) markNeeded(r.variables[i].expression);
        for (size_t i = 0; i < r.variables.size(); ++i) {
            if (!needed[i]) continue;
            Expression e = r.variables[i].expression.Clone();
            e.Bind(slotOf);
            expressions_.emplace_back(i, std::move(e));
        }
        lookup_ = [this](RefKind kind, int slot) -> const Value& {
            static const Value null;
            const std::vector<Value>& list = kind == RefKind::Field       ? *row_
                                             : kind == RefKind::Parameter ? parameters_
                                                                          : variables_;
            return slot >= 0 && size_t(slot) < list.size() ? list[size_t(slot)] : null;
        };
    }

    // Computes the row's variables; false when the filter leaves it out.
    bool Accept(const std::vector<Value>& row) {
        row_ = &row;
        for (const auto& [index, e] : expressions_)
            variables_[index] = Evaluate(e);
        if (filter_.Empty()) return true;
        const Value v = Evaluate(filter_);
        if (engine::IsNull(v)) return false;
        if (const auto* b = std::get_if<bool>(&v)) return *b;
        throw FillError("The filterExpression \"" + filter_.Text() + "\" gives " + JavaText(v) +
                        ", not a Boolean.");
    }

    const Value& Variable(int index) const { return variables_[size_t(index)]; }

  private:
    Value Evaluate(const Expression& e) const {
        try {
            return e.Evaluate(lookup_);
        } catch (const ExpressionError& x) {
            throw FillError(std::string("Error evaluating the expression \"") + e.Text() +
                            "\": " + x.what() + ".");
        }
    }

    std::vector<Value> parameters_;
    std::vector<Value> variables_;
    const std::vector<Value>* row_ = nullptr;
    Expression filter_;
    std::vector<std::pair<size_t, Expression>> expressions_;
    std::function<const Value&(RefKind, int)> lookup_;
};

class FilteredSource final : public RowSource {
  public:
    FilteredSource(std::unique_ptr<RowSource> rows, const Report& r,
                   const std::vector<Value>& parameters)
        : rows_(std::move(rows)), context_(r, parameters, {}) {}

    bool Next(std::vector<Value>& row) override {
        while (rows_->Next(row))
            if (context_.Accept(row)) return true;
        return false;
    }

  private:
    std::unique_ptr<RowSource> rows_;
    RowContext context_;
};

// ---- records and their order ----------------------------------------------------

struct SortKey {
    size_t column = 0; // in the record: the fields, then the sort variables
    bool descending = false;
    bool collate = false; // a String: by the locale's collation
};

struct Record {
    std::vector<Value> values;
    // Per sort key, the collation key of a String value.
    std::vector<std::optional<QCollatorSortKey>> keys;
};

class Order {
  public:
    Order(std::vector<SortKey> keys, const QLocale& locale)
        : keys_(std::move(keys)), collator_(locale.language() == QLocale::C
                                                ? QLocale(QLocale::English, QLocale::UnitedStates)
                                                : locale) {}

    void MakeKeys(Record& r) const {
        r.keys.assign(keys_.size(), std::nullopt);
        for (size_t k = 0; k < keys_.size(); ++k)
            if (keys_[k].collate)
                if (const auto* s = std::get_if<std::string>(&r.values[keys_[k].column]))
                    r.keys[k] = collator_.sortKey(QString::fromStdString(*s));
    }

    // What a record takes in memory, about: its values, their text, its keys.
    size_t Footprint(const Record& r) const {
        size_t bytes = sizeof(Record) + r.values.capacity() * sizeof(Value) +
                       r.keys.capacity() * sizeof(std::optional<QCollatorSortKey>) + 32;
        for (const Value& v : r.values) {
            if (const auto* s = std::get_if<std::string>(&v))
                bytes += s->capacity() > 15 ? s->capacity() + 17 : 0;
            else if (const auto* b = std::get_if<engine::Blob>(&v))
                bytes += b->capacity() + 16;
        }
        for (size_t k = 0; k < keys_.size(); ++k)
            if (r.keys[k])
                bytes += 96 + 2 * std::get<std::string>(r.values[keys_[k].column]).size();
        return bytes;
    }

    int Compare(const Record& a, const Record& b) const {
        for (size_t k = 0; k < keys_.size(); ++k) {
            const Value& x = a.values[keys_[k].column];
            const Value& y = b.values[keys_[k].column];
            int c = 0;
            if (a.keys[k] && b.keys[k]) {
                c = a.keys[k]->compare(*b.keys[k]);
                c = c < 0 ? -1 : c > 0;
            } else {
                c = CompareSortValues(x, y);
            }
            if (c != 0) return keys_[k].descending ? -c : c;
        }
        return 0;
    }

  private:
    std::vector<SortKey> keys_;
    QCollator collator_;
};

// ---- runs on disk -----------------------------------------------------------------

template <typename T> void Put(std::string& out, T v) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &v, sizeof(T));
    out.append(bytes, sizeof(T));
}

void Encode(const std::vector<Value>& values, std::string& out) {
    for (const Value& v : values) {
        out.push_back(char(v.index()));
        if (const auto* b = std::get_if<bool>(&v))
            out.push_back(char(*b));
        else if (const auto* i = std::get_if<std::int64_t>(&v))
            Put(out, *i);
        else if (const auto* d = std::get_if<double>(&v))
            Put(out, *d);
        else if (const auto* s = std::get_if<std::string>(&v)) {
            Put(out, std::uint32_t(s->size()));
            out += *s;
        } else if (const auto* t = std::get_if<engine::DateTime>(&v)) {
            for (int part : {t->year, t->month, t->day, t->hour, t->minute, t->second})
                Put(out, std::int32_t(part));
        } else if (const auto* blob = std::get_if<engine::Blob>(&v)) {
            Put(out, std::uint32_t(blob->size()));
            out.append(reinterpret_cast<const char*>(blob->data()), blob->size());
        } else if (const auto* c = std::get_if<engine::Currency>(&v)) {
            Put(out, c->units);
        }
    }
}

QString TemporaryFolder() {
    return QDir::tempPath();
}

// A run written out: its rows in order, in a temporary file of its own that
// goes when the run does.
class SpillWriter {
  public:
    SpillWriter()
        : file_(std::make_unique<QTemporaryFile>(
              QDir(TemporaryFolder()).filePath("norvakel-sort-XXXXXX"))) {
        if (!file_->open())
            throw SourceError(
                "Unable to create a temporary file in " + TemporaryFolder().toStdString() +
                " for sorting the report's rows: " + file_->errorString().toStdString() + ".");
    }
    void Add(const std::vector<Value>& values) {
        Encode(values, buffer_);
        if (buffer_.size() >= IoChunk) Flush();
    }
    std::unique_ptr<QTemporaryFile> Finish() {
        Flush();
        if (!file_->flush()) Failed();
        file_->close();
        return std::move(file_);
    }

  private:
    void Flush() {
        if (!buffer_.empty() &&
            file_->write(buffer_.data(), qint64(buffer_.size())) != qint64(buffer_.size()))
            Failed();
        buffer_.clear();
    }
    [[noreturn]] void Failed() {
        throw SourceError(
            "Unable to write the temporary file " + file_->fileName().toStdString() +
            " while sorting the report's rows: " + file_->errorString().toStdString() + ".");
    }
    std::unique_ptr<QTemporaryFile> file_;
    std::string buffer_;
};

// Reads back the records of one run, in order.
class Cursor {
  public:
    virtual ~Cursor() = default;
    virtual bool Next(Record& r) = 0;
};

class MemoryCursor final : public Cursor {
  public:
    explicit MemoryCursor(const std::vector<Record>& run) : run_(run) {}
    bool Next(Record& r) override {
        if (next_ >= run_.size()) return false;
        r = run_[next_++];
        return true;
    }

  private:
    const std::vector<Record>& run_;
    size_t next_ = 0;
};

class FileCursor final : public Cursor {
  public:
    FileCursor(const QString& path, size_t width, const Order& order)
        : file_(path), width_(width), order_(order) {
        if (!file_.open(QIODevice::ReadOnly)) Broken();
    }
    bool Next(Record& r) override {
        if (!Need(1)) return false;
        r.values.resize(width_);
        for (auto& v : r.values)
            v = Read();
        order_.MakeKeys(r);
        return true;
    }

  private:
    [[noreturn]] void Broken() const {
        throw SourceError("Unable to read back the temporary file " +
                          file_.fileName().toStdString() +
                          " of the sorted rows: " + file_.errorString().toStdString() + ".");
    }
    // Whether `n` more bytes are there (false only at the very end).
    bool Need(size_t n) {
        if (buffer_.size() - pos_ >= n) return true;
        buffer_.erase(0, pos_);
        pos_ = 0;
        while (buffer_.size() < n) {
            const size_t have = buffer_.size();
            buffer_.resize(have + std::max(n, IoChunk));
            const qint64 got = file_.read(buffer_.data() + have, qint64(buffer_.size() - have));
            if (got < 0) Broken();
            buffer_.resize(have + size_t(got));
            if (got == 0) return false;
        }
        return true;
    }
    template <typename T> T Get() {
        if (!Need(sizeof(T))) Broken();
        T v;
        std::memcpy(&v, buffer_.data() + pos_, sizeof(T));
        pos_ += sizeof(T);
        return v;
    }
    std::string Bytes() {
        const auto size = Get<std::uint32_t>();
        if (!Need(size)) Broken();
        std::string s(buffer_, pos_, size);
        pos_ += size;
        return s;
    }
    Value Read() {
        switch (Get<std::uint8_t>()) {
        case 0:
            return engine::Null{};
        case 1:
            return Get<char>() != 0;
        case 2:
            return Get<std::int64_t>();
        case 3:
            return Get<double>();
        case 4:
            return Bytes();
        case 5: {
            engine::DateTime t;
            for (int* part : {&t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second})
                *part = Get<std::int32_t>();
            return t;
        }
        case 6: {
            const std::string s = Bytes();
            return engine::Blob(s.begin(), s.end());
        }
        case 7:
            return engine::Currency{Get<std::int64_t>()};
        default:
            Broken();
        }
    }

    QFile file_;
    size_t width_;
    const Order& order_;
    std::string buffer_;
    size_t pos_ = 0;
};

// The smallest head of several runs, run after run; equal records come from
// the earlier run first, so the sort stays stable.
class Merger {
  public:
    Merger(std::vector<std::unique_ptr<Cursor>> cursors, const Order& order)
        : cursors_(std::move(cursors)), order_(order) {
        for (size_t i = 0; i < cursors_.size(); ++i) {
            Head h{Record{}, i};
            if (cursors_[i]->Next(h.record)) heads_.push_back(std::move(h));
        }
        std::make_heap(heads_.begin(), heads_.end(), Later());
    }

    bool Next(Record& out) {
        if (heads_.empty()) return false;
        std::pop_heap(heads_.begin(), heads_.end(), Later());
        Head& h = heads_.back();
        std::swap(out, h.record);
        if (cursors_[h.run]->Next(h.record))
            std::push_heap(heads_.begin(), heads_.end(), Later());
        else
            heads_.pop_back();
        return true;
    }

  private:
    struct Head {
        Record record;
        size_t run;
    };
    struct After {
        const Order* order;
        bool operator()(const Head& a, const Head& b) const {
            const int c = order->Compare(a.record, b.record);
            return c > 0 || (c == 0 && a.run > b.run);
        }
    };
    After Later() const { return {&order_}; }

    std::vector<std::unique_ptr<Cursor>> cursors_;
    const Order& order_;
    std::vector<Head> heads_;
};

// ---- the sorted rows of a document --------------------------------------------------

class SortedRows : public std::enable_shared_from_this<SortedRows> {
  public:
    SortedRows(const Report& r, std::vector<Value> parameters, RowOpener open, size_t budget,
               const QLocale& locale)
        : report_(r), parameters_(std::move(parameters)), open_(std::move(open)), budget_(budget),
          order_(Keys(r), locale) {}

    std::unique_ptr<RowSource> Open();

  private:
    std::vector<SortKey> Keys(const Report& r) {
        std::vector<SortKey> keys;
        // Names that are not there were refused before the job started.
        for (const SortFieldDef& s : r.sortFields) {
            SortKey k;
            k.descending = s.descending;
            if (s.variable) {
                const int v = IndexOf(r.variables, s.name);
                if (v < 0) continue;
                sortVariables_.push_back(v);
                k.column = r.fields.size() + sortVariables_.size() - 1;
                k.collate = r.variables[size_t(v)].valueClass == ValueClass::String &&
                            r.variables[size_t(v)].otherClass.empty();
            } else {
                const int f = IndexOf(r.fields, s.name);
                if (f < 0) continue;
                k.column = size_t(f);
                k.collate = r.fields[size_t(f)].valueClass == ValueClass::String;
            }
            keys.push_back(k);
        }
        return keys;
    }

    // Reads the table once: the rows the filter keeps, in sorted runs.
    void Sort() {
        sorted_ = false;
        files_.clear();
        memory_.clear();
        // Made apart, so that a failure leaves no files behind.
        std::vector<std::unique_ptr<QTemporaryFile>> files;
        RowContext context(report_, parameters_, sortVariables_);
        auto rows = open_();
        std::vector<Value> row;
        std::vector<Record> run;
        size_t bytes = 0;
        while (rows->Next(row)) {
            if (!context.Accept(row)) continue;
            Record r;
            r.values.reserve(row.size() + sortVariables_.size());
            r.values.assign(std::make_move_iterator(row.begin()),
                            std::make_move_iterator(row.end()));
            for (int v : sortVariables_)
                r.values.push_back(context.Variable(v));
            order_.MakeKeys(r);
            bytes += order_.Footprint(r);
            run.push_back(std::move(r));
            if (bytes >= budget_) {
                files.push_back(Spill(run));
                bytes = 0;
            }
        }
        rows.reset();
        SortRun(run);
        while (files.size() > MaxFanIn)
            files = MergeFiles(std::move(files));
        files_ = std::move(files);
        memory_ = std::move(run);
        sorted_ = true;
    }

    void SortRun(std::vector<Record>& run) const {
        std::stable_sort(run.begin(), run.end(), [this](const Record& a, const Record& b) {
            return order_.Compare(a, b) < 0;
        });
    }

    std::unique_ptr<QTemporaryFile> Spill(std::vector<Record>& run) const {
        SortRun(run);
        SpillWriter writer;
        for (const Record& r : run)
            writer.Add(r.values);
        run.clear();
        run.shrink_to_fit();
        return writer.Finish();
    }

    // One level of merging: each MaxFanIn runs in a row become one, in the
    // same place in the order.
    std::vector<std::unique_ptr<QTemporaryFile>>
    MergeFiles(std::vector<std::unique_ptr<QTemporaryFile>> files) const {
        std::vector<std::unique_ptr<QTemporaryFile>> merged;
        for (size_t first = 0; first < files.size(); first += MaxFanIn) {
            std::vector<std::unique_ptr<Cursor>> cursors;
            for (size_t i = first; i < std::min(files.size(), first + MaxFanIn); ++i)
                cursors.push_back(
                    std::make_unique<FileCursor>(files[i]->fileName(), Width(), order_));
            Merger merger(std::move(cursors), order_);
            SpillWriter writer;
            Record r;
            while (merger.Next(r))
                writer.Add(r.values);
            merged.push_back(writer.Finish());
            for (size_t i = first; i < std::min(files.size(), first + MaxFanIn); ++i)
                files[i].reset();
        }
        return merged;
    }

    size_t Width() const { return report_.fields.size() + sortVariables_.size(); }

    friend class MergedSource;
    const Report& report_;
    std::vector<Value> parameters_;
    RowOpener open_;
    size_t budget_;
    std::vector<int> sortVariables_;
    Order order_;
    bool sorted_ = false;
    std::vector<std::unique_ptr<QTemporaryFile>> files_; // the earlier runs
    std::vector<Record> memory_;                         // the last run
};

class MergedSource final : public RowSource {
  public:
    explicit MergedSource(std::shared_ptr<const SortedRows> rows) : rows_(std::move(rows)) {
        std::vector<std::unique_ptr<Cursor>> cursors;
        for (const auto& f : rows_->files_)
            cursors.push_back(
                std::make_unique<FileCursor>(f->fileName(), rows_->Width(), rows_->order_));
        cursors.push_back(std::make_unique<MemoryCursor>(rows_->memory_));
        merger_.emplace(std::move(cursors), rows_->order_);
    }

    bool Next(std::vector<Value>& row) override {
        if (!merger_->Next(record_)) return false;
        row.assign(std::make_move_iterator(record_.values.begin()),
                   std::make_move_iterator(record_.values.begin() +
                                           std::ptrdiff_t(rows_->report_.fields.size())));
        return true;
    }

  private:
    std::shared_ptr<const SortedRows> rows_;
    std::optional<Merger> merger_;
    Record record_;
};

std::unique_ptr<RowSource> SortedRows::Open() {
    if (!sorted_) Sort();
    return std::make_unique<MergedSource>(shared_from_this());
}

} // namespace

RowOpener ArrangeRows(const Report& report, const std::vector<Value>& parameters, RowOpener open,
                      size_t budget, const QLocale& locale) {
    if (report.sortFields.empty() && report.filter.Empty()) return open;
    if (report.sortFields.empty())
        return [&report, parameters, open = std::move(open)] {
            return std::make_unique<FilteredSource>(open(), report, parameters);
        };
    auto sorted = std::make_shared<SortedRows>(report, parameters, std::move(open), budget, locale);
    return [sorted] { return sorted->Open(); };
}

} // namespace printengine
