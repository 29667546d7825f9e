// The KMT protocol against a scripted line: request frames, identification, values, failures.
#include "server/device/protocols.h"
#include "tests/device/protocol_fake.h"

#include <gtest/gtest.h>

namespace movra::test {
namespace {

constexpr uint8_t A = ScriptedLine::kAddress;
const Bytes kZeroBytes(8, 0);

// Reply data of the KMT, written from the wire tables.
struct KmtNode {
    char type = '0';
    std::string members = "0000000000";  // channels 1 to 10
};

Data identityReply(std::initializer_list<uint8_t> first4, uint8_t byte26, uint8_t byte27) {
    return Data().raw(first4).zeros(22).u8(byte26).u8(byte27);
}

// Channel c (1..10) gets the four bytes {c, 0x10 + c, 0x20 + c, 0x30 + c} unless given.
Data layoutReply(const std::vector<KmtNode>& nodes, const Bytes& channel1 = {}) {
    Data data;
    for (int c = 1; c <= 10; ++c) {
        if (c == 1 && !channel1.empty()) {
            data.bytes.insert(data.bytes.end(), channel1.begin(), channel1.end());
        } else {
            data.raw({uint8_t(c), uint8_t(0x10 + c), uint8_t(0x20 + c), uint8_t(0x30 + c)});
        }
    }
    data.bytes.insert(data.bytes.end(), 80, 0xEE);  // bytes 40 to 119, not used
    for (int n = 0; n < 10; ++n) {
        KmtNode node = n < int(nodes.size()) ? nodes[n] : KmtNode{};
        data.u8(uint8_t(node.type)).text(node.members).u8(0xEE);
    }
    return data;
}

Data clockReply(uint8_t day, uint8_t month, uint8_t year, uint8_t hour, uint8_t minute,
                uint8_t second) {
    return Data().raw({0xEE, 0xEE, 0xEE, 0xEE, day, month, year, 0xEE, hour, minute, second});
}

// Per channel P, T, To, G, M, N: channel c quantity q (1..6) has the value 10c + q + 0.25.
float channelValue(int c, int q) {
    return 10.0f * c + q + 0.25f;
}
Data channelValuesReply() {
    Data data;
    data.raw({0xEE, 0xEE, 0xEE, 0xEE});
    for (int c = 1; c <= 10; ++c) {
        for (int q = 1; q <= 6; ++q) {
            data.f32(channelValue(c, q));
        }
    }
    return data;
}

// Per node We, Ne, Wm, Wl: node n quantity q (1..4) has the value 200 + 10n + q + 0.5.
float nodeValue(int n, int q) {
    return 200.0f + 10.0f * n + q + 0.5f;
}
Data nodeValuesReply() {
    Data data;
    for (int n = 1; n <= 10; ++n) {
        for (int q = 1; q <= 4; ++q) {
            data.f32(nodeValue(n, q));
        }
    }
    return data;
}

// Bit k of the mask in bit 0 of data byte k; the other bits are noise.
Data statusReply(uint32_t mask) {
    Data data;
    for (int k = 0; k < 28; ++k) {
        data.u8(uint8_t(((mask >> k) & 1) | (k % 2 == 0 ? 0xA4 : 0x52)));
    }
    return data;
}

class KmtTest : public ::testing::Test {
protected:
    void SetUp() override { kmt->SetConnection(&line); }

    void scriptIdentify(const std::vector<KmtNode>& nodes = {},
                        const std::vector<float>& scales = {}) {
        line.reply(identityReply({0x12, 0x34, 0x56, 0x78}, 0xAB, 0xCD));
        line.reply(layoutReply(nodes));
        for (size_t n = 0; n < 10; ++n) {
            line.reply(Data().f32(n < scales.size() ? scales[n] : 1.0f));
        }
    }
    void identify() {
        scriptIdentify();
        IdentifyResult result = runIdentify(*kmt);
        ASSERT_EQ(result.hr, S_OK);
        line.events.clear();
    }
    void scriptRead() {
        line.reply(clockReply(31, 12, 19, 23, 59, 58));
        line.reply(channelValuesReply());
        line.reply(nodeValuesReply());
    }

