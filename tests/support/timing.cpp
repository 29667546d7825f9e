#include "tests/support/timing.h"

namespace movra::test {

StopProbe::StopProbe(FakeClock& clock, uint64_t atMs, std::function<void()> stop) : clock_(clock) {
    clock_.setSleepHook([this, atMs](uint64_t nowMs) {
        if (stopped_.load()) {
            slicesAfter_.fetch_add(1);
        } else if (nowMs >= atMs) {
            std::lock_guard lock(mutex_);
            due_ = true;
            reached_.notify_all();
        }
    });
    stopper_ = std::thread([this, stop = std::move(stop)] {
        std::unique_lock lock(mutex_);
        // A generous bound: only code that never waits at all leaves the stop unmade.
        reached_.wait_for(lock, std::chrono::seconds(60), [this] { return due_ || finished_; });
        if (due_ && !finished_) {
            lock.unlock();
            stop();
            stopped_.store(true);
        }
    });
}

StopProbe::~StopProbe() {
    finish();
}

bool StopProbe::finish() {
    {
        std::lock_guard lock(mutex_);
        // The code may have ended before the stop was due: no stop is made after it.
        finished_ = true;
        reached_.notify_all();
    }
    if (stopper_.joinable()) {
        stopper_.join();
    }
    clock_.setSleepHook(nullptr);
    return stopped_.load();
}

}  // namespace movra::test
