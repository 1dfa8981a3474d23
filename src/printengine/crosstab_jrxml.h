// Reading <crosstab> for the JRXML reader. A template over the reader so
// that cell contents go through the reader's own element parsing (styles,
// frames, boxes, refusals); only the reader includes it.
#pragma once

#include "printengine/components.h"
#include "printengine/crosstab.h"

namespace printengine {

template <typename Host, typename Node> class CrosstabReader {
  public:
    CrosstabReader(Host& host, CrosstabDef& def) : h_(host), d_(def) {}

    void Read(const Node& node, Element& e) {
        d_.line = int(node.line);
        h_.Attributes(node,
                      {"isRepeatColumnHeaders", "isRepeatRowHeaders", "columnBreakOffset",
                       "runDirection", "ignoreWidth", "horizontalPosition"},
                      [&](const QString& n, const QString& v) {
                          if (n == "isRepeatColumnHeaders")
                              d_.repeatColumnHeaders = h_.Flag(node, n, v);
                          else if (n == "isRepeatRowHeaders")
                              d_.repeatRowHeaders = h_.Flag(node, n, v);
                          else if (n == "ignoreWidth")
                              d_.ignoreWidth = h_.Flag(node, n, v);
                          else if (n == "columnBreakOffset")
                              d_.columnBreakOffset = std::max(0.0, h_.Number(node, n, v));
                          else if (n == "runDirection") {
                              if (v != "LTR") h_.Value(node, n, v);
                          } else if (v != "Left") {
                              h_.Value(node, n, v);
                          }
                      });
        StyleProps own;
        QString styleName;
        for (const auto& k : node.children) {
            const QString& n = k->name;
            if (n == "reportElement")
                h_.ReportElement(*k, e, own, styleName);
            else if (n == "crosstabParameter")
                Parameter(*k);
            else if (n == "crosstabDataset")
                Dataset(*k);
            else if (n == "crosstabHeaderCell")
                Wrapped(*k, d_.headerCell);
            else if (n == "rowGroup" || n == "columnGroup")
                Group(*k, n == "rowGroup");
            else if (n == "measure")
                Measure(*k);
            else if (n == "whenNoDataCell")
                Wrapped(*k, d_.noDataCell);
            else if (n == "property" && h_.DesignerPropertyNode(*k))
                continue;
            else if (n != "crosstabCell")
                h_.Element(*k, "crosstab");
        }
        if (d_.rows.empty() || d_.columns.empty() || d_.measures.empty())
            h_.Refuse(node, "a crosstab without row groups, column groups or measures");
        d_.cells.assign(d_.rows.size() + 1, std::vector<CellContents>(d_.columns.size() + 1));
        for (const auto& k : node.children)
            if (k->name == "crosstabCell") Cell(*k);
    }

  private:
    void Parameter(const Node& node) {
        CrosstabParameter p;
        h_.Attributes(node, {"name", "class"}, [&](const QString& n, const QString& v) {
            if (n == "name") p.name = v.toStdString();
        });
        for (const auto& k : node.children) {
            if (k->name == "parameterValueExpression")
                p.value = h_.Parse(*k);
            else
                h_.Element(*k, "crosstabParameter");
        }
        if (p.name.empty()) h_.Refuse(node, "a crosstab parameter without a name");
        d_.parameters.push_back(std::move(p));
    }

    // The rows are the report's own, or those of the dataset it runs.
    void Dataset(const Node& node) {
        h_.Attributes(node, {"isDataPreSorted"}, [&](const QString& n, const QString& v) {
            h_.Flag(node, n, v); // sorted or not, the buckets are sorted here
        });
        for (const auto& k : node.children) {
            if (k->name != "dataset") {
                h_.Element(*k, "crosstabDataset");
                continue;
            }
            h_.Attributes(*k, {"resetType", "resetGroup", "incrementType"},
                          [&](const QString& n, const QString& v) {
                              if (n == "resetGroup") {
                                  d_.resetGroupName = v.toStdString();
                              } else if (n == "incrementType") {
                                  if (v != "None") h_.Value(*k, n, v);
                              } else if (v == "Report" || v == "None") {
                                  d_.resetGiven = true;
                                  d_.reset = ResetType::Report;
                              } else if (v == "Group" || v == "Page") {
                                  d_.resetGiven = true;
                                  d_.reset = v == "Group" ? ResetType::Group : ResetType::Page;
                              } else {
                                  h_.Value(*k, n, v);
                              }
                          });
            for (const auto& c : k->children) {
                if (c->name == "incrementWhenExpression")
                    d_.incrementWhen = h_.Parse(*c);
                else if (c->name == "datasetRun" && !d_.run)
                    d_.run = ReadDatasetRun(*c, h_.reader_);
                else
                    h_.Element(*c, "dataset");
            }
        }
    }

    void Group(const Node& node, bool row) {
        CrosstabGroup g;
        h_.Attributes(node,
                      {"name", row ? "width" : "height", "totalPosition", "headerPosition",
                       "mergeHeaderCells"},
                      [&](const QString& n, const QString& v) {
                          if (n == "name")
                              g.name = v.toStdString();
                          else if (n == "width" || n == "height")
                              g.size = std::max(0.0, h_.Number(node, n, v));
                          else if (n == "totalPosition") {
                              if (v == "Start")
                                  g.total = TotalPosition::Start;
                              else if (v == "End")
                                  g.total = TotalPosition::End;
                              else if (v != "None")
                                  h_.Value(node, n, v);
                          } else if (n == "headerPosition") {
                              g.position = HeaderPlace(node, row, v);
                          } else if (!h_.Flag(node, n, v)) {
                              h_.Value(node, n, v); // headers always span their rows here
                          }
                      });
        const char* header = row ? "crosstabRowHeader" : "crosstabColumnHeader";
        const char* total = row ? "crosstabTotalRowHeader" : "crosstabTotalColumnHeader";
        for (const auto& k : node.children) {
            if (k->name == "bucket")
                Bucket(*k, g);
            else if (k->name == header)
                Wrapped(*k, g.header);
            else if (k->name == total)
                Wrapped(*k, g.totalHeader);
            else
                h_.Element(*k, row ? "rowGroup" : "columnGroup");
        }
        if (g.name.empty()) h_.Refuse(node, "a crosstab group without a name");
        if (g.bucket.Empty()) h_.Refuse(node, "a crosstab group without a bucket expression");
        (row ? d_.rows : d_.columns).push_back(std::move(g));
    }

    HeaderPosition HeaderPlace(const Node& node, bool row, const QString& v) {
        if (v == "Stretch") return HeaderPosition::Stretch;
        if (v == (row ? "Top" : "Left")) return HeaderPosition::Start;
        if (v == (row ? "Middle" : "Center")) return HeaderPosition::Middle;
        if (v == (row ? "Bottom" : "Right")) return HeaderPosition::End;
        h_.Value(node, "headerPosition", v);
        return HeaderPosition::Start;
    }

    void Bucket(const Node& node, CrosstabGroup& g) {
        h_.Attributes(node, {"class", "order"}, [&](const QString& n, const QString& v) {
            if (n != "order") return;
            if (v == "Descending")
                g.descending = true;
            else if (v == "None")
                g.arrival = true;
            else if (v != "Ascending")
                h_.Value(node, n, v);
        });
        for (const auto& k : node.children) {
            if (k->name == "bucketExpression")
                g.bucket = h_.Parse(*k);
            else if (k->name == "orderByExpression")
                g.orderBy = h_.Parse(*k);
            else if (k->name == "comparatorExpression")
                Comparator(*k, g);
            else
                h_.Element(*k, "bucket");
        }
    }

    // Only the comparators that say something simple: reversed or ignoring case.
    void Comparator(const Node& node, CrosstabGroup& g) {
        QString text = node.text.trimmed();
        text.remove(' ');
        if (text.startsWith("java.util.")) text = text.mid(10);
        if (text.startsWith("java.lang.")) text = text.mid(10);
        if (text.isEmpty() || text == "null")
            return;
        else if (text == "Collections.reverseOrder()" || text == "Comparator.reverseOrder()")
            g.descending = !g.descending;
        else if (text == "String.CASE_INSENSITIVE_ORDER")
            g.caseInsensitive = true;
        else
            h_.Refuse(node, "the comparator \"" + node.text.trimmed().toStdString() + "\"");
    }

    void Measure(const Node& node) {
        CrosstabMeasure m;
        using C = CrosstabMeasure::Calc;
        h_.Attributes(node,
                      {"name", "class", "calculation", "percentageOf", "incrementerFactoryClass",
                       "percentageCalculatorClass"},
                      [&](const QString& n, const QString& v) {
                          if (n == "name") {
                              m.name = v.toStdString();
                          } else if (n == "class") {
                              std::string other;
                              m.valueClass = h_.Class(v, other);
                          } else if (n == "calculation") {
                              static const std::pair<const char*, C> names[] = {
                                  {"Nothing", C::Nothing},
                                  {"Count", C::Count},
                                  {"DistinctCount", C::DistinctCount},
                                  {"Sum", C::Sum},
                                  {"Average", C::Average},
                                  {"Lowest", C::Lowest},
                                  {"Highest", C::Highest}};
                              bool known = false;
                              for (const auto& [name, calc] : names)
                                  if (v == name) {
                                      m.calculation = calc;
                                      known = true;
                                  }
                              if (!known) h_.Value(node, n, v);
                          } else if (n == "percentageOf") {
                              if (v != "None") h_.Value(node, n, v);
                          } else {
                              h_.Value(node, n, v);
                          }
                      });
        for (const auto& k : node.children) {
            if (k->name == "measureExpression")
                m.expression = h_.Parse(*k);
            else
                h_.Element(*k, "measure");
        }
        if (m.name.empty()) h_.Refuse(node, "a crosstab measure without a name");
        d_.measures.push_back(std::move(m));
    }

    int TotalLevel(const Node& node, const std::vector<CrosstabGroup>& groups,
                   const QString& name) {
        if (name.isEmpty()) return int(groups.size());
        for (size_t i = 0; i < groups.size(); ++i)
            if (QString::fromStdString(groups[i].name) == name) return int(i);
        h_.Refuse(node, "the unknown crosstab group \"" + name.toStdString() + "\"");
        return -1;
    }

    void Cell(const Node& node) {
        QString rowTotal, columnTotal;
        double width = -1, height = -1;
        h_.Attributes(node, {"width", "height", "rowTotalGroup", "columnTotalGroup"},
                      [&](const QString& n, const QString& v) {
                          if (n == "width")
                              width = std::max(0.0, h_.Number(node, n, v));
                          else if (n == "height")
                              height = std::max(0.0, h_.Number(node, n, v));
                          else
                              (n == "rowTotalGroup" ? rowTotal : columnTotal) = v;
                      });
        const int i = TotalLevel(node, d_.rows, rowTotal);
        const int j = TotalLevel(node, d_.columns, columnTotal);
        CellContents cell;
        Wrapped(node, cell);
        if (i < 0 || j < 0) return;
        cell.present = true;
        cell.width = width;
        cell.height = height;
        d_.cells[size_t(i)][size_t(j)] = std::move(cell);
    }

    // The <cellContents> inside `node`.
    void Wrapped(const Node& node, CellContents& cell) {
        if (node.name != "crosstabCell") h_.Attributes(node, {}, nullptr);
        for (const auto& k : node.children) {
            if (k->name == "cellContents")
                Contents(*k, cell);
            else
                h_.Element(*k, node.name.toStdString().c_str());
        }
        cell.present = true;
    }

    void Contents(const Node& node, CellContents& cell) {
        Element& frame = cell.frame;
        frame.kind = ElementKind::Frame;
        StyleProps own;
        QString styleName;
        h_.Attributes(node, {"backcolor", "mode", "style"},
                      [&](const QString& n, const QString& v) {
                          if (n == "style")
                              styleName = v;
                          else
                              h_.StyleAttribute(node, n, v, own);
                      });
        for (const auto& k : node.children) {
            if (k->name == "box")
                h_.ReadBox(*k, own);
            else if (k->name == "property" && h_.DesignerPropertyNode(*k))
                continue;
            else if (k->name == "image")
                h_.Element(*k, "cellContents"); // images are not read in cells
            else
                h_.ReadElement(*k, cell.elements, 0, 0, "cellContents");
        }
        // Without a style of its own a cell takes nothing from the report's default.
        if (styleName.isEmpty())
            ApplyStyle(frame, own);
        else
            h_.Resolve(frame, node, styleName, own);
        for (const auto& e : cell.elements)
            if (e.kind == ElementKind::Crosstab) h_.Refuse(node, "a crosstab inside a crosstab");
    }

    Host& h_;
    CrosstabDef& d_;
};

} // namespace printengine
