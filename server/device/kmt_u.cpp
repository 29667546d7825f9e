// The KMT-U protocol: node membership in packed 3-bit fields, current values in up to six
// requests, each reply starting with the device clock.
#include "server/device/kmt_models.h"
#include "server/device/newer_family.h"

#include <initializer_list>

namespace movra {

using namespace newer_family;

namespace {

constexpr uint16_t kKmtUChannels = 20;
constexpr uint16_t kKmtUNodes = 16;

void decodeIdentity(ReplyReader& reply, DeviceIdentity& identity) {
    const uint8_t byte12 = reply.byte();
    const uint8_t byte13 = reply.byte();
    identity.bytes[4] = high(byte12);
    identity.bytes[5] = low(byte12);
    identity.bytes[6] = high(byte13);
    identity.bytes[8] = low(byte13);
}

void decodeChannel(ReplyReader& reply, ChannelDescriptor& channel) {
    uint8_t bytes[4];
    reply.take(bytes, sizeof bytes);
    channel.code[0] = static_cast<uint8_t>(10 * high(bytes[0]) + low(bytes[0]));
    for (size_t k = 0; k < 6; ++k) {
        channel.code[1 + k] = halfByteAt(bytes + 1, k);
    }
}

void decodeNode(ReplyReader& reply, uint16_t /*reportedChannels*/, NodeDescriptor& node) {
    node.nodeType = reply.byte();
    reply.skip(3);
    const uint32_t channels1To10 = reply.wordMsbFirst();
    const uint32_t channels11To20 = reply.wordMsbFirst();
    unpackMembers(channels1To10, node.members);
    unpackMembers(channels11To20, node.members + 10);
    node.volumeScale = takeFloat(reply);
    node.scaleIs1000 = node.volumeScale == 1000.0f;
    node.isGasNode = node.nodeType == 7;
    node.isType9Node = node.nodeType == 9;
}

// A channel in several nodes keeps the flags of the last of them.
void markChannels(const NodeDescriptor& node, ChannelDescriptor* channels, uint16_t channelCount) {
    for (uint16_t j = 0; j < channelCount && j < 20; ++j) {
        if (node.members[j] != 0) {
            channels[j].gasChannel = node.isGasNode;
            channels[j].type9Channel = node.isType9Node;
        }
    }
}

constexpr NewerFamilyDecoders kDecoders{4, decodeIdentity, decodeChannel, decodeNode, markChannels};

bool wantsAny(const ReadSelection& selection, std::initializer_list<size_t> flags) {
    if (selection.has(ReadSelection::kSelectAll)) {
        return true;
    }
    for (size_t flag : flags) {
        if (selection.has(flag)) {
            return true;
        }
    }
    return false;
}

}  // namespace

CKMT_U_DataExchange::CKMT_U_DataExchange(platform::Clock& clock)
    : CMovraDataExchange(10, kKmtUChannels, kKmtUNodes, clock) {}

HRESULT CKMT_U_DataExchange::Identify(uint16_t* channelCountOut, uint16_t* nodeCountOut,
                                      DeviceIdentity** identity, ChannelDescriptor** channels,
                                      NodeDescriptor** nodes, uint16_t* linkError) noexcept {
    return RunIdentify({channelCountOut, nodeCountOut, identity, channels, nodes, linkError},
                       [&](IdentityArrays& arrays, uint16_t& channelCount, uint16_t& nodeCount) {
                           return IdentifyNewerFamily(kDecoders, arrays, channelCount, nodeCount,
                                                      linkError);
                       });
}

HRESULT CKMT_U_DataExchange::ReadValues(uint8_t /*variant*/, const ReadSelection* selection,
                                        uint16_t* channelCountOut, uint16_t* nodeCountOut,
                                        SystemBlock** system, ChannelBlock** channels,
                                        NodeBlock** nodes, uint16_t* linkError) noexcept {
    return RunRead(
        {channelCountOut, nodeCountOut, system, channels, nodes, linkError}, selection,
        [&](ReadingArrays& readings) { return ReadDevice(*selection, readings, linkError); });
}

HRESULT CKMT_U_DataExchange::RequestWithClock(uint8_t function, uint8_t index,
                                              uint16_t* linkError) {
    request[1] = function;
    request[2] = index;
    const HRESULT hr = DoExchange(linkError);
    RETURN_IF_FAILED(hr);
    TakeDeviceClock();
    Reply().skip(1);
    return S_OK;
}

HRESULT CKMT_U_DataExchange::ReadDevice(const ReadSelection& selection, ReadingArrays& readings,
                                        uint16_t* linkError) {
    ChannelBlock* channels = readings.channels.get();
    NodeBlock* nodes = readings.nodes.get();
    Reading* system = readings.system->readings;

    ClearRequest();
    HRESULT hr = RequestWithClock(kValuesFunction, 0, linkError);
    RETURN_IF_FAILED(hr);
    TakeEachChannel(channels, kChannelQ);
    TakeEachChannel(channels, kChannelP);
    TakeEachChannel(channels, kChannelT);
    hr = FinishReply(linkError);
    RETURN_IF_FAILED(hr);
    CopyEachChannel(channels, kChannelDP, kChannelQ);

    if (wantsAny(selection, {11, 12, 13, 14, 15, 16, 17})) {
        hr = RequestWithClock(kValuesFunction, 1, linkError);
        RETURN_IF_FAILED(hr);
        TakeEachChannel(channels, kChannelG);
        TakeEachChannel(channels, kChannelM);
        TakeEachChannel(channels, kChannelN);
        hr = FinishReply(linkError);
        RETURN_IF_FAILED(hr);
        CopyEachChannel(channels, kChannelQs, kChannelG);
        CopyEachChannel(channels, kChannelVs, kChannelM);
        CopyEachChannel(channels, kChannelWe, kChannelM);
        CopyEachChannel(channels, kChannelNe, kChannelN);
    }

    if (wantsAny(selection, {1, 2, 4, 5})) {
        hr = RequestWithClock(kValuesFunction, 2, linkError);
        RETURN_IF_FAILED(hr);
        TakeReading(system[kSystemPa], false);
        TakeReading(system[kSystemTv], false);
        TakeReading(system[kSystemWord], true);
        TakeEachChannel(channels, kChannelStatus, true);
        hr = FinishReply(linkError);
        RETURN_IF_FAILED(hr);
    }

    if (wantsAny(selection, {24, 25, 26, 27})) {
        hr = RequestWithClock(kValuesFunction, 3, linkError);
        RETURN_IF_FAILED(hr);
        TakeEachNode(nodes, kNodeN);
        TakeEachNode(nodes, kNodeW);
        hr = FinishReply(linkError);
        RETURN_IF_FAILED(hr);
        CopyEachNode(nodes, kNodeNe, kNodeN);
        CopyEachNode(nodes, kNodeWe, kNodeW);
    }

    if (wantsAny(selection, {20, 21, 22, 23, 28, 29})) {
        hr = RequestWithClock(kValuesFunction, 4, linkError);
        RETURN_IF_FAILED(hr);
        TakeEachNode(nodes, kNodeGy);
        TakeEachNode(nodes, kNodeMy);
        hr = FinishReply(linkError);
        RETURN_IF_FAILED(hr);
        CopyEachNode(nodes, kNodeQy, kNodeGy);
        CopyEachNode(nodes, kNodeWm, kNodeQy);
        CopyEachNode(nodes, kNodeVy, kNodeMy);
        CopyEachNode(nodes, kNodeWl, kNodeVy);
    }

    if (wantsAny(selection, {10, 18})) {
        ClearRequest();
        hr = RequestWithClock(kExtraFunction, 0, linkError);
        RETURN_IF_FAILED(hr);
        TakeEachChannel(channels, kChannelV);
        hr = FinishReply(linkError);
        RETURN_IF_FAILED(hr);
        CopyEachChannel(channels, kChannelWc, kChannelV);
    }
    return S_OK;
}

}  // namespace movra
