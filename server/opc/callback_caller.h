// The thread on which every call into one client's sinks is made, in the order the calls were
// handed over. The notification pass hands it its calls and waits only so long for each: a client
// that never returns from a callback holds up its own groups and nothing else, and the pass goes
// on with the poll cycles and the other clients.
#pragma once

#include "platform/win.h"

#include <cstdint>
#include <functional>
#include <list>
#include <memory>

namespace movra {

class CallbackCaller {
public:
    using Call = std::function<HRESULT()>;
    // Calls are handed over in a list whose nodes are made beforehand, so that handing them over
    // cannot fail once the caller has decided what it tells the client.
    using Calls = std::list<Call>;

    // Runs the thread's body on a new thread, or throws when it cannot start one.
    using ThreadStarter = std::function<void(std::function<void()> body)>;

    // Without a starter, a std::thread is started.
    explicit CallbackCaller(ThreadStarter starter = {});
    // Tells the thread to end; a call still running finishes on its own first, and calls not yet
    // made are dropped (on the thread: they may hold a sink).
    ~CallbackCaller();
    CallbackCaller(const CallbackCaller&) = delete;
    CallbackCaller& operator=(const CallbackCaller&) = delete;

    // Starts the thread unless it runs; throws when it cannot be started.
    void start();
    // Queues the calls (the list is emptied) behind every call handed over earlier, for the thread
    // start() has started. The ticket of the last one; tickets count up from 1 in call order.
    uint64_t post(Calls& calls) noexcept;
    // Waits up to waitMs until the call with that ticket has returned; true when it has. A wait in
    // vain leaves the caller stalled until that call returns.
    bool wait(uint64_t ticket, uint32_t waitMs);
    // True once the call with that ticket has returned; what it wrote before is then visible.
    bool returned(uint64_t ticket) const;
    // True while a call waited for in vain has not returned: nothing more should be waited for.
    bool stalled() const;
    // Runs `then` on the thread once every call handed over has returned (at once when none is
    // outstanding); one such wish at a time, the last one given.
    void whenIdle(std::function<void()> then);

    // What the caller and its thread share; the thread keeps it while it runs.
    struct Shared;

private:
    ThreadStarter starter_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace movra
