// Frames as byte strings for the device tests: built and shown independently of the code under
// test, apart from the CRC, which has its own known-vector tests.
#pragma once

#include "server/device/connection.h"

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>

namespace movra::test {

inline std::string bytesOf(std::initializer_list<uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

inline std::string bytesOf(const uint8_t* bytes, size_t count) {
    return std::string(reinterpret_cast<const char*>(bytes), count);
}

// Address, function, length, data, then the CRC low byte first.
inline std::string replyFrame(uint8_t address, uint8_t function, const std::string& data) {
    std::string frame;
    frame += static_cast<char>(address);
    frame += static_cast<char>(function);
    frame += static_cast<char>(data.size());
    frame += data;
    uint16_t crc = Crc16({reinterpret_cast<const uint8_t*>(frame.data()), frame.size()});
    frame += static_cast<char>(crc & 0xFF);
    frame += static_cast<char>(crc >> 8);
    return frame;
}

// "FE B0 00", for failure messages that can be read.
inline std::string hexOf(const std::string& bytes) {
    std::string text;
    char hex[4];
    for (unsigned char byte : bytes) {
        std::snprintf(hex, sizeof hex, text.empty() ? "%02X" : " %02X", byte);
        text += hex;
    }
    return text;
}

}  // namespace movra::test
