// The poll cycle against the real simulator program on pseudo-terminals (native build): the five
// models on RS-232 lines and on one RS-485 line with several addresses, values predicted from the
// simulator's value function with their conversions, qualities and timestamps; late
// identification, a port that appears later, start delays, the stop request during a long
// time-out, and the port mutex held by another process.
#include "tests/poll/poll_sim_fixture.h"
#include "tests/support/timing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

namespace movra {
namespace {

using namespace pollsim;

TEST_F(PollCycleSimTest, FirstCycleIdentifiesAndSecondPublishesPredictedValues) {
    // COM1: a KMT alone on RS-232. COM2: RS-485 with the four newer models. COM3: a second KMT
    // on its own bus line. COM4 has no port: the devices there have no protocol anyway.
    startSim(1, {"model=KMT,serial=0A01,seed=11,node1=7:1-2:1000,node2=7:3:1,node3=1:-"});
    startSim(2, {"model=KMT-V,address=1,serial=0A03,seed=21,variant=F,channels=3,nodes=2",
                 "model=KMT-G,address=2,serial=0A04,seed=22,channels=3,nodes=3,"
                 "node1=7:1-2:1000,node2=1:3,node3=1:-,clock=fixed:2025-06-15T08:30:00",
                 "model=KMT-U,address=3,serial=0A06,seed=23,channels=4,nodes=3,node1=7:1-2:1,"
                 "node2=9:3,node3=1:-",
                 "model=KMT-UV,address=4,serial=0A07,seed=24,channels=2,nodes=2"});
    startSim(3, {"model=KMT,address=5,serial=0A08,seed=31,node1=7:1:1000"});

    std::vector<DeviceRecord> devices;
    DeviceRecord kmt = deviceOf(kTypeKmt, 1, kLinkRs232, 0, 0x01);
    kmt.energyUnit = 1;
    kmt.gasVolumeUnit = 1;
    devices.push_back(kmt);
    DeviceRecord code6 = deviceOf(kTypeCode6, 4, kLinkRs232, 0, 0x02);
    code6.timestampSource = 1;
    devices.push_back(code6);
    DeviceRecord v = deviceOf(kTypeKmtV, 2, kLinkRs485, 1, 0x03);
    v.energyUnit = 1;
    v.gasVolumeUnit = 1;
    v.timestampSource = 1;
    devices.push_back(v);
    DeviceRecord g = deviceOf(kTypeKmtG, 2, kLinkRs485, 2, 0x04);
    g.energyUnit = 1;
    g.gasVolumeUnit = 1;
    g.timestampSource = 2;
    devices.push_back(g);
    devices.push_back(deviceOf(0x20, 4, kLinkRs232, 0, 0x05));  // a type without a model
    DeviceRecord u = deviceOf(kTypeKmtU, 2, kLinkRs485, 3, 0x06);
    u.gasVolumeUnit = 1;
    devices.push_back(u);
    DeviceRecord uv = deviceOf(kTypeKmtUV, 2, kLinkRs485, 4, 0x07);
    uv.energyUnit = 1;
    uv.timestampSource = 1;
    devices.push_back(uv);
    devices.push_back(deviceOf(kTypeKmt, 3, kLinkRs485, 5, 0x08));
    configure(devices);

    // The runs line up with the catalogue's item IDs.
    EXPECT_EQ(platform::wideToUtf8(catalogue.itemIdAt(runStart(2) + 3)), "PKE0A03.K01.T");
    EXPECT_EQ(platform::wideToUtf8(catalogue.itemIdAt(runStart(5) + 3 + 14 * 3)), "PKE0A06.K04.T");
    EXPECT_EQ(platform::wideToUtf8(catalogue.itemIdAt(runStart(7) + 3 + 140 + 10 * 9 + 9)),
              "PKE0A08.U10.Wl");
    EXPECT_EQ(runStart(7) + runLength(7), catalogue.slotCount());

    runCycle();
    EXPECT_EQ(poll->firstPassDone(), 1u);
    // Only identification went out, and nothing of the answering devices was published.
    for (const auto& line : sims) {
        for (const std::string& function : functionsSeen(*line)) {
            EXPECT_TRUE(function == "B0" || function == "B2" || function == "50") << function;
        }
    }
    for (uint32_t device : {0u, 2u, 3u, 5u, 6u, 7u}) {
        expectUntouched(device);
        EXPECT_TRUE(poll->isIdentified(device)) << device;
    }
    // The types without a protocol show as failed from the start; local time for code 6.
    expectAllFailed(1, true);
    expectAllFailed(4, false);

    runCycle();
    DeviceSetup kmtSetup{kTypeKmt, 11, 10, 10, true, true};
    kmtSetup.gasChannels = {1, 2, 3};
    kmtSetup.channelScale = {1000.0f, 1000.0f, 1.0f};
    kmtSetup.gasNodes = {1, 2};
    kmtSetup.nodeScale = {1000.0f, 1.0f};
    expectRun(0, predictRun(kmtSetup), Stamp{Stamp::Utc}, false);
    expectAllFailed(1, true);

    DeviceSetup vSetup{kTypeKmtV, 21, 3, 2, true, true, true};
    expectRun(2, predictRun(vSetup), Stamp{Stamp::Local}, true);

    DeviceSetup gSetup{kTypeKmtG, 22, 3, 3, true, true};
    gSetup.gasChannels = {1, 2};
    gSetup.gasNodes = {1};
    expectRun(3, predictRun(gSetup), Stamp{Stamp::Device, civil(2025, 6, 15, 8, 30, 0)}, true);
    expectAllFailed(4, false);

    DeviceSetup uSetup{kTypeKmtU, 23, 4, 3, false, true};
    uSetup.gasChannels = {1, 2};
    uSetup.gasNodes = {1};
    expectRun(5, predictRun(uSetup), Stamp{Stamp::Utc}, false);

    DeviceSetup uvSetup{kTypeKmtUV, 24, 2, 2, true, false};
    expectRun(6, predictRun(uvSetup), Stamp{Stamp::Local}, true);

    // m3 with a node scale of 1000: the KMT's thousands become m3.
    DeviceSetup kmt2Setup{kTypeKmt, 31, 10, 10, false, false};
    kmt2Setup.gasChannels = {1};
    kmt2Setup.channelScale = {1000.0f};
    kmt2Setup.gasNodes = {1};
    kmt2Setup.nodeScale = {1000.0f};
    expectRun(7, predictRun(kmt2Setup), Stamp{Stamp::Utc}, false);

    // The OLE date of a device-clock reading names the same moment as lastUpdate.
    SYSTEMTIME deviceTime = civil(2025, 6, 15, 8, 30, 0);
    DATE deviceDate = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&deviceTime, &deviceDate));
    EXPECT_DOUBLE_EQ(slot(runStart(3) + 3).timestamp, deviceDate);

