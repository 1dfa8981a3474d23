// Files the driver writes, read by two independent readers: mdbtools and the
// mdb-reader package (tests/jsreader, installed by `npm install` there).
#include "engine/convert.h"
#include "engine/jet/jet_test_support.h"
#include "engine/temp_folder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>

namespace engine::jet {
namespace {

using namespace engine::jet::testing;

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (const unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string JsonValue(const Value& v) {
    if (IsNull(v)) return "null";
    if (const auto* b = std::get_if<bool>(&v)) return *b ? "true" : "false";
    if (const auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
    if (const auto* d = std::get_if<double>(&v)) {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.17g", *d);
        return buffer;
    }
    if (const auto* s = std::get_if<std::string>(&v)) return JsonString(*s);
    // Money as its exact decimal text, which the reader is to give back.
    if (const auto* c = std::get_if<Currency>(&v)) return JsonString(CurrencyText(*c));
    if (const auto* t = std::get_if<DateTime>(&v)) {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "{\"date\":\"%04d-%02d-%02dT%02d:%02d:%02d.000Z\"}",
                      t->year, t->month, t->day, t->hour, t->minute, t->second);
        return buffer;
    }
    const Blob& blob = std::get<Blob>(v);
    std::string hex = "{\"hex\":\"";
    for (const std::uint8_t b : blob) {
        char buffer[3];
        std::snprintf(buffer, sizeof buffer, "%02x", b);
        hex += buffer;
    }
    return hex + "\"}";
}

struct Column {
    const char* name;
    int type;
    int size;
    const char* readerType; // as mdb-reader names it
    const char* schema;     // as mdb-schema prints it
};

const std::vector<Column> kColumns{
    {"BOOL", dbBoolean, 0, "boolean", "Boolean"},   {"BYTE", dbByte, 0, "byte", "Byte"},
    {"INT", dbInteger, 0, "integer", "Integer"},    {"LONG", dbLong, 0, "long", "Long Integer"},
    {"CUR", dbCurrency, 0, "currency", "Currency"}, {"SGL", dbSingle, 0, "single", "Single"},
    {"DBL", dbDouble, 0, "double", "Double"},       {"DATE", dbDate, 0, "datetime", "DateTime"},
    {"BIN", dbBinary, 16, "binary", "Binary"},      {"TXT", dbText, 30, "text", "Text (30)"},
    {"OLE", dbLongBinary, 0, "ole", "OLE"},         {"MEMO", dbMemo, 0, "memo", "Memo/Hyperlink"},
    {"GUID", dbGUID, 0, "guid", "Replication ID"},
};

std::vector<Value> RowValues(int r) {
    const auto memo = [&]() -> Value {
        switch (r) {
        case 0:
            return std::string("");
        case 1:
            return Null{};
        case 2:
            return std::string(254, 'a'); // last length kept in the row
        case 3:
            return std::string(255, 'b'); // first on a long-value page
        case 4:
            return std::string(2039, 'c'); // the most one long-value row holds
        case 5:
            return std::string(2041, 'd'); // the shortest that needs a chain
        case 6:
            return std::string(50000, 'e');
        case 7:
            return std::string("\xE2\x82\xAC") + std::string(3000, 'f');
        default:
            return "memo " + std::to_string(r);
        }
    }();
    const auto text = [&]() -> Value {
        switch (r % 4) {
        case 0:
            return std::string("");
        case 1:
            return Null{};
        case 2:
            return "\xC3\x84rger \xE2\x82\xAC \xE4\xB8\xAD " + std::to_string(r);
        default:
            return "plain " + std::to_string(r);
        }
    }();
    return {
        r % 3 == 0,
        r % 5 == 0 ? Value(Null{}) : Value(std::int64_t(r % 256)),
        std::int64_t(r % 2 == 0 ? -r : r),
        std::int64_t(r) * 7919 - 1000000,
        // Money at the extremes of Currency, which no double holds.
        r == 4   ? Value(std::string("922337203685477.5807"))
        : r == 5 ? Value(std::string("-922337203685477.5808"))
                 : Value(std::round((r * 1.2345 - 100) * 10000) / 10000),
        r * 0.5,
        r / 7.0,
        DateTime{1990 + r % 40, 1 + r % 12, 1 + r % 28, r % 24, r % 60, (r * 7) % 60},
        Blob{std::uint8_t(r), 0, std::uint8_t(255 - r % 256)},
        text,
        r == 9 ? Value(Blob(9000, 0x5A)) : (r % 2 ? Value(Null{}) : Value(Blob{1, 2, 3})),
        memo,
        std::string(r % 2 ? "{6F9619FF-8B86-D011-B42D-00C04FC964FF}"
                          : "{00000000-0000-0000-0000-0000000000AB}"),
    };
}

class JetReaders : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = new engine::testing::TempFolder;
        path_ = *folder_ / "READERS.MDB";
        auto db = CreateDatabase(path_);
        TableDef def("VALUES300");
        for (const Column& c : kColumns) {
            Field f = def.CreateField(c.name, c.type, c.size);
            f.AllowZeroLength = c.type == dbText || c.type == dbMemo;
            def.AppendField(f);
        }
        db->AppendTableDef(def);
        auto rs = db->OpenRecordset("VALUES300");
        std::ostringstream json;
        json << "{\"VALUES300\":{\"columns\":[";
        for (std::size_t i = 0; i < kColumns.size(); ++i)
            json << (i ? "," : "") << JsonString(kColumns[i].name);
        json << "],\"types\":[";
        for (std::size_t i = 0; i < kColumns.size(); ++i)
            json << (i ? "," : "") << JsonString(kColumns[i].readerType);
        json << "],\"rows\":[";
        for (int r = 0; r < kRows; ++r) {
            const auto values = RowValues(r);
            rs->AddNew();
            for (std::size_t i = 0; i < values.size(); ++i)
                rs->SetValue(static_cast<int>(i), values[i]);
            rs->Update();
            json << (r ? "," : "") << "[";
            for (std::size_t i = 0; i < values.size(); ++i) {
                Value stored = ConvertValue(values[i], def.Fields(static_cast<int>(i)));
                if (kColumns[i].type == dbSingle && !IsNull(stored))
                    stored = double(float(std::get<double>(stored)));
                json << (i ? "," : "") << JsonValue(stored);
            }
            json << "]";
        }
        json << "]}}";
        rs->Close();
        db->Close();
        expected_ = *folder_ / "expected.json";
        std::ofstream(expected_) << json.str();
    }
    static void TearDownTestSuite() { delete folder_; }

