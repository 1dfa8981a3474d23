// Access files as Access and other programs leave them: rows moved off their
// page behind an overflow pointer, usage maps and the free-page map in the
// large form with pointers that name no page, bitmap windows starting
// anywhere, map rows kept on pages of their own. Each file is one of ours,
// changed byte by byte the way such a program would have changed it.
#include "engine/jet/jet_build.h"
#include "engine/jet/jet_test_support.h"
#include "engine/temp_folder.h"

#include <gtest/gtest.h>

#include <set>

namespace engine::jet {
namespace {

using namespace engine::jet::testing;
using engine::testing::TempFolder;

constexpr int kRows = 7;

std::string RowText(int i) {
    return "row " + std::to_string(i) + " of seven";
}

// A database whose table DATA (N Long, T Text, M Memo) holds seven rows on
// one page.
void MakeSeven(const std::string& path) {
    auto db = CreateDatabase(path);
    TableDef def("DATA");
    def.AppendField(def.CreateField("N", dbLong, 0));
    def.AppendField(def.CreateField("T", dbText, 50));
    def.AppendField(def.CreateField("M", dbMemo, 0));
    db->AppendTableDef(def);
    auto rs = db->OpenRecordset("DATA");
    for (int i = 0; i < kRows; ++i) {
        rs->AddNew();
        rs->SetValue(0, std::int64_t{i});
        rs->SetValue(1, RowText(i));
        rs->SetValue(2, std::string(i == 4 ? 3000 : 10, 'm'));
        rs->Update();
    }
    rs->Close();
    db->Close();
}

struct Made {
    std::vector<std::uint8_t> bytes;
    TableInfo table;
    std::uint32_t dataPage = 0;
};

Made Load(const std::string& path) {
    Made made;
    made.bytes = ReadBytes(path);
    auto file = JetFile::Open(path, false);
    for (const CatalogEntry& e : file->ReadCatalog()) {
        if (e.name == "DATA") made.table = file->ReadTable(e.TdefPage());
    }
    const auto pages = file->ReadUsageMap(made.table.usedPages);
    EXPECT_EQ(pages.size(), 1u);
    made.dataPage = pages.at(0);
    return made;
}

std::uint8_t* PageAt(std::vector<std::uint8_t>& bytes, std::uint32_t page) {
    return bytes.data() + std::size_t(page) * kPageSize;
}

std::uint16_t EntryOf(std::vector<std::uint8_t>& bytes, std::uint32_t page, std::uint32_t row) {
    return Get16(PageAt(bytes, page) + kDataRowTable + 2 * row);
}

void SetEntry(std::vector<std::uint8_t>& bytes, std::uint32_t page, std::uint32_t row,
              std::uint16_t entry) {
    Put16(PageAt(bytes, page) + kDataRowTable + 2 * row, entry);
}

std::uint8_t* RowAt(std::vector<std::uint8_t>& bytes, std::uint32_t page, std::uint32_t row) {
    return PageAt(bytes, page) + (EntryOf(bytes, page, row) & kRowOffsetMask);
}

std::size_t RowLength(std::vector<std::uint8_t>& bytes, std::uint32_t page, std::uint32_t row) {
    const std::size_t end = row == 0 ? kPageSize : (EntryOf(bytes, page, row - 1) & kRowOffsetMask);
    return end - (EntryOf(bytes, page, row) & kRowOffsetMask);
}

std::uint32_t AppendPage(std::vector<std::uint8_t>& bytes, const Page& page) {
    const auto number = static_cast<std::uint32_t>(bytes.size() / kPageSize);
    bytes.insert(bytes.end(), page.begin(), page.end());
    return number;
}

// Sets or clears the bit of `page` in the inline usage map at `pointer`.
void SetMapBit(std::vector<std::uint8_t>& bytes, std::uint32_t pointer, std::uint32_t page,
               bool on) {
    std::uint8_t* map = RowAt(bytes, pointer >> 8, pointer & 0xFF);
    ASSERT_EQ(map[0], 0) << "an inline map";
    const std::uint32_t bit = page - Get32(map + 1);
    ASSERT_LT(bit, 64u * 8);
    if (on)
        map[5 + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    else
        map[5 + bit / 8] &= static_cast<std::uint8_t>(~(1u << (bit % 8)));
}

// A new page that holds no rows yet (the end of the file reads as free).
std::uint32_t AppendOwnedPage(std::vector<std::uint8_t>& bytes, const Page& page) {
    const std::uint32_t number = AppendPage(bytes, page);
    SetMapBit(bytes, RowPointer(1, 0), number, false);
    return number;
}

// The values of DATA's column N through the engine, in scan order.
std::vector<std::int64_t> NumbersRead(const std::string& path) {
    std::vector<std::int64_t> numbers;
    auto db = OpenDatabase(path, false, true);
    auto rs = db->OpenRecordset("DATA");
    while (!rs->Eof()) {
        numbers.push_back(std::get<std::int64_t>(rs->GetValue(0)));
        EXPECT_EQ(std::get<std::string>(rs->GetValue(1)),
                  RowText(static_cast<int>(numbers.back())));
        EXPECT_EQ(std::get<std::string>(rs->GetValue(2)).size(), numbers.back() == 4 ? 3000u : 10u);
        rs->MoveNext();
    }
    rs->Close();
    db->Close();
    return numbers;
}

const std::vector<std::int64_t> kAllSeven{0, 1, 2, 3, 4, 5, 6};

// A SAVE of another table into the file works and leaves it sound.
void ExpectSaveWorks(const std::string& path) {
    {
        auto db = Engine().Workspaces(0).OpenDatabase(path);
        TableDef def("MORE");
        def.AppendField(def.CreateField("K", dbLong, 0));
        db->AppendTableDef(def);
        auto rs = db->OpenRecordset("MORE");
        for (int i = 0; i < 50; ++i) {
            rs->AddNew();
            rs->SetValue(0, std::int64_t{i});
            rs->Update();
        }
        rs->Close();
        db->Close();
    }
    EXPECT_EQ(Problems(path), std::vector<std::string>{});
    EXPECT_EQ(NumbersRead(path), kAllSeven);
}

class JetFieldTest : public ::testing::Test {
  public:
    void SetUp() override {
        std::filesystem::remove(path);
        MakeSeven(path);
        made = Load(path);
    }
    // Moves rows `rows` of DATA's page to a new page of the table, leaving
    // an overflow pointer in their place; the moved rows are flagged
    // `movedFlags`, as the row table of their new page says.
    std::uint32_t MoveRows(const std::vector<std::uint32_t>& rows, std::uint16_t movedFlags) {
        DataPageBuilder page(made.table.tdefPage);
        std::vector<std::uint32_t> placed;
        for (const std::uint32_t r : rows) {
            const std::vector<std::uint8_t> row(RowAt(made.bytes, made.dataPage, r),
                                                RowAt(made.bytes, made.dataPage, r) +
                                                    RowLength(made.bytes, made.dataPage, r));
            placed.push_back(page.Add(row.data(), row.size()));
        }
        const std::uint32_t number = AppendOwnedPage(made.bytes, page.Bytes());
        SetMapBit(made.bytes, made.table.usedPages, number, true);
        for (std::size_t k = 0; k < rows.size(); ++k) {
            SetEntry(made.bytes, number, placed[k],
                     EntryOf(made.bytes, number, placed[k]) | movedFlags);
            Put32(RowAt(made.bytes, made.dataPage, rows[k]), RowPointer(number, placed[k]));
            SetEntry(made.bytes, made.dataPage, rows[k],
                     EntryOf(made.bytes, made.dataPage, rows[k]) | kRowOverflow);
        }
        return number;
    }
    void Write() { WriteBytes(path, made.bytes); }
    int OpenError() {
        try {
            NumbersRead(path);
        } catch (const EngineError& e) {
            return e.Number();
        }
        return 0;
    }

    TempFolder folder;
    std::string path = folder / "FIELD.MDB";
    Made made;
};

TEST_F(JetFieldTest, OverflowRowsAreReadWhereTheyWereMoved) {
    // Access marks a moved row deleted on its new page, so that a scan meets
    // it only through its pointer.
    MoveRows({2, 5}, kRowDeleted);
    Write();
    EXPECT_EQ(NumbersRead(path), kAllSeven);
    auto file = JetFile::Open(path, false);
    int scanned = 0;
    file->ScanRows(made.table, [&](const std::uint8_t*, std::size_t) { return ++scanned > 0; });
    EXPECT_EQ(scanned, kRows);
    EXPECT_EQ(std::uint32_t(scanned), made.table.rowCount);
    EXPECT_EQ(Problems(path), std::vector<std::string>{});
    ExpectSaveWorks(path);
}

TEST_F(JetFieldTest, OverflowPointersAreBoundsAndLoopChecked) {
    // A row moved twice is reached through both pointers.
    {
        const std::uint32_t first = MoveRows({3}, kRowDeleted);
        DataPageBuilder page(made.table.tdefPage);
        const std::vector<std::uint8_t> row(RowAt(made.bytes, first, 0),
                                            RowAt(made.bytes, first, 0) +
                                                RowLength(made.bytes, first, 0));
        page.Add(row.data(), row.size());
        const std::uint32_t second = AppendOwnedPage(made.bytes, page.Bytes());
        SetMapBit(made.bytes, made.table.usedPages, second, true);
        SetEntry(made.bytes, second, 0, EntryOf(made.bytes, second, 0) | kRowDeleted);
        Put32(RowAt(made.bytes, first, 0), RowPointer(second, 0));
        SetEntry(made.bytes, first, 0, EntryOf(made.bytes, first, 0) | kRowOverflow);
        Write();
        EXPECT_EQ(NumbersRead(path), kAllSeven);
        EXPECT_EQ(Problems(path), std::vector<std::string>{});
    }
    const std::vector<std::pair<const char*, std::function<void(JetFieldTest&)>>> damages{
        {"points at itself",
         [](JetFieldTest& t) {
             Put32(RowAt(t.made.bytes, t.made.dataPage, 1), RowPointer(t.made.dataPage, 1));
             SetEntry(t.made.bytes, t.made.dataPage, 1,
                      EntryOf(t.made.bytes, t.made.dataPage, 1) | kRowOverflow);
         }},
        {"two rows point at each other",
         [](JetFieldTest& t) {
             const std::uint32_t moved = t.MoveRows({1}, kRowDeleted);
             Put32(RowAt(t.made.bytes, moved, 0), RowPointer(t.made.dataPage, 1));
             SetEntry(t.made.bytes, moved, 0, EntryOf(t.made.bytes, moved, 0) | kRowOverflow);
         }},
        {"past the end of the file",
         [](JetFieldTest& t) {
             t.MoveRows({1}, kRowDeleted);
             Put32(RowAt(t.made.bytes, t.made.dataPage, 1), RowPointer(0x7FFFFF, 0));
         }},
        {"a row its page does not hold",
         [](JetFieldTest& t) {
             const std::uint32_t moved = t.MoveRows({1}, kRowDeleted);
             Put32(RowAt(t.made.bytes, t.made.dataPage, 1), RowPointer(moved, 9));
         }},
        {"a page that is not a data page",
         [](JetFieldTest& t) {
             t.MoveRows({1}, kRowDeleted);
             Put32(RowAt(t.made.bytes, t.made.dataPage, 1), RowPointer(t.made.table.tdefPage, 0));
         }},
    };
    for (const auto& [what, damage] : damages) {
        SetUp();
        damage(*this);
        Write();
        EXPECT_EQ(OpenError(), errCorrupt) << what;
        EXPECT_FALSE(Problems(path).empty()) << what;
    }
}

// Page 1's free-page map in the large form, as Access writes it once a file
// has grown: map page pointers past the first are 0xFFFFFF80.
TEST_F(JetFieldTest, LargeFormFreePageMapWithPointersNamingNoPage) {
    Page mapPage{};
    mapPage[0] = pgUsageMap;
    mapPage[1] = 1;
    const std::uint32_t number = AppendPage(made.bytes, mapPage);
    std::set<std::uint32_t> free;
    {
        auto file = JetFile::FromBytes(made.bytes);
        for (const std::uint32_t p : file->ReadUsageMap(RowPointer(1, 0)))
            if (p != number) free.insert(p);
    }
    std::uint8_t* bits = PageAt(made.bytes, number) + 4;
    for (const std::uint32_t p : free)
        bits[p / 8] |= static_cast<std::uint8_t>(1u << (p % 8));
    // Pages past the end of the file read as free, as Jet marks them.
    for (std::uint32_t p = number + 1; p < number + 100; ++p)
        bits[p / 8] |= static_cast<std::uint8_t>(1u << (p % 8));
    std::uint8_t* row = RowAt(made.bytes, 1, 0);
    ASSERT_GE(RowLength(made.bytes, 1, 0), 69u);
    row[0] = 1;
    Put32(row + 1, number);
    for (std::size_t i = 1; i < 17; ++i)
        Put32(row + 1 + 4 * i, i == 5 ? 0x00FFFFF0u : (i == 9 ? 0u : 0xFFFFFF80u));
    Write();
    {
        auto file = JetFile::Open(path, false);
        const auto pages = file->ReadUsageMap(RowPointer(1, 0));
        EXPECT_EQ(std::set<std::uint32_t>(pages.begin(), pages.end()), free);
        EXPECT_EQ(file->MapPages(RowPointer(1, 0)), std::vector<std::uint32_t>{number});
    }
    EXPECT_EQ(Problems(path), std::vector<std::string>{});
    EXPECT_EQ(NumbersRead(path), kAllSeven);
    ExpectSaveWorks(path);
    // The pointers that named no page were never followed: the file did not grow past them.
    EXPECT_LT(ReadBytes(path).size(), 1u << 20);

    // A page the map names that is not a map page is damage, and a SAVE
    // leaves the file as it was.
    made = Load(path);
    row = RowAt(made.bytes, 1, 0);
    ASSERT_EQ(row[0], 1) << "Access's form is kept";
    EXPECT_EQ(Get32(row + 1), number);
    Put32(row + 1, made.table.tdefPage);
    Write();
    const auto before = ReadBytes(path);
    try {
        auto db = Engine().Workspaces(0).OpenDatabase(path);
        TableDef def("ANOTHER");
        def.AppendField(def.CreateField("K", dbLong, 0));
        db->AppendTableDef(def);
        db->Close();
        ADD_FAILURE() << "no error";
    } catch (const EngineError& e) {
        EXPECT_EQ(e.Number(), errCorrupt);
    }
    EXPECT_EQ(ReadBytes(path), before);
}

TEST_F(JetFieldTest, TableMapsInEitherFormWithWindowsStartingAnywhere) {
    const std::uint32_t pointer = made.table.usedPages;
    const auto rewrite = [&](std::int32_t start, std::vector<std::int64_t> set) {
        made = Load(path);
        std::uint8_t* map = RowAt(made.bytes, pointer >> 8, pointer & 0xFF);
        std::fill(map, map + 69, 0);
        Put32(map + 1, static_cast<std::uint32_t>(start));
        for (const std::int64_t p : set) {
            const std::int64_t bit = p - start;
            map[5 + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
        }
        Write();
    };
    const std::int64_t data = made.dataPage;
    const auto original = made.bytes;
    // A window that starts on an odd page, and one that starts before page
    // 0; bits before page 0 and past the end of the file name no page.
    for (const std::int32_t start : {static_cast<std::int32_t>(data - 3), -16, -300}) {
        WriteBytes(path, original);
        std::vector<std::int64_t> set{data, std::int64_t(original.size() / kPageSize) + 2};
        if (start < 0) set.push_back(start + 1);
        rewrite(start, set);
        EXPECT_EQ(NumbersRead(path), kAllSeven) << start;
        EXPECT_EQ(Problems(path), std::vector<std::string>{}) << start;
    }

    // The large form, its map page a page of its own; the map row itself
    // flagged deleted, which Jet does not look at for a map row.
    WriteBytes(path, original);
    made = Load(path);
    Page mapPage{};
    mapPage[0] = pgUsageMap;
    mapPage[1] = 1;
    mapPage[4 + made.dataPage / 8] |= static_cast<std::uint8_t>(1u << (made.dataPage % 8));
    const std::uint32_t number = AppendOwnedPage(made.bytes, mapPage);
    std::uint8_t* map = RowAt(made.bytes, pointer >> 8, pointer & 0xFF);
    map[0] = 1;
    Put32(map + 1, number);
    for (std::size_t i = 1; i < 17; ++i)
        Put32(map + 1 + 4 * i, 0xFFFFFF80u);
    SetEntry(made.bytes, pointer >> 8, pointer & 0xFF,
             EntryOf(made.bytes, pointer >> 8, pointer & 0xFF) | kRowDeleted);
    Write();
    EXPECT_EQ(NumbersRead(path), kAllSeven);
    EXPECT_EQ(Problems(path), std::vector<std::string>{});
    ExpectSaveWorks(path);
}

// A long-value row is read whatever its flags say, as Jet reads it.
TEST_F(JetFieldTest, LongValueRowsAreReadWhateverTheirFlags) {
    std::set<std::uint32_t> lvalPages;
    {
        auto file = JetFile::FromBytes(made.bytes);
        for (const auto& maps : made.table.longValueMaps)
            for (const std::uint32_t p : file->ReadUsageMap(std::get<1>(maps)))
                lvalPages.insert(p);
    }
    ASSERT_FALSE(lvalPages.empty());
    for (const std::uint32_t p : lvalPages) {
        for (std::uint32_t r = 0; r < Get16(PageAt(made.bytes, p) + kDataRowCount); ++r)
            SetEntry(made.bytes, p, r, EntryOf(made.bytes, p, r) | kRowDeleted);
    }
    Write();
    EXPECT_EQ(NumbersRead(path), kAllSeven);
}

// A SAVE that fails part way closes its database while the error is being
// handled, or leaves it to the stack's unwinding: the changes are given up.
TEST(JetFailedSave, ANewFileNeverAppearsAndAnOldOneKeepsItsBytes) {
    TempFolder folder;
    const std::string path = folder / "SAVE.MDB";
    const auto addRows = [](Database& db, const std::string& table) {
        TableDef def(table);
        def.AppendField(def.CreateField("N", dbLong, 0));
        def.AppendField(def.CreateField("M", dbMemo, 0));
        db.AppendTableDef(def);
        auto rs = db.OpenRecordset(table);
        for (int i = 0; i < 500; ++i) {
            rs->AddNew();
            rs->SetValue(0, std::int64_t{i});
            rs->SetValue(1, std::string(i % 50 == 0 ? 5000 : 20, 'x'));
            rs->Update();
        }
        return rs;
    };
    const auto entries = [&] {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(folder / "."))
            names.push_back(e.path().filename().string());
        return names;
    };
    try {
        auto db = CreateDatabase(path);
        auto rs = addRows(*db, "PART");
        throw EngineError(errCorrupt, "a failure part way");
    } catch (const EngineError&) {
    }
    EXPECT_EQ(entries(), std::vector<std::string>{}) << "unwinding";
    {
        auto db = CreateDatabase(path);
        try {
            auto rs = addRows(*db, "PART");
            throw EngineError(errCorrupt, "a failure part way");
        } catch (const EngineError&) {
            db->Close();
        }
    }
    EXPECT_EQ(entries(), std::vector<std::string>{}) << "closed in the handler";

    MakeSeven(path);
    const auto before = ReadBytes(path);
    {
        auto db = Engine().Workspaces(0).OpenDatabase(path);
        try {
            db->DeleteTableDef("DATA");
            auto rs = addRows(*db, "DATA");
            throw EngineError(errCorrupt, "a failure part way");
        } catch (const EngineError&) {
            db->Close();
        }
    }
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_EQ(entries(), std::vector<std::string>{"SAVE.MDB"});
    // A SAVE that ends well still commits.
    {
        auto db = Engine().Workspaces(0).OpenDatabase(path);
        addRows(*db, "MORE")->Close();
        db->Close();
    }
    EXPECT_NE(ReadBytes(path), before);
    EXPECT_EQ(Problems(path), std::vector<std::string>{});
}

} // namespace
} // namespace engine::jet
