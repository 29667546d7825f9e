#include "server/poll/units.h"

#include <bit>
#include <span>

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

// Which volumes hold the gas volume of a gas channel or node: Vs and Vy always, and V of the
// models that deliver m3. A model that keeps volumes by node scale has no known unit for V.
bool isGasVolume(const ModelDescription& model, UnitKind unit) {
    return unit == UnitKind::GasVolume || (unit == UnitKind::Volume && !model.volumesByNodeScale);
}

// Such a model has its gas volumes either in m3 or, with a scale of 1000, in thousand m3; the
// others always deliver m3.
void convertSection(const DeviceRecord& device, const ModelDescription& model,
                    std::span<const Quantity> slots, Reading* readings, bool gas,
                    float volumeScale) {
    for (const Quantity& slot : slots) {
        Reading& reading = readings[slot.reading];
        if (slot.unit == UnitKind::Energy && device.energyUnit != 0) {
            divide(reading, kGjPerGcal);
        }
        if (!gas || !isGasVolume(model, slot.unit)) {
            continue;
        }
        if (!model.volumesByNodeScale) {
            if (device.gasVolumeUnit == 1) {
                scale(reading, kPerThousand);
            }
        } else if (device.gasVolumeUnit == 1 && volumeScale != kThousand) {
            scale(reading, kPerThousand);
        } else if (device.gasVolumeUnit == 0 && volumeScale == kThousand) {
            scale(reading, kThousand);
        }
    }
}

}  // namespace

void convertChannelUnits(const DeviceRecord& device, const UnitLayout& layout, uint32_t c,
                         ChannelBlock& block) {
    const bool gas = layout.channels != nullptr && c <= layout.describedChannels &&
                     layout.channels[c - 1].gasChannel != 0;
    // The scale of the first reported node that has this channel as a member.
    float volumeScale = 1.0f;
    if (gas && layout.nodes != nullptr) {
        for (uint16_t n = 0; n < layout.knownNodes; ++n) {
            if (c <= sizeof layout.nodes[n].members && layout.nodes[n].members[c - 1] != 0) {
                volumeScale = layout.nodes[n].volumeScale;
                break;
            }
        }
    }
    convertSection(device, modelOf(device.deviceType), kChannelQuantities, block.readings, gas,
                   volumeScale);
}

void convertNodeUnits(const DeviceRecord& device, const UnitLayout& layout, uint32_t u,
                      NodeBlock& block) {
    const NodeDescriptor* descriptor =
        layout.nodes != nullptr && u <= layout.describedNodes ? &layout.nodes[u - 1] : nullptr;
    const bool gas = descriptor != nullptr && descriptor->isGasNode != 0;
    convertSection(device, modelOf(device.deviceType), kNodeQuantities, block.readings, gas,
                   gas ? descriptor->volumeScale : 1.0f);
}

const char* unitText(const DeviceRecord& device, const ModelDescription& model, UnitKind unit,
                     bool gas) {
    const char* gasUnit = device.gasVolumeUnit != 0 ? "thousand m3" : "m3";
    switch (unit) {
        case UnitKind::Celsius:
            return "\xC2\xB0"
                   "C";
        case UnitKind::Kilopascal:
            return "kPa";
        case UnitKind::Megapascal:
            return "MPa";
        case UnitKind::Energy:
            return device.energyUnit != 0 ? "Gcal" : "GJ";
        case UnitKind::Volume:
        case UnitKind::GasVolume:
            if (!isGasVolume(model, unit)) {
                return "";
            }
            return gas ? gasUnit : (unit == UnitKind::Volume ? "m3" : "");
        case UnitKind::None:
            break;
    }
    return "";
}

}  // namespace movra
