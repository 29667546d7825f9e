// The KMT model of the simulator, byte for byte against the KMT wire layout.
#include "tests/sim/sim_harness.h"
#include "tools/kmt-sim/values.h"

#include <gtest/gtest.h>

#include <ctime>

namespace movra::sim::test {
namespace {

constexpr uint8_t kAddress = 3;
constexpr uint32_t kSeed = 77;

SimLine kmtLine(const std::string& extra = "") {
    std::string keys =
        "model=KMT,address=3,seed=77,serial=12AB,version=0102,"
        "clock=fixed:2019-12-31T23:59:58";
    return SimLine({"--baud", "115200", "--device", keys + extra});
}

Bytes channelValues(uint32_t cycle) {
    Bytes expected(4, 0);
    for (uint32_t c = 1; c <= 10; ++c) {
        for (Quantity q : {Quantity::ChannelP, Quantity::ChannelT, Quantity::ChannelTo,
                           Quantity::ChannelG, Quantity::ChannelM, Quantity::ChannelN}) {
            appendFloat(expected, value(kSeed, q, c, cycle));
        }
    }
    return expected;
}

Bytes nodeValues(uint32_t cycle) {
    Bytes expected;
    for (uint32_t n = 1; n <= 10; ++n) {
        for (Quantity q :
             {Quantity::NodeWe, Quantity::NodeNe, Quantity::NodeWm, Quantity::NodeWl}) {
            appendFloat(expected, value(kSeed, q, n, cycle));
        }
    }
    return expected;
}

TEST(KmtSim, IdentityCarriesTheSerialReversedAndTheVersionInBytes27And26) {
    SimLine line = kmtLine();
    ReplyFrame reply = line.exchange(kmtRequest(kAddress, 0xB0, 0x00, 0x00, 0x00, 0x27));
    EXPECT_EQ(reply.address(), kAddress);
    EXPECT_EQ(reply.function(), 0xB0);
    Bytes data = reply.data();
    ASSERT_EQ(data.size(), 40u);
    // A reader reverses bytes 0..3 into identity 00 00 12 AB.
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 4), (Bytes{0xAB, 0x12, 0x00, 0x00}));
    EXPECT_EQ(data[27], 0x01);  // identity bytes 4 and 5: its halves
    EXPECT_EQ(data[26], 0x02);  // identity bytes 6 and 7
}

TEST(KmtSim, IdentOverridesTheSerial) {
    SimLine line = kmtLine(",ident=01020304");
    Bytes data = line.exchange(kmtRequest(kAddress, 0xB0, 0, 0, 0, 0x27)).data();
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 4), (Bytes{0x04, 0x03, 0x02, 0x01}));
}

TEST(KmtSim, LayoutHoldsChannelCodesAndNodeDigits) {
    SimLine line = kmtLine(",chan3=DEADBEEF,node1=7:1-2,node2=9:3+10,node4=0:-");
    ReplyFrame reply = line.exchange(kmtRequest(kAddress, 0xB2));
    Bytes data = reply.data();
    ASSERT_EQ(data.size(), 240u);
    EXPECT_EQ(Bytes(data.begin() + 8, data.begin() + 12), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 4), (Bytes{0x01, 0x12, 0x34, 0x56}));
    EXPECT_EQ(Bytes(data.begin() + 36, data.begin() + 40), (Bytes{0x10, 0x12, 0x34, 0x56}));
    EXPECT_EQ(Bytes(data.begin() + 40, data.begin() + 120), Bytes(80, 0));
    auto node = [&](int n) {
        return std::string(data.begin() + 120 + 12 * (n - 1),
                           data.begin() + 120 + 12 * (n - 1) + 11);
    };
    EXPECT_EQ(node(1), "71100000000");
    EXPECT_EQ(node(2), "90010000001");
    EXPECT_EQ(node(3), "10010000000");  // default: type 1, its own channel
    EXPECT_EQ(node(4), "00000000000");
    EXPECT_EQ(node(10), "10000000001");
}

TEST(KmtSim, NodeScaleRequestsAnswerTheNodesFloat) {
    SimLine line = kmtLine(",node1=7:1:1000,node3=7:3:999.99");
    auto scaleOf = [&](uint8_t node) {
        Bytes data =
            line.exchange(kmtRequest(kAddress, 0xB0, 0x80 + node, 0x01, 0x00, 0x01)).data();
        EXPECT_EQ(data.size(), 4u);
        return floatAt(data, 0);
    };
    EXPECT_EQ(scaleOf(1), 1000.0f);
    EXPECT_EQ(scaleOf(2), 1.0f);
    EXPECT_EQ(scaleOf(3), 999.99f);
}

