#include "tools/kmt-sim/frame.h"

#include <array>
#include <bit>
#include <stdexcept>

namespace movra::sim {

namespace {

constexpr std::array<uint16_t, 256> makeTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
        }
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = makeTable();

}  // namespace

uint16_t crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t byte : bytes) {
        crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ byte) & 0xFF]);
    }
    return crc;
}

bool crcHolds(std::span<const uint8_t> frame) {
    return frame.size() >= 3 && crc16(frame) == 0;
}

std::vector<uint8_t> replyFrame(uint8_t address, uint8_t function, std::span<const uint8_t> data) {
    if (data.size() > 255) {
        throw std::length_error("a reply carries at most 255 data bytes");
    }
    std::vector<uint8_t> frame;
    frame.reserve(data.size() + 5);
    frame.push_back(address);
    frame.push_back(function);
    frame.push_back(static_cast<uint8_t>(data.size()));
    for (uint8_t byte : data) {
        frame.push_back(byte);
    }
    uint16_t crc = crc16(frame);
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

void DataWriter::word(uint16_t value) {
    bytes_.push_back(static_cast<uint8_t>(value & 0xFF));
    bytes_.push_back(static_cast<uint8_t>(value >> 8));
}

void DataWriter::real(float value) {
    uint32_t bits = std::bit_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        bytes_.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    }
}

}  // namespace movra::sim
