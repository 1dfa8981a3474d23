// Index trees of Access files: pages with shared prefixes, trees of several
// levels built and read back, damage the reader refuses and the checker
// flags, and catalogs of hundreds of tables that grow and shrink.
#include "engine/jet/jet_build.h"
#include "engine/jet/jet_index.h"
#include "engine/jet/jet_test_support.h"
#include "engine/jet/jet_writer.h"
#include "engine/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace engine::jet {
namespace {

using namespace engine::jet::testing;
using engine::testing::TempFolder;

constexpr std::uint32_t kOwner = 2;

// Sorted, distinct leaf entries shaped like text keys: a flag byte, `width`
// key bytes that share a long run, a terminator, and a row pointer.
std::vector<IndexEntry> Entries(int count, std::size_t width) {
    std::vector<IndexEntry> entries;
    for (int i = 0; i < count; ++i) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%07d", i);
        IndexEntry e{0x7F};
        for (std::size_t k = 0; k + 7 < width; ++k)
            e.push_back(0x60);
        for (const char c : std::string(digits))
            e.push_back(static_cast<std::uint8_t>(0x56 + (c - '0')));
        e.push_back(0x00);
        const std::uint32_t page = 100 + static_cast<std::uint32_t>(i / 200);
        e.insert(e.end(), {0, static_cast<std::uint8_t>(page >> 8), static_cast<std::uint8_t>(page),
                           static_cast<std::uint8_t>(i % 200)});
        entries.push_back(std::move(e));
    }
    return entries;
}

