// A table of a folder format (dBASE, FoxPro, Paradox) replaced in a session:
// the old files stay whole until the new ones are complete and take their
// names at the end, and a session killed on the way leaves the old table to
// come back at the next writer's open.
#include "engine/driver.h"
#include "engine/engine.h"
#include "engine/engine_errors.h"
#include "engine/engine_rows.h"
#include "engine/temp_folder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

namespace engine {
namespace {

using testing::AddRow;
using testing::ErrorNumber;
using testing::ReadAll;
using testing::TempFolder;

struct Format {
    const char* connect;
    const char* table; // the table's file
    const char* memo;  // its memo file
};

const Format kFormats[] = {
    {"Dbase IV;", "ORDERS.DBF", "ORDERS.DBT"},
    {"FoxPro 2.6;", "ORDERS.DBF", "ORDERS.FPT"},
    {"Paradox 4.X;", "ORDERS.DB", "ORDERS.MB"},
};

std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Every file of the folder and its bytes.
std::map<std::string, std::string> Files(const TempFolder& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder / ""))
        files[entry.path().filename().string()] = Bytes(entry.path().string());
    return files;
}

std::unique_ptr<Database> Open(const TempFolder& folder, const Format& format) {
    return Engine().Workspaces(0).OpenDatabase(folder / "", true, false, format.connect);
}

void CreateOrders(Database& db) {
    TableDef def = db.CreateTableDef("ORDERS");
    def.AppendField(def.CreateField("ID", dbLong, 4));
    def.AppendField(def.CreateField("NOTE", dbMemo, 0));
    db.AppendTableDef(def);
}

// A note long enough to go to the memo file in every format.
std::string Note(const std::string& text) {
    return text + std::string(300, '.');
}

void AddOrders(Database& db, int first, int count, const std::string& note) {
    auto rs = db.OpenRecordset("ORDERS");
    for (int i = first; i < first + count; ++i)
        AddRow(*rs, {std::int64_t{i}, Note(note)});
    rs->Close();
}

class Replacing : public ::testing::TestWithParam<Format> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder.Valid());
        auto db = Open(folder, GetParam());
        CreateOrders(*db);
        AddOrders(*db, 1, 3, "old");
        db->Close();
        before = Files(folder);
        ASSERT_EQ(before.count(GetParam().memo), 1u);
    }
    TempFolder folder;
    std::map<std::string, std::string> before;
};

TEST_P(Replacing, TheOldFilesStayWholeUntilTheNewTableTakesTheirNames) {
    auto db = Open(folder, GetParam());
    db->DeleteTableDef("orders");
    // Deleted, the table is gone from its name at once.
    EXPECT_FALSE(std::filesystem::exists(folder / GetParam().table));
    EXPECT_EQ(ErrorNumber([&] { db->OpenRecordset("ORDERS"); }), errTableNotFound);
    CreateOrders(*db);
    AddOrders(*db, 10, 2, "new");
    // The session sees its new table; the folder does not hold it yet.
    EXPECT_EQ(db->TableNames(), std::vector<std::string>{"ORDERS"});
    EXPECT_EQ(ReadAll(*db, "ORDERS").size(), 2u);
    EXPECT_EQ(ErrorNumber([&] { CreateOrders(*db); }), errTableExists);
    EXPECT_FALSE(std::filesystem::exists(folder / GetParam().table));
    db->Close();

    const auto after = Files(folder);
    EXPECT_EQ(after.size(), 2u) << "only the table and its memo file, nothing hidden";
    EXPECT_NE(after.at(GetParam().table), before.at(GetParam().table));
    auto reopened = Open(folder, GetParam());
    const auto rows = ReadAll(*reopened, "ORDERS");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][1], Value(Note("new")));
}

TEST_P(Replacing, ATableDeletedAndNotReplacedIsGoneAfterTheSession) {
    auto db = Open(folder, GetParam());
    db->DeleteTableDef("ORDERS");
    EXPECT_TRUE(db->TableNames().empty());
    db->Close();
    EXPECT_TRUE(Files(folder).empty());
}

