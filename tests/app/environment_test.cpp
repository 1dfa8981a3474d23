#include "app/environment.h"
#include "core/runstate.h"

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace app;

namespace {
// Restores the variables a test changes.
class EnvGuard {
  public:
    explicit EnvGuard(std::initializer_list<const char*> names) {
        for (const char* n : names) {
            const char* v = std::getenv(n);
            saved_.emplace_back(n, v ? std::optional<std::string>(v) : std::nullopt);
        }
    }
    ~EnvGuard() {
        for (auto& [n, v] : saved_) {
            if (v)
                setenv(n.c_str(), v->c_str(), 1);
            else
                unsetenv(n.c_str());
        }
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};
} // namespace

TEST(InitRunDefaults, WorkFolderComesFromTempThenTmpThenTmpdirKeepingCase) {
    EnvGuard guard{"TEMP", "TMP", "TMPDIR"};
    setenv("TEMP", "/tmp/Some/Folder", 1);
    InitRunDefaults();
    EXPECT_EQ(core::Run().WorkFolder, "/tmp/Some/Folder/");
    EXPECT_EQ(core::Run().ExportTarget.Location, "/tmp/Some/Folder/");
    EXPECT_EQ(core::Run().ReportSpec.Location, "/tmp/Some/Folder/");
    EXPECT_EQ(core::Run().ExportTarget.FileName, "UNTITLED.MDB");
    EXPECT_EQ(core::Run().ExportTarget.TableName, "UNTITLED");
    EXPECT_EQ(core::Run().ReportSpec.Title, "Norvakel Report");
    EXPECT_EQ(core::Run().ReportSpec.Copies, 1);

    setenv("TEMP", "", 1);
    setenv("TMP", "/var/tmp/", 1);
    InitRunDefaults();
    EXPECT_EQ(core::Run().WorkFolder, "/var/tmp/");

    unsetenv("TEMP");
    unsetenv("TMP");
    setenv("TMPDIR", "/srv", 1);
    InitRunDefaults();
    EXPECT_EQ(core::Run().WorkFolder, "/srv/");
}

TEST(InitRunDefaults, FallsBackToThePrivateFolder) {
    EnvGuard guard{"TEMP", "TMP", "TMPDIR", "USERPROFILE"};
    unsetenv("TEMP");
    unsetenv("TMP");
    unsetenv("TMPDIR");
    setenv("USERPROFILE", "/home/nobody", 1); // a Windows variable: not consulted
    InitRunDefaults();
    EXPECT_EQ(core::Run().WorkFolder, "/tmp/norvakel-" + std::to_string(getuid()) + "/");
}

TEST(DefineEnvironment, SetsTheVariableAndTheOneWaySettings) {
    EnvGuard guard{"PREVIEW", "preview", "OPTION_NEWDB", "NV_TEST_VAR"};
    core::Run().RunWindowMode = 1;
    core::Run().ReplaceExistingDb = false;

    std::string text = "PREVIEW=00";
    EXPECT_NE(DefineEnvironment(text), 0);
    EXPECT_EQ(text, "00");
    EXPECT_EQ(core::Run().RunWindowMode, 1);
    text = "PREVIEW=no";
    DefineEnvironment(text);
    EXPECT_EQ(core::Run().RunWindowMode, 1);
    text = "preview = 0";
    EXPECT_NE(DefineEnvironment(text), 0);
    EXPECT_EQ(core::Run().RunWindowMode, 0);
    EXPECT_EQ(platform::GetEnv("preview"), "0");
    text = "PREVIEW=1";
    DefineEnvironment(text);
    EXPECT_EQ(core::Run().RunWindowMode, 0) << "no way back";
    EXPECT_EQ(platform::GetEnv("PREVIEW"), "1");

    text = "OPTION_NEWDB=YES";
    DefineEnvironment(text);
    EXPECT_FALSE(core::Run().ReplaceExistingDb);
    text = "OPTION_NEWDB = y";
    DefineEnvironment(text);
    EXPECT_TRUE(core::Run().ReplaceExistingDb);

    text = "NV_TEST_VAR";
    EXPECT_NE(DefineEnvironment(text), 0);
    EXPECT_EQ(platform::GetEnv("NV_TEST_VAR"), "");
}

TEST(DefineEnvironment, RefusesAnEmptyName) {
    std::string text = "= value";
    EXPECT_EQ(DefineEnvironment(text), 0);
    EXPECT_EQ(text, "value");
}

TEST(ExpandEnvironmentText, ExpandsDefinedNamesOnly) {
    EnvGuard guard{"NV_DIR", "NV_LONG"};
    setenv("NV_DIR", "/out", 1);
    EXPECT_EQ(ExpandEnvironmentText("%NV_DIR%\\DATA"), "/out\\DATA");
    EXPECT_EQ(ExpandEnvironmentText("%NV_UNDEFINED%/x"), "%NV_UNDEFINED%/x");
    EXPECT_EQ(ExpandEnvironmentText("100% sure"), "100% sure");
    EXPECT_EQ(ExpandEnvironmentText("%NV_UNDEFINED%NV_DIR%"), "%NV_UNDEFINED/out");
    EXPECT_EQ(ExpandEnvironmentText("%nv_dir%"), "%nv_dir%") << "names are case-sensitive";
    const std::string longValue(1000, 'v');
    setenv("NV_LONG", longValue.c_str(), 1);
    EXPECT_EQ(ExpandEnvironmentText("<%NV_LONG%>"), "<" + longValue + ">");
}
