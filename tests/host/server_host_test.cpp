#include "server/host/server_host.h"

#include "platform/codepage.h"
#include "server/core/log.h"
#include "server/core/server_state.h"
#include "tests/support/fake_clock.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace movra {
namespace {

using Clock = std::chrono::steady_clock;
using test::FakeClock;
using test::TempDir;

int64_t msSince(Clock::time_point start, Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t - start).count();
}

std::string cp1251(const char* utf8) {
    return platform::utf8ToCp1251(utf8);
}

// Drops the leading time line "dd.mm.yyг.  hh:mm:ss\r\n" of every entry, leaving the texts.
std::string withoutTimeLines(const std::string& log) {
    std::string out;
    size_t pos = 0;
    while (pos < log.size()) {
        size_t end = log.find("\r\n", pos);
        std::string line =
            log.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        bool timeLine = line.size() == 20 && line[2] == '.' && line[5] == '.' &&
                        static_cast<unsigned char>(line[8]) == 0xE3 && line[9] == '.';
        if (!timeLine) {
            out += line;
            if (end != std::string::npos) {
                out += "\r\n";
            }
        }
        if (end == std::string::npos) {
            break;
        }
        pos = end + 2;
    }
    return out;
}

// Runs a ServerHost on a thread of its own, the way the program's main thread runs it.
class HostRun {
public:
    explicit HostRun(HostTimes times, uint32_t cycleMs = 20,
                     platform::Clock& clock = platform::realClock())
        : times_(times), cycleMs_(cycleMs), clock_(clock) {}

    ~HostRun() {
        if (thread_.joinable()) {
            PostThreadMessageA(mainThread_, WM_QUIT, 0, 0);
            thread_.join();
        }
    }

    void writeConfiguration(uint32_t periodSec) {
        std::string bytes("\x71\x3D\x8A\x3F", 4);
        bytes.append("\0\0\0\0", 4);
        bytes.push_back(static_cast<char>(periodSec & 0xFF));
        bytes.append("\0\0\0", 3);
        test::WriteFileBytes(dir.file("MovraOPCServer.ini"), bytes);
    }

    void start(HostHooks hooks = {}) {
        std::promise<void> ready;
        auto readyFuture = ready.get_future();
        hooks.configured = [&ready, this](const ServerConfiguration&) {
            mainThread_ = GetCurrentThreadId();
            ready.set_value();
        };
        if (!hooks.runPollCycle) {
            hooks.runPollCycle = [this](HANDLE) { recordCycle(); };
        }
        if (!hooks.notifyClients) {
            hooks.notifyClients = [this](WPARAM periodic) {
                std::lock_guard lock(mutex_);
                notifications_.push_back(periodic);
                changed_.notify_all();
            };
        }
        host_ = std::make_unique<ServerHost>(log_, state, std::move(hooks), times_, clock_);
        thread_ = std::thread([this] {
            exitCode_ = host_->runServer(commandLine.c_str(), dir.file("MovraOPCServer.exe"));
            endedAtMs_ = clock_.nowMs();
            finished_ = true;
        });
        ASSERT_EQ(readyFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    }

    std::string commandLine;  // as COM or the operator started the program

    void post(UINT message, WPARAM wParam = 0) {
        ASSERT_TRUE(PostThreadMessageA(mainThread_, message, wParam, 0));
    }

    // Waits until `count` cycles have started; false on a time-out.
    bool waitForCycles(size_t count, int timeoutMs = 10000) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return starts_.size() >= count && ends_.size() >= count - 1;
        });
    }

    bool waitForEnds(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return ends_.size() >= count; });
    }

    bool waitForNotifications(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return notifications_.size() >= count; });
    }

    // Waits for the host to return; its exit code, or -100 on a time-out.
    int join(int timeoutMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!finished_ && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!finished_) {
            return -100;
        }
        thread_.join();
        return exitCode_;
    }

    bool finished() const { return finished_; }
    // The host's clock when runServer returned.
    uint64_t endedAtMs() const { return endedAtMs_.load(); }

    std::vector<int64_t> starts() {
        std::lock_guard lock(mutex_);
        std::vector<int64_t> out;
        for (auto t : starts_) {
            out.push_back(msSince(origin_, t));
        }
        return out;
    }
    std::vector<int64_t> ends() {
        std::lock_guard lock(mutex_);
        std::vector<int64_t> out;
        for (auto t : ends_) {
            out.push_back(msSince(origin_, t));
        }
        return out;
    }
    std::vector<WPARAM> notifications() {
        std::lock_guard lock(mutex_);
        return notifications_;
    }

    std::string logText() { return withoutTimeLines(test::ReadFileBytes(dir.file("log.txt"))); }

    TempDir dir;
    ServerState state;  // the host's, which the test plays clients and passes on
    std::atomic<uint32_t> cycleMs{0};

