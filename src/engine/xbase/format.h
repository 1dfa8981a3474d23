// dBASE III, dBASE IV and FoxPro 2.x tables on disk: the table file (.DBF),
// its memo file (.DBT or .FPT), and how engine fields and values become
// stored fields and field bytes and back. Nothing here touches a file: the
// driver (driver.cpp) does the reading and writing, and the fuzz target feeds
// the reader from memory.
//
// The table file: a 32-byte header (version byte, last update as year - 1900,
// month, day, record count, header length, record length, language driver
// 0x03 = Windows-1252 at byte 29), one 32-byte descriptor per field (name of
// at most 10 bytes, type letter, length, decimals; FoxPro also keeps the
// field's offset in the record), 0x0D, then the records: a deletion flag
// (blank, or "*" for a deleted record) and the fields' text side by side,
// and 0x1A after the last record. All integers are little-endian.
//
// Version bytes: 0x03 for a table without memo fields; with them 0x83
// (dBASE III), 0x8B (dBASE IV) or 0xF5 (FoxPro 2.x).
//
// Memo files (a memo field holds the number of its first block as text):
//   dBASE III .DBT  512-byte blocks; block 0 holds the next free block; the
//                   text is ended by 0x1A 0x1A.
//   dBASE IV  .DBT  512-byte blocks; the header also holds the table's name
//                   and the block size; a memo starts with FF FF 08 00 and a
//                   length that counts those 8 bytes, the text is followed by
//                   0x1F 0x1F.
//   FoxPro    .FPT  big-endian header (next free block, block size 64); a
//                   memo starts with its type (1 = text) and its length, both
//                   big-endian 32-bit.
//
// Engine types and the fields that hold them:
//
//   engine type      dBASE III   dBASE IV, FoxPro   read back as
//   Boolean          L           L                  Boolean
//   Byte             N(3,0)      N(3,0)             Byte
//   Integer          N(6,0)      N(6,0)             Integer
//   Long             N(11,0)     N(11,0)            Long
//   Currency         N(20,4)     N(20,4)            Currency
//   Single, Double   N(20,5)     F(20,5)            Double
//   Date             D           D                  Date (no time of day)
//   Text(n)          C(n)        C(n)               Text(n)
//   Memo             M           M                  Memo
//   GUID             C(38)       C(38)              Text(38)
//   Binary, Long binary: refused (3259); these versions have no field for them.
//
// Numbers are written as text right-aligned in their field. Single and Double
// values keep 7 and 15 significant digits with their own decimal point (the
// field's decimal count only guides display), in fixed-point form where that
// fits the field and in exponent form otherwise; a value that fits neither
// raises 3349. Text is Windows-1252; a character it cannot hold becomes "?".
// An empty text and Null are both stored as blanks and read back as "";
// Null numbers, dates and logicals are stored as blanks ("?" for a logical)
// and read back as Null.
#pragma once

#include "engine/engine.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engine::xbase {

enum class Version { Dbase3, Dbase4, FoxPro20, FoxPro25, FoxPro26 };

// The version a connect-string name selects ("Dbase IV", "FoxPro 2.5", ...),
// compared without regard to case.
std::optional<Version> VersionNamed(std::string_view connectName);
bool IsFoxPro(Version version);
// "dBASE III", "FoxPro 2.6", ... for messages.
std::string VersionTitle(Version version);

enum class MemoKind { None, Dbase3, Dbase4, FoxPro };
MemoKind MemoKindOf(Version version);
// "DBT" or "FPT".
std::string MemoExtension(MemoKind kind);
std::uint32_t MemoBlockSize(MemoKind kind);

inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::size_t kDescriptorSize = 32;
inline constexpr std::size_t kMemoHeaderSize = 512;
inline constexpr char kEndOfFile = 0x1A;

// A field as the table file describes it.
struct StoredField {
    std::string name; // Windows-1252, at most 10 bytes
    char type = 'C';
    int length = 0;
    int decimals = 0;
    int offset = 0; // in the record; byte 0 is the deletion flag
};

struct TableHeader {
    std::uint8_t version = 0x03;
    int year = 0, month = 0, day = 0; // the full year
    std::uint32_t recordCount = 0;
    std::uint32_t headerLength = 0;
    std::uint32_t recordLength = 0;
    std::uint8_t languageDriver = 0;
    std::vector<StoredField> fields;
};

// What a new table looks like on disk: the stored fields and, for the
// recordsets that fill it, the engine fields (stored names, the types asked
// for, zero-length texts allowed).
struct TablePlan {
    Version version = Version::Dbase4;
    std::vector<StoredField> stored;
    std::vector<Field> fields;
    bool hasMemo = false;
    int recordLength = 0;
};

// The stored names for fields named `names` (UTF-8): upper case,
// Windows-1252, cut to 10 bytes; a name already taken gets "_1", "_2", ...
// in place of its end (CUSTOMER_NAME, CUSTOMER_NO -> CUSTOMER_N, CUSTOMER_1).
std::vector<std::string> StoredFieldNames(const std::vector<std::string>& names);

