#include "engine/convert.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace engine {

namespace {

const char* TypeName(int type) {
    switch (type) {
    case dbBoolean:
        return "Yes/No";
    case dbByte:
        return "Byte";
    case dbInteger:
        return "Integer";
    case dbLong:
        return "Long";
    case dbCurrency:
        return "Currency";
    case dbSingle:
        return "Single";
    case dbDouble:
        return "Double";
    case dbDate:
        return "Date/Time";
    case dbBinary:
        return "Binary";
    case dbText:
        return "Text";
    case dbLongBinary:
        return "Long Binary";
    case dbMemo:
        return "Memo";
    case dbGUID:
        return "GUID";
    default:
        return "unknown";
    }
}

std::string FieldLabel(const Field& field) {
    return field.Name.empty() ? std::string("the field") : "the field '" + field.Name + "'";
}

// A short quotation of a value for a message; values come from untrusted files
// and may be long.
std::string Excerpt(const Value& value) {
    std::string text;
    if (const auto* s = std::get_if<std::string>(&value)) {
        text = s->size() > 40 ? s->substr(0, 40) + "..." : *s;
        return "'" + text + "'";
    }
    if (const auto* i = std::get_if<std::int64_t>(&value)) return std::to_string(*i);
    if (const auto* d = std::get_if<double>(&value)) return NumberText(*d);
    if (const auto* b = std::get_if<bool>(&value)) return *b ? "True" : "False";
    if (const auto* t = std::get_if<DateTime>(&value)) return FormatDateTime(*t);
    if (const auto* c = std::get_if<Currency>(&value)) return CurrencyText(*c);
    return "the value";
}

[[noreturn]] void RaiseConversion(const Value& value, const Field& field) {
    throw EngineError(errConversion, "The value " + Excerpt(value) + " cannot be converted to " +
                                         TypeName(field.Type) + " for " + FieldLabel(field) + ".");
}

[[noreturn]] void RaiseOverflow(const Value& value, const Field& field) {
    throw EngineError(errNumericOverflow, "The value " + Excerpt(value) +
                                              " is out of the range of " + TypeName(field.Type) +
                                              " for " + FieldLabel(field) + ".");
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A plain whole number in text ([+-]digits), read exactly; nothing for other
// forms and for numbers beyond 64 bits (those go through double).
std::optional<std::int64_t> ParseWholeNumber(std::string_view text) {
    text = TrimBlanks(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    const std::size_t start = text.front() == '-' ? 1 : 0;
    if (start == text.size()) return std::nullopt;
    for (std::size_t i = start; i < text.size(); ++i) {
        if (!IsDigit(text[i])) return std::nullopt;
    }
    std::int64_t result = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), result);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return result;
}

// A number as either an exact whole number or a double.
struct Number {
    bool whole = false;
    std::int64_t integer = 0;
    double real = 0;
    double AsDouble() const { return whole ? static_cast<double>(integer) : real; }
};

Number NumberOf(const Value& value, const Field& field) {
    if (const auto* b = std::get_if<bool>(&value)) return {true, *b ? -1 : 0, 0};
    if (const auto* i = std::get_if<std::int64_t>(&value)) return {true, *i, 0};
    if (const auto* d = std::get_if<double>(&value)) return {false, 0, *d};
    if (const auto* c = std::get_if<Currency>(&value)) {
        if (c->units % 10000 == 0) return {true, c->units / 10000, 0};
        return {false, 0, CurrencyToDouble(*c)};
    }
    if (const auto* t = std::get_if<DateTime>(&value)) {
        if (!IsValidDateTime(*t)) RaiseConversion(value, field);
        return {false, 0, DateToSerial(*t)};
    }
    if (const auto* s = std::get_if<std::string>(&value)) {
        if (auto whole = ParseWholeNumber(*s)) return {true, *whole, 0};
        if (auto real = ParseNumber(*s)) return {false, 0, *real};
    }
    RaiseConversion(value, field);
}

std::int64_t WholeInRange(const Value& value, const Field& field, std::int64_t low,
                          std::int64_t high) {
    const Number n = NumberOf(value, field);
    if (n.whole) {
        if (n.integer < low || n.integer > high) RaiseOverflow(value, field);
        return n.integer;
    }
    if (std::isnan(n.real)) RaiseConversion(value, field);
    const double rounded = RoundHalfEven(n.real);
    if (!(rounded >= static_cast<double>(low) && rounded <= static_cast<double>(high)))
        RaiseOverflow(value, field);
    return static_cast<std::int64_t>(rounded);
}

double FiniteDouble(const Value& value, const Field& field) {
    const double d = NumberOf(value, field).AsDouble();
    if (std::isnan(d)) RaiseConversion(value, field);
    if (std::isinf(d)) RaiseOverflow(value, field);
    return d;
}

// Single precision keeps about seven digits; the value is kept as the double
// nearest to the shortest decimal that identifies the float, so 0.1 stays 0.1
// rather than becoming 0.100000001490116. That decimal may lie just beyond the
// largest float (3.4028235E+38), so the range is that of the values that round
// to a float: a Single read back converts to the same Single again.
double SingleValue(const Value& value, const Field& field) {
    // 2^128 - 2^103: halfway between the largest float and the next power of 2.
    constexpr double beyond = 3.4028235677973366e+38;
    const double d = FiniteDouble(value, field);
    if (!(std::fabs(d) < beyond)) RaiseOverflow(value, field);
    const float f = static_cast<float>(d);
    std::array<char, 64> buffer{};
    const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), f);
    double result = f;
    std::from_chars(buffer.data(), written.ptr, result);
    return result;
}

