#include "store/formats.h"

#include "platform/platform.h"

#include <array>
#include <string_view>

namespace store {

namespace {

struct DestinationFormat {
    std::string_view scriptName;
    std::string_view connect;
    std::string_view extension;
};

// Indexed by type code.
constexpr std::array<DestinationFormat, 13> Formats{{
    {"MS/ACCESS", "", "MDB"},
    {"DBASE III", "Dbase III;", "DBF"},
    {"DBASE IV", "Dbase IV;", "DBF"},
    {"FOXPRO 2.0", "FoxPro 2.0;", "DBF"},
    {"FOXPRO 2.5", "FoxPro 2.5;", "DBF"},
    {"FOXPRO 2.6", "FoxPro 2.6;", "DBF"},
    {"PARADOX 3", "Paradox 3.X;", "DB"},
    {"PARADOX 4", "Paradox 4.X;", "DB"},
    {"BTRIEVE", "Btrieve;", "DDF"},
    {"EXCEL 3.0", "Excel 3.0;", "XLS"},
    {"EXCEL 4.0", "Excel 4.0;", "XLS"},
    {"EXCEL 5.0", "Excel 5.0;", "XLS"},
    {"TEXT", "", "TXT"},
}};

bool KnownCode(int code) {
    return code >= 0 && code < static_cast<int>(Formats.size());
}

} // namespace

std::int16_t DestinationTypeFromName(const std::string& name) {
    for (size_t code = 0; code < Formats.size(); ++code)
        if (Formats[code].scriptName == name) return static_cast<std::int16_t>(code);
    return dtAccess;
}

std::string DefaultExtension(int code) {
    return std::string(KnownCode(code) ? Formats[code].extension : Formats[dtAccess].extension);
}

std::string ConnectString(int code) {
    return KnownCode(code) ? std::string(Formats[code].connect) : std::string();
}

engine::Driver* DestinationDriver(int code) {
    const std::string connect = ConnectString(code);
    return connect.empty() ? nullptr : engine::FindDriver(connect);
}

bool IsFolderType(int code) {
    const engine::Driver* driver = DestinationDriver(code);
    return driver != nullptr && driver->DatabaseKind() == engine::Driver::Kind::Folder;
}

std::string BaseName(const std::string& name) {
    return name.substr(0, name.find('.'));
}

std::string DestinationDisplayName(const core::ExportTargetRecord& target) {
    const int code = target.DbType;
    // A file that holds named tables: Access, and what a connect string
    // reaches that is not a folder of tables.
    const bool fileType = code == dtAccess || (!ConnectString(code).empty() && !IsFolderType(code));
    if (fileType) return target.Location + target.FileName + "(" + target.TableName + ")";
    return target.Location + target.TableName + "." + DefaultExtension(code);
}

void NormaliseExportTarget(core::ExportTargetRecord& target) {
    if (target.Location.empty() || target.Location.back() != platform::Separator)
        target.Location += platform::Separator;
    target.FileName = BaseName(target.FileName) + "." + DefaultExtension(target.DbType);
    target.TableName = BaseName(target.TableName);
}

} // namespace store
