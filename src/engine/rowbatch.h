// Rows handed to a recordset in bulk: values already converted to their
// fields' types, texts held as views into storage the batch owns or that its
// producer keeps alive, so that a row can be bound without copying it.
#pragma once

#include "engine/engine.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace engine {

struct BatchCell {
    // Value: any other kind of value, kept whole in the batch (see Other).
    enum class Kind : std::uint8_t { Null, Integer, Real, Text, Bytes, Value };
    Kind kind = Kind::Null;
    std::int64_t integer = 0; // Integer; for Value, its place in the batch
    double real = 0;
    // Text (UTF-8) and Bytes.
    const char* data = nullptr;
    std::size_t size = 0;

    std::string_view View() const { return {data, size}; }
};

class RowBatch {
  public:
    explicit RowBatch(int fieldCount = 1) { Clear(fieldCount); }

    // Empties the batch for rows of `fieldCount` values; storage is kept.
    void Clear(int fieldCount);
    int FieldCount() const { return fieldCount_; }
    // Complete rows only: values of a row still being added do not count.
    std::size_t RowCount() const { return cells_.size() / std::size_t(fieldCount_); }
    const BatchCell* Row(std::size_t row) const { return &cells_[row * std::size_t(fieldCount_)]; }

    void AddNull() { cells_.emplace_back(); }
    void AddInteger(std::int64_t value);
    void AddReal(double value);
    // `text` must stay valid as long as the batch holds it (see Store).
    void AddText(std::string_view text);
    // A value as ConvertValueInto leaves it: texts, dates and bytes are copied
    // into the batch's storage; a kind of value a cell has no form for is kept
    // whole, so that nothing is lost on its way to the driver.
    void AddValue(const Value& value);
    // The value of a cell of kind Value.
    const Value& Other(const BatchCell& cell) const {
        return others_[static_cast<std::size_t>(cell.integer)];
    }
    // Forgets the values of a row that was not completed.
    void DropIncompleteRow();
    // Room for `size` bytes that stays in place until Clear.
    char* Store(std::size_t size);
    // A copy of `text` in the batch's storage.
    std::string_view Keep(std::string_view text);

  private:
    struct Block {
        std::unique_ptr<char[]> bytes;
        std::size_t size = 0, used = 0;
    };
    int fieldCount_ = 1;
    std::vector<BatchCell> cells_;
    std::vector<Value> others_;
    std::vector<Block> blocks_;
    std::size_t current_ = 0; // the block Store takes from
};

// A cell of `rows` as the value it holds (Text as text, Bytes as a blob).
Value CellValue(const RowBatch& rows, const BatchCell& cell);

} // namespace engine
