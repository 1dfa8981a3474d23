#include "store/valuetext.h"

#include <QLocale>
#include <gtest/gtest.h>

namespace {

class ValueTextTest : public ::testing::Test {
  protected:
    void SetUp() override { saved_ = QLocale(); }
    void TearDown() override { QLocale::setDefault(saved_); }
    static void UseLocale(const char* name) { QLocale::setDefault(QLocale(QString(name))); }
    static std::string Text(const engine::Value& v) { return store::ValueText(v, "Null"); }

  private:
    QLocale saved_;
};

TEST_F(ValueTextTest, NumbersInGeneralFormWithFifteenDigits) {
    UseLocale("en_US");
    EXPECT_EQ(Text(12.5), "12.5");
    EXPECT_EQ(Text(100.0), "100");
    EXPECT_EQ(Text(-2.25), "-2.25");
    EXPECT_EQ(Text(1234567.0), "1234567") << "no thousands separators";
    EXPECT_EQ(Text(0.1 + 0.2), "0.3") << "rounded to 15 significant digits";
    EXPECT_EQ(Text(1.0 / 3.0), "0.333333333333333");
    EXPECT_EQ(Text(123456789012345.0), "123456789012345");
    EXPECT_EQ(Text(1e15), "1E+15");
    EXPECT_EQ(Text(1e16), "1E+16");
    EXPECT_EQ(Text(-1.5e300), "-1.5E+300");
    EXPECT_EQ(Text(0.0001), "0.0001");
    EXPECT_EQ(Text(0.00001), "1E-05");
    EXPECT_EQ(Text(-0.0), "0");
}

TEST_F(ValueTextTest, DecimalSeparatorComesFromTheLocale) {
    UseLocale("de_DE");
    EXPECT_EQ(Text(12.5), "12,5");
    EXPECT_EQ(Text(1234567.25), "1234567,25");
    EXPECT_EQ(Text(1.5e-7), "1,5E-07");
    EXPECT_EQ(Text(std::int64_t{1234567}), "1234567");
}

TEST_F(ValueTextTest, MoneyIsExactWithTheLocalesSeparator) {
    UseLocale("de_DE");
    EXPECT_EQ(Text(engine::Currency{INT64_MAX}), "922337203685477,5807");
    EXPECT_EQ(Text(engine::Currency{-10000}), "-1");
    UseLocale("en_US");
    EXPECT_EQ(Text(engine::Currency{9007199254740993}), "900719925474.0993");
}

TEST_F(ValueTextTest, IntegersBooleansTextAndNull) {
    UseLocale("de_DE");
    EXPECT_EQ(Text(std::int64_t{-42}), "-42");
    EXPECT_EQ(Text(std::int64_t{9223372036854775807}), "9223372036854775807");
    EXPECT_EQ(Text(true), "True");
    EXPECT_EQ(Text(false), "False");
    EXPECT_EQ(Text(std::string("  as stored, \"quoted\"  ")), "  as stored, \"quoted\"  ");
    EXPECT_EQ(Text(std::string("{3F2504E0-4F89-11D3-9A0C-0305E82C3301}")),
              "{3F2504E0-4F89-11D3-9A0C-0305E82C3301}");
    EXPECT_EQ(Text(std::string()), "");
    EXPECT_EQ(Text(engine::Null{}), "Null");
    EXPECT_EQ(store::ValueText(engine::Null{}, ""), "");
}

TEST_F(ValueTextTest, BinaryAsHexDigits) {
    EXPECT_EQ(Text(engine::Blob{0x00, 0xAB, 0x10, 0xFF}), "00AB10FF");
    EXPECT_EQ(Text(engine::Blob{}), "");
}

TEST_F(ValueTextTest, DatesInTheShortFormTimeOnlyWhenNotMidnight) {
    UseLocale("de_DE");
    EXPECT_EQ(Text(engine::DateTime{2024, 3, 5, 0, 0, 0}), "05.03.2024");
    EXPECT_EQ(Text(engine::DateTime{2024, 3, 5, 13, 4, 5}), "05.03.2024 13:04:05");
    EXPECT_EQ(Text(engine::DateTime{2024, 3, 5, 0, 0, 1}), "05.03.2024 00:00:01");
    UseLocale("en_US");
    EXPECT_EQ(Text(engine::DateTime{2024, 3, 5, 0, 0, 0}), "3/5/2024");
    EXPECT_EQ(Text(engine::DateTime{2024, 3, 5, 13, 4, 5}), "3/5/2024 1:04:05 PM");
    EXPECT_EQ(Text(engine::DateTime{1899, 12, 30, 9, 30, 0}), "12/30/1899 9:30:00 AM");
}

} // namespace
