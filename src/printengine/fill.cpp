#include "printengine/fill.h"

#include "engine/convert.h"
#include "printengine/evaluation.h"
#include "printengine/format.h"

#include <QDir>
#include <QFontMetricsF>
#include <QImage>
#include <QImageReader>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <deque>
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
        if (e.evaluation == EvaluationTime::Group) {
            e.evaluationGroup = FindName(r.groups, e.evaluationGroupName);
            if (e.evaluationGroup < 0 && !e.evaluationGroupName.empty())
                r.refusals.push_back("The report uses the unknown group \"" +
                                     e.evaluationGroupName +
                                     "\" in evaluationGroup, which the report engine does not "
                                     "support.");
        }
        BindExpression(r, e.expression);
        BindExpression(r, e.printWhen);
        for (auto& c : e.conditionals)
            BindExpression(r, c.condition);
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

class Filler {
  public:
    Filler(const Report& r, const std::vector<Value>& parameters,
           const std::function<void(Page&&)>& sink, const FillState* atEnd)
        : r_(r), sink_(sink), atEnd_(atEnd) {
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
        PlanGroupEnds();
    }

    int Run(RowSource& rows, FillState* final) {
        noteEnds_ = final != nullptr && !ends_->Empty();
        std::vector<Value> next;
        bool have = rows.Next(next);
        state_.variables[vColumnNumber] = std::int64_t{1};
        state_.variables[vReportCount] = std::int64_t{0};
        ResetVariables(ResetType::Report, -1);
        for (size_t g = 0; g < r_.groups.size(); ++g)
            state_.variables[size_t(GroupCountSlot(g))] = std::int64_t{0};

        if (!have && r_.whenNoData != Report::NoData::AllSectionsNoDetail) {
            if (r_.whenNoData == Report::NoData::NoPages) {
                Finish(final);
                return 0;
            }
            // One page: blank, or holding the noData band alone.
            ++pageNumber_;
            state_.variables[vPageNumber] = std::int64_t{pageNumber_};
            y_ = r_.topMargin;
            if (r_.whenNoData == Report::NoData::NoDataSection && r_.noData)
                PlaceIfPrinted(*r_.noData);
            ResolveDelayed();
            sink_(std::move(page_));
            Finish(final);
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
                for (size_t g = r_.groups.size(); g-- > breakAt;) {
                    PrintBands(r_.groups[g].footers);
                    NoteGroupEnd(g);
                }
                std::swap(state_.fields, next);
                TakeOverVariables(IncrementType::Group, breakAt);
            } else {
                StartPage();
                breakAt = 0;
                first = false;
            }
            for (size_t g = breakAt; g < r_.groups.size(); ++g) {
                ResetVariables(ResetType::Group, int(g));
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
            rowPending_ = true;
            for (const Band& band : r_.details)
                PrintBand(band);
            rowPending_ = false;
            have = rows.Next(next);
        }
        if (first)
            StartPage(); // no rows, all sections but the detail
        else
            for (size_t g = r_.groups.size(); g-- > 0;) {
                PrintBands(r_.groups[g].footers);
                NoteGroupEnd(g);
            }
        if (r_.summary) PrintBand(r_.summary);
        EndPage(true);
        Finish(final);
        return pageNumber_;
    }

  private:
    struct LaidOut;

    // ---- values that come later than their band -------------------------------

    // The values an Auto element's expression reads as its band is filled.
    struct Snapshot {
        std::vector<Value> fields, variables;
        std::vector<std::uint64_t> instances; // of each group
    };
    // An item on the current page whose value comes as the page ends.
    struct Pending {
        size_t item = 0; // in the band's items, then in the page's
        const Element* element = nullptr;
        std::shared_ptr<const Snapshot> now; // Auto
    };

    // Report-time text fields keep their own way (they read the final state).
    static bool Delayed(const Element& e) {
        switch (e.evaluation) {
        case EvaluationTime::Now:
        case EvaluationTime::Band:
            return false;
        case EvaluationTime::Report:
            return e.kind == ElementKind::Image;
        default:
            return true;
        }
    }

