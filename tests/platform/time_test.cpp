// Time conversions with the results and the validation of Windows. Natively these check the
// stand-in; under Wine the real kernel32 and oleaut32.
#include "platform/win.h"
#include "tests/platform/under_wine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

SYSTEMTIME at(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
              int milliseconds = 0) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    st.wMilliseconds = static_cast<WORD>(milliseconds);
    return st;
}

uint64_t ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME fileTime(uint64_t value) {
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

bool toDate(SYSTEMTIME st, double& date) {
    date = -99999.0;
    return SystemTimeToVariantTime(&st, &date) != FALSE;
}

void expectTime(const SYSTEMTIME& st, int year, int month, int day, int hour, int minute,
                int second, int milliseconds) {
    EXPECT_EQ(st.wYear, year);
    EXPECT_EQ(st.wMonth, month);
    EXPECT_EQ(st.wDay, day);
    EXPECT_EQ(st.wHour, hour);
    EXPECT_EQ(st.wMinute, minute);
    EXPECT_EQ(st.wSecond, second);
    EXPECT_EQ(st.wMilliseconds, milliseconds);
}

TEST(SystemTimeToVariantTime, KnownDates) {
    double date = 0.0;
    ASSERT_TRUE(toDate(at(1899, 12, 30), date));
    EXPECT_EQ(date, 0.0);
    ASSERT_TRUE(toDate(at(2000, 1, 1, 12), date));
    EXPECT_EQ(date, 36526.5);
    // Before the epoch the fraction still counts forward in the day: 06:00 on 29 December 1899.
    ASSERT_TRUE(toDate(at(1899, 12, 29, 6), date));
    EXPECT_EQ(date, -1.25);
    ASSERT_TRUE(toDate(at(1800, 1, 1, 6), date));
    EXPECT_EQ(date, -36522.25);
    ASSERT_TRUE(toDate(at(100, 1, 1), date));
    EXPECT_EQ(date, -657434.0);
    ASSERT_TRUE(toDate(at(9999, 12, 31), date));
    EXPECT_EQ(date, 2958465.0);
}

TEST(SystemTimeToVariantTime, IgnoresTheDayOfWeekAndTheMilliseconds) {
    SYSTEMTIME st = at(2000, 1, 1, 12, 0, 0, 999);
    st.wDayOfWeek = 3;  // 1 January 2000 was a Saturday
    double date = 0.0;
    ASSERT_TRUE(toDate(st, date));
    EXPECT_EQ(date, 36526.5);
}

TEST(SystemTimeToVariantTime, TwoDigitYearsAreReadAsWindowsReadsThem) {
    double date = 0.0;
    ASSERT_TRUE(toDate(at(99, 1, 1), date));
    EXPECT_EQ(date, 36161.0);  // 1999
    ASSERT_TRUE(toDate(at(5, 1, 1), date));
    EXPECT_EQ(date, 38353.0);  // 2005
}

TEST(SystemTimeToVariantTime, InvalidTimesFail) {
    double date = 0.0;
    EXPECT_FALSE(toDate(at(2000, 13, 1), date));
    EXPECT_FALSE(toDate(at(2000, 1, 32), date));
    EXPECT_FALSE(toDate(at(10000, 1, 1), date));
    EXPECT_EQ(date, -99999.0) << "a failed conversion must not write the date";
}

TEST(SystemTimeToVariantTime, OutOfRangeFieldsRollOver) {
    double date = 0.0;
    ASSERT_TRUE(toDate(at(2000, 1, 0), date));
    EXPECT_EQ(date, 36525.0);  // 31 December 1999
    ASSERT_TRUE(toDate(at(2001, 2, 30), date));
    EXPECT_EQ(date, 36952.0);  // 2 March 2001
    ASSERT_TRUE(toDate(at(2001, 0, 1), date));
    EXPECT_EQ(date, 36861.0);  // 1 December 2000
    ASSERT_TRUE(toDate(at(2001, 1, 1, 25), date));
    EXPECT_DOUBLE_EQ(date, 36893.0 + 1.0 / 24);
    ASSERT_TRUE(toDate(at(2001, 1, 1, 0, 0, 0, 1000), date));
    EXPECT_EQ(date, 36892.0);
}

TEST(SystemTimeToVariantTime, AllZeroTimeConvertsButNotToAFileTime) {
    // The all-zero timestamp of a reading a device did not supply is year 0 (2000), month 0 and
    // day 0, rolled back to 30 November 1999. Only the FILETIME conversion refuses it, so that
    // is the test for a missing timestamp.
    double date = 0.0;
    SYSTEMTIME zero{};
    ASSERT_TRUE(toDate(zero, date));
    EXPECT_EQ(date, 36494.0);
    FILETIME file{};
    EXPECT_FALSE(SystemTimeToFileTime(&zero, &file));
}

TEST(VariantTimeToSystemTime, BackToCalendarRoundedToTheSecond) {
    SYSTEMTIME st{};
    ASSERT_TRUE(VariantTimeToSystemTime(36526.5, &st));
    expectTime(st, 2000, 1, 1, 12, 0, 0, 0);
    EXPECT_EQ(st.wDayOfWeek, 6);

    ASSERT_TRUE(VariantTimeToSystemTime(-1.25, &st));
    expectTime(st, 1899, 12, 29, 6, 0, 0, 0);

    // 0.4 s after noon is noon; 0.6 s before midnight is the next day.
    ASSERT_TRUE(VariantTimeToSystemTime(36526.5 + 0.4 / 86400, &st));
    expectTime(st, 2000, 1, 1, 12, 0, 0, 0);
    ASSERT_TRUE(VariantTimeToSystemTime(36527.0 - 0.4 / 86400, &st));
    expectTime(st, 2000, 1, 2, 0, 0, 0, 0);

    EXPECT_FALSE(VariantTimeToSystemTime(2958466.0, &st));
    EXPECT_FALSE(VariantTimeToSystemTime(-657435.0, &st));
}

TEST(VariantTime, RoundTripsToTheSecond) {
    const SYSTEMTIME times[] = {at(2026, 3, 1, 12, 0, 0), at(2024, 2, 29, 23, 59, 59),
                                at(1900, 3, 1, 0, 0, 1), at(1850, 7, 14, 13, 45, 30)};
    for (const SYSTEMTIME& original : times) {
        double date = 0.0;
        ASSERT_TRUE(toDate(original, date));
        SYSTEMTIME back{};
        ASSERT_TRUE(VariantTimeToSystemTime(date, &back));
        expectTime(back, original.wYear, original.wMonth, original.wDay, original.wHour,
                   original.wMinute, original.wSecond, 0);
    }
}

TEST(SystemTimeToFileTime, KnownInstants) {
    FILETIME result{};
    SYSTEMTIME origin = at(1601, 1, 1);
    ASSERT_TRUE(SystemTimeToFileTime(&origin, &result));
    EXPECT_EQ(ticks(result), 0u);

    SYSTEMTIME noon = at(2000, 1, 1, 12, 0, 0, 500);
    noon.wDayOfWeek = 3;  // ignored
    ASSERT_TRUE(SystemTimeToFileTime(&noon, &result));
    EXPECT_EQ(ticks(result), 125912016005000000u);

    SYSTEMTIME leap = at(2000, 2, 29);
    EXPECT_TRUE(SystemTimeToFileTime(&leap, &result));
}

TEST(SystemTimeToFileTime, InvalidTimesFail) {
    std::vector<SYSTEMTIME> invalid = {
        SYSTEMTIME{},          at(2000, 13, 1),          at(2000, 0, 1),
        at(2000, 2, 30),       at(2001, 2, 30),          at(2000, 4, 31),
        at(2000, 1, 0),        at(1600, 12, 31),         at(2000, 1, 1, 24),
        at(2000, 1, 1, 0, 60), at(2000, 1, 1, 0, 0, 60), at(2000, 1, 1, 0, 0, 0, 1000),
    };
    // Wine takes the 29th of February of every year (it picks the leap-year table for any
    // February); Windows refuses it outside leap years.
    if (!movra::test::runningUnderWine()) {
        invalid.push_back(at(2001, 2, 29));
    }
    for (const SYSTEMTIME& st : invalid) {
        SCOPED_TRACE(std::to_string(st.wYear) + "-" + std::to_string(st.wMonth) + "-" +
                     std::to_string(st.wDay) + " " + std::to_string(st.wHour) + ":" +
                     std::to_string(st.wMinute) + ":" + std::to_string(st.wSecond) + "." +
                     std::to_string(st.wMilliseconds));
        FILETIME result{12345, 678};
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&st, &result));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

TEST(FileTimeToSystemTime, CalendarAndValidation) {
    SYSTEMTIME st{};
    FILETIME origin = fileTime(0);
    ASSERT_TRUE(FileTimeToSystemTime(&origin, &st));
    expectTime(st, 1601, 1, 1, 0, 0, 0, 0);
    EXPECT_EQ(st.wDayOfWeek, 1);  // a Monday

    FILETIME noon = fileTime(125912016005000000u);
    ASSERT_TRUE(FileTimeToSystemTime(&noon, &st));
    expectTime(st, 2000, 1, 1, 12, 0, 0, 500);
    EXPECT_EQ(st.wDayOfWeek, 6);

    FILETIME tooLate = fileTime(0x8000000000000000u);
    EXPECT_FALSE(FileTimeToSystemTime(&tooLate, &st));
}

TEST(FileTime, RoundTripsToTheMillisecond) {
    const SYSTEMTIME times[] = {at(2026, 12, 31, 23, 59, 59, 999), at(2024, 2, 29, 0, 0, 0, 1),
                                at(1601, 1, 1, 0, 0, 0, 1), at(30827, 12, 31, 23, 59, 59, 999)};
    for (const SYSTEMTIME& original : times) {
        FILETIME file{};
        ASSERT_TRUE(SystemTimeToFileTime(&original, &file));
        SYSTEMTIME back{};
        ASSERT_TRUE(FileTimeToSystemTime(&file, &back));
        expectTime(back, original.wYear, original.wMonth, original.wDay, original.wHour,
                   original.wMinute, original.wSecond, original.wMilliseconds);
    }
}

int64_t milliseconds(const SYSTEMTIME& st) {
    FILETIME file{};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &file));
    return static_cast<int64_t>(ticks(file) / 10000);
}

