// A report definition as the engine keeps it: what the JRXML reader builds
// and the filler lays out.
#pragma once

#include "printengine/expression.h"
#include "printengine/paragraph.h"

#include <QColor>
#include <QString>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace printengine {

// The classes a field, parameter or variable may declare.
enum class ValueClass { Object, String, Integer, Long, Double, BigDecimal, Boolean, Date };

struct TextStyle {
    QString fontName = "SansSerif"; // as the report names it; see FontFamily
    double size = 10;
    bool bold = false, italic = false, underline = false, strikeThrough = false;
    enum class HAlign { Left, Center, Right, Justified } hAlign = HAlign::Left;
    enum class VAlign { Top, Middle, Bottom } vAlign = VAlign::Top;
    // Left turns the text a quarter counter-clockwise (it reads upwards).
    enum class Rotation { None, Left, Right, UpsideDown } rotation = Rotation::None;
    Markup markup = Markup::None;
    Paragraph paragraph;
};

enum class ElementKind {
    StaticText,
    TextField,
    Line,
    Rectangle,
    Ellipse,
    Frame,
    Image,
    Subreport,
    Chart,
    Crosstab
};

struct SubreportDef; // subreport.h
struct ChartDef;     // chart.h
struct CrosstabDef;  // crosstab.h

// When a text field or image takes its value: Now (as its band is filled),
// or later, as the report, page, column or a group ends; Band is Now here
// (nothing changes a band's values after its elements); Auto takes each
// variable at the end its reset names.
enum class EvaluationTime { Now, Report, Page, Column, Group, Band, Auto };

// How an element grows with what is around it when its band stretches.
enum class StretchType {
    NoStretch,
    ContainerHeight,    // by as much as its band or frame grew
    ContainerBottom,    // keeps its distance to its band's or frame's bottom
    ElementGroupHeight, // by as much as its element group grew
    ElementGroupBottom  // keeps its distance to its element group's bottom
};

// How an image fills its element.
enum class ImageScale { Clip, FillFrame, RetainShape, RealSize };

// One side's border of a text element's box.
struct BoxPen {
    double width = 0; // none
    Qt::PenStyle style = Qt::SolidLine;
    std::optional<QColor> color; // the element's foreground colour when unset
};

// A text element's box: padding inside its frame and a border per side.
struct Box {
    double top = 0, left = 0, bottom = 0, right = 0; // padding
    BoxPen topPen, leftPen, bottomPen, rightPen;
};

// What a style, a conditional style or an element's own attributes set; what
// is unset comes from the level below (element over conditional styles over
// its style over the style's parent over the report's default style).
struct PenProps {
    std::optional<double> width;
    std::optional<Qt::PenStyle> style;
    std::optional<QColor> color;
};

struct StyleProps {
    std::optional<QString> fontName;
    std::optional<double> size;
    std::optional<bool> bold, italic, underline, strikeThrough;
    std::optional<QColor> foreColor, backColor;
    std::optional<bool> opaque;
    std::optional<TextStyle::HAlign> hAlign;
    std::optional<TextStyle::VAlign> vAlign;
    std::optional<TextStyle::Rotation> rotation;
    std::optional<Markup> markup;
    ParagraphProps paragraph;
    std::optional<double> padding[4]; // top, left, bottom, right
    PenProps boxPen[4];               // the same order
    PenProps pen;                     // lines, rectangles and ellipses
    std::optional<double> radius;
    std::optional<std::string> pattern;
    std::optional<bool> blankWhenNull;
    std::optional<ImageScale> scale;
    std::optional<TextStyle::HAlign> imageHAlign;
    std::optional<TextStyle::VAlign> imageVAlign;
};

struct ConditionalStyle {
    Expression condition;
    StyleProps props;
};

struct Element {
    ElementKind kind = ElementKind::StaticText;
    double x = 0, y = 0, width = 0, height = 0;
    bool floating = false; // positionType="Float": moves down below stretched elements
    bool toBottom = false; // positionType="FixRelativeToBottom": keeps its distance to the bottom
    StretchType stretchType = StretchType::NoStretch;
    // A frame's contents follow it in its band's list: this many elements
    // (those of frames inside it included).
    size_t contents = 0;
    int group = -1; // the innermost elementGroup holding it (Band::groups), or none
    QColor foreColor = Qt::black;
    QColor backColor = Qt::white;
    bool opaque = false;
    TextStyle style;
    Box box;
    std::string text;      // staticText
    Expression expression; // textField
    std::string pattern;
    bool stretch = false;
    bool scaleFont = false;   // textAdjust="ScaleFont": smaller type until the text fits
    bool atReportEnd = false; // evaluationTime="Report"
    EvaluationTime evaluation = EvaluationTime::Now;
    std::string evaluationGroupName; // evaluationTime="Group"
    int evaluationGroup = -1;
    bool blankWhenNull = false;
    double penWidth = 1.0;
    Qt::PenStyle penStyle = Qt::SolidLine;
    std::optional<QColor> penColor;
    bool bottomUp = false; // line direction
    double radius = 0;
    Expression printWhen; // printed only when true (always when empty)
    // isPrintRepeatedValues="false": a value equal to the one this element
    // printed last is left out, except in the first band of a page
    // (isPrintInFirstWholeBand) or after the group printWhenGroupChanges
    // names started again.
    bool printRepeated = true, printInFirstWholeBand = false;
    std::string printWhenGroupChanges;
    int groupChangesIndex = -1;
    bool removeLineWhenBlank = false; // a left-out element's empty strip is removed
    // Images: `expression` names the file (or holds its bytes).
    ImageScale scale = ImageScale::RetainShape;
    TextStyle::HAlign imageHAlign = TextStyle::HAlign::Left;
    TextStyle::VAlign imageVAlign = TextStyle::VAlign::Top;
    enum class OnError { Error, Blank, Icon } onError = OnError::Error;
    // Conditional styles of the element's style, in the order they apply, and
    // the element's own attributes that stay above them.
    std::vector<ConditionalStyle> conditionals;
    std::shared_ptr<const StyleProps> own;
    std::shared_ptr<SubreportDef> subreport; // kind Subreport: what it fills in place
    std::shared_ptr<ChartDef> chart;         // a chart's plot and dataset
    std::shared_ptr<CrosstabDef> crosstab;   // a crosstab's groups, measures and cells
};

