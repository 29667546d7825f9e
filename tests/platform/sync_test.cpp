// Mutexes and events as Windows defines them; the same expectations hold for the stand-in and,
// under Wine, for the real API.
#include "platform/handle_ptr.h"
#include "platform/win.h"
#include "tools/support/child_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

namespace {

using platform::MutexGuard;
using platform::UniqueHandle;
using SteadyClock = std::chrono::steady_clock;

// Runs body on a thread of its own and hands back its result: a wait from a thread that does
// not own the mutex.
template <typename Body>
auto onOtherThread(Body body) {
    decltype(body()) result{};
    std::thread thread([&] { result = body(); });
    thread.join();
    return result;
}

DWORD tryFromOtherThread(HANDLE mutex) {
    return onOtherThread([mutex] {
        DWORD result = WaitForSingleObject(mutex, 0);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
            ReleaseMutex(mutex);
        }
        return result;
    });
}

std::string uniqueName(const char* what) {
    static std::atomic<int> counter{0};
    auto stamp = SteadyClock::now().time_since_epoch().count();
    return std::string("MovraTest_") + what + "_" + std::to_string(stamp) + "_" +
           std::to_string(counter++);
}

TEST(Mutex, IsRecursiveForItsOwnerAndExcludesOtherThreads) {
    UniqueHandle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    ASSERT_TRUE(mutex);
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex.get(), INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(tryFromOtherThread(mutex.get()), WAIT_TIMEOUT);

    EXPECT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(tryFromOtherThread(mutex.get()), WAIT_TIMEOUT) << "still owned once";
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(tryFromOtherThread(mutex.get()), WAIT_OBJECT_0);

    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(mutex.get())) << "one release more than waits";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
}