private:
    void recordCycle() {
        {
            std::lock_guard lock(mutex_);
            starts_.push_back(Clock::now());
            changed_.notify_all();
        }
        uint32_t duration = cycleMs != 0 ? cycleMs.load() : cycleMs_;
        auto until = Clock::now() + std::chrono::milliseconds(duration);
        while (Clock::now() < until && state.stopRequested.load() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        std::lock_guard lock(mutex_);
        ends_.push_back(Clock::now());
        changed_.notify_all();
    }

    HostTimes times_;
    uint32_t cycleMs_;
    platform::Clock& clock_;
    std::atomic<uint64_t> endedAtMs_{0};
    CMovraLog log_{platform::realClock()};
    std::unique_ptr<ServerHost> host_;
    std::thread thread_;
    DWORD mainThread_ = 0;
    std::atomic<bool> finished_{false};
    std::atomic<int> exitCode_{-100};
    Clock::time_point origin_ = Clock::now();
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Clock::time_point> starts_;
    std::vector<Clock::time_point> ends_;
    std::vector<WPARAM> notifications_;
};

// A server object entering the lowest free slot, as the class factory makes it; its slot.
uint32_t addClient(ServerState& state) {
    const uint32_t slot = state.clients.claim().value_or(0);
    state.AddClient(slot, nullptr);
    return slot;
}

HostTimes fastTimes(uint32_t periodMs) {
    HostTimes times;
    times.warmUpMs = 40;
    times.recheckMs = 80;
    times.quitGraceMs = 300;
    times.flagPollMs = 5;
    times.minimumPeriodMs = 0;
    times.periodOverrideMs = periodMs;
    return times;
}

TEST(ServerHost, MissingConfigurationEndsWithMinusOneAndTwoLogLines) {
    ServerState state;
    TempDir dir;
    CMovraLog log{platform::realClock()};
    bool configured = false;
    bool polled = false;
    HostHooks hooks;
    hooks.configured = [&](const ServerConfiguration&) { configured = true; };
    hooks.runPollCycle = [&](HANDLE) { polled = true; };
    ServerHost host(log, state, hooks, HostTimes{}, platform::realClock());
    EXPECT_EQ(host.runServer("-Embedding", dir.file("MovraOPCServer.exe")), -1);
    EXPECT_FALSE(configured);
    EXPECT_FALSE(polled);
    std::string logBytes = test::ReadFileBytes(dir.file("log.txt"));
    EXPECT_EQ(withoutTimeLines(logBytes), cp1251("Чтение параметров конфигурации OPC-сервера... "
                                                 "Ошибка при чтении файла конфигурации!\r\n"
                                                 "OPC-сервер завершает свою работу."));
    // One time-stamped entry: the reading announcement.
    EXPECT_EQ(logBytes.size() - withoutTimeLines(logBytes).size(), 22u);
}

