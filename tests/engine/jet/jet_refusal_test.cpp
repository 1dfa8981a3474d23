// What the Access (Jet 4) driver refuses in files made elsewhere: user-level
// security, tables in relationships, linked tables. Each refusal leaves the
// file byte for byte as it was. The files are made from our own databases,
// changed the way Access would have changed them.
#include "engine/jet/jet_security.h"
#include "engine/jet/jet_test_support.h"
#include "engine/jet/jet_writer.h"
#include "engine/temp_folder.h"

#include <gtest/gtest.h>

namespace engine::jet {
namespace {

using namespace engine::jet::testing;
using engine::testing::TempFolder;

std::uint32_t TdefOf(JetFile& file, const std::string& name) {
    for (const CatalogEntry& e : file.ReadCatalog()) {
        if (e.name == name) return e.TdefPage();
    }
    return 0;
}

// Overwrites the fixed-length column `column` of every row of table
// `table` that `match` picks, in the file at `path`.
int PatchFixedColumn(const std::string& path, const std::string& table, const char* column,
                     const std::function<bool(const TableInfo&, const std::vector<Value>&)>& match,
                     const std::vector<std::uint8_t>& value) {
    auto bytes = ReadBytes(path);
    int patched = 0;
    {
        auto file = JetFile::Open(path, false);
        const TableInfo info = file->ReadTable(TdefOf(*file, table));
        const ColumnDef* target = nullptr;
        for (const ColumnDef& c : info.columns) {
            if (c.name == column) target = &c;
        }
        if (target == nullptr) return 0;
        for (const std::uint32_t number : file->ReadUsageMap(info.usedPages)) {
            const Page page = file->ReadPage(number);
            if (page[0] != pgData || Get32(page.data() + kDataOwner) != info.tdefPage) continue;
            for (std::uint32_t r = 0; r < Get16(page.data() + kDataRowCount); ++r) {
                const auto row = file->ReadRow(number, r);
                if (!row) continue;
                std::vector<Value> values;
                file->DecodeRow(info, row->data(), row->size(), values);
                if (!match(info, values)) continue;
                const std::size_t start =
                    Get16(page.data() + kDataRowTable + 2 * r) & kRowOffsetMask;
                const std::size_t at =
                    std::size_t(number) * kPageSize + start + 2 + target->fixedOffset;
                std::copy(value.begin(), value.end(), bytes.begin() + static_cast<long>(at));
                ++patched;
            }
        }
    }
    WriteBytes(path, bytes);
    return patched;
}

const Value& ValueOf(const TableInfo& info, const std::vector<Value>& values, const char* name) {
    for (std::size_t i = 0; i < info.columns.size(); ++i) {
        if (info.columns[i].name == name) return values[i];
    }
    static const Value none = Null{};
    return none;
}

std::int64_t IdOf(const TableInfo& info, const std::vector<Value>& values, const char* name) {
    const auto* id = std::get_if<std::int64_t>(&ValueOf(info, values, name));
    return id != nullptr ? *id : -1;
}

// Takes every right away from every permission row of `object`.
int TakeRightsAway(const std::string& path, std::int64_t object) {
    return PatchFixedColumn(path, "MSysACEs", "ACM",
                            [&](const TableInfo& info, const std::vector<Value>& v) {
                                return IdOf(info, v, "ObjectId") == object;
                            },
                            {0, 0, 0, 0});
}

class JetRefusalTest : public ::testing::Test {
  protected:
    // A database with the tables ORDERS and CUSTOMERS, one row each.
    void MakeDatabase() {
        auto db = CreateDatabase(path);
        for (const char* name : {"ORDERS", "CUSTOMERS"}) {
            TableDef def(name);
            def.AppendField(def.CreateField("ID", dbLong, 0));
            db->AppendTableDef(def);
            auto rs = db->OpenRecordset(name);
            rs->AddNew();
            rs->SetValue(0, std::int64_t{7});
            rs->Update();
            rs->Close();
        }
        db->Close();
    }
    std::int64_t TableId(const std::string& name) {
        auto file = JetFile::Open(path, false);
        return TdefOf(*file, name);
    }
    // Replaces ORDERS as a SAVE does.
    void ReplaceOrders() {
        auto db = Engine().Workspaces(0).OpenDatabase(path);
        db->DeleteTableDef("orders");
        TableDef def("ORDERS");
        def.AppendField(def.CreateField("ID", dbLong, 0));
        db->AppendTableDef(def);
        db->Close();
    }
    void ReadOrders() {
        auto db = Engine().Workspaces(0).OpenDatabase(path, false, true, "");
        db->OpenRecordset("ORDERS")->Close();
        db->Close();
    }

