#include "platform/win.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;

// Windows raises shorter elapses to USER_TIMER_MINIMUM and caps longer ones.
constexpr UINT kTimerMinimumMs = 10;
constexpr UINT kTimerMaximumMs = 0x7FFFFFFF;
// Thread timer ids are handed out downwards from here, as Windows does.
constexpr UINT_PTR kFirstTimerId = 0x7FFF;
constexpr UINT_PTR kLowestTimerId = 0x100;

struct ThreadTimer {
    UINT_PTR id;
    std::chrono::milliseconds period;
    SteadyClock::time_point due;
    TIMERPROC proc;
};

struct MessageQueue {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<MSG> posted;
    std::vector<ThreadTimer> timers;
    UINT_PTR nextTimerId = kFirstTimerId;
};

std::mutex& queuesLock() {
    static std::mutex lock;
    return lock;
}

std::map<DWORD, std::shared_ptr<MessageQueue>>& queues() {
    static std::map<DWORD, std::shared_ptr<MessageQueue>> table;
    return table;
}

// The queue of the calling thread; it goes when the thread ends, and posting to that thread then
// fails as it does on Windows.
class ThreadQueue {
public:
    ThreadQueue() = default;
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;
    ~ThreadQueue() {
        if (!queue_) {
            return;
        }
        std::lock_guard guard(queuesLock());
        auto found = queues().find(threadId_);
        if (found != queues().end() && found->second == queue_) {
            queues().erase(found);
        }
    }

    MessageQueue& get() {
        if (!queue_) {
            queue_ = std::make_shared<MessageQueue>();
            threadId_ = GetCurrentThreadId();
            std::lock_guard guard(queuesLock());
            queues()[threadId_] = queue_;
        }
        return *queue_;
    }

private:
    std::shared_ptr<MessageQueue> queue_;
    DWORD threadId_ = 0;
};

MessageQueue& currentQueue() {
    thread_local ThreadQueue queue;
    return queue.get();
}

DWORD tickCount() {
    auto since = SteadyClock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

bool inFilter(UINT message, UINT filterMin, UINT filterMax) {
    if (filterMin == 0 && filterMax == 0) {
        return true;
    }
    return message >= filterMin && message <= filterMax;
}

// Takes the next message under queue.lock: posted messages first, then WM_TIMER of the timer due
// longest, as Windows orders them. Several elapsed periods of one timer give one WM_TIMER; the
// timer keeps its phase.
bool takeMessage(MessageQueue& queue, MSG* msg, UINT filterMin, UINT filterMax, bool remove) {
    for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
        if (inFilter(it->message, filterMin, filterMax)) {
            *msg = *it;
            if (remove) {
                queue.posted.erase(it);
            }
            return true;
        }
    }
    if (!inFilter(WM_TIMER, filterMin, filterMax) || queue.timers.empty()) {
        return false;
    }
    const auto now = SteadyClock::now();
    auto due = std::min_element(queue.timers.begin(), queue.timers.end(),
                                [](const auto& a, const auto& b) { return a.due < b.due; });
    if (due->due > now) {
        return false;
    }
    *msg = MSG{};
    msg->message = WM_TIMER;
    msg->wParam = due->id;
    msg->lParam = reinterpret_cast<LPARAM>(due->proc);
    msg->time = tickCount();
    if (remove) {
        auto missed = (now - due->due) / due->period;
        due->due += due->period * (missed + 1);
    }
    return true;
}

std::optional<SteadyClock::time_point> nextTimerDue(const MessageQueue& queue, UINT filterMin,
                                                    UINT filterMax) {
    if (!inFilter(WM_TIMER, filterMin, filterMax) || queue.timers.empty()) {
        return std::nullopt;
    }
    auto due = std::min_element(queue.timers.begin(), queue.timers.end(),
                                [](const auto& a, const auto& b) { return a.due < b.due; });
    return due->due;
}

}  // namespace

