#include "app/transfer.h"

#include "app/runstate.h"
#include "platform/platform.h"

#include <cerrno>

#include <algorithm>
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

// ---- Tokens ------------------------------------------------------------------

std::string_view TrimView(std::string_view text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::string Trim(std::string_view text) {
    return std::string(TrimView(text));
}

std::string SplitToken(std::string& text, std::string_view separator) {
    const size_t at = separator.empty() ? std::string::npos : text.find(separator);
    if (at == std::string::npos) {
        std::string whole;
        whole.swap(text);
        return whole;
    }
    std::string before = Trim(std::string_view(text).substr(0, at));
    // Trimmed in place: a line may be very long, and a copy would double it.
    const size_t first = text.find_first_not_of(' ', at + separator.size());
    if (first == std::string::npos) {
        text.clear();
    } else {
        text.erase(text.find_last_not_of(' ') + 1);
        text.erase(0, first);
    }
    return before;
}

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

// Parses "&H..." / "&O..." at the start; the classic reader gives 16-bit values
// for up to four hex digits (so &HFFFF is -1) and 32-bit ones beyond.
bool ParseRadixNumber(std::string_view s, double& out, size_t& used) {
    if (s.size() < 2 || s[0] != '&') return false;
    const char kind = static_cast<char>(s[1] & ~0x20);
    const int base = kind == 'H' ? 16 : kind == 'O' ? 8 : 0;
    if (base == 0) return false;
    std::uint64_t value = 0;
    size_t i = 2, digits = 0;
    for (; i < s.size(); ++i) {
        int d;
        const char c = s[i];
        if (IsDigit(c))
            d = c - '0';
        else if (base == 16 && (c | 0x20) >= 'a' && (c | 0x20) <= 'f')
            d = (c | 0x20) - 'a' + 10;
        else
            break;
        if (d >= base) break;
        value = value * base + d;
        if (value > 0xFFFFFFFFull) value &= 0xFFFFFFFFull;
        ++digits;
    }
    used = i;
    if (digits == 0) {
        out = 0;
        return true;
    }
    if (value <= 0xFFFF && (base == 16 ? digits <= 4 : value <= 0xFFFF))
        out = static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
    else
        out = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
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

double ToDouble(const std::string& normal) {
    const char* first = normal.data();
    if (*first == '+') ++first;
    double value = 0;
    std::from_chars(first, normal.data() + normal.size(), value);
    return value;
}

} // namespace

double LeadingNumber(std::string_view text) {
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
    return ToDouble(normal);
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
    return LeadingNumber(line);
}

std::string_view TextRuleText(std::string_view line) {
    const size_t last = line.find_last_not_of(' ');
    return last == std::string_view::npos ? line.substr(0, 0) : line.substr(0, last + 1);
}

engine::Value TextRuleValue(std::string_view line) {
    return std::string(TextRuleText(line));
}

engine::Value DataLineValue(std::string_view line, int type) {
    const bool numeric = type == engine::dbLong || type == engine::dbDouble;
    return numeric ? NumericRuleValue(line) : TextRuleValue(line);
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
        ++Run().FieldCount;
    }
    return true;
}

} // namespace app
