// The list and table components (<componentElement> with jr:list or
// jr:table) and <datasetRun>, read into elements that fill a dataset's rows
// in place: a list repeats its contents per row, a table lays its columns'
// cells out as header, group, detail and footer rows.
#pragma once

#include "printengine/jrxml_node.h"
#include "printengine/report.h"

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

namespace printengine {

struct DatasetRunDef;

// What the JRXML reader lends the component readers.
class ElementReader {
  public:
    // One element of a band or frame into `out`, moved by (dx, dy).
    virtual void ReadInto(const XNode& node, std::vector<Element>& out, double dx, double dy,
                          const char* parent) = 0;
    virtual void ReadReportElement(const XNode& node, Element& e, StyleProps& own,
                                   QString& styleName) = 0;
    virtual void ReadBoxInto(const XNode& node, StyleProps& own) = 0;
    virtual void ResolveStyle(Element& e, const XNode& at, const QString& styleName,
                              const StyleProps& own) = 0;
    virtual Expression ReadExpression(const XNode& node) = 0;
    virtual double ReadNumber(const XNode& node, const QString& attribute) = 0;
    virtual void RefuseAt(const XNode& at, const std::string& what) = 0;
    virtual void RefuseElement(const XNode& node, const char* parent) = 0;
    virtual void CheckAttributes(const XNode& node, std::initializer_list<const char*> known) = 0;
    virtual Report& Target() = 0;

  protected:
    ~ElementReader() = default;
};

// A child of <subreport> or <datasetRun> that says where the rows come from
// (parametersMapExpression, connectionExpression, dataSourceExpression);
// false when `node` is none of them.
bool ReadRowsChild(const XNode& node, bool& passParameters, int& emptyRows, ElementReader& reader);

// <datasetRun>, its dataset found by name when the report is prepared.
std::shared_ptr<DatasetRunDef> ReadDatasetRun(const XNode& node, ElementReader& reader);

// <componentElement>: a list or table, or nothing when refused.
std::optional<Element> ReadComponent(const XNode& node, ElementReader& reader);

} // namespace printengine
