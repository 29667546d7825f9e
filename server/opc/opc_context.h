// What the OPC objects of one server process share. The program makes one for the process; tests
// make their own, so they share no state.
#pragma once

#include "platform/clock.h"
#include "platform/win.h"
#include "server/core/server_state.h"
#include "server/opc/callback_caller.h"

#include <cstdint>

namespace movra {

class CMovraItem;

struct OpcContext {
    ServerState& state;
    platform::Clock& clock;
    // The revised update rate of every group.
    DWORD pollPeriodMs = 1000;
    CMovraItem* catalogue = nullptr;
    // How long a synchronous read from the device waits for the poll cycle and its pass.
    uint32_t deviceReadTimeoutMs = 10000;
    // How long the notification pass waits for one client's callback before it moves on and
    // leaves that client out until the call returns.
    uint32_t callbackWaitMs = 2000;
    // A pass answers a group's transactions while their entries stay below this (about 36 MB of
    // arrays), and at least one; the rest go in a pass asked for at once.
    size_t answerEntriesPerPass = size_t{1} << 20;
    // Starts a client's callback thread; empty: a std::thread.
    CallbackCaller::ThreadStarter startCallbackThread;
};

// The current UTC time as the status record carries it.
FILETIME CurrentFileTime(platform::Clock& clock);

}  // namespace movra
