// One configured metering computer and the table of them, as both programs keep them in memory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace movra {

// Device type codes of the configuration file.
enum : uint8_t {
    kTypeKmt = 1,
    kTypeKmtV = 2,
    kTypeKmtG = 3,
    kTypeKmtU = 4,
    kTypeKmtUV = 5,
    kTypeCode6 = 6,  // understood by the server, offered by no model
};

// Link type codes: the configurator writes only RS-232 and RS-485.
enum : uint8_t {
    kLinkRs232 = 1,
    kLinkRs485 = 2,
};

inline constexpr size_t kMaxDevices = 100;

struct DeviceRecord {
    std::string description;  // code page 1251 bytes, as stored in the file
    uint8_t serial[4] = {};   // 0, 0, then the two bytes of the four hex digits
    uint8_t deviceType = 0;
    uint8_t linkType = 0;
    uint8_t baudCode = 0;
    uint8_t comPort = 0;
    uint8_t rs485Address = 0;
    uint8_t energyUnit = 0;       // 0 GJ, 1 Gcal
    uint8_t gasVolumeUnit = 0;    // 0 m3, 1 thousand m3
    uint8_t timestampSource = 0;  // 0 UTC, 1 local time, 2 device clock
    uint8_t viaRiAdapter = 0;
    uint16_t reserved1 = 0;
    uint8_t reserved2[4] = {};
    uint8_t reserved3[6] = {};
    uint8_t reserved4[50] = {};
    uint16_t startDelayMs = 0;

    bool operator==(const DeviceRecord&) const = default;
};

// K channels and U nodes of each device type, as the server derives them when it reads the file.
// The server's model descriptions take their largest counts from here, so the catalogue, the poll
// cycle and the protocols cannot disagree about them.
struct TypeCounts {
    uint8_t type;
    uint16_t channels;
    uint16_t nodes;
};
inline constexpr TypeCounts kTypeCounts[] = {
    {kTypeKmt, 10, 10},  {kTypeKmtV, 5, 2},   {kTypeKmtG, 3, 3},
    {kTypeKmtU, 20, 16}, {kTypeKmtUV, 10, 6}, {kTypeCode6, 4, 2},
};

// 0 for codes without a row.
constexpr uint16_t channelCountOf(uint8_t deviceType) {
    for (const TypeCounts& row : kTypeCounts) {
        if (row.type == deviceType) {
            return row.channels;
        }
    }
    return 0;
}
constexpr uint16_t nodeCountOf(uint8_t deviceType) {
    for (const TypeCounts& row : kTypeCounts) {
        if (row.type == deviceType) {
            return row.nodes;
        }
    }
    return 0;
}

// The devices on RS-485 through the RI adapter: with more than one, the adapter is warmed up
// before a device's first exchange.
inline uint16_t riRs485DeviceCount(std::span<const DeviceRecord> devices) {
    return static_cast<uint16_t>(std::count_if(devices.begin(), devices.end(), [](const auto& d) {
        return d.viaRiAdapter != 0 && d.linkType == kLinkRs485;
    }));
}

}  // namespace movra
