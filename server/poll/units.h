// The configured units of a device's readings: energies in GJ or Gcal, gas volumes in m3 or
// thousand m3. The poll cycle publishes through it and the commissioning check prints through it,
// so both show a device's values alike. Which readings are energies and volumes is their unit
// kind (server/models/quantities.h); how the device keeps its gas volumes is its model's.
#pragma once

#include "common/config/device_record.h"
#include "server/device/readings.h"
#include "server/models/model.h"

#include <cstdint>

namespace movra {

// What Identify handed out for the device; the arrays may be null (nothing is then a gas
// channel or node). The described counts are the arrays' lengths; a channel whose model keeps
// volumes by node scale takes its scale from the first of the knownNodes (the reported ones)
// that lists it.
struct UnitLayout {
    const ChannelDescriptor* channels = nullptr;
    uint16_t describedChannels = 0;
    const NodeDescriptor* nodes = nullptr;
    uint16_t describedNodes = 0;
    uint16_t knownNodes = 0;
};

// Channel c (1-based) in place: N into the energy unit, the gas volumes into the volume unit.
void convertChannelUnits(const DeviceRecord& device, const UnitLayout& layout, uint32_t c,
                         ChannelBlock& block);
// Node u (1-based) in place: N and W, and Vy of a gas node.
void convertNodeUnits(const DeviceRecord& device, const UnitLayout& layout, uint32_t u,
                      NodeBlock& block);

// The unit a quantity is published in, as text ("GJ", "thousand m3", "°C" in UTF-8, ...); empty
// where the server knows none. `gas`: the channel or node holds gas volumes.
const char* unitText(const DeviceRecord& device, const ModelDescription& model, UnitKind unit,
                     bool gas);

}  // namespace movra
