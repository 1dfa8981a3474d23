#include "printengine/fill.h"

#include "engine/convert.h"
#include "printengine/crosstab.h"
#include "printengine/format.h"

#include <QDir>
#include <QFontMetricsF>
#include <QImage>
#include <QImageReader>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace printengine {

namespace {

// Built-in variables, in the first slots.
enum BuiltIn { vPageNumber, vReportCount, vPageCount, vColumnNumber, BuiltInCount };
const char* const BuiltInNames[] = {"PAGE_NUMBER", "REPORT_COUNT", "PAGE_COUNT", "COLUMN_NUMBER"};

// Slots: built-ins, then one <group>_COUNT per group, then the report's variables.
int GroupCountSlot(size_t group) {
    return BuiltInCount + int(group);
}
int VariableSlot(const Report& r, size_t variable) {
    return BuiltInCount + int(r.groups.size()) + int(variable);
}

template <typename Names> int FindName(const Names& list, const std::string& name) {
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].name == name) return int(i);
    return -1;
}

int SlotOf(const Report& r, RefKind kind, const std::string& name) {
    switch (kind) {
    case RefKind::Field:
        return FindName(r.fields, name);
    case RefKind::Parameter:
        return FindName(r.parameters, name);
    case RefKind::Variable: {
        const int v = FindName(r.variables, name);
        if (v >= 0) return VariableSlot(r, size_t(v));
        for (int b = 0; b < BuiltInCount; ++b)
            if (name == BuiltInNames[b]) return b;
        for (size_t g = 0; g < r.groups.size(); ++g)
            if (name == r.groups[g].name + "_COUNT") return GroupCountSlot(g);
        return -1;
    }
    }
    return -1;
}

// The class of a declared field, parameter or variable that has no values here.
const std::string* OtherClass(const Report& r, RefKind kind, const std::string& name) {
    const std::string* other = nullptr;
    const auto check = [&](const auto& list) {
        const int i = FindName(list, name);
        if (i >= 0 && !list[size_t(i)].otherClass.empty()) other = &list[size_t(i)].otherClass;
    };
    if (kind == RefKind::Field) check(r.fields);
    if (kind == RefKind::Parameter) check(r.parameters);
    if (kind == RefKind::Variable) check(r.variables);
    return other;
}

void BindExpression(Report& r, Expression& e) {
    e.ForEachReference([&](RefKind kind, const std::string& name) {
        const std::string line =
            e.Line() > 0 ? " (line " + std::to_string(e.Line()) + ")" : std::string();
        if (const std::string* other = OtherClass(r, kind, name)) {
            const char* sign = kind == RefKind::Field       ? "$F{"
                               : kind == RefKind::Parameter ? "$P{"
                                                            : "$V{";
            r.refusals.push_back("The report uses " + std::string(sign) + name + "} of the class " +
                                 *other + " in \"" + e.Text() + "\"" + line +
                                 ", which the report engine does not support.");
            return;
        }
        if (SlotOf(r, kind, name) >= 0) return;
        const char* what = kind == RefKind::Field       ? "the unknown field $F{"
                           : kind == RefKind::Parameter ? "the unknown parameter $P{"
                                                        : "the unknown variable $V{";
        r.refusals.push_back("The report uses " + std::string(what) + name + "} in \"" + e.Text() +
                             "\"" + line + ", which the report engine does not support.");
    });
    e.Bind([&](RefKind kind, const std::string& name) { return SlotOf(r, kind, name); });
}

void BindElements(Report& r, Band& band) {
    BindExpression(r, band.printWhen);
    for (auto& e : band.elements) {
        if (!e.printWhenGroupChanges.empty()) {
            e.groupChangesIndex = FindName(r.groups, e.printWhenGroupChanges);
            if (e.groupChangesIndex < 0)
                r.refusals.push_back("The report uses the unknown group \"" +
                                     e.printWhenGroupChanges +
                                     "\" in printWhenGroupChanges, which the report engine does "
                                     "not support.");
        }
        BindExpression(r, e.expression);
        BindExpression(r, e.printWhen);
        for (auto& c : e.conditionals)
            BindExpression(r, c.condition);
        if (e.crosstab)
            PrepareCrosstab(r, *e.crosstab, [&](Expression& x) { BindExpression(r, x); });
    }
}

void BindBand(Report& r, std::optional<Band>& band) {
    if (band) BindElements(r, *band);
}