// Sorted entries whose key bytes look random.
std::vector<IndexEntry> ScatteredEntries(int count, std::size_t width) {
    std::vector<IndexEntry> entries;
    std::uint32_t state = 12345;
    for (int i = 0; i < count; ++i) {
        IndexEntry e{0x7F};
        for (std::size_t k = 0; k < width; ++k) {
            state = state * 1103515245u + 12345u;
            e.push_back(static_cast<std::uint8_t>(0x56 + (state >> 16) % 0x24));
        }
        e.insert(e.end(), {0x00, 0x00, 0x01, static_cast<std::uint8_t>(i % 200)});
        entries.push_back(std::move(e));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// A file of ours, with `pages` stored beyond its own pages.
class TreeFile {
  public:
    explicit TreeFile(TempFolder& folder) {
        static int made = 0;
        const std::string path = folder / ("EMPTY" + std::to_string(made++) + ".MDB");
        CreateEmptyDatabase(path, CreateOptions{40000.0});
        bytes_ = ReadBytes(path);
        firstFree_ = static_cast<std::uint32_t>(bytes_.size() / kPageSize);
    }
    std::uint32_t Root() const { return firstFree_; }
    std::function<std::uint32_t()> NewPage() {
        next_ = firstFree_ + 1;
        return [this] { return next_++; };
    }
    void Store(const std::vector<BuiltIndexPage>& pages) {
        for (const BuiltIndexPage& p : pages) {
            const std::size_t end = (std::size_t(p.number) + 1) * kPageSize;
            if (bytes_.size() < end) bytes_.resize(end, 0);
            std::memcpy(bytes_.data() + std::size_t(p.number) * kPageSize, p.bytes.data(),
                        kPageSize);
        }
    }
    std::uint8_t* PageBytes(std::uint32_t number) {
        return bytes_.data() + std::size_t(number) * kPageSize;
    }
    std::unique_ptr<JetFile> Open() const { return JetFile::FromBytes(bytes_); }
    std::vector<std::uint8_t>& Bytes() { return bytes_; }

  private:
    std::vector<std::uint8_t> bytes_;
    std::uint32_t firstFree_ = 0;
    std::uint32_t next_ = 0;
};

TEST(JetIndexPages, SharedPrefixIsStoredOnceAndReadBack) {
    IndexPage content;
    content.owner = kOwner;
    content.prev = 7;
    content.next = 9;
    content.entries = Entries(60, 80);
    // 60 entries of 93 bytes fill more than a page unless their shared
    // prefix (the flag and the run of 0x60) is stored once.
    EXPECT_FALSE(EncodeIndexPage(content, false));
    const auto page = EncodeIndexPage(content, true);
    ASSERT_TRUE(page);
    EXPECT_EQ(Get16(page->data() + kIndexPrefixLength), 1u + 73u + 5u); // and "00000"
    EXPECT_EQ((*page)[0], pgIndexLeaf);
    std::string why;
    const auto back = ParseIndexPage(*page, &why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(back->entries, content.entries);
    EXPECT_EQ(back->prev, 7u);
    EXPECT_EQ(back->next, 9u);
    EXPECT_EQ(back->owner, kOwner);
    // The free-space field counts what the entries leave.
    std::size_t used = content.entries.front().size();
    for (std::size_t i = 1; i < content.entries.size(); ++i)
        used += content.entries[i].size() - Get16(page->data() + kIndexPrefixLength);
    EXPECT_EQ(Get16(page->data() + kIndexFreeSpace), kIndexPageCapacity - used);
    // The single-leaf reader the writer used before agrees on the prefix.
    EXPECT_EQ(IndexLeafEntries(*page), content.entries);
}

TEST(JetIndexPages, DamagedPagesAreRefused) {
    IndexPage content;
    content.owner = kOwner;
    content.entries = Entries(5, 10);
    const Page sound = *EncodeIndexPage(content, false);
    ASSERT_TRUE(ParseIndexPage(sound));
    struct Case {
        const char* what;
        std::function<void(Page&)> damage;
    };
    const std::vector<Case> cases{
        {"not an index page", [](Page& p) { p[0] = pgData; }},
        {"a prefix longer than the first entry",
         [](Page& p) { Put16(p.data() + kIndexPrefixLength, 200); }},
        {"an entry mark past the page",
         [](Page& p) {
             const std::size_t bit = kIndexPageCapacity + 3;
             p[kIndexMaskOffset + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
         }},
        {"an entry shorter than a row pointer",
         [](Page& p) { p[kIndexMaskOffset] |= 0x04; }}, // a 2-byte first entry
        {"a node entry without its child page",
         [](Page& p) {
             p[0] = pgIndexNode;
             std::memset(p.data() + kIndexMaskOffset, 0, kIndexDataOffset - kIndexMaskOffset);
             p[kIndexMaskOffset + 1] = 0x01; // one entry of 8 bytes
         }},
    };
    for (const Case& c : cases) {
        Page page = sound;
        c.damage(page);
        std::string why;
        EXPECT_FALSE(ParseIndexPage(page, &why)) << c.what;
        EXPECT_FALSE(why.empty()) << c.what;
    }
}

TEST(JetIndexTree, ASmallIndexStaysTheSingleLeafPageItAlwaysWas) {
    const auto entries = Entries(40, 12);
    std::uint32_t calls = 0;
    const auto built = BuildIndexTree(kOwner, 42, entries, [&] { return ++calls + 1000; });
    ASSERT_TRUE(built);
    ASSERT_EQ(built->size(), 1u);
    EXPECT_EQ(calls, 0u);
    EXPECT_EQ(built->front().number, 42u);
    EXPECT_EQ(built->front().bytes, *IndexLeafPage(kOwner, entries));
    // Empty too.
    const auto empty = BuildIndexTree(kOwner, 42, {}, [&] { return ++calls + 1000; });
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->front().bytes, *IndexLeafPage(kOwner, {}));
}

TEST(JetIndexTree, LargeIndexesBuildLevelsThatReadBackWhole) {
    TempFolder folder;
    // Keys that differ early share next to no prefix: about 30 entries per
    // leaf, so 3000 of them need a node level between root and leaves.
    const std::vector<IndexEntry> entries = ScatteredEntries(3000, 110);
    for (const auto& [count, levels] :
         std::vector<std::pair<int, std::size_t>>{{3000, 3}, {300, 2}, {45, 2}}) {
        TreeFile file(folder);
        const std::vector<IndexEntry> some(entries.begin(), entries.begin() + count);
        const auto built = BuildIndexTree(kOwner, file.Root(), some, file.NewPage());
        ASSERT_TRUE(built) << count;
        std::set<std::uint32_t> numbers;
        for (const auto& p : *built)
            numbers.insert(p.number);
        EXPECT_EQ(numbers.size(), built->size()) << "each page once";
        EXPECT_EQ(built->back().number, file.Root()) << "the root keeps its page";
        file.Store(*built);
        auto jet = file.Open();
        const IndexTree tree = ReadIndexTree(*jet, file.Root(), kOwner);
        EXPECT_EQ(tree.entries, some) << count;
        EXPECT_TRUE(IndexTreeProblems(tree).empty()) << IndexTreeProblems(tree).front();
        EXPECT_EQ(tree.pages.size(), built->size());
        EXPECT_TRUE(tree.chainedLeaves.empty());
        std::size_t depth = 0;
        for (const auto& n : tree.pages)
            depth = std::max(depth, n.depth);
        EXPECT_EQ(depth + 1, levels) << count;
        // A node with several children names the last as its tail and
        // stores an entry for each of the others.
        const IndexTree::Node& root = tree.pages.front();
        EXPECT_FALSE(root.content.leaf);
        EXPECT_NE(root.content.tail, 0u);
        EXPECT_EQ(root.children.size(), root.content.entries.size() + 1);
    }
}

TEST(JetIndexTree, DamagedTreesAreRefusedOrFlagged) {
    TempFolder folder;
    const std::vector<IndexEntry> entries = ScatteredEntries(3000, 110);
    TreeFile sound(folder);
    sound.Store(*BuildIndexTree(kOwner, sound.Root(), entries, sound.NewPage()));
    const IndexTree tree = ReadIndexTree(*sound.Open(), sound.Root(), kOwner);
    const std::uint32_t leaf0 = tree.leaves[0], leaf1 = tree.leaves[1], leaf2 = tree.leaves[2];
    const IndexTree::Node& root = tree.pages.front();
    const std::uint32_t middle = root.children.front();
    struct Case {
        const char* what;
        bool raises; // otherwise the problems list it
        std::function<void(TreeFile&)> damage;
    };
    const auto setChild = [](TreeFile& f, std::uint32_t node, std::uint32_t child) {
        // The child page number ends the first entry of a node page.
        std::uint8_t* p = f.PageBytes(node);
        std::size_t end = 1;
        while (((p[kIndexMaskOffset + end / 8] >> (end % 8)) & 1) == 0)
            ++end;
        std::uint8_t* at = p + kIndexDataOffset + end - 4;
        at[0] = static_cast<std::uint8_t>(child >> 24);
        at[1] = static_cast<std::uint8_t>(child >> 16);
        at[2] = static_cast<std::uint8_t>(child >> 8);
        at[3] = static_cast<std::uint8_t>(child);
    };
    const std::vector<Case> cases{
        {"a node names the root again (a loop)", true,
         [&](TreeFile& f) { setChild(f, middle, sound.Root()); }},
        {"a node names a page past the file", true,
         [&](TreeFile& f) { setChild(f, middle, 999999); }},
        {"a leaf belongs to another table", true,
         [&](TreeFile& f) { Put32(f.PageBytes(leaf1) + kIndexOwner, 3); }},
        {"a leaf hangs at the wrong depth", true,
         [&](TreeFile& f) { setChild(f, sound.Root(), leaf1); }},
        {"a node page turned into a data page", true,
         [&](TreeFile& f) { f.PageBytes(middle)[0] = pgData; }},
        {"the leaf chain skips a page", false,
         [&](TreeFile& f) { Put32(f.PageBytes(leaf0) + kIndexNextPage, leaf2); }},
        {"a leaf names a child tail", false,
         [&](TreeFile& f) { Put32(f.PageBytes(leaf1) + kIndexTailPage, leaf2); }},
        {"a node entry is not its child's last entry", false,
         [&](TreeFile& f) {
             std::uint8_t* p = f.PageBytes(middle);
             p[kIndexDataOffset + 3] ^= 0x01;
         }},
        {"entries out of order within a leaf", false,
         [&](TreeFile& f) {
             Page page;
             std::memcpy(page.data(), f.PageBytes(leaf0), kPageSize);
             IndexPage content = *ParseIndexPage(page);
             std::swap(content.entries[0], content.entries[1]);
             page = *EncodeIndexPage(content, true);
             std::memcpy(f.PageBytes(leaf0), page.data(), kPageSize);
         }},
    };
    for (const Case& c : cases) {
        TreeFile damaged = sound;
        c.damage(damaged);
        auto jet = damaged.Open();
        if (c.raises) {
            EXPECT_EQ(ErrorNumber([&] { ReadIndexTree(*jet, sound.Root(), kOwner); }), errCorrupt)
                << c.what;
        } else {
            const IndexTree read = ReadIndexTree(*jet, sound.Root(), kOwner);
            EXPECT_FALSE(IndexTreeProblems(read).empty()) << c.what;
        }
    }
}

// Catalog trees of a database of ours.
struct CatalogTrees {
    std::vector<std::size_t> pages; // per index: MSysObjects' two, MSysACEs' one
    std::vector<bool> nodeRoot;
};

CatalogTrees Trees(const std::string& path) {
    auto file = JetFile::Open(path, false);
    CatalogTrees out;
    for (const std::uint32_t tdef : {kCatalogPage, std::uint32_t(3)}) {
        const TableInfo table = file->ReadTable(tdef);
        for (const auto& index : table.indexes) {
            const IndexTree tree = ReadIndexTree(*file, index.firstPage, tdef);
            out.pages.push_back(tree.pages.size());
            out.nodeRoot.push_back(!tree.pages.front().content.leaf);
        }
    }
    return out;
}

std::string TableName(int i) {
    char buffer[80];
    std::snprintf(buffer, sizeof buffer, "Quarterly figures of the regional office, part %03d", i);
    return buffer;
}

std::set<std::string> Lines(const std::string& text) {
    std::set<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        lines.insert(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return lines;
}

class JetCatalogTrees : public ::testing::Test {
  protected:
    void AddTables(const std::string& path, int from, int to, int type = dbLong) {
        auto db = Engine().Workspaces(0).OpenDatabase(path);
        for (int i = from; i < to; ++i) {
            TableDef def(TableName(i));
            def.AppendField(def.CreateField("N", type, type == dbText ? 20 : 0));
            db->AppendTableDef(def);
            auto rs = db->OpenRecordset(TableName(i));
            rs->AddNew();
            if (type == dbText)
                rs->SetValue(0, "row " + std::to_string(i));
            else
                rs->SetValue(0, std::int64_t{i});
            rs->Update();
            rs->Close();
        }
        db->Close();
    }
    void Drop(const std::string& path, const std::vector<int>& which) {
        auto db = Engine().Workspaces(0).OpenDatabase(path);
        for (const int i : which)
            db->DeleteTableDef(TableName(i));
        db->Close();
    }
    // Every reader sees exactly `tables`, each with its one row.
    void ExpectReadable(const std::string& path, const std::set<int>& tables) {
        const auto problems = Problems(path);
        EXPECT_TRUE(problems.empty()) << problems.front();
        std::set<std::string> names;
        for (const int i : tables)
            names.insert(TableName(i));
        auto db = Engine().Workspaces(0).OpenDatabase(path);
        const auto listed = db->TableNames();
        EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), names);
        for (const int i : {*tables.begin(), *tables.rbegin()}) {
            auto rs = db->OpenRecordset(TableName(i));
            ASSERT_FALSE(rs->Eof());
            rs->Close();
        }
        db->Close();
        if (HaveTool("mdb-tables")) {
            EXPECT_EQ(Lines(RunTool("mdb-tables -1 '" + path + "'")), names);
            EXPECT_EQ(RunTool("mdb-count '" + path + "' '" + TableName(*tables.rbegin()) + "'"),
                      "1\n");
        }
        const std::string script = std::string(NORVAKEL_JS_READER) + "/dump.mjs";
        if (HaveTool("node") &&
            std::filesystem::exists(std::string(NORVAKEL_JS_READER) + "/node_modules/mdb-reader")) {
            const std::string json = RunTool("node '" + script + "' '" + path + "'");
            for (const std::string& name : names)
                EXPECT_NE(json.find("\"" + name + "\":{\"columns\""), std::string::npos) << name;
            std::size_t rows = 0;
            for (std::size_t at = json.find("\"rowCount\":1,"); at != std::string::npos;
                 at = json.find("\"rowCount\":1,", at + 1))
                ++rows;
            EXPECT_EQ(rows, names.size());
        }
    }
    TempFolder folder;
};

TEST_F(JetCatalogTrees, HundredsOfTablesGrowTheCatalogIndexesIntoTreesAndDropsShrinkThem) {
    const std::string path = folder / "MANY.MDB";
    CreateDatabase(path)->Close();
    const CatalogTrees empty = Trees(path);
    AddTables(path, 0, 450);
    const CatalogTrees grown = Trees(path);
    ASSERT_EQ(grown.pages.size(), 3u);
    for (std::size_t i = 0; i < grown.pages.size(); ++i) {
        EXPECT_EQ(empty.pages[i], 1u);
        EXPECT_GT(grown.pages[i], 2u) << "index " << i;
        EXPECT_TRUE(grown.nodeRoot[i]) << "index " << i;
    }
    std::set<int> tables;
    for (int i = 0; i < 450; ++i)
        tables.insert(i);
    ExpectReadable(path, tables);

    // Dropping most of them, and replacing some by tables of another shape,
    // shrinks the trees; their pages go back to the free-page map (the
    // checker finds every page owned once).
    std::vector<int> dropped;
    for (int i = 0; i < 450; ++i) {
        if (i % 10 != 0) dropped.push_back(i);
    }
    Drop(path, dropped);
    Drop(path, {0, 10, 20});
    AddTables(path, 0, 21, dbText); // 0, 10 and 20 again, and 1 to 9, 11 to 19
    tables.clear();
    for (int i = 0; i < 450; i += 10)
        tables.insert(i);
    for (int i = 0; i <= 20; ++i)
        tables.insert(i);
    ExpectReadable(path, tables);
    const CatalogTrees shrunk = Trees(path);
    for (std::size_t i = 0; i < shrunk.pages.size(); ++i)
        EXPECT_LT(shrunk.pages[i], grown.pages[i]) << "index " << i;

    // Down to a handful: every index is one leaf page again.
    std::vector<int> rest(tables.begin(), tables.end());
    rest.pop_back();
    Drop(path, rest);
    ExpectReadable(path, {440});
    const CatalogTrees small = Trees(path);
    for (std::size_t i = 0; i < small.pages.size(); ++i)
        EXPECT_EQ(small.pages[i], 1u) << "index " << i;
}

// Flips page `page`'s bit in the usage map at row pointer `pointer` of the
// file's bytes, in the inline or the large form.
void FlipMapBit(std::vector<std::uint8_t>& bytes, std::uint32_t pointer, std::uint32_t page) {
    const std::size_t base = std::size_t(pointer >> 8) * kPageSize;
    const std::size_t row =
        base + (Get16(bytes.data() + base + kDataRowTable + 2 * (pointer & 0xFF)) & kRowOffsetMask);
    if (bytes[row] == 0) {
        const std::uint32_t bit = page - Get32(bytes.data() + row + 1);
        bytes[row + 5 + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    } else {
        const std::uint32_t mapPage = Get32(bytes.data() + row + 1 + 4 * (page / kMapPageBits));
        const std::size_t bit = page % kMapPageBits;
        bytes[std::size_t(mapPage) * kPageSize + 4 + bit / 8] ^=
            static_cast<std::uint8_t>(1u << (bit % 8));
    }
}

TEST_F(JetCatalogTrees, TheCheckerFlagsEachDamageToACatalogTree) {
    const std::string path = folder / "SOUND.MDB";
    CreateDatabase(path)->Close();
    AddTables(path, 0, 450);
    ASSERT_TRUE(Problems(path).empty());
    const auto sound = ReadBytes(path);
    TableInfo catalog;
    IndexTree names, ids;
    {
        auto file = JetFile::Open(path, false);
        catalog = file->ReadTable(kCatalogPage);
        names = ReadIndexTree(*file, catalog.indexes[0].firstPage, kCatalogPage);
        ids = ReadIndexTree(*file, catalog.indexes[1].firstPage, kCatalogPage);
    }
    ASSERT_FALSE(names.pages.front().content.leaf);
    const std::uint32_t root = names.pages.front().number;
    const std::uint32_t leaf0 = names.leaves.front(), leaf1 = names.leaves[1];
    const auto at = [](std::uint32_t page) { return std::size_t(page) * kPageSize; };
    const std::vector<Damage> damages{
        {"an index page left out of its index's map",
         [&](auto& b) { FlipMapBit(b, catalog.indexes[0].usedPages, leaf1); }},
        {"an index page marked free", [&](auto& b) { FlipMapBit(b, RowPointer(1, 0), leaf1); }},
        {"the leaf chain cut", [&](auto& b) { Put32(b.data() + at(leaf0) + kIndexNextPage, 0); }},
        {"a node entry that is not its child's last entry",
         [&](auto& b) { b[at(root) + kIndexDataOffset + 6] ^= 0x01; }},
        {"a leaf that lost its first entry",
         [&](auto& b) {
             Page page;
             std::memcpy(page.data(), b.data() + at(leaf0), kPageSize);
             IndexPage content = *ParseIndexPage(page);
             content.entries.erase(content.entries.begin());
             page = *EncodeIndexPage(content, true);
             std::memcpy(b.data() + at(leaf0), page.data(), kPageSize);
         }},
        {"a node that names a page of another index",
         [&](auto& b) {
             std::uint8_t* p = b.data() + at(root);
             std::size_t end = 1;
             while (((p[kIndexMaskOffset + end / 8] >> (end % 8)) & 1) == 0)
                 ++end;
             const std::uint32_t other = ids.leaves.front();
             for (int k = 0; k < 4; ++k)
                 p[kIndexDataOffset + end - 4 + k] =
                     static_cast<std::uint8_t>(other >> (24 - 8 * k));
         }},
        {"a node page turned into a data page", [&](auto& b) { b[at(root)] = pgData; }},
    };
    const std::string damaged = folder / "DAMAGED.MDB";
    ExpectEachDamageFlagged(sound, damages, damaged);
    // Nor does the writer build on a damaged tree: 3049, the file unchanged.
    auto bytes = sound;
    bytes[at(root)] = pgData;
    WriteBytes(damaged, bytes);
    EXPECT_EQ(ErrorNumber([&] { AddTables(damaged, 500, 501); }), errCorrupt);
    EXPECT_EQ(ReadBytes(damaged), bytes);
}

TEST_F(JetCatalogTrees, AnAccessFileTakesHundredsOfTables) {
    if (!HaveSample("empty2003.mdb")) GTEST_SKIP() << "no sample";
    const std::string path = folder / "ACCESS.MDB";
    CopySample("empty2003.mdb", path);
    AddTables(path, 0, 420);
    // The names' index and the permissions' index become trees; the Id index
    // of this file may still fit one leaf page whose entries share a prefix.
    const CatalogTrees grown = Trees(path);
    EXPECT_TRUE(grown.nodeRoot[0]);
    EXPECT_TRUE(grown.nodeRoot[2]);
    std::set<int> tables;
    for (int i = 0; i < 420; ++i)
        tables.insert(i);
    ExpectReadable(path, tables);
}

} // namespace
} // namespace engine::jet
