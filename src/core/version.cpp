#include "core/version.h"

namespace core {

const VersionRecord& Version() {
    // 1.04.0007: the file version keeps its zero padding, the version line does not.
    static const VersionRecord record{
        "Norvakel", NORVAKEL_VERSION_MAJOR, NORVAKEL_VERSION_MINOR, NORVAKEL_VERSION_PATCH,
        "Copyright \xC2\xA9 2026 The Norvakel developers. All rights reserved."};
    return record;
}

std::string VersionLine() {
    const VersionRecord& v = Version();
    return std::string(v.ProductName) + " v" + std::to_string(v.Major) + "." +
           std::to_string(v.Minor) + "." + std::to_string(v.Revision);
}

} // namespace core
