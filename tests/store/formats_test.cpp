#include "store/formats.h"

#include <gtest/gtest.h>

namespace {

using core::ExportTargetRecord;

ExportTargetRecord Target(std::string location, std::string file, std::int16_t type,
                          std::string table) {
    ExportTargetRecord target;
    target.Location = std::move(location);
    target.FileName = std::move(file);
    target.DbType = type;
    target.TableName = std::move(table);
    return target;
}

TEST(DestinationTypes, EveryScriptNameHasItsCodeExtensionAndConnectString) {
    struct Row {
        const char* name;
        int code;
        const char* extension;
        const char* connect;
    };
    const Row rows[] = {
        {"MS/ACCESS", 0, "MDB", ""},
        {"DBASE III", 1, "DBF", "Dbase III;"},
        {"DBASE IV", 2, "DBF", "Dbase IV;"},
        {"FOXPRO 2.0", 3, "DBF", "FoxPro 2.0;"},
        {"FOXPRO 2.5", 4, "DBF", "FoxPro 2.5;"},
        {"FOXPRO 2.6", 5, "DBF", "FoxPro 2.6;"},
        {"PARADOX 3", 6, "DB", "Paradox 3.X;"},
        {"PARADOX 4", 7, "DB", "Paradox 4.X;"},
        {"BTRIEVE", 8, "DDF", "Btrieve;"},
        {"EXCEL 3.0", 9, "XLS", "Excel 3.0;"},
        {"EXCEL 4.0", 10, "XLS", "Excel 4.0;"},
        {"EXCEL 5.0", 11, "XLS", "Excel 5.0;"},
        {"TEXT", 12, "TXT", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const int code = store::DestinationTypeFromName(row.name);
        EXPECT_EQ(code, row.code);
        EXPECT_EQ(store::DefaultExtension(code), row.extension);
        EXPECT_EQ(store::ConnectString(code), row.connect);
    }
}

TEST(DestinationTypes, TheEngineDriversTellWhichTypesAreFoldersOfTables) {
    for (int code = -1; code <= 13; ++code) {
        SCOPED_TRACE(code);
        const bool folder = code >= 1 && code <= 7;
        EXPECT_EQ(store::IsFolderType(code), folder);
        // A type's files carry the extension its driver writes.
        if (const engine::Driver* driver = store::DestinationDriver(code)) {
            ASSERT_FALSE(driver->FileExtensions().empty());
            EXPECT_EQ(driver->FileExtensions().front(), store::DefaultExtension(code));
        }
    }
    EXPECT_EQ(store::DestinationDriver(0), nullptr);  // by content: Jet or the native format
    EXPECT_EQ(store::DestinationDriver(8), nullptr);  // no Btrieve engine here
    EXPECT_EQ(store::DestinationDriver(12), nullptr); // the program writes text itself
    EXPECT_NE(store::DestinationDriver(11), nullptr);
}

TEST(DestinationTypes, NamesNotInTheTableMeanMsAccess) {
    for (const char* name :
         {"DBASE  III", "PARADOX 3.X", "EXCEL 97", "ACCESS", "", "text", " TEXT", "Dbase IV"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(store::DestinationTypeFromName(name), 0);
    }
}

TEST(DestinationTypes, CodesOutOfRangeGetTheAccessExtensionAndNoConnectString) {
    for (int code : {-1, 13, 32767}) {
        EXPECT_EQ(store::DefaultExtension(code), "MDB");
        EXPECT_EQ(store::ConnectString(code), "");
    }
}

TEST(DestinationDisplayName, FileTypesShowTheTableInParentheses) {
    EXPECT_EQ(store::DestinationDisplayName(Target("/out/", "SALES.XLS", 11, "Q1")),
              "/out/SALES.XLS(Q1)");
    EXPECT_EQ(store::DestinationDisplayName(Target("/out/", "SALES.MDB", 0, "Q1")),
              "/out/SALES.MDB(Q1)");
    EXPECT_EQ(store::DestinationDisplayName(Target("/out/", "D.DDF", 8, "T")), "/out/D.DDF(T)");
}

TEST(DestinationDisplayName, FolderTypesAndTextShowTheWrittenFile) {
    EXPECT_EQ(store::DestinationDisplayName(Target("/out/", "ORDERS.DBF", 2, "ORDERS")),
              "/out/ORDERS.DBF");
    EXPECT_EQ(store::DestinationDisplayName(Target("/out/", "P.DB", 7, "P")), "/out/P.DB");
    EXPECT_EQ(store::DestinationDisplayName(Target("rel/", "A.TXT", 12, "A")), "rel/A.TXT");
}

TEST(DestinationDisplayName, StartValuesNameTheScratchDatabase) {
    const ExportTargetRecord start = Target("/tmp/Work/", "UNTITLED.MDB", 0, "UNTITLED");
    EXPECT_EQ(store::DestinationDisplayName(start), "/tmp/Work/UNTITLED.MDB(UNTITLED)");
}

TEST(NormaliseExportTarget, TheExtensionAlwaysFollowsTheType) {
    ExportTargetRecord target = Target("/out", "ORDERS.TXT", 2, "ORDERS.DBF");
    store::NormaliseExportTarget(target);
    EXPECT_EQ(target.Location, "/out/");
    EXPECT_EQ(target.FileName, "ORDERS.DBF");
    EXPECT_EQ(target.TableName, "ORDERS");

    target = Target("/out/", "REPORT.2004.XLS", 11, "A.B.C");
    store::NormaliseExportTarget(target);
    EXPECT_EQ(target.Location, "/out/");
    EXPECT_EQ(target.FileName, "REPORT.XLS");
    EXPECT_EQ(target.TableName, "A");

    target = Target("/out/", "SALES", 12, "T");
    store::NormaliseExportTarget(target);
    EXPECT_EQ(target.FileName, "SALES.TXT");
}

TEST(NormaliseExportTarget, AnEmptyNameKeepsOnlyTheExtension) {
    ExportTargetRecord target = Target("/out/", "", 0, "UNTITLED");
    store::NormaliseExportTarget(target);
    EXPECT_EQ(target.FileName, ".MDB");
    target = Target("/out/", ".HIDDEN", 6, "UNTITLED");
    store::NormaliseExportTarget(target);
    EXPECT_EQ(target.FileName, ".DB");
}

} // namespace
