// Character sets: the transfer file may arrive as UTF-8 or as Windows-1252.
#include "platform/platform.h"

#include <QLocale>
#include <QString>

#include <algorithm>
#include <array>
#include <cstdint>
#include <strings.h>

namespace platform {

namespace {

// Windows-1252 0x80..0x9F; the five unassigned bytes map to the C1 controls.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes one UTF-8 sequence at `i`; returns its length, 0 when invalid.
size_t DecodeUtf8(std::string_view s, size_t i, char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    size_t len;
    char32_t min;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

} // namespace

bool IsValidUtf8(std::string_view bytes) {
    char32_t cp;
    for (size_t i = 0; i < bytes.size();) {
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        const size_t len = DecodeUtf8(bytes, i, cp);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string Cp1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    for (unsigned char c : bytes) {
        if (c < 0x80)
            out += static_cast<char>(c);
        else if (c < 0xA0)
            AppendUtf8(out, kCp1252High[c - 0x80]);
        else
            AppendUtf8(out, c);
    }
    return out;
}

std::string DecodeLine(std::string_view bytes) {
    if (IsValidUtf8(bytes)) return std::string(bytes);
    return Cp1252ToUtf8(bytes);
}

std::string Utf8ToCp1252(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    char32_t cp;
    for (size_t i = 0; i < utf8.size();) {
        size_t len = DecodeUtf8(utf8, i, cp);
        if (len == 0) { // not UTF-8 after all: one unknown byte
            out += '?';
            ++i;
            continue;
        }
        i += len;
        if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
            out += static_cast<char>(cp);
            continue;
        }
        char mapped = '?';
        for (size_t k = 0; k < kCp1252High.size(); ++k)
            if (kCp1252High[k] == cp) mapped = static_cast<char>(0x80 + k);
        out += mapped;
    }
    return out;
}

std::string UpperCase(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string UpperCaseName(const std::string& name) {
    // QLocale() is the user's locale, or the one a test set as the default.
    return QLocale().toUpper(QString::fromStdString(name)).toStdString();
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0) return true;
    const auto nonAscii = [](std::string_view s) {
        return std::any_of(s.begin(), s.end(),
                           [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    };
    if (!nonAscii(a) && !nonAscii(b)) return false;
    return UpperCaseName(std::string(a)) == UpperCaseName(std::string(b));
}

} // namespace platform
