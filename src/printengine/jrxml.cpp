// The JRXML reader. The file is read into a small tree first (bounded in depth
// and size, since report files are untrusted), then checked element by
// element: whatever the engine does not support is named in a refusal rather
// than dropped.
#include "printengine/bundle.h"
#include "printengine/components.h"
#include "printengine/jrxml_node.h"
#include "printengine/report.h"
#include "printengine/subreport.h"
#include "printengine/textlayout.h"

#include "printengine/chart_jrxml.h"

#include "printengine/crosstab_jrxml.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>

#include <algorithm>
#include <cmath>
#include <memory>
#include <set>

namespace printengine {

namespace {

constexpr int MaxDepth = 64;
constexpr int MaxNodes = 200000;
constexpr qint64 MaxTemplateSize = 4 << 20;

std::unique_ptr<XNode> ReadTree(const QByteArray& bytes) {
    QXmlStreamReader xml(bytes);
    std::unique_ptr<XNode> root;
    std::vector<XNode*> stack;
    int nodes = 0;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            if (++nodes > MaxNodes || stack.size() >= MaxDepth) return nullptr;
            auto node = std::make_unique<XNode>();
            node->name = xml.name().toString();
            node->line = xml.lineNumber();
            for (const auto& a : xml.attributes()) {
                // Namespaced attributes (xsi:schemaLocation) say nothing about the output.
                if (!a.namespaceUri().isEmpty()) continue;
                node->attributes.emplace_back(a.name().toString(), a.value().toString());
            }
            XNode* raw = node.get();
            if (stack.empty()) {
                if (root) return nullptr;
                root = std::move(node);
            } else {
                stack.back()->children.push_back(std::move(node));
            }
            stack.push_back(raw);
        } else if (token == QXmlStreamReader::EndElement) {
            if (!stack.empty()) stack.pop_back();
        } else if (token == QXmlStreamReader::Characters && !stack.empty()) {
            if (!xml.isWhitespace() || xml.isCDATA()) stack.back()->text += xml.text();
        }
    }
    if (xml.hasError()) return nullptr;
    return root;
}

// Attributes that only make links or bookmarks in interactive formats.
bool HyperlinkAttribute(const QString& name) {
    return name == "hyperlinkType" || name == "hyperlinkTarget" || name == "linkType" ||
           name == "linkTarget" || name == "bookmarkLevel";
}
// Attributes the engine never needs: designers write them everywhere.
bool IgnoredAttribute(const QString& name) {
    return name == "uuid" || name == "key" || HyperlinkAttribute(name);
}

// Properties for the designer or for other output formats (spreadsheet,
// HTML, CSV exporters); none of them changes a printed page.
bool DesignerProperty(const QString& name) {
    return name.startsWith("com.jaspersoft.studio.") || name.startsWith("ireport.") ||
           name.startsWith("com.jasperassistant.") ||
           name.startsWith("net.sf.jasperreports.export.") ||
           name == "net.sf.jasperreports.print.create.bookmarks" ||
           name.startsWith("local_mesure_unit");
}

bool HyperlinkElement(const QString& name) {
    return name == "hyperlinkReferenceExpression" || name == "hyperlinkAnchorExpression" ||
           name == "hyperlinkPageExpression" || name == "hyperlinkTooltipExpression" ||
           name == "hyperlinkWhenExpression" || name == "anchorNameExpression" ||
           name == "hyperlinkParameter";
}

struct StyleDef {
    QString name, parent;
    bool isDefault = false;
    StyleProps props;
    std::vector<ConditionalStyle> conditionals;
    qint64 line = 0;
    mutable bool refused = false; // its broken parent is already named
};

// Java's named colours, as JasperReports reads them.
std::optional<QColor> JavaColor(const QString& text) {
    static const std::pair<const char*, QRgb> names[] = {
        {"black", 0x000000},  {"blue", 0x0000FF},  {"cyan", 0x00FFFF},      {"darkGray", 0x404040},
        {"gray", 0x808080},   {"green", 0x00FF00}, {"lightGray", 0xC0C0C0}, {"magenta", 0xFF00FF},
        {"orange", 0xFFC800}, {"pink", 0xFFAFAF},  {"red", 0xFF0000},       {"white", 0xFFFFFF},
        {"yellow", 0xFFFF00},
    };
    for (const auto& [name, rgb] : names)
        if (text.compare(QLatin1String(name), Qt::CaseInsensitive) == 0) return QColor(rgb);
    if (text.startsWith('#') && text.size() == 7) {
        QColor c(text);
        if (c.isValid()) return c;
    }
    return std::nullopt;
}

class Builder {
  public:
    Builder(Report& report, const QString& folder) : r_(report), folder_(folder) {}

    void ReadReport(const XNode& root) {
        Attributes(root,
                   {"name",
                    "pageWidth",
                    "pageHeight",
                    "orientation",
                    "columnWidth",
                    "columnCount",
                    "leftMargin",
                    "rightMargin",
                    "topMargin",
                    "bottomMargin",
                    "whenNoDataType",
                    "language",
                    "printOrder",
                    "whenResourceMissingType",
                    "isTitleNewPage",
                    "isSummaryNewPage",
                    "isFloatColumnFooter",
                    "isIgnorePagination",
                    "columnSpacing",
                    "isSummaryWithPageHeaderAndFooter",
                    "resourceBundle"},
                   [&](const QString& n, const QString& v) { ReportAttribute(root, n, v); });
        ReadMessages(root);
        if (r_.pageWidth <= 0 || r_.pageHeight <= 0 || r_.pageWidth > 14400 ||
            r_.pageHeight > 14400)
            Refuse("a page size of " + std::to_string(int(r_.pageWidth)) + " x " +
                   std::to_string(int(r_.pageHeight)));
        if (r_.leftMargin < 0 || r_.rightMargin < 0 || r_.topMargin < 0 || r_.bottomMargin < 0 ||
            r_.leftMargin + r_.rightMargin >= r_.pageWidth ||
            r_.topMargin + r_.bottomMargin >= r_.pageHeight)
            Refuse("margins that leave no room on the page");
        CheckColumns(root);

        // Styles first: elements may come before a style they name in odd files,
        // and templates' styles come before the report's own.
        for (const auto& child : root.children)
            if (child->name == "template") Template(*child, folder_, true, 0);
        for (const auto& child : root.children)
            if (child->name == "style") Style(*child);

        for (const auto& child : root.children)
            ReportChild(*child);
        CheckReferences();
        AddBuiltInParameters(r_, usedParameters_);
    }

    // Columns side by side must fit between the margins; a width left out
    // shares the room out.
    void CheckColumns(const XNode& root) {
        const double room = r_.pageWidth - r_.leftMargin - r_.rightMargin;
        const int n = r_.columnCount;
        if (r_.columnSpacing < 0) Refuse(root, "a negative columnSpacing");
        if (r_.columnWidth <= 0 || n == 1)
            r_.columnWidth =
                n == 1 ? std::max(room, r_.columnWidth) : (room - (n - 1) * r_.columnSpacing) / n;
        if (n > 1 &&
            (r_.columnWidth <= 0 || n * r_.columnWidth + (n - 1) * r_.columnSpacing > room + 0.5))
            Refuse(root, std::to_string(n) + " columns that do not fit between the margins");
    }

