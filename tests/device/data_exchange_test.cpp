// The exchange framework: the factory, the argument and failure contracts shared by every model,
// the field decoders and the bounds of reply decoding.
#include "server/device/protocols.h"
#include "server/device/reply_fields.h"
#include "tests/device/protocol_fake.h"
#include "tests/support/task_mem_probe.h"

#include <gtest/gtest.h>

namespace movra::test {
namespace {

TEST(ModbusCrcTest, MatchesPublishedVectors) {
    // A read-holding-registers request with the CRC Modbus publishes for it: 01 03 00 00 00 0A
    // C5 CD; and the CRC catalogue's check value of "123456789".
    EXPECT_EQ(withCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}),
              (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
    EXPECT_EQ(modbusCrc({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x4B37);
    // Over a whole frame with its CRC the result is 0.
    EXPECT_EQ(modbusCrc(withCrc({0x05, 0xB0, 0x00, 0x00, 0x00, 0x27})), 0);
}

TEST(CreateDataExchangeTest, MakesTheProtocolOfEachModelWithItsConstants) {
    PinnedClock clock;
    struct Expected {
        uint8_t type;
        uint32_t requestSize;
        uint16_t channels;
        uint16_t nodes;
    };
    for (const Expected& e : {Expected{1, 8, 10, 10}, Expected{2, 10, 5, 2}, Expected{3, 10, 3, 3},
                              Expected{4, 10, 20, 16}, Expected{5, 10, 10, 6}}) {
        SCOPED_TRACE(int{e.type});
        auto exchange = createDataExchange(e.type, clock);
        ASSERT_NE(exchange, nullptr);
        EXPECT_EQ(exchange->RequestSize(), e.requestSize);
        EXPECT_EQ(exchange->MaxChannels(), e.channels);
        EXPECT_EQ(exchange->MaxNodes(), e.nodes);
        // The models agree with the configuration's own counts.
        EXPECT_EQ(exchange->MaxChannels(), channelCountOf(e.type));
        EXPECT_EQ(exchange->MaxNodes(), nodeCountOf(e.type));
        uint32_t identified = 7;
        EXPECT_EQ(exchange->IsIdentified(&identified), S_OK);
        EXPECT_EQ(identified, 0u);
    }
    EXPECT_EQ(createDataExchange(0, clock), nullptr);
    EXPECT_EQ(createDataExchange(6, clock), nullptr);
    EXPECT_EQ(createDataExchange(255, clock), nullptr);
}

class ContractTest : public ::testing::TestWithParam<uint8_t> {
protected:
    void SetUp() override { exchange->SetConnection(&line); }
    // Every reply frame the exchange took, also one it refused, is freed by the time it returns.
    void TearDown() override {
        if (blocksAtStart) {
            EXPECT_EQ(LiveTaskMemBlocks(), blocksAtStart) << "task-allocator blocks leaked";
        }
    }

    std::optional<long> blocksAtStart = LiveTaskMemBlocks();
    PinnedClock clock;
    ScriptedLine line{GetParam(), clock};
    std::unique_ptr<CMovraDataExchange> exchange = createDataExchange(GetParam(), clock);
};

TEST_P(ContractTest, IsIdentifiedRejectsNull) {
    EXPECT_EQ(exchange->IsIdentified(nullptr), E_INVALIDARG);
}

TEST_P(ContractTest, ReadValuesBeforeIdentifyFailsWithoutTraffic) {
    ReadResult read = runRead(*exchange, 'F', ReadSelection::all());
    EXPECT_EQ(read.hr, E_FAIL);
    EXPECT_EQ(read.linkError, ERR_NONE);
    EXPECT_TRUE(read.cleared());
    EXPECT_TRUE(line.events.empty());
}

TEST_P(ContractTest, NullArgumentsAreRejectedBeforeAnyTraffic) {
    uint16_t channels = 0;
    uint16_t nodes = 0;
    uint16_t error = 0;
    DeviceIdentity* identity = nullptr;
    ChannelDescriptor* descriptors = nullptr;
    NodeDescriptor* layout = nullptr;
    EXPECT_EQ(exchange->Identify(nullptr, &nodes, &identity, &descriptors, &layout, &error),
              E_INVALIDARG);
    EXPECT_EQ(exchange->Identify(&channels, nullptr, &identity, &descriptors, &layout, &error),
              E_INVALIDARG);
    EXPECT_EQ(exchange->Identify(&channels, &nodes, nullptr, &descriptors, &layout, &error),
              E_INVALIDARG);
    EXPECT_EQ(exchange->Identify(&channels, &nodes, &identity, nullptr, &layout, &error),
              E_INVALIDARG);
    EXPECT_EQ(exchange->Identify(&channels, &nodes, &identity, &descriptors, nullptr, &error),
              E_INVALIDARG);
    EXPECT_EQ(exchange->Identify(&channels, &nodes, &identity, &descriptors, &layout, nullptr),
              E_INVALIDARG);

    const ReadSelection all = ReadSelection::all();
    SystemBlock* system = nullptr;
    ChannelBlock* blocks = nullptr;
    NodeBlock* nodeBlocks = nullptr;
    EXPECT_EQ(
        exchange->ReadValues(0, nullptr, &channels, &nodes, &system, &blocks, &nodeBlocks, &error),
        E_INVALIDARG);
    EXPECT_EQ(exchange->ReadValues(0, &all, nullptr, &nodes, &system, &blocks, &nodeBlocks, &error),
              E_INVALIDARG);
    EXPECT_EQ(
        exchange->ReadValues(0, &all, &channels, nullptr, &system, &blocks, &nodeBlocks, &error),
        E_INVALIDARG);
    EXPECT_EQ(
        exchange->ReadValues(0, &all, &channels, &nodes, nullptr, &blocks, &nodeBlocks, &error),
        E_INVALIDARG);
    EXPECT_EQ(
        exchange->ReadValues(0, &all, &channels, &nodes, &system, nullptr, &nodeBlocks, &error),
        E_INVALIDARG);
    EXPECT_EQ(exchange->ReadValues(0, &all, &channels, &nodes, &system, &blocks, nullptr, &error),
              E_INVALIDARG);
    EXPECT_EQ(
        exchange->ReadValues(0, &all, &channels, &nodes, &system, &blocks, &nodeBlocks, nullptr),
        E_INVALIDARG);
    EXPECT_TRUE(line.events.empty());
}

TEST_P(ContractTest, SilentDeviceFailsIdentifyAndLeavesItUnidentified) {
    IdentifyResult result = runIdentify(*exchange);
    EXPECT_EQ(result.hr, E_FAIL);
    EXPECT_EQ(result.linkError, ERR_NO_ANSWER);
    EXPECT_TRUE(result.cleared());
    uint32_t identified = 7;
    ASSERT_EQ(exchange->IsIdentified(&identified), S_OK);
    EXPECT_EQ(identified, 0u);
    EXPECT_EQ(line.requests().size(), 1u);
}

TEST_P(ContractTest, WithoutAConnectionIdentifyFailsCleanly) {
    exchange->SetConnection(nullptr);
    IdentifyResult result = runIdentify(*exchange);
    EXPECT_EQ(result.hr, E_FAIL);
    EXPECT_EQ(result.linkError, ERR_PORT_SETUP);
    EXPECT_TRUE(result.cleared());
}

TEST_P(ContractTest, OutOfMemoryInTheConnectionIsReportedAsSuch) {
    line.failWith(E_OUTOFMEMORY, ERR_NONE);
    IdentifyResult result = runIdentify(*exchange);
    EXPECT_EQ(result.hr, E_OUTOFMEMORY);
    EXPECT_EQ(result.linkError, ERR_NONE);
    EXPECT_TRUE(result.cleared());
}

TEST_P(ContractTest, MalformedReplyFramesFailWithoutReadingPastThem) {
    // Shorter than an envelope, and a length byte that claims more than the frame holds.
    line.replyFrame({ScriptedLine::kAddress, 0x50});
    IdentifyResult tooShort = runIdentify(*exchange);
    EXPECT_EQ(tooShort.hr, E_FAIL);
    EXPECT_EQ(tooShort.linkError, ERR_INCOMPLETE);
    EXPECT_TRUE(tooShort.cleared());

    const uint8_t function = GetParam() == kTypeKmt ? 0xB0 : 0x50;
    line.replyFrame(withCrc({ScriptedLine::kAddress, function, 200, 1, 2, 3}));
    IdentifyResult overstated = runIdentify(*exchange);
    EXPECT_EQ(overstated.hr, E_FAIL);
    EXPECT_EQ(overstated.linkError, ERR_INCOMPLETE);
    EXPECT_TRUE(overstated.cleared());
}

INSTANTIATE_TEST_SUITE_P(AllModels, ContractTest,
                         ::testing::Values(kTypeKmt, kTypeKmtV, kTypeKmtG, kTypeKmtU, kTypeKmtUV),
                         [](const ::testing::TestParamInfo<uint8_t>& info) {
                             return "Type" + std::to_string(info.param);
                         });

// Reaches the helpers every model decodes with.
class Probe : public CMovraDataExchange {
public:
    explicit Probe(platform::Clock& clock) : CMovraDataExchange(modelOf(kTypeKmtV), clock) {}
    HRESULT Identify(uint16_t*, uint16_t*, DeviceIdentity**, ChannelDescriptor**, NodeDescriptor**,
                     uint16_t*) noexcept override {
        return E_NOTIMPL;
    }
    HRESULT ReadValues(uint8_t, const ReadSelection*, uint16_t*, uint16_t*, SystemBlock**,
                       ChannelBlock**, NodeBlock**, uint16_t*) noexcept override {
        return E_NOTIMPL;
    }

    SYSTEMTIME dateTime(const Bytes& data, bool padded, bool& tooShort) {
        Reply() = ByteCursor(data);
        SYSTEMTIME time;
        TakeDateTime(time, padded);
        tooShort = Reply().failed();
        return time;
    }
    Reading reading(const Bytes& data, bool twoBytes, uint16_t source) {
        timestampSource = source;
        deviceTime = SYSTEMTIME{2019, 12, 0, 31, 23, 59, 58, 0};
        StampPcTime();
        Reply() = ByteCursor(data);
        Reading result{};
        TakeReading(result, twoBytes);
        return result;
    }
    static uint8_t digit(uint8_t character) { return DigitValue(character, '0', '9'); }
};

TEST(FieldDecodingTest, DateTimeIsBinaryWithTheYearFrom2000) {
    PinnedClock clock;
    Probe probe(clock);
    bool tooShort = true;
    SYSTEMTIME plain = probe.dateTime({31, 12, 19, 23, 59, 58}, false, tooShort);
    EXPECT_FALSE(tooShort);
    EXPECT_TRUE(sameTime(plain, SYSTEMTIME{2019, 12, 0, 31, 23, 59, 58, 0})) << timeText(plain);

    SYSTEMTIME padded = probe.dateTime({1, 2, 24, 0xEE, 3, 4, 5, 0xEE}, true, tooShort);
    EXPECT_FALSE(tooShort);
    EXPECT_TRUE(sameTime(padded, SYSTEMTIME{2024, 2, 0, 1, 3, 4, 5, 0})) << timeText(padded);

    // The trailing pad byte need not be there; a missing second must.
    probe.dateTime({1, 2, 24, 0xEE, 3, 4, 5}, true, tooShort);
    EXPECT_FALSE(tooShort);
    probe.dateTime({1, 2, 24, 0xEE, 3, 4}, true, tooShort);
    EXPECT_TRUE(tooShort);
}

TEST(FieldDecodingTest, ReadingsCarryTheConfiguredClock) {
    PinnedClock clock;
    Probe probe(clock);
    const Bytes bytes{0x00, 0x00, 0x80, 0x3F};  // 1.0f
    Reading utc = probe.reading(bytes, false, 0);
    EXPECT_EQ(utc.value, bitsOf(1.0f));
    EXPECT_EQ(utc.quality, 192);
    EXPECT_TRUE(sameTime(utc.timestamp, clock.utc)) << timeText(utc.timestamp);
    Reading local = probe.reading(bytes, false, 1);
    EXPECT_TRUE(sameTime(local.timestamp, clock.local)) << timeText(local.timestamp);
    Reading device = probe.reading(bytes, false, 2);
    EXPECT_TRUE(sameTime(device.timestamp, SYSTEMTIME{2019, 12, 0, 31, 23, 59, 58, 0}))
        << timeText(device.timestamp);
    Reading unknown = probe.reading(bytes, false, 3);  // a code beyond the three: UTC
    EXPECT_TRUE(sameTime(unknown.timestamp, clock.utc)) << timeText(unknown.timestamp);

    // A 16-bit field fills the low half only.
    Reading word = probe.reading({0x34, 0x12, 0xFF, 0xFF}, true, 0);
    EXPECT_EQ(word.value, 0x1234u);
    EXPECT_EQ(word.quality, 192);
}

TEST(FieldDecodingTest, DigitValueTakesOnlyDigitsInRange) {
    EXPECT_EQ(Probe::digit('0'), 0);
    EXPECT_EQ(Probe::digit('7'), 7);
    EXPECT_EQ(Probe::digit('9'), 9);
    EXPECT_EQ(Probe::digit('A'), 0);
    EXPECT_EQ(Probe::digit(' '), 0);
    EXPECT_EQ(Probe::digit(0x07), 0);
    EXPECT_EQ(Probe::digit(0xB7), 0);
}

TEST(ReplyFieldsTest, NeverReadPastTheDataAndSaySo) {
    const Bytes data{0x12, 0x34, 0x56};
    ByteCursor reader(data);
    uint8_t halves[3] = {9, 9, 9};
    reply::takeHalfBytes(reader, halves, 3);
    EXPECT_EQ(halves[0], 0x1);
    EXPECT_EQ(halves[1], 0x2);
    EXPECT_EQ(halves[2], 0x3);
    EXPECT_EQ(reader.position(), 2u);
    EXPECT_FALSE(reader.failed());

    uint8_t out[4] = {1, 1, 1, 1};
    reply::take(reader, out, 4);
    EXPECT_EQ(out[0] | out[1] | out[2] | out[3], 0);
    EXPECT_TRUE(reader.failed());
    EXPECT_EQ(reader.remaining(), 0u);
    // Once short, later reads that would fit still fail: the decoding is already lost.
    EXPECT_EQ(reply::byte(reader), 0);

    reader = ByteCursor(data);
    reader.skip(100);
    EXPECT_FALSE(reader.failed());
    EXPECT_EQ(reply::byte(reader), 0);
    EXPECT_TRUE(reader.failed());

    const Bytes word{0x20, 0x00, 0x00, 0x01};
    reader = ByteCursor(word);
    EXPECT_EQ(reply::wordMsbFirst(reader), 0x20000001u);
    EXPECT_FALSE(reader.failed());
}

}  // namespace
}  // namespace movra::test
