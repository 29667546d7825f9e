// The configuration file "MovraOPCServer.ini": a 12-byte header (format version as a float, device
// count, poll period in seconds) and one variable-length record per device, little-endian.
#pragma once

#include "common/config/device_record.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace movra {

inline constexpr float kFormatVersion = 1.08f;
// Records of files older than this lack startDelayMs.
inline constexpr float kStartDelayVersion = 1.02f;
// Both readers look at no more than this much of a file; a configuration that needs more is
// damaged. It holds 100 records whose descriptions fill an edit control's default limit of 32767
// characters; real files are a few kilobytes.
inline constexpr size_t kMaxFileBytes = 4u << 20;
// The largest period whose milliseconds fit pollPeriodMs; a file with more is damaged.
inline constexpr uint32_t kMaxPollPeriodSec = UINT32_MAX / 1000;

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
// is damaged (truncated, more than 100 records, a length running past the end, a period whose
// milliseconds do not fit 32 bits); on 0 the configuration is left empty. Bytes after the last
// record are ignored.
int ReadConfiguration(const std::string& path, ServerConfiguration& config);
// The same over the bytes of a file already in memory.
int decodeServerConfiguration(std::span<const uint8_t> bytes, ServerConfiguration& config);

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

// Clears the table, then fills it. Damaged: a short header (nothing kept, period 0), a record
// running past the end (the records before it and the period are kept), or a count above 100
// (the first 100 are kept when they are whole). The period is taken as stored.
LoadResult loadConfiguratorFile(const std::string& path, ConfiguratorTable& table);
// The same over bytes in memory; the outcome is Loaded or Damaged.
LoadResult decodeConfiguratorFile(std::span<const uint8_t> bytes, ConfiguratorTable& table);

// Writes version 1.08 with startDelayMs always present, count and period as the table holds them;
// false when the file cannot be written whole (it may then be left damaged, and the table is
// untouched) or the table holds more than 100 records.
bool saveConfiguratorFile(const std::string& path, const ConfiguratorTable& table);
// The bytes saveConfiguratorFile writes; false for a table it refuses.
bool encodeConfiguratorFile(const ConfiguratorTable& table, std::vector<uint8_t>& bytes);

}  // namespace movra