    TempFolder folder;
    std::string path = folder / "SHOP.MDB";
};

TEST_F(JetRefusalTest, UserLevelSecurityIsHonouredForTheDefaultAccount) {
    MakeDatabase();
    // An unsecured database: our own, and one that Access made.
    EXPECT_EQ(ErrorNumber([&] { ReadOrders(); }), 0);
    EXPECT_EQ(ErrorNumber([&] { ReplaceOrders(); }), 0);
    if (HaveSample("empty2003.mdb")) {
        const std::string access = folder / "ACCESS.MDB";
        CopySample("empty2003.mdb", access);
        auto file = JetFile::Open(access, false);
        EXPECT_FALSE(ReadAccessRights(*file).granted.empty());
        EXPECT_TRUE(ReadAccessRights(*file).Allows(kDatabaseObjectId, kRightOpen));
        EXPECT_TRUE(ReadAccessRights(*file).Allows(kTablesContainerId, kRightCreate));
    }

    // Rows of a table taken away from Admin and Users: it can be neither
    // read nor replaced; the database as a whole still opens.
    ASSERT_GT(TakeRightsAway(path, TableId("ORDERS")), 0);
    auto before = ReadBytes(path);
    EXPECT_EQ(ErrorNumber([&] { ReadOrders(); }), errNoReadPermission);
    EXPECT_EQ(ErrorNumber([&] { ReplaceOrders(); }), errNoPermission);
    EXPECT_EQ(ReadBytes(path), before);
    {
        auto db = Engine().Workspaces(0).OpenDatabase(path, false, true, "");
        EXPECT_EQ(db->OpenRecordset("CUSTOMERS")->GetValue(0), Value{std::int64_t{7}});
        db->Close();
    }

    // No right to create tables: no table is written at all.
    ASSERT_GT(TakeRightsAway(path, kTablesContainerId), 0);
    before = ReadBytes(path);
    EXPECT_EQ(ErrorNumber([&] {
                  auto db = Engine().Workspaces(0).OpenDatabase(path);
                  TableDef def("NEW");
                  def.AppendField(def.CreateField("ID", dbLong, 0));
                  db->AppendTableDef(def);
              }),
              errNoPermission);
    EXPECT_EQ(ReadBytes(path), before);

    // A secured database: the default account may not even open it.
    ASSERT_GT(TakeRightsAway(path, kDatabaseObjectId), 0);
    before = ReadBytes(path);
    EXPECT_EQ(ErrorNumber([&] { Engine().Workspaces(0).OpenDatabase(path, false, true, ""); }),
              errNoPermission);
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_TRUE(Problems(path).empty());
}

TEST_F(JetRefusalTest, NewTablesBelongToTheAdminUser) {
    MakeDatabase();
    auto file = JetFile::Open(path, false);
    const auto admin = AdminIdentity(file->ReadCatalog());
    ASSERT_TRUE(admin.has_value());
    for (const CatalogEntry& e : file->ReadCatalog()) {
        // The database's owner is the Admin user who made it.
        if (e.name == "MSysDb" || e.name == "ORDERS") {
            EXPECT_EQ(e.owner, *admin) << e.name;
        }
        if (e.name == "MSysObjects") {
            EXPECT_NE(e.owner, *admin);
        }
    }
}

TEST_F(JetRefusalTest, ATableInARelationshipIsNotReplaced) {
    MakeDatabase();
    {
        // CUSTOMERS.ID is referenced by ORDERS.ID, as Access records it.
        auto file = JetFile::Open(path, true);
        file->WorkOnCopy();
        JetWriter writer(*file);
        const TableInfo info = file->ReadTable(TdefOf(*file, "MSysRelationships"));
        std::vector<Value> values;
        for (const ColumnDef* c : info.ByNumber()) {
            const std::string& n = c->name;
            values.push_back(n == "szRelationship"       ? Value{std::string("OrdersCustomers")}
                             : n == "szObject"           ? Value{std::string("Orders")}
                             : n == "szReferencedObject" ? Value{std::string("CUSTOMERS")}
                             : n == "szColumn" || n == "szReferencedColumn"
                                 ? Value{std::string("ID")}
                             : n == "ccolumn" ? Value{std::int64_t{1}}
                                              : Value{std::int64_t{0}});
        }
        writer.InsertCatalogRows(info, values);
        writer.Flush();
        file->Commit();
    }
    ASSERT_EQ(Problems(path), std::vector<std::string>{});
    const auto before = ReadBytes(path);
    // Either side of the relationship, whatever the letter case.
    EXPECT_EQ(ErrorNumber([&] { ReplaceOrders(); }), errTableInUse);
    EXPECT_EQ(ErrorNumber([&] {
                  auto db = Engine().Workspaces(0).OpenDatabase(path);
                  db->DeleteTableDef("Customers");
              }),
              errTableInUse);
    EXPECT_EQ(ReadBytes(path), before);
    // Reading stays possible.
    EXPECT_EQ(ErrorNumber([&] { ReadOrders(); }), 0);
}

TEST_F(JetRefusalTest, ALinkedTableIsNotReplaced) {
    MakeDatabase();
    // ORDERS turned into a table linked to another database (catalog type 6).
    ASSERT_EQ(PatchFixedColumn(path, "MSysObjects", "Type",
                               [](const TableInfo& info, const std::vector<Value>& v) {
                                   const auto* name =
                                       std::get_if<std::string>(&ValueOf(info, v, "Name"));
                                   return name != nullptr && *name == "ORDERS";
                               },
                               {6, 0}),
              1);
    const auto before = ReadBytes(path);
    EXPECT_EQ(ErrorNumber([&] { ReplaceOrders(); }), errOperationNotSupported);
    EXPECT_EQ(ReadBytes(path), before);
    // It is not one of the database's own tables either.
    auto db = Engine().Workspaces(0).OpenDatabase(path, false, true, "");
    EXPECT_EQ(db->TableNames(), std::vector<std::string>{"CUSTOMERS"});
    db->Close();
}

} // namespace
} // namespace engine::jet