constexpr std::int64_t kUnitsPerWhole = 10000;
constexpr std::int64_t kLargestWholeCurrency = INT64_MAX / kUnitsPerWhole;

Currency CurrencyValue(const Value& value, const Field& field) {
    if (const auto* c = std::get_if<Currency>(&value)) return *c;
    if (const auto* s = std::get_if<std::string>(&value)) {
        bool overflow = false;
        if (auto exact = ParseCurrency(*s, overflow)) return *exact;
        if (overflow) RaiseOverflow(value, field);
        RaiseConversion(value, field);
    }
    const Number n = NumberOf(value, field);
    if (n.whole) {
        if (n.integer > kLargestWholeCurrency || n.integer < -kLargestWholeCurrency)
            RaiseOverflow(value, field);
        return {n.integer * kUnitsPerWhole};
    }
    if (std::isnan(n.real)) RaiseConversion(value, field);
    // The extended product is exact enough that only the rounding to whole
    // units decides, halves to even as the classic conversion rounded.
    const long double scaled = std::nearbyintl(static_cast<long double>(n.real) * kUnitsPerWhole);
    if (!(scaled >= -0x1p63L && scaled < 0x1p63L)) RaiseOverflow(value, field);
    return {static_cast<std::int64_t>(scaled)};
}

bool BooleanValue(const Value& value, const Field& field) {
    if (const auto* b = std::get_if<bool>(&value)) return *b;
    if (const auto* s = std::get_if<std::string>(&value)) {
        const std::string_view word = TrimBlanks(*s);
        for (const char* yes : {"true", "yes", "on"}) {
            if (EqualsNoCase(word, yes)) return true;
        }
        for (const char* no : {"false", "no", "off"}) {
            if (EqualsNoCase(word, no)) return false;
        }
    }
    const Number n = NumberOf(value, field);
    if (n.whole) return n.integer != 0;
    if (std::isnan(n.real)) RaiseConversion(value, field);
    return n.real != 0;
}

DateTime DateValue(const Value& value, const Field& field) {
    if (const auto* t = std::get_if<DateTime>(&value)) {
        if (!IsValidDateTime(*t)) RaiseConversion(value, field);
        return *t;
    }
    if (const auto* s = std::get_if<std::string>(&value)) {
        if (auto date = ParseDate(*s)) return *date;
        RaiseConversion(value, field);
    }
    const double serial = NumberOf(value, field).AsDouble();
    if (std::isnan(serial)) RaiseConversion(value, field);
    auto date = SerialToDate(serial);
    if (!date) RaiseOverflow(value, field);
    return *date;
}