TEST(ServerHost, RegistrationSwitchesUnregisterFirstAndLogTheOutcome) {
    ServerState state;
    TempDir dir;
    CMovraLog log{platform::realClock()};
    std::vector<int> calls;
    int result = 1;
    HostHooks hooks;
    hooks.updateRegistration = [&](const char* path, int doRegister) {
        EXPECT_EQ(std::string(path), dir.file("MovraOPCServer.exe"));
        calls.push_back(doRegister);
        return result;
    };
    bool polled = false;
    hooks.runPollCycle = [&](HANDLE) { polled = true; };
    ServerHost host(log, state, hooks, HostTimes{}, platform::realClock());
    EXPECT_EQ(host.runServer("/register", dir.file("MovraOPCServer.exe")), 0);
    EXPECT_EQ(calls, (std::vector<int>{0, 1}));
    EXPECT_EQ(withoutTimeLines(test::ReadFileBytes(dir.file("log.txt"))),
              cp1251("Регистрация OPC-сервера в реестре Windows... Ok.\r\n\r\n"));

    calls.clear();
    result = 0;
    CMovraLog freshLog{platform::realClock()};
    ServerHost failing(freshLog, state, hooks, HostTimes{}, platform::realClock());
    EXPECT_EQ(failing.runServer("-U", dir.file("MovraOPCServer.exe")), 0);
    EXPECT_EQ(calls, (std::vector<int>{0}));
    EXPECT_EQ(withoutTimeLines(test::ReadFileBytes(dir.file("log.txt"))),
              cp1251("Отмена регистрации OPC-сервера в реестре Windows... Неудачно!\r\n\r\n"));
    EXPECT_FALSE(polled);
}

// The second cycle follows the first's end after the re-check and the warm-up gap: with a period
// of a minute, only that can have started it.
TEST(ServerHost, FirstCycleAtOnceSecondAfterWarmUp) {
    HostRun run(fastTimes(60000), 30);
    run.writeConfiguration(1);
    run.start();
    ASSERT_TRUE(run.waitForCycles(2, 20000)) << "the second cycle waited for the period";
    EXPECT_GE(run.starts()[1] - run.ends()[0], 40);
    // Each cycle's end is announced to the notification pass as a periodic one.
    ASSERT_TRUE(run.waitForNotifications(1));
    EXPECT_EQ(run.notifications()[0], 1u);

    run.post(WM_QUIT);
    EXPECT_EQ(run.join(20000), 0);
    std::string log = run.logText();
    EXPECT_EQ(log.rfind(cp1251("Завершение работы OPC-сервера... Ok.\r\n\r\n")),
              log.size() - cp1251("Завершение работы OPC-сервера... Ok.\r\n\r\n").size());
}

// From then on a cycle starts every period. No period is shorter than asked; the shortest of
// several is near it (a busy machine lengthens some periods, a wrong one all of them).
TEST(ServerHost, AfterTheWarmUpACycleStartsEveryPeriod) {
    HostRun run(fastTimes(400), 30);
    run.writeConfiguration(1);
    run.start();
    ASSERT_TRUE(run.waitForCycles(6, 20000));
    auto starts = run.starts();
    int64_t shortest = INT64_MAX;
    for (size_t i = 2; i < 6; ++i) {
        const int64_t period = starts[i] - starts[i - 1];
        EXPECT_GE(period, 400 - 16) << "cycle " << i;  // Windows may fire a timer a tick early
        shortest = std::min(shortest, period);
    }
    EXPECT_LT(shortest, 600);
}

// A cycle longer than the period is followed within the re-check of its end, on the fastest of
// a few cycles.
TEST(ServerHost, CycleLongerThanThePeriodIsFollowedWithinTheRecheck) {
    HostRun run(fastTimes(100), 250);
    run.writeConfiguration(1);
    run.start();
    ASSERT_TRUE(run.waitForCycles(5, 20000));
    auto starts = run.starts();
    auto ends = run.ends();
    int64_t quickest = INT64_MAX;
    for (size_t i = 2; i < 5; ++i) {
        int64_t gap = starts[i] - ends[i - 1];
        EXPECT_GE(gap, 0);
        quickest = std::min(quickest, gap);
    }
    EXPECT_LE(quickest, 80 + 70);
}

