#include "platform/datafile.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform;

namespace {

std::string PathIn(const QTemporaryDir& dir, const std::string& name) {
    return dir.path().toStdString() + "/" + name;
}

TEST(DataFiles, ANewFileIsNeverAnExistingOneOrALinksTarget) {
    QTemporaryDir dir;
    const std::string target = PathIn(dir, "target");
    std::ofstream(target) << "keep";
    ASSERT_EQ(::symlink(target.c_str(), PathIn(dir, "link").c_str()), 0);
    DataFile file;
    EXPECT_EQ(file.Open(target, DataFile::Mode::CreateNew), EEXIST);
    EXPECT_NE(file.Open(PathIn(dir, "link"), DataFile::Mode::CreateNew), 0);
    EXPECT_NE(file.Open(dir.path().toStdString(), DataFile::Mode::Read), 0); // a folder

    ASSERT_EQ(file.Open(PathIn(dir, "new"), DataFile::Mode::CreateNew), 0);
    EXPECT_EQ(file.WriteAt(3, "abc", 3), 0);
    EXPECT_EQ(file.Size(), 6);
    char buffer[8] = {};
    EXPECT_EQ(file.ReadAt(2, buffer, sizeof buffer), 4); // short at the end
    EXPECT_EQ(std::string(buffer, 4), std::string("\0abc", 4));
}

TEST(DataFiles, CreateOrOpenKeepsTheFileAndRefusesALink) {
    QTemporaryDir dir;
    const std::string target = PathIn(dir, "T.DB");
    std::ofstream(target) << "old";
    ASSERT_EQ(::symlink(target.c_str(), PathIn(dir, "link").c_str()), 0);
    DataFile file;
    EXPECT_EQ(file.Open(PathIn(dir, "link"), DataFile::Mode::CreateOrOpen), ELOOP);
    EXPECT_FALSE(file.IsOpen());

    // An existing file is opened as it is, to be emptied once it is locked.
    DataFile other;
    ASSERT_EQ(other.Open(target, DataFile::Mode::Read), 0);
    ASSERT_TRUE(other.TryLock(DataFile::Lock::Shared));
    ASSERT_EQ(file.Open(target, DataFile::Mode::CreateOrOpen), 0);
    EXPECT_EQ(file.Size(), 3);
    EXPECT_FALSE(file.TryLock(DataFile::Lock::Exclusive));
    other.Close();
    ASSERT_TRUE(file.TryLock(DataFile::Lock::Exclusive));
    EXPECT_EQ(file.Truncate(0), 0);
    EXPECT_EQ(file.WriteAt(0, "new", 3), 0);
    file.Close();
    std::string text;
    std::ifstream(target) >> text;
    EXPECT_EQ(text, "new");

    ASSERT_EQ(file.Open(PathIn(dir, "fresh"), DataFile::Mode::CreateOrOpen), 0);
    EXPECT_EQ(file.Size(), 0);
}

TEST(DataFiles, LocksKeepOtherWritersAndDeletionsOut) {
    QTemporaryDir dir;
    const std::string path = PathIn(dir, "T.DBF");
    std::ofstream(path) << "x";
    DataFile reader, writer;
    ASSERT_EQ(reader.Open(path, DataFile::Mode::Read), 0);
    ASSERT_EQ(writer.Open(path, DataFile::Mode::ReadWrite), 0);
    EXPECT_TRUE(reader.TryLock(DataFile::Lock::Shared));
    EXPECT_FALSE(writer.TryLock(DataFile::Lock::Exclusive));
    EXPECT_EQ(DeleteUnlockedFile(path), EBUSY);
    reader.Close();
    EXPECT_TRUE(writer.TryLock(DataFile::Lock::Exclusive));
    EXPECT_EQ(DeleteUnlockedFile(path), EBUSY);
    writer.Close();
    EXPECT_EQ(DeleteUnlockedFile(path), 0);
    EXPECT_EQ(DeleteUnlockedFile(path), ENOENT);
}

std::string Text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The hidden entries of a folder.
std::vector<std::string> Hidden(const QTemporaryDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path().toStdString())) {
        const std::string name = entry.path().filename().string();
        if (name[0] == '.') names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(DataFiles, RangeLocksAreTheirOwnKindAndConflictBetweenOpens) {
    QTemporaryDir dir;
    const std::string path = PathIn(dir, "OUT.LDB");
    std::ofstream(path) << "";
    DataFile first, second;
    ASSERT_EQ(first.Open(path, DataFile::Mode::ReadWriteNoFollow), 0);
    ASSERT_EQ(second.Open(path, DataFile::Mode::ReadWrite), 0);
    EXPECT_TRUE(first.TryLockRange(DataFile::Lock::Exclusive));
    EXPECT_FALSE(second.TryLockRange(DataFile::Lock::Shared));
    EXPECT_TRUE(second.TryLock(DataFile::Lock::Exclusive)); // the other kind is free
    first.Close();
    EXPECT_TRUE(second.TryLockRange(DataFile::Lock::Exclusive));
}

TEST(DataFiles, CopiesSyncsAndDescribes) {
    QTemporaryDir dir;
    const std::string from = PathIn(dir, "from"), to = PathIn(dir, "to");
    std::ofstream(from) << std::string(100000, 'a') << "end";
    DataFile source, copy;
    ASSERT_EQ(source.Open(from, DataFile::Mode::Read), 0);
    const mode_t mask = ::umask(077);
    ASSERT_EQ(copy.Open(to, DataFile::Mode::CreateNew, 0640), 0);
    ::umask(mask);
    ASSERT_EQ(copy.CopyFrom(source, 100003), 0);
    EXPECT_EQ(copy.Sync(), 0);
    EXPECT_EQ(Text(to), Text(from));
    const auto info = copy.Describe();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->size, 100003);
    EXPECT_TRUE(info->ownedByMe);
    EXPECT_EQ(ModeOf(to), 0600u); // the umask applies
    EXPECT_FALSE(DescribePath(PathIn(dir, "none")));
}

