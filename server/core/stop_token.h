// How the device layer and the poll cycle learn that the server is stopping: a view of a stop
// flag that its owner sets, handed to them instead of a process-wide question. A default token
// never stops.
#pragma once

#include "platform/win.h"

#include <atomic>

namespace movra {

class StopToken {
public:
    StopToken() = default;
    explicit StopToken(const std::atomic<LONG>& flag) : flag_(&flag) {}

    bool stopRequested() const { return flag_ != nullptr && flag_->load() != 0; }

private:
    const std::atomic<LONG>* flag_ = nullptr;
};

}  // namespace movra
