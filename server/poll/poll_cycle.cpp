#include "server/poll/poll_cycle.h"

#include "server/host/log.h"
#include "server/host/server_state.h"

namespace movra {

PollContext::PollContext(CMovraLog& log) : log_(log) {}

void PollContext::configure(const ServerConfiguration& configuration) {
    configuration_ = configuration;
}

// TODO(issue 4): identify, read, convert and publish each device; until then no device answers.
void PollContext::RunPollCycle() {
    log_.Write(logtext::kPollStart, 0, true);
    bool allOk = true;
    for (uint32_t i = 0; i < configuration_.deviceCount(); ++i) {
        if (IsStopRequested()) {
            log_.Write(logtext::kStoppedByClient, 2, false);
            return;
        }
        allOk = false;
    }
    if (allOk) {
        log_.Write(logtext::kOk, 2, false);
    } else if (!IsStopRequested()) {
        log_.Write(logtext::kNotAllAnswered, 2, false);
    }
}

}  // namespace movra
