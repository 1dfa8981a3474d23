#include "engine/jet/jet_driver.h"

#include "engine/jet/jet_build.h"
#include "engine/jet/jet_file.h"
#include "engine/jet/jet_security.h"
#include "engine/jet/jet_writer.h"
#include "platform/datafile.h"
#include "platform/platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>

namespace engine::jet {

namespace {

int FieldTypeOf(const ColumnDef& c) {
    switch (c.type) {
    case colBoolean:
    case colByte:
    case colInteger:
    case colLong:
    case colCurrency:
    case colSingle:
    case colDouble:
    case colDateTime:
    case colBinary:
    case colText:
    case colOle:
    case colMemo:
    case colGuid:
        return c.type;
    case colNumeric:
        return dbDouble;
    default:
        return dbLongBinary;
    }
}

int FieldSizeOf(const ColumnDef& c) {
    switch (c.type) {
    case colText:
        return c.length / 2;
    case colBinary:
        return c.length;
    case colMemo:
    case colOle:
        return 0;
    case colBoolean:
        return 1;
    default:
        return c.length;
    }
}

// The lock file Access keeps beside a database while it is open
// ("NAME.ldb"). Holding a lock on all of it keeps every other user out.
class LockFile {
  public:
    explicit LockFile(const std::string& database) {
        const std::size_t slash = database.find_last_of('/');
        const std::size_t dot = database.find_last_of('.');
        const bool hasExtension =
            dot != std::string::npos && (slash == std::string::npos || dot > slash);
        const std::string stem = hasExtension ? database.substr(0, dot) : database;
        const bool upper = hasExtension && database.size() > dot + 1 &&
                           std::isupper(static_cast<unsigned char>(database[dot + 1]));
        path_ = stem + (upper ? ".LDB" : ".ldb");
        using Mode = platform::DataFile::Mode;
        int error = file_.Open(path_, Mode::CreateNew, 0644);
        if (error == 0) {
            created_ = true;
        } else if (error == EEXIST) {
            error = file_.Open(path_, Mode::ReadWriteNoFollow);
        }
        if (error != 0) {
            throw EngineError(errCannotOpenFile,
                              "The lock file '" + path_ +
                                  "' could not be opened: " + std::strerror(error) + ".");
        }
        if (!file_.TryLockRange(platform::DataFile::Lock::Exclusive)) {
            Release(false);
            throw EngineError(errFileInUse, "The database '" + database +
                                                "' is in use by another program (its lock file '" +
                                                path_ + "' is held).");
        }
    }
    ~LockFile() { Release(true); }
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;

  private:
    void Release(bool remove) {
        if (!file_.IsOpen()) return;
        // Only a lock file of our own making goes, and only while we hold it.
        if (remove && created_) platform::DeleteFile(path_);
        file_.Close();
    }
    std::string path_;
    platform::DataFile file_;
    bool created_ = false;
};

class JetRecordset;

struct OpenFile {
    std::unique_ptr<JetFile> file;
    std::vector<JetRecordset*> recordsets; // open on this file
    std::unique_ptr<LockFile> lock;
    std::unique_ptr<JetWriter> writer;
    AccessRights rights; // of the default account, read at open
    bool readOnly = false;

    // The writer, once the file is locked for writing.
    JetWriter& Writer() {
        if (readOnly) {
            throw EngineError(errReadOnly, "The database '" + file->Path() + "' can only be read.");
        }
        if (!writer) {
            // Every change this engine makes creates a table.
            RequireRight(rights, kTablesContainerId, kRightCreate,
                         "the tables of '" + file->Path() + "'");
            // The lock file lies beside the database itself, however a link
            // reaches it, so that every writer of it meets the same lock.
            lock = std::make_unique<LockFile>(RealFile(file->Path()));
            RemoveStaleCopies(file->Path(), file->CopyPath());
            file->WorkOnCopy();
            file->DropCache();
            writer = std::make_unique<JetWriter>(*file);
        }
        return *writer;
    }
};

class JetRecordset final : public Recordset {
  public:
    JetRecordset(std::shared_ptr<OpenFile> file, TableInfo table, std::vector<Field> fields,
                 std::vector<std::size_t> order)
        : Recordset(std::move(fields)), file_(std::move(file)), table_(std::move(table)),
          order_(std::move(order)) {
        pages_ = File().ReadUsageMap(table_.usedPages);
        Rewind();
        file_->recordsets.push_back(this);
    }

