// Server-wide state shared by the main thread, the poll thread and the COM threads.
#pragma once

#include "platform/win.h"

#include <atomic>
#include <mutex>

namespace movra {

inline constexpr UINT WM_POLL_REQUEST = 0x0400 + 1;
inline constexpr UINT WM_NOTIFY_CLIENTS = 0x0400 + 2;
inline constexpr size_t kClientSlots = 10;

class CMovraOPCServer;

// The flags are sequentially consistent atomics rather than integers under stateMutex; the orders
// that matter (pollRunning cleared before WM_NOTIFY_CLIENTS is posted, stopRequested set before the
// flags are awaited) follow from the order of the stores. stateMutex remains for updates that
// touch more than one field.
struct ServerState {
    std::mutex stateMutex;
    std::atomic<LONG> pollRunning{0};
    std::atomic<LONG> notifyRunning{0};
    std::atomic<LONG> stopRequested{0};
    std::atomic<DWORD> mainThreadId{0};
    LONG volatile clientCount = 0;
    LONG volatile serverLockCount = 0;
    std::atomic<CMovraOPCServer*> clients[kClientSlots] = {};
    HANDLE portMutex = nullptr;
};

ServerState& serverState();

// True once shutdown has begun; every wait of the poll thread looks at it.
bool IsStopRequested();

}  // namespace movra
