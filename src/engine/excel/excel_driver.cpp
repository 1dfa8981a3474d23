#include "engine/excel/excel_driver.h"

#include "engine/convert.h"
#include "engine/excel/biff5.h"
#include "platform/datafile.h"
#include "platform/paths.h"
#include "platform/platform.h"

#include <gsf/gsf.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace engine::excel {

namespace {

bool DiskFull(int error) {
    return error == ENOSPC || error == EFBIG || error == EDQUOT;
}

// Where std::tmpfile() spools new worksheets.
std::string TempFolderName() {
    return P_tmpdir;
}

// Error numbers of the classic engine's Excel driver.
constexpr int errTooManyFields = 3190;
constexpr int errSpreadsheetFull = 3437;

// The class of an Excel 5.0 workbook, {00020810-0000-0000-C000-000000000046}.
constexpr guint8 kWorkbookClass[16] = {0x10, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// Cell records gather here before they go to the spool file.
constexpr std::size_t kSpoolChunk = 256 * 1024;

struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object != nullptr) g_object_unref(object);
    }
};
template <typename T> using GsfPtr = std::unique_ptr<T, GObjectUnref>;

struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file != nullptr) std::fclose(file);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

void InitGsf() {
    static std::once_flag once;
    std::call_once(once, [] { gsf_init(); });
}

std::string ErrorText(GError* error) {
    std::string text = error != nullptr && error->message != nullptr ? error->message : "unknown";
    if (error != nullptr) g_error_free(error);
    return text;
}

// Excel tells sheet and stream names apart ignoring the case of every letter,
// not only of ASCII ones (engine::SameName).
bool SameSheetName(std::string_view a, std::string_view b) {
    return platform::SameNameIgnoringCase(a, b);
}

[[noreturn]] void RaiseClosed() {
    throw EngineError(errObjectClosed, "The object has been closed and can no longer be used.");
}

[[noreturn]] void RaiseNoCurrentRecord() {
    throw EngineError(errNoCurrentRecord, "There is no current record.");
}

// A workbook stream inside the compound file.
class GsfSource final : public ByteSource {
  public:
    explicit GsfSource(GsfInput* input) : input_(input) {}
    std::size_t Size() const override { return static_cast<std::size_t>(gsf_input_size(input_)); }
    bool Read(std::size_t offset, std::size_t count, std::uint8_t* out) override {
        if (offset > Size() || count > Size() - offset) return false;
        if (count == 0) return true;
        // gsf_input_seek reports failure as true.
        if (gsf_input_seek(input_, static_cast<gsf_off_t>(offset), G_SEEK_SET)) return false;
        return gsf_input_read(input_, count, out) != nullptr;
    }

  private:
    GsfInput* input_;
};

// A worksheet written in this session: its cell records, spooled to a file.
struct NewSheet {
    std::vector<Field> fields;
    FilePtr spool;
    std::vector<std::uint8_t> pending;
    std::size_t spooled = 0;
    int rows = 0; // the field-name row included

    void Flush() {
        if (pending.empty()) return;
        if (std::fwrite(pending.data(), 1, pending.size(), spool.get()) != pending.size()) {
            const int error = errno;
            if (DiskFull(error)) {
                throw EngineError(errNoSpace, "The disk holding '" + TempFolderName() +
                                                  "' (the worksheet's spooled rows) is full.");
            }
            throw EngineError(errDiskIo, std::string("Writing the worksheet's rows failed: ") +
                                             std::strerror(error) + ".");
        }
        spooled += pending.size();
        pending.clear();
    }
    std::size_t CellBytes() const { return spooled + pending.size(); }
};

struct Sheet {
    std::string name;
    std::uint8_t visibility = 0, type = 0;
    std::size_t start = 0, end = 0;  // a sheet of the stored workbook
    std::shared_ptr<NewSheet> fresh; // a sheet written in this session
};

// Everything a database and its recordsets share.
struct Workbook {
    std::string path;
    bool exists = false, readOnly = false;
    FilePtr locked; // the stored workbook, locked while the session lasts
    GsfPtr<GsfInput> file;
    GsfPtr<GsfInfile> ole;
    GsfPtr<GsfInput> book;
    std::optional<Globals> globals;
    std::unique_ptr<CodePage> page = std::make_unique<CodePage>();
    std::unique_ptr<GlobalsWriter> writer;
    std::vector<Sheet> sheets;
    // Where a deleted sheet stood, so that a new sheet of that name takes its place.
    std::vector<std::pair<std::string, std::size_t>> vacated;
    bool changed = false, failed = false, closed = false;

