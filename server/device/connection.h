// The serial link to one metering computer: framing, CRC, reply time-outs, repetition.
#pragma once

#include "common/config/device_record.h"
#include "platform/clock.h"
#include "platform/win.h"

#include <cstdint>
#include <span>

namespace movra {

// linkError: the 16-bit error word handed back beside the result code.
enum : uint16_t {
    ERR_NONE = 0,
    ERR_PORT_SETUP = 1,   // the port could not be opened or configured
    ERR_NO_ANSWER = 32,   // no byte equal to the bus address within the reply time-out
    ERR_INCOMPLETE = 64,  // function, length or the rest of the frame did not arrive in time
    ERR_CRC = 80,         // the CRC over the received frame is not 0
    ERR_DEVICE = 96,      // a newer-family device answered with an error reply
};

// Modbus RTU CRC-16 (reflected 0xA001, initial 0xFFFF); 0 over a whole frame with its CRC.
uint16_t Crc16(std::span<const uint8_t> bytes);

// One connection per device per poll cycle, used only by the poll thread. The operations are
// virtual so that the protocol tests can put a scripted line in its place.
class CMovraDeviceConnection {
public:
    // riRs485DeviceCount: devices of the configuration on RS-485 through the RI adapter; more than
    // one of them needs the adapter's warm-up before the first exchange.
    CMovraDeviceConnection(const DeviceRecord& device, uint16_t riRs485DeviceCount,
                           platform::Clock& clock = platform::realClock());
    virtual ~CMovraDeviceConnection();

    CMovraDeviceConnection(const CMovraDeviceConnection&) = delete;
    CMovraDeviceConnection& operator=(const CMovraDeviceConnection&) = delete;

    virtual HRESULT Open(uint16_t* error);
    virtual HRESULT Close(uint16_t* error);
    virtual HRESULT Abort();
    virtual HRESULT SetRetryLimit(uint16_t count);
    virtual HRESULT Send(uint32_t count, const uint8_t* bytes, uint16_t* error);
    // On success *frame is CoTaskMemAlloc'ed and belongs to the caller.
    virtual HRESULT Receive(uint32_t* size, uint8_t** frame, uint16_t* error);
    // Finalizes the request in place (address and CRC); on success *reply belongs to the caller,
    // who frees it with CoTaskMemFree.
    virtual HRESULT Exchange(uint32_t requestSize, uint8_t* request, uint32_t* replySize,
                             uint8_t** reply, uint16_t* error);

    // The device helper (the rest of the class) is built with the connection itself.
};

}  // namespace movra