    // One attribute of <jasperReport>.
    void ReportAttribute(const XNode& root, const QString& n, const QString& v) {
        if (n == "name")
            r_.name = v.toStdString();
        else if (n == "pageWidth")
            r_.pageWidth = Number(root, n, v);
        else if (n == "pageHeight")
            r_.pageHeight = Number(root, n, v);
        else if (n == "leftMargin")
            r_.leftMargin = Number(root, n, v);
        else if (n == "rightMargin")
            r_.rightMargin = Number(root, n, v);
        else if (n == "topMargin")
            r_.topMargin = Number(root, n, v);
        else if (n == "bottomMargin")
            r_.bottomMargin = Number(root, n, v);
        else if (n == "orientation") {
            if (v == "Landscape")
                r_.landscape = true;
            else if (v != "Portrait")
                Value(root, n, v);
        } else if (n == "columnCount") {
            const double count = Number(root, n, v);
            if (count < 1 || count > 1000 || count != std::floor(count))
                Value(root, n, v);
            else
                r_.columnCount = int(count);
        } else if (n == "columnWidth") {
            r_.columnWidth = Number(root, n, v);
        } else if (n == "whenNoDataType") {
            using N = Report::NoData;
            if (v == "AllSectionsNoDetail")
                r_.whenNoData = N::AllSectionsNoDetail;
            else if (v == "BlankPage")
                r_.whenNoData = N::BlankPage;
            else if (v == "NoDataSection")
                r_.whenNoData = N::NoDataSection;
            else if (v != "NoPages")
                Value(root, n, v);
            r_.allSectionsWhenNoData = r_.whenNoData == N::AllSectionsNoDetail;
        } else if (n == "language") {
            if (v != "java" && v != "groovy") Value(root, n, v);
        } else if (n == "printOrder") {
            if (v == "Horizontal")
                r_.horizontalOrder = true;
            else if (v != "Vertical")
                Value(root, n, v);
        } else if (n == "isTitleNewPage") {
            r_.titleNewPage = Flag(root, n, v);
        } else if (n == "isSummaryNewPage") {
            r_.summaryNewPage = Flag(root, n, v);
        } else if (n == "isSummaryWithPageHeaderAndFooter") {
            r_.summaryWithPageBands = Flag(root, n, v);
        } else if (n == "isFloatColumnFooter") {
            r_.floatColumnFooter = Flag(root, n, v);
        } else if (n == "isIgnorePagination") {
            r_.ignorePagination = Flag(root, n, v);
        } else if (n == "columnSpacing") {
            r_.columnSpacing = Number(root, n, v);
        } else if (n == "resourceBundle") {
            bundleName_ = v;
        } else if (n == "whenResourceMissingType") {
            using M = MessageBundle::Missing;
            if (v == "Null" || v == "Empty" || v == "Key" || v == "Error")
                messages_.missing = v == "Null"    ? M::Null
                                    : v == "Empty" ? M::Empty
                                    : v == "Key"   ? M::Key
                                                   : M::Error;
            else
                Value(root, n, v);
        }
    }

    // The message bundle beside the report, for the user's locale: $R{}
    // texts are fixed as the expressions are read.
    void ReadMessages(const XNode& root) {
        if (bundleName_.isEmpty() || LoadBundle(folder_, bundleName_, QLocale(), messages_)) return;
        r_.refusals.push_back("The report uses the message bundle \"" + bundleName_.toStdString() +
                              "\" (line " + std::to_string(root.line) + "), which is not beside " +
                              "the report (" +
                              BundleFileNames(bundleName_, QLocale()).back().toStdString() + ").");
    }

    // One child of <jasperReport>: declarations, sections and what is refused.
    void ReportChild(const XNode& c) {
        const QString& n = c.name;
        if (n == "template" || n == "style")
            return;
        else if (n == "property")
            ReportProperty(c);
        else if (n == "import")
            Attributes(c, {"value"}, nullptr);
        else if (n == "parameter")
            Parameter(c);
        else if (n == "queryString")
            return; // the rows are the table the run points the report at
        else if (n == "filterExpression")
            r_.filter = Parse(c);
        else if (n == "subDataset")
            SubDataset(c);
        else if (n == "field")
            Field(c);
        else if (n == "sortField")
            SortField(c);
        else if (n == "filterExpression")
            r_.filter = Parse(c);
        else if (n == "variable")
            Variable(c);
        else if (n == "group")
            Group(c);
        else if (n == "background")
            r_.background = SectionBand(c);
        else if (n == "lastPageFooter")
            r_.lastPageFooter = SectionBand(c);
        else if (n == "noData")
            r_.noData = SectionBand(c);
        else if (n == "title")
            r_.title = SectionBand(c);
        else if (n == "pageHeader")
            r_.pageHeader = SectionBand(c);
        else if (n == "columnHeader")
            r_.columnHeader = SectionBand(c);
        else if (n == "detail") {
            for (const auto& b : c.children) {
                if (b->name != "band") {
                    Element(*b, "detail");
                    continue;
                }
                r_.details.push_back(ReadBand(*b));
            }
        } else if (n == "columnFooter")
            r_.columnFooter = SectionBand(c);
        else if (n == "pageFooter")
            r_.pageFooter = SectionBand(c);
        else if (n == "summary")
            r_.summary = SectionBand(c);
        else
            Element(c, "jasperReport");
    }

  private:
    // ---- refusals ------------------------------------------------------------

    void Refuse(const std::string& what) { r_.refusals.push_back(Sentence(what)); }
    void Refuse(const XNode& at, const std::string& what) {
        const std::string in = file_.empty() ? std::string() : " of " + file_;
        r_.refusals.push_back(Sentence(what + " (line " + std::to_string(at.line) + in + ")"));
    }
    static std::string Sentence(const std::string& what) {
        return "The report uses " + what + ", which the report engine does not support.";
    }
    void Element(const XNode& c, const char* parent) {
        Refuse(c, "the element \"" + c.name.toStdString() + "\" in \"" + parent + "\"");
    }
    void Value(const XNode& c, const QString& attr, const QString& value) {
        Refuse(c, "the value \"" + value.toStdString() + "\" of the attribute \"" +
                      attr.toStdString() + "\" of \"" + c.name.toStdString() + "\"");
    }

    template <typename F>
    void Attributes(const XNode& node, std::initializer_list<const char*> allowed, F&& apply) {
        for (const auto& [name, value] : node.attributes) {
            if (IgnoredAttribute(name)) continue;
            bool known = false;
            for (const char* a : allowed)
                if (name == a) known = true;
            if (!known) {
                Refuse(node, "the attribute \"" + name.toStdString() + "\" of \"" +
                                 node.name.toStdString() + "\"");
                continue;
            }
            if constexpr (!std::is_same_v<std::decay_t<F>, std::nullptr_t>) apply(name, value);
        }
    }

    double Number(const XNode& node, const QString& attr, const QString& text) {
        bool ok = false;
        const double v = text.toDouble(&ok);
        if (!ok || !(v > -100000 && v < 100000)) {
            Value(node, attr, text);
            return 0;
        }
        return v;
    }
    bool Flag(const XNode& node, const QString& attr, const QString& text) {
        if (text == "true") return true;
        if (text != "false") Value(node, attr, text);
        return false;
    }
    QColor Color(const XNode& node, const QString& attr, const QString& text) {
        if (auto c = JavaColor(text)) return *c;
        Value(node, attr, text);
        return Qt::black;
    }

    Expression Parse(const XNode& node) {
        Attributes(node, {"class"}, nullptr);
        for (const auto& c : node.children)
            Element(*c, node.name.toStdString().c_str());
        try {
            Expression e = Expression::Parse(node.text.toStdString(), &messages_);
            e.SetLine(int(node.line));
            e.ForEachReference([&](RefKind kind, const std::string& name) {
                if (kind == RefKind::Parameter) usedParameters_.insert(name);
            });
            return e;
        } catch (const ExpressionError& e) {
            Refuse(node, std::string("the expression \"") + node.text.trimmed().toStdString() +
                             "\" (" + e.what() + ")");
            return Expression();
        }
    }

    // Any class is accepted: one without values here is refused only when an
    // expression evaluates it (see PrepareReport).
    ValueClass Class(const QString& name, std::string& other) {
        if (auto c = ClassFromName(name)) return *c;
        other = name.toStdString();
        return ValueClass::Object;
    }

    // ---- the report's declarations -------------------------------------------

    void ReportProperty(const XNode& c) {
        QString name, value;
        Attributes(c, {"name", "value"},
                   [&](const QString& n, const QString& v) { (n == "name" ? name : value) = v; });
        if (name == "norvakel.table")
            r_.tableName = value.toStdString();
        else if (name == "norvakel.location")
            r_.tableLocation = value.toStdString();
        else if (!DesignerProperty(name))
            Refuse(c, "the property \"" + name.toStdString() + "\"");
    }

    void Parameter(const XNode& c) {
        ParameterDef p;
        Attributes(c, {"name", "class", "isForPrompting", "nestedType"},
                   [&](const QString& n, const QString& v) {
                       if (n == "name")
                           p.name = v.toStdString();
                       else if (n == "class")
                           p.valueClass = Class(v, p.otherClass);
                   });
        for (const auto& k : c.children) {
            if (k->name == "defaultValueExpression")
                p.defaultValue = Parse(*k);
            else if (k->name == "parameterDescription")
                continue;
            else if (k->name == "property" && DesignerPropertyNode(*k))
                continue;
            else
                Element(*k, "parameter");
        }
        if (p.name.empty()) Refuse(c, "a parameter without a name");
        r_.parameters.push_back(std::move(p));
    }

