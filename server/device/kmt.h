// The KMT's identification: its identity, one reply with every channel code and node layout, then
// the volume scale of each node. It always has 10 channels and 10 nodes; its values follow the
// read plan of its description.
#pragma once

#include "server/device/data_exchange.h"

namespace movra {

class CKMT_DataExchange : public CMovraDataExchange {
public:
    CKMT_DataExchange(const ModelDescription& model, platform::Clock& clock);

    HRESULT Identify(uint16_t* channelCountOut, uint16_t* nodeCountOut, DeviceIdentity** identity,
                     ChannelDescriptor** channels, NodeDescriptor** nodes,
                     uint16_t* linkError) noexcept override;

private:
    HRESULT IdentifyDevice(IdentityArrays& arrays, uint16_t* linkError);
};

}  // namespace movra
