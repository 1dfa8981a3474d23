#include "engine/sqlite_driver.h"
#include "engine/names.h"

#include "engine/convert.h"
#include "engine/rowbatch.h"
#include "platform/paths.h"
#include "platform/platform.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace engine::native {

namespace {

// Rows are written in one transaction per database, begun at the first row and
// committed when the database closes. The scratch database is rebuilt by every
// run and is not synced. Any other database may be a user's file with other
// tables in it: it commits through a synced rollback journal (never a write-
// ahead log, which would leave -wal files beside the user's file), so that a
// crash or power loss leaves either the old or the new contents.
constexpr const char* kScratchPragmas = "PRAGMA synchronous=OFF; PRAGMA cache_size=-2048;";
constexpr const char* kDurablePragmas =
    "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL; PRAGMA cache_size=-2048;";
constexpr int kBusyTimeoutMs = 2000;
// Rows one INSERT adds when rows come in bulk.
constexpr std::size_t kRowsPerStatement = 32;

std::string Quote(std::string_view identifier) {
    std::string quoted = "\"";
    for (const char c : identifier) {
        quoted += c;
        if (c == '"') quoted += '"';
    }
    return quoted + "\"";
}

struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

int ErrorNumberFor(int rc) {
    switch (rc & 0xff) {
    case SQLITE_NOTADB:
        return errUnrecognizedFormat;
    case SQLITE_CORRUPT:
        return errCorrupt;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return errCannotOpenFile;
    case SQLITE_BUSY:
        return errFileInUse;
    case SQLITE_LOCKED:
        return errTableInUse;
    case SQLITE_READONLY:
        return errReadOnly;
    case SQLITE_FULL:
        return errNoSpace;
    case SQLITE_IOERR:
        return errDiskIo;
    default:
        return errEngineFailure;
    }
}

[[noreturn]] void Raise(sqlite3* db, int rc, const std::string& path, const std::string& doing) {
    // SQLite does not always keep the system's error (a failed commit may
    // not); the C library's is then the last failed call's.
    const int lastErrno = errno;
    std::string detail = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    int systemError = db != nullptr ? sqlite3_system_errno(db) : 0;
    if (systemError == 0) systemError = lastErrno;
    if ((rc & 0xff) == SQLITE_IOERR) {
        // A file that may grow no further is a full disk to the user.
        if (systemError == ENOSPC || systemError == EFBIG || systemError == EDQUOT)
            rc = SQLITE_FULL;
        else if (systemError != 0)
            detail += std::string(" (") + std::strerror(systemError) + ")";
    }
    switch (rc & 0xff) {
    case SQLITE_NOTADB:
        throw EngineError(errUnrecognizedFormat,
                          "'" + path + "' is not a database file in a format the engine knows.");
    case SQLITE_BUSY:
        throw EngineError(errFileInUse,
                          "The database '" + path + "' is locked by another user of the file.");
    case SQLITE_READONLY:
        throw EngineError(errReadOnly, "The database '" + path + "' can only be read.");
    case SQLITE_FULL:
        throw EngineError(errNoSpace, "The disk holding '" + path + "' is full.");
    default:
        throw EngineError(ErrorNumberFor(rc), doing + " in '" + path + "' failed: " + detail + ".");
    }
}

// A path as SQLite should see it: a relative name could otherwise read as a
// "file:" URI.
std::string SqlitePath(const std::string& path) {
    return !path.empty() && path.front() == '/' ? path : "./" + path;
}

class NativeRecordset;

// One SQLite connection, shared by a database and its recordsets.
struct Connection {
    sqlite3* db = nullptr;
    std::string path;
    std::vector<NativeRecordset*> recordsets;

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        if (db != nullptr) sqlite3_close_v2(db);
    }

    [[noreturn]] void Fail(int rc, const std::string& doing) const { Raise(db, rc, path, doing); }

    Statement Prepare(const std::string& sql, const std::string& doing) const {
        sqlite3_stmt* statement = nullptr;
        const int rc =
            sqlite3_prepare_v2(db, sql.c_str(), int(sql.size() + 1), &statement, nullptr);
        if (rc != SQLITE_OK) Fail(rc, doing);
        return Statement(statement);
    }

    void Execute(const char* sql, const std::string& doing) const {
        const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) Fail(rc, doing);
    }

    void BeginRowWrites() const {
        if (sqlite3_get_autocommit(db)) Execute("BEGIN IMMEDIATE", "Starting to write");
    }

    void Commit() const {
        if (!sqlite3_get_autocommit(db)) Execute("COMMIT", "Writing the database");
    }

    // A change of structure is all or nothing, inside the row transaction
    // when one is open.
    template <typename Change> void ChangeStructure(const std::string& doing, Change change) {
        Execute("SAVEPOINT nv_structure", doing);
        try {
            change();
        } catch (...) {
            sqlite3_exec(db, "ROLLBACK TO nv_structure; RELEASE nv_structure", nullptr, nullptr,
                         nullptr);
            throw;
        }
        Execute("RELEASE nv_structure", doing);
    }
};

