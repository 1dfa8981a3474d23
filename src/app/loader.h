// The data section of the transfer file, read in large blocks: lines are split
// and their values converted where they lie in the block, and the rows go to
// the scratch table in batches. LoadData (transfer.h) runs the reading on a
// thread of its own, with a few batches passed back and forth, so memory stays
// the same whatever the size of the file.
#pragma once

#include "app/transfer.h"
#include "engine/engine.h"
#include "engine/rowbatch.h"

#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// The bytes of one block of the file and the complete rows read from it; the
// rows' texts point into `bytes` or into the batch's own storage.
struct LoadBatch {
    std::vector<char> bytes;
    engine::RowBatch rows;
};

// Bytes read from the file per batch (more when one record is longer).
inline constexpr std::size_t LoadBlockSize = 256 * 1024;

// Reads the data section batch by batch. Uses nothing but the file and the
// engine's value rules, so it may run on any thread.
class DataSectionReader {
  public:
    // `fields`: the scratch table's fields, one per value line of a record;
    // `firstLine`: the section's first line, already read.
    DataSectionReader(TransferFile& file, std::vector<engine::Field> fields,
                      const std::optional<std::string>& firstLine,
                      std::size_t blockSize = LoadBlockSize);
    // Marks a field the recordset does not have: its first value raises `error`.
    void SetMissingField(std::size_t index, std::exception_ptr error);

    // Fills `batch` with the next complete records. False once the section is
    // over (the batch may still hold its last records); the file then stands
    // after the COMMAND marker line. A value that cannot be converted raises
    // its error, the batch holding the records before it.
    bool Next(LoadBatch& batch);

  private:
    struct FieldRule {
        engine::Field field;
        bool text = false; // the text rule straight into the row, when the value fits
        std::exception_ptr missing;
    };
    bool ReadBlock(LoadBatch& batch);
    void AddValue(engine::RowBatch& rows, std::size_t index, std::string_view line);

    TransferFile& file_;
    std::vector<FieldRule> fields_;
    std::size_t blockSize_;
    std::string carry_; // the bytes of a record the last block did not complete
    bool done_ = false;
    engine::Value converted_;
};

// True when no byte has its high bit set.
bool IsAscii(std::string_view bytes);

} // namespace app
