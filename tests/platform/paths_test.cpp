#include "platform/paths.h"

#include <gtest/gtest.h>

TEST(FolderOf, IsThePartBeforeTheLastSeparator) {
    EXPECT_EQ(platform::FolderOf("/tmp/work/SALES.MDB"), "/tmp/work");
    EXPECT_EQ(platform::FolderOf("/tmp/work/"), "/tmp/work");
    EXPECT_EQ(platform::FolderOf("/SALES.MDB"), "/");
    EXPECT_EQ(platform::FolderOf("SALES.MDB"), ".");
    EXPECT_EQ(platform::FolderOf("out/SALES.MDB"), "out");
}
