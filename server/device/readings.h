// The records the protocols hand to the poll cycle: readings in their blocks, the device's
// identity and its channel and node descriptors, and what ReadValues is asked for.
#pragma once

#include "platform/win.h"
#include "server/models/quantities.h"

#include <cstddef>
#include <cstdint>

namespace movra {

// One value of a device. value holds the four reply bytes in the order received (the
// little-endian IEEE-754 single), or a 16-bit field zero-extended; quality 192 when taken from a
// reply, 0 when the model does not supply it (then value and timestamp are all zero too).
struct Reading {
    uint32_t value;
    uint16_t quality;
    SYSTEMTIME timestamp;
};

inline constexpr uint16_t kQualityGood = 192;
inline constexpr uint16_t kQualityBad = 0;

// The indexes of the readings within the blocks are those of server/models/quantities.h.
struct SystemBlock {
    Reading readings[kSystemReadings];
};
struct ChannelBlock {
    Reading readings[kChannelReadings];
};
struct NodeBlock {
    Reading readings[kNodeReadings];
};

// Byte 0 is the model variant that ReadValues is given back.
struct DeviceIdentity {
    uint8_t bytes[9];
};
static_assert(sizeof(DeviceIdentity) == 9);

struct ChannelDescriptor {
    uint8_t code[8];        // model-specific
    uint32_t gasChannel;    // member of a node of type 7: its volumes are gas volumes
    uint32_t type9Channel;  // member of a node of type 9
};

struct NodeDescriptor {
    uint8_t nodeType;
    uint8_t members[20];  // members[c - 1] nonzero where K channel c belongs to the node
    float volumeScale;    // 1000.0 when the device keeps the node's volumes in thousands
    uint32_t isGasNode;   // nodeType 7
    uint32_t isType9Node;
    uint32_t scaleIs1000;
};

// What ReadValues is asked for: 30 flags. Flag 0 asks for every quantity; the poll cycle passes
// only that one. Which single flags a model consults is its read plan's (server/models).
struct ReadSelection {
    uint32_t flags[30];

    bool has(size_t flag) const { return flag < 30 && flags[flag] != 0; }
    static ReadSelection all() {
        ReadSelection selection{};
        selection.flags[kSelectAll] = 1;
        return selection;
    }

    static constexpr size_t kSelectAll = 0;
    static constexpr size_t kSelectStatusWords = 5;
    static constexpr size_t kSelectChannelV = 10;
};

}  // namespace movra