std::string DateText(const DateTime& t) {
    std::string text = FormatDateTime(t);
    if (t.hour == 0 && t.minute == 0 && t.second == 0) text.resize(10);
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, braces optional on input, upper case.
std::optional<std::string> CanonicalGuid(std::string_view text) {
    text = TrimBlanks(text);
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
        text = text.substr(1, 36);
    }
    if (text.size() != 36) return std::nullopt;
    std::string result = "{";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (text[i] == '-')) return std::nullopt;
        if (!dash && HexDigit(text[i]) < 0) return std::nullopt;
        result += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    }
    return result + "}";
}

// The text a value becomes in a text or memo field, written into `out`.
void TextInto(const Value& value, const Field& field, std::string& out) {
    if (const auto* s = std::get_if<std::string>(&value)) {
        out.assign(*s);
    } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
        out = std::to_string(*i);
    } else if (const auto* d = std::get_if<double>(&value)) {
        if (!std::isfinite(*d)) RaiseConversion(value, field);
        out = NumberText(*d);
    } else if (const auto* b = std::get_if<bool>(&value)) {
        out = *b ? "True" : "False";
    } else if (const auto* t = std::get_if<DateTime>(&value)) {
        if (!IsValidDateTime(*t)) RaiseConversion(value, field);
        out = DateText(*t);
    } else if (const auto* c = std::get_if<Currency>(&value)) {
        out = CurrencyText(*c);
    } else {
        RaiseConversion(value, field);
    }
}

void CheckText(const std::string& text, const Field& field) {
    if (text.empty() && !field.AllowZeroLength) {
        throw EngineError(errZeroLengthNotAllowed,
                          "A zero-length text is not allowed in " + FieldLabel(field) + ".");
    }
    if (field.Type != dbText) return;
    const std::size_t limit = field.Size > 0 ? static_cast<std::size_t>(field.Size) : 255;
    if (text.size() > limit && CountCharacters(text) > limit) {
        throw EngineError(errValueTooLong, "The text is too long for " + FieldLabel(field) +
                                               ", which holds at most " + std::to_string(limit) +
                                               " characters.");
    }
}

// Assigning through the held alternative keeps the buffer of a text that the
// previous record left in `out`.
std::string& TextSlot(Value& out) {
    if (auto* s = std::get_if<std::string>(&out)) return *s;
    return out.emplace<std::string>();
}

void BinaryInto(const Value& value, const Field& field, Value& out) {
    Blob bytes;
    if (const auto* b = std::get_if<Blob>(&value)) {
        bytes = *b;
    } else if (const auto* s = std::get_if<std::string>(&value)) {
        bytes.assign(s->begin(), s->end());
    } else {
        RaiseConversion(value, field);
    }
    if (field.Type == dbBinary && field.Size > 0 &&
        bytes.size() > static_cast<std::size_t>(field.Size)) {
        throw EngineError(errValueTooLong, "The value is too long for " + FieldLabel(field) +
                                               ", which holds at most " +
                                               std::to_string(field.Size) + " bytes.");
    }
    out = std::move(bytes);
}

const int kDayZero = DaysFromCivil(1899, 12, 30);

int DaysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) return 29;
    return days[month - 1];
}

// A small reader for the date forms.
struct Cursor {
    std::string_view text;
    std::size_t pos = 0;

    bool AtEnd() const { return pos >= text.size(); }
    char Peek() const { return AtEnd() ? '\0' : text[pos]; }
    bool Take(char c) {
        if (Peek() != c) return false;
        ++pos;
        return true;
    }
    void SkipBlanks() {
        while (Peek() == ' ' || Peek() == '\t')
            ++pos;
    }
    // Between `least` and `most` digits.
    std::optional<int> Digits(int least, int most) {
        int value = 0, count = 0;
        while (count < most && IsDigit(Peek())) {
            value = value * 10 + (text[pos++] - '0');
            ++count;
        }
        if (count < least) return std::nullopt;
        return value;
    }
};

