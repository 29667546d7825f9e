// One simulated metering computer: given a request frame addressed to it, what it sends back.
#pragma once

#include "tools/kmt-sim/device_config.h"
#include "tools/kmt-sim/values.h"

#include <cstdint>
#include <span>
#include <vector>

namespace movra::sim {

struct Reply {
    bool silent = false;
    std::vector<uint8_t> bytes;  // noise first (if any), then the frame
    int64_t delayUs = 0;         // before the first byte, beyond the line's own timing
    int64_t byteGapUs = 0;       // between two bytes, beyond the line's own timing
};

// The PC clock at a request: local time as civil seconds, and the run time of the program.
struct Moment {
    int64_t pcLocalSeconds = 0;
    int64_t elapsedSeconds = 0;
};

class SimDevice {
public:
    explicit SimDevice(DeviceConfig config);

    const DeviceConfig& config() const { return config_; }
    size_t requestLength() const { return traitsOf(config_.model).requestLength; }

    // `request` is a whole frame with this device's address and a valid CRC.
    Reply handle(std::span<const uint8_t> request, const Moment& now);

    // The device's clock at `now`.
    CivilTime clockAt(const Moment& now) const;

private:
    struct Answer;
    Answer answer(std::span<const uint8_t> request, const Moment& now);
    Answer answerKmt(std::span<const uint8_t> request, const Moment& now);
    Answer answerNewer(std::span<const uint8_t> request, const Moment& now);
    Answer identifyNewer(uint8_t index, uint8_t selector);
    Answer valuesV(uint8_t function, uint8_t index, const Moment& now);
    Answer valuesU(uint8_t function, uint8_t index, const Moment& now);
    Answer valuesUV(uint8_t function, uint8_t index, const Moment& now);
    bool isReadStart(std::span<const uint8_t> request) const;
    float value(Quantity quantity, uint32_t index) const;

    DeviceConfig config_;
    std::vector<uint32_t> faultSeen_;  // matching requests seen, per fault
    uint32_t answeredStarts_ = 0;      // read beginnings answered without an injected failure
    uint32_t cycle_ = 0;               // cycle of the current read
};

}  // namespace movra::sim
