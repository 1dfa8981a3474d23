#include "platform/platform.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
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

TEST(Paths, NamesBeyondAsciiAreFoundWhateverTheirCase) {
    QTemporaryDir dir;
    const std::string base = Folder(dir);
    WriteFile(base + "r\xC3\xA9sum\xC3\xA9.dbf", "x"); // résumé.dbf
    EXPECT_EQ(ResolveExistingPath(base + "R\xC3\x89SUM\xC3\x89.DBF"),
              base + "r\xC3\xA9sum\xC3\xA9.dbf");
    EXPECT_FALSE(ResolveExistingPath(base + "RESUME.DBF")) << "an accent is no case";
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

TEST(Text, NamesAreUpperCasedEveryLetter) {
    EXPECT_EQ(UpperCaseName("r\xC3\xA9sum\xC3\xA9"), "R\xC3\x89SUM\xC3\x89"); // RÉSUMÉ
    EXPECT_EQ(UpperCaseName("cr\xC3\xA8me br\xC3\xBBl\xC3\xA9"
                            "e"),
              "CR\xC3\x88ME BR\xC3\x9BL\xC3\x89"
              "E");
    EXPECT_EQ(UpperCaseName("\xCF\x80 orders_1.dbf"), "\xCE\xA0 ORDERS_1.DBF"); // π
    EXPECT_TRUE(SameNameIgnoringCase("M\xC3\xBCller.DBF", "m\xC3\x9CLLER.dbf"));
    EXPECT_TRUE(SameNameIgnoringCase("orders.dbf", "ORDERS.DBF"));
    EXPECT_FALSE(SameNameIgnoringCase("M\xC3\xBCller", "Muller"));
    EXPECT_FALSE(SameNameIgnoringCase("orders", "orders2"));
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

// ---- Untrusted text reaching the system --------------------------------------

TEST(UntrustedPaths, ATextWithANulNamesNoFile) {
    QTemporaryDir dir;
    const std::string base = Folder(dir);
    WriteFile(base + "prog", "#!/bin/sh\ntouch \"$0.ran\"\n", 0755);
    const std::string cut = base + "prog" + std::string(1, '\0') + ".pdf";
    EXPECT_FALSE(IsUsablePath(cut));
    EXPECT_FALSE(IsUsablePath(""));
    EXPECT_TRUE(IsUsablePath(base + "prog"));
    EXPECT_FALSE(IsOrdinaryFile(cut));
    EXPECT_FALSE(FileAttributes(cut));
    EXPECT_FALSE(ResolveExistingPath(cut));
    EXPECT_EQ(StartProgram(cut, std::nullopt, base, 1), 2);
    EXPECT_EQ(StartProgram(base + "prog", std::string("a\0b", 3), base, 1), 2);
    EXPECT_EQ(OpenWithDesktop(cut, base), 2);
    EXPECT_EQ(CreateFolder(base + "dir" + std::string(1, '\0') + "x"), EINVAL);
    EXPECT_EQ(DeleteFile(cut), EINVAL);
    int error = 0;
    EXPECT_LT(CreateFileForWriting(base + "EVIL" + std::string(1, '\0') + ".TXT", error), 0);
    EXPECT_EQ(error, EINVAL);
    EXPECT_EQ(DescribeFileError(EINVAL, "x").number, 52);
    usleep(200 * 1000);
    EXPECT_FALSE(IsOrdinaryFile(base + "prog.ran")) << "nothing was started";
    EXPECT_FALSE(IsOrdinaryFile(base + "EVIL"));
}

TEST(UntrustedPaths, LinksOthersPlantedAreNotFollowedOursAre) {
    QTemporaryDir dir;
    const std::string base = Folder(dir);
    symlink((base + "target-ours").c_str(), (base + "ours").c_str());
    int error = 0;
    int fd = CreateFileForWriting(base + "ours", error);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(IsOrdinaryFile(base + "target-ours")) << "our own link is followed";

    if (geteuid() != 0) GTEST_SKIP() << "making a link owned by another user needs root";
    symlink((base + "target-planted").c_str(), (base + "planted").c_str());
    ASSERT_EQ(lchown((base + "planted").c_str(), 65534, 65534), 0);
    EXPECT_TRUE(IsForeignLink(base + "planted"));
    EXPECT_FALSE(IsForeignLink(base + "ours"));
    EXPECT_FALSE(IsForeignLink(base + "target-ours"));
    fd = CreateFileForWriting(base + "planted", error);
    EXPECT_LT(fd, 0);
    EXPECT_EQ(error, ELOOP);
    EXPECT_FALSE(IsOrdinaryFile(base + "target-planted")) << "the link's target was not created";
    fd = CreateFileForWriting(base + "plain", error);
    ASSERT_GE(fd, 0);
    close(fd);
}

TEST(UntrustedPaths, PrivateTempFolderIsRefusedWhenOthersCouldUseIt) {
    QTemporaryDir dir;
    const std::string parent = dir.path().toStdString();
    const std::string own = parent + "/norvakel-" + std::to_string(getuid());
    EXPECT_EQ(PrivateTempFolder(parent), own) << "created when missing";
    struct stat st {};
    ASSERT_EQ(stat(own.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    chmod(own.c_str(), 0777);
    EXPECT_FALSE(PrivateTempFolder(parent)) << "open to others";
    chmod(own.c_str(), 0750);
    EXPECT_FALSE(PrivateTempFolder(parent)) << "readable by the group";
    chmod(own.c_str(), 0700);
    EXPECT_TRUE(PrivateTempFolder(parent));

    rmdir(own.c_str());
    mkdir((parent + "/elsewhere").c_str(), 0700);
    symlink((parent + "/elsewhere").c_str(), own.c_str());
    EXPECT_FALSE(PrivateTempFolder(parent)) << "a link";
    unlink(own.c_str());
    WriteFile(own, "x");
    EXPECT_FALSE(PrivateTempFolder(parent)) << "a file";
    unlink(own.c_str());
    if (geteuid() == 0) {
        mkdir(own.c_str(), 0700);
        ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(PrivateTempFolder(parent)) << "another user's folder";
    }
}

// ---- The environment started programs receive --------------------------------

TEST(Environment, LoaderVariablesAreRecognisedByNameAndPrefix) {
    for (const char* name : {"LD_PRELOAD",
                             "LD_LIBRARY_PATH",
                             "LD_",
                             "BASH_ENV",
                             "ENV",
                             "BASH_FUNC_x%%",
                             "SHELLOPTS",
                             "PS4",
                             "PYTHONSTARTUP",
                             "PYTHONPATH",
                             "PYTHONHOME",
                             "PERL5OPT",
                             "PERL5LIB",
                             "PERLLIB",
                             "RUBYOPT",
                             "RUBYLIB",
                             "NODE_OPTIONS",
                             "NODE_PATH",
                             "JAVA_TOOL_OPTIONS",
                             "_JAVA_OPTIONS",
                             "JDK_JAVA_OPTIONS",
                             "GCONV_PATH",
                             "GTK_MODULES",
                             "GTK_PATH",
                             "GIO_EXTRA_MODULES",
                             "QT_PLUGIN_PATH",
                             "QT_QPA_PLATFORM_PLUGIN_PATH",
                             "XDG_CONFIG_HOME",
                             "XDG_CONFIG_DIRS",
                             "XDG_DATA_HOME",
                             "XDG_DATA_DIRS"})
        EXPECT_TRUE(IsLoaderVariable(name)) << name;
    for (const char* name : {"PATH", "HOME", "PREVIEW", "ld_preload", "ENVIRONMENT", "XLD_PRELOAD",
                             "PYTHONSTARTUPX", "QT_SCALE_FACTOR", "XDG_RUNTIME_DIR"})
        EXPECT_FALSE(IsLoaderVariable(name)) << name;
}

TEST(Environment, DefinedVariablesReachStartedProgramsWithStreamsOnDevNull) {
    QTemporaryDir dir;
    const std::string base = Folder(dir);
    ASSERT_NE(SetEnv("NV_CHILD_VALUE", "from SET"), 0);
    ASSERT_NE(SetEnv("NV_CHILD_EMPTY", ""), 0);
    // Read the shell's own descriptors before anything is redirected.
    WriteFile(base + "prog.sh",
              "#!/bin/sh\nin=$(readlink /proc/$$/fd/0); out=$(readlink /proc/$$/fd/1);"
              " err=$(readlink /proc/$$/fd/2)\n"
              "printf '%s|%s\\n%s\\n%s\\n%s\\n' \"$NV_CHILD_VALUE\" \"${NV_CHILD_EMPTY-unset}\""
              " \"$in\" \"$out\" \"$err\" > \"" +
                  base + "out\"\n",
              0755);
    for (int show : {0, 1}) {
        std::remove((base + "out").c_str());
        EXPECT_GT(StartProgram(base + "prog.sh", std::nullopt, base, show), 32);
        ASSERT_TRUE(WaitForFile(base + "out"));
        usleep(100 * 1000);
        EXPECT_EQ(ReadFile(base + "out"), "from SET|\n/dev/null\n/dev/null\n/dev/null\n")
            << "show code " << show;
    }
    const auto block = EnvironmentBlock();
    EXPECT_EQ(std::count(block.begin(), block.end(), "NV_CHILD_VALUE=from SET"), 1);
}

TEST(Environment, ManyDefinitionsStayFastAndHugeExpansionsFail) {
    // In a child process: the definitions would otherwise outgrow what a
    // program started by a later test may receive.
    const pid_t child = fork();
    if (child == 0) {
        for (int i = 0; i < 200000; ++i)
            if (SetEnv("NV_MANY_" + std::to_string(i), "v") == 0) _exit(1);
        if (GetEnv("NV_MANY_199999") != "v") _exit(2);
        if (SetEnv("NV_BIG", std::string(1000000, 'x')) == 0) _exit(3);
        if (ExpandEnvironmentStrings("<%NV_BIG%>").size() != 1000002u) _exit(4);
        std::string many;
        for (int i = 0; i < 2000; ++i)
            many += "%NV_BIG%\\";
        if (ExpandEnvironmentStrings(many) != many) _exit(5); // too long: used as written
        // Too much to hand over: out of resources, not a crash.
        if (StartProgram("/bin/true", std::nullopt, "/", 1) != 8) _exit(6);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the step that failed";
}
