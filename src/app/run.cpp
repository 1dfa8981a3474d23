#include "app/run.h"

#include "app/environment.h"
#include "app/script.h"
#include "app/transfer.h"
#include "core/ending.h"
#include "core/runstate.h"
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
    NotifyUser(report, Notice::Terminate);
    FinishRun(); // not reached
}

void ReplaceOldScratchDatabase() {
    const std::string path = core::ScratchDbPath();
    if (!platform::AcquireRunLock(path))
        NotifyUser("Database is in use by another session", Notice::Terminate);
    if (auto existing = platform::ResolveExistingPath(path)) {
        if (platform::DeleteFile(*existing) != 0)
            NotifyUser("Database is in use by another session", Notice::Terminate);
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
    if (!Transfer().Open(core::Run().TransferPath, error)) {
        const platform::FileError e = platform::DescribeFileError(error, core::Run().TransferPath);
        RunTimeError(e.number, e.description);
    }
    if (Transfer().AtEnd()) NotifyUser("No data received from host.", Notice::Terminate);
}

// Header and data sections into the scratch table.
void LoadScratchDatabase() {
    core::RunState& run = core::Run();
    std::string line;
    Transfer().ReadLine(line);
    if (!IsMarkerLine(line, HeadMarker)) ReportHostError(line);
    ui::ShowStatus("Receiving data from host ...");

    auto db = engine::Engine().Workspaces(0).CreateDatabase(
        core::ScratchDbPath(), engine::dbLangGeneral, engine::dbVersion20 | engine::dbScratch);
    engine::TableDef def = db->CreateTableDef(run.ScratchTableName);
    ui::ShowStatus("Receiving the header information ...");
    std::string badLine;
    if (!LoadHeader(Transfer(), def, badLine)) {
        db->Close();
        NotifyUser("Invalid header format found: \r\n" + badLine, Notice::Terminate);
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
    core::RunState& run = core::Run();
    run.RunWindowMode = 1;
    run.ReplaceExistingDb = false;
    if (argument.empty()) {
        ui::ShowAboutWindow([] { EndProcess(0); });
        return;
    }
    run.TransferPath = TransferPathFromArgument(argument);
    if (!platform::IsOrdinaryFile(run.TransferPath))
        NotifyUser("Errors in data transfer.", Notice::Terminate);

    ui::ShowProgressWindow();
    ui::ShowStatus("Initializing ...");
    InitRunDefaults();
    ReplaceOldScratchDatabase();
    OpenTransferFile();
    LoadScratchDatabase();
    if (RunCommandScript(Transfer()) == ScriptEnd::EndOfFile) FinishRun();
}

void NotifyUser(const std::string& text, Notice notice) {
    if (notice == Notice::Inform) {
        ui::ShowMessage(core::MessageText(text), ui::Icon::Information);
        return;
    }
    ShowFailure(core::Outcome::Failure(text));
    FinishRun();
}

void ShowFailure(const core::Outcome& outcome) {
    if (!outcome.notice.empty()) ui::ShowMessage(outcome.notice, ui::Icon::None);
    core::Run().ErrorShown = true;
    if (outcome.box == core::FailureBox::Fatal)
        ui::ShowMessage(core::FatalText(outcome.Text()), ui::Icon::Critical);
    else if (outcome.caption.empty())
        ui::ShowMessage(outcome.Text(), ui::Icon::Information);
    else
        ui::ShowCaptionedMessage(outcome.caption, outcome.Text(), ui::Icon::Information);
}

void EndRunWithFailure(const core::Outcome& outcome) {
    ShowFailure(outcome);
    FinishRun();
}

void FinishRun() {
    Transfer().Close();
    if (!core::Run().TransferPath.empty()) platform::DeleteFile(core::Run().TransferPath);
    EndProcess(core::OrderlyExitStatus());
}

void EndProcess(int code) {
    engine::CloseAllDatabases();
    ui::EmitExitEvent(code);
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(code);
}

void RunTimeError(int number, const std::string& description) {
    ui::ShowMessage(core::RunTimeErrorText(number, description), ui::Icon::Critical);
    EndProcess(core::UntrappedExitStatus);
}

} // namespace app
