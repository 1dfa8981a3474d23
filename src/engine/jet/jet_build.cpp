#include "engine/jet/jet_build.h"

#include "engine/convert.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace engine::jet {

namespace {

// How a character of the General (Jet 4) sort order is keyed: ignored
// entirely, by one or two primary bytes, by a primary byte plus an accent
// byte in the extra section, or only in the section of hidden characters
// (apostrophe, hyphen and control characters, which do not affect the
// primary order).
enum SortKind : std::uint8_t { kIgnored, kPlain, kAccented, kHidden };

struct SortCode {
    SortKind kind;
    std::uint8_t first, second; // primary bytes (second 0: none); hidden: its code
    std::uint8_t accent;        // extra-section byte of an accented letter
};

struct ExtraCode {
    char16_t c;
    SortCode code;
};

// Upper and lower case share their codes: the General order ignores case.
// clang-format off
constexpr SortCode kLatin1Codes[256] = {
    {kIgnored, 0x00, 0x00, 0x00}, {kHidden, 0x03, 0x00, 0x00}, {kHidden, 0x04, 0x00, 0x00}, {kHidden, 0x05, 0x00, 0x00}, // 00
    {kHidden, 0x06, 0x00, 0x00}, {kHidden, 0x07, 0x00, 0x00}, {kHidden, 0x08, 0x00, 0x00}, {kHidden, 0x09, 0x00, 0x00}, // 04
    {kHidden, 0x0A, 0x00, 0x00}, {kPlain, 0x08, 0x03, 0x00}, {kPlain, 0x08, 0x04, 0x00}, {kPlain, 0x08, 0x05, 0x00}, // 08
    {kPlain, 0x08, 0x06, 0x00}, {kPlain, 0x08, 0x07, 0x00}, {kHidden, 0x0B, 0x00, 0x00}, {kHidden, 0x0C, 0x00, 0x00}, // 0C
    {kHidden, 0x0D, 0x00, 0x00}, {kHidden, 0x0E, 0x00, 0x00}, {kHidden, 0x0F, 0x00, 0x00}, {kHidden, 0x10, 0x00, 0x00}, // 10
    {kHidden, 0x11, 0x00, 0x00}, {kHidden, 0x12, 0x00, 0x00}, {kHidden, 0x13, 0x00, 0x00}, {kHidden, 0x14, 0x00, 0x00}, // 14
    {kHidden, 0x15, 0x00, 0x00}, {kHidden, 0x16, 0x00, 0x00}, {kHidden, 0x17, 0x00, 0x00}, {kHidden, 0x18, 0x00, 0x00}, // 18
    {kHidden, 0x19, 0x00, 0x00}, {kHidden, 0x1A, 0x00, 0x00}, {kHidden, 0x1B, 0x00, 0x00}, {kHidden, 0x1C, 0x00, 0x00}, // 1C
    {kPlain, 0x07, 0x00, 0x00}, {kPlain, 0x09, 0x00, 0x00}, {kPlain, 0x0A, 0x00, 0x00}, {kPlain, 0x0C, 0x00, 0x00}, // 20
    {kPlain, 0x0E, 0x00, 0x00}, {kPlain, 0x10, 0x00, 0x00}, {kPlain, 0x12, 0x00, 0x00}, {kHidden, 0x80, 0x00, 0x00}, // 24
    {kPlain, 0x14, 0x00, 0x00}, {kPlain, 0x16, 0x00, 0x00}, {kPlain, 0x18, 0x00, 0x00}, {kPlain, 0x2C, 0x00, 0x00}, // 28
    {kPlain, 0x1A, 0x00, 0x00}, {kHidden, 0x82, 0x00, 0x00}, {kPlain, 0x1C, 0x00, 0x00}, {kPlain, 0x1E, 0x00, 0x00}, // 2C
    {kPlain, 0x36, 0x00, 0x00}, {kPlain, 0x38, 0x00, 0x00}, {kPlain, 0x3A, 0x00, 0x00}, {kPlain, 0x3C, 0x00, 0x00}, // 30
    {kPlain, 0x3E, 0x00, 0x00}, {kPlain, 0x40, 0x00, 0x00}, {kPlain, 0x42, 0x00, 0x00}, {kPlain, 0x44, 0x00, 0x00}, // 34
    {kPlain, 0x46, 0x00, 0x00}, {kPlain, 0x48, 0x00, 0x00}, {kPlain, 0x20, 0x00, 0x00}, {kPlain, 0x22, 0x00, 0x00}, // 38
    {kPlain, 0x2E, 0x00, 0x00}, {kPlain, 0x30, 0x00, 0x00}, {kPlain, 0x32, 0x00, 0x00}, {kPlain, 0x24, 0x00, 0x00}, // 3C
    {kPlain, 0x26, 0x00, 0x00}, {kPlain, 0x4A, 0x00, 0x00}, {kPlain, 0x4C, 0x00, 0x00}, {kPlain, 0x4D, 0x00, 0x00}, // 40
    {kPlain, 0x4F, 0x00, 0x00}, {kPlain, 0x51, 0x00, 0x00}, {kPlain, 0x53, 0x00, 0x00}, {kPlain, 0x55, 0x00, 0x00}, // 44
    {kPlain, 0x57, 0x00, 0x00}, {kPlain, 0x59, 0x00, 0x00}, {kPlain, 0x5B, 0x00, 0x00}, {kPlain, 0x5C, 0x00, 0x00}, // 48
    {kPlain, 0x5E, 0x00, 0x00}, {kPlain, 0x60, 0x00, 0x00}, {kPlain, 0x62, 0x00, 0x00}, {kPlain, 0x64, 0x00, 0x00}, // 4C
    {kPlain, 0x66, 0x00, 0x00}, {kPlain, 0x68, 0x00, 0x00}, {kPlain, 0x69, 0x00, 0x00}, {kPlain, 0x6B, 0x00, 0x00}, // 50
    {kPlain, 0x6D, 0x00, 0x00}, {kPlain, 0x6F, 0x00, 0x00}, {kPlain, 0x71, 0x00, 0x00}, {kPlain, 0x73, 0x00, 0x00}, // 54
    {kPlain, 0x75, 0x00, 0x00}, {kPlain, 0x76, 0x00, 0x00}, {kPlain, 0x78, 0x00, 0x00}, {kPlain, 0x27, 0x00, 0x00}, // 58
    {kPlain, 0x29, 0x00, 0x00}, {kPlain, 0x2A, 0x00, 0x00}, {kPlain, 0x2B, 0x02, 0x00}, {kPlain, 0x2B, 0x03, 0x00}, // 5C
    {kPlain, 0x2B, 0x07, 0x00}, {kPlain, 0x4A, 0x00, 0x00}, {kPlain, 0x4C, 0x00, 0x00}, {kPlain, 0x4D, 0x00, 0x00}, // 60
    {kPlain, 0x4F, 0x00, 0x00}, {kPlain, 0x51, 0x00, 0x00}, {kPlain, 0x53, 0x00, 0x00}, {kPlain, 0x55, 0x00, 0x00}, // 64
    {kPlain, 0x57, 0x00, 0x00}, {kPlain, 0x59, 0x00, 0x00}, {kPlain, 0x5B, 0x00, 0x00}, {kPlain, 0x5C, 0x00, 0x00}, // 68
    {kPlain, 0x5E, 0x00, 0x00}, {kPlain, 0x60, 0x00, 0x00}, {kPlain, 0x62, 0x00, 0x00}, {kPlain, 0x64, 0x00, 0x00}, // 6C
    {kPlain, 0x66, 0x00, 0x00}, {kPlain, 0x68, 0x00, 0x00}, {kPlain, 0x69, 0x00, 0x00}, {kPlain, 0x6B, 0x00, 0x00}, // 70
    {kPlain, 0x6D, 0x00, 0x00}, {kPlain, 0x6F, 0x00, 0x00}, {kPlain, 0x71, 0x00, 0x00}, {kPlain, 0x73, 0x00, 0x00}, // 74
    {kPlain, 0x75, 0x00, 0x00}, {kPlain, 0x76, 0x00, 0x00}, {kPlain, 0x78, 0x00, 0x00}, {kPlain, 0x2B, 0x09, 0x00}, // 78
    {kPlain, 0x2B, 0x0B, 0x00}, {kPlain, 0x2B, 0x0D, 0x00}, {kPlain, 0x2B, 0x0F, 0x00}, {kHidden, 0x1D, 0x00, 0x00}, // 7C
    {kHidden, 0x1E, 0x00, 0x00}, {kHidden, 0x1F, 0x00, 0x00}, {kHidden, 0x20, 0x00, 0x00}, {kHidden, 0x21, 0x00, 0x00}, // 80
    {kHidden, 0x22, 0x00, 0x00}, {kHidden, 0x23, 0x00, 0x00}, {kHidden, 0x24, 0x00, 0x00}, {kHidden, 0x25, 0x00, 0x00}, // 84
    {kHidden, 0x26, 0x00, 0x00}, {kHidden, 0x27, 0x00, 0x00}, {kHidden, 0x28, 0x00, 0x00}, {kHidden, 0x29, 0x00, 0x00}, // 88
    {kHidden, 0x2A, 0x00, 0x00}, {kHidden, 0x2B, 0x00, 0x00}, {kHidden, 0x2C, 0x00, 0x00}, {kHidden, 0x2D, 0x00, 0x00}, // 8C
    {kHidden, 0x2E, 0x00, 0x00}, {kHidden, 0x2F, 0x00, 0x00}, {kHidden, 0x30, 0x00, 0x00}, {kHidden, 0x31, 0x00, 0x00}, // 90
    {kHidden, 0x32, 0x00, 0x00}, {kHidden, 0x33, 0x00, 0x00}, {kHidden, 0x34, 0x00, 0x00}, {kHidden, 0x35, 0x00, 0x00}, // 94
    {kHidden, 0x36, 0x00, 0x00}, {kHidden, 0x37, 0x00, 0x00}, {kHidden, 0x38, 0x00, 0x00}, {kHidden, 0x39, 0x00, 0x00}, // 98
    {kHidden, 0x3A, 0x00, 0x00}, {kHidden, 0x3B, 0x00, 0x00}, {kHidden, 0x3C, 0x00, 0x00}, {kHidden, 0x3D, 0x00, 0x00}, // 9C
    {kPlain, 0x08, 0x02, 0x00}, {kPlain, 0x2B, 0x10, 0x00}, {kPlain, 0x34, 0xA6, 0x00}, {kPlain, 0x34, 0xA7, 0x00}, // A0
    {kPlain, 0x34, 0xA8, 0x00}, {kPlain, 0x34, 0xA9, 0x00}, {kPlain, 0x2B, 0x11, 0x00}, {kPlain, 0x34, 0xAA, 0x00}, // A4
    {kPlain, 0x2B, 0x12, 0x00}, {kPlain, 0x34, 0xAB, 0x00}, {kAccented, 0x4A, 0x00, 0x03}, {kPlain, 0x33, 0x05, 0x00}, // A8
    {kPlain, 0x34, 0xAC, 0x00}, {kHidden, 0x83, 0x00, 0x00}, {kPlain, 0x34, 0xAD, 0x00}, {kPlain, 0x2B, 0x13, 0x00}, // AC
    {kPlain, 0x34, 0xAE, 0x00}, {kPlain, 0x33, 0x04, 0x00}, {kPlain, 0x3A, 0x00, 0x00}, {kPlain, 0x3C, 0x00, 0x00}, // B0
    {kPlain, 0x2B, 0x14, 0x00}, {kPlain, 0x34, 0xAF, 0x00}, {kPlain, 0x34, 0xB0, 0x00}, {kPlain, 0x34, 0xB1, 0x00}, // B4
    {kPlain, 0x2B, 0x15, 0x00}, {kPlain, 0x38, 0x00, 0x00}, {kAccented, 0x64, 0x00, 0x03}, {kPlain, 0x33, 0x07, 0x00}, // B8
    {kPlain, 0x37, 0x12, 0x00}, {kPlain, 0x37, 0x16, 0x00}, {kPlain, 0x37, 0x1A, 0x00}, {kPlain, 0x2B, 0x16, 0x00}, // BC
    {kAccented, 0x4A, 0x00, 0x0F}, {kAccented, 0x4A, 0x00, 0x0E}, {kAccented, 0x4A, 0x00, 0x12}, {kAccented, 0x4A, 0x00, 0x19}, // C0
    {kAccented, 0x4A, 0x00, 0x13}, {kAccented, 0x4A, 0x00, 0x1A}, {kPlain, 0x4A, 0x51, 0x00}, {kAccented, 0x4D, 0x00, 0x1C}, // C4
    {kAccented, 0x51, 0x00, 0x0F}, {kAccented, 0x51, 0x00, 0x0E}, {kAccented, 0x51, 0x00, 0x12}, {kAccented, 0x51, 0x00, 0x13}, // C8
    {kAccented, 0x59, 0x00, 0x0F}, {kAccented, 0x59, 0x00, 0x0E}, {kAccented, 0x59, 0x00, 0x12}, {kAccented, 0x59, 0x00, 0x13}, // CC
    {kAccented, 0x4F, 0x00, 0x68}, {kAccented, 0x62, 0x00, 0x19}, {kAccented, 0x64, 0x00, 0x0F}, {kAccented, 0x64, 0x00, 0x0E}, // D0
    {kAccented, 0x64, 0x00, 0x12}, {kAccented, 0x64, 0x00, 0x19}, {kAccented, 0x64, 0x00, 0x13}, {kPlain, 0x33, 0x09, 0x00}, // D4
    {kAccented, 0x64, 0x00, 0x21}, {kAccented, 0x6F, 0x00, 0x0F}, {kAccented, 0x6F, 0x00, 0x0E}, {kAccented, 0x6F, 0x00, 0x12}, // D8
    {kAccented, 0x6F, 0x00, 0x13}, {kAccented, 0x76, 0x00, 0x0E}, {kPlain, 0x6D, 0x57, 0x00}, {kPlain, 0x6B, 0x6B, 0x00}, // DC
    {kAccented, 0x4A, 0x00, 0x0F}, {kAccented, 0x4A, 0x00, 0x0E}, {kAccented, 0x4A, 0x00, 0x12}, {kAccented, 0x4A, 0x00, 0x19}, // E0
    {kAccented, 0x4A, 0x00, 0x13}, {kAccented, 0x4A, 0x00, 0x1A}, {kPlain, 0x4A, 0x51, 0x00}, {kAccented, 0x4D, 0x00, 0x1C}, // E4
    {kAccented, 0x51, 0x00, 0x0F}, {kAccented, 0x51, 0x00, 0x0E}, {kAccented, 0x51, 0x00, 0x12}, {kAccented, 0x51, 0x00, 0x13}, // E8
    {kAccented, 0x59, 0x00, 0x0F}, {kAccented, 0x59, 0x00, 0x0E}, {kAccented, 0x59, 0x00, 0x12}, {kAccented, 0x59, 0x00, 0x13}, // EC
    {kAccented, 0x4F, 0x00, 0x68}, {kAccented, 0x62, 0x00, 0x19}, {kAccented, 0x64, 0x00, 0x0F}, {kAccented, 0x64, 0x00, 0x0E}, // F0
    {kAccented, 0x64, 0x00, 0x12}, {kAccented, 0x64, 0x00, 0x19}, {kAccented, 0x64, 0x00, 0x13}, {kPlain, 0x33, 0x0A, 0x00}, // F4
    {kAccented, 0x64, 0x00, 0x21}, {kAccented, 0x6F, 0x00, 0x0F}, {kAccented, 0x6F, 0x00, 0x0E}, {kAccented, 0x6F, 0x00, 0x12}, // F8
    {kAccented, 0x6F, 0x00, 0x13}, {kAccented, 0x76, 0x00, 0x0E}, {kPlain, 0x6D, 0x57, 0x00}, {kAccented, 0x76, 0x00, 0x13}, // FC
};
// clang-format on

// The characters Windows-1252 holds beyond Latin-1 (a table name from the
// transfer file can use any of them). Punctuation sorts as symbols do, the
// dashes only in the hidden section as the hyphen does.
constexpr ExtraCode kWindowsExtras[] = {
    {u'\u0152', {kPlain, 0x64, 0x51, 0x00}},    // Œ
    {u'\u0153', {kPlain, 0x64, 0x51, 0x00}},    // œ
    {u'\u0160', {kAccented, 0x6B, 0x00, 0x14}}, // Š
    {u'\u0161', {kAccented, 0x6B, 0x00, 0x14}}, // š
    {u'\u0178', {kAccented, 0x76, 0x00, 0x13}}, // Ÿ
    {u'\u017D', {kAccented, 0x78, 0x00, 0x14}}, // Ž
    {u'\u017E', {kAccented, 0x78, 0x00, 0x14}}, // ž
    {u'\u0192', {kAccented, 0x53, 0x00, 0x7B}}, // ƒ
    {u'\u02C6', {kAccented, 0x2B, 0x02, 0x03}}, // ˆ (the circumflex's code, accented)
    {u'\u02DC', {kPlain, 0x2B, 0x1C, 0x00}},    // ˜
    {u'\u2013', {kHidden, 0x89, 0x00, 0x00}},   // –
    {u'\u2014', {kHidden, 0x8B, 0x00, 0x00}},   // —
    {u'\u2018', {kPlain, 0x2B, 0x37, 0x00}},    // ‘
    {u'\u2019', {kPlain, 0x2B, 0x38, 0x00}},    // ’
    {u'\u201A', {kPlain, 0x2B, 0x39, 0x00}},    // ‚
    {u'\u201C', {kPlain, 0x2B, 0x3B, 0x00}},    // “
    {u'\u201D', {kPlain, 0x2B, 0x3C, 0x00}},    // ”
    {u'\u201E', {kPlain, 0x2B, 0x3D, 0x00}},    // „
    {u'\u2020', {kPlain, 0x34, 0xB3, 0x00}},    // †
    {u'\u2021', {kPlain, 0x34, 0xB4, 0x00}},    // ‡
    {u'\u2022', {kPlain, 0x34, 0xB5, 0x00}},    // •
    {u'\u2026', {kPlain, 0x34, 0xB9, 0x00}},    // …
    {u'\u2030', {kPlain, 0x34, 0xBA, 0x00}},    // ‰
    {u'\u2039', {kPlain, 0x2B, 0x46, 0x00}},    // ‹
    {u'\u203A', {kPlain, 0x2B, 0x47, 0x00}},    // ›
    {u'\u20AC', {kPlain, 0x35, 0xA1, 0x00}},    // €
    {u'\u2122', {kPlain, 0x6E, 0x04, 0x00}},    // ™ (between T and U, as "TM")
};

// Above Latin-1, only what Windows-1252 adds is known here.
std::optional<SortCode> CodeOf(char16_t c) {
    if (c < 256) return kLatin1Codes[c];
    for (const ExtraCode& extra : kWindowsExtras) {
        if (extra.c == c) return extra.code;
    }
    return std::nullopt;
}

// Marks between the sections of a key.
constexpr std::uint8_t kEndText = 0x01, kEndKey = 0x00;
// Filler in the extra section for a character without an accent.
constexpr std::uint8_t kNoAccent = 0x02;

int CompareNames(const std::u16string& a, const std::u16string& b) {
    const auto ka = GeneralTextKey(a), kb = GeneralTextKey(b);
    if (ka && kb && *ka != *kb) return *ka < *kb ? -1 : 1;
    // Characters without a known key: case-insensitive code unit order.
    const auto fold = [](char16_t c) {
        return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
    };
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (fold(a[i]) != fold(b[i])) return fold(a[i]) < fold(b[i]) ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

} // namespace

bool HasGeneralSortCode(char16_t c) {
    return CodeOf(c).has_value();
}

std::optional<std::vector<std::uint8_t>> GeneralTextKey(std::u16string_view text) {
    // Text is keyed on at most 255 characters, trailing blanks left out.
    if (text.size() > 255) text = text.substr(0, 255);
    while (!text.empty() && text.back() == u' ')
        text.remove_suffix(1);
    std::vector<std::uint8_t> key, accents, hidden;
    key.reserve(text.size() + 2);
    std::size_t position = 0; // characters with primary bytes so far
    for (const char16_t c : text) {
        const auto code = CodeOf(c);
        if (!code) return std::nullopt;
        switch (code->kind) {
        case kIgnored:
            break;
        case kPlain:
        case kAccented:
            key.push_back(code->first);
            if (code->second != 0) key.push_back(code->second);
            if (code->kind == kAccented) {
                accents.resize(position, kNoAccent);
                accents.push_back(code->accent);
            }
            ++position;
            break;
        case kHidden: {
            // Where it stood among the keyed characters, then its code.
            // (at most 255 characters: always fits in 15 bits)
            const std::size_t at = (7 + 4 * position) | 0x8000;
            hidden.insert(hidden.end(), {static_cast<std::uint8_t>(at >> 8),
                                         static_cast<std::uint8_t>(at), 0x06, code->first});
            break;
        }
        }
    }
    key.push_back(kEndText);
    // Trailing fillers carry nothing.
    while (!accents.empty() && accents.back() <= kNoAccent)
        accents.pop_back();
    key.insert(key.end(), accents.begin(), accents.end());
    if (!hidden.empty()) {
        key.insert(key.end(), {kEndText, kEndText, kEndText});
        key.insert(key.end(), hidden.begin(), hidden.end());
    }
    key.push_back(kEndKey);
    return key;
}

std::vector<std::uint8_t> LongKey(std::int32_t value) {
    const std::uint32_t flipped = static_cast<std::uint32_t>(value) ^ 0x80000000u;
    return {0x7F, static_cast<std::uint8_t>(flipped >> 24),
            static_cast<std::uint8_t>(flipped >> 16), static_cast<std::uint8_t>(flipped >> 8),
            static_cast<std::uint8_t>(flipped)};
}

std::optional<std::vector<std::uint8_t>> TextKey(std::u16string_view text) {
    auto body = GeneralTextKey(text);
    if (!body) return std::nullopt;
    body->insert(body->begin(), 0x7F); // ascending
    return body;
}

std::optional<std::vector<std::uint8_t>> InlineUsageMap(const std::vector<std::uint32_t>& pages) {
    std::vector<std::uint8_t> row(kUsageMapRowSize, 0);
    if (pages.empty()) return row;
    const std::uint32_t low = *std::min_element(pages.begin(), pages.end());
    const std::uint32_t high = *std::max_element(pages.begin(), pages.end());
    // Jet starts an inline map at page 0 while that covers the file.
    std::uint32_t start = high < kInlineMapPages ? 0 : low - low % 8;
    if (high - start >= kInlineMapPages) return std::nullopt;
    Put32(row.data() + 1, start);
    for (const std::uint32_t page : pages) {
        const std::uint32_t bit = page - start;
        row[5 + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    return row;
}

std::vector<std::uint8_t> ReferenceUsageMap(const std::vector<std::uint32_t>& mapPages) {
    std::vector<std::uint8_t> row(kUsageMapRowSize, 0);
    row[0] = 1;
    for (std::size_t i = 0; i < mapPages.size() && i < kUsageMapPointers; ++i)
        Put32(row.data() + 1 + 4 * i, mapPages[i]);
    return row;
}

std::vector<ColumnDef> LayOutColumns(const std::vector<NewColumn>& columns) {
    std::vector<ColumnDef> defs;
    std::uint16_t fixedOffset = 0, varIndex = 0;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const NewColumn& plan = columns[i];
        ColumnDef c;
        c.name16 = plan.name;
        c.name = Utf16ToUtf8(plan.name);
        c.type = plan.type;
        c.number = static_cast<std::uint16_t>(i);
        c.length = plan.length;
        c.flags = plan.flags;
        c.extraFlags = plan.extraFlags;
        c.misc = kGeneralSortOrder;
        if (c.Fixed()) {
            // A fixed column notes how many variable ones precede it.
            c.varIndex = varIndex;
            if (c.type != colBoolean) {
                c.fixedOffset = fixedOffset;
                fixedOffset = static_cast<std::uint16_t>(fixedOffset + c.length);
            }
        } else {
            c.varIndex = varIndex++;
        }
        defs.push_back(c);
    }
    std::stable_sort(defs.begin(), defs.end(), [](const ColumnDef& a, const ColumnDef& b) {
        return CompareNames(a.name16, b.name16) < 0;
    });
    return defs;
}

namespace {

// Room for `size` more bytes of a definition; returns where they start.
std::size_t AppendRoom(std::vector<std::uint8_t>& d, std::size_t size) {
    d.resize(d.size() + size, 0);
    return d.size() - size;
}

// The fixed block at the start of a definition.
std::vector<std::uint8_t> DefinitionHeader(const TableShape& shape,
                                           const std::vector<ColumnDef>& columns) {
    std::vector<std::uint8_t> d(kTdefBlockEnd, 0);
    d[0] = pgTableDef;
    d[1] = 1;
    Put32(d.data() + 12, kTdefUnknown);
    Put32(d.data() + kTdefRowCount, shape.rowCount);
    d[24] = 1;
    d[kTdefTableType] = shape.tableType;
    const auto count = static_cast<std::uint32_t>(columns.size());
    const auto varCount = static_cast<std::uint32_t>(std::count_if(
        columns.begin(), columns.end(), [](const ColumnDef& c) { return !c.Fixed(); }));
    Put16(d.data() + kTdefMaxColumns, count);
    Put16(d.data() + kTdefVarColumns, varCount);
    Put16(d.data() + kTdefColumns, count);
    const auto indexCount = static_cast<std::uint32_t>(shape.indexes.size());
    Put32(d.data() + kTdefLogicalIndexes, indexCount);
    Put32(d.data() + kTdefRealIndexes, indexCount);
    Put32(d.data() + kTdefUsedPages, shape.usedPages);
    Put32(d.data() + kTdefFreePages, shape.freePages);
    return d;
}

void AppendColumns(std::vector<std::uint8_t>& d, const std::vector<ColumnDef>& columns) {
    for (const ColumnDef& c : columns) {
        const std::size_t at = AppendRoom(d, kTdefColumnSize);
        std::uint8_t* p = d.data() + at;
        p[0] = c.type;
        Put32(p + 1, kTdefUnknown);
        Put16(p + 5, c.number);
        Put16(p + 7, c.varIndex);
        Put16(p + 11, c.misc);
        p[15] = c.flags;
        p[16] = c.extraFlags;
        Put16(p + 21, c.fixedOffset);
        Put16(p + 23, c.length);
    }
    for (const ColumnDef& c : columns)
        AppendName(d, c.name16);
}

void AppendRealIndexes(std::vector<std::uint8_t>& d, const TableShape& shape) {
    for (const auto& index : shape.indexes) {
        const std::size_t at = AppendRoom(d, kTdefRealIndexDefSize);
        std::uint8_t* p = d.data() + at;
        Put32(p, 0x0783);
        for (std::size_t k = 0; k < 10; ++k) {
            if (k < index.columns.size()) {
                Put16(p + 4 + 3 * k, index.columns[k]);
                p[4 + 3 * k + 2] = 1; // ascending
            } else {
                Put16(p + 4 + 3 * k, 0xFFFF);
            }
        }
        Put32(p + 34, index.usedPages);
        Put32(p + 38, index.firstPage);
        p[46] = index.flags;
    }
}

// Logical indexes are listed by name; each names its real index.
void AppendLogicalIndexes(std::vector<std::uint8_t>& d, const TableShape& shape) {
    std::vector<std::size_t> order(shape.indexes.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return CompareNames(shape.indexes[a].name, shape.indexes[b].name) < 0;
    });
    for (const std::size_t i : order) {
        const std::size_t at = AppendRoom(d, kTdefLogicalIndexSize);
        std::uint8_t* p = d.data() + at;
        Put32(p, kTdefUnknown);
        Put32(p + 4, static_cast<std::uint32_t>(i));
        Put32(p + 8, static_cast<std::uint32_t>(i));
        Put32(p + 13, 0xFFFFFFFF);
        p[21] = 4;
        p[22] = 4;
        p[23] = shape.indexes[i].kind;
    }
    for (const std::size_t i : order)
        AppendName(d, shape.indexes[i].name);
}

// Long-value columns' maps, in the order the definition lists the columns.
void AppendLongValueMaps(std::vector<std::uint8_t>& d, const TableShape& shape,
                         const std::vector<ColumnDef>& columns) {
    std::size_t nth = 0;
    std::vector<std::pair<std::uint16_t, std::size_t>> longColumns;
    for (std::size_t i = 0; i < shape.columns.size(); ++i) {
        const auto t = shape.columns[i].type;
        if (t == colMemo || t == colOle)
            longColumns.emplace_back(static_cast<std::uint16_t>(i), nth++);
    }
    for (const ColumnDef& c : columns) {
        for (const auto& [number, k] : longColumns) {
            if (number != c.number || k >= shape.longValueMaps.size()) continue;
            const std::size_t at = AppendRoom(d, 10);
            std::uint8_t* p = d.data() + at;
            Put16(p, number);
            Put32(p + 2, shape.longValueMaps[k].first);
            Put32(p + 6, shape.longValueMaps[k].second);
        }
    }
}

} // namespace

std::vector<std::uint8_t> TableDefinitionBytes(const TableShape& shape) {
    const std::vector<ColumnDef> columns = LayOutColumns(shape.columns);
    std::vector<std::uint8_t> d = DefinitionHeader(shape, columns);
    for (const auto& index : shape.indexes) {
        const std::size_t at = AppendRoom(d, kTdefRealIndexSize);
        Put32(d.data() + at + 4, index.rowCount);
    }
    AppendColumns(d, columns);
    AppendRealIndexes(d, shape);
    AppendLogicalIndexes(d, shape);
    AppendLongValueMaps(d, shape, columns);
    const std::size_t end = AppendRoom(d, 2);
    Put16(d.data() + end, 0xFFFF);
    Put32(d.data() + kTdefLength, static_cast<std::uint32_t>(d.size()));
    return d;
}

std::size_t TableDefinitionPageCount(std::size_t bytes) {
    if (bytes <= kPageSize) return 1;
    return 1 + (bytes - kPageSize + (kPageSize - 8) - 1) / (kPageSize - 8);
}

std::vector<Page> TableDefinitionPages(const std::vector<std::uint8_t>& bytes,
                                       const std::vector<std::uint32_t>& pages) {
    std::vector<Page> out(pages.size());
    std::size_t at = 0;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        Page& p = out[i];
        p.fill(0);
        const std::size_t start = i == 0 ? 0 : 8;
        const std::size_t take = std::min(bytes.size() - at, kPageSize - start);
        std::memcpy(p.data() + start, bytes.data() + at, take);
        at += take;
        p[0] = pgTableDef;
        p[1] = 1;
        Put16(p.data() + 2,
              static_cast<std::uint32_t>(kPageSize - start - take - (i == 0 ? 8 : 0)));
        Put32(p.data() + kTdefNextPage, i + 1 < pages.size() ? pages[i + 1] : 0);
    }
    return out;
}