void BindText(Connection& c, sqlite3_stmt* statement, int index, std::string_view text) {
    const int rc =
        sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
    if (rc != SQLITE_OK) c.Fail(rc, "Preparing a statement");
}

std::shared_ptr<Connection> OpenConnection(const std::string& path, int flags) {
    auto connection = std::make_shared<Connection>();
    connection->path = path;
    const int rc = sqlite3_open_v2(SqlitePath(path).c_str(), &connection->db,
                                   flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        throw EngineError(errCannotOpenFile, "The database '" + path + "' could not be opened: " +
                                                 sqlite3_errstr(rc) + ".");
    }
    sqlite3_extended_result_codes(connection->db, 0);
    sqlite3_busy_timeout(connection->db, kBusyTimeoutMs);
    // SQLite reads nothing until asked; this proves the file is a database.
    connection->Execute("SELECT count(*) FROM sqlite_master", "Reading the database");
    return connection;
}

void ConfigureForWriting(Connection& c, bool exclusive, bool durable) {
    c.Execute(durable ? kDurablePragmas : kScratchPragmas, "Opening the database");
    if (exclusive) {
        // Take the lock now, so that nobody else can open the file meanwhile.
        c.Execute("PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; COMMIT",
                  "Opening the database exclusively");
    }
}

bool HasCatalog(const Connection& c) {
    Statement s = c.Prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1",
                            "Reading the catalog");
    sqlite3_bind_text(s.get(), 1, CatalogTable, -1, SQLITE_STATIC);
    return sqlite3_step(s.get()) == SQLITE_ROW;
}

void CreateCatalog(const Connection& c) {
    const std::string sql = "CREATE TABLE IF NOT EXISTS " + Quote(CatalogTable) +
                            " (table_name TEXT NOT NULL COLLATE NOCASE, position INTEGER NOT NULL,"
                            " field_name TEXT NOT NULL, type INTEGER NOT NULL,"
                            " size INTEGER NOT NULL, allow_zero_length INTEGER NOT NULL,"
                            " PRIMARY KEY (table_name, position))";
    c.Execute(sql.c_str(), "Creating the catalog");
}

bool IsReservedName(std::string_view name) {
    return SameName(name, CatalogTable) ||
           (name.size() >= 7 && SameName(name.substr(0, 7), "sqlite_"));
}

// The table's name as stored, when the database has such a table.
std::optional<std::string> StoredTableName(const Connection& c, const std::string& name) {
    if (IsReservedName(name)) return std::nullopt;
    Statement s = c.Prepare(
        "SELECT name FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE",
        "Looking up a table");
    sqlite3_bind_text64(s.get(), 1, name.data(), name.size(), SQLITE_STATIC, SQLITE_UTF8);
    const int rc = sqlite3_step(s.get());
    if (rc == SQLITE_ROW) {
        return std::string(reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0)));
    }
    if (rc != SQLITE_DONE) c.Fail(rc, "Looking up a table");
    return std::nullopt;
}

const char* ColumnType(int type) {
    switch (type) {
    case dbBoolean:
    case dbByte:
    case dbInteger:
    case dbLong:
        return "INTEGER";
    case dbCurrency:
        // Ten-thousandths in a whole number: exact where a REAL is not.
        // Files of earlier versions hold REAL values, converted when read.
        return "CURRENCY";
    case dbSingle:
    case dbDouble:
        return "REAL";
    case dbBinary:
    case dbLongBinary:
        return "BLOB";
    default:
        return "TEXT";
    }
}

// A table that other software wrote has no catalog rows; its fields get the
// engine type nearest to what SQLite would make of the declared type.
int TypeFromDeclaration(std::string declared) {
    std::transform(declared.begin(), declared.end(), declared.begin(),
                   [](unsigned char ch) { return char(std::toupper(ch)); });
    const auto has = [&](const char* part) { return declared.find(part) != std::string::npos; };
    if (has("INT")) return dbLong;
    if (has("CHAR") || has("CLOB") || has("TEXT")) return dbMemo;
    if (has("BLOB") || declared.empty()) return dbLongBinary;
    return dbDouble;
}

std::vector<Field> DeclaredFields(const Connection& c, const std::string& table) {
    Statement s =
        c.Prepare("SELECT name, type FROM pragma_table_info(?1)", "Reading a table definition");
    sqlite3_bind_text64(s.get(), 1, table.data(), table.size(), SQLITE_STATIC, SQLITE_UTF8);
    std::vector<Field> fields;
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
        const auto* declared = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 1));
        const int type = TypeFromDeclaration(declared != nullptr ? declared : "");
        fields.push_back(Field{name != nullptr ? name : "", type, 0, true});
    }
    return fields;
}

