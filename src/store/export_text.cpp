#include "store/export_text.h"

#include "core/runstate.h"
#include "core/text.h"
#include "engine/convert.h"
#include "platform/platform.h"
#include "store/formats.h"
#include "store/messages.h"
#include "store/valuetext.h"

#include <QLocale>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>

namespace store {

namespace {

// Lines are gathered into blocks of about this size before they are written.
constexpr size_t FlushThreshold = size_t{1} << 20;

// A failure of the file itself while it is written or closed.
struct FileWriteFailure {
    platform::FileError error;
};

// The destination text file, written in large blocks.
class TextFile {
  public:
    TextFile() = default;
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;
    ~TextFile() { Close(); }

    // 0 or an errno value.
    int Create(const std::string& path) {
        path_ = path;
        // The work folder may be shared: a link planted there is not followed.
        int error = 0;
        file_ = platform::CreateStreamForWriting(path, error);
        if (file_ == nullptr) return error;
        // Blocks are handed over whole; a stdio buffer would only copy them again.
        std::setvbuf(file_, nullptr, _IONBF, 0);
        return 0;
    }

    void Write(const std::string& block) {
        if (block.empty()) return;
        errno = 0;
        if (std::fwrite(block.data(), 1, block.size(), file_) != block.size()) Raise(errno);
    }

    // Throws when the file could not be closed cleanly; the file is released anyway.
    void CloseChecked() {
        if (file_ == nullptr) return;
        std::FILE* file = file_;
        file_ = nullptr;
        errno = 0;
        if (std::fclose(file) != 0) Raise(errno);
    }

    void Close() {
        if (file_ != nullptr) std::fclose(file_);
        file_ = nullptr;
    }

  private:
    [[noreturn]] void Raise(int err) const {
        throw FileWriteFailure{platform::DescribeFileError(err != 0 ? err : EIO, path_)};
    }

    std::FILE* file_ = nullptr;
    std::string path_;
};

// The same text as store::ValueText gives for a double, with the separator
// looked up once per export instead of once per value.
void AppendNumber(std::string& line, double value, const TextFormat& format) {
    if (value == 0.0 || !std::isfinite(value)) {
        line += ValueText(value, "Null");
        return;
    }
    char buf[64];
    const auto [end, ec] =
        std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    if (ec != std::errc()) return;
    for (const char* p = buf; p != end; ++p) {
        if (*p == '.')
            line += format.decimalSeparator;
        else
            line += *p == 'e' ? 'E' : *p;
    }
}

void AppendInteger(std::string& line, std::int64_t value) {
    char buf[24];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    line.append(buf, end);
}

void WriteHeaderLine(std::string& out, const engine::TableDef& def) {
    for (int i = 0; i < def.FieldCount(); ++i)
        AppendTextItem(out, i == 0, def.Fields(i).Name);
    out += "\r\n";
}

// Every record of the scratch table, one line each. An empty table is a
// valid result: the file then holds only its field-name line.
void WriteRecordLines(std::string& out, engine::Recordset& records, TextFile& file) {
    const TextFormat format = CurrentTextFormat();
    const int count = records.FieldCount();
    if (!records.Eof()) records.MoveFirst();
    while (!records.Eof()) {
        for (int i = 0; i < count; ++i)
            AppendValueItem(out, i == 0, records.GetValue(i), format);
        out += "\r\n";
        if (out.size() >= FlushThreshold) {
            file.Write(out);
            out.clear();
        }
        records.MoveNext();
    }
}

// The field-name line and a line per record. What was written before a
// failure stays on disk; the failure is returned, the source and the file
// closed either way.
std::optional<core::Outcome> WriteTextLines(ScratchTable& scratch, TextFile& file) {
    std::unique_ptr<engine::Recordset> records;
    std::optional<core::Outcome> failure;
    std::string out;
    try {
        out.reserve(FlushThreshold + (size_t{64} << 10));
        WriteHeaderLine(out, scratch.def);
        records = scratch.db->OpenRecordset(core::Run().ScratchTableName);
        WriteRecordLines(out, *records, file);
        file.Write(out);
        out.clear();
        records->Close();
        scratch.db->Close();
        file.CloseChecked();
    } catch (const engine::EngineError& e) {
        failure = EngineFailure(e);
        try {
            file.Write(out); // the lines read before the failure
        } catch (const FileWriteFailure&) {
        }
    } catch (const FileWriteFailure& e) {
        failure = core::Outcome::Failure(e.error.description, e.error.number);
    }
    if (failure) {
        CloseQuietly(records.get());
        CloseQuietly(scratch.db.get());
        file.Close();
    }
    return failure;
}

} // namespace

TextFormat CurrentTextFormat() {
    return TextFormat{QLocale().decimalPoint().toStdString()};
}

void AppendTextItem(std::string& line, bool first, std::string_view text) {
    line += first ? "\"" : ",\"";
    line += core::TrimView(text);
    line += '"';
}

void AppendValueItem(std::string& line, bool first, const engine::Value& value,
                     const TextFormat& format) {
    line += first ? "\"" : ",\"";
    if (const auto* text = std::get_if<std::string>(&value))
        line += core::TrimView(*text);
    else if (const auto* integer = std::get_if<std::int64_t>(&value))
        AppendInteger(line, *integer);
    else if (const auto* number = std::get_if<double>(&value))
        AppendNumber(line, *number, format);
    else if (const auto* money = std::get_if<engine::Currency>(&value))
        AppendNumber(line, engine::CurrencyToDouble(*money), format);
    else if (engine::IsNull(value))
        line += "Null";
    else
        line += core::TrimView(ValueText(value, "Null"));
    line += '"';
}

core::Outcome ExportToText() {
    core::RunState& run = core::Run();
    core::ExportTargetRecord& target = run.ExportTarget;

    // Phase 1: the source.
    ScratchTable scratch;
    if (auto failure = OpenScratchTable(scratch)) return *failure;
    target.TableName = BaseName(target.FileName);
    const std::string path = target.Location + target.FileName;

    // Phase 2: an old file goes, whatever OPTION_NEWDB says.
    if (auto existing = ExistingOrdinaryFile(path)) {
        if (const int err = platform::DeleteFile(*existing); err != 0) {
            CloseQuietly(scratch.db.get());
            return core::Outcome::Failure("The database is in use by another session",
                                          platform::DescribeFileError(err, *existing).number);
        }
    }

    // Phase 3: the new file.
    TextFile file;
    if (const int err = file.Create(path); err != 0) {
        CloseQuietly(scratch.db.get());
        const platform::FileError error = platform::DescribeFileError(err, path);
        return core::Outcome::Failure(error.description, error.number);
    }

    // Phase 4: the lines.
    if (auto failure = WriteTextLines(scratch, file)) return *failure;
    return core::Outcome::Success(SuccessText(target));
}

} // namespace store
