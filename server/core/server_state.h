// Server-wide state shared by the main thread, the poll thread and the COM threads.
#pragma once

#include "platform/win.h"
#include "server/core/client_directory.h"
#include "server/core/stop_token.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace movra {

inline constexpr UINT WM_POLL_REQUEST = 0x0400 + 1;
inline constexpr UINT WM_NOTIFY_CLIENTS = 0x0400 + 2;

// The flags and counts are sequentially consistent atomics rather than integers under stateMutex;
// the orders that matter (pollRunning cleared before WM_NOTIFY_CLIENTS is posted, stopRequested
// set before the flags are awaited) follow from the order of the stores. stateMutex remains for
// updates that touch more than one field.
struct ServerState {
    std::mutex stateMutex;
    std::atomic<LONG> pollRunning{0};
    std::atomic<LONG> notifyRunning{0};
    std::atomic<LONG> stopRequested{0};
    std::atomic<DWORD> mainThreadId{0};
    // The clients and the class factory's LockServer locks: while either counts one the server
    // stays. Changed through AddClient, RemoveClient and LockServerCount.
    ClientDirectory clients;
    std::atomic<LONG> serverLockCount{0};
    // Server objects created and locks taken so far: a client that came and went again between
    // two looks of the quit grace still shows here.
    std::atomic<uint32_t> arrivals{0};
    // The last cancel ID handed out; NextCancelId gives the next one.
    std::atomic<DWORD> lastCancelId{0};
    // Poll cycles begun and the last one ended, numbered from 1: an answer from the device is due
    // once a cycle begun after its request has ended.
    std::atomic<uint64_t> pollCyclesBegun{0};
    std::atomic<uint64_t> lastPollCycleEnded{0};
    // Signalled (under stateMutex) when a notification pass has cleared the device-read requests
    // of the servers it served.
    std::condition_variable deviceReadsServed;

    // The server object of a slot taken with clients.claim() was created (AddClient) or
    // destroyed (RemoveClient, which frees the slot); the new count of clients.
    LONG AddClient(uint32_t slot, const std::shared_ptr<ServerGroups>& groups) {
        ++arrivals;
        return clients.enter(slot, groups);
    }
    LONG RemoveClient(uint32_t slot) { return clients.leave(slot); }
    // IClassFactory::LockServer: true takes a lock, false gives one back; the new count. An
    // unbalanced unlock leaves 0: below it the server could never end.
    LONG LockServerCount(bool lock);
    // True while a server object or a server lock keeps the server from ending.
    bool IsServerInUse() const { return clients.count() != 0 || serverLockCount.load() != 0; }
    // Asks the main thread for a poll cycle as soon as possible; false when it cannot be asked.
    bool RequestPoll();
    // Asks the main thread for a notification pass that is not periodic (the one that answers
    // refreshes from the cache), unless the server is stopping.
    void RequestRefreshPass();
    // The poll thread around each cycle: the number BeginPollCycle gives is handed to EndPollCycle.
    uint64_t BeginPollCycle() { return ++pollCyclesBegun; }
    void EndPollCycle(uint64_t cycle) { lastPollCycleEnded = cycle; }
    // A cancel ID for an asynchronous request, unique across every group of the process (until
    // the 32 bits wrap); never 0.
    DWORD NextCancelId();
    // What the poll cycle and the device layer are handed to see a stop.
    StopToken stopToken() const { return StopToken(stopRequested); }
};

}  // namespace movra