// h:mm[:ss] [AM|PM]
bool ReadTime(Cursor& c, DateTime& t) {
    const auto hour = c.Digits(1, 2);
    if (!hour || !c.Take(':')) return false;
    const auto minute = c.Digits(2, 2);
    if (!minute) return false;
    int second = 0;
    if (c.Take(':')) {
        const auto s = c.Digits(2, 2);
        if (!s) return false;
        second = *s;
    }
    int h = *hour;
    c.SkipBlanks();
    const std::string_view rest = c.text.substr(c.pos);
    if (rest.size() >= 2 &&
        (EqualsNoCase(rest.substr(0, 2), "AM") || EqualsNoCase(rest.substr(0, 2), "PM"))) {
        if (h < 1 || h > 12) return false;
        const bool pm = EqualsNoCase(rest.substr(0, 2), "PM");
        h = (h % 12) + (pm ? 12 : 0);
        c.pos += 2;
    }
    t.hour = h;
    t.minute = *minute;
    t.second = second;
    return h <= 23 && *minute <= 59 && second <= 59;
}

bool ReadIsoDate(Cursor& c, DateTime& t) {
    const auto year = c.Digits(4, 4);
    if (!year || !c.Take('-')) return false;
    const auto month = c.Digits(1, 2);
    if (!month || !c.Take('-')) return false;
    const auto day = c.Digits(1, 2);
    if (!day) return false;
    t.year = *year, t.month = *month, t.day = *day;
    if (c.AtEnd()) return true;
    if (!c.Take('T')) {
        if (c.Peek() != ' ') return false;
        c.SkipBlanks();
    }
    return ReadTime(c, t);
}

bool ReadUsDate(Cursor& c, DateTime& t) {
    const auto month = c.Digits(1, 2);
    if (!month || !c.Take('/')) return false;
    const auto day = c.Digits(1, 2);
    if (!day || !c.Take('/')) return false;
    const auto year = c.Digits(4, 4);
    if (!year) return false;
    t.year = *year, t.month = *month, t.day = *day;
    if (c.AtEnd()) return true;
    if (c.Peek() != ' ') return false;
    c.SkipBlanks();
    return ReadTime(c, t);
}

void Write2(char* out, int value) {
    out[0] = static_cast<char>('0' + value / 10 % 10);
    out[1] = static_cast<char>('0' + value % 10);
}

} // namespace

int DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int z, int& y, int& m, int& d) {
    z += 719468;
    const int era = (z >= 0 ? z : z - 146096) / 146097;
    const int doe = z - era * 146097;
    const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp + (mp < 10 ? 3 : -9);
    y = yoe + era * 400 + (m <= 2);
}

bool IsValidFieldType(int type) {
    return (type >= dbBoolean && type <= dbMemo) || type == dbGUID;
}

int CheckedFieldSize(int type, int size) {
    switch (type) {
    case dbBoolean:
    case dbByte:
        return 1;
    case dbInteger:
        return 2;
    case dbLong:
    case dbSingle:
        return 4;
    case dbCurrency:
    case dbDouble:
    case dbDate:
        return 8;
    case dbGUID:
        return 16;
    case dbLongBinary:
    case dbMemo:
        return 0;
    case dbText:
    case dbBinary:
        if (size < 1 || size > 255) {
            throw EngineError(errInvalidFieldType,
                              std::string("A ") + TypeName(type) + " field holds 1 to 255 " +
                                  (type == dbText ? "characters" : "bytes") + "; " +
                                  std::to_string(size) + " is not a valid size.");
        }
        return size;
    default:
        throw EngineError(errInvalidFieldType,
                          "The field type " + std::to_string(type) + " is not a valid type.");
    }
}

