// The check's stop against the real simulator (native build): wherever a check waits (for the
// ports another program holds, in the device's start delay, on a silent line) a stop ends it as
// cancelled, long before that wait would have ended by itself, and the port is let go.
#include "server/check/device_check.h"

#include "platform/handle_ptr.h"
#include "tests/support/fake_clock.h"
#include "tests/support/sim_ports_test.h"
#include "tests/support/test_support.h"
#include "tools/kmt-sim/sim_line.h"
#include "tools/support/child_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <memory>
#include <optional>
#include <string>

namespace movra::check {
namespace {

enum class Trigger { WaitingForPorts, FirstSleep, FirstRequest };

// Stops the check at the moment the row names.
class Stopper : public CheckObserver {
public:
    Stopper(Trigger trigger, std::atomic<LONG>& stop) : trigger_(trigger), stop_(stop) {}
    void waitingForPorts() override { stopAt(Trigger::WaitingForPorts); }
    // A KMT's zero bytes before its first request are no request.
    void frame(uint64_t, const char* direction, std::span<const uint8_t> bytes) override {
        if (std::string(direction) == ">" && bytes.size() > 1 && bytes[1] != 0) {
            ++requests;
            stopAt(Trigger::FirstRequest);
        }
    }
    void stopAt(Trigger trigger) {
        if (trigger == trigger_) {
            stop_.store(1);
        }
    }
    int requests = 0;

private:
    Trigger trigger_;
    std::atomic<LONG>& stop_;
};

struct StopRow {
    const char* name;
    const char* simDevice;  // on RS-485 at 19200 baud
    uint8_t type;
    uint16_t startDelayMs;
    Trigger trigger;
    Stage stage;
    int requests;  // sent before the stop
};

using CheckStopTest = test::SimPortsTest<::testing::TestWithParam<StopRow>>;

TEST_P(CheckStopTest, EndsTheWaitAsCancelled) {
    const StopRow& row = GetParam();
    KmtSimLine line(KMT_SIM_PROGRAM, ports.path(), 7, simArguments(19200, {row.simDevice}));
    ASSERT_TRUE(line.ready());
    DeviceRecord device;
    device.deviceType = row.type;
    device.linkType = kLinkRs485;
    device.rs485Address = 3;
    device.baudCode = 4;
    device.comPort = 7;
    device.startDelayMs = row.startDelayMs;

    std::atomic<LONG> stop{0};
    Stopper stopper(row.trigger, stop);
    platform::UniqueHandle portMutex(CreateMutexA(nullptr, FALSE, kPortMutexName));
    toolsupport::ChildProcess holder;
    if (row.trigger == Trigger::WaitingForPorts) {
        holder.connectStandardStreams();
        ASSERT_TRUE(holder.start(PORT_MUTEX_HOLDER, {kPortMutexName}));
        ASSERT_EQ(holder.readLine(), std::optional<std::string>("HELD"));
    }
    test::FakeClock fakeClock;
    fakeClock.setSleepHook([&](uint64_t) { stopper.stopAt(Trigger::FirstSleep); });
    platform::Clock& clock = row.trigger == Trigger::FirstSleep ? fakeClock : platform::realClock();

    CheckSettings settings;
    settings.portMutex = portMutex.get();
    settings.stop = StopToken(stop);
    settings.trace = true;
    // On a thread of its own, as the configurator checks: one that ended owning the mutex would
    // leave it abandoned or held.
    const DeviceCheck result = std::async(std::launch::async, [&] {
                                   return checkDevice(device, settings, &stopper, clock);
                               }).get();

    ASSERT_TRUE(result.failure.has_value());
    EXPECT_EQ(result.failure->reason, Reason::Cancelled)
        << "the wait ended by itself: reason " << static_cast<int>(result.failure->reason);
    EXPECT_EQ(result.failure->stage, row.stage);
    EXPECT_EQ(stopper.requests, row.requests);
    EXPECT_FALSE(result.identification.has_value());
    EXPECT_EQ(result.waitedForPorts, row.trigger == Trigger::WaitingForPorts);
    if (row.trigger == Trigger::FirstSleep) {
        EXPECT_LT(fakeClock.sleptMs(), row.startDelayMs) << "the delay was slept whole";
    }
    if (row.trigger == Trigger::WaitingForPorts) {
        ASSERT_TRUE(holder.writeLine("release"));
        EXPECT_EQ(holder.readLine(), std::optional<std::string>("RELEASED"));
        holder.wait(5000);
    }
    platform::MutexGuard free(portMutex.get(), 0);
    EXPECT_EQ(free.waitResult(), static_cast<DWORD>(WAIT_OBJECT_0)) << "the mutex was not let go";
}

INSTANTIATE_TEST_SUITE_P(
    Waits, CheckStopTest,
    ::testing::Values(StopRow{"PortsHeldByAnotherProgram", "model=KMT-G,address=3,serial=0A1B",
                              kTypeKmtG, 0, Trigger::WaitingForPorts, Stage::BeforeOpening, 0},
                      StopRow{"StartDelay", "model=KMT-G,address=3,serial=0A1B", kTypeKmtG, 10000,
                              Trigger::FirstSleep, Stage::Identifying, 0},
                      // 16 s of silence would pass before a KMT's no-answer.
                      StopRow{"SilentKmtOnRs485", "model=KMT,address=3,serial=0A1B,fault=silent",
                              kTypeKmt, 0, Trigger::FirstRequest, Stage::Identifying, 1}),
    [](const ::testing::TestParamInfo<StopRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace movra::check
