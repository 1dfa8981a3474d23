#include "engine/convert.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

namespace engine {
namespace {

Field F(int type, int size = 0, bool allowZeroLength = false) {
    return Field{"F", type, type == dbText || type == dbBinary ? size : 0, allowZeroLength};
}

int ErrorOf(const Value& value, const Field& field) {
    try {
        ConvertValue(value, field);
    } catch (const EngineError& e) {
        return e.Number();
    }
    return 0;
}

std::int64_t AsLong(const Value& value, int type = dbLong) {
    return std::get<std::int64_t>(ConvertValue(value, F(type)));
}

double AsDouble(const Value& value, int type = dbDouble) {
    return std::get<double>(ConvertValue(value, F(type)));
}

std::int64_t AsUnits(const Value& value) {
    return std::get<Currency>(ConvertValue(value, F(dbCurrency))).units;
}

DateTime AsDate(const Value& value) {
    return std::get<DateTime>(ConvertValue(value, F(dbDate)));
}

TEST(FieldDefinition, AcceptsOnlyTheClassicTypeCodes) {
    for (int type : {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 15}) {
        EXPECT_NO_THROW(CheckedFieldSize(type, 10)) << type;
    }
    for (int type : {-1, 0, 13, 14, 16, 99}) {
        try {
            CheckedFieldSize(type, 10);
            ADD_FAILURE() << type;
        } catch (const EngineError& e) {
            EXPECT_EQ(e.Number(), errInvalidFieldType);
        }
    }
}

TEST(FieldDefinition, TextSizeMustBeOneTo255AndFixedTypesGetTheirOwnSize) {
    EXPECT_EQ(CheckedFieldSize(dbText, 1), 1);
    EXPECT_EQ(CheckedFieldSize(dbText, 255), 255);
    for (int size : {-5, 0, 256}) {
        try {
            CheckedFieldSize(dbText, size);
            ADD_FAILURE() << size;
        } catch (const EngineError& e) {
            EXPECT_EQ(e.Number(), errInvalidFieldType);
        }
    }
    EXPECT_EQ(CheckedFieldSize(dbLong, 99), 4);
    EXPECT_EQ(CheckedFieldSize(dbDouble, 0), 8);
    EXPECT_EQ(CheckedFieldSize(dbMemo, 300), 0);
}

TEST(ConvertValue, NullStaysNullForEveryType) {
    for (int type : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 15}) {
        EXPECT_TRUE(IsNull(ConvertValue(Null{}, F(type, 10)))) << type;
    }
}

TEST(ConvertValue, TextLengthCountsCharactersNotBytes) {
    EXPECT_EQ(std::get<std::string>(ConvertValue(std::string("\xC3\xA9t\xC3\xA9"), F(dbText, 3))),
              "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(ErrorOf(std::string("abcd"), F(dbText, 3)), errValueTooLong);
    EXPECT_EQ(ErrorOf(std::string("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"), F(dbText, 3)),
              errValueTooLong);
    // Memo fields have no limit of their own.
    const std::string longText(5000, 'x');
    EXPECT_EQ(std::get<std::string>(ConvertValue(longText, F(dbMemo))).size(), 5000u);
}

TEST(ConvertValue, ZeroLengthTextOnlyWhereAllowed) {
    EXPECT_EQ(ErrorOf(std::string(), F(dbText, 10)), errZeroLengthNotAllowed);
    EXPECT_EQ(ErrorOf(std::string(), F(dbMemo)), errZeroLengthNotAllowed);
    EXPECT_EQ(std::get<std::string>(ConvertValue(std::string(), F(dbText, 10, true))), "");
    EXPECT_EQ(std::get<std::string>(ConvertValue(std::string(), F(dbMemo, 0, true))), "");
}

TEST(ConvertValue, NumbersAndOtherValuesBecomeTheirTextInTextFields) {
    const Field text = F(dbText, 30);
    EXPECT_EQ(std::get<std::string>(ConvertValue(12.5, text)), "12.5");
    EXPECT_EQ(std::get<std::string>(ConvertValue(std::int64_t{-42}, text)), "-42");
    EXPECT_EQ(std::get<std::string>(ConvertValue(1e20, text)), "1E+20");
    EXPECT_EQ(std::get<std::string>(ConvertValue(true, text)), "True");
    EXPECT_EQ(std::get<std::string>(ConvertValue(DateTime{2024, 3, 5}, text)), "2024-03-05");
    EXPECT_EQ(std::get<std::string>(ConvertValue(DateTime{2024, 3, 5, 7, 8, 9}, text)),
              "2024-03-05 07:08:09");
    EXPECT_EQ(ErrorOf(123456.0, F(dbText, 3)), errValueTooLong);
}

TEST(ConvertValue, WholeNumberTypesRefuseWhatTheyCannotHold) {
    struct Case {
        int type;
        double inside, outside;
    };
    for (const Case& c :
         {Case{dbByte, 255, 256}, Case{dbByte, 0, -1}, Case{dbInteger, 32767, 32768},
          Case{dbInteger, -32768, -32769}, Case{dbLong, 2147483647, 2147483648.0},
          Case{dbLong, -2147483648.0, -2147483649.0}}) {
        EXPECT_EQ(AsLong(c.inside, c.type), static_cast<std::int64_t>(c.inside));
        EXPECT_EQ(ErrorOf(c.outside, F(c.type)), errNumericOverflow) << c.outside;
        EXPECT_EQ(ErrorOf(std::int64_t(c.outside), F(c.type)), errNumericOverflow) << c.outside;
    }
    EXPECT_EQ(ErrorOf(std::string("99999999999999999999"), F(dbLong)), errNumericOverflow);
    EXPECT_EQ(ErrorOf(std::numeric_limits<double>::quiet_NaN(), F(dbLong)), errConversion);
}

TEST(ConvertValue, FloatingTypesRefuseWhatTheyCannotHold) {
    EXPECT_EQ(ErrorOf(1e39, F(dbSingle)), errNumericOverflow);
    EXPECT_EQ(ErrorOf(-1e39, F(dbSingle)), errNumericOverflow);
    EXPECT_EQ(ErrorOf(1e15, F(dbCurrency)), errNumericOverflow);
    EXPECT_EQ(AsUnits(922337203685477.0), 9223372036854770000);
    EXPECT_EQ(ErrorOf(std::numeric_limits<double>::infinity(), F(dbDouble)), errNumericOverflow);
    EXPECT_EQ(ErrorOf(std::string("1e400"), F(dbDouble)), errNumericOverflow);
    EXPECT_DOUBLE_EQ(AsDouble(1e300), 1e300);
}

TEST(ConvertValue, DoublesRoundHalvesToEvenInWholeNumberTypes) {
    EXPECT_EQ(AsLong(2.5), 2);
    EXPECT_EQ(AsLong(3.5), 4);
    EXPECT_EQ(AsLong(-2.5), -2);
    EXPECT_EQ(AsLong(-3.5), -4);
    EXPECT_EQ(AsLong(0.5), 0);
    EXPECT_EQ(AsLong(2.6), 3);
    EXPECT_EQ(AsLong(-2.4), -2);
    EXPECT_EQ(AsLong(std::string(" 2.5 ")), 2);
    EXPECT_EQ(AsLong(254.5, dbByte), 254);
    EXPECT_EQ(ErrorOf(255.5, F(dbByte)), errNumericOverflow);
}

TEST(ConvertValue, CurrencyKeepsFourDecimalsAndSingleItsOwnPrecision) {
    // Binary fractions, so the halves are exact.
    EXPECT_EQ(AsUnits(0.03125), 312);
    EXPECT_EQ(AsUnits(0.09375), 938);
    EXPECT_EQ(AsUnits(1.23456), 12346);
    EXPECT_EQ(AsDouble(0.1, dbSingle), 0.1);
    EXPECT_EQ(AsDouble(1.0 / 3.0, dbSingle), 0.33333334);
}

TEST(ConvertValue, TheLargestSingleStaysASingle) {
    // Kept as its shortest decimal, 3.4028235E+38, just above the float as
    // a double: converting it again must give the same Single.
    const double largest = AsDouble(std::string("3.4028234E38"), dbSingle);
    EXPECT_EQ(static_cast<float>(largest), FLT_MAX);
    EXPECT_EQ(AsDouble(largest, dbSingle), largest);
    EXPECT_EQ(AsDouble(-largest, dbSingle), -largest);
    EXPECT_EQ(AsDouble(std::string("3.40282356E38"), dbSingle), largest);
    // Halfway to the next power of two rounds to infinity as a float.
    EXPECT_EQ(ErrorOf(3.4028235677973366e38, F(dbSingle)), errNumericOverflow);
    EXPECT_EQ(ErrorOf(std::string("-3.4028236E38"), F(dbSingle)), errNumericOverflow);
}

TEST(CurrencyText, ConvertsExactlyAtTheExtremes) {
    EXPECT_EQ(AsUnits(std::string("922337203685477.5807")), INT64_MAX);
    EXPECT_EQ(AsUnits(std::string("-922337203685477.5807")), -INT64_MAX);
    EXPECT_EQ(AsUnits(std::string("-922337203685477.5808")), INT64_MIN);
    EXPECT_EQ(AsUnits(std::string("123456789012345.6789")), 1234567890123456789);
    EXPECT_EQ(AsUnits(std::string("900719925474.0993")), 9007199254740993);
    EXPECT_EQ(AsUnits(std::string("0.0001")), 1);
    EXPECT_EQ(AsUnits(std::string("  -0.0001 ")), -1);
    EXPECT_EQ(AsUnits(std::string("+12.5")), 125000);
    EXPECT_EQ(AsUnits(std::string(".5")), 5000);
    EXPECT_EQ(AsUnits(std::string("7.")), 70000);
    EXPECT_EQ(AsUnits(std::string("000000000000000000000000042")), 420000);
    EXPECT_EQ(AsUnits(std::string("-0")), 0);
    // Beyond the range: the engine's overflow, never a wrapped value.
    for (const char* beyond :
         {"922337203685477.5808", "-922337203685477.5809", "922337203685477.58075",
          "1000000000000000", "1E15", "1E400", "99999999999999999999999999999",
          "1844674407370955.16155"}) { // 2^64 - 1 units, rounded up: past 64 bits
        EXPECT_EQ(ErrorOf(std::string(beyond), F(dbCurrency)), errNumericOverflow) << beyond;
    }
}

TEST(CurrencyText, RoundsToFourDecimalsHalvesToEven) {
    EXPECT_EQ(AsUnits(std::string("0.00005")), 0);
    EXPECT_EQ(AsUnits(std::string("0.00015")), 2);
    EXPECT_EQ(AsUnits(std::string("0.00025")), 2);
    EXPECT_EQ(AsUnits(std::string("0.000250000000000000000001")), 3);
    EXPECT_EQ(AsUnits(std::string("-0.00015")), -2);
    EXPECT_EQ(AsUnits(std::string("-0.00005")), 0);
    EXPECT_EQ(AsUnits(std::string("1.23456")), 12346);
    EXPECT_EQ(AsUnits(std::string("0.000049999")), 0);
    // Rounding up to the greatest value is still in range; past it is not.
    EXPECT_EQ(AsUnits(std::string("922337203685477.58065")), INT64_MAX - 1);
    EXPECT_EQ(AsUnits(std::string("922337203685477.58069")), INT64_MAX);
    EXPECT_EQ(ErrorOf(std::string("922337203685477.58075"), F(dbCurrency)), errNumericOverflow);
}

TEST(CurrencyText, ReadsExponentsAndTheRadixFormsOfTheLoader) {
    EXPECT_EQ(AsUnits(std::string("1.5E3")), 15000000);
    EXPECT_EQ(AsUnits(std::string("1.5e+3")), 15000000);
    EXPECT_EQ(AsUnits(std::string("15D-1")), 15000);
    EXPECT_EQ(AsUnits(std::string("5E-5")), 0);   // half a unit, to even
    EXPECT_EQ(AsUnits(std::string("3.5E-4")), 4); // three and a half units
    EXPECT_EQ(AsUnits(std::string("2.5E-5")), 0);
    EXPECT_EQ(AsUnits(std::string("1E-400")), 0);
    EXPECT_EQ(AsUnits(std::string("9.223372036854775807E14")), INT64_MAX);
    EXPECT_EQ(AsUnits(std::string("&HFF")), 2550000);
    EXPECT_EQ(AsUnits(std::string("&hFFFF")), -10000); // four digits: 16 bits
    EXPECT_EQ(AsUnits(std::string("&H0FFFF")), 655350000);
    EXPECT_EQ(AsUnits(std::string("&HFFFFFFFF")), -10000);
    EXPECT_EQ(AsUnits(std::string("&O17")), 150000);
    EXPECT_EQ(AsUnits(std::string("&O177777")), -10000);
    for (const char* bad : {"", "  ", "&H", "&HXY", "&O8", "1E", "1.2.3", "12,50", "--1", "+-1",
                            ".", "E5", "inf", "nan", "1 000", "0x10", "&H10 1"}) {
        EXPECT_EQ(ErrorOf(std::string(bad), F(dbCurrency)), errConversion) << bad;
    }
}

TEST(CurrencyText, ShortestExactTextAndNearestDouble) {
    EXPECT_EQ(CurrencyText({INT64_MAX}), "922337203685477.5807");
    EXPECT_EQ(CurrencyText({INT64_MIN}), "-922337203685477.5808");
    EXPECT_EQ(CurrencyText({125000}), "12.5");
    EXPECT_EQ(CurrencyText({-1}), "-0.0001");
    EXPECT_EQ(CurrencyText({0}), "0");
    EXPECT_EQ(CurrencyText({-10000}), "-1");
    EXPECT_EQ(CurrencyToDouble({9007199254740993}), 900719925474.0993);
    EXPECT_EQ(CurrencyToDouble({INT64_MAX}), 922337203685477.5807);
    // Money goes on exactly: into text, another Currency field, whole numbers.
    const Value money = Currency{1234567890123456789};
    EXPECT_EQ(std::get<std::string>(ConvertValue(money, F(dbMemo))), "123456789012345.6789");
    EXPECT_EQ(AsUnits(money), 1234567890123456789);
    EXPECT_EQ(AsLong(Value(Currency{25000})), 2); // 2.5, halves to even
    EXPECT_EQ(AsLong(Value(Currency{-30000})), -3);
    EXPECT_EQ(AsDouble(Value(Currency{125000})), 12.5);
    EXPECT_TRUE(std::get<bool>(ConvertValue(Value(Currency{1}), F(dbBoolean))));
    EXPECT_EQ(ErrorOf(Value(Currency{INT64_MAX}), F(dbLong)), errNumericOverflow);
}

TEST(ConvertValue, TextBecomesANumberWithAPointAsDecimalSeparator) {
    EXPECT_DOUBLE_EQ(AsDouble(std::string("  12.50  ")), 12.5);
    EXPECT_DOUBLE_EQ(AsDouble(std::string("-.5")), -0.5);
    EXPECT_DOUBLE_EQ(AsDouble(std::string("+7")), 7);
    EXPECT_DOUBLE_EQ(AsDouble(std::string("1.5E3")), 1500);
    EXPECT_EQ(AsLong(std::string("-2147483648")), -2147483648LL);
    for (const char* bad :
         {"", "   ", "12,50", "abc", "1.2.3", "inf", "nan", "0x10", "1e", "--1"}) {
        EXPECT_EQ(ErrorOf(std::string(bad), F(dbDouble)), errConversion) << bad;
        EXPECT_EQ(ErrorOf(std::string(bad), F(dbInteger)), errConversion) << bad;
    }
}

TEST(ConvertValue, BooleansFromWordsAndNumbers) {
    const Field yesNo = F(dbBoolean);
    for (const char* word : {"True", "yes", "ON", " true "}) {
        EXPECT_TRUE(std::get<bool>(ConvertValue(std::string(word), yesNo))) << word;
    }
    for (const char* word : {"FALSE", "No", "off", "0", "0.0"}) {
        EXPECT_FALSE(std::get<bool>(ConvertValue(std::string(word), yesNo))) << word;
    }
    EXPECT_TRUE(std::get<bool>(ConvertValue(std::string("-1"), yesNo)));
    EXPECT_TRUE(std::get<bool>(ConvertValue(0.25, yesNo)));
    EXPECT_TRUE(std::get<bool>(ConvertValue(std::int64_t{5}, yesNo)));
    EXPECT_FALSE(std::get<bool>(ConvertValue(std::int64_t{0}, yesNo)));
    EXPECT_EQ(ErrorOf(std::string("maybe"), yesNo), errConversion);
}

TEST(ConvertValue, BooleansInNumericFieldsAreMinusOneAndZero) {
    EXPECT_EQ(AsLong(true), -1);
    EXPECT_EQ(AsLong(false), 0);
    EXPECT_EQ(AsLong(true, dbInteger), -1);
    EXPECT_DOUBLE_EQ(AsDouble(true), -1.0);
    EXPECT_EQ(AsUnits(true), -10000);
    // A byte holds no negative number.
    EXPECT_EQ(ErrorOf(true, F(dbByte)), errNumericOverflow);
}

TEST(ConvertValue, DatesInIsoAndUsForms) {
    EXPECT_EQ(AsDate(std::string("2024-02-29")), (DateTime{2024, 2, 29}));
    EXPECT_EQ(AsDate(std::string(" 2024-03-15 10:20 ")), (DateTime{2024, 3, 15, 10, 20, 0}));
    EXPECT_EQ(AsDate(std::string("2024-03-15 10:20:30")), (DateTime{2024, 3, 15, 10, 20, 30}));
    EXPECT_EQ(AsDate(std::string("2024-03-15T10:20:30")), (DateTime{2024, 3, 15, 10, 20, 30}));
    EXPECT_EQ(AsDate(std::string("3/5/2024")), (DateTime{2024, 3, 5}));
    EXPECT_EQ(AsDate(std::string("12/31/1999 1:05 PM")), (DateTime{1999, 12, 31, 13, 5, 0}));
    EXPECT_EQ(AsDate(std::string("12/31/1999 12:00:01 am")), (DateTime{1999, 12, 31, 0, 0, 1}));
    EXPECT_EQ(AsDate(std::string("12/31/1999 12:30PM")), (DateTime{1999, 12, 31, 12, 30, 0}));
    EXPECT_EQ(AsDate(std::string("23:59:59")), (DateTime{1899, 12, 30, 23, 59, 59}));
    for (const char* bad :
         {"2023-02-29", "2024-13-01", "2024/03/15", "15.03.2024", "3/5/24", "2024-03-15 24:00",
          "1/1/2024 13:00 PM", "2024-03-15 10:2", "", "yesterday", "0099-12-31"}) {
        EXPECT_EQ(ErrorOf(std::string(bad), F(dbDate)), errConversion) << bad;
    }
    EXPECT_EQ(ErrorOf(DateTime{2024, 2, 30}, F(dbDate)), errConversion);
}

TEST(ConvertValue, NumbersAndDatesMeetAtTheClassicDayCount) {
    EXPECT_DOUBLE_EQ(DateToSerial(DateTime{1899, 12, 30}), 0);
    EXPECT_DOUBLE_EQ(DateToSerial(DateTime{1900, 1, 1, 12, 0, 0}), 2.5);
    EXPECT_DOUBLE_EQ(DateToSerial(DateTime{1899, 12, 29, 6, 0, 0}), -1.25);
    EXPECT_EQ(AsDate(45000.5), (DateTime{2023, 3, 15, 12, 0, 0}));
    EXPECT_EQ(AsDate(-1.25), (DateTime{1899, 12, 29, 6, 0, 0}));
    EXPECT_DOUBLE_EQ(AsDouble(DateTime{2023, 3, 15, 18, 0, 0}), 45000.75);
    for (const DateTime& t :
         {DateTime{100, 1, 1}, DateTime{1752, 9, 14, 1, 2, 3}, DateTime{2000, 2, 29, 23, 59, 59},
          DateTime{9999, 12, 31, 23, 59, 59}}) {
        EXPECT_EQ(SerialToDate(DateToSerial(t)), t);
    }
    EXPECT_EQ(ErrorOf(1e9, F(dbDate)), errNumericOverflow);
}

TEST(DateTimeText, StoredFormRoundTripsAndIsStrict) {
    const DateTime t{987, 6, 5, 4, 3, 2};
    EXPECT_EQ(FormatDateTime(t), "0987-06-05 04:03:02");
    EXPECT_EQ(ParseDateTime(FormatDateTime(t)), t);
    EXPECT_FALSE(ParseDateTime("2024-03-15"));
    EXPECT_FALSE(ParseDateTime("2024-03-15T10:20:30"));
    EXPECT_FALSE(ParseDateTime("2024-02-30 00:00:00"));
}

TEST(ConvertValue, GuidsAreCheckedAndWrittenInOneForm) {
    EXPECT_EQ(std::get<std::string>(
                  ConvertValue(std::string("0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d"), F(dbGUID))),
              "{0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D}");
    EXPECT_EQ(ErrorOf(std::string("{0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5}"), F(dbGUID)),
              errConversion);
    EXPECT_EQ(ErrorOf(42.0, F(dbGUID)), errConversion);
}

TEST(ConvertValue, BinaryFieldsTakeBytesAndText) {
    EXPECT_EQ(std::get<Blob>(ConvertValue(std::string("ab"), F(dbLongBinary))), (Blob{'a', 'b'}));
    EXPECT_EQ(ErrorOf(Blob(5, 1), F(dbBinary, 4)), errValueTooLong);
    EXPECT_EQ(ErrorOf(1.0, F(dbLongBinary)), errConversion);
    EXPECT_EQ(ErrorOf(Blob{1}, F(dbLong)), errConversion);
}

TEST(ConvertValue, WritingIntoAnEarlierTextReplacesIt) {
    Value slot = std::string("a much longer earlier value");
    ConvertValueInto(std::string("new"), F(dbText, 10), slot);
    EXPECT_EQ(std::get<std::string>(slot), "new");
    ConvertValueInto(Null{}, F(dbText, 10), slot);
    EXPECT_TRUE(IsNull(slot));
}

} // namespace
} // namespace engine