    bool DesignerPropertyNode(const XNode& k) {
        for (const auto& [n, v] : k.attributes)
            if (n == "name" && DesignerProperty(v)) return true;
        return false;
    }

    void Field(const XNode& c) {
        FieldDef f;
        Attributes(c, {"name", "class"}, [&](const QString& n, const QString& v) {
            if (n == "name")
                f.name = v.toStdString();
            else
                f.valueClass = Class(v, f.otherClass);
        });
        for (const auto& k : c.children) {
            // Descriptions and properties tell other data sources where to find
            // the field (a column, an XPath, a bean property); the rows here are
            // the run's table, matched by name.
            if (k->name == "fieldDescription" || k->name == "property" ||
                k->name == "propertyExpression")
                continue;
            Element(*k, "field");
        }
        if (f.name.empty()) Refuse(c, "a field without a name");
        r_.fields.push_back(std::move(f));
    }

    void SortField(const XNode& c) {
        SortFieldDef s;
        s.line = int(c.line);
        Attributes(c, {"name", "order", "type"}, [&](const QString& n, const QString& v) {
            if (n == "name")
                s.name = v.toStdString();
            else if (n == "order" && (v == "Ascending" || v == "Descending"))
                s.descending = v == "Descending";
            else if (n == "type" && (v == "Field" || v == "Variable"))
                s.variable = v == "Variable";
            else
                Value(c, n, v);
        });
        for (const auto& k : c.children)
            Element(*k, "sortField");
        if (s.name.empty()) Refuse(c, "a sortField without a name");
        r_.sortFields.push_back(std::move(s));
    }

    void Variable(const XNode& c) {
        VariableDef v;
        QString resetGroup, incrementGroup;
        Attributes(c,
                   {"name", "class", "calculation", "resetType", "resetGroup", "incrementType",
                    "incrementGroup"},
                   [&](const QString& n, const QString& value) {
                       if (n == "name")
                           v.name = value.toStdString();
                       else if (n == "class")
                           v.valueClass = Class(value, v.otherClass);
                       else if (n == "calculation") {
                           if (value == "Nothing")
                               v.calculation = Calculation::Nothing;
                           else if (value == "Count")
                               v.calculation = Calculation::Count;
                           else if (value == "Sum")
                               v.calculation = Calculation::Sum;
                           else if (value == "Average")
                               v.calculation = Calculation::Average;
                           else if (value == "Lowest")
                               v.calculation = Calculation::Lowest;
                           else if (value == "Highest")
                               v.calculation = Calculation::Highest;
                           else if (value == "System")
                               v.calculation = Calculation::System;
                           else if (value == "DistinctCount")
                               v.calculation = Calculation::DistinctCount;
                           else if (value == "StandardDeviation")
                               v.calculation = Calculation::StandardDeviation;
                           else if (value == "Variance")
                               v.calculation = Calculation::Variance;
                           else if (value == "First")
                               v.calculation = Calculation::First;
                           else
                               Value(c, n, value);
                       } else if (n == "resetType") {
                           if (value == "Report")
                               v.reset = ResetType::Report;
                           else if (value == "Page")
                               v.reset = ResetType::Page;
                           else if (value == "Group")
                               v.reset = ResetType::Group;
                           else if (value == "None")
                               v.reset = ResetType::None;
                           else if (value == "Column")
                               v.reset = ResetType::Column;
                           else
                               Value(c, n, value);
                       } else if (n == "resetGroup")
                           resetGroup = value;
                       else if (n == "incrementGroup")
                           incrementGroup = value;
                       else if (n == "incrementType") {
                           if (auto t = Increment(value))
                               v.increment = *t;
                           else
                               Value(c, n, value);
                       }
                   });
        for (const auto& k : c.children) {
            if (k->name == "variableExpression")
                v.expression = Parse(*k);
            else if (k->name == "initialValueExpression")
                v.initialValue = Parse(*k);
            else
                Element(*k, "variable");
        }
        if (v.reset == ResetType::Group) {
            for (size_t g = 0; g < r_.groups.size(); ++g)
                if (QString::fromStdString(r_.groups[g].name) == resetGroup) v.resetGroup = int(g);
            // Groups may be declared after the variable; resolved in CheckReferences.
            pendingGroups_.emplace_back(r_.variables.size(), resetGroup, c.line);
        }
        if (v.increment == IncrementType::Group)
            pendingIncrementGroups_.emplace_back(r_.variables.size(), incrementGroup, c.line);
        if (v.name.empty()) Refuse(c, "a variable without a name");
        r_.variables.push_back(std::move(v));
    }

    void Group(const XNode& c) {
        GroupDef g;
        Attributes(c,
                   {"name", "isStartNewPage", "isReprintHeaderOnEachPage", "isStartNewColumn",
                    "isResetPageNumber", "minHeightToStartNewPage", "keepTogether",
                    "footerPosition", "preventOrphanFooter"},
                   [&](const QString& n, const QString& v) {
                       if (n == "name")
                           g.name = v.toStdString();
                       else if (n == "isStartNewPage")
                           g.startNewPage = Flag(c, n, v);
                       else if (n == "minHeightToStartNewPage")
                           g.minHeightToStartNewPage = Number(c, n, v);
                       else if (n == "isStartNewColumn")
                           g.startNewColumn = Flag(c, n, v);
                       else if (n == "isResetPageNumber")
                           g.resetPageNumber = Flag(c, n, v);
                       else if (n == "isReprintHeaderOnEachPage")
                           g.reprintHeader = Flag(c, n, v);
                       else if (n == "keepTogether")
                           g.keepTogether = Flag(c, n, v);
                       else if (n == "footerPosition") {
                           using P = GroupDef::FooterPosition;
                           if (v == "StackAtBottom")
                               g.footerPosition = P::StackAtBottom;
                           else if (v == "ForceAtBottom")
                               g.footerPosition = P::ForceAtBottom;
                           else if (v == "CollateAtBottom")
                               g.footerPosition = P::CollateAtBottom;
                           else if (v != "Normal")
                               Value(c, n, v);
                       } else if (Flag(c, n, v)) {
                           Value(c, n, v);
                       }
                   });
        for (const auto& k : c.children) {
            if (k->name == "groupExpression")
                g.expression = Parse(*k);
            else if (k->name == "groupHeader")
                g.headers = SectionBands(*k);
            else if (k->name == "groupFooter")
                g.footers = SectionBands(*k);
            else
                Element(*k, "group");
        }
        if (g.name.empty()) Refuse(c, "a group without a name");
        r_.groups.push_back(std::move(g));
    }

    // ---- bands and elements --------------------------------------------------

    std::optional<Band> SectionBand(const XNode& section) {
        Attributes(section, {}, nullptr);
        std::optional<Band> band;
        for (const auto& b : section.children) {
            if (b->name != "band" || band) {
                Element(*b, section.name.toStdString().c_str());
                continue;
            }
            band = ReadBand(*b);
        }
        return band;
    }

    std::vector<Band> SectionBands(const XNode& section) {
        Attributes(section, {}, nullptr);
        std::vector<Band> bands;
        for (const auto& b : section.children) {
            if (b->name == "band")
                bands.push_back(ReadBand(*b));
            else
                Element(*b, section.name.toStdString().c_str());
        }
        return bands;
    }

    Band ReadBand(const XNode& node) {
        Band band;
        Attributes(node, {"height", "splitType"}, [&](const QString& n, const QString& v) {
            if (n == "height") band.height = Number(node, n, v);
            // Whatever splitType says, a band that does not fit moves to the
            // next page whole, and only one taller than a page is split.
        });
        if (band.height < 0) Value(node, "height", QString::number(band.height));
        for (const auto& k : node.children) {
            if (k->name == "printWhenExpression")
                band.printWhen = Parse(*k);
            else if (k->name == "property" && DesignerPropertyNode(*k))
                continue;
            else
                ReadElement(*k, band, 0, 0, -1, "band");
        }
        return band;
    }

