#include "server/device/request_builder.h"

#include <algorithm>

namespace movra {

namespace {

constexpr std::array<uint16_t, 256> makeCrcTable() {
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

constexpr std::array<uint16_t, 256> kCrcTable = makeCrcTable();

// Address, function, parameters, CRC low, CRC high.
constexpr uint32_t kEnvelope = 4;

}  // namespace

uint16_t Crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t byte : bytes) {
        crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ byte) & 0xFF]);
    }
    return crc;
}

RequestFrame buildRequest(const ModelDescription& model, const Request& request) {
    RequestFrame frame;
    if (!model.hasProtocol()) {
        return frame;
    }
    frame.length = std::min<uint32_t>(model.line.frameLength, kMaxRequestLength);
    frame.bytes[1] = request.function;
    const uint32_t parameters = std::min(frame.length - kEnvelope, kMaxParameters);
    std::copy_n(request.parameters, parameters, frame.bytes.begin() + 2);
    return frame;
}

RequestFrame buildRequest(const ModelDescription& model, uint8_t function,
                          std::initializer_list<uint8_t> parameters) {
    Request request{function};
    std::copy_n(parameters.begin(), std::min<size_t>(parameters.size(), kMaxParameters),
                request.parameters);
    return buildRequest(model, request);
}

bool finalizeRequest(const ModelDescription& model, uint8_t address, std::span<uint8_t> frame) {
    if (!model.hasProtocol()) {
        return true;
    }
    const uint32_t length = model.line.frameLength;
    if (frame.size() < length) {
        return false;
    }
    frame[0] = address;
    const uint16_t crc = Crc16(frame.first(length - 2));
    frame[length - 2] = static_cast<uint8_t>(crc & 0xFF);
    frame[length - 1] = static_cast<uint8_t>(crc >> 8);
    return true;
}

RequestFrame recoveryRequest(const ModelDescription& model, uint8_t address) {
    RequestFrame frame = buildRequest(model, model.line.recoveryFunction);
    finalizeRequest(model, address, frame.span());
    return frame;
}

}  // namespace movra
