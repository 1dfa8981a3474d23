// The command script at the end of the transfer file.
#pragma once

#include "app/transfer.h"
#include "core/runstate.h"

#include <functional>
#include <string>

namespace app {

enum class ScriptEnd {
    EndOfFile,  // the caller ends the run
    HandedOver, // a window (the grid) owns the run from now on
};

// Where the script hands its work. The program uses the real windows,
// exporters and launchers; tests and fuzzing put recorders in their place.
// `endRun`, `run`, `open` and `fatal` must not return (a recorder throws).
struct ScriptActions {
    std::function<void(const std::string& text)> showStatus;
    std::function<void()> showGrid;
    std::function<void(bool quiet)> save;
    std::function<void(const std::string& text)> run;
    std::function<void(const std::string& text)> open;
    std::function<void()> print;
    std::function<void()> endRun;
    std::function<void(const std::string& text)> fatal; // a fatal message
};
ScriptActions& CurrentScriptActions();

// Reads and carries out the script lines up to the end of the file. Commands
// that end the run (EXIT, RUN, OPEN, PRINT, fatal failures) do not return.
ScriptEnd RunCommandScript(TransferFile& file);

enum class ScriptCommand { None, Export, Report, Show, Print, Exit, Open, Run, Set, Save };

struct ScriptLine {
    ScriptCommand command = ScriptCommand::None;
    // EXPORT, REPORT: the text after "="; OPEN, RUN, SET, SAVE: after the word.
    std::string rest;
};

// The command on one script line. EXPORT, REPORT, SHOW, PRINT and EXIT are the
// word before "="; OPEN, RUN, SET and SAVE the word before the first blank.
ScriptLine RecogniseCommand(const std::string& line);

// The next line of the script; false at the end of the file.
using LineSource = std::function<bool(std::string& line)>;

// An EXPORT block, given the text after "=" on its EXPORT line: sets the file
// name, reads block lines up to "}" or the end, and normalises the record.
void ReadExportBlock(const std::string& rest, const LineSource& nextLine,
                     core::ExportTargetRecord& target);

// A REPORT block, read the same way; SET lines in it add report formulas.
void ReadReportBlock(const std::string& rest, const LineSource& nextLine,
                     core::ReportSpecRecord& report);

} // namespace app
