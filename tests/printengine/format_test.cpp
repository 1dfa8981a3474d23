#include "printengine/format.h"

#include <QLocale>

#include <gtest/gtest.h>

using namespace printengine;

class Formats : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = QLocale();
        QLocale::setDefault(QLocale::c());
    }
    void TearDown() override { QLocale::setDefault(saved_); }
    QLocale saved_;
};

TEST_F(Formats, DecimalPatterns) {
    EXPECT_EQ(FormatNumber(1234567.891, "#,##0.00"), "1,234,567.89");
    EXPECT_EQ(FormatNumber(0.5, "#,##0.00"), "0.50");
    EXPECT_EQ(FormatNumber(-1234.5, "#,##0.00"), "-1,234.50");
    EXPECT_EQ(FormatNumber(-1234.5, "#,##0.00;(#,##0.00)"), "(1,234.50)");
    EXPECT_EQ(FormatNumber(42, "0000"), "0042");
    EXPECT_EQ(FormatNumber(3.14159, "0.###"), "3.142");
    EXPECT_EQ(FormatNumber(3.1, "0.###"), "3.1");
    EXPECT_EQ(FormatNumber(0.256, "0%"), "26%");
    EXPECT_EQ(FormatNumber(12, "'No. '0"), "No. 12");
    EXPECT_EQ(FormatNumber(-0.001, "0.00"), "0.00"); // no negative zero
    EXPECT_EQ(FormatNumber(2.5, "0"), "2");          // halves to even
    EXPECT_EQ(FormatNumber(3.5, "0"), "4");
    EXPECT_EQ(FormatNumber(1e300, "#,##0").size(), 401u);
}

TEST_F(Formats, MoneyShowsItsDigitsExactly) {
    const engine::Currency largest{INT64_MAX};
    EXPECT_EQ(FormatMoney(largest, "#,##0.0000"), "922,337,203,685,477.5807");
    EXPECT_EQ(FormatMoney(largest, "#,##0.00"), "922,337,203,685,477.58");
    EXPECT_EQ(FormatMoney({INT64_MIN}, "0.000000"), "-922337203685477.580800");
    EXPECT_EQ(FormatMoney({9007199254740993}, "0.###"), "900719925474.099");
    EXPECT_EQ(FormatMoney({135}, "0.00"), "0.01");
    EXPECT_EQ(FormatMoney({150}, "0.00"), "0.02"); // halves to even
    EXPECT_EQ(FormatMoney({250}, "0.00"), "0.02");
    EXPECT_EQ(FormatMoney({251}, "0.00"), "0.03");
    EXPECT_EQ(FormatMoney({-25000}, "0"), "-2");
    EXPECT_EQ(FormatMoney({-1}, "0.00"), "0.00"); // no negative zero
    EXPECT_EQ(FormatMoney({5000}, "0%"), "50%");
    EXPECT_EQ(FormatValue(Value(engine::Currency{-12345}), "#,##0.00;(#,##0.00)"), "(1.23)");
}

TEST_F(Formats, DatePatterns) {
    const engine::DateTime d{2026, 3, 7, 14, 5, 9};
    EXPECT_EQ(FormatDate(d, "dd/MM/yyyy"), "07/03/2026");
    EXPECT_EQ(FormatDate(d, "yyyy-MM-dd HH:mm:ss"), "2026-03-07 14:05:09");
    EXPECT_EQ(FormatDate(d, "d MMMM yy"), "7 March 26");
    EXPECT_EQ(FormatDate(d, "EEE, h:mm a"), "Sat, 2:05 PM");
    EXPECT_EQ(FormatDate(d, "'Day' d"), "Day 7");
}

TEST_F(Formats, ValuesWithAndWithoutPattern) {
    EXPECT_EQ(FormatValue(Value(std::int64_t{1500}), "#,##0"), "1,500");
    EXPECT_EQ(FormatValue(Value(std::int64_t{1500}), ""), "1500");
    EXPECT_EQ(FormatValue(Value(2.0), ""), "2.0");
    EXPECT_EQ(FormatValue(Value(std::string("text")), "#,##0"), "text");
    EXPECT_EQ(FormatValue(Value(), ""), "null");
}