TEST(PcClock, SystemTimeAndFileTimeAgree) {
    // The SYSTEMTIME lies between two FILETIME readings (cut to its milliseconds), however long
    // the machine takes between them.
    FILETIME first{};
    GetSystemTimeAsFileTime(&first);
    SYSTEMTIME now{};
    GetSystemTime(&now);
    FILETIME last{};
    GetSystemTimeAsFileTime(&last);
    EXPECT_LE(static_cast<int64_t>(ticks(first) / 10000), milliseconds(now));
    EXPECT_LE(milliseconds(now), static_cast<int64_t>(ticks(last) / 10000));
    EXPECT_GE(now.wYear, 2024);
}

TEST(PcClock, TimeZoneBiasIsTheDifferenceOfUtcAndLocalTime) {
    TIME_ZONE_INFORMATION zone{};
    DWORD id = GetTimeZoneInformation(&zone);
    ASSERT_NE(id, TIME_ZONE_ID_INVALID);
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    GetSystemTime(&utc);
    GetLocalTime(&local);
    // UTC = local time + bias; the two readings are a few milliseconds apart at most.
    int64_t differenceMs = milliseconds(utc) - milliseconds(local);
    int64_t differenceMinutes = (differenceMs + (differenceMs >= 0 ? 30000 : -30000)) / 60000;
    LONG bias = zone.Bias;
    if (id == TIME_ZONE_ID_DAYLIGHT) {
        bias += zone.DaylightBias;
    } else if (id == TIME_ZONE_ID_STANDARD) {
        bias += zone.StandardBias;
    }
    EXPECT_EQ(differenceMinutes, bias);
}

}  // namespace