TEST_P(Replacing, ANewTableDeletedAgainInTheSessionLeavesNothing) {
    auto db = Open(folder, GetParam());
    db->DeleteTableDef("ORDERS");
    CreateOrders(*db);
    AddOrders(*db, 10, 2, "new");
    db->DeleteTableDef("ORDERS");
    EXPECT_EQ(ErrorNumber([&] { db->DeleteTableDef("ORDERS"); }), errItemNotFound);
    db->Close();
    EXPECT_TRUE(Files(folder).empty());
}

// The child process replaces the table and is killed before its session ends.
void KilledWhileReplacing(const TempFolder& folder, const Format& format, bool afterDelete) {
    const pid_t child = ::fork();
    if (child == 0) {
        try {
            auto db = Open(folder, format);
            db->DeleteTableDef("ORDERS");
            if (!afterDelete) {
                CreateOrders(*db);
                AddOrders(*db, 10, 500, "new");
            }
            // Killed with the session open, as a SAVE stopped by force.
            ::kill(::getpid(), SIGKILL);
        } catch (...) {
            ::_exit(3);
        }
        ::_exit(4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child failed with " << WEXITSTATUS(status);
}

TEST_P(Replacing, AKilledReplacementLeavesTheOldTableToComeBack) {
    for (bool afterDelete : {true, false}) {
        SCOPED_TRACE(afterDelete ? "killed after the deletion" : "killed while writing");
        KilledWhileReplacing(folder, GetParam(), afterDelete);
        // No torn table under the name; the old one is hidden beside it.
        const auto left = Files(folder);
        if (left.count(GetParam().table) != 0) {
            EXPECT_EQ(left.at(GetParam().table), before.at(GetParam().table));
        }
        // The next writer puts it back, and clears what the killed one wrote.
        auto db = Open(folder, GetParam());
        EXPECT_EQ(Files(folder), before);
        EXPECT_EQ(ReadAll(*db, "ORDERS").size(), 3u);
        db->Close();
    }
}

TEST_P(Replacing, AKillBetweenTheMemoAndTheTableLeavesTheOldPair) {
    // What a replacement killed between its two renames leaves: the new memo
    // file under its name, the old files set aside, the new table hidden.
    TempFolder other;
    ASSERT_TRUE(other.Valid());
    {
        auto db = Open(other, GetParam());
        CreateOrders(*db);
        AddOrders(*db, 10, 40, "new");
        db->Close();
    }
    const std::string table = GetParam().table, memo = GetParam().memo;
    std::filesystem::rename(folder / table, folder / ("." + table + ".old"));
    std::filesystem::rename(folder / memo, folder / ("." + memo + ".old"));
    std::filesystem::copy_file(other / memo, folder / memo);
    std::filesystem::copy_file(other / table, folder / ("." + table + ".Ab12Cd"));
    auto db = Open(folder, GetParam());
    EXPECT_EQ(Files(folder), before);
    const auto rows = ReadAll(*db, "ORDERS");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2][1], Value(Note("old")));
}

TEST_P(Replacing, AnotherSessionLeavesALiveReplacementAlone) {
    auto writer = Open(folder, GetParam());
    writer->DeleteTableDef("ORDERS");
    CreateOrders(*writer);
    AddOrders(*writer, 10, 2, "new");
    // A second session of this process that opens the folder to write sees
    // the writer alive: nothing of it is put back or removed.
    auto other = Open(folder, GetParam());
    other->Close();
    writer->Close();
    auto reopened = Open(folder, GetParam());
    EXPECT_EQ(ReadAll(*reopened, "ORDERS").size(), 2u);
    EXPECT_EQ(Files(folder).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Formats, Replacing, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<Format>& info) {
                             std::string name = info.param.connect;
                             std::erase_if(name, [](char c) { return !std::isalnum(c); });
                             return name;
                         });

