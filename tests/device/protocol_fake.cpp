#include "tests/device/protocol_fake.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace movra::test {

uint16_t modbusCrc(const Bytes& bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            const bool lsb = (crc & 1) != 0;
            crc >>= 1;
            if (lsb) {
                crc ^= 0xA001;
            }
        }
    }
    return crc;
}

Bytes withCrc(Bytes bytes) {
    const uint16_t crc = modbusCrc(bytes);
    bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    return bytes;
}

Data& Data::u8(uint8_t value) {
    bytes.push_back(value);
    return *this;
}

Data& Data::raw(std::initializer_list<uint8_t> values) {
    bytes.insert(bytes.end(), values.begin(), values.end());
    return *this;
}

Data& Data::text(const std::string& characters) {
    bytes.insert(bytes.end(), characters.begin(), characters.end());
    return *this;
}

Data& Data::zeros(size_t count) {
    bytes.insert(bytes.end(), count, 0);
    return *this;
}

Data& Data::f32(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    }
    return *this;
}

Data& Data::u16(uint16_t value) {
    bytes.push_back(static_cast<uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
    return *this;
}

Data& Data::wordMsbFirst(uint32_t value) {
    for (int i = 3; i >= 0; --i) {
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return *this;
}

Data& Data::clock(uint8_t day, uint8_t month, uint8_t year, uint8_t hour, uint8_t minute,
                  uint8_t second) {
    return raw({day, month, year, hour, minute, second});
}

Data& Data::truncate(size_t size) {
    bytes.resize(size);
    return *this;
}

Bytes replyFrame(uint8_t address, uint8_t function, const Bytes& data) {
    Bytes frame{address, function, static_cast<uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    return withCrc(frame);
}

DeviceRecord scriptedDevice(uint8_t deviceType) {
    DeviceRecord device;
    device.deviceType = deviceType;
    device.linkType = kLinkRs485;
    device.rs485Address = ScriptedLine::kAddress;
    device.comPort = 1;
    device.baudCode = 3;
    return device;
}

ScriptedLine::ScriptedLine(uint8_t deviceType, PinnedClock& clock)
    : CMovraDeviceConnection(scriptedDevice(deviceType), 0, clock),
      requestSize_(deviceType == kTypeKmt ? 8 : 10) {}

void ScriptedLine::reply(const Data& data) {
    script_.push_back({Step::kReply, data.bytes});
}

void ScriptedLine::replyFrame(const Bytes& frame) {
    script_.push_back({Step::kFrame, frame});
}

void ScriptedLine::fail(uint16_t linkError) {
    failWith(E_FAIL, linkError);
}

void ScriptedLine::failWith(HRESULT result, uint16_t linkError) {
    script_.push_back({Step::kFail, {}, result, linkError});
}

std::vector<Bytes> ScriptedLine::requests() const {
    std::vector<Bytes> result;
    for (const Event& event : events) {
        if (event.exchange) {
            result.push_back(event.bytes);
        }
    }
    return result;
}

HRESULT ScriptedLine::Send(uint32_t count, const uint8_t* bytes, uint16_t* error) {
    *error = 0;
    events.push_back({false, Bytes(bytes, bytes + count)});
    return S_OK;
}

HRESULT ScriptedLine::Exchange(uint32_t requestSize, uint8_t* request, uint32_t* replySize,
                               uint8_t** reply, uint16_t* error) {
    *replySize = 0;
    *reply = nullptr;
    *error = 0;
    // The envelope as the connection writes it: address in byte 0, CRC behind the parameters.
    Bytes frame(request, request + requestSize);
    if (requestSize == requestSize_) {
        frame[0] = kAddress;
        frame.resize(requestSize - 2);
        frame = withCrc(frame);
        std::memcpy(request, frame.data(), requestSize);
    }
    events.push_back({true, frame});

    if (script_.empty()) {
        *error = ERR_NO_ANSWER;
        return E_FAIL;
    }
    Step step = script_.front();
    script_.pop_front();
    Bytes out;
    switch (step.kind) {
        case Step::kFail:
            *error = step.linkError;
            return step.result;
        case Step::kReply:
            out = test::replyFrame(kAddress, frame[1], step.bytes);
            break;
        case Step::kFrame:
            out = step.bytes;
            break;
    }
    // An empty frame still gets a block of its own, as any reply the caller must free.
    auto* block = static_cast<uint8_t*>(CoTaskMemAlloc(std::max<size_t>(out.size(), 1)));
    if (block == nullptr) {
        return E_OUTOFMEMORY;
    }
    if (!out.empty()) {
        std::memcpy(block, out.data(), out.size());
    }
    *replySize = static_cast<uint32_t>(out.size());
    *reply = block;
    return S_OK;
}

IdentifyResult runIdentify(CMovraDataExchange& exchange) {
    IdentifyResult result;
    DeviceIdentity* identity = reinterpret_cast<DeviceIdentity*>(1);
    ChannelDescriptor* channels = reinterpret_cast<ChannelDescriptor*>(1);
    NodeDescriptor* nodes = reinterpret_cast<NodeDescriptor*>(1);
    result.hr = exchange.Identify(&result.channels, &result.nodes, &identity, &channels, &nodes,
                                  &result.linkError);
    // A failing call must have nulled them; anything else is owned from here on.
    result.identity.reset(identity == reinterpret_cast<DeviceIdentity*>(1) ? nullptr : identity);
    result.channel.reset(channels == reinterpret_cast<ChannelDescriptor*>(1) ? nullptr : channels);
    result.node.reset(nodes == reinterpret_cast<NodeDescriptor*>(1) ? nullptr : nodes);
    if (identity == reinterpret_cast<DeviceIdentity*>(1) ||
        channels == reinterpret_cast<ChannelDescriptor*>(1) ||
        nodes == reinterpret_cast<NodeDescriptor*>(1)) {
        result.channels = 0xEEEE;  // an output left untouched shows as not cleared
    }
    return result;
}

ReadResult runRead(CMovraDataExchange& exchange, uint8_t variant, const ReadSelection& selection) {
    ReadResult result;
    SystemBlock* system = reinterpret_cast<SystemBlock*>(1);
    ChannelBlock* channels = reinterpret_cast<ChannelBlock*>(1);
    NodeBlock* nodes = reinterpret_cast<NodeBlock*>(1);
    result.hr = exchange.ReadValues(variant, &selection, &result.channels, &result.nodes, &system,
                                    &channels, &nodes, &result.linkError);
    result.system.reset(system == reinterpret_cast<SystemBlock*>(1) ? nullptr : system);
    result.channel.reset(channels == reinterpret_cast<ChannelBlock*>(1) ? nullptr : channels);
    result.node.reset(nodes == reinterpret_cast<NodeBlock*>(1) ? nullptr : nodes);
    if (system == reinterpret_cast<SystemBlock*>(1) ||
        channels == reinterpret_cast<ChannelBlock*>(1) ||
        nodes == reinterpret_cast<NodeBlock*>(1)) {
        result.channels = 0xEEEE;
    }
    return result;
}

uint32_t bitsOf(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    return bits;
}

bool sameTime(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDayOfWeek == b.wDayOfWeek &&
           a.wDay == b.wDay && a.wHour == b.wHour && a.wMinute == b.wMinute &&
           a.wSecond == b.wSecond && a.wMilliseconds == b.wMilliseconds;
}

std::string timeText(const SYSTEMTIME& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u dow %u", t.wYear, t.wMonth,
                  t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, t.wDayOfWeek);
    return text;
}

bool unsupplied(const Reading& reading) {
    return reading.value == 0 && reading.quality == 0 && sameTime(reading.timestamp, SYSTEMTIME{});
}

}  // namespace movra::test
