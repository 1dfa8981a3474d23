#include "engine/xbase/format.h"

#include "engine/convert.h"
#include "engine/names.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <set>

namespace engine::xbase {

namespace {

// Error numbers of the classic engine that only this format raises.
constexpr int errTooManyFields = 3190;
constexpr int errRecordTooLarge = 3047;

constexpr std::uint8_t kLanguageDriver1252 = 0x03;
constexpr std::uint8_t kFieldTerminator = 0x0D;
constexpr int kRealWidth = 20;
constexpr int kRealDecimals = 5;

struct VersionLimits {
    int fields;
    int recordLength; // deletion flag included
};

VersionLimits LimitsOf(Version version) {
    switch (version) {
    case Version::Dbase3:
        return {128, 4000};
    case Version::Dbase4:
        return {255, 4000};
    default:
        return {255, 65500};
    }
}

void PutLe16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void PutBe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * (3 - i)));
}

std::uint32_t Le16(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8;
}

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}

std::uint32_t Be16(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 8 | std::uint32_t(p[1]);
}

// Upper case in Windows-1252: ASCII, the Latin-1 letters and the four
// lower-case letters of 0x80..0x9F.
char UpperCp1252(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 'a' && u <= 'z') return static_cast<char>(u - 32);
    if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return static_cast<char>(u - 32);
    switch (u) {
    case 0x9A: // s caron
    case 0x9C: // oe
    case 0x9E: // z caron
        return static_cast<char>(u - 16);
    case 0xFF: // y diaeresis
        return static_cast<char>(0x9F);
    default:
        return c;
    }
}

bool IsAscii(std::string_view text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// Text in Windows-1252, without copying when it is plain ASCII.
std::string_view ToCp1252(std::string_view utf8, std::string& scratch) {
    if (IsAscii(utf8)) return utf8;
    scratch = platform::Utf8ToCp1252(utf8);
    return scratch;
}

std::string FromCp1252(std::string_view bytes) {
    if (IsAscii(bytes)) return std::string(bytes);
    return platform::Cp1252ToUtf8(bytes);
}

[[noreturn]] void RaiseRefusedField(const Field& field, Version version) {
    throw EngineError(errInvalidFieldType, "The field '" + field.Name + "' is of a binary type, " +
                                               "which " + VersionTitle(version) +
                                               " tables cannot hold.");
}

StoredField StoredFieldFor(const Field& field, Version version) {
    const char real = version == Version::Dbase3 ? 'N' : 'F';
    switch (field.Type) {
    case dbBoolean:
        return {"", 'L', 1, 0, 0};
    case dbByte:
        return {"", 'N', 3, 0, 0};
    case dbInteger:
        return {"", 'N', 6, 0, 0};
    case dbLong:
        return {"", 'N', 11, 0, 0};
    case dbCurrency:
        return {"", 'N', 20, 4, 0};
    case dbSingle:
    case dbDouble:
        return {"", real, kRealWidth, kRealDecimals, 0};
    case dbDate:
        return {"", 'D', 8, 0, 0};
    case dbText:
        return {"", 'C', std::clamp(field.Size, 1, 255), 0, 0};
    case dbMemo:
        return {"", 'M', 10, 0, 0};
    case dbGUID:
        return {"", 'C', 38, 0, 0};
    default:
        RaiseRefusedField(field, version);
    }
}

[[noreturn]] void RaiseTooLong(const Field& field, std::size_t width) {
    throw EngineError(errValueTooLong, "The text is too long for the field '" + field.Name +
                                           "', which holds at most " + std::to_string(width) +
                                           " characters.");
}

[[noreturn]] void RaiseDoesNotFit(const Field& field, const std::string& shown, int width) {
    throw EngineError(errNumericOverflow, "The value " + shown + " does not fit the field '" +
                                              field.Name + "', which holds " +
                                              std::to_string(width) + " characters.");
}

// Writes `text` right-aligned in `width` bytes (the caller checked it fits).
void PutRight(char* out, std::size_t width, std::string_view text) {
    std::memset(out, ' ', width - text.size());
    std::memcpy(out + (width - text.size()), text.data(), text.size());
}

void PutLeft(char* out, std::size_t width, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    std::memset(out + text.size(), ' ', width - text.size());
}

void PutDigits(char* out, int value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\0'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.remove_suffix(1);
    return text;
}

} // namespace

