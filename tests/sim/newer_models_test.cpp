// KMT-V, KMT-G, KMT-U and KMT-UV in the simulator, byte for byte against their wire layouts.
#include "tests/sim/sim_harness.h"
#include "tools/kmt-sim/values.h"

#include <gtest/gtest.h>

namespace movra::sim::test {
namespace {

constexpr uint8_t kAddress = 5;
constexpr uint32_t kSeed = 4242;
constexpr uint8_t kIdentify = 0x50;
constexpr uint8_t kValues = 0x51;
constexpr uint8_t kExtra = 0x58;
const Bytes kClock{31, 12, 19, 23, 59, 58};  // the fixed clock below, as the newer family sends it

SimLine newerLine(const std::string& model, const std::string& extra = "") {
    return SimLine({"--baud", "115200", "--device",
                    "model=" + model + ",address=5,seed=4242,serial=12AB,version=3456," +
                        "clock=fixed:2019-12-31T23:59:58" + extra});
}

void appendPer(Bytes& out, Quantity q, uint32_t count, uint32_t cycle) {
    for (uint32_t i = 1; i <= count; ++i) {
        appendFloat(out, value(kSeed, q, i, cycle));
    }
}

void appendStatus(Bytes& out, uint32_t channels, uint32_t cycle) {
    for (uint32_t c = 1; c <= channels; ++c) {
        appendWord(out, statusWord(kSeed, c, cycle));
    }
}

Bytes errorReplyOf(uint8_t function, uint8_t code) {
    Bytes frame{kAddress, static_cast<uint8_t>(function | 0x80), 1, code};
    uint16_t crc = wireCrc(frame);
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

// Clock, two unused bytes, Pa, six quantities per channel, four per node, status words.
Bytes currentValuesVG(uint32_t channels, uint32_t nodes, uint32_t cycle) {
    Bytes expected = kClock;
    expected.insert(expected.end(), 2, 0);
    appendFloat(expected, value(kSeed, Quantity::Pa, 0, cycle));
    for (Quantity q : {Quantity::ChannelQ, Quantity::ChannelG, Quantity::ChannelM,
                       Quantity::ChannelP, Quantity::ChannelT, Quantity::ChannelN}) {
        appendPer(expected, q, channels, cycle);
    }
    for (Quantity q : {Quantity::NodeN, Quantity::NodeW, Quantity::NodeGy, Quantity::NodeMy}) {
        appendPer(expected, q, nodes, cycle);
    }
    appendStatus(expected, channels, cycle);
    return expected;
}

TEST(KmtVSim, IdentifiesWithVariantChannelListAndNodeHalfBytes) {
    SimLine line = newerLine("KMT-V", ",variant=F,channels=3,node1=3:1+3,chan2=ABCDEF01");
    Bytes identity = line.exchange(newRequest(kAddress, kIdentify, 0, 4)).data();
    EXPECT_EQ(identity, (Bytes{'F', 0x00, 0x12, 0xAB, 0, 0, 0, 0, 0, 0, 0, 0, 0x34, 0x56, 0, 0}));

    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 1, 1)).data(),
              (Bytes{0x01, 0x12, 0x34, 0x56}));
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 2, 1)).data(),
              (Bytes{0xAB, 0xCD, 0xEF, 0x01}));
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 3, 1)).function(), kIdentify);
    // Channel 4 is past the reported three: the error reply ends the list.
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 4, 1)).raw,
              errorReplyOf(kIdentify, 0x02));

    // Node type in the first half-byte, then one half-byte per channel.
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 0x81, 1)).data(),
              (Bytes{0x31, 0x01, 0x00, 0x00}));
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 0x82, 1)).data(),
              (Bytes{0x10, 0x10, 0x00, 0x00}));
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 0x83, 1)).raw,
              errorReplyOf(kIdentify, 0x02));
}

TEST(KmtVSim, CurrentValuesAndTheExtraValuesOfVariantF) {
    SimLine line = newerLine("KMT-V", ",variant=F,channels=3");
    for (uint32_t cycle = 0; cycle < 2; ++cycle) {
        EXPECT_EQ(line.exchange(newRequest(kAddress, kValues)).data(),
                  currentValuesVG(3, 2, cycle));
        Bytes extra(7, 0);  // no clock in this reply
        appendPer(extra, Quantity::ChannelV, 3, cycle);
        EXPECT_EQ(line.exchange(newRequest(kAddress, kExtra)).data(), extra);
    }
}