// Measures text in points: a 72 dpi device makes one pixel one point.
const QImage& MeasureDevice() {
    static const QImage image = [] {
        QImage i(1, 1, QImage::Format_RGB32);
        i.setDotsPerMeterX(2835); // 72 dpi
        i.setDotsPerMeterY(2835);
        return i;
    }();
    return image;
}

struct VariableState {
    Value value;
    double sum = 0;
    std::int64_t intSum = 0;
    bool allInts = true;
    std::int64_t count = 0;
    // Money is summed exactly in ten-thousandths, whole numbers with it,
    // while the sum stays within Currency's range.
    std::int64_t moneySum = 0;
    bool money = false;
    bool moneyExact = true;

    void AddMoney(const Value& v) {
        std::int64_t units = 0;
        if (const auto* c = std::get_if<engine::Currency>(&v)) {
            money = true;
            units = c->units;
        } else if (const auto* i = std::get_if<std::int64_t>(&v)) {
            moneyExact = moneyExact && !__builtin_mul_overflow(*i, 10000, &units);
        } else {
            moneyExact = false;
        }
        moneyExact = moneyExact && !__builtin_add_overflow(moneySum, units, &moneySum);
    }
    bool ExactMoney(ValueClass cls) const {
        return money && moneyExact && (cls == ValueClass::BigDecimal || cls == ValueClass::Object);
    }
};

class Filler {
  public:
    Filler(const Report& r, const std::vector<Value>& parameters,
           const std::function<void(Page&&)>& sink, const FillState* atEnd)
        : r_(r), sink_(sink), atEnd_(atEnd), crosstabs_(r) {
        state_.parameters = parameters;
        state_.fields.assign(r.fields.size(), engine::Null{});
        state_.variables.assign(size_t(VariableSlot(r, r.variables.size())), engine::Null{});
        vars_.resize(r.variables.size());
        groupStarts_.assign(r.groups.size(), 0);
        bottom_ = r.pageHeight - r.bottomMargin;
        // Room for the footers; the last page's may be the taller one.
        reserve_ = (r.columnFooter ? r.columnFooter->height : 0) +
                   std::max(r.pageFooter ? r.pageFooter->height : 0.0,
                            r.lastPageFooter ? r.lastPageFooter->height : 0.0);
        lookup_ = [this](RefKind kind, int slot) -> const Value& {
            return Read(state_, kind, slot);
        };
        endLookup_ = [this](RefKind kind, int slot) -> const Value& {
            return Read(atEnd_ != nullptr ? *atEnd_ : state_, kind, slot);
        };
    }

    int Run(RowSource& rows, FillState* final) {
        std::vector<Value> next;
        bool have = rows.Next(next);
        state_.variables[vColumnNumber] = std::int64_t{1};
        state_.variables[vReportCount] = std::int64_t{0};
        ResetVariables(ResetType::Report, -1);
        for (size_t g = 0; g < r_.groups.size(); ++g)
            state_.variables[size_t(GroupCountSlot(g))] = std::int64_t{0};

        if (!have && r_.whenNoData != Report::NoData::AllSectionsNoDetail) {
            if (r_.whenNoData == Report::NoData::NoPages) {
                if (final) *final = state_;
                return 0;
            }
            // One page: blank, or holding the noData band alone.
            ++pageNumber_;
            state_.variables[vPageNumber] = std::int64_t{pageNumber_};
            y_ = r_.topMargin;
            if (r_.whenNoData == Report::NoData::NoDataSection && r_.noData)
                PlaceIfPrinted(*r_.noData);
            sink_(std::move(page_));
            if (final) *final = state_;
            return pageNumber_;
        }
        std::vector<Value> groupValues(r_.groups.size());
        bool first = true;
        while (have) {
            // Group values of the new row decide which groups end here.
            std::swap(state_.fields, next);
            std::vector<Value> newGroupValues(r_.groups.size());
            for (size_t g = 0; g < r_.groups.size(); ++g)
                newGroupValues[g] = Evaluate(r_.groups[g].expression);
            size_t breakAt = r_.groups.size();
            if (!first) {
                for (size_t g = 0; g < r_.groups.size(); ++g)
                    if (!SameValue(groupValues[g], newGroupValues[g])) {
                        breakAt = g;
                        break;
                    }
                // Footers show the rows that end: evaluate them on the old row.
                std::swap(state_.fields, next);
                for (size_t g = r_.groups.size(); g-- > breakAt;)
                    PrintBands(r_.groups[g].footers);
                std::swap(state_.fields, next);
            } else {
                StartPage();
                breakAt = 0;
                first = false;
            }
            for (size_t g = breakAt; g < r_.groups.size(); ++g) {
                ResetVariables(ResetType::Group, int(g));
                crosstabs_.Reset(ResetType::Group, int(g));
                state_.variables[size_t(GroupCountSlot(g))] = std::int64_t{0};
                const GroupDef& group = r_.groups[g];
                ++groupStarts_[g];
                if (contentOnPage_ && (group.startNewPage || y_ + group.minHeightToStartNewPage >
                                                                 bottom_ - reserve_ + 1e-6))
                    NewPage();
                PrintBands(r_.groups[g].headers);
            }
            groupValues = std::move(newGroupValues);
            // Kept in case the row's first band moves to a new page: the page
            // that ends then must not count it.
            beforeRow_ = state_.variables;
            beforeRowVars_ = vars_;
            Count(vReportCount);
            Count(vPageCount);
            for (size_t g = 0; g < r_.groups.size(); ++g)
                Count(GroupCountSlot(g));
            IncrementVariables(false);
            crosstabs_.Add([this](const Expression& x) { return Evaluate(x); });
            rowPending_ = true;
            for (const Band& band : r_.details)
                PrintBand(band);
            rowPending_ = false;
            have = rows.Next(next);
        }
        if (first)
            StartPage(); // no rows, all sections but the detail
        else
            for (size_t g = r_.groups.size(); g-- > 0;)
                PrintBands(r_.groups[g].footers);
        if (r_.summary) PrintBand(r_.summary);
        EndPage(true);
        if (final) *final = state_;
        return pageNumber_;
    }