    void CheckOpen() const {
        if (closed) RaiseClosed();
    }
    void CheckWritable() const {
        CheckOpen();
        if (readOnly)
            throw EngineError(errReadOnly, "The workbook '" + path + "' was opened read-only.");
    }
    Sheet* Find(const std::string& name, bool worksheetsOnly) {
        for (Sheet& sheet : sheets) {
            if ((!worksheetsOnly || sheet.type == 0) && SameSheetName(sheet.name, name))
                return &sheet;
        }
        return nullptr;
    }
    GlobalsWriter& Writer() {
        if (!writer) {
            writer = globals ? std::make_unique<GlobalsWriter>(*globals)
                             : std::make_unique<GlobalsWriter>();
        }
        return *writer;
    }
    bool Date1904() const { return globals ? globals->formats.date1904 : false; }

    // The bytes of a sheet's substream.
    std::vector<std::uint8_t> StoredSheet(const Sheet& sheet) {
        std::vector<std::uint8_t> bytes(sheet.end - sheet.start);
        GsfSource source(book.get());
        if (!source.Read(sheet.start, bytes.size(), bytes.data())) {
            throw EngineError(errDiskIo, "Reading the worksheet '" + sheet.name + "' of '" + path +
                                             "' failed.");
        }
        return bytes;
    }
};

// ---- Values to cells ---------------------------------------------------------

