#include "engine/excel/biff5.h"

#include "engine/convert.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iconv.h>

namespace engine::excel {

namespace {

// The build and year that Excel 5.0 put in its BOF records.
constexpr std::uint16_t kBuild = 0x0C33;
constexpr std::uint16_t kYear = 0x07C9; // 1993

std::uint16_t U16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t U32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

double F64(const std::uint8_t* p) {
    std::uint64_t bits = 0;
    for (int i = 7; i >= 0; --i)
        bits = (bits << 8) | p[i];
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void Put16(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

void PutF64(std::vector<std::uint8_t>& out, double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

// A byte string with an 8-bit length, as BOUNDSHEET, FONT and FORMAT hold them.
void PutShortString(std::vector<std::uint8_t>& out, std::string_view bytes) {
    const std::size_t length = std::min<std::size_t>(bytes.size(), 255);
    out.push_back(static_cast<std::uint8_t>(length));
    out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

std::string_view Bytes(const std::uint8_t* p, std::size_t length) {
    return std::string_view(reinterpret_cast<const char*>(p), length);
}

// The iconv name of a code page, or nothing for Windows-1252 and its subsets.
std::optional<std::string> IconvName(std::uint16_t id) {
    switch (id) {
    case 1252:  // Windows-1252
    case 367:   // ASCII
    case 32769: // Windows-1252 as early versions wrote it
        return std::nullopt;
    case 10000:
    case 32768:
        return "MACINTOSH";
    default:
        return "CP" + std::to_string(id);
    }
}

// Converts with `cd`; a byte sequence it cannot convert becomes `replacement`.
std::string Convert(void* cd, std::string_view input, bool fromUtf8, char replacement) {
    auto* conv = static_cast<iconv_t>(cd);
    iconv(conv, nullptr, nullptr, nullptr, nullptr);
    std::string out(input.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(input.data());
    std::size_t inLeft = input.size();
    char* to = out.data();
    std::size_t toLeft = out.size();
    while (inLeft > 0) {
        if (iconv(conv, &in, &inLeft, &to, &toLeft) != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) {
            const std::size_t used = static_cast<std::size_t>(to - out.data());
            out.resize(out.size() * 2);
            to = out.data() + used;
            toLeft = out.size() - used;
            continue;
        }
        // Skip one character of the input (a whole UTF-8 sequence).
        std::size_t skip = 1;
        if (fromUtf8) {
            while (skip < inLeft && (static_cast<unsigned char>(in[skip]) & 0xC0) == 0x80)
                ++skip;
        }
        in += skip;
        inLeft -= skip;
        if (toLeft == 0) {
            const std::size_t used = static_cast<std::size_t>(to - out.data());
            out.resize(out.size() + 16);
            to = out.data() + used;
            toLeft = out.size() - used;
        }
        *to++ = replacement;
        --toLeft;
    }
    out.resize(static_cast<std::size_t>(to - out.data()));
    return out;
}

[[noreturn]] void Broken(const std::string& reason) {
    throw FormatError{reason};
}

struct Header {
    std::uint16_t id = 0, length = 0;
};

Header ReadHeader(ByteSource& source, std::size_t offset) {
    std::uint8_t bytes[4];
    if (!source.Read(offset, 4, bytes)) Broken("a record runs past the end of the stream");
    return {U16(bytes), U16(bytes + 2)};
}

std::vector<std::uint8_t> Bof(std::uint16_t type) {
    std::vector<std::uint8_t> data;
    Put16(data, kBiff5Version);
    Put16(data, type);
    Put16(data, kBuild);
    Put16(data, kYear);
    return data;
}

// The end of the substream that starts with the BOF at `start` (past its EOF).
std::size_t SubstreamEnd(ByteSource& source, std::size_t start) {
    std::size_t offset = start;
    int depth = 0;
    while (true) {
        const Header h = ReadHeader(source, offset);
        if (offset == start && h.id != record::Bof) Broken("a sheet does not start with BOF");
        const std::size_t next = offset + 4 + h.length;
        if (next > source.Size()) Broken("a record runs past the end of the stream");
        if (h.id == record::Bof) ++depth;
        if (h.id == record::Eof && --depth == 0) return next;
        offset = next;
    }
}

// Date and time format codes of the built-in number formats.
bool IsBuiltInDateFormat(std::uint16_t index) {
    return (index >= 14 && index <= 22) || (index >= 45 && index <= 47);
}

std::vector<std::uint8_t> XfRecord(std::uint16_t format, bool style, std::uint8_t used) {
    std::vector<std::uint8_t> data;
    Put16(data, 0);                       // font
    Put16(data, format);                  // number format
    Put16(data, style ? 0xFFF5 : 0x0001); // locked; style XF or child of style 0
    data.push_back(0x20);                 // general, bottom-aligned
    data.push_back(used);                 // attributes of its own
    Put32(data, 0x000020C0);              // window colours, no pattern
    Put32(data, 0);                       // no borders
    return data;
}

const char* FormatCode(CellStyle style) {
    switch (style) {
    case CellStyle::Date:
        return "yyyy-mm-dd";
    case CellStyle::DateTime:
        return "yyyy-mm-dd hh:mm:ss";
    case CellStyle::Time:
        return "hh:mm:ss";
    case CellStyle::Currency:
        return "$#,##0.00_);($#,##0.00)";
    default:
        return "General";
    }
}

std::vector<std::uint8_t> CellHead(int row, int column, std::uint16_t xf) {
    std::vector<std::uint8_t> data;
    data.reserve(16);
    Put16(data, static_cast<std::uint32_t>(row));
    Put16(data, static_cast<std::uint32_t>(column));
    Put16(data, xf);
    return data;
}

} // namespace

bool MemorySource::Read(std::size_t offset, std::size_t count, std::uint8_t* out) {
    if (offset > size_ || count > size_ - offset) return false;
    if (count > 0) std::memcpy(out, data_ + offset, count);
    return true;
}

CodePage::CodePage(std::uint16_t id) {
    const auto name = IconvName(id);
    if (!name) return;
    const iconv_t decoder = iconv_open("UTF-8", name->c_str());
    const iconv_t encoder = iconv_open(name->c_str(), "UTF-8");
    const auto failed = reinterpret_cast<iconv_t>(-1);
    if (decoder == failed || encoder == failed) {
        // A code page this system cannot convert: read it as Windows-1252.
        if (decoder != failed) iconv_close(decoder);
        if (encoder != failed) iconv_close(encoder);
        return;
    }
    decoder_ = decoder;
    encoder_ = encoder;
}

CodePage::~CodePage() {
    if (decoder_ != nullptr) iconv_close(static_cast<iconv_t>(decoder_));
    if (encoder_ != nullptr) iconv_close(static_cast<iconv_t>(encoder_));
}

std::string CodePage::Decode(std::string_view bytes) const {
    if (decoder_ == nullptr) return platform::Cp1252ToUtf8(bytes);
    return Convert(decoder_, bytes, false, '?');
}

std::string CodePage::Encode(std::string_view utf8) const {
    if (encoder_ == nullptr) return platform::Utf8ToCp1252(utf8);
    return Convert(encoder_, utf8, true, '?');
}

bool CellFormats::IsDateXf(std::uint16_t xf) const {
    if (xf >= xfFormat.size()) return false;
    const std::uint16_t format = xfFormat[xf];
    const auto found = formats.find(format);
    if (found != formats.end()) return IsDateFormat(found->second);
    return IsBuiltInDateFormat(format);
}

bool IsDateFormat(std::string_view format) {
    bool date = false;
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c == '"') {
            const std::size_t close = format.find('"', i + 1);
            if (close == std::string_view::npos) break;
            i = close;
        } else if (c == '\\' || c == '_' || c == '*') {
            ++i; // the next character is shown, not interpreted
        } else if (c == '[') {
            const std::size_t close = format.find(']', i + 1);
            if (close == std::string_view::npos) break;
            // [h], [mm], [ss]: elapsed time; anything else is a colour,
            // a condition or a locale.
            const std::string_view inside = format.substr(i + 1, close - i - 1);
            if (!inside.empty() && inside.find_first_not_of("hHmMsS") == std::string_view::npos)
                date = true;
            i = close;
        } else if (std::strchr("dDmMyYhHsS", c) != nullptr && c != '\0') {
            date = true;
        }
    }
    return date;
}

std::optional<double> ExcelSerial(const DateTime& value, bool date1904) {
    const double serial = DateToSerial(value);
    // A time of day alone sits on the engine's day zero; Excel keeps it as a
    // fraction of a day.
    if (value.year == 1899 && value.month == 12 && value.day == 30) return serial;
    if (date1904) {
        if (serial < 1462) return std::nullopt;
        return serial - 1462;
    }
    if (serial < 2) return std::nullopt;
    // Excel counts a 29 February 1900 that never was: its serials before
    // March 1900 are one lower than the engine's.
    return serial < 61 ? serial - 1 : serial;
}

std::optional<DateTime> DateFromExcelSerial(double serial, bool date1904) {
    if (!std::isfinite(serial) || serial < 0) return std::nullopt;
    double engineSerial = serial;
    if (date1904)
        engineSerial = serial + 1462;
    else if (serial >= 1 && serial < 60)
        engineSerial = serial + 1;
    return SerialToDate(engineSerial);
}

Globals ReadGlobals(ByteSource& source) {
    Globals globals;
    std::size_t offset = 0;
    std::vector<std::uint8_t> data;
    while (true) {
        const Header h = ReadHeader(source, offset);
        data.resize(h.length);
        if (!source.Read(offset + 4, h.length, data.data()))
            Broken("a record runs past the end of the stream");
        if (offset == 0) {
            if (h.id != record::Bof || h.length < 4) Broken("the stream does not start with BOF");
            if (U16(data.data()) != kBiff5Version)
                Broken("the stream is not in the Excel 5.0 format");
            if (U16(data.data() + 2) != kGlobalsType) Broken("the stream does not hold a workbook");
        } else if (h.id == record::Bof) {
            Broken("the workbook globals are not closed");
        }
        offset += 4 + h.length;
        switch (h.id) {
        case record::BoundSheet: {
            if (h.length < 7 || h.length < 7u + data[6]) Broken("a sheet entry is too short");
            SheetEntry sheet;
            sheet.start = U32(data.data());
            sheet.visibility = data[4];
            sheet.type = data[5];
            sheet.name.assign(Bytes(data.data() + 7, data[6])); // decoded below
            globals.sheets.push_back(std::move(sheet));
            break;
        }
        case record::Xf:
            if (h.length < 4) Broken("a cell format is too short");
            globals.formats.xfFormat.push_back(U16(data.data() + 2));
            break;
        case record::Format:
            if (h.length < 3 || h.length < 3u + data[2]) Broken("a number format is too short");
            globals.formats.formats[U16(data.data())] = Bytes(data.data() + 3, data[2]);
            break;
        case record::CodePage:
            if (h.length >= 2) globals.formats.codePage = U16(data.data());
            break;
        case record::DateMode:
            if (h.length >= 2) globals.formats.date1904 = U16(data.data()) == 1;
            break;
        default:
            break;
        }
        globals.records.push_back(RawRecord{h.id, data});
        if (h.id == record::Eof) break;
    }
    // The code page may come after the texts it applies to.
    const CodePage page(globals.formats.codePage);
    for (auto& [index, format] : globals.formats.formats)
        format = page.Decode(format);
    for (SheetEntry& sheet : globals.sheets) {
        sheet.name = page.Decode(sheet.name);
        if (sheet.start < offset || sheet.start >= source.Size())
            Broken("a sheet lies outside the stream");
        sheet.end = SubstreamEnd(source, sheet.start);
    }
    return globals;
}

// ---- Reading cells -----------------------------------------------------------

namespace {

// The record at `offset` with the data of the CONTINUE records after it in
// `data`; moves `offset` past them and gives the record's id.
std::uint16_t NextRecord(const std::uint8_t* bytes, std::size_t size, std::size_t& offset,
                         std::vector<std::uint8_t>& data) {
    const std::uint16_t id = U16(bytes + offset);
    std::size_t length = U16(bytes + offset + 2);
    if (length > size - offset - 4) Broken("a record runs past the end of the stream");
    data.assign(bytes + offset + 4, bytes + offset + 4 + length);
    offset += 4 + length;
    while (offset + 4 <= size && U16(bytes + offset) == record::Continue) {
        length = U16(bytes + offset + 2);
        if (length > size - offset - 4) Broken("a record runs past the end of the stream");
        data.insert(data.end(), bytes + offset + 4, bytes + offset + 4 + length);
        offset += 4 + length;
    }
    return id;
}

// Later records of one address replace earlier ones.
void KeepLastCellOfEachColumn(std::vector<Cell>& cells) {
    std::stable_sort(cells.begin(), cells.end(),
                     [](const Cell& a, const Cell& b) { return a.column < b.column; });
    std::vector<Cell> unique;
    for (Cell& cell : cells) {
        if (!unique.empty() && unique.back().column == cell.column)
            unique.back() = std::move(cell);
        else
            unique.push_back(std::move(cell));
    }
    cells = std::move(unique);
}

} // namespace

// Long on purpose: one loop over a sheet's records, with the cell records
// side by side as the format lists them; their shared state (the formula
// awaiting its STRING record, the chart depth) stays in one place.
std::map<int, std::vector<Cell>> ReadCells(const std::uint8_t* bytes, std::size_t size,
                                           const CellFormats& formats) {
    std::map<int, std::vector<Cell>> rows;
    const CodePage page(formats.codePage);
    auto put = [&](int row, int column, Cell cell) {
        if (column >= kMaxColumns) return; // beyond what a BIFF5 sheet holds
        cell.column = column;
        rows[row].push_back(std::move(cell));
    };
    auto number = [&](int row, int column, std::uint16_t xf, double value) {
        Cell cell;
        cell.kind = formats.IsDateXf(xf) ? CellKind::Date : CellKind::Number;
        cell.number = value;
        put(row, column, std::move(cell));
    };
    auto text = [&](int row, int column, const std::uint8_t* p, std::size_t available) {
        if (available < 2) return;
        const std::size_t length = std::min<std::size_t>(U16(p), available - 2);
        Cell cell;
        cell.kind = CellKind::Text;
        cell.text = page.Decode(Bytes(p + 2, length));
        if (!cell.text.empty()) put(row, column, std::move(cell));
    };

    std::vector<std::uint8_t> data;
    std::size_t offset = 0;
    int depth = 0;
    // A formula whose text result follows in a STRING record.
    int stringRow = -1, stringColumn = -1;
    while (offset + 4 <= size) {
        const std::uint16_t id = NextRecord(bytes, size, offset, data);
        if (id == record::Bof) ++depth;
        if (id == record::Eof && --depth <= 0) break;
        if (depth != 1) continue; // an embedded chart's records
        const std::size_t n = data.size();
        const std::uint8_t* d = data.data();
        if (id == record::String) {
            // The text result of the formula before it, which gave the address.
            if (stringRow >= 0 && n >= 2) {
                Cell cell;
                cell.kind = CellKind::Text;
                cell.text = page.Decode(Bytes(d + 2, std::min<std::size_t>(U16(d), n - 2)));
                if (!cell.text.empty()) put(stringRow, stringColumn, std::move(cell));
            }
            stringRow = -1;
            continue;
        }
        stringRow = -1;
        if (n < 6) continue;
        const int row = U16(d), column = U16(d + 2);
        const std::uint16_t xf = U16(d + 4);
        switch (id) {
        case record::Number:
            if (n >= 14) number(row, column, xf, F64(d + 6));
            break;
        case record::Rk:
            if (n >= 10) number(row, column, xf, DecodeRk(U32(d + 6)));
            break;
        case record::MulRk:
            for (std::size_t at = 4, c = 0; at + 6 <= n; at += 6, ++c)
                number(row, column + static_cast<int>(c), U16(d + at), DecodeRk(U32(d + at + 2)));
            break;
        case record::Label:
        case record::RString:
            text(row, column, d + 6, n - 6);
            break;
        case record::BoolErr:
            if (n >= 8 && d[7] == 0) {
                Cell cell;
                cell.kind = CellKind::Boolean;
                cell.number = d[6] != 0 ? 1 : 0;
                put(row, column, std::move(cell));
            }
            break;
        case record::Formula:
            if (n < 14) break;
            if (U16(d + 12) != 0xFFFF) {
                number(row, column, xf, F64(d + 6));
            } else if (d[6] == 0) {
                stringRow = row, stringColumn = column;
            } else if (d[6] == 1) {
                Cell cell;
                cell.kind = CellKind::Boolean;
                cell.number = d[8] != 0 ? 1 : 0;
                put(row, column, std::move(cell));
            }
            break;
        default:
            break;
        }
    }
    for (auto& [row, cells] : rows)
        KeepLastCellOfEachColumn(cells);
    return rows;
}

// ---- Writing -----------------------------------------------------------------

void AppendRecord(std::vector<std::uint8_t>& out, std::uint16_t id, const std::uint8_t* data,
                  std::size_t size) {
    std::size_t done = 0;
    do {
        const std::size_t chunk = std::min(size - done, kMaxRecordData);
        Put16(out, done == 0 ? id : record::Continue);
        Put16(out, static_cast<std::uint32_t>(chunk));
        out.insert(out.end(), data + done, data + done + chunk);
        done += chunk;
    } while (done < size);
}

void AppendRecord(std::vector<std::uint8_t>& out, std::uint16_t id,
                  const std::vector<std::uint8_t>& data) {
    AppendRecord(out, id, data.data(), data.size());
}

std::size_t RecordSize(std::size_t dataSize) {
    const std::size_t records =
        dataSize == 0 ? 1 : (dataSize + kMaxRecordData - 1) / kMaxRecordData;
    return records * 4 + dataSize;
}

std::optional<std::uint32_t> EncodeRk(double value) {
    constexpr double low = -536870912.0, high = 536870911.0; // 30-bit signed
    if (!std::isfinite(value) || (value == 0 && std::signbit(value))) return std::nullopt;
    if (value == std::trunc(value) && value >= low && value <= high)
        return (static_cast<std::uint32_t>(static_cast<std::int32_t>(value)) << 2) | 2u;
    const double hundred = value * 100;
    if (hundred == std::trunc(hundred) && hundred >= low && hundred <= high &&
        hundred / 100 == value)
        return (static_cast<std::uint32_t>(static_cast<std::int32_t>(hundred)) << 2) | 3u;
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if ((bits & 0x3FFFFFFFFull) == 0) return static_cast<std::uint32_t>(bits >> 32);
    return std::nullopt;
}

double DecodeRk(std::uint32_t rk) {
    double value;
    if (rk & 2u) {
        value = static_cast<double>(static_cast<std::int32_t>(rk) >> 2);
    } else {
        const std::uint64_t bits = static_cast<std::uint64_t>(rk & 0xFFFFFFFCu) << 32;
        std::memcpy(&value, &bits, sizeof value);
    }
    return (rk & 1u) ? value / 100 : value;
}

// A cell record's header and address, written straight into the stream: these
// are the records of every row.
void PutCellHead(std::vector<std::uint8_t>& out, std::uint16_t id, std::size_t size, int row,
                 int column, std::uint16_t xf) {
    Put16(out, id);
    Put16(out, static_cast<std::uint32_t>(size));
    Put16(out, static_cast<std::uint32_t>(row));
    Put16(out, static_cast<std::uint32_t>(column));
    Put16(out, xf);
}

void AppendNumber(std::vector<std::uint8_t>& out, int row, int column, std::uint16_t xf,
                  double value) {
    if (const auto rk = EncodeRk(value)) {
        PutCellHead(out, record::Rk, 10, row, column, xf);
        Put32(out, *rk);
    } else {
        PutCellHead(out, record::Number, 14, row, column, xf);
        PutF64(out, value);
    }
}

void AppendLabel(std::vector<std::uint8_t>& out, int row, int column, std::uint16_t xf,
                 std::string_view text) {
    const std::size_t size = 8 + text.size();
    if (size > kMaxRecordData) {
        std::vector<std::uint8_t> data = CellHead(row, column, xf);
        data.reserve(size);
        Put16(data, static_cast<std::uint32_t>(text.size()));
        data.insert(data.end(), text.begin(), text.end());
        AppendRecord(out, record::Label, data);
        return;
    }
    PutCellHead(out, record::Label, size, row, column, xf);
    Put16(out, static_cast<std::uint32_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

void AppendBoolean(std::vector<std::uint8_t>& out, int row, int column, std::uint16_t xf,
                   bool value) {
    PutCellHead(out, record::BoolErr, 8, row, column, xf);
    out.push_back(value ? 1 : 0);
    out.push_back(0);
}

std::vector<std::uint8_t> WorksheetHead(int rows, int columns) {
    std::vector<std::uint8_t> out;
    AppendRecord(out, record::Bof, Bof(kWorksheetType));
    std::vector<std::uint8_t> dimensions;
    Put16(dimensions, 0);
    Put16(dimensions, static_cast<std::uint32_t>(rows));
    Put16(dimensions, 0);
    Put16(dimensions, static_cast<std::uint32_t>(columns));
    Put16(dimensions, 0);
    AppendRecord(out, record::Dimensions, dimensions);
    return out;
}

std::vector<std::uint8_t> WorksheetTail(bool selected) {
    std::vector<std::uint8_t> out, window;
    Put16(window, selected ? 0x06B6 : 0x00B6); // grid, headers, zeros, outline
    Put16(window, 0);
    Put16(window, 0);
    Put32(window, 0);
    AppendRecord(out, record::Window2, window);
    AppendRecord(out, record::Eof, nullptr, 0);
    return out;
}

void RelocateSheet(std::vector<std::uint8_t>& substream, long long delta) {
    std::size_t offset = 0;
    while (offset + 4 <= substream.size()) {
        const std::uint16_t id = U16(substream.data() + offset);
        const std::size_t length = U16(substream.data() + offset + 2);
        if (length > substream.size() - offset - 4) return;
        // INDEX: reserved, first row, last row + 1, reserved, then the stream
        // position of each DBCELL record.
        if (id == record::Index && length >= 12) {
            for (std::size_t at = offset + 4 + 12; at + 4 <= offset + 4 + length; at += 4) {
                const long long moved = static_cast<long long>(U32(substream.data() + at)) + delta;
                std::vector<std::uint8_t> bytes;
                Put32(bytes, static_cast<std::uint32_t>(moved));
                std::copy(bytes.begin(), bytes.end(), substream.begin() + static_cast<long>(at));
            }
        }
        offset += 4 + length;
    }
}

// ---- Globals -----------------------------------------------------------------

GlobalsWriter::GlobalsWriter() {
    auto add = [&](std::uint16_t id, std::vector<std::uint8_t> data) {
        records_.push_back(RawRecord{id, std::move(data)});
    };
    add(record::Bof, Bof(kGlobalsType));
    add(record::CodePage, {0xE4, 0x04}); // 1252
    std::vector<std::uint8_t> window;
    for (std::uint32_t v : {360u, 270u, 14940u, 9150u, 0x38u, 0u, 0u, 1u, 600u})
        Put16(window, v);
    add(record::Window1, window);
    add(record::DateMode, {0, 0});
    for (int i = 0; i < 4; ++i) {
        std::vector<std::uint8_t> font;
        for (std::uint32_t v : {200u, 0u, 0x7FFFu, 400u, 0u})
            Put16(font, v);
        font.insert(font.end(), {0, 0, 0, 0});
        PutShortString(font, "Arial");
        add(record::Font, font);
    }
    // The fifteen style XFs Excel expects, then the default cell XF.
    for (int i = 0; i < 15; ++i) {
        add(record::Xf, XfRecord(0, true, i == 0 ? 0x00 : 0xF4));
        xfs_.push_back(records_.back().data);
    }
    add(record::Xf, XfRecord(0, false, 0x00));
    xfs_.push_back(records_.back().data);
    add(record::Style, {0x00, 0x80, 0x00, 0xFF}); // Normal, XF 0
    boundSheetAt_ = records_.size();
    add(record::Eof, {});
}

GlobalsWriter::GlobalsWriter(const Globals& existing) : formats_(existing.formats.formats) {
    date1904_ = existing.formats.date1904;
    codePage_ = existing.formats.codePage;
    for (const RawRecord& r : existing.records) {
        if (r.id == record::BoundSheet) {
            if (boundSheetAt_ == 0) boundSheetAt_ = records_.size();
            continue;
        }
        if (r.id == record::Xf) xfs_.push_back(r.data);
        records_.push_back(r);
    }
    if (boundSheetAt_ == 0) boundSheetAt_ = records_.size() - 1; // before EOF
}

std::uint16_t GlobalsWriter::XfFor(CellStyle style) {
    if (const auto found = styles_.find(style); found != styles_.end()) return found->second;
    std::uint16_t format = 0;
    if (style != CellStyle::General) {
        const std::string code = FormatCode(style);
        const auto same = std::find_if(formats_.begin(), formats_.end(),
                                       [&](const auto& f) { return f.second == code; });
        if (same != formats_.end()) {
            format = same->first;
        } else {
            // The first free index of a workbook's own formats.
            format = 164;
            while (formats_.count(format) != 0 && format < 0xFFFF)
                ++format;
            formats_[format] = code;
            std::vector<std::uint8_t> data;
            Put16(data, format);
            PutShortString(data, code);
            // Number formats go before the first XF.
            auto firstXf = std::find_if(records_.begin(), records_.end(),
                                        [](const RawRecord& r) { return r.id == record::Xf; });
            const auto at = firstXf != records_.end()
                                ? firstXf
                                : records_.begin() + static_cast<long>(boundSheetAt_);
            if (static_cast<std::size_t>(at - records_.begin()) <= boundSheetAt_) ++boundSheetAt_;
            records_.insert(at, RawRecord{record::Format, std::move(data)});
        }
    }
    std::vector<std::uint8_t> xf = XfRecord(format, false, format == 0 ? 0x00 : 0x04);
    auto same = std::find(xfs_.begin(), xfs_.end(), xf);
    std::uint16_t index = static_cast<std::uint16_t>(same - xfs_.begin());
    if (same == xfs_.end()) {
        index = static_cast<std::uint16_t>(xfs_.size());
        xfs_.push_back(xf);
        // After the last XF, or where the sheets are listed when there is none.
        auto lastXf = std::find_if(records_.rbegin(), records_.rend(),
                                   [](const RawRecord& r) { return r.id == record::Xf; });
        const auto at = lastXf != records_.rend()
                            ? lastXf.base()
                            : records_.begin() + static_cast<long>(boundSheetAt_);
        if (static_cast<std::size_t>(at - records_.begin()) <= boundSheetAt_) ++boundSheetAt_;
        records_.insert(at, RawRecord{record::Xf, std::move(xf)});
    }
    styles_[style] = index;
    return index;
}

std::vector<std::uint8_t> GlobalsWriter::Serialize(const std::vector<SheetOut>& sheets) const {
    const CodePage page(codePage_);
    std::vector<std::vector<std::uint8_t>> entries;
    std::size_t size = 0;
    for (const RawRecord& r : records_)
        size += 4 + r.data.size();
    for (const SheetOut& sheet : sheets) {
        std::vector<std::uint8_t> entry(4, 0); // position, filled in below
        entry.push_back(sheet.visibility);
        entry.push_back(sheet.type);
        PutShortString(entry, page.Encode(sheet.name));
        size += 4 + entry.size();
        entries.push_back(std::move(entry));
    }
    std::size_t position = size;
    for (std::size_t i = 0; i < sheets.size(); ++i) {
        std::vector<std::uint8_t> bytes;
        Put32(bytes, static_cast<std::uint32_t>(position));
        std::copy(bytes.begin(), bytes.end(), entries[i].begin());
        position += sheets[i].size;
    }
    std::vector<std::uint8_t> out;
    out.reserve(size);
    auto raw = [&](std::uint16_t id, const std::vector<std::uint8_t>& data) {
        // Kept as stored: a record is not split anew.
        Put16(out, id);
        Put16(out, static_cast<std::uint32_t>(data.size()));
        out.insert(out.end(), data.begin(), data.end());
    };
    for (std::size_t i = 0; i < records_.size(); ++i) {
        if (i == boundSheetAt_) {
            for (const auto& entry : entries)
                raw(record::BoundSheet, entry);
        }
        if (records_[i].id == record::Window1 && records_[i].data.size() >= 14) {
            // The active and the first shown sheet must still exist.
            std::vector<std::uint8_t> window = records_[i].data;
            for (const std::size_t at : {10u, 12u}) {
                if (U16(window.data() + at) >= sheets.size()) window[at] = window[at + 1] = 0;
            }
            raw(record::Window1, window);
            continue;
        }
        raw(records_[i].id, records_[i].data);
    }
    return out;
}

} // namespace engine::excel
