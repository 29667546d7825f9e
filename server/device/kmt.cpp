// The KMT protocol: 8-byte requests; the device needs 8 zero bytes on the line before the first
// request of each operation.
#include "server/device/kmt_models.h"

namespace movra {

namespace {

constexpr uint16_t kKmtChannels = 10;
constexpr uint16_t kKmtNodes = 10;
constexpr uint8_t kIdentityFunction = 0xB0;
constexpr uint8_t kClockFunction = 0xB1;
constexpr uint8_t kLayoutFunction = 0xB2;
constexpr uint8_t kValuesFunction = 0xB3;
constexpr uint8_t kStatusFunction = 0xA0;

uint8_t high(uint8_t value) {
    return value >> 4;
}
uint8_t low(uint8_t value) {
    return value & 0x0F;
}

}  // namespace

CKMT_DataExchange::CKMT_DataExchange(platform::Clock& clock)
    : CMovraDataExchange(8, kKmtChannels, kKmtNodes, clock) {}

CKMT_DataExchange::~CKMT_DataExchange() = default;

HRESULT CKMT_DataExchange::SendZeroBytes(uint16_t* linkError) {
    static constexpr uint8_t kZeros[8] = {};
    return SendRaw(sizeof kZeros, kZeros, linkError);
}

HRESULT CKMT_DataExchange::Request(uint8_t function, uint8_t p2, uint8_t p3, uint8_t p4, uint8_t p5,
                                   uint16_t* linkError) {
    ClearRequest();
    request[1] = function;
    request[2] = p2;
    request[3] = p3;
    request[4] = p4;
    request[5] = p5;
    return DoExchange(linkError);
}

HRESULT CKMT_DataExchange::Identify(uint16_t* channelCountOut, uint16_t* nodeCountOut,
                                    DeviceIdentity** identity, ChannelDescriptor** channels,
                                    NodeDescriptor** nodes, uint16_t* linkError) noexcept {
    return RunIdentify({channelCountOut, nodeCountOut, identity, channels, nodes, linkError},
                       [&](IdentityArrays& arrays, uint16_t& channelCount, uint16_t& nodeCount) {
                           channelCount = kKmtChannels;
                           nodeCount = kKmtNodes;
                           return IdentifyDevice(arrays, linkError);
                       });
}

HRESULT CKMT_DataExchange::IdentifyDevice(IdentityArrays& arrays, uint16_t* linkError) {
    ClearRequest();
    HRESULT hr = SendZeroBytes(linkError);
    RETURN_IF_FAILED(hr);

    hr = Request(kIdentityFunction, 0x00, 0x00, 0x00, 0x27, linkError);
    RETURN_IF_FAILED(hr);
    uint8_t serial[4];
    Reply().take(serial, 4);
    Reply().skip(22);
    const uint8_t byte26 = Reply().byte();
    const uint8_t byte27 = Reply().byte();
    uint8_t* id = arrays.identity->bytes;
    id[0] = serial[3];
    id[1] = serial[2];
    id[2] = serial[1];
    id[3] = serial[0];
    id[4] = high(byte27);
    id[5] = low(byte27);
    id[6] = high(byte26);
    id[7] = low(byte26);
    hr = FinishReply(linkError);
    RETURN_IF_FAILED(hr);

    hr = Request(kLayoutFunction, 0x00, 0x00, 0x00, 0x00, linkError);
    RETURN_IF_FAILED(hr);
    ChannelDescriptor* channels = arrays.channels.get();
    for (uint16_t c = 0; c < kKmtChannels; ++c) {
        uint8_t group[4];
        Reply().take(group, 4);
        uint8_t* code = channels[c].code;
        for (int i = 0; i < 4; ++i) {
            code[2 * i] = high(group[3 - i]);
            code[2 * i + 1] = low(group[3 - i]);
        }
    }
    Reply().skip(80);
    for (uint16_t n = 0; n < kKmtNodes; ++n) {
        uint8_t group[11];
        Reply().take(group, sizeof group);
        Reply().skip(1);
        NodeDescriptor& node = arrays.nodes.get()[n];
        node.nodeType = DigitValue(group[0], '0', '9');
        for (uint16_t j = 0; j < kKmtChannels; ++j) {
            node.members[j] = DigitValue(group[1 + j], '0', '9');
        }
        node.isGasNode = node.nodeType == 7;
        node.isType9Node = node.nodeType == 9;
        // A channel listed in several nodes keeps the flags of the last of them.
        for (uint16_t j = 0; j < kKmtChannels; ++j) {
            if (node.members[j] != 0) {
                channels[j].gasChannel = node.isGasNode;
                channels[j].type9Channel = node.isType9Node;
            }
        }
    }
    hr = FinishReply(linkError);
    RETURN_IF_FAILED(hr);

    for (uint16_t n = 1; n <= kKmtNodes; ++n) {
        hr =
            Request(kIdentityFunction, static_cast<uint8_t>(0x80 + n), 0x01, 0x00, 0x01, linkError);
        RETURN_IF_FAILED(hr);
        NodeDescriptor& node = arrays.nodes.get()[n - 1];
        TakeRaw4(&node.volumeScale);
        node.scaleIs1000 = node.volumeScale == 1000.0f;
        hr = FinishReply(linkError);
        RETURN_IF_FAILED(hr);
    }
    return S_OK;
}

HRESULT CKMT_DataExchange::ReadValues(uint8_t /*variant*/, const ReadSelection* selection,
                                      uint16_t* channelCountOut, uint16_t* nodeCountOut,
                                      SystemBlock** system, ChannelBlock** channels,
                                      NodeBlock** nodes, uint16_t* linkError) noexcept {
    return RunRead(
        {channelCountOut, nodeCountOut, system, channels, nodes, linkError}, selection,
        [&](ReadingArrays& readings) { return ReadDevice(*selection, readings, linkError); });
}

HRESULT CKMT_DataExchange::ReadDevice(const ReadSelection& selection, ReadingArrays& readings,
                                      uint16_t* linkError) {
    ClearRequest();
    HRESULT hr = SendZeroBytes(linkError);
    RETURN_IF_FAILED(hr);

    hr = Request(kClockFunction, 0x00, 0x00, 0x00, 0x00, linkError);
    RETURN_IF_FAILED(hr);
    Reply().skip(4);
    TakeDateTime(deviceTime, true);
    hr = FinishReply(linkError);
    RETURN_IF_FAILED(hr);
    StampPcTime();

    hr = Request(kValuesFunction, 0x01, 0x00, 0x00, 0x00, linkError);
    RETURN_IF_FAILED(hr);
    Reply().skip(4);
    for (uint16_t c = 0; c < reportedChannels; ++c) {
        Reading* r = readings.channels.get()[c].readings;
        TakeReading(r[kChannelP], false);
        TakeReading(r[kChannelT], false);
        TakeReading(r[kChannelTo], false);
        TakeReading(r[kChannelG], false);
        TakeReading(r[kChannelM], false);
        TakeReading(r[kChannelN], false);
        r[kChannelQs] = r[kChannelG];
        r[kChannelVs] = r[kChannelM];
    }
    hr = FinishReply(linkError);
    RETURN_IF_FAILED(hr);

    // Node values: the same request with parameter byte 2 changed.
    request[2] = 0x81;
    hr = DoExchange(linkError);
    RETURN_IF_FAILED(hr);
    for (uint16_t n = 0; n < reportedNodes; ++n) {
        Reading* r = readings.nodes.get()[n].readings;
        TakeReading(r[kNodeWe], false);
        TakeReading(r[kNodeNe], false);
        TakeReading(r[kNodeWm], false);
        TakeReading(r[kNodeWl], false);
        r[kNodeW] = r[kNodeWe];
        r[kNodeQy] = r[kNodeNe];
        r[kNodeGy] = r[kNodeQy];
        r[kNodeVy] = r[kNodeWm];
        r[kNodeMy] = r[kNodeVy];
    }
    hr = FinishReply(linkError);
    RETURN_IF_FAILED(hr);

    if (selection.has(ReadSelection::kSelectStatusWords)) {
        for (uint16_t c = 1; c <= reportedChannels; ++c) {
            hr = Request(kStatusFunction, static_cast<uint8_t>(c), 0x00, 0x00, 0x00, linkError);
            RETURN_IF_FAILED(hr);
            uint8_t bits[28];
            Reply().take(bits, sizeof bits);
            // Bit k of the mask is bit 0 of data byte k.
            uint32_t mask = 0;
            for (int k = 27; k >= 0; --k) {
                mask = (mask << 1) | (bits[k] & 1u);
            }
            Reading& status = readings.channels.get()[c - 1].readings[kChannelStatus];
            status.value = mask;
            status.quality = kQualityGood;
            status.timestamp = ReadingTime();
            hr = FinishReply(linkError);
            RETURN_IF_FAILED(hr);
        }
    }
    return S_OK;
}

}  // namespace movra