std::string HexText(const Blob& bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::string DateText(const DateTime& t) {
    std::string text = FormatDateTime(t);
    if (t.hour == 0 && t.minute == 0 && t.second == 0) text.resize(10);
    return text;
}

void AppendText(Workbook& book, NewSheet& sheet, int row, int column, const Field& field,
                std::string_view utf8) {
    // Plain ASCII is the same in Windows-1252 and needs no conversion.
    const bool ascii = book.page->IsWindows1252() &&
                       std::all_of(utf8.begin(), utf8.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    std::string converted;
    if (!ascii) converted = book.page->Encode(utf8);
    const std::string_view text = ascii ? utf8 : std::string_view(converted);
    if (text.size() > kMaxLabelLength) {
        throw EngineError(errValueTooLong, "The text for the field '" + field.Name + "' has " +
                                               std::to_string(text.size()) +
                                               " characters; a worksheet cell holds at most " +
                                               std::to_string(kMaxLabelLength) + ".");
    }
    AppendLabel(sheet.pending, row, column, book.Writer().XfFor(CellStyle::General), text);
}

void AppendValue(Workbook& book, NewSheet& sheet, int row, int column, const Value& value) {
    const Field& field = sheet.fields[static_cast<std::size_t>(column)];
    GlobalsWriter& writer = book.Writer();
    std::vector<std::uint8_t>& out = sheet.pending;
    if (const auto* b = std::get_if<bool>(&value)) {
        AppendBoolean(out, row, column, writer.XfFor(CellStyle::General), *b);
    } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
        AppendNumber(out, row, column, writer.XfFor(CellStyle::General), static_cast<double>(*i));
    } else if (const auto* d = std::get_if<double>(&value)) {
        const CellStyle style = field.Type == dbCurrency ? CellStyle::Currency : CellStyle::General;
        AppendNumber(out, row, column, writer.XfFor(style), *d);
    } else if (const auto* c = std::get_if<Currency>(&value)) {
        AppendNumber(out, row, column, writer.XfFor(CellStyle::Currency), CurrencyToDouble(*c));
    } else if (const auto* s = std::get_if<std::string>(&value)) {
        if (!s->empty()) AppendText(book, sheet, row, column, field, *s);
    } else if (const auto* t = std::get_if<DateTime>(&value)) {
        const auto serial = ExcelSerial(*t, writer.Date1904());
        if (!serial) {
            AppendText(book, sheet, row, column, field, DateText(*t));
            return;
        }
        CellStyle style = CellStyle::Date;
        if (t->year == 1899 && t->month == 12 && t->day == 30)
            style = CellStyle::Time;
        else if (t->hour != 0 || t->minute != 0 || t->second != 0)
            style = CellStyle::DateTime;
        AppendNumber(out, row, column, writer.XfFor(style), *serial);
    } else if (const auto* blob = std::get_if<Blob>(&value)) {
        if (!blob->empty()) AppendText(book, sheet, row, column, field, HexText(*blob));
    }
}

// ---- Cells to values ---------------------------------------------------------

Value CellValue(const Cell& cell, bool date1904) {
    switch (cell.kind) {
    case CellKind::Text:
        return cell.text;
    case CellKind::Boolean:
        return cell.number != 0;
    case CellKind::Date:
        if (auto date = DateFromExcelSerial(cell.number, date1904)) return *date;
        return cell.number;
    default:
        return cell.number;
    }
}

using SheetRows = std::map<int, std::vector<Cell>>;

// A cell as text, as a field name is read from the first row.
std::string CellText(const Cell& cell, bool date1904) {
    try {
        const Value text = ConvertValue(CellValue(cell, date1904), Field{"", dbMemo, 0, true});
        if (const auto* s = std::get_if<std::string>(&text)) return *s;
    } catch (const EngineError&) {
    }
    return {};
}

// The fields of a sheet: names from the first row, types from the cells below.
std::vector<Field> FieldsOf(const SheetRows& rows, bool date1904) {
    int columns = 0;
    for (const auto& [row, cells] : rows) {
        if (!cells.empty()) columns = std::max(columns, cells.back().column + 1);
    }
    std::vector<Field> fields(static_cast<std::size_t>(columns));
    std::vector<unsigned> kinds(fields.size(), 0);
    std::vector<std::size_t> longest(fields.size(), 0);
    for (const auto& [row, cells] : rows) {
        for (const Cell& cell : cells) {
            const auto c = static_cast<std::size_t>(cell.column);
            if (row == 0) {
                fields[c].Name = CellText(cell, date1904);
                continue;
            }
            kinds[c] |= 1u << static_cast<unsigned>(cell.kind);
            if (cell.kind == CellKind::Text)
                longest[c] = std::max(longest[c], CountCharacters(cell.text));
        }
    }
    for (std::size_t c = 0; c < fields.size(); ++c) {
        Field& field = fields[c];
        if (field.Name.empty()) field.Name = "F" + std::to_string(c + 1);
        field.AllowZeroLength = true;
        const unsigned k = kinds[c];
        if (k == 1u << static_cast<unsigned>(CellKind::Date)) {
            field.Type = dbDate, field.Size = 8;
        } else if (k == 1u << static_cast<unsigned>(CellKind::Boolean)) {
            field.Type = dbBoolean, field.Size = 1;
        } else if (k != 0 && (k & (1u << static_cast<unsigned>(CellKind::Text))) == 0) {
            field.Type = dbDouble, field.Size = 8;
        } else if (longest[c] > 255) {
            field.Type = dbMemo, field.Size = 0;
        } else {
            field.Type = dbText, field.Size = 255;
        }
    }
    return fields;
}

SheetRows ReadSheetRows(Workbook& book, const Sheet& sheet) {
    std::vector<std::uint8_t> bytes;
    if (sheet.fresh) {
        NewSheet& fresh = *sheet.fresh;
        fresh.Flush();
        bytes = WorksheetHead(fresh.rows, static_cast<int>(fresh.fields.size()));
        const std::size_t head = bytes.size();
        bytes.resize(head + fresh.spooled);
        std::FILE* spool = fresh.spool.get();
        if (std::fflush(spool) != 0 || std::fseek(spool, 0, SEEK_SET) != 0 ||
            std::fread(bytes.data() + head, 1, fresh.spooled, spool) != fresh.spooled ||
            std::fseek(spool, 0, SEEK_END) != 0) {
            throw EngineError(errDiskIo, "Reading back the worksheet '" + sheet.name + "' failed.");
        }
        const auto tail = WorksheetTail(false);
        bytes.insert(bytes.end(), tail.begin(), tail.end());
    } else {
        bytes = book.StoredSheet(sheet);
    }
    const CellFormats empty;
    try {
        return ReadCells(bytes.data(), bytes.size(), book.globals ? book.globals->formats : empty);
    } catch (const FormatError& e) {
        throw EngineError(errCorrupt, "The worksheet '" + sheet.name + "' of '" + book.path +
                                          "' is damaged: " + e.reason + ".");
    }
}

std::vector<Field> WithZeroLengthTexts(std::vector<Field> fields) {
    // An empty text is stored as an empty cell, so every text field takes one.
    for (Field& field : fields) {
        if (field.Type == dbText || field.Type == dbMemo) field.AllowZeroLength = true;
    }
    return fields;
}

// ---- Recordset ---------------------------------------------------------------

class ExcelRecordset final : public Recordset {
  public:
    ExcelRecordset(std::shared_ptr<Workbook> book, std::string table, std::vector<Field> fields,
                   std::shared_ptr<NewSheet> fresh)
        : Recordset(WithZeroLengthTexts(fields)), book_(std::move(book)), table_(std::move(table)),
          fresh_(std::move(fresh)) {}

    bool Eof() override {
        Load();
        return current_ > lastRow_;
    }
    void MoveFirst() override {
        Load();
        current_ = 1;
        if (current_ > lastRow_) RaiseNoCurrentRecord();
    }
    void MoveNext() override {
        Load();
        if (current_ > lastRow_) RaiseNoCurrentRecord();
        ++current_;
    }
    Value GetValue(int index) override {
        Load();
        const Field& field = FieldInfo(index);
        if (current_ > lastRow_) RaiseNoCurrentRecord();
        const auto row = rows_.find(current_);
        if (row == rows_.end()) return Null{};
        const auto cell = std::find_if(row->second.begin(), row->second.end(),
                                       [&](const Cell& c) { return c.column == index; });
        if (cell == row->second.end()) return Null{};
        Value value = CellValue(*cell, book_->Date1904());
        try {
            return ConvertValue(value, field);
        } catch (const EngineError&) {
            return value; // a cell that does not fit its column's type
        }
    }
    void Close() override { closed_ = true; }

  protected:
    void InsertRecord(const std::vector<Value>& values) override {
        Check();
        book_->CheckWritable();
        if (!fresh_) {
            throw EngineError(errOperationNotSupported,
                              "Records can only be added to a worksheet created in this session.");
        }
        NewSheet& sheet = *fresh_;
        try {
            if (sheet.rows >= kMaxRows) {
                throw EngineError(errSpreadsheetFull,
                                  "The worksheet '" + table_ +
                                      "' is full: a worksheet holds at most 16,384 rows (the "
                                      "field names and 16,383 records), and record " +
                                      std::to_string(sheet.rows) + " would pass that limit.");
            }
            for (std::size_t i = 0; i < values.size(); ++i)
                AppendValue(*book_, sheet, sheet.rows, static_cast<int>(i), values[i]);
            ++sheet.rows;
            if (sheet.pending.size() >= kSpoolChunk) sheet.Flush();
        } catch (...) {
            book_->failed = true;
            throw;
        }
    }

  private:
    void Check() const {
        if (closed_) RaiseClosed();
        book_->CheckOpen();
    }
    // The rows are read at the first reading call.
    void Load() {
        Check();
        if (loaded_) return;
        Sheet* sheet = book_->Find(table_, true);
        if (sheet == nullptr) {
            throw EngineError(errTableNotFound, "The table '" + table_ + "' could not be found.");
        }
        rows_ = ReadSheetRows(*book_, *sheet);
        lastRow_ = rows_.empty() ? 0 : rows_.rbegin()->first;
        loaded_ = true;
    }

    std::shared_ptr<Workbook> book_;
    std::string table_;
    std::shared_ptr<NewSheet> fresh_;
    SheetRows rows_;
    int lastRow_ = 0, current_ = 1;
    bool loaded_ = false, closed_ = false;
};

// ---- Writing the workbook ----------------------------------------------------

// `error`, the errno of the failed call where there is one, tells a full disk
// (or a file size limit) from other faults.
[[noreturn]] void RaiseWriteFailure(const std::string& path, const std::string& detail,
                                    int error = 0) {
    if (DiskFull(error)) throw EngineError(errNoSpace, "The disk holding '" + path + "' is full.");
    throw EngineError(errDiskIo, "Writing the workbook '" + path + "' failed: " + detail + ".");
}

void Write(GsfOutput* out, const std::uint8_t* data, std::size_t size, const std::string& path) {
    errno = 0;
    if (size > 0 && !gsf_output_write(out, size, data))
        RaiseWriteFailure(path, "cannot write", errno);
}

// The streams and storages of the old file other than the workbook stream.
void CopyEntries(GsfInfile* from, GsfOutfile* to, int depth, const std::string& path) {
    constexpr int kDeepest = 32;
    if (depth > kDeepest) RaiseWriteFailure(path, "its storages are nested too deeply");
    const bool top = depth == 0;
    const int count = gsf_infile_num_children(from);
    for (int i = 0; i < count; ++i) {
        const char* name = gsf_infile_name_by_index(from, i);
        if (name == nullptr) continue;
        if (top && (SameSheetName(name, "Book") || SameSheetName(name, "Workbook"))) continue;
        GsfPtr<GsfInput> child(gsf_infile_child_by_index(from, i));
        if (!child) continue;
        const bool storage =
            GSF_IS_INFILE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0;
        GsfPtr<GsfOutput> copy(gsf_outfile_new_child(to, name, storage));
        if (!copy) RaiseWriteFailure(path, std::string("cannot copy '") + name + "'");
        if (storage) {
            CopyEntries(GSF_INFILE(child.get()), GSF_OUTFILE(copy.get()), depth + 1, path);
        } else if (!gsf_input_copy(child.get(), copy.get())) {
            RaiseWriteFailure(path, std::string("cannot copy '") + name + "'");
        }
        gsf_output_close(copy.get());
    }
}

void WriteSheets(Workbook& book, GsfOutput* stream, const std::vector<std::uint8_t>& globals,
                 const std::vector<std::vector<std::uint8_t>>& heads,
                 const std::vector<std::vector<std::uint8_t>>& tails) {
    Write(stream, globals.data(), globals.size(), book.path);
    std::size_t position = globals.size();
    std::vector<std::uint8_t> chunk(64 * 1024);
    for (std::size_t i = 0; i < book.sheets.size(); ++i) {
        Sheet& sheet = book.sheets[i];
        if (!sheet.fresh) {
            std::vector<std::uint8_t> bytes = book.StoredSheet(sheet);
            RelocateSheet(bytes,
                          static_cast<long long>(position) - static_cast<long long>(sheet.start));
            Write(stream, bytes.data(), bytes.size(), book.path);
            position += bytes.size();
            continue;
        }
        NewSheet& fresh = *sheet.fresh;
        fresh.Flush();
        Write(stream, heads[i].data(), heads[i].size(), book.path);
        std::FILE* spool = fresh.spool.get();
        if (std::fflush(spool) != 0 || std::fseek(spool, 0, SEEK_SET) != 0)
            RaiseWriteFailure(book.path, "cannot read the spooled rows");
        for (std::size_t left = fresh.spooled; left > 0;) {
            const std::size_t n = std::fread(chunk.data(), 1, std::min(left, chunk.size()), spool);
            if (n == 0) RaiseWriteFailure(book.path, "cannot read the spooled rows");
            Write(stream, chunk.data(), n, book.path);
            left -= n;
        }
        Write(stream, tails[i].data(), tails[i].size(), book.path);
        position += heads[i].size() + fresh.spooled + tails[i].size();
    }
}

// The whole workbook into a new file beside the old one, which it then replaces.
void WriteWorkbook(Workbook& book) {
    GlobalsWriter& writer = book.Writer();
    std::vector<GlobalsWriter::SheetOut> out;
    std::vector<std::vector<std::uint8_t>> heads(book.sheets.size()), tails(book.sheets.size());
    bool selectedOne = book.exists;
    for (std::size_t i = 0; i < book.sheets.size(); ++i) {
        const Sheet& sheet = book.sheets[i];
        std::size_t size = sheet.end - sheet.start;
        if (sheet.fresh) {
            heads[i] =
                WorksheetHead(sheet.fresh->rows, static_cast<int>(sheet.fresh->fields.size()));
            tails[i] = WorksheetTail(!selectedOne);
            selectedOne = true;
            size = heads[i].size() + sheet.fresh->CellBytes() + tails[i].size();
        }
        out.push_back({sheet.name, sheet.visibility, sheet.type, size});
    }
    const std::vector<std::uint8_t> globals = writer.Serialize(out);

    // The new file gets the old one's owner (where allowed) and permissions,
    // or the usual ones.
    platform::DataFile data;
    platform::Replacement replacement;
    if (const int err = replacement.Begin(book.path, data))
        RaiseWriteFailure(book.path, std::strerror(err), err);
    const std::string temp = replacement.HiddenPath();
    FilePtr file(data.OpenStream("wb"));
    if (!file) RaiseWriteFailure(book.path, std::strerror(errno), errno);
    try {
        GsfPtr<GsfOutput> sink(gsf_output_stdio_new_FILE(temp.c_str(), file.get(), TRUE));
        if (!sink) RaiseWriteFailure(book.path, "cannot start the file");
        GsfPtr<GsfOutfile> ole(gsf_outfile_msole_new(sink.get()));
        if (!ole) RaiseWriteFailure(book.path, "cannot start the compound file");
        guint8 clsid[16];
        if (!(book.ole && gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(book.ole.get()), clsid)))
            std::memcpy(clsid, kWorkbookClass, sizeof clsid);
        gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(ole.get()), clsid);
        {
            GsfPtr<GsfOutput> stream(gsf_outfile_new_child(ole.get(), "Book", FALSE));
            if (!stream) RaiseWriteFailure(book.path, "cannot add the workbook stream");
            WriteSheets(book, stream.get(), globals, heads, tails);
            errno = 0;
            if (!gsf_output_close(stream.get()))
                RaiseWriteFailure(book.path, "cannot write", errno);
        }
        if (book.ole) CopyEntries(book.ole.get(), ole.get(), 0, book.path);
        // Closing the compound file closes the file under it as well.
        errno = 0;
        bool finished = gsf_output_close(GSF_OUTPUT(ole.get()));
        if (!gsf_output_is_closed(sink.get()) && !gsf_output_close(sink.get())) finished = false;
        if (!finished) RaiseWriteFailure(book.path, "cannot finish the compound file", errno);
        if (std::fflush(file.get()) != 0) RaiseWriteFailure(book.path, std::strerror(errno), errno);
        if (std::fclose(file.release()) != 0)
            RaiseWriteFailure(book.path, std::strerror(errno), errno);
        // Before it replaces a workbook, the new file must be on the disk: a
        // crash after the rename must not leave neither of the two.
        if (const int err = data.Sync()) RaiseWriteFailure(book.path, std::strerror(err), err);
        if (const int err = replacement.MoveIntoPlace())
            RaiseWriteFailure(book.path, std::strerror(err), err);
    } catch (...) {
        file.reset();
        throw;
    }
}

