// The transfer file: its line reader and the loaders that
// turn the header and data sections into the scratch table.
#pragma once

#include "core/text.h"
#include "engine/engine.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

inline constexpr std::string_view HeadMarker = "][ZOBRAFEX HEAD][";
inline constexpr std::string_view DataMarker = "][ZOBRAFEX DATA][";
inline constexpr std::string_view CommandMarker = "][ZOBRAFEX COMMAND][";

// Sequential line reader. A line ends at CR LF or at a lone CR; a lone LF is
// part of the line. Each line is returned as UTF-8 (see platform::DecodeLine).
class TransferFile {
  public:
    // Opens the file; errno in `error` on failure.
    bool Open(const std::string& path, int& error);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }
    bool AtEnd();
    // False at the end of the file.
    bool ReadLine(std::string& line);
    // Raw bytes for a reader that splits lines itself: what is buffered
    // first, then the file. Fewer than `size` only at the end of the file.
    std::size_t ReadBytes(char* into, std::size_t size);
    // Puts bytes read with ReadBytes back in front of the rest of the file.
    void Unread(std::string_view bytes);
    ~TransferFile() { Close(); }

  private:
    bool Fill();
    std::FILE* file_ = nullptr;
    std::vector<char> buffer_;
    size_t pos_ = 0, end_ = 0;
    std::string raw_;
};

// The loader and the script use the shared text helpers unqualified.
using core::SplitToken;
using core::Trim;
using core::TrimView;

// A marker line: equal to `marker` once trimmed and upper-cased.
bool IsMarkerLine(std::string_view line, std::string_view marker);

// name / type / size [/ ignored]. False when the line does not parse.
bool ParseHeaderLine(const std::string& line, std::string& name, std::int16_t& type,
                     std::int16_t& size);

// A number token: what a numeric check accepts ("12", " -1.5E3 ", "&HFF").
bool IsNumeric(std::string_view text);
// The number read from the start of the text, 0 when it does not start with one.
// A magnitude beyond the largest Double sets `overflow` (and gives an infinity);
// 1.79769313486232E+308, the largest Double as hosts print it, is that Double.
double ReadLeadingNumber(std::string_view text, bool& overflow);
double LeadingNumber(std::string_view text);

// The language runtime's error number for a number too large for its type.
inline constexpr int RunTimeOverflow = 6;

// The value a data line stores: by the numeric rule for types 4 and 7, by the
// text rule otherwise. The numeric rule raises RunTimeOverflow ("Overflow")
// for a number beyond the Double range.
engine::Value NumericRuleValue(std::string_view line);
engine::Value TextRuleValue(std::string_view line);
// The text rule's text: the line without its trailing spaces.
std::string_view TextRuleText(std::string_view line);
// The value of a data line for a field of `type`: the rule the type takes,
// and Null for an empty line (or one of blanks) in a field that holds neither
// text nor memo.
engine::Value DataLineValue(std::string_view line, int type);

// The host error codes that may open the data section.
bool IsHostErrorLine(std::string_view line);

// Reads header lines into `def` up to the DATA marker or the end of the file.
// On a line that does not parse, returns it in `badLine` and false.
bool LoadHeader(TransferFile& file, engine::TableDef& def, std::string& badLine);

// Adds the records of the data section, starting with `firstLine` (when given),
// up to the COMMAND marker or the end of the file. An incomplete last record is
// not stored. The file is read and its values converted on a thread of its
// own while the rows are added (loader.cpp).
void LoadData(TransferFile& file, engine::Recordset& records,
              const std::optional<std::string>& firstLine);

} // namespace app
