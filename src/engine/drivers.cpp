// The format drivers the engine ships with, one line each. The native driver
// (SQLite) is built in and answers the empty connect string; every other
// format is reached through the connect-string names its driver lists.
//
// To add a format: give it a folder of its own under engine/, expose a
// factory for its Driver, and add one line below.
#include "engine/driver.h"
#include "engine/excel/excel_driver.h"
#include "engine/jet/jet_driver.h"
#include "engine/paradox/paradox_driver.h"
#include "engine/xbase/xbase_driver.h"

namespace engine {

std::vector<std::unique_ptr<Driver>> BuiltInDrivers() {
    std::vector<std::unique_ptr<Driver>> drivers;
    drivers.push_back(paradox::MakeDriver());
    drivers.push_back(xbase::MakeDriver());
    drivers.push_back(excel::MakeDriver());
    drivers.push_back(jet::MakeDriver());
    return drivers;
}

} // namespace engine
