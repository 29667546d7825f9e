// The clock behind everything that waits or stamps, so tests can replace it with one they advance.
#pragma once

#include "platform/win.h"

#include <cstdint>

namespace platform {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds of a monotonic process clock (what the C runtime's clock() gives on Windows).
    virtual uint64_t nowMs() = 0;
    virtual void sleepMs(uint32_t milliseconds) = 0;
    // The PC clock as GetSystemTime (UTC) and GetLocalTime give it.
    virtual SYSTEMTIME systemTime() = 0;
    virtual SYSTEMTIME localTime() = 0;
};

// The real clock of the machine; lives for the whole process.
Clock& realClock();

}  // namespace platform
