#include "engine/rowbatch.h"

#include "engine/convert.h"

#include <algorithm>
#include <cstring>

namespace engine {

namespace {
constexpr std::size_t kBlockSize = 64 * 1024;
} // namespace

void RowBatch::Clear(int fieldCount) {
    fieldCount_ = std::max(fieldCount, 1);
    cells_.clear();
    others_.clear();
    // One ordinary block is kept for the next rows; blocks made for a large
    // value go, so that one huge value does not stay in memory.
    if (!blocks_.empty()) {
        blocks_.resize(1);
        if (blocks_[0].size != kBlockSize) blocks_.clear();
    }
    for (Block& block : blocks_)
        block.used = 0;
    current_ = 0;
}

void RowBatch::AddInteger(std::int64_t value) {
    BatchCell& cell = cells_.emplace_back();
    cell.kind = BatchCell::Kind::Integer;
    cell.integer = value;
}

void RowBatch::AddReal(double value) {
    BatchCell& cell = cells_.emplace_back();
    cell.kind = BatchCell::Kind::Real;
    cell.real = value;
}

void RowBatch::AddText(std::string_view text) {
    BatchCell& cell = cells_.emplace_back();
    cell.kind = BatchCell::Kind::Text;
    cell.data = text.data();
    cell.size = text.size();
}

void RowBatch::AddValue(const Value& value) {
    switch (value.index()) {
    case 0:
        AddNull();
        break;
    case 1:
        AddInteger(std::get<bool>(value) ? 1 : 0);
        break;
    case 2:
        AddInteger(std::get<std::int64_t>(value));
        break;
    case 3:
        AddReal(std::get<double>(value));
        break;
    case 4:
        AddText(Keep(std::get<std::string>(value)));
        break;
    case 5: {
        char* text = Store(19);
        FormatDateTimeTo(std::get<DateTime>(value), text);
        AddText({text, 19});
        break;
    }
    case 6: {
        const Blob& blob = std::get<Blob>(value);
        char* bytes = Store(blob.size());
        if (!blob.empty()) std::memcpy(bytes, blob.data(), blob.size());
        BatchCell& cell = cells_.emplace_back();
        cell.kind = BatchCell::Kind::Bytes;
        cell.data = bytes;
        cell.size = blob.size();
        break;
    }
    default: {
        BatchCell& cell = cells_.emplace_back();
        cell.kind = BatchCell::Kind::Value;
        cell.integer = static_cast<std::int64_t>(others_.size());
        others_.push_back(value);
        break;
    }
    }
}

void RowBatch::DropIncompleteRow() {
    cells_.resize(RowCount() * std::size_t(fieldCount_));
}

char* RowBatch::Store(std::size_t size) {
    while (current_ < blocks_.size() && blocks_[current_].size - blocks_[current_].used < size)
        ++current_;
    if (current_ == blocks_.size()) {
        const std::size_t blockSize = std::max(size, kBlockSize);
        blocks_.push_back(Block{std::make_unique<char[]>(blockSize), blockSize, 0});
    }
    Block& block = blocks_[current_];
    char* at = block.bytes.get() + block.used;
    block.used += size;
    return at;
}

std::string_view RowBatch::Keep(std::string_view text) {
    char* copy = Store(text.size());
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    return {copy, text.size()};
}

Value CellValue(const RowBatch& rows, const BatchCell& cell) {
    switch (cell.kind) {
    case BatchCell::Kind::Value:
        return rows.Other(cell);
    case BatchCell::Kind::Integer:
        return cell.integer;
    case BatchCell::Kind::Real:
        return cell.real;
    case BatchCell::Kind::Text:
        return std::string(cell.View());
    case BatchCell::Kind::Bytes:
        return Blob(cell.data, cell.data + cell.size);
    default:
        return Null{};
    }
}

} // namespace engine
