// The KMT-V protocol, and with it the newer family's identification scheme.
#include "server/device/protocols.h"
#include "tests/device/protocol_fake.h"

#include <gtest/gtest.h>

namespace movra::test {
namespace {

constexpr uint8_t A = ScriptedLine::kAddress;
const SYSTEMTIME kDeviceClock{2019, 12, 0, 31, 23, 59, 58, 0};

Bytes request(uint8_t function, uint8_t index, uint8_t selector) {
    return withCrc({A, function, index, 0, selector, 0, 0, 0});
}

// Reply data written from the KMT-V tables.
Data identityReply(std::initializer_list<uint8_t> first4, uint8_t byte12) {
    return Data().raw(first4).raw({0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}).u8(byte12);
}
Data channelReply(uint8_t byte0, uint8_t byte1) {
    return Data().raw({byte0, byte1, 0xEE, 0xEE});
}

// Channel c reading r: 1000 + 100c + r + 0.25; node n reading r: 5000 + 100n + r + 0.5.
float channelValue(int c, int reading) {
    return 1000.0f + 100.0f * c + reading + 0.25f;
}
float nodeValue(int n, int reading) {
    return 5000.0f + 100.0f * n + reading + 0.5f;
}
constexpr float kPa = 101.25f;

Data valuesReply(int channels, int nodes) {
    Data data;
    data.clock(31, 12, 19, 23, 59, 58).raw({0xEE, 0xEE}).f32(kPa);
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
        data.u16(uint16_t(0xA000 + c));
    }
    return data;
}
Data volumesReply(int channels) {
    Data data;
    data.zeros(7);
    for (int c = 1; c <= channels; ++c) {
        data.f32(channelValue(c, kChannelV));
    }
    return data;
}

class KmtVTest : public ::testing::Test {
protected:
    void SetUp() override { kmtV->SetConnection(&line); }

    // A device of 3 channels (the 4th index gets the error reply) and 2 nodes.
    void scriptIdentify(uint8_t variant = 'F') {
        line.reply(identityReply({variant, 0x01, 0x02, 0x03}, 0x9C));
        line.reply(channelReply(0x3A, 0x5B));
        line.reply(channelReply(0x11, 0x22));
        line.reply(channelReply(0x33, 0x44));
        line.fail(ERR_DEVICE);
        line.reply(Data().raw({0x11, 0x02, 0xFF}));  // type 1: channels 1 and 3
        line.reply(Data().raw({0x30, 0x10}));        // type 3: channel 3
    }
    void identify() {
        scriptIdentify();
        ASSERT_EQ(runIdentify(*kmtV).hr, S_OK);
        line.events.clear();
    }

    PinnedClock clock;
    ScriptedLine line{kTypeKmtV, clock};
    std::unique_ptr<CMovraDataExchange> kmtV = createDataExchange(kTypeKmtV, clock);
};

TEST_F(KmtVTest, IdentifyRequestsIdentityChannelsUntilTheErrorReplyThenNodes) {
    scriptIdentify();
    IdentifyResult result = runIdentify(*kmtV);
    ASSERT_EQ(result.hr, S_OK);
    EXPECT_EQ(result.linkError, ERR_NONE);
    EXPECT_EQ(result.channels, 3);
    EXPECT_EQ(result.nodes, 2);

    const std::vector<Bytes> requests = line.requests();
    ASSERT_EQ(requests.size(), 7u);
    EXPECT_EQ(requests[0], (Bytes{0x05, 0x50, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0xD1, 0x01}));
    for (uint8_t c = 1; c <= 4; ++c) {
        EXPECT_EQ(requests[c], request(0x50, c, 1)) << "channel " << int{c};
    }
    EXPECT_EQ(requests[5], request(0x50, 0x81, 1));
    EXPECT_EQ(requests[6], request(0x50, 0x82, 1));
    for (const ScriptedLine::Event& event : line.events) {
        EXPECT_TRUE(event.exchange);  // no raw bytes before the newer family's requests
    }
}

TEST_F(KmtVTest, IdentityChannelCodesAndNodesAreHalfBytes) {
    scriptIdentify();
    IdentifyResult result = runIdentify(*kmtV);
    ASSERT_EQ(result.hr, S_OK);
    EXPECT_EQ(Bytes(result.identity->bytes, result.identity->bytes + 9),
              (Bytes{'F', 0x01, 0x02, 0x03, 0x9, 0xC, 0, 0, 0}));

    const ChannelDescriptor* channels = result.channel.get();
    EXPECT_EQ(Bytes(channels[0].code, channels[0].code + 8),
              (Bytes{0x3, 4, 0xA, 0, 0, 0x5, 0xB, 0}));
    EXPECT_EQ(Bytes(channels[2].code, channels[2].code + 8), (Bytes{3, 4, 3, 0, 0, 4, 4, 0}));
    // Channels beyond the reported ones stay zero.
    EXPECT_EQ(Bytes(channels[3].code, channels[3].code + 8), Bytes(8, 0));

    const NodeDescriptor* nodes = result.node.get();
    EXPECT_EQ(nodes[0].nodeType, 1);
    // Only as many half-bytes as reported channels: the 0xFF byte is not membership.
    EXPECT_EQ(Bytes(nodes[0].members, nodes[0].members + 5), (Bytes{1, 0, 2, 0, 0}));
    EXPECT_EQ(nodes[1].nodeType, 3);
    EXPECT_EQ(Bytes(nodes[1].members, nodes[1].members + 5), (Bytes{0, 1, 0, 0, 0}));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(channels[i].gasChannel, 0u);
        EXPECT_EQ(channels[i].type9Channel, 0u);
    }
    EXPECT_EQ(nodes[0].volumeScale, 0.0f);
    EXPECT_EQ(nodes[0].isGasNode | nodes[0].isType9Node | nodes[0].scaleIs1000, 0u);
}

