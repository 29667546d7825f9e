// The newer family (KMT-V, KMT-G, KMT-U, KMT-UV): one identification scheme, each model with its
// own decoders of the identity, channel and node replies. Their values follow the read plans of
// their descriptions like every model's.
#pragma once

#include "server/device/data_exchange.h"

namespace movra {

// What a model of the newer family decodes in the shared identification scheme.
struct NewerFamilyDecoders {
    uint8_t type;
    void (*identity)(ByteCursor& reply, DeviceIdentity& identity);  // from data byte 12
    void (*channel)(ByteCursor& reply, ChannelDescriptor& channel);
    void (*node)(ByteCursor& reply, uint16_t reportedChannels, NodeDescriptor& node);
    // Marks the member channels after each node; null when the model marks none.
    void (*markChannels)(const NodeDescriptor& node, ChannelDescriptor* channels,
                         uint16_t channelCount);
};

// The decoders of a model of the family; null for any other type.
const NewerFamilyDecoders* newerFamilyDecoders(uint8_t deviceType);

class CNewerFamilyDataExchange : public CMovraDataExchange {
public:
    CNewerFamilyDataExchange(const ModelDescription& model, const NewerFamilyDecoders& decoders,
                             platform::Clock& clock);

    // The identity (selector 4), then the channel list (selector 1) and the node list (the
    // model's selector), each ended by the device's error reply for the first index it lacks.
    HRESULT Identify(uint16_t* channelCountOut, uint16_t* nodeCountOut, DeviceIdentity** identity,
                     ChannelDescriptor** channels, NodeDescriptor** nodes,
                     uint16_t* linkError) noexcept override;

private:
    HRESULT IdentifyDevice(IdentityArrays& arrays, uint16_t& channelCount, uint16_t& nodeCount,
                           uint16_t* linkError);
    // One list: requests with index first + 1, first + 2, ... up to `count` until the error
    // reply; `decode` takes each answer (number from 1). The entries found go into `found`.
    template <typename Decode>
    HRESULT IdentifyList(uint8_t selector, uint8_t first, uint16_t count, uint16_t& found,
                         uint16_t* linkError, Decode&& decode);

    const NewerFamilyDecoders& decoders;
};

}  // namespace movra