TEST(Mutex, ReleaseByAThreadThatDoesNotOwnItFailsAndChangesNothing) {
    UniqueHandle mutex(CreateMutexA(nullptr, TRUE, nullptr));
    ASSERT_TRUE(mutex);
    auto [released, error] = onOtherThread([&] {
        SetLastError(0);
        BOOL ok = ReleaseMutex(mutex.get());
        return std::pair<BOOL, DWORD>(ok, GetLastError());
    });
    EXPECT_FALSE(released);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_EQ(tryFromOtherThread(mutex.get()), WAIT_TIMEOUT) << "the initial owner still owns it";
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

TEST(Mutex, TimedWaitGivesUpAfterItsTimeAndAWaiterGetsItOnRelease) {
    UniqueHandle mutex(CreateMutexA(nullptr, TRUE, nullptr));
    ASSERT_TRUE(mutex);
    // The owner lets go only once the timed wait has given up, or after half a minute: a wait
    // that ignored its time would then get the mutex instead of the time-out.
    std::atomic<bool> returned{false};
    DWORD result = WAIT_FAILED;
    long long elapsedMs = 0;
    std::thread timed([&] {
        auto start = SteadyClock::now();
        result = WaitForSingleObject(mutex.get(), 60);
        elapsedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start)
                .count();
        if (result == WAIT_OBJECT_0) {
            ReleaseMutex(mutex.get());
        }
        returned = true;
    });
    for (auto deadline = SteadyClock::now() + std::chrono::seconds(30);
         !returned && SteadyClock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool gaveUpFirst = returned;
    if (!gaveUpFirst) {
        ReleaseMutex(mutex.get());
        WaitForSingleObject(mutex.get(), INFINITE);  // ours again for the rest of the test
    }
    timed.join();
    EXPECT_TRUE(gaveUpFirst);
    EXPECT_EQ(result, static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(elapsedMs, 45);  // Windows rounds waits to its timer tick

    UniqueHandle waiting(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::atomic<DWORD> waiterResult{WAIT_FAILED};
    std::thread waiter([&] {
        SetEvent(waiting.get());
        waiterResult = WaitForSingleObject(mutex.get(), 10000);
        if (waiterResult == WAIT_OBJECT_0) {
            ReleaseMutex(mutex.get());
        }
    });
    ASSERT_EQ(WaitForSingleObject(waiting.get(), 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
    waiter.join();
    EXPECT_EQ(waiterResult.load(), WAIT_OBJECT_0);
}

TEST(Mutex, AThreadEndingWithoutReleaseAbandonsItToTheNextWaiter) {
    UniqueHandle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    ASSERT_TRUE(mutex);
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0); }).join();

    EXPECT_EQ(WaitForSingleObject(mutex.get(), 1000), WAIT_ABANDONED) << "and it is ours now";
    EXPECT_EQ(tryFromOtherThread(mutex.get()), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0) << "abandoned only once";
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

TEST(NamedMutex, SecondHandleReportsTheExistingNameAndExcludesTheFirstHandlesOwner) {
    const std::string name = uniqueName("Threads");
    SetLastError(12345);
    UniqueHandle first(CreateMutexA(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(first);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    UniqueHandle second(CreateMutexA(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(second);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(first.get(), second.get());

    UniqueHandle taken(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::thread holder([&] {
        EXPECT_EQ(WaitForSingleObject(first.get(), INFINITE), WAIT_OBJECT_0);
        SetEvent(taken.get());
        WaitForSingleObject(release.get(), INFINITE);
        EXPECT_TRUE(ReleaseMutex(first.get()));
    });
    ASSERT_EQ(WaitForSingleObject(taken.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(second.get(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(second.get(), 30), WAIT_TIMEOUT);
    SetEvent(release.get());
    EXPECT_EQ(WaitForSingleObject(second.get(), 10000), WAIT_OBJECT_0);
    holder.join();

    // Ownership belongs to the thread, not to the handle it waited through.
    EXPECT_TRUE(ReleaseMutex(first.get()));
}

TEST(NamedMutex, InitialOwnershipIsIgnoredForAnExistingName) {
    const std::string name = uniqueName("Initial");
    UniqueHandle first(CreateMutexA(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(first);
    UniqueHandle second(CreateMutexA(nullptr, TRUE, name.c_str()));
    ASSERT_TRUE(second);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(tryFromOtherThread(first.get()), WAIT_OBJECT_0);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(second.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
}

TEST(NamedMutex, AThreadEndingWithoutReleaseAbandonsItToAnotherHandle) {
    const std::string name = uniqueName("Abandoned");
    UniqueHandle first(CreateMutexA(nullptr, FALSE, name.c_str()));
    UniqueHandle second(CreateMutexA(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(first.get(), 0), WAIT_OBJECT_0); }).join();
    EXPECT_EQ(WaitForSingleObject(second.get(), 1000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(second.get()));
    EXPECT_EQ(WaitForSingleObject(first.get(), 0), WAIT_OBJECT_0) << "abandoned only once";
    EXPECT_TRUE(ReleaseMutex(first.get()));
}

TEST(NamedMutex, TheNameIsForgottenWhenItsLastHandleCloses) {
    const std::string name = uniqueName("Closed");
    UniqueHandle first(CreateMutexA(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(first);
    UniqueHandle moved = std::move(first);
    EXPECT_FALSE(first);
    moved.reset();
    UniqueHandle again(CreateMutexA(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(again);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

// --- Another process -------------------------------------------------------------------------

std::string thisProgram() {
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

// The other side of the cross-process test: this program started again, running only the test
// below, which takes requests on its standard input and answers each with one line.
class MutexChild {
public:
    bool start() {
        process_.connectStandardStreams();
        return process_.start(thisProgram(),
                              {"--gtest_filter=NamedMutexChild.DISABLED_ServesRequests",
                               "--gtest_also_run_disabled_tests"});
    }

    std::string ask(const std::string& request) {
        if (!process_.writeLine(request)) {
            return "no child";
        }
        // The child's test framework writes lines of its own.
        while (auto line = process_.readLine()) {
            if (line->rfind("child: ", 0) == 0) {
                return line->substr(7);
            }
        }
        return "no answer";
    }

    std::optional<int> waitForExit() { return process_.wait(20000); }

private:
    toolsupport::ChildProcess process_;
};

TEST(NamedMutexChild, DISABLED_ServesRequests) {
    UniqueHandle mutex;
    std::string request;
    auto answer = [](const std::string& text) { std::cout << "child: " << text << std::endl; };
    while (std::getline(std::cin, request)) {
        if (!request.empty() && request.back() == '\r') {
            request.pop_back();
        }
        if (request.rfind("open ", 0) == 0) {
            mutex.reset(CreateMutexA(nullptr, FALSE, request.substr(5).c_str()));
            answer("opened " + std::to_string(mutex ? GetLastError() : 0xFFFFFFFFu));
        } else if (request == "take") {
            answer("took " + std::to_string(WaitForSingleObject(mutex.get(), 10000)));
        } else if (request == "try") {
            answer("tried " + std::to_string(WaitForSingleObject(mutex.get(), 0)));
        } else if (request == "release") {
            answer("released " + std::to_string(ReleaseMutex(mutex.get())));
        } else if (request == "exit") {
            // Ends the process still owning the mutex.
            std::cout.flush();
            std::_Exit(0);
        }
    }
}

TEST(NamedMutex, AnotherProcessHoldingItMakesWaitsTimeOutUntilItReleases) {
    const std::string name = uniqueName("Processes");
    UniqueHandle mutex(CreateMutexA(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(mutex);
    MutexChild child;
    ASSERT_TRUE(child.start());
    EXPECT_EQ(child.ask("open " + name), "opened " + std::to_string(ERROR_ALREADY_EXISTS));

    ASSERT_EQ(child.ask("take"), "took 0");
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 50), WAIT_TIMEOUT);
    EXPECT_EQ(child.ask("release"), "released 1");
    ASSERT_EQ(WaitForSingleObject(mutex.get(), 10000), WAIT_OBJECT_0);

    EXPECT_EQ(child.ask("try"), "tried " + std::to_string(WAIT_TIMEOUT));
    EXPECT_EQ(child.ask("release"), "released 0") << "the child does not own it";
    ASSERT_TRUE(ReleaseMutex(mutex.get()));

    // A process that ends owning the mutex abandons it; the wait that follows gets it.
    ASSERT_EQ(child.ask("take"), "took 0");
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_TIMEOUT);
    child.ask("exit");
    EXPECT_EQ(child.waitForExit(), std::optional<int>(0));
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 10000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

// --- Events ----------------------------------------------------------------------------------

TEST(Event, ManualResetStaysSignalledUntilReset) {
    UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 10), WAIT_TIMEOUT);
}

TEST(Event, AutoResetLetsExactlyOneWaitThrough) {
    UniqueHandle event(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    ASSERT_TRUE(event);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);

    std::atomic<int> through{0};
    std::atomic<int> started{0};
    UniqueHandle bothWaiting(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle onePassed(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    auto wait = [&] {
        if (++started == 2) {
            SetEvent(bothWaiting.get());
        }
        if (WaitForSingleObject(event.get(), 10000) == WAIT_OBJECT_0) {
            ++through;
            SetEvent(onePassed.get());
        }
    };
    std::thread a(wait);
    std::thread b(wait);
    ASSERT_EQ(WaitForSingleObject(bothWaiting.get(), 10000), WAIT_OBJECT_0);
    SetEvent(event.get());
    ASSERT_EQ(WaitForSingleObject(onePassed.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT) << "reset by the one let through";
    EXPECT_EQ(through.load(), 1);
    SetEvent(event.get());
    a.join();
    b.join();
    EXPECT_EQ(through.load(), 2);
}

// --- Ownership helpers -----------------------------------------------------------------------

TEST(MutexGuard, ReleasesAtTheEndOfItsScope) {
    UniqueHandle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    ASSERT_TRUE(mutex);
    {
        MutexGuard guard(mutex.get());
        EXPECT_TRUE(guard.owns());
        EXPECT_EQ(tryFromOtherThread(mutex.get()), WAIT_TIMEOUT);
    }
    EXPECT_EQ(tryFromOtherThread(mutex.get()), WAIT_OBJECT_0);
}

TEST(MutexGuard, OwnsAnAbandonedMutexAndReleasesIt) {
    UniqueHandle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    ASSERT_TRUE(mutex);
    std::thread([&] { WaitForSingleObject(mutex.get(), 0); }).join();
    {
        MutexGuard guard(mutex.get(), 1000);
        EXPECT_EQ(guard.waitResult(), WAIT_ABANDONED);
        EXPECT_TRUE(guard.owns());
    }
    EXPECT_EQ(tryFromOtherThread(mutex.get()), WAIT_OBJECT_0);
}

TEST(MutexGuard, ATimedOutGuardOwnsNothing) {
    UniqueHandle mutex(CreateMutexA(nullptr, TRUE, nullptr));
    ASSERT_TRUE(mutex);
    bool owned = onOtherThread([&] {
        MutexGuard guard(mutex.get(), 0);
        return guard.owns() || guard.waitResult() != WAIT_TIMEOUT;
    });
    EXPECT_FALSE(owned);
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

}  // namespace
