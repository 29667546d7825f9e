#include "server/core/server_state.h"

namespace movra {

ServerState& serverState() {
    static ServerState state;
    return state;
}

bool IsStopRequested() {
    return serverState().stopRequested.load() != 0;
}

LONG AddClient() {
    return ++serverState().clientCount;
}

LONG RemoveClient() {
    return --serverState().clientCount;
}

LONG LockServerCount(bool lock) {
    ServerState& state = serverState();
    return lock ? ++state.serverLockCount : --state.serverLockCount;
}

bool IsServerInUse() {
    const ServerState& state = serverState();
    return state.clientCount.load() != 0 || state.serverLockCount.load() != 0;
}

void ResetServerState() {
    ServerState& state = serverState();
    state.pollRunning = 0;
    state.notifyRunning = 0;
    state.stopRequested = 0;
    state.mainThreadId = 0;
    state.clientCount = 0;
    state.serverLockCount = 0;
    for (auto& client : state.clients) {
        client = nullptr;
    }
}

}  // namespace movra