std::vector<std::uint8_t> EncodeRow(const std::vector<ColumnDef>& columns,
                                    const std::vector<const std::uint8_t*>& data,
                                    const std::vector<std::size_t>& sizes,
                                    const std::vector<char>& present) {
    std::size_t fixedSize = 0, varCount = 0;
    for (const ColumnDef& c : columns) {
        if (c.Fixed() && c.type != colBoolean)
            fixedSize = std::max<std::size_t>(fixedSize, std::size_t(c.fixedOffset) + c.length);
        if (!c.Fixed()) ++varCount;
    }
    const std::size_t count = columns.size();
    const std::size_t maskSize = (count + 7) / 8;
    std::vector<std::uint8_t> row(2 + fixedSize, 0);
    Put16(row.data(), static_cast<std::uint32_t>(count));
    std::vector<std::uint8_t> mask(maskSize, 0);
    std::vector<std::uint16_t> varOffsets(varCount, 0);
    for (std::size_t i = 0; i < count; ++i) {
        const ColumnDef& c = columns[i];
        if (present[i]) mask[c.number / 8] |= static_cast<std::uint8_t>(1u << (c.number % 8));
        if (c.Fixed() && c.type != colBoolean && present[i])
            std::memcpy(row.data() + 2 + c.fixedOffset, data[i],
                        std::min<std::size_t>(sizes[i], c.length));
    }
    // Variable-length values in their table order.
    std::vector<std::size_t> varColumns(varCount);
    for (std::size_t i = 0; i < count; ++i) {
        if (!columns[i].Fixed() && columns[i].varIndex < varCount)
            varColumns[columns[i].varIndex] = i;
    }
    for (std::size_t v = 0; v < varCount; ++v) {
        const std::size_t i = varColumns[v];
        varOffsets[v] = static_cast<std::uint16_t>(row.size());
        if (present[i] && sizes[i] > 0) row.insert(row.end(), data[i], data[i] + sizes[i]);
    }
    if (varCount > 0) {
        const std::size_t eod = row.size();
        row.resize(row.size() + 2 + 2 * varCount + 2);
        std::uint8_t* p = row.data() + eod;
        Put16(p, static_cast<std::uint32_t>(eod));
        for (std::size_t v = 0; v < varCount; ++v)
            Put16(p + 2 + 2 * (varCount - 1 - v), varOffsets[v]);
        Put16(p + 2 + 2 * varCount, static_cast<std::uint32_t>(varCount));
    }
    row.insert(row.end(), mask.begin(), mask.end());
    return row;
}