std::vector<Field> CatalogFields(const Connection& c, const std::string& table) {
    if (!HasCatalog(c)) return {};
    Statement s = c.Prepare("SELECT field_name, type, size, allow_zero_length FROM " +
                                Quote(CatalogTable) + " WHERE table_name = ?1 ORDER BY position",
                            "Reading the catalog");
    sqlite3_bind_text64(s.get(), 1, table.data(), table.size(), SQLITE_STATIC, SQLITE_UTF8);
    std::vector<Field> fields;
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
        fields.push_back(Field{name != nullptr ? name : "", sqlite3_column_int(s.get(), 1),
                               sqlite3_column_int(s.get(), 2),
                               sqlite3_column_int(s.get(), 3) != 0});
    }
    return fields;
}

// The catalog's definition where it still describes the table's columns;
// otherwise what the columns declare.
std::vector<Field> StoredFields(const Connection& c, const std::string& table) {
    std::vector<Field> declared = DeclaredFields(c, table);
    std::vector<Field> cataloged = CatalogFields(c, table);
    const bool matches = cataloged.size() == declared.size() &&
                         std::equal(cataloged.begin(), cataloged.end(), declared.begin(),
                                    [](const Field& a, const Field& b) {
                                        return SameName(a.Name, b.Name) && IsValidFieldType(a.Type);
                                    });
    return matches ? cataloged : declared;
}

std::string ColumnList(const std::vector<Field>& fields) {
    std::string list;
    for (const Field& field : fields) {
        if (!list.empty()) list += ", ";
        list += Quote(field.Name);
    }
    return list;
}

// A name that reaches the row id: a column may be called "rowid" itself.
std::optional<std::string> RowIdName(const std::vector<Field>& fields) {
    for (const char* candidate : {"rowid", "_rowid_", "oid"}) {
        const bool taken = std::any_of(fields.begin(), fields.end(),
                                       [&](const Field& f) { return SameName(f.Name, candidate); });
        if (!taken) return std::string(candidate);
    }
    return std::nullopt;
}

std::string SelectAllSql(const std::string& table, const std::vector<Field>& fields) {
    std::string sql = "SELECT " + ColumnList(fields) + " FROM " + Quote(table);
    if (auto rowid = RowIdName(fields)) sql += " ORDER BY " + *rowid;
    return sql;
}

Value RawColumn(sqlite3_stmt* s, int column) {
    switch (sqlite3_column_type(s, column)) {
    case SQLITE_INTEGER:
        return std::int64_t{sqlite3_column_int64(s, column)};
    case SQLITE_FLOAT:
        return sqlite3_column_double(s, column);
    case SQLITE_TEXT: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
        return std::string(text, std::size_t(sqlite3_column_bytes(s, column)));
    }
    case SQLITE_BLOB: {
        const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, column));
        return Blob(bytes, bytes + sqlite3_column_bytes(s, column));
    }
    default:
        return Null{};
    }
}

// A stored value as a value of its field's type. What this engine wrote has the
// storage class of its type; anything else is converted where the engine's
// rules allow and given as stored otherwise.
Value ReadColumn(sqlite3_stmt* s, int column, int type) {
    const int storage = sqlite3_column_type(s, column);
    if (storage == SQLITE_NULL) return Null{};
    switch (type) {
    case dbBoolean:
        if (storage == SQLITE_INTEGER) return sqlite3_column_int64(s, column) != 0;
        break;
    case dbByte:
    case dbInteger:
    case dbLong:
        if (storage == SQLITE_INTEGER) return std::int64_t{sqlite3_column_int64(s, column)};
        break;
    case dbCurrency:
        if (storage == SQLITE_INTEGER) return Currency{sqlite3_column_int64(s, column)};
        break;
    case dbSingle:
    case dbDouble:
        if (storage == SQLITE_INTEGER || storage == SQLITE_FLOAT) {
            return sqlite3_column_double(s, column);
        }
        break;
    case dbDate:
        if (storage == SQLITE_TEXT) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
            if (auto date = ParseDateTime({text, std::size_t(sqlite3_column_bytes(s, column))})) {
                return *date;
            }
        }
        break;
    case dbText:
    case dbMemo:
    case dbGUID:
        if (storage == SQLITE_TEXT) return RawColumn(s, column);
        break;
    case dbBinary:
    case dbLongBinary:
        if (storage == SQLITE_BLOB) return RawColumn(s, column);
        break;
    default:
        break;
    }
    Value raw = RawColumn(s, column);
    try {
        return ConvertValue(raw, Field{"", type == dbText ? dbMemo : type, 0, true});
    } catch (const EngineError&) {
        return raw;
    }
}