// With a period of a minute, only the request can have started the third cycle.
TEST(ServerHost, PollRequestStartsACycleAtOnceAfterTheWarmUp) {
    HostRun run(fastTimes(60000), 20);
    run.writeConfiguration(1);
    run.start();
    ASSERT_TRUE(run.waitForCycles(2));
    ASSERT_TRUE(run.waitForEnds(2));
    run.post(WM_POLL_REQUEST);
    EXPECT_TRUE(run.waitForCycles(3, 20000));
}

// Runs `act` once, on the host's clock, `afterMs` into the quit grace: between two of the
// grace's looks, however the machine schedules the threads.
void atGraceTime(FakeClock& clock, uint64_t afterMs, std::function<void()> act) {
    auto graceStart = std::make_shared<std::optional<uint64_t>>();
    clock.setSleepHook([graceStart, afterMs, act = std::move(act)](uint64_t nowMs) {
        if (!*graceStart) {
            *graceStart = nowMs;  // the grace's first look; nothing else sleeps on this clock
        } else if (**graceStart != UINT64_MAX && nowMs - **graceStart >= afterMs) {
            **graceStart = UINT64_MAX;
            act();
        }
    });
}

// WM_QUIT while `keep` holds the server within the grace: the loop goes on serving until `let go`
// has run and another WM_QUIT comes.
void expectQuitCancelledWithinTheGrace(const std::function<void(ServerState&)>& keep,
                                       const std::function<void(ServerState&)>& letGo) {
    FakeClock clock;
    HostRun run(fastTimes(60000), 20, clock);
    run.writeConfiguration(1);
    run.start();
    ASSERT_TRUE(run.waitForCycles(2));
    std::atomic<bool> kept{false};
    atGraceTime(clock, 100, [&] {
        keep(run.state);
        kept = true;
    });
    run.post(WM_QUIT);
    for (auto deadline = Clock::now() + std::chrono::seconds(20);
         !kept && Clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(kept);
    // A poll request still works: the loop goes on serving.
    run.post(WM_POLL_REQUEST);
    EXPECT_TRUE(run.waitForCycles(3, 20000));
    EXPECT_FALSE(run.finished());
    clock.setSleepHook(nullptr);
    letGo(run.state);
    run.post(WM_QUIT);
    EXPECT_EQ(run.join(20000), 0);
}

TEST(ServerHost, QuitIsCancelledByAClientWithinTheGrace) {
    expectQuitCancelledWithinTheGrace([](ServerState& state) { addClient(state); },
                                      [](ServerState& state) { state.RemoveClient(0); });
}

TEST(ServerHost, QuitIsCancelledByAServerLockWithinTheGrace) {
    expectQuitCancelledWithinTheGrace([](ServerState& state) { state.LockServerCount(true); },
                                      [](ServerState& state) { state.LockServerCount(false); });
}

// A client that connects and leaves between two looks of the grace still cancels it: the server
// ends a whole grace after that client's own WM_QUIT, not after the first one.
TEST(ServerHost, AClientThatComesAndGoesWithinTheGraceRestartsIt) {
    FakeClock clock;
    HostTimes times = fastTimes(60000);
    HostRun run(times, 20, clock);
    run.writeConfiguration(1);
    run.start();
    ASSERT_TRUE(run.waitForCycles(1));
    std::atomic<uint64_t> lastClientGoneMs{0};
    atGraceTime(clock, 100, [&] {
        run.state.RemoveClient(addClient(run.state));
        lastClientGoneMs = clock.nowMs();
        run.post(WM_QUIT);  // what the last server object's end posts
    });
    run.post(WM_QUIT);
    EXPECT_EQ(run.join(20000), 0);
    ASSERT_NE(lastClientGoneMs.load(), 0u);
    EXPECT_GE(run.endedAtMs() - lastClientGoneMs.load(), times.quitGraceMs)
        << "the grace runs from the last client's departure";
}

// A copy that COM started for a client that never came ends after two graces (one to wait for
// the client, one as after a last client), polling meanwhile; one whose client comes serves it
// and ends only a grace after it has gone.
TEST(ServerHost, StartedByComWithoutAClientEndsAfterTheGrace) {
    for (bool clientComes : {false, true}) {
        SCOPED_TRACE(clientComes ? "client comes" : "no client");
        HostTimes times = fastTimes(60000);
        HostRun run(times, 20);
        run.writeConfiguration(1);
        run.commandLine = "-Embedding";
        if (clientComes) {
            addClient(run.state);  // before the first look of the grace, as COM's is
        }
        auto started = Clock::now();
        run.start();
        if (!clientComes) {
            ASSERT_TRUE(run.waitForCycles(2)) << "polls while it waits";
            EXPECT_EQ(run.join(20000), 0);
            EXPECT_GE(msSince(started, Clock::now()), static_cast<int64_t>(2 * times.quitGraceMs));
            continue;
        }
        ASSERT_TRUE(run.waitForCycles(2));
        EXPECT_FALSE(run.finished());
        run.state.RemoveClient(0);
        run.post(WM_QUIT);
        EXPECT_EQ(run.join(20000), 0);
    }
}

// An exception from a cycle ends that cycle only: its outcome line is logged, pollRunning is
// cleared and the clients are notified, and the next cycles start as usual.
TEST(ServerHost, AnExceptionEndsOnlyItsCycle) {
    HostRun run(fastTimes(40), 20);
    run.writeConfiguration(1);
    std::atomic<int> cycles{0};
    HostHooks hooks;
    hooks.runPollCycle = [&cycles](HANDLE) {
        switch (++cycles) {
            case 1:
                throw std::bad_alloc();
            case 2:
                throw std::runtime_error("a failure");
            default:
                break;
        }
    };
    run.start(std::move(hooks));
    ASSERT_TRUE(run.waitForNotifications(3));
    EXPECT_GE(cycles.load(), 3);
    EXPECT_EQ(run.logText(), cp1251("Чтение параметров конфигурации OPC-сервера... Ok.\r\n\r\n"
                                    "Не хватает памяти. Запрос остановлен!\r\n\r\n"
                                    "Ошибка!\r\n\r\n"));
    run.post(WM_QUIT);
    EXPECT_EQ(run.join(20000), 0);
    EXPECT_EQ(run.state.pollRunning.load(), 0);
}

TEST(ServerHost, ShutdownStopsARunningCycleAndWaitsForIt) {
    HostRun run(fastTimes(60000), 20);
    run.writeConfiguration(1);
    run.start();
    ASSERT_TRUE(run.waitForEnds(2));
    run.cycleMs = 60000;  // the next cycle would run for a minute unless stopped
    run.post(WM_POLL_REQUEST);
    ASSERT_TRUE(run.waitForCycles(3, 20000));
    run.post(WM_QUIT);
    EXPECT_EQ(run.join(20000), 0);
    EXPECT_EQ(run.ends().size(), 3u);
    EXPECT_EQ(run.state.pollRunning.load(), 0);
}

TEST(ServerHost, NotifyMessagePassesItsKindAndWaitsForARunningPass) {
    HostRun run(fastTimes(60000), 20);
    run.writeConfiguration(1);
    run.start();
    ASSERT_TRUE(run.waitForNotifications(1));
    run.state.notifyRunning = 1;
    run.post(WM_NOTIFY_CLIENTS, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(run.notifications().size(), 1u);
    run.state.notifyRunning = 0;
    ASSERT_TRUE(run.waitForNotifications(2));
    EXPECT_EQ(run.notifications()[1], 0u);
}

}  // namespace
}  // namespace movra
