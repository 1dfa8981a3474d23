#include "printengine/components.h"

#include "printengine/dataset.h"
#include "printengine/subreport.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace printengine {

namespace {

// A report that fills a component's rows: the dataset's declarations, no
// margins, bands the component makes.
std::shared_ptr<Report> InlineReport(const Report& dataset, double width) {
    auto r = std::make_shared<Report>();
    r->name = dataset.name;
    r->parameters = dataset.parameters;
    r->fields = dataset.fields;
    r->variables = dataset.variables;
    r->filter = dataset.filter;
    r->tableName = dataset.tableName;
    r->folder = dataset.folder;
    for (const auto& g : dataset.groups) {
        GroupDef copy;
        copy.name = g.name;
        copy.expression = g.expression;
        r->groups.push_back(std::move(copy));
    }
    r->leftMargin = r->rightMargin = r->topMargin = r->bottomMargin = 0;
    r->pageWidth = std::max(1.0, width);
    r->pageHeight = 1e9;
    return r;
}

const Report* FindDataset(const Report& report, const std::string& name) {
    for (const auto& d : report.datasets)
        if (d->name == name) return d.get();
    return nullptr;
}

// The dataset a component's run names, declared before it.
const Report* Dataset(const XNode& node, const DatasetRunDef& run, ElementReader& reader) {
    const Report* d = FindDataset(reader.Target(), run.datasetName);
    if (d == nullptr && !run.datasetName.empty())
        reader.RefuseAt(node, "the unknown subDataset \"" + run.datasetName + "\"");
    return d;
}

Element Container(const Element& reportElement, std::shared_ptr<SubreportDef> def) {
    Element e = reportElement;
    e.kind = ElementKind::Subreport;
    e.subreport = std::move(def);
    return e;
}

// ---- lists -------------------------------------------------------------------

std::optional<Element> ReadList(const XNode& node, const Element& at, ElementReader& reader) {
    reader.CheckAttributes(node, {"printOrder", "ignoreWidth"});
    const QString order = node.Attribute("printOrder");
    if (!order.isEmpty() && order != "Vertical" && order != "Horizontal")
        reader.RefuseAt(node, "the printOrder \"" + order.toStdString() + "\" of a list");
    auto def = std::make_shared<SubreportDef>();
    const XNode* contents = nullptr;
    for (const auto& k : node.children) {
        if (k->name == "datasetRun")
            def->run = ReadDatasetRun(*k, reader);
        else if (k->name == "listContents" && contents == nullptr)
            contents = k.get();
        else
            reader.RefuseElement(*k, "list");
    }
    if (!def->run || contents == nullptr) {
        reader.RefuseAt(node, "a list without a datasetRun or listContents");
        return std::nullopt;
    }
    const Report* dataset = Dataset(node, *def->run, reader);
    if (dataset == nullptr) return std::nullopt;
    reader.CheckAttributes(*contents, {"height", "width"});
    const double height = reader.ReadNumber(*contents, "height");
    const double width =
        contents->Attribute("width").isEmpty() ? at.width : reader.ReadNumber(*contents, "width");
    def->inlineReport = InlineReport(*dataset, width);
    Band band;
    band.height = height;
    for (const auto& k : contents->children)
        reader.ReadInto(*k, band.elements, 0, 0, "listContents");
    def->inlineReport->details.push_back(std::move(band));
    if (order == "Horizontal" && width > 0)
        def->across = std::max(1, int(std::floor(at.width / width + 1e-9)));
    return Container(at, std::move(def));
}

// ---- tables ------------------------------------------------------------------

// One table row kind: the cells of every column for a section.
enum class Section {
    TableHeader,
    TableFooter,
    ColumnHeader,
    ColumnFooter,
    GroupHeader,
    GroupFooter,
    Detail
};

struct Cell {
    const XNode* node = nullptr;
    double height = 0;
};

struct Column {
    double width = 0;
    const XNode* node = nullptr;
    std::vector<Column> children; // a column group's
};

class TableReader {
  public:
    TableReader(ElementReader& reader) : reader_(reader) {}

    std::vector<Column> Columns(const XNode& parent) {
        std::vector<Column> out;
        for (const auto& k : parent.children) {
            if (k->name != "column" && k->name != "columnGroup") continue;
            reader_.CheckAttributes(*k, {"width", "printWhenExpression"});
            Column c;
            c.node = k.get();
            c.width = reader_.ReadNumber(*k, "width");
            if (k->name == "columnGroup") c.children = Columns(*k);
            out.push_back(std::move(c));
        }
        return out;
    }

