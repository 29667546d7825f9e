// The connection against the real simulator program on a pseudo-terminal, with its fault
// switches (native build): noise before the reply, a wrong function code, a wrong CRC, an error
// reply, silence with repetition and the recovery frame once, and a stop during a wait. The
// simulator's trace tells what went out on the line.
#include "server/device/connection.h"

#include "server/core/stop_token.h"
#include "tests/support/fake_clock.h"
#include "tests/support/frame_bytes.h"
#include "tests/support/test_support.h"
#include "tests/support/timing.h"
#include "tools/kmt-sim/sim_line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace movra {
namespace {

using test::bytesOf;
using test::FakeClock;
using test::hexOf;

constexpr unsigned kComPort = 5;

DeviceRecord deviceOf(uint8_t type) {
    DeviceRecord device;
    device.deviceType = type;
    device.linkType = kLinkRs232;
    device.baudCode = 4;  // 19200
    device.comPort = kComPort;
    return device;
}

struct Outcome {
    HRESULT result = E_UNEXPECTED;
    uint16_t error = 0xFFFF;
    std::string reply;
};

Outcome runExchange(CMovraDeviceConnection& connection, std::string request) {
    Outcome outcome;
    uint8_t* reply = nullptr;
    uint32_t size = 0;
    outcome.result = connection.Exchange(static_cast<uint32_t>(request.size()),
                                         reinterpret_cast<uint8_t*>(request.data()), &size, &reply,
                                         &outcome.error);
    if (reply != nullptr) {
        outcome.reply = bytesOf(reply, size);
    }
    CoTaskMemFree(reply);
    return outcome;
}

// The newer family's identity request and the KMT's.
std::string newerIdentity() {
    return bytesOf({0, 0x50, 0, 0, 4, 0, 0, 0, 0, 0});
}
std::string kmtIdentity() {
    return bytesOf({0, 0xB0, 0, 0, 0, 0x27, 0, 0});
}

// The function byte of every request the simulator took as its own, in order.
std::vector<std::string> functionsSeen(const KmtSimLine& line) {
    std::vector<std::string> functions;
    for (const std::string& frame : countTrace(line.settledTraceText()).requestFrames) {
        functions.push_back(frame.substr(3, 2));
    }
    return functions;
}

using Functions = std::vector<std::string>;

class ConnectionSimTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("MOVRA_PORTS", ports.path().c_str(), 1); }

    void startSim(const std::string& device) {
        sim = std::make_unique<KmtSimLine>(
            KMT_SIM_PROGRAM, ports.path(), kComPort,
            std::vector<std::string>{"--baud", "19200", "--device", device}, true);
        ASSERT_TRUE(sim->ready());
    }

    // Ten times the line's pace on the connection's clock, so that time-outs of seconds pass in
    // tenths while a reply still has ample time per byte.
    void speedUp() {
        clock.setSleepHook([this](uint64_t) { clock.advanceMs(45); });
    }

    test::TempDir ports;
    FakeClock clock;
    std::atomic<LONG> stopFlag{0};  // the connections' stop
    std::unique_ptr<KmtSimLine> sim;
};

TEST_F(ConnectionSimTest, NoiseBeforeTheReplyIsSkipped) {
    startSim("model=KMT-V,serial=0A1B,fault=noise:6");
    CMovraDeviceConnection connection(deviceOf(kTypeKmtV), 0, platform::realClock());
    uint16_t error;
    ASSERT_EQ(connection.Open(&error), S_OK);
    Outcome outcome = runExchange(connection, newerIdentity());
    EXPECT_EQ(outcome.result, S_OK);
    EXPECT_EQ(outcome.error, ERR_NONE);
    ASSERT_EQ(outcome.reply.size(), 21u);
    EXPECT_EQ(hexOf(outcome.reply.substr(0, 7)), "FE 50 10 00 00 0A 1B");
    TraceCount trace = countTrace(sim->settledTraceText());
    EXPECT_EQ(trace.replyBytes, 6u + 21u) << "the noise went out before the frame";
}

// A reply with another function code is dropped and the connection listens on without sending;
// when nothing else comes the attempt counts as silent and is repeated, then recovered once.
TEST_F(ConnectionSimTest, AReplyWithAnotherFunctionIsDroppedWithoutResending) {
    startSim("model=KMT-V,serial=0A1B,fault=func@0x50#2");
    speedUp();
    {
        CMovraDeviceConnection connection(deviceOf(kTypeKmtV), 0, clock);
        uint16_t error;
        ASSERT_EQ(connection.Open(&error), S_OK);
        Outcome outcome = runExchange(connection, newerIdentity());
        EXPECT_EQ(outcome.result, E_FAIL);
        EXPECT_EQ(outcome.error, ERR_NO_ANSWER);
        EXPECT_GE(clock.nowMs(), 4000u);
    }
    EXPECT_EQ(functionsSeen(*sim), (Functions{"50"}));

    CMovraDeviceConnection connection(deviceOf(kTypeKmtV), 0, clock);
    ASSERT_EQ(connection.SetRetryLimit(2), S_OK);
    uint16_t error;
    ASSERT_EQ(connection.Open(&error), S_OK);
    Outcome outcome = runExchange(connection, newerIdentity());
    EXPECT_EQ(outcome.result, S_OK);
    EXPECT_EQ(outcome.error, ERR_NONE);
    EXPECT_EQ(hexOf(outcome.reply.substr(0, 3)), "FE 50 10");
    EXPECT_EQ(functionsSeen(*sim), (Functions{"50", "50", "50", "7F"}));
}