// Sets on `e` what `props` sets.
void ApplyStyle(Element& e, const StyleProps& props);

struct Band {
    double height = 0;
    Expression printWhen;
    std::vector<Element> elements;
    std::vector<int> groups; // per elementGroup: the group around it, or -1
};

struct ParameterDef {
    std::string name;
    ValueClass valueClass = ValueClass::String;
    std::string otherClass; // a class without values here (java.util.List, an image)
    Expression defaultValue;
};

struct FieldDef {
    std::string name;
    ValueClass valueClass = ValueClass::String;
    std::string otherClass; // a class without values here: refused when evaluated
};

// System: the value stays what its initial value made it (JasperReports
// leaves it to scriptlets, which reports here cannot have).
enum class Calculation {
    Nothing,
    Count,
    Sum,
    Average,
    Lowest,
    Highest,
    System,
    DistinctCount,
    StandardDeviation,
    Variance,
    First
};
enum class ResetType { Report, Page, Group, None, Column };
// When a variable's running value is taken over as the base of the next one:
// every row (None), or only as the report, a page, a column or a group ends.
enum class IncrementType { None, Report, Page, Column, Group };

struct VariableDef {
    std::string name;
    ValueClass valueClass = ValueClass::Double;
    std::string otherClass;
    Calculation calculation = Calculation::Nothing;
    ResetType reset = ResetType::Report;
    int resetGroup = -1;
    IncrementType increment = IncrementType::None;
    int incrementGroup = -1;
    Expression expression;
    Expression initialValue;
};

struct GroupDef {
    std::string name;
    Expression expression;
    std::vector<Band> headers, footers; // a section may hold several bands
    bool startNewPage = false;
    double minHeightToStartNewPage = 0; // less room left: the header starts a new page
    bool startNewColumn = false, resetPageNumber = false, reprintHeader = false;
    bool keepTogether = false; // moves to a new page rather than break, once
    // Where the footer goes: after the group's content, or down at the
    // bottom of the page (Stack), also pulling inner footers down (Force), or
    // down only when the inner group's footer went down too (Collate).
    enum class FooterPosition { Normal, StackAtBottom, ForceAtBottom, CollateAtBottom };
    FooterPosition footerPosition = FooterPosition::Normal;
};

// A key the rows are sorted by: a field, or a variable computed for each row.
struct SortFieldDef {
    std::string name;
    bool variable = false;
    bool descending = false;
    int line = 0;
};

struct Report {
    std::string name;
    double pageWidth = 595, pageHeight = 842;
    double leftMargin = 20, rightMargin = 20, topMargin = 20, bottomMargin = 20;
    bool landscape = false;
    // Columns: 0 width means the room between the margins shared out.
    int columnCount = 1;
    double columnWidth = 0, columnSpacing = 0;
    bool horizontalOrder = false; // printOrder="Horizontal": rows run across the columns
    bool titleNewPage = false, summaryNewPage = false, summaryWithPageBands = false;
    bool floatColumnFooter = false, ignorePagination = false;
    bool allSectionsWhenNoData = false; // whenNoDataType="AllSectionsNoDetail"
    enum class NoData { NoPages, BlankPage, AllSectionsNoDetail, NoDataSection };
    NoData whenNoData = NoData::NoPages;
    std::string tableName;     // property norvakel.table
    std::string tableLocation; // property norvakel.location
    QString folder;            // the report's own, for images and templates

    std::vector<ParameterDef> parameters;
    std::vector<FieldDef> fields;
    std::vector<VariableDef> variables;
    std::vector<GroupDef> groups;
    std::optional<Band> title, pageHeader, columnHeader, columnFooter, pageFooter, summary;
    std::optional<Band> lastPageFooter, background, noData;
    std::vector<Band> details;
    std::vector<SortFieldDef> sortFields;
    Expression filter; // filterExpression: rows for which it is not true are left out
    std::vector<std::shared_ptr<Report>> datasets; // <subDataset>s: reports without bands

    // What the definition uses outside what the engine supports; the first
    // one is the engine's error text when the job starts.
    std::vector<std::string> refusals;
};

// Parses JRXML. Nothing when the bytes are not a JRXML document at all (not
// XML, or another root element); otherwise the report, with `refusals` naming
// anything outside the supported set.
// Style templates (.jrtx) are read from `folder`, the report's own.
std::optional<Report> ParseJrxml(const QByteArray& bytes, const QString& folder = QString());

// The engine's error text for a refused report: the first few refusals, one a
// line, and how many more there are (the log has all of them).
std::string RefusalText(const std::vector<std::string>& refusals);

// The class named by a JRXML class attribute, or nothing when unsupported.
std::optional<ValueClass> ClassFromName(const QString& name);

} // namespace printengine
