// The database engine: one object model over every database format the program
// writes. Callers see DBEngine -> Workspace -> Database -> TableDef / Recordset;
// a driver per family of formats sits behind Database (see driver.h).
//
// Every failure raises EngineError with a classic engine error number and a
// description of our own.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace engine {

// Error numbers, as the classic engine numbered them.
enum ErrorNumber : int {
    errNoCurrentRecord = 3021,
    errFileNotFound = 3024,
    errInvalidPath = 3044,
    errCannotOpenFile = 3051,
    errTableExists = 3010,
    errOperationNotSupported = 3251,
    errInvalidFieldType = 3259,
    errItemNotFound = 3265,
    errValueTooLong = 3163,
    errDuplicateField = 3191,
    errDatabaseExists = 3204,
    errZeroLengthNotAllowed = 3315,
    errUnrecognizedFormat = 3343,
    errNumericOverflow = 3349,
    errConversion = 3421,
    errNoDriver = 3170,
    errUpdateWithoutAddNew = 3020,
    errObjectClosed = 3420,
    errDiskIo = 3043,
    errNoSpace = 3026,
    errReadOnly = 3027,
    errFileInUse = 3045,
    errNotValidPassword = 3031,
    errNoPermission = 3033,
    errNoReadPermission = 3112,
    errRecordTooLarge = 3047,
    errCorrupt = 3049,
    errTableNotFound = 3078,
    errInvalidName = 3125,
    errTableInUse = 3211,
    errNoFields = 3264,
    errTooManyFields = 3190,
    // A table or file reached the largest size its format can address.
    errFormatLimit = 3183,
    errEngineFailure = 3000,
};

class EngineError : public std::runtime_error {
  public:
    EngineError(int number, const std::string& description)
        : std::runtime_error(description), number_(number), description_(description) {}
    int Number() const { return number_; }
    // Kept whole: what() would end at a NUL byte that a path from the
    // transfer file may hold.
    std::string Description() const { return description_; }

  private:
    int number_;
    std::string description_;
};

// Field type codes (the classic numbering; 13 and 14 do not exist).
enum FieldType : int {
    dbBoolean = 1,
    dbByte = 2,
    dbInteger = 3,
    dbLong = 4,
    dbCurrency = 5,
    dbSingle = 6,
    dbDouble = 7,
    dbDate = 8,
    dbBinary = 9,
    dbText = 10,
    dbLongBinary = 11,
    dbMemo = 12,
    dbGUID = 15,
};

// OpenRecordset types.
enum RecordsetType : int { dbOpenTable = 1, dbOpenDynaset = 2 };
// Update types.
enum UpdateType : int { dbUpdateRegular = 1 };
// CreateDatabase options and locale.
constexpr int dbVersion20 = 16;
// The program's own option: a database that every run rebuilds (the scratch
// database). It is written without syncing; every other database is committed
// durably, so that a crash cannot cost a destination its other tables.
constexpr int dbScratch = 0x40000000;
// A genuine Access 2000 (Jet 4) file: the oldest format today's Access opens.
// Without it CreateDatabase makes a file of the native format.
constexpr int dbVersion40 = 64;
inline constexpr const char* dbLangGeneral = ";LANGID=0x0409;CP=1252;COUNTRY=0";

// A calendar date with a time of day (no time zone), as the engine stores dates.
struct DateTime {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0;
    bool operator==(const DateTime&) const = default;
};

struct Null {
    bool operator==(const Null&) const = default;
};
using Blob = std::vector<std::uint8_t>;

// A Currency value, kept exactly as the classic engine kept money: a whole
// number of ten-thousandths (-922337203685477.5808 to 922337203685477.5807).
struct Currency {
    std::int64_t units = 0;
    bool operator==(const Currency&) const = default;
};

// A field value. Text is UTF-8. A Currency field's values are Currency, except
// from formats that store money as a double (Paradox, Excel), read as double.
using Value = std::variant<Null, bool, std::int64_t, double, std::string, DateTime, Blob, Currency>;

inline bool IsNull(const Value& v) {
    return std::holds_alternative<Null>(v);
}

// A field's definition: what CreateField makes and Fields(i) of a TableDef shows.
struct Field {
    std::string Name;
    int Type = dbText;
    int Size = 0;
    bool AllowZeroLength = false;
};

// The most fields a table definition holds: the native format's limit, above
// what any other format can store. A header of tens of thousands of fields is
// refused at its first field too many, not after all of them were compared.
inline constexpr int MaxFields = 2000;

// A table definition. A new one (from Database::CreateTableDef) is filled with
// CreateField / AppendField and then handed to Database::AppendTableDef.
class TableDef {
  public:
    explicit TableDef(std::string name) : name_(std::move(name)) {}
    // A stored definition, as a driver reads it back.
    TableDef(std::string name, std::vector<Field> fields)
        : name_(std::move(name)), fields_(std::move(fields)) {}
    const std::string& Name() const { return name_; }

    // Checks the type code (3259) and the size of a text field; the result is
    // not yet part of the definition.
    Field CreateField(const std::string& name, int type, int size) const;
    // Adds the field; a name already present (case-insensitively) raises 3191,
    // a field beyond MaxFields 3190.
    void AppendField(const Field& field);

