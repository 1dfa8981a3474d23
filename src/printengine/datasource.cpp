#include "printengine/datasource.h"

#include "engine/convert.h"
#include "engine/driver.h"

#include <QDateTime>
#include <QLocale>

#include <cmath>
#include <fstream>

namespace printengine {

namespace {

std::string UpperAscii(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string Extension(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return UpperAscii(path.substr(dot + 1));
}

// Which column of the table feeds each report field (names match without
// regard to case, as the engine's names do).
std::vector<int> MapFields(const std::vector<std::string>& columns,
                           const std::vector<FieldDef>& fields, const std::string& table) {
    std::vector<int> map;
    for (const auto& f : fields) {
        int found = -1;
        for (size_t i = 0; i < columns.size(); ++i)
            if (UpperAscii(columns[i]) == UpperAscii(f.name)) found = int(i);
        // A field of a class without values here is never read (the report
        // was refused if anything evaluates it); it needs no column.
        if (found < 0 && !f.otherClass.empty()) {
            map.push_back(-1);
            continue;
        }
        if (found < 0)
            throw SourceError("The field " + f.name + " of the report is not in the table " +
                              table + ".");
        map.push_back(found);
    }
    return map;
}

[[noreturn]] void CannotConvert(const std::string& text, const char* cls,
                                const std::string& field) {
    throw SourceError("The value \"" + text + "\" of the field " + field + " is not a " + cls +
                      ".");
}

std::optional<double> TextNumber(std::string text) {
    // The exporter writes the locale's decimal separator.
    const QString point = QLocale().decimalPoint();
    if (point != ".") {
        const std::string p = point.toStdString();
        if (const size_t at = text.find(p); at != std::string::npos)
            text.replace(at, p.size(), ".");
    }
    return engine::ParseNumber(text);
}

std::optional<engine::DateTime> TextDate(const std::string& text) {
    if (auto d = engine::ParseDate(text)) return d;
    const QLocale locale;
    QString format = locale.dateFormat(QLocale::ShortFormat);
    if (!format.contains("yyyy")) format.replace("yy", "yyyy");
    const QString t = QString::fromStdString(text).trimmed();
    QDateTime dt = locale.toDateTime(t, format + " " + locale.timeFormat(QLocale::LongFormat));
    if (!dt.isValid()) dt = locale.toDateTime(t, format + " HH:mm:ss");
    if (!dt.isValid()) {
        const QDate date = locale.toDate(t, format);
        if (date.isValid()) dt = QDateTime(date, QTime(0, 0));
    }
    if (!dt.isValid()) return std::nullopt;
    return engine::DateTime{dt.date().year(), dt.date().month(),  dt.date().day(),
                            dt.time().hour(), dt.time().minute(), dt.time().second()};
}

class EngineSource final : public RowSource {
  public:
    EngineSource(std::unique_ptr<engine::Database> db, std::unique_ptr<engine::Recordset> rs,
                 std::vector<int> map, const std::vector<FieldDef>& fields)
        : db_(std::move(db)), rs_(std::move(rs)), map_(std::move(map)), fields_(fields) {}
    ~EngineSource() override {
        try {
            rs_->Close();
            db_->Close();
        } catch (const engine::EngineError&) {
        }
    }

    bool Next(std::vector<Value>& row) override {
        try {
            if (started_ && !rs_->Eof()) rs_->MoveNext();
            started_ = true;
            if (rs_->Eof()) return false;
            row.resize(map_.size());
            for (size_t i = 0; i < map_.size(); ++i)
                row[i] = map_[i] < 0 ? Value()
                                     : ConvertToClass(rs_->GetValue(map_[i]), fields_[i].valueClass,
                                                      fields_[i].name);
            return true;
        } catch (const engine::EngineError& e) {
            throw SourceError(e.Description() + " (" + std::to_string(e.Number()) + ")");
        }
    }

  private:
    std::unique_ptr<engine::Database> db_;
    std::unique_ptr<engine::Recordset> rs_;
    std::vector<int> map_;
    std::vector<FieldDef> fields_;
    bool started_ = false;
};

class TextSource final : public RowSource {
  public:
    TextSource(const std::string& path, const std::vector<FieldDef>& fields)
        : path_(path), in_(path, std::ios::binary), fields_(fields) {
        if (!in_) throw SourceError("Unable to open the table " + path + ".");
        std::string header;
        std::vector<std::string> names;
        if (!ReadLine(header) || !SplitExportLine(header, names))
            throw SourceError("The table " + path + " is not a text export file.");
        columns_ = names.size();
        map_ = MapFields(names, fields, path);
    }

    bool Next(std::vector<Value>& row) override {
        std::string line;
        if (!ReadLine(line)) return false;
        ++lineNumber_;
        if (!SplitExportLine(line, items_) || items_.size() != columns_)
            throw SourceError("Line " + std::to_string(lineNumber_) + " of the table " + path_ +
                              " is not in the text export form.");
        row.resize(map_.size());
        for (size_t i = 0; i < map_.size(); ++i) {
            if (map_[i] < 0) {
                row[i] = engine::Null{};
                continue;
            }
            std::string& item = items_[size_t(map_[i])];
            if (item == "Null")
                row[i] = engine::Null{};
            else
                row[i] =
                    ConvertToClass(Value(std::move(item)), fields_[i].valueClass, fields_[i].name);
        }
        return true;
    }

  private:
    bool ReadLine(std::string& line) {
        if (!std::getline(in_, line)) return false;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    }

    std::string path_;
    std::ifstream in_;
    std::vector<FieldDef> fields_;
    std::vector<int> map_;
    size_t columns_ = 0;
    std::vector<std::string> items_;
    int lineNumber_ = 1;
};

// The connect string for a table file: that of the driver that knows its
// extension, in its latest version (every version reads alike); the native
// format, which tells the formats it opens apart by content, for any other.
std::string ConnectFor(const std::string& location) {
    const engine::Driver* driver = engine::DriverForFileName(location);
    return driver == nullptr ? std::string() : driver->ConnectNames().back() + ";";
}

} // namespace

bool SplitExportLine(const std::string& line, std::vector<std::string>& items) {
    items.clear();
    if (line.size() < 2 || line.front() != '"' || line.back() != '"') return false;
    // Items are written quoted and joined by commas; the exporter does not
    // double quotes inside a value, so only the '","' joint separates items.
    size_t start = 1;
    const size_t end = line.size() - 1;
    for (;;) {
        const size_t joint = line.find("\",\"", start);
        if (joint == std::string::npos || joint >= end) {
            items.emplace_back(line, start, end - start);
            return true;
        }
        items.emplace_back(line, start, joint - start);
        start = joint + 3;
    }
}

Value ConvertToClass(const Value& value, ValueClass cls, const std::string& field) {
    if (engine::IsNull(value) || cls == ValueClass::Object) return value;
    const auto* text = std::get_if<std::string>(&value);
    switch (cls) {
    case ValueClass::String:
        if (text) return value;
        if (const auto* d = std::get_if<double>(&value)) return engine::NumberText(*d);
        return JavaText(value);
    case ValueClass::Integer:
    case ValueClass::Long: {
        const char* name = cls == ValueClass::Integer ? "whole number" : "long whole number";
        const double limit = cls == ValueClass::Integer ? 2147483647.0 : 9.2e18;
        double d = 0;
        if (const auto* i = std::get_if<std::int64_t>(&value))
            d = double(*i);
        else if (const auto* r = std::get_if<double>(&value))
            d = *r;
        else if (const auto* c = std::get_if<engine::Currency>(&value))
            d = engine::CurrencyToDouble(*c);
        else if (const auto* b = std::get_if<bool>(&value))
            d = *b ? 1 : 0;
        else if (text) {
            if (text->empty()) return engine::Null{};
            auto n = TextNumber(*text);
            if (!n || *n != std::floor(*n)) CannotConvert(*text, name, field);
            d = *n;
        } else
            CannotConvert(JavaText(value), name, field);
        if (!(std::fabs(d) <= limit) || d != std::floor(d))
            CannotConvert(JavaText(value), name, field);
        if (const auto* i = std::get_if<std::int64_t>(&value)) return *i;
        return static_cast<std::int64_t>(d);
    }
    case ValueClass::Double:
    case ValueClass::BigDecimal:
        if (const auto* c = std::get_if<engine::Currency>(&value)) {
            // A BigDecimal holds money exactly.
            if (cls == ValueClass::BigDecimal) return value;
            return engine::CurrencyToDouble(*c);
        }
        if (const auto* i = std::get_if<std::int64_t>(&value)) return double(*i);
        if (std::holds_alternative<double>(value)) return value;
        if (const auto* b = std::get_if<bool>(&value)) return *b ? 1.0 : 0.0;
        if (text) {
            if (text->empty()) return engine::Null{};
            if (auto n = TextNumber(*text)) return *n;
            CannotConvert(*text, "number", field);
        }
        CannotConvert(JavaText(value), "number", field);
    case ValueClass::Boolean: {
        if (std::holds_alternative<bool>(value)) return value;
        if (const auto* i = std::get_if<std::int64_t>(&value)) return *i != 0;
        if (const auto* d = std::get_if<double>(&value)) return *d != 0;
        if (const auto* c = std::get_if<engine::Currency>(&value)) return c->units != 0;
        if (text) {
            const std::string t = UpperAscii(*text);
            if (t == "TRUE" || t == "YES" || t == "ON" || t == "1" || t == "-1") return true;
            if (t == "FALSE" || t == "NO" || t == "OFF" || t == "0") return false;
            if (t.empty()) return engine::Null{};
        }
        CannotConvert(JavaText(value), "Boolean", field);
    }
    case ValueClass::Date:
        if (std::holds_alternative<engine::DateTime>(value)) return value;
        if (text) {
            if (text->empty()) return engine::Null{};
            if (auto d = TextDate(*text)) return *d;
        }
        if (const auto* d = std::get_if<double>(&value))
            if (auto dt = engine::SerialToDate(*d)) return *dt;
        CannotConvert(JavaText(value), "date", field);
    case ValueClass::Object:
        break;
    }
    return value;
}

std::unique_ptr<RowSource> OpenRowSource(const std::string& location, const std::string& tableName,
                                         const std::vector<FieldDef>& fields) {
    if (location.empty()) throw SourceError("The report has no table location.");
    const std::string ext = Extension(location);
    if (ext == "TXT" || ext == "CSV" || ext == "ASC" || ext == "TAB")
        return std::make_unique<TextSource>(location, fields);

    const std::string connect = ConnectFor(location);
    std::string databasePath = location;
    std::string table = tableName;
    try {
        engine::Driver* driver = connect.empty() ? nullptr : engine::FindDriver(connect);
        if (driver != nullptr && driver->DatabaseKind() == engine::Driver::Kind::Folder) {
            // A folder format: the folder is the database, the file its table.
            const size_t slash = location.find_last_of('/');
            databasePath = slash == std::string::npos ? "." : location.substr(0, slash + 1);
            std::string base = location.substr(slash == std::string::npos ? 0 : slash + 1);
            table = base.substr(0, base.find_last_of('.'));
        }
        auto db = engine::Engine().Workspaces(0).OpenDatabase(databasePath, false, true, connect);
        if (table.empty()) {
            const auto names = db->TableNames();
            if (names.empty()) throw SourceError("The database " + location + " holds no table.");
            table = names.front();
        }
        const engine::TableDef def = db->TableDefs(table);
        std::vector<std::string> columns;
        for (const auto& f : def.AllFields())
            columns.push_back(f.Name);
        auto map = MapFields(columns, fields, table);
        auto rs = db->OpenRecordset(table, engine::dbOpenTable);
        return std::make_unique<EngineSource>(std::move(db), std::move(rs), std::move(map), fields);
    } catch (const engine::EngineError& e) {
        throw SourceError("Unable to read the table at " + location + ": " + e.Description() +
                          " (" + std::to_string(e.Number()) + ")");
    }
}

} // namespace printengine
