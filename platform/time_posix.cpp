// The time calls of the stand-in: the PC clock as SYSTEMTIME and FILETIME, the conversions with
// the validation Windows applies, OLE dates, and the time zone from the TZ database.
#include "platform/win.h"

#include <time.h>

#include <cmath>
#include <cstring>

namespace {

constexpr int64_t kTicksPerSecond = 10000000;  // FILETIME counts 100 ns
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kMaxFileTime = 0x7FFFFFFFFFFFFFFF;
constexpr double kDateMin = -657434.0;  // 1 January 100
constexpr double kDateMax = 2958465.0;  // 31 December 9999

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1 January 1970 of a proleptic Gregorian date, and back.
int64_t daysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t yearOfEra = year - era * 400;
    int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void civilFromDays(int64_t days, SYSTEMTIME& st) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t dayOfEra = days - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t mp = (5 * dayOfYear + 2) / 153;
    int day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    st.wYear = static_cast<WORD>(yearOfEra + era * 400 + (month <= 2));
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
}

// 1 January 1970 was a Thursday.
WORD dayOfWeek(int64_t daysFrom1970) {
    return static_cast<WORD>(((daysFrom1970 % 7) + 7 + 4) % 7);
}

const int64_t kDays1601To1970 = -daysFromCivil(1601, 1, 1);
const int64_t kDays1899To1970 = -daysFromCivil(1899, 12, 30);

void fillFromTm(const tm& parts, long nanoseconds, SYSTEMTIME& st) {
    st.wYear = static_cast<WORD>(parts.tm_year + 1900);
    st.wMonth = static_cast<WORD>(parts.tm_mon + 1);
    st.wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    st.wDay = static_cast<WORD>(parts.tm_mday);
    st.wHour = static_cast<WORD>(parts.tm_hour);
    st.wMinute = static_cast<WORD>(parts.tm_min);
    st.wSecond = static_cast<WORD>(parts.tm_sec > 59 ? 59 : parts.tm_sec);
    st.wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
}

void copyName(const char* name, WCHAR* target) {
    size_t i = 0;
    for (; name != nullptr && name[i] != '\0' && i < 31; ++i) {
        target[i] = static_cast<WCHAR>(static_cast<unsigned char>(name[i]));
    }
    target[i] = 0;
}

long offsetAt(time_t when, bool* daylight = nullptr) {
    tm parts{};
    localtime_r(&when, &parts);
    if (daylight != nullptr) {
        *daylight = parts.tm_isdst > 0;
    }
    return parts.tm_gmtoff;
}

// The moment in (from, to] at which the offset or the daylight flag changes, assuming one change.
time_t findChange(time_t from, time_t to) {
    bool daylightFrom = false;
    long offsetFrom = offsetAt(from, &daylightFrom);
    while (to - from > 1) {
        time_t middle = from + (to - from) / 2;
        bool daylight = false;
        long offset = offsetAt(middle, &daylight);
        if (offset == offsetFrom && daylight == daylightFrom) {
            from = middle;
        } else {
            to = middle;
        }
    }
    return to;
}

// A yearly rule as Windows states it: month, week of the month (5 = the last), day of the week
// and the local time of the change in the time that is in force before it.
SYSTEMTIME ruleOf(time_t change, long offsetBefore) {
    int64_t local = static_cast<int64_t>(change) + offsetBefore;
    int64_t days =
        local >= 0 ? local / kSecondsPerDay : (local - kSecondsPerDay + 1) / kSecondsPerDay;
    int64_t seconds = local - days * kSecondsPerDay;
    SYSTEMTIME st{};
    civilFromDays(days, st);
    int week = (st.wDay - 1) / 7 + 1;
    if (st.wDay + 7 > daysInMonth(st.wYear, st.wMonth)) {
        week = 5;
    }
    st.wDayOfWeek = dayOfWeek(days);
    st.wDay = static_cast<WORD>(week);
    st.wYear = 0;
    st.wHour = static_cast<WORD>(seconds / 3600);
    st.wMinute = static_cast<WORD>(seconds / 60 % 60);
    st.wSecond = static_cast<WORD>(seconds % 60);
    st.wMilliseconds = 0;
    return st;
}

}  // namespace

extern "C" void GetSystemTime(LPSYSTEMTIME systemTime) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    fillFromTm(parts, now.tv_nsec, *systemTime);
}

extern "C" void GetLocalTime(LPSYSTEMTIME localTime) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    localtime_r(&now.tv_sec, &parts);
    fillFromTm(parts, now.tv_nsec, *localTime);
}

extern "C" void GetSystemTimeAsFileTime(LPFILETIME fileTime) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    int64_t ticks =
        (static_cast<int64_t>(now.tv_sec) + kDays1601To1970 * kSecondsPerDay) * kTicksPerSecond +
        now.tv_nsec / 100;
    fileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    fileTime->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
}

