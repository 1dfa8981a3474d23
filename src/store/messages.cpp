#include "store/messages.h"

#include "platform/platform.h"
#include "store/formats.h"

namespace store {

std::string SuccessText(const core::ExportTargetRecord& target) {
    return "The requested data stored successfully.\r\n\r\nFile Name = " +
           DestinationDisplayName(target);
}

core::Outcome EngineFailure(const engine::EngineError& e) {
    return core::Outcome::Failure(e.Description(), e.Number());
}

std::optional<core::Outcome> OpenScratchTable(ScratchTable& scratch) {
    try {
        scratch.db = engine::Engine().Workspaces(0).OpenDatabase(core::ScratchDbPath());
        scratch.def = scratch.db->TableDefs(core::Run().ScratchTableName);
    } catch (const engine::EngineError& e) {
        return EngineFailure(e);
    }
    return std::nullopt;
}

void CloseQuietly(engine::Recordset* records) {
    if (records == nullptr) return;
    try {
        records->Close();
    } catch (const engine::EngineError&) {
    }
}

void CloseQuietly(engine::Database* db) {
    if (db == nullptr) return;
    try {
        db->Close();
    } catch (const engine::EngineError&) {
    }
}

std::optional<std::string> ExistingOrdinaryFile(const std::string& path) {
    auto existing = platform::ResolveExistingPath(path);
    if (existing && platform::IsOrdinaryFile(*existing)) return existing;
    return std::nullopt;
}

} // namespace store