    // Cells and list contents are laid out as bands of their own without
    // element groups: what the element reads into a band is theirs.
    void ReadElement(const XNode& k, std::vector<printengine::Element>& out, double dx, double dy,
                     const char* parent) {
        Band band;
        ReadElement(k, band, dx, dy, -1, parent);
        for (auto& e : band.elements) {
            e.group = -1;
            out.push_back(std::move(e));
        }
    }

    // One element into the band; frames and element groups add their
    // contents after themselves, moved by the frame's position. `group` is
    // the innermost element group around it (a frame starts afresh).
    void ReadElement(const XNode& k, Band& band, double dx, double dy, int group,
                     const char* parent) {
        const QString& n = k.name;
        std::optional<printengine::Element> e;
        if (n == "staticText")
            e = TextElement(k, ElementKind::StaticText);
        else if (n == "textField")
            e = TextElement(k, ElementKind::TextField);
        else if (n == "line")
            e = Graphic(k, ElementKind::Line);
        else if (n == "rectangle")
            e = Graphic(k, ElementKind::Rectangle);
        else if (n == "ellipse")
            e = Graphic(k, ElementKind::Ellipse);
        else if (n == "frame")
            e = Frame(k);
        else if (n == "image")
            e = Image(k);
        else if (n == "subreport")
            e = Subreport(k);
        else if (const auto chart = ChartKindOf(n))
            e = Chart(k, *chart);
        else if (n == "crosstab")
            e = Crosstab(k);
        else if (n == "componentElement") {
            e = ReadComponent(k, reader_);
            if (!e) return;
        } else if (n == "elementGroup") {
            Attributes(k, {}, nullptr);
            band.groups.push_back(group);
            const int inner = int(band.groups.size()) - 1;
            for (const auto& c : k.children)
                ReadElement(*c, band, dx, dy, inner, "elementGroup");
            return;
        } else {
            Element(k, parent);
            return;
        }
        e->x += dx;
        e->y += dy;
        e->group = group;
        // A frame's contents stand inside its padding.
        const double x = e->x + e->box.left, y = e->y + e->box.top;
        const size_t at = band.elements.size();
        band.elements.push_back(std::move(*e));
        if (n == "frame") {
            for (const auto& c : k.children)
                if (c->name != "reportElement" && c->name != "box")
                    ReadElement(*c, band, x, y, -1, "frame");
            band.elements[at].contents = band.elements.size() - at - 1;
        }
    }

    // JasperReports' older names mean the newer ones.
    static std::optional<StretchType> Stretch(const QString& v) {
        if (v == "NoStretch") return StretchType::NoStretch;
        if (v == "ContainerHeight" || v == "RelativeToBandHeight")
            return StretchType::ContainerHeight;
        if (v == "ContainerBottom") return StretchType::ContainerBottom;
        if (v == "ElementGroupHeight" || v == "RelativeToTallestObject")
            return StretchType::ElementGroupHeight;
        if (v == "ElementGroupBottom") return StretchType::ElementGroupBottom;
        return std::nullopt;
    }

    // The reportElement's own attributes; the style it names is in `styleName`.
    void ReportElement(const XNode& node, printengine::Element& e, StyleProps& own,
                       QString& styleName) {
        Attributes(node,
                   {"x", "y", "width", "height", "positionType", "stretchType", "mode", "forecolor",
                    "backcolor", "isRemoveLineWhenBlank", "isPrintRepeatedValues",
                    "isPrintInFirstWholeBand", "isPrintWhenDetailOverflows", "style",
                    "printWhenGroupChanges"},
                   [&](const QString& n, const QString& v) {
                       if (n == "x")
                           e.x = Number(node, n, v);
                       else if (n == "y")
                           e.y = Number(node, n, v);
                       else if (n == "width")
                           e.width = Number(node, n, v);
                       else if (n == "height")
                           e.height = Number(node, n, v);
                       else if (n == "style")
                           styleName = v;
                       else if (n == "positionType") {
                           if (v == "Float")
                               e.floating = true;
                           else if (v == "FixRelativeToBottom")
                               e.toBottom = true;
                           else if (v != "FixRelativeToTop")
                               Value(node, n, v);
                       } else if (n == "stretchType") {
                           if (auto type = Stretch(v))
                               e.stretchType = *type;
                           else
                               Value(node, n, v);
                       } else if (n == "mode" || n == "forecolor" || n == "backcolor")
                           StyleAttribute(node, n, v, own);
                       else if (n == "isPrintRepeatedValues")
                           e.printRepeated = Flag(node, n, v) || v != "false";
                       else if (n == "isPrintInFirstWholeBand")
                           e.printInFirstWholeBand = Flag(node, n, v);
                       else if (n == "isRemoveLineWhenBlank")
                           e.removeLineWhenBlank = Flag(node, n, v);
                       else if (n == "printWhenGroupChanges")
                           e.printWhenGroupChanges = v.toStdString();
                       else if (n == "isPrintWhenDetailOverflows") {
                           // A band split over pages prints its elements once;
                           // they are not repeated on the pages it goes on to.
                           Flag(node, n, v);
                       } else if (Flag(node, n, v)) {
                           Value(node, n, v);
                       }
                   });
        if (e.width < 0 || e.height < 0) Refuse(node, "an element of negative size");
        for (const auto& k : node.children) {
            if (k->name == "property" && DesignerPropertyNode(*k)) continue;
            if (k->name == "printWhenExpression")
                e.printWhen = Parse(*k);
            else
                Element(*k, "reportElement");
        }
    }

    // The element's look: kind defaults, its style's chain, then its own
    // attributes; conditional styles wait for the fill.
    void Resolve(printengine::Element& e, const XNode& at, const QString& styleName,
                 const StyleProps& own) {
        std::vector<const StyleDef*> chain;
        if (!styleName.isEmpty()) {
            const StyleDef* s = FindStyle(styleName, styles_.size());
            if (s == nullptr)
                Refuse(at, "the unknown style \"" + styleName.toStdString() + "\"");
            else
                chain = Chain(*s);
        } else if (defaultStyle_ != nullptr) {
            chain = Chain(*defaultStyle_);
        }
        std::vector<ConditionalStyle> conditionals;
        for (const StyleDef* s : chain) {
            ApplyStyle(e, s->props);
            for (const auto& c : s->conditionals)
                conditionals.push_back(c);
        }
        ApplyStyle(e, own);
        if (!conditionals.empty()) {
            e.conditionals = std::move(conditionals);
            e.own = std::make_shared<StyleProps>(own);
        }
    }

    printengine::Element TextElement(const XNode& node, ElementKind kind) {
        printengine::Element e;
        e.kind = kind;
        StyleProps own;
        QString styleName;
        if (kind == ElementKind::StaticText) {
            Attributes(node, {}, nullptr);
        } else {
            Attributes(node,
                       {"isStretchWithOverflow", "textAdjust", "pattern", "evaluationTime",
                        "evaluationGroup", "isBlankWhenNull"},
                       [&](const QString& n, const QString& v) {
                           if (n == "isStretchWithOverflow")
                               e.stretch = Flag(node, n, v);
                           else if (n == "textAdjust") {
                               if (v == "StretchHeight")
                                   e.stretch = true;
                               else if (v == "ScaleFont")
                                   e.scaleFont = true;
                               else if (v != "CutText")
                                   Value(node, n, v);
                           } else if (n == "pattern" || n == "isBlankWhenNull")
                               StyleAttribute(node, n, v, own);
                           else if (n == "evaluationTime")
                               Evaluation(node, n, v, e);
                           else if (n == "evaluationGroup")
                               e.evaluationGroupName = v.toStdString();
                       });
            EvaluationGroup(node, e);
        }
        for (const auto& k : node.children) {
            const QString& n = k->name;
            if (n == "reportElement")
                ReportElement(*k, e, own, styleName);
            else if (n == "textElement")
                TextElementStyle(*k, own);
            else if (n == "text" && kind == ElementKind::StaticText) {
                Attributes(*k, {}, nullptr);
                e.text = k->text.toStdString();
            } else if (n == "textFieldExpression" && kind == ElementKind::TextField)
                e.expression = Parse(*k);
            else if (n == "box")
                ReadBox(*k, own);
            else if (HyperlinkElement(n))
                continue;
            else
                Element(*k, node.name.toStdString().c_str());
        }
        // An element without text prints nothing, as in JasperReports.
        Resolve(e, node, styleName, own);
        return e;
    }

