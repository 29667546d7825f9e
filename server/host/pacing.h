// The poll pacing of the main loop: what each timer tick or poll request leads to.
#pragma once

#include <cstdint>

namespace movra {

struct PacingTimes {
    uint32_t periodMs = 1000;  // the configured poll period
    uint32_t warmUpMs = 100;   // gap between the first cycle and the second
    uint32_t recheckMs = 500;  // look again this soon while a cycle runs
};

// The first tick starts a cycle at once (the caller starts it with the message loop); the next
// tick after it has ended arms a short warm-up timer; from then on every tick that finds no cycle
// running starts one and re-arms the full period, and a tick during a cycle re-checks soon.
class PollPacer {
public:
    struct Step {
        uint32_t timerMs;  // the timer to arm next
        bool startPoll;    // start a poll thread now
    };

    explicit PollPacer(PacingTimes times) : times_(times) {}

    Step onTick(bool pollRunning) {
        if (pollRunning) {
            return {times_.recheckMs, false};
        }
        if (warmedUp_) {
            return {times_.periodMs, true};
        }
        warmedUp_ = true;
        return {times_.warmUpMs, false};
    }

    bool warmedUp() const { return warmedUp_; }

private:
    PacingTimes times_;
    bool warmedUp_ = false;
};

}  // namespace movra
