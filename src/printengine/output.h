// Whole documents: printing, PDF files and the pages the preview shows. Each
// pass streams the rows from the table; a document with page totals reads the
// rows twice (once to count the pages) rather than holding them, and the
// preview keeps only the pages around the one it shows.
#pragma once

#include "printengine/fill.h"

#include <QPagedPaintDevice>
#include <QPdfWriter>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace printengine {

// What a job prints: the report, its parameters and where its rows come from
// (each call starts a new pass over the table).
struct Document {
    const Report* report = nullptr;
    std::vector<Value> parameters;
    std::function<std::unique_ptr<RowSource>()> openRows;
    TableOpener tables; // where subreports read theirs
};

// A document over the table at `location`, as the report's fields read it.
Document TableDocument(const Report& report, std::vector<Value> parameters,
                       const std::string& location);

// Counts the pages and gathers the final values for fields evaluated at the
// report's end. Throws FillError or SourceError.
int CountPages(const Document& doc, FillState& atEnd);

// Draws the document `copies` times onto `device` (already set to the
// report's page). Returns the pages of one copy. `deviceName` names the
// printer or file in the error when it cannot be written.
int RenderDocument(const Document& doc, QPagedPaintDevice& device, int copies,
                   const std::string& deviceName);

// The pages of a document, laid out on demand: a window of pages around the
// one asked for is kept; a page outside it is reached by filling again from
// the first row.
class PageSource {
  public:
    // Counts the pages (a full pass). Throws FillError or SourceError.
    explicit PageSource(Document doc);
    int PageCount() const { return count_; }
    // Throws FillError or SourceError when the rows cannot be read again.
    const Page& GetPage(int index);
    const Document& Doc() const { return doc_; }

    static constexpr int Window = 40;

  private:
    Document doc_;
    FillState atEnd_;
    int count_ = 0;
    int first_ = 0;
    std::vector<Page> window_;
};

// Sets the device's page to the report's page size and orientation, no margins; a
// `height` above 0 replaces the report's page height (a page without pagination).
void SetReportPage(const Report& report, QPagedPaintDevice& device, double height = 0);
// Sets up a PDF file for the report: points as units, the program as its
// creator, the report's name as its title and the report's page.
void SetUpPdfWriter(const Report& report, QPdfWriter& writer);

} // namespace printengine
