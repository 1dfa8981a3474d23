// Charts: what a chart element shows (ChartDef, read from the JRXML), the
// values its dataset gathers from the rows as they stream by (ChartData), the
// bookkeeping of the fill (ChartFeeder) and the painter that draws it with
// vectors.
#pragma once

#include "printengine/dataset.h"
#include "printengine/report.h"

#include <QColor>
#include <QPainter>
#include <QRectF>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace printengine {

enum class ChartType {
    Pie,
    Bar,
    StackedBar,
    Line,
    Area,
    StackedArea,
    XYLine,
    XYBar,
    XYArea,
    Scatter,
    TimeSeries
};

enum class DatasetKind { Category, Pie, XY, TimeSeries };

// One series of a dataset: category and pie datasets use `series`,
// `category` (the pie's key) and `value`; XY datasets `series`, `x` and
// `value`; time series `series`, `x` (the date) and `value`.
struct SeriesDef {
    Expression series, category, x, value, label;
};

enum class TimePeriod { Year, Quarter, Month, Week, Day, Hour, Minute, Second, Millisecond };

enum class Edge { Top, Bottom, Left, Right };

struct ChartFont {
    QString family = "DejaVu Sans";
    double size = 0; // 0: the chart's default for that text
    bool bold = false, italic = false;
};

struct AxisFormat {
    QColor labelColor = Qt::black, tickLabelColor = Qt::black, lineColor = Qt::gray;
    std::string tickLabelMask;
    ChartFont labelFont, tickLabelFont;
};

struct ChartDef {
    ChartType type = ChartType::Bar;
    DatasetKind dataset = DatasetKind::Category;
    std::vector<SeriesDef> series;
    TimePeriod period = TimePeriod::Day;

    // When the dataset starts again and when it takes a row.
    ResetType resetType = ResetType::Report;
    int resetGroup = -1;
    std::string resetGroupName;
    enum class Increment { Row, Group, Report } increment = Increment::Row;
    int incrementGroup = -1;
    std::string incrementGroupName;
    Expression incrementWhen; // a row counts only when it is true (always when empty)
    // Rows of another dataset, run anew each time the chart takes its values.
    std::shared_ptr<DatasetRunDef> run;

    // When the chart takes its values: where it is placed, at the report's
    // end or at the end of a group.
    enum class Evaluation { Now, Report, Group } evaluation = Evaluation::Now;
    int evaluationGroup = -1;
    std::string evaluationGroupName;

    Expression title, subtitle, categoryAxisLabel, valueAxisLabel;
    // The axes' ends when the report fixes them (range: values, domain: x).
    Expression rangeMin, rangeMax, domainMin, domainMax;
    ChartFont titleFont, subtitleFont, legendFont;
    QColor titleColor = Qt::black, subtitleColor = Qt::black;
    QColor legendColor = Qt::black;
    std::optional<QColor> legendBackground;
    Edge titlePosition = Edge::Top, legendPosition = Edge::Bottom;
    bool showLegend = true;
    bool showLabels = false;
    bool showLines = true, showShapes = true;
    bool linesGiven = false; // scatter charts draw lines only when asked
    bool horizontal = false; // orientation="Horizontal": bars grow to the right
    std::optional<QColor> plotBackground;
    std::map<int, QColor> seriesColors; // by series order
    AxisFormat categoryAxis, valueAxis;
};

// What a dataset gathered, with the texts evaluated with it. Series and
// categories keep the order they first came in; a value given again for the
// same series and category (or pie key, or time period) replaces the earlier
// one, as JasperReports' datasets do: a sum is the job of a variable.
struct ChartData {
    std::vector<QString> series;
    std::vector<QString> categories;
    std::map<std::pair<int, int>, double> values; // (series, category)
    std::map<std::pair<int, int>, QString> labels;
    std::vector<std::vector<std::pair<double, double>>> points; // XY, by series
    std::vector<std::map<double, double>> periods; // time series: period start (ms) -> value
    QString title, subtitle, categoryAxisLabel, valueAxisLabel;
    std::optional<double> rangeMin, rangeMax, domainMin, domainMax;

    int SeriesIndex(const QString& name);
    int CategoryIndex(const QString& name);

    // Where each name is in `series` and `categories`.
    std::map<QString, int> seriesIndex, categoryIndex;
};

// Adds one row's values (evaluated by `evaluate`) to `data`.
void AddToDataset(const ChartDef& def, ChartData& data,
                  const std::function<Value(const Expression&)>& evaluate);
// Evaluates the title, subtitle and axis labels into `data`.
void EvaluateTexts(const ChartDef& def, ChartData& data,
                   const std::function<Value(const Expression&)>& evaluate);
// Every expression of the chart, for binding.
void ForEachChartExpression(ChartDef& def, const std::function<void(Expression&)>& visit);
// Resolves the group names the chart uses; a problem is a refusal.
void ResolveChartGroups(ChartDef& def, const Report& report, std::vector<std::string>& refusals);
// Resolves the chart's groups and binds its expressions: the series' and
// incrementWhen to its dataset run's dataset when it has one, the rest
// through `bindReport`. Problems go to `report.refusals`.
void PrepareChart(Report& report, ChartDef& def,
                  const std::function<void(Expression&)>& bindReport);

// The start of the time period `date` (ms since 1970, UTC) falls in.
double PeriodStart(const engine::DateTime& date, TimePeriod period);

// The charts' values of one fill: what delayed charts showed, in placing
// order, so that a later pass over the same rows can draw them.
struct ChartPlacements {
    std::map<const Element*, std::vector<std::shared_ptr<ChartData>>> byElement;
};

// Keeps every chart's dataset up to date while a report fills.
class ChartFeeder {
  public:
    using Evaluator = std::function<Value(const Expression&)>;
    ChartFeeder(const Report& report, Evaluator evaluate,
                std::shared_ptr<const ChartPlacements> earlier);

    bool Empty() const { return charts_.empty(); }
    // How charts with a dataset run read their rows.
    void RunDatasetsWith(DatasetRunner runner) { runner_ = std::move(runner); }
    void Reset(ResetType type, int group);
    void RowDone();
    // Group `group` ends; call before its footers print (rows still those of the group).
    void GroupEnds(int group);
    // After the group's footers: charts waiting for the group's end take its values.
    void GroupEvaluated(int group);
    void ReportEnds();
    // The values for a chart element being placed on a page.
    std::shared_ptr<const ChartData> Place(const Element& element);
    std::shared_ptr<ChartPlacements> Placements() const { return record_; }

  private:
    struct Live {
        const Element* element;
        const ChartDef* def;
        std::shared_ptr<ChartData> data;
        std::vector<std::shared_ptr<ChartData>> waiting;
    };
    Live* Find(const Element& e);
    void Finish(Live& live);
    // The values of a chart over a dataset run, for the report's current row.
    std::shared_ptr<ChartData> Run(const Live& live);

    Evaluator evaluate_;
    std::vector<Live> charts_;
    std::shared_ptr<const ChartPlacements> earlier_;
    std::shared_ptr<ChartPlacements> record_;
    std::map<const Element*, size_t> taken_;
    DatasetRunner runner_;
};

// Draws the chart into `rect` (points). `sizeFactor` undoes the device's
// second scaling of font sizes (see PaintPage).
void PaintChart(QPainter& painter, const Element& element, const ChartData& data,
                const QRectF& rect, double sizeFactor);

} // namespace printengine