// ---- Database ----------------------------------------------------------------

void CheckSheetName(const std::string& name, const CodePage& page) {
    const std::string stored = page.Encode(name);
    const bool bad = stored.empty() || stored.size() > kMaxSheetNameLength ||
                     stored.find_first_of("[]:*?/\\") != std::string::npos ||
                     std::any_of(stored.begin(), stored.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    if (bad) {
        throw EngineError(errInvalidName,
                          "'" + name +
                              "' is not a valid worksheet name: a worksheet name has 1 to " +
                              std::to_string(kMaxSheetNameLength) +
                              " characters of the workbook's code page, none of them [ ] : * ? / "
                              "\\.");
    }
}

class ExcelDatabase final : public Database {
  public:
    explicit ExcelDatabase(std::shared_ptr<Workbook> book)
        : Database(book->path), book_(std::move(book)) {}
    ~ExcelDatabase() override {
        try {
            Close();
        } catch (const EngineError&) {
        }
    }

    std::vector<std::string> TableNames() override {
        book_->CheckOpen();
        std::vector<std::string> names;
        for (const Sheet& sheet : book_->sheets) {
            if (sheet.type == 0) names.push_back(sheet.name);
        }
        return names;
    }

    TableDef TableDefs(const std::string& name) override {
        const Sheet& sheet = Existing(name);
        if (sheet.fresh) return TableDef(sheet.name, WithZeroLengthTexts(sheet.fresh->fields));
        return TableDef(sheet.name, FieldsOf(ReadSheetRows(*book_, sheet), book_->Date1904()));
    }

    void DeleteTableDef(const std::string& name) override {
        book_->CheckWritable();
        const Sheet& sheet = Existing(name);
        const auto at = static_cast<std::size_t>(&sheet - book_->sheets.data());
        book_->vacated.emplace_back(sheet.name, at);
        book_->sheets.erase(book_->sheets.begin() + static_cast<long>(at));
        for (auto& [vacatedName, position] : book_->vacated) {
            if (position > at) --position;
        }
        book_->changed = true;
    }

    void AppendTableDef(const TableDef& def) override {
        Workbook& book = *book_;
        book.CheckWritable();
        try {
            Append(def);
        } catch (...) {
            book.failed = true;
            throw;
        }
    }

    std::unique_ptr<Recordset> OpenRecordset(const std::string& table, int /*type*/) override {
        book_->CheckOpen();
        Sheet* sheet = book_->Find(table, true);
        if (sheet == nullptr) {
            throw EngineError(errTableNotFound, "The table '" + table + "' could not be found.");
        }
        std::vector<Field> fields =
            sheet->fresh ? sheet->fresh->fields : TableDefs(table).AllFields();
        return std::make_unique<ExcelRecordset>(book_, sheet->name, std::move(fields),
                                                sheet->fresh);
    }

    void Close() override {
        Workbook& book = *book_;
        if (book.closed) return;
        book.closed = true;
        struct Release {
            Workbook& book;
            ~Release() {
                book.sheets.clear();
                book.book.reset();
                book.ole.reset();
                book.file.reset();
                book.locked.reset();
            }
        } release{book};
        if (book.readOnly || !book.changed || book.failed) return;
        WriteWorkbook(book);
    }

  private:
    Sheet& Existing(const std::string& name) {
        book_->CheckOpen();
        Sheet* sheet = book_->Find(name, true);
        if (sheet == nullptr) {
            throw EngineError(errItemNotFound, "There is no worksheet named '" + name + "'.");
        }
        return *sheet;
    }

    void Append(const TableDef& def) {
        Workbook& book = *book_;
        const std::string& name = def.Name();
        CheckSheetName(name, *book.page);
        if (book.Find(name, false) != nullptr) {
            throw EngineError(errTableExists, "The worksheet '" + name + "' already exists.");
        }
        if (def.FieldCount() == 0) {
            throw EngineError(errNoFields,
                              "The table '" + name + "' has no fields and cannot be created.");
        }
        if (def.FieldCount() > kMaxColumns) {
            throw EngineError(errTooManyFields, "The table '" + name + "' has " +
                                                    std::to_string(def.FieldCount()) +
                                                    " fields; a worksheet holds at most " +
                                                    std::to_string(kMaxColumns) + " columns.");
        }
        auto fresh = std::make_shared<NewSheet>();
        fresh->fields = def.AllFields();
        fresh->spool.reset(std::tmpfile());
        if (!fresh->spool) {
            throw EngineError(errDiskIo, std::string("No room for the worksheet's rows: ") +
                                             std::strerror(errno) + ".");
        }
        for (int i = 0; i < def.FieldCount(); ++i) {
            const Field& field = def.Fields(i);
            AppendText(book, *fresh, 0, i, field, field.Name);
        }
        fresh->rows = 1;

        Sheet sheet;
        sheet.name = name;
        sheet.fresh = std::move(fresh);
        std::size_t at = book.sheets.size();
        const auto slot = std::find_if(book.vacated.begin(), book.vacated.end(),
                                       [&](const auto& v) { return SameSheetName(v.first, name); });
        if (slot != book.vacated.end()) {
            at = std::min(slot->second, book.sheets.size());
            book.vacated.erase(slot);
            for (auto& [vacatedName, position] : book.vacated) {
                if (position >= at) ++position;
            }
        }
        book.sheets.insert(book.sheets.begin() + static_cast<long>(at), std::move(sheet));
        book.changed = true;
    }

    std::shared_ptr<Workbook> book_;
};

[[noreturn]] void RaiseNotWorkbook(const std::string& path, const std::string& reason) {
    throw EngineError(errUnrecognizedFormat,
                      "'" + path + "' is not an Excel 5.0 workbook: " + reason + ".");
}

// The stored workbook file. Opened exclusively, it is locked until the session
// ends, so another session that wants it is refused (3045) rather than losing
// its changes to ours; the lock is on the file the path names once it is held,
// as a session that ends replaces the file.
FilePtr OpenWorkbookFile(const std::string& path, bool exclusive) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        platform::DataFile data;
        if (const int err = data.Open(path, platform::DataFile::Mode::Read)) {
            throw EngineError(errCannotOpenFile,
                              "The workbook '" + path +
                                  "' could not be opened: " + std::strerror(err) + ".");
        }
        FilePtr file(data.OpenStream("rb"));
        if (!file) {
            throw EngineError(errCannotOpenFile,
                              "The workbook '" + path +
                                  "' could not be opened: " + std::strerror(errno) + ".");
        }
        if (!exclusive) return file;
        if (!data.TryLock(platform::DataFile::Lock::Exclusive)) {
            if (errno != EWOULDBLOCK) return file; // a file system without locks
            throw EngineError(errFileInUse,
                              "The workbook '" + path + "' is in use by another session.");
        }
        const auto opened = data.Describe();
        const auto named = platform::DescribePath(path);
        if (opened && named && opened->device == named->device && opened->inode == named->inode)
            return file;
    }
    throw EngineError(errFileInUse, "The workbook '" + path + "' is in use by another session.");
}

