// One driver per family of database formats. The connect string passed to
// OpenDatabase picks the driver by the name before its first ";" (compared
// case-insensitively); no connect string means the native driver.
#pragma once

#include "engine/engine.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace engine {

// A file that goes with a database file (or, for a folder driver, a table's
// file) and is named after it.
struct SideFile {
    enum class Role {
        Memo,    // holds part of the data (memo and blob values)
        Index,   // built from the data (indexes, validity checks)
        Lock,    // tells who is using the file; never goes with it
        Journal, // holds changes not yet in the file; goes with it
    };
    Role role;
    // The file's name with `suffix` in place of its extension (".DBT") or,
    // when `replacesExtension` is false, added to the whole name
    // ("-journal"). A "?" in the suffix stands for any letter or digit.
    std::string suffix;
    bool replacesExtension = true;

    // Whether `entry` (a name without its folder) is this side file of the
    // file named `file` (a path or a name); names compare in any case.
    bool Matches(const std::string& entry, const std::string& file) const;
};

class Driver {
  public:
    enum class Kind {
        Folder, // the database is a folder, each table one file in it
        File,   // the database is one file holding named tables
    };
    virtual ~Driver() = default;
    // The connect-string names this driver answers to, e.g. "Dbase IV".
    virtual std::vector<std::string> ConnectNames() const = 0;
    virtual Kind DatabaseKind() const = 0;
    // The extensions of its files (a folder driver's: of each table's file),
    // upper case without the dot; the first is the one it writes.
    virtual std::vector<std::string> FileExtensions() const { return {}; }
    // The files that go with each of its files.
    virtual std::vector<SideFile> SideFiles() const { return {}; }
    // Whether `path` names one of its files, by its extension in any case.
    bool RecognizesName(const std::string& path) const;
    // The side files of `role` of the file `path` that exist now, found in
    // any case where the suffix replaces the extension.
    std::vector<std::string> ExistingSideFiles(const std::string& path, SideFile::Role role) const;
    // The same by name alone, as this driver would make them (suffixes with
    // "?" left out), whether they exist or not.
    std::vector<std::string> SideFileNames(const std::string& path, SideFile::Role role) const;
    // Whether a file that starts with these bytes is one of this driver's:
    // a file opened without a connect string goes to the driver that knows
    // its content, and to the native driver when none does.
    virtual bool Recognizes(const std::uint8_t* /*head*/, std::size_t /*size*/) const {
        return false;
    }
    // Whether CreateDatabase with these options makes a file of this driver,
    // and making it (3204 when the file exists).
    virtual bool CreatesFor(int /*options*/) const { return false; }
    virtual std::unique_ptr<Database> Create(const std::string& path);
    // `connectName` is the name that selected the driver (the version matters
    // to drivers that serve several versions of a format).
    virtual std::unique_ptr<Database> Open(const std::string& path, bool exclusive, bool readOnly,
                                           const std::string& connectName) = 0;
};

// The drivers listed in drivers.cpp; the engine registers them on first use.
std::vector<std::unique_ptr<Driver>> BuiltInDrivers();
// Adds a driver to the engine (tests add recording drivers this way). The
// native driver is built in and needs no registration.
void RegisterDriver(std::unique_ptr<Driver> driver);
// The driver for a connect string, or nullptr.
Driver* FindDriver(const std::string& connect);
// The registered driver that recognises the content of the file at `path`,
// or nullptr (an unreadable or missing file, or one no driver claims).
Driver* DriverForContent(const std::string& path);
// The registered driver, reached by a connect string, whose files have the
// extension of `path`, or nullptr (the native format and the formats told
// apart by content have none).
Driver* DriverForFileName(const std::string& path);

} // namespace engine
