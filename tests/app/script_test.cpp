#include "app/environment.h"
#include "app/script.h"
#include "core/runstate.h"

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>

namespace {

using app::ScriptCommand;

const bool UnattendedForTests = [] {
    ::setenv("NORVAKEL_UNATTENDED", "1", 1);
    return true;
}();

// Script lines served one by one; what a block leaves unread stays in `lines`.
struct Lines {
    std::deque<std::string> lines;
    app::LineSource Source() {
        return [this](std::string& line) {
            if (lines.empty()) return false;
            line = lines.front();
            lines.pop_front();
            return true;
        };
    }
};

core::ExportTargetRecord StartTarget() {
    core::ExportTargetRecord target;
    target.Location = "/work/";
    return target;
}

core::ReportSpecRecord StartReport() {
    core::ReportSpecRecord report;
    report.Location = "/work/";
    return report;
}

TEST(RecogniseCommand, FirstGroupIsTheWordBeforeTheEqualsSign) {
    struct Case {
        const char* line;
        ScriptCommand command;
        const char* rest;
    };
    const Case cases[] = {
        {"EXPORT = orders {", ScriptCommand::Export, "orders {"},
        {"  export=Orders.txt", ScriptCommand::Export, "Orders.txt"},
        {"EXPORT", ScriptCommand::Export, ""},
        {"Report = Sales.rpt", ScriptCommand::Report, "Sales.rpt"},
        {"SHOW", ScriptCommand::Show, ""},
        {"print", ScriptCommand::Print, ""},
        {"EXIT", ScriptCommand::Exit, ""},
        {"exit = anything at all", ScriptCommand::Exit, "anything at all"},
        {" EXIT =", ScriptCommand::Exit, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const app::ScriptLine line = app::RecogniseCommand(c.line);
        EXPECT_EQ(line.command, c.command);
        EXPECT_EQ(line.rest, c.rest);
    }
}

TEST(RecogniseCommand, SecondGroupIsTheWordBeforeTheFirstBlank) {
    struct Case {
        const char* line;
        ScriptCommand command;
        const char* rest;
    };
    const Case cases[] = {
        {"SAVE", ScriptCommand::Save, ""},
        {"  save   ", ScriptCommand::Save, ""},
        {"SAVE quietly please", ScriptCommand::Save, "quietly please"},
        {"SAVE = x", ScriptCommand::Save, "= x"},
        {"set Path = C:\\Out", ScriptCommand::Set, "Path = C:\\Out"},
        {"RUN /usr/bin/tool -v", ScriptCommand::Run, "/usr/bin/tool -v"},
        {"Open  My Report.pdf ", ScriptCommand::Open, "My Report.pdf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const app::ScriptLine line = app::RecogniseCommand(c.line);
        EXPECT_EQ(line.command, c.command);
        EXPECT_EQ(line.rest, c.rest);
    }
}

TEST(RecogniseCommand, AnythingElseIsIgnored) {
    for (const char* line :
         {"", "   ", "EXITS", "EXIT now", "SHOW ME", "PRINT it", "EXPORT {", "EXPORT ORDERS",
          "SAVE=x", "SET=x", "RUNNER x", "LOCATION = /x", "}", "-- EXIT", "\tEXIT"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(app::RecogniseCommand(line).command, ScriptCommand::None);
    }
}

TEST(ExportBlock, FileNameTakesTheExtensionOfTheType) {
    Lines in{{"  type = dbase iv", "TABLE = orders.dbf", "}", "EXIT"}};
    core::ExportTargetRecord target = StartTarget();
    app::ReadExportBlock("orders.txt {", in.Source(), target);
    EXPECT_EQ(target.FileName, "ORDERS.DBF");
    EXPECT_EQ(target.DbType, 2);
    EXPECT_EQ(target.TableName, "ORDERS");
    EXPECT_EQ(target.Location, "/work/");
    EXPECT_EQ(in.lines, std::deque<std::string>{"EXIT"}); // the block ends at "}"
}

TEST(ExportBlock, LocationIsExpandedWithItsCaseAndGetsASeparator) {
    ::setenv("NV_SCRIPT_TEST_OUT", "/tmp/Mixed Case", 1);
    Lines in{{"Location = %NV_SCRIPT_TEST_OUT%\\Data\\Q1", "}"}};
    core::ExportTargetRecord target = StartTarget();
    app::ReadExportBlock("x", in.Source(), target);
    EXPECT_EQ(target.Location, "/tmp/Mixed Case/Data/Q1/");

    Lines again{{"LOCATION = %NV_SCRIPT_TEST_UNDEFINED%/Out/", "}"}};
    app::ReadExportBlock("x", again.Source(), target);
    EXPECT_EQ(target.Location, "%NV_SCRIPT_TEST_UNDEFINED%/Out/");
}

TEST(ExportBlock, EmptyValuesAndUnknownLinesLeaveTheRecordAlone) {
    Lines in{{"LOCATION =", "TABLE =", "LOCATION", "SAVE", "EXIT", "rubbish", "}"}};
    core::ExportTargetRecord target = StartTarget();
    target.TableName = "KEPT";
    app::ReadExportBlock("name", in.Source(), target);
    EXPECT_EQ(target.Location, "/work/");
    EXPECT_EQ(target.TableName, "KEPT");
    EXPECT_EQ(target.FileName, "NAME.MDB");
    EXPECT_TRUE(in.lines.empty());
}

TEST(ExportBlock, AnUnknownOrEmptyTypeMeansMsAccess) {
    for (const char* line : {"TYPE = ACCESS", "TYPE =", "TYPE", "TYPE = DBASE  III"}) {
        SCOPED_TRACE(line);
        Lines in{{"TYPE = TEXT", line, "}"}};
        core::ExportTargetRecord target = StartTarget();
        app::ReadExportBlock("f.txt", in.Source(), target);
        EXPECT_EQ(target.DbType, 0);
        EXPECT_EQ(target.FileName, "F.MDB");
    }
}

TEST(ExportBlock, ALaterBlockInheritsWhatItDoesNotSet) {
    Lines in{{"TYPE = FOXPRO 2.6", "LOCATION = /out", "TABLE = t1", "}", "}"}};
    core::ExportTargetRecord target = StartTarget();
    app::ReadExportBlock("first", in.Source(), target);
    app::ReadExportBlock("second.xls", in.Source(), target);
    EXPECT_EQ(target.FileName, "SECOND.DBF");
    EXPECT_EQ(target.DbType, 5);
    EXPECT_EQ(target.Location, "/out/");
    EXPECT_EQ(target.TableName, "T1");
}

TEST(ExportBlock, WithoutANameOrAClosingBraceTheBlockStillCloses) {
    Lines in{{"TYPE = EXCEL 5.0"}};
    core::ExportTargetRecord target = StartTarget();
    app::ReadExportBlock("", in.Source(), target);
    EXPECT_EQ(target.FileName, ".XLS");
    EXPECT_EQ(target.DbType, 11);
}

TEST(ReportBlock, KeysFillTheReportRecord) {
    Lines in{{"LOCATION = /reports\\Monthly", "output = printer", "TITLE =  Sales by Region ",
              "FILE = out.pdf", "FORMAT = PDF", "COPIES = 2.9", "}"}};
    core::ReportSpecRecord report = StartReport();
    app::ReadReportBlock("sales.jrxml {", in.Source(), report);
    EXPECT_EQ(report.FileName, "SALES.JRXML");
    EXPECT_EQ(report.Location, "/reports/Monthly/");
    EXPECT_EQ(report.OutputTo, 1);
    EXPECT_EQ(report.Title, "Sales by Region");
    EXPECT_EQ(report.FormulaCount, 0) << "FILE and FORMAT are keys, not formulas";
    EXPECT_EQ(report.Copies, 2);
}

TEST(ReportBlock, ValuesThatMeanNothingLeaveTheEarlierChoice) {
    Lines in{{"OUTPUT = FILE", "COPIES = 3", "}", "OUTPUT = screen", "COPIES = two",
              "COPIES = 99999", "TITLE", "}"}};
    core::ReportSpecRecord report = StartReport();
    app::ReadReportBlock("a", in.Source(), report);
    EXPECT_EQ(report.OutputTo, 2);
    app::ReadReportBlock("b", in.Source(), report);
    EXPECT_EQ(report.FileName, "B");
    EXPECT_EQ(report.OutputTo, 2);
    EXPECT_EQ(report.Copies, 3);
    EXPECT_EQ(report.Title, ""); // TITLE without a value empties it
}

TEST(ReportBlock, SetLinesAreFormulasAndAccumulateToTwenty) {
    const char* const variable = "NV_SCRIPT_TEST_FORMULA";
    ::unsetenv(variable);
    Lines in{{"SET NV_SCRIPT_TEST_FORMULA = 'x'", "set Region Name =  'North = N' ", "}"}};
    core::ReportSpecRecord report = StartReport();
    app::ReadReportBlock("r", in.Source(), report);
    ASSERT_EQ(report.FormulaCount, 2);
    EXPECT_EQ(report.FormulaNames[0], variable);
    EXPECT_EQ(report.FormulaTexts[0], "'x'");
    EXPECT_EQ(report.FormulaNames[1], "Region Name");
    EXPECT_EQ(report.FormulaTexts[1], "'North = N'");
    EXPECT_EQ(platform::GetEnv(variable), std::nullopt);

    Lines more;
    for (int i = 0; i < 25; ++i)
        more.lines.push_back("SET F" + std::to_string(i) + " = " + std::to_string(i));
    more.lines.push_back("}");
    app::ReadReportBlock("r2", more.Source(), report);
    EXPECT_EQ(report.FormulaCount, core::MaxFormulas);
    EXPECT_EQ(report.FormulaNames[19], "F17");
    EXPECT_EQ(report.FormulaTexts[19], "17");
}

TEST(ReportBlock, ALocationGetsItsSeparatorEvenAtTheEndOfTheFile) {
    Lines in{{"LOCATION = /r"}};
    core::ReportSpecRecord report = StartReport();
    app::ReadReportBlock("", in.Source(), report);
    EXPECT_EQ(report.Location, "/r/");
    EXPECT_EQ(report.FileName, "");
}

// Whole scripts that end at the end of the file, through the real reader.
class ScriptRun : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = core::Run();
        path_ = (std::filesystem::temp_directory_path() /
                 ("nv-script-" + std::to_string(::getpid()) + ".dat"))
                    .string();
        core::Run().ExportTarget = StartTarget();
        core::Run().ReportSpec = StartReport();
        core::Run().RunWindowMode = 1;
        core::Run().ReplaceExistingDb = false;
    }
    void TearDown() override {
        core::Run() = saved_;
        std::remove(path_.c_str());
    }

    app::ScriptEnd RunScript(const std::vector<std::string>& lines) {
        {
            std::ofstream out(path_, std::ios::binary);
            for (const std::string& line : lines)
                out << line << "\r\n";
        }
        app::TransferFile file;
        int error = 0;
        EXPECT_TRUE(file.Open(path_, error));
        return app::RunCommandScript(file);
    }

    std::string path_;
    core::RunState saved_;
};

TEST_F(ScriptRun, BlocksAndSetsAreCarriedOutAndStrayLinesIgnored) {
    ::unsetenv("NV_SCRIPT_TEST_DIR");
    const app::ScriptEnd end = RunScript({
        "SET NV_SCRIPT_TEST_DIR = /tmp/Out",
        "LOCATION = /ignored",
        "EXPORT {",
        "TYPE = TEXT",
        "}",
        "export = orders {",
        "  location = %NV_SCRIPT_TEST_DIR%\\Q1",
        "  type = text",
        "}",
        "REPORT = monthly.jrxml",
        "SET Who = Ann",
        "}",
        "EXITS",
        "SHOW ME",
        "",
    });
    EXPECT_EQ(end, app::ScriptEnd::EndOfFile);
    const core::RunState& run = core::Run();
    EXPECT_EQ(platform::GetEnv("NV_SCRIPT_TEST_DIR"), "/tmp/Out");
    EXPECT_EQ(run.ExportTarget.Location, "/tmp/Out/Q1/");
    EXPECT_EQ(run.ExportTarget.FileName, "ORDERS.TXT");
    EXPECT_EQ(run.ExportTarget.DbType, 12);
    EXPECT_EQ(run.ReportSpec.FileName, "MONTHLY.JRXML");
    ASSERT_EQ(run.ReportSpec.FormulaCount, 1);
    EXPECT_EQ(platform::GetEnv("Who"), std::nullopt);
}

TEST_F(ScriptRun, RunSettingsOnlyEverMoveOneWay) {
    RunScript(
        {"SET PREVIEW =0", "SET PREVIEW = 1", "set option_newdb = y", "SET OPTION_NEWDB = N"});
    EXPECT_EQ(core::Run().RunWindowMode, 0);
    EXPECT_TRUE(core::Run().ReplaceExistingDb);
    EXPECT_EQ(platform::GetEnv("OPTION_NEWDB"), "N");
}

TEST_F(ScriptRun, SettingsNeedTheirExactValues) {
    RunScript({"SET PREVIEW=00", "SET PREVIEW=no", "SET OPTION_NEWDB=YES"});
    EXPECT_EQ(core::Run().RunWindowMode, 1);
    EXPECT_FALSE(core::Run().ReplaceExistingDb);
}

} // namespace

// The script with its windows, exporters and launchers replaced by recorders.
class RecordedScript : public ScriptRun {
  protected:
    struct Ended {
        std::string how;
    };
    void SetUp() override {
        ScriptRun::SetUp();
        saved_actions_ = app::CurrentScriptActions();
        app::ScriptActions& actions = app::CurrentScriptActions();
        actions.showStatus = [this](const std::string& t) { log_.push_back("status:" + t); };
        actions.showGrid = [this] { log_.push_back("grid"); };
        actions.save = [this](bool quiet) { log_.push_back(quiet ? "save:quiet" : "save"); };
        actions.run = [](const std::string& t) { throw Ended{"run:" + t}; };
        actions.open = [](const std::string& t) { throw Ended{"open:" + t}; };
        actions.print = [] { throw Ended{"print"}; };
        actions.endRun = [] { throw Ended{"end"}; };
        actions.fatal = [](const std::string& t) { throw Ended{"fatal:" + t}; };
    }
    void TearDown() override {
        app::CurrentScriptActions() = saved_actions_;
        ScriptRun::TearDown();
    }
    std::string Ending(const std::vector<std::string>& lines) {
        try {
            RunScript(lines);
        } catch (const Ended& e) {
            return e.how;
        }
        return "end of file";
    }
    std::vector<std::string> log_;
    app::ScriptActions saved_actions_;
};

TEST_F(RecordedScript, VariablesThatLoadCodeEndTheRunBeforeAnythingIsLaunched) {
    for (const char* name : {"LD_PRELOAD", "LD_AUDIT", "BASH_ENV", "BASH_FUNC_ls%%", "ENV",
                             "QT_PLUGIN_PATH", "XDG_DATA_DIRS", "PYTHONSTARTUP"}) {
        const std::string set = std::string("SET ") + name + " = /tmp/exported.txt";
        EXPECT_EQ(Ending({set, "RUN /bin/true", "OPEN /tmp/x"}),
                  std::string("fatal:Unable to define the environment: /tmp/exported.txt\r\n") +
                      name +
                      " changes how programs load code and cannot be set by a transfer file.")
            << name;
        EXPECT_EQ(platform::GetEnv(name), std::nullopt) << name;
    }
    // Ordinary names, PATH included, are defined; names are case-sensitive.
    EXPECT_EQ(
        Ending({"SET PATH = /opt/x:/usr/bin", "SET ld_preload = lower", "SET EMPTY=", "RUN prog"}),
        "run:prog");
    EXPECT_EQ(platform::GetEnv("PATH"), "/opt/x:/usr/bin");
    EXPECT_EQ(platform::GetEnv("ld_preload"), "lower");
    EXPECT_EQ(platform::GetEnv("EMPTY"), "");
    EXPECT_EQ(Ending({"SET = nameless"}), "fatal:Unable to define the environment: nameless");
}

TEST_F(RecordedScript, CommandsReachTheirActionsInOrder) {
    EXPECT_EQ(Ending({"EXPORT = a {", "TYPE = TEXT", "}", "SAVE", "SAVE now", "PRINT"}), "print");
    EXPECT_EQ(log_, (std::vector<std::string>{"status:Setting up the Local Database Defintions ...",
                                              "status:Saving the data ...", "save",
                                              "status:Saving the data ...", "save:quiet",
                                              "status:Loading Report Engine ..."}));
    log_.clear();
    EXPECT_EQ(Ending({"SHOW", "EXIT"}), "end of file") << "SHOW hands the run over";
    EXPECT_EQ(log_.back(), "grid");
    EXPECT_EQ(Ending({"OPEN  %X%\\doc.pdf ", "EXIT"}), "open:%X%\\doc.pdf");
    EXPECT_EQ(Ending({"REPORT = r {", "RUN inside a block", "}", "EXIT = now"}), "end");
}
