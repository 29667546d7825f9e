#include "server/opc/callback_caller.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace movra {

struct CallbackCaller::Shared {
    mutable std::mutex mutex;
    std::condition_variable changed;
    Calls queued;
    std::function<void()> whenIdle;
    bool started = false;
    bool stopping = false;
    uint64_t handedOver = 0;  // the ticket of the last call queued
    uint64_t finished = 0;    // the ticket of the last call returned
    uint64_t stalledOn = 0;   // a ticket waited for in vain
};

namespace {

void callerThread(std::shared_ptr<CallbackCaller::Shared> shared);

}  // namespace

CallbackCaller::CallbackCaller(ThreadStarter starter)
    : starter_(std::move(starter)), shared_(std::make_shared<Shared>()) {}

CallbackCaller::~CallbackCaller() {
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
    shared_->changed.notify_all();
}

void CallbackCaller::start() {
    std::lock_guard lock(shared_->mutex);
    if (!shared_->started) {
        // Detached: it holds the shared state itself, so a client that is gone while its last
        // call still runs leaves nothing behind to wait for.
        if (starter_) {
            starter_([shared = shared_] { callerThread(shared); });
        } else {
            std::thread(callerThread, shared_).detach();
        }
        shared_->started = true;
    }
}

uint64_t CallbackCaller::post(Calls& calls) noexcept {
    std::lock_guard lock(shared_->mutex);
    shared_->handedOver += calls.size();
    shared_->queued.splice(shared_->queued.end(), calls);
    shared_->changed.notify_all();
    return shared_->handedOver;
}

bool CallbackCaller::wait(uint64_t ticket, uint32_t waitMs) {
    std::unique_lock lock(shared_->mutex);
    if (shared_->changed.wait_for(lock, std::chrono::milliseconds(waitMs),
                                  [&] { return shared_->finished >= ticket; })) {
        return true;
    }
    shared_->stalledOn = std::max(shared_->stalledOn, ticket);
    return false;
}

bool CallbackCaller::returned(uint64_t ticket) const {
    std::lock_guard lock(shared_->mutex);
    return shared_->finished >= ticket;
}

bool CallbackCaller::stalled() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->finished < shared_->stalledOn;
}

void CallbackCaller::whenIdle(std::function<void()> then) {
    std::unique_lock lock(shared_->mutex);
    if (shared_->finished < shared_->handedOver) {
        shared_->whenIdle = std::move(then);
        return;
    }
    lock.unlock();
    then();
}

namespace {

void callerThread(std::shared_ptr<CallbackCaller::Shared> shared) {
    // The sink proxies are reached from the multithreaded apartment, as on the main thread.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->changed.wait(lock, [&] { return !shared->queued.empty() || shared->stopping; });
        if (shared->stopping) {
            break;
        }
        CallbackCaller::Calls next;
        next.splice(next.end(), shared->queued, shared->queued.begin());
        lock.unlock();
        try {
            next.front()();
        } catch (...) {
            // The call's own failure: the pass reads the outcome the call recorded, and an
            // exception records none, which it reports as a failed call.
        }
        next.clear();  // the sink reference and the arrays go here, outside the lock
        lock.lock();
        ++shared->finished;
        shared->changed.notify_all();
        if (shared->finished == shared->handedOver && shared->whenIdle) {
            std::function<void()> then = std::move(shared->whenIdle);
            shared->whenIdle = nullptr;
            lock.unlock();
            then();
            lock.lock();
        }
    }
    // Calls never made are dropped here, outside the lock: they may release sinks.
    CallbackCaller::Calls dropped;
    dropped.swap(shared->queued);
    lock.unlock();
    dropped.clear();
    CoUninitialize();
}

}  // namespace

}  // namespace movra
