#include "store/messages.h"

#include "app/run.h"
#include "platform/platform.h"
#include "store/formats.h"

namespace store {

std::string SuccessText(const app::ExportTargetRecord& target) {
    return "The requested data stored successfully.\r\n\r\nFile Name = " +
           DestinationDisplayName(target);
}

std::string FailureText(const std::string& description, int number) {
    return description + "(" + std::to_string(number) + ")";
}

void EndRunWith(const std::string& text) {
    app::NotifyUser(text, true);
    app::FinishRun(); // NotifyUser has already ended the run
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
