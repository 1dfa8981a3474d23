#include "printengine/fill.h"

#include "engine/convert.h"
#include "printengine/bandlayout.h"
#include "printengine/chart.h"
#include "printengine/crosstab.h"
#include "printengine/dataset.h"
#include "printengine/evaluation.h"
#include "printengine/format.h"
#include "printengine/pageflow.h"
#include "printengine/sortedsource.h"
#include "printengine/subreport.h"
#include "printengine/textlayout.h"

#include <QDir>
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
enum BuiltIn { vPageNumber, vReportCount, vPageCount, vColumnNumber, vColumnCount, BuiltInCount };
const char* const BuiltInNames[] = {"PAGE_NUMBER", "REPORT_COUNT", "PAGE_COUNT", "COLUMN_NUMBER",
                                    "COLUMN_COUNT"};

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
        if (e.chart) PrepareChart(r, *e.chart, [&](Expression& x) { BindExpression(r, x); });
        for (auto& c : e.conditionals)
            BindExpression(r, c.condition);
        if (e.subreport)
            PrepareSubreport(r, *e.subreport, [&](Expression& x) { BindExpression(r, x); });
        if (e.crosstab)
            PrepareCrosstab(r, *e.crosstab, [&](Expression& x) { BindExpression(r, x); });
    }
}

void BindBand(Report& r, std::optional<Band>& band) {
    if (band) BindElements(r, *band);
}

class Filler {
  public:
    Filler(const Report& r, const std::vector<Value>& parameters,
           const std::function<void(Page&&)>& sink, const FillState* atEnd, SubreportRun& run,
           bool inlineFill = false)
        : r_(r), sink_(sink), atEnd_(atEnd), run_(run), inline_(inlineFill),
          charts_(
              r, [this](const Expression& e) { return Evaluate(e); },
              atEnd != nullptr ? atEnd->charts : nullptr),
          crosstabs_(r) {
        charts_.RunDatasetsWith(RunnerOfDatasets());
        state_.parameters = parameters;
        state_.fields.assign(r.fields.size(), engine::Null{});
        state_.variables.assign(size_t(VariableSlot(r, r.variables.size())), engine::Null{});
        vars_.resize(r.variables.size());
        groupStarts_.assign(r.groups.size(), 0);
        headerShown_.assign(r.groups.size(), false);
        // Without pagination nothing reaches the foot of the page.
        bottom_ = r.ignorePagination ? 1e12 : r.pageHeight - r.bottomMargin;
        // Room for the footers; the last page's may be the taller one.
        reserve_ = (r.columnFooter ? r.columnFooter->height : 0) +
                   std::max(r.pageFooter ? r.pageFooter->height : 0.0,
                            r.lastPageFooter ? r.lastPageFooter->height : 0.0);
        if (inline_) {
            // Inside another report's band: one endless page.
            bottom_ = 1e12;
            reserve_ = 0;
        }
        lookup_ = [this](RefKind kind, int slot) -> const Value& {
            return Read(state_, kind, slot);
        };
        endLookup_ = [this](RefKind kind, int slot) -> const Value& {
            return Read(atEnd_ != nullptr ? *atEnd_ : state_, kind, slot);
        };
        PlanGroupEnds();
    }

