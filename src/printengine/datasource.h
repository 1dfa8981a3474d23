// The rows a report prints, read as a forward stream from the table its
// location names: a database or table file through the database engine, or a
// text export file read back as the exporter writes it.
#pragma once

#include "printengine/report.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace printengine {

class SourceError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class RowSource {
  public:
    virtual ~RowSource() = default;
    // The next row, one value per report field in declaration order, each of
    // its field's class. False at the end. Throws SourceError.
    virtual bool Next(std::vector<Value>& row) = 0;
};

// Opens the table at `location`: a text file (.TXT, .CSV) is the table
// itself; a file database holds the table `tableName` (its first table when
// empty); a folder format's file is its table. Throws SourceError.
std::unique_ptr<RowSource> OpenRowSource(const std::string& location, const std::string& tableName,
                                         const std::vector<FieldDef>& fields);

// `value` as a value of `cls`, the way a text-based data source converts;
// throws SourceError naming the field.
Value ConvertToClass(const Value& value, ValueClass cls, const std::string& fieldName);

// One line of a text export split into its items; false when the line is not
// in the exporter's form.
bool SplitExportLine(const std::string& line, std::vector<std::string>& items);

} // namespace printengine
