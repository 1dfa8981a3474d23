#include "app/transfer.h"
#include "core/runstate.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <unistd.h>

using namespace app;

TEST(SplitToken, SplitsAtFirstSeparatorAndTrimsBothParts) {
    std::string text = "  EXPORT =  ORDERS {  ";
    EXPECT_EQ(SplitToken(text, "="), "EXPORT");
    EXPECT_EQ(text, "ORDERS {");

    std::string run = "RUN   /usr/bin/prog  arg ";
    EXPECT_EQ(SplitToken(run, " "), "RUN");
    EXPECT_EQ(run, "/usr/bin/prog  arg");

    std::string twice = "a=b=c";
    EXPECT_EQ(SplitToken(twice, "="), "a");
    EXPECT_EQ(twice, "b=c");
}

TEST(SplitToken, WithoutSeparatorGivesTheUntrimmedTextAndEmptiesIt) {
    std::string text = " EXIT ";
    EXPECT_EQ(SplitToken(text, "="), " EXIT ");
    EXPECT_EQ(text, "");
}

TEST(ParseHeaderLine, TokensAreTrimmedAndExtraTokensIgnored) {
    std::string name;
    std::int16_t type = 0, size = 0;
    ASSERT_TRUE(ParseHeaderLine("  AMOUNT  /  7  /  8  ", name, type, size));
    EXPECT_EQ(name, "AMOUNT");
    EXPECT_EQ(type, 7);
    EXPECT_EQ(size, 8);

    ASSERT_TRUE(ParseHeaderLine("Name/10/20/whatever/else", name, type, size));
    EXPECT_EQ(name, "Name");
    EXPECT_EQ(size, 20);

    ASSERT_TRUE(ParseHeaderLine("X/4.9/-0.5", name, type, size));
    EXPECT_EQ(type, 4);
    EXPECT_EQ(size, -1) << "the largest whole number not above the value";
}

TEST(ParseHeaderLine, LongTextBecomesMemo) {
    std::string name;
    std::int16_t type = 0, size = 0;
    ASSERT_TRUE(ParseHeaderLine("T/10/255", name, type, size));
    EXPECT_EQ(type, 10);
    ASSERT_TRUE(ParseHeaderLine("T/10/256", name, type, size));
    EXPECT_EQ(type, 12);
}

TEST(ParseHeaderLine, RejectsMalformedLines) {
    std::string name;
    std::int16_t type = 0, size = 0;
    for (const char* line : {"", "NAME", "NAME/10", "NAME/text/10", "/10/10", "NAME/10/big",
                             "NAME/40000/1", "NAME/10/99999", "NAME/-40000/1", "NAME//10"})
        EXPECT_FALSE(ParseHeaderLine(line, name, type, size)) << line;
}

TEST(NumericRule, ReadsTheLeadingNumberLikeTheClassicReader) {
    EXPECT_TRUE(engine::IsNull(NumericRuleValue("   ")));
    EXPECT_TRUE(engine::IsNull(NumericRuleValue("")));
    auto number = [](const char* line) { return std::get<double>(NumericRuleValue(line)); };
    EXPECT_DOUBLE_EQ(number("12.50"), 12.5);
    EXPECT_DOUBLE_EQ(number("12,50"), 12);
    EXPECT_DOUBLE_EQ(number("letters"), 0);
    EXPECT_DOUBLE_EQ(number(" - 1 2 . 5"), -12.5) << "blanks count nowhere";
    EXPECT_DOUBLE_EQ(number("1.5E3xyz"), 1500);
    EXPECT_DOUBLE_EQ(number("2D2"), 200);
    EXPECT_DOUBLE_EQ(number("1e"), 1);
    EXPECT_DOUBLE_EQ(number(".25"), 0.25);
    EXPECT_DOUBLE_EQ(number("&H1F"), 31);
    EXPECT_DOUBLE_EQ(number("&HFFFF"), -1);
    EXPECT_DOUBLE_EQ(number("&H10000"), 65536);
    EXPECT_DOUBLE_EQ(number("&O17"), 15);
    EXPECT_DOUBLE_EQ(number("\t7\n"), 7);
}

TEST(NumericRule, NumbersBeyondTheDoubleRangeOverflow) {
    auto number = [](const char* line) { return std::get<double>(NumericRuleValue(line)); };
    for (const char* beyond :
         {"1E+400", "-1E+309", "1D999", "1.79769313486233E+308", "1797693134862325E+293"}) {
        try {
            NumericRuleValue(beyond);
            ADD_FAILURE() << beyond;
        } catch (const engine::EngineError& e) {
            EXPECT_EQ(e.Number(), RunTimeOverflow) << beyond;
            EXPECT_EQ(e.Description(), "Overflow");
        }
    }
    // The largest Double as hosts print it, with 15 digits, stands for it.
    EXPECT_EQ(number("1.79769313486232E+308"), DBL_MAX);
    EXPECT_EQ(number("-1.79769313486232E+308"), -DBL_MAX);
    EXPECT_EQ(number("1.797693134862324999E308"), DBL_MAX);
    EXPECT_EQ(number("-17976931348623159D292"), -DBL_MAX);
    EXPECT_EQ(number("1.7976931348623157E308"), DBL_MAX);
    // Below the least subnormal: zero; subnormals themselves are kept.
    EXPECT_EQ(number("1E-400"), 0.0);
    EXPECT_EQ(number("-2.5D-999"), 0.0);
    EXPECT_EQ(number("4.9406564584124654E-324"), std::numeric_limits<double>::denorm_min());
    // Header tokens beyond the range are no 16-bit numbers.
    std::string name;
    std::int16_t type = 0, size = 0;
    EXPECT_FALSE(ParseHeaderLine("NAME/1E400/1", name, type, size));
}

