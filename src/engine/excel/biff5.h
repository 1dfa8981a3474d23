// The Excel 5.0 workbook stream (BIFF5), as stored in the "Book" stream of an
// OLE2 compound file: records of a 16-bit id, a 16-bit length and at most
// 2,080 bytes of data, CONTINUE records carrying what does not fit. The stream
// holds the workbook globals (fonts, number formats, cell formats, the list of
// sheets with the stream position of each) followed by one substream per sheet.
//
// Everything read here comes from files of unknown origin: every length and
// position is checked against the bytes that are really there.
#pragma once

#include "engine/engine.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engine::excel {

namespace record {
constexpr std::uint16_t Dimensions = 0x0200;
constexpr std::uint16_t Blank = 0x0201;
constexpr std::uint16_t Number = 0x0203;
constexpr std::uint16_t Label = 0x0204;
constexpr std::uint16_t BoolErr = 0x0205;
constexpr std::uint16_t Formula = 0x0006;
constexpr std::uint16_t String = 0x0207;
constexpr std::uint16_t Index = 0x020B;
constexpr std::uint16_t Eof = 0x000A;
constexpr std::uint16_t DateMode = 0x0022;
constexpr std::uint16_t Font = 0x0031;
constexpr std::uint16_t Window1 = 0x003D;
constexpr std::uint16_t Continue = 0x003C;
constexpr std::uint16_t CodePage = 0x0042;
constexpr std::uint16_t BoundSheet = 0x0085;
constexpr std::uint16_t MulRk = 0x00BD;
constexpr std::uint16_t RString = 0x00D6;
constexpr std::uint16_t Xf = 0x00E0;
constexpr std::uint16_t Window2 = 0x023E;
constexpr std::uint16_t Rk = 0x027E;
constexpr std::uint16_t Style = 0x0293;
constexpr std::uint16_t Format = 0x041E;
constexpr std::uint16_t Bof = 0x0809;
} // namespace record

constexpr std::size_t kMaxRecordData = 2080;
constexpr int kMaxRows = 16384;
constexpr int kMaxColumns = 256;
constexpr std::size_t kMaxLabelLength = 32767;
constexpr std::size_t kMaxSheetNameLength = 31;
constexpr std::uint16_t kBiff5Version = 0x0500;
constexpr std::uint16_t kGlobalsType = 0x0005;
constexpr std::uint16_t kWorksheetType = 0x0010;

// A stream that is not a BIFF5 workbook, or one whose structure is broken.
struct FormatError {
    std::string reason;
};

// Random access to the bytes of a workbook stream.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual std::size_t Size() const = 0;
    // Exactly `count` bytes from `offset`; false when they are not all there.
    virtual bool Read(std::size_t offset, std::size_t count, std::uint8_t* out) = 0;
};

class MemorySource final : public ByteSource {
  public:
    MemorySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::size_t Size() const override { return size_; }
    bool Read(std::size_t offset, std::size_t count, std::uint8_t* out) override;

  private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// One record exactly as stored (a CONTINUE record is a record of its own).
struct RawRecord {
    std::uint16_t id = 0;
    std::vector<std::uint8_t> data;
};

// A sheet of the workbook: where its substream lies in the stream.
struct SheetEntry {
    std::string name; // UTF-8
    std::uint8_t visibility = 0;
    std::uint8_t type = 0; // 0 worksheet, 1 macro sheet, 2 chart, 6 module
    std::size_t start = 0, end = 0;
};

// The 8-bit texts of a workbook: Windows-1252 unless its CODEPAGE record names
// another code page, which is then converted through iconv.
class CodePage {
  public:
    explicit CodePage(std::uint16_t id = 1252);
    ~CodePage();
    CodePage(const CodePage&) = delete;
    CodePage& operator=(const CodePage&) = delete;
    std::string Decode(std::string_view bytes) const;
    // Characters the code page cannot hold become "?".
    std::string Encode(std::string_view utf8) const;
    bool IsWindows1252() const { return decoder_ == nullptr; }

