#include "platform/clock.h"

namespace platform {
namespace {

class RealClock final : public Clock {
public:
    // GetTickCount64 does not wrap after 49 days as GetTickCount does; counted from the first
    // use, as clock() counts from the process start.
    uint64_t nowMs() override { return GetTickCount64() - origin; }
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
    const uint64_t origin = GetTickCount64();
};

}  // namespace

Clock& realClock() {
    static RealClock clock;
    return clock;
}

}  // namespace platform
