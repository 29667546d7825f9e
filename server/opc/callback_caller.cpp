#include "server/opc/callback_caller.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace movra {

struct CallbackCaller::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    Call call;
    std::function<void()> whenIdle;
    bool pending = false;  // a call handed over and not yet returned
    bool started = false;
    bool stopping = false;
    uint64_t handedOver = 0;
    uint64_t finished = 0;
    HRESULT result = S_OK;
};

namespace {

void callerThread(std::shared_ptr<CallbackCaller::Shared> shared);

}  // namespace

CallbackCaller::CallbackCaller() : shared_(std::make_shared<Shared>()) {}

CallbackCaller::~CallbackCaller() {
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
    shared_->changed.notify_all();
}

bool CallbackCaller::busy() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->pending;
}

std::optional<HRESULT> CallbackCaller::run(Call call, uint32_t waitMs) {
    std::unique_lock lock(shared_->mutex);
    if (!shared_->started) {
        // Detached: it holds the shared state itself, so a client that is gone while its last
        // call still runs leaves nothing behind to wait for.
        std::thread(callerThread, shared_).detach();
        shared_->started = true;
    }
    if (shared_->pending) {
        return std::nullopt;  // never queued behind a call that may not return
    }
    shared_->call = std::move(call);
    shared_->pending = true;
    const uint64_t ticket = ++shared_->handedOver;
    shared_->changed.notify_all();
    if (!shared_->changed.wait_for(lock, std::chrono::milliseconds(waitMs),
                                   [&] { return shared_->finished >= ticket; })) {
        return std::nullopt;
    }
    return shared_->result;
}

void CallbackCaller::whenIdle(std::function<void()> then) {
    std::unique_lock lock(shared_->mutex);
    if (shared_->pending) {
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
        shared->changed.wait(lock, [&] { return shared->pending || shared->stopping; });
        if (!shared->pending) {
            break;
        }
        CallbackCaller::Call call = std::move(shared->call);
        lock.unlock();
        HRESULT result = E_FAIL;
        try {
            result = call();
        } catch (...) {
        }
        call = nullptr;  // the sink reference and the arrays go here, outside the lock
        lock.lock();
        shared->result = result;
        shared->pending = false;
        ++shared->finished;
        shared->changed.notify_all();
        if (std::function<void()> then = std::move(shared->whenIdle)) {
            shared->whenIdle = nullptr;
            lock.unlock();
            then();
            lock.lock();
        }
    }
    lock.unlock();
    CoUninitialize();
}

}  // namespace

}  // namespace movra