// ---- What the drivers say of their files -------------------------------------------

TEST(DriverFiles, EachDriverNamesItsExtensionsAndSideFiles) {
    using Role = SideFile::Role;
    Driver* xbase = FindDriver("Dbase IV;");
    ASSERT_NE(xbase, nullptr);
    EXPECT_EQ(xbase->DatabaseKind(), Driver::Kind::Folder);
    EXPECT_EQ(xbase->FileExtensions(), std::vector<std::string>{"DBF"});
    EXPECT_EQ(xbase->SideFileNames("/out/ORDERS.DBF", Role::Memo),
              (std::vector<std::string>{"/out/ORDERS.DBT", "/out/ORDERS.FPT"}));
    EXPECT_TRUE(xbase->SideFileNames("/out/ORDERS.DBF", Role::Journal).empty());

    Driver* paradox = FindDriver("Paradox 3.X;");
    ASSERT_NE(paradox, nullptr);
    EXPECT_EQ(paradox->FileExtensions(), std::vector<std::string>{"DB"});
    EXPECT_EQ(paradox->SideFileNames("P.DB", Role::Memo), std::vector<std::string>{"P.MB"});

    Driver* excel = FindDriver("Excel 3.0;");
    ASSERT_NE(excel, nullptr);
    EXPECT_EQ(excel->DatabaseKind(), Driver::Kind::File);
    EXPECT_EQ(excel->FileExtensions(), std::vector<std::string>{"XLS"});

    // The native format: its rollback journal follows the whole name.
    Driver* native = FindDriver("");
    EXPECT_EQ(native->SideFileNames("/w/UNTITLED.MDB", Role::Journal),
              std::vector<std::string>{"/w/UNTITLED.MDB-journal"});
}

TEST(DriverFiles, FilesAreRecognisedByNameInAnyCase) {
    EXPECT_EQ(DriverForFileName("/r/orders.dbf"), FindDriver("FoxPro 2.0;"));
    EXPECT_EQ(DriverForFileName("/r/T.Db"), FindDriver("Paradox 4.X;"));
    EXPECT_EQ(DriverForFileName("BOOK.XLS"), FindDriver("Excel 5.0;"));
    // Told apart by content, not by name; and formats no driver reads here.
    EXPECT_EQ(DriverForFileName("/r/SHOP.MDB"), nullptr);
    EXPECT_EQ(DriverForFileName("/r/DICT.DDF"), nullptr);
    EXPECT_EQ(DriverForFileName("/r.dbf/NOEXT"), nullptr);
    EXPECT_FALSE(FindDriver("Dbase III;")->RecognizesName("/r/ORDERS.DBF.Ab12Cd"));
}

TEST(DriverFiles, SideFilesThatExistAreFoundInAnyCaseAndByPattern) {
    TempFolder folder;
    ASSERT_TRUE(folder.Valid());
    for (const char* name : {"t.mb", "T.PX", "T.X01", "T.Yab", "T.XYZ!", "T.X0", "U.PX", "T.DBT"})
        testing::WriteFile(folder / name, "x");
    std::filesystem::create_directory(folder / "T.X02");
    Driver* paradox = FindDriver("Paradox 4.X;");
    auto index = paradox->ExistingSideFiles(folder / "T.DB", SideFile::Role::Index);
    std::sort(index.begin(), index.end());
    EXPECT_EQ(index,
              (std::vector<std::string>{folder / "T.PX", folder / "T.X01", folder / "T.Yab"}));
    EXPECT_EQ(paradox->ExistingSideFiles(folder / "T.DB", SideFile::Role::Memo),
              std::vector<std::string>{folder / "t.mb"});
    EXPECT_EQ(FindDriver("Dbase III;")->ExistingSideFiles(folder / "t.dbf", SideFile::Role::Memo),
              std::vector<std::string>{folder / "T.DBT"});
}

} // namespace
} // namespace engine
