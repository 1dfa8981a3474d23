// SAVE to a TEXT destination: the scratch table as a quoted, comma-separated
// text file with a field-name line first.
#pragma once

#include "core/outcome.h"
#include "engine/engine.h"

#include <string>
#include <string_view>

namespace store {

// Writes ExportTarget's file from the scratch table. Success carries the text
// that tells the user where it went.
core::Outcome ExportToText();

// What the item texts need from the locale, looked up once per export.
struct TextFormat {
    std::string decimalSeparator;
};
TextFormat CurrentTextFormat();

// Appends one item to a line: a comma unless it is the line's first item,
// then `text` without its surrounding blanks between double quotes. Nothing
// inside the text is escaped.
void AppendTextItem(std::string& line, bool first, std::string_view text);
// The same for a field value, in the text form of store::ValueText with Null
// written as "Null".
void AppendValueItem(std::string& line, bool first, const engine::Value& value,
                     const TextFormat& format);

} // namespace store
