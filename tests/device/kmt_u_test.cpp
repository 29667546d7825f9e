// The KMT-U protocol: packed 3-bit node membership, values in up to six requests.
#include "server/device/protocols.h"
#include "tests/device/protocol_fake.h"

#include <gtest/gtest.h>

namespace movra::test {
namespace {

constexpr uint8_t A = ScriptedLine::kAddress;
const SYSTEMTIME kDeviceClock{2023, 7, 0, 14, 8, 30, 45, 0};

Bytes request(uint8_t function, uint8_t index, uint8_t selector) {
    return withCrc({A, function, index, 0, selector, 0, 0, 0});
}

Data identityReply(uint8_t byte12, uint8_t byte13) {
    return Data().raw({'U', 0x01, 0x02, 0x03}).zeros(8).u8(byte12).u8(byte13);
}
// Type, 3 unused bytes, two packed words (channels 1-10, 11-20), the scale.
Data nodeReply(uint8_t type, uint32_t word1, uint32_t word2, float scale) {
    return Data()
        .u8(type)
        .raw({0xEE, 0xEE, 0xEE})
        .wordMsbFirst(word1)
        .wordMsbFirst(word2)
        .f32(scale);
}

// The 3-bit field of channel j (1..10) within its word.
uint32_t member(int j, uint32_t value) {
    return value << (29 - 3 * (j - 1));
}

float channelValue(int c, int reading) {
    return 3000.0f + 100.0f * c + reading + 0.25f;
}
float nodeValue(int n, int reading) {
    return 7000.0f + 100.0f * n + reading + 0.5f;
}

// Every value reply: clock, 1 unused byte, then the values.
Data withClock() {
    return Data().clock(14, 7, 23, 8, 30, 45).u8(0xEE);
}
Data channelsReply(int channels, std::initializer_list<int> readings) {
    Data data = withClock();
    for (int reading : readings) {
        for (int c = 1; c <= channels; ++c) {
            data.f32(channelValue(c, reading));
        }
    }
    return data;
}
Data nodesReply(int nodes, std::initializer_list<int> readings) {
    Data data = withClock();
    for (int reading : readings) {
        for (int n = 1; n <= nodes; ++n) {
            data.f32(nodeValue(n, reading));
        }
    }
    return data;
}
Data systemReply(int channels) {
    Data data = withClock();
    data.f32(95.5f).f32(21.75f).u16(0x5AA5);
    for (int c = 1; c <= channels; ++c) {
        data.u16(uint16_t(0xC000 + c));
    }
    return data;
}

class KmtUTest : public ::testing::Test {
protected:
    void SetUp() override { kmtU->SetConnection(&line); }

    // Three channels (the fourth gets the error reply), two nodes (the third likewise).
    void scriptIdentify() {
        line.reply(identityReply(0xAB, 0xCD));
        line.reply(Data().raw({0x42, 0x12, 0x34, 0x56}));
        line.reply(Data().raw({0x07, 0x00, 0x00, 0x01}));
        line.reply(Data().raw({0x99, 0xFE, 0xDC, 0xBA}));
        line.fail(ERR_DEVICE);
        // Node 1: gas, channels 1 and 2, and 11 and 20 of the second word.
        line.reply(
            nodeReply(7, member(1, 1) | member(2, 3), member(1, 1) | member(10, 5), 1000.0f));
        // Node 2: type 9 over channel 2 only; the unused bits 1 and 0 are set.
        line.reply(nodeReply(9, member(2, 2) | 0x3, 0, 999.99f));
        line.fail(ERR_DEVICE);
    }
    void identify() {
        scriptIdentify();
        ASSERT_EQ(runIdentify(*kmtU).hr, S_OK);
        line.events.clear();
    }
    void scriptRead() {
        line.reply(channelsReply(3, {kChannelQ, kChannelP, kChannelT}));
        line.reply(channelsReply(3, {kChannelG, kChannelM, kChannelN}));
        line.reply(systemReply(3));
        line.reply(nodesReply(2, {kNodeN, kNodeW}));
        line.reply(nodesReply(2, {kNodeGy, kNodeMy}));
        line.reply(channelsReply(3, {kChannelV}));
    }

