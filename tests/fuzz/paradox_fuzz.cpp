// Paradox table reader on untrusted bytes. The input is a .DB file and an
// optional .MB file: its first two bytes (little-endian) give the length of the
// .DB part, the rest after it is the .MB part.
#include "engine/paradox/paradox_format.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace engine::paradox;
    if (size < 2) return 0;
    const std::size_t tableSize = std::min<std::size_t>(data[0] | data[1] << 8, size - 2);
    const std::uint8_t* table = data + 2;
    const std::uint8_t* blobs = table + tableSize;
    const std::size_t blobSize = size - 2 - tableSize;
    try {
        const Header header = ParseHeader(table, tableSize, tableSize, "fuzz");
        for (const FieldSpec& desc : header.fields)
            EngineField(desc);
        const MemorySource tableSource(table, tableSize);
        const MemorySource blobSource(blobs, blobSize);
        RecordReader reader(tableSource, blobSize > 0 ? &blobSource : nullptr, header, "fuzz");
        int records = 0;
        for (bool more = reader.First(); more && records < 100000;
             more = reader.Next(), ++records) {
            for (int i = 0; i < int(header.fields.size()); ++i) {
                try {
                    reader.Get(i);
                } catch (const engine::EngineError&) {
                }
            }
        }
    } catch (const engine::EngineError&) {
    }
    return 0;
}
