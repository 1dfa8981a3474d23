// Reading Access (Jet 4) files written by Jet and by Access.
#include "engine/driver.h"
#include "engine/engine.h"
#include "engine/jet/jet_file.h"
#include "engine/jet/jet_format.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace engine::jet {
namespace {

std::string Sample(const std::string& name) {
    return std::string(NORVAKEL_TESTDATA) + "/jet/" + name;
}

#define REQUIRE_SAMPLE(path)                                                                       \
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "sample missing: " << path

TEST(JetText, CompressedAndPlainFormsDecodeAlike) {
    const std::u16string text = u"Caf\u00e9 \u20ac \u4e2d x";
    const auto plain = EncodeText(text, false);
    const auto packed = EncodeText(text, true);
    EXPECT_EQ(plain.size(), text.size() * 2);
    EXPECT_LT(packed.size(), plain.size());
    EXPECT_EQ(packed[0], 0xFF);
    EXPECT_EQ(DecodeText(plain.data(), plain.size()), DecodeText(packed.data(), packed.size()));
    EXPECT_EQ(DecodeText(packed.data(), packed.size()), Utf16ToUtf8(text));
    // A character with a zero low byte cannot be written compressed.
    const auto zeroLow = EncodeText(u"ab\u0100cd", true);
    EXPECT_EQ(zeroLow.size(), 10u);
    // Compression is used only where it saves bytes.
    EXPECT_EQ(EncodeText(u"\u4e2d\u4e2d", true).size(), 4u);
    // Astral characters survive as surrogate pairs.
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16("\xF0\x9F\x98\x80")), "\xF0\x9F\x98\x80");
}

TEST(JetReader, EmptyJetDatabaseHasTheFourSystemTables) {
    const std::string path = Sample("emptyJet4.mdb");
    REQUIRE_SAMPLE(path);
    auto file = JetFile::Open(path, false);
    EXPECT_EQ(file->Header().version, kJet4Version);
    EXPECT_EQ(file->Header().codePage, 1252);
    EXPECT_EQ(file->Header().sortOrder, 0x409u);
    EXPECT_FALSE(file->Header().hasPassword);
    std::vector<std::string> tables;
    for (const CatalogEntry& e : file->ReadCatalog()) {
        if (e.type == kObjTable) tables.push_back(e.name);
    }
    EXPECT_EQ(tables, (std::vector<std::string>{"MSysObjects", "MSysACEs", "MSysQueries",
                                                "MSysRelationships"}));
    const TableInfo catalog = file->ReadTable(kCatalogPage);
    EXPECT_EQ(catalog.rowCount, 8u);
    EXPECT_EQ(catalog.columns.size(), 17u);
    EXPECT_EQ(catalog.realIndexes, 2u);
}

TEST(JetReader, EngineOpensAccessFilesByContentAndListsNoSystemTables) {
    for (const char* name : {"emptyJet4.mdb", "empty2003.mdb"}) {
        const std::string path = Sample(name);
        REQUIRE_SAMPLE(path);
        auto db = Engine().Workspaces(0).OpenDatabase(path);
        EXPECT_TRUE(db->TableNames().empty()) << name;
        EXPECT_EQ(
            [&] {
                try {
                    db->TableDefs("MSysObjects");
                } catch (const EngineError& e) {
                    return e.Number();
                }
                return 0;
            }(),
            errItemNotFound);
        db->Close();
    }
}

TEST(JetReader, RefusesDamagedAndForeignHeaders) {
    std::vector<std::uint8_t> bytes(kPageSize * 3, 0);
    EXPECT_THROW(JetFile::FromBytes(bytes), EngineError);
    const char magic[] = "\x00\x01\x00\x00Standard Jet DB";
    std::copy(magic, magic + 19, bytes.begin());
    auto file = JetFile::FromBytes(bytes);
    // A catalog page that is not a table definition is damage, not a crash.
    try {
        file->ReadCatalog();
        ADD_FAILURE() << "no error";
    } catch (const EngineError& e) {
        EXPECT_EQ(e.Number(), errCorrupt);
    }
}

} // namespace
} // namespace engine::jet
