// Whole documents: printing, PDF files and the pages the preview shows. Each
// pass streams the rows from the table; a document with page totals reads the
// rows twice (once to count the pages) rather than holding them.
#pragma once

#include "printengine/fill.h"

#include <QPagedPaintDevice>

#include <string>
#include <vector>

namespace printengine {

// What a job prints: the report, its parameters and the table's location.
struct Document {
    const Report* report = nullptr;
    std::vector<Value> parameters;
    std::string location;
};

// Counts the pages and gathers the final values for fields evaluated at the
// report's end. Throws FillError or SourceError.
int CountPages(const Document& doc, FillState& atEnd);

// Draws the document `copies` times onto `device` (already set to the
// report's page). Returns the pages of one copy. `deviceName` names the
// printer or file in the error when it cannot be written.
int RenderDocument(const Document& doc, QPagedPaintDevice& device, int copies,
                   const std::string& deviceName);

// Every page, held for the preview.
std::vector<Page> CollectPages(const Document& doc);

// Sets the device's page to the report's page size and orientation, no margins.
void SetReportPage(const Report& report, QPagedPaintDevice& device);

// Writes the document as a PDF file; returns the pages. Throws on failure.
int WritePdf(const Document& doc, const std::string& path);

} // namespace printengine