TEST(Replacements, TheOldFileStaysUntilTheNewOneIsComplete) {
    QTemporaryDir dir;
    const std::string target = PathIn(dir, "BOOK.XLS");
    std::ofstream(target) << "old";
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    DataFile file;
    Replacement replacement;
    ASSERT_EQ(replacement.Begin(target, file), 0);
    ASSERT_EQ(Hidden(dir).size(), 1u);
    EXPECT_EQ(Hidden(dir)[0].rfind(".BOOK.XLS.", 0), 0u);
    EXPECT_EQ(PathIn(dir, Hidden(dir)[0]), replacement.HiddenPath());
    // Another writer's clean-up leaves a live replacement alone.
    EXPECT_EQ(RemoveLeftovers(target), 0);
    ASSERT_EQ(file.WriteAt(0, "new!", 4), 0);
    EXPECT_EQ(Text(target), "old");
    ASSERT_EQ(file.Sync(), 0);
    ASSERT_EQ(replacement.MoveIntoPlace(), 0);
    EXPECT_EQ(Text(target), "new!");
    EXPECT_EQ(ModeOf(target), 0640u);
    EXPECT_TRUE(Hidden(dir).empty());
    EXPECT_FALSE(replacement.Active());
}

TEST(Replacements, AGivenUpReplacementLeavesTheOldFileAndNothingElse) {
    QTemporaryDir dir;
    const std::string target = PathIn(dir, "T.DBF");
    std::ofstream(target) << "old";
    {
        DataFile file;
        Replacement replacement;
        ASSERT_EQ(replacement.Begin(target, file), 0);
        file.WriteAt(0, "half", 4);
    } // not moved into place
    EXPECT_EQ(Text(target), "old");
    EXPECT_TRUE(Hidden(dir).empty());
}

