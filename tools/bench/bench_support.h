// What the catalogue and group-item measurement programs share: the largest configuration (100
// KMT-U devices) and a millisecond stopwatch.
#pragma once

#include "common/config/config_file.h"
#include "common/config/device_record.h"

#include <chrono>
#include <cstdint>

namespace movra::bench {

using Clock = std::chrono::steady_clock;

inline double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// 100 KMT-U devices with distinct serials and the counts the configuration reader derives.
inline ServerConfiguration hundredKmtU(uint32_t pollPeriodMs) {
    ServerConfiguration config;
    config.pollPeriodMs = pollPeriodMs;
    for (int i = 1; i <= 100; ++i) {
        DeviceRecord device;
        device.deviceType = kTypeKmtU;
        device.serial[2] = static_cast<uint8_t>(0x10 + i / 16);
        device.serial[3] = static_cast<uint8_t>(i * 37);
        config.devices.push_back(device);
        config.channelCounts.push_back(channelCountOf(device.deviceType));
        config.nodeCounts.push_back(nodeCountOf(device.deviceType));
    }
    return config;
}

}  // namespace movra::bench
