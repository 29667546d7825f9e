// The KMT-UV protocol: one request per quantity, 13 under the poll's selection.
#include "server/device/protocols.h"
#include "tests/device/protocol_fake.h"

#include <gtest/gtest.h>

namespace movra::test {
namespace {

constexpr uint8_t A = ScriptedLine::kAddress;
const SYSTEMTIME kDeviceClock{2022, 1, 0, 2, 3, 4, 5, 0};

Bytes request(uint8_t function, uint8_t index, uint8_t selector) {
    return withCrc({A, function, index, 0, selector, 0, 0, 0});
}

Data identityReply(uint8_t byte12) {
    return Data().raw({'V', 0x11, 0x22, 0x33}).zeros(8).u8(byte12);
}
// Type byte, 3 unused bytes, one packed word for channels 1 to 10.
Data nodeReply(uint8_t type, uint32_t word) {
    return Data().u8(type).raw({0xEE, 0xEE, 0xEE}).wordMsbFirst(word);
}

float channelValue(int c, int reading) {
    return 4000.0f + 100.0f * c + reading + 0.25f;
}
float nodeValue(int n, int reading) {
    return 8000.0f + 100.0f * n + reading + 0.5f;
}

// The rows as the wire table lists them: index, per node, reading, flag.
struct Row {
    uint8_t index;
    bool perNode;
    int reading;
    size_t flag;
};
const Row kRows[] = {
    {1, false, kChannelV, 10}, {2, false, kChannelM, 12}, {3, false, kChannelP, 7},
    {4, false, kChannelT, 6},  {5, true, kNodeW, 25},     {7, true, kNodeMy, 21},
    {8, false, kChannelQ, 8},  {9, false, kChannelG, 11}, {10, false, kChannelN, 15},
    {12, true, kNodeGy, 20},   {13, true, kNodeN, 24},    {100, false, kChannelStatus, 5},
};

Data rowReply(const Row& row, int channels, int nodes) {
    Data data;
    data.clock(2, 1, 22, 3, 4, 5).u8(0xEE);
    if (row.perNode) {
        for (int n = 1; n <= nodes; ++n) {
            data.f32(nodeValue(n, row.reading));
        }
    } else if (row.reading == kChannelStatus) {
        for (int c = 1; c <= channels; ++c) {
            data.u16(uint16_t(0xD000 + c));
        }
    } else {
        for (int c = 1; c <= channels; ++c) {
            data.f32(channelValue(c, row.reading));
        }
    }
    return data;
}

class KmtUVTest : public ::testing::Test {
protected:
    void SetUp() override { kmtUV->SetConnection(&line); }

    // Two channels, two nodes; node 1 of type 7 (never a gas node on this model).
    void scriptIdentify() {
        line.reply(identityReply(0x5E));
        line.reply(Data().raw({0x3A, 0x5B, 0xEE, 0xEE}));
        line.reply(Data().raw({0x11, 0x22}));
        line.fail(ERR_DEVICE);
        line.reply(nodeReply(7, 0x20000000));
        line.reply(nodeReply(12, 0x04000000 | 0x00000004));
        line.fail(ERR_DEVICE);
    }
    void identify() {
        scriptIdentify();
        ASSERT_EQ(runIdentify(*kmtUV).hr, S_OK);
        line.events.clear();
    }
    void scriptRead() {
        line.reply(Data());  // index 0: nothing of it is used
        for (const Row& row : kRows) {
            line.reply(rowReply(row, 2, 2));
        }
    }

