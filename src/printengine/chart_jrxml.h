// Reading chart elements from JRXML. Included by the JRXML reader only: it
// works on the reader's tree nodes and reports through the reader (`Host`),
// which supplies refusals, expressions, colours and the reportElement.
#pragma once

#include "printengine/chart.h"
#include "printengine/components.h"

#include <QString>

#include <initializer_list>
#include <optional>

namespace printengine {

struct ChartKind {
    ChartType type;
    DatasetKind dataset;
    const char* plot;
};

// The chart elements the engine draws (3D ones flat); others are refused.
inline std::optional<ChartKind> ChartKindOf(const QString& name) {
    using T = ChartType;
    using D = DatasetKind;
    static const std::pair<const char*, ChartKind> kinds[] = {
        {"pieChart", {T::Pie, D::Pie, "piePlot"}},
        {"pie3DChart", {T::Pie, D::Pie, "pie3DPlot"}},
        {"barChart", {T::Bar, D::Category, "barPlot"}},
        {"bar3DChart", {T::Bar, D::Category, "bar3DPlot"}},
        {"stackedBarChart", {T::StackedBar, D::Category, "barPlot"}},
        {"stackedBar3DChart", {T::StackedBar, D::Category, "bar3DPlot"}},
        {"lineChart", {T::Line, D::Category, "linePlot"}},
        {"areaChart", {T::Area, D::Category, "areaPlot"}},
        {"stackedAreaChart", {T::StackedArea, D::Category, "areaPlot"}},
        {"xyLineChart", {T::XYLine, D::XY, "linePlot"}},
        {"xyBarChart", {T::XYBar, D::XY, "barPlot"}},
        {"xyAreaChart", {T::XYArea, D::XY, "areaPlot"}},
        {"scatterChart", {T::Scatter, D::XY, "scatterPlot"}},
        {"timeSeriesChart", {T::TimeSeries, D::TimeSeries, "timeSeriesPlot"}},
    };
    for (const auto& [n, kind] : kinds)
        if (name == QLatin1String(n)) return kind;
    return std::nullopt;
}

template <typename Node, typename Host> class ChartReader {
  public:
    ChartReader(Host& host, ChartDef& def) : h_(host), d_(def) {}

    // `element` receives the reportElement, box and colours.
    void Read(const Node& node, const ChartKind& kind, Element& element) {
        d_.type = kind.type;
        d_.dataset = kind.dataset;
        Attributes(node, {});
        for (const auto& k : node.children) {
            const QString& n = k->name;
            if (n == "chart")
                Chart(*k, element);
            else if (n == "pieDataset" || n == "categoryDataset" || n == "xyDataset" ||
                     n == "timeSeriesDataset")
                Dataset(*k);
            else if (n == kind.plot)
                Plot(*k);
            else
                h_.ChartElement(*k, node.name);
        }
        if (d_.series.empty()) h_.ChartRefuse(node, "a chart without a dataset");
        // A delayed chart is drawn from an earlier pass over the rows.
        element.atReportEnd = d_.evaluation != ChartDef::Evaluation::Now;
    }

  private:
    template <typename F>
    void Attributes(const Node& node, std::initializer_list<const char*> ok, F&& apply) {
        for (const auto& [name, value] : node.attributes) {
            if (name == "uuid" || name == "key") continue;
            bool known = false;
            for (const char* a : ok)
                if (name == a) known = true;
            if (known)
                apply(name, value);
            else
                h_.ChartRefuse(node, "the attribute \"" + name.toStdString() + "\" of \"" +
                                         node.name.toStdString() + "\"");
        }
    }
    void Attributes(const Node& node, std::initializer_list<const char*> ok) {
        Attributes(node, ok, [](const QString&, const QString&) {});
    }

    void Chart(const Node& node, Element& e) {
        Attributes(node,
                   {"isShowLegend", "evaluationTime", "evaluationGroup", "renderType", "theme",
                    "customizerClass", "hyperlinkType", "hyperlinkTarget", "linkType", "linkTarget",
                    "bookmarkLevel"},
                   [&](const QString& n, const QString& v) {
                       if (n == "isShowLegend")
                           d_.showLegend = h_.ChartFlag(node, n, v);
                       else if (n == "evaluationTime") {
                           using E = ChartDef::Evaluation;
                           // A band's values are complete when it is placed.
                           if (v == "Now" || v == "Band" || v == "Report" || v == "Group")
                               d_.evaluation = v == "Now" || v == "Band" ? E::Now
                                               : v == "Report"           ? E::Report
                                                                         : E::Group;
                           else
                               h_.ChartValue(node, n, v);
                       } else if (n == "evaluationGroup")
                           d_.evaluationGroupName = v.toStdString();
                       else if (n == "theme") {
                           if (v != "default") h_.ChartValue(node, n, v);
                       } else if (n == "customizerClass")
                           h_.ChartValue(node, n, v); // Java code cannot run here
                       // renderType only picks how another engine embeds the picture;
                       // hyperlinks only act in interactive formats.
                   });
        for (const auto& k : node.children) {
            const QString& n = k->name;
            if (n == "reportElement")
                h_.ChartReportElement(*k, e);
            else if (n == "box")
                h_.ChartBox(*k, e);
            else if (n == "chartTitle")
                Title(*k, d_.title, d_.titleFont, d_.titleColor, true);
            else if (n == "chartSubtitle")
                Title(*k, d_.subtitle, d_.subtitleFont, d_.subtitleColor, false);
            else if (n == "chartLegend")
                Legend(*k);
            else if (n == "hyperlinkReferenceExpression" || n == "hyperlinkAnchorExpression" ||
                     n == "hyperlinkPageExpression" || n == "hyperlinkTooltipExpression" ||
                     n == "anchorNameExpression" || n == "hyperlinkParameter" ||
                     n == "hyperlinkWhenExpression")
                continue;
            else
                h_.ChartElement(*k, "chart");
        }
    }

    std::optional<Edge> EdgeOf(const QString& v) {
        if (v == "Top") return Edge::Top;
        if (v == "Bottom") return Edge::Bottom;
        if (v == "Left") return Edge::Left;
        if (v == "Right") return Edge::Right;
        return std::nullopt;
    }

    void Title(const Node& node, Expression& text, ChartFont& font, QColor& color, bool title) {
        Attributes(node,
                   title ? std::initializer_list<const char*>{"position", "color"}
                         : std::initializer_list<const char*>{"color"},
                   [&](const QString& n, const QString& v) {
                       if (n == "color")
                           color = h_.ChartColor(node, n, v);
                       else if (auto edge = EdgeOf(v))
                           d_.titlePosition = *edge;
                       else
                           h_.ChartValue(node, n, v);
                   });
        for (const auto& k : node.children) {
            if (k->name == "font")
                Font(*k, font);
            else if (k->name == "titleExpression" || k->name == "subtitleExpression")
                text = h_.ChartExpression(*k);
            else
                h_.ChartElement(*k, node.name);
        }
    }

    void Legend(const Node& node) {
        Attributes(node, {"textColor", "backgroundColor", "position"},
                   [&](const QString& n, const QString& v) {
                       if (n == "textColor")
                           d_.legendColor = h_.ChartColor(node, n, v);
                       else if (n == "backgroundColor")
                           d_.legendBackground = h_.ChartColor(node, n, v);
                       else if (auto edge = EdgeOf(v))
                           d_.legendPosition = *edge;
                       else
                           h_.ChartValue(node, n, v);
                   });
        for (const auto& k : node.children) {
            if (k->name == "font")
                Font(*k, d_.legendFont);
            else
                h_.ChartElement(*k, "chartLegend");
        }
    }

    void Font(const Node& node, ChartFont& f) {
        Attributes(node,
                   {"fontName", "size", "isBold", "isItalic", "isUnderline", "isStrikeThrough",
                    "pdfFontName", "pdfEncoding", "isPdfEmbedded"},
                   [&](const QString& n, const QString& v) {
                       if (n == "fontName")
                           f.family = h_.ChartFontFamily(v);
                       else if (n == "size") {
                           f.size = h_.ChartNumber(node, n, v);
                           if (f.size <= 0 || f.size > 1000) h_.ChartValue(node, n, v);
                       } else if (n == "isBold")
                           f.bold = h_.ChartFlag(node, n, v);
                       else if (n == "isItalic")
                           f.italic = h_.ChartFlag(node, n, v);
                       else if (n == "isUnderline" || n == "isStrikeThrough")
                           h_.ChartFlag(node, n, v);
                   });
        for (const auto& k : node.children)
            h_.ChartElement(*k, "font");
    }

    // ---- datasets -------------------------------------------------------------

    void Dataset(const Node& node) {
        const bool right =
            (node.name == "pieDataset" && d_.dataset == DatasetKind::Pie) ||
            (node.name == "categoryDataset" && d_.dataset == DatasetKind::Category) ||
            (node.name == "xyDataset" && d_.dataset == DatasetKind::XY) ||
            (node.name == "timeSeriesDataset" &&
             (d_.dataset == DatasetKind::TimeSeries || d_.type == ChartType::XYBar));
        if (!right) {
            h_.ChartElement(node, "chart");
            return;
        }
        if (node.name == "timeSeriesDataset") d_.dataset = DatasetKind::TimeSeries;
        Attributes(node,
                   node.name == "timeSeriesDataset"
                       ? std::initializer_list<const char*>{"timePeriod"}
                       : std::initializer_list<const char*>{},
                   [&](const QString& n, const QString& v) { Period(node, n, v); });
        SeriesDef pie;
        bool pieOwn = false;
        for (const auto& k : node.children) {
            const QString& n = k->name;
            if (n == "dataset")
                DatasetRun(*k);
            else if (n == "categorySeries" || n == "xySeries" || n == "timeSeries" ||
                     n == "pieSeries")
                Series(*k);
            else if (node.name == "pieDataset" &&
                     (n == "keyExpression" || n == "valueExpression" || n == "labelExpression")) {
                pieOwn = true;
                Expression& e = n == "keyExpression"     ? pie.category
                                : n == "valueExpression" ? pie.value
                                                         : pie.label;
                e = h_.ChartExpression(*k);
            } else if (n == "sectionHyperlink" || n == "itemHyperlink")
                continue;
            else
                h_.ChartElement(*k, node.name);
        }
        if (pieOwn) d_.series.insert(d_.series.begin(), std::move(pie));
    }

    void Period(const Node& node, const QString& n, const QString& v) {
        using P = TimePeriod;
        static const std::pair<const char*, P> periods[] = {{"Year", P::Year},
                                                            {"Quarter", P::Quarter},
                                                            {"Month", P::Month},
                                                            {"Week", P::Week},
                                                            {"Day", P::Day},
                                                            {"Hour", P::Hour},
                                                            {"Minute", P::Minute},
                                                            {"Second", P::Second},
                                                            {"Milisecond", P::Millisecond},
                                                            {"Millisecond", P::Millisecond}};
        for (const auto& [name, period] : periods)
            if (v == QLatin1String(name)) {
                d_.period = period;
                return;
            }
        h_.ChartValue(node, n, v);
    }

    void DatasetRun(const Node& node) {
        Attributes(node, {"resetType", "resetGroup", "incrementType", "incrementGroup"},
                   [&](const QString& n, const QString& v) {
                       if (n == "resetType") {
                           if (v == "Report")
                               d_.resetType = ResetType::Report;
                           else if (v == "Group")
                               d_.resetType = ResetType::Group;
                           else if (v == "Page")
                               d_.resetType = ResetType::Page;
                           else if (v == "None")
                               d_.resetType = ResetType::None;
                           else
                               h_.ChartValue(node, n, v);
                       } else if (n == "resetGroup")
                           d_.resetGroupName = v.toStdString();
                       else if (n == "incrementType") {
                           using I = ChartDef::Increment;
                           if (v == "None")
                               d_.increment = I::Row;
                           else if (v == "Group")
                               d_.increment = I::Group;
                           else if (v == "Report")
                               d_.increment = I::Report;
                           else
                               h_.ChartValue(node, n, v);
                       } else if (n == "incrementGroup")
                           d_.incrementGroupName = v.toStdString();
                   });
        for (const auto& k : node.children)
            if (k->name == "incrementWhenExpression")
                d_.incrementWhen = h_.ChartExpression(*k);
            else if (k->name == "datasetRun" && !d_.run)
                d_.run = ReadDatasetRun(*k, h_.ChartComponents());
            else
                h_.ChartElement(*k, "dataset");
    }

    void Series(const Node& node) {
        SeriesDef s;
        Attributes(node, node.name == "xySeries" ? std::initializer_list<const char*>{"autoSort"}
                                                 : std::initializer_list<const char*>{});
        const bool right = (node.name == "categorySeries" && d_.dataset == DatasetKind::Category) ||
                           (node.name == "pieSeries" && d_.dataset == DatasetKind::Pie) ||
                           (node.name == "xySeries" && d_.dataset == DatasetKind::XY) ||
                           (node.name == "timeSeries" && d_.dataset == DatasetKind::TimeSeries);
        if (!right) h_.ChartElement(node, "dataset");
        for (const auto& k : node.children) {
            const QString& n = k->name;
            Expression* e = n == "seriesExpression"                                  ? &s.series
                            : n == "categoryExpression" || n == "keyExpression"      ? &s.category
                            : n == "xValueExpression" || n == "timePeriodExpression" ? &s.x
                            : n == "valueExpression" || n == "yValueExpression"      ? &s.value
                            : n == "labelExpression"                                 ? &s.label
                                                                                     : nullptr;
            if (e != nullptr)
                *e = h_.ChartExpression(*k);
            else if (n == "itemHyperlink" || n == "sectionHyperlink")
                continue;
            else
                h_.ChartElement(*k, node.name);
        }
        if (right) d_.series.push_back(std::move(s));
    }

    // ---- plots ------------------------------------------------------------------

    void Plot(const Node& node) {
        Attributes(
            node,
            {"isShowLabels", "isShowTickLabels", "isShowTickMarks", "isShowLines", "isShowShapes",
             "isCircular", "labelFormat", "legendLabelFormat", "depthFactor", "xOffset", "yOffset"},
            [&](const QString& n, const QString& v) {
                if (n == "isShowLabels")
                    d_.showLabels = h_.ChartFlag(node, n, v);
                else if (n == "isShowLines") {
                    d_.showLines = h_.ChartFlag(node, n, v);
                    d_.linesGiven = true;
                } else if (n == "isShowShapes")
                    d_.showShapes = h_.ChartFlag(node, n, v);
                else if (n == "isShowTickLabels" || n == "isShowTickMarks" || n == "isCircular")
                    h_.ChartFlag(node, n, v);
                // Label formats, depth and offsets: pies show their keys
                // and shares, 3D charts are drawn flat.
            });
        for (const auto& k : node.children) {
            const QString& n = k->name;
            if (n == "plot")
                PlotCommon(*k);
            else if (n == "itemLabel")
                continue; // item labels keep the chart's own look
            else if (n == "categoryAxisLabelExpression" || n == "xAxisLabelExpression" ||
                     n == "timeAxisLabelExpression")
                d_.categoryAxisLabel = h_.ChartExpression(*k);
            else if (n == "rangeAxisMinValueExpression")
                d_.rangeMin = h_.ChartExpression(*k);
            else if (n == "rangeAxisMaxValueExpression")
                d_.rangeMax = h_.ChartExpression(*k);
            else if (n == "domainAxisMinValueExpression")
                d_.domainMin = h_.ChartExpression(*k);
            else if (n == "domainAxisMaxValueExpression")
                d_.domainMax = h_.ChartExpression(*k);
            else if (n == "valueAxisLabelExpression" || n == "yAxisLabelExpression")
                d_.valueAxisLabel = h_.ChartExpression(*k);
            else if (n == "categoryAxisFormat" || n == "xAxisFormat" || n == "timeAxisFormat")
                Axis(*k, d_.categoryAxis);
            else if (n == "valueAxisFormat" || n == "yAxisFormat")
                Axis(*k, d_.valueAxis);
            else
                h_.ChartElement(*k, node.name);
        }
        if (d_.type == ChartType::Pie && !HasAttribute(node, "isShowLabels")) d_.showLabels = true;
    }

    static bool HasAttribute(const Node& node, const char* name) {
        for (const auto& [n, v] : node.attributes)
            if (n == name) return true;
        return false;
    }

    void PlotCommon(const Node& node) {
        Attributes(
            node,
            {"backcolor", "orientation", "backgroundAlpha", "foregroundAlpha", "labelRotation"},
            [&](const QString& n, const QString& v) {
                if (n == "backcolor")
                    d_.plotBackground = h_.ChartColor(node, n, v);
                else if (n == "orientation") {
                    if (v == "Horizontal" || v == "Vertical")
                        d_.horizontal = v == "Horizontal";
                    else
                        h_.ChartValue(node, n, v);
                } else if (n == "backgroundAlpha" || n == "foregroundAlpha") {
                    const double a = h_.ChartNumber(node, n, v);
                    if (a < 1) h_.ChartValue(node, n, v);
                } else if (n == "labelRotation") {
                    if (h_.ChartNumber(node, n, v) != 0) h_.ChartValue(node, n, v);
                }
            });
        for (const auto& k : node.children) {
            if (k->name != "seriesColor") {
                h_.ChartElement(*k, "plot");
                continue;
            }
            int order = -1;
            QColor color;
            bool haveColor = false;
            Attributes(*k, {"seriesOrder", "color"}, [&](const QString& n, const QString& v) {
                if (n == "seriesOrder")
                    order = int(h_.ChartNumber(*k, n, v));
                else {
                    color = h_.ChartColor(*k, n, v);
                    haveColor = true;
                }
            });
            if (order >= 0 && haveColor) d_.seriesColors[order] = color;
        }
    }

    void Axis(const Node& node, AxisFormat& axis) {
        Attributes(node, {});
        for (const auto& k : node.children) {
            if (k->name != "axisFormat") {
                h_.ChartElement(*k, node.name);
                continue;
            }
            Attributes(*k,
                       {"labelColor", "tickLabelColor", "tickLabelMask", "axisLineColor",
                        "verticalTickLabels"},
                       [&](const QString& n, const QString& v) {
                           if (n == "labelColor")
                               axis.labelColor = h_.ChartColor(*k, n, v);
                           else if (n == "tickLabelColor")
                               axis.tickLabelColor = h_.ChartColor(*k, n, v);
                           else if (n == "axisLineColor")
                               axis.lineColor = h_.ChartColor(*k, n, v);
                           else if (n == "tickLabelMask")
                               axis.tickLabelMask = v.toStdString();
                           else if (h_.ChartFlag(*k, n, v))
                               h_.ChartValue(*k, n, v);
                       });
            for (const auto& f : k->children) {
                if (f->name == "labelFont" || f->name == "tickLabelFont") {
                    Attributes(*f, {});
                    for (const auto& g : f->children)
                        if (g->name == "font")
                            Font(*g, f->name == "labelFont" ? axis.labelFont : axis.tickLabelFont);
                        else
                            h_.ChartElement(*g, f->name);
                } else {
                    h_.ChartElement(*f, "axisFormat");
                }
            }
        }
    }

    Host& h_;
    ChartDef& d_;
};

} // namespace printengine