    // The value of a text field or image evaluated later than its band: what
    // is known already is set; what the page's end gives is noted in `out`.
    // Such elements keep their size (their text is not known as they are laid out).
    void DelayedValue(const Element& plain, const Element& e, size_t i, LaidOut& out,
                      PageItem& item) {
        switch (e.evaluation) {
        case EvaluationTime::Report:
            SetValue(e, EvaluateWith(e.expression, endLookup_), item);
            break;
        case EvaluationTime::Group: {
            const int g = e.evaluationGroup;
            Value v;
            if (g >= 0 && atEnd_ != nullptr && atEnd_->groupEnds)
                v = atEnd_->groupEnds->ElementValue(size_t(g), Instance(size_t(g)), &plain);
            SetValue(e, v, item);
            break;
        }
        case EvaluationTime::Auto:
            if (!ReadsPageValues(e)) {
                SetValue(e, EvaluateAuto(e, state_.fields, state_.variables, groupStarts_), item);
            } else {
                auto now = std::make_shared<Snapshot>();
                now->fields = state_.fields;
                now->variables = state_.variables;
                now->instances = groupStarts_;
                out.delayed.push_back({i, &e, std::move(now)});
            }
            break;
        default: // Page and Column: one column ends with its page
            out.delayed.push_back({i, &e, nullptr});
        }
    }

    void SetValue(const Element& e, const Value& v, PageItem& item) {
        if (e.kind == ElementKind::Image)
            Picture(e, item, v);
        else
            SetText(e, v, item);
    }

    static void SetText(const Element& e, const Value& v, PageItem& item) {
        if (engine::IsNull(v) && (e.blankWhenNull || e.expression.Empty()))
            item.text.clear();
        else
            item.text = FormatValue(v, e.pattern);
    }

    // The items left out of a band take their pending values with them.
    static void KeepDelayed(LaidOut& out, const std::vector<bool>& shown,
                            const std::vector<size_t>& keptAt) {
        std::vector<Pending> kept;
        for (auto& d : out.delayed)
            if (shown[d.item]) {
                d.item = keptAt[d.item];
                kept.push_back(std::move(d));
            }
        out.delayed = std::move(kept);
    }

    // The page ends: its waiting items take their values.
    void ResolveDelayed() {
        for (const auto& d : pending_) {
            if (d.item >= page_.items.size()) continue;
            const Element& e = *d.element;
            SetValue(e,
                     d.now ? EvaluateAuto(e, d.now->fields, d.now->variables, d.now->instances)
                           : EvaluateWith(e.expression, lookup_),
                     page_.items[d.item]);
        }
        pending_.clear();
    }

    std::uint64_t Instance(size_t group) const {
        return std::max<std::uint64_t>(groupStarts_[group], 1);
    }

    // When Auto takes a variable: at the end its reset names (a page's for a
    // column), or as the band is filled when it is never reset.
    enum class AutoTime { Now, Report, Page, Group };
    std::pair<AutoTime, int> AutoTimeOf(int slot) const {
        if (slot == vPageNumber || slot == vReportCount) return {AutoTime::Report, -1};
        if (slot == vPageCount || slot == vColumnNumber) return {AutoTime::Page, -1};
        if (slot < VariableSlot(r_, 0)) return {AutoTime::Group, slot - BuiltInCount};
        const VariableDef& def = r_.variables[size_t(slot - VariableSlot(r_, 0))];
        switch (def.reset) {
        case ResetType::Report:
            return {AutoTime::Report, -1};
        case ResetType::Page:
        case ResetType::Column:
            return {AutoTime::Page, -1};
        case ResetType::Group:
            return {AutoTime::Group, def.resetGroup};
        case ResetType::None:
            break;
        }
        return {AutoTime::Now, -1};
    }

    bool ReadsPageValues(const Element& e) {
        const auto it = readsPage_.find(&e);
        if (it != readsPage_.end()) return it->second;
        bool page = false;
        e.expression.ForEachReference([&](RefKind kind, const std::string& name) {
            const int slot = SlotOf(r_, kind, name);
            if (kind == RefKind::Variable && slot >= 0 && AutoTimeOf(slot).first == AutoTime::Page)
                page = true;
        });
        return readsPage_[&e] = page;
    }