    std::string text = logText();
    EXPECT_EQ(countOf(text, cp1251("Обмен данными с вычислителями... "
                                   "Не все вычислители ответили на запрос!\r\n\r\n")),
              2u)
        << text;
}

// The identity request of the first device fails once (an error reply); the port of the second
// appears only after the first cycle. Both are identified in the second cycle and read in the
// third; the start delay of 10 s is kept only in regular passes.
TEST_F(PollCycleSimTest, LateIdentificationGivesValuesOneCycleLater) {
    startSim(2, {"model=KMT-V,address=1,serial=0A01,seed=41,channels=2,nodes=1,"
                 "fault=error@0x50/0#1"});
    DeviceRecord v = deviceOf(kTypeKmtV, 2, kLinkRs485, 1, 0x01);
    v.startDelayMs = 10000;
    DeviceRecord uv = deviceOf(kTypeKmtUV, 3, kLinkRs232, 0, 0x02);
    configure({v, uv});

    uint64_t slept = clock.sleptMs();
    runCycle();
    EXPECT_LT(clock.sleptMs() - slept, 10000u) << "no start delay in a first pass";
    EXPECT_FALSE(poll->isIdentified(0));
    expectUntouched(0);
    expectAllFailed(1, false);  // the port did not open: failure values at once
    const uint64_t firstFailure = ticksOf(slot(runStart(1)).lastUpdate);
    EXPECT_EQ(poll->firstPassDone(), 1u);

    startSim(3, {"model=KMT-UV,serial=0A02,seed=42,channels=2,nodes=1"});
    slept = clock.sleptMs();
    runCycle();
    EXPECT_GE(clock.sleptMs() - slept, 10000u) << "the start delay";
    EXPECT_TRUE(poll->isIdentified(0));
    EXPECT_TRUE(poll->isIdentified(1));
    expectUntouched(0);
    for (uint32_t k = 0; k < runLength(1); ++k) {
        EXPECT_EQ(ticksOf(slot(runStart(1) + k).lastUpdate), firstFailure) << k;
    }

    runCycle();
    expectRun(0, predictRun(DeviceSetup{kTypeKmtV, 41, 2, 1}), Stamp{Stamp::Utc}, false);
    expectRun(1, predictRun(DeviceSetup{kTypeKmtUV, 42, 2, 1}), Stamp{Stamp::Utc}, false,
              firstFailure);

    std::string text = logText();
    const std::string opening = cp1251("Обмен данными с вычислителями... ");
    EXPECT_EQ(countOf(text, opening + cp1251("Не все вычислители ответили на запрос!\r\n\r\n")), 1u)
        << text;
    EXPECT_EQ(countOf(text, opening + "Ok.\r\n\r\n"), 2u) << text;
}