TEST_F(ConnectionSimTest, AWrongCrcFailsTheAttemptAndIsRepeatedOnlyWithinTheLimit) {
    startSim("model=KMT-G,serial=0A1B,fault=crc@0x50#2");
    {
        CMovraDeviceConnection connection(deviceOf(kTypeKmtG), 0, platform::realClock());
        uint16_t error;
        ASSERT_EQ(connection.Open(&error), S_OK);
        Outcome outcome = runExchange(connection, newerIdentity());
        EXPECT_EQ(outcome.result, E_FAIL);
        EXPECT_EQ(outcome.error, ERR_CRC);
        EXPECT_EQ(outcome.reply, "");
    }
    EXPECT_EQ(functionsSeen(*sim), (Functions{"50"}));

    CMovraDeviceConnection connection(deviceOf(kTypeKmtG), 0, platform::realClock());
    ASSERT_EQ(connection.SetRetryLimit(3), S_OK);
    uint16_t error;
    ASSERT_EQ(connection.Open(&error), S_OK);
    Outcome outcome = runExchange(connection, newerIdentity());
    EXPECT_EQ(outcome.result, S_OK);
    EXPECT_EQ(hexOf(outcome.reply.substr(0, 7)), "FE 50 10 00 00 0A 1B");
    EXPECT_EQ(functionsSeen(*sim), (Functions{"50", "50", "50", "7F"}));
}

TEST_F(ConnectionSimTest, AnErrorReplyIsNeverRepeated) {
    startSim("model=KMT-U,serial=0A1B,fault=error:3@0x50");
    CMovraDeviceConnection connection(deviceOf(kTypeKmtU), 0, platform::realClock());
    ASSERT_EQ(connection.SetRetryLimit(3), S_OK);
    uint16_t error;
    ASSERT_EQ(connection.Open(&error), S_OK);
    Outcome outcome = runExchange(connection, newerIdentity());
    EXPECT_EQ(outcome.result, E_FAIL);
    EXPECT_EQ(outcome.error, ERR_DEVICE);
    EXPECT_EQ(functionsSeen(*sim), (Functions{"50"}));
}

// A KMT that stays silent once: the port is reopened, the request sent again, and after the good
// reply the clock request goes out once as the recovery frame.
TEST_F(ConnectionSimTest, SilenceIsRepeatedAndRecoveredOnce) {
    startSim("model=KMT,serial=0A1B,fault=silent@0xB0#1");
    speedUp();
    CMovraDeviceConnection connection(deviceOf(kTypeKmt), 0, clock, StopToken(stopFlag));
    ASSERT_EQ(connection.SetRetryLimit(3), S_OK);
    uint16_t error;
    ASSERT_EQ(connection.Open(&error), S_OK);
    Outcome outcome = runExchange(connection, kmtIdentity());
    EXPECT_EQ(outcome.result, S_OK);
    EXPECT_EQ(outcome.error, ERR_NONE);
    ASSERT_EQ(outcome.reply.size(), 45u);
    // The identity goes out reversed: data bytes 0 to 3 are 1B 0A 00 00.
    EXPECT_EQ(hexOf(outcome.reply.substr(0, 7)), "FE B0 28 1B 0A 00 00");
    EXPECT_GE(clock.nowMs(), 16000u) << "the first attempt waited its whole time-out";
    EXPECT_EQ(functionsSeen(*sim), (Functions{"B0", "B0", "B1"}));
    EXPECT_EQ(countTrace(sim->settledTraceText()).silent, 1u);
}

// A stop of the server during a 16-second wait ends it within the wait slice under way.
TEST_F(ConnectionSimTest, AStopEndsAWaitAtOnce) {
    startSim("model=KMT,serial=0A1B,fault=silent");
    CMovraDeviceConnection connection(deviceOf(kTypeKmt), 0, clock, StopToken(stopFlag));
    ASSERT_EQ(connection.SetRetryLimit(3), S_OK);
    uint16_t error;
    ASSERT_EQ(connection.Open(&error), S_OK);
    // 200 ms on the connection's clock, it is deep in its wait.
    test::StopProbe probe(clock, 200, [this] { stopFlag = 1; });
    Outcome outcome = runExchange(connection, kmtIdentity());
    ASSERT_TRUE(probe.finish());
    EXPECT_EQ(outcome.result, E_FAIL);
    EXPECT_LE(probe.slicesAfterStop(), 1u);
    // Stopped, the connection neither repeats nor recovers.
    EXPECT_EQ(functionsSeen(*sim), (Functions{"B0"}));
}

}  // namespace
}  // namespace movra
