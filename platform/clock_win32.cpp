#include "platform/clock.h"

#include <mmsystem.h>

namespace platform {
namespace {

// The performance counter: monotonic and exact to the millisecond. GetTickCount64 moves in steps
// of 10 to 16 ms, and under Wine it may lag further behind.
uint64_t counterMs() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER value{};
        QueryPerformanceFrequency(&value);
        return static_cast<uint64_t>(value.QuadPart);
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    uint64_t count = static_cast<uint64_t>(now.QuadPart);
    return count / frequency * 1000u + count % frequency * 1000u / frequency;
}

class RealClock final : public Clock {
public:
    // Windows sleeps in steps of the system timer, 15.6 ms by default: the 1 to 16 ms pauses
    // before each request frame would cost a whole step each. One millisecond is asked for the
    // life of the process.
    RealClock() { timeBeginPeriod(1); }

    // Counted from the first use, as clock() counts from the process start.
    uint64_t nowMs() override { return counterMs() - origin; }
    void sleepMs(uint32_t milliseconds) override { Sleep(milliseconds); }
    SYSTEMTIME systemTime() override {
        SYSTEMTIME now{};
        GetSystemTime(&now);
        return now;
    }
    SYSTEMTIME localTime() override {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        return now;
    }

private:
    const uint64_t origin = counterMs();
};

}  // namespace

Clock& realClock() {
    static RealClock clock;
    return clock;
}

}  // namespace platform
