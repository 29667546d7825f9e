// A scripted line for the protocol tests: it stands in for the serial connection, applies the
// address byte and the CRC to each request with its own CRC routine, records every frame that
// goes out and answers from a queue of replies built by a small encoder of the wire format.
#pragma once

#include "platform/clock.h"
#include "server/device/connection.h"
#include "server/device/data_exchange.h"

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

namespace movra::test {

using Bytes = std::vector<uint8_t>;

// CRC-16/Modbus written from its definition (bitwise, not table-driven).
uint16_t modbusCrc(const Bytes& bytes);
// bytes followed by their CRC, low byte first.
Bytes withCrc(Bytes bytes);

// Data bytes of a reply, written field by field.
class Data {
public:
    Data& u8(uint8_t value);
    Data& raw(std::initializer_list<uint8_t> values);
    Data& text(const std::string& characters);
    Data& zeros(size_t count);
    Data& f32(float value);              // least significant byte first
    Data& u16(uint16_t value);           // least significant byte first
    Data& wordMsbFirst(uint32_t value);  // a packed membership word
    // The newer family's clock: day, month, year since 2000, hour, minute, second.
    Data& clock(uint8_t day, uint8_t month, uint8_t year, uint8_t hour, uint8_t minute,
                uint8_t second);
    size_t size() const { return bytes.size(); }
    Data& truncate(size_t size);

    Bytes bytes;
};

// address, function, N, N data bytes, CRC.
Bytes replyFrame(uint8_t address, uint8_t function, const Bytes& data);

// The PC clock pinned: UTC 2024-03-05 10:20:30, local 2024-03-05 13:20:30.
class PinnedClock : public platform::Clock {
public:
    uint64_t nowMs() override { return 0; }
    void sleepMs(uint32_t) override {}
    SYSTEMTIME systemTime() override { return utc; }
    SYSTEMTIME localTime() override { return local; }

    SYSTEMTIME utc{2024, 3, 2, 5, 10, 20, 30, 0};
    SYSTEMTIME local{2024, 3, 2, 5, 13, 20, 30, 0};
};

class ScriptedLine : public CMovraDeviceConnection {
public:
    static constexpr uint8_t kAddress = 0x05;

    // requestSize: 8 for the KMT, 10 for the newer family.
    ScriptedLine(uint8_t deviceType, PinnedClock& clock);

    // What the next exchanges get, in order. An exchange with nothing left is a silent device.
    void reply(const Data& data);         // answers with the request's function
    void replyFrame(const Bytes& frame);  // exactly these bytes
    void fail(uint16_t linkError);        // E_FAIL with this linkError
    void failWith(HRESULT result, uint16_t linkError);

    struct Event {
        bool exchange;  // else a raw Send
        Bytes bytes;    // exchanges: the request as it went out, address and CRC applied
    };
    std::vector<Event> events;
    // The exchanged requests only.
    std::vector<Bytes> requests() const;
    size_t pendingSteps() const { return script_.size(); }

    HRESULT Send(uint32_t count, const uint8_t* bytes, uint16_t* error) override;
    HRESULT Exchange(uint32_t requestSize, uint8_t* request, uint32_t* replySize, uint8_t** reply,
                     uint16_t* error) override;

private:
    struct Step {
        enum Kind { kReply, kFrame, kFail } kind;
        Bytes bytes;
        HRESULT result = S_OK;
        uint16_t linkError = 0;
    };
    std::deque<Step> script_;
    uint32_t requestSize_;
};

DeviceRecord scriptedDevice(uint8_t deviceType);

// Results of Identify and ReadValues, freed when the test ends.
struct IdentifyResult {
    HRESULT hr = E_UNEXPECTED;
    uint16_t channels = 0xFFFF;
    uint16_t nodes = 0xFFFF;
    uint16_t linkError = 0xFFFF;
    platform::CoTaskMemPtr<DeviceIdentity> identity;
    platform::CoTaskMemPtr<ChannelDescriptor> channel;
    platform::CoTaskMemPtr<NodeDescriptor> node;

    // Everything the failure contract promises: counts 0, nothing handed out.
    bool cleared() const { return channels == 0 && nodes == 0 && !identity && !channel && !node; }
};
IdentifyResult runIdentify(CMovraDataExchange& exchange);

struct ReadResult {
    HRESULT hr = E_UNEXPECTED;
    uint16_t channels = 0xFFFF;
    uint16_t nodes = 0xFFFF;
    uint16_t linkError = 0xFFFF;
    platform::CoTaskMemPtr<SystemBlock> system;
    platform::CoTaskMemPtr<ChannelBlock> channel;
    platform::CoTaskMemPtr<NodeBlock> node;

    bool cleared() const { return channels == 0 && nodes == 0 && !system && !channel && !node; }
    // Reading index of channel c / node n, counted from 1.
    const Reading& ch(int c, int index) const { return channel.get()[c - 1].readings[index]; }
    const Reading& nd(int n, int index) const { return node.get()[n - 1].readings[index]; }
    const Reading& sys(int index) const { return system->readings[index]; }
};
ReadResult runRead(CMovraDataExchange& exchange, uint8_t variant, const ReadSelection& selection);

// Float bits as a Reading holds them.
uint32_t bitsOf(float value);
bool sameTime(const SYSTEMTIME& a, const SYSTEMTIME& b);
std::string timeText(const SYSTEMTIME& time);
// A reading the model does not supply: all zero.
bool unsupplied(const Reading& reading);

}  // namespace movra::test
