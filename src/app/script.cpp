#include "app/script.h"

#include "app/environment.h"
#include "app/run.h"
#include "core/outcome.h"
#include "core/runstate.h"
#include "launch/launch.h"
#include "platform/platform.h"
#include "report/printreport.h"
#include "store/export_database.h"
#include "store/formats.h"
#include "ui/windows.h"

#include <cmath>
#include <stdexcept>

namespace app {

namespace {

// A LOCATION value: expanded, with the script's backslashes as separators.
// Folder case is kept; the file system tells cases apart.
std::string FolderValue(const std::string& value) {
    return platform::NativeSeparators(ExpandEnvironmentText(value));
}

void EnsureTrailingSeparator(std::string& folder) {
    if (folder.empty() || folder.back() != platform::Separator) folder += platform::Separator;
}

// The name on an EXPORT or REPORT line: up to any "{", upper case.
std::string BlockName(const std::string& rest) {
    return platform::UpperCaseName(Trim(rest.substr(0, rest.find('{'))));
}

bool IsBlockEnd(const std::string& key) {
    return key == "}";
}

// Reads the lines of a block up to "}" or the end of the file. `apply` gets
// the upper-cased key, the value and the whole line.
template <typename Apply> void ReadBlockLines(const LineSource& nextLine, Apply apply) {
    std::string line;
    while (nextLine(line)) {
        std::string value = Trim(line);
        const std::string key = platform::UpperCase(SplitToken(value, "="));
        if (IsBlockEnd(key)) return;
        apply(key, value, line);
    }
}

void ApplyExportKey(const std::string& key, const std::string& value,
                    core::ExportTargetRecord& target) {
    if (key == "LOCATION") {
        if (!value.empty()) target.Location = FolderValue(value);
    } else if (key == "TYPE") {
        target.DbType = store::DestinationTypeFromName(platform::UpperCase(value));
    } else if (key == "TABLE") {
        if (!value.empty()) target.TableName = platform::UpperCaseName(value);
    }
}

void ApplyCopies(const std::string& value, core::ReportSpecRecord& report) {
    if (!IsNumeric(value)) return;
    const double copies = std::floor(LeadingNumber(value));
    // Out of the 16-bit range counts as not a number of copies at all.
    if (copies >= -32768.0 && copies <= 32767.0) report.Copies = static_cast<std::int16_t>(copies);
}

void ApplyOutput(const std::string& value, core::ReportSpecRecord& report) {
    const std::string output = platform::UpperCase(value);
    if (output == "WINDOW")
        report.OutputTo = 0;
    else if (output == "PRINTER")
        report.OutputTo = 1;
    else if (output == "FILE")
        report.OutputTo = 2;
}

// SET name = text inside a REPORT block: a report formula, 20 at most per run.
void ApplyFormulaLine(const std::string& line, core::ReportSpecRecord& report) {
    std::string rest = Trim(line);
    if (platform::UpperCase(SplitToken(rest, " ")) != "SET") return;
    if (report.FormulaCount >= core::MaxFormulas) return;
    const std::string name = SplitToken(rest, "=");
    report.FormulaNames[report.FormulaCount] = name;
    report.FormulaTexts[report.FormulaCount] = rest;
    ++report.FormulaCount;
}

bool ApplyReportKey(const std::string& key, const std::string& value,
                    core::ReportSpecRecord& report) {
    if (key == "LOCATION") {
        if (!value.empty()) report.Location = FolderValue(value);
    } else if (key == "OUTPUT") {
        ApplyOutput(value, report);
    } else if (key == "TITLE") {
        report.Title = value;
    } else if (key == "FILE" || key == "FORMAT") {
        // Recognised, so that they are not taken for formulas, but nothing
        // reads an output file or a report format: no formats are defined.
    } else if (key == "COPIES") {
        ApplyCopies(value, report);
    } else {
        return false;
    }
    return true;
}

ScriptCommand FirstGroupCommand(const std::string& word) {
    if (word == "EXPORT") return ScriptCommand::Export;
    if (word == "REPORT") return ScriptCommand::Report;
    if (word == "SHOW") return ScriptCommand::Show;
    if (word == "PRINT") return ScriptCommand::Print;
    if (word == "EXIT") return ScriptCommand::Exit;
    return ScriptCommand::None;
}

ScriptCommand SecondGroupCommand(const std::string& word) {
    if (word == "OPEN") return ScriptCommand::Open;
    if (word == "RUN") return ScriptCommand::Run;
    if (word == "SET") return ScriptCommand::Set;
    if (word == "SAVE") return ScriptCommand::Save;
    return ScriptCommand::None;
}

[[noreturn]] void Unreachable(const char* what) {
    // A replaced action that returned where the run must end.
    throw std::logic_error(std::string(what) + " returned");
}

void DefineEnvironmentOrEndRun(const std::string& setText) {
    std::string text = setText;
    if (DefineEnvironment(text) == 0) {
        CurrentScriptActions().fatal(SetRefusalText(setText));
        Unreachable("fatal");
    }
}

[[noreturn]] void EndRun() {
    CurrentScriptActions().endRun();
    Unreachable("endRun");
}

// SAVE: a failure ends the run; a success is told unless the SAVE was quiet.
void Save(bool quiet) {
    const core::Outcome outcome = store::SaveData();
    if (!outcome.ok) EndRunWithFailure(outcome);
    if (!quiet && !outcome.message.empty()) NotifyUser(outcome.message, Notice::Inform);
}

// RUN and OPEN end the run either way: a failed launch with its message.
[[noreturn]] void EndRunAfterLaunch(const core::Outcome& outcome) {
    if (!outcome.ok) EndRunWithFailure(outcome);
    FinishRun();
}

// PRINT ends the run either way. A failure's box comes before the engine is
// closed: its text belongs to the print job.
[[noreturn]] void Print() {
    const core::Outcome outcome = report::PrintReport();
    if (!outcome.ok) ShowFailure(outcome);
    report::CloseReportEngine();
    FinishRun();
}

} // namespace

ScriptActions& CurrentScriptActions() {
    static ScriptActions actions{
        ui::ShowStatus,
        [] { ui::ShowGridWindow([] { FinishRun(); }); },
        Save,
        [](const std::string& text) { EndRunAfterLaunch(launch::RunCommand(text)); },
        [](const std::string& text) { EndRunAfterLaunch(launch::OpenCommand(text)); },
        Print,
        [] { FinishRun(); },
        [](const std::string& text) { NotifyUser(text, Notice::Terminate); },
    };
    return actions;
}

ScriptLine RecogniseCommand(const std::string& line) {
    ScriptLine result;
    result.rest = Trim(line);
    const std::string word = platform::UpperCase(SplitToken(result.rest, "="));
    result.command = FirstGroupCommand(word);
    if (result.command != ScriptCommand::None) return result;

    result.rest = Trim(line);
    result.command = SecondGroupCommand(platform::UpperCase(SplitToken(result.rest, " ")));
    if (result.command == ScriptCommand::None) result.rest.clear();
    return result;
}

void ReadExportBlock(const std::string& rest, const LineSource& nextLine,
                     core::ExportTargetRecord& target) {
    target.FileName = BlockName(rest);
    ReadBlockLines(nextLine, [&](const std::string& key, const std::string& value,
                                 const std::string&) { ApplyExportKey(key, value, target); });
    // The extension follows the type in force now, whatever the host wrote.
    store::NormaliseExportTarget(target);
}

void ReadReportBlock(const std::string& rest, const LineSource& nextLine,
                     core::ReportSpecRecord& report) {
    report.FileName = BlockName(rest);
    ReadBlockLines(nextLine,
                   [&](const std::string& key, const std::string& value, const std::string& line) {
                       if (!ApplyReportKey(key, value, report)) ApplyFormulaLine(line, report);
                   });
    EnsureTrailingSeparator(report.Location);
}

ScriptEnd RunCommandScript(TransferFile& file) {
    core::RunState& run = core::Run();
    const ScriptActions& actions = CurrentScriptActions();
    const LineSource nextLine = [&file](std::string& line) { return file.ReadLine(line); };
    std::string line;
    while (file.ReadLine(line)) {
        const ScriptLine command = RecogniseCommand(line);
        switch (command.command) {
        case ScriptCommand::Export:
            actions.showStatus("Setting up the Local Database Defintions ...");
            ReadExportBlock(command.rest, nextLine, run.ExportTarget);
            break;
        case ScriptCommand::Report:
            actions.showStatus("Setting up the Local Report Definitions ...");
            ReadReportBlock(command.rest, nextLine, run.ReportSpec);
            break;
        case ScriptCommand::Show:
            actions.showStatus("Building the database CrossTab screen ...");
            actions.showGrid();
            return ScriptEnd::HandedOver;
        case ScriptCommand::Print:
            actions.showStatus("Loading Report Engine ...");
            actions.print();
            Unreachable("print");
        case ScriptCommand::Exit:
            EndRun();
        case ScriptCommand::Open:
            actions.open(command.rest);
            Unreachable("open");
        case ScriptCommand::Run:
            actions.run(command.rest);
            Unreachable("run");
        case ScriptCommand::Set:
            DefineEnvironmentOrEndRun(command.rest);
            break;
        case ScriptCommand::Save:
            actions.showStatus("Saving the data ...");
            actions.save(!command.rest.empty());
            break;
        case ScriptCommand::None:
            break;
        }
    }
    return ScriptEnd::EndOfFile;
}

} // namespace app