TEST_F(KmtVTest, ErrorReplyForTheFirstChannelMeansNoChannels) {
    line.reply(identityReply({'A', 0, 0, 0}, 0));
    line.fail(ERR_DEVICE);
    line.fail(ERR_DEVICE);
    IdentifyResult result = runIdentify(*kmtV);
    ASSERT_EQ(result.hr, S_OK);
    EXPECT_EQ(result.channels, 0);
    EXPECT_EQ(result.nodes, 0);
    EXPECT_EQ(result.linkError, ERR_NONE);
    EXPECT_EQ(line.requests().size(), 3u);
}

TEST_F(KmtVTest, SilentDeviceDuringTheChannelListFailsIdentify) {
    line.reply(identityReply({'F', 0, 0, 0}, 0));
    line.reply(channelReply(0x10, 0x20));
    // Channel 2: no answer.
    IdentifyResult result = runIdentify(*kmtV);
    EXPECT_EQ(result.hr, E_FAIL);
    EXPECT_EQ(result.linkError, ERR_NO_ANSWER);
    EXPECT_TRUE(result.cleared());
    uint32_t identified = 7;
    kmtV->IsIdentified(&identified);
    EXPECT_EQ(identified, 0u);

    // The next cycle tries again from the start and succeeds.
    line.events.clear();
    scriptIdentify();
    EXPECT_EQ(runIdentify(*kmtV).hr, S_OK);
    EXPECT_EQ(line.requests().front(), request(0x50, 0, 4));
    kmtV->IsIdentified(&identified);
    EXPECT_EQ(identified, 1u);
}

TEST_F(KmtVTest, ErrorReplyToTheIdentityRequestIsAFailure) {
    line.fail(ERR_DEVICE);
    IdentifyResult result = runIdentify(*kmtV);
    EXPECT_EQ(result.hr, E_FAIL);
    EXPECT_EQ(result.linkError, ERR_DEVICE);
    EXPECT_TRUE(result.cleared());
}

TEST_F(KmtVTest, ShortIdentificationRepliesFail) {
    struct Case {
        Data identity;
        Data channel;
        Data node;
    };
    const Case cases[] = {
        {identityReply({'F', 0, 0, 0}, 0).truncate(12), channelReply(1, 2), Data().u8(0x11)},
        {identityReply({'F', 0, 0, 0}, 0), channelReply(1, 2).truncate(1), Data().u8(0x11)},
        {identityReply({'F', 0, 0, 0}, 0), channelReply(1, 2), Data()},
    };
    for (const Case& c : cases) {
        ScriptedLine shortLine(kTypeKmtV, clock);
        kmtV->SetConnection(&shortLine);
        shortLine.reply(c.identity);
        shortLine.reply(c.channel);
        shortLine.fail(ERR_DEVICE);
        shortLine.reply(c.node);
        IdentifyResult result = runIdentify(*kmtV);
        EXPECT_EQ(result.hr, E_FAIL);
        EXPECT_EQ(result.linkError, ERR_INCOMPLETE);
        EXPECT_TRUE(result.cleared());
    }
}

TEST_F(KmtVTest, VariantFReadsTheVolumesWithASecondRequest) {
    identify();
    line.reply(valuesReply(3, 2));
    line.reply(volumesReply(3));
    ReadResult read = runRead(*kmtV, 'F', ReadSelection{});
    ASSERT_EQ(read.hr, S_OK);
    const std::vector<Bytes> requests = line.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], (Bytes{0x05, 0x51, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0xF1}));
    EXPECT_EQ(requests[1], request(0x58, 0, 0));
    for (int c = 1; c <= 3; ++c) {
        EXPECT_EQ(read.ch(c, kChannelV).value, bitsOf(channelValue(c, kChannelV)));
        EXPECT_EQ(read.ch(c, kChannelV).quality, 192);
    }
}