std::vector<Value> ReadRow(sqlite3_stmt* s, const std::vector<Field>& fields) {
    std::vector<Value> row;
    row.reserve(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        row.push_back(ReadColumn(s, int(i), fields[i].Type));
    }
    return row;
}

[[noreturn]] void RaiseClosed() {
    throw EngineError(errObjectClosed, "The object has been closed and can no longer be used.");
}

[[noreturn]] void RaiseNoCurrentRecord() {
    throw EngineError(errNoCurrentRecord, "There is no current record.");
}

class NativeRecordset final : public Recordset {
  public:
    NativeRecordset(std::shared_ptr<Connection> connection, std::string table,
                    std::vector<Field> fields)
        : Recordset(fields), connection_(std::move(connection)), table_(std::move(table)),
          fields_(std::move(fields)), dateTexts_(fields_.size()) {
        connection_->recordsets.push_back(this);
    }
    ~NativeRecordset() override { Close(); }

    bool Eof() override {
        Start();
        return !onRecord_;
    }

    void MoveFirst() override {
        CheckOpen();
        if (!select_) {
            Start();
        } else {
            sqlite3_reset(select_.get());
            Step();
        }
        if (!onRecord_) RaiseNoCurrentRecord();
    }

    void MoveNext() override {
        Start();
        if (!onRecord_) RaiseNoCurrentRecord();
        Step();
    }

    Value GetValue(int index) override {
        Start();
        const int type = FieldInfo(index).Type;
        if (!onRecord_) RaiseNoCurrentRecord();
        return ReadColumn(select_.get(), index, type);
    }

    void Close() override {
        if (connection_ == nullptr) return;
        Detach();
        std::erase(connection_->recordsets, this);
        connection_.reset();
    }

    // The database is closing under this recordset.
    void Detach() {
        select_.reset();
        insert_.reset();
        groupInsert_.reset();
        closed_ = true;
    }

  protected:
    void InsertRecord(const std::vector<Value>& values) override {
        CheckOpen();
        Connection& c = *connection_;
        sqlite3_stmt* s = InsertStatement(1);
        c.BeginRowWrites();
        for (std::size_t i = 0; i < values.size(); ++i)
            Bind(s, int(i), values[i]);
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        if (rc != SQLITE_DONE) c.Fail(rc, "Adding a record to '" + table_ + "'");
    }

  public:
    // Several rows per statement: SQLite's statement machine then starts once
    // for a group of rows instead of once per row.
    void AppendRows(const RowBatch& rows) override {
        CheckOpen();
        if (rows.FieldCount() != int(fields_.size())) {
            Recordset::AppendRows(rows); // raises as SetValue would
            return;
        }
        Connection& c = *connection_;
        const std::size_t count = rows.RowCount();
        if (count == 0) return;
        c.BeginRowWrites();
        const std::size_t fields = fields_.size();
        const std::size_t group = RowsPerStatement();
        std::size_t r = 0;
        if (group > 1 && count >= group) {
            sqlite3_stmt* s = InsertStatement(group);
            for (; r + group <= count; r += group) {
                int rc = SQLITE_OK;
                for (std::size_t k = 0; k < group && rc == SQLITE_OK; ++k)
                    rc = BindRow(s, rows, r + k, int(k * fields));
                if (rc == SQLITE_OK) rc = sqlite3_step(s);
                sqlite3_reset(s);
                // The group was not added: row by row below finds the row
                // that fails, after adding the ones before it.
                if (rc != SQLITE_DONE) break;
            }
        }
        sqlite3_stmt* s = InsertStatement(1);
        for (; r < count; ++r) {
            int rc = BindRow(s, rows, r, 0);
            if (rc == SQLITE_OK) rc = sqlite3_step(s);
            sqlite3_reset(s);
            if (rc != SQLITE_DONE) c.Fail(rc, "Adding a record to '" + table_ + "'");
        }
    }

  private:
    void CheckOpen() const {
        if (closed_) RaiseClosed();
    }

    std::size_t RowsPerStatement() const {
        const auto variables =
            std::size_t(sqlite3_limit(connection_->db, SQLITE_LIMIT_VARIABLE_NUMBER, -1));
        return std::max<std::size_t>(1, std::min(kRowsPerStatement, variables / fields_.size()));
    }

