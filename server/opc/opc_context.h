// What the OPC objects of one server process share. The program makes one for the process; tests
// make their own, so they share no state.
#pragma once

#include "platform/clock.h"
#include "platform/win.h"
#include "server/core/server_state.h"

namespace movra {

class CMovraItem;

struct OpcContext {
    ServerState& state;
    platform::Clock& clock;
    // The revised update rate of every group.
    DWORD pollPeriodMs = 1000;
    CMovraItem* catalogue = nullptr;
};

// The current UTC time as the status record carries it.
FILETIME CurrentFileTime(platform::Clock& clock);

}  // namespace movra
