#include "engine/jet/jet_build.h"

#include "engine/convert.h"

#include <algorithm>
#include <cstring>

namespace engine::jet {

namespace {

// Primary weights of the General sort order for the letters a..z (upper and
// lower case share them) and the digits.
constexpr std::uint8_t kLetterCodes[26] = {
    0x4A, 0x4C, 0x4D, 0x4F, 0x51, 0x53, 0x55, 0x57, 0x59, 0x5B, 0x5C, 0x5E, 0x60,
    0x62, 0x64, 0x66, 0x68, 0x69, 0x6B, 0x6D, 0x6F, 0x71, 0x73, 0x75, 0x76, 0x78,
};
constexpr std::uint8_t kDigitZero = 0x36;

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

std::optional<std::vector<std::uint8_t>> GeneralTextKey(std::u16string_view text) {
    while (!text.empty() && text.back() == u' ')
        text.remove_suffix(1);
    std::vector<std::uint8_t> key;
    key.reserve(text.size());
    for (const char16_t c : text) {
        if (c >= u'a' && c <= u'z')
            key.push_back(kLetterCodes[c - u'a']);
        else if (c >= u'A' && c <= u'Z')
            key.push_back(kLetterCodes[c - u'A']);
        else if (c >= u'0' && c <= u'9')
            key.push_back(static_cast<std::uint8_t>(kDigitZero + 2 * (c - u'0')));
        else
            return std::nullopt;
    }
    return key;
}

std::vector<std::uint8_t> LongKey(std::int32_t value) {
    const std::uint32_t flipped = static_cast<std::uint32_t>(value) ^ 0x80000000u;
    return {0x7F, static_cast<std::uint8_t>(flipped >> 24),
            static_cast<std::uint8_t>(flipped >> 16), static_cast<std::uint8_t>(flipped >> 8),
            static_cast<std::uint8_t>(flipped)};
}

std::optional<std::vector<std::uint8_t>> TextKey(std::u16string_view text) {
    auto codes = GeneralTextKey(text);
    if (!codes) return std::nullopt;
    std::vector<std::uint8_t> key{0x7F};
    key.insert(key.end(), codes->begin(), codes->end());
    key.push_back(0x01); // end of the characters
    key.push_back(0x00); // no extra (case or accent) bytes
    return key;
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

std::vector<std::uint8_t> TableDefinitionBytes(const TableShape& shape) {
    const std::vector<ColumnDef> columns = LayOutColumns(shape.columns);
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
    const auto append = [&](std::size_t size) {
        d.resize(d.size() + size, 0);
        return d.size() - size;
    };
    for (const auto& index : shape.indexes) {
        const std::size_t at = append(kTdefRealIndexSize);
        Put32(d.data() + at + 4, index.rowCount);
    }
    for (const ColumnDef& c : columns) {
        const std::size_t at = append(kTdefColumnSize);
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
    for (const auto& index : shape.indexes) {
        const std::size_t at = append(kTdefRealIndexDefSize);
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
    // Logical indexes are listed by name; each names its real index.
    std::vector<std::size_t> order(shape.indexes.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return CompareNames(shape.indexes[a].name, shape.indexes[b].name) < 0;
    });
    for (const std::size_t i : order) {
        const std::size_t at = append(kTdefLogicalIndexSize);
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
    // Long-value columns, in the order the definition lists the columns.
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
            const std::size_t at = append(10);
            std::uint8_t* p = d.data() + at;
            Put16(p, number);
            Put32(p + 2, shape.longValueMaps[k].first);
            Put32(p + 6, shape.longValueMaps[k].second);
        }
    }
    const std::size_t end = append(2);
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
    const std::size_t prefix = Get16(page.data() + 20);
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

double StoredDate(const DateTime& value) {
    return DateToSerial(value);
}

} // namespace engine::jet
