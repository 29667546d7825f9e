// The KMT-G protocol: like KMT-V, with gas nodes that carry a volume scale.
#include "server/device/kmt_models.h"
#include "server/device/newer_family.h"

namespace movra {

using namespace newer_family;

namespace {

void decodeIdentity(ReplyReader& reply, DeviceIdentity& identity) {
    const uint8_t byte12 = reply.byte();
    const uint8_t byte13 = reply.byte();
    identity.bytes[4] = high(byte12);
    identity.bytes[5] = low(byte12);
    identity.bytes[6] = high(byte13);
}

void decodeChannel(ReplyReader& reply, ChannelDescriptor& channel) {
    reply.takeHalfBytes(channel.code, 7);
}

// Data bytes 0 to 3: the type, then one half-byte per reported channel; 4 to 7: the scale.
void decodeNode(ReplyReader& reply, uint16_t reportedChannels, NodeDescriptor& node) {
    uint8_t head[4];
    reply.take(head, sizeof head);
    node.nodeType = halfByteAt(head, 0);
    for (uint16_t j = 0; j < reportedChannels && j + 1u < 2 * sizeof head; ++j) {
        node.members[j] = halfByteAt(head, 1 + j);
    }
    node.volumeScale = takeFloat(reply);
    node.scaleIs1000 = node.volumeScale == 1000.0f;
    node.isGasNode = node.nodeType == 7;
}

void markChannels(const NodeDescriptor& node, ChannelDescriptor* channels, uint16_t channelCount) {
    for (uint16_t j = 0; j < channelCount; ++j) {
        if (node.members[j] != 0) {
            channels[j].gasChannel = node.isGasNode;
        }
    }
}

constexpr NewerFamilyDecoders kDecoders{2, decodeIdentity, decodeChannel, decodeNode, markChannels};

}  // namespace

CKMT_G_DataExchange::CKMT_G_DataExchange(platform::Clock& clock)
    : CMovraDataExchange(10, 3, 3, clock) {}

HRESULT CKMT_G_DataExchange::Identify(uint16_t* channelCountOut, uint16_t* nodeCountOut,
                                      DeviceIdentity** identity, ChannelDescriptor** channels,
                                      NodeDescriptor** nodes, uint16_t* linkError) noexcept {
    return RunIdentify({channelCountOut, nodeCountOut, identity, channels, nodes, linkError},
                       [&](IdentityArrays& arrays, uint16_t& channelCount, uint16_t& nodeCount) {
                           return IdentifyNewerFamily(kDecoders, arrays, channelCount, nodeCount,
                                                      linkError);
                       });
}

HRESULT CKMT_G_DataExchange::ReadValues(uint8_t /*variant*/, const ReadSelection* selection,
                                        uint16_t* channelCountOut, uint16_t* nodeCountOut,
                                        SystemBlock** system, ChannelBlock** channels,
                                        NodeBlock** nodes, uint16_t* linkError) noexcept {
    return RunRead(
        {channelCountOut, nodeCountOut, system, channels, nodes, linkError}, selection,
        [&](ReadingArrays& readings) { return ReadDevice(*selection, readings, linkError); });
}

HRESULT CKMT_G_DataExchange::ReadDevice(const ReadSelection& selection, ReadingArrays& readings,
                                        uint16_t* linkError) {
    ChannelBlock* channels = readings.channels.get();
    NodeBlock* nodes = readings.nodes.get();

    HRESULT hr = ReadGroupedValues(readings, linkError);
    RETURN_IF_FAILED(hr);
    // The KMT-G also publishes the same values under the names of its gas quantities.
    CopyEachChannel(channels, kChannelDP, kChannelQ);
    CopyEachChannel(channels, kChannelQs, kChannelG);
    CopyEachChannel(channels, kChannelVs, kChannelM);
    CopyEachNode(nodes, kNodeQy, kNodeGy);
    CopyEachNode(nodes, kNodeVy, kNodeMy);

    if (selection.has(ReadSelection::kSelectAll) || selection.has(ReadSelection::kSelectChannelV)) {
        ClearRequest();
        request[1] = kExtraFunction;
        hr = DoExchange(linkError);
        RETURN_IF_FAILED(hr);
        TakeDeviceClock();
        Reply().skip(1);
        TakeEachChannel(channels, kChannelV);
        hr = FinishReply(linkError);
        RETURN_IF_FAILED(hr);
    }
    return S_OK;
}

}  // namespace movra