// ---- Versions -----------------------------------------------------------------

std::optional<Version> VersionNamed(std::string_view connectName) {
    static constexpr std::pair<std::string_view, Version> names[] = {
        {"Dbase III", Version::Dbase3},    {"Dbase IV", Version::Dbase4},
        {"FoxPro 2.0", Version::FoxPro20}, {"FoxPro 2.5", Version::FoxPro25},
        {"FoxPro 2.6", Version::FoxPro26},
    };
    for (const auto& [name, version] : names) {
        if (SameName(name, connectName)) return version;
    }
    return std::nullopt;
}

bool IsFoxPro(Version version) {
    return version != Version::Dbase3 && version != Version::Dbase4;
}

std::string VersionTitle(Version version) {
    switch (version) {
    case Version::Dbase3:
        return "dBASE III";
    case Version::Dbase4:
        return "dBASE IV";
    case Version::FoxPro20:
        return "FoxPro 2.0";
    case Version::FoxPro25:
        return "FoxPro 2.5";
    case Version::FoxPro26:
        return "FoxPro 2.6";
    }
    return "xBase";
}

MemoKind MemoKindOf(Version version) {
    switch (version) {
    case Version::Dbase3:
        return MemoKind::Dbase3;
    case Version::Dbase4:
        return MemoKind::Dbase4;
    default:
        return MemoKind::FoxPro;
    }
}

std::string MemoExtension(MemoKind kind) {
    return kind == MemoKind::FoxPro ? "FPT" : "DBT";
}

std::uint32_t MemoBlockSize(MemoKind kind) {
    return kind == MemoKind::FoxPro ? 64 : 512;
}

// ---- Writing a table ----------------------------------------------------------

std::vector<std::string> StoredFieldNames(const std::vector<std::string>& names) {
    std::vector<std::string> stored;
    std::set<std::string> taken;
    for (const std::string& name : names) {
        std::string base = platform::Utf8ToCp1252(name);
        std::transform(base.begin(), base.end(), base.begin(), UpperCp1252);
        if (base.size() > 10) base.resize(10);
        std::string candidate = base;
        for (int k = 1; taken.count(candidate) != 0; ++k) {
            const std::string suffix = "_" + std::to_string(k);
            candidate = base.substr(0, std::min(base.size(), 10 - suffix.size())) + suffix;
        }
        taken.insert(candidate);
        stored.push_back(candidate);
    }
    return stored;
}

TablePlan PlanTable(Version version, const TableDef& def) {
    TablePlan plan;
    plan.version = version;
    const VersionLimits limits = LimitsOf(version);
    if (def.FieldCount() > limits.fields) {
        throw EngineError(errTooManyFields, "The table '" + def.Name() + "' has " +
                                                std::to_string(def.FieldCount()) + " fields; " +
                                                VersionTitle(version) + " tables hold at most " +
                                                std::to_string(limits.fields) + ".");
    }
    std::vector<std::string> names;
    for (const Field& field : def.AllFields())
        names.push_back(field.Name);
    const std::vector<std::string> storedNames = StoredFieldNames(names);
    int offset = 1;
    for (std::size_t i = 0; i < def.AllFields().size(); ++i) {
        const Field& field = def.AllFields()[i];
        StoredField stored = StoredFieldFor(field, version);
        stored.name = storedNames[i];
        stored.offset = offset;
        offset += stored.length;
        plan.hasMemo = plan.hasMemo || stored.type == 'M';
        Field engineField = field;
        engineField.Name = FromCp1252(stored.name);
        if (field.Type == dbText) engineField.Size = stored.length;
        engineField.AllowZeroLength = true;
        plan.fields.push_back(engineField);
        plan.stored.push_back(std::move(stored));
    }
    if (offset > limits.recordLength) {
        throw EngineError(errRecordTooLarge,
                          "The records of the table '" + def.Name() + "' would take " +
                              std::to_string(offset) + " bytes; " + VersionTitle(version) +
                              " records hold at most " + std::to_string(limits.recordLength) + ".");
    }
    plan.recordLength = offset;
    return plan;
}