    // The database is given up: rows not yet stored stay unwritten.
    void Abandon() {
        appender_.reset();
        file_.reset();
    }

    // The database is closing: rows added so far are finished, then the
    // recordset lets go of the file.
    void Detach() {
        struct Let {
            std::shared_ptr<OpenFile>& file;
            ~Let() { file.reset(); }
        } let{file_};
        FinishAppending();
    }

    bool Eof() override {
        FinishAppending();
        return !current_;
    }
    void MoveFirst() override {
        FinishAppending();
        Rewind();
        if (!current_) throw EngineError(errNoCurrentRecord, "There is no current record.");
    }
    void MoveNext() override {
        if (!current_) throw EngineError(errNoCurrentRecord, "There is no current record.");
        ++row_;
        Advance();
    }
    Value GetValue(int index) override {
        FieldInfo(index);
        if (!current_) throw EngineError(errNoCurrentRecord, "There is no current record.");
        return values_[order_[static_cast<std::size_t>(index)]];
    }
    void Close() override {
        if (!file_) return;
        std::erase(file_->recordsets, this);
        Detach();
    }
    ~JetRecordset() override {
        try {
            Close();
        } catch (const EngineError&) {
        }
    }

  protected:
    void InsertRecord(const std::vector<Value>& values) override {
        if (!file_) throw EngineError(errObjectClosed, "The recordset is closed.");
        if (!appender_) appender_ = file_->Writer().OpenAppender(table_.tdefPage);
        appender_->Add(values);
    }

  private:
    JetFile& File() {
        if (!file_ || !file_->file) throw EngineError(errObjectClosed, "The recordset is closed.");
        return *file_->file;
    }
    void FinishAppending() {
        if (!appender_) return;
        auto appender = std::move(appender_);
        appender->Finish();
        table_ = File().ReadTable(table_.tdefPage);
        pages_ = File().ReadUsageMap(table_.usedPages);
    }
    void Rewind() {
        page_ = 0;
        row_ = 0;
        Advance();
    }
    // Moves to the first live row at or after (page_, row_).
    void Advance() {
        current_ = false;
        JetFile& file = File();
        for (; page_ < pages_.size(); ++page_, row_ = 0) {
            const Page& page = file.ReadPage(pages_[page_]);
            if (page[0] != pgData || Get32(page.data() + kDataOwner) != table_.tdefPage) continue;
            const std::uint32_t rows = Get16(page.data() + kDataRowCount);
            for (; row_ < rows; ++row_) {
                auto bytes = file.ReadRow(pages_[page_], row_);
                if (!bytes) continue;
                file.DecodeRow(table_, bytes->data(), bytes->size(), values_);
                current_ = true;
                return;
            }
        }
    }

    std::shared_ptr<OpenFile> file_;
    TableInfo table_;
    std::vector<std::size_t> order_;
    std::vector<std::uint32_t> pages_;
    std::size_t page_ = 0;
    std::uint32_t row_ = 0;
    bool current_ = false;
    std::vector<Value> values_;
    std::unique_ptr<JetWriter::Appender> appender_;
};

class JetDatabase final : public Database {
  public:
    JetDatabase(const std::string& path, std::unique_ptr<JetFile> file, bool readOnly,
                AccessRights rights = {})
        : Database(path), open_(std::make_shared<OpenFile>()) {
        open_->file = std::move(file);
        open_->readOnly = readOnly;
        open_->rights = std::move(rights);
    }
    ~JetDatabase() override {
        // A failure here has nobody to tell; the old file stays as it was.
        try {
            Close();
        } catch (const EngineError&) {
        }
    }

    void LockNow() { Writer(); }

    std::vector<std::string> TableNames() override {
        std::vector<std::string> names;
        for (const CatalogEntry& e : UserTables())
            names.push_back(e.name);
        return names;
    }