    printengine::Element Graphic(const XNode& node, ElementKind kind) {
        printengine::Element e;
        e.kind = kind;
        // Shapes are filled by default; lines have no fill to show.
        if (kind != ElementKind::Line) e.opaque = true;
        StyleProps own;
        QString styleName;
        Attributes(node,
                   kind == ElementKind::Line ? std::initializer_list<const char*>{"direction"}
                   : kind == ElementKind::Rectangle ? std::initializer_list<const char*>{"radius"}
                                                    : std::initializer_list<const char*>{},
                   [&](const QString& n, const QString& v) {
                       if (n == "direction") {
                           if (v == "BottomUp")
                               e.bottomUp = true;
                           else if (v != "TopDown")
                               Value(node, n, v);
                       } else
                           StyleAttribute(node, n, v, own);
                   });
        for (const auto& k : node.children) {
            if (k->name == "reportElement")
                ReportElement(*k, e, own, styleName);
            else if (k->name == "graphicElement")
                GraphicStyle(*k, own);
            else
                Element(*k, node.name.toStdString().c_str());
        }
        Resolve(e, node, styleName, own);
        return e;
    }

    printengine::Element Image(const XNode& node) {
        printengine::Element e;
        e.kind = ElementKind::Image;
        StyleProps own;
        QString styleName;
        Attributes(
            node,
            {"scaleImage", "hAlign", "vAlign", "hImageAlign", "vImageAlign", "isUsingCache",
             "isLazy", "onErrorType", "evaluationTime", "evaluationGroup"},
            [&](const QString& n, const QString& v) {
                if (n == "hAlign" || n == "vAlign")
                    StyleAttribute(node, n == "hAlign" ? "hImageAlign" : "vImageAlign", v, own);
                else if (n == "isUsingCache" || n == "isLazy")
                    Flag(node, n, v); // files are read once per print in any case
                else if (n == "onErrorType") {
                    using E = printengine::Element::OnError;
                    if (v == "Error" || v == "Blank" || v == "Icon")
                        e.onError = v == "Error" ? E::Error : v == "Blank" ? E::Blank : E::Icon;
                    else
                        Value(node, n, v);
                } else if (n == "evaluationTime") {
                    Evaluation(node, n, v, e);
                } else if (n == "evaluationGroup") {
                    e.evaluationGroupName = v.toStdString();
                } else
                    StyleAttribute(node, n, v, own);
            });
        EvaluationGroup(node, e);
        for (const auto& k : node.children) {
            const QString& n = k->name;
            if (n == "reportElement")
                ReportElement(*k, e, own, styleName);
            else if (n == "box")
                ReadBox(*k, own);
            else if (n == "graphicElement")
                GraphicStyle(*k, own);
            else if (n == "imageExpression")
                e.expression = Parse(*k);
            else if (HyperlinkElement(n))
                continue;
            else
                Element(*k, "image");
        }
        Resolve(e, node, styleName, own);
        return e;
    }

    printengine::Element Subreport(const XNode& node) {
        printengine::Element e;
        e.kind = ElementKind::Subreport;
        auto def = std::make_shared<SubreportDef>();
        StyleProps own;
        QString styleName;
        Attributes(node, {"isUsingCache", "runToBottom", "overflowType"},
                   [&](const QString& n, const QString& v) {
                       if (n == "overflowType") {
                           if (v != "Stretch") Value(node, n, v);
                       } else if (Flag(node, n, v) && n == "runToBottom") {
                           Value(node, n, v);
                       }
                   });
        for (const auto& k : node.children) {
            const QString& n = k->name;
            if (n == "reportElement")
                ReportElement(*k, e, own, styleName);
            else if (n == "subreportExpression")
                def->reportExpression = Parse(*k);
            else if (n == "subreportParameter" || n == "returnValue")
                SubreportChild(*k, *def);
            else if (ReadRowsChild(*k, def->passParameters, def->emptyRows, reader_))
                continue;
            else if (k->name == "property" && DesignerPropertyNode(*k))
                continue;
            else
                Element(*k, "subreport");
        }
        if (def->reportExpression.Empty()) Refuse(node, "a subreport without a file name");
        Resolve(e, node, styleName, own);
        e.subreport = std::move(def);
        return e;
    }

    // A <subDataset>: a report of its own without bands, read by the same rules.
    void SubDataset(const XNode& node) {
        auto d = std::make_shared<Report>();
        d->folder = folder_;
        Builder inner(*d, folder_);
        inner.file_ = file_;
        Attributes(node, {"name", "whenResourceMissingType"},
                   [&](const QString& n, const QString& v) {
                       if (n == "name") d->name = v.toStdString();
                   });
        for (const auto& c : node.children) {
            const QString& n = c->name;
            if (n == "parameter" || n == "field" || n == "variable" || n == "group" ||
                n == "queryString" || n == "filterExpression" || n == "property")
                inner.ReportChild(*c);
            else
                Element(*c, "subDataset");
        }
        inner.CheckReferences();
        if (d->name.empty()) Refuse(node, "a subDataset without a name");
        r_.refusals.insert(r_.refusals.end(), d->refusals.begin(), d->refusals.end());
        d->refusals.clear();
        r_.datasets.push_back(std::move(d));
    }

    void SubreportChild(const XNode& k, SubreportDef& def) {
        if (k.name == "subreportParameter") {
            NamedExpression p;
            Attributes(k, {"name"},
                       [&](const QString&, const QString& v) { p.name = v.toStdString(); });
            for (const auto& c : k.children)
                if (c->name == "subreportParameterExpression")
                    p.expression = Parse(*c);
                else
                    Element(*c, "subreportParameter");
            if (p.name.empty()) Refuse(k, "a subreportParameter without a name");
            def.parameters.push_back(std::move(p));
            return;
        }
        ReturnValueDef r;
        Attributes(k, {"subreportVariable", "toVariable", "calculation"},
                   [&](const QString& n, const QString& v) {
                       if (n == "subreportVariable")
                           r.from = v.toStdString();
                       else if (n == "toVariable")
                           r.to = v.toStdString();
                       else if (v == "Nothing" || v == "Count" || v == "Sum" || v == "Lowest" ||
                                v == "Highest")
                           r.calculation = v == "Count"     ? Calculation::Count
                                           : v == "Sum"     ? Calculation::Sum
                                           : v == "Lowest"  ? Calculation::Lowest
                                           : v == "Highest" ? Calculation::Highest
                                                            : Calculation::Nothing;
                       else
                           Value(k, n, v);
                   });
        for (const auto& c : k.children)
            Element(*c, "returnValue");
        if (r.from.empty() || r.to.empty()) Refuse(k, "a returnValue without both variables");
        def.returns.push_back(std::move(r));
    }
    printengine::Element Chart(const XNode& node, const ChartKind& kind) {
        printengine::Element e;
        e.kind = ElementKind::Chart;
        e.opaque = true; // charts are drawn on white unless they say otherwise
        e.chart = std::make_shared<ChartDef>();
        chartOwn_ = StyleProps{};
        chartStyle_.clear();
        ChartReader<XNode, Builder>(*this, *e.chart).Read(node, kind, e);
        Resolve(e, node, chartStyle_, chartOwn_);
        return e;
    }

  public: // for ChartReader
    void ChartRefuse(const XNode& at, const std::string& what) { Refuse(at, what); }
    void ChartElement(const XNode& at, const QString& parent) {
        Element(at, parent.toStdString().c_str());
    }
    void ChartValue(const XNode& at, const QString& n, const QString& v) { Value(at, n, v); }
    bool ChartFlag(const XNode& at, const QString& n, const QString& v) { return Flag(at, n, v); }
    double ChartNumber(const XNode& at, const QString& n, const QString& v) {
        return Number(at, n, v);
    }
    QColor ChartColor(const XNode& at, const QString& n, const QString& v) {
        return Color(at, n, v);
    }
    QString ChartFontFamily(const QString& name) { return printengine::FontFamily(name); }
    Expression ChartExpression(const XNode& at) { return Parse(at); }
    ElementReader& ChartComponents() { return reader_; }
    void ChartReportElement(const XNode& at, printengine::Element& e) {
        ReportElement(at, e, chartOwn_, chartStyle_);
    }
    void ChartBox(const XNode& at, printengine::Element&) { ReadBox(at, chartOwn_); }