  private:
    const Value& Read(const FillState& s, RefKind kind, int slot) const {
        static const Value null;
        const auto& list = kind == RefKind::Field       ? s.fields
                           : kind == RefKind::Parameter ? s.parameters
                                                        : s.variables;
        if (slot < 0 || size_t(slot) >= list.size()) return null;
        return list[size_t(slot)];
    }

    Value Evaluate(const Expression& e) {
        try {
            return e.Evaluate(lookup_);
        } catch (const ExpressionError& x) {
            throw FillError(std::string("Error evaluating the expression \"") + e.Text() +
                            "\": " + x.what() + ".");
        }
    }

    static bool SameValue(const Value& a, const Value& b) {
        if (a.index() != b.index()) return false;
        return a == b;
    }

    void Count(int slot) {
        auto& v = state_.variables[size_t(slot)];
        v = std::get<std::int64_t>(v) + 1;
    }

    static Value AsClass(double number, bool allInts, std::int64_t intValue, ValueClass cls) {
        switch (cls) {
        case ValueClass::Integer:
        case ValueClass::Long:
            return allInts ? intValue : static_cast<std::int64_t>(std::trunc(number));
        case ValueClass::Double:
        case ValueClass::BigDecimal:
            return number;
        default:
            return allInts ? Value(intValue) : Value(number);
        }
    }

    void ResetVariables(ResetType type, int group) {
        for (size_t i = 0; i < r_.variables.size(); ++i) {
            const VariableDef& def = r_.variables[i];
            if (def.reset != type || (type == ResetType::Group && def.resetGroup != group))
                continue;
            VariableState& s = vars_[i];
            s = VariableState{};
            s.value = def.initialValue.Empty() ? Value() : Evaluate(def.initialValue);
            if (def.calculation == Calculation::Count && engine::IsNull(s.value))
                s.value = AsClass(0, true, 0, def.valueClass);
            if (const auto* n = std::get_if<std::int64_t>(&s.value)) {
                s.intSum = *n;
                s.sum = double(*n);
                s.AddMoney(s.value);
            } else if (const auto* d = std::get_if<double>(&s.value)) {
                s.sum = *d;
                s.allInts = false;
                s.moneyExact = false;
            } else if (const auto* c = std::get_if<engine::Currency>(&s.value)) {
                s.sum = engine::CurrencyToDouble(*c);
                s.allInts = false;
                s.AddMoney(s.value);
            }
            state_.variables[size_t(VariableSlot(r_, i))] = s.value;
        }
    }