    TableDef TableDefs(const std::string& name) override {
        const CatalogEntry entry = Find(name, errItemNotFound);
        const TableInfo table = File().ReadTable(entry.TdefPage());
        return TableDef(entry.name, FieldsOf(entry, table));
    }

    void DeleteTableDef(const std::string& name) override {
        const CatalogEntry entry = Find(name, errItemNotFound);
        RequireRight(open_->rights, entry.id, kRightDelete, "the table '" + entry.name + "'");
        Writer().DropTable(entry);
    }

    void AppendTableDef(const TableDef& def) override {
        const std::string& name = def.Name();
        if (def.FieldCount() == 0) {
            throw EngineError(errNoFields,
                              "The table '" + name + "' has no fields and cannot be created.");
        }
        for (const CatalogEntry& e : File().ReadCatalog()) {
            if (e.parentId == kTablesContainerId && SameName(e.name, name)) {
                throw EngineError(errTableExists, "The table '" + name + "' already exists.");
            }
        }
        Writer().AddTable(name, def.AllFields());
    }

    std::unique_ptr<Recordset> OpenRecordset(const std::string& name, int /*type*/) override {
        const CatalogEntry entry = Find(name, errTableNotFound);
        RequireRight(open_->rights, entry.id, kRightReadData, "'" + entry.name + "'");
        TableInfo table = File().ReadTable(entry.TdefPage());
        std::vector<Field> fields = FieldsOf(entry, table);
        std::vector<std::size_t> order;
        for (const ColumnDef* c : table.ByNumber())
            order.push_back(static_cast<std::size_t>(c - table.columns.data()));
        return std::make_unique<JetRecordset>(open_, std::move(table), std::move(fields),
                                              std::move(order));
    }

    void Close() override {
        if (!open_) return;
        std::shared_ptr<OpenFile> open = std::move(open_);
        // Recordsets finish their rows, then the writer, then the lock goes;
        // the file is let go even when finishing fails.
        struct Release {
            OpenFile& open;
            ~Release() {
                open.writer.reset();
                open.lock.reset();
                open.file.reset();
            }
        } release{*open};
        std::vector<JetRecordset*> recordsets;
        recordsets.swap(open->recordsets);
        // Closed while an error is being handled or unwinds the stack (a SAVE
        // that failed part way), the changes are given up: a new database
        // never appears and an existing one keeps its old bytes, as after a
        // failed write.
        if (std::uncaught_exceptions() > 0 || std::current_exception() != nullptr) {
            for (JetRecordset* recordset : recordsets)
                recordset->Abandon();
            return;
        }
        std::optional<EngineError> failure;
        for (JetRecordset* recordset : recordsets) {
            try {
                recordset->Detach();
            } catch (const EngineError& e) {
                if (!failure) failure = e;
            }
        }
        if (failure) throw *failure;
        // Only a database finished without a fault replaces the old one.
        open->writer.reset();
        open->file->Commit();
    }

  private:
    static std::vector<Field> FieldsOf(const CatalogEntry& entry, const TableInfo& table) {
        const auto zeroLength = ColumnsAllowingZeroLength(entry.properties);
        std::vector<Field> fields;
        for (const ColumnDef* c : table.ByNumber()) {
            const bool allow =
                std::find(zeroLength.begin(), zeroLength.end(), c->name16) != zeroLength.end();
            fields.push_back(Field{c->name, FieldTypeOf(*c), FieldSizeOf(*c), allow});
        }
        return fields;
    }

    JetWriter& Writer() {
        File();
        return open_->Writer();
    }

    JetFile& File() {
        if (!open_ || !open_->file) {
            throw EngineError(errObjectClosed, "The database '" + Name() + "' is closed.");
        }
        return *open_->file;
    }

    std::vector<CatalogEntry> UserTables() {
        std::vector<CatalogEntry> tables;
        for (CatalogEntry& e : File().ReadCatalog()) {
            if (e.IsUserTable()) tables.push_back(std::move(e));
        }
        std::sort(tables.begin(), tables.end(),
                  [](const CatalogEntry& a, const CatalogEntry& b) { return a.id < b.id; });
        return tables;
    }