    static constexpr int kRows = 300;
    static inline engine::testing::TempFolder* folder_ = nullptr;
    static inline std::string path_, expected_;
};

TEST_F(JetReaders, OurCheckerFindsTheFileSound) {
    EXPECT_TRUE(Problems(path_).empty());
}

TEST_F(JetReaders, MdbToolsReadsTheStructureAndValues) {
    if (!HaveTool("mdb-json")) GTEST_SKIP() << "mdbtools not installed";
    EXPECT_EQ(RunTool("mdb-ver '" + path_ + "'"), "JET4\n");
    EXPECT_EQ(RunTool("mdb-tables -1 '" + path_ + "'"), "VALUES300\n");
    EXPECT_EQ(RunTool("mdb-count '" + path_ + "' VALUES300"), std::to_string(kRows) + "\n");
    const std::string schema = RunTool("mdb-schema '" + path_ + "' access");
    for (const Column& c : kColumns)
        EXPECT_NE(schema.find(std::string("[") + c.name + "]\t\t\t" + c.schema), std::string::npos)
            << c.name << " in\n"
            << schema;
    std::istringstream lines(RunTool("mdb-json '" + path_ + "' VALUES300"));
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);)
        rows.push_back(line);
    ASSERT_EQ(rows.size(), std::size_t(kRows));
    for (int r : {0, 2, 3, 4, 5, 6, 7, 255, 256, kRows - 1}) {
        const auto v = RowValues(r);
        const std::string& line = rows[static_cast<std::size_t>(r)];
        EXPECT_NE(line.find("\"LONG\":" + std::to_string(std::get<std::int64_t>(v[3]))),
                  std::string::npos)
            << line.substr(0, 200);
        if (const auto* memo = std::get_if<std::string>(&v[11]); memo && !memo->empty()) {
            EXPECT_NE(line.find("\"MEMO\":\"" + *memo + "\""), std::string::npos) << "row " << r;
        }
        if (const auto* text = std::get_if<std::string>(&v[9]); text && !text->empty()) {
            EXPECT_NE(line.find("\"TXT\":\"" + *text + "\""), std::string::npos)
                << line.substr(0, 300);
        }
    }
    // Null leaves the key out.
    EXPECT_EQ(rows[1].find("\"MEMO\""), std::string::npos);
}

TEST_F(JetReaders, MdbReaderPackageReadsEqualValues) {
    const std::string script = std::string(NORVAKEL_JS_READER) + "/compare.mjs";
    if (!HaveTool("node") ||
        !std::filesystem::exists(std::string(NORVAKEL_JS_READER) + "/node_modules/mdb-reader"))
        GTEST_SKIP() << "node or mdb-reader not installed (npm install in tests/jsreader)";
    EXPECT_EQ(RunTool("node '" + script + "' '" + path_ + "' '" + expected_ + "'"), "OK\n");
}

} // namespace
} // namespace engine::jet
