#include "server/poll/units.h"

#include <bit>

namespace movra {

namespace {

// The conversion factors, in single precision as the published values are.
constexpr float kGjPerGcal = 4.1868f;
constexpr float kThousand = 1000.0f;
constexpr float kPerThousand = 0.001f;

float floatOf(const Reading& reading) {
    return std::bit_cast<float>(reading.value);
}

void scale(Reading& reading, float factor) {
    reading.value = std::bit_cast<uint32_t>(floatOf(reading) * factor);
}

void divide(Reading& reading, float divisor) {
    reading.value = std::bit_cast<uint32_t>(floatOf(reading) / divisor);
}

// A KMT keeps a gas volume either in m3 or, with a node scale of 1000, in thousand m3; the others
// always deliver m3.
void convertKmtVolume(Reading& volume, uint8_t gasVolumeUnit, float volumeScale) {
    if (gasVolumeUnit == 1 && volumeScale != kThousand) {
        scale(volume, kPerThousand);
    } else if (gasVolumeUnit == 0 && volumeScale == kThousand) {
        scale(volume, kThousand);
    }
}

}  // namespace

void convertChannelUnits(const DeviceRecord& device, const UnitLayout& layout, uint32_t c,
                         ChannelBlock& block) {
    if (device.energyUnit != 0) {
        divide(block.readings[kChannelN], kGjPerGcal);
    }
    const bool gasChannel = layout.channels != nullptr && c <= layout.describedChannels &&
                            layout.channels[c - 1].gasChannel != 0;
    if (!gasChannel) {
        return;
    }
    if (device.deviceType == kTypeKmt) {
        // The scale of the first reported node that has this channel as a member.
        float volumeScale = 1.0f;
        if (layout.nodes != nullptr) {
            for (uint16_t n = 0; n < layout.knownNodes; ++n) {
                if (c <= sizeof layout.nodes[n].members && layout.nodes[n].members[c - 1] != 0) {
                    volumeScale = layout.nodes[n].volumeScale;
                    break;
                }
            }
        }
        convertKmtVolume(block.readings[kChannelVs], device.gasVolumeUnit, volumeScale);
    } else if (device.gasVolumeUnit == 1) {
        scale(block.readings[kChannelV], kPerThousand);
        scale(block.readings[kChannelVs], kPerThousand);
    }
}

void convertNodeUnits(const DeviceRecord& device, const UnitLayout& layout, uint32_t u,
                      NodeBlock& block) {
    if (device.energyUnit != 0) {
        divide(block.readings[kNodeN], kGjPerGcal);
        divide(block.readings[kNodeW], kGjPerGcal);
    }
    const NodeDescriptor* descriptor =
        layout.nodes != nullptr && u <= layout.describedNodes ? &layout.nodes[u - 1] : nullptr;
    if (descriptor == nullptr || descriptor->isGasNode == 0) {
        return;
    }
    if (device.deviceType == kTypeKmt) {
        convertKmtVolume(block.readings[kNodeVy], device.gasVolumeUnit, descriptor->volumeScale);
    } else if (device.gasVolumeUnit == 1) {
        scale(block.readings[kNodeVy], kPerThousand);
    }
}

}  // namespace movra
