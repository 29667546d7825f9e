// The configuration file "MovraOPCServer.ini": a 12-byte header (format version as a float, device
// count, poll period in seconds) and one variable-length record per device, little-endian.
#pragma once

#include "common/config/device_record.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace movra {

inline constexpr float kFormatVersion = 1.08f;
// Records of files older than this lack startDelayMs.
inline constexpr float kStartDelayVersion = 1.02f;

// What the server keeps after reading the file at start-up; never changed afterwards.
struct ServerConfiguration {
    std::vector<DeviceRecord> devices;
    uint32_t pollPeriodMs = 0;
    uint16_t riRs485DeviceCount = 0;
    std::vector<uint16_t> channelCounts;  // per device, from its type
    std::vector<uint16_t> nodeCounts;

    uint32_t deviceCount() const { return static_cast<uint32_t>(devices.size()); }
};

// The server's reader: 1 when the file was opened and read whole, 0 when it cannot be opened or
// is damaged (truncated, more than 100 records, a length running past the end); on 0 the
// configuration is left empty.
int ReadConfiguration(const std::string& path, ServerConfiguration& config);

// The configurator's fixed table of 100 records; entries from count on stay all-zero.
struct ConfiguratorTable {
    std::array<DeviceRecord, kMaxDevices> records{};
    uint32_t count = 0;
    uint32_t periodSec = 0;
};

enum class LoadOutcome {
    Loaded,   // the whole file was read
    NoFile,   // it could not be opened: empty list, period 0
    Damaged,  // records read in full before the damage are kept
};

struct LoadResult {
    LoadOutcome outcome = LoadOutcome::NoFile;
    uint32_t recordsRead = 0;
    uint32_t recordsDeclared = 0;  // the count in the header
};

LoadResult loadConfiguratorFile(const std::string& path, ConfiguratorTable& table);

// Writes version 1.08 with startDelayMs always present; false when the file cannot be written.
bool saveConfiguratorFile(const std::string& path, const ConfiguratorTable& table);

}  // namespace movra