    // `pageOnly`: just the variables reset per page (a row that moved on).
    void IncrementVariables(bool pageOnly) {
        for (size_t i = 0; i < r_.variables.size(); ++i) {
            const VariableDef& def = r_.variables[i];
            if (pageOnly && def.reset != ResetType::Page) continue;
            VariableState& s = vars_[i];
            if (def.calculation == Calculation::System) continue; // never calculated
            const Value v = Evaluate(def.expression);
            switch (def.calculation) {
            case Calculation::System:
                break;
            case Calculation::Nothing:
                s.value = v;
                break;
            case Calculation::Count:
                if (!engine::IsNull(v)) ++s.count;
                s.value =
                    AsClass(double(s.count) + s.sum, true, s.count + s.intSum, def.valueClass);
                break;
            case Calculation::Sum:
            case Calculation::Average: {
                if (engine::IsNull(v)) break;
                const auto* i = std::get_if<std::int64_t>(&v);
                const auto* d = std::get_if<double>(&v);
                const auto* c = std::get_if<engine::Currency>(&v);
                if (!i && !d && !c)
                    throw FillError("The variable " + def.name +
                                    " sums a value that is not a number.");
                ++s.count;
                if (i) {
                    s.sum += double(*i);
                    if (__builtin_add_overflow(s.intSum, *i, &s.intSum)) s.allInts = false;
                } else {
                    s.sum += d ? *d : engine::CurrencyToDouble(*c);
                    s.allInts = false;
                }
                s.AddMoney(v);
                if (def.calculation == Calculation::Sum && s.ExactMoney(def.valueClass)) {
                    s.value = engine::Currency{s.moneySum};
                } else if (def.calculation == Calculation::Sum) {
                    s.value = AsClass(s.sum, s.allInts, s.intSum, def.valueClass);
                } else {
                    const double avg = s.sum / double(s.count);
                    s.value = AsClass(avg,
                                      s.allInts && def.valueClass != ValueClass::Object &&
                                          def.valueClass != ValueClass::Double &&
                                          def.valueClass != ValueClass::BigDecimal,
                                      s.allInts ? s.intSum / s.count : 0, def.valueClass);
                }
                break;
            }
            case Calculation::Lowest:
            case Calculation::Highest: {
                if (engine::IsNull(v)) break;
                if (++s.count == 1 || Better(v, s.value, def.calculation == Calculation::Lowest))
                    s.value = v;
                break;
            }
            }
            state_.variables[size_t(VariableSlot(r_, i))] = s.value;
        }
    }

    static bool Better(const Value& v, const Value& current, bool lowest) {
        if (engine::IsNull(current)) return true;
        if (const auto* a = std::get_if<engine::Currency>(&v)) {
            if (const auto* b = std::get_if<engine::Currency>(&current))
                return lowest ? a->units < b->units : a->units > b->units;
        }
        const auto number = [](const Value& x, double& out) {
            if (const auto* i = std::get_if<std::int64_t>(&x))
                out = double(*i);
            else if (const auto* d = std::get_if<double>(&x))
                out = *d;
            else if (const auto* c = std::get_if<engine::Currency>(&x))
                out = engine::CurrencyToDouble(*c);
            else
                return false;
            return true;
        };
        double a = 0, b = 0;
        if (number(v, a) && number(current, b)) return lowest ? a < b : a > b;
        if (v.index() == current.index() && v.index() == 4) {
            const int c = std::get<std::string>(v).compare(std::get<std::string>(current));
            return lowest ? c < 0 : c > 0;
        }
        if (v.index() == current.index() && v.index() == 5) {
            const auto& x = std::get<engine::DateTime>(v);
            const auto& y = std::get<engine::DateTime>(current);
            const auto kx = std::tie(x.year, x.month, x.day, x.hour, x.minute, x.second);
            const auto ky = std::tie(y.year, y.month, y.day, y.hour, y.minute, y.second);
            return lowest ? kx < ky : kx > ky;
        }
        return false;
    }

    // ---- pages -----------------------------------------------------------------

    void StartPage() {
        ++pageNumber_;
        page_ = Page{};
        y_ = r_.topMargin;
        contentOnPage_ = false;
        state_.variables[vPageNumber] = std::int64_t{pageNumber_};
        state_.variables[vPageCount] = std::int64_t{0};
        ResetVariables(ResetType::Page, -1);
        crosstabs_.Reset(ResetType::Page, -1);
        if (r_.background) {
            // Behind everything else on the page, from its top margin.
            PlaceIfPrinted(*r_.background);
            y_ = r_.topMargin;
        }
        if (pageNumber_ == 1 && r_.title) PlaceIfPrinted(*r_.title);
        if (r_.pageHeader) PlaceIfPrinted(*r_.pageHeader);
        if (r_.columnHeader) PlaceIfPrinted(*r_.columnHeader);
    }