void ConvertValueInto(const Value& value, const Field& field, Value& out) {
    if (IsNull(value)) {
        out = Null{};
        return;
    }
    switch (field.Type) {
    case dbText:
    case dbMemo: {
        std::string& text = TextSlot(out);
        TextInto(value, field, text);
        CheckText(text, field);
        return;
    }
    case dbGUID: {
        const auto* s = std::get_if<std::string>(&value);
        auto guid = s ? CanonicalGuid(*s) : std::nullopt;
        if (!guid) RaiseConversion(value, field);
        out = std::move(*guid);
        return;
    }
    case dbBoolean:
        out = BooleanValue(value, field);
        return;
    case dbByte:
        out = WholeInRange(value, field, 0, 255);
        return;
    case dbInteger:
        out = WholeInRange(value, field, INT16_MIN, INT16_MAX);
        return;
    case dbLong:
        out = WholeInRange(value, field, INT32_MIN, INT32_MAX);
        return;
    case dbCurrency:
        out = CurrencyValue(value, field);
        return;
    case dbSingle:
        out = SingleValue(value, field);
        return;
    case dbDouble:
        out = FiniteDouble(value, field);
        return;
    case dbDate:
        out = DateValue(value, field);
        return;
    case dbBinary:
    case dbLongBinary:
        BinaryInto(value, field, out);
        return;
    default:
        throw EngineError(errInvalidFieldType,
                          "The field type " + std::to_string(field.Type) + " is not a valid type.");
    }
}

Value ConvertValue(const Value& value, const Field& field) {
    Value out;
    ConvertValueInto(value, field, out);
    return out;
}

std::optional<double> ParseNumber(std::string_view text) {
    text = TrimBlanks(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    // Check the form first: from_chars alone would also take "inf" and "nan".
    std::size_t i = text.empty() || text.front() != '-' ? 0 : 1;
    std::size_t digits = 0;
    while (i < text.size() && IsDigit(text[i]))
        ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && IsDigit(text[i]))
            ++i, ++digits;
    }
    if (digits == 0) return std::nullopt;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            negativeExponent = text[i] == '-';
            ++i;
        }
        const std::size_t start = i;
        while (i < text.size() && IsDigit(text[i]))
            ++i;
        if (i == start) return std::nullopt;
    }
    if (i != text.size()) return std::nullopt;
    double result = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), result);
    if (ec == std::errc::result_out_of_range) {
        // Too small underflows to zero; too large counts as infinite, which
        // the callers report as an overflow.
        const double sign = text.front() == '-' ? -1.0 : 1.0;
        return negativeExponent ? 0.0 * sign : sign * std::numeric_limits<double>::infinity();
    }
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return result;
}

std::optional<DateTime> ParseDate(std::string_view text) {
    text = TrimBlanks(text);
    DateTime t;
    bool read = false;
    for (auto reader : {ReadIsoDate, ReadUsDate}) {
        Cursor c{text};
        t = DateTime{};
        if (reader(c, t) && c.AtEnd()) {
            read = true;
            break;
        }
    }
    if (!read) {
        Cursor c{text};
        t = DateTime{};
        read = ReadTime(c, t) && c.AtEnd();
    }
    if (!read || !IsValidDateTime(t)) return std::nullopt;
    return t;
}

double RoundHalfEven(double value) {
    const double whole = std::trunc(value);
    if (std::fabs(value - whole) != 0.5) return std::round(value);
    return std::fmod(whole, 2.0) == 0 ? whole : whole + (value > 0 ? 1.0 : -1.0);
}

bool IsValidDateTime(const DateTime& t) {
    return t.year >= 100 && t.year <= 9999 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
           t.day <= DaysInMonth(t.year, t.month) && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 &&
           t.minute <= 59 && t.second >= 0 && t.second <= 59;
}

void FormatDateTimeTo(const DateTime& t, char* out) {
    Write2(out, t.year / 100);
    Write2(out + 2, t.year % 100);
    out[4] = '-';
    Write2(out + 5, t.month);
    out[7] = '-';
    Write2(out + 8, t.day);
    out[10] = ' ';
    Write2(out + 11, t.hour);
    out[13] = ':';
    Write2(out + 14, t.minute);
    out[16] = ':';
    Write2(out + 17, t.second);
}