  private:
    StyleProps chartOwn_;
    QString chartStyle_;
    printengine::Element Crosstab(const XNode& node) {
        printengine::Element e;
        e.kind = ElementKind::Crosstab;
        e.crosstab = std::make_shared<CrosstabDef>();
        CrosstabReader<Builder, XNode>(*this, *e.crosstab).Read(node, e);
        CompleteCrosstab(*e.crosstab, r_.refusals);
        return e;
    }
    template <typename, typename> friend class printengine::CrosstabReader;

    printengine::Element Frame(const XNode& node) {
        printengine::Element e;
        e.kind = ElementKind::Frame;
        StyleProps own;
        QString styleName;
        Attributes(node, {"borderSplitType"}, [&](const QString& n, const QString& v) {
            // A frame cut over two pages keeps its borders on both parts.
            if (v != "NoBorders" && v != "DrawBorders") Value(node, n, v);
        });
        for (const auto& k : node.children) {
            if (k->name == "reportElement")
                ReportElement(*k, e, own, styleName);
            else if (k->name == "box")
                ReadBox(*k, own);
        }
        Resolve(e, node, styleName, own);
        return e;
    }

    // ---- styles ----------------------------------------------------------------

    void Font(const XNode& node, StyleProps& p) {
        Attributes(node,
                   {"fontName", "size", "isBold", "isItalic", "isUnderline", "isStrikeThrough",
                    "pdfFontName", "pdfEncoding", "isPdfEmbedded"},
                   [&](const QString& n, const QString& v) {
                       StyleAttribute(node, n == "size" ? QString("fontSize") : n, v, p);
                   });
        for (const auto& k : node.children)
            Element(*k, "font");
    }

    void TextElementStyle(const XNode& node, StyleProps& p) {
        Attributes(node,
                   {"textAlignment", "verticalAlignment", "rotation", "markup", "lineSpacing",
                    "isStyledText"},
                   [&](const QString& n, const QString& v) { StyleAttribute(node, n, v, p); });
        for (const auto& k : node.children) {
            if (k->name == "font")
                Font(*k, p);
            else if (k->name == "paragraph")
                Paragraph(*k, p.paragraph);
            else
                Element(*k, "textElement");
        }
    }

    void Paragraph(const XNode& node, ParagraphProps& p) {
        Attributes(node,
                   {"lineSpacing", "lineSpacingSize", "firstLineIndent", "leftIndent",
                    "rightIndent", "spacingBefore", "spacingAfter", "tabStopWidth"},
                   [&](const QString& n, const QString& v) {
                       if (n == "lineSpacing") {
                           LineSpacing(node, v, p);
                           return;
                       }
                       const double d = Number(node, n, v);
                       if ((d < 0 && n != "firstLineIndent") || (n == "tabStopWidth" && d == 0))
                           Value(node, n, v);
                       auto& slot = n == "lineSpacingSize"   ? p.lineSpacingSize
                                    : n == "firstLineIndent" ? p.firstLineIndent
                                    : n == "leftIndent"      ? p.leftIndent
                                    : n == "rightIndent"     ? p.rightIndent
                                    : n == "spacingBefore"   ? p.spacingBefore
                                    : n == "spacingAfter"    ? p.spacingAfter
                                                             : p.tabStopWidth;
                       slot = std::max(n == "firstLineIndent" ? -1000.0 : 0.0, d);
                       if (n == "tabStopWidth" && d <= 0) slot.reset();
                   });
        std::vector<TabStop> stops;
        for (const auto& k : node.children) {
            if (k->name != "tabStop") {
                Element(*k, "paragraph");
                continue;
            }
            TabStop t;
            Attributes(*k, {"position", "alignment"}, [&](const QString& n, const QString& v) {
                if (n == "position")
                    t.position = std::max(0.0, Number(*k, n, v));
                else if (v == "Center" || v == "Right" || v == "Left")
                    t.align = v == "Center"  ? TabStop::Align::Center
                              : v == "Right" ? TabStop::Align::Right
                                             : TabStop::Align::Left;
                else
                    Value(*k, n, v);
            });
            stops.push_back(t);
        }
        if (!stops.empty()) p.tabStops = std::move(stops);
    }

    void LineSpacing(const XNode& node, const QString& v, ParagraphProps& p) {
        using S = printengine::Paragraph::Spacing;
        static const std::pair<const char*, S> names[] = {
            {"Single", S::Single},   {"1_1_2", S::OneAndHalf}, {"Double", S::Double},
            {"AtLeast", S::AtLeast}, {"Fixed", S::Fixed},      {"Proportional", S::Proportional},
        };
        for (const auto& [name, spacing] : names)
            if (v == QLatin1String(name)) {
                p.lineSpacing = spacing;
                return;
            }
        Value(node, "lineSpacing", v);
    }

    // One attribute that styles and elements share, by its style name.
    // False when `n` is not such an attribute.
    // Long on purpose: one branch per style attribute, the list as JRXML has it.
    bool StyleAttribute(const XNode& node, const QString& n, const QString& v, StyleProps& p) {
        using H = TextStyle::HAlign;
        using V = TextStyle::VAlign;
        if (n == "fontName")
            p.fontName = v; // the installed family is chosen when the text is laid out
        else if (n == "fontSize" || n == "size") {
            p.size = Number(node, n, v);
            if (*p.size <= 0 || *p.size > 1000) Value(node, n, v);
        } else if (n == "isBold")
            p.bold = Flag(node, n, v);
        else if (n == "isItalic")
            p.italic = Flag(node, n, v);
        else if (n == "isUnderline")
            p.underline = Flag(node, n, v);
        else if (n == "isStrikeThrough")
            p.strikeThrough = Flag(node, n, v);
        else if (n == "forecolor")
            p.foreColor = Color(node, n, v);
        else if (n == "backcolor")
            p.backColor = Color(node, n, v);
        else if (n == "mode") {
            if (v == "Opaque" || v == "Transparent")
                p.opaque = v == "Opaque";
            else
                Value(node, n, v);
        } else if (n == "hAlign" || n == "hTextAlign" || n == "textAlignment") {
            if (v == "Left")
                p.hAlign = H::Left;
            else if (v == "Center")
                p.hAlign = H::Center;
            else if (v == "Right")
                p.hAlign = H::Right;
            else if (v == "Justified")
                p.hAlign = H::Justified;
            else
                Value(node, n, v);
        } else if (n == "vAlign" || n == "vTextAlign" || n == "verticalAlignment") {
            if (v == "Top")
                p.vAlign = V::Top;
            else if (v == "Middle")
                p.vAlign = V::Middle;
            else if (v == "Bottom")
                p.vAlign = V::Bottom;
            else
                Value(node, n, v);
        } else if (n == "radius")
            p.radius = Number(node, n, v);
        else if (n == "pattern")
            p.pattern = v.toStdString();
        else if (n == "isBlankWhenNull")
            p.blankWhenNull = Flag(node, n, v);
        else if (n == "rotation") {
            using R = TextStyle::Rotation;
            if (v == "None" || v == "Left" || v == "Right" || v == "UpsideDown")
                p.rotation = v == "None"    ? R::None
                             : v == "Left"  ? R::Left
                             : v == "Right" ? R::Right
                                            : R::UpsideDown;
            else
                Value(node, n, v);
        } else if (n == "markup") {
            if (v == "none" || v == "styled" || v == "html" || v == "rtf")
                p.markup = v == "styled" ? Markup::Styled
                           : v == "html" ? Markup::Html
                           : v == "rtf"  ? Markup::Rtf
                                         : Markup::None;
            else
                Value(node, n, v);
        } else if (n == "isStyledText") {
            p.markup = Flag(node, n, v) ? Markup::Styled : Markup::None;
        } else if (n == "fill") {
            if (v != "Solid") Value(node, n, v);
        } else if (n == "lineSpacing") {
            LineSpacing(node, v, p.paragraph);
        } else if (n == "hImageAlign") {
            if (v == "Left")
                p.imageHAlign = H::Left;
            else if (v == "Center")
                p.imageHAlign = H::Center;
            else if (v == "Right")
                p.imageHAlign = H::Right;
            else
                Value(node, n, v);
        } else if (n == "vImageAlign") {
            if (v == "Top")
                p.imageVAlign = V::Top;
            else if (v == "Middle")
                p.imageVAlign = V::Middle;
            else if (v == "Bottom")
                p.imageVAlign = V::Bottom;
            else
                Value(node, n, v);
        } else if (n == "scaleImage") {
            if (v == "Clip")
                p.scale = ImageScale::Clip;
            else if (v == "FillFrame")
                p.scale = ImageScale::FillFrame;
            else if (v == "RetainShape")
                p.scale = ImageScale::RetainShape;
            else if (v == "RealSize" || v == "RealHeight")
                p.scale = ImageScale::RealSize; // the element does not grow here
            else
                Value(node, n, v);
        } else if (n == "pdfFontName" || n == "pdfEncoding" || n == "isPdfEmbedded") {
            // These pick fonts for another PDF writer; ours embeds the fonts it draws with.
        } else {
            return false;
        }
        return true;
    }

