// The poll cycle: one pass over every configured metering computer on the poll thread.
#pragma once

#include "common/config/config_file.h"

namespace movra {

class CMovraLog;

// Owns the device table for the life of the process.
class PollContext {
public:
    explicit PollContext(CMovraLog& log);

    void configure(const ServerConfiguration& configuration);

    // Returns when every device has been dealt with, or earlier on a stop.
    void RunPollCycle();

private:
    CMovraLog& log_;
    ServerConfiguration configuration_;
};

}  // namespace movra