void EncodeDateAndCount(std::uint8_t* bytes, std::uint32_t count, int year, int month, int day) {
    bytes[1] = static_cast<std::uint8_t>(std::clamp(year - 1900, 0, 255));
    bytes[2] = static_cast<std::uint8_t>(month);
    bytes[3] = static_cast<std::uint8_t>(day);
    PutLe32(bytes + 4, count);
}

std::vector<std::uint8_t> EncodeHeader(const TablePlan& plan, std::uint32_t count, int year,
                                       int month, int day) {
    const std::size_t length = kHeaderSize + kDescriptorSize * plan.stored.size() + 1;
    std::vector<std::uint8_t> header(length, 0);
    std::uint8_t version = 0x03;
    if (plan.hasMemo) {
        version = plan.version == Version::Dbase3   ? 0x83
                  : plan.version == Version::Dbase4 ? 0x8B
                                                    : 0xF5;
    }
    header[0] = version;
    EncodeDateAndCount(header.data(), count, year, month, day);
    PutLe16(header.data() + 8, static_cast<std::uint32_t>(length));
    PutLe16(header.data() + 10, static_cast<std::uint32_t>(plan.recordLength));
    header[29] = kLanguageDriver1252;
    std::uint8_t* d = header.data() + kHeaderSize;
    for (const StoredField& field : plan.stored) {
        std::memcpy(d, field.name.data(), std::min<std::size_t>(field.name.size(), 10));
        d[11] = static_cast<std::uint8_t>(field.type);
        // FoxPro keeps each field's place in the record; dBASE leaves it to memory.
        if (IsFoxPro(plan.version)) PutLe32(d + 12, static_cast<std::uint32_t>(field.offset));
        d[16] = static_cast<std::uint8_t>(field.length);
        d[17] = static_cast<std::uint8_t>(field.decimals);
        d += kDescriptorSize;
    }
    *d = kFieldTerminator;
    return header;
}

// ---- Numbers ------------------------------------------------------------------

bool FormatWhole(std::int64_t value, std::size_t width, std::string& out) {
    std::array<char, 24> buffer{};
    const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    out.assign(buffer.data(), written.ptr);
    return out.size() <= width;
}

namespace {

// The decimal digits of |value| (no trailing zeros) and its decimal exponent,
// rounded to `significant` digits, or cut there when `truncate`.
struct Decimal {
    bool negative = false;
    std::string digits;
    int exponent = 0;
};

Decimal DecimalDigits(double value, int significant, bool truncate) {
    std::array<char, 64> buffer{};
    const int precision = truncate ? 16 : significant - 1;
    const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                       std::chars_format::scientific, precision);
    const std::string_view text(buffer.data(), std::size_t(written.ptr - buffer.data()));
    Decimal d;
    d.negative = text.front() == '-';
    const std::size_t e = text.find('e');
    for (const char c : text.substr(d.negative ? 1 : 0, e - (d.negative ? 1 : 0))) {
        if (c != '.') d.digits += c;
    }
    if (d.digits.size() > std::size_t(significant)) d.digits.resize(std::size_t(significant));
    while (d.digits.size() > 1 && d.digits.back() == '0')
        d.digits.pop_back();
    std::string_view exponentText = text.substr(e + 1);
    if (!exponentText.empty() && exponentText.front() == '+') exponentText.remove_prefix(1);
    std::from_chars(exponentText.data(), exponentText.data() + exponentText.size(), d.exponent);
    return d;
}

} // namespace