TEST(KmtVSim, WithoutVariantFTheExtraValuesAreAnError) {
    SimLine line = newerLine("KMT-V");
    EXPECT_EQ(line.exchange(newRequest(kAddress, kExtra)).raw, errorReplyOf(kExtra, 0x01));
    EXPECT_EQ(line.exchange(newRequest(kAddress, kValues, 1)).raw, errorReplyOf(kValues, 0x02));
}

TEST(KmtGSim, NodeCarriesHalfBytesAndVolumeScale) {
    SimLine line = newerLine("KMT-G", ",nodes=2,node1=7:1-2:1000,node2=2:3");
    Bytes node1{0x71, 0x10, 0x00, 0x00};
    appendFloat(node1, 1000.0f);
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 0x81, 2)).data(), node1);
    Bytes node2{0x20, 0x01, 0x00, 0x00};
    appendFloat(node2, 1.0f);
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 0x82, 2)).data(), node2);
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 0x83, 2)).raw,
              errorReplyOf(kIdentify, 0x02));
    // The node list of a KMT-G has selector 2; selector 1 lists channels only.
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 0x81, 1)).raw,
              errorReplyOf(kIdentify, 0x02));
}

TEST(KmtGSim, CurrentValuesAndExtraValuesWithClock) {
    SimLine line = newerLine("KMT-G");
    EXPECT_EQ(line.exchange(newRequest(kAddress, kValues)).data(), currentValuesVG(3, 3, 0));
    Bytes extra = kClock;
    extra.push_back(0);
    appendPer(extra, Quantity::ChannelV, 3, 0);
    EXPECT_EQ(line.exchange(newRequest(kAddress, kExtra)).data(), extra);
}

TEST(KmtUSim, NodeMembershipIsPackedInThreeBitFields) {
    SimLine line = newerLine("KMT-U", ",nodes=3,node1=7:1+12:1000,node2=9:10+20,node3=255:-");
    Bytes node1{7, 0, 0, 0, 0x20, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00};
    appendFloat(node1, 1000.0f);
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 0x81, 4)).data(), node1);
    // Field 10 of a word is bits 4 to 2.
    Bytes node2{9, 0, 0, 0, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04};
    appendFloat(node2, 1.0f);
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 0x82, 4)).data(), node2);
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 0x83, 4)).data()[0], 255);
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 0x84, 4)).raw,
              errorReplyOf(kIdentify, 0x02));
    // Selector 4 with index 0 is still the device identity.
    Bytes identity = line.exchange(newRequest(kAddress, kIdentify, 0, 4)).data();
    EXPECT_EQ(identity, (Bytes{0, 0, 0x12, 0xAB, 0, 0, 0, 0, 0, 0, 0, 0, 0x34, 0x56, 0, 0}));
}

TEST(KmtUSim, FiveValueGroupsAndTheExtraVolumes) {
    SimLine line = newerLine("KMT-U", ",channels=20,nodes=4");
    auto head = [] {
        Bytes bytes = kClock;
        bytes.push_back(0);
        return bytes;
    };
    for (uint32_t cycle = 0; cycle < 2; ++cycle) {
        Bytes group0 = head();
        for (Quantity q : {Quantity::ChannelQ, Quantity::ChannelP, Quantity::ChannelT}) {
            appendPer(group0, q, 20, cycle);
        }
        EXPECT_EQ(line.exchange(newRequest(kAddress, kValues, 0)).data(), group0);

        Bytes group1 = head();
        for (Quantity q : {Quantity::ChannelG, Quantity::ChannelM, Quantity::ChannelN}) {
            appendPer(group1, q, 20, cycle);
        }
        EXPECT_EQ(line.exchange(newRequest(kAddress, kValues, 1)).data(), group1);

        Bytes group2 = head();
        appendFloat(group2, value(kSeed, Quantity::Pa, 0, cycle));
        appendFloat(group2, value(kSeed, Quantity::Tv, 0, cycle));
        appendWord(group2, deviceWord(kSeed, cycle));
        appendStatus(group2, 20, cycle);
        EXPECT_EQ(line.exchange(newRequest(kAddress, kValues, 2)).data(), group2);

        Bytes group3 = head();
        appendPer(group3, Quantity::NodeN, 4, cycle);
        appendPer(group3, Quantity::NodeW, 4, cycle);
        EXPECT_EQ(line.exchange(newRequest(kAddress, kValues, 3)).data(), group3);

        Bytes group4 = head();
        appendPer(group4, Quantity::NodeGy, 4, cycle);
        appendPer(group4, Quantity::NodeMy, 4, cycle);
        EXPECT_EQ(line.exchange(newRequest(kAddress, kValues, 4)).data(), group4);

        Bytes extra = head();
        appendPer(extra, Quantity::ChannelV, 20, cycle);
        EXPECT_EQ(line.exchange(newRequest(kAddress, kExtra)).data(), extra);
    }
    EXPECT_EQ(line.exchange(newRequest(kAddress, kValues, 5)).raw, errorReplyOf(kValues, 0x02));
}

