// Permissions stored in a Jet 4 database (user-level security).
//
// A program that opens a database without a workgroup file of its own logs
// on as the built-in Admin user, a member of the built-in Users group. A
// database nobody secured grants those two accounts every right; a secured
// one (Access's security wizard, or permissions taken away by hand) does
// not. This engine cannot log on as anybody else, so it honours what the
// file grants those two accounts and refuses the rest, before it writes
// anything.
#pragma once

#include "engine/jet/jet_file.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace engine::jet {

// Rights, as the access masks of MSysACEs store them. Some bits mean one
// thing on the database object and another on a table.
constexpr std::uint32_t kRightCreate = 0x00001;     // tables container: new tables
constexpr std::uint32_t kRightOpen = 0x00002;       // the database object
constexpr std::uint32_t kRightExclusive = 0x00004;  // the database object: open it alone
constexpr std::uint32_t kRightAdminister = 0x00008; // the database object
constexpr std::uint32_t kRightReadData = 0x00014;   // read the design and the rows
constexpr std::uint32_t kRightInsertData = 0x00020;
constexpr std::uint32_t kRightUpdateData = 0x00040;
constexpr std::uint32_t kRightDeleteData = 0x00080;
constexpr std::uint32_t kRightDelete = 0x10000; // drop the object
constexpr std::uint32_t kRightReadPermissions = 0x20000;
constexpr std::uint32_t kRightWritePermissions = 0x40000;
constexpr std::uint32_t kRightTransferOwner = 0x80000;
constexpr std::uint32_t kRightAll = 0xFFFFF;

struct AccessRights {
    // Per catalog object that has permission rows: the rights of the Admin
    // user and the Users group together. Objects without any row are not
    // restricted (files other tools wrote may have none).
    std::map<std::int32_t, std::uint32_t> granted;
    bool Allows(std::int32_t object, std::uint32_t wanted) const;
};

// The identity of the built-in Admin user in this file: the account this
// engine works as, so the owner of the tables it creates. Nothing when the
// file's built-in accounts cannot be told apart.
std::optional<std::vector<std::uint8_t>> AdminIdentity(const std::vector<CatalogEntry>& catalog);

// Reads the permission rows that concern the built-in accounts. A file whose
// built-in accounts cannot be told apart is treated as unsecured.
AccessRights ReadAccessRights(JetFile& file);

// 3033 naming `what` unless the default account holds `wanted` on `object`.
void RequireRight(const AccessRights& rights, std::int32_t object, std::uint32_t wanted,
                  const std::string& what);

} // namespace engine::jet