    void EndPage(bool last = false) {
        if (r_.columnFooter) {
            y_ = bottom_ - reserve_;
            PlaceIfPrinted(*r_.columnFooter);
        }
        // The last page has its own footer when the report gives one.
        const std::optional<Band>& footer =
            last && r_.lastPageFooter ? r_.lastPageFooter : r_.pageFooter;
        if (footer) {
            y_ = bottom_ - footer->height;
            PlaceIfPrinted(*footer);
        }
        sink_(std::move(page_));
        page_ = Page{};
    }

    void NewPage() {
        EndPage();
        StartPage();
    }

    // The current row's first band does not fit: the page ends with the values
    // from before the row, and the row counts on the new page.
    void MoveRowToNewPage() {
        std::vector<Value> afterRow = state_.variables;
        std::vector<VariableState> afterRowVars = vars_;
        state_.variables = beforeRow_;
        vars_ = beforeRowVars_;
        EndPage();
        state_.variables = std::move(afterRow);
        vars_ = std::move(afterRowVars);
        StartPage();
        Count(vPageCount);
        IncrementVariables(true);
    }

    void PrintBands(const std::vector<Band>& bands) {
        for (const Band& band : bands)
            PrintBand(band);
    }

    void PrintBand(const std::optional<Band>& band) {
        if (band) PrintBand(*band);
    }

    bool Printed(const Band& band) {
        return band.printWhen.Empty() || Truth(Evaluate(band.printWhen));
    }

    static bool Truth(const Value& v) {
        const auto* b = std::get_if<bool>(&v);
        return b != nullptr && *b;
    }

    void PlaceIfPrinted(const Band& band) {
        if (Printed(band)) Place(band, Layout(band));
    }

    void PrintBand(const Band& band) {
        if (!Printed(band)) return;
        LaidOut laid = Layout(band);
        if (y_ + laid.height > bottom_ - reserve_ + 1e-6 && contentOnPage_) {
            if (rowPending_) {
                MoveRowToNewPage();
            } else {
                NewPage();
            }
            laid = Layout(band); // page variables changed
        }
        auto rest = std::move(laid.crosstabRest);
        Place(band, std::move(laid));
        contentOnPage_ = true;
        rowPending_ = false;
        // A crosstab too long for the page continues on the next ones.
        for (auto& [x, pieces] : rest)
            while (!pieces->Done()) {
                NewPage();
                CrosstabPiece piece = pieces->Next(bottom_ - reserve_ - y_, true);
                for (auto& item : piece.items) {
                    item.rect.translate(r_.leftMargin + x, y_);
                    page_.items.push_back(std::move(item));
                }
                y_ += piece.height;
                contentOnPage_ = true;
            }
    }

    struct LaidOut {
        double height = 0;
        std::vector<PageItem> items;
        // Values of elements that do not repeat them, noted when the band is placed.
        std::vector<std::pair<const Element*, QString>> printed;
        // Crosstabs' first pieces (by element) and what follows on later pages.
        std::vector<std::pair<size_t, std::vector<PageItem>>> crosstabItems;
        std::vector<std::pair<double, std::unique_ptr<CrosstabPieces>>> crosstabRest;
    };

    // Whether an element that does not repeat its values leaves `key` out.
    bool Repeated(const Element& e, const QString& key) const {
        const auto it = repeats_.find(&e);
        if (it == repeats_.end() || it->second.first != key) return false;
        if (e.printInFirstWholeBand && !contentOnPage_) return false;
        if (e.groupChangesIndex >= 0 &&
            it->second.second != groupStarts_[size_t(e.groupChangesIndex)])
            return false;
        return true;
    }

    // Removes the strips of left-out elements that asked for it and that no
    // printed element shares; what is below moves up.
    static void RemoveBlankLines(const Band& band, const std::vector<bool>& shown, LaidOut& out) {
        std::vector<std::pair<double, double>> strips;
        for (size_t i = 0; i < band.elements.size(); ++i) {
            const Element& e = band.elements[i];
            if (shown[i] || !e.removeLineWhenBlank || e.height <= 0) continue;
            bool shared = false;
            for (size_t j = 0; j < band.elements.size(); ++j)
                if (shown[j] && out.items[j].rect.top() < e.y + e.height - 1e-6 &&
                    out.items[j].rect.bottom() > e.y + 1e-6)
                    shared = true;
            if (!shared) strips.emplace_back(e.y, e.y + e.height);
        }
        if (strips.empty()) return;
        std::sort(strips.begin(), strips.end());
        std::vector<std::pair<double, double>> merged;
        for (const auto& s : strips)
            if (!merged.empty() && s.first <= merged.back().second)
                merged.back().second = std::max(merged.back().second, s.second);
            else
                merged.push_back(s);
        double total = 0;
        for (const auto& m : merged)
            total += m.second - m.first;
        for (size_t i = 0; i < out.items.size(); ++i) {
            double shift = 0;
            for (const auto& m : merged)
                if (m.second <= band.elements[i].y + 1e-6) shift += m.second - m.first;
            out.items[i].rect.translate(0, -shift);
        }
        out.height = std::max(0.0, out.height - total);
    }

