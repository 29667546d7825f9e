// Identify and ReadValues of each model through the real serial connection, on a pseudo-terminal
// whose far side answers every request with the next fuzzed step: a well-formed reply or error
// reply to that request (envelope and CRC made here, so decoding is reached), any bytes with or
// without a valid CRC behind them, or silence. Whatever comes, a call must keep its contract: on
// failure nothing handed out, on success counts within the model's bounds, every reading good or
// all zero, and the blocks beyond the counts all zero.
#include "server/device/protocols.h"
#include "tests/device/protocol_fake.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/support/fake_clock.h"
#include "tests/support/test_support.h"
#include "tools/support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

namespace {

using namespace movra;
using namespace movra::test;

struct Step {
    enum Kind : uint8_t { kReply, kRawWithCrc, kRaw, kErrorReply, kSilence } kind;
    Bytes bytes;
};

// The station on the far side of the line, kept for the process: a pseudo-terminal that the
// connection opens as its COM port. Every request is answered as soon as it is written, by the
// connection's own thread, so nothing runs beside the code under test.
class Station {
public:
    static constexpr unsigned kComPort = 5;

    Station() {
        pty_.publish(folder_.file("com" + std::to_string(kComPort)));
        // Only for FIONREAD: a terminal's input queue is one for all its openers.
        probe_ = ::open(pty_.terminalPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        FUZZ_CHECK(probe_ >= 0);
    }

    void start(std::vector<Step> script) {
        script_ = std::move(script);
        next_ = 0;
        // The connection opens the port that MOVRA_PORTS names.
        ::setenv("MOVRA_PORTS", folder_.path().c_str(), 1);
    }

    // The connection has written `request`: it is taken off the line and answered.
    void answer(std::span<const uint8_t> request) {
        size_t taken = 0;
        uint8_t chunk[64];
        while (taken < request.size()) {
            pollfd entry{pty_.controllerFd(), POLLIN, 0};
            if (::poll(&entry, 1, 1000) <= 0) {
                return;  // a lost write: silence
            }
            const ssize_t got =
                ::read(pty_.controllerFd(), chunk, std::min(sizeof chunk, request.size() - taken));
            if (got <= 0) {
                return;
            }
            taken += static_cast<size_t>(got);
        }
        const Bytes frame = frameFor(request);
        size_t written = 0;
        while (written < frame.size()) {
            const ssize_t done =
                ::write(pty_.controllerFd(), frame.data() + written, frame.size() - written);
            FUZZ_CHECK(done > 0);
            written += static_cast<size_t>(done);
        }
    }

    // Nothing the station sent is left unread on the line.
    bool drained() const {
        int pending = 0;
        return ::ioctl(probe_, FIONREAD, &pending) == 0 && pending == 0;
    }

private:
    Bytes frameFor(std::span<const uint8_t> request) {
        // The KMT's eight zero bytes before an operation are no request.
        if (request.size() < 2 ||
            std::all_of(request.begin(), request.end(), [](uint8_t b) { return b == 0; }) ||
            next_ >= script_.size()) {
            return {};
        }
        const Step& step = script_[next_++];
        switch (step.kind) {
            case Step::kReply:
                return replyFrame(request[0], request[1], step.bytes);
            case Step::kErrorReply:
                return replyFrame(request[0], request[1] | 0x80, step.bytes);
            case Step::kRawWithCrc:
                return withCrc(step.bytes);
            case Step::kRaw:
                return step.bytes;
            case Step::kSilence:
                break;
        }
        return {};
    }

    TempDir folder_;
    toolsupport::PtyPair pty_;
    int probe_ = -1;
    std::vector<Step> script_;
    size_t next_ = 0;
};

Station& station() {
    static Station* line = new Station;  // kept to the end, with its terminal
    return *line;
}

// Hands every request it writes to the station, which answers at once.
class AnsweredConnection : public CMovraDeviceConnection {
public:
    using CMovraDeviceConnection::CMovraDeviceConnection;
    HRESULT Send(uint32_t count, const uint8_t* bytes, uint16_t* error) override {
        const HRESULT hr = CMovraDeviceConnection::Send(count, bytes, error);
        if (SUCCEEDED(hr) && bytes != nullptr) {
            station().answer({bytes, count});
        }
        return hr;
    }
};

std::vector<Step> scriptOf(fuzz::FuzzInput& input) {
    std::vector<Step> script;
    while (!input.empty()) {
        const auto kind = static_cast<Step::Kind>(input.pick(5));
        const size_t length = input.u8();
        script.push_back({kind, kind == Step::kSilence ? Bytes{} : input.take(length)});
    }
    return script;
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

void exercise(CMovraDataExchange& exchange, uint8_t type, const ReadSelection& selection,
              uint8_t reads) {
    const IdentifyResult identity = runIdentify(exchange);
    if (FAILED(identity.hr)) {
        FUZZ_CHECK(identity.cleared());
        FUZZ_CHECK(runRead(exchange, 0, selection).hr == E_FAIL);
        return;
    }
    FUZZ_CHECK(identity.identity && identity.channel && identity.node);
    FUZZ_CHECK(identity.channels <= exchange.MaxChannels());
    FUZZ_CHECK(identity.nodes <= exchange.MaxNodes());
    // The KMT reports no layout: it always has all of its channels and nodes.
    FUZZ_CHECK(type != kTypeKmt || (identity.channels == 10 && identity.nodes == 10));
    for (uint8_t i = 0; i < reads; ++i) {
        checkRead(runRead(exchange, identity.identity->bytes[0], selection), exchange, identity);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const uint8_t type = static_cast<uint8_t>(kTypeKmt + input.pick(5));
    const uint8_t lineBits = input.u8();
    const uint32_t selectionBits = input.u32();
    const uint8_t reads = static_cast<uint8_t>(1 + input.pick(3));

    Station& line = station();
    DeviceRecord device;
    device.deviceType = type;
    device.linkType = (lineBits & 1) != 0 ? kLinkRs485 : kLinkRs232;
    device.rs485Address = 5;
    device.comPort = Station::kComPort;
    device.baudCode = 4;
    device.timestampSource = (lineBits >> 1) % 3;

    // Flag 0 alone is what the poll cycle asks; the others pick single requests.
    ReadSelection selection{};
    for (size_t flag = 0; flag < 30; ++flag) {
        selection.flags[flag] = (selectionBits >> flag) & 1;
    }

    FakeClock clock;
    AnsweredConnection connection(device, 0, clock);
    connection.SetRetryLimit(static_cast<uint16_t>(1 + (lineBits >> 3) % 2));
    // Time runs at the machine's pace while an answer is on the line; once the connection has
    // read all of it, a wait can only end in its time-out, which then comes at once.
    clock.setSleepHook([&](uint64_t) {
        if (line.drained()) {
            clock.advanceMs(60'000);
        }
    });
    auto exchange = createDataExchange(type, clock);
    FUZZ_CHECK(exchange != nullptr);
    exchange->SetTimestampSource(device.timestampSource);

    line.start(scriptOf(input));
    uint16_t error = 0;
    FUZZ_CHECK(SUCCEEDED(connection.Open(&error)));
    exchange->SetConnection(&connection);
    exercise(*exchange, type, selection, reads);
    connection.Close(&error);
    clock.setSleepHook(nullptr);
    return 0;
}