    // INSERT of `rows` rows, prepared once.
    sqlite3_stmt* InsertStatement(std::size_t rows) {
        Statement& statement = rows == 1 ? insert_ : groupInsert_;
        if (!statement) {
            std::string row = "(";
            for (std::size_t i = 0; i < fields_.size(); ++i)
                row += i == 0 ? "?" : ", ?";
            row += ")";
            std::string sql =
                "INSERT INTO " + Quote(table_) + " (" + ColumnList(fields_) + ") VALUES " + row;
            for (std::size_t k = 1; k < rows; ++k)
                sql += ", " + row;
            statement = connection_->Prepare(sql, "Preparing to add records to '" + table_ + "'");
        }
        return statement.get();
    }

    // Texts and bytes are bound without copying: the batch holds them until
    // the statement has run. SQLITE_OK or the first failure.
    int BindRow(sqlite3_stmt* s, const RowBatch& rows, std::size_t r, int first) {
        const BatchCell* row = rows.Row(r);
        static const char empty = 0;
        for (std::size_t i = 0; i < fields_.size(); ++i) {
            const BatchCell& cell = row[i];
            const int index = first + int(i) + 1;
            int rc = SQLITE_OK;
            switch (cell.kind) {
            case BatchCell::Kind::Integer:
                rc = sqlite3_bind_int64(s, index, cell.integer);
                break;
            case BatchCell::Kind::Real:
                rc = sqlite3_bind_double(s, index, cell.real);
                break;
            case BatchCell::Kind::Text:
                rc = sqlite3_bind_text64(s, index, cell.data ? cell.data : &empty, cell.size,
                                         SQLITE_STATIC, SQLITE_UTF8);
                break;
            case BatchCell::Kind::Bytes:
                rc = sqlite3_bind_blob64(s, index, cell.data ? cell.data : &empty, cell.size,
                                         SQLITE_STATIC);
                break;
            case BatchCell::Kind::Value: // never a date: those come as texts
                Bind(s, index - 1, rows.Other(cell));
                break;
            default:
                rc = sqlite3_bind_null(s, index);
                break;
            }
            if (rc != SQLITE_OK) return rc;
        }
        return SQLITE_OK;
    }

    // The scan begins at the first use of a reading call, so a recordset that
    // only adds records never reads the table.
    void Start() {
        CheckOpen();
        if (select_) return;
        select_ = connection_->Prepare(SelectAllSql(table_, fields_),
                                       "Reading the table '" + table_ + "'");
        Step();
    }

    void Step() {
        const int rc = sqlite3_step(select_.get());
        onRecord_ = rc == SQLITE_ROW;
        if (rc == SQLITE_ROW) return;
        // At the end, let go of the read lock the scan holds.
        sqlite3_reset(select_.get());
        if (rc != SQLITE_DONE) connection_->Fail(rc, "Reading the table '" + table_ + "'");
    }

    // Values are bound without copying: they live in the record being added
    // until the statement has run.
    void Bind(sqlite3_stmt* s, int i, const Value& value) {
        Connection& c = *connection_;
        int rc = SQLITE_OK;
        switch (value.index()) {
        case 1:
            rc = sqlite3_bind_int(s, i + 1, std::get<bool>(value) ? 1 : 0);
            break;
        case 2:
            rc = sqlite3_bind_int64(s, i + 1, std::get<std::int64_t>(value));
            break;
        case 3:
            rc = sqlite3_bind_double(s, i + 1, std::get<double>(value));
            break;
        case 4:
            BindText(c, s, i + 1, std::get<std::string>(value));
            break;
        case 5: {
            char* text = dateTexts_[std::size_t(i)].data();
            FormatDateTimeTo(std::get<DateTime>(value), text);
            BindText(c, s, i + 1, std::string_view(text, 19));
            break;
        }
        case 7:
            rc = sqlite3_bind_int64(s, i + 1, std::get<Currency>(value).units);
            break;
        case 6: {
            static const std::uint8_t empty = 0;
            const Blob& blob = std::get<Blob>(value);
            rc = sqlite3_bind_blob64(s, i + 1, blob.empty() ? &empty : blob.data(), blob.size(),
                                     SQLITE_STATIC);
            break;
        }
        default:
            rc = sqlite3_bind_null(s, i + 1);
            break;
        }
        if (rc != SQLITE_OK) c.Fail(rc, "Adding a record to '" + table_ + "'");
    }

    std::shared_ptr<Connection> connection_;
    std::string table_;
    std::vector<Field> fields_;
    std::vector<std::array<char, 20>> dateTexts_;
    Statement insert_, groupInsert_;
    Statement select_;
    bool onRecord_ = false;
    bool closed_ = false;
};

class NativeDatabase final : public Database {
  public:
    explicit NativeDatabase(std::shared_ptr<Connection> connection)
        : Database(connection->path), connection_(std::move(connection)) {}
    ~NativeDatabase() override {
        try {
            Close();
        } catch (const EngineError&) {
        }
    }

