#include "engine/engine.h"
#include "engine/names.h"

#include "engine/convert.h"
#include "engine/driver.h"
#include "engine/rowbatch.h"
#include "engine/sqlite_driver.h"
#include "platform/platform.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>

namespace engine {

bool SameName(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

namespace {

std::string_view TrimSpaces(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

// The driver name of a connect string: the text before its first ";".
std::string_view ConnectName(std::string_view connect) {
    return TrimSpaces(connect.substr(0, std::min(connect.find(';'), connect.size())));
}

[[noreturn]] void RaiseItemNotFound(const std::string& name) {
    throw EngineError(errItemNotFound, "There is no item named '" + name + "' in this collection.");
}

// Names end up in SQL identifiers and in file headers; a control character
// (a NUL above all) has no place in either.
void CheckName(const std::string& name, const char* what) {
    const bool control = std::any_of(name.begin(), name.end(),
                                     [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    if (name.empty() || control) {
        throw EngineError(errInvalidName,
                          "'" + name + "' is not a valid " + std::string(what) + " name.");
    }
}

// Databases still open; leaked on purpose so that a database destroyed late in
// process exit still finds it.
struct OpenDatabases {
    std::mutex mutex;
    std::vector<Database*> list;
};
OpenDatabases& Registry() {
    static auto* registry = new OpenDatabases;
    return *registry;
}

struct Drivers {
    std::mutex mutex;
    std::vector<std::unique_ptr<Driver>> list;
};
Drivers& DriverRegistry() {
    static auto* drivers = new Drivers{{}, BuiltInDrivers()};
    return *drivers;
}

} // namespace

// ---- TableDef -----------------------------------------------------------------

Field TableDef::CreateField(const std::string& name, int type, int size) const {
    return Field{name, type, CheckedFieldSize(type, size), false};
}

void TableDef::AppendField(const Field& field) {
    CheckName(field.Name, "field");
    if (FieldCount() >= MaxFields) {
        throw EngineError(errTooManyFields, "Too many fields defined: a table holds at most " +
                                                std::to_string(MaxFields) + " fields.");
    }
    Field added = field;
    added.Size = CheckedFieldSize(field.Type, field.Size);
    for (const Field& existing : fields_) {
        if (SameName(existing.Name, field.Name)) {
            throw EngineError(errDuplicateField, "The field '" + field.Name +
                                                     "' is already defined in the table '" + name_ +
                                                     "'.");
        }
    }
    fields_.push_back(std::move(added));
}

const Field& TableDef::Fields(int index) const {
    if (index < 0 || index >= FieldCount()) RaiseItemNotFound(std::to_string(index));
    return fields_[static_cast<std::size_t>(index)];
}

Field& TableDef::Fields(int index) {
    if (index < 0 || index >= FieldCount()) RaiseItemNotFound(std::to_string(index));
    return fields_[static_cast<std::size_t>(index)];
}

const Field& TableDef::Fields(const std::string& name) const {
    for (const Field& field : fields_) {
        if (SameName(field.Name, name)) return field;
    }
    RaiseItemNotFound(name);
}

// ---- Recordset ----------------------------------------------------------------

const Field& Recordset::FieldInfo(int index) const {
    if (index < 0 || index >= FieldCount()) RaiseItemNotFound(std::to_string(index));
    return fields_[static_cast<std::size_t>(index)];
}

void Recordset::AddNew() {
    pending_.resize(fields_.size());
    assigned_.assign(fields_.size(), 0);
    editing_ = true;
}

void Recordset::SetValue(int index, const Value& value) {
    const Field& field = FieldInfo(index);
    if (!editing_) {
        throw EngineError(errUpdateWithoutAddNew,
                          "A value can only be set after AddNew has started a record.");
    }
    const auto i = static_cast<std::size_t>(index);
    ConvertValueInto(value, field, pending_[i]);
    assigned_[i] = 1;
}

void Recordset::Update(int /*type*/, bool /*force*/) {
    if (!editing_) {
        throw EngineError(errUpdateWithoutAddNew, "Update was called without AddNew.");
    }
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        if (!assigned_[i]) pending_[i] = Null{};
    }
    InsertRecord(pending_);
    editing_ = false;
}

void Recordset::AppendRows(const RowBatch& rows) {
    for (std::size_t r = 0; r < rows.RowCount(); ++r) {
        const BatchCell* row = rows.Row(r);
        AddNew();
        for (int i = 0; i < rows.FieldCount(); ++i)
            SetValue(i, CellValue(rows, row[i]));
        Update();
    }
}

// ---- Database -----------------------------------------------------------------

Database::Database(std::string name) : name_(std::move(name)) {
    OpenDatabases& registry = Registry();
    const std::lock_guard lock(registry.mutex);
    registry.list.push_back(this);
}

Database::~Database() {
    OpenDatabases& registry = Registry();
    const std::lock_guard lock(registry.mutex);
    std::erase(registry.list, this);
}

void CloseAllDatabases() {
    std::vector<Database*> open;
    {
        OpenDatabases& registry = Registry();
        const std::lock_guard lock(registry.mutex);
        open = registry.list;
    }
    // The process is ending: one database that cannot be written must not keep
    // the others from being written.
    for (Database* database : open) {
        try {
            database->Close();
        } catch (const EngineError&) {
        }
    }
}

// ---- Drivers ------------------------------------------------------------------

void RegisterDriver(std::unique_ptr<Driver> driver) {
    Drivers& drivers = DriverRegistry();
    const std::lock_guard lock(drivers.mutex);
    drivers.list.push_back(std::move(driver));
}

Driver* FindDriver(const std::string& connect) {
    const std::string_view name = ConnectName(connect);
    if (name.empty()) return &native::NativeDriver();
    Drivers& drivers = DriverRegistry();
    const std::lock_guard lock(drivers.mutex);
    // The latest registration of a name wins.
    for (auto it = drivers.list.rbegin(); it != drivers.list.rend(); ++it) {
        for (const std::string& known : (*it)->ConnectNames()) {
            if (SameName(known, name)) return it->get();
        }
    }
    return nullptr;
}

Driver* DriverForContent(const std::string& path) {
    // Only a regular file is read: opening a FIFO would wait for a writer.
    if (!platform::IsOrdinaryFile(path)) return nullptr;
    std::uint8_t head[64] = {};
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return nullptr;
    const std::size_t size = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    Drivers& drivers = DriverRegistry();
    const std::lock_guard lock(drivers.mutex);
    for (auto it = drivers.list.rbegin(); it != drivers.list.rend(); ++it) {
        if ((*it)->Recognizes(head, size)) return it->get();
    }
    return nullptr;
}

Driver* DriverForFileName(const std::string& path) {
    Drivers& drivers = DriverRegistry();
    const std::lock_guard lock(drivers.mutex);
    for (auto it = drivers.list.rbegin(); it != drivers.list.rend(); ++it) {
        if (!(*it)->ConnectNames().empty() && (*it)->RecognizesName(path)) return it->get();
    }
    return nullptr;
}

// ---- Workspace and engine -----------------------------------------------------

std::unique_ptr<Database> Driver::Create(const std::string& path) {
    throw EngineError(errOperationNotSupported,
                      "The database '" + path + "' cannot be created in this format.");
}

// The operating system reads a path only up to a NUL: such a path would name
// another file than the one asked for, whichever driver opens it.
static void CheckNoNul(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        throw EngineError(errInvalidPath, "'" + path + "' is not a valid path.");
}

std::unique_ptr<Database> Workspace::CreateDatabase(const std::string& path,
                                                    const std::string& /*locale*/, int options) {
    CheckNoNul(path);
    const std::string file = native::WithDefaultExtension(path);
    Driver* creator = nullptr;
    {
        Drivers& drivers = DriverRegistry();
        const std::lock_guard lock(drivers.mutex);
        for (auto it = drivers.list.rbegin(); it != drivers.list.rend() && !creator; ++it) {
            if ((*it)->CreatesFor(options)) creator = it->get();
        }
    }
    if (creator != nullptr) return creator->Create(file);
    // The locale means nothing to the native format: it stores UTF-8 and
    // compares names without regard to case.
    return native::CreateDatabase(file, (options & dbScratch) == 0);
}

std::unique_ptr<Database> Workspace::OpenDatabase(const std::string& path) {
    return OpenDatabase(path, false, false, "");
}

std::unique_ptr<Database> Workspace::OpenDatabase(const std::string& path, bool exclusive,
                                                  bool readOnly, const std::string& connect) {
    CheckNoNul(path);
    Driver* driver = FindDriver(connect);
    const std::string name(ConnectName(connect));
    if (name.empty()) {
        // The native format and the others opened without a connect string
        // (Access files) are told apart by what the file holds.
        const std::string file = native::WithDefaultExtension(path);
        if (Driver* byContent =
                DriverForContent(platform::ResolveExistingPath(file).value_or(file)))
            return byContent->Open(file, exclusive, readOnly, name);
    }
    if (driver == nullptr) {
        throw EngineError(errNoDriver,
                          "No driver is installed for the database format '" + name + "'.");
    }
    return driver->Open(path, exclusive, readOnly, name);
}

Workspace& DBEngine::Workspaces(int index) {
    if (index != 0) RaiseItemNotFound(std::to_string(index));
    return workspace_;
}

DBEngine& Engine() {
    static DBEngine engine;
    return engine;
}

std::unique_ptr<RowReader> OpenRowReader(const std::string& databasePath, const std::string& table,
                                         bool appendOnly) {
    return native::OpenRowReader(native::WithDefaultExtension(databasePath), table, appendOnly);
}

} // namespace engine
