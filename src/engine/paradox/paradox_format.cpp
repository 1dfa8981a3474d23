#include "engine/paradox/paradox_format.h"

#include "engine/convert.h"

#include "platform/platform.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>

namespace engine::paradox {

namespace {

// Offsets in the fixed part of the header.
constexpr std::size_t oRecordSize = 0x00, oHeaderSize = 0x02, oFileType = 0x04, oBlockSize = 0x05,
                      oNumRecords = 0x06, oNextBlock = 0x0A, oFileBlocks = 0x0C, oFirstBlock = 0x0E,
                      oLastBlock = 0x10, oNumFields = 0x21, oEncryption1 = 0x25,
                      oChangeCount1 = 0x2D, oChangeCount2 = 0x2E, oVersion = 0x39,
                      oMaxBlocks = 0x3A, oUnknown3E = 0x3E;
// The Paradox 4 part that follows it.
constexpr std::size_t oFileVersion4 = 0x58, oFileVersion4b = 0x5A, oEncryption2 = 0x5C,
                      oHiFieldId = 0x64, oCodePage = 0x6A, oUnknown6C = 0x6C;
constexpr std::size_t kFixedPart3 = 0x58, kFixedPart4 = 0x78;
constexpr std::uint32_t kEncryptionMoved = 0xFF00FF00u;
constexpr const char* kSortOrder = "ascii";

std::size_t FieldInfoOffset(std::uint8_t version) {
    return version >= 5 ? kFixedPart4 : kFixedPart3;
}

std::size_t TableNameSpace(std::uint8_t version) {
    return version >= 12 ? 261 : kTableNameSpace;
}

bool SameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

const int kDayOne = DaysFromCivil(1, 1, 1) - 1;

bool AllZero(const std::uint8_t* p, std::size_t n) {
    return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}

[[noreturn]] void NotATable(const std::string& name) {
    throw EngineError(errUnrecognizedFormat,
                      "'" + name + "' is not a Paradox 3.x or 4.x table the engine can read.");
}

[[noreturn]] void DamagedHeader(const std::string& name, const std::string& what) {
    throw EngineError(errCorrupt, "The Paradox table '" + name + "' is damaged: " + what + ".");
}

} // namespace

bool Header::HasBlobs() const {
    return std::any_of(fields.begin(), fields.end(), [](const FieldSpec& f) {
        return f.code == pxMemo || f.code == pxBlob || f.code == pxFmtMemo || f.code == pxOle ||
               f.code == pxGraphic;
    });
}

// ---- Header ------------------------------------------------------------------

std::vector<std::uint8_t> BuildHeader(Header& h) {
    const std::size_t n = h.fields.size();
    const std::size_t infoAt = FieldInfoOffset(h.version);
    std::size_t names = 0;
    int recordSize = 0;
    for (const FieldSpec& f : h.fields) {
        names += f.name.size() + 1;
        recordSize += f.size;
    }
    const std::size_t used =
        infoAt + 2 * n + 4 + 4 * n + kTableNameSpace + names + 2 * n + std::strlen(kSortOrder) + 1;
    const std::size_t size = (used + kHeaderUnit - 1) / kHeaderUnit * kHeaderUnit;
    h.recordSize = static_cast<std::uint16_t>(recordSize);
    h.headerSize = static_cast<std::uint16_t>(size);

    std::vector<std::uint8_t> out(size, 0);
    std::uint8_t* p = out.data();
    PutLe16(p + oRecordSize, h.recordSize);
    PutLe16(p + oHeaderSize, h.headerSize);
    p[oFileType] = h.fileType;
    p[oBlockSize] = h.blockSizeCode;
    PutCounts(p, h);
    PutLe16(p + oNumFields, static_cast<std::uint32_t>(n));
    p[oChangeCount1] = 1;
    p[oChangeCount2] = 1;
    p[oVersion] = h.version;
    p[oUnknown3E] = 0x1F;
    p[oUnknown3E + 1] = 0x0F;
    if (h.version >= 5) {
        // Paradox 4 moved the encryption word to its own part of the header
        // and marks the old place; that part also carries the code page.
        PutLe32(p + oEncryption1, kEncryptionMoved);
        PutLe16(p + oFileVersion4, 0x0100u | h.version);
        PutLe16(p + oFileVersion4b, 0x0100u | h.version);
        PutLe32(p + oEncryption2, 0);
        PutLe16(p + oHiFieldId, static_cast<std::uint32_t>(n + 1));
        PutLe16(p + oCodePage, kCodePage1252);
        p[oUnknown6C] = 1;
        p[oUnknown6C + 1] = 1;
    }
    std::size_t at = infoAt;
    for (const FieldSpec& f : h.fields) {
        p[at++] = f.code;
        p[at++] = f.size;
    }
    at += 4 + 4 * n; // run-time pointers, stored as zero
    std::memcpy(p + at, h.tableName.data(), std::min(h.tableName.size(), kTableNameSpace - 1));
    at += kTableNameSpace;
    for (const FieldSpec& f : h.fields) {
        std::memcpy(p + at, f.name.data(), f.name.size());
        at += f.name.size() + 1;
    }
    for (std::size_t i = 0; i < n; ++i, at += 2)
        PutLe16(p + at, static_cast<std::uint32_t>(i + 1));
    std::memcpy(p + at, kSortOrder, std::strlen(kSortOrder));
    return out;
}

void PutCounts(std::uint8_t* p, const Header& h) {
    PutLe32(p + oNumRecords, h.numRecords);
    PutLe16(p + oNextBlock, h.fileBlocks);
    PutLe16(p + oFileBlocks, h.fileBlocks);
    PutLe16(p + oFirstBlock, h.firstBlock);
    PutLe16(p + oLastBlock, h.lastBlock);
    PutLe16(p + oMaxBlocks, h.fileBlocks);
}

std::size_t HeaderSizeField(const std::uint8_t* data) {
    return GetLe16(data + oHeaderSize);
}

Header ParseHeader(const std::uint8_t* p, std::size_t size, std::uint64_t fileSize,
                   const std::string& name) {
    if (size < kFixedPart3) NotATable(name);
    Header h;
    h.recordSize = static_cast<std::uint16_t>(GetLe16(p + oRecordSize));
    h.headerSize = static_cast<std::uint16_t>(GetLe16(p + oHeaderSize));
    h.fileType = p[oFileType];
    h.blockSizeCode = p[oBlockSize];
    h.version = p[oVersion];
    if ((h.fileType != 0 && h.fileType != 2) || h.blockSizeCode < 1 || h.blockSizeCode > 32 ||
        h.version < 3 || h.version > 12 || h.recordSize == 0 || h.headerSize < kFixedPart3) {
        NotATable(name);
    }
    if (h.headerSize > size || h.headerSize > fileSize)
        DamagedHeader(name, "the header is cut short");
    h.numRecords = GetLe32(p + oNumRecords);
    h.fileBlocks = static_cast<std::uint16_t>(GetLe16(p + oFileBlocks));
    h.firstBlock = static_cast<std::uint16_t>(GetLe16(p + oFirstBlock));
    h.lastBlock = static_cast<std::uint16_t>(GetLe16(p + oLastBlock));
    if (h.BlockOffset(h.fileBlocks + 1) > fileSize) {
        DamagedHeader(name, "it counts more blocks than the file holds");
    }
    if (h.recordSize > h.BlockSize() - kBlockHead)
        DamagedHeader(name, "its records do not fit its blocks");

    std::uint32_t encryption = GetLe32(p + oEncryption1);
    const std::size_t infoAt = FieldInfoOffset(h.version);
    if (h.version >= 5) {
        if (h.headerSize < kFixedPart4) DamagedHeader(name, "the header is cut short");
        if (encryption == kEncryptionMoved) encryption = GetLe32(p + oEncryption2);
    }
    if (encryption != 0) {
        throw EngineError(errCannotOpenFile,
                          "The Paradox table '" + name + "' is encrypted and cannot be read.");
    }
    const int n = static_cast<std::int16_t>(GetLe16(p + oNumFields));
    if (n < 1 || n > kMaxFields) DamagedHeader(name, "its field count is not valid");
    const std::size_t nu = static_cast<std::size_t>(n);
    std::size_t at = infoAt;
    const std::size_t end = h.headerSize;
    if (at + 2 * nu + 4 + 4 * nu + TableNameSpace(h.version) > end) {
        DamagedHeader(name, "the field descriptors run past the header");
    }
    int width = 0;
    for (std::size_t i = 0; i < nu; ++i, at += 2) {
        FieldSpec f;
        f.code = p[at];
        f.size = p[at + 1];
        const int w = StoredWidth(f.code, f.size);
        if (w == 0) {
            throw EngineError(errUnrecognizedFormat, "The Paradox table '" + name +
                                                         "' has a field of a type the engine "
                                                         "cannot read (code " +
                                                         std::to_string(f.code) + ").");
        }
        width += w;
        h.fields.push_back(f);
    }
    if (width != h.recordSize) DamagedHeader(name, "its fields do not add up to its record size");
    at += 4 + 4 * nu;
    const auto* tableName = reinterpret_cast<const char*>(p + at);
    h.tableName.assign(tableName, strnlen(tableName, TableNameSpace(h.version)));
    at += TableNameSpace(h.version);
    for (FieldSpec& f : h.fields) {
        const auto* start = reinterpret_cast<const char*>(p + at);
        const std::size_t length = strnlen(start, end - at);
        if (at + length >= end) DamagedHeader(name, "its field names run past the header");
        f.name.assign(start, length);
        at += length + 1;
    }
    return h;
}

// ---- Field names and types ---------------------------------------------------

std::vector<std::string> StoredFieldNames(const std::vector<std::string>& utf8Names) {
    std::vector<std::string> taken;
    for (const std::string& utf8 : utf8Names) {
        std::string name = platform::Utf8ToCp1252(utf8);
        if (name.size() > kMaxFieldName) name.resize(kMaxFieldName);
        const std::string base = name;
        const auto collides = [&](const std::string& candidate) {
            return std::any_of(taken.begin(), taken.end(),
                               [&](const std::string& t) { return SameNoCase(t, candidate); });
        };
        for (int counter = 1; collides(name); ++counter) {
            const std::string suffix = "_" + std::to_string(counter);
            name = base.substr(0, std::min(base.size(), kMaxFieldName - suffix.size())) + suffix;
        }
        taken.push_back(name);
    }
    return taken;
}

int StoredWidth(std::uint8_t code, std::uint8_t size) {
    switch (code) {
    case pxAlpha:
    case pxBytes:
        return size >= 1 ? size : 0;
    case pxDate:
    case pxLong:
    case pxAutoInc:
        return size == 4 ? 4 : 0;
    case pxShort:
        return size == 2 ? 2 : 0;
    case pxCurrency:
    case pxNumber:
        return size == 8 ? 8 : 0;
    case pxLogical:
        return size == 1 ? 1 : 0;
    case pxMemo:
    case pxFmtMemo:
        return size > kBlobReference ? size : 0;
    case pxBlob:
    case pxOle:
    case pxGraphic:
        return size >= kBlobReference ? size : 0;
    default:
        return 0;
    }
}

Field EngineField(const FieldSpec& desc) {
    Field field;
    field.Name = platform::Cp1252ToUtf8(desc.name);
    switch (desc.code) {
    case pxAlpha:
        field.Type = dbText;
        field.Size = desc.size;
        field.AllowZeroLength = true;
        break;
    case pxDate:
        field.Type = dbDate;
        field.Size = 8;
        break;
    case pxShort:
        field.Type = dbInteger;
        field.Size = 2;
        break;
    case pxLong:
    case pxAutoInc:
        field.Type = dbLong;
        field.Size = 4;
        break;
    case pxCurrency:
        field.Type = dbCurrency;
        field.Size = 8;
        break;
    case pxNumber:
        field.Type = dbDouble;
        field.Size = 8;
        break;
    case pxLogical:
        field.Type = dbBoolean;
        field.Size = 1;
        break;
    case pxMemo:
    case pxFmtMemo:
        field.Type = dbMemo;
        field.AllowZeroLength = true;
        break;
    case pxBytes:
        field.Type = dbBinary;
        field.Size = desc.size;
        break;
    default:
        field.Type = dbLongBinary;
        break;
    }
    return field;
}

// ---- Values ------------------------------------------------------------------

void PutShort(std::uint8_t* out, std::int16_t value) {
    const auto u = static_cast<std::uint16_t>(static_cast<std::uint16_t>(value) ^ 0x8000u);
    out[0] = std::uint8_t(u >> 8);
    out[1] = std::uint8_t(u);
}

void PutLong(std::uint8_t* out, std::int32_t value) {
    const std::uint32_t u = static_cast<std::uint32_t>(value) ^ 0x80000000u;
    for (int i = 0; i < 4; ++i)
        out[i] = std::uint8_t(u >> (24 - 8 * i));
}

void PutDouble(std::uint8_t* out, double value) {
    if (value == 0) value = 0; // no negative zero
    std::uint64_t u = std::bit_cast<std::uint64_t>(value);
    u = (u >> 63) != 0 ? ~u : u | (1ull << 63);
    for (int i = 0; i < 8; ++i)
        out[i] = std::uint8_t(u >> (56 - 8 * i));
}

std::optional<std::int16_t> GetShort(const std::uint8_t* in) {
    const std::uint16_t u = static_cast<std::uint16_t>(in[0] << 8 | in[1]);
    if (u == 0) return std::nullopt;
    return static_cast<std::int16_t>(u ^ 0x8000u);
}

std::optional<std::int32_t> GetLong(const std::uint8_t* in) {
    std::uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u = u << 8 | in[i];
    if (u == 0) return std::nullopt;
    return static_cast<std::int32_t>(u ^ 0x80000000u);
}

std::optional<double> GetDouble(const std::uint8_t* in) {
    std::uint64_t u = 0;
    for (int i = 0; i < 8; ++i)
        u = u << 8 | in[i];
    if (u == 0) return std::nullopt;
    u = (u >> 63) != 0 ? u & ~(1ull << 63) : ~u;
    return std::bit_cast<double>(u);
}

std::int32_t DateToDays(const DateTime& date) {
    return DaysFromCivil(date.year, date.month, date.day) - kDayOne;
}

std::optional<DateTime> DaysToDate(std::int32_t days) {
    // Years 100 to 9999, the range Paradox accepts.
    if (days < DateToDays({100, 1, 1}) || days > DateToDays({9999, 12, 31})) return std::nullopt;
    DateTime t;
    CivilFromDays(days + kDayOne, t.year, t.month, t.day);
    return t;
}

// ---- Reading records ---------------------------------------------------------

bool MemorySource::Read(void* buffer, std::size_t size, std::uint64_t offset) const {
    if (offset > size_ || size > size_ - offset) return false;
    std::memcpy(buffer, data_ + offset, size);
    return true;
}

RecordReader::RecordReader(const Source& table, const Source* blobs, const Header& header,
                           std::string name)
    : table_(table), blobs_(blobs), header_(header), name_(std::move(name)),
      block_(static_cast<std::size_t>(header.BlockSize())) {
    int at = 0;
    for (const FieldSpec& f : header_.fields) {
        offsets_.push_back(at);
        at += StoredWidth(f.code, f.size);
    }
}

void RecordReader::Damaged(const std::string& what) const {
    throw EngineError(errCorrupt, "The Paradox table '" + name_ + "' is damaged: " + what + ".");
}

bool RecordReader::LoadBlock(int number) {
    // The chain may not be longer than the file's block count, and may not
    // leave it: a loop or a wild number ends the walk as damage.
    if (number == 0) return false;
    if (number > header_.fileBlocks || ++visited_ > header_.fileBlocks) {
        Damaged("its block chain is broken");
    }
    if (!table_.Read(block_.data(), block_.size(), header_.BlockOffset(number))) {
        Damaged("a data block lies beyond the end of the file");
    }
    blockNumber_ = number;
    const auto last = static_cast<std::int16_t>(GetLe16(block_.data() + 4));
    recordsInBlock_ = last < 0 ? 0 : last / header_.recordSize + 1;
    recordsInBlock_ = std::min(recordsInBlock_, header_.RecordsPerBlock());
    record_ = 0;
    return true;
}

bool RecordReader::First() {
    visited_ = 0;
    recordsInBlock_ = 0;
    record_ = 0;
    if (header_.fileBlocks == 0 || header_.firstBlock == 0) return false;
    if (!LoadBlock(header_.firstBlock)) return false;
    while (recordsInBlock_ == 0) {
        if (!LoadBlock(static_cast<int>(GetLe16(block_.data())))) return false;
    }
    return true;
}

bool RecordReader::Next() {
    if (recordsInBlock_ == 0) return false;
    if (++record_ < recordsInBlock_) return true;
    do {
        if (!LoadBlock(static_cast<int>(GetLe16(block_.data())))) {
            recordsInBlock_ = 0;
            return false;
        }
    } while (recordsInBlock_ == 0);
    return true;
}

Value RecordReader::Get(int index) const {
    if (recordsInBlock_ == 0 || index < 0 || index >= int(header_.fields.size())) {
        throw EngineError(errNoCurrentRecord, "There is no current record.");
    }
    const FieldSpec& desc = header_.fields[std::size_t(index)];
    const std::uint8_t* p = block_.data() + kBlockHead + std::size_t(record_) * header_.recordSize +
                            std::size_t(offsets_[std::size_t(index)]);
    switch (desc.code) {
    case pxAlpha: {
        const auto* text = reinterpret_cast<const char*>(p);
        const std::size_t length = strnlen(text, desc.size);
        if (length == 0) return Null{};
        return platform::Cp1252ToUtf8(std::string_view(text, length));
    }
    case pxShort:
        if (auto v = GetShort(p)) return std::int64_t{*v};
        return Null{};
    case pxLong:
    case pxAutoInc:
        if (auto v = GetLong(p)) return std::int64_t{*v};
        return Null{};
    case pxNumber:
    case pxCurrency:
        if (auto v = GetDouble(p)) return *v;
        return Null{};
    case pxDate: {
        const auto days = GetLong(p);
        if (!days) return Null{};
        if (auto date = DaysToDate(*days)) return *date;
        Damaged("a date lies outside the years 100 to 9999");
    }
    case pxLogical:
        if (p[0] == 0) return Null{};
        return (p[0] ^ 0x80) != 0;
    case pxBytes:
        if (AllZero(p, desc.size)) return Null{};
        return Blob(p, p + desc.size);
    default:
        return ReadBlob(p, desc);
    }
}

Value RecordReader::ReadBlob(const std::uint8_t* field, const FieldSpec& desc) const {
    const std::size_t leader = desc.size - kBlobReference;
    const std::uint8_t* reference = field + leader;
    const std::uint32_t length = GetLe32(reference + 4);
    const bool text = desc.code == pxMemo || desc.code == pxFmtMemo;
    const auto result = [&](const std::uint8_t* data, std::size_t size) -> Value {
        if (text) {
            return platform::Cp1252ToUtf8(
                std::string_view(reinterpret_cast<const char*>(data), size));
        }
        return Blob(data, data + size);
    };
    if (length == 0) return Null{};
    if (length <= leader) return result(field, length);

    const std::uint32_t pointer = GetLe32(reference);
    const std::uint64_t offset = pointer & 0xFFFFFF00u;
    const unsigned index = pointer & 0xFFu;
    if (blobs_ == nullptr) Damaged("its .MB file is missing");
    if (offset == 0 || offset % kMbBlock != 0) Damaged("a blob reference is not valid");
    std::uint8_t head[kMbSingleHead] = {};
    if (!blobs_->Read(head, sizeof head, offset)) Damaged("a blob lies beyond its .MB file");
    std::vector<std::uint8_t> data;
    if (head[0] == 2) {
        if (index != 0xFF || GetLe32(head + 3) != length) Damaged("a blob block does not match");
        if (length > GetLe16(head + 1) * std::uint64_t(kMbBlock) - kMbSingleHead ||
            length > blobs_->Size()) {
            Damaged("a blob is longer than its block");
        }
        data.resize(length);
        if (!blobs_->Read(data.data(), length, offset + kMbSingleHead)) {
            Damaged("a blob lies beyond its .MB file");
        }
    } else if (head[0] == 3) {
        std::uint8_t entry[5];
        if (index >= kMbSubEntries || !blobs_->Read(entry, sizeof entry, offset + 12 + index * 5)) {
            Damaged("a blob reference is not valid");
        }
        const std::uint32_t chunks = entry[1];
        const std::uint32_t stored = chunks == 0 ? 0 : (chunks - 1) * 16 + entry[4];
        const std::uint32_t start = entry[0] * 16u;
        if (entry[0] == 0 || entry[4] == 0 || entry[4] > 16 || stored != length ||
            start + length > kMbBlock) {
            Damaged("a suballocated blob does not match its reference");
        }
        data.resize(length);
        if (!blobs_->Read(data.data(), length, offset + start)) {
            Damaged("a blob lies beyond its .MB file");
        }
    } else {
        Damaged("a blob reference points to a block that holds no blob");
    }
    return result(data.data(), data.size());
}

} // namespace engine::paradox
