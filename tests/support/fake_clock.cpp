#include "tests/support/fake_clock.h"

#include <stdexcept>
#include <thread>

namespace movra::test {
namespace {

constexpr uint64_t kTicksPerMs = 10000;

uint64_t ticksOf(const SYSTEMTIME& time) {
    FILETIME file{};
    if (!SystemTimeToFileTime(&time, &file)) {
        throw std::invalid_argument("FakeClock: not a valid SYSTEMTIME");
    }
    return (static_cast<uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

SYSTEMTIME defaultStart() {
    SYSTEMTIME start{};
    start.wYear = 2026;
    start.wMonth = 3;
    start.wDay = 1;
    start.wHour = 12;
    return start;
}

}  // namespace

FakeClock::FakeClock() : FakeClock(defaultStart()) {}

FakeClock::FakeClock(const SYSTEMTIME& startUtc, int localOffsetMinutes)
    : wallBaseTicks(ticksOf(startUtc)), localOffset(localOffsetMinutes) {}

uint64_t FakeClock::nowMs() {
    std::lock_guard lock(mutex);
    return now;
}

void FakeClock::sleepMs(uint32_t milliseconds) {
    uint64_t reached = 0;
    std::function<void(uint64_t)> callback;
    {
        std::lock_guard lock(mutex);
        now += milliseconds;
        ++sleeps;
        slept += milliseconds;
        reached = now;
        callback = hook;
    }
    // Let other threads that poll the clock see the new time before the sleeper goes on.
    std::this_thread::yield();
    if (callback) {
        callback(reached);
    }
}

SYSTEMTIME FakeClock::systemTime() {
    return wallTime(0);
}

SYSTEMTIME FakeClock::localTime() {
    std::unique_lock lock(mutex);
    int offset = localOffset;
    lock.unlock();
    return wallTime(offset);
}

SYSTEMTIME FakeClock::wallTime(int64_t offsetMinutes) {
    uint64_t ticks = 0;
    {
        std::lock_guard lock(mutex);
        ticks = wallBaseTicks + now * kTicksPerMs;
    }
    ticks = static_cast<uint64_t>(static_cast<int64_t>(ticks) +
                                  offsetMinutes * 60 * 1000 * static_cast<int64_t>(kTicksPerMs));
    FILETIME file{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME result{};
    FileTimeToSystemTime(&file, &result);
    return result;
}

void FakeClock::advanceMs(uint64_t milliseconds) {
    std::lock_guard lock(mutex);
    now += milliseconds;
}

void FakeClock::setSystemTime(const SYSTEMTIME& utc) {
    uint64_t ticks = ticksOf(utc);
    std::lock_guard lock(mutex);
    wallBaseTicks = ticks - now * kTicksPerMs;
}

void FakeClock::setLocalOffsetMinutes(int minutes) {
    std::lock_guard lock(mutex);
    localOffset = minutes;
}

uint64_t FakeClock::sleepCount() {
    std::lock_guard lock(mutex);
    return sleeps;
}

uint64_t FakeClock::sleptMs() {
    std::lock_guard lock(mutex);
    return slept;
}

void FakeClock::setSleepHook(std::function<void(uint64_t)> callback) {
    std::lock_guard lock(mutex);
    hook = std::move(callback);
}

}  // namespace movra::test
