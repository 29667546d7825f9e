// Time in tests that a busy machine cannot break. Load only ever lengthens what a test measures,
// so a lower bound stands as it is; an upper bound is either checked on the fastest of several
// tries (a regression slows every try, load only some), or replaced by a count of wait slices on
// a FakeClock, which no scheduling delay changes.
#pragma once

#include "tests/support/fake_clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace movra::test {

using Steady = std::chrono::steady_clock;

// The shortest of `rounds` runs of `run`, each timed on its own.
template <typename Run>
std::chrono::microseconds fastestOf(int rounds, Run run) {
    auto fastest = std::chrono::microseconds::max();
    for (int round = 0; round < rounds; ++round) {
        const Steady::time_point start = Steady::now();
        run();
        fastest = std::min(
            fastest, std::chrono::duration_cast<std::chrono::microseconds>(Steady::now() - start));
    }
    return fastest;
}

// A stop that comes from another thread while the code under test waits in slices on `clock`,
// and the slices it waits after that. Such code looks at its stop flag between two slices, so
// whenever either thread gets to run, at most the slice that was under way when the stop came
// follows it; code that misses the stop goes on slicing until its own time-out.
class StopProbe {
public:
    // Takes the clock's sleep hook: once the clock has reached `atMs`, `stop` runs on a thread of
    // its own.
    StopProbe(FakeClock& clock, uint64_t atMs, std::function<void()> stop);
    ~StopProbe();
    StopProbe(const StopProbe&) = delete;
    StopProbe& operator=(const StopProbe&) = delete;

    // Waits for the stopper thread and gives the clock's hook back. True when the stop was made.
    bool finish();
    uint64_t slicesAfterStop() const { return slicesAfter_.load(); }

private:
    FakeClock& clock_;
    std::mutex mutex_;
    std::condition_variable reached_;
    bool due_ = false;
    bool finished_ = false;
    std::atomic<bool> stopped_{false};
    std::atomic<uint64_t> slicesAfter_{0};
    std::thread stopper_;
};

}  // namespace movra::test