    // Fields and parameters as the band was filled, each variable at its own time.
    Value EvaluateAuto(const Element& e, const std::vector<Value>& fields,
                       const std::vector<Value>& variables,
                       const std::vector<std::uint64_t>& instances) {
        std::deque<Value> held;
        const FillState& end = atEnd_ != nullptr ? *atEnd_ : state_;
        return EvaluateWith(e.expression, [&](RefKind kind, int slot) -> const Value& {
            static const Value null;
            if (kind == RefKind::Parameter) return Read(state_, kind, slot);
            const auto& now = kind == RefKind::Field ? fields : variables;
            if (slot < 0 || size_t(slot) >= now.size()) return null;
            if (kind == RefKind::Field) return now[size_t(slot)];
            const auto [time, group] = AutoTimeOf(slot);
            switch (time) {
            case AutoTime::Report:
                return Read(end, kind, slot);
            case AutoTime::Page:
                return Read(state_, kind, slot);
            case AutoTime::Group:
                if (group < 0 || atEnd_ == nullptr || !atEnd_->groupEnds) return null;
                held.push_back(atEnd_->groupEnds->SlotValue(
                    size_t(group), std::max<std::uint64_t>(instances[size_t(group)], 1), slot));
                return held.back();
            case AutoTime::Now:
                break;
            }
            return now[size_t(slot)];
        });
    }

    Value EvaluateWith(const Expression& x,
                       const std::function<const Value&(RefKind, int)>& lookup) const {
        try {
            return x.Evaluate(lookup);
        } catch (const ExpressionError& error) {
            throw FillError(std::string("Error evaluating the expression \"") + x.Text() +
                            "\": " + error.what() + ".");
        }
    }

    // The values of a group instance that ends, for the elements that show
    // them earlier in a later pass.
    void NoteGroupEnd(size_t g) {
        if (!noteEnds_) return;
        GroupEnds::Group& group = ends_->groups[g];
        for (const Element* e : group.elements) {
            try {
                group.values.push_back(Evaluate(e->expression));
            } catch (const FillError& x) {
                group.errors[group.values.size()] = x.what();
                group.values.emplace_back();
            }
        }
        for (int slot : group.variableSlots)
            group.values.push_back(state_.variables[size_t(slot)]);
    }

    void Finish(FillState* final) {
        if (final == nullptr) return;
        *final = state_;
        if (noteEnds_) final->groupEnds = ends_;
    }

    // What the ends of group instances are to keep: elements evaluated at a
    // group's end, and for Auto elements the variables each group resets.
    void PlanGroupEnds() {
        ends_ = std::make_shared<GroupEnds>();
        ends_->groups.resize(r_.groups.size());
        bool autoUsed = false;
        ForEachElement(r_, [&](const Element& e) {
            if (e.evaluation == EvaluationTime::Group && e.evaluationGroup >= 0 &&
                size_t(e.evaluationGroup) < r_.groups.size())
                ends_->groups[size_t(e.evaluationGroup)].elements.push_back(&e);
            autoUsed = autoUsed || e.evaluation == EvaluationTime::Auto;
        });
        if (!autoUsed) return;
        for (size_t g = 0; g < r_.groups.size(); ++g) {
            auto& variableSlots = ends_->groups[g].variableSlots;
            variableSlots.push_back(GroupCountSlot(g));
            for (size_t v = 0; v < r_.variables.size(); ++v)
                if (r_.variables[v].reset == ResetType::Group &&
                    r_.variables[v].resetGroup == int(g))
                    variableSlots.push_back(VariableSlot(r_, v));
        }
    }

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

    void ResetVariables(ResetType type, int group) {
        for (size_t i = 0; i < r_.variables.size(); ++i) {
            const VariableDef& def = r_.variables[i];
            // One column: a column is reset with its page. A variable never
            // reset starts with the report (the others as their page or group starts).
            const ResetType reset = def.reset == ResetType::Column ? ResetType::Page : def.reset;
            const bool starts =
                reset == type || (type == ResetType::Report && reset == ResetType::None);
            if (!starts || (type == ResetType::Group && def.resetGroup != group)) continue;
            ResetVariable(def, vars_[i],
                          def.initialValue.Empty() ? Value() : Evaluate(def.initialValue));
            state_.variables[size_t(VariableSlot(r_, i))] = vars_[i].value;
        }
    }

