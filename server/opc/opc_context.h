// What the OPC objects of one server process share. The program makes one for the process; tests
// make their own, so they share no state.
#pragma once

#include "platform/clock.h"
#include "platform/win.h"
#include "server/core/server_state.h"
#include "server/opc/callback_caller.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

namespace movra {

class CMovraItem;
class ServerGroups;

// The group lists of the live server objects by client slot. The notification pass walks it
// instead of the server objects themselves: a list stays valid (closed and empty) after its
// server object is gone, so a client leaving during a pass is harmless.
class ClientDirectory {
public:
    void enter(uint32_t slot, const std::shared_ptr<ServerGroups>& groups);
    void leave(uint32_t slot, const ServerGroups* groups);
    std::shared_ptr<ServerGroups> at(uint32_t slot) const;

private:
    mutable std::mutex mutex_;
    std::array<std::weak_ptr<ServerGroups>, kClientSlots> slots_;
};

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
    mutable ClientDirectory clients;
};

// The current UTC time as the status record carries it.
FILETIME CurrentFileTime(platform::Clock& clock);

}  // namespace movra
