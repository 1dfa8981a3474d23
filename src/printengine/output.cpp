#include "printengine/output.h"

#include "printengine/evaluation.h"
#include "printengine/paint.h"
#include "printengine/sortedsource.h"
#include "printengine/subreport.h"

#include <QPageLayout>
#include <QPainter>

#include <algorithm>

namespace printengine {

namespace {

std::unique_ptr<RowSource> Rows(const Document& doc) {
    return doc.openRows();
}

// Ends a fill early once the pages wanted are in.
struct EnoughPages {};

} // namespace

int CountPages(const Document& doc, FillState& atEnd) {
    auto rows = Rows(doc);
    return FillReport(
        *doc.report, doc.parameters, *rows, [](Page&&) {}, nullptr, &atEnd, &doc.tables);
}

void SetReportPage(const Report& r, QPagedPaintDevice& device, double height) {
    if (height <= 0) height = r.pageHeight;
    const bool landscape = r.pageWidth > height;
    const QSizeF portrait(std::min(r.pageWidth, height), std::max(r.pageWidth, height));
    const QPageSize size(portrait, QPageSize::Point, QString(), QPageSize::ExactMatch);
    device.setPageLayout(QPageLayout(size,
                                     landscape ? QPageLayout::Landscape : QPageLayout::Portrait,
                                     QMarginsF(0, 0, 0, 0), QPageLayout::Point));
}

void SetUpPdfWriter(const Report& report, QPdfWriter& writer) {
    writer.setResolution(72);
    writer.setCreator("Norvakel");
    writer.setTitle(QString::fromStdString(report.name));
    SetReportPage(report, writer);
}

namespace {

// Whether any text field shows values from the report's end, which takes a
// first pass over the rows.
bool NeedsFirstPass(const Report& r) {
    const auto inBand = [](const Band* band) {
        if (band == nullptr) return false;
        for (const auto& e : band->elements)
            if (NeedsEarlierPass(e)) return true;
        return false;
    };
    for (const auto* band :
         {&r.title, &r.pageHeader, &r.columnHeader, &r.columnFooter, &r.pageFooter, &r.summary,
          &r.lastPageFooter, &r.background, &r.noData})
        if (inBand(band->has_value() ? &**band : nullptr)) return true;
    for (const auto& g : r.groups) {
        for (const auto& band : g.headers)
            if (inBand(&band)) return true;
        for (const auto& band : g.footers)
            if (inBand(&band)) return true;
    }
    for (const auto& band : r.details)
        if (inBand(&band)) return true;
    return false;
}

} // namespace

int RenderDocument(const Document& doc, QPagedPaintDevice& device, int copies,
                   const std::string& deviceName) {
    FillState atEnd;
    int pages = NeedsFirstPass(*doc.report) ? CountPages(doc, atEnd) : -1;
    // The device is opened at the first page: a report without pages prints
    // nothing (and writes no file).
    QPainter painter;
    const double scale = device.logicalDpiY() / 72.0;
    bool firstPage = true;
    for (int copy = 0; copy < copies && pages != 0; ++copy) {
        auto rows = Rows(doc);
        const int filled = FillReport(
            *doc.report, doc.parameters, *rows,
            [&](Page&& page) {
                if (page.height > 0) SetReportPage(*doc.report, device, page.height);
                if (firstPage) {
                    if (!painter.begin(&device))
                        throw FillError("Unable to print on " + deviceName + ".");
                } else {
                    device.newPage();
                }
                firstPage = false;
                painter.save();
                painter.scale(scale, scale);
                PaintPage(painter, page);
                painter.restore();
            },
            &atEnd, nullptr, &doc.tables);
        if (pages < 0) pages = filled;
    }
    if (painter.isActive()) painter.end();
    return std::max(pages, 0);
}

Document TableDocument(const Report& report, std::vector<Value> parameters,
                       const std::string& location) {
    Document doc;
    doc.report = &report;
    doc.parameters = std::move(parameters);
    doc.openRows = ArrangeRows(report, doc.parameters, [&report, location] {
        return OpenRowSource(location, report.tableName, report.fields);
    });
    doc.tables = [&report, location](const std::string& table,
                                     const std::vector<FieldDef>& fields) {
        return OpenTableOf(location, report.tableName, table, fields);
    };
    return doc;
}

PageSource::PageSource(Document doc) : doc_(std::move(doc)) {
    count_ = CountPages(doc_, atEnd_);
}

const Page& PageSource::GetPage(int index) {
    index = std::clamp(index, 0, std::max(count_ - 1, 0));
    if (index >= first_ && index < first_ + int(window_.size()))
        return window_[size_t(index - first_)];
    window_.clear();
    first_ = std::max(0, index - Window / 2);
    int page = 0;
    auto rows = Rows(doc_);
    try {
        FillReport(
            *doc_.report, doc_.parameters, *rows,
            [&](Page&& p) {
                if (page >= first_) window_.push_back(std::move(p));
                if (++page >= first_ + Window) throw EnoughPages{};
            },
            &atEnd_, nullptr, &doc_.tables);
    } catch (const EnoughPages&) {
    }
    if (index - first_ >= int(window_.size())) {
        // The table has fewer rows than when the pages were counted.
        static const Page blank;
        return blank;
    }
    return window_[size_t(index - first_)];
}

} // namespace printengine
