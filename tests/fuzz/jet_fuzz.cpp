// Fuzz target: the Access (Jet 4) reader, its permissions and the structural checker on
// arbitrary bytes. Every input must end in values or an engine error.
#include "engine/engine.h"
#include "engine/jet/jet_check.h"
#include "engine/jet/jet_file.h"
#include "engine/jet/jet_security.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Bound the work per input: a few hundred pages.
    if (size > 256 * engine::jet::kPageSize) return 0;
    try {
        auto file = engine::jet::JetFile::FromBytes(std::vector<std::uint8_t>(data, data + size));
        std::vector<engine::Value> values;
        for (const auto& entry : file->ReadCatalog()) {
            try {
                const auto table = file->ReadTable(entry.TdefPage());
                file->ScanRows(table, [&](const std::uint8_t* row, std::size_t length) {
                    file->DecodeRow(table, row, length, values);
                    return true;
                });
            } catch (const engine::EngineError&) {
            }
        }
        engine::jet::ReadAccessRights(*file);
        engine::jet::CheckStructure(*file);
    } catch (const engine::EngineError&) {
    }
    return 0;
}
