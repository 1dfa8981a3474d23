#include "engine/jet/jet_security.h"

#include <optional>
#include <vector>

namespace engine::jet {

namespace {

using Identity = std::vector<std::uint8_t>;

// Account identities are stored in a form of each file's own, so the same
// built-in account has other bytes in another file. Within one file the
// built-in accounts differ from one another by fixed bits, and the engine's
// own account owns the catalog table; the Admin user and the Users group
// follow from it (checked against databases made by Jet and by Access).
struct BuiltInAccounts {
    Identity admin;
    Identity users;
};

std::optional<BuiltInAccounts> FindBuiltInAccounts(const std::vector<CatalogEntry>& catalog) {
    for (const CatalogEntry& e : catalog) {
        if (e.id != static_cast<std::int32_t>(kCatalogPage) || e.name != "MSysObjects") continue;
        if (e.owner.size() != 2) return std::nullopt;
        BuiltInAccounts accounts{e.owner, e.owner};
        accounts.admin[0] ^= 0x01;
        accounts.admin[1] ^= 0x02;
        accounts.users[1] ^= 0x02;
        return accounts;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::vector<std::uint8_t>> AdminIdentity(const std::vector<CatalogEntry>& catalog) {
    const auto accounts = FindBuiltInAccounts(catalog);
    if (!accounts) return std::nullopt;
    return accounts->admin;
}

bool AccessRights::Allows(std::int32_t object, std::uint32_t wanted) const {
    const auto it = granted.find(object);
    return it == granted.end() || (it->second & wanted) == wanted;
}

AccessRights ReadAccessRights(JetFile& file) {
    AccessRights rights;
    const std::vector<CatalogEntry> catalog = file.ReadCatalog();
    const auto accounts = FindBuiltInAccounts(catalog);
    if (!accounts) return rights;
    const auto aces = SystemTablePage(catalog, "MSysACEs");
    if (!aces) return rights;
    const TableInfo table = file.ReadTable(*aces);
    const int object = table.ColumnIndex("ObjectId"), sid = table.ColumnIndex("SID"),
              acm = table.ColumnIndex("ACM");
    if (object < 0 || sid < 0 || acm < 0) return rights;
    std::vector<Value> values;
    file.ScanRows(table, [&](const std::uint8_t* row, std::size_t size) {
        file.DecodeRow(table, row, size, values);
        const auto* id = std::get_if<std::int64_t>(&values[static_cast<std::size_t>(object)]);
        if (id == nullptr) return true;
        std::uint32_t& held = rights.granted[static_cast<std::int32_t>(*id)];
        const auto* who = std::get_if<Blob>(&values[static_cast<std::size_t>(sid)]);
        const auto* mask = std::get_if<std::int64_t>(&values[static_cast<std::size_t>(acm)]);
        if (who != nullptr && mask != nullptr) {
            const Identity identity(who->begin(), who->end());
            if (identity == accounts->admin || identity == accounts->users)
                held |= static_cast<std::uint32_t>(*mask);
        }
        return true;
    });
    return rights;
}

void RequireRight(const AccessRights& rights, std::int32_t object, std::uint32_t wanted,
                  const std::string& what) {
    if (rights.Allows(object, wanted)) return;
    if (wanted == kRightReadData) {
        throw EngineError(errNoReadPermission, "Records cannot be read; no read permission on " +
                                                   what +
                                                   " (it is protected by user-level security).");
    }
    throw EngineError(errNoPermission, "You do not have the necessary permissions to use " + what +
                                           " (it is protected by user-level security).");
}

} // namespace engine::jet