    CatalogEntry Find(const std::string& name, int missingError) {
        for (CatalogEntry& e : File().ReadCatalog()) {
            if (e.parentId != kTablesContainerId || !SameName(e.name, name)) continue;
            if (e.type == kObjLinkedTable || e.type == kObjLinkedOdbc) {
                throw EngineError(errOperationNotSupported,
                                  "'" + e.name + "' is a linked table; it is not replaced.");
            }
            if (e.IsUserTable()) return std::move(e);
        }
        if (missingError == errItemNotFound) {
            throw EngineError(errItemNotFound,
                              "There is no item named '" + name + "' in this collection.");
        }
        throw EngineError(errTableNotFound, "The table '" + name + "' could not be found.");
    }

    std::shared_ptr<OpenFile> open_;
};

void RefuseUnsupported(const JetFile& file) {
    const HeaderInfo& h = file.Header();
    if (h.version != kJet4Version) {
        throw EngineError(errUnrecognizedFormat,
                          "'" + file.Path() +
                              "' is an Access database of a version this engine does not read "
                              "(only the Access 2000 format, Jet 4, is read).");
    }
    if (h.databaseKey != 0) {
        throw EngineError(errCannotOpenFile,
                          "The Access database '" + file.Path() + "' is encrypted.");
    }
    if (h.hasPassword) {
        throw EngineError(errNotValidPassword,
                          "The Access database '" + file.Path() + "' is protected by a password.");
    }
}

class Jet final : public Driver {
  public:
    std::vector<std::string> ConnectNames() const override { return {}; }
    Kind DatabaseKind() const override { return Kind::File; }
    std::vector<std::string> FileExtensions() const override { return {"MDB"}; }
    // The lock file of LockFile above.
    std::vector<SideFile> SideFiles() const override { return {{SideFile::Role::Lock, ".LDB"}}; }
    bool Recognizes(const std::uint8_t* head, std::size_t size) const override {
        return LooksLikeJet(head, size);
    }
    std::unique_ptr<Database> Open(const std::string& path, bool exclusive, bool readOnly,
                                   const std::string& /*connectName*/) override {
        return OpenDatabase(path, exclusive, readOnly);
    }
    bool CreatesFor(int options) const override { return (options & dbVersion40) != 0; }
    std::unique_ptr<Database> Create(const std::string& path) override {
        return CreateDatabase(path);
    }
};

} // namespace

std::unique_ptr<Driver> MakeDriver() {
    return std::make_unique<Jet>();
}

std::unique_ptr<Database> OpenDatabase(const std::string& path, bool exclusive, bool readOnly) {
    const std::string file = platform::ResolveExistingPath(path).value_or(path);
    auto jet = JetFile::Open(file, !readOnly);
    RefuseUnsupported(*jet);
    AccessRights rights = ReadAccessRights(*jet);
    RequireRight(rights, kDatabaseObjectId, kRightOpen, "the database '" + file + "'");
    const bool writable = !readOnly && jet->Writable();
    auto database =
        std::make_unique<JetDatabase>(file, std::move(jet), !writable, std::move(rights));
    if (exclusive && writable) database->LockNow();
    return database;
}

std::unique_ptr<Database> CreateDatabase(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (!platform::IsFolder(folder)) {
        throw EngineError(errInvalidPath, "'" + path + "' is not a valid path: the folder '" +
                                              folder + "' does not exist.");
    }
    if (platform::ResolveExistingPath(path)) {
        throw EngineError(errDatabaseExists, "The database '" + path + "' already exists.");
    }
    // Made under a temporary name, the database appears only once it is whole.
    platform::DataFile data;
    platform::Replacement replacement;
    if (const int err = replacement.Begin(path, data, 0644))
        RaiseWriteError(err, path, "Making a working copy of the database '" + path + "'");
    WriteEmptyDatabase(data, path);
    auto jet = JetFile::Adopt(std::move(data), std::move(replacement));
    return std::make_unique<JetDatabase>(path, std::move(jet), false);
}

} // namespace engine::jet