DataPageBuilder::DataPageBuilder(std::uint32_t owner) {
    page_[0] = pgData;
    page_[1] = 1;
    Put32(page_.data() + kDataOwner, owner);
    Put16(page_.data() + kDataFreeSpace, kPageSize - kDataRowTable);
}

DataPageBuilder::DataPageBuilder(const Page& page) : page_(page) {}

std::uint32_t DataPageBuilder::RowCount() const {
    return Get16(page_.data() + kDataRowCount);
}

std::size_t DataPageBuilder::FreeSpace() const {
    const std::uint32_t rows = RowCount();
    const std::size_t low =
        rows == 0 ? kPageSize
                  : (Get16(page_.data() + kDataRowTable + 2 * (rows - 1)) & kRowOffsetMask);
    const std::size_t table = kDataRowTable + 2 * rows;
    return low > table ? low - table : 0;
}

bool DataPageBuilder::Fits(std::size_t rowSize) const {
    return RowCount() < kMaxRowsPerPage && FreeSpace() >= rowSize + 2;
}

std::uint32_t DataPageBuilder::Add(const std::uint8_t* row, std::size_t size) {
    const std::uint32_t rows = RowCount();
    const std::size_t low =
        rows == 0 ? kPageSize
                  : (Get16(page_.data() + kDataRowTable + 2 * (rows - 1)) & kRowOffsetMask);
    const std::size_t start = low - size;
    std::memcpy(page_.data() + start, row, size);
    Put16(page_.data() + kDataRowTable + 2 * rows, static_cast<std::uint32_t>(start));
    Put16(page_.data() + kDataRowCount, rows + 1);
    Put16(page_.data() + kDataFreeSpace, static_cast<std::uint32_t>(FreeSpace()));
    return rows;
}

