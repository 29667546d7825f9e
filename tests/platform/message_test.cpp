// The thread message queue and thread timers as Windows defines them (stand-in natively, the real
// API under Wine). Each test runs on a fresh thread, so no queue or timer carries over.
#include "platform/handle_ptr.h"
#include "platform/win.h"
#include "tests/platform/under_wine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

using platform::UniqueHandle;
using SteadyClock = std::chrono::steady_clock;

constexpr UINT kWatchdogMessage = WM_USER + 99;

void onFreshThread(const std::function<void()>& body) {
    std::thread(body).join();
}

// Posts kWatchdogMessage to a thread that is still waiting after half a minute, so a timer that
// never fires fails the test instead of hanging it.
class Watchdog {
public:
    Watchdog() : stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        DWORD target = GetCurrentThreadId();
        thread_ = std::thread([this, target] {
            if (WaitForSingleObject(stop_.get(), 30000) == WAIT_TIMEOUT) {
                PostThreadMessageA(target, kWatchdogMessage, 0, 0);
            }
        });
    }
    ~Watchdog() {
        SetEvent(stop_.get());
        thread_.join();
    }

private:
    UniqueHandle stop_;
    std::thread thread_;
};

void ensureQueue() {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

TEST(ThreadMessages, PostingNeedsTheTargetThreadsQueue) {
    UniqueHandle started(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle makeQueue(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle queueMade(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::atomic<DWORD> threadId{0};
    MSG received{};
    std::thread target([&] {
        threadId = GetCurrentThreadId();
        SetEvent(started.get());
        WaitForSingleObject(makeQueue.get(), INFINITE);
        ensureQueue();
        SetEvent(queueMade.get());
        GetMessageA(&received, nullptr, 0, 0);
    });
    ASSERT_EQ(WaitForSingleObject(started.get(), 10000), WAIT_OBJECT_0);
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(threadId, WM_USER + 5, 1, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));

    SetEvent(makeQueue.get());
    ASSERT_EQ(WaitForSingleObject(queueMade.get(), 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(PostThreadMessageA(threadId, WM_USER + 5, 1, 2));
    target.join();
    EXPECT_EQ(received.message, static_cast<UINT>(WM_USER + 5));
    EXPECT_EQ(received.wParam, static_cast<WPARAM>(1));
    EXPECT_EQ(received.lParam, static_cast<LPARAM>(2));

    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(threadId, WM_USER + 5, 1, 2)) << "the thread has ended";
    // Wine reports a thread that has ended with ERROR_INVALID_PARAMETER.
    if (!movra::test::runningUnderWine()) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    }
}

TEST(ThreadMessages, PostedMessagesComeInOrderAndQuitEndsGetMessage) {
    onFreshThread([] {
        ensureQueue();
        const DWORD self = GetCurrentThreadId();
        ASSERT_TRUE(PostThreadMessageA(self, WM_USER + 1, 10, 0));
        ASSERT_TRUE(PostThreadMessageA(self, WM_USER + 2, 20, 0));
        ASSERT_TRUE(PostThreadMessageA(self, WM_QUIT, 0, 0));
        MSG msg{};
        EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));
        EXPECT_EQ(msg.wParam, static_cast<WPARAM>(10));
        EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 2));
        EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
        EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    });
}

// Whether a second period came due meanwhile can be told only when less than a period passed
// between the timer's message and the look after it; a round that a busy machine held up longer
// proves nothing and is run again.
TEST(ThreadTimers, PostedMessagesComeBeforeADueTimerAndMissedPeriodsGiveOneTimerMessage) {
    constexpr auto kPeriod = std::chrono::milliseconds(200);
    int decided = 0;
    for (int round = 0; round < 5 && decided == 0; ++round) {
        onFreshThread([&] {
            ensureQueue();
            const DWORD self = GetCurrentThreadId();
            UINT_PTR id = SetTimer(nullptr, 0, static_cast<UINT>(kPeriod.count()), nullptr);
            ASSERT_NE(id, 0u);
            // Two periods pass unserved; then two messages are posted.
            Sleep(450);
            ASSERT_TRUE(PostThreadMessageA(self, WM_USER + 1, 1, 0));
            ASSERT_TRUE(PostThreadMessageA(self, WM_USER + 2, 2, 0));
            MSG msg{};
            ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
            EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));
            ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
            EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 2));
            ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
            const auto timerCame = SteadyClock::now();
            EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
            EXPECT_EQ(msg.wParam, id);
            const bool more = PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
            if (SteadyClock::now() - timerCame < kPeriod) {
                ++decided;
                EXPECT_FALSE(more)
                    << "message " << msg.message << ": missed periods are not queued up";
            }
            EXPECT_TRUE(KillTimer(nullptr, id));
        });
    }
    EXPECT_EQ(decided, 1) << "every round was held up longer than a period";
}

TEST(ThreadTimers, ElapseZeroGivesATimerThatFiresAndRepeats) {
    onFreshThread([] {
        ensureQueue();
        Watchdog watchdog;
        UINT_PTR id = SetTimer(nullptr, 1000, 0, nullptr);
        ASSERT_NE(id, 0u);
        MSG msg{};
        for (int fired = 0; fired < 3; ++fired) {
            ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
            ASSERT_EQ(msg.message, static_cast<UINT>(WM_TIMER)) << "the timer never fired";
            EXPECT_EQ(msg.wParam, id);
        }
        EXPECT_TRUE(KillTimer(nullptr, id));
    });
}

TEST(ThreadTimers, TimersGetNewIdsAndKillTimerStopsThem) {
    onFreshThread([] {
        ensureQueue();
        // Without a window the id asked for is ignored unless it names a timer of the thread.
        UINT_PTR first = SetTimer(nullptr, 1000, 10, nullptr);
        UINT_PTR second = SetTimer(nullptr, 1000, 10, nullptr);
        EXPECT_NE(first, 0u);
        EXPECT_NE(second, 0u);
        EXPECT_NE(first, second);
        EXPECT_EQ(SetTimer(nullptr, first, 20, nullptr), first) << "replaces that timer";

        EXPECT_TRUE(KillTimer(nullptr, first));
        EXPECT_TRUE(KillTimer(nullptr, second));
        EXPECT_FALSE(KillTimer(nullptr, first)) << "already killed";

        // A timer killed while due delivers nothing.
        UINT_PTR third = SetTimer(nullptr, 0, 10, nullptr);
        ASSERT_NE(third, 0u);
        Sleep(40);
        EXPECT_TRUE(KillTimer(nullptr, third));
        MSG msg{};
        EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "message " << msg.message;
    });
}

TEST(ThreadTimers, PeekWithoutRemoveLeavesTheTimerDue) {
    onFreshThread([] {
        ensureQueue();
        UINT_PTR id = SetTimer(nullptr, 0, 10, nullptr);
        ASSERT_NE(id, 0u);
        Sleep(30);
        MSG msg{};
        ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
        ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
        EXPECT_EQ(msg.wParam, id);
        EXPECT_TRUE(KillTimer(nullptr, id));
    });
}

void signalFromThread(void* argument) {
    auto* event = static_cast<HANDLE*>(argument);
    SetEvent(*event);
}

TEST(BeginThread, RunsTheFunctionWithItsArgumentOnAnotherThread) {
    UniqueHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    HANDLE event = done.get();
    uintptr_t thread = _beginthread(signalFromThread, 0, &event);
    ASSERT_NE(thread, static_cast<uintptr_t>(-1));
    EXPECT_EQ(WaitForSingleObject(done.get(), 10000), WAIT_OBJECT_0);
}

}  // namespace