    double Height() const { return y_; }
    std::function<void(const FillState&)> onRow; // a dataset's run: each row's state

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
            ++pages_;
            ++pageNumber_;
            state_.variables[vPageNumber] = std::int64_t{pageNumber_};
            y_ = inline_ ? 0 : r_.topMargin;
            x_ = r_.leftMargin;
            if (r_.whenNoData == Report::NoData::NoDataSection && r_.noData)
                PlaceIfPrinted(*r_.noData);
            ResolveDelayed();
            sink_(std::move(page_));
            Finish(final);
            return pages_;
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
                PrintGroupFooters(breakAt);
                std::swap(state_.fields, next);
                TakeOverVariables(IncrementType::Group, breakAt);
            } else {
                StartPage();
                breakAt = 0;
                first = false;
            }
            for (size_t g = breakAt; g < r_.groups.size(); ++g) {
                ResetVariables(ResetType::Group, int(g));
                crosstabs_.Reset(ResetType::Group, int(g));
                state_.variables[size_t(GroupCountSlot(g))] = std::int64_t{0};
                ++groupStarts_[g];
                if (inline_)
                    PrintBands(r_.groups[g].headers); // inside another band: no breaks
                else
                    StartGroup(g);
            }
            groupValues = std::move(newGroupValues);
            // Kept in case the row's first band moves to a new page: the page
            // that ends then must not count it.
            beforeRow_ = state_.variables;
            beforeRowVars_ = vars_;
            Count(vReportCount);
            Count(vPageCount);
            Count(vColumnCount);
            ++keepRows_;
            for (size_t g = 0; g < r_.groups.size(); ++g)
                Count(GroupCountSlot(g));
            IncrementVariables(false);
            if (onRow) onRow(state_);
            charts_.RowDone();
            crosstabs_.Add([this](const Expression& x) { return Evaluate(x); });
            rowPending_ = true;
            PrintDetail();
            rowPending_ = false;
            have = rows.Next(next);
        }
        if (first)
            StartPage(); // no rows, all sections but the detail
        else
            PrintGroupFooters(0);
        if (inline_) {
            if (r_.columnFooter) PrintBand(*r_.columnFooter); // right under the rows
            if (r_.summary) PrintBand(*r_.summary);
            EndPage(true);
        } else {
            PrintSummary();
        }
        charts_.ReportEnds();
        Finish(final);
        return pages_;
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
        final->charts = charts_.Placements();
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
        charts_.Reset(type, group);
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
        BeginPage();
        if (!titleDone_ && r_.title) {
            titleDone_ = true;
            if (PlaceTitle()) return; // a long subreport in it went on: that page has its headers
            if (r_.titleNewPage && !r_.ignorePagination) {
                // The title's page holds the title alone.
                SendPage();
                BeginPage();
            }
        }
        titleDone_ = true;
        PageTop(true);
    }

    // A new page with its background, before any band of its own.
    void BeginPage() {
        ++pages_;
        ++pageNumber_;
        page_ = Page{};
        y_ = inline_ ? 0 : r_.topMargin;
        x_ = r_.leftMargin;
        contentOnPage_ = pageContent_ = false;
        summaryPage_ = false;
        SetColumn(0);
        state_.variables[vPageNumber] = std::int64_t{pageNumber_};
        state_.variables[vPageCount] = std::int64_t{0};
        state_.variables[vColumnCount] = std::int64_t{0};
        columnRows_.assign(size_t(r_.columnCount), 0);
        ResetVariables(ResetType::Page, -1);
        crosstabs_.Reset(ResetType::Page, -1);
        if (r_.background && !inline_) {
            // Behind everything else on the page, from its top margin.
            PlaceIfPrinted(*r_.background);
            y_ = r_.topMargin;
        }
    }

    // The page header, the column headers (one per column, side by side) and
    // the headers of groups that go on over the page.
    void PageTop(bool columnBands) {
        x_ = r_.leftMargin;
        if (r_.pageHeader && !inline_) PlaceIfPrinted(*r_.pageHeader);
        if (columnBands && r_.columnHeader) {
            const double top = y_;
            double lowest = top;
            for (int c = 0; c < r_.columnCount; ++c) {
                SetColumn(c);
                y_ = top;
                x_ = ColumnX(r_, c);
                PlaceIfPrinted(*r_.columnHeader);
                lowest = std::max(lowest, y_);
            }
            y_ = lowest;
            SetColumn(0);
        }
        columnTop_ = lowest_ = lineTop_ = y_;
        lineHeight_ = 0;
        if (columnBands) ReprintHeaders();
    }

    // Headers of groups that asked for it, again at the top of a page or
    // column where the group goes on.
    void ReprintHeaders() {
        for (size_t g = 0; g < r_.groups.size(); ++g) {
            if (!r_.groups[g].reprintHeader || !headerShown_[g]) continue;
            if (movingKeep_ && int(g) >= keep_.group) continue; // moving with its rows
            for (const Band& band : r_.groups[g].headers) {
                x_ = ColumnX(r_, col_);
                PlaceIfPrinted(band);
            }
        }
        lineTop_ = y_;
    }

    void EndPage(bool last = false) {
        EndLine();
        lowest_ = std::max({lowest_, y_, lineTop_ + lineHeight_});
        KeepColumnCount();
        if (r_.columnFooter && !summaryPage_ && !inline_) {
            // At the foot of the page, or right below the lowest column.
            const double top =
                r_.floatColumnFooter || r_.ignorePagination ? lowest_ : bottom_ - reserve_;
            double below = top;
            for (int c = 0; c < r_.columnCount; ++c) {
                SetColumn(c);
                state_.variables[vColumnCount] = std::int64_t{columnRows_[size_t(c)]};
                y_ = top;
                x_ = ColumnX(r_, c);
                PlaceIfPrinted(*r_.columnFooter);
                below = std::max(below, y_);
            }
            y_ = below;
        }
        // The last page has its own footer when the report gives one.
        const std::optional<Band>& footer =
            last && r_.lastPageFooter ? r_.lastPageFooter : r_.pageFooter;
        if (footer && !inline_ && (!summaryPage_ || r_.summaryWithPageBands)) {
            y_ = r_.ignorePagination ? y_ : bottom_ - footer->height;
            x_ = r_.leftMargin;
            PlaceIfPrinted(*footer);
        }
        SendPage();
    }

    // The title, in parts over pages when it holds a long subreport; true when
    // it went on to another page.
    bool PlaceTitle() {
        if (!Printed(*r_.title)) return false;
        const int before = pages_;
        LaidOut laid = Layout(*r_.title);
        PlaceParts(*r_.title, laid);
        Place(*r_.title, std::move(laid));
        return pages_ != before;
    }

    void SendPage() {
        // Column-time values and increments end with the page as well.
        ResolveDelayed();
        TakeOverVariables(IncrementType::Page);
        // Without pagination the one page is as tall as what it holds.
        if (r_.ignorePagination) page_.height = std::max(r_.pageHeight, y_ + r_.bottomMargin);
        sink_(std::move(page_));
        page_ = Page{};
    }

    void NewPage() {
        EndPage();
        StartPage();
    }

    void SetColumn(int c) {
        col_ = c;
        state_.variables[vColumnNumber] = std::int64_t{c + 1};
    }

    // Down the columns: the next column starts below the column headers.
    void NextColumn() {
        lowest_ = std::max(lowest_, y_);
        KeepColumnCount();
        // A row that moves on counts in the column it moves to.
        if (rowPending_) {
            columnRows_[size_t(col_)] -= 1;
            state_.variables[vColumnCount] = std::int64_t{1};
        } else {
            state_.variables[vColumnCount] = std::int64_t{0};
        }
        SetColumn(col_ + 1);
        y_ = columnTop_;
        contentOnPage_ = false;
        ReprintHeaders();
    }

    // The current column is full: the next column, or a new page.
    void Break() {
        if (!r_.horizontalOrder && col_ + 1 < r_.columnCount)
            NextColumn();
        else if (rowPending_)
            MoveRowToNewPage();
        else
            NewPage();
    }

    // Notes the current column's COLUMN_COUNT for its column footer.
    void KeepColumnCount() {
        if (const auto* n = std::get_if<std::int64_t>(&state_.variables[vColumnCount]))
            columnRows_[size_t(col_)] = *n;
    }

    bool Fits(double height) const { return y_ + height <= bottom_ - reserve_ + 1e-6; }

    // Rows across the columns: what is not a row's cell starts below the line.
    void EndLine() {
        if (!r_.horizontalOrder || inCell_) return;
        y_ = std::max(y_, lineTop_ + lineHeight_);
        SetColumn(0);
        lineTop_ = y_;
        lineHeight_ = 0;
    }

    // A row's detail bands: down the current column, or as the next cell of
    // the line across the columns.
    void PrintDetail() {
        if (!r_.horizontalOrder) {
            for (const Band& band : r_.details)
                PrintBand(band);
            return;
        }
        if (col_ == 0) { // a new line
            lineTop_ = y_;
            lineHeight_ = 0;
        }
        inCell_ = true;
        y_ = lineTop_;
        // Across the columns each column counts its own cells.
        state_.variables[vColumnCount] = std::int64_t{columnRows_[size_t(col_)] + 1};
        for (const Band& band : r_.details)
            PrintBand(band);
        KeepColumnCount();
        lineHeight_ = std::max(lineHeight_, y_ - lineTop_);
        inCell_ = false;
        if (col_ + 1 < r_.columnCount) {
            SetColumn(col_ + 1);
            y_ = lineTop_;
        } else {
            EndLine();
        }
    }

    // A group starts: the page or column breaks it asks for, then its header.
    void StartGroup(size_t g) {
        const GroupDef& group = r_.groups[g];
        EndLine();
        if (!r_.ignorePagination) {
            if (pageContent_ && (group.startNewPage || group.resetPageNumber))
                NewPage();
            else if (contentOnPage_ && group.startNewColumn && !r_.horizontalOrder)
                Break();
            else if (contentOnPage_ && !Fits(group.minHeightToStartNewPage))
                Break();
        }
        if (group.resetPageNumber) {
            pageNumber_ = 1;
            state_.variables[vPageNumber] = std::int64_t{1};
        }
        if (group.keepTogether && keep_.group < 0 && !r_.ignorePagination) {
            keep_ = Keep{int(g), page_.items.size(), y_, col_, pages_, false};
            keepRows_ = 0;
        }
        PrintBands(group.headers);
        headerShown_[g] = true;
    }

    // The footers of groups `from` and inward, innermost first; those that go
    // to the bottom of the page stack there, and the column is full after them.
    void PrintGroupFooters(size_t from) {
        if (from >= r_.groups.size()) return;
        EndLine();
        const std::vector<bool> down = FootersAtBottom(r_, from);
        std::vector<const Band*> stack;
        for (size_t g = r_.groups.size(); g-- > from;) {
            headerShown_[g] = false;
            NoteGroupEnd(g);
            // Charts take the group's values before its footers and show them after.
            charts_.GroupEnds(int(g));
            if (down[g] && !r_.ignorePagination) {
                for (const Band& band : r_.groups[g].footers)
                    stack.push_back(&band);
                charts_.GroupEvaluated(int(g));
                continue;
            }
            PlaceAtBottom(stack);
            PrintBands(r_.groups[g].footers);
            charts_.GroupEvaluated(int(g));
        }
        PlaceAtBottom(stack);
        if (keep_.group >= int(from)) keep_ = Keep{};
    }

    void PlaceAtBottom(std::vector<const Band*>& bands) {
        if (bands.empty()) return;
        std::vector<std::pair<const Band*, LaidOut>> laid;
        const auto layout = [&] {
            laid.clear();
            double height = 0;
            for (const Band* band : bands)
                if (Printed(*band)) {
                    laid.emplace_back(band, Layout(*band));
                    height += laid.back().second.height;
                }
            return height;
        };
        double height = layout();
        if (!Fits(height) && contentOnPage_) {
            Break();
            height = layout();
        }
        const double limit = bottom_ - reserve_;
        y_ = std::max(y_, limit - height);
        x_ = ColumnX(r_, col_);
        for (auto& [band, out] : laid)
            Place(*band, std::move(out));
        if (!laid.empty()) {
            contentOnPage_ = pageContent_ = true;
            y_ = std::max(y_, limit); // nothing more fits below them
        }
        bands.clear();
    }

    // The summary below the lowest column, on a page of its own when asked
    // or when it does not fit: that page has no page header or footer unless
    // the report wants them, and the page before it ends the report's pages.
    void PrintSummary() {
        EndLine();
        SetColumn(0);
        y_ = std::max(y_, lowest_);
        x_ = r_.leftMargin;
        if (!r_.summary || !Printed(*r_.summary)) {
            EndPage(true);
            return;
        }
        LaidOut laid = Layout(*r_.summary);
        if (!r_.ignorePagination && pageContent_ && (r_.summaryNewPage || !Fits(laid.height))) {
            EndPage(!r_.summaryWithPageBands);
            BeginPage();
            summaryPage_ = true;
            if (r_.summaryWithPageBands) PageTop(false);
            x_ = r_.leftMargin;
            laid = Layout(*r_.summary);
        }
        auto rest = std::move(laid.crosstabRest);
        Place(*r_.summary, std::move(laid));
        ContinueCrosstabs(rest);
        EndPage(true);
    }

    // The kept group's bands are on this page below other content: they move
    // to the next column or page with it, once.
    bool CanMoveKeep() const {
        return keep_.group >= 0 && !keep_.moved && keep_.page == pages_ && keep_.column == col_ &&
               keep_.y > columnTop_ + 1e-6 && keep_.item <= page_.items.size();
    }

    void MoveKeep() {
        std::vector<PageItem> moved(std::make_move_iterator(page_.items.begin() + keep_.item),
                                    std::make_move_iterator(page_.items.end()));
        page_.items.resize(keep_.item);
        const double height = std::max(y_, lineTop_ + lineHeight_) - keep_.y;
        const double fromX = ColumnX(r_, keep_.column), fromY = keep_.y;
        // Rows before the current one count on the page they move to.
        const std::int64_t rows = keepRows_ - (rowPending_ ? 1 : 0);
        const auto shiftCount = [&](std::vector<Value>& vars, std::int64_t by) {
            for (const int slot : {vPageCount, vColumnCount})
                if (auto* n = std::get_if<std::int64_t>(&vars[size_t(slot)])) *n += by;
        };
        shiftCount(state_.variables, -rows);
        if (rowPending_) shiftCount(beforeRow_, -rows);
        y_ = keep_.y;
        lineTop_ = y_;
        lineHeight_ = 0;
        movingKeep_ = true;
        Break();
        movingKeep_ = false;
        shiftCount(state_.variables, rows);
        const double dx = ColumnX(r_, col_) - fromX, dy = y_ - fromY;
        keep_.item = page_.items.size();
        keep_.y = y_;
        keep_.column = col_;
        keep_.page = pages_;
        keep_.moved = true;
        for (auto& item : moved) {
            item.rect.translate(dx, dy);
            page_.items.push_back(std::move(item));
        }
        y_ += height;
        lineTop_ = y_;
        contentOnPage_ = pageContent_ = true;
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
        Count(vColumnCount);
        IncrementVariables(true);
    }

    void PrintBands(const std::vector<Band>& bands) {
        for (const Band& band : bands)
            PrintBand(band);
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
        EndLine();
        LaidOut laid = Layout(band);
        if (!Fits(laid.height) && contentOnPage_ &&
            !(laid.splittable && BestCut(laid.items, bottom_ - reserve_ - y_) > 0)) {
            if (CanMoveKeep())
                MoveKeep();
            else
                Break();
            laid = Layout(band); // page variables changed
            if (!Fits(laid.height) && contentOnPage_) {
                Break(); // the group kept together is taller than the room
                laid = Layout(band);
            }
        }
        PlaceParts(band, laid);
        auto rest = std::move(laid.crosstabRest);
        x_ = ColumnX(r_, col_);
        Place(band, std::move(laid), true);
        contentOnPage_ = pageContent_ = true;
        rowPending_ = false;
        ContinueCrosstabs(rest);
    }

    // A crosstab too long for the page continues on the next ones.
    void ContinueCrosstabs(std::vector<std::pair<double, std::unique_ptr<CrosstabPieces>>>& rest) {
        for (auto& [x, pieces] : rest)
            while (!pieces->Done()) {
                NewPage();
                CrosstabPiece piece = pieces->Next(bottom_ - reserve_ - y_, true);
                x_ = ColumnX(r_, col_);
                for (auto& item : piece.items) {
                    item.rect.translate(x_ + x, y_);
                    page_.items.push_back(std::move(item));
                }
                y_ += piece.height;
                contentOnPage_ = pageContent_ = true;
            }
    }

    struct LaidOut {
        double height = 0;
        std::vector<PageItem> items;
        bool splittable = false; // holds a subreport: may be cut between pages
        std::vector<Returned> returned;
        // Values of elements that do not repeat them, noted when the band is placed.
        std::vector<std::pair<const Element*, QString>> printed;
        std::vector<Pending> delayed; // values that come as the page ends
        // Crosstabs' first pieces (by element) and what follows on later pages.
        std::vector<std::pair<size_t, std::vector<PageItem>>> crosstabItems;
        std::vector<std::pair<double, std::unique_ptr<CrosstabPieces>>> crosstabRest;
    };

    // Whether an element that does not repeat its values leaves `key` out.
    // A `constant` element (static text, shapes, frames) always shows the
    // same, so it repeats itself even the first time.
    bool Repeated(const Element& e, const QString& key, bool constant) const {
        const auto it = repeats_.find(&e);
        if (it == repeats_.end() ? !constant : it->second.first != key) return false;
        if (e.printInFirstWholeBand && !contentOnPage_) return false;
        if (e.groupChangesIndex >= 0 &&
            (it == repeats_.end() ||
             it->second.second != groupStarts_[size_t(e.groupChangesIndex)]))
            return false;
        return true;
    }

    // The band's elements with their texts and stretched sizes, relative to the band.
    LaidOut Layout(const Band& band) {
        LaidOut out;
        out.height = band.height;
        out.items.reserve(band.elements.size());
        std::vector<ElementFill> fill(band.elements.size());
        size_t hiddenUntil = 0; // a frame left out leaves out its contents
        std::vector<std::vector<PageItem>> inner(band.elements.size()); // subreports' items
        for (size_t i = 0; i < band.elements.size(); ++i) {
            const Element& plain = band.elements[i];
            PageItem item;
            item.element = &plain;
            if (i < hiddenUntil ||
                (!plain.printWhen.Empty() && !Truth(Evaluate(plain.printWhen)))) {
                fill[i].shown = false;
                hiddenUntil = std::max(hiddenUntil, i + 1 + plain.contents);
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
            if (e.kind == ElementKind::Crosstab) {
                // Its cells are items of their own; the element keeps the place.
                fill[i].needed = e.height + LayCrosstab(band, plain, i, item, out);
                out.items.push_back(std::move(item));
                continue;
            }
            if (e.kind == ElementKind::Subreport && e.subreport) {
                InlineContent content = FillSubreport(
                    r_, state_, e, [this](const Expression& x) { return Evaluate(x); }, run_);
                if (content.height > e.height) fill[i].needed = content.height;
                inner[i] = std::move(content.items);
                out.returned.insert(out.returned.end(), content.returned.begin(),
                                    content.returned.end());
                out.splittable = true;
            }
            if (!plain.printRepeated && !Delayed(e)) {
                const QString key = e.kind != ElementKind::Image ? item.text
                                    : item.drawing ? QString::number(quintptr(item.drawing.get()))
                                                   : QString::number(item.image.cacheKey());
                if (Repeated(plain, key,
                             e.kind != ElementKind::TextField && e.kind != ElementKind::Image)) {
                    fill[i].shown = false;
                    hiddenUntil = std::max(hiddenUntil, i + 1 + plain.contents);
                    out.items.push_back(std::move(item));
                    continue;
                }
                out.printed.emplace_back(&plain, key);
            }
            // A text with nothing to show that asks for its line to go is left out.
            if ((e.kind == ElementKind::StaticText || e.kind == ElementKind::TextField) &&
                plain.removeLineWhenBlank && item.text.isEmpty())
                fill[i].shown = false;
            // Turned text keeps its box: its lines run along the box's height.
            if (e.kind == ElementKind::TextField && e.stretch && !item.text.isEmpty() &&
                !Delayed(e) && e.style.rotation == TextStyle::Rotation::None)
                fill[i].needed = TextHeight(e, item.text) + e.box.top + e.box.bottom;
            out.items.push_back(std::move(item));
        }
        auto plan = plans_.find(&band);
        if (plan == plans_.end()) plan = plans_.emplace(&band, PlanBand(band)).first;
        const BandGeometry geometry = LayOutBand(band, plan->second, fill);
        out.height = geometry.height;
        std::vector<PageItem> contents;
        for (size_t i = 0; i < inner.size(); ++i)
            for (auto& item : inner[i]) {
                if (!fill[i].shown) break;
                item.rect.translate(geometry.rects[i].topLeft());
                contents.push_back(std::move(item));
            }
        for (auto& [i, items] : out.crosstabItems)
            for (auto& item : items) {
                if (!fill[i].shown) break;
                item.rect.translate(geometry.rects[i].topLeft());
                contents.push_back(std::move(item));
            }
        // Elements left out leave their place empty.
        size_t kept = 0;
        std::vector<size_t> keptAt(out.items.size());
        for (size_t i = 0; i < out.items.size(); ++i)
            if (fill[i].shown) {
                keptAt[i] = kept;
                out.items[i].rect = geometry.rects[i];
                out.items[kept++] = std::move(out.items[i]);
            }
        out.items.resize(kept);
        std::vector<bool> shown(fill.size());
        for (size_t i = 0; i < fill.size(); ++i)
            shown[i] = fill[i].shown;
        KeepDelayed(out, shown, keptAt);
        std::move(contents.begin(), contents.end(), std::back_inserter(out.items));
        return out;
    }

    // Runs a chart's or crosstab's dataset for the current row.
    DatasetRunner RunnerOfDatasets() {
        return
            [this](const DatasetRunDef& run, const std::function<void(const FillState&)>& onRow) {
                RunDataset(
                    r_, state_, run, [this](const Expression& x) { return Evaluate(x); },
                    run_.tables, onRow);
            };
    }

    // The crosstab's first piece, in the room the page has left below it;
    // returns how much the element grows.
    double LayCrosstab(const Band& band, const Element& e, size_t index, PageItem& item,
                       LaidOut& out) {
        const double below = std::max(0.0, band.height - (e.y + e.height));
        const double width =
            e.crosstab->ignoreWidth ? r_.pageWidth - r_.leftMargin - r_.rightMargin - e.x : e.width;
        auto pieces = crosstabs_.Lay(
            e, [this](const Expression& x) { return Evaluate(x); }, width, RunnerOfDatasets());
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

    // Measured with the layout the painter draws, so a stretched box holds every line.
    double TextHeight(const Element& e, const QString& text) {
        const double width = std::max(1.0, e.width - e.box.left - e.box.right);
        return std::ceil(TextBlockHeight(e.style, text, width) - 0.01);
    }

    // A band holding a subreport taller than the room left: its parts go on
    // the pages that follow, cut between the subreport's bands.
    void PlaceParts(const Band& band, LaidOut& laid) {
        while (laid.splittable && y_ + laid.height > bottom_ - reserve_ + 1e-6) {
            const double room = bottom_ - reserve_ - y_;
            double cut = BestCut(laid.items, room);
            if (cut <= 1e-6 && contentOnPage_) {
                rowPending_ = false; // the row's band is placed in parts
                Break();
                continue;
            }
            if (cut <= 1e-6) {
                // Nothing fits whole even on an empty page: cut through, unless
                // the page has no room worth a part.
                if (room < 1) return;
                cut = room;
            }
            LaidOut head;
            head.height = cut;
            head.printed = std::move(laid.printed);
            laid.printed.clear();
            std::vector<PageItem> rest;
            std::vector<std::pair<bool, size_t>> movedTo(laid.items.size()); // head?, index
            for (size_t i = 0; i < laid.items.size(); ++i) {
                PageItem& item = laid.items[i];
                if (item.rect.top() < cut - 1e-6) {
                    if (item.element->kind == ElementKind::Subreport)
                        item.rect.setBottom(std::min(item.rect.bottom(), cut));
                    movedTo[i] = {true, head.items.size()};
                    head.items.push_back(std::move(item));
                } else {
                    item.rect.translate(0, -cut);
                    movedTo[i] = {false, rest.size()};
                    rest.push_back(std::move(item));
                }
            }
            laid.items = std::move(rest);
            // Values that come later follow their items into the part they went to.
            std::vector<Pending> stays;
            for (Pending& d : laid.delayed) {
                if (d.item >= movedTo.size()) continue;
                const auto [inHead, at] = movedTo[d.item];
                d.item = at;
                (inHead ? head.delayed : stays).push_back(std::move(d));
            }
            laid.delayed = std::move(stays);
            laid.height -= cut;
            x_ = ColumnX(r_, col_);
            Place(band, std::move(head));
            contentOnPage_ = pageContent_ = true;
            rowPending_ = false;
            Break();
        }
    }

    // `mayBreak`: a band that does not fit even on a page of its own goes on
    // over the next pages.
    void Place(const Band&, LaidOut laid, bool mayBreak = false) {
        for (const Returned& r : laid.returned) {
            Value& to = state_.variables[size_t(r.slot)];
            to = CombineReturned(to, r.value, r.calculation);
            const int v = r.slot - VariableSlot(r_, 0);
            if (v >= 0 && size_t(v) < vars_.size()) vars_[size_t(v)].value = to;
        }
        for (const auto& [element, key] : laid.printed)
            repeats_[element] = {key, element->groupChangesIndex >= 0
                                          ? groupStarts_[size_t(element->groupChangesIndex)]
                                          : 0};
        if (mayBreak && y_ + laid.height > bottom_ - reserve_ + 1e-6) {
            // Its pieces are no longer the band's items: values that would
            // come later are taken now.
            for (const Pending& d : laid.delayed)
                if (d.item < laid.items.size())
                    SetValue(*d.element,
                             d.now ? EvaluateAuto(*d.element, d.now->fields, d.now->variables,
                                                  d.now->instances)
                                   : EvaluateWith(d.element->expression, lookup_),
                             laid.items[d.item]);
            rowPending_ = false; // the row is being placed, in pieces
            BandSlicer slicer(std::move(laid.items), laid.height,
                              [this](const PageItem& item, const QString& text) {
                                  const Element& e = *item.element;
                                  return TextHeight(e, text) + e.box.top + e.box.bottom;
                              });
            bool fresh = false;
            while (slicer.More()) {
                const double room = bottom_ - reserve_ - y_;
                if (room < 1) {
                    if (fresh)
                        throw FillError("A band does not fit on a page: the page's headers and "
                                        "footers leave no room for it.");
                    Break();
                    fresh = true;
                    continue;
                }
                double used = 0;
                x_ = ColumnX(r_, col_);
                for (auto& item : slicer.Next(room, used)) {
                    if (item.element->kind == ElementKind::Chart)
                        item.chart = charts_.Place(*item.element);
                    item.rect.translate(x_, y_);
                    page_.items.push_back(std::move(item));
                }
                y_ += used;
                contentOnPage_ = pageContent_ = true;
                fresh = false;
                if (slicer.More()) {
                    Break();
                    fresh = true;
                }
            }
            return;
        }
        for (auto& d : laid.delayed) {
            d.item += page_.items.size();
            pending_.push_back(std::move(d));
        }
        for (auto& item : laid.items) {
            if (item.element->kind == ElementKind::Chart) item.chart = charts_.Place(*item.element);
            item.rect.translate(x_, y_);
            page_.items.push_back(std::move(item));
        }
        y_ += laid.height;
    }

    const Report& r_;
    const std::function<void(Page&&)>& sink_;
    const FillState* atEnd_;
    SubreportRun& run_;
    bool inline_;
    FillState state_;
    std::vector<VariableState> vars_;
    std::function<const Value&(RefKind, int)> lookup_, endLookup_;
    Page page_;
    int pageNumber_ = 0; // PAGE_NUMBER: a group may start it again
    int pages_ = 0;      // pages made
    double y_ = 0, bottom_ = 0, reserve_ = 0;
    double x_ = 0; // the left edge of the band being placed
    int col_ = 0;  // the column being filled, from 0
    // Where the columns start below the page's top bands, and the lowest
    // point any column reached on this page.
    double columnTop_ = 0, lowest_ = 0;
    // Rows across the columns: the top of the current line and its tallest cell.
    double lineTop_ = 0, lineHeight_ = 0;
    bool inCell_ = false;
    bool contentOnPage_ = false; // in the current column
    bool pageContent_ = false;   // in any column of the page
    bool titleDone_ = false;
    bool summaryPage_ = false;      // the summary's own page: no column bands
    std::vector<bool> headerShown_; // per group: the header of its current run is out
    // The group kept together: where its bands start on the page.
    struct Keep {
        int group = -1;
        size_t item = 0;
        double y = 0;
        int column = 0, page = 0;
        bool moved = false;
    } keep_;
    std::int64_t keepRows_ = 0;            // rows counted since the kept group started
    std::vector<std::int64_t> columnRows_; // per column: its COLUMN_COUNT on this page
    bool movingKeep_ = false;
    bool rowPending_ = false; // the current row has no band on a page yet
    std::vector<Value> beforeRow_;
    std::vector<VariableState> beforeRowVars_;
    std::map<std::pair<const Element*, std::uint64_t>, std::shared_ptr<const Element>> styled_;
    std::map<std::string, Loaded> images_;
    std::unordered_map<const Element*, std::pair<QString, std::uint64_t>> repeats_;
    std::unordered_map<const Band*, BandPlan> plans_;
    std::vector<std::uint64_t> groupStarts_; // per group: how often it started
    std::vector<Pending> pending_;           // items of the current page
    std::shared_ptr<GroupEnds> ends_;
    bool noteEnds_ = false;
    std::unordered_map<const Element*, bool> readsPage_;
    ChartFeeder charts_;
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
    // Subreports filter their rows through the bound filter; what it reads
    // that the report lacks is named once, by the row order's checks.
    const size_t named = r.refusals.size();
    BindExpression(r, r.filter);
    r.refusals.resize(named);
    PrepareDatasets(r);
    PrepareRowOrder(r);
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
               const std::function<void(Page&&)>& sink, const FillState* atEnd, FillState* final,
               const TableOpener* tables) {
    SubreportRun run;
    if (tables != nullptr) run.tables = *tables;
    Filler filler(report, parameters, sink, atEnd, run);
    return filler.Run(rows, final);
}

InlineFill FillInline(const Report& report, const std::vector<Value>& parameters, RowSource& rows,
                      SubreportRun& run) {
    InlineFill out;
    const std::function<void(Page &&)> sink = [&](Page&& page) {
        std::move(page.items.begin(), page.items.end(), std::back_inserter(out.items));
    };
    Filler filler(report, parameters, sink, nullptr, run, true);
    if (filler.Run(rows, &out.final) > 0) out.height = filler.Height();
    return out;
}

int VariableSlotOf(const Report& report, const std::string& name) {
    return SlotOf(report, RefKind::Variable, name);
}

void FillRows(const Report& report, const std::vector<Value>& parameters, RowSource& rows,
              const std::function<void(const FillState&)>& onRow, FillState* final) {
    SubreportRun run;
    const std::function<void(Page &&)> sink = [](Page&&) {};
    Filler filler(report, parameters, sink, nullptr, run, true);
    filler.onRow = onRow;
    filler.Run(rows, final);
}

void BindExpressionTo(Report& report, Expression& e) {
    BindExpression(report, e);
}

} // namespace printengine
