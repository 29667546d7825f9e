#include "server/core/server_state.h"

namespace movra {

LONG ServerState::LockServerCount(bool lock) {
    if (lock) {
        ++arrivals;
        return ++serverLockCount;
    }
    LONG current = serverLockCount.load();
    while (current > 0 && !serverLockCount.compare_exchange_weak(current, current - 1)) {
    }
    return current > 0 ? current - 1 : 0;
}

bool ServerState::RequestPoll() {
    return PostThreadMessageA(mainThreadId.load(), WM_POLL_REQUEST, 0, 0) != FALSE;
}

void ServerState::RequestRefreshPass() {
    if (stopRequested.load() == 0) {
        PostThreadMessageA(mainThreadId.load(), WM_NOTIFY_CLIENTS, 0, 0);
    }
}

DWORD ServerState::NextCancelId() {
    DWORD current = lastCancelId.load();
    DWORD next;
    do {
        next = current + 1 == 0 ? 1 : current + 1;
    } while (!lastCancelId.compare_exchange_weak(current, next));
    return next;
}

}  // namespace movra
