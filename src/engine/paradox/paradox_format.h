// The Paradox 3.x / 4.x table format: header layout, field codes, the byte
// forms of values, and a bounds-checked reader of records. The driver
// (paradox_driver.cpp) writes and reads files through these; nothing here
// touches the file system.
//
// A table is a .DB file: a header (fixed part, field descriptors, table name,
// field names, field numbers, sort-order name) padded to a multiple of 2 KiB,
// then data blocks of 4 KiB chained in order, each with a 6-byte head (next
// block, previous block, offset of its last record) and whole records.
// Header and block heads are little-endian; numbers inside records are stored
// high byte first with the sign bit flipped (negative doubles complemented),
// so that an all-zero field is blank (Paradox's Null). Memo and binary fields
// of Paradox 4 keep a leader in the record and the data in a .MB file of 4 KiB
// blocks: small blobs share suballocated blocks (type 3), large ones get a
// block of their own (type 2).
#pragma once

#include "engine/engine.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engine::paradox {

// File version bytes: Paradox 3.5 and Paradox 4.x.
constexpr std::uint8_t kVersion3 = 0x04;
constexpr std::uint8_t kVersion4 = 0x09;
// The largest block Paradox 3.5 and 4.x tables use (block size code 4).
constexpr int kBlockSizeCode = 4;
constexpr int kBlockSize = kBlockSizeCode * 1024;
constexpr int kBlockHead = 6;
// Block numbers are 16-bit.
constexpr int kMaxBlocks = 65535;
constexpr int kHeaderUnit = 2048;
constexpr int kMaxFields = 255;
constexpr std::size_t kMaxFieldName = 25;
constexpr std::size_t kTableNameSpace = 79;
constexpr std::uint16_t kCodePage1252 = 1252;

// .MB file.
constexpr int kMbBlock = 4096;
constexpr int kMbSubThreshold = 2048;  // smaller blobs are suballocated
constexpr int kMbSubFirstChunk = 0x15; // first 16-byte chunk after the pointer array
constexpr int kMbSubEntries = 64;
constexpr int kMbSingleHead = 9;
// The offset in a record's blob reference keeps its low byte for the index.
constexpr std::uint64_t kMbMaxOffset = 0xFFFFF000u;
constexpr std::uint64_t kMbMaxSingleBlob = 65535ull * kMbBlock - kMbSingleHead;

enum FieldCode : std::uint8_t {
    pxAlpha = 0x01,
    pxDate = 0x02,
    pxShort = 0x03,
    pxLong = 0x04,
    pxCurrency = 0x05,
    pxNumber = 0x06,
    pxLogical = 0x09,
    pxMemo = 0x0C,
    pxBlob = 0x0D,
    pxFmtMemo = 0x0E,
    pxOle = 0x0F,
    pxGraphic = 0x10,
    pxAutoInc = 0x16,
    pxBytes = 0x18,
};

// Memo fields keep one byte of their text in the record, binary fields none;
// both add the 10-byte reference to the .MB file.
constexpr int kBlobReference = 10;
constexpr int kMemoFieldSize = 1 + kBlobReference;
constexpr int kBinaryFieldSize = kBlobReference;

struct FieldSpec {
    std::string name; // Windows-1252
    std::uint8_t code = pxAlpha;
    std::uint8_t size = 1;
};

struct Header {
    std::uint8_t version = kVersion4;
    std::uint8_t fileType = 2; // 2: no primary key; 0: keyed
    std::uint8_t blockSizeCode = kBlockSizeCode;
    std::uint16_t recordSize = 0;
    std::uint16_t headerSize = 0;
    std::uint32_t numRecords = 0;
    std::uint16_t fileBlocks = 0;
    std::uint16_t firstBlock = 0;
    std::uint16_t lastBlock = 0;
    std::string tableName; // Windows-1252
    std::vector<FieldSpec> fields;

    int BlockSize() const { return blockSizeCode * 1024; }
    int RecordsPerBlock() const { return (BlockSize() - kBlockHead) / recordSize; }
    std::uint64_t BlockOffset(int number) const {
        return headerSize + std::uint64_t(number - 1) * std::uint64_t(BlockSize());
    }
    bool HasBlobs() const;
};

