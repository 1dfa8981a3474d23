#include "platform/platform.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <chrono>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace platform;

namespace {
std::string Folder(const QTemporaryDir& dir) {
    return dir.path().toStdString() + "/";
}

void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Waits for a file that a started program writes.
bool WaitForFile(const std::string& path) {
    for (int i = 0; i < 100; ++i) {
        if (IsOrdinaryFile(path) && !ReadFile(path).empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}
} // namespace

TEST(Paths, ExistingEntriesAreFoundCaseInsensitivelyWhenUnambiguous) {
    QTemporaryDir dir;
    const std::string base = Folder(dir);
    WriteFile(base + "Orders.Dbf", "x");
    EXPECT_EQ(ResolveExistingPath(base + "ORDERS.DBF"), base + "Orders.Dbf");
    EXPECT_EQ(ResolveExistingPath(base + "Orders.Dbf"), base + "Orders.Dbf");
    EXPECT_FALSE(ResolveExistingPath(base + "MISSING.DBF"));
    WriteFile(base + "ORDERS.dbf", "y");
    EXPECT_FALSE(ResolveExistingPath(base + "orders.DBF")) << "two candidates";
    EXPECT_EQ(ResolveExistingPath(base + "ORDERS.dbf"), base + "ORDERS.dbf") << "exact wins";
}

TEST(Paths, AttributesAndOrdinaryFiles) {
    QTemporaryDir dir;
    const std::string base = Folder(dir);
    WriteFile(base + "file", "x");
    symlink((base + "file").c_str(), (base + "link").c_str());
    EXPECT_EQ(FileAttributes(base), 16);
    EXPECT_EQ(FileAttributes(base + "file"), 0);
    EXPECT_EQ(FileAttributes(base + "link"), 0);
    EXPECT_FALSE(FileAttributes(base + "none"));
    EXPECT_TRUE(IsOrdinaryFile(base + "link"));
    EXPECT_FALSE(IsOrdinaryFile(base));
    EXPECT_EQ(NativeSeparators("C:\\OUT\\DATA\\"), "C:/OUT/DATA/");
}

TEST(Environment, SetEnvRefusesBadNames) {
    EXPECT_EQ(SetEnv("", "x"), 0);
    EXPECT_EQ(SetEnv("A=B", "x"), 0);
    EXPECT_NE(SetEnv("NV_PLATFORM_TEST", "x=y"), 0);
    EXPECT_EQ(GetEnv("NV_PLATFORM_TEST"), "x=y");
    EXPECT_EQ(ExpandEnvironmentStrings("%%"), "%%");
    EXPECT_EQ(ExpandEnvironmentStrings("a%NV_PLATFORM_TEST%b%"), "ax=yb%");
}

TEST(Text, Windows1252RoundTripAndReplacement) {
    EXPECT_EQ(Cp1252ToUtf8("\x80\x9F\xE9"), "\xE2\x82\xAC\xC5\xB8\xC3\xA9");
    EXPECT_EQ(Utf8ToCp1252("\xE2\x82\xAC\xC5\xB8\xC3\xA9"), "\x80\x9F\xE9");
    EXPECT_EQ(Utf8ToCp1252("\xE4\xB8\xAD"), "?") << "a character 1252 cannot hold";
    EXPECT_FALSE(IsValidUtf8("\xC0\x80")) << "overlong";
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80")) << "surrogate";
    EXPECT_TRUE(IsValidUtf8("plain \xF0\x9F\x98\x80"));
    EXPECT_EQ(UpperCase("orders.dbf \xC3\xA9"), "ORDERS.DBF \xC3\xA9");
}

TEST(RunLock, IsExclusiveBetweenProcessesAndReleasedWhenTheHolderEnds) {
    const std::string name = "/tmp/nv-lock-test-" + std::to_string(getpid());
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    if (child == 0) {
        const char ok = AcquireRunLock(name) ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        char c;
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    EXPECT_FALSE(AcquireRunLock(name)) << "held by the other process";
    (void)!write(release[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(AcquireRunLock(name)) << "released when the holder ended";
    EXPECT_TRUE(AcquireRunLock(name)) << "taking it again is harmless";
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        close(fd);
}

TEST(StartProgram, PassesOneArgumentAndTheWorkingFolderWithoutAShell) {
    QTemporaryDir dir;
    const std::string base = Folder(dir);
    mkdir((base + "with blank").c_str(), 0755);
    const std::string script = base + "with blank/prog.sh";
    WriteFile(script, "#!/bin/sh\n{ pwd; echo \"$#\"; echo \"$1\"; } > \"" + base + "out\"\n",
              0755);
    EXPECT_GT(StartProgram(script, std::string("a b; $(echo hi)"), base, 1), 32);
    ASSERT_TRUE(WaitForFile(base + "out"));
    EXPECT_EQ(ReadFile(base + "out"), dir.path().toStdString() + "\n1\na b; $(echo hi)\n");
}

TEST(StartProgram, ReportsWindowsStyleFailures) {
    QTemporaryDir dir;
    const std::string base = Folder(dir);
    EXPECT_EQ(StartProgram(base + "missing", std::nullopt, base, 1), 2);
    EXPECT_EQ(StartProgram(base + "nofolder/missing", std::nullopt, base, 1), 3);
    WriteFile(base + "plain", "not a program", 0644);
    EXPECT_EQ(StartProgram(base + "plain", std::nullopt, base, 1), 5);
    EXPECT_EQ(StartProgram(base, std::nullopt, base, 1), 5);
    EXPECT_EQ(StartProgram(base + "prog --option", std::nullopt, base, 1), 2);
}

TEST(OpenWithDesktop, UsesTheHelperOnPathAndItsExitStatus) {
    QTemporaryDir dir;
    const std::string base = Folder(dir);
    const std::string oldPath = GetEnv("PATH").value_or("");
    WriteFile(base + "xdg-open",
              "#!/bin/sh\necho \"$1\" > \"" + base + "opened\"\nexit ${NV_XDG_STATUS:-0}\n", 0755);
    SetEnv("PATH", base + ":" + oldPath);
    WriteFile(base + "doc.txt", "x");

    EXPECT_GT(OpenWithDesktop("doc.txt", base), 32);
    EXPECT_EQ(ReadFile(base + "opened"), base + "doc.txt\n");
    EXPECT_EQ(OpenWithDesktop("missing.txt", base), 2);
    EXPECT_GT(OpenWithDesktop("https://example.invalid/x", base), 32);
    EXPECT_EQ(ReadFile(base + "opened"), "https://example.invalid/x\n");
    SetEnv("NV_XDG_STATUS", "3");
    EXPECT_EQ(OpenWithDesktop("doc.txt", base), 31);
    SetEnv("NV_XDG_STATUS", "2");
    EXPECT_EQ(OpenWithDesktop("doc.txt", base), 2);
    unsetenv("NV_XDG_STATUS");
    SetEnv("PATH", oldPath);
}
