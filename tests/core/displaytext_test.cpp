#include "core/displaytext.h"

#include <utime.h>

#include <gtest/gtest.h>
#include <ctime>

#include "support/appfolder.h"

namespace {

TEST(SizeText, BelowAThousandIsTheTextUnchanged) {
    EXPECT_EQ(SizeText("999"), "999");
    EXPECT_EQ(SizeText("0"), "0");
    EXPECT_EQ(SizeText("-5"), "-5");
    EXPECT_EQ(SizeText("007"), "007");
}

TEST(SizeText, FromAThousandIsKilobytesOfAThousandBytes) {
    EXPECT_EQ(SizeText("1000"), "1.0KB");
    EXPECT_EQ(SizeText("1234567"), "1,234.6KB");
    EXPECT_EQ(SizeText("1250"), "1.3KB");
    EXPECT_EQ(SizeText("1249"), "1.2KB");
    EXPECT_EQ(SizeText("999999"), "1,000.0KB");
    EXPECT_EQ(SizeText("67108864"), "67,108.9KB");
    EXPECT_EQ(SizeText("3000000000"), "3,000,000.0KB");
    // Rounding must not step past the largest count the text can hold.
    EXPECT_EQ(SizeText("9223372036854775807"), "9,223,372,036,854,775.8KB");
    EXPECT_EQ(SizeText("9223372036854775750"), "9,223,372,036,854,775.8KB");
    EXPECT_EQ(SizeText("9223372036854775749"), "9,223,372,036,854,775.7KB");
}

TEST(SizeText, NonNumbersRaise) {
    EXPECT_THROW(SizeText(""), Exception);
    EXPECT_THROW(SizeText("12a"), Exception);
    EXPECT_THROW(SizeText("1.5"), Exception);
}

class FileDateTextTest : public ::testing::Test {
protected:
    void Stamp(const char* name, int year, int month, int day, int hour, int minute, int second) {
        folder_.Write(name, "x");
        struct tm local = {};
        local.tm_year = year - 1900;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = hour;
        local.tm_min = minute;
        local.tm_sec = second;
        local.tm_isdst = -1;
        struct utimbuf times = {mktime(&local), mktime(&local)};
        ASSERT_EQ(::utime(platform::NativePath(folder_.Path(name)).c_str(), &times), 0);
    }
    TempAppFolder folder_;
};

TEST_F(FileDateTextTest, GivesTheLocalDateOfTheLastWrite) {
    Stamp("late.dll", 2024, 3, 9, 23, 59, 59);
    EXPECT_EQ(FileDateText(folder_.Path("late.dll")), "2024-03-09");
    Stamp("early.dll", 1980, 1, 1, 0, 0, 0);
    EXPECT_EQ(FileDateText(folder_.Path("early.dll")), "1980-01-01");
}

TEST_F(FileDateTextTest, MissingFilesAndDatesBefore1980Raise) {
    Stamp("old.dll", 1979, 12, 31, 12, 0, 0);
    for (const char* name : {"old.dll", "missing.dll"}) {
        try {
            FileDateText(folder_.Path(name));
            ADD_FAILURE() << name << ": no error";
        } catch (const Exception& error) {
            EXPECT_EQ(error.Message(), "Invalid argument to date encode") << name;
        }
    }
}

TEST(DateFromText, ReadsCalendarDatesOnly) {
    EXPECT_EQ(DateFromText("2024-02-29"), QDate(2024, 2, 29));
    EXPECT_LT(DateFromText("2024-12-31"), DateFromText("2025-01-01"));
    for (const char* bad : {"2023-02-29", "2024-1-5", "01/02/2030", "2024-13-01", "", "yyyy-mm-dd",
                            "2024-01-01x", " 2024-01-01"})
        EXPECT_THROW(DateFromText(bad), Exception) << bad;
}

}  // namespace