    int FieldCount() const { return static_cast<int>(fields_.size()); }
    // 0-based; out of range raises 3265.
    const Field& Fields(int index) const;
    Field& Fields(int index);
    // By name, case-insensitively; missing raises 3265.
    const Field& Fields(const std::string& name) const;
    const std::vector<Field>& AllFields() const { return fields_; }

  private:
    std::string name_;
    std::vector<Field> fields_;
};

class RowBatch;

// A recordset over one table: a forward scan of its rows in the order they were
// added, and AddNew/Update to add rows. Values handed to SetValue are converted
// to the field's type by the engine's rules (convert.h) before the driver sees them.
class Recordset {
  public:
    virtual ~Recordset() = default;
    Recordset(const Recordset&) = delete;
    Recordset& operator=(const Recordset&) = delete;

    int FieldCount() const { return static_cast<int>(fields_.size()); }
    const Field& FieldInfo(int index) const;

    // Forward scan. MoveFirst on an empty recordset raises 3021.
    virtual bool Eof() = 0;
    virtual void MoveFirst() = 0;
    virtual void MoveNext() = 0;
    // Value of field `index` of the current record (3021 without one).
    virtual Value GetValue(int index) = 0;

    // Appending: AddNew starts a record with every field Null; SetValue
    // converts and stores; Update adds the record.
    void AddNew();
    void SetValue(int index, const Value& value);
    void Update(int type = dbUpdateRegular, bool force = false);
    // Adds the complete rows of `rows`, in order, as AddNew, SetValue and
    // Update would; their values must already be of their fields' types (as
    // ConvertValueInto leaves them), which a driver may rely on. On an error
    // the rows before the failing one have been added.
    virtual void AppendRows(const RowBatch& rows);
    virtual void Close() = 0;

  protected:
    explicit Recordset(std::vector<Field> fields) : fields_(std::move(fields)) {}
    // Receives a complete record, each value already of its field's type.
    virtual void InsertRecord(const std::vector<Value>& values) = 0;

  private:
    std::vector<Field> fields_;
    // The record being added. Its texts keep their buffers from record to
    // record; fields not set since AddNew are made Null at Update.
    std::vector<Value> pending_;
    std::vector<char> assigned_;
    bool editing_ = false;
};

// One open database.
class Database {
  public:
    // Every open database is known to the engine, so CloseAllDatabases can
    // reach it; a driver's destructor closes its database.
    virtual ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    const std::string& Name() const { return name_; }

    // The names of the tables, in creation order.
    virtual std::vector<std::string> TableNames() = 0;
    // The stored definition of a table; a missing one raises 3265.
    virtual TableDef TableDefs(const std::string& name) = 0;
    // Drops a table and its rows; a missing one raises 3265.
    virtual void DeleteTableDef(const std::string& name) = 0;
    TableDef CreateTableDef(const std::string& name) const { return TableDef(name); }
    // Creates the table; 3010 if it exists, 3264 without fields.
    virtual void AppendTableDef(const TableDef& def) = 0;
    // A missing table raises 3078.
    virtual std::unique_ptr<Recordset> OpenRecordset(const std::string& table,
                                                     int type = dbOpenDynaset) = 0;
    // Writes everything pending and releases the file(s). Safe to call twice.
    virtual void Close() = 0;

  protected:
    explicit Database(std::string name);

  private:
    std::string name_;
};

class Workspace {
  public:
    // A new database file, returned open; 3204 if the file exists. A path
    // without an extension gets ".MDB", as with OpenDatabase.
    std::unique_ptr<Database> CreateDatabase(const std::string& path, const std::string& locale,
                                             int options = 0);
    // Shared, read/write, the native format. A path without an extension means
    // that name plus ".MDB".
    std::unique_ptr<Database> OpenDatabase(const std::string& path);
    // With a connect string: "" (or none) is the native format; otherwise the
    // driver named before its first ";" (3170 when there is none).
    std::unique_ptr<Database> OpenDatabase(const std::string& path, bool exclusive, bool readOnly,
                                           const std::string& connect);
};

class DBEngine {
  public:
    Workspace& Workspaces(int index);

  private:
    Workspace workspace_;
};

// The engine object, created on first use and kept for the whole process.
DBEngine& Engine();

// Writes and closes every database still open. Called when the process ends.
void CloseAllDatabases();

// Random access to the rows of one table, for views that page through a table
// without reading it whole. Opens the database read-only.
class RowReader {
  public:
    virtual ~RowReader() = default;
    virtual const std::vector<Field>& Fields() const = 0;
    virtual std::int64_t RowCount() = 0;
    // Rows [first, first + count), fewer at the end of the table.
    virtual std::vector<std::vector<Value>> ReadRows(std::int64_t first, int count) = 0;
};
// `appendOnly`: the caller vouches that rows were only ever appended to the
// table since it was created (the scratch table of the current run, which the
// run lock protects); the row count is then read from the last row id instead
// of counting every row.
std::unique_ptr<RowReader> OpenRowReader(const std::string& databasePath, const std::string& table,
                                         bool appendOnly = false);

} // namespace engine
