// The engine facing names and paths that come from a transfer file.
#include "engine/engine.h"
#include "temp_folder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace engine {
namespace {

using testing::TempFolder;

EngineError Raised(const std::function<void()>& action) {
    try {
        action();
    } catch (const EngineError& e) {
        return e;
    }
    return EngineError(0, "");
}

TEST(UntrustedInput, APathWithANulIsInvalidAndItsDescriptionKeepsItWhole) {
    TempFolder folder;
    const std::string cut = folder / std::string("EVIL\0.MDB", 9);
    const EngineError created =
        Raised([&] { Engine().Workspaces(0).CreateDatabase(cut, dbLangGeneral, dbVersion20); });
    EXPECT_EQ(created.Number(), errInvalidPath);
    EXPECT_NE(created.Description().find(std::string("EVIL\0.MDB", 9)), std::string::npos)
        << "the description is not cut at the NUL";
    EXPECT_EQ(Raised([&] { Engine().Workspaces(0).OpenDatabase(cut); }).Number(), errInvalidPath);
    struct stat st {};
    EXPECT_NE(::stat((folder / "EVIL").c_str(), &st), 0) << "no file under the cut name";
}

TEST(UntrustedInput, ATableDefinitionStopsAtItsFieldLimit) {
    TableDef def("T");
    for (int i = 0; i < MaxFields; ++i)
        def.AppendField(def.CreateField("F" + std::to_string(i), dbLong, 4));
    const EngineError e = Raised([&] { def.AppendField(def.CreateField("ONE_MORE", dbLong, 4)); });
    EXPECT_EQ(e.Number(), errTooManyFields);
    EXPECT_EQ(def.FieldCount(), MaxFields);
}

TEST(UntrustedInput, DestinationsKeepARollbackJournalAndTheirOtherTables) {
    TempFolder folder;
    const std::string path = folder / "DEST.MDB";
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    sqlite3_exec(raw,
                 "PRAGMA journal_mode=WAL; CREATE TABLE KEEP (A); INSERT INTO KEEP VALUES (1);",
                 nullptr, nullptr, nullptr);
    sqlite3_close(raw);

    auto db = Engine().Workspaces(0).OpenDatabase(path);
    TableDef def = db->CreateTableDef("NEW");
    def.AppendField(def.CreateField("X", dbLong, 4));
    db->AppendTableDef(def);
    db->Close();

    struct stat st {};
    EXPECT_NE(::stat((path + "-wal").c_str(), &st), 0) << "no write-ahead log is left";
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(raw, "PRAGMA journal_mode", -1, &s, nullptr);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "delete");
    sqlite3_finalize(s);
    sqlite3_prepare_v2(raw, "SELECT count(*) FROM KEEP", -1, &s, nullptr);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(s, 0), 1);
    sqlite3_finalize(s);
    sqlite3_close(raw);
}

TEST(UntrustedInput, AnExistingDatabaseBehindAnotherUsersLinkIsNotOpened) {
    if (::geteuid() != 0) GTEST_SKIP() << "making another user's link needs root";
    TempFolder folder;
    auto victim =
        Engine().Workspaces(0).CreateDatabase(folder / "VICTIM.MDB", dbLangGeneral, dbVersion20);
    victim->Close();
    ASSERT_EQ(::symlink((folder / "VICTIM.MDB").c_str(), (folder / "OUT.MDB").c_str()), 0);
    ASSERT_EQ(::lchown((folder / "OUT.MDB").c_str(), 65534, 65534), 0);
    const EngineError e = Raised([&] { Engine().Workspaces(0).OpenDatabase(folder / "OUT.MDB"); });
    EXPECT_EQ(e.Number(), errCannotOpenFile);
    EXPECT_NE(e.Description().find("link that another user made"), std::string::npos);
    // The user's own link is followed.
    ASSERT_EQ(::lchown((folder / "OUT.MDB").c_str(), ::geteuid(), ::getegid()), 0);
    Engine().Workspaces(0).OpenDatabase(folder / "OUT.MDB")->Close();
}

} // namespace
} // namespace engine
