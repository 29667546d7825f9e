// The field shapes of the meters' replies, read from the data bytes with the bounded cursor of
// common/config. A read that does not fit yields zeros and fails the cursor, which fails the
// operation that decodes the reply: a short reply is a decoding failure, never a read beyond it.
#pragma once

#include "common/config/byte_cursor.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace movra::reply {

inline void take(ByteCursor& cursor, uint8_t* out, size_t count) {
    const auto bytes = cursor.take(count);
    if (bytes.size() == count) {
        std::memcpy(out, bytes.data(), count);
    } else {
        std::memset(out, 0, count);
    }
}

inline uint8_t byte(ByteCursor& cursor) {
    uint8_t value = 0;
    take(cursor, &value, 1);
    return value;
}

// A 32-bit word sent most significant byte first.
inline uint32_t wordMsbFirst(ByteCursor& cursor) {
    uint8_t bytes[4];
    take(cursor, bytes, 4);
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           bytes[3];
}

// A float of four bytes, least significant first.
inline float takeFloat(ByteCursor& cursor) {
    uint8_t bytes[4];
    take(cursor, bytes, 4);
    float value;
    std::memcpy(&value, bytes, 4);
    return value;
}

inline uint8_t high(uint8_t value) {
    return value >> 4;
}
inline uint8_t low(uint8_t value) {
    return value & 0x0F;
}

// count half-bytes, high half of each byte first; reads the bytes they need.
inline void takeHalfBytes(ByteCursor& cursor, uint8_t* out, size_t count) {
    for (size_t i = 0; i < count; i += 2) {
        const uint8_t value = byte(cursor);
        out[i] = high(value);
        if (i + 1 < count) {
            out[i + 1] = low(value);
        }
    }
}

// Half-byte k of a byte run, high half of each byte first.
inline uint8_t halfByteAt(const uint8_t* bytes, size_t k) {
    return k % 2 == 0 ? high(bytes[k / 2]) : low(bytes[k / 2]);
}

// Ten 3-bit membership fields of a packed word, the first in bits 31 to 29; bits 1 and 0 are
// not used.
inline void unpackMembers(uint32_t word, uint8_t* members) {
    for (int field = 0; field < 10; ++field) {
        members[field] = static_cast<uint8_t>((word >> (29 - 3 * field)) & 0x7);
    }
}

}  // namespace movra::reply
