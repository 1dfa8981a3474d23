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

} // namespace engine