  private:
    void* decoder_ = nullptr; // iconv_t
    void* encoder_ = nullptr;
};

// What the globals say about reading cells.
struct CellFormats {
    std::vector<std::uint16_t> xfFormat;          // format index of each XF
    std::map<std::uint16_t, std::string> formats; // FORMAT records, UTF-8
    bool date1904 = false;
    std::uint16_t codePage = 1252;
    // Whether XF `xf` shows its number as a date or time.
    bool IsDateXf(std::uint16_t xf) const;
};

struct Globals {
    std::vector<RawRecord> records; // BOF to EOF, BOUNDSHEET records included
    std::vector<SheetEntry> sheets;
    CellFormats formats;
};

// The globals of a BIFF5 stream and the extent of every sheet. FormatError when
// the stream does not start with a BIFF5 globals BOF or is broken.
Globals ReadGlobals(ByteSource& source);

// Whether a number format string shows a date or a time.
bool IsDateFormat(std::string_view format);

// Excel's serial day numbers of the 1900 (or 1904) date system, to and from
// dates. Nothing where the date system cannot show the date.
std::optional<double> ExcelSerial(const DateTime& value, bool date1904);
std::optional<DateTime> DateFromExcelSerial(double serial, bool date1904);

// ---- Reading cells -----------------------------------------------------------

enum class CellKind : std::uint8_t { Number, Date, Text, Boolean };

struct Cell {
    int column = 0;
    CellKind kind = CellKind::Number;
    double number = 0; // Number, Date (Excel serial), Boolean (0/1)
    std::string text;  // Text, UTF-8
};

// The cells of one sheet substream, by row; empty cells and error values are
// left out. FormatError when the records are broken.
std::map<int, std::vector<Cell>> ReadCells(const std::uint8_t* data, std::size_t size,
                                           const CellFormats& formats);

// ---- Writing -----------------------------------------------------------------

// Appends records to a byte buffer, splitting data beyond 2,080 bytes into
// CONTINUE records.
void AppendRecord(std::vector<std::uint8_t>& out, std::uint16_t id, const std::uint8_t* data,
                  std::size_t size);
void AppendRecord(std::vector<std::uint8_t>& out, std::uint16_t id,
                  const std::vector<std::uint8_t>& data);
// The total size the records of `data` take, CONTINUE headers included.
std::size_t RecordSize(std::size_t dataSize);

// Cell records of a worksheet.
void AppendNumber(std::vector<std::uint8_t>& out, int row, int column, std::uint16_t xf,
                  double value);
// `text` is in the workbook's code page, at most kMaxLabelLength bytes.
void AppendLabel(std::vector<std::uint8_t>& out, int row, int column, std::uint16_t xf,
                 std::string_view text);
void AppendBoolean(std::vector<std::uint8_t>& out, int row, int column, std::uint16_t xf,
                   bool value);

// RK: the 30-bit packed number form; nothing when `value` has none.
std::optional<std::uint32_t> EncodeRk(double value);
double DecodeRk(std::uint32_t rk);

// The number formats our own cells need, and the cell XF records that use them.
enum class CellStyle { General, Date, DateTime, Time, Currency };

// The globals to write: a new workbook's, or an existing one's plus the formats
// our cells need. Formats and XFs already present are reused.
class GlobalsWriter {
  public:
    // A new, empty workbook (code page 1252, 1900 date system).
    GlobalsWriter();
    explicit GlobalsWriter(const Globals& existing);

    // The XF index of a style, added to the globals when missing.
    std::uint16_t XfFor(CellStyle style);
    bool Date1904() const { return date1904_; }

    struct SheetOut {
        std::string name; // UTF-8
        std::uint8_t visibility = 0, type = 0;
        std::size_t size = 0; // bytes of its substream
    };
    // The globals substream for these sheets, in this order; each sheet's
    // substream follows the globals in the same order.
    std::vector<std::uint8_t> Serialize(const std::vector<SheetOut>& sheets) const;
    std::uint16_t CodePageId() const { return codePage_; }

  private:
    std::vector<RawRecord> records_; // without BOUNDSHEETs
    std::size_t boundSheetAt_ = 0;   // where the BOUNDSHEETs go
    std::vector<std::vector<std::uint8_t>> xfs_;
    std::map<std::uint16_t, std::string> formats_;
    bool date1904_ = false;
    std::uint16_t codePage_ = 1252;
    std::map<CellStyle, std::uint16_t> styles_;
};

// The substream of a worksheet whose cell records are in `cells` (a stream of
// records written with the functions above): BOF, DIMENSIONS, the cells,
// WINDOW2, EOF. Written piecewise so that the cells can come from a file.
std::vector<std::uint8_t> WorksheetHead(int rows, int columns);
std::vector<std::uint8_t> WorksheetTail(bool selected);

// Shifts the stream positions held in a copied sheet's INDEX records by `delta`.
void RelocateSheet(std::vector<std::uint8_t>& substream, long long delta);

} // namespace engine::excel
