// The thread on which one client's data callbacks are made. The notification pass hands it a call
// and waits only so long for it: a client that never returns from a callback holds up its own
// groups and nothing else, and the pass goes on with the poll cycles and the other clients.
#pragma once

#include "platform/win.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace movra {

class CallbackCaller {
public:
    using Call = std::function<HRESULT()>;

    CallbackCaller();
    // Tells the thread to end; a call still running finishes on its own first.
    ~CallbackCaller();
    CallbackCaller(const CallbackCaller&) = delete;
    CallbackCaller& operator=(const CallbackCaller&) = delete;

    // True while a call handed over earlier has not returned.
    bool busy() const;
    // Makes the call on the thread (started at the first call) and waits up to waitMs for it:
    // its result, or nothing when it is still running. The call object is destroyed on the
    // thread once it has run. While busy() nothing is run and nothing is returned. Throws when no
    // thread can be started.
    std::optional<HRESULT> run(Call call, uint32_t waitMs);
    // Runs `then` on the thread once the call still running has returned (at once when none
    // runs); one such wish at a time, the last one given.
    void whenIdle(std::function<void()> then);

    // What the caller and its thread share; the thread keeps it while a call runs.
    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace movra
