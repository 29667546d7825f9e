// Field decoders shared by the models of the newer family (KMT-V, KMT-G, KMT-U, KMT-UV).
#pragma once

#include "server/device/data_exchange.h"

#include <cstdint>
#include <cstring>

namespace movra::newer_family {

inline constexpr uint8_t kIdentifyFunction = 0x50;  // "P"
inline constexpr uint8_t kValuesFunction = 0x51;    // "Q"
inline constexpr uint8_t kExtraFunction = 0x58;     // "X"

inline uint8_t high(uint8_t value) {
    return value >> 4;
}
inline uint8_t low(uint8_t value) {
    return value & 0x0F;
}

// Half-byte k of a byte run, high half of each byte first.
inline uint8_t halfByteAt(const uint8_t* bytes, size_t k) {
    return k % 2 == 0 ? high(bytes[k / 2]) : low(bytes[k / 2]);
}

// A float of four bytes, least significant first.
inline float takeFloat(ReplyReader& reply) {
    uint8_t bytes[4];
    reply.take(bytes, 4);
    float value;
    std::memcpy(&value, bytes, 4);
    return value;
}

// Ten 3-bit membership fields of a packed word, the first in bits 31 to 29; bits 1 and 0 are
// not used.
inline void unpackMembers(uint32_t word, uint8_t* members) {
    for (int field = 0; field < 10; ++field) {
        members[field] = static_cast<uint8_t>((word >> (29 - 3 * field)) & 0x7);
    }
}

}  // namespace movra::newer_family