std::string FormatDateTime(const DateTime& t) {
    std::string text(19, ' ');
    FormatDateTimeTo(t, text.data());
    return text;
}

std::optional<DateTime> ParseDateTime(std::string_view text) {
    static constexpr std::string_view pattern = "dddd-dd-dd dd:dd:dd";
    if (text.size() != pattern.size()) return std::nullopt;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == 'd' ? !IsDigit(text[i]) : text[i] != pattern[i]) return std::nullopt;
    }
    auto number = [&](std::size_t at, std::size_t length) {
        int value = 0;
        for (std::size_t i = at; i < at + length; ++i)
            value = value * 10 + (text[i] - '0');
        return value;
    };
    const DateTime t{number(0, 4),  number(5, 2),  number(8, 2),
                     number(11, 2), number(14, 2), number(17, 2)};
    if (!IsValidDateTime(t)) return std::nullopt;
    return t;
}

double DateToSerial(const DateTime& t) {
    const int days = DaysFromCivil(t.year, t.month, t.day) - kDayZero;
    const double fraction = (t.hour * 3600 + t.minute * 60 + t.second) / 86400.0;
    // Before day zero the time still counts forward from midnight.
    return days >= 0 ? days + fraction : days - fraction;
}

std::optional<DateTime> SerialToDate(double serial) {
    constexpr double first = -657434.0;     // 100-01-01
    constexpr double last = 2958465.999988; // 9999-12-31 23:59:59
    if (!std::isfinite(serial) || serial <= first - 1 || serial >= last + 0.00001) {
        return std::nullopt;
    }
    int days = static_cast<int>(std::trunc(serial));
    long long seconds = std::llround(std::fabs(serial - days) * 86400.0);
    if (seconds >= 86400) {
        seconds -= 86400;
        days += 1;
    }
    DateTime t;
    CivilFromDays(days + kDayZero, t.year, t.month, t.day);
    t.hour = static_cast<int>(seconds / 3600);
    t.minute = static_cast<int>(seconds / 60 % 60);
    t.second = static_cast<int>(seconds % 60);
    if (!IsValidDateTime(t)) return std::nullopt;
    return t;
}

std::size_t CountCharacters(std::string_view utf8) {
    std::size_t count = 0;
    for (const char c : utf8)
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

bool ReadRadixNumber(std::string_view s, std::int32_t& value, std::size_t& used) {
    if (s.size() < 2 || s[0] != '&') return false;
    const char kind = static_cast<char>(s[1] & ~0x20);
    const int base = kind == 'H' ? 16 : kind == 'O' ? 8 : 0;
    if (base == 0) return false;
    std::uint64_t bits = 0;
    std::size_t i = 2, digits = 0;
    for (; i < s.size(); ++i) {
        const int d = HexDigit(s[i]);
        if (d < 0 || d >= base) break;
        bits = (bits * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d)) &
               0xFFFFFFFFull;
        ++digits;
    }
    used = i;
    if (bits <= 0xFFFF && (base == 16 ? digits <= 4 : true))
        value = static_cast<std::int16_t>(static_cast<std::uint16_t>(bits));
    else
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits));
    return true;
}

namespace {

// The magnitude of a decimal number in ten-thousandths, rounded halves to
// even; false beyond `limit`. `digits` holds the significant digits without
// leading zeros; the number is digits x 10^(shift - 4).
bool UnitsOf(std::string_view digits, long long shift, std::uint64_t limit, std::uint64_t& units) {
    const long long kept = static_cast<long long>(digits.size()) + shift;
    if (kept > 20) return false;
    std::uint64_t whole = 0;
    const auto push = [&](int d) {
        return !__builtin_mul_overflow(whole, 10u, &whole) &&
               !__builtin_add_overflow(whole, static_cast<unsigned>(d), &whole);
    };
    for (long long i = 0; i < kept; ++i) {
        const int d = i < static_cast<long long>(digits.size()) ? digits[std::size_t(i)] - '0' : 0;
        if (!push(d)) return false;
    }
    if (kept >= 0 && kept < static_cast<long long>(digits.size())) {
        const int first = digits[std::size_t(kept)] - '0';
        const bool more =
            digits.find_first_not_of('0', std::size_t(kept) + 1) != std::string_view::npos;
        const bool up = first > 5 || (first == 5 && (more || whole % 2 == 1));
        if (up && __builtin_add_overflow(whole, 1u, &whole)) return false;
    }
    if (whole > limit) return false;
    units = whole;
    return true;
}

} // namespace