    // The band's elements with their texts and stretched sizes, relative to the band.
    LaidOut Layout(const Band& band) {
        LaidOut out;
        out.height = band.height;
        out.items.reserve(band.elements.size());
        std::vector<double> growth(band.elements.size(), 0.0);
        std::vector<bool> shown(band.elements.size(), true);
        for (size_t i = 0; i < band.elements.size(); ++i) {
            const Element& plain = band.elements[i];
            PageItem item;
            item.element = &plain;
            item.rect = QRectF(plain.x, plain.y, plain.width, plain.height);
            if (!plain.printWhen.Empty() && !Truth(Evaluate(plain.printWhen))) {
                shown[i] = false;
                out.items.push_back(std::move(item));
                continue;
            }
            if (!plain.conditionals.empty()) {
                item.styled = Styled(plain);
                item.element = item.styled.get();
            }
            const Element& e = *item.element;
            if (e.kind == ElementKind::Crosstab) {
                growth[i] = LayCrosstab(band, plain, i, item, out);
                shown[i] = false; // its cells are the items
                out.items.push_back(std::move(item));
                continue;
            }
            if (e.kind == ElementKind::StaticText) {
                item.text = QString::fromStdString(e.text);
            } else if (e.kind == ElementKind::TextField) {
                Value v;
                try {
                    v = e.atReportEnd ? e.expression.Evaluate(endLookup_) : Evaluate(e.expression);
                } catch (const ExpressionError& x) {
                    throw FillError(std::string("Error evaluating the expression \"") +
                                    e.expression.Text() + "\": " + x.what() + ".");
                }
                if (engine::IsNull(v) && (e.blankWhenNull || e.expression.Empty()))
                    item.text.clear();
                else
                    item.text = FormatValue(v, e.pattern);
            }
            if (e.kind == ElementKind::Image) Picture(e, item);
            if (!plain.printRepeated) {
                const QString key = e.kind != ElementKind::Image ? item.text
                                    : item.drawing ? QString::number(quintptr(item.drawing.get()))
                                                   : QString::number(item.image.cacheKey());
                if (Repeated(plain, key)) {
                    shown[i] = false;
                    out.items.push_back(std::move(item));
                    continue;
                }
                out.printed.emplace_back(&plain, key);
            }
            // Turned text keeps its box: its lines run along the box's height.
            if (e.kind == ElementKind::TextField && e.stretch && !item.text.isEmpty() &&
                e.style.rotation == TextStyle::Rotation::None) {
                const double needed = TextHeight(e, item.text) + e.box.top + e.box.bottom;
                if (needed > e.height) {
                    growth[i] = needed - e.height;
                    item.rect.setHeight(needed);
                }
            }
            out.items.push_back(std::move(item));
        }
        // Floating elements move down by the growth of what ends above them.
        for (size_t i = 0; i < band.elements.size(); ++i) {
            const Element& e = band.elements[i];
            if (!e.floating) continue;
            double shift = 0;
            for (size_t j = 0; j < band.elements.size(); ++j) {
                const Element& a = band.elements[j];
                if (j != i && a.y + a.height <= e.y + 1e-6) shift = std::max(shift, growth[j]);
            }
            out.items[i].rect.translate(0, shift);
        }
        for (const auto& item : out.items) {
            const Element& e = *item.element;
            const double below = std::max(0.0, band.height - (e.y + e.height));
            out.height = std::max(out.height, item.rect.bottom() + below);
        }
        RemoveBlankLines(band, shown, out);
        for (auto& [i, items] : out.crosstabItems)
            for (auto& item : items)
                item.rect.translate(out.items[i].rect.topLeft());
        // Elements left out leave their place empty.
        size_t kept = 0;
        for (size_t i = 0; i < out.items.size(); ++i)
            if (shown[i]) out.items[kept++] = std::move(out.items[i]);
        out.items.resize(kept);
        for (auto& [i, items] : out.crosstabItems)
            for (auto& item : items)
                out.items.push_back(std::move(item));
        return out;
    }

