#include "app/transfer.h"

#include "core/runstate.h"
#include "platform/platform.h"

#include "engine/convert.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>

namespace app {

// ---- Line reader -------------------------------------------------------------

bool TransferFile::Open(const std::string& path, int& error) {
    Close();
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
        error = errno;
        return false;
    }
    buffer_.resize(1 << 16);
    pos_ = end_ = 0;
    return true;
}

void TransferFile::Close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    pos_ = end_ = 0;
}

bool TransferFile::Fill() {
    if (file_ == nullptr) return false;
    end_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
    pos_ = 0;
    return end_ > 0;
}

bool TransferFile::AtEnd() {
    return pos_ == end_ && !Fill();
}

bool TransferFile::ReadLine(std::string& line) {
    raw_.clear();
    bool any = false;
    while (pos_ < end_ || Fill()) {
        any = true;
        const char* start = buffer_.data() + pos_;
        const auto* cr = static_cast<const char*>(std::memchr(start, '\r', end_ - pos_));
        if (cr == nullptr) {
            raw_.append(start, end_ - pos_);
            pos_ = end_;
            continue;
        }
        raw_.append(start, cr - start);
        pos_ = static_cast<size_t>(cr - buffer_.data()) + 1;
        if ((pos_ < end_ || Fill()) && buffer_[pos_] == '\n') ++pos_;
        break;
    }
    if (!any) return false;
    if (platform::IsValidUtf8(raw_))
        line.swap(raw_);
    else
        line = platform::Cp1252ToUtf8(raw_);
    return true;
}

std::size_t TransferFile::ReadBytes(char* into, std::size_t size) {
    std::size_t done = std::min(size, end_ - pos_);
    if (done > 0) std::memcpy(into, buffer_.data() + pos_, done);
    pos_ += done;
    if (done < size && file_ != nullptr) done += std::fread(into + done, 1, size - done, file_);
    return done;
}

void TransferFile::Unread(std::string_view bytes) {
    std::string rest(bytes);
    rest.append(buffer_.data() + pos_, end_ - pos_);
    if (buffer_.size() < rest.size()) buffer_.resize(rest.size());
    std::memcpy(buffer_.data(), rest.data(), rest.size());
    pos_ = 0;
    end_ = rest.size();
}

// ---- Markers -----------------------------------------------------------------

bool IsMarkerLine(std::string_view line, std::string_view marker) {
    const std::string_view trimmed = TrimView(line);
    if (trimmed.size() != marker.size()) return false;
    for (size_t i = 0; i < marker.size(); ++i) {
        char c = trimmed[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != marker[i]) return false;
    }
    return true;
}

// ---- Numbers -----------------------------------------------------------------

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// "&H..." / "&O..." at the start, as the engine reads them.
bool ParseRadixNumber(std::string_view s, double& out, size_t& used) {
    std::int32_t value = 0;
    if (!engine::ReadRadixNumber(s, value, used)) return false;
    out = value;
    return true;
}

// The longest prefix of `s` that is a decimal number; its length (0: none).
size_t DecimalPrefix(std::string_view s, std::string& normal) {
    normal.clear();
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) normal += s[i++];
    size_t mantissa = 0;
    while (i < s.size() && IsDigit(s[i]))
        normal += s[i++], ++mantissa;
    if (i < s.size() && s[i] == '.') {
        normal += s[i++];
        while (i < s.size() && IsDigit(s[i]))
            normal += s[i++], ++mantissa;
    }
    if (mantissa == 0) return 0;
    if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
        size_t j = i + 1;
        std::string exponent = "e";
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) exponent += s[j++];
        const size_t digitsAt = j;
        while (j < s.size() && IsDigit(s[j]))
            exponent += s[j++];
        if (j > digitsAt) {
            normal += exponent;
            i = j;
        }
    }
    return i;
}

// The power of ten of the first significant digit of a number in the form
// DecimalPrefix gives, whose digits are not all zero.
long long LeadingPower(std::string_view normal) {
    const size_t e = normal.find('e');
    const std::string_view mantissa = normal.substr(0, e);
    const size_t point = std::min(mantissa.find('.'), mantissa.size());
    const size_t first = mantissa.find_first_of("123456789");
    if (first == std::string_view::npos) return -1; // zero: never an overflow
    long long power = first < point ? static_cast<long long>(point - first) - 1
                                    : -static_cast<long long>(first - point);
    if (e != std::string_view::npos) {
        size_t i = e + 1;
        const bool negative = i < normal.size() && normal[i] == '-';
        if (i < normal.size() && (normal[i] == '-' || normal[i] == '+')) ++i;
        long long exponent = 0;
        for (; i < normal.size(); ++i)
            exponent = std::min(exponent * 10 + (normal[i] - '0'), 1000000LL);
        power += negative ? -exponent : exponent;
    }
    return power;
}