    PinnedClock clock;
    ScriptedLine line{kTypeKmt, clock};
    std::unique_ptr<CMovraDataExchange> kmt = createDataExchange(kTypeKmt, clock);
};

TEST_F(KmtTest, IdentifySendsZeroBytesThenTwelveRequests) {
    scriptIdentify();
    IdentifyResult result = runIdentify(*kmt);
    ASSERT_EQ(result.hr, S_OK);

    ASSERT_EQ(line.events.size(), 13u);
    EXPECT_FALSE(line.events[0].exchange);
    EXPECT_EQ(line.events[0].bytes, kZeroBytes);
    // The identity request in full, CRC from an independent calculation.
    EXPECT_EQ(line.events[1].bytes, (Bytes{0x05, 0xB0, 0x00, 0x00, 0x00, 0x27, 0x01, 0x8E}));
    EXPECT_EQ(line.events[2].bytes, withCrc({A, 0xB2, 0x00, 0x00, 0x00, 0x00}));
    for (uint8_t n = 1; n <= 10; ++n) {
        EXPECT_TRUE(line.events[2 + n].exchange);
        EXPECT_EQ(line.events[2 + n].bytes, withCrc({A, 0xB0, uint8_t(0x80 + n), 0x01, 0x00, 0x01}))
            << "node " << int{n};
    }
    EXPECT_EQ(result.linkError, ERR_NONE);
    EXPECT_EQ(result.channels, 10);
    EXPECT_EQ(result.nodes, 10);
    uint32_t identified = 0;
    ASSERT_EQ(kmt->IsIdentified(&identified), S_OK);
    EXPECT_EQ(identified, 1u);
}

TEST_F(KmtTest, IdentityIsTheReversedSerialAndTheHalfBytesOfBytes27And26) {
    scriptIdentify();
    IdentifyResult result = runIdentify(*kmt);
    ASSERT_EQ(result.hr, S_OK);
    const Bytes identity(result.identity->bytes, result.identity->bytes + 9);
    EXPECT_EQ(identity, (Bytes{0x78, 0x56, 0x34, 0x12, 0x0C, 0x0D, 0x0A, 0x0B, 0x00}));
}

TEST_F(KmtTest, ChannelCodesAreHalfBytesFromTheLastByteOfTheGroup) {
    line.reply(identityReply({1, 2, 3, 4}, 0, 0));
    line.reply(layoutReply({}, {0x21, 0x43, 0x65, 0x87}));
    for (int n = 0; n < 10; ++n) {
        line.reply(Data().f32(1.0f));
    }
    IdentifyResult result = runIdentify(*kmt);
    ASSERT_EQ(result.hr, S_OK);
    const ChannelDescriptor* channels = result.channel.get();
    EXPECT_EQ(Bytes(channels[0].code, channels[0].code + 8), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
    // Channel 10: bytes 0A 1A 2A 3A.
    EXPECT_EQ(Bytes(channels[9].code, channels[9].code + 8),
              (Bytes{0x3, 0xA, 0x2, 0xA, 0x1, 0xA, 0x0, 0xA}));
}

TEST_F(KmtTest, NodeLayoutSetsTypesMembersAndChannelFlags) {
    // Node 1: gas node over channels 1, 2, 3; node 2: type 9 over channel 3 (it overwrites
    // node 1's flags for that channel); node 3: a non-digit type and a non-digit member.
    scriptIdentify({{'7', "1110000000"}, {'9', "0010000001"}, {'X', "00000Z0005"}});
    IdentifyResult result = runIdentify(*kmt);
    ASSERT_EQ(result.hr, S_OK);
    const NodeDescriptor* nodes = result.node.get();
    const ChannelDescriptor* channels = result.channel.get();

    EXPECT_EQ(nodes[0].nodeType, 7);
    EXPECT_EQ(nodes[0].isGasNode, 1u);
    EXPECT_EQ(nodes[0].isType9Node, 0u);
    EXPECT_EQ(Bytes(nodes[0].members, nodes[0].members + 20),
              (Bytes{1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(nodes[1].nodeType, 9);
    EXPECT_EQ(nodes[1].isGasNode, 0u);
    EXPECT_EQ(nodes[1].isType9Node, 1u);
    EXPECT_EQ(nodes[2].nodeType, 0);
    EXPECT_EQ(nodes[2].members[5], 0);
    EXPECT_EQ(nodes[2].members[9], 5);

    EXPECT_EQ(channels[0].gasChannel, 1u);
    EXPECT_EQ(channels[1].gasChannel, 1u);
    EXPECT_EQ(channels[2].gasChannel, 0u);  // the later type-9 node wins
    EXPECT_EQ(channels[2].type9Channel, 1u);
    // Node 3 (type 0) lists channel 10 after node 2 marked it: flags cleared again.
    EXPECT_EQ(channels[9].type9Channel, 0u);
    EXPECT_EQ(channels[3].gasChannel, 0u);
}

TEST_F(KmtTest, VolumeScaleOfExactly1000SetsTheFlag) {
    scriptIdentify({}, {1000.0f, 999.99f, 1.0f});
    IdentifyResult result = runIdentify(*kmt);
    ASSERT_EQ(result.hr, S_OK);
    const NodeDescriptor* nodes = result.node.get();
    EXPECT_EQ(nodes[0].volumeScale, 1000.0f);
    EXPECT_EQ(nodes[0].scaleIs1000, 1u);
    EXPECT_EQ(nodes[1].volumeScale, 999.99f);
    EXPECT_EQ(nodes[1].scaleIs1000, 0u);
    EXPECT_EQ(nodes[2].scaleIs1000, 0u);
}

TEST_F(KmtTest, ReadValuesUnderThePollSelectionSendsThreeRequests) {
    identify();
    scriptRead();
    ReadResult read = runRead(*kmt, 0, ReadSelection::all());
    ASSERT_EQ(read.hr, S_OK);
    ASSERT_EQ(line.events.size(), 4u);
    EXPECT_FALSE(line.events[0].exchange);
    EXPECT_EQ(line.events[0].bytes, kZeroBytes);
    EXPECT_EQ(line.events[1].bytes, withCrc({A, 0xB1, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(line.events[2].bytes, withCrc({A, 0xB3, 0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(line.events[3].bytes, (Bytes{0x05, 0xB3, 0x81, 0x00, 0x00, 0x00, 0x2D, 0xA8}));
    EXPECT_EQ(read.linkError, ERR_NONE);
    EXPECT_EQ(read.channels, 10);
    EXPECT_EQ(read.nodes, 10);
}

TEST_F(KmtTest, ReadValuesDecodesChannelsAndNodesWithTheirCopies) {
    identify();
    scriptRead();
    ReadResult read = runRead(*kmt, 0, ReadSelection::all());
    ASSERT_EQ(read.hr, S_OK);

    for (int c = 1; c <= 10; ++c) {
        SCOPED_TRACE("channel " + std::to_string(c));
        EXPECT_EQ(read.ch(c, kChannelP).value, bitsOf(channelValue(c, 1)));
        EXPECT_EQ(read.ch(c, kChannelT).value, bitsOf(channelValue(c, 2)));
        EXPECT_EQ(read.ch(c, kChannelTo).value, bitsOf(channelValue(c, 3)));
        EXPECT_EQ(read.ch(c, kChannelG).value, bitsOf(channelValue(c, 4)));
        EXPECT_EQ(read.ch(c, kChannelM).value, bitsOf(channelValue(c, 5)));
        EXPECT_EQ(read.ch(c, kChannelN).value, bitsOf(channelValue(c, 6)));
        EXPECT_EQ(read.ch(c, kChannelQs).value, bitsOf(channelValue(c, 4)));
        EXPECT_EQ(read.ch(c, kChannelVs).value, bitsOf(channelValue(c, 5)));
        EXPECT_EQ(read.ch(c, kChannelVs).quality, 192);
        for (int index : {kChannelStatus, kChannelQ, kChannelDP, kChannelV, kChannelNe, kChannelWe,
                          kChannelWc}) {
            EXPECT_TRUE(unsupplied(read.ch(c, index))) << "reading " << index;
        }
    }
    for (int n = 1; n <= 10; ++n) {
        SCOPED_TRACE("node " + std::to_string(n));
        EXPECT_EQ(read.nd(n, kNodeWe).value, bitsOf(nodeValue(n, 1)));
        EXPECT_EQ(read.nd(n, kNodeNe).value, bitsOf(nodeValue(n, 2)));
        EXPECT_EQ(read.nd(n, kNodeWm).value, bitsOf(nodeValue(n, 3)));
        EXPECT_EQ(read.nd(n, kNodeWl).value, bitsOf(nodeValue(n, 4)));
        EXPECT_EQ(read.nd(n, kNodeW).value, bitsOf(nodeValue(n, 1)));
        EXPECT_EQ(read.nd(n, kNodeQy).value, bitsOf(nodeValue(n, 2)));
        EXPECT_EQ(read.nd(n, kNodeGy).value, bitsOf(nodeValue(n, 2)));
        EXPECT_EQ(read.nd(n, kNodeVy).value, bitsOf(nodeValue(n, 3)));
        EXPECT_EQ(read.nd(n, kNodeMy).value, bitsOf(nodeValue(n, 3)));
        EXPECT_EQ(read.nd(n, kNodeMy).quality, 192);
        EXPECT_TRUE(unsupplied(read.nd(n, kNodeN)));
        EXPECT_TRUE(unsupplied(read.nd(n, kNodeWord)));
    }
    for (int index = 0; index < 4; ++index) {
        EXPECT_TRUE(unsupplied(read.sys(index))) << "system reading " << index;
    }
}

TEST_F(KmtTest, TimestampsFollowTheTimestampSource) {
    identify();
    const SYSTEMTIME deviceClock{2019, 12, 0, 31, 23, 59, 58, 0};
    struct Case {
        uint16_t source;
        SYSTEMTIME expected;
    };
    for (const Case& c : {Case{0, clock.utc}, Case{1, clock.local}, Case{2, deviceClock}}) {
        SCOPED_TRACE("source " + std::to_string(c.source));
        kmt->SetTimestampSource(c.source);
        scriptRead();
        ReadResult read = runRead(*kmt, 0, ReadSelection::all());
        ASSERT_EQ(read.hr, S_OK);
        EXPECT_TRUE(sameTime(read.ch(1, kChannelP).timestamp, c.expected))
            << timeText(read.ch(1, kChannelP).timestamp);
        EXPECT_TRUE(sameTime(read.ch(10, kChannelVs).timestamp, c.expected));
        EXPECT_TRUE(sameTime(read.nd(10, kNodeMy).timestamp, c.expected));
    }
}

TEST_F(KmtTest, StatusWordsOnlyWhenTheirFlagIsSet) {
    identify();
    ReadSelection selection{};
    selection.flags[ReadSelection::kSelectStatusWords] = 1;
    scriptRead();
    for (uint32_t c = 1; c <= 10; ++c) {
        line.reply(statusReply(c == 1 ? 0x0ABCDEF1u : c == 10 ? 0x08000001u : c));
    }
    kmt->SetTimestampSource(2);
    ReadResult read = runRead(*kmt, 0, selection);
    ASSERT_EQ(read.hr, S_OK);

    const std::vector<Bytes> requests = line.requests();
    ASSERT_EQ(requests.size(), 13u);
    for (uint8_t c = 1; c <= 10; ++c) {
        EXPECT_EQ(requests[2 + c], withCrc({A, 0xA0, c, 0x00, 0x00, 0x00}));
    }
    EXPECT_EQ(read.ch(1, kChannelStatus).value, 0x0ABCDEF1u);
    EXPECT_EQ(read.ch(10, kChannelStatus).value, 0x08000001u);
    EXPECT_EQ(read.ch(5, kChannelStatus).value, 5u);
    EXPECT_EQ(read.ch(5, kChannelStatus).quality, 192);
    EXPECT_TRUE(
        sameTime(read.ch(5, kChannelStatus).timestamp, SYSTEMTIME{2019, 12, 0, 31, 23, 59, 58, 0}));
    // Values are read all the same.
    EXPECT_EQ(read.ch(3, kChannelM).value, bitsOf(channelValue(3, 5)));
}

TEST_F(KmtTest, ShortRepliesFailIdentifyWithEverythingFreed) {
    struct Case {
        const char* name;
        int truncateReply;  // which reply of the identification is cut
        size_t keep;
    };
    for (const Case& c : {Case{"identity", 0, 27}, Case{"layout", 1, 230},
                          Case{"layout without node 10", 1, 228}, Case{"scale", 6, 3}}) {
        SCOPED_TRACE(c.name);
        ScriptedLine shortLine(kTypeKmt, clock);
        kmt->SetConnection(&shortLine);
        std::vector<Data> replies{identityReply({1, 2, 3, 4}, 5, 6), layoutReply({})};
        for (int n = 0; n < 10; ++n) {
            replies.push_back(Data().f32(1000.0f));
        }
        replies[c.truncateReply].truncate(c.keep);
        for (const Data& reply : replies) {
            shortLine.reply(reply);
        }
        IdentifyResult result = runIdentify(*kmt);
        EXPECT_EQ(result.hr, E_FAIL);
        EXPECT_EQ(result.linkError, ERR_INCOMPLETE);
        EXPECT_TRUE(result.cleared());
        EXPECT_EQ(shortLine.requests().size(), size_t(c.truncateReply + 1));
        uint32_t identified = 7;
        kmt->IsIdentified(&identified);
        EXPECT_EQ(identified, 0u);
    }
    // The last unused byte of the layout may be missing: nothing is read from it.
    ScriptedLine line239(kTypeKmt, clock);
    kmt->SetConnection(&line239);
    line239.reply(identityReply({1, 2, 3, 4}, 5, 6));
    line239.reply(layoutReply({}).truncate(239));
    for (int n = 0; n < 10; ++n) {
        line239.reply(Data().f32(1.0f));
    }
    EXPECT_EQ(runIdentify(*kmt).hr, S_OK);
}

TEST_F(KmtTest, ShortValueRepliesFailReadValuesWithEverythingFreed) {
    identify();
    // Clock without its second, channel values and node values each one byte short.
    for (int cut = 0; cut < 3; ++cut) {
        SCOPED_TRACE(cut);
        ScriptedLine shortLine(kTypeKmt, clock);
        kmt->SetConnection(&shortLine);
        std::vector<Data> replies{clockReply(1, 2, 24, 3, 4, 5), channelValuesReply(),
                                  nodeValuesReply()};
        replies[cut].truncate(replies[cut].size() - 1);
        for (const Data& reply : replies) {
            shortLine.reply(reply);
        }
        ReadResult read = runRead(*kmt, 0, ReadSelection::all());
        EXPECT_EQ(read.hr, E_FAIL);
        EXPECT_EQ(read.linkError, ERR_INCOMPLETE);
        EXPECT_TRUE(read.cleared());
        EXPECT_EQ(shortLine.requests().size(), size_t(cut + 1));
    }
}

TEST_F(KmtTest, FailingExchangesEndTheOperationWithTheirLinkError) {
    // A silent device while the scales are read: the whole identification is lost.
    line.reply(identityReply({1, 2, 3, 4}, 5, 6));
    line.reply(layoutReply({}));
    for (int n = 0; n < 4; ++n) {
        line.reply(Data().f32(1.0f));
    }
    IdentifyResult result = runIdentify(*kmt);
    EXPECT_EQ(result.hr, E_FAIL);
    EXPECT_EQ(result.linkError, ERR_NO_ANSWER);
    EXPECT_TRUE(result.cleared());
    EXPECT_EQ(line.requests().size(), 7u);

    identify();
    line.reply(clockReply(1, 2, 24, 3, 4, 5));
    line.fail(ERR_CRC);
    ReadResult read = runRead(*kmt, 0, ReadSelection::all());
    EXPECT_EQ(read.hr, E_FAIL);
    EXPECT_EQ(read.linkError, ERR_CRC);
    EXPECT_TRUE(read.cleared());
}

}  // namespace
}  // namespace movra::test
