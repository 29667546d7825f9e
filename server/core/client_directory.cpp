#include "server/core/client_directory.h"

namespace movra {

std::optional<uint32_t> ClientDirectory::claim() {
    std::lock_guard lock(mutex_);
    for (uint32_t slot = 0; slot < kClientSlots; ++slot) {
        if (slots_[slot].use == Use::Free) {
            slots_[slot].use = Use::Claimed;
            return slot;
        }
    }
    return std::nullopt;
}

LONG ClientDirectory::enter(uint32_t slot, const std::shared_ptr<ServerGroups>& groups) {
    if (slot >= kClientSlots) {
        return count_.load();
    }
    std::lock_guard lock(mutex_);
    Slot& entry = slots_[slot];
    entry.groups = groups;
    if (entry.use == Use::Entered) {
        return count_.load();
    }
    entry.use = Use::Entered;
    return ++count_;
}

void ClientDirectory::withdraw(uint32_t slot) {
    if (slot < kClientSlots) {
        std::lock_guard lock(mutex_);
        slots_[slot].groups.reset();
    }
}

LONG ClientDirectory::leave(uint32_t slot) {
    if (slot >= kClientSlots) {
        return count_.load();
    }
    std::lock_guard lock(mutex_);
    Slot& entry = slots_[slot];
    const bool entered = entry.use == Use::Entered;
    entry = Slot{};
    return entered ? --count_ : count_.load();
}

std::shared_ptr<ServerGroups> ClientDirectory::at(uint32_t slot) const {
    std::lock_guard lock(mutex_);
    return slot < kClientSlots ? slots_[slot].groups.lock() : nullptr;
}

}  // namespace movra