    // The crosstab's first piece, in the room the page has left below it;
    // returns how much the element grows.
    double LayCrosstab(const Band& band, const Element& e, size_t index, PageItem& item,
                       LaidOut& out) {
        const double below = std::max(0.0, band.height - (e.y + e.height));
        const double width =
            e.crosstab->ignoreWidth ? r_.pageWidth - r_.leftMargin - r_.rightMargin - e.x : e.width;
        auto pieces = crosstabs_.Lay(
            e, [this](const Expression& x) { return Evaluate(x); }, width);
        if (!pieces) return 0;
        CrosstabPiece piece = pieces->Next(bottom_ - reserve_ - y_ - e.y - below, !contentOnPage_);
        // Nothing fitted: tall enough that the band moves to the next page.
        const double height =
            piece.items.empty() && !pieces->Done() ? pieces->Needed() : piece.height;
        item.rect.setHeight(height);
        out.crosstabItems.emplace_back(index, std::move(piece.items));
        if (!pieces->Done()) out.crosstabRest.emplace_back(e.x, std::move(pieces));
        return std::max(0.0, height - e.height);
    }

    // An image element's picture: a file named by its expression (relative
    // to the report's folder) or the bytes of a binary value. A null value
    // shows nothing; what cannot be read stops the print unless the element's
    // onErrorType says to leave it blank.
    void Picture(const Element& e, PageItem& item) {
        const Value v = Evaluate(e.expression);
        if (engine::IsNull(v)) return;
        std::string problem;
        QImage image;
        if (const auto* blob = std::get_if<engine::Blob>(&v)) {
            image.loadFromData(blob->data(), qsizetype(blob->size()));
            if (image.isNull())
                problem = "The image data of \"" + e.expression.Text() +
                          "\" are not in a known image format.";
        } else if (const auto* name = std::get_if<std::string>(&v)) {
            const Loaded& loaded = ImageFile(*name);
            image = loaded.image;
            item.drawing = loaded.drawing;
            problem = loaded.problem;
        } else {
            problem = "The image expression \"" + e.expression.Text() +
                      "\" gives neither a file name nor image data.";
        }
        if (!problem.empty() && e.onError == Element::OnError::Error) throw FillError(problem);
        item.image = image;
    }

    struct Loaded {
        QImage image;
        std::shared_ptr<QSvgRenderer> drawing;
        std::string problem;
    };

    // A picture file, read once per fill.
    const Loaded& ImageFile(const std::string& name) {
        if (auto it = images_.find(name); it != images_.end()) return it->second;
        if (images_.size() >= 256) images_.clear();
        Loaded& l = images_[name];
        QString path = QString::fromStdString(name);
        if (path.startsWith("file:")) path = QUrl(path).toLocalFile();
        if (QDir::isRelativePath(path) && !r_.folder.isEmpty())
            path = QDir(r_.folder).filePath(path);
        if (path.contains("://")) {
            l.problem = "The image " + name +
                        " would be read from the network, which the report engine does not do.";
        } else if (QDir::isRelativePath(path)) {
            l.problem = "The image " + name + " could not be read (no report folder).";
        } else if (path.endsWith(".svg", Qt::CaseInsensitive) ||
                   path.endsWith(".svgz", Qt::CaseInsensitive)) {
            auto drawing = std::make_shared<QSvgRenderer>(path);
            if (drawing->isValid())
                l.drawing = std::move(drawing);
            else
                l.problem = "The image " + name + " could not be read (not a valid SVG drawing).";
        } else {
            QImageReader reader(path);
            reader.setAllocationLimit(256); // megabytes: a hostile header cannot exhaust memory
            if (!reader.read(&l.image))
                l.problem = "The image " + name + " could not be read (" +
                            reader.errorString().toStdString() + ").";
        }
        return l;
    }

