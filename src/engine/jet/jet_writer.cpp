// The writer's flow: pages allocated and freed through the free-page map,
// usage maps, rows inserted and deleted, index trees rewritten, and rows
// appended to a new table. What goes into the pages is built by the other
// parts (jet_newdb, jet_tabledef, jet_catalog, jet_values).
#include "engine/jet/jet_writer.h"

#include "engine/convert.h"
#include "engine/jet/jet_index.h"
#include "engine/jet/jet_security.h"
#include "engine/jet/jet_writer_parts.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>

namespace engine::jet {

using namespace parts;

namespace {

constexpr std::uint64_t kMaxFileSize = std::uint64_t(1) << 31; // 2 GB

[[noreturn]] void RaiseTooLarge(const std::string& path) {
    throw EngineError(errFormatLimit, "The database '" + path +
                                          "' would grow past 2 GB, the largest size an Access "
                                          "database can have.");
}

} // namespace

JetWriter::JetWriter(JetFile& file) : file_(file) {
    nextPage_ = file_.PageCount();
    LoadFreeMap();
}

JetWriter::~JetWriter() = default;

void JetWriter::LoadFreeMap() {
    freePages_.assign(nextPage_, false);
    for (const std::uint32_t page : file_.ReadUsageMap(RowPointer(1, 0))) {
        // Pages 0 and 1 and the catalog are never free, whatever a damaged map says.
        if (page > kCatalogPage && page < nextPage_) freePages_[page] = true;
    }
}

std::uint32_t JetWriter::AllocatePage() {
    for (; searchFrom_ < freePages_.size(); ++searchFrom_) {
        if (freePages_[searchFrom_]) {
            freePages_[searchFrom_] = false;
            freeMapDirty_ = true;
            return searchFrom_++;
        }
    }
    if ((std::uint64_t(nextPage_) + 1) * kPageSize > kMaxFileSize) RaiseTooLarge(file_.Path());
    freeMapDirty_ = true;
    freePages_.push_back(false);
    return nextPage_++;
}

void JetWriter::FreePage(std::uint32_t page) {
    if (page <= kCatalogPage || page >= freePages_.size()) return;
    freePages_[page] = true;
    searchFrom_ = std::min(searchFrom_, page);
    freeMapDirty_ = true;
}

void JetWriter::StorePage(std::uint32_t number, const Page& page) {
    const std::uint64_t at = std::uint64_t(number) * kPageSize;
    if (const int error = file_.Data().WriteAt(at, page.data(), kPageSize)) {
        try {
            RaiseWriteError(error, file_.Path(),
                            "Writing page " + std::to_string(number) + " of '" + file_.Path() +
                                "'");
        } catch (const EngineError& e) {
            file_.NoteWriteFailed(e);
            throw;
        }
    }
    file_.NoteWritten(number, page, nextPage_);
}

void JetWriter::WriteFreeMap() {
    // Pages past the end of the file count as free, as Jet marks them.
    std::vector<std::uint32_t> free;
    for (std::uint32_t p = 0; p < freePages_.size(); ++p) {
        if (freePages_[p]) free.push_back(p);
    }
    const auto withTail = [&](std::uint64_t limit) {
        std::vector<std::uint32_t> all = free;
        for (std::uint64_t p = nextPage_; p < limit; ++p)
            all.push_back(static_cast<std::uint32_t>(p));
        return all;
    };
    std::vector<std::uint8_t> row;
    // A map Access keeps in the large form stays in it, on its pages.
    const std::vector<std::uint8_t> old = file_.RowBytes(1, 0);
    if (nextPage_ <= kInlineMapPages && (old.empty() || old[0] != 1)) {
        row = *InlineUsageMap(withTail(kInlineMapPages));
    } else {
        // The large form: one map page per 32736 pages, kept where they are.
        // A pointer that names no page (Access leaves negative ones) gets a
        // page when its range is needed.
        std::vector<std::uint32_t> mapPages;
        if (!old.empty() && old[0] == 1) {
            for (std::size_t i = 0; i < kUsageMapPointers && 1 + 4 * i + 4 <= old.size(); ++i)
                mapPages.push_back(MapPagePointer(Get32(old.data() + 1 + 4 * i), nextPage_));
        }
        mapPages.resize(kUsageMapPointers, 0);
        const std::size_t needed = (nextPage_ + 64 + kMapPageBits - 1) / kMapPageBits;
        for (std::size_t i = 0; i < needed && i < kUsageMapPointers; ++i) {
            if (mapPages[i] == 0) mapPages[i] = AllocatePage();
        }
        free.clear();
        for (std::uint32_t p = 0; p < freePages_.size(); ++p) {
            if (freePages_[p]) free.push_back(p);
        }
        for (std::size_t i = 0; i < kUsageMapPointers; ++i) {
            if (mapPages[i] == 0) continue;
            Page page{};
            page[0] = pgUsageMap;
            page[1] = 1;
            const std::uint64_t first = std::uint64_t(i) * kMapPageBits;
            for (std::uint64_t bit = 0; bit < kMapPageBits; ++bit) {
                const std::uint64_t p = first + bit;
                const bool isFree = p >= nextPage_ || (p < freePages_.size() &&
                                                       freePages_[static_cast<std::size_t>(p)]);
                if (isFree) page[4 + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
            }
            StorePage(mapPages[i], page);
        }
        row = ReferenceUsageMap(mapPages);
    }
    Page page = file_.ReadPage(1);
    const std::uint16_t entry = Get16(page.data() + kDataRowTable);
    const std::size_t start = entry & kRowOffsetMask;
    // A shorter row than the map would overwrite the row before it.
    if (start + kUsageMapRowSize > kPageSize || old.size() < kUsageMapRowSize)
        file_.Raise("the free-page map is damaged");
    std::memcpy(page.data() + start, row.data(), kUsageMapRowSize);
    StorePage(1, page);
}

void JetWriter::Flush() {
    if (!freeMapDirty_) return;
    WriteFreeMap();
    freeMapDirty_ = false;
}

std::vector<std::uint32_t>
JetWriter::AddUsageMapRows(const std::vector<std::vector<std::uint8_t>>& rows) {
    std::vector<std::uint32_t> pointers;
    std::uint32_t number = 0;
    std::unique_ptr<DataPageBuilder> builder;
    for (const auto& row : rows) {
        if (!builder || !builder->Fits(row.size())) {
            if (builder) StorePage(number, builder->Bytes());
            number = AllocatePage();
            builder = std::make_unique<DataPageBuilder>(0);
        }
        pointers.push_back(RowPointer(number, builder->Add(row.data(), row.size())));
    }
    if (builder) StorePage(number, builder->Bytes());
    return pointers;
}

std::vector<std::uint8_t> JetWriter::MapRow(const std::vector<std::uint32_t>& pages) {
    if (auto inlineRow = InlineUsageMap(pages)) return *inlineRow;
    std::vector<std::uint32_t> mapPages(kUsageMapPointers, 0);
    std::vector<Page> built(kUsageMapPointers);
    for (const std::uint32_t p : pages) {
        const std::size_t i = p / kMapPageBits;
        if (i >= kUsageMapPointers) continue;
        if (mapPages[i] == 0) {
            mapPages[i] = AllocatePage();
            built[i].fill(0);
            built[i][0] = pgUsageMap;
            built[i][1] = 1;
        }
        const std::size_t bit = p % kMapPageBits;
        built[i][4 + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    for (std::size_t i = 0; i < kUsageMapPointers; ++i) {
        if (mapPages[i] != 0) StorePage(mapPages[i], built[i]);
    }
    return ReferenceUsageMap(mapPages);
}

void JetWriter::RewriteUsageMap(std::uint32_t pointer, const std::vector<std::uint32_t>& pages) {
    const std::uint32_t number = pointer >> 8, row = pointer & 0xFF;
    // Map pages of an old large form are let go first.
    for (const std::uint32_t p : file_.MapPages(pointer))
        FreePage(p);
    const std::vector<std::uint8_t> bytes = MapRow(pages);
    Page page = file_.ReadPage(number);
    const std::uint32_t count = Get16(page.data() + kDataRowCount);
    if (row >= count) file_.Raise("a usage map row is missing");
    const std::size_t start = Get16(page.data() + kDataRowTable + 2 * row) & kRowOffsetMask;
    if (start + kUsageMapRowSize > kPageSize ||
        file_.RowBytes(number, row).size() < kUsageMapRowSize)
        file_.Raise("a usage map row is damaged");
    std::memcpy(page.data() + start, bytes.data(), kUsageMapRowSize);
    StorePage(number, page);
}

std::uint32_t JetWriter::InsertRow(const TableInfo& table, const std::vector<std::uint8_t>& row) {
    std::vector<std::uint32_t> used = file_.ReadUsageMap(table.usedPages);
    for (const std::uint32_t number : used) {
        const Page& existing = file_.ReadPage(number);
        if (existing[0] != pgData || Get32(existing.data() + kDataOwner) != table.tdefPage)
            continue;
        DataPageBuilder builder(existing);
        if (!builder.Fits(row.size())) continue;
        const std::uint32_t r = builder.Add(row.data(), row.size());
        StorePage(number, builder.Bytes());
        return RowPointer(number, r);
    }
    const std::uint32_t number = AllocatePage();
    DataPageBuilder builder(table.tdefPage);
    const std::uint32_t r = builder.Add(row.data(), row.size());
    StorePage(number, builder.Bytes());
    used.push_back(number);
    RewriteUsageMap(table.usedPages, used);
    RewriteUsageMap(table.freePages, {number});
    return RowPointer(number, r);
}

void JetWriter::DeleteRow(std::uint32_t number, std::uint32_t row) {
    DataPageBuilder builder(file_.ReadPage(number));
    if (row >= builder.RowCount()) file_.Raise("a row to delete is missing");
    builder.MarkDeleted(row);
    StorePage(number, builder.Bytes());
}

void JetWriter::SetTableCounts(std::uint32_t tdefPage, std::int64_t rowDelta,
                               std::int64_t indexDelta) {
    Page page = file_.ReadPage(tdefPage);
    const auto adjust = [](std::uint8_t* p, std::int64_t delta) {
        const std::int64_t value = std::max<std::int64_t>(0, std::int64_t(Get32(p)) + delta);
        Put32(p, static_cast<std::uint32_t>(value));
    };
    adjust(page.data() + kTdefRowCount, rowDelta);
    const std::uint32_t real = std::min<std::uint32_t>(Get32(page.data() + kTdefRealIndexes), 64);
    for (std::uint32_t i = 0; i < real; ++i) {
        const std::size_t at = kTdefBlockEnd + kTdefRealIndexSize * i + 4;
        if (at + 4 <= kPageSize) adjust(page.data() + at, indexDelta);
    }
    StorePage(tdefPage, page);
}

JetWriter::IndexContent JetWriter::ReadIndex(const TableInfo& table,
                                             const TableInfo::RealIndex& index) {
    IndexTree tree = ReadIndexTree(file_, index.firstPage, table.tdefPage);
    return {std::move(tree.entries), tree.PageNumbers()};
}

void JetWriter::WriteIndex(const TableInfo& table, const TableInfo::RealIndex& index,
                           IndexContent content) {
    std::sort(content.entries.begin(), content.entries.end());
    std::vector<std::uint32_t> spare;
    for (const std::uint32_t p : content.pages) {
        if (p != index.firstPage) spare.push_back(p);
    }
    std::size_t reused = 0;
    std::vector<std::uint32_t> fresh;
    const auto built =
        BuildIndexTree(table.tdefPage, index.firstPage, content.entries, [&]() -> std::uint32_t {
            if (reused < spare.size()) return spare[reused++];
            fresh.push_back(AllocatePage());
            return fresh.back();
        });
    if (!built) file_.Raise("an index entry is larger than an index page");
    std::vector<std::uint32_t> pages;
    for (const BuiltIndexPage& page : *built) {
        pages.push_back(page.number);
        // Pages of the old tree that come out the same are left alone.
        const bool isNew = std::find(fresh.begin(), fresh.end(), page.number) != fresh.end();
        if (page.number == index.firstPage || isNew || file_.ReadPage(page.number) != page.bytes)
            StorePage(page.number, page.bytes);
    }
    for (std::size_t i = reused; i < spare.size(); ++i)
        FreePage(spare[i]);
    std::sort(pages.begin(), pages.end());
    std::sort(content.pages.begin(), content.pages.end());
    if (pages != content.pages) {
        if (index.usedPages == 0) file_.Raise("an index of several pages has no page map");
        RewriteUsageMap(index.usedPages, pages);
    }
}

// ---- Appending rows ------------------------------------------------------------

std::unique_ptr<JetWriter::Appender> JetWriter::OpenAppender(std::uint32_t tdefPage) {
    TableInfo table = file_.ReadTable(tdefPage);
    if (!table.indexes.empty()) {
        throw EngineError(errOperationNotSupported,
                          "Rows can be added here only to tables without indexes.");
    }
    return std::make_unique<Appender>(*this, std::move(table));
}

JetWriter::Appender::Appender(JetWriter& writer, TableInfo table)
    : writer_(writer), table_(std::move(table)), byNumber_(ByNumber(table_.columns)) {
    for (const std::uint32_t p : writer_.File().ReadUsageMap(table_.usedPages))
        dataPages_.push_back(p);
    for (const auto& [column, used, free] : table_.longValueMaps) {
        (void)free;
        for (const std::uint32_t p : writer_.File().ReadUsageMap(used))
            lvalPages_[column].push_back(p);
    }
    scratch_.resize(byNumber_.size());
}

JetWriter::Appender::~Appender() = default;

void JetWriter::Appender::FlushDataPage() {
    if (!page_) return;
    writer_.StorePage(pageNumber_, page_->Bytes());
    page_.reset();
}

void JetWriter::Appender::FlushLvalPage(std::size_t column) {
    auto it = lvalOpen_.find(column);
    if (it == lvalOpen_.end() || !it->second.second) return;
    writer_.StorePage(it->second.first, it->second.second->Bytes());
    it->second.second.reset();
}

// Stores one long-value row on the column's open long-value page.
std::uint32_t JetWriter::Appender::StoreLongValue(const std::vector<std::uint8_t>& bytes,
                                                  std::size_t column, bool /*chained*/,
                                                  std::uint32_t* /*pointerOut*/) {
    auto& [number, builder] = lvalOpen_[column];
    if (!builder || !builder->Fits(bytes.size())) {
        FlushLvalPage(column);
        number = writer_.AllocatePage();
        builder = std::make_unique<DataPageBuilder>(kLvalMarker);
        lvalPages_[column].push_back(number);
    }
    return RowPointer(number, builder->Add(bytes.data(), bytes.size()));
}

void JetWriter::Appender::Add(const std::vector<Value>& values) {
    const std::size_t count = byNumber_.size();
    std::vector<const std::uint8_t*> data(count);
    std::vector<std::size_t> sizes(count);
    std::vector<char> present(count);
    std::vector<std::size_t> longColumns;
    for (std::size_t i = 0; i < count; ++i) {
        present[i] = EncodeShortValue(byNumber_[i], values[i], scratch_[i]) ? 1 : 0;
        const auto t = byNumber_[i].type;
        if ((t == colMemo || t == colOle) && present[i]) longColumns.push_back(i);
        if ((t == colText || t == colBinary) && scratch_[i].size() > byNumber_[i].length) {
            throw EngineError(errValueTooLong,
                              "A value is too long for the field '" + byNumber_[i].name + "'.");
        }
    }
    // Long values: in the row while the row stays small enough, otherwise on
    // long-value pages (one row when it fits, a chain of rows when not).
    // The row's size with every long value out of the row: the fixed area,
    // the variable values, their offsets and the null mask.
    std::size_t fixedArea = 0, varCount = 0, rowSize = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const ColumnDef& c = byNumber_[i];
        if (c.Fixed()) {
            if (c.type != colBoolean)
                fixedArea = std::max<std::size_t>(fixedArea, std::size_t(c.fixedOffset) + c.length);
            continue;
        }
        ++varCount;
        if (!present[i]) continue;
        rowSize += (c.type == colMemo || c.type == colOle) ? kLongValueHeader : scratch_[i].size();
    }
    rowSize += 2 + fixedArea + (varCount > 0 ? 4 + 2 * varCount : 0) + (count + 7) / 8;
    std::vector<std::vector<std::uint8_t>> refs(longColumns.empty() ? 0 : count);
    for (const std::size_t i : longColumns) {
        const std::vector<std::uint8_t>& bytes = scratch_[i];
        std::vector<std::uint8_t>& ref = refs[i];
        ref.assign(kLongValueHeader, 0);
        const auto length = static_cast<std::uint32_t>(bytes.size());
        if (bytes.size() > kLongValueLengthMask) {
            throw EngineError(errValueTooLong,
                              "A value is too long for the field '" + byNumber_[i].name + "'.");
        }
        const std::size_t column = byNumber_[i].number;
        if (bytes.size() <= kLongValueInlineMax && rowSize + bytes.size() <= kMaxRowSize) {
            Put32(ref.data(), length | kLongValueInline);
            ref.insert(ref.end(), bytes.begin(), bytes.end());
            rowSize += bytes.size();
        } else {
            ref = OutOfRowReference(bytes, [&](const std::vector<std::uint8_t>& row, bool link) {
                return StoreLongValue(row, column, link, nullptr);
            });
        }
        data[i] = ref.data();
        sizes[i] = ref.size();
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (refs.empty() || refs[i].empty()) {
            data[i] = scratch_[i].data();
            sizes[i] = scratch_[i].size();
        }
    }
    const std::vector<std::uint8_t> row = EncodeRow(byNumber_, data, sizes, present);
    if (row.size() > kMaxRowSize) {
        throw EngineError(errRecordTooLarge,
                          "The record is too large: an Access row holds at most " +
                              std::to_string(kMaxRowSize) + " bytes outside its memo fields.");
    }
    if (!page_ || !page_->Fits(row.size())) {
        FlushDataPage();
        pageNumber_ = writer_.AllocatePage();
        page_ = std::make_unique<DataPageBuilder>(table_.tdefPage);
        dataPages_.push_back(pageNumber_);
    }
    page_->Add(row.data(), row.size());
    ++rows_;
}

void JetWriter::Appender::Finish() {
    if (finished_) return;
    finished_ = true;
    FlushDataPage();
    for (auto& [column, open] : lvalOpen_) {
        (void)open;
        FlushLvalPage(column);
    }
    writer_.RewriteUsageMap(table_.usedPages, dataPages_);
    std::vector<std::uint32_t> withSpace;
    if (!dataPages_.empty()) withSpace.push_back(dataPages_.back());
    writer_.RewriteUsageMap(table_.freePages, withSpace);
    for (const auto& [column, used, free] : table_.longValueMaps) {
        const auto& pages = lvalPages_[column];
        writer_.RewriteUsageMap(used, pages);
        writer_.RewriteUsageMap(free, pages.empty() ? std::vector<std::uint32_t>{}
                                                    : std::vector<std::uint32_t>{pages.back()});
    }
    writer_.SetTableCounts(table_.tdefPage, rows_, 0);
    rows_ = 0;
    writer_.Flush();
}

} // namespace engine::jet