// A device that stays silent: in every regular pass its whole run shows 0, bad and the time of
// the attempt (taken when its port opened, before the 4-second wait), and the cycle goes on.
TEST_F(PollCycleSimTest, ASilentDeviceIsPublishedAsFailedWithTheTimeOfTheAttempt) {
    startSim(2, {"model=KMT-G,address=1,serial=0A02,seed=51"});
    DeviceRecord silent = deviceOf(kTypeKmtV, 2, kLinkRs485, 7, 0x01);  // nobody at address 7
    silent.timestampSource = 1;
    configure({silent, deviceOf(kTypeKmtG, 2, kLinkRs485, 1, 0x02)});
    // Ten times the line's pace on the cycle's clock: the 4-second time-outs pass in 0.4 s.
    clock.setSleepHook([this](uint64_t) { clock.advanceMs(45); });

    runCycle();
    EXPECT_FALSE(poll->isIdentified(0));
    EXPECT_TRUE(poll->isIdentified(1));
    expectUntouched(0);
    runCycle();
    EXPECT_GE(cycleEnd - cycleStart, 4 * 10000000ull) << "the silent device's time-out";
    const uint64_t shift = kLocalOffsetMinutes * kTicksPerMinute;
    for (uint32_t k = 0; k < runLength(0); ++k) {
        const SlotValue value = slot(runStart(0) + k);
        EXPECT_EQ(value.valueBits, 0u) << k;
        EXPECT_EQ(value.quality, kQualityBad) << k;
        // Local time, from the start of the attempt rather than from its end.
        EXPECT_GE(ticksOf(value.lastUpdate), cycleStart + shift) << k;
        EXPECT_LT(ticksOf(value.lastUpdate), cycleStart + shift + 10000000ull) << k;
    }
    DeviceSetup g{kTypeKmtG, 51, 3, 3};
    expectRun(1, predictRun(g), Stamp{Stamp::Utc}, false);
    std::string text = logText();
    EXPECT_TRUE(endsWith(text, cp1251("Не все вычислители ответили на запрос!\r\n\r\n"))) << text;
}