    // The element with the conditional styles that hold for this row applied
    // over its style and under its own attributes; one copy per combination.
    std::shared_ptr<const Element> Styled(const Element& e) {
        std::uint64_t mask = 0;
        for (size_t c = 0; c < e.conditionals.size() && c < 64; ++c)
            if (Truth(Evaluate(e.conditionals[c].condition))) mask |= std::uint64_t{1} << c;
        auto& slot = styled_[{&e, mask}];
        if (!slot) {
            auto copy = std::make_shared<Element>(e);
            for (size_t c = 0; c < e.conditionals.size() && c < 64; ++c)
                if (mask & (std::uint64_t{1} << c)) ApplyStyle(*copy, e.conditionals[c].props);
            if (e.own) ApplyStyle(*copy, *e.own);
            copy->conditionals.clear();
            slot = std::move(copy);
        }
        return slot;
    }

    double TextHeight(const Element& e, const QString& text) {
        QFont font(e.style.fontName);
        font.setPointSizeF(e.style.size);
        font.setBold(e.style.bold);
        font.setItalic(e.style.italic);
        const QFontMetricsF metrics(font, &MeasureDevice());
        const double width = std::max(1.0, e.width - e.box.left - e.box.right);
        const QRectF box = metrics.boundingRect(QRectF(0, 0, width, 1e6), Qt::TextWordWrap, text);
        return std::ceil(box.height());
    }

    void Place(const Band&, LaidOut laid) {
        for (const auto& [element, key] : laid.printed)
            repeats_[element] = {key, element->groupChangesIndex >= 0
                                          ? groupStarts_[size_t(element->groupChangesIndex)]
                                          : 0};
        for (auto& item : laid.items) {
            item.rect.translate(r_.leftMargin, y_);
            page_.items.push_back(std::move(item));
        }
        y_ += laid.height;
    }

    const Report& r_;
    const std::function<void(Page&&)>& sink_;
    const FillState* atEnd_;
    FillState state_;
    std::vector<VariableState> vars_;
    std::function<const Value&(RefKind, int)> lookup_, endLookup_;
    Page page_;
    int pageNumber_ = 0;
    double y_ = 0, bottom_ = 0, reserve_ = 0;
    bool contentOnPage_ = false;
    bool rowPending_ = false; // the current row has no band on a page yet
    std::vector<Value> beforeRow_;
    std::vector<VariableState> beforeRowVars_;
    std::map<std::pair<const Element*, std::uint64_t>, std::shared_ptr<const Element>> styled_;
    std::map<std::string, Loaded> images_;
    std::unordered_map<const Element*, std::pair<QString, std::uint64_t>> repeats_;
    std::vector<std::uint64_t> groupStarts_; // per group: how often it started
    CrosstabRuns crosstabs_;
};

} // namespace

void PrepareReport(Report& r) {
    for (auto& p : r.parameters)
        BindExpression(r, p.defaultValue);
    for (auto& v : r.variables) {
        BindExpression(r, v.expression);
        BindExpression(r, v.initialValue);
    }
    for (auto& g : r.groups) {
        BindExpression(r, g.expression);
        for (auto& band : g.headers)
            BindElements(r, band);
        for (auto& band : g.footers)
            BindElements(r, band);
    }
    for (auto* band : {&r.title, &r.pageHeader, &r.columnHeader, &r.columnFooter, &r.pageFooter,
                       &r.summary, &r.lastPageFooter, &r.background, &r.noData})
        BindBand(r, *band);
    for (auto& band : r.details)
        BindElements(r, band);
}

std::vector<Value>
ParameterValues(const Report& r, const std::vector<std::pair<std::string, Expression>>& formulas) {
    std::vector<Value> values(r.parameters.size());
    FillState none;
    const auto lookup = [&](RefKind kind, int slot) -> const Value& {
        static const Value null;
        // Defaults may read parameters declared before them.
        if (kind == RefKind::Parameter && slot >= 0 && size_t(slot) < values.size())
            return values[size_t(slot)];
        return null;
    };
    for (size_t i = 0; i < r.parameters.size(); ++i) {
        const ParameterDef& p = r.parameters[i];
        const Expression* source = &p.defaultValue;
        for (const auto& [name, e] : formulas)
            if (name == p.name) source = &e;
        try {
            values[i] = ConvertToClass(source->Evaluate(lookup), p.valueClass, p.name);
        } catch (const ExpressionError& x) {
            throw FillError("Error evaluating the parameter " + p.name + ": " + x.what() + ".");
        } catch (const SourceError& x) {
            throw FillError(x.what());
        }
    }
    return values;
}

int FillReport(const Report& report, const std::vector<Value>& parameters, RowSource& rows,
               const std::function<void(Page&&)>& sink, const FillState* atEnd, FillState* final) {
    Filler filler(report, parameters, sink, atEnd);
    return filler.Run(rows, final);
}

} // namespace printengine