TEST(KmtSim, ClockReplyPutsDateAndTimeInBytes4To10) {
    SimLine line = kmtLine();
    Bytes data = line.exchange(kmtRequest(kAddress, 0xB1)).data();
    ASSERT_EQ(data.size(), 11u);
    // 31 December 2019 was a Tuesday (byte 7, unused by readers).
    EXPECT_EQ(data, (Bytes{0, 0, 0, 0, 31, 12, 19, 2, 23, 59, 58}));
}

TEST(KmtSim, ClockOffsetRunsAheadOfThePcClock) {
    SimLine line({"--baud", "115200", "--device", "model=KMT,address=3,clock=+3h"});
    const std::time_t before = std::time(nullptr);
    Bytes data = line.exchange(kmtRequest(kAddress, 0xB1)).data();
    const std::time_t after = std::time(nullptr);
    // Three hours ahead of the PC clock somewhere between the request and the reply, however
    // long the machine took (the seconds are whole: one either side).
    auto threeHoursAhead = [](std::time_t pc, std::tm& local) {
        local = *std::localtime(&pc);
        local.tm_hour += 3;
        return std::mktime(&local);
    };
    std::tm expected{};
    const std::time_t earliest = threeHoursAhead(before, expected) - 1;
    std::tm latestLocal{};
    const std::time_t latest = threeHoursAhead(after, latestLocal) + 1;
    std::tm device{};
    device.tm_mday = data[4];
    device.tm_mon = data[5] - 1;
    device.tm_year = data[6] + 100;
    device.tm_hour = data[8];
    device.tm_min = data[9];
    device.tm_sec = data[10];
    device.tm_isdst = expected.tm_isdst;
    const std::time_t deviceTime = std::mktime(&device);
    EXPECT_GE(deviceTime, earliest);
    EXPECT_LE(deviceTime, latest);
}

TEST(KmtSim, ValuesFollowValuesHAndTheCycleMovesWithEachChannelRead) {
    SimLine line = kmtLine();
    for (uint32_t cycle = 0; cycle < 3; ++cycle) {
        line.exchange(kmtRequest(kAddress, 0xB1));
        EXPECT_EQ(line.exchange(kmtRequest(kAddress, 0xB3, 0x01)).data(), channelValues(cycle))
            << "cycle " << cycle;
        EXPECT_EQ(line.exchange(kmtRequest(kAddress, 0xB3, 0x81)).data(), nodeValues(cycle))
            << "cycle " << cycle;
        // Repeating the node request, or the clock as a recovery frame, stays in the cycle.
        line.exchange(kmtRequest(kAddress, 0xB1));
        EXPECT_EQ(line.exchange(kmtRequest(kAddress, 0xB3, 0x81)).data(), nodeValues(cycle));
    }
}

TEST(KmtSim, StatusFlagsAreDigitsWhoseBit0IsTheFlag) {
    SimLine line = kmtLine();
    line.exchange(kmtRequest(kAddress, 0xB3, 0x01));
    line.exchange(kmtRequest(kAddress, 0xB3, 0x01));  // cycle 1
    for (uint8_t channel : {1, 10}) {
        Bytes data = line.exchange(kmtRequest(kAddress, 0xA0, channel)).data();
        ASSERT_EQ(data.size(), 28u);
        uint32_t mask = 0;
        for (int k = 27; k >= 0; --k) {
            ASSERT_TRUE(data[k] == '0' || data[k] == '1');
            mask = mask << 1 | (data[k] & 1);
        }
        EXPECT_EQ(mask, kmtStatusMask(kSeed, channel, 1));
    }
}

TEST(KmtSim, UnknownRequestsAndChannelsGetNoAnswer) {
    SimLine line = kmtLine();
    Bytes probe = kmtRequest(kAddress, 0xB1);
    line.expectNoAnswer(kmtRequest(kAddress, 0x51), probe);
    line.expectNoAnswer(kmtRequest(kAddress, 0xA0, 11), probe);
    line.expectNoAnswer(kmtRequest(kAddress, 0xB0, 0x8B, 0x01, 0x00, 0x01), probe);
    line.expectNoAnswer(kmtRequest(kAddress, 0xB3, 0x02), probe);
}

}  // namespace
}  // namespace movra::sim::test