    // `pageOnly`: just the variables that a new page changes (a row that moved on).
    void IncrementVariables(bool pageOnly) {
        for (size_t i = 0; i < r_.variables.size(); ++i) {
            const VariableDef& def = r_.variables[i];
            if (pageOnly && !PageBound(def)) continue;
            if (def.calculation == Calculation::System) continue; // never calculated
            IncrementVariable(def, vars_[i], Evaluate(def.expression));
            state_.variables[size_t(VariableSlot(r_, i))] = vars_[i].value;
        }
    }

    // The variables incremented per page (or column, or `fromGroup` and the
    // groups inside it) take their running values as their base.
    void TakeOverVariables(IncrementType type, size_t fromGroup = 0) {
        for (size_t i = 0; i < r_.variables.size(); ++i) {
            const VariableDef& def = r_.variables[i];
            const bool ends =
                type == IncrementType::Page
                    ? def.increment == IncrementType::Page || def.increment == IncrementType::Column
                    : def.increment == type &&
                          (type != IncrementType::Group || def.incrementGroup >= int(fromGroup));
            if (ends) TakeOver(def, vars_[i]);
        }
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
        // One column: the column ends with its page.
        ResolveDelayed();
        TakeOverVariables(IncrementType::Page);
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
        // Variables incremented per page build on the page that ended; the
        // row is counted again below.
        for (size_t i = 0; i < r_.variables.size(); ++i)
            if (PageBound(r_.variables[i])) afterRowVars[i] = vars_[i];
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
        Place(band, std::move(laid));
        contentOnPage_ = true;
        rowPending_ = false;
    }

    struct LaidOut {
        double height = 0;
        std::vector<PageItem> items;
        // Values of elements that do not repeat them, noted when the band is placed.
        std::vector<std::pair<const Element*, QString>> printed;
        std::vector<Pending> delayed; // values that come as the page ends
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
            if (e.kind == ElementKind::StaticText) {
                item.text = QString::fromStdString(e.text);
            } else if (e.kind == ElementKind::TextField && Delayed(e)) {
                DelayedValue(plain, e, i, out, item);
            } else if (e.kind == ElementKind::TextField) {
                Value v;
                try {
                    v = e.atReportEnd ? e.expression.Evaluate(endLookup_) : Evaluate(e.expression);
                } catch (const ExpressionError& x) {
                    throw FillError(std::string("Error evaluating the expression \"") +
                                    e.expression.Text() + "\": " + x.what() + ".");
                }
                SetText(e, v, item);
            }
            if (e.kind == ElementKind::Image && Delayed(e))
                DelayedValue(plain, e, i, out, item);
            else if (e.kind == ElementKind::Image)
                Picture(e, item, Evaluate(e.expression));
            if (!plain.printRepeated && !Delayed(e)) {
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
                !Delayed(e) && e.style.rotation == TextStyle::Rotation::None) {
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
        // Elements left out leave their place empty.
        size_t kept = 0;
        std::vector<size_t> keptAt(out.items.size());
        for (size_t i = 0; i < out.items.size(); ++i)
            if (shown[i]) {
                keptAt[i] = kept;
                out.items[kept++] = std::move(out.items[i]);
            }
        out.items.resize(kept);
        KeepDelayed(out, shown, keptAt);
        return out;
    }

    // An image element's picture: a file named by its expression (relative
    // to the report's folder) or the bytes of a binary value. A null value
    // shows nothing; what cannot be read stops the print unless the element's
    // onErrorType says to leave it blank.
    void Picture(const Element& e, PageItem& item, const Value& v) {
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
        for (auto& d : laid.delayed) {
            d.item += page_.items.size();
            pending_.push_back(std::move(d));
        }
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
    std::vector<Pending> pending_;           // items of the current page
    std::shared_ptr<GroupEnds> ends_;
    bool noteEnds_ = false;
    std::unordered_map<const Element*, bool> readsPage_;
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
