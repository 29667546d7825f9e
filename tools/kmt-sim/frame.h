// Reply frames as a metering computer puts them on the line: address, function code, data length
// N, N data bytes, CRC-16 (reflected polynomial 0xA001, start 0xFFFF) low byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace movra::sim {

uint16_t crc16(std::span<const uint8_t> bytes);

// True when the CRC run over the whole frame, its own two bytes included, yields 0.
bool crcHolds(std::span<const uint8_t> frame);

std::vector<uint8_t> replyFrame(uint8_t address, uint8_t function, std::span<const uint8_t> data);

// Data bytes of a reply, written in wire order.
class DataWriter {
public:
    void byte(uint8_t value) { bytes_.push_back(value); }
    void zeros(size_t count) { bytes_.insert(bytes_.end(), count, 0); }
    void word(uint16_t value);  // least significant byte first
    void real(float value);     // IEEE-754 single, least significant byte first
    std::vector<uint8_t>& bytes() { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace movra::sim
