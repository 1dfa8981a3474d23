// The program's version record.
#pragma once

#include <string>

namespace core {

struct VersionRecord {
    const char* ProductName;
    int Major;
    int Minor;
    int Revision;
    const char* LegalCopyright;
};

const VersionRecord& Version();

// Product name, " v", and major.minor.revision without leading zeros.
std::string VersionLine();

inline constexpr const char* AppTitle = "Norvakel";

} // namespace core