namespace {

// `d` in fixed-point form, or in exponent form when `exponentForm`.
void WriteDecimal(const Decimal& d, bool exponentForm, std::string& out) {
    out.assign(d.negative ? "-" : "");
    if (exponentForm) {
        // Without a "+" or leading zeros in the exponent: every reader's
        // number parser takes it, and the room goes to the digits.
        out += d.digits[0];
        if (d.digits.size() > 1) {
            out += '.';
            out.append(d.digits, 1, std::string::npos);
        }
        out += 'E';
        out += std::to_string(d.exponent);
    } else if (d.exponent >= 0) {
        const auto whole = static_cast<std::size_t>(d.exponent) + 1;
        if (d.digits.size() <= whole) {
            out += d.digits;
            out.append(whole - d.digits.size(), '0');
        } else {
            out.append(d.digits, 0, whole);
            out += '.';
            out.append(d.digits, whole, std::string::npos);
        }
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
        out += d.digits;
    }
}

// `value` rounded to `significant` digits. Rounding may carry the largest
// values of a type past its range (the largest Double to
// 1.79769313486232E308, which no reader takes for a number); those are cut.
Decimal RoundedDigits(double value, int significant, double limit) {
    Decimal d = DecimalDigits(value, significant, false);
    const std::string check =
        d.digits.substr(0, 1) + "." + d.digits.substr(1) + "e" + std::to_string(d.exponent);
    double magnitude = 0;
    const auto [end, ec] = std::from_chars(check.data(), check.data() + check.size(), magnitude);
    if (ec != std::errc() || magnitude > limit) d = DecimalDigits(value, significant, true);
    return d;
}

} // namespace

bool FormatReal(double value, int significantDigits, std::size_t width, std::string& out) {
    if (!std::isfinite(value)) return false;
    if (value == 0) {
        out = "0";
        return width >= 1;
    }
    const double limit = significantDigits <= 7 ? double(FLT_MAX) : DBL_MAX;
    // As many digits as the field holds: fixed-point first, as people and
    // every reader expect, then exponent form; fewer digits only when the
    // sign and the exponent leave no room for all of them.
    for (int digits = significantDigits; digits >= 1; --digits) {
        const Decimal d = RoundedDigits(value, digits, limit);
        for (const bool exponentForm : {false, true}) {
            WriteDecimal(d, exponentForm, out);
            if (out.size() <= width) return true;
        }
    }
    return false;
}

bool FormatCurrency(Currency value, std::size_t width, std::string& out) {
    out = CurrencyText(value);
    if (out.size() <= width) return true;
    // The most negative amounts need one character more than N(20,4) has:
    // like a Double they give up their last decimal, rounded halves to even.
    const bool negative = value.units < 0;
    const std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(value.units) : std::uint64_t(value.units);
    for (int decimals = 3; decimals >= 0; --decimals) {
        const std::uint64_t rounded = RoundUnitsHalfEven(magnitude, decimals);
        out = (negative ? "-" : "") + std::to_string(rounded / 10000);
        std::string fraction = std::to_string(rounded % 10000 + 10000).substr(1);
        fraction.erase(fraction.find_last_not_of('0') + 1);
        if (!fraction.empty()) out += "." + fraction;
        if (out.size() <= width) return true;
    }
    return false;
}

// ---- Records ------------------------------------------------------------------

