// Small JRXML documents and an in-memory row source for the engine's tests.
#pragma once

#include "printengine/datasource.h"
#include "printengine/fill.h"
#include "printengine/paint.h"
#include "printengine/report.h"

#include <QImage>
#include <QPainter>

#include <initializer_list>
#include <string>
#include <vector>

namespace printengine::test {

// A report around `body` (declarations and bands) on a page of `pageHeight`
// points with 20-point margins.
inline std::string Jrxml(const std::string& body, int pageHeight = 200) {
    return "<?xml version=\"1.0\"?>\n<jasperReport "
           "xmlns=\"http://jasperreports.sourceforge.net/jasperreports\" name=\"t\" "
           "pageWidth=\"300\" pageHeight=\"" +
           std::to_string(pageHeight) +
           "\" leftMargin=\"20\" rightMargin=\"20\" topMargin=\"20\" bottomMargin=\"20\" "
           "uuid=\"1\">\n" +
           body + "\n</jasperReport>";
}

// A text field showing `expression` in a band of `height`.
inline std::string BandXml(const std::string& expression, int height = 10,
                           const std::string& fieldAttributes = "") {
    return "<band height=\"" + std::to_string(height) + "\"><textField " + fieldAttributes +
           "><reportElement x=\"0\" y=\"0\" width=\"200\" height=\"" + std::to_string(height) +
           "\"/><textFieldExpression><![CDATA[" + expression +
           "]]></textFieldExpression></textField></band>";
}

class VectorRows : public RowSource {
  public:
    explicit VectorRows(std::vector<std::vector<Value>> rows) : rows_(std::move(rows)) {}
    bool Next(std::vector<Value>& row) override {
        if (next_ >= rows_.size()) return false;
        row = rows_[next_++];
        return true;
    }

  private:
    std::vector<std::vector<Value>> rows_;
    size_t next_ = 0;
};

inline Report ParsePrepared(const std::string& text) {
    auto report = ParseJrxml(QByteArray::fromStdString(text));
    if (!report) return Report{};
    PrepareReport(*report);
    return std::move(*report);
}

// The texts of every page, each page's items joined by "|".
inline std::vector<std::string> FillTexts(const Report& report,
                                          std::vector<std::vector<Value>> rows) {
    FillState atEnd;
    VectorRows first(rows);
    const auto parameters = ParameterValues(report, {});
    FillReport(
        report, parameters, first, [](Page&&) {}, nullptr, &atEnd);
    VectorRows second(rows);
    std::vector<std::string> pages;
    FillReport(
        report, parameters, second,
        [&](Page&& page) {
            std::string text;
            for (const auto& item : page.items) {
                if (item.text.isEmpty()) continue;
                if (!text.empty()) text += "|";
                text += item.text.toStdString();
            }
            pages.push_back(text);
        },
        &atEnd, nullptr);
    return pages;
}

// The fields of the grouped reports the filler's tests print, and rows of them.
inline const char* CityAmountFields = R"(<field name="CITY" class="java.lang.String"/>
    <field name="AMOUNT" class="java.lang.Integer"/>)";

inline std::vector<std::vector<Value>>
CityAmountRows(std::initializer_list<std::pair<const char*, std::int64_t>> rows) {
    std::vector<std::vector<Value>> out;
    for (const auto& [city, amount] : rows)
        out.push_back({std::string(city), amount});
    return out;
}

// The report filled over no rows, its pages painted one over the other into
// an image the size of a page.
inline QImage RenderWithoutRows(const Report& r) {
    QImage page(int(r.pageWidth), int(r.pageHeight), QImage::Format_RGB32);
    page.fill(Qt::white);
    VectorRows rows({});
    FillReport(
        r, ParameterValues(r, {}), rows,
        [&](Page&& p) {
            QPainter painter(&page);
            PaintPage(painter, p);
        },
        nullptr, nullptr);
    return page;
}

} // namespace printengine::test
