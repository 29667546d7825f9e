// The KMT-G protocol: gas nodes with a volume scale, copies between readings, the volume request.
#include "server/device/protocols.h"
#include "tests/device/protocol_fake.h"

#include <gtest/gtest.h>

namespace movra::test {
namespace {

constexpr uint8_t A = ScriptedLine::kAddress;
const SYSTEMTIME kValuesClock{2024, 2, 0, 29, 1, 2, 3, 0};
const SYSTEMTIME kVolumesClock{2024, 2, 0, 29, 1, 2, 9, 0};

Bytes request(uint8_t function, uint8_t index, uint8_t selector) {
    return withCrc({A, function, index, 0, selector, 0, 0, 0});
}

Data identityReply(uint8_t byte12, uint8_t byte13) {
    return Data().raw({'G', 0x10, 0x20, 0x30}).zeros(8).u8(byte12).u8(byte13);
}
// Type and membership half-bytes in data bytes 0 to 3, the scale in 4 to 7.
Data nodeReply(std::initializer_list<uint8_t> head, float scale) {
    Data data;
    data.raw(head);
    data.zeros(4 - head.size());
    return data.f32(scale);
}

float channelValue(int c, int reading) {
    return 2000.0f + 100.0f * c + reading + 0.25f;
}
float nodeValue(int n, int reading) {
    return 6000.0f + 100.0f * n + reading + 0.5f;
}

Data valuesReply(int channels, int nodes) {
    Data data;
    data.clock(29, 2, 24, 1, 2, 3).raw({0xEE, 0xEE}).f32(99.5f);
    for (int reading : {kChannelQ, kChannelG, kChannelM, kChannelP, kChannelT, kChannelN}) {
        for (int c = 1; c <= channels; ++c) {
            data.f32(channelValue(c, reading));
        }
    }
    for (int reading : {kNodeN, kNodeW, kNodeGy, kNodeMy}) {
        for (int n = 1; n <= nodes; ++n) {
            data.f32(nodeValue(n, reading));
        }
    }
    for (int c = 1; c <= channels; ++c) {
        data.u16(uint16_t(0xB000 + c));
    }
    return data;
}
Data volumesReply(int channels) {
    Data data;
    data.clock(29, 2, 24, 1, 2, 9).u8(0xEE);
    for (int c = 1; c <= channels; ++c) {
        data.f32(channelValue(c, kChannelV));
    }
    return data;
}

class KmtGTest : public ::testing::Test {
protected:
    void SetUp() override { kmtG->SetConnection(&line); }

    // Three channels, three nodes: node 1 gas (type 7, scale 1000) over channels 1 and 2, node 2
    // gas with scale 999.99 over channel 3, node 3 type 9 over channel 2.
    void scriptIdentify() {
        line.reply(identityReply(0x12, 0x34));
        line.reply(Data().raw({0x12, 0x34, 0x56, 0x78}));
        line.reply(Data().raw({0x9A, 0xBC, 0xDE, 0xF0}));
        line.reply(Data().raw({0x01, 0x02, 0x03, 0x04}));
        line.reply(nodeReply({0x71, 0x10}, 1000.0f));
        line.reply(nodeReply({0x70, 0x01}, 999.99f));
        line.reply(nodeReply({0x90, 0x10}, 1.0f));
    }
    void identify() {
        scriptIdentify();
        ASSERT_EQ(runIdentify(*kmtG).hr, S_OK);
        line.events.clear();
    }

