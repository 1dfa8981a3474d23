#include "engine/jet/jet_driver.h"

#include "engine/jet/jet_file.h"
#include "platform/platform.h"

#include <algorithm>
#include <cctype>

namespace engine::jet {

namespace {

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

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

struct OpenFile {
    std::unique_ptr<JetFile> file;
};

class JetRecordset final : public Recordset {
  public:
    JetRecordset(std::shared_ptr<OpenFile> file, TableInfo table, std::vector<Field> fields,
                 std::vector<std::size_t> order)
        : Recordset(std::move(fields)), file_(std::move(file)), table_(std::move(table)),
          order_(std::move(order)) {
        pages_ = File().ReadUsageMap(table_.usedPages);
        Rewind();
    }

    bool Eof() override { return !current_; }
    void MoveFirst() override {
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
    void Close() override { file_.reset(); }

  protected:
    void InsertRecord(const std::vector<Value>& /*values*/) override {
        throw EngineError(errReadOnly, "The table '" + std::to_string(table_.tdefPage) +
                                           "' of this Access database can only be read.");
    }

  private:
    JetFile& File() {
        if (!file_ || !file_->file) throw EngineError(errObjectClosed, "The recordset is closed.");
        return *file_->file;
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
};

class JetDatabase final : public Database {
  public:
    JetDatabase(const std::string& path, std::unique_ptr<JetFile> file)
        : Database(path), open_(std::make_shared<OpenFile>()) {
        open_->file = std::move(file);
    }
    ~JetDatabase() override { Close(); }

    std::vector<std::string> TableNames() override {
        std::vector<std::string> names;
        for (const CatalogEntry& e : UserTables())
            names.push_back(e.name);
        return names;
    }

    TableDef TableDefs(const std::string& name) override {
        const CatalogEntry entry = Find(name, errItemNotFound);
        const TableInfo table = File().ReadTable(entry.TdefPage());
        std::vector<Field> fields;
        for (const ColumnDef* c : table.ByNumber())
            fields.push_back(Field{c->name, FieldTypeOf(*c), FieldSizeOf(*c), false});
        return TableDef(entry.name, std::move(fields));
    }

    void DeleteTableDef(const std::string& name) override {
        Find(name, errItemNotFound);
        RaiseReadOnly();
    }

    void AppendTableDef(const TableDef& /*def*/) override { RaiseReadOnly(); }

    std::unique_ptr<Recordset> OpenRecordset(const std::string& name, int /*type*/) override {
        const CatalogEntry entry = Find(name, errTableNotFound);
        TableInfo table = File().ReadTable(entry.TdefPage());
        std::vector<Field> fields;
        std::vector<std::size_t> order;
        for (const ColumnDef* c : table.ByNumber()) {
            fields.push_back(Field{c->name, FieldTypeOf(*c), FieldSizeOf(*c), false});
            order.push_back(static_cast<std::size_t>(c - table.columns.data()));
        }
        return std::make_unique<JetRecordset>(open_, std::move(table), std::move(fields),
                                              std::move(order));
    }

    void Close() override {
        if (open_) open_->file.reset();
        open_.reset();
    }

  private:
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
        for (CatalogEntry& e : UserTables()) {
            if (SameName(e.name, name)) return std::move(e);
        }
        if (missingError == errItemNotFound) {
            throw EngineError(errItemNotFound,
                              "There is no item named '" + name + "' in this collection.");
        }
        throw EngineError(errTableNotFound, "The table '" + name + "' could not be found.");
    }

    [[noreturn]] void RaiseReadOnly() {
        throw EngineError(errReadOnly,
                          "The Access database '" + Name() + "' can only be read by this engine.");
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
    bool Recognizes(const std::uint8_t* head, std::size_t size) const override {
        return LooksLikeJet(head, size);
    }
    std::unique_ptr<Database> Open(const std::string& path, bool exclusive, bool readOnly,
                                   const std::string& /*connectName*/) override {
        return OpenDatabase(path, exclusive, readOnly);
    }
};

} // namespace

std::unique_ptr<Driver> MakeDriver() {
    return std::make_unique<Jet>();
}

std::unique_ptr<Database> OpenDatabase(const std::string& path, bool /*exclusive*/,
                                       bool /*readOnly*/) {
    const std::string file = platform::ResolveExistingPath(path).value_or(path);
    auto jet = JetFile::Open(file, false);
    RefuseUnsupported(*jet);
    return std::make_unique<JetDatabase>(file, std::move(jet));
}

} // namespace engine::jet
