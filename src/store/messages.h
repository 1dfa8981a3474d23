// What both exporters share: the scratch table they read, their closing
// texts and their clean-up.
#pragma once

#include "core/outcome.h"
#include "core/runstate.h"
#include "engine/engine.h"

#include <memory>
#include <optional>
#include <string>

namespace store {

// "The requested data stored successfully.", an empty line, "File Name = "
// and the destination's display name.
std::string SuccessText(const core::ExportTargetRecord& target);

// A trapped engine failure: its description and number.
core::Outcome EngineFailure(const engine::EngineError& e);

// The scratch database, open, with its table's definition.
struct ScratchTable {
    std::unique_ptr<engine::Database> db;
    engine::TableDef def{""};
};
// Opens the scratch table that SAVE copies into `scratch`; the engine's
// failure when it cannot.
std::optional<core::Outcome> OpenScratchTable(ScratchTable& scratch);

// Closes an engine object on a failure path; a second failure is not reported,
// the run is ending with the first one's message. Null is ignored.
void CloseQuietly(engine::Recordset* records);
void CloseQuietly(engine::Database* db);

// The existing ordinary file at `path`, found case-insensitively.
std::optional<std::string> ExistingOrdinaryFile(const std::string& path);

} // namespace store