    void PenAttributes(const XNode& node, PenProps& pen) {
        Attributes(node, {"lineWidth", "lineStyle", "lineColor"},
                   [&](const QString& n, const QString& v) {
                       if (n == "lineWidth")
                           pen.width = Number(node, n, v);
                       else if (n == "lineColor")
                           pen.color = Color(node, n, v);
                       else if (v == "Solid")
                           pen.style = Qt::SolidLine;
                       else if (v == "Dashed")
                           pen.style = Qt::DashLine;
                       else if (v == "Dotted")
                           pen.style = Qt::DotLine;
                       else if (v == "Double")
                           pen.style = DoublePenStyle;
                       else
                           Value(node, n, v);
                   });
        for (const auto& g : node.children)
            Element(*g, node.name.toStdString().c_str());
    }

    static void Merge(PenProps& to, const PenProps& from) {
        if (from.width) to.width = from.width;
        if (from.style) to.style = from.style;
        if (from.color) to.color = from.color;
    }

    void ReadBox(const XNode& node, StyleProps& p) {
        Attributes(node, {"padding", "topPadding", "leftPadding", "bottomPadding", "rightPadding"},
                   [&](const QString& n, const QString& v) {
                       const double d = Number(node, n, v);
                       if (n == "padding")
                           p.padding[0] = p.padding[1] = p.padding[2] = p.padding[3] = d;
                       else if (n == "topPadding")
                           p.padding[0] = d;
                       else if (n == "leftPadding")
                           p.padding[1] = d;
                       else if (n == "bottomPadding")
                           p.padding[2] = d;
                       else
                           p.padding[3] = d;
                   });
        // <pen> sets every side; the side pens that follow override it.
        for (const auto& k : node.children) {
            if (k->name == "pen") {
                PenProps pen;
                PenAttributes(*k, pen);
                for (auto& side : p.boxPen)
                    Merge(side, pen);
            }
        }
        for (const auto& k : node.children) {
            const QString& n = k->name;
            if (n == "pen") continue;
            if (n == "topPen")
                PenAttributes(*k, p.boxPen[0]);
            else if (n == "leftPen")
                PenAttributes(*k, p.boxPen[1]);
            else if (n == "bottomPen")
                PenAttributes(*k, p.boxPen[2]);
            else if (n == "rightPen")
                PenAttributes(*k, p.boxPen[3]);
            else
                Element(*k, "box");
        }
    }

    void GraphicStyle(const XNode& node, StyleProps& p) {
        Attributes(node, {"fill"},
                   [&](const QString& n, const QString& v) { StyleAttribute(node, n, v, p); });
        for (const auto& k : node.children) {
            if (k->name == "pen")
                PenAttributes(*k, p.pen);
            else
                Element(*k, "graphicElement");
        }
    }

    // A <style> of the report or of a template.
    void Style(const XNode& node) {
        StyleDef def;
        def.line = node.line;
        StyleBody(node, def.props, &def);
        if (def.name.isEmpty()) {
            Refuse(node, "a style without a name");
            return;
        }
        styles_.push_back(std::make_unique<StyleDef>(std::move(def)));
        if (styles_.back()->isDefault) defaultStyle_ = styles_.back().get();
    }

    // The attributes and children of a style; `def` is null for the style
    // inside a conditional style.
    void StyleBody(const XNode& node, StyleProps& p, StyleDef* def) {
        for (const auto& [n, v] : node.attributes) {
            if (IgnoredAttribute(n)) continue;
            if (def != nullptr && n == "name")
                def->name = v;
            else if (def != nullptr && n == "style")
                def->parent = v;
            else if (def != nullptr && n == "isDefault")
                def->isDefault = Flag(node, n, v);
            else if (!StyleAttribute(node, n, v, p))
                Refuse(node, "the attribute \"" + n.toStdString() + "\" of \"style\"");
        }
        for (const auto& k : node.children) {
            const QString& n = k->name;
            if (n == "pen")
                PenAttributes(*k, p.pen);
            else if (n == "box")
                ReadBox(*k, p);
            else if (n == "paragraph")
                Paragraph(*k, p.paragraph);
            else if (n == "conditionalStyle" && def != nullptr)
                Conditional(*k, *def);
            else
                Element(*k, "style");
        }
    }

    void Conditional(const XNode& node, StyleDef& def) {
        Attributes(node, {}, nullptr);
        ConditionalStyle c;
        bool haveCondition = false;
        for (const auto& k : node.children) {
            if (k->name == "conditionExpression") {
                c.condition = Parse(*k);
                haveCondition = true;
            } else if (k->name == "style")
                StyleBody(*k, c.props, nullptr);
            else
                Element(*k, "conditionalStyle");
        }
        if (!haveCondition) Refuse(node, "a conditional style without a condition");
        def.conditionals.push_back(std::move(c));
    }

    // The latest style of that name declared before `before`, else any.
    const StyleDef* FindStyle(const QString& name, size_t before) const {
        for (size_t i = std::min(before, styles_.size()); i-- > 0;)
            if (styles_[i]->name == name) return styles_[i].get();
        for (size_t i = styles_.size(); i-- > 0;)
            if (styles_[i]->name == name) return styles_[i].get();
        return nullptr;
    }

    // `s` and its ancestors, the farthest first.
    std::vector<const StyleDef*> Chain(const StyleDef& s) {
        std::vector<const StyleDef*> chain{&s};
        while (!chain.back()->parent.isEmpty()) {
            const StyleDef* at = chain.back();
            size_t index = 0;
            while (index < styles_.size() && styles_[index].get() != at)
                ++index;
            const StyleDef* parent = FindStyle(at->parent, index);
            if (parent == nullptr || chain.size() > 32 ||
                std::find(chain.begin(), chain.end(), parent) != chain.end()) {
                if (!at->refused) {
                    Refuse(parent == nullptr
                               ? "the unknown parent style \"" + at->parent.toStdString() +
                                     "\" of the style \"" + at->name.toStdString() + "\""
                               : "a style that inherits from itself (\"" + at->name.toStdString() +
                                     "\")");
                    at->refused = true;
                }
                break;
            }
            chain.push_back(parent);
        }
        std::reverse(chain.begin(), chain.end());
        return chain;
    }

    // A style template: `<template>` names a .jrtx file beside the report;
    // a template may name further templates beside itself.
    void Template(const XNode& node, const QString& folder, bool expression, int depth) {
        Attributes(node, {"class"}, nullptr);
        QString name = node.text.trimmed();
        if (expression) {
            // The designer writes a text literal: "styles.jrtx".
            Expression e = Parse(node);
            printengine::Value v;
            try {
                v = e.Evaluate([](RefKind, int) -> const printengine::Value& {
                    throw ExpressionError("a template name may only be a text");
                });
            } catch (const ExpressionError&) {
                Refuse(node, "the template \"" + name.toStdString() + "\" (not a file name)");
                return;
            }
            const auto* text = std::get_if<std::string>(&v);
            if (text == nullptr) {
                Refuse(node, "the template \"" + name.toStdString() + "\" (not a file name)");
                return;
            }
            name = QString::fromStdString(*text);
        }
        const QString path = QDir(folder).filePath(name);
        QFile file(path);
        if (folder.isEmpty() || depth > 8 || !file.open(QIODevice::ReadOnly) ||
            file.size() > MaxTemplateSize) {
            Refuse(node, "the style template \"" + name.toStdString() +
                             "\" (missing, unreadable or nested too deeply)");
            return;
        }
        const auto root = ReadTree(file.read(MaxTemplateSize));
        if (!root || root->name != "jasperTemplate") {
            Refuse(node,
                   "the style template \"" + name.toStdString() + "\" (not a style template)");
            return;
        }
        const std::string outer = file_;
        file_ = QFileInfo(path).fileName().toStdString();
        const QString inner = QFileInfo(path).absolutePath();
        for (const auto& k : root->children) {
            if (k->name == "template")
                Template(*k, inner, false, depth + 1);
            else if (k->name == "style")
                Style(*k);
            else
                Element(*k, "jasperTemplate");
        }
        file_ = outer;
    }

