// The quantities of the meter family: where each reading sits in its block, the item name it is
// published under and its unit. The catalogue's slots, the poll cycle's publication and the check's
// report all walk the three section tables below, in their order.
#pragma once

#include <cstdint>

namespace movra {

// Indexes of the readings within the blocks a protocol fills.
enum SystemReadingIndex : uint8_t { kSystemWord, kSystemPa, kSystemTx, kSystemTv };
enum ChannelReadingIndex : uint8_t {
    kChannelStatus,  // not published
    kChannelT,
    kChannelTo,
    kChannelP,
    kChannelQ,
    kChannelDP,
    kChannelV,
    kChannelG,
    kChannelM,
    kChannelQs,
    kChannelVs,
    kChannelN,
    kChannelNe,
    kChannelWe,
    kChannelWc,
};
enum NodeReadingIndex : uint8_t {
    kNodeWord,  // not published
    kNodeGy,
    kNodeMy,
    kNodeQy,
    kNodeVy,
    kNodeN,
    kNodeW,
    kNodeNe,
    kNodeWe,
    kNodeWm,
    kNodeWl,
};

inline constexpr uint8_t kSystemReadings = 4;
inline constexpr uint8_t kChannelReadings = 15;
inline constexpr uint8_t kNodeReadings = 11;

// The blocks of readings: the device-wide one, one per K channel, one per U node.
enum class Section : uint8_t { System, Channel, Node };

enum class UnitKind : uint8_t {
    None,  // as the device delivers it, without a unit the server knows
    Celsius,
    Kilopascal,
    Megapascal,
    Energy,     // delivered in GJ, published in GJ or Gcal as configured
    Volume,     // m3; a gas channel's in the configured gas volume unit
    GasVolume,  // a gas channel's (node's) in the configured gas volume unit; else unknown
};

// One catalogue slot of a section: the item name and the reading published into it.
struct Quantity {
    const char* name;
    uint8_t reading;
    UnitKind unit = UnitKind::None;
};

// The slots of each section in catalogue order, which is also the order of publication.
inline constexpr Quantity kSystemQuantities[] = {
    {"Pa", kSystemPa, UnitKind::Kilopascal},
    {"Tx", kSystemTx, UnitKind::Celsius},
    {"Tv", kSystemTv, UnitKind::Celsius},
};
inline constexpr Quantity kChannelQuantities[] = {
    {"T", kChannelT, UnitKind::Celsius},
    {"To", kChannelTo, UnitKind::Celsius},
    {"P", kChannelP, UnitKind::Megapascal},
    {"Q", kChannelQ},
    {"dP", kChannelDP},
    {"V", kChannelV, UnitKind::Volume},
    {"G", kChannelG},
    {"M", kChannelM},
    {"Qs", kChannelQs},
    {"Vs", kChannelVs, UnitKind::GasVolume},
    {"N", kChannelN, UnitKind::Energy},
    {"Ne", kChannelNe},
    {"We", kChannelWe},
    {"Wc", kChannelWc},
};
inline constexpr Quantity kNodeQuantities[] = {
    {"Gy", kNodeGy},
    {"My", kNodeMy},
    {"Qy", kNodeQy},
    {"Vy", kNodeVy, UnitKind::GasVolume},
    {"N", kNodeN, UnitKind::Energy},
    {"W", kNodeW, UnitKind::Energy},
    {"Ne", kNodeNe},
    {"We", kNodeWe},
    {"Wm", kNodeWm},
    {"Wl", kNodeWl},
};

// Slots of one section.
inline constexpr uint32_t kSysSlots = sizeof kSystemQuantities / sizeof(Quantity);
inline constexpr uint32_t kChannelSlots = sizeof kChannelQuantities / sizeof(Quantity);
inline constexpr uint32_t kNodeSlots = sizeof kNodeQuantities / sizeof(Quantity);

// The slots a device occupies, in the order the poll cycle publishes them.
inline constexpr uint64_t catalogueRunLength(uint32_t channels, uint32_t nodes) {
    return kSysSlots + uint64_t{kChannelSlots} * channels + uint64_t{kNodeSlots} * nodes;
}

}  // namespace movra