    // Checks a column's children once: what is neither a cell nor known is refused.
    void CheckColumns(const std::vector<Column>& columns) {
        for (const auto& c : columns) {
            for (const auto& k : c.node->children) {
                const QString& n = k->name;
                if (n == "column" || n == "columnGroup" || n == "tableHeader" ||
                    n == "tableFooter" || n == "columnHeader" || n == "columnFooter" ||
                    n == "groupHeader" || n == "groupFooter" ||
                    (n == "detailCell" && c.children.empty()))
                    continue;
                if (n == "printWhenExpression")
                    reader_.RefuseAt(*k, "a printWhenExpression on a table column");
                else if (n == "property")
                    continue;
                else
                    reader_.RefuseElement(*k, c.node->name.toStdString().c_str());
            }
            CheckColumns(c.children);
        }
    }

    // The cell a column has for a section (a group's: for `group`).
    Cell CellOf(const Column& c, Section s, const QString& group) {
        static const char* const names[] = {"tableHeader",  "tableFooter", "columnHeader",
                                            "columnFooter", "groupHeader", "groupFooter",
                                            "detailCell"};
        for (const auto& k : c.node->children) {
            if (k->name != names[int(s)]) continue;
            const XNode* cell = k.get();
            if (s == Section::GroupHeader || s == Section::GroupFooter) {
                if (k->Attribute("groupName") != group) continue;
                cell = nullptr;
                for (const auto& inner : k->children)
                    if (inner->name == "cell") cell = inner.get();
                if (cell == nullptr) continue;
            }
            return {cell, reader_.ReadNumber(*cell, "height")};
        }
        return {};
    }

    // Lays out the section's cells from (x, y); returns the height used.
    double Place(const std::vector<Column>& columns, Section s, const QString& group, double x,
                 double y, std::vector<Element>& out) {
        const bool footer =
            s == Section::TableFooter || s == Section::ColumnFooter || s == Section::GroupFooter;
        double tallest = 0;
        for (const auto& c : columns) {
            const Cell own = CellOf(c, s, group);
            double used = 0;
            if (!c.children.empty()) {
                // A column group's own cell spans its columns, above them in
                // headers and below them in footers.
                if (!footer) Put(own, x, y, c.width, out);
                used = Place(c.children, s, group, x, y + (footer ? 0 : own.height), out);
                if (footer) Put(own, x, y + used, c.width, out);
                used += own.height;
            } else {
                Put(own, x, y, c.width, out);
                used = own.height;
            }
            tallest = std::max(tallest, used);
            x += c.width;
        }
        return tallest;
    }

    std::optional<Band> SectionBand(const std::vector<Column>& columns, Section s,
                                    const QString& group = QString()) {
        Band band;
        band.height = Place(columns, s, group, 0, 0, band.elements);
        if (band.elements.empty() && band.height <= 0) return std::nullopt;
        return band;
    }

  private:
    // A cell: a frame with the cell's style and box, its contents inside.
    void Put(const Cell& cell, double x, double y, double width, std::vector<Element>& out) {
        if (cell.node == nullptr) return;
        reader_.CheckAttributes(*cell.node, {"style", "height", "rowSpan", "groupName"});
        Element frame;
        frame.kind = ElementKind::Frame;
        frame.x = x;
        frame.y = y;
        frame.width = width;
        frame.height = cell.height;
        StyleProps own;
        for (const auto& k : cell.node->children)
            if (k->name == "box") reader_.ReadBoxInto(*k, own);
        reader_.ResolveStyle(frame, *cell.node, cell.node->Attribute("style"), own);
        out.push_back(std::move(frame));
        for (const auto& k : cell.node->children)
            if (k->name != "box") reader_.ReadInto(*k, out, x, y, "cell");
    }

