// The runner behind "Проверить связь" and "Проверить все" against the real simulator (native
// build): devices checked in turn with every step told, and a cancel or the runner's end stopping
// the check of a silent RS-485 device at once.
#include "configurator/connection_check.h"

#include "tests/support/sim_ports_test.h"
#include "tests/support/test_support.h"
#include "tools/kmt-sim/sim_line.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace movra::configurator {
namespace {

using Steady = std::chrono::steady_clock;

DeviceRecord rs485(uint8_t type, uint8_t address, uint8_t serialLow, uint8_t comPort = 3) {
    DeviceRecord device;
    device.deviceType = type;
    device.linkType = kLinkRs485;
    device.rs485Address = address;
    device.baudCode = 4;
    device.comPort = comPort;
    device.serial[2] = 0x0A;
    device.serial[3] = serialLow;
    return device;
}

// What the runner told, in order, and a wait for its end.
class Told {
public:
    CheckRunner::Events events() {
        return {[this](size_t i) { add("started " + std::to_string(i)); },
                [this](size_t i) { add("finished " + std::to_string(i)); },
                [this] {
                    add("done");
                    std::lock_guard lock(mutex_);
                    doneAt_ = Steady::now();
                    changed_.notify_all();
                }};
    }
    // False when `done` has not come within the limit.
    bool waitDone(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return doneAt_.has_value(); });
    }
    Steady::time_point doneAt() {
        std::lock_guard lock(mutex_);
        return *doneAt_;
    }
    std::vector<std::string> steps() {
        std::lock_guard lock(mutex_);
        return steps_;
    }

private:
    void add(std::string step) {
        std::lock_guard lock(mutex_);
        steps_.push_back(std::move(step));
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> steps_;
    std::optional<Steady::time_point> doneAt_;
};

class RunnerSimTest : public test::SimPortsTest<> {
protected:
    std::unique_ptr<KmtSimLine> line(unsigned comPort, const std::vector<std::string>& devices) {
        auto sim = std::make_unique<KmtSimLine>(KMT_SIM_PROGRAM, ports.path(), comPort,
                                                simArguments(19200, devices), true);
        EXPECT_TRUE(sim->ready());
        return sim;
    }

