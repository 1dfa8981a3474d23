// The JRXML reader. The file is read into a small tree first (bounded in depth
// and size, since report files are untrusted), then checked element by
// element: whatever the engine does not support is named in a refusal rather
// than dropped.
#include "printengine/report.h"

#include <QXmlStreamReader>

#include <memory>

namespace printengine {

namespace {

constexpr int MaxDepth = 64;
constexpr int MaxNodes = 200000;

struct XNode {
    QString name;
    std::vector<std::pair<QString, QString>> attributes;
    QString text;
    std::vector<std::unique_ptr<XNode>> children;
    qint64 line = 0;
};

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
           name.startsWith("net.sf.jasperreports.export.") || name.startsWith("local_mesure_unit");
}

bool HyperlinkElement(const QString& name) {
    return name == "hyperlinkReferenceExpression" || name == "hyperlinkAnchorExpression" ||
           name == "hyperlinkPageExpression" || name == "hyperlinkTooltipExpression" ||
           name == "hyperlinkWhenExpression" || name == "anchorNameExpression" ||
           name == "hyperlinkParameter";
}

class Builder {
  public:
    explicit Builder(Report& report) : r_(report) {}

    void ReadReport(const XNode& root) {
        Attributes(root,
                   {"name", "pageWidth", "pageHeight", "orientation", "columnWidth", "columnCount",
                    "leftMargin", "rightMargin", "topMargin", "bottomMargin", "whenNoDataType",
                    "language", "printOrder", "whenResourceMissingType", "isTitleNewPage",
                    "isSummaryNewPage", "isFloatColumnFooter", "isIgnorePagination",
                    "columnSpacing"},
                   [&](const QString& n, const QString& v) {
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
                           if (v != "1") Value(root, n, v);
                       } else if (n == "whenNoDataType") {
                           if (v == "AllSectionsNoDetail")
                               r_.allSectionsWhenNoData = true;
                           else if (v != "NoPages")
                               Value(root, n, v);
                       } else if (n == "language") {
                           if (v != "java" && v != "groovy") Value(root, n, v);
                       } else if (n == "printOrder") {
                           if (v != "Vertical") Value(root, n, v);
                       } else if (n == "isTitleNewPage" || n == "isSummaryNewPage" ||
                                  n == "isIgnorePagination" || n == "isFloatColumnFooter") {
                           if (v != "false") Value(root, n, v);
                       } else if (n == "columnSpacing") {
                           if (Number(root, n, v) != 0) Value(root, n, v);
                       }
                       // columnWidth follows from the page; resource handling has no
                       // resources to miss.
                   });
        if (r_.pageWidth <= 0 || r_.pageHeight <= 0 || r_.pageWidth > 14400 ||
            r_.pageHeight > 14400)
            Refuse("a page size of " + std::to_string(int(r_.pageWidth)) + " x " +
                   std::to_string(int(r_.pageHeight)));
        if (r_.leftMargin < 0 || r_.rightMargin < 0 || r_.topMargin < 0 || r_.bottomMargin < 0 ||
            r_.leftMargin + r_.rightMargin >= r_.pageWidth ||
            r_.topMargin + r_.bottomMargin >= r_.pageHeight)
            Refuse("margins that leave no room on the page");

        for (const auto& child : root.children) {
            const XNode& c = *child;
            const QString& n = c.name;
            if (n == "property")
                ReportProperty(c);
            else if (n == "import")
                Attributes(c, {"value"}, nullptr);
            else if (n == "parameter")
                Parameter(c);
            else if (n == "queryString")
                continue; // the rows are the table the run points the report at
            else if (n == "field")
                Field(c);
            else if (n == "variable")
                Variable(c);
            else if (n == "group")
                Group(c);
            else if (n == "background") {
                auto band = SectionBand(c);
                if (band && !band->elements.empty()) Refuse(c, "elements in \"background\"");
            } else if (n == "title")
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
        CheckReferences();
    }

