#include "platform/datafile.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cerrno>
#include <fstream>
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

} // namespace