TEST(Replacements, ANewFileMayRefuseToReplaceOneThatAppeared) {
    QTemporaryDir dir;
    const std::string target = PathIn(dir, "NEW.MDB");
    DataFile file;
    Replacement replacement;
    const mode_t mask = ::umask(027);
    ASSERT_EQ(replacement.Begin(target, file, 0664), 0);
    ::umask(mask);
    EXPECT_EQ(ModeOf(replacement.HiddenPath()), 0640u);
    std::ofstream(target) << "someone else's";
    EXPECT_EQ(replacement.MoveIntoPlace(true), EEXIST);
    EXPECT_EQ(Text(target), "someone else's");
    replacement.Abandon();
    EXPECT_TRUE(Hidden(dir).empty());
}

TEST(Replacements, ALinkAtTheNameIsReplacedNotFollowed) {
    QTemporaryDir dir;
    const std::string elsewhere = PathIn(dir, "elsewhere");
    std::ofstream(elsewhere) << "keep";
    const std::string target = PathIn(dir, "T.XLS");
    ASSERT_EQ(::symlink(elsewhere.c_str(), target.c_str()), 0);
    DataFile file;
    Replacement replacement;
    ASSERT_EQ(replacement.Begin(target, file), 0);
    file.WriteAt(0, "new", 3);
    ASSERT_EQ(replacement.MoveIntoPlace(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(target));
    EXPECT_EQ(Text(target), "new");
    EXPECT_EQ(Text(elsewhere), "keep");
}

TEST(Replacements, SeveralMoveTogetherInTheirOrder) {
    QTemporaryDir dir;
    const std::string table = PathIn(dir, "T.DBF"), memo = PathIn(dir, "T.DBT");
    std::ofstream(table) << "old table";
    DataFile tableFile, memoFile;
    Replacement tableNew, memoNew;
    ASSERT_EQ(tableNew.Begin(table, tableFile), 0);
    ASSERT_EQ(memoNew.Begin(memo, memoFile), 0);
    tableFile.WriteAt(0, "table", 5);
    memoFile.WriteAt(0, "memo", 4);
    ASSERT_EQ(MoveIntoPlaceTogether({{&memoNew, &memoFile}, {&tableNew, &tableFile}}), 0);
    EXPECT_EQ(Text(table), "table");
    EXPECT_EQ(Text(memo), "memo");
    EXPECT_TRUE(Hidden(dir).empty());
}

TEST(Replacements, LeftoversOfKilledWritersGoAndNothingElse) {
    QTemporaryDir dir;
    const std::string target = PathIn(dir, "SHOP.MDB");
    for (const char* name : {".SHOP.MDB.Ab12Cd", ".SHOP.MDB.zz99zz", ".SHOP.MDB.ab12",
                             ".SHOP.MDB.ab12c!", ".OTHER.MDB.Ab12Cd", "SHOP.MDB.Ab12Cd"})
        std::ofstream(PathIn(dir, name)) << "x";
    ASSERT_EQ(
        ::symlink(PathIn(dir, "SHOP.MDB.Ab12Cd").c_str(), PathIn(dir, ".SHOP.MDB.LinkXX").c_str()),
        0);
    // One still written by a live writer.
    DataFile live;
    Replacement replacement;
    ASSERT_EQ(replacement.Begin(target, live), 0);
    const std::string liveName = replacement.HiddenPath().substr(dir.path().size() + 1);
    // `belongs` has the last word.
    EXPECT_EQ(RemoveLeftovers(target, [](const DataFile& f) { return f.Size() > 1; }), 0);
    EXPECT_EQ(RemoveLeftovers(target), 2);
    std::vector<std::string> kept{".OTHER.MDB.Ab12Cd", ".SHOP.MDB.LinkXX", ".SHOP.MDB.ab12",
                                  ".SHOP.MDB.ab12c!", liveName};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(Hidden(dir), kept);
}

TEST(SetAsideFiles, AFileSetAsideIsDiscardedOrComesBack) {
    QTemporaryDir dir;
    const std::string path = PathIn(dir, "T.DB");
    std::ofstream(path) << "old";
    {
        SetAside old;
        ASSERT_EQ(old.Begin(path), 0);
        EXPECT_FALSE(std::filesystem::exists(path));
        EXPECT_EQ(Hidden(dir), std::vector<std::string>{".T.DB.old"});
        old.Restore();
        EXPECT_EQ(Text(path), "old");
        ASSERT_EQ(old.Begin(path), 0);
        old.Discard();
        EXPECT_FALSE(std::filesystem::exists(path));
        EXPECT_TRUE(Hidden(dir).empty());
    }
    std::ofstream(path) << "old";
    {
        SetAside old;
        ASSERT_EQ(old.Begin(path), 0);
        std::ofstream(path) << "new";
    } // a new file took the name: the old one goes
    EXPECT_EQ(Text(path), "new");
    EXPECT_TRUE(Hidden(dir).empty());
    {
        std::filesystem::remove(path);
        std::ofstream(path) << "old";
        SetAside old;
        ASSERT_EQ(old.Begin(path), 0);
    } // ended without a word: it comes back
    EXPECT_EQ(Text(path), "old");

    DataFile user;
    ASSERT_EQ(user.Open(path, DataFile::Mode::Read), 0);
    ASSERT_TRUE(user.TryLock(DataFile::Lock::Shared));
    SetAside held;
    EXPECT_EQ(held.Begin(path), EWOULDBLOCK);
    EXPECT_EQ(Text(path), "old");
    EXPECT_EQ(held.Begin(PathIn(dir, "none")), ENOENT);
}

TEST(SetAsideFiles, RecoveryPutsBackWhatAKilledWriterLeftAndClearsItsWork) {
    QTemporaryDir dir;
    const auto write = [&](const char* name, const char* text) {
        std::ofstream(PathIn(dir, name)) << text;
    };
    write(".A.DBF.old", "old a");      // killed after setting it aside
    write(".A.DBF.Xy12Zw", "half a");  // and while writing the new one
    write(".B.DBT.old", "old b memo"); // the new one took the name already
    write("B.DBT", "new b memo");
    write(".C.TXT.old", "not ours");
    write(".D.DBF.old", "live");
    SetAside live; // a live writer's, under its lock
    write("E.DBF", "e");
    ASSERT_EQ(live.Begin(PathIn(dir, "E.DBF")), 0);
    RecoverFolder(dir.path().toStdString(), [](const std::string& name) {
        return name.size() > 4 && name.compare(name.size() - 4, 4, ".TXT") != 0;
    });
    EXPECT_EQ(Text(PathIn(dir, "A.DBF")), "old a");
    EXPECT_EQ(Text(PathIn(dir, "B.DBT")), "new b memo");
    EXPECT_EQ(Text(PathIn(dir, "D.DBF")), "live"); // nobody holds it: its writer is gone
    EXPECT_FALSE(std::filesystem::exists(PathIn(dir, "E.DBF")));
    EXPECT_EQ(Hidden(dir), (std::vector<std::string>{".C.TXT.old", ".E.DBF.old"}));
}

TEST(SetAsideFiles, AnOldSetWhoseMainFileWasNotReplacedComesBackWhole) {
    QTemporaryDir dir;
    const auto write = [&](const char* name, const char* text) {
        std::ofstream(PathIn(dir, name)) << text;
    };
    // Killed between the two renames: the new memo took its name, the new
    // table did not.
    write(".T.DBF.old", "old table");
    write(".T.DBT.old", "old memo");
    write("T.DBT", "new memo");
    write(".T.DBF.Qw12Er", "new table");
    // Killed after both: the new set stays.
    write(".U.DBF.old", "old table");
    write(".U.DBT.old", "old memo");
    write("U.DBF", "new table");
    write("U.DBT", "new memo");
    const auto partOf = [](const std::string& name, const std::string& main) {
        return main.size() > 4 && name == main.substr(0, main.size() - 4) + ".DBT";
    };
    RecoverFolder(
        dir.path().toStdString(), [](const std::string&) { return true; }, partOf);
    EXPECT_EQ(Text(PathIn(dir, "T.DBF")), "old table");
    EXPECT_EQ(Text(PathIn(dir, "T.DBT")), "old memo");
    EXPECT_EQ(Text(PathIn(dir, "U.DBF")), "new table");
    EXPECT_EQ(Text(PathIn(dir, "U.DBT")), "new memo");
    EXPECT_TRUE(Hidden(dir).empty());
}

} // namespace