TEST_F(KmtVTest, OtherVariantsNeverAskForVolumes) {
    identify();
    for (uint8_t variant : {uint8_t('A'), uint8_t('f'), uint8_t(0)}) {
        line.events.clear();
        line.reply(valuesReply(3, 2));
        ReadResult read = runRead(*kmtV, variant, ReadSelection::all());
        ASSERT_EQ(read.hr, S_OK);
        ASSERT_EQ(line.requests().size(), 1u);
        for (int c = 1; c <= 3; ++c) {
            EXPECT_TRUE(unsupplied(read.ch(c, kChannelV)));
        }
    }
}

TEST_F(KmtVTest, ValuesAreGroupedByQuantityPerReportedChannelAndNode) {
    identify();
    kmtV->SetTimestampSource(2);
    line.reply(valuesReply(3, 2));
    line.reply(volumesReply(3));
    ReadResult read = runRead(*kmtV, 'F', ReadSelection::all());
    ASSERT_EQ(read.hr, S_OK);
    EXPECT_EQ(read.channels, 3);
    EXPECT_EQ(read.nodes, 2);

    EXPECT_EQ(read.sys(kSystemPa).value, bitsOf(kPa));
    EXPECT_TRUE(sameTime(read.sys(kSystemPa).timestamp, kDeviceClock));
    for (int index : {kSystemWord, kSystemTx, kSystemTv}) {
        EXPECT_TRUE(unsupplied(read.sys(index)));
    }
    for (int c = 1; c <= 3; ++c) {
        SCOPED_TRACE("channel " + std::to_string(c));
        for (int index :
             {kChannelQ, kChannelG, kChannelM, kChannelP, kChannelT, kChannelN, kChannelV}) {
            EXPECT_EQ(read.ch(c, index).value, bitsOf(channelValue(c, index))) << index;
            EXPECT_EQ(read.ch(c, index).quality, 192);
            // The volumes' reply has no clock: they carry the time of the first reply.
            EXPECT_TRUE(sameTime(read.ch(c, index).timestamp, kDeviceClock));
        }
        EXPECT_EQ(read.ch(c, kChannelStatus).value, uint32_t(0xA000 + c));
        for (int index :
             {kChannelTo, kChannelDP, kChannelQs, kChannelVs, kChannelNe, kChannelWe, kChannelWc}) {
            EXPECT_TRUE(unsupplied(read.ch(c, index))) << index;
        }
    }
    for (int n = 1; n <= 2; ++n) {
        SCOPED_TRACE("node " + std::to_string(n));
        for (int index : {kNodeN, kNodeW, kNodeGy, kNodeMy}) {
            EXPECT_EQ(read.nd(n, index).value, bitsOf(nodeValue(n, index))) << index;
        }
        for (int index : {kNodeWord, kNodeQy, kNodeVy, kNodeNe, kNodeWe, kNodeWm, kNodeWl}) {
            EXPECT_TRUE(unsupplied(read.nd(n, index))) << index;
        }
    }
    // Channels the device did not report: whole blocks of zeros.
    for (int c = 4; c <= 5; ++c) {
        for (int index = 0; index < 15; ++index) {
            EXPECT_TRUE(unsupplied(read.ch(c, index)));
        }
    }
}

TEST_F(KmtVTest, AFailingOrShortReplyLosesTheWholeReading) {
    identify();
    line.reply(valuesReply(3, 2));
    line.fail(ERR_CRC);
    ReadResult failed = runRead(*kmtV, 'F', ReadSelection::all());
    EXPECT_EQ(failed.hr, E_FAIL);
    EXPECT_EQ(failed.linkError, ERR_CRC);
    EXPECT_TRUE(failed.cleared());

    line.reply(valuesReply(3, 2).truncate(valuesReply(3, 2).size() - 1));
    ReadResult cut = runRead(*kmtV, 'A', ReadSelection::all());
    EXPECT_EQ(cut.hr, E_FAIL);
    EXPECT_EQ(cut.linkError, ERR_INCOMPLETE);
    EXPECT_TRUE(cut.cleared());

    line.reply(valuesReply(3, 2));
    line.reply(volumesReply(3).truncate(7 + 11));
    ReadResult shortVolumes = runRead(*kmtV, 'F', ReadSelection::all());
    EXPECT_EQ(shortVolumes.hr, E_FAIL);
    EXPECT_EQ(shortVolumes.linkError, ERR_INCOMPLETE);
    EXPECT_TRUE(shortVolumes.cleared());

    // An error reply during the values is a failure like any other.
    line.fail(ERR_DEVICE);
    ReadResult device = runRead(*kmtV, 'A', ReadSelection::all());
    EXPECT_EQ(device.hr, E_FAIL);
    EXPECT_EQ(device.linkError, ERR_DEVICE);
    EXPECT_TRUE(device.cleared());
}

}  // namespace
}  // namespace movra::test
