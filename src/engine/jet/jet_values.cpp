// Values as Jet 4 stores them: short values in the row, long values (memo,
// OLE) in the row or on long-value pages.
#include "engine/jet/jet_writer_parts.h"

#include "engine/convert.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <set>

namespace engine::jet {

using namespace parts;

namespace parts {

std::vector<ColumnDef> ByNumber(std::vector<ColumnDef> defs) {
    std::stable_sort(defs.begin(), defs.end(),
                     [](const ColumnDef& a, const ColumnDef& b) { return a.number < b.number; });
    return defs;
}

double NowSerial() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    return DateToSerial(DateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                 local.tm_hour, local.tm_min, local.tm_sec});
}

std::uint64_t DoubleBits(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

} // namespace parts

namespace {

std::int64_t AsInt(const Value& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
    if (const auto* d = std::get_if<double>(&v)) return static_cast<std::int64_t>(*d);
    if (const auto* b = std::get_if<bool>(&v)) return *b ? -1 : 0;
    return 0;
}

double AsDouble(const Value& v) {
    if (const auto* d = std::get_if<double>(&v)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    if (const auto* t = std::get_if<DateTime>(&v)) return DateToSerial(*t);
    return 0;
}

// A GUID from its text form; all zeros unless it holds 32 hex digits.
void EncodeGuid(const Value& v, std::vector<std::uint8_t>& out) {
    out.assign(16, 0);
    std::string hex;
    if (const auto* s = std::get_if<std::string>(&v)) {
        for (const char ch : *s) {
            if (std::isxdigit(static_cast<unsigned char>(ch))) hex.push_back(ch);
        }
    }
    if (hex.size() != 32) return;
    std::uint8_t raw[16];
    for (int i = 0; i < 16; ++i)
        raw[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    // The first three groups are stored little-endian.
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i)
        out[i] = raw[order[i]];
}

void EncodeFloat(float f, std::vector<std::uint8_t>& out) {
    out.resize(4);
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    Put32(out.data(), bits);
}

} // namespace

namespace parts {

bool EncodeShortValue(const ColumnDef& c, const Value& v, std::vector<std::uint8_t>& out) {
    out.clear();
    if (IsNull(v)) return false;
    switch (c.type) {
    case colBoolean:
        return std::holds_alternative<bool>(v) ? std::get<bool>(v) : AsInt(v) != 0;
    case colByte:
        out.push_back(static_cast<std::uint8_t>(AsInt(v)));
        return true;
    case colInteger:
        out.resize(2);
        Put16(out.data(), static_cast<std::uint32_t>(AsInt(v)));
        return true;
    case colLong:
        out.resize(4);
        Put32(out.data(), static_cast<std::uint32_t>(AsInt(v)));
        return true;
    case colCurrency: {
        out.resize(8);
        const auto* money = std::get_if<Currency>(&v);
        const std::int64_t units = money ? money->units : std::llround(AsDouble(v) * 10000.0);
        Put64(out.data(), static_cast<std::uint64_t>(units));
        return true;
    }
    case colSingle:
        EncodeFloat(static_cast<float>(AsDouble(v)), out);
        return true;
    case colDouble:
    case colDateTime:
        out.resize(8);
        Put64(out.data(), DoubleBits(AsDouble(v)));
        return true;
    case colGuid:
        EncodeGuid(v, out);
        return true;
    case colText:
    case colMemo:
        if (const auto* s = std::get_if<std::string>(&v)) {
            thread_local std::u16string text;
            Utf8ToUtf16Into(*s, text);
            const bool compress = (c.extraFlags & kColCompressedText) != 0 &&
                                  (c.type == colText || text.size() <= 1024);
            EncodeTextInto(text, compress, out);
        }
        return true;
    default:
        if (const auto* b = std::get_if<Blob>(&v))
            out.assign(b->begin(), b->end());
        else if (const auto* s = std::get_if<std::string>(&v))
            out.assign(s->begin(), s->end());
        return true;
    }
}

std::vector<std::uint8_t> EncodeValues(const std::vector<ColumnDef>& byNumber,
                                       const std::vector<Value>& values) {
    std::vector<std::vector<std::uint8_t>> bytes(byNumber.size());
    std::vector<const std::uint8_t*> data(byNumber.size());
    std::vector<std::size_t> sizes(byNumber.size());
    std::vector<char> present(byNumber.size());
    for (std::size_t i = 0; i < byNumber.size(); ++i) {
        present[i] = EncodeShortValue(byNumber[i], values[i], bytes[i]) ? 1 : 0;
        data[i] = bytes[i].data();
        sizes[i] = bytes[i].size();
    }
    return EncodeRow(byNumber, data, sizes, present);
}

std::vector<std::uint8_t> OutOfRowReference(
    const std::vector<std::uint8_t>& bytes,
    const std::function<std::uint32_t(const std::vector<std::uint8_t>&, bool)>& place) {
    std::vector<std::uint8_t> ref(kLongValueHeader, 0);
    const auto length = static_cast<std::uint32_t>(bytes.size());
    if (bytes.size() <= kLvalRowMax) {
        Put32(ref.data(), length | kLongValueSinglePage);
        Put32(ref.data() + 4, place(bytes, false));
        return ref;
    }
    // Each row names the next, so the last is written first.
    std::uint32_t next = 0;
    const std::size_t chunks = (bytes.size() + kLvalChunk - 1) / kLvalChunk;
    for (std::size_t k = chunks; k-- > 0;) {
        const std::size_t from = k * kLvalChunk;
        const std::size_t take = std::min(kLvalChunk, bytes.size() - from);
        std::vector<std::uint8_t> row(4 + take);
        Put32(row.data(), next);
        std::memcpy(row.data() + 4, bytes.data() + from, take);
        next = place(row, true);
    }
    Put32(ref.data(), length);
    Put32(ref.data() + 4, next);
    return ref;
}

} // namespace parts

} // namespace engine::jet