    ElementReader& reader_;
};

double TotalWidth(const std::vector<Column>& columns) {
    double w = 0;
    for (const auto& c : columns)
        w += c.width;
    return w;
}

std::optional<Element> ReadTable(const XNode& node, const Element& at, ElementReader& reader) {
    reader.CheckAttributes(node, {"whenNoDataType"});
    const QString noData = node.Attribute("whenNoDataType");
    if (!noData.isEmpty() && noData != "Blank" && noData != "AllSectionsNoDetail")
        reader.RefuseAt(node, "the whenNoDataType \"" + noData.toStdString() + "\" of a table");
    auto def = std::make_shared<SubreportDef>();
    for (const auto& k : node.children)
        if (k->name == "datasetRun") def->run = ReadDatasetRun(*k, reader);
    if (!def->run) {
        reader.RefuseAt(node, "a table without a datasetRun");
        return std::nullopt;
    }
    TableReader table(reader);
    const std::vector<Column> columns = table.Columns(node);
    for (const auto& k : node.children)
        if (k->name != "datasetRun" && k->name != "column" && k->name != "columnGroup")
            reader.RefuseElement(*k, "table");
    table.CheckColumns(columns);
    const Report* dataset = Dataset(node, *def->run, reader);
    if (dataset == nullptr) return std::nullopt;
    auto r = InlineReport(*dataset, std::max(at.width, TotalWidth(columns)));
    if (noData == "AllSectionsNoDetail") r->whenNoData = Report::NoData::AllSectionsNoDetail;
    r->title = table.SectionBand(columns, Section::TableHeader);
    r->summary = table.SectionBand(columns, Section::TableFooter);
    r->columnHeader = table.SectionBand(columns, Section::ColumnHeader);
    r->columnFooter = table.SectionBand(columns, Section::ColumnFooter);
    for (auto& g : r->groups) {
        const QString name = QString::fromStdString(g.name);
        if (auto band = table.SectionBand(columns, Section::GroupHeader, name))
            g.headers.push_back(std::move(*band));
        if (auto band = table.SectionBand(columns, Section::GroupFooter, name))
            g.footers.push_back(std::move(*band));
    }
    if (auto band = table.SectionBand(columns, Section::Detail))
        r->details.push_back(std::move(*band));
    def->inlineReport = std::move(r);
    return Container(at, std::move(def));
}

} // namespace

bool ReadRowsChild(const XNode& k, bool& passParameters, int& emptyRows, ElementReader& reader) {
    if (k.name == "parametersMapExpression") {
        // The running report's own parameters, by name; any other map has no values here.
        reader.CheckAttributes(k, {"class"});
        if (QString(k.text).remove(' ') == "$P{REPORT_PARAMETERS_MAP}")
            passParameters = true;
        else
            reader.RefuseAt(k, "the parametersMapExpression \"" + k.text.trimmed().toStdString() +
                                   "\"");
        return true;
    }
    if (k.name == "connectionExpression" || k.name == "dataSourceExpression") {
        // The rows are the destination's table, filtered; an empty data source
        // (for fixed texts) keeps its row count.
        reader.CheckAttributes(k, {"class"});
        static const QRegularExpression empty(
            R"(^\s*new\s+(net\.sf\.jasperreports\.engine\.)?JREmptyDataSource\s*\(\s*(\d*)\s*\)\s*$)");
        const auto m = empty.match(k.text);
        if (m.hasMatch())
            emptyRows =
                m.captured(2).isEmpty() ? 1 : int(std::min(m.captured(2).toLongLong(), 100000LL));
        return true;
    }
    return false;
}

std::shared_ptr<DatasetRunDef> ReadDatasetRun(const XNode& node, ElementReader& reader) {
    reader.CheckAttributes(node, {"subDataset"});
    auto run = std::make_shared<DatasetRunDef>();
    run->datasetName = node.Attribute("subDataset").toStdString();
    for (const auto& k : node.children) {
        if (ReadRowsChild(*k, run->passParameters, run->emptyRows, reader)) continue;
        if (k->name != "datasetParameter") {
            reader.RefuseElement(*k, "datasetRun");
            continue;
        }
        reader.CheckAttributes(*k, {"name"});
        NamedExpression p;
        p.name = k->Attribute("name").toStdString();
        for (const auto& e : k->children)
            if (e->name == "datasetParameterExpression")
                p.expression = reader.ReadExpression(*e);
            else
                reader.RefuseElement(*e, "datasetParameter");
        run->parameters.push_back(std::move(p));
    }
    if (run->datasetName.empty()) reader.RefuseAt(node, "a datasetRun without a subDataset");
    return run;
}

std::optional<Element> ReadComponent(const XNode& node, ElementReader& reader) {
    reader.CheckAttributes(node, {});
    Element at;
    StyleProps own;
    QString styleName;
    const XNode* component = nullptr;
    for (const auto& k : node.children) {
        if (k->name == "reportElement")
            reader.ReadReportElement(*k, at, own, styleName);
        else if (component == nullptr)
            component = k.get();
        else
            reader.RefuseElement(*k, "componentElement");
    }
    if (component == nullptr) {
        reader.RefuseAt(node, "a componentElement without a component");
        return std::nullopt;
    }
    reader.ResolveStyle(at, node, styleName, own);
    if (component->name == "list") return ReadList(*component, at, reader);
    if (component->name == "table") return ReadTable(*component, at, reader);
    reader.RefuseAt(*component, "the component \"" + component->name.toStdString() + "\"");
    return std::nullopt;
}

} // namespace printengine
