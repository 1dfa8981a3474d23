#include "store/export_database.h"

#include "core/runstate.h"
#include "engine/driver.h"
#include "engine/engine.h"
#include "platform/datafile.h"
#include "platform/platform.h"
#include "store/export_text.h"
#include "store/folders.h"
#include "store/formats.h"
#include "store/messages.h"

#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

namespace store {

namespace {

// A table of a folder type goes with its memo files, and only with them: a
// stale memo file beside a new table makes readers refuse the table. A table
// that another program holds locked stays, as a file in use does on Windows,
// and deleting the old table will report it.
void DeleteOldTableFile(const engine::Driver& driver, const std::string& path) {
    if (auto table = ExistingOrdinaryFile(path)) {
        if (platform::DeleteUnlockedFile(*table) == EBUSY) return;
    }
    for (const std::string& memo : driver.ExistingSideFiles(path, engine::SideFile::Role::Memo))
        platform::DeleteUnlockedFile(memo);
}

// OPTION_NEWDB: the destination file goes first. Whether that works does not
// matter; opening the destination will tell.
void DeleteOldDestination(const core::ExportTargetRecord& target) {
    const std::string path = target.Location + target.FileName;
    // MS/ACCESS has no connect string: the native format's journal goes.
    const engine::Driver* driver = engine::FindDriver(ConnectString(target.DbType));
    if (IsFolderType(target.DbType)) return DeleteOldTableFile(*driver, path);
    auto existing = ExistingOrdinaryFile(path);
    if (!existing) return;
    platform::DeleteFile(*existing);
    // A journal left by a crashed writer would be replayed into the new file.
    if (driver == nullptr) return;
    for (const std::string& journal :
         driver->SideFileNames(*existing, engine::SideFile::Role::Journal))
        platform::DeleteFile(journal);
}

std::unique_ptr<engine::Database> OpenDestination(core::ExportTargetRecord& target) {
    engine::Workspace& workspace = engine::Engine().Workspaces(0);
    const int code = target.DbType;
    const std::string path = target.Location + target.FileName;
    if (IsFolderType(code)) {
        // Each table is a file of the folder: the table is named after the file.
        target.TableName = BaseName(target.FileName);
        return workspace.OpenDatabase(target.Location, true, false, ConnectString(code));
    }
    if (!ConnectString(code).empty()) {
        // A file of named tables reached by its connect string (Excel; a
        // Btrieve dictionary, for which no driver is installed here).
        const std::string existing = platform::ResolveExistingPath(path).value_or(path);
        return workspace.OpenDatabase(existing, true, false, ConnectString(code));
    }
    if (auto existing = ExistingOrdinaryFile(path)) return workspace.OpenDatabase(*existing);
    // A new file is a genuine Access 2000 (Jet 4) database, which every Access
    // since opens; the version 2.0 format no current program reads.
    return workspace.CreateDatabase(path, engine::dbLangGeneral, engine::dbVersion40);
}

void DeleteOldTable(engine::Database& destination, const std::string& table) {
    try {
        destination.DeleteTableDef(table);
    } catch (const engine::EngineError& e) {
        if (e.Number() > 0 && e.Number() != engine::errItemNotFound) throw;
    }
}

// An empty table with the scratch table's fields, in their order.
void CreateDestinationTable(engine::Database& destination, const core::ExportTargetRecord& target,
                            const engine::TableDef& source) {
    engine::TableDef def = destination.CreateTableDef(target.TableName);
    for (int i = 0; i < source.FieldCount(); ++i) {
        const engine::Field& from = source.Fields(i);
        engine::Field field = def.CreateField(from.Name, from.Type, from.Size);
        const bool text = from.Type == engine::dbText || from.Type == engine::dbMemo;
        if (text && target.DbType == dtAccess) field.AllowZeroLength = true;
        def.AppendField(field);
    }
    destination.AppendTableDef(def);
}

// Row by row, fields matched by position. An empty source is a valid result.
void CopyRows(engine::Recordset& source, engine::Recordset& target) {
    const int count = source.FieldCount();
    if (!source.Eof()) source.MoveFirst();
    while (!source.Eof()) {
        target.AddNew();
        for (int i = 0; i < count; ++i)
            target.SetValue(i, source.GetValue(i));
        target.Update(engine::dbUpdateRegular, false);
        source.MoveNext();
    }
}

} // namespace

bool DestinationIsScratchDatabase() {
    const core::ExportTargetRecord& target = core::Run().ExportTarget;
    const auto destination = ExistingOrdinaryFile(target.Location + target.FileName);
    const auto scratch = ExistingOrdinaryFile(core::ScratchDbPath());
    if (!destination || !scratch) return false;
    std::error_code error;
    return std::filesystem::equivalent(*destination, *scratch, error) && !error;
}

core::Outcome SaveData() {
    const core::ExportTargetRecord& target = core::Run().ExportTarget;
    if (target.FileName.empty())
        return core::Outcome::Failure("Destination database was not specified.");
    if (std::string notice; !CreateFolderPath(target.Location, &notice)) {
        core::Outcome failure = core::Outcome::Failure("Fail to create the directory given.");
        failure.notice = notice;
        return failure;
    }
    // Copying the scratch table onto itself would destroy the rows being read:
    // the data is already where it is meant to go.
    if (DestinationIsScratchDatabase()) return core::Outcome::Success(SuccessText(target));
    return target.DbType == dtText ? ExportToText() : ExportToDatabase();
}

core::Outcome ExportToDatabase() {
    core::RunState& run = core::Run();
    core::ExportTargetRecord& target = run.ExportTarget;

    // Stage 1: the source.
    ScratchTable scratch;
    if (auto failure = OpenScratchTable(scratch)) return *failure;

    if (run.ReplaceExistingDb) DeleteOldDestination(target);

    // Stage 2: the destination.
    std::unique_ptr<engine::Database> destination;
    try {
        destination = OpenDestination(target);
    } catch (const engine::EngineError& e) {
        CloseQuietly(scratch.db.get());
        return EngineFailure(e);
    }

    // Stage 3: the table and its rows. Nothing of a failed copy is undone.
    std::unique_ptr<engine::Recordset> from, to;
    try {
        DeleteOldTable(*destination, target.TableName);
        CreateDestinationTable(*destination, target, scratch.def);
        from = scratch.db->OpenRecordset(run.ScratchTableName);
        to = destination->OpenRecordset(target.TableName);
        CopyRows(*from, *to);
        to->Close();
        from->Close();
        destination->Close();
        scratch.db->Close();
    } catch (const engine::EngineError& e) {
        CloseQuietly(to.get());
        CloseQuietly(from.get());
        CloseQuietly(scratch.db.get());
        CloseQuietly(destination.get());
        return EngineFailure(e);
    }
    return core::Outcome::Success(SuccessText(target));
}

} // namespace store