// The stored workbook: its compound file, its workbook stream and its globals.
void OpenStored(Workbook& book, bool exclusive) {
    GError* error = nullptr;
    book.locked = OpenWorkbookFile(book.path, exclusive);
    book.file.reset(gsf_input_stdio_new_FILE(book.path.c_str(), book.locked.get(), TRUE));
    if (!book.file) {
        throw EngineError(errCannotOpenFile, "The workbook '" + book.path +
                                                 "' could not be opened: " + ErrorText(error) +
                                                 ".");
    }
    book.ole.reset(gsf_infile_msole_new(book.file.get(), &error));
    if (!book.ole) {
        g_clear_error(&error);
        RaiseNotWorkbook(book.path, "it is not an OLE2 compound file");
    }
    GsfInfile* ole = book.ole.get();
    bool newer = false;
    for (int i = 0; i < gsf_infile_num_children(ole); ++i) {
        const char* name = gsf_infile_name_by_index(ole, i);
        if (name == nullptr) continue;
        if (SameSheetName(name, "Book")) {
            book.book.reset(gsf_infile_child_by_index(ole, i));
        } else if (SameSheetName(name, "Workbook")) {
            newer = true;
        }
    }
    // A file of Excel 97 and later may hold an Excel 5.0 copy of its workbook
    // as well; rewriting it as Excel 5.0 alone would lose what only the newer
    // stream holds.
    if (newer) RaiseNotWorkbook(book.path, "it is a workbook of Excel 97 or later");
    if (!book.book) RaiseNotWorkbook(book.path, "it holds no workbook stream");
    GsfSource source(book.book.get());
    try {
        book.globals = ReadGlobals(source);
    } catch (const FormatError& e) {
        RaiseNotWorkbook(book.path, e.reason);
    }
    book.page = std::make_unique<CodePage>(book.globals->formats.codePage);
    for (const SheetEntry& entry : book.globals->sheets) {
        Sheet sheet;
        sheet.name = entry.name;
        sheet.visibility = entry.visibility;
        sheet.type = entry.type;
        sheet.start = entry.start;
        sheet.end = entry.end;
        book.sheets.push_back(std::move(sheet));
    }
}