    // ---- names used by expressions -------------------------------------------

    void CheckReferences() {
        for (auto& [index, name, line] : pendingGroups_)
            r_.variables[index].resetGroup = GroupIndex(name, line);
        for (auto& [index, name, line] : pendingIncrementGroups_)
            r_.variables[index].incrementGroup = GroupIndex(name, line);
    }

    int GroupIndex(const QString& name, qint64 line) {
        for (size_t g = 0; g < r_.groups.size(); ++g)
            if (QString::fromStdString(r_.groups[g].name) == name) return int(g);
        r_.refusals.push_back(Sentence("the unknown group \"" + name.toStdString() + "\" (line " +
                                       std::to_string(line) + ")"));
        return -1;
    }

    static std::optional<IncrementType> Increment(const QString& v) {
        if (v == "None") return IncrementType::None;
        if (v == "Report") return IncrementType::Report;
        if (v == "Page") return IncrementType::Page;
        if (v == "Column") return IncrementType::Column;
        if (v == "Group") return IncrementType::Group;
        return std::nullopt;
    }

    // evaluationTime on a text field or an image; the group is bound with the
    // report's names.
    void Evaluation(const XNode& node, const QString& attr, const QString& v,
                    printengine::Element& e) {
        using T = EvaluationTime;
        static const std::pair<const char*, T> times[] = {
            {"Now", T::Now},     {"Report", T::Report}, {"Page", T::Page}, {"Column", T::Column},
            {"Group", T::Group}, {"Band", T::Band},     {"Auto", T::Auto}};
        for (const auto& [name, time] : times)
            if (v == name) {
                e.evaluation = time;
                e.atReportEnd = time == T::Report;
                return;
            }
        Value(node, attr, v);
    }

    void EvaluationGroup(const XNode& node, printengine::Element& e) {
        if (e.evaluation == EvaluationTime::Group && e.evaluationGroupName.empty())
            Refuse(node, "evaluationTime=\"Group\" without an evaluationGroup");
    }

    // What the component readers use of this reader.
    struct Reader final : ElementReader {
        explicit Reader(Builder& b) : b(b) {}
        void ReadInto(const XNode& node, std::vector<printengine::Element>& out, double dx,
                      double dy, const char* parent) override {
            b.ReadElement(node, out, dx, dy, parent);
        }
        void ReadReportElement(const XNode& node, printengine::Element& e, StyleProps& own,
                               QString& styleName) override {
            b.ReportElement(node, e, own, styleName);
        }
        void ReadBoxInto(const XNode& node, StyleProps& own) override { b.ReadBox(node, own); }
        void ResolveStyle(printengine::Element& e, const XNode& at, const QString& styleName,
                          const StyleProps& own) override {
            b.Resolve(e, at, styleName, own);
        }
        printengine::Expression ReadExpression(const XNode& node) override { return b.Parse(node); }
        double ReadNumber(const XNode& node, const QString& attribute) override {
            return b.Number(node, attribute, node.Attribute(attribute.toLatin1().constData()));
        }
        void RefuseAt(const XNode& at, const std::string& what) override { b.Refuse(at, what); }
        void RefuseElement(const XNode& node, const char* parent) override {
            b.Element(node, parent);
        }
        void CheckAttributes(const XNode& node, std::initializer_list<const char*> known) override {
            b.Attributes(node, known, nullptr);
        }
        Report& Target() override { return b.r_; }
        Builder& b;
    };

    Report& r_;
    QString folder_;
    Reader reader_{*this};
    std::string file_; // the style template being read, named in refusals
    std::vector<std::unique_ptr<StyleDef>> styles_; // templates' first, in reading order
    const StyleDef* defaultStyle_ = nullptr;
    std::vector<std::tuple<size_t, QString, qint64>> pendingGroups_, pendingIncrementGroups_;
    QString bundleName_;
    MessageBundle messages_;
    std::set<std::string> usedParameters_;
};

} // namespace

std::optional<ValueClass> ClassFromName(const QString& name) {
    if (name == "java.lang.String") return ValueClass::String;
    if (name == "java.lang.Integer" || name == "java.lang.Short" || name == "java.lang.Byte")
        return ValueClass::Integer;
    if (name == "java.lang.Long") return ValueClass::Long;
    if (name == "java.lang.Double" || name == "java.lang.Float" || name == "java.lang.Number")
        return ValueClass::Double;
    if (name == "java.math.BigDecimal") return ValueClass::BigDecimal;
    if (name == "java.lang.Boolean") return ValueClass::Boolean;
    if (name == "java.util.Date" || name == "java.sql.Date" || name == "java.sql.Timestamp")
        return ValueClass::Date;
    if (name == "java.lang.Object") return ValueClass::Object;
    return std::nullopt;
}

std::string RefusalText(const std::vector<std::string>& refusals) {
    constexpr size_t Shown = 5;
    std::string text;
    for (size_t i = 0; i < refusals.size() && i < Shown; ++i)
        text += (i > 0 ? "\r\n" : "") + refusals[i];
    if (refusals.size() > Shown)
        text += "\r\n... and " + std::to_string(refusals.size() - Shown) +
                " more problems, all listed in the program's log.";
    return text;
}

std::optional<Report> ParseJrxml(const QByteArray& bytes, const QString& folder) {
    const auto root = ReadTree(bytes);
    if (!root || root->name != "jasperReport") return std::nullopt;
    Report report;
    report.folder = folder;
    Builder(report, folder).ReadReport(*root);
    return report;
}

void ApplyStyle(Element& e, const StyleProps& p) {
    if (p.fontName) e.style.fontName = *p.fontName;
    if (p.size) e.style.size = *p.size;
    if (p.bold) e.style.bold = *p.bold;
    if (p.italic) e.style.italic = *p.italic;
    if (p.underline) e.style.underline = *p.underline;
    if (p.strikeThrough) e.style.strikeThrough = *p.strikeThrough;
    if (p.foreColor) e.foreColor = *p.foreColor;
    if (p.backColor) e.backColor = *p.backColor;
    if (p.opaque) e.opaque = *p.opaque;
    if (p.hAlign) e.style.hAlign = *p.hAlign;
    if (p.vAlign) e.style.vAlign = *p.vAlign;
    if (p.rotation) e.style.rotation = *p.rotation;
    if (p.markup) e.style.markup = *p.markup;
    ApplyParagraph(e.style.paragraph, p.paragraph);
    double* padding[] = {&e.box.top, &e.box.left, &e.box.bottom, &e.box.right};
    BoxPen* pens[] = {&e.box.topPen, &e.box.leftPen, &e.box.bottomPen, &e.box.rightPen};
    for (int i = 0; i < 4; ++i) {
        if (p.padding[i]) *padding[i] = *p.padding[i];
        if (p.boxPen[i].width) pens[i]->width = *p.boxPen[i].width;
        if (p.boxPen[i].style) pens[i]->style = *p.boxPen[i].style;
        if (p.boxPen[i].color) pens[i]->color = *p.boxPen[i].color;
    }
    if (p.pen.width) e.penWidth = *p.pen.width;
    if (p.pen.style) e.penStyle = *p.pen.style;
    if (p.pen.color) e.penColor = *p.pen.color;
    if (p.radius) e.radius = *p.radius;
    if (p.pattern) e.pattern = *p.pattern;
    if (p.blankWhenNull) e.blankWhenNull = *p.blankWhenNull;
    if (p.scale) e.scale = *p.scale;
    if (p.imageHAlign) e.imageHAlign = *p.imageHAlign;
    if (p.imageVAlign) e.imageVAlign = *p.imageVAlign;
}

} // namespace printengine