std::optional<Currency> ParseCurrency(std::string_view text, bool& overflow) {
    overflow = false;
    text = TrimBlanks(text);
    std::int32_t radix = 0;
    std::size_t used = 0;
    if (ReadRadixNumber(text, radix, used)) {
        if (used != text.size() || used == 2) return std::nullopt;
        return Currency{radix * kUnitsPerWhole};
    }
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::string digits;
    long long fraction = 0;
    std::size_t mantissa = 0;
    for (bool point = false; i < text.size(); ++i) {
        if (text[i] == '.' && !point) {
            point = true;
            continue;
        }
        if (!IsDigit(text[i])) break;
        ++mantissa;
        fraction += point;
        if (digits.empty() && text[i] == '0') continue;
        digits += text[i];
    }
    if (mantissa == 0) return std::nullopt;
    long long exponent = 0;
    if (i < text.size() && (text[i] == 'E' || text[i] == 'e' || text[i] == 'D' || text[i] == 'd')) {
        ++i;
        bool negativeExponent = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            negativeExponent = text[i++] == '-';
        const std::size_t start = i;
        for (; i < text.size() && IsDigit(text[i]); ++i)
            exponent = std::min(exponent * 10 + (text[i] - '0'), 1000000LL);
        if (i == start) return std::nullopt;
        if (negativeExponent) exponent = -exponent;
    }
    if (i != text.size()) return std::nullopt;
    // The least Currency has one unit more than the greatest.
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : INT64_MAX;
    std::uint64_t units = 0;
    if (!digits.empty() && !UnitsOf(digits, exponent - fraction + 4, limit, units)) {
        overflow = true;
        return std::nullopt;
    }
    return Currency{negative ? static_cast<std::int64_t>(0 - units)
                             : static_cast<std::int64_t>(units)};
}

std::string CurrencyText(Currency value) {
    const bool negative = value.units < 0;
    // Through unsigned: the least value has no positive counterpart.
    const std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(value.units) : std::uint64_t(value.units);
    std::string text = (negative ? "-" : "") + std::to_string(magnitude / kUnitsPerWhole);
    std::uint64_t fraction = magnitude % kUnitsPerWhole;
    if (fraction != 0) {
        char places[5] = {'.', '0', '0', '0', '0'};
        for (int at = 4; at >= 1; --at, fraction /= 10)
            places[at] = static_cast<char>('0' + fraction % 10);
        std::size_t length = 5;
        while (places[length - 1] == '0')
            --length;
        text.append(places, length);
    }
    return text;
}

std::uint64_t RoundUnitsHalfEven(std::uint64_t units, int decimals) {
    std::uint64_t step = 1;
    for (int i = std::max(decimals, 0); i < 4; ++i)
        step *= 10;
    const std::uint64_t rest = units % step;
    std::uint64_t rounded = units - rest;
    if (rest * 2 > step || (rest * 2 == step && rounded / step % 2 == 1)) rounded += step;
    return rounded;
}

double CurrencyToDouble(Currency value) {
    const std::string text = CurrencyText(value);
    double result = 0;
    std::from_chars(text.data(), text.data() + text.size(), result);
    return result;
}

std::string NumberText(double value) {
    if (value == 0) return "0";
    std::array<char, 64> buffer{};
    const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                       std::chars_format::general, 15);
    std::string text(buffer.data(), written.ptr);
    for (char& c : text) {
        if (c == 'e') c = 'E';
    }
    return text;
}

} // namespace engine