    PinnedClock clock;
    ScriptedLine line{kTypeKmtU, clock};
    std::unique_ptr<CMovraDataExchange> kmtU = createDataExchange(kTypeKmtU, clock);
};

TEST_F(KmtUTest, IdentifyEndsTheListsAtTheErrorReplies) {
    scriptIdentify();
    IdentifyResult result = runIdentify(*kmtU);
    ASSERT_EQ(result.hr, S_OK);
    EXPECT_EQ(result.channels, 3);
    EXPECT_EQ(result.nodes, 2);
    EXPECT_EQ(result.linkError, ERR_NONE);
    const std::vector<Bytes> requests = line.requests();
    ASSERT_EQ(requests.size(), 8u);
    EXPECT_EQ(requests[0], request(0x50, 0, 4));
    for (uint8_t c = 1; c <= 4; ++c) {
        EXPECT_EQ(requests[c], request(0x50, c, 1));
    }
    EXPECT_EQ(requests[5], request(0x50, 0x81, 4));
    EXPECT_EQ(requests[6], request(0x50, 0x82, 4));
    EXPECT_EQ(requests[7], request(0x50, 0x83, 4));
}

TEST_F(KmtUTest, IdentityAndChannelCodes) {
    scriptIdentify();
    IdentifyResult result = runIdentify(*kmtU);
    ASSERT_EQ(result.hr, S_OK);
    EXPECT_EQ(Bytes(result.identity->bytes, result.identity->bytes + 9),
              (Bytes{'U', 0x01, 0x02, 0x03, 0xA, 0xB, 0xC, 0, 0xD}));
    const ChannelDescriptor* channels = result.channel.get();
    EXPECT_EQ(Bytes(channels[0].code, channels[0].code + 8), (Bytes{42, 1, 2, 3, 4, 5, 6, 0}));
    EXPECT_EQ(Bytes(channels[1].code, channels[1].code + 8), (Bytes{7, 0, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(Bytes(channels[2].code, channels[2].code + 8),
              (Bytes{99, 0xF, 0xE, 0xD, 0xC, 0xB, 0xA, 0}));
}

TEST_F(KmtUTest, PackedMembershipAndNodeFlags) {
    scriptIdentify();
    IdentifyResult result = runIdentify(*kmtU);
    ASSERT_EQ(result.hr, S_OK);
    const NodeDescriptor* nodes = result.node.get();
    const ChannelDescriptor* channels = result.channel.get();

    EXPECT_EQ(nodes[0].nodeType, 7);
    EXPECT_EQ(Bytes(nodes[0].members, nodes[0].members + 20),
              (Bytes{1, 3, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5}));
    EXPECT_EQ(nodes[0].isGasNode, 1u);
    EXPECT_EQ(nodes[0].isType9Node, 0u);
    EXPECT_EQ(nodes[0].volumeScale, 1000.0f);
    EXPECT_EQ(nodes[0].scaleIs1000, 1u);

    EXPECT_EQ(nodes[1].nodeType, 9);
    EXPECT_EQ(Bytes(nodes[1].members, nodes[1].members + 20),
              (Bytes{0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(nodes[1].isType9Node, 1u);
    EXPECT_EQ(nodes[1].scaleIs1000, 0u);

    EXPECT_EQ(channels[0].gasChannel, 1u);
    EXPECT_EQ(channels[0].type9Channel, 0u);
    EXPECT_EQ(channels[1].gasChannel, 0u);  // node 2 comes later
    EXPECT_EQ(channels[1].type9Channel, 1u);
    EXPECT_EQ(channels[2].gasChannel, 0u);
    // Members beyond the reported channels are marked all the same.
    EXPECT_EQ(channels[10].gasChannel, 1u);
    EXPECT_EQ(channels[19].gasChannel, 1u);
    EXPECT_EQ(channels[18].gasChannel, 0u);
}

TEST_F(KmtUTest, FirstFieldOfTheWordIsChannel1) {
    line.reply(identityReply(0, 0));
    line.fail(ERR_DEVICE);
    line.reply(nodeReply(7, 0x20000000, 0, 1.0f));
    line.fail(ERR_DEVICE);
    IdentifyResult result = runIdentify(*kmtU);
    ASSERT_EQ(result.hr, S_OK);
    EXPECT_EQ(result.channels, 0);
    EXPECT_EQ(result.nodes, 1);
    const NodeDescriptor& node = result.node.get()[0];
    EXPECT_EQ(Bytes(node.members, node.members + 20),
              (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(result.channel.get()[0].gasChannel, 1u);
}

TEST_F(KmtUTest, ReadValuesSendsSixRequests) {
    identify();
    scriptRead();
    ReadResult read = runRead(*kmtU, 0, ReadSelection::all());
    ASSERT_EQ(read.hr, S_OK);
    const std::vector<Bytes> requests = line.requests();
    ASSERT_EQ(requests.size(), 6u);
    for (uint8_t index = 0; index <= 4; ++index) {
        EXPECT_EQ(requests[index], request(0x51, index, 0)) << int{index};
    }
    EXPECT_EQ(requests[5], request(0x58, 0, 0));
}

TEST_F(KmtUTest, ReadValuesDecodesEveryStepAndItsCopies) {
    identify();
    kmtU->SetTimestampSource(2);
    scriptRead();
    ReadResult read = runRead(*kmtU, 0, ReadSelection::all());
    ASSERT_EQ(read.hr, S_OK);
    EXPECT_EQ(read.channels, 3);
    EXPECT_EQ(read.nodes, 2);

    EXPECT_EQ(read.sys(kSystemPa).value, bitsOf(95.5f));
    EXPECT_EQ(read.sys(kSystemTv).value, bitsOf(21.75f));
    EXPECT_EQ(read.sys(kSystemWord).value, 0x5AA5u);
    EXPECT_EQ(read.sys(kSystemWord).quality, 192);
    EXPECT_TRUE(sameTime(read.sys(kSystemTv).timestamp, kDeviceClock));
    EXPECT_TRUE(unsupplied(read.sys(kSystemTx)));

    for (int c = 1; c <= 3; ++c) {
        SCOPED_TRACE("channel " + std::to_string(c));
        for (int index :
             {kChannelQ, kChannelP, kChannelT, kChannelG, kChannelM, kChannelN, kChannelV}) {
            EXPECT_EQ(read.ch(c, index).value, bitsOf(channelValue(c, index))) << index;
            EXPECT_TRUE(sameTime(read.ch(c, index).timestamp, kDeviceClock));
        }
        EXPECT_EQ(read.ch(c, kChannelDP).value, bitsOf(channelValue(c, kChannelQ)));
        EXPECT_EQ(read.ch(c, kChannelQs).value, bitsOf(channelValue(c, kChannelG)));
        EXPECT_EQ(read.ch(c, kChannelVs).value, bitsOf(channelValue(c, kChannelM)));
        EXPECT_EQ(read.ch(c, kChannelWe).value, bitsOf(channelValue(c, kChannelM)));
        EXPECT_EQ(read.ch(c, kChannelNe).value, bitsOf(channelValue(c, kChannelN)));
        EXPECT_EQ(read.ch(c, kChannelWc).value, bitsOf(channelValue(c, kChannelV)));
        EXPECT_EQ(read.ch(c, kChannelStatus).value, uint32_t(0xC000 + c));
        EXPECT_TRUE(unsupplied(read.ch(c, kChannelTo)));
    }
    for (int n = 1; n <= 2; ++n) {
        SCOPED_TRACE("node " + std::to_string(n));
        for (int index : {kNodeN, kNodeW, kNodeGy, kNodeMy}) {
            EXPECT_EQ(read.nd(n, index).value, bitsOf(nodeValue(n, index))) << index;
        }
        EXPECT_EQ(read.nd(n, kNodeNe).value, bitsOf(nodeValue(n, kNodeN)));
        EXPECT_EQ(read.nd(n, kNodeWe).value, bitsOf(nodeValue(n, kNodeW)));
        EXPECT_EQ(read.nd(n, kNodeQy).value, bitsOf(nodeValue(n, kNodeGy)));
        EXPECT_EQ(read.nd(n, kNodeWm).value, bitsOf(nodeValue(n, kNodeGy)));
        EXPECT_EQ(read.nd(n, kNodeVy).value, bitsOf(nodeValue(n, kNodeMy)));
        EXPECT_EQ(read.nd(n, kNodeWl).value, bitsOf(nodeValue(n, kNodeMy)));
        EXPECT_TRUE(unsupplied(read.nd(n, kNodeWord)));
    }
    for (int c = 4; c <= 20; ++c) {
        EXPECT_TRUE(unsupplied(read.ch(c, kChannelQ)));
    }
}

TEST_F(KmtUTest, AFailingFourthStepLosesTheWholeReading) {
    identify();
    line.reply(channelsReply(3, {kChannelQ, kChannelP, kChannelT}));
    line.reply(channelsReply(3, {kChannelG, kChannelM, kChannelN}));
    line.reply(systemReply(3));
    line.fail(ERR_NO_ANSWER);
    ReadResult read = runRead(*kmtU, 0, ReadSelection::all());
    EXPECT_EQ(read.hr, E_FAIL);
    EXPECT_EQ(read.linkError, ERR_NO_ANSWER);
    EXPECT_TRUE(read.cleared());
    EXPECT_EQ(line.requests().size(), 4u);
}

TEST_F(KmtUTest, ShortStepRepliesFailCleanly) {
    identify();
    line.reply(channelsReply(3, {kChannelQ, kChannelP, kChannelT}));
    line.reply(channelsReply(3, {kChannelG, kChannelM, kChannelN}));
    line.reply(systemReply(3).truncate(7 + 4 + 4 + 2 + 5));
    ReadResult read = runRead(*kmtU, 0, ReadSelection::all());
    EXPECT_EQ(read.hr, E_FAIL);
    EXPECT_EQ(read.linkError, ERR_INCOMPLETE);
    EXPECT_TRUE(read.cleared());
    EXPECT_EQ(line.requests().size(), 3u);
}

TEST_F(KmtUTest, SingleFlagsSelectTheirSteps) {
    identify();
    struct Case {
        size_t flag;
        int step;  // 0: only the first request
    };
    for (const Case& c : {Case{13, 2}, Case{4, 3}, Case{26, 4}, Case{28, 5}, Case{18, 6},
                          Case{3, 0}, Case{19, 0}}) {
        SCOPED_TRACE("flag " + std::to_string(c.flag));
        line.events.clear();
        ReadSelection selection{};
        selection.flags[c.flag] = 1;
        line.reply(channelsReply(3, {kChannelQ, kChannelP, kChannelT}));
        switch (c.step) {
            case 2:
                line.reply(channelsReply(3, {kChannelG, kChannelM, kChannelN}));
                break;
            case 3:
                line.reply(systemReply(3));
                break;
            case 4:
                line.reply(nodesReply(2, {kNodeN, kNodeW}));
                break;
            case 5:
                line.reply(nodesReply(2, {kNodeGy, kNodeMy}));
                break;
            case 6:
                line.reply(channelsReply(3, {kChannelV}));
                break;
        }
        ReadResult read = runRead(*kmtU, 0, selection);
        ASSERT_EQ(read.hr, S_OK);
        const std::vector<Bytes> requests = line.requests();
        ASSERT_EQ(requests.size(), c.step == 0 ? 1u : 2u);
        EXPECT_EQ(requests[0], request(0x51, 0, 0));
        if (c.step == 6) {
            EXPECT_EQ(requests[1], request(0x58, 0, 0));
            EXPECT_EQ(read.ch(2, kChannelWc).value, bitsOf(channelValue(2, kChannelV)));
        } else if (c.step != 0) {
            EXPECT_EQ(requests[1], request(0x51, uint8_t(c.step - 1), 0));
        }
        EXPECT_EQ(read.ch(1, kChannelDP).value, bitsOf(channelValue(1, kChannelQ)));
    }
}

}  // namespace
}  // namespace movra::test