class ExcelDriver final : public Driver {
  public:
    std::vector<std::string> ConnectNames() const override {
        return {"Excel 3.0", "Excel 4.0", "Excel 5.0"};
    }
    Kind DatabaseKind() const override { return Kind::File; }
    std::vector<std::string> FileExtensions() const override { return {"XLS"}; }
    std::unique_ptr<Database> Open(const std::string& path, bool exclusive, bool readOnly,
                                   const std::string& /*connectName*/) override {
        InitGsf();
        auto book = std::make_shared<Workbook>();
        book->path = platform::ResolveExistingPath(path).value_or(path);
        book->readOnly = readOnly;
        if (platform::ResolveExistingPath(book->path)) {
            if (!platform::IsOrdinaryFile(book->path))
                throw EngineError(errCannotOpenFile, "'" + book->path + "' is not a file.");
            book->exists = true;
            // The workbook is replaced rather than written in place, which the
            // folder would allow even where the file itself may not be written.
            if (!readOnly && !platform::MayWrite(book->path)) {
                throw EngineError(errReadOnly,
                                  "The workbook '" + book->path + "' can only be read.");
            }
            OpenStored(*book, exclusive);
        } else {
            const std::string folder = platform::FolderOf(book->path);
            if (!platform::IsFolder(folder)) {
                throw EngineError(errInvalidPath, "'" + book->path +
                                                      "' is not a valid path: the folder '" +
                                                      folder + "' does not exist.");
            }
            if (readOnly) {
                throw EngineError(errFileNotFound,
                                  "The workbook '" + book->path + "' could not be found.");
            }
        }
        return std::make_unique<ExcelDatabase>(std::move(book));
    }
};

} // namespace

std::unique_ptr<Driver> MakeDriver() {
    return std::make_unique<ExcelDriver>();
}

} // namespace engine::excel