    PinnedClock clock;
    ScriptedLine line{kTypeKmtG, clock};
    std::unique_ptr<CMovraDataExchange> kmtG = createDataExchange(kTypeKmtG, clock);
};

TEST_F(KmtGTest, IdentifyUsesNodeSelector2) {
    scriptIdentify();
    IdentifyResult result = runIdentify(*kmtG);
    ASSERT_EQ(result.hr, S_OK);
    EXPECT_EQ(result.channels, 3);
    EXPECT_EQ(result.nodes, 3);
    const std::vector<Bytes> requests = line.requests();
    ASSERT_EQ(requests.size(), 7u);
    EXPECT_EQ(requests[0], request(0x50, 0, 4));
    EXPECT_EQ(requests[1], request(0x50, 1, 1));
    EXPECT_EQ(requests[2], request(0x50, 2, 1));
    EXPECT_EQ(requests[3], request(0x50, 3, 1));
    EXPECT_EQ(requests[4], request(0x50, 0x81, 2));
    EXPECT_EQ(requests[5], request(0x50, 0x82, 2));
    EXPECT_EQ(requests[6], request(0x50, 0x83, 2));
}

TEST_F(KmtGTest, IdentityAndChannelCodesAreHalfBytes) {
    scriptIdentify();
    IdentifyResult result = runIdentify(*kmtG);
    ASSERT_EQ(result.hr, S_OK);
    EXPECT_EQ(Bytes(result.identity->bytes, result.identity->bytes + 9),
              (Bytes{'G', 0x10, 0x20, 0x30, 0x1, 0x2, 0x3, 0, 0}));
    const ChannelDescriptor* channels = result.channel.get();
    EXPECT_EQ(Bytes(channels[0].code, channels[0].code + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 0}));
    EXPECT_EQ(Bytes(channels[1].code, channels[1].code + 8),
              (Bytes{9, 0xA, 0xB, 0xC, 0xD, 0xE, 0xF, 0}));
}

TEST_F(KmtGTest, GasNodesMarkTheirChannelsAndALaterNodeOverwrites) {
    scriptIdentify();
    IdentifyResult result = runIdentify(*kmtG);
    ASSERT_EQ(result.hr, S_OK);
    const NodeDescriptor* nodes = result.node.get();
    const ChannelDescriptor* channels = result.channel.get();

    EXPECT_EQ(nodes[0].nodeType, 7);
    EXPECT_EQ(Bytes(nodes[0].members, nodes[0].members + 3), (Bytes{1, 1, 0}));
    EXPECT_EQ(nodes[0].volumeScale, 1000.0f);
    EXPECT_EQ(nodes[0].scaleIs1000, 1u);
    EXPECT_EQ(nodes[0].isGasNode, 1u);
    EXPECT_EQ(nodes[1].volumeScale, 999.99f);
    EXPECT_EQ(nodes[1].scaleIs1000, 0u);
    EXPECT_EQ(Bytes(nodes[1].members, nodes[1].members + 3), (Bytes{0, 0, 1}));
    // Type 9 is not marked on this model.
    EXPECT_EQ(nodes[2].nodeType, 9);
    EXPECT_EQ(nodes[2].isType9Node, 0u);
    EXPECT_EQ(nodes[2].isGasNode, 0u);

    EXPECT_EQ(channels[0].gasChannel, 1u);
    EXPECT_EQ(channels[1].gasChannel, 0u);  // node 3 lists it last
    EXPECT_EQ(channels[2].gasChannel, 1u);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(channels[c].type9Channel, 0u);
    }
}