    // Until the simulator has seen a request (its trace says "in"), within 10 s.
    static bool requestOnTheLine(const KmtSimLine& sim) {
        for (int i = 0; i < 1000; ++i) {
            if (sim.traceText().find(" in ") != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

TEST_F(RunnerSimTest, ChecksEachDeviceInTurnAndTellsEveryStep) {
    auto sim = line(3, {"model=KMT-G,address=1,serial=0A1B,channels=2,nodes=1",
                        "model=KMT-G,address=2,serial=0A02,fault=silent",
                        "model=KMT-G,address=4,serial=0A05,channels=1,nodes=1"});
    Told told;
    CheckRunner runner(told.events());
    ASSERT_TRUE(runner.start(
        {rs485(kTypeKmtG, 1, 0x1B), rs485(kTypeKmtG, 2, 0x02), rs485(kTypeKmtG, 4, 0x04)}, 0));
    EXPECT_FALSE(runner.start({}, 0)) << "a second run while the first goes on";
    ASSERT_TRUE(told.waitDone(std::chrono::seconds(30)));
    runner.wait();
    EXPECT_FALSE(runner.running());
    EXPECT_FALSE(runner.cancelled());
    EXPECT_EQ(told.steps(),
              (std::vector<std::string>{"started 0", "finished 0", "started 1", "finished 1",
                                        "started 2", "finished 2", "done"}));
    ASSERT_EQ(runner.count(), 3u);
    const struct {
        bool answered;
        const char* summary;
    } expected[] = {
        {true, "в порядке: КМТ-Г, каналов 2, узлов 1"},
        {false, "нет ответа по адресу 002 на скорости 19200 бод"},
        {true, "ответил другой вычислитель: серийный номер 0A05 вместо 0A04"},
    };
    const DeviceRecord entered[] = {rs485(kTypeKmtG, 1, 0x1B), rs485(kTypeKmtG, 2, 0x02),
                                    rs485(kTypeKmtG, 4, 0x04)};
    for (size_t i = 0; i < 3; ++i) {
        auto result = runner.result(i);
        ASSERT_TRUE(result.has_value()) << i;
        const CheckReport report = describeCheck(entered[i], *result);
        EXPECT_EQ(report.answered, expected[i].answered) << i;
        EXPECT_EQ(report.summary, expected[i].summary) << i;
    }
    EXPECT_NE(describeCheck(entered[0], *runner.result(0)).details.find("Серийный номер: 0A1B\n"),
              std::string::npos);
}

// A cancel while a silent KMT (16 s of silence) is awaited on RS-485 ends the run at once: the
// check is cancelled, the devices after it are not checked, and `done` comes soon. "Soon" is
// measured against a run that only fails to open a port, taken in the same test, so a loaded
// machine moves both; the limit is at least the second the operator is promised.
TEST_F(RunnerSimTest, CancelEndsTheCheckOfASilentRs485DeviceWithinASecond) {
    Told baselineTold;
    CheckRunner baseline(baselineTold.events());
    const auto baselineStart = Steady::now();
    ASSERT_TRUE(baseline.start({rs485(kTypeKmt, 3, 0x03, 9)}, 0));  // COM9: no such port
    ASSERT_TRUE(baselineTold.waitDone(std::chrono::seconds(10)));
    const auto baselineMs =
        std::chrono::duration<double, std::milli>(baselineTold.doneAt() - baselineStart).count();

    auto sim = line(4, {"model=KMT,address=3,serial=0A03,fault=silent"});
    Told told;
    CheckRunner runner(told.events());
    ASSERT_TRUE(runner.start({rs485(kTypeKmt, 3, 0x03, 4), rs485(kTypeKmt, 4, 0x04, 4)}, 0));
    ASSERT_TRUE(requestOnTheLine(*sim)) << sim->traceText();
    const std::clock_t cpuBefore = std::clock();
    const auto cancelAt = Steady::now();
    runner.cancel();
    ASSERT_TRUE(told.waitDone(std::chrono::seconds(20)));
    const double cancelMs =
        std::chrono::duration<double, std::milli>(told.doneAt() - cancelAt).count();
    const double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    std::printf(
        "cancel to done: %.1f ms wall, %.1f ms CPU of the process; a failed open: %.1f ms\n",
        cancelMs, cpuMs, baselineMs);

    EXPECT_TRUE(runner.cancelled());
    auto first = runner.result(0);
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(first->failure.has_value());
    EXPECT_EQ(first->failure->reason, check::Reason::Cancelled) << "the silence ran out first";
    EXPECT_FALSE(runner.result(1).has_value()) << "checked after the cancel";
    EXPECT_EQ(told.steps(), (std::vector<std::string>{"started 0", "finished 0", "done"}));
    EXPECT_LT(cancelMs, std::max(1000.0, 20 * baselineMs));
}

// Closing a dialog ends its runner: the destructor stops a check in progress and returns.
TEST_F(RunnerSimTest, TheRunnersEndStopsItsCheck) {
    auto sim = line(5, {"model=KMT,address=3,serial=0A03,fault=silent"});
    Told told;
    auto runner = std::make_unique<CheckRunner>(told.events());
    ASSERT_TRUE(runner->start({rs485(kTypeKmt, 3, 0x03, 5)}, 0));
    ASSERT_TRUE(requestOnTheLine(*sim));
    runner.reset();
    // The destructor returned, so the thread has ended; it said so on its way out.
    EXPECT_EQ(told.steps(), (std::vector<std::string>{"started 0", "finished 0", "done"}));
}

}  // namespace
}  // namespace movra::configurator