void EncodeRecord(const TablePlan& plan, const std::vector<Value>& values, MemoSink* memo,
                  char* record) {
    record[0] = ' ';
    std::string number, scratch;
    for (std::size_t i = 0; i < plan.stored.size(); ++i) {
        const StoredField& stored = plan.stored[i];
        const Field& field = plan.fields[i];
        char* out = record + stored.offset;
        const auto width = static_cast<std::size_t>(stored.length);
        const Value& value = i < values.size() ? values[i] : Value{};
        if (IsNull(value)) {
            std::memset(out, stored.type == 'L' ? '?' : ' ', width);
            continue;
        }
        switch (field.Type) {
        case dbText:
        case dbGUID: {
            const std::string_view text = ToCp1252(std::get<std::string>(value), scratch);
            if (text.size() > width) RaiseTooLong(field, width);
            PutLeft(out, width, text);
            break;
        }
        case dbMemo: {
            const std::string_view text = ToCp1252(std::get<std::string>(value), scratch);
            if (text.empty()) {
                std::memset(out, ' ', width);
                break;
            }
            if (memo == nullptr) {
                throw EngineError(errEngineFailure, "The table has no memo file.");
            }
            FormatWhole(memo->Append(text), width, number);
            PutRight(out, width, number);
            break;
        }
        case dbBoolean:
            out[0] = std::get<bool>(value) ? 'T' : 'F';
            break;
        case dbByte:
        case dbInteger:
        case dbLong: {
            const std::int64_t whole = std::get<std::int64_t>(value);
            if (!FormatWhole(whole, width, number)) {
                RaiseDoesNotFit(field, std::to_string(whole), stored.length);
            }
            PutRight(out, width, number);
            break;
        }
        case dbCurrency:
            if (!FormatCurrency(std::get<Currency>(value), width, number))
                RaiseDoesNotFit(field, number, stored.length);
            PutRight(out, width, number);
            break;
        case dbSingle:
        case dbDouble: {
            const double real = std::get<double>(value);
            if (!FormatReal(real, field.Type == dbSingle ? 7 : 15, width, number))
                RaiseDoesNotFit(field, number, stored.length);
            PutRight(out, width, number);
            break;
        }
        case dbDate: {
            const DateTime& date = std::get<DateTime>(value);
            PutDigits(out, date.year, 4);
            PutDigits(out + 4, date.month, 2);
            PutDigits(out + 6, date.day, 2);
            break;
        }
        default:
            std::memset(out, ' ', width);
            break;
        }
    }
}

// ---- Memo files ---------------------------------------------------------------

void EncodeNextBlock(MemoKind kind, std::uint8_t* bytes, std::uint32_t nextBlock) {
    if (kind == MemoKind::FoxPro)
        PutBe32(bytes, nextBlock);
    else
        PutLe32(bytes, nextBlock);
}

std::vector<std::uint8_t> EncodeMemoHeader(MemoKind kind, std::uint32_t nextBlock,
                                           const std::string& tableName) {
    std::vector<std::uint8_t> header(kMemoHeaderSize, 0);
    EncodeNextBlock(kind, header.data(), nextBlock);
    switch (kind) {
    case MemoKind::Dbase3:
        header[16] = 0x03;
        break;
    case MemoKind::Dbase4: {
        std::string name = platform::Utf8ToCp1252(tableName);
        std::transform(name.begin(), name.end(), name.begin(), UpperCp1252);
        std::memcpy(header.data() + 8, name.data(), std::min<std::size_t>(name.size(), 8));
        PutLe16(header.data() + 20, MemoBlockSize(kind));
        break;
    }
    case MemoKind::FoxPro:
        header[6] = static_cast<std::uint8_t>(MemoBlockSize(kind) >> 8);
        header[7] = static_cast<std::uint8_t>(MemoBlockSize(kind));
        break;
    case MemoKind::None:
        break;
    }
    return header;
}

std::uint32_t AppendMemo(MemoKind kind, std::string_view text, std::vector<char>& out) {
    const std::size_t start = out.size();
    const auto length = static_cast<std::uint32_t>(
        std::min<std::size_t>(text.size(), std::numeric_limits<std::uint32_t>::max() - 16));
    text = text.substr(0, length);
    std::uint8_t head[8];
    switch (kind) {
    case MemoKind::Dbase3:
        // The end mark ends the text: one inside it cannot be stored.
        for (const char c : text)
            out.push_back(c == kEndOfFile ? '?' : c);
        out.push_back(kEndOfFile);
        out.push_back(kEndOfFile);
        break;
    case MemoKind::Dbase4:
        head[0] = 0xFF, head[1] = 0xFF, head[2] = 0x08, head[3] = 0x00;
        PutLe32(head + 4, length + 8);
        out.insert(out.end(), head, head + 8);
        out.insert(out.end(), text.begin(), text.end());
        out.push_back(0x1F);
        out.push_back(0x1F);
        break;
    case MemoKind::FoxPro:
        PutBe32(head, 1);
        PutBe32(head + 4, length);
        out.insert(out.end(), head, head + 8);
        out.insert(out.end(), text.begin(), text.end());
        break;
    case MemoKind::None:
        return 0;
    }
    const std::uint32_t blockSize = MemoBlockSize(kind);
    const std::size_t used = out.size() - start;
    const std::size_t blocks = (used + blockSize - 1) / blockSize;
    out.resize(start + blocks * blockSize, '\0');
    return static_cast<std::uint32_t>(blocks);
}

