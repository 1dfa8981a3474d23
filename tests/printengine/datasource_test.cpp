#include "printengine/datasource.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

using namespace printengine;

TEST(TextExportLines, SplitAsTheExporterJoins) {
    std::vector<std::string> items;
    ASSERT_TRUE(SplitExportLine("\"a\",\"b c\",\"\"", items));
    EXPECT_EQ(items, (std::vector<std::string>{"a", "b c", ""}));
    // The exporter does not double quotes inside values.
    ASSERT_TRUE(SplitExportLine("\"say \"hi\", then\",\"x\"", items));
    EXPECT_EQ(items, (std::vector<std::string>{"say \"hi\", then", "x"}));
    ASSERT_TRUE(SplitExportLine("\"\"", items));
    EXPECT_EQ(items, (std::vector<std::string>{""}));
    EXPECT_FALSE(SplitExportLine("a,b", items));
    EXPECT_FALSE(SplitExportLine("\"", items));
    EXPECT_FALSE(SplitExportLine("", items));
}

TEST(FieldClasses, ConvertLikeATextDataSource) {
    EXPECT_EQ(ConvertToClass(Value(std::string("12")), ValueClass::Integer, "F"),
              Value(std::int64_t{12}));
    EXPECT_EQ(ConvertToClass(Value(std::string("1.5")), ValueClass::Double, "F"), Value(1.5));
    EXPECT_EQ(ConvertToClass(Value(std::int64_t{3}), ValueClass::BigDecimal, "F"), Value(3.0));
    EXPECT_EQ(ConvertToClass(Value(2.5), ValueClass::String, "F"), Value(std::string("2.5")));
    EXPECT_EQ(ConvertToClass(Value(std::string("True")), ValueClass::Boolean, "F"), Value(true));
    EXPECT_EQ(ConvertToClass(Value(std::string("2026-11-02 14:30:00")), ValueClass::Date, "F"),
              Value(engine::DateTime{2026, 11, 2, 14, 30, 0}));
    EXPECT_TRUE(engine::IsNull(ConvertToClass(Value(std::string("")), ValueClass::Double, "F")));
    EXPECT_TRUE(engine::IsNull(ConvertToClass(Value(), ValueClass::Integer, "F")));
    EXPECT_THROW(ConvertToClass(Value(std::string("1.5")), ValueClass::Integer, "F"), SourceError);
    EXPECT_THROW(ConvertToClass(Value(std::string("3000000000")), ValueClass::Integer, "F"),
                 SourceError);
    EXPECT_THROW(ConvertToClass(Value(std::string("abc")), ValueClass::Double, "F"), SourceError);
    EXPECT_THROW(ConvertToClass(Value(std::string("maybe")), ValueClass::Boolean, "F"),
                 SourceError);
    try {
        ConvertToClass(Value(std::string("x")), ValueClass::Date, "ORDERED");
        FAIL();
    } catch (const SourceError& e) {
        EXPECT_NE(std::string(e.what()).find("ORDERED"), std::string::npos);
    }
}

class TextTable : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/nv-pe-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/ORDERS.TXT";
    }
    void TearDown() override {
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
    }
    void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string dir_, path_;
};

TEST_F(TextTable, RowsStreamInTheReportsFieldOrder) {
    Write("\"ID\",\"NAME\",\"AMOUNT\"\r\n\"1\",\"Ann\",\"2.5\"\r\n\"2\",\"Bob\",\"Null\"\r\n");
    const std::vector<FieldDef> fields = {{"amount", ValueClass::Double, {}},
                                          {"ID", ValueClass::Integer, {}}};
    auto rows = OpenRowSource(path_, "", fields);
    std::vector<Value> row;
    ASSERT_TRUE(rows->Next(row));
    EXPECT_EQ(row, (std::vector<Value>{2.5, std::int64_t{1}}));
    ASSERT_TRUE(rows->Next(row));
    EXPECT_TRUE(engine::IsNull(row[0]));
    EXPECT_FALSE(rows->Next(row));
}

TEST_F(TextTable, AFieldOfAClassWithoutValuesNeedsNoColumn) {
    Write("\"ID\"\r\n\"1\"\r\n");
    auto rows = OpenRowSource(
        path_, "",
        {{"Children", ValueClass::Object, "java.util.List"}, {"ID", ValueClass::Integer, {}}});
    std::vector<Value> row;
    ASSERT_TRUE(rows->Next(row));
    EXPECT_TRUE(engine::IsNull(row[0]));
    EXPECT_EQ(row[1], Value(std::int64_t{1}));
}

TEST_F(TextTable, ProblemsAreSourceErrors) {
    Write("\"ID\"\r\n\"1\"\r\nbroken\r\n");
    EXPECT_THROW(OpenRowSource(path_, "", {{"MISSING", ValueClass::String, {}}}), SourceError);
    auto rows = OpenRowSource(path_, "", {{"ID", ValueClass::Integer, {}}});
    std::vector<Value> row;
    EXPECT_TRUE(rows->Next(row));
    EXPECT_THROW(rows->Next(row), SourceError);
    EXPECT_THROW(OpenRowSource(dir_ + "/NONE.TXT", "", {}), SourceError);
    EXPECT_THROW(OpenRowSource(dir_ + "/NONE.MDB", "", {}), SourceError);
    EXPECT_THROW(OpenRowSource("", "", {}), SourceError);
}
