#include "store/folders.h"
#include "store_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using store_test::TempFolder;

// The message-box lines that unattended mode wrote while `walk` ran.
template <typename Walk> std::string MessagesDuring(Walk walk) {
    testing::internal::CaptureStderr();
    walk();
    return testing::internal::GetCapturedStderr();
}

const char* const FileMessage = "The folder name given exists as a normal file";

TEST(CreateFolderPath, CreatesEveryMissingLevelFromTheTopDown) {
    TempFolder temp;
    EXPECT_TRUE(store::CreateFolderPath(temp.Path() + "New1/New2/Out/"));
    EXPECT_TRUE(fs::is_directory(temp.Path() + "New1/New2/Out"));
    EXPECT_FALSE(fs::exists(temp.Path() + "NEW1")); // folder case is kept
}

TEST(CreateFolderPath, ExistingLevelsAreLeftAsTheyAre) {
    TempFolder temp;
    fs::create_directories(temp.Path() + "a/b");
    store_test::WriteWholeFile(temp.Path() + "a/b/keep.txt", "x");
    EXPECT_TRUE(store::CreateFolderPath(temp.Path() + "a/b/"));
    EXPECT_EQ(store_test::ReadWholeFile(temp.Path() + "a/b/keep.txt"), "x");
    EXPECT_TRUE(store::CreateFolderPath("/"));
}

TEST(CreateFolderPath, ARelativePathStartsInTheCurrentFolder) {
    TempFolder temp;
    const fs::path before = fs::current_path();
    fs::current_path(temp.Path());
    const bool created = store::CreateFolderPath("OUT/SUB/");
    fs::current_path(before);
    EXPECT_TRUE(created);
    EXPECT_TRUE(fs::is_directory(temp.Path() + "OUT/SUB"));
}

TEST(CreateFolderPath, TwoSeparatorsInARowEndTheWalk) {
    TempFolder temp;
    EXPECT_TRUE(store::CreateFolderPath(temp.Path() + "First//Second/"));
    EXPECT_TRUE(fs::is_directory(temp.Path() + "First"));
    EXPECT_FALSE(fs::exists(temp.Path() + "First/Second"));
}

TEST(CreateFolderPath, BlanksAroundALevelAreDropped) {
    TempFolder temp;
    EXPECT_TRUE(store::CreateFolderPath(temp.Path() + " Data /  Sub Folder /"));
    EXPECT_TRUE(fs::is_directory(temp.Path() + "Data/Sub Folder"));
}

TEST(CreateFolderPath, ALevelThatIsAFileIsRefusedWithItsMessage) {
    TempFolder temp;
    store_test::WriteWholeFile(temp.Path() + "plain", "x");
    bool last = true, middle = true;
    std::string lastNotice, middleNotice;
    // The walk only says why; the SAVE shows the notice before its failure.
    const std::string shown = MessagesDuring([&] {
        last = store::CreateFolderPath(temp.Path() + "plain/", &lastNotice);
        middle = store::CreateFolderPath(temp.Path() + "plain/below/", &middleNotice);
    });
    EXPECT_FALSE(last);
    EXPECT_FALSE(middle);
    EXPECT_EQ(lastNotice, FileMessage);
    EXPECT_EQ(middleNotice, FileMessage);
    EXPECT_EQ(shown, "");
    EXPECT_FALSE(fs::exists(temp.Path() + "plain/below"));
}

TEST(CreateFolderPath, LevelsCreatedBeforeAFailureStay) {
    TempFolder temp;
    const std::string tooLong(300, 'x'); // no file system takes a name this long
    EXPECT_FALSE(store::CreateFolderPath(temp.Path() + "Fresh/" + tooLong + "/Deeper/"));
    EXPECT_TRUE(fs::is_directory(temp.Path() + "Fresh"));
}

TEST(CreateFolderPath, AFolderThatCannotBeCreatedFailsWithoutAMessage) {
    bool result = true;
    std::string notice;
    const std::string shown = MessagesDuring(
        [&] { result = store::CreateFolderPath("/proc/nv-no-such-level/sub/", &notice); });
    EXPECT_FALSE(result);
    EXPECT_EQ(notice, "");
    EXPECT_EQ(shown.find(FileMessage), std::string::npos) << shown;
}

} // namespace