    std::vector<std::string> TableNames() override {
        const Connection& c = Open();
        Statement s = c.Prepare("SELECT name FROM sqlite_master WHERE type = 'table'"
                                " ORDER BY rowid",
                                "Listing the tables");
        std::vector<std::string> names;
        while (sqlite3_step(s.get()) == SQLITE_ROW) {
            std::string name(reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0)));
            if (!IsReservedName(name)) names.push_back(std::move(name));
        }
        return names;
    }

    TableDef TableDefs(const std::string& name) override {
        const Connection& c = Open();
        const auto stored = StoredTableName(c, name);
        if (!stored) RaiseNoSuchTable(name);
        return TableDef(*stored, StoredFields(c, *stored));
    }

    void DeleteTableDef(const std::string& name) override {
        Connection& c = Open();
        const auto stored = StoredTableName(c, name);
        if (!stored) RaiseNoSuchTable(name);
        c.ChangeStructure("Deleting the table '" + name + "'", [&] {
            c.Execute(("DROP TABLE " + Quote(*stored)).c_str(),
                      "Deleting the table '" + name + "'");
            if (!HasCatalog(c)) return;
            Statement s = c.Prepare("DELETE FROM " + Quote(CatalogTable) + " WHERE table_name = ?1",
                                    "Updating the catalog");
            sqlite3_bind_text64(s.get(), 1, stored->data(), stored->size(), SQLITE_STATIC,
                                SQLITE_UTF8);
            const int rc = sqlite3_step(s.get());
            if (rc != SQLITE_DONE) c.Fail(rc, "Updating the catalog");
        });
    }

    void AppendTableDef(const TableDef& def) override {
        Connection& c = Open();
        const std::string& name = def.Name();
        if (name.empty() || IsReservedName(name) ||
            std::any_of(name.begin(), name.end(),
                        [](char ch) { return static_cast<unsigned char>(ch) < 0x20; })) {
            throw EngineError(errInvalidName, "'" + name + "' is not a valid table name.");
        }
        if (def.FieldCount() == 0) {
            throw EngineError(errNoFields,
                              "The table '" + name + "' has no fields and cannot be created.");
        }
        if (StoredTableName(c, name)) {
            throw EngineError(errTableExists, "The table '" + name + "' already exists.");
        }
        c.ChangeStructure("Creating the table '" + name + "'", [&] {
            std::string sql = "CREATE TABLE " + Quote(name) + " (";
            for (int i = 0; i < def.FieldCount(); ++i) {
                const Field& field = def.Fields(i);
                sql += (i == 0 ? "" : ", ") + Quote(field.Name) + " " + ColumnType(field.Type);
            }
            c.Execute((sql + ")").c_str(), "Creating the table '" + name + "'");
            CreateCatalog(c);
            Statement s = c.Prepare("INSERT INTO " + Quote(CatalogTable) +
                                        " (table_name, position, field_name, type, size,"
                                        " allow_zero_length) VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                                    "Updating the catalog");
            for (int i = 0; i < def.FieldCount(); ++i) {
                const Field& field = def.Fields(i);
                sqlite3_bind_text64(s.get(), 1, name.data(), name.size(), SQLITE_STATIC,
                                    SQLITE_UTF8);
                sqlite3_bind_int(s.get(), 2, i);
                sqlite3_bind_text64(s.get(), 3, field.Name.data(), field.Name.size(), SQLITE_STATIC,
                                    SQLITE_UTF8);
                sqlite3_bind_int(s.get(), 4, field.Type);
                sqlite3_bind_int(s.get(), 5, field.Size);
                sqlite3_bind_int(s.get(), 6, field.AllowZeroLength ? 1 : 0);
                const int rc = sqlite3_step(s.get());
                sqlite3_reset(s.get());
                if (rc != SQLITE_DONE) c.Fail(rc, "Updating the catalog");
            }
        });
    }

    std::unique_ptr<Recordset> OpenRecordset(const std::string& table, int /*type*/) override {
        const std::shared_ptr<Connection>& c = connection_;
        Open();
        const auto stored = StoredTableName(*c, table);
        if (!stored) {
            throw EngineError(errTableNotFound, "The table '" + table + "' could not be found.");
        }
        return std::make_unique<NativeRecordset>(c, *stored, StoredFields(*c, *stored));
    }

    void Close() override {
        if (!connection_) return;
        std::shared_ptr<Connection> c = std::move(connection_);
        for (NativeRecordset* recordset : c->recordsets)
            recordset->Detach();
        // Released even when the last write fails, so the file is let go.
        struct Release {
            Connection& c;
            ~Release() {
                sqlite3_close_v2(c.db);
                c.db = nullptr;
            }
        } release{*c};
        c->Commit();
    }

  private:
    Connection& Open() {
        if (!connection_) RaiseClosed();
        return *connection_;
    }

    [[noreturn]] static void RaiseNoSuchTable(const std::string& name) {
        throw EngineError(errItemNotFound, "There is no table named '" + name + "'.");
    }

    std::shared_ptr<Connection> connection_;
};