TEST(DataLines, AnEmptyValueIsNullInEveryFieldButTextAndMemo) {
    for (int type : {engine::dbBoolean, engine::dbByte, engine::dbInteger, engine::dbLong,
                     engine::dbCurrency, engine::dbSingle, engine::dbDouble, engine::dbDate,
                     engine::dbBinary, engine::dbLongBinary, engine::dbGUID}) {
        EXPECT_TRUE(engine::IsNull(DataLineValue("", type))) << type;
        EXPECT_TRUE(engine::IsNull(DataLineValue("   ", type))) << type;
    }
    for (int type : {engine::dbText, engine::dbMemo}) {
        EXPECT_EQ(std::get<std::string>(DataLineValue("   ", type)), "") << type;
        EXPECT_EQ(std::get<std::string>(DataLineValue(" x  ", type)), " x") << type;
    }
    // Other values keep their rule: the engine still refuses what it cannot convert.
    EXPECT_EQ(std::get<std::string>(DataLineValue(" 12.50 ", engine::dbCurrency)), " 12.50");
    EXPECT_EQ(std::get<std::string>(DataLineValue("\t", engine::dbBoolean)), "\t");
    EXPECT_EQ(std::get<double>(DataLineValue("12,50", engine::dbDouble)), 12);
}

TEST(TextRule, KeepsLeadingBlanksAndDropsTrailingOnes) {
    EXPECT_EQ(std::get<std::string>(TextRuleValue("  value  ")), "  value");
    EXPECT_EQ(std::get<std::string>(TextRuleValue("    ")), "");
    EXPECT_EQ(std::get<std::string>(TextRuleValue("a \"b\" ,c")), "a \"b\" ,c");
}

TEST(Markers, AreTrimmedAndCaseInsensitiveButExact) {
    EXPECT_TRUE(IsMarkerLine("  ][zobrafex head][  ", HeadMarker));
    EXPECT_TRUE(IsMarkerLine("][ZOBRAFEX COMMAND][", CommandMarker));
    EXPECT_FALSE(IsMarkerLine("][ZOBRAFEX COMMAND][ x", CommandMarker));
    EXPECT_FALSE(IsMarkerLine("\t][ZOBRAFEX DATA][", DataMarker));
}

TEST(HostErrorCodes, CompareTheFirstNineCharactersExactly) {
    EXPECT_TRUE(IsHostErrorLine("E_QE0203 query failed"));
    EXPECT_TRUE(IsHostErrorLine("E_QE0204 "));
    EXPECT_FALSE(IsHostErrorLine("e_qe0203 query failed"));
    EXPECT_FALSE(IsHostErrorLine(" E_QE0203 query failed"));
    EXPECT_FALSE(IsHostErrorLine("E_QE0203"));
    EXPECT_FALSE(IsHostErrorLine("E_QE0205 x"));
}

class TransferFileTest : public ::testing::Test {
  protected:
    std::string Write(const std::string& bytes) {
        char name[] = "/tmp/nv-transfer-XXXXXX";
        const int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
        path_ = name;
        return path_;
    }
    std::vector<std::string> Lines(const std::string& bytes) {
        TransferFile file;
        int error = 0;
        EXPECT_TRUE(file.Open(Write(bytes), error));
        std::vector<std::string> lines;
        std::string line;
        while (file.ReadLine(line))
            lines.push_back(line);
        return lines;
    }
    void TearDown() override {
        if (!path_.empty()) unlink(path_.c_str());
    }
    std::string path_;
};

TEST_F(TransferFileTest, LinesEndAtCrLfOrLoneCrButNotAtLoneLf) {
    EXPECT_EQ(Lines("a\r\nb\rc\nd\r\n"), (std::vector<std::string>{"a", "b", "c\nd"}));
    EXPECT_EQ(Lines("last"), (std::vector<std::string>{"last"}));
    EXPECT_EQ(Lines("\r\n\r\n"), (std::vector<std::string>{"", ""}));
    EXPECT_TRUE(Lines("").empty());
}

TEST_F(TransferFileTest, LinesLongerThanTheBufferAndCrLfAcrossBufferEdges) {
    std::string big(200000, 'x');
    std::string bytes = big + "\r\n" + std::string(65535, 'y') + "\r\nz";
    auto lines = Lines(bytes);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], big);
    EXPECT_EQ(lines[1].size(), 65535u);
    EXPECT_EQ(lines[2], "z");
}

TEST_F(TransferFileTest, EachLineIsDecodedOnItsOwn) {
    // A UTF-8 line stays as it is; a Windows-1252 line is converted.
    auto lines = Lines("Gr\xC3\xBC\xC3\x9F"
                       "e\r\nGr\xFC\xDF"
                       "e \x80\r\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Gr\xC3\xBC\xC3\x9F"
                        "e");
    EXPECT_EQ(lines[1], "Gr\xC3\xBC\xC3\x9F"
                        "e \xE2\x82\xAC");
}