    PinnedClock clock;
    ScriptedLine line{kTypeKmtUV, clock};
    std::unique_ptr<CMovraDataExchange> kmtUV = createDataExchange(kTypeKmtUV, clock);
};

TEST_F(KmtUVTest, IdentifyUsesNodeSelector2AndOnePackedWord) {
    scriptIdentify();
    IdentifyResult result = runIdentify(*kmtUV);
    ASSERT_EQ(result.hr, S_OK);
    EXPECT_EQ(result.channels, 2);
    EXPECT_EQ(result.nodes, 2);
    const std::vector<Bytes> requests = line.requests();
    ASSERT_EQ(requests.size(), 7u);
    EXPECT_EQ(requests[0], request(0x50, 0, 4));
    EXPECT_EQ(requests[1], request(0x50, 1, 1));
    EXPECT_EQ(requests[3], request(0x50, 3, 1));
    EXPECT_EQ(requests[4], request(0x50, 0x81, 2));
    EXPECT_EQ(requests[6], request(0x50, 0x83, 2));

    EXPECT_EQ(Bytes(result.identity->bytes, result.identity->bytes + 9),
              (Bytes{'V', 0x11, 0x22, 0x33, 0x5, 0xE, 0, 0, 0}));
    const ChannelDescriptor* channels = result.channel.get();
    EXPECT_EQ(Bytes(channels[0].code, channels[0].code + 8),
              (Bytes{0x3, 4, 0xA, 0, 0, 0x5, 0xB, 0}));

    const NodeDescriptor* nodes = result.node.get();
    EXPECT_EQ(nodes[0].nodeType, 7);
    EXPECT_EQ(Bytes(nodes[0].members, nodes[0].members + 20),
              (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(nodes[0].isGasNode, 0u);
    EXPECT_EQ(nodes[0].volumeScale, 0.0f);
    EXPECT_EQ(nodes[1].nodeType, 12);
    // Field 2 (bits 28-26) and field 10 (bits 4-2).
    EXPECT_EQ(Bytes(nodes[1].members, nodes[1].members + 10),
              (Bytes{0, 1, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(channels[0].gasChannel, 0u);
    EXPECT_EQ(channels[0].type9Channel, 0u);
}

TEST_F(KmtUVTest, ReadValuesSendsIndex0AndTwelveRows) {
    identify();
    scriptRead();
    ReadResult read = runRead(*kmtUV, 0, ReadSelection::all());
    ASSERT_EQ(read.hr, S_OK);
    const std::vector<Bytes> requests = line.requests();
    ASSERT_EQ(requests.size(), 13u);
    EXPECT_EQ(requests[0], request(0x51, 0, 0));
    const uint8_t order[] = {1, 2, 3, 4, 5, 7, 8, 9, 10, 12, 13, 100};
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(requests[1 + i], request(0x51, order[i], 0)) << int{order[i]};
    }
    EXPECT_EQ(requests[12], (Bytes{0x05, 0x51, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC8, 0xD5}));
}

TEST_F(KmtUVTest, EachRowFillsItsReading) {
    identify();
    kmtUV->SetTimestampSource(2);
    scriptRead();
    ReadResult read = runRead(*kmtUV, 0, ReadSelection::all());
    ASSERT_EQ(read.hr, S_OK);
    for (int c = 1; c <= 2; ++c) {
        SCOPED_TRACE("channel " + std::to_string(c));
        for (int index :
             {kChannelV, kChannelM, kChannelP, kChannelT, kChannelQ, kChannelG, kChannelN}) {
            EXPECT_EQ(read.ch(c, index).value, bitsOf(channelValue(c, index))) << index;
            EXPECT_TRUE(sameTime(read.ch(c, index).timestamp, kDeviceClock));
        }
        EXPECT_EQ(read.ch(c, kChannelStatus).value, uint32_t(0xD000 + c));
        for (int index :
             {kChannelTo, kChannelDP, kChannelQs, kChannelVs, kChannelNe, kChannelWe, kChannelWc}) {
            EXPECT_TRUE(unsupplied(read.ch(c, index))) << index;
        }
    }
    for (int n = 1; n <= 2; ++n) {
        SCOPED_TRACE("node " + std::to_string(n));
        for (int index : {kNodeW, kNodeMy, kNodeGy, kNodeN}) {
            EXPECT_EQ(read.nd(n, index).value, bitsOf(nodeValue(n, index))) << index;
        }
        for (int index : {kNodeWord, kNodeQy, kNodeVy, kNodeNe, kNodeWe, kNodeWm, kNodeWl}) {
            EXPECT_TRUE(unsupplied(read.nd(n, index))) << index;
        }
    }
    for (int index = 0; index < 4; ++index) {
        EXPECT_TRUE(unsupplied(read.sys(index)));
    }
}

TEST_F(KmtUVTest, SingleFlagsSendOnlyTheirRows) {
    identify();
    ReadSelection selection{};
    selection.flags[12] = 1;  // M
    selection.flags[24] = 1;  // node N
    line.reply(Data());
    line.reply(rowReply(kRows[1], 2, 2));
    line.reply(rowReply(kRows[10], 2, 2));
    ReadResult read = runRead(*kmtUV, 0, selection);
    ASSERT_EQ(read.hr, S_OK);
    const std::vector<Bytes> requests = line.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0], request(0x51, 0, 0));
    EXPECT_EQ(requests[1], request(0x51, 2, 0));
    EXPECT_EQ(requests[2], request(0x51, 13, 0));
    EXPECT_EQ(read.ch(2, kChannelM).value, bitsOf(channelValue(2, kChannelM)));
    EXPECT_EQ(read.nd(2, kNodeN).value, bitsOf(nodeValue(2, kNodeN)));
    EXPECT_TRUE(unsupplied(read.ch(2, kChannelV)));
}

TEST_F(KmtUVTest, AFailingOrShortRowLosesTheWholeReading) {
    identify();
    line.reply(Data());
    for (int i = 0; i < 5; ++i) {
        line.reply(rowReply(kRows[i], 2, 2));
    }
    line.fail(ERR_CRC);
    ReadResult failed = runRead(*kmtUV, 0, ReadSelection::all());
    EXPECT_EQ(failed.hr, E_FAIL);
    EXPECT_EQ(failed.linkError, ERR_CRC);
    EXPECT_TRUE(failed.cleared());

    line.reply(Data());
    for (int i = 0; i < 11; ++i) {
        line.reply(rowReply(kRows[i], 2, 2));
    }
    line.reply(rowReply(kRows[11], 2, 2).truncate(7 + 3));  // the status words
    ReadResult cut = runRead(*kmtUV, 0, ReadSelection::all());
    EXPECT_EQ(cut.hr, E_FAIL);
    EXPECT_EQ(cut.linkError, ERR_INCOMPLETE);
    EXPECT_TRUE(cut.cleared());
}

}  // namespace
}  // namespace movra::test