extern "C" BOOL GetMessageA(LPMSG msg, HWND hWnd, UINT filterMin, UINT filterMax) {
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (hWnd != nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    MessageQueue& queue = currentQueue();
    std::unique_lock guard(queue.lock);
    while (!takeMessage(queue, msg, filterMin, filterMax, true)) {
        auto due = nextTimerDue(queue, filterMin, filterMax);
        if (due) {
            queue.changed.wait_until(guard, *due);
        } else {
            queue.changed.wait(guard);
        }
    }
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

extern "C" BOOL PeekMessageA(LPMSG msg, HWND hWnd, UINT filterMin, UINT filterMax,
                             UINT removeFlags) {
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (hWnd != nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    MessageQueue& queue = currentQueue();
    std::lock_guard guard(queue.lock);
    return takeMessage(queue, msg, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0) ? TRUE
                                                                                         : FALSE;
}

extern "C" BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<MessageQueue> queue;
    {
        std::lock_guard guard(queuesLock());
        auto found = queues().find(threadId);
        if (found != queues().end()) {
            queue = found->second;
        }
    }
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    MSG msg{};
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = tickCount();
    {
        std::lock_guard guard(queue->lock);
        queue->posted.push_back(msg);
    }
    queue->changed.notify_all();
    return TRUE;
}

extern "C" BOOL TranslateMessage(const MSG*) {
    // Translation makes character messages from key messages; threads get none.
    return FALSE;
}

extern "C" LRESULT DispatchMessageA(const MSG* msg) {
    // Without windows only a timer with a callback has somewhere to go.
    if (msg != nullptr && msg->message == WM_TIMER && msg->lParam != 0) {
        auto proc = reinterpret_cast<TIMERPROC>(msg->lParam);
        proc(nullptr, WM_TIMER, msg->wParam, msg->time);
    }
    return 0;
}

extern "C" UINT_PTR SetTimer(HWND hWnd, UINT_PTR idEvent, UINT elapse, TIMERPROC timerFunc) {
    if (hWnd != nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    elapse = std::clamp(elapse, kTimerMinimumMs, kTimerMaximumMs);
    const std::chrono::milliseconds period(elapse);
    const auto due = SteadyClock::now() + period;
    MessageQueue& queue = currentQueue();
    std::lock_guard guard(queue.lock);
    auto used = [&queue](UINT_PTR id) {
        return std::any_of(queue.timers.begin(), queue.timers.end(),
                           [id](const ThreadTimer& timer) { return timer.id == id; });
    };
    // An id of one of the thread's timers replaces that timer; any other id is ignored and the
    // timer gets a new one.
    for (auto& timer : queue.timers) {
        if (idEvent != 0 && timer.id == idEvent) {
            timer.period = period;
            timer.due = due;
            timer.proc = timerFunc;
            return idEvent;
        }
    }
    if (queue.timers.size() >= kFirstTimerId - kLowestTimerId) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    UINT_PTR id;
    do {
        id = queue.nextTimerId;
        queue.nextTimerId = id - 1 <= kLowestTimerId ? kFirstTimerId : id - 1;
    } while (used(id));
    queue.timers.push_back({id, period, due, timerFunc});
    return id;
}

extern "C" BOOL KillTimer(HWND hWnd, UINT_PTR idEvent) {
    if (hWnd != nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    MessageQueue& queue = currentQueue();
    std::lock_guard guard(queue.lock);
    auto removed = std::erase_if(
        queue.timers, [idEvent](const ThreadTimer& timer) { return timer.id == idEvent; });
    if (removed == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

extern "C" uintptr_t _beginthread(void (*startAddress)(void*), unsigned, void* argument) {
    if (startAddress == nullptr) {
        errno = EINVAL;
        return static_cast<uintptr_t>(-1);
    }
    try {
        std::thread thread(startAddress, argument);
        auto handle = static_cast<uintptr_t>(thread.native_handle());
        thread.detach();
        return handle;
    } catch (...) {
        errno = EAGAIN;
        return static_cast<uintptr_t>(-1);
    }
}