TEST(KmtUVSim, TwelveRowsAfterAnOpeningRequestAndGapsAnswerErrors) {
    SimLine line = newerLine("KMT-UV", ",channels=4,nodes=3,node2=12:2-4");
    Bytes head = kClock;
    head.push_back(0);
    for (uint32_t cycle = 0; cycle < 2; ++cycle) {
        EXPECT_EQ(line.exchange(newRequest(kAddress, kValues, 0)).data(), head);
        struct Row {
            uint8_t index;
            Quantity quantity;
            uint32_t count;
        };
        const Row rows[] = {
            {1, Quantity::ChannelV, 4}, {2, Quantity::ChannelM, 4}, {3, Quantity::ChannelP, 4},
            {4, Quantity::ChannelT, 4}, {5, Quantity::NodeW, 3},    {7, Quantity::NodeMy, 3},
            {8, Quantity::ChannelQ, 4}, {9, Quantity::ChannelG, 4}, {10, Quantity::ChannelN, 4},
            {12, Quantity::NodeGy, 3},  {13, Quantity::NodeN, 3},
        };
        for (const Row& row : rows) {
            Bytes expected = head;
            appendPer(expected, row.quantity, row.count, cycle);
            EXPECT_EQ(line.exchange(newRequest(kAddress, kValues, row.index)).data(), expected)
                << "index " << int{row.index};
        }
        Bytes status = head;
        appendStatus(status, 4, cycle);
        EXPECT_EQ(line.exchange(newRequest(kAddress, kValues, 100)).data(), status);
    }
    for (uint8_t gap : {6, 11, 14}) {
        EXPECT_EQ(line.exchange(newRequest(kAddress, kValues, gap)).raw,
                  errorReplyOf(kValues, 0x02));
    }
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 0x82, 2)).data(),
              (Bytes{12, 0, 0, 0, 0x04, 0x90, 0x00, 0x00}));
    EXPECT_EQ(line.exchange(newRequest(kAddress, kExtra)).raw, errorReplyOf(kExtra, 0x01));
}

TEST(NewerFamilySim, RecoveryFrameIsAnsweredAndMovesNoCycle) {
    SimLine line = newerLine("KMT-U");
    Bytes before = line.exchange(newRequest(kAddress, kValues, 0)).data();
    ReplyFrame recovery = line.exchange(newRequest(kAddress, 0x7F));
    EXPECT_EQ(recovery.function(), 0x7F);
    EXPECT_TRUE(recovery.data().empty());
    // Only the opening request of a read moves the cycle, not the other groups.
    Bytes tv = line.exchange(newRequest(kAddress, kValues, 2)).data();
    EXPECT_EQ(floatAt(tv, 11), value(kSeed, Quantity::Tv, 0, 0));
    Bytes after = line.exchange(newRequest(kAddress, kValues, 0)).data();
    EXPECT_NE(before, after);
    EXPECT_EQ(floatAt(after, 7), value(kSeed, Quantity::ChannelQ, 1, 1));
}

TEST(NewerFamilySim, UnknownFunctionsGetAnErrorReply) {
    SimLine line = newerLine("KMT-G");
    EXPECT_EQ(line.exchange(newRequest(kAddress, 0x44)).raw, errorReplyOf(0x44, 0x01));
    EXPECT_EQ(line.exchange(newRequest(kAddress, kIdentify, 0, 3)).raw,
              errorReplyOf(kIdentify, 0x02));
}

}  // namespace
}  // namespace movra::sim::test