TEST_F(KmtGTest, ReadValuesTakesTheValuesAndTheirCopies) {
    identify();
    kmtG->SetTimestampSource(2);
    line.reply(valuesReply(3, 3));
    line.reply(volumesReply(3));
    ReadResult read = runRead(*kmtG, 0, ReadSelection::all());
    ASSERT_EQ(read.hr, S_OK);
    const std::vector<Bytes> requests = line.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], request(0x51, 0, 0));
    EXPECT_EQ(requests[1], request(0x58, 0, 0));

    EXPECT_EQ(read.sys(kSystemPa).value, bitsOf(99.5f));
    EXPECT_TRUE(unsupplied(read.sys(kSystemTx)));
    EXPECT_TRUE(unsupplied(read.sys(kSystemTv)));
    for (int c = 1; c <= 3; ++c) {
        SCOPED_TRACE("channel " + std::to_string(c));
        for (int index : {kChannelQ, kChannelG, kChannelM, kChannelP, kChannelT, kChannelN}) {
            EXPECT_EQ(read.ch(c, index).value, bitsOf(channelValue(c, index))) << index;
            EXPECT_TRUE(sameTime(read.ch(c, index).timestamp, kValuesClock));
        }
        EXPECT_EQ(read.ch(c, kChannelDP).value, bitsOf(channelValue(c, kChannelQ)));
        EXPECT_EQ(read.ch(c, kChannelQs).value, bitsOf(channelValue(c, kChannelG)));
        EXPECT_EQ(read.ch(c, kChannelVs).value, bitsOf(channelValue(c, kChannelM)));
        EXPECT_EQ(read.ch(c, kChannelStatus).value, uint32_t(0xB000 + c));
        // The volumes' reply brings its own clock.
        EXPECT_EQ(read.ch(c, kChannelV).value, bitsOf(channelValue(c, kChannelV)));
        EXPECT_TRUE(sameTime(read.ch(c, kChannelV).timestamp, kVolumesClock))
            << timeText(read.ch(c, kChannelV).timestamp);
        for (int index : {kChannelTo, kChannelNe, kChannelWe, kChannelWc}) {
            EXPECT_TRUE(unsupplied(read.ch(c, index))) << index;
        }
    }
    for (int n = 1; n <= 3; ++n) {
        SCOPED_TRACE("node " + std::to_string(n));
        for (int index : {kNodeN, kNodeW, kNodeGy, kNodeMy}) {
            EXPECT_EQ(read.nd(n, index).value, bitsOf(nodeValue(n, index))) << index;
        }
        EXPECT_EQ(read.nd(n, kNodeQy).value, bitsOf(nodeValue(n, kNodeGy)));
        EXPECT_EQ(read.nd(n, kNodeVy).value, bitsOf(nodeValue(n, kNodeMy)));
        for (int index : {kNodeWord, kNodeNe, kNodeWe, kNodeWm, kNodeWl}) {
            EXPECT_TRUE(unsupplied(read.nd(n, index))) << index;
        }
    }
}

TEST_F(KmtGTest, VolumesOnlyForAllOrFlag10) {
    identify();
    ReadSelection other{};
    other.flags[11] = 1;
    line.reply(valuesReply(3, 3));
    ReadResult withoutVolumes = runRead(*kmtG, 0, other);
    ASSERT_EQ(withoutVolumes.hr, S_OK);
    EXPECT_EQ(line.requests().size(), 1u);
    EXPECT_TRUE(unsupplied(withoutVolumes.ch(1, kChannelV)));

    line.events.clear();
    ReadSelection volumes{};
    volumes.flags[ReadSelection::kSelectChannelV] = 1;
    line.reply(valuesReply(3, 3));
    line.reply(volumesReply(3));
    ReadResult withVolumes = runRead(*kmtG, 0, volumes);
    ASSERT_EQ(withVolumes.hr, S_OK);
    EXPECT_EQ(line.requests().size(), 2u);
    EXPECT_EQ(withVolumes.ch(3, kChannelV).value, bitsOf(channelValue(3, kChannelV)));
}

TEST_F(KmtGTest, ShortRepliesFailCleanly) {
    identify();
    line.reply(valuesReply(3, 3));
    line.reply(volumesReply(3).truncate(7 + 8));
    ReadResult read = runRead(*kmtG, 0, ReadSelection::all());
    EXPECT_EQ(read.hr, E_FAIL);
    EXPECT_EQ(read.linkError, ERR_INCOMPLETE);
    EXPECT_TRUE(read.cleared());

    // A node reply without its scale.
    ScriptedLine shortLine(kTypeKmtG, clock);
    kmtG->SetConnection(&shortLine);
    shortLine.reply(identityReply(0, 0));
    shortLine.fail(ERR_DEVICE);
    shortLine.reply(Data().raw({0x70, 0, 0, 0, 0, 0, 0x7A}));
    IdentifyResult result = runIdentify(*kmtG);
    EXPECT_EQ(result.hr, E_FAIL);
    EXPECT_EQ(result.linkError, ERR_INCOMPLETE);
    EXPECT_TRUE(result.cleared());
}

}  // namespace
}  // namespace movra::test
