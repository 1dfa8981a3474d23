// The structural checker passes sound files and flags damaged copies.
#include "engine/jet/jet_build.h"
#include "engine/jet/jet_test_support.h"
#include "engine/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace engine::jet {
namespace {

using namespace engine::jet::testing;

struct Layout {
    TableInfo table;
    std::vector<std::uint32_t> dataPages;
    std::uint32_t chainStart = 0; // first row of a long-value chain
    std::size_t firstMemo = 0;    // the first row's memo reference within the row, plus one
    std::vector<std::uint8_t> chainReference;
};

Layout Inspect(const std::string& path) {
    auto file = JetFile::Open(path, false);
    Layout layout;
    for (const CatalogEntry& e : file->ReadCatalog()) {
        if (e.name == "DATA") layout.table = file->ReadTable(e.TdefPage());
    }
    layout.dataPages = file->ReadUsageMap(layout.table.usedPages);
    file->ScanRows(layout.table, [&](const std::uint8_t* row, std::size_t size) {
        const ColumnDef* memo = nullptr;
        for (const ColumnDef& c : layout.table.columns) {
            if (c.type == colMemo) memo = &c;
        }
        const std::size_t mask = (Get16(row) + 7) / 8;
        const std::size_t start = Get16(row + size - mask - 2 - 2 * (memo->varIndex + 1));
        if ((row[start + 3] & 0xC0) == 0 && layout.chainStart == 0) {
            layout.chainStart = Get32(row + start + 4);
            layout.chainReference.assign(row + start, row + start + kLongValueHeader);
        }
        if (layout.firstMemo == 0) layout.firstMemo = start + 1; // +1: found
        return true;
    });
    return layout;
}

// The offset within the file of row `row` of page `page`.
std::size_t RowOffset(const std::vector<std::uint8_t>& bytes, std::uint32_t page,
                      std::uint32_t row) {
    const std::size_t base = std::size_t(page) * kPageSize;
    return base + (Get16(bytes.data() + base + kDataRowTable + 2 * row) & kRowOffsetMask);
}

TEST(JetCheck, SoundFilesPassAndEachDamageIsFlagged) {
    engine::testing::TempFolder folder;
    const std::string path = folder / "SOUND.MDB";
    {
        auto db = CreateDatabase(path);
        TableDef def("DATA");
        def.AppendField(def.CreateField("N", dbLong, 0));
        def.AppendField(def.CreateField("M", dbMemo, 0));
        db->AppendTableDef(def);
        auto rs = db->OpenRecordset("DATA");
        for (int i = 0; i < 600; ++i) {
            rs->AddNew();
            rs->SetValue(0, std::int64_t{i});
            rs->SetValue(1, std::string(i == 3 ? 10000 : 20, 'q'));
            rs->Update();
        }
        rs->Close();
        db->Close();
    }
    ASSERT_TRUE(Problems(path).empty());
    for (const char* sample : {"emptyJet4.mdb", "empty2003.mdb"}) {
        if (HaveSample(sample)) {
            EXPECT_TRUE(Problems(Sample(sample)).empty()) << sample;
        }
    }

    const auto sound = ReadBytes(path);
    const Layout layout = Inspect(path);
    ASSERT_GE(layout.dataPages.size(), 2u);
    ASSERT_NE(layout.chainStart, 0u);
    ASSERT_NE(layout.firstMemo, 0u);
    const std::uint32_t page = layout.dataPages[1];
    const std::size_t usedMapRow =
        RowOffset(sound, layout.table.usedPages >> 8, layout.table.usedPages & 0xFF);
    const auto bitOffset = [&](std::uint32_t p) {
        const std::uint32_t start = Get32(sound.data() + usedMapRow + 1);
        return usedMapRow + 5 + (p - start) / 8;
    };
    const std::vector<Damage> damages{
        {"a data page names another owner",
         [&](auto& b) { Put32(b.data() + std::size_t(page) * kPageSize + kDataOwner, 3); }},
        {"a data page left out of its table's map",
         [&](auto& b) {
             b[bitOffset(page)] &= static_cast<std::uint8_t>(
                 ~(1u << ((page - Get32(b.data() + usedMapRow + 1)) % 8)));
         }},
        {"the row count disagrees",
         [&](auto& b) {
             Put32(b.data() + std::size_t(layout.table.tdefPage) * kPageSize + kTdefRowCount, 599);
         }},
        {"a used page is marked free",
         [&](auto& b) {
             const std::size_t map = RowOffset(b, 1, 0);
             b[map + 5 + page / 8] |= static_cast<std::uint8_t>(1u << (page % 8));
         }},
        {"a long-value chain is cut",
         [&](auto& b) {
             Put32(b.data() + RowOffset(b, layout.chainStart >> 8, layout.chainStart & 0xFF), 0);
         }},
        {"a long value points at a row of a data page",
         [&](auto& b) {
             std::uint8_t* ref =
                 b.data() + RowOffset(b, layout.dataPages[0], 0) + layout.firstMemo - 1;
             Put32(ref, 5 | kLongValueSinglePage);
             Put32(ref + 4, RowPointer(layout.dataPages[0], 1));
         }},
        {"two values share one long-value chain",
         [&](auto& b) {
             std::memcpy(b.data() + RowOffset(b, layout.dataPages[0], 0) + layout.firstMemo - 1,
                         layout.chainReference.data(), kLongValueHeader);
         }},
        {"the catalog index lost an entry",
         [&](auto& b) {
             // The Id index of the catalog: drop its last entry.
             Page leaf;
             std::memcpy(leaf.data(), b.data() + 8 * kPageSize, kPageSize);
             auto entries = IndexLeafEntries(leaf);
             entries.pop_back();
             const auto rebuilt = IndexLeafPage(kCatalogPage, entries);
             std::memcpy(b.data() + 8 * kPageSize, rebuilt->data(), kPageSize);
         }},
        {"a catalog index key no longer matches its row",
         [&](auto& b) {
             const std::size_t name = RowOffset(b, 17, 0) + 32; // "Tables" of the first row
             b[name] = 'X';
         }},
    };
    const std::string damaged = folder / "DAMAGED.MDB";
    ExpectEachDamageFlagged(sound, damages, damaged);
}

} // namespace
} // namespace engine::jet
