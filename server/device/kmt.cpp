#include "server/device/kmt.h"

#include "server/device/reply_fields.h"

namespace movra {

namespace {

constexpr uint8_t kIdentityFunction = 0xB0;
constexpr uint8_t kLayoutFunction = 0xB2;
// Each node of the layout reply: its type digit, one member digit per channel, a byte not used.
constexpr uint16_t kLayoutMembers = 10;

using reply::high;
using reply::low;

}  // namespace

CKMT_DataExchange::CKMT_DataExchange(const ModelDescription& model, platform::Clock& clock)
    : CMovraDataExchange(model, clock) {}

HRESULT CKMT_DataExchange::Identify(uint16_t* channelCountOut, uint16_t* nodeCountOut,
                                    DeviceIdentity** identity, ChannelDescriptor** channels,
                                    NodeDescriptor** nodes, uint16_t* linkError) noexcept {
    return RunIdentify({channelCountOut, nodeCountOut, identity, channels, nodes, linkError},
                       [&](IdentityArrays& arrays, uint16_t& channelCount, uint16_t& nodeCount) {
                           // A KMT always reports all of them.
                           channelCount = maxChannels;
                           nodeCount = maxNodes;
                           return IdentifyDevice(arrays, linkError);
                       });
}

HRESULT CKMT_DataExchange::IdentifyDevice(IdentityArrays& arrays, uint16_t* linkError) {
    RETURN_IF_FAILED(SendZeroBytes(linkError));

    RETURN_IF_FAILED(DoExchange(kIdentityFunction, {0x00, 0x00, 0x00, 0x27}, linkError));
    uint8_t serial[4];
    reply::take(Reply(), serial, 4);
    Reply().skip(22);
    const uint8_t byte26 = reply::byte(Reply());
    const uint8_t byte27 = reply::byte(Reply());
    uint8_t* id = arrays.identity->bytes;
    id[0] = serial[3];
    id[1] = serial[2];
    id[2] = serial[1];
    id[3] = serial[0];
    id[4] = high(byte27);
    id[5] = low(byte27);
    id[6] = high(byte26);
    id[7] = low(byte26);
    RETURN_IF_FAILED(FinishReply(linkError));

    RETURN_IF_FAILED(DoExchange(kLayoutFunction, {}, linkError));
    ChannelDescriptor* channels = arrays.channels.get();
    for (uint16_t c = 0; c < maxChannels; ++c) {
        uint8_t group[4];
        reply::take(Reply(), group, 4);
        uint8_t* code = channels[c].code;
        for (int i = 0; i < 4; ++i) {
            code[2 * i] = high(group[3 - i]);
            code[2 * i + 1] = low(group[3 - i]);
        }
    }
    Reply().skip(80);
    for (uint16_t n = 0; n < maxNodes; ++n) {
        uint8_t group[1 + kLayoutMembers];
        reply::take(Reply(), group, sizeof group);
        Reply().skip(1);
        NodeDescriptor& node = arrays.nodes.get()[n];
        node.nodeType = DigitValue(group[0], '0', '9');
        for (uint16_t j = 0; j < kLayoutMembers && j < maxChannels; ++j) {
            node.members[j] = DigitValue(group[1 + j], '0', '9');
        }
        node.isGasNode = node.nodeType == 7;
        node.isType9Node = node.nodeType == 9;
        // A channel listed in several nodes keeps the flags of the last of them.
        for (uint16_t j = 0; j < kLayoutMembers && j < maxChannels; ++j) {
            if (node.members[j] != 0) {
                channels[j].gasChannel = node.isGasNode;
                channels[j].type9Channel = node.isType9Node;
            }
        }
    }
    RETURN_IF_FAILED(FinishReply(linkError));

    for (uint16_t n = 1; n <= maxNodes; ++n) {
        RETURN_IF_FAILED(DoExchange(kIdentityFunction,
                                    {static_cast<uint8_t>(0x80 + n), 0x01, 0x00, 0x01}, linkError));
        NodeDescriptor& node = arrays.nodes.get()[n - 1];
        TakeRaw4(&node.volumeScale);
        node.scaleIs1000 = node.volumeScale == 1000.0f;
        RETURN_IF_FAILED(FinishReply(linkError));
    }
    return S_OK;
}

}  // namespace movra