// ---- Reading ------------------------------------------------------------------

TableHeader DecodeFixedHeader(const std::uint8_t* bytes, std::size_t size) {
    const auto unknown = [] {
        return EngineError(errUnrecognizedFormat,
                           "The file is not a dBASE or FoxPro table, or it is damaged.");
    };
    if (size < kHeaderSize) throw unknown();
    TableHeader header;
    header.version = bytes[0];
    header.year = 1900 + bytes[1];
    header.month = bytes[2];
    header.day = bytes[3];
    header.recordCount = Le32(bytes + 4);
    header.headerLength = Le16(bytes + 8);
    header.recordLength = Le16(bytes + 10);
    header.languageDriver = bytes[29];
    // The version bytes of dBASE III to V, FoxPro and Visual FoxPro tables.
    static constexpr std::uint8_t versions[] = {0x03, 0x04, 0x05, 0x30, 0x31, 0x32, 0x43, 0x63,
                                                0x7B, 0x83, 0x8B, 0x8E, 0xCB, 0xE5, 0xF5, 0xFB};
    const bool known =
        std::find(std::begin(versions), std::end(versions), header.version) != std::end(versions);
    if (!known || header.headerLength < kHeaderSize + 1 || header.recordLength < 1) throw unknown();
    return header;
}

void DecodeDescriptors(TableHeader& header, const std::uint8_t* bytes, std::size_t size) {
    const auto corrupt = [] {
        return EngineError(errCorrupt, "The table's field descriptions are damaged.");
    };
    header.fields.clear();
    int offset = 1;
    for (std::size_t at = kHeaderSize; at < size; at += kDescriptorSize) {
        if (bytes[at] == kFieldTerminator) break;
        if (at + kDescriptorSize > size) throw corrupt();
        const std::uint8_t* d = bytes + at;
        StoredField field;
        std::size_t nameLength = 0;
        while (nameLength < 11 && d[nameLength] != 0)
            ++nameLength;
        field.name.assign(reinterpret_cast<const char*>(d), nameLength);
        field.type = static_cast<char>(std::toupper(d[11]));
        field.length = d[16];
        field.decimals = d[17];
        field.offset = offset;
        if (field.length == 0) throw corrupt();
        offset += field.length;
        if (static_cast<std::uint32_t>(offset) > header.recordLength) throw corrupt();
        header.fields.push_back(std::move(field));
    }
    if (header.fields.empty()) throw corrupt();
}

std::vector<Field> FieldsOf(const TableHeader& header) {
    std::vector<Field> fields;
    for (const StoredField& stored : header.fields) {
        Field field{FromCp1252(stored.name), dbText, stored.length, true};
        switch (stored.type) {
        case 'C':
            break;
        case 'N':
        case 'F':
            if (stored.decimals == 0 && stored.length == 3)
                field.Type = dbByte;
            else if (stored.decimals == 0 && stored.length == 6)
                field.Type = dbInteger;
            else if (stored.decimals == 0 && stored.length <= 11)
                field.Type = dbLong;
            else if (stored.type == 'N' && stored.decimals == 4 && stored.length == 20)
                field.Type = dbCurrency;
            else
                field.Type = dbDouble;
            break;
        case 'L':
            field.Type = dbBoolean;
            break;
        case 'D':
            field.Type = dbDate;
            break;
        case 'M':
            field.Type = dbMemo;
            break;
        default:
            // Types of later versions (binary memos, integers in binary, ...)
            // are given as their raw bytes.
            field.Type = dbBinary;
            break;
        }
        field.Size = CheckedFieldSize(field.Type, std::clamp(stored.length, 1, 255));
        fields.push_back(std::move(field));
    }
    return fields;
}