class NativeRowReader final : public RowReader {
  public:
    // `appendOnly`: the caller vouches that rows were only ever appended, so
    // the row ids run 1..N.
    NativeRowReader(std::shared_ptr<Connection> connection, std::string table,
                    std::vector<Field> fields, bool appendOnly)
        : connection_(std::move(connection)), table_(std::move(table)), fields_(std::move(fields)),
          rowid_(RowIdName(fields_)) {
        if (appendOnly && rowid_) contiguous_ = true;
    }

    const std::vector<Field>& Fields() const override { return fields_; }

    // Taken once: the reader serves one view of a table nobody writes to.
    std::int64_t RowCount() override {
        if (!count_) {
            // max(rowid) is one b-tree descent; count(*) reads the whole table.
            const bool known = contiguous_.value_or(false);
            Statement s =
                Prepare(known ? "SELECT ifnull(max(" + *rowid_ + "), 0) FROM " + Quote(table_)
                              : "SELECT count(*) FROM " + Quote(table_));
            Step(s.get());
            count_ = sqlite3_column_int64(s.get(), 0);
        }
        return *count_;
    }

    std::vector<std::vector<Value>> ReadRows(std::int64_t first, int count) override {
        std::vector<std::vector<Value>> rows;
        first = std::max<std::int64_t>(first, 0);
        const std::int64_t total = RowCount();
        if (count <= 0 || first >= total) return rows;
        const std::int64_t wanted = std::min<std::int64_t>(count, total - first);
        sqlite3_stmt* s = PositionedQuery(first, wanted);
        rows.reserve(std::size_t(wanted));
        while (std::int64_t(rows.size()) < wanted) {
            if (!Step(s)) break;
            rows.push_back(ReadRow(s, fields_));
        }
        sqlite3_reset(s);
        return rows;
    }

  private:
    static constexpr std::int64_t kStride = 1024;

    Statement Prepare(const std::string& sql) const {
        return connection_->Prepare(sql, "Reading the table '" + table_ + "'");
    }

    bool Step(sqlite3_stmt* s) const {
        const int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) {
            sqlite3_reset(s);
            connection_->Fail(rc, "Reading the table '" + table_ + "'");
        }
        return false;
    }

    // When row ids run 1..N, as in every table this engine filled, row i is
    // row id i + 1.
    bool Contiguous() {
        if (!contiguous_) {
            contiguous_ = false;
            if (rowid_) {
                Statement s = Prepare("SELECT min(" + *rowid_ + "), max(" + *rowid_ + ") FROM " +
                                      Quote(table_));
                Step(s.get());
                contiguous_ = RowCount() == 0 || (sqlite3_column_int64(s.get(), 0) == 1 &&
                                                  sqlite3_column_int64(s.get(), 1) == RowCount());
            }
        }
        return *contiguous_;
    }

    // Every kStride-th row id, so any row is reached by skipping fewer than
    // kStride rows from a known one.
    void BuildAnchors() {
        Statement s =
            Prepare("SELECT " + *rowid_ + " FROM " + Quote(table_) + " ORDER BY " + *rowid_);
        for (std::int64_t i = 0; Step(s.get()); ++i) {
            if (i % kStride == 0) anchors_.push_back(sqlite3_column_int64(s.get(), 0));
        }
    }

    sqlite3_stmt* PositionedQuery(std::int64_t first, std::int64_t count) {
        const std::string columns = "SELECT " + ColumnList(fields_) + " FROM " + Quote(table_);
        if (Contiguous()) {
            if (!range_) {
                range_ = Prepare(columns + " WHERE " + *rowid_ + " BETWEEN ?1 AND ?2 ORDER BY " +
                                 *rowid_);
            }
            sqlite3_bind_int64(range_.get(), 1, first + 1);
            sqlite3_bind_int64(range_.get(), 2, first + count);
            return range_.get();
        }
        if (rowid_) {
            if (anchors_.empty()) BuildAnchors();
            const auto anchor = std::size_t(first / kStride);
            if (anchor < anchors_.size()) {
                if (!keyset_) {
                    keyset_ = Prepare(columns + " WHERE " + *rowid_ + " >= ?1 ORDER BY " + *rowid_ +
                                      " LIMIT ?2 OFFSET ?3");
                }
                sqlite3_bind_int64(keyset_.get(), 1, anchors_[anchor]);
                sqlite3_bind_int64(keyset_.get(), 2, count);
                sqlite3_bind_int64(keyset_.get(), 3, first % kStride);
                return keyset_.get();
            }
        }
        if (!offset_) offset_ = Prepare(columns + " LIMIT ?1 OFFSET ?2");
        sqlite3_bind_int64(offset_.get(), 1, count);
        sqlite3_bind_int64(offset_.get(), 2, first);
        return offset_.get();
    }

    std::shared_ptr<Connection> connection_;
    std::string table_;
    std::vector<Field> fields_;
    std::optional<std::string> rowid_;
    std::optional<std::int64_t> count_;
    std::optional<bool> contiguous_;
    std::vector<std::int64_t> anchors_;
    Statement range_, keyset_, offset_;
};

