#include "server/device/newer_family.h"

#include "server/device/reply_fields.h"

namespace movra {

namespace {

constexpr uint8_t kIdentifyFunction = 0x50;  // "P"
constexpr uint8_t kIdentitySelector = 4;
constexpr uint8_t kChannelSelector = 1;
constexpr uint8_t kNodeIndexBase = 0x80;

}  // namespace

CNewerFamilyDataExchange::CNewerFamilyDataExchange(const ModelDescription& model,
                                                   const NewerFamilyDecoders& decoders,
                                                   platform::Clock& clock)
    : CMovraDataExchange(model, clock), decoders(decoders) {}

HRESULT CNewerFamilyDataExchange::Identify(uint16_t* channelCountOut, uint16_t* nodeCountOut,
                                           DeviceIdentity** identity, ChannelDescriptor** channels,
                                           NodeDescriptor** nodes, uint16_t* linkError) noexcept {
    return RunIdentify({channelCountOut, nodeCountOut, identity, channels, nodes, linkError},
                       [&](IdentityArrays& arrays, uint16_t& channelCount, uint16_t& nodeCount) {
                           return IdentifyDevice(arrays, channelCount, nodeCount, linkError);
                       });
}

template <typename Decode>
HRESULT CNewerFamilyDataExchange::IdentifyList(uint8_t selector, uint8_t first, uint16_t count,
                                               uint16_t& found, uint16_t* linkError,
                                               Decode&& decode) {
    found = 0;
    for (uint16_t i = 1; i <= count; ++i) {
        const HRESULT hr = DoExchange(kIdentifyFunction,
                                      {static_cast<uint8_t>(first + i), 0, selector}, linkError);
        if (hr == E_FAIL && *linkError == ERR_DEVICE) {
            // A device answers an index it does not have with an error reply: the list ends.
            *linkError = ERR_NONE;
            break;
        }
        RETURN_IF_FAILED(hr);
        decode(i);
        RETURN_IF_FAILED(FinishReply(linkError));
        found = i;
    }
    return S_OK;
}

HRESULT CNewerFamilyDataExchange::IdentifyDevice(IdentityArrays& arrays, uint16_t& channelCount,
                                                 uint16_t& nodeCount, uint16_t* linkError) {
    RETURN_IF_FAILED(DoExchange(kIdentifyFunction, {0, 0, kIdentitySelector}, linkError));
    DeviceIdentity& identity = *arrays.identity.get();
    reply::take(Reply(), identity.bytes, 4);
    Reply().skip(8);
    decoders.identity(Reply(), identity);
    RETURN_IF_FAILED(FinishReply(linkError));

    ChannelDescriptor* channels = arrays.channels.get();
    RETURN_IF_FAILED(IdentifyList(kChannelSelector, 0, maxChannels, channelCount, linkError,
                                  [&](uint16_t c) { decoders.channel(Reply(), channels[c - 1]); }));
    return IdentifyList(model.identity.nodeListSelector, kNodeIndexBase, maxNodes, nodeCount,
                        linkError, [&](uint16_t n) {
                            NodeDescriptor& node = arrays.nodes.get()[n - 1];
                            decoders.node(Reply(), channelCount, node);
                            if (decoders.markChannels != nullptr) {
                                decoders.markChannels(node, channels, maxChannels);
                            }
                        });
}

}  // namespace movra
