#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

TEST(Library, MissingDamagedAndFound) {
    char dir[] = "/tmp/nv-lib-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string folder = dir;

    platform::Library missing = platform::LoadLibrary("libnone.so", {folder, ""});
    EXPECT_EQ(missing.handle, nullptr);
    EXPECT_TRUE(missing.notFound);

    // A file of that name that is not a library: found, but damaged.
    std::ofstream(folder + "/libbad.so") << "not an ELF file";
    platform::Library damaged = platform::LoadLibrary("libbad.so", {"/nonexistent", folder});
    EXPECT_EQ(damaged.handle, nullptr);
    EXPECT_FALSE(damaged.notFound);
    EXPECT_FALSE(damaged.error.empty());
    EXPECT_EQ(platform::LibrarySymbol(damaged, "anything"), nullptr);

    // Only the folders given are searched, never the loader's own path.
    platform::Library system = platform::LoadLibrary("libc.so.6", {folder});
    EXPECT_TRUE(system.notFound);
    platform::Library libc = platform::LoadLibrary("libc.so.6", {"/lib/x86_64-linux-gnu/"});
    ASSERT_NE(libc.handle, nullptr);
    EXPECT_NE(platform::LibrarySymbol(libc, "strlen"), nullptr);
    EXPECT_EQ(platform::LibrarySymbol(libc, "no_such_function_here"), nullptr);
    platform::FreeLibrary(libc);
    EXPECT_EQ(libc.handle, nullptr);

    std::remove((folder + "/libbad.so").c_str());
    rmdir(dir);
}

TEST(Library, ProgramFolderEndsWithASeparator) {
    const std::string folder = platform::ProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '/');
    EXPECT_TRUE(platform::IsFolder(folder));
}
