// The stand-in's time-zone rules from the TZ database, in the form Windows states them (the same
// values Wine reports for these zones). Native only: the zone is switched inside the process.
#include "platform/win.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace {

// Switches the process to another zone for one test and back afterwards.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            previous = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (previous) {
            setenv("TZ", previous->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<std::string> previous;
};

int currentMonth() {
    time_t now = time(nullptr);
    tm parts{};
    gmtime_r(&now, &parts);
    return parts.tm_mon + 1;
}

TEST(TimeZoneInformation, CentralEuropeHasItsYearlyRules) {
    ZoneScope zone("Europe/Berlin");
    TIME_ZONE_INFORMATION info{};
    DWORD id = GetTimeZoneInformation(&info);
    EXPECT_EQ(info.Bias, -60);
    EXPECT_EQ(info.StandardBias, 0);
    EXPECT_EQ(info.DaylightBias, -60);
    // Last Sunday of March at 02:00 standard time; last Sunday of October at 03:00 summer time.
    EXPECT_EQ(info.DaylightDate.wMonth, 3);
    EXPECT_EQ(info.DaylightDate.wDay, 5);
    EXPECT_EQ(info.DaylightDate.wDayOfWeek, 0);
    EXPECT_EQ(info.DaylightDate.wHour, 2);
    EXPECT_EQ(info.StandardDate.wMonth, 10);
    EXPECT_EQ(info.StandardDate.wDay, 5);
    EXPECT_EQ(info.StandardDate.wDayOfWeek, 0);
    EXPECT_EQ(info.StandardDate.wHour, 3);
    EXPECT_EQ(info.StandardDate.wYear, 0);
    // March and October hold a change; the other months are one or the other.
    int month = currentMonth();
    if (month >= 4 && month <= 9) {
        EXPECT_EQ(id, static_cast<DWORD>(TIME_ZONE_ID_DAYLIGHT));
    } else if (month != 3 && month != 10) {
        EXPECT_EQ(id, static_cast<DWORD>(TIME_ZONE_ID_STANDARD));
    }
}

TEST(TimeZoneInformation, ZoneWithoutDaylightSavingIsUnknown) {
    ZoneScope zone("Europe/Moscow");
    TIME_ZONE_INFORMATION info{};
    EXPECT_EQ(GetTimeZoneInformation(&info), static_cast<DWORD>(TIME_ZONE_ID_UNKNOWN));
    EXPECT_EQ(info.Bias, -180);
    EXPECT_EQ(info.StandardDate.wMonth, 0);
    EXPECT_EQ(info.DaylightDate.wMonth, 0);
}

TEST(TimeZoneInformation, HalfHourZoneWithSecondSundayRule) {
    ZoneScope zone("America/St_Johns");
    TIME_ZONE_INFORMATION info{};
    GetTimeZoneInformation(&info);
    EXPECT_EQ(info.Bias, 210);
    EXPECT_EQ(info.DaylightBias, -60);
    // Second Sunday of March and first Sunday of November, both at 02:00 local time.
    EXPECT_EQ(info.DaylightDate.wMonth, 3);
    EXPECT_EQ(info.DaylightDate.wDay, 2);
    EXPECT_EQ(info.DaylightDate.wHour, 2);
    EXPECT_EQ(info.StandardDate.wMonth, 11);
    EXPECT_EQ(info.StandardDate.wDay, 1);
    EXPECT_EQ(info.StandardDate.wHour, 2);
}

TEST(TimeZoneInformation, SouthernZoneSavesDaylightAroundNewYear) {
    ZoneScope zone("Australia/Sydney");
    TIME_ZONE_INFORMATION info{};
    GetTimeZoneInformation(&info);
    EXPECT_EQ(info.Bias, -600);
    EXPECT_EQ(info.DaylightBias, -60);
    // First Sunday of October at 02:00; first Sunday of April at 03:00 summer time.
    EXPECT_EQ(info.DaylightDate.wMonth, 10);
    EXPECT_EQ(info.DaylightDate.wDay, 1);
    EXPECT_EQ(info.DaylightDate.wHour, 2);
    EXPECT_EQ(info.StandardDate.wMonth, 4);
    EXPECT_EQ(info.StandardDate.wDay, 1);
    EXPECT_EQ(info.StandardDate.wHour, 3);
}

TEST(TimeZoneInformation, LocalTimeFollowsTheZone) {
    ZoneScope zone("Asia/Kolkata");
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    GetSystemTime(&utc);
    GetLocalTime(&local);
    int minutesUtc = utc.wHour * 60 + utc.wMinute;
    int minutesLocal = local.wHour * 60 + local.wMinute;
    int difference = ((minutesLocal - minutesUtc) % 1440 + 1440) % 1440;
    EXPECT_TRUE(difference == 330 || difference == 331) << difference;  // +05:30
    TIME_ZONE_INFORMATION info{};
    GetTimeZoneInformation(&info);
    EXPECT_EQ(info.Bias, -330);
}

}  // namespace
