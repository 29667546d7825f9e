// Identify and ReadValues of each model over a scripted line whose device answers with the fuzzed
// frames: well-formed replies to the request (envelope and CRC made here, so decoding is reached),
// raw frames with or without a valid CRC, and link failures. Whatever comes, a call must keep
// its contract: on failure nothing handed out, on success counts within the model's bounds and
// the blocks beyond them all zero.
#include "server/device/data_exchange.h"
#include "tests/device/protocol_fake.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using namespace movra;
using namespace movra::test;

constexpr uint16_t kLinkErrors[] = {ERR_NO_ANSWER, ERR_INCOMPLETE, ERR_CRC, ERR_DEVICE,
                                    ERR_PORT_SETUP};

// Every step the device may take, until the input ends.
void scriptReplies(fuzz::FuzzInput& input, ScriptedLine& line) {
    while (!input.empty()) {
        const uint8_t control = input.u8();
        switch (control % 4) {
            case 0: {  // a reply to whatever was asked
                Data data;
                data.bytes = input.take(input.u8());
                line.reply(data);
                break;
            }
            case 1:  // any frame, its CRC made valid
                line.replyFrame(withCrc(input.take(input.u8())));
                break;
            case 2:  // any bytes
                line.replyFrame(input.take(input.u8()));
                break;
            default:
                line.fail(kLinkErrors[(control >> 2) % std::size(kLinkErrors)]);
                break;
        }
    }
}

bool allZero(const void* bytes, size_t size) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < size; ++i) {
        if (p[i] != 0) {
            return false;
        }
    }
    return true;
}

// A reading is taken from a reply (quality good) or not supplied (all zero).
template <size_t N>
void checkReadings(const Reading (&readings)[N]) {
    for (const Reading& reading : readings) {
        FUZZ_CHECK(reading.quality == kQualityGood || unsupplied(reading));
    }
}

void checkRead(const ReadResult& read, const CMovraDataExchange& exchange,
               const IdentifyResult& identity) {
    if (FAILED(read.hr)) {
        FUZZ_CHECK(read.cleared());
        return;
    }
    FUZZ_CHECK(read.system && read.channel && read.node);
    FUZZ_CHECK(read.channels == identity.channels && read.nodes == identity.nodes);
    checkReadings(read.system->readings);
    for (uint16_t c = 0; c < read.channels; ++c) {
        checkReadings(read.channel.get()[c].readings);
    }
    for (uint16_t n = 0; n < read.nodes; ++n) {
        checkReadings(read.node.get()[n].readings);
    }
    for (uint16_t c = read.channels; c < exchange.MaxChannels(); ++c) {
        FUZZ_CHECK(allZero(&read.channel.get()[c], sizeof(ChannelBlock)));
    }
    for (uint16_t n = read.nodes; n < exchange.MaxNodes(); ++n) {
        FUZZ_CHECK(allZero(&read.node.get()[n], sizeof(NodeBlock)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const uint8_t type = static_cast<uint8_t>(kTypeKmt + input.pick(5));
    const uint16_t timestampSource = input.pick(3);
    const uint32_t selectionBits = input.u32();
    const uint8_t reads = static_cast<uint8_t>(1 + input.pick(3));

    PinnedClock clock;
    ScriptedLine line(type, clock);
    auto exchange = createDataExchange(type, clock);
    FUZZ_CHECK(exchange != nullptr);
    exchange->SetConnection(&line);
    exchange->SetTimestampSource(timestampSource);
    scriptReplies(input, line);

    // Flag 0 alone is what the poll cycle asks; the others pick single requests.
    ReadSelection selection{};
    for (size_t flag = 0; flag < 30; ++flag) {
        selection.flags[flag] = (selectionBits >> flag) & 1;
    }

    const IdentifyResult identity = runIdentify(*exchange);
    if (FAILED(identity.hr)) {
        FUZZ_CHECK(identity.cleared());
        FUZZ_CHECK(runRead(*exchange, 0, selection).hr == E_FAIL);
        return 0;
    }
    FUZZ_CHECK(identity.identity && identity.channel && identity.node);
    FUZZ_CHECK(identity.channels <= exchange->MaxChannels());
    FUZZ_CHECK(identity.nodes <= exchange->MaxNodes());
    // The KMT reports no layout: it always has all of its channels and nodes.
    FUZZ_CHECK(type != kTypeKmt || (identity.channels == 10 && identity.nodes == 10));
    for (uint8_t i = 0; i < reads; ++i) {
        checkRead(runRead(*exchange, identity.identity->bytes[0], selection), *exchange, identity);
    }
    return 0;
}
