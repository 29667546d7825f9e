// Timestamps as one number of 100-ns ticks since 1601, for tests that compare them.
#pragma once

#include "platform/win.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace movra::test {

inline uint64_t ticksOf(const FILETIME& time) {
    return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

inline uint64_t ticksOf(SYSTEMTIME time) {
    FILETIME file{};
    EXPECT_TRUE(SystemTimeToFileTime(&time, &file));
    return ticksOf(file);
}

// The system time now.
inline uint64_t nowTicks() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ticksOf(now);
}

}  // namespace movra::test
