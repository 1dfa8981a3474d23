// The state one run shares across the program. It lives for the whole process;
// app::InitRunDefaults gives it its start values. Every upper module reads it,
// so it depends on nothing above the engine.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace core {

// Where SAVE writes: filled by EXPORT blocks, read by the exporters.
struct ExportTargetRecord {
    std::string FileName = "UNTITLED.MDB"; // upper case, extension of its type
    std::string Location;                  // folder, ending in "/"
    std::int16_t DbType = 0;               // destination type code 0..12
    std::string TableName = "UNTITLED";    // upper case, no "." part
};

constexpr int MaxFormulas = 20;

// What PRINT prints: filled by REPORT blocks.
struct ReportSpecRecord {
    std::string FileName;
    std::string Location; // ending in "/"
    std::array<std::string, MaxFormulas> FormulaNames{};
    std::array<std::string, MaxFormulas> FormulaTexts{};
    std::int16_t FormulaCount = 0;
    std::int16_t OutputTo = 0; // 0 window, 1 printer, 2 file
    std::string Title = "Norvakel Report";
    std::int16_t Copies = 1;
};

struct RunState {
    std::string WorkFolder; // ends in "/"
    std::string ScratchDbName = "UNTITLED.MDB";
    std::string ScratchTableName = "UNTITLED";
    std::int16_t FieldCount = 0;
    ExportTargetRecord ExportTarget;
    ReportSpecRecord ReportSpec;
    std::int16_t RunWindowMode = 1; // show code for RUN
    bool ReplaceExistingDb = false; // SET OPTION_NEWDB=Y

    std::string TransferPath; // the transfer file, as derived from the argument
    bool ErrorShown = false;  // a fatal message was shown: exit status 1
};

// The one run state of the process.
RunState& Run();

// The scratch database's full path.
std::string ScratchDbPath();

} // namespace core