// Hosts print the largest Double with 15 significant digits,
// 1.79769313486232E+308, just beyond it: such a number stands for it.
bool IsPrintedLargestDouble(std::string_view normal) {
    if (LeadingPower(normal) != 308) return false;
    std::string digits;
    for (const char c : normal.substr(0, normal.find('e'))) {
        if (c >= '0' && c <= '9' && (!digits.empty() || c != '0')) digits += c;
    }
    digits.resize(16, '0');
    return digits < "1797693134862325";
}

// The value of a number in the form DecimalPrefix gives. A magnitude beyond
// the largest Double sets `overflow`; one below the least becomes 0.
double ToDouble(const std::string& normal, bool& overflow) {
    overflow = false;
    const char* first = normal.data();
    if (*first == '+') ++first;
    double value = 0;
    const auto [end, ec] = std::from_chars(first, normal.data() + normal.size(), value);
    if (ec != std::errc::result_out_of_range) return value;
    const bool negative = *first == '-';
    if (LeadingPower(normal) < 0) return negative ? -0.0 : 0.0;
    if (IsPrintedLargestDouble(normal)) return negative ? -DBL_MAX : DBL_MAX;
    overflow = true;
    return negative ? -HUGE_VAL : HUGE_VAL;
}

} // namespace

double ReadLeadingNumber(std::string_view text, bool& overflow) {
    overflow = false;
    // Blanks, tabs and line feeds do not count, wherever they stand.
    std::string_view packed = text;
    std::string kept;
    if (text.find_first_of(" \t\n") != std::string_view::npos) {
        kept.reserve(text.size());
        for (char c : text)
            if (c != ' ' && c != '\t' && c != '\n') kept += c;
        packed = kept;
    }
    double value = 0;
    size_t used = 0;
    if (ParseRadixNumber(packed, value, used)) return value;
    std::string normal;
    if (DecimalPrefix(packed, normal) == 0) return 0;
    return ToDouble(normal, overflow);
}

double LeadingNumber(std::string_view text) {
    bool overflow = false;
    return ReadLeadingNumber(text, overflow);
}

bool IsNumeric(std::string_view text) {
    const std::string_view t = TrimView(text);
    if (t.empty()) return false;
    double value = 0;
    size_t used = 0;
    if (ParseRadixNumber(t, value, used)) return used == t.size() && used > 2;
    std::string normal;
    return DecimalPrefix(t, normal) == t.size();
}

// ---- Header and data lines ---------------------------------------------------

namespace {
bool WholeNumber16(const std::string& token, std::int16_t& out) {
    if (!IsNumeric(token)) return false;
    const double value = std::floor(LeadingNumber(token));
    if (!(value >= -32768.0 && value <= 32767.0)) return false;
    out = static_cast<std::int16_t>(value);
    return true;
}
} // namespace

bool ParseHeaderLine(const std::string& line, std::string& name, std::int16_t& type,
                     std::int16_t& size) {
    std::string rest = line;
    name = SplitToken(rest, "/");
    if (name.empty()) return false;
    if (!WholeNumber16(SplitToken(rest, "/"), type)) return false;
    if (!WholeNumber16(SplitToken(rest, "/"), size)) return false;
    if (type == engine::dbText && size >= 256) type = engine::dbMemo;
    return true;
}

engine::Value NumericRuleValue(std::string_view line) {
    if (TrimView(line).empty()) return engine::Null{};
    bool overflow = false;
    const double value = ReadLeadingNumber(line, overflow);
    // The language runtime's own error, which nothing in loading traps.
    if (overflow) throw engine::EngineError(RunTimeOverflow, "Overflow");
    return value;
}

std::string_view TextRuleText(std::string_view line) {
    const size_t last = line.find_last_not_of(' ');
    return last == std::string_view::npos ? line.substr(0, 0) : line.substr(0, last + 1);
}

engine::Value TextRuleValue(std::string_view line) {
    return std::string(TextRuleText(line));
}

engine::Value DataLineValue(std::string_view line, int type) {
    if (type == engine::dbLong || type == engine::dbDouble) return NumericRuleValue(line);
    // A host writes NULL as an empty value. Passed on as a zero-length text it
    // would end the run with a conversion error instead of storing Null.
    if (type != engine::dbText && type != engine::dbMemo && TrimView(line).empty())
        return engine::Null{};
    return TextRuleValue(line);
}

bool IsHostErrorLine(std::string_view line) {
    const std::string_view head = line.substr(0, 9);
    return head == "E_QE0203 " || head == "E_QE0204 ";
}

bool LoadHeader(TransferFile& file, engine::TableDef& def, std::string& badLine) {
    std::string line;
    while (file.ReadLine(line)) {
        if (IsMarkerLine(line, DataMarker)) break;
        std::string name;
        std::int16_t type = 0, size = 0;
        if (!ParseHeaderLine(line, name, type, size)) {
            badLine = std::move(line);
            return false;
        }
        engine::Field field = def.CreateField(name, type, size);
        if (type == engine::dbText || type == engine::dbMemo) field.AllowZeroLength = true;
        def.AppendField(field);
        ++core::Run().FieldCount;
    }
    return true;
}

} // namespace app