// The plan for a new table `def` in `version`. Raises 3259 for a field type
// the version cannot hold, 3190 for more fields and 3047 for a longer record
// than the version allows.
TablePlan PlanTable(Version version, const TableDef& def);

// The complete header of a table (descriptors and terminator included) with
// `count` records, last updated on the given date.
std::vector<std::uint8_t> EncodeHeader(const TablePlan& plan, std::uint32_t count, int year,
                                       int month, int day);
// The bytes 1 to 7 of the header (date and record count), written in place.
void EncodeDateAndCount(std::uint8_t* bytes, std::uint32_t count, int year, int month, int day);

// The fixed part of a header (the first 32 bytes): what it says, without the
// fields. Raises 3343 when it cannot be the header of a table.
TableHeader DecodeFixedHeader(const std::uint8_t* bytes, std::size_t size);
// The field descriptors, from the whole header (`size` = its header length).
// Raises 3049 when they do not fit the record length.
void DecodeDescriptors(TableHeader& header, const std::uint8_t* bytes, std::size_t size);

// The engine fields a stored table presents when it is read.
std::vector<Field> FieldsOf(const TableHeader& header);

// Where memo text goes while a record is encoded: returns the number of the
// first block that will hold `text` (Windows-1252).
class MemoSink {
  public:
    virtual ~MemoSink() = default;
    virtual std::uint32_t Append(std::string_view text) = 0;
};

// Encodes one record (deletion flag included) into `record`, which has
// plan.recordLength bytes. `values` are of the types of plan.fields, as the
// engine's conversion left them. Raises 3349 when a number does not fit its
// field and 3163 when a text does not.
void EncodeRecord(const TablePlan& plan, const std::vector<Value>& values, MemoSink* memo,
                  char* record);

// The memo file's header block for a new memo file of a table named
// `tableName` (UTF-8) whose next free block is `nextBlock`.
std::vector<std::uint8_t> EncodeMemoHeader(MemoKind kind, std::uint32_t nextBlock,
                                           const std::string& tableName);
// Writes the next-free-block number into the first 4 bytes of a memo header.
void EncodeNextBlock(MemoKind kind, std::uint8_t* bytes, std::uint32_t nextBlock);
// Appends one memo (text in Windows-1252, padded to whole blocks) to `out`;
// returns the number of blocks it takes.
std::uint32_t AppendMemo(MemoKind kind, std::string_view text, std::vector<char>& out);

// Numbers as a field holds them; false when the text would not fit `width`.
bool FormatWhole(std::int64_t value, std::size_t width, std::string& out);
// Up to `significantDigits` digits: fewer only where the sign and an exponent
// leave no room for all of them, so false only when not one digit fits.
bool FormatReal(double value, int significantDigits, std::size_t width, std::string& out);
// Exact, with no more decimals than the value has; fewer, rounded, only where
// the sign leaves no room for all four.
bool FormatCurrency(Currency value, std::size_t width, std::string& out);

// Random access to bytes of a file (or of memory, for the fuzz target).
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t Size() const = 0;
    // Bytes read, fewer at the end; raises 3043 on a read failure.
    virtual std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const = 0;
};

// Reads memo text out of a memo file. Every block number and length is
// checked against the file.
class MemoReader {
  public:
    MemoReader(MemoKind kind, const ByteSource& source);
    // The text of the memo that starts at `block`, as stored (Windows-1252);
    // "" for a block outside the file.
    std::string Read(std::uint64_t block) const;

  private:
    MemoKind kind_;
    const ByteSource& source_;
    std::uint32_t blockSize_ = 512;
};

// The value of one stored field (`bytes` holds field.length bytes), as a value
// of the engine type `type` (FieldsOf). `memo` may be null: memo text is then "".
Value DecodeValue(const StoredField& field, int type, const char* bytes, const MemoReader* memo);

// A sequential reader of a table's records.
class TableReader {
  public:
    // Reads and checks the header. `memo` may be null.
    TableReader(const ByteSource& table, const ByteSource* memo, MemoKind memoKind);
    const TableHeader& Header() const { return header_; }
    const std::vector<Field>& Fields() const { return fields_; }
    // The records the header counts that the file really holds.
    std::uint64_t RecordCount() const { return count_; }
    // Reads record `index` (< RecordCount()) into `row`; false when it is
    // marked deleted (`row` is then left alone).
    bool Read(std::uint64_t index, std::vector<Value>& row);

  private:
    const char* Record(std::uint64_t index);

    const ByteSource& table_;
    std::optional<MemoReader> memo_;
    TableHeader header_;
    std::vector<Field> fields_;
    std::uint64_t count_ = 0;
    std::vector<char> buffer_;
    std::uint64_t bufferFirst_ = 0, bufferCount_ = 0;
};

} // namespace engine::xbase