  private:
    // ---- refusals ------------------------------------------------------------

    void Refuse(const std::string& what) { r_.refusals.push_back(Sentence(what)); }
    void Refuse(const XNode& at, const std::string& what) {
        r_.refusals.push_back(Sentence(what + " (line " + std::to_string(at.line) + ")"));
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
        QColor c(text);
        if (!text.startsWith('#') || !c.isValid()) {
            Value(node, attr, text);
            return Qt::black;
        }
        return c;
    }

    Expression Parse(const XNode& node) {
        Attributes(node, {"class"}, nullptr);
        for (const auto& c : node.children)
            Element(*c, node.name.toStdString().c_str());
        try {
            Expression e = Expression::Parse(node.text.toStdString());
            e.SetLine(int(node.line));
            return e;
        } catch (const ExpressionError& e) {
            Refuse(node, std::string("the expression \"") + node.text.trimmed().toStdString() +
                             "\" (" + e.what() + ")");
            return Expression();
        }
    }

    ValueClass Class(const XNode& node, const QString& name) {
        if (auto c = ClassFromName(name)) return *c;
        Value(node, "class", name);
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
                           p.valueClass = Class(c, v);
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
                f.valueClass = Class(c, v);
        });
        for (const auto& k : c.children) {
            if (k->name == "fieldDescription") continue;
            if (k->name == "property" && DesignerPropertyNode(*k)) continue;
            Element(*k, "field");
        }
        if (f.name.empty()) Refuse(c, "a field without a name");
        r_.fields.push_back(std::move(f));
    }

    void Variable(const XNode& c) {
        VariableDef v;
        QString resetGroup;
        Attributes(c, {"name", "class", "calculation", "resetType", "resetGroup", "incrementType"},
                   [&](const QString& n, const QString& value) {
                       if (n == "name")
                           v.name = value.toStdString();
                       else if (n == "class")
                           v.valueClass = Class(c, value);
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
                           else
                               Value(c, n, value);
                       } else if (n == "resetGroup")
                           resetGroup = value;
                       else if (n == "incrementType") {
                           if (value != "None") Value(c, n, value);
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
                       else if (n == "minHeightToStartNewPage") {
                           if (Number(c, n, v) != 0) Value(c, n, v);
                       } else if (n == "footerPosition") {
                           if (v != "Normal") Value(c, n, v);
                       } else if (Flag(c, n, v)) {
                           Value(c, n, v);
                       }
                   });
        for (const auto& k : c.children) {
            if (k->name == "groupExpression")
                g.expression = Parse(*k);
            else if (k->name == "groupHeader")
                g.header = SectionBand(*k);
            else if (k->name == "groupFooter")
                g.footer = SectionBand(*k);
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

    Band ReadBand(const XNode& node) {
        Band band;
        Attributes(node, {"height", "splitType"}, [&](const QString& n, const QString& v) {
            if (n == "height") band.height = Number(node, n, v);
            // Bands are never split across pages, whatever splitType says.
        });
        if (band.height < 0) Value(node, "height", QString::number(band.height));
        for (const auto& k : node.children) {
            const QString& n = k->name;
            if (n == "staticText")
                band.elements.push_back(TextElement(*k, ElementKind::StaticText));
            else if (n == "textField")
                band.elements.push_back(TextElement(*k, ElementKind::TextField));
            else if (n == "line")
                band.elements.push_back(Graphic(*k, ElementKind::Line));
            else if (n == "rectangle")
                band.elements.push_back(Graphic(*k, ElementKind::Rectangle));
            else if (n == "property" && DesignerPropertyNode(*k))
                continue;
            else
                Element(*k, "band");
        }
        return band;
    }

    void ReportElement(const XNode& node, printengine::Element& e) {
        Attributes(node,
                   {"x", "y", "width", "height", "positionType", "stretchType", "mode", "forecolor",
                    "backcolor", "isRemoveLineWhenBlank", "isPrintRepeatedValues",
                    "isPrintInFirstWholeBand", "isPrintWhenDetailOverflows"},
                   [&](const QString& n, const QString& v) {
                       if (n == "x")
                           e.x = Number(node, n, v);
                       else if (n == "y")
                           e.y = Number(node, n, v);
                       else if (n == "width")
                           e.width = Number(node, n, v);
                       else if (n == "height")
                           e.height = Number(node, n, v);
                       else if (n == "positionType") {
                           if (v == "Float")
                               e.floating = true;
                           else if (v != "FixRelativeToTop")
                               Value(node, n, v);
                       } else if (n == "stretchType") {
                           if (v != "NoStretch") Value(node, n, v);
                       } else if (n == "mode") {
                           if (v == "Opaque")
                               e.opaque = true;
                           else if (v == "Transparent")
                               e.opaque = false;
                           else
                               Value(node, n, v);
                       } else if (n == "forecolor")
                           e.foreColor = Color(node, n, v);
                       else if (n == "backcolor")
                           e.backColor = Color(node, n, v);
                       else if (n == "isPrintRepeatedValues") {
                           if (v != "true") Value(node, n, v);
                       } else if (Flag(node, n, v)) {
                           Value(node, n, v);
                       }
                   });
        if (e.width < 0 || e.height < 0) Refuse(node, "an element of negative size");
        for (const auto& k : node.children) {
            if (k->name == "property" && DesignerPropertyNode(*k)) continue;
            Element(*k, "reportElement");
        }
    }

    void Font(const XNode& node, TextStyle& style) {
        Attributes(node,
                   {"fontName", "size", "isBold", "isItalic", "isUnderline", "isStrikeThrough",
                    "pdfFontName", "pdfEncoding", "isPdfEmbedded"},
                   [&](const QString& n, const QString& v) {
                       if (n == "fontName")
                           style.fontName = FontFamily(v);
                       else if (n == "size") {
                           style.size = Number(node, n, v);
                           if (style.size <= 0 || style.size > 1000) Value(node, n, v);
                       } else if (n == "isBold")
                           style.bold = Flag(node, n, v);
                       else if (n == "isItalic")
                           style.italic = Flag(node, n, v);
                       else if (n == "isUnderline")
                           style.underline = Flag(node, n, v);
                       else if (n == "isStrikeThrough")
                           style.strikeThrough = Flag(node, n, v);
                       // The pdf* attributes pick fonts for another PDF writer; ours
                       // embeds the fonts it draws with.
                   });
        for (const auto& k : node.children)
            Element(*k, "font");
    }

    static QString FontFamily(const QString& name) {
        if (name == "SansSerif" || name == "Arial" || name == "Helvetica") return "DejaVu Sans";
        if (name == "Serif" || name == "Times New Roman" || name == "Times") return "DejaVu Serif";
        if (name == "Monospaced" || name == "Courier New" || name == "Courier")
            return "DejaVu Sans Mono";
        return name;
    }

    void TextElementStyle(const XNode& node, TextStyle& style) {
        Attributes(node, {"textAlignment", "verticalAlignment", "rotation", "markup"},
                   [&](const QString& n, const QString& v) {
                       if (n == "textAlignment") {
                           if (v == "Left")
                               style.hAlign = TextStyle::HAlign::Left;
                           else if (v == "Center")
                               style.hAlign = TextStyle::HAlign::Center;
                           else if (v == "Right")
                               style.hAlign = TextStyle::HAlign::Right;
                           else if (v == "Justified")
                               style.hAlign = TextStyle::HAlign::Justified;
                           else
                               Value(node, n, v);
                       } else if (n == "verticalAlignment") {
                           if (v == "Top")
                               style.vAlign = TextStyle::VAlign::Top;
                           else if (v == "Middle")
                               style.vAlign = TextStyle::VAlign::Middle;
                           else if (v == "Bottom")
                               style.vAlign = TextStyle::VAlign::Bottom;
                           else
                               Value(node, n, v);
                       } else if (n == "rotation") {
                           if (v != "None") Value(node, n, v);
                       } else if (n == "markup") {
                           if (v != "none") Value(node, n, v);
                       }
                   });
        for (const auto& k : node.children) {
            if (k->name == "font")
                Font(*k, style);
            else if (k->name == "paragraph")
                Paragraph(*k);
            else
                Element(*k, "textElement");
        }
    }

    // Paragraph settings at their defaults are what the engine draws anyway.
    void Paragraph(const XNode& node) {
        Attributes(node,
                   {"lineSpacing", "lineSpacingSize", "firstLineIndent", "leftIndent",
                    "rightIndent", "spacingBefore", "spacingAfter", "tabStopWidth"},
                   [&](const QString& n, const QString& v) {
                       if (n == "lineSpacing") {
                           if (v != "Single") Value(node, n, v);
                       } else if (n == "lineSpacingSize") {
                           if (Number(node, n, v) != 1.0) Value(node, n, v);
                       } else if (n == "tabStopWidth") {
                           Number(node, n, v);
                       } else if (Number(node, n, v) != 0) {
                           Value(node, n, v);
                       }
                   });
        for (const auto& k : node.children)
            Element(*k, "paragraph");
    }

    printengine::Element TextElement(const XNode& node, ElementKind kind) {
        printengine::Element e;
        e.kind = kind;
        if (kind == ElementKind::StaticText) {
            Attributes(node, {}, nullptr);
        } else {
            Attributes(node,
                       {"isStretchWithOverflow", "textAdjust", "pattern", "evaluationTime",
                        "isBlankWhenNull"},
                       [&](const QString& n, const QString& v) {
                           if (n == "isStretchWithOverflow")
                               e.stretch = Flag(node, n, v);
                           else if (n == "textAdjust") {
                               if (v == "StretchHeight")
                                   e.stretch = true;
                               else if (v != "CutText")
                                   Value(node, n, v);
                           } else if (n == "pattern")
                               e.pattern = v.toStdString();
                           else if (n == "evaluationTime") {
                               if (v == "Report")
                                   e.atReportEnd = true;
                               else if (v != "Now")
                                   Value(node, n, v);
                           } else if (n == "isBlankWhenNull")
                               e.blankWhenNull = Flag(node, n, v);
                       });
        }
        bool hasContent = false;
        for (const auto& k : node.children) {
            const QString& n = k->name;
            if (n == "reportElement")
                ReportElement(*k, e);
            else if (n == "textElement")
                TextElementStyle(*k, e.style);
            else if (n == "text" && kind == ElementKind::StaticText) {
                Attributes(*k, {}, nullptr);
                e.text = k->text.toStdString();
                hasContent = true;
            } else if (n == "textFieldExpression" && kind == ElementKind::TextField) {
                e.expression = Parse(*k);
                hasContent = true;
            } else if (n == "box") {
                ReadBox(*k, e.box);
            } else if (HyperlinkElement(n)) {
                continue;
            } else {
                Element(*k, node.name.toStdString().c_str());
            }
        }
        (void)hasContent; // an element without text prints nothing, as in JasperReports
        return e;
    }

    printengine::Element Graphic(const XNode& node, ElementKind kind) {
        printengine::Element e;
        e.kind = kind;
        if (kind == ElementKind::Rectangle) e.opaque = true; // rectangles are filled by default
        Attributes(node,
                   kind == ElementKind::Line ? std::initializer_list<const char*>{"direction"}
                                             : std::initializer_list<const char*>{"radius"},
                   [&](const QString& n, const QString& v) {
                       if (n == "direction") {
                           if (v == "BottomUp")
                               e.bottomUp = true;
                           else if (v != "TopDown")
                               Value(node, n, v);
                       } else if (n == "radius")
                           e.radius = Number(node, n, v);
                   });
        for (const auto& k : node.children) {
            if (k->name == "reportElement")
                ReportElement(*k, e);
            else if (k->name == "graphicElement")
                GraphicStyle(*k, e);
            else
                Element(*k, node.name.toStdString().c_str());
        }
        return e;
    }

    void PenAttributes(const XNode& node, BoxPen& pen) {
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
                       else
                           Value(node, n, v);
                   });
        for (const auto& g : node.children)
            Element(*g, node.name.toStdString().c_str());
    }

    void ReadBox(const XNode& node, Box& box) {
        Attributes(node, {"padding", "topPadding", "leftPadding", "bottomPadding", "rightPadding"},
                   [&](const QString& n, const QString& v) {
                       const double p = Number(node, n, v);
                       if (n == "padding")
                           box.top = box.left = box.bottom = box.right = p;
                       else if (n == "topPadding")
                           box.top = p;
                       else if (n == "leftPadding")
                           box.left = p;
                       else if (n == "bottomPadding")
                           box.bottom = p;
                       else
                           box.right = p;
                   });
        // <pen> sets every side; the side pens that follow override it.
        for (const auto& k : node.children) {
            if (k->name == "pen") {
                BoxPen pen;
                PenAttributes(*k, pen);
                box.topPen = box.leftPen = box.bottomPen = box.rightPen = pen;
            }
        }
        for (const auto& k : node.children) {
            const QString& n = k->name;
            if (n == "pen") continue;
            if (n == "topPen")
                PenAttributes(*k, box.topPen);
            else if (n == "leftPen")
                PenAttributes(*k, box.leftPen);
            else if (n == "bottomPen")
                PenAttributes(*k, box.bottomPen);
            else if (n == "rightPen")
                PenAttributes(*k, box.rightPen);
            else
                Element(*k, "box");
        }
    }

    void GraphicStyle(const XNode& node, printengine::Element& e) {
        Attributes(node, {"fill"}, [&](const QString& n, const QString& v) {
            if (v != "Solid") Value(node, n, v);
        });
        for (const auto& k : node.children) {
            if (k->name != "pen") {
                Element(*k, "graphicElement");
                continue;
            }
            Attributes(*k, {"lineWidth", "lineStyle", "lineColor"},
                       [&](const QString& n, const QString& v) {
                           if (n == "lineWidth")
                               e.penWidth = Number(*k, n, v);
                           else if (n == "lineColor")
                               e.penColor = Color(*k, n, v);
                           else if (v == "Solid")
                               e.penStyle = Qt::SolidLine;
                           else if (v == "Dashed")
                               e.penStyle = Qt::DashLine;
                           else if (v == "Dotted")
                               e.penStyle = Qt::DotLine;
                           else
                               Value(*k, n, v);
                       });
            for (const auto& g : k->children)
                Element(*g, "pen");
        }
    }

    // ---- names used by expressions -------------------------------------------

    void CheckReferences() {
        for (auto& [index, name, line] : pendingGroups_) {
            int found = -1;
            for (size_t g = 0; g < r_.groups.size(); ++g)
                if (QString::fromStdString(r_.groups[g].name) == name) found = int(g);
            if (found < 0)
                r_.refusals.push_back(Sentence("the unknown group \"" + name.toStdString() +
                                               "\" (line " + std::to_string(line) + ")"));
            r_.variables[index].resetGroup = found;
        }
    }

    Report& r_;
    std::vector<std::tuple<size_t, QString, qint64>> pendingGroups_;
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

std::optional<Report> ParseJrxml(const QByteArray& bytes) {
    const auto root = ReadTree(bytes);
    if (!root || root->name != "jasperReport") return std::nullopt;
    Report report;
    Builder(report).ReadReport(*root);
    return report;
}

} // namespace printengine