extern "C" BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME fileTime) {
    // Windows checks every field (the day of the week is ignored) and takes years 1601..30827.
    if (st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 ||
        st->wDay < 1 || st->wDay > daysInMonth(st->wYear, st->wMonth) || st->wHour > 23 ||
        st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t days = daysFromCivil(st->wYear, st->wMonth, st->wDay) + kDays1601To1970;
    int64_t seconds = days * kSecondsPerDay + st->wHour * 3600 + st->wMinute * 60 + st->wSecond;
    int64_t ticks = seconds * kTicksPerSecond + st->wMilliseconds * int64_t{10000};
    fileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    fileTime->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    return TRUE;
}

extern "C" BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME st) {
    uint64_t ticks =
        (static_cast<uint64_t>(fileTime->dwHighDateTime) << 32) | fileTime->dwLowDateTime;
    if (ticks > static_cast<uint64_t>(kMaxFileTime)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t seconds = static_cast<int64_t>(ticks / kTicksPerSecond);
    int64_t days = seconds / kSecondsPerDay;
    int64_t secondOfDay = seconds % kSecondsPerDay;
    civilFromDays(days - kDays1601To1970, *st);
    st->wDayOfWeek = dayOfWeek(days - kDays1601To1970);
    st->wHour = static_cast<WORD>(secondOfDay / 3600);
    st->wMinute = static_cast<WORD>(secondOfDay / 60 % 60);
    st->wSecond = static_cast<WORD>(secondOfDay % 60);
    st->wMilliseconds = static_cast<WORD>(ticks % kTicksPerSecond / 10000);
    return TRUE;
}

// OLE dates count days from 30 December 1899; the fraction is the time of day whatever the sign
// (-1.25 is 29 December 1899, 06:00). As oleaut32 does, this reads years 0..29 as 2000..2029 and
// 30..99 as 1930..1999, rolls a month 0 or a day 0 back and larger days (up to 31), hours, minutes
// and seconds forward, and ignores the milliseconds. So even the all-zero SYSTEMTIME converts
// (to 30 November 1999); only a month above 12, a day above 31 or a year above 9999 fail.
extern "C" INT SystemTimeToVariantTime(LPSYSTEMTIME st, DOUBLE* variantTime) {
    if (st->wMonth > 12 || st->wDay > 31 || st->wYear > 9999) {
        return FALSE;
    }
    int64_t year = st->wYear;
    if (year < 30) {
        year += 2000;
    } else if (year < 100) {
        year += 1900;
    }
    int month = st->wMonth;
    if (month == 0) {
        month = 12;
        --year;
    }
    // Day 0 is the last day of the month before; days past the month's end run into the next.
    int64_t days = daysFromCivil(year, month, 1) + kDays1899To1970 + (int64_t{st->wDay} - 1);
    int64_t seconds = int64_t{st->wHour} * 3600 + int64_t{st->wMinute} * 60 + st->wSecond;
    days += seconds / kSecondsPerDay;
    seconds %= kSecondsPerDay;
    double fraction = static_cast<double>(seconds) / kSecondsPerDay;
    double date =
        days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
    if (days < kDateMin || days > kDateMax) {
        return FALSE;
    }
    *variantTime = date;
    return TRUE;
}

// Back to a SYSTEMTIME rounded to the nearest second, with no milliseconds, as Windows does.
extern "C" INT VariantTimeToSystemTime(DOUBLE variantTime, LPSYSTEMTIME st) {
    if (std::isnan(variantTime) || variantTime <= kDateMin - 1.0 || variantTime >= kDateMax + 1.0) {
        return FALSE;
    }
    double whole = std::trunc(variantTime);
    int64_t days = static_cast<int64_t>(whole);
    int64_t seconds = std::llround(std::fabs(variantTime - whole) * kSecondsPerDay);
    if (seconds >= kSecondsPerDay) {
        seconds -= kSecondsPerDay;
        ++days;
    }
    int64_t from1970 = days - kDays1899To1970;
    civilFromDays(from1970, *st);
    st->wDayOfWeek = dayOfWeek(from1970);
    st->wHour = static_cast<WORD>(seconds / 3600);
    st->wMinute = static_cast<WORD>(seconds / 60 % 60);
    st->wSecond = static_cast<WORD>(seconds % 60);
    st->wMilliseconds = 0;
    return TRUE;
}

// Bias is the standard offset (UTC = local + Bias, in minutes); a zone with daylight saving also
// gets the two yearly rules of the current year and DaylightBias, from the TZ database.
extern "C" DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION information) {
    tzset();
    std::memset(information, 0, sizeof *information);
    time_t now = time(nullptr);
    tm parts{};
    localtime_r(&now, &parts);
    int year = parts.tm_year + 1900;
    time_t start = static_cast<time_t>(daysFromCivil(year, 1, 1) * kSecondsPerDay);
    time_t end = static_cast<time_t>(daysFromCivil(year + 1, 1, 1) * kSecondsPerDay);

    bool nowDaylight = parts.tm_isdst > 0;
    long standardOffset = parts.tm_gmtoff;
    long daylightOffset = parts.tm_gmtoff;
    time_t toDaylight = 0;
    time_t toStandard = 0;
    // Walk the year a day at a time and pin each change of the daylight flag to the second.
    bool previousDaylight = false;
    offsetAt(start, &previousDaylight);
    for (time_t day = start; day <= end; day += kSecondsPerDay) {
        bool daylight = false;
        long offset = offsetAt(day, &daylight);
        (daylight ? daylightOffset : standardOffset) = offset;
        if (daylight != previousDaylight) {
            (daylight ? toDaylight : toStandard) = findChange(day - kSecondsPerDay, day);
            previousDaylight = daylight;
        }
    }
    copyName(tzname[0], information->StandardName);
    copyName(tzname[1], information->DaylightName);
    information->Bias = static_cast<LONG>(-standardOffset / 60);
    if (toDaylight == 0 || toStandard == 0) {
        // No daylight saving this year: the current offset is the whole story.
        information->Bias = static_cast<LONG>(-parts.tm_gmtoff / 60);
        return TIME_ZONE_ID_UNKNOWN;
    }
    information->DaylightBias = static_cast<LONG>(-(daylightOffset - standardOffset) / 60);
    information->DaylightDate = ruleOf(toDaylight, standardOffset);
    information->StandardDate = ruleOf(toStandard, daylightOffset);
    return nowDaylight ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}
