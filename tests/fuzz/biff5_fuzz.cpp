// Fuzz target for the reader of Excel 5.0 workbook streams: the globals, every
// sheet's cells, and the globals rewritten with the formats our cells add.
#include "engine/excel/biff5.h"

#include <cstddef>
#include <cstdint>

using namespace engine::excel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemorySource source(data, size);
    try {
        const Globals globals = ReadGlobals(source);
        std::vector<GlobalsWriter::SheetOut> sheets;
        for (const SheetEntry& sheet : globals.sheets) {
            ReadCells(data + sheet.start, sheet.end - sheet.start, globals.formats);
            sheets.push_back({sheet.name, sheet.visibility, sheet.type, sheet.end - sheet.start});
        }
        GlobalsWriter writer(globals);
        for (CellStyle style : {CellStyle::General, CellStyle::Date, CellStyle::DateTime,
                                CellStyle::Time, CellStyle::Currency})
            writer.XfFor(style);
        writer.Serialize(sheets);
    } catch (const FormatError&) {
    }
    // The bytes as one sheet's records, whatever the globals said.
    try {
        ReadCells(data, size, CellFormats{});
    } catch (const FormatError&) {
    }
    return 0;
}
