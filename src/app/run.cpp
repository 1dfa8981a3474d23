#include "app/run.h"

#include "app/environment.h"
#include "app/runstate.h"
#include "app/script.h"
#include "app/transfer.h"
#include "engine/driver.h"
#include "engine/engine.h"
#include "platform/platform.h"
#include "ui/events.h"
#include "ui/windows.h"

#include <cstdio>
#include <unistd.h>

namespace app {

namespace {

// The journals the native format keeps beside the database `path`.
std::vector<std::string> JournalsOf(const std::string& path) {
    return engine::FindDriver("")->SideFileNames(path, engine::SideFile::Role::Journal);
}

// Open from start-up until FinishRun.
TransferFile& Transfer() {
    static TransferFile file;
    return file;
}

std::string TransferPathFromArgument(const std::string& argument) {
    if (!argument.empty() && argument.front() == '"')
        return argument.size() >= 2 ? argument.substr(1, argument.size() - 2) : std::string();
    return Trim(argument);
}

// "Error occurs in the host processing: " and up to three lines of the file,
// starting with the offending one.
[[noreturn]] void ReportHostError(const std::string& offendingLine) {
    std::string report = "Error occurs in the host processing: \r\n";
    report += "\r\n" + offendingLine;
    std::string line;
    for (int shown = 1; shown < 3 && Transfer().ReadLine(line); ++shown)
        report += "\r\n" + line;
    NotifyUser(report, true);
    FinishRun(); // not reached
}

void ReplaceOldScratchDatabase() {
    const std::string path = ScratchDbPath();
    if (!platform::AcquireRunLock(path)) NotifyUser("Database is in use by another session", true);
    if (auto existing = platform::ResolveExistingPath(path)) {
        if (platform::DeleteFile(*existing) != 0)
            NotifyUser("Database is in use by another session", true);
        for (const std::string& journal : JournalsOf(*existing))
            platform::DeleteFile(journal); // a crashed run's leftovers
    }
    // A journal without its database: left by a crash, or planted in a shared
    // work folder. The engine will not write through a link, so it goes.
    for (const std::string& journal : JournalsOf(path))
        platform::DeleteFile(journal);
}

void OpenTransferFile() {
    int error = 0;
    if (!Transfer().Open(Run().TransferPath, error)) {
        const platform::FileError e = platform::DescribeFileError(error, Run().TransferPath);
        RunTimeError(e.number, e.description);
    }
    if (Transfer().AtEnd()) NotifyUser("No data received from host.", true);
}

// Header and data sections into the scratch table.
void LoadScratchDatabase() {
    RunState& run = Run();
    std::string line;
    Transfer().ReadLine(line);
    if (!IsMarkerLine(line, HeadMarker)) ReportHostError(line);
    ui::ShowStatus("Receiving data from host ...");

    auto db = engine::Engine().Workspaces(0).CreateDatabase(
        ScratchDbPath(), engine::dbLangGeneral, engine::dbVersion20 | engine::dbScratch);
    engine::TableDef def = db->CreateTableDef(run.ScratchTableName);
    ui::ShowStatus("Receiving the header information ...");
    std::string badLine;
    if (!LoadHeader(Transfer(), def, badLine)) {
        db->Close();
        NotifyUser("Invalid header format found: \r\n" + badLine, true);
    }
    db->AppendTableDef(def);
    ui::ShowStatus("Receiving the header information ... Completed");

    std::optional<std::string> first;
    if (Transfer().ReadLine(line)) first = line;
    if (first && IsHostErrorLine(*first)) {
        db->Close();
        ReportHostError(*first);
    }
    ui::ShowStatus("Receiving data from host ...");
    auto records = db->OpenRecordset(run.ScratchTableName, engine::dbOpenTable);
    LoadData(Transfer(), *records, first);
    records->Close();
    db->Close();
    ui::ShowStatus("Receiving data from host ... Completed");
}

} // namespace

void Main(const std::string& argument) {
    RunState& run = Run();
    run.RunWindowMode = 1;
    run.ReplaceExistingDb = false;
    if (argument.empty()) {
        ui::ShowAboutWindow();
        return;
    }
    run.TransferPath = TransferPathFromArgument(argument);
    if (!platform::IsOrdinaryFile(run.TransferPath)) NotifyUser("Errors in data transfer.", true);

    ui::ShowProgressWindow();
    ui::ShowStatus("Initializing ...");
    InitRunDefaults();
    ReplaceOldScratchDatabase();
    OpenTransferFile();
    LoadScratchDatabase();
    if (RunCommandScript(Transfer()) == ScriptEnd::EndOfFile) FinishRun();
}

std::string MessageText(const std::string& text) {
    if (text.size() <= MaxMessageText) return text;
    // Cut on a character boundary of the UTF-8 text.
    size_t cut = MaxMessageText;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return text.substr(0, cut) + "...";
}

void NotifyUser(const std::string& text, bool terminate) {
    if (!terminate) {
        ui::ShowMessage(MessageText(text), ui::Icon::Information);
        return;
    }
    Run().ErrorShown = true;
    ui::ShowMessage(MessageText(text) + "\r\nThe program will terminate.", ui::Icon::Critical);
    FinishRun();
}

void FinishRun() {
    Transfer().Close();
    if (!Run().TransferPath.empty()) platform::DeleteFile(Run().TransferPath);
    EndProcess(Run().ErrorShown ? 1 : 0);
}

void EndProcess(int code) {
    engine::CloseAllDatabases();
    ui::EmitExitEvent(code);
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(code);
}

void RunTimeError(int number, const std::string& description) {
    ui::ShowMessage("Run-time error '" + std::to_string(number) + "':\r\n\r\n" + description,
                    ui::Icon::Critical);
    EndProcess(2);
}

} // namespace app
