// The one place where request frames are made: address, function, the parameter bytes, zeros up
// to the model's frame length and the CRC behind them. The protocols build a request from the
// model's description; the connection, which knows the bus address, finalizes it on the way out.
#pragma once

#include "server/models/model.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace movra {

inline constexpr uint32_t kMaxRequestLength = 10;

// Modbus RTU CRC-16 (reflected 0xA001, initial 0xFFFF); 0 over a whole frame with its CRC.
uint16_t Crc16(std::span<const uint8_t> bytes);

struct RequestFrame {
    std::array<uint8_t, kMaxRequestLength> bytes{};
    uint32_t length = 0;

    uint8_t* data() { return bytes.data(); }
    std::span<uint8_t> span() { return {bytes.data(), length}; }
};

// The model's frame of a request, with address 0 and no CRC yet. Parameters beyond the model's
// frame are dropped. Empty (length 0) for a code without protocol.
RequestFrame buildRequest(const ModelDescription& model, const Request& request);
RequestFrame buildRequest(const ModelDescription& model, uint8_t function,
                          std::initializer_list<uint8_t> parameters = {});

// Byte 0 = address and the CRC behind the model's frame (bytes 6 and 7 of an 8-byte request, 8 and
// 9 of a 10-byte one). A code without protocol leaves the frame alone. False, with the frame
// untouched, when it is shorter than the model's frame.
bool finalizeRequest(const ModelDescription& model, uint8_t address, std::span<uint8_t> frame);

// The harmless request sent after a repeated exchange, finalized; empty without protocol.
RequestFrame recoveryRequest(const ModelDescription& model, uint8_t address);

}  // namespace movra
