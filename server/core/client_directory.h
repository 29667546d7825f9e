// The one table of the server's clients: which of the ten slots are taken, and the group list of
// the server object in each.
#pragma once

#include "platform/win.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace movra {

inline constexpr size_t kClientSlots = 10;

class ServerGroups;

// The class factory claims a slot before it makes a server object; the object enters its group
// list once made, withdraws it when its end begins and leaves the slot when its end is done. The
// notification pass walks the group lists by slot instead of the server objects themselves: a list
// stays valid (closed and empty) after its server object is gone, so a client leaving during a
// pass is harmless. The count of entered objects keeps the server from ending.
class ClientDirectory {
public:
    // Takes the lowest free slot for a server object about to be made; none when all are taken.
    std::optional<uint32_t> claim();
    // The server object in `slot` is made: it counts from now on. The new count.
    LONG enter(uint32_t slot, const std::shared_ptr<ServerGroups>& groups);
    // The notification pass finds the slot's groups no more; the slot stays taken.
    void withdraw(uint32_t slot);
    // The slot is free again, uncounting its object if it had entered. The new count.
    LONG leave(uint32_t slot);
    std::shared_ptr<ServerGroups> at(uint32_t slot) const;
    // The server objects that have entered and not yet left.
    LONG count() const { return count_.load(); }

private:
    enum class Use : uint8_t { Free, Claimed, Entered };
    struct Slot {
        Use use = Use::Free;
        std::weak_ptr<ServerGroups> groups;
    };

    mutable std::mutex mutex_;
    std::array<Slot, kClientSlots> slots_;
    std::atomic<LONG> count_{0};
};

}  // namespace movra
