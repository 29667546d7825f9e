// What a simulated metering computer reports: one pure function of (seed, quantity, channel or
// node, cycle), so that a test predicts exactly the bytes on the wire and the values a server
// publishes from them.
//
// The cycle: every device counts its reads. A read begins with the first values request of the
// model's read sequence:
//   KMT            0xB3 with byte 2 = 0x01 (channel values)
//   KMT-V, KMT-G   0x51
//   KMT-U, KMT-UV  0x51 with index (byte 2) 0
// That request and every later values request report cycle c = the number of earlier read
// beginnings the device answered without an injected failure (silence, wrong CRC, wrong function
// code, error reply). So the first read reports cycle 0, the next cycle 1, and a read beginning
// spoiled by a fault is repeated with the same cycle. Identification, clock and recovery frames
// never move the cycle.
//
// Every float is a multiple of 1/16 below 2^20, so it is exact in single precision for the first
// tens of thousands of cycles, and it changes from each cycle to the next: totals (volumes,
// masses, energies) grow by at least 1/16, the others move within their band.
#pragma once

#include <cstdint>

namespace movra::sim {

enum class Quantity : uint8_t {
    // System values (index 0).
    Pa = 1,
    Tv,
    // Channel values (index = channel number, 1 based).
    ChannelT,
    ChannelTo,
    ChannelP,
    ChannelQ,
    ChannelV,
    ChannelG,
    ChannelM,
    ChannelN,
    // Node values (index = node number, 1 based).
    NodeGy,
    NodeMy,
    NodeN,
    NodeW,
    NodeNe,
    NodeWe,
    NodeWm,
    NodeWl,
};

namespace detail {

constexpr uint32_t mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

constexpr uint32_t hashOf(uint32_t seed, uint32_t what, uint32_t index) {
    return mix(mix(seed * 0x9e3779b9U + what) ^ (index * 0x85ebca6bU));
}

// A band of a quantity in 1/16 units: instantaneous values wander in [low, low + span); totals
// start in [low, low + span) and grow by 1 to `growth` sixteenths per cycle.
struct Band {
    uint32_t low;
    uint32_t span;
    uint32_t growth;  // 0 for instantaneous values
};

constexpr Band bandOf(Quantity quantity) {
    switch (quantity) {
        case Quantity::Pa:
            return {96 * 16, 8 * 16, 0};  // atmospheric pressure, kPa
        case Quantity::Tv:
            return {15 * 16, 10 * 16, 0};  // air temperature, degrees C
        case Quantity::ChannelT:
            return {40 * 16, 50 * 16, 0};
        case Quantity::ChannelTo:
            return {5 * 16, 20 * 16, 0};
        case Quantity::ChannelP:
            return {4, 25, 0};  // about 0.25 to 1.8 MPa
        case Quantity::ChannelQ:
            return {2 * 16, 40 * 16, 0};
        case Quantity::ChannelG:
            return {2 * 16, 40 * 16, 0};
        case Quantity::NodeGy:
            return {2 * 16, 60 * 16, 0};
        case Quantity::NodeMy:
            return {2 * 16, 60 * 16, 0};
        case Quantity::ChannelV:
            return {1000 * 16, 90000 * 16, 40 * 16};
        case Quantity::ChannelM:
            return {1000 * 16, 90000 * 16, 40 * 16};
        case Quantity::ChannelN:
            return {100 * 16, 9000 * 16, 8 * 16};
        case Quantity::NodeN:
            return {100 * 16, 9000 * 16, 8 * 16};
        case Quantity::NodeW:
            return {100 * 16, 9000 * 16, 8 * 16};
        case Quantity::NodeNe:
            return {100 * 16, 9000 * 16, 8 * 16};
        case Quantity::NodeWe:
            return {100 * 16, 9000 * 16, 8 * 16};
        case Quantity::NodeWm:
            return {1000 * 16, 90000 * 16, 40 * 16};
        case Quantity::NodeWl:
            return {1000 * 16, 90000 * 16, 40 * 16};
    }
    return {0, 1, 0};
}

}  // namespace detail

// The value of `quantity` of channel or node `index` (0 for system values) in read `cycle` of a
// device with `seed`.
constexpr float value(uint32_t seed, Quantity quantity, uint32_t index, uint32_t cycle) {
    const detail::Band band = detail::bandOf(quantity);
    const uint32_t h = detail::hashOf(seed, static_cast<uint32_t>(quantity), index);
    uint64_t sixteenths = 0;
    if (band.growth == 0) {
        // A step that is never a multiple of the span, so consecutive cycles always differ.
        uint64_t step = 1 + h % (band.span - 1);
        sixteenths = band.low + (h % band.span + step * cycle) % band.span;
    } else {
        uint64_t rate = 1 + (h >> 8) % band.growth;
        sixteenths = band.low + h % band.span + rate * cycle;
    }
    return static_cast<float>(static_cast<double>(sixteenths) / 16.0);
}

// The 2-byte status word of channel `channel` (newer family; sent least significant byte first).
constexpr uint16_t statusWord(uint32_t seed, uint32_t channel, uint32_t cycle) {
    return static_cast<uint16_t>(detail::hashOf(seed, 0x100 + cycle, channel) & 0x0f0fU);
}

// The 2-byte device word of a KMT-U (index 2 of its values).
constexpr uint16_t deviceWord(uint32_t seed, uint32_t cycle) {
    return static_cast<uint16_t>(detail::hashOf(seed, 0x200, cycle));
}

// The 28 status flags of KMT channel `channel` (request 0xA0): bit k is flag k.
constexpr uint32_t kmtStatusMask(uint32_t seed, uint32_t channel, uint32_t cycle) {
    return detail::hashOf(seed, 0x300 + cycle, channel) & 0x0fffffffU;
}

}  // namespace movra::sim
