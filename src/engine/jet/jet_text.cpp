#include "engine/jet/jet_format.h"

#include <algorithm>
#include <utility>

namespace engine::jet {

void Rc4(std::uint32_t key, std::uint8_t* data, std::size_t size) {
    std::array<std::uint8_t, 4> k{};
    Put32(k.data(), key);
    std::array<std::uint8_t, 256> s{};
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<std::uint8_t>(i);
    std::uint8_t j = 0;
    for (int i = 0; i < 256; ++i) {
        j = static_cast<std::uint8_t>(j + s[i] + k[i % 4]);
        std::swap(s[i], s[j]);
    }
    std::uint8_t a = 0, b = 0;
    for (std::size_t n = 0; n < size; ++n) {
        a = static_cast<std::uint8_t>(a + 1);
        b = static_cast<std::uint8_t>(b + s[a]);
        std::swap(s[a], s[b]);
        data[n] ^= s[static_cast<std::uint8_t>(s[a] + s[b])];
    }
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    Utf8ToUtf16Into(text, out);
    return out;
}

void Utf8ToUtf16Into(std::string_view text, std::u16string& out) {
    // At most one unit per byte; written by index, trimmed at the end.
    out.resize(text.size());
    std::size_t n = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        char32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            if (i + len > text.size()) {
                len = 1;
            } else {
                cp = c & (0x7F >> len);
                for (std::size_t k = 1; k < len; ++k) {
                    const auto cc = static_cast<unsigned char>(text[i + k]);
                    if ((cc & 0xC0) != 0x80) {
                        cp = 0xFFFD;
                        len = k;
                        break;
                    }
                    cp = (cp << 6) | (cc & 0x3F);
                }
            }
        }
        i += len;
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out[n++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            out[n++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out[n++] = cp > 0x10FFFF ? u'\xFFFD' : static_cast<char16_t>(cp);
        }
    }
    out.resize(n);
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::string DecodeText(const std::uint8_t* data, std::size_t size) {
    std::u16string units;
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        units.reserve(size);
        bool compressed = true;
        std::size_t i = 2;
        while (i < size) {
            if (data[i] == 0) {
                compressed = !compressed;
                ++i;
            } else if (compressed) {
                units.push_back(data[i]);
                ++i;
            } else if (i + 1 < size) {
                units.push_back(static_cast<char16_t>(Get16(data + i)));
                i += 2;
            } else {
                break; // an odd byte at the end cannot be a character
            }
        }
    } else {
        units.reserve(size / 2);
        for (std::size_t i = 0; i + 1 < size; i += 2)
            units.push_back(static_cast<char16_t>(Get16(data + i)));
    }
    return Utf16ToUtf8(units);
}

std::vector<std::uint8_t> EncodeText(std::u16string_view text, bool compress) {
    std::vector<std::uint8_t> out;
    EncodeTextInto(text, compress, out);
    return out;
}

void EncodeTextInto(std::u16string_view text, bool compress, std::vector<std::uint8_t>& out) {
    const auto plain = [&] {
        out.resize(text.size() * 2);
        for (std::size_t i = 0; i < text.size(); ++i)
            Put16(out.data() + 2 * i, text[i]);
    };
    // A character whose low byte is 0 would read as a mode switch.
    if (!compress || text.empty() ||
        std::any_of(text.begin(), text.end(), [](char16_t c) { return (c & 0xFF) == 0; })) {
        plain();
        return;
    }
    // The compressed form, as long as it stays shorter than the plain one.
    const std::size_t limit = text.size() * 2;
    out.resize(limit + 4);
    std::size_t n = 0;
    out[n++] = 0xFF;
    out[n++] = 0xFE;
    bool compressed = true;
    for (const char16_t c : text) {
        const bool narrow = c < 0x100;
        if (narrow != compressed) {
            out[n++] = 0;
            compressed = narrow;
        }
        out[n++] = static_cast<std::uint8_t>(c);
        if (!narrow) out[n++] = static_cast<std::uint8_t>(c >> 8);
        if (n >= limit) {
            plain();
            return;
        }
    }
    out.resize(n);
}

void AppendName(std::vector<std::uint8_t>& out, std::u16string_view name) {
    const std::size_t at = out.size();
    out.resize(at + 2 + 2 * name.size());
    Put16(out.data() + at, static_cast<std::uint32_t>(2 * name.size()));
    for (std::size_t i = 0; i < name.size(); ++i)
        Put16(out.data() + at + 2 + 2 * i, name[i]);
}

} // namespace engine::jet