MemoReader::MemoReader(MemoKind kind, const ByteSource& source) : kind_(kind), source_(source) {
    blockSize_ = MemoBlockSize(kind);
    if (kind == MemoKind::FoxPro) {
        std::uint8_t header[8] = {};
        if (source_.ReadAt(0, header, sizeof header) == sizeof header) {
            blockSize_ = std::max<std::uint32_t>(Be16(header + 6), 1);
        }
    }
}

std::string MemoReader::Read(std::uint64_t block) const {
    const std::uint64_t size = source_.Size();
    if (block == 0 || size == 0 || block > (size - 1) / blockSize_) return {};
    const std::uint64_t start = block * blockSize_;
    const std::uint64_t available = size - start;
    std::string text;
    if (kind_ == MemoKind::Dbase3) {
        // Up to the first end mark, a block at a time.
        std::vector<char> chunk(blockSize_);
        for (std::uint64_t at = start; at < size; at += blockSize_) {
            const std::size_t got = source_.ReadAt(at, chunk.data(), chunk.size());
            const auto end =
                std::find(chunk.begin(), chunk.begin() + std::ptrdiff_t(got), kEndOfFile);
            text.append(chunk.begin(), end);
            if (end != chunk.begin() + std::ptrdiff_t(got) || got < chunk.size()) break;
        }
        return text;
    }
    std::uint8_t head[8] = {};
    if (source_.ReadAt(start, head, sizeof head) != sizeof head) return {};
    std::uint64_t length = 0;
    bool countsHeader = false;
    if (kind_ == MemoKind::Dbase4) {
        if (!(head[0] == 0xFF && head[1] == 0xFF && head[2] == 0x08 && head[3] == 0x00)) return {};
        length = Le32(head + 4);
        countsHeader = true;
    } else {
        length = Be32(head + 4);
    }
    length = std::min<std::uint64_t>(length, available - sizeof head);
    text.resize(static_cast<std::size_t>(length));
    text.resize(source_.ReadAt(start + sizeof head, text.data(), text.size()));
    if (countsHeader) {
        // The length counts the 8 header bytes and the text is followed by
        // 0x1F 0x1F; for memos of writers that differ, the first mark ends it.
        const std::size_t own = length >= 8 ? std::size_t(length - 8) : text.size();
        if (own + 2 <= text.size() && text[own] == '\x1F' && text[own + 1] == '\x1F') {
            text.resize(own);
        } else {
            const std::size_t mark = text.find_first_of("\x1F\x1A");
            if (mark != std::string::npos) text.resize(mark);
        }
    }
    return text;
}

