#include "platform/clock.h"

#include <time.h>

namespace platform {
namespace {

// CLOCK_MONOTONIC: wall time that never steps back; the C runtime's clock() here would be the
// processor time of the process, which stands still while it sleeps.
uint64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

class RealClock final : public Clock {
public:
    // Counted from the first use, as the Windows clock() counts from the process start.
    uint64_t nowMs() override { return monotonicMs() - origin; }
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
    const uint64_t origin = monotonicMs();
};

}  // namespace

Clock& realClock() {
    static RealClock clock;
    return clock;
}

}  // namespace platform
