// A clock for tests of time-outs and pacing that must not wait in real time.
//
// Time moves only when a test calls advanceMs() or when the code under test calls sleepMs():
// sleepMs(n) does not wait; it moves the time forward by n milliseconds at once, counts the call,
// yields the processor and then calls the sleep hook, if any, with the new time. nowMs() starts at
// 0. systemTime() is the start time (UTC) plus the milliseconds that have passed; localTime() is
// that plus the local offset. All members may be called from any thread at the same time.
#pragma once

#include "platform/clock.h"

#include <cstdint>
#include <functional>
#include <mutex>

namespace movra::test {

class FakeClock final : public platform::Clock {
public:
    // Starts on 1 March 2026 at 12:00:00.000 UTC, local time equal to UTC.
    FakeClock();
    explicit FakeClock(const SYSTEMTIME& startUtc, int localOffsetMinutes = 0);

    uint64_t nowMs() override;
    void sleepMs(uint32_t milliseconds) override;
    SYSTEMTIME systemTime() override;
    SYSTEMTIME localTime() override;

    void advanceMs(uint64_t milliseconds);
    // Moves the wall clock (as a user setting the PC clock would); nowMs() does not change.
    void setSystemTime(const SYSTEMTIME& utc);
    void setLocalOffsetMinutes(int minutes);

    uint64_t sleepCount();
    uint64_t sleptMs();

    // Called after every sleepMs() with the time it reached, outside the clock's lock, so a test
    // can act at a given moment (post a message, add a client). Set it before the code runs.
    void setSleepHook(std::function<void(uint64_t nowMs)> hook);

private:
    SYSTEMTIME wallTime(int64_t offsetMinutes);

    std::mutex mutex;
    uint64_t now = 0;
    uint64_t wallBaseTicks = 0;  // FILETIME of the wall clock at now == 0
    int localOffset = 0;
    uint64_t sleeps = 0;
    uint64_t slept = 0;
    std::function<void(uint64_t)> hook;
};

}  // namespace movra::test