Value DecodeValue(const StoredField& field, int type, const char* bytes, const MemoReader* memo) {
    const std::string_view raw(bytes, static_cast<std::size_t>(field.length));
    switch (type) {
    case dbText: {
        std::string_view text = raw;
        while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
            text.remove_suffix(1);
        return FromCp1252(text);
    }
    case dbMemo: {
        const std::string_view digits = Trimmed(raw);
        std::uint64_t block = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), block);
        if (memo == nullptr || digits.empty() || ec != std::errc() ||
            end != digits.data() + digits.size()) {
            return std::string();
        }
        return FromCp1252(memo->Read(block));
    }
    case dbBoolean:
        switch (raw.empty() ? '?' : raw[0]) {
        case 'T':
        case 't':
        case 'Y':
        case 'y':
            return true;
        case 'F':
        case 'f':
        case 'N':
        case 'n':
            return false;
        default:
            return Null{};
        }
    case dbDate: {
        if (raw.size() < 8) return Null{};
        DateTime date;
        int parts[3] = {};
        const int widths[3] = {4, 2, 2};
        std::size_t at = 0;
        for (int p = 0; p < 3; ++p) {
            for (int i = 0; i < widths[p]; ++i, ++at) {
                if (raw[at] < '0' || raw[at] > '9') return Null{};
                parts[p] = parts[p] * 10 + (raw[at] - '0');
            }
        }
        date.year = parts[0], date.month = parts[1], date.day = parts[2];
        date.hour = date.minute = date.second = 0;
        if (!IsValidDateTime(date)) return Null{};
        return date;
    }
    case dbCurrency: {
        // Money is read exactly; a value beyond Currency's range, which other
        // programs may write into such a field, as the nearest double.
        std::string text(Trimmed(raw));
        std::replace(text.begin(), text.end(), ',', '.');
        bool overflow = false;
        if (const auto exact = text.empty() ? std::nullopt : ParseCurrency(text, overflow))
            return *exact;
        const auto number = overflow ? ParseNumber(text) : std::nullopt;
        if (!number || !std::isfinite(*number)) return Null{};
        return *number;
    }
    case dbByte:
    case dbInteger:
    case dbLong:
    case dbSingle:
    case dbDouble: {
        std::string text(Trimmed(raw));
        std::replace(text.begin(), text.end(), ',', '.');
        const auto number = text.empty() ? std::nullopt : ParseNumber(text);
        if (!number || !std::isfinite(*number)) return Null{};
        const bool whole = type == dbByte || type == dbInteger || type == dbLong;
        if (whole && *number == std::trunc(*number) && std::fabs(*number) < 9.2e18) {
            return static_cast<std::int64_t>(*number);
        }
        return *number;
    }
    default:
        return Blob(raw.begin(), raw.end());
    }
}

TableReader::TableReader(const ByteSource& table, const ByteSource* memo, MemoKind memoKind)
    : table_(table) {
    std::uint8_t fixed[kHeaderSize];
    const std::size_t got = table_.ReadAt(0, fixed, sizeof fixed);
    header_ = DecodeFixedHeader(fixed, got);
    std::vector<std::uint8_t> whole(header_.headerLength);
    if (table_.ReadAt(0, whole.data(), whole.size()) != whole.size()) {
        throw EngineError(errCorrupt, "The table's header is cut short.");
    }
    DecodeDescriptors(header_, whole.data(), whole.size());
    fields_ = FieldsOf(header_);
    const std::uint64_t size = table_.Size();
    const std::uint64_t room =
        size > header_.headerLength ? (size - header_.headerLength) / header_.recordLength : 0;
    count_ = std::min<std::uint64_t>(header_.recordCount, room);
    if (memo != nullptr && memoKind != MemoKind::None) memo_.emplace(memoKind, *memo);
}

const char* TableReader::Record(std::uint64_t index) {
    const std::uint64_t length = header_.recordLength;
    if (index < bufferFirst_ || index >= bufferFirst_ + bufferCount_) {
        // About 64 KiB of records at a time.
        const std::uint64_t batch =
            std::min<std::uint64_t>(std::max<std::uint64_t>(65536 / length, 1), count_ - index);
        buffer_.resize(static_cast<std::size_t>(batch * length));
        const std::size_t got =
            table_.ReadAt(header_.headerLength + index * length, buffer_.data(), buffer_.size());
        bufferFirst_ = index;
        bufferCount_ = got / length;
        if (bufferCount_ == 0)
            throw EngineError(errCorrupt, "The table ends before its last record.");
    }
    return buffer_.data() + (index - bufferFirst_) * length;
}

bool TableReader::Read(std::uint64_t index, std::vector<Value>& row) {
    const char* record = Record(index);
    if (record[0] == '*') return false;
    row.resize(fields_.size());
    const MemoReader* memo = memo_ ? &*memo_ : nullptr;
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        const StoredField& stored = header_.fields[i];
        row[i] = DecodeValue(stored, fields_[i].Type, record + stored.offset, memo);
    }
    return true;
}

} // namespace engine::xbase
