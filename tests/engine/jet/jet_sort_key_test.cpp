// Index keys of the General sort order: reproduced from the keys Access
// stored, shaped as the format lays them out, and written for table names
// beyond letters and digits that other readers then find.
#include "engine/jet/jet_build.h"
#include "engine/jet/jet_test_support.h"
#include "engine/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>

namespace engine::jet {
namespace {

using namespace engine::jet::testing;

using Bytes = std::vector<std::uint8_t>;

// Compares every stored key of a table's single-page indexes over Long and
// Text columns with the key computed from its row; returns the texts whose
// keys were compared.
std::vector<std::string> CompareStoredKeys(JetFile& file, const std::string& tableName) {
    std::uint32_t tdef = 0;
    for (const CatalogEntry& e : file.ReadCatalog()) {
        if (e.name == tableName) tdef = e.TdefPage();
    }
    EXPECT_NE(tdef, 0u) << tableName;
    if (tdef == 0) return {};
    const TableInfo table = file.ReadTable(tdef);
    std::map<std::uint32_t, std::vector<Value>> rows;
    for (const std::uint32_t p : file.ReadUsageMap(table.usedPages)) {
        const Page page = file.ReadPage(p);
        if (page[0] != pgData) continue;
        for (std::uint32_t r = 0; r < Get16(page.data() + kDataRowCount); ++r) {
            if (auto bytes = file.ReadRow(p, r)) {
                file.DecodeRow(table, bytes->data(), bytes->size(), rows[RowPointer(p, r)]);
            }
        }
    }
    std::vector<std::string> compared;
    for (const auto& index : table.indexes) {
        const Page page = file.ReadPage(index.firstPage);
        if (page[0] != pgIndexLeaf || Get32(page.data() + 12) != 0) continue;
        for (const Bytes& entry : IndexLeafEntries(page)) {
            const std::size_t n = entry.size();
            const auto row = rows.find(RowPointer(
                std::uint32_t(entry[n - 4]) << 16 | std::uint32_t(entry[n - 3]) << 8 | entry[n - 2],
                entry[n - 1]));
            if (row == rows.end()) {
                ADD_FAILURE() << tableName << ": an entry points at no row";
                continue;
            }
            Bytes key;
            std::string text;
            bool computable = true;
            for (const std::uint16_t number : index.columns) {
                for (std::size_t i = 0; i < table.columns.size(); ++i) {
                    if (table.columns[i].number != number) continue;
                    const Value& v = row->second[i];
                    if (table.columns[i].type == colLong) {
                        const auto part = LongKey(std::int32_t(std::get<std::int64_t>(v)));
                        key.insert(key.end(), part.begin(), part.end());
                    } else if (const auto* s = std::get_if<std::string>(&v)) {
                        const auto part = TextKey(Utf8ToUtf16(*s));
                        EXPECT_TRUE(part.has_value()) << *s;
                        if (!part) return {};
                        key.insert(key.end(), part->begin(), part->end());
                        text = *s;
                    } else {
                        computable = false;
                    }
                }
            }
            if (!computable || text.empty()) continue;
            EXPECT_EQ(key, Bytes(entry.begin(), entry.end() - 4)) << tableName << ": " << text;
            compared.push_back(text);
        }
    }
    return compared;
}

void Insert1(Database& db, const std::string& table, std::int64_t value) {
    auto rs = db.OpenRecordset(table);
    rs->AddNew();
    rs->SetValue(0, value);
    rs->Update();
    rs->Close();
}

TEST(JetSortKey, KeysAccessStoredForItsOwnNamesAreReproduced) {
    if (!HaveSample("empty2003.mdb")) GTEST_SKIP();
    auto file = JetFile::Open(Sample("empty2003.mdb"), true);
    // Access's storage table names objects with underscores, lower case and
    // digits: "MSysAccessStorage_ROOT", "_VBA_PROJECT", "dir", "0".
    const auto storage = CompareStoredKeys(*file, "MSysAccessStorage");
    for (const char* name :
         {"MSysAccessStorage_ROOT", "MSysAccessStorage_SCRATCH", "_VBA_PROJECT", "dir", "0"}) {
        EXPECT_NE(std::find(storage.begin(), storage.end(), name), storage.end()) << name;
    }
    EXPECT_GE(CompareStoredKeys(*file, "MSysObjects").size(), 20u);
}

TEST(JetSortKey, KeysHaveThePrimaryAccentAndHiddenSections) {
    const auto key = [](std::u16string_view text) { return *GeneralTextKey(text); };
    // Case and trailing blanks are not keyed; a blank inside is.
    EXPECT_EQ(key(u"Order_Lines  "), key(u"ORDER_LINES"));
    EXPECT_EQ(key(u"ORDER_LINES"), (Bytes{0x64, 0x69, 0x4F, 0x51, 0x69, 0x2B, 0x03, 0x5E, 0x59,
                                          0x62, 0x51, 0x6B, 0x01, 0x00}));
    // An accent: the unaccented letter's code, then in the accent section a
    // filler for each letter before it.
    Bytes accented{0x6B, 0x4A, 0x5E, 0x51, 0x6B, 0x07, 0x3A, 0x36, 0x36, 0x3E, 0x07, 0x51, 0x01};
    accented.insert(accented.end(), 11, 0x02);
    accented.insert(accented.end(), {0x0E, 0x00});
    EXPECT_EQ(key(u"Sales 2004 \u00E9"), accented);
    // Apostrophes and hyphens only in the last section, by their position.
    EXPECT_EQ(key(u"A'B-C"), (Bytes{0x4A, 0x4C, 0x4D, 0x01, 0x01, 0x01, 0x01, 0x80, 0x0B, 0x06,
                                    0x80, 0x80, 0x0F, 0x06, 0x82, 0x00}));
    EXPECT_EQ(key(u"\u00C6"), (Bytes{0x4A, 0x51, 0x01, 0x00})) << "a ligature keys as two letters";
    EXPECT_FALSE(GeneralTextKey(u"\u4E2D").has_value());
    EXPECT_EQ(*TextKey(u"A"), (Bytes{0x7F, 0x4A, 0x01, 0x00}));

    // Byte order of keys is the order Access sorts names in.
    const std::vector<std::u16string> sorted{u"A",      u"a b", u"a_b",     u"AB", u"A-C",   u"e",
                                             u"\u00E9", u"ea",  u"\u00C9a", u"Z",  u"\u017D"};
    for (std::size_t i = 0; i + 1 < sorted.size(); ++i) {
        EXPECT_LT(key(sorted[i]), key(sorted[i + 1]))
            << Utf16ToUtf8(sorted[i]) << " before " << Utf16ToUtf8(sorted[i + 1]);
    }
}

// Each pair: U+20AC and the other characters Windows-1252 puts at 0x80-0x9F.
const std::u16string kWindows1252Extras =
    u"\u20AC\u201A\u0192\u201E\u2026\u2020\u2021\u02C6\u2030\u0160\u2039\u0152\u017D"
    u"\u2018\u2019\u201C\u201D\u2022\u2013\u2014\u02DC\u2122\u0161\u203A\u0153\u017E"
    u"\u0178";

TEST(JetSortKey, Windows1252PunctuationKeysWithThePublishedGeneralCodes) {
    // The expected bytes come from the General (legacy) sort order's code
    // tables as Jackcess publishes them (index_codes_genleg.txt for U+0000-
    // U+00FF, index_codes_ext_genleg.txt for U+0100 on, one line per
    // character): U+20AC "S35A1", U+2122 "S6E04", U+201C "S2B3B", U+201D
    // "S2B3C", U+2020 "S34B3", U+2030 "S34BA", U+02C6 "I2B02,3", U+02DC
    // "S2B1C", U+2013 "U89", U+2014 "U8B" (S: primary bytes; I: primary
    // bytes and an accent byte; U: a character kept only in the hidden
    // section).
    const auto key = [](std::u16string_view text) { return *GeneralTextKey(text); };
    EXPECT_EQ(key(u"\u20AC"), (Bytes{0x35, 0xA1, 0x01, 0x00}));
    EXPECT_EQ(key(u"Brand\u2122"), (Bytes{0x4C, 0x69, 0x4A, 0x62, 0x4F, 0x6E, 0x04, 0x01, 0x00}));
    EXPECT_EQ(key(u"\u201CQ\u201D"), (Bytes{0x2B, 0x3B, 0x68, 0x2B, 0x3C, 0x01, 0x00}));
    EXPECT_EQ(key(u"\u2020\u2030"), (Bytes{0x34, 0xB3, 0x34, 0xBA, 0x01, 0x00}));
    // The modifier circumflex keys as "^" with an accent; the small tilde
    // has a code of its own.
    EXPECT_EQ(key(u"\u02C6e\u02DC"), (Bytes{0x2B, 0x02, 0x51, 0x2B, 0x1C, 0x01, 0x03, 0x00}));
    // Dashes are hidden as the hyphen is: after the one keyed character
    // before them (7 + 4 * 1, flagged 0x8000), each with its own code.
    EXPECT_EQ(key(u"A\u2013B"),
              (Bytes{0x4A, 0x4C, 0x01, 0x01, 0x01, 0x01, 0x80, 0x0B, 0x06, 0x89, 0x00}));
    EXPECT_EQ(key(u"A\u2014B"),
              (Bytes{0x4A, 0x4C, 0x01, 0x01, 0x01, 0x01, 0x80, 0x0B, 0x06, 0x8B, 0x00}));

    for (const char16_t c : kWindows1252Extras) {
        EXPECT_TRUE(HasGeneralSortCode(c)) << std::hex << int(c);
        EXPECT_TRUE(GeneralTextKey(std::u16string(1, c)).has_value()) << std::hex << int(c);
    }
    // Beyond Windows-1252 nothing is invented.
    for (const char16_t c : {u'\u20AD', u'\u2015', u'\u2123', u'\u0100'})
        EXPECT_FALSE(HasGeneralSortCode(c)) << std::hex << int(c);

    // Where the new characters fall among the others.
    const std::vector<std::vector<std::u16string>> orders{
        {u"\u2018", u"\u201C", u"\u00A5", u"\u20AC", u"0", u"T", u"\u2122", u"U"},
        {u"Coop", u"Co-op", u"Co\u2013op", u"Co\u2014op", u"Cop"},
    };
    for (const auto& sorted : orders) {
        for (std::size_t i = 0; i + 1 < sorted.size(); ++i) {
            EXPECT_LT(key(sorted[i]), key(sorted[i + 1]))
                << Utf16ToUtf8(sorted[i]) << " before " << Utf16ToUtf8(sorted[i + 1]);
        }
    }
}

// Writes one table per name, then reads them back through the engine, the
// stored catalog keys, mdbtools and the mdb-reader package.
void WriteTablesNamedAndReadThemBack(const std::vector<std::string>& names) {
    engine::testing::TempFolder folder;
    const std::string path = folder / "NAMES.MDB";
    {
        auto db = CreateDatabase(path);
        for (const std::string& name : names) {
            TableDef def(name);
            def.AppendField(def.CreateField("N", dbLong, 0));
            db->AppendTableDef(def);
            auto rs = db->OpenRecordset(name);
            rs->AddNew();
            rs->SetValue(0, std::int64_t(name.size()));
            rs->Update();
            rs->Close();
        }
        db->Close();
    }
    EXPECT_EQ(Problems(path), std::vector<std::string>{});
    {
        auto file = JetFile::Open(path, true);
        const auto compared = CompareStoredKeys(*file, "MSysObjects");
        for (const std::string& name : names) {
            EXPECT_EQ(std::count(compared.begin(), compared.end(), name), 1) << name;
        }
    }
    auto reopened = Engine().Workspaces(0).OpenDatabase(path);
    auto listed = reopened->TableNames();
    reopened->Close();
    std::sort(listed.begin(), listed.end());
    auto want = names;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(listed, want);

    if (HaveTool("mdb-export")) {
        std::string tables = RunTool("mdb-tables -1 '" + path + "'");
        for (const std::string& name : names) {
            EXPECT_NE(tables.find(name + "\n"), std::string::npos) << tables;
            std::string quoted = "'";
            for (const char ch : name)
                quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
            quoted += "'";
            EXPECT_EQ(RunTool("mdb-export '" + path + "' " + quoted),
                      "N\n" + std::to_string(name.size()) + "\n")
                << name;
        }
    }
    const std::string js = std::string(NORVAKEL_JS_READER);
    if (HaveTool("node") && std::filesystem::exists(js + "/node_modules/mdb-reader")) {
        std::string expected = "{";
        for (const std::string& name : names) {
            expected += std::string(expected.size() > 1 ? "," : "") + "\"" + name +
                        "\":{\"columns\":[\"N\"],\"types\":[\"long\"],\"rows\":[[" +
                        std::to_string(name.size()) + "]]}";
        }
        expected += "}";
        const std::string expectedPath = folder / "expected.json";
        std::ofstream(expectedPath) << expected;
        EXPECT_EQ(RunTool("node '" + js + "/compare.mjs' '" + path + "' '" + expectedPath + "'"),
                  "OK\n");
    }
}

TEST(JetSortKey, TablesNamedWithBlanksUnderscoresAndAccentsAreWrittenAndRead) {
    WriteTablesNamedAndReadThemBack({"ORDER_LINES", "Sales 2004 \xC3\xA9", "O'Brien-List"});
}

TEST(JetSortKey, TablesNamedWithEveryWindows1252CharacterAreWrittenAndRead) {
    // Names a transfer file in Windows-1252 can carry: every character it
    // adds to Latin-1, alone, among letters and side by side.
    std::vector<std::string> names;
    // (numbered: Š and š, say, are one name for Access)
    for (const char16_t c : kWindows1252Extras)
        names.push_back("T" + Utf16ToUtf8(std::u16string(1, c)) + std::to_string(names.size()));
    names.push_back(Utf16ToUtf8(u"Preis \u20AC \u201Ebrutto\u201C \u2013 2004\u2122"));
    names.push_back(Utf16ToUtf8(u"\u2039Liste\u203A \u2020\u2021\u2022\u2026\u2030"));
    names.push_back(Utf16ToUtf8(u"\u2014"));
    WriteTablesNamedAndReadThemBack(names);
}

TEST(JetSortKey, NamesTheCatalogIndexCannotTellApartAreOneTable) {
    // The catalog's name index is unique and its keys ignore case, of
    // accented letters too: a second table under such a name would leave
    // two equal keys in it.
    engine::testing::TempFolder folder;
    const std::string path = folder / "SAME.MDB";
    auto db = CreateDatabase(path);
    const std::vector<std::pair<std::string, std::string>> pairs{
        {"M\xC3\xBCller", "M\xC3\x9CLLER"},                         // Müller, MÜLLER
        {"\xC5\x92uvre \xE2\x82\xAC", "\xC5\x93UVRE \xE2\x82\xAC"}, // Œuvre €, œUVRE €
        {"Stra\xC3\x9F"
         "e",
         "STRASSE"}, // a ligature keys as its two letters
    };
    for (const auto& [first, second] : pairs) {
        TableDef def(first);
        def.AppendField(def.CreateField("N", dbLong, 0));
        db->AppendTableDef(def);
        Insert1(*db, first, 7);
        TableDef again(second);
        again.AppendField(again.CreateField("N", dbLong, 0));
        EXPECT_EQ(ErrorNumber([&] { db->AppendTableDef(again); }), errTableExists) << second;
        auto rs = db->OpenRecordset(second);
        ASSERT_FALSE(rs->Eof()) << second;
        EXPECT_EQ(rs->GetValue(0), Value(std::int64_t{7})) << second;
        rs->Close();
    }
    // Accents and dashes do tell names apart.
    for (const char* name : {"Muller", "\xC5\x92uvre",
                             "A\xE2\x80\x93"
                             "B",
                             "A-B"}) {
        TableDef def(name);
        def.AppendField(def.CreateField("N", dbLong, 0));
        EXPECT_EQ(ErrorNumber([&] { db->AppendTableDef(def); }), 0) << name;
    }
    db->Close();
    EXPECT_EQ(Problems(path), std::vector<std::string>{});
}

} // namespace
} // namespace engine::jet
