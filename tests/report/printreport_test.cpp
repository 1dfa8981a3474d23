#include "report/printreport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace report;

TEST(TableLocationRecord, PathTerminatedThenBlanks) {
    const PETableLocation r = TableLocationRecord("/tmp/w/UNTITLED.MDB");
    EXPECT_EQ(r.StructSize, 258);
    EXPECT_STREQ(r.Location, "/tmp/w/UNTITLED.MDB");
    for (size_t i = std::strlen(r.Location) + 1; i < sizeof r.Location; ++i)
        ASSERT_EQ(r.Location[i], ' ');
}

TEST(TableLocationRecord, TooLongForTheFieldHasNoTerminator) {
    const PETableLocation fits = TableLocationRecord(std::string(255, 'a'));
    EXPECT_EQ(fits.Location[255], '\0');
    const PETableLocation longer = TableLocationRecord(std::string(300, 'b'));
    EXPECT_EQ(std::memchr(longer.Location, '\0', sizeof longer.Location), nullptr);
}

TEST(PreviewExtent, ThreeQuartersRoundedHalfToEvenWithinSixteenBits) {
    EXPECT_EQ(PreviewExtent(1920 * 15.0), 21600);
    EXPECT_EQ(PreviewExtent(1080 * 15.0), 12150);
    EXPECT_EQ(PreviewExtent(2.0), 2);  // 1.5 -> 2
    EXPECT_EQ(PreviewExtent(10.0), 8); // 7.5 -> 8
    EXPECT_EQ(PreviewExtent(6.0), 4);  // 4.5 -> 4
    EXPECT_EQ(PreviewExtent(3840 * 15.0), 32767);
}

TEST(OpenJobFailure, NamesTheReportAndTheLibrary) {
    EXPECT_EQ(OpenJobFailureText("/r/X.JRXML"),
              "Error occurred in printing the report:\r\n\r\nThe possible causes are: \r\n"
              "- The report file /r/X.JRXML is not reachable, or\r\n"
              "- The default printer is not defined, or\r\n"
              "- The report engine library is missing or damaged. ");
}