// A KMT that never answers waits 16 s for its reply; a stop during that wait ends the cycle
// within the wait slice under way, and the next device is not polled.
TEST_F(PollCycleSimTest, StopDuringALongTimeOutEndsTheCycleQuickly) {
    startSim(2, {"model=KMT-V,address=1,serial=0A02"});
    configure({deviceOf(kTypeKmt, 2, kLinkRs485, 9, 0x01),  // no device 9 on the line
               deviceOf(kTypeKmtV, 2, kLinkRs485, 1, 0x02)});

    // 300 ms into the cycle on its clock, the KMT is deep in its wait.
    test::StopProbe probe(clock, 300, [this] { stop = 1; });
    poll->RunPollCycle(portMutex.get());
    ASSERT_TRUE(probe.finish());
    EXPECT_LE(probe.slicesAfterStop(), 1u);
    EXPECT_LT(clock.nowMs(), 16000u);

    EXPECT_FALSE(poll->isIdentified(1));
    EXPECT_TRUE(functionsSeen(*sims[0]).empty()) << "the KMT-V was asked";
    std::string text = logText();
    EXPECT_TRUE(endsWith(text, cp1251("Запрос остановлен клиентом!\r\n\r\n"))) << text;
}

// Another program holds the port mutex: the cycle says it waits, opens no port meanwhile, and
// goes on when the mutex is let go.
class PortMutexHolder {
public:
    PortMutexHolder() {
        process.connectStandardStreams();
        started = process.start(PORT_MUTEX_HOLDER, {kPortMutexName});
        held = started && process.readLine() == std::optional<std::string>("HELD");
    }
    ~PortMutexHolder() {
        if (started) {
            process.writeLine("release");
            process.wait(5000);
        }
    }
    bool release() {
        return process.writeLine("release") &&
               process.readLine() == std::optional<std::string>("RELEASED");
    }

    toolsupport::ChildProcess process;
    bool started = false;
    bool held = false;
};

// Looks at the log every 10 ms until it holds `piece`; false after `limitMs`.
bool awaitLog(const CMovraLog& log, const std::string& piece, int limitMs) {
    for (int waited = 0; waited < limitMs; waited += 10) {
        if (test::ReadFileBytes(log.path()).find(piece) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_F(PollCycleSimTest, WaitsForThePortMutexOfAnotherProgramAndGoesOn) {
    startSim(2, {"model=KMT-V,address=1,serial=0A01"});
    configure({deviceOf(kTypeKmtV, 2, kLinkRs485, 1, 0x01)});
    PortMutexHolder holder;
    ASSERT_TRUE(holder.held);

    std::future<void> cycle =
        std::async(std::launch::async, [this] { poll->RunPollCycle(portMutex.get()); });
    const std::string waitText = cp1251("Ожидание завершения опроса программой MovraConnect... ");
    ASSERT_TRUE(awaitLog(log, waitText, 10000)) << logText();
    EXPECT_EQ(cycle.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    EXPECT_TRUE(functionsSeen(*sims[0]).empty()) << "a request went out while the mutex was held";

    ASSERT_TRUE(holder.release());
    ASSERT_EQ(cycle.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(poll->isIdentified(0));
    std::string text = logText();
    EXPECT_NE(text.find(cp1251("Обмен данными с вычислителями... \r\n") + waitText +
                        "Ok.\r\nOk.\r\n\r\n"),
              std::string::npos)
        << text;
}

TEST_F(PollCycleSimTest, AStopEndsTheWaitForThePortMutex) {
    configure({deviceOf(kTypeKmtV, 2, kLinkRs485, 1, 0x01)});
    PortMutexHolder holder;
    ASSERT_TRUE(holder.held);

    std::future<void> cycle =
        std::async(std::launch::async, [this] { poll->RunPollCycle(portMutex.get()); });
    ASSERT_TRUE(awaitLog(log, cp1251("MovraConnect... "), 10000)) << logText();
    stop = 1;
    // A stop that was not seen would wait for as long as the other program holds the mutex.
    ASSERT_EQ(cycle.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_FALSE(poll->isIdentified(0));
    std::string text = logText();
    EXPECT_TRUE(endsWith(text, cp1251("MovraConnect... Запрос остановлен клиентом!\r\n\r\n")))
        << text;
}

}  // namespace
}  // namespace movra