// ---- Header ------------------------------------------------------------------

// The header bytes of a table as described; recordSize and headerSize are
// computed and stored back into `header`.
std::vector<std::uint8_t> BuildHeader(Header& header);
// Rewrites the counts (records and blocks) in the first kCountsEnd bytes of
// a header.
void PutCounts(std::uint8_t* fixedPart, const Header& header);
constexpr std::size_t kCountsEnd = 0x3C;
// Reads a header; a file that is not such a table raises 3343, a damaged one
// 3049. `fileSize` bounds what the header may claim. `name` is for messages.
Header ParseHeader(const std::uint8_t* data, std::size_t size, std::uint64_t fileSize,
                   const std::string& name);
// Bytes to read to be sure of having the whole header.
constexpr std::size_t kHeaderProbe = 0x58 + 2;
std::size_t HeaderSizeField(const std::uint8_t* data);

// ---- Field names and types ---------------------------------------------------

// Field names as the table stores them: Windows-1252, at most 25 characters,
// a name that collides (ignoring case) with one already taken gets its end
// replaced by _1, _2, ...
std::vector<std::string> StoredFieldNames(const std::vector<std::string>& utf8Names);
// The engine's view of a stored field. AllowZeroLength is set for text and
// memo fields: an empty text is stored as blank (and reads back as Null).
Field EngineField(const FieldSpec& desc);
// Byte width of a stored field; 0 for a code this reader does not know.
int StoredWidth(std::uint8_t code, std::uint8_t size);

// ---- Values ------------------------------------------------------------------

void PutShort(std::uint8_t* out, std::int16_t value);
void PutLong(std::uint8_t* out, std::int32_t value);
void PutDouble(std::uint8_t* out, double value);
std::optional<std::int16_t> GetShort(const std::uint8_t* in);
std::optional<std::int32_t> GetLong(const std::uint8_t* in);
std::optional<double> GetDouble(const std::uint8_t* in);
// Days counted from 1 January of year 1 (day 1), proleptic Gregorian.
std::int32_t DateToDays(const DateTime& date);
std::optional<DateTime> DaysToDate(std::int32_t days);

inline void PutLe16(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}
inline void PutLe32(std::uint8_t* p, std::uint32_t v) {
    PutLe16(p, v & 0xFFFF);
    PutLe16(p + 2, v >> 16);
}
inline std::uint32_t GetLe16(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8;
}
inline std::uint32_t GetLe32(const std::uint8_t* p) {
    return GetLe16(p) | GetLe16(p + 2) << 16;
}

// ---- Reading records ---------------------------------------------------------

// Random access to the bytes of a file.
class Source {
  public:
    virtual ~Source() = default;
    // Exactly `size` bytes at `offset`, or false.
    virtual bool Read(void* buffer, std::size_t size, std::uint64_t offset) const = 0;
    virtual std::uint64_t Size() const = 0;
};

class MemorySource final : public Source {
  public:
    MemorySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Read(void* buffer, std::size_t size, std::uint64_t offset) const override;
    std::uint64_t Size() const override { return size_; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// Walks the block chain from the first block and yields records in order.
// Every count and offset in the file is checked against the file itself, so a
// damaged or hostile file raises 3049 instead of being trusted.
class RecordReader {
  public:
    // `blobs` may be null (a table without a .MB file).
    RecordReader(const Source& table, const Source* blobs, const Header& header, std::string name);
    // Moves to the first record; false when there is none.
    bool First();
    // Moves on; false at the end.
    bool Next();
    // Field `index` of the current record as an engine value.
    Value Get(int index) const;

  private:
    bool LoadBlock(int number);
    Value ReadBlob(const std::uint8_t* field, const FieldSpec& desc) const;
    [[noreturn]] void Damaged(const std::string& what) const;

    const Source& table_;
    const Source* blobs_;
    const Header& header_;
    std::string name_;
    std::vector<int> offsets_;
    std::vector<std::uint8_t> block_;
    int blockNumber_ = 0;
    int visited_ = 0;
    int recordsInBlock_ = 0;
    int record_ = 0;
};

} // namespace engine::paradox