void DataPageBuilder::MarkDeleted(std::uint32_t row) {
    std::uint8_t* entry = page_.data() + kDataRowTable + 2 * row;
    // Both flags: the readers in use look at one or the other.
    Put16(entry, Get16(entry) | kRowDeleted | kRowOverflow);
}

std::optional<Page> IndexLeafPage(std::uint32_t tdefPage,
                                  const std::vector<std::vector<std::uint8_t>>& entries) {
    Page p{};
    p[0] = pgIndexLeaf;
    p[1] = 1;
    Put32(p.data() + 4, tdefPage);
    std::size_t at = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        if (kIndexEntriesStart + at + e.size() > kPageSize) return std::nullopt;
        std::memcpy(p.data() + kIndexEntriesStart + at, e.data(), e.size());
        at += e.size();
        // The mask marks where each later entry starts, and where the last ends.
        const std::size_t bit = at;
        if (kIndexMaskStart + bit / 8 >= kIndexEntriesStart) return std::nullopt;
        p[kIndexMaskStart + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    Put16(p.data() + 2, static_cast<std::uint32_t>(kPageSize - kIndexEntriesStart - at));
    return p;
}

std::vector<std::vector<std::uint8_t>> IndexLeafEntries(const Page& page) {
    std::vector<std::vector<std::uint8_t>> entries;
    const std::size_t prefix = Get16(page.data() + 24); // after the tail page pointer
    std::size_t start = 0;
    std::vector<std::uint8_t> first;
    for (std::size_t bit = 1; bit < (kIndexEntriesStart - kIndexMaskStart) * 8; ++bit) {
        if (((page[kIndexMaskStart + bit / 8] >> (bit % 8)) & 1) == 0) continue;
        if (kIndexEntriesStart + bit > kPageSize) break;
        std::vector<std::uint8_t> e;
        if (!entries.empty() && prefix > 0 && prefix <= first.size())
            e.assign(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(prefix));
        e.insert(e.end(), page.begin() + static_cast<std::ptrdiff_t>(kIndexEntriesStart + start),
                 page.begin() + static_cast<std::ptrdiff_t>(kIndexEntriesStart + bit));
        if (entries.empty()) first = e;
        entries.push_back(std::move(e));
        start = bit;
    }
    return entries;
}

namespace {
constexpr char16_t kAllowZeroLength[] = u"AllowZeroLength";
constexpr std::uint8_t kPropertyBoolean = 0x01;
} // namespace

std::vector<std::uint8_t> ZeroLengthProperties(const std::vector<std::u16string>& columns) {
    std::vector<std::uint8_t> out{'M', 'R', '2', 0};
    const auto chunk = [&](std::uint16_t type, const std::vector<std::uint8_t>& body) {
        const std::size_t at = out.size();
        out.resize(at + 6);
        Put32(out.data() + at, static_cast<std::uint32_t>(6 + body.size()));
        Put16(out.data() + at + 4, type);
        out.insert(out.end(), body.begin(), body.end());
    };
    std::vector<std::uint8_t> names;
    AppendName(names, kAllowZeroLength);
    chunk(0x0080, names);
    for (const std::u16string& column : columns) {
        std::vector<std::uint8_t> body(4);
        AppendName(body, column);
        Put32(body.data(), static_cast<std::uint32_t>(body.size()));
        // One property: its size, no DDL flag, the type, name number 0, the value.
        const std::uint8_t property[] = {9, 0, 0, kPropertyBoolean, 0, 0, 1, 0, 1};
        body.insert(body.end(), std::begin(property), std::end(property));
        chunk(0x0001, body);
    }
    return out;
}

std::vector<std::u16string> ColumnsAllowingZeroLength(const std::vector<std::uint8_t>& block) {
    std::vector<std::u16string> columns;
    if (block.size() < 4 || std::memcmp(block.data(), "MR2", 4) != 0) return columns;
    std::vector<std::u16string> names;
    const auto readName = [&](std::size_t at, std::size_t end,
                              std::u16string& name) -> std::size_t {
        if (at + 2 > end) return 0;
        const std::size_t length = Get16(block.data() + at);
        if (at + 2 + length > end) return 0;
        name.clear();
        for (std::size_t k = 0; k + 1 < length; k += 2)
            name.push_back(static_cast<char16_t>(Get16(block.data() + at + 2 + k)));
        return 2 + length;
    };
    std::size_t at = 4;
    while (at + 6 <= block.size()) {
        const std::size_t size = Get32(block.data() + at);
        const std::uint16_t type = Get16(block.data() + at + 4);
        if (size < 6 || at + size > block.size()) break;
        const std::size_t end = at + size;
        if (type == 0x0080) {
            std::size_t p = at + 6;
            std::u16string name;
            while (p < end) {
                const std::size_t used = readName(p, end, name);
                if (used == 0) break;
                names.push_back(name);
                p += used;
            }
        } else if (type <= 1 && at + 10 <= end) {
            const std::size_t blockSize = Get32(block.data() + at + 6);
            std::u16string owner;
            if (readName(at + 10, end, owner) == 0 || blockSize < 6) {
                at = end;
                continue;
            }
            std::size_t p = at + 6 + blockSize;
            while (p + 8 <= end) {
                const std::size_t length = Get16(block.data() + p);
                if (length < 8 || p + length > end) break;
                const std::uint8_t valueType = block[p + 3];
                const std::size_t nameIndex = Get16(block.data() + p + 4);
                const std::size_t valueLength = Get16(block.data() + p + 6);
                if (valueType == kPropertyBoolean && valueLength >= 1 &&
                    8 + valueLength <= length && nameIndex < names.size() &&
                    names[nameIndex] == kAllowZeroLength && block[p + 8] != 0)
                    columns.push_back(owner);
                p += length;
            }
        }
        at = end;
    }
    return columns;
}

bool SameName(std::string_view a, std::string_view b) {
    const auto ka = GeneralTextKey(Utf8ToUtf16(a)), kb = GeneralTextKey(Utf8ToUtf16(b));
    if (ka && kb) return *ka == *kb;
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace engine::jet