// The file to open: the exact name, or the one name that differs only in case.
std::string ExistingDatabaseFile(const std::string& path) {
    if (!platform::IsUsablePath(path)) {
        throw EngineError(errInvalidPath, "'" + path + "' is not a valid path.");
    }
    const auto found = platform::ResolveExistingPath(path);
    if (!found) {
        throw EngineError(errFileNotFound, "The database file '" + path + "' could not be found.");
    }
    if (!platform::IsOrdinaryFile(*found)) {
        throw EngineError(errCannotOpenFile, "'" + *found + "' is not a file.");
    }
    if (platform::IsForeignLink(*found)) {
        throw EngineError(errCannotOpenFile, "'" + *found +
                                                 "' is a link that another user made; it is "
                                                 "not followed.");
    }
    return *found;
}

class Native final : public Driver {
  public:
    std::vector<std::string> ConnectNames() const override { return {}; }
    Kind DatabaseKind() const override { return Kind::File; }
    std::vector<std::string> FileExtensions() const override { return {"MDB"}; }
    // SQLite's rollback journal: a crashed writer's changes, to be rolled back.
    std::vector<SideFile> SideFiles() const override {
        return {{SideFile::Role::Journal, "-journal", false}};
    }
    std::unique_ptr<Database> Open(const std::string& path, bool exclusive, bool readOnly,
                                   const std::string& /*connectName*/) override {
        return OpenDatabase(WithDefaultExtension(path), exclusive, readOnly);
    }
};

} // namespace

std::string WithDefaultExtension(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    return path.find('.', start) == std::string::npos ? path + ".MDB" : path;
}

std::unique_ptr<Database> CreateDatabase(const std::string& path, bool durable) {
    if (!platform::IsUsablePath(path)) {
        throw EngineError(errInvalidPath, "'" + path + "' is not a valid path.");
    }
    const std::string folder = platform::FolderOf(path);
    if (!platform::IsFolder(folder)) {
        throw EngineError(errInvalidPath, "'" + path + "' is not a valid path: the folder '" +
                                              folder + "' does not exist.");
    }
    if (platform::ResolveExistingPath(path)) {
        throw EngineError(errDatabaseExists, "The database '" + path + "' already exists.");
    }
    // Created here rather than by SQLite so that a file appearing meanwhile
    // is not taken over.
    std::FILE* file = std::fopen(path.c_str(), "wbx");
    if (file == nullptr) {
        const int err = errno;
        if (err == EEXIST) {
            throw EngineError(errDatabaseExists, "The database '" + path + "' already exists.");
        }
        throw EngineError(errCannotOpenFile, "The database '" + path + "' could not be created: " +
                                                 std::strerror(err) + ".");
    }
    std::fclose(file);
    try {
        auto connection = OpenConnection(path, SQLITE_OPEN_READWRITE);
        ConfigureForWriting(*connection, false, durable);
        CreateCatalog(*connection);
        return std::make_unique<NativeDatabase>(std::move(connection));
    } catch (...) {
        platform::DeleteFile(path);
        throw;
    }
}

std::unique_ptr<Database> OpenDatabase(const std::string& path, bool exclusive, bool readOnly) {
    const std::string file = ExistingDatabaseFile(path);
    auto connection = OpenConnection(file, readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE);
    if (readOnly) {
        if (exclusive) connection->Execute("PRAGMA locking_mode=EXCLUSIVE", "Opening the database");
    } else {
        ConfigureForWriting(*connection, exclusive, true);
    }
    return std::make_unique<NativeDatabase>(std::move(connection));
}

std::unique_ptr<RowReader> OpenRowReader(const std::string& path, const std::string& table,
                                         bool appendOnly) {
    auto connection = OpenConnection(ExistingDatabaseFile(path), SQLITE_OPEN_READONLY);
    const auto stored = StoredTableName(*connection, table);
    if (!stored) {
        throw EngineError(errTableNotFound, "The table '" + table + "' could not be found.");
    }
    auto fields = StoredFields(*connection, *stored);
    return std::make_unique<NativeRowReader>(std::move(connection), *stored, std::move(fields),
                                             appendOnly);
}

Driver& NativeDriver() {
    static Native driver;
    return driver;
}

} // namespace engine::native
