// The real clock and the tests' fake clock.
#include "platform/clock.h"
#include "tests/support/fake_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using movra::test::FakeClock;

SYSTEMTIME at(int year, int month, int day, int hour, int minute, int second, int ms) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    st.wMilliseconds = static_cast<WORD>(ms);
    return st;
}

void expectTime(const SYSTEMTIME& st, int year, int month, int day, int hour, int minute,
                int second, int ms) {
    EXPECT_EQ(st.wYear, year);
    EXPECT_EQ(st.wMonth, month);
    EXPECT_EQ(st.wDay, day);
    EXPECT_EQ(st.wHour, hour);
    EXPECT_EQ(st.wMinute, minute);
    EXPECT_EQ(st.wSecond, second);
    EXPECT_EQ(st.wMilliseconds, ms);
}

TEST(RealClock, CountsWallTimeWhileTheProcessSleeps) {
    platform::Clock& clock = platform::realClock();
    // Measured inside a span of the C++ steady clock: a clock in other units, or one that also
    // counts something else, leaves the span however busy the machine is.
    const auto spanStart = std::chrono::steady_clock::now();
    uint64_t before = clock.nowMs();
    // A processor-time clock would stand still here. Windows may wake a sleeper up to one timer
    // tick (about 16 ms) early.
    clock.sleepMs(50);
    uint64_t after = clock.nowMs();
    const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - spanStart)
                          .count();
    EXPECT_GE(after - before, 30u);
    EXPECT_LE(after - before, static_cast<uint64_t>(span) + 16)
        << "steady clock: " << span << " ms";
    EXPECT_GE(clock.nowMs(), after);
}

TEST(RealClock, WallClockMatchesTheSystem) {
    platform::Clock& clock = platform::realClock();
    // Ours lies between two readings of the system's, however long the machine takes between them.
    SYSTEMTIME first{};
    GetSystemTime(&first);
    SYSTEMTIME ours = clock.systemTime();
    SYSTEMTIME last{};
    GetSystemTime(&last);
    auto ticks = [](const SYSTEMTIME& time) {
        FILETIME file{};
        EXPECT_TRUE(SystemTimeToFileTime(&time, &file));
        return (static_cast<uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
    };
    EXPECT_LE(ticks(first), ticks(ours));
    EXPECT_LE(ticks(ours), ticks(last));
    SYSTEMTIME local = clock.localTime();
    EXPECT_GE(local.wYear, 2024);
}

TEST(FakeClock, MovesOnlyByHandOrBySleeping) {
    FakeClock clock;
    EXPECT_EQ(clock.nowMs(), 0u);
    EXPECT_EQ(clock.nowMs(), 0u);
    clock.advanceMs(250);
    EXPECT_EQ(clock.nowMs(), 250u);
    clock.sleepMs(10000);  // returns at once
    EXPECT_EQ(clock.nowMs(), 10250u);
    EXPECT_EQ(clock.sleepCount(), 1u);
    EXPECT_EQ(clock.sleptMs(), 10000u);
}

TEST(FakeClock, WallClockFollowsAcrossDayAndMonth) {
    FakeClock clock(at(2026, 2, 28, 23, 59, 59, 500), 180);
    expectTime(clock.systemTime(), 2026, 2, 28, 23, 59, 59, 500);
    expectTime(clock.localTime(), 2026, 3, 1, 2, 59, 59, 500);
    clock.advanceMs(700);
    expectTime(clock.systemTime(), 2026, 3, 1, 0, 0, 0, 200);
    clock.setLocalOffsetMinutes(-60);
    expectTime(clock.localTime(), 2026, 2, 28, 23, 0, 0, 200);
    clock.setSystemTime(at(2027, 1, 1, 0, 0, 0, 0));
    EXPECT_EQ(clock.nowMs(), 700u);
    clock.sleepMs(1500);
    expectTime(clock.systemTime(), 2027, 1, 1, 0, 0, 1, 500);
}

TEST(FakeClock, SleepHookSeesEachNewTime) {
    FakeClock clock;
    std::vector<uint64_t> seen;
    clock.setSleepHook([&](uint64_t now) { seen.push_back(now); });
    for (int i = 0; i < 3; ++i) {
        clock.sleepMs(10);
    }
    EXPECT_EQ(seen, (std::vector<uint64_t>{10, 20, 30}));
}

TEST(FakeClock, ManyThreadsLoseNoTime) {
    FakeClock clock;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&clock] {
            for (int i = 0; i < 1000; ++i) {
                clock.sleepMs(1);
                clock.systemTime();
            }
        });
    }
    for (int i = 0; i < 1000; ++i) {
        clock.advanceMs(2);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(clock.nowMs(), 6000u);
    EXPECT_EQ(clock.sleepCount(), 4000u);
}

TEST(FakeClock, RefusesAnInvalidStart) {
    EXPECT_THROW(FakeClock(SYSTEMTIME{}), std::invalid_argument);
}

}  // namespace
