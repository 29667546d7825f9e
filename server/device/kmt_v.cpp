// The KMT-V protocol. Its identity's first byte is the variant: "F" devices also report channel
// volumes, in an extra request.
#include "server/device/kmt_models.h"
#include "server/device/newer_family.h"

namespace movra {

using namespace newer_family;

namespace {

constexpr uint8_t kVariantWithVolumes = 'F';

void decodeIdentity(ReplyReader& reply, DeviceIdentity& identity) {
    const uint8_t byte12 = reply.byte();
    identity.bytes[4] = high(byte12);
    identity.bytes[5] = low(byte12);
}

void decodeChannel(ReplyReader& reply, ChannelDescriptor& channel) {
    const uint8_t byte0 = reply.byte();
    const uint8_t byte1 = reply.byte();
    channel.code[0] = high(byte0);
    channel.code[1] = 4;
    channel.code[2] = low(byte0);
    channel.code[5] = high(byte1);
    channel.code[6] = low(byte1);
}

// The type, then one half-byte per reported channel.
void decodeNode(ReplyReader& reply, uint16_t reportedChannels, NodeDescriptor& node) {
    uint8_t halves[1 + 20] = {};
    if (reportedChannels > 20) {
        reportedChannels = 20;
    }
    reply.takeHalfBytes(halves, 1 + reportedChannels);
    node.nodeType = halves[0];
    for (uint16_t j = 0; j < reportedChannels; ++j) {
        node.members[j] = halves[1 + j];
    }
}

constexpr NewerFamilyDecoders kDecoders{1, decodeIdentity, decodeChannel, decodeNode, nullptr};

}  // namespace

CKMT_V_DataExchange::CKMT_V_DataExchange(platform::Clock& clock)
    : CMovraDataExchange(10, 5, 2, clock) {}

HRESULT CKMT_V_DataExchange::Identify(uint16_t* channelCountOut, uint16_t* nodeCountOut,
                                      DeviceIdentity** identity, ChannelDescriptor** channels,
                                      NodeDescriptor** nodes, uint16_t* linkError) noexcept {
    return RunIdentify({channelCountOut, nodeCountOut, identity, channels, nodes, linkError},
                       [&](IdentityArrays& arrays, uint16_t& channelCount, uint16_t& nodeCount) {
                           return IdentifyNewerFamily(kDecoders, arrays, channelCount, nodeCount,
                                                      linkError);
                       });
}

HRESULT CKMT_V_DataExchange::ReadValues(uint8_t variant, const ReadSelection* selection,
                                        uint16_t* channelCountOut, uint16_t* nodeCountOut,
                                        SystemBlock** system, ChannelBlock** channels,
                                        NodeBlock** nodes, uint16_t* linkError) noexcept {
    return RunRead(
        {channelCountOut, nodeCountOut, system, channels, nodes, linkError}, selection,
        [&](ReadingArrays& readings) { return ReadDevice(variant, readings, linkError); });
}

HRESULT CKMT_V_DataExchange::ReadDevice(uint8_t variant, ReadingArrays& readings,
                                        uint16_t* linkError) {
    HRESULT hr = ReadGroupedValues(readings, linkError);
    RETURN_IF_FAILED(hr);

    if (variant == kVariantWithVolumes) {
        // No clock in this reply: the volumes carry the time stamped for the values above.
        ClearRequest();
        request[1] = kExtraFunction;
        hr = DoExchange(linkError);
        RETURN_IF_FAILED(hr);
        Reply().skip(7);
        TakeEachChannel(readings.channels.get(), kChannelV);
        hr = FinishReply(linkError);
        RETURN_IF_FAILED(hr);
    }
    return S_OK;
}

}  // namespace movra
