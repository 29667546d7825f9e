// The serial link to one metering computer: framing, CRC, reply time-outs, repetition.
#pragma once

#include "common/config/device_record.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/win.h"
#include "server/core/stop_token.h"
#include "server/device/request_builder.h"
#include "server/models/model.h"

#include <atomic>
#include <cstdint>
#include <functional>
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

// What the last Exchange saw, for diagnostic tools: the exchange itself never reads it back.
struct ExchangeRecord {
    uint16_t error = ERR_NONE;    // linkError of the last failed attempt
    uint8_t requestFunction = 0;  // byte 1 of the request
    uint8_t replyFunction = 0;    // byte 1 of the last frame received, kept or not
    uint8_t errorCode = 0;        // ERR_DEVICE: the error reply's first data byte
    uint32_t foreignReplies = 0;  // frames for our address with another function code (on a
                                  // real line: their starts, which stray bytes may imitate)
};

// One connection per device per poll cycle, used only by the poll thread. The operations are
// virtual so that the protocol tests can put a scripted line in its place. What the device's model
// is on the line (frame length, reply time-out, warm-up, how a reply answers a request, the
// recovery request) comes from its description.
//
// Time: every limit is measured in whole seconds of the clock's nowMs(). A read waits on the port
// in real slices of at most 5 ms (a slice ends early when the awaited bytes arrive). With any
// clock but platform::realClock(), the part of an unfinished slice that the clock did not show
// is then slept on it, so each round costs at least 5 ms of that clock's time: a fake clock moves
// on while the line is silent, and its sleep may move it faster. Pauses before a send and the
// adapter warm-up are sleeps on the clock.
//
// Abort() may be called from another thread; everything else belongs to the poll thread.
class CMovraDeviceConnection {
public:
    // riRs485DeviceCount: devices of the configuration on RS-485 through the RI adapter; more than
    // one of them needs the adapter's warm-up before the first exchange. Every wait ends soon
    // after `stop` says the server is stopping.
    CMovraDeviceConnection(const DeviceRecord& device, uint16_t riRs485DeviceCount,
                           platform::Clock& clock, StopToken stop = {});
    virtual ~CMovraDeviceConnection();

    CMovraDeviceConnection(const CMovraDeviceConnection&) = delete;
    CMovraDeviceConnection& operator=(const CMovraDeviceConnection&) = delete;

    virtual HRESULT Open(uint16_t* error);
    virtual HRESULT Close(uint16_t* error);
    // May come from another thread; every wait ends within a slice, and the connection stays
    // stopped.
    virtual HRESULT Abort();
    virtual HRESULT SetRetryLimit(uint16_t count);
    // Whatever the line delivered before the request is dropped first: it cannot answer it.
    virtual HRESULT Send(uint32_t count, const uint8_t* bytes, uint16_t* error);
    // On success *frame is CoTaskMemAlloc'ed and belongs to the caller. A link without a port
    // (linkType 5, 6) never answers: E_FAIL with ERR_NO_ANSWER at once, without waiting.
    //
    // Within Exchange, Receive knows the request and looks for its answer only: a frame start
    // with another function code is passed over at once, and after a frame that fails (CRC, cut
    // short) the bytes behind its first one are searched again; after a bad CRC the line too,
    // while it keeps talking (a byte at least every second), all within the reply time-out. On a
    // bus, a stray byte equal to our address inside another station's traffic thus costs
    // nothing. Called on its own, the first frame decides.
    virtual HRESULT Receive(uint32_t* size, uint8_t** frame, uint16_t* error);
    // Finalizes the request in place (address and CRC); on success *reply belongs to the caller,
    // who frees it with CoTaskMemFree. A request shorter than the model's frame is E_INVALIDARG.
    virtual HRESULT Exchange(uint32_t requestSize, uint8_t* request, uint32_t* replySize,
                             uint8_t** reply, uint16_t* error);

    // Byte 0 = busAddress and the CRC behind the model's frame (finalizeRequest); device types
    // without protocol are left alone. False, with the frame untouched, when it is shorter than
    // the model's request.
    bool FinalizeRequest(std::span<uint8_t> frame) const;
    // Whether `reply` answers `request` (their function codes; bit 7 of the reply's is an error
    // flag on the newer models).
    bool ReplyMatches(std::span<const uint8_t> request, std::span<const uint8_t> reply) const;
    bool HasSerialPort() const;
    bool IsBusLink() const;

    uint8_t busAddress() const { return busAddress_; }
    uint32_t replyTimeoutSec() const { return replyTimeoutSec_; }
    // How long a reply's first byte is awaited: the model's time-out, doubled through the RI
    // adapter.
    uint32_t firstByteTimeoutSec() const {
        return replyTimeoutSec_ * (device_.viaRiAdapter != 0 ? 2 : 1);
    }
    uint16_t retryLimit() const { return retryLimit_; }
    // A hex trace of every frame in and out on stderr; off unless MOVRA_TRACE is set (not "0").
    void setTrace(bool on) { trace_ = on; }
    // Takes the trace instead of stderr, whatever setTrace says; direction is ">", "<",
    // "< incomplete" or "skipped".
    using TraceSink = std::function<void(const char* direction, std::span<const uint8_t> bytes)>;
    void setTraceSink(TraceSink sink) { traceSink_ = std::move(sink); }
    // Reset by every Exchange; the recovery frame after a repetition does not change it.
    const ExchangeRecord& lastExchange() const { return last_; }

private:
    class FrameWindow;
    enum class FrameRead { Complete, Foreign, Incomplete, BadCrc };

    bool ConfigurePort();
    // Reads `count` bytes unless the connection's clock reaches `deadlineMs` first (limits are
    // whole seconds from a start, so a deadline is start + 1000 x seconds). `*got` tells how many
    // landed in `buffer`, whatever the outcome.
    bool ReadBytes(uint8_t* buffer, uint32_t count, uint64_t deadlineMs, uint32_t* got);
    // Reads until `window` holds `count` bytes.
    bool Fill(FrameWindow& window, uint32_t count, uint64_t deadlineMs);
    // Reads the rest of the frame whose address byte starts `window`: function and length a
    // second each, the data and CRC length + 2 seconds, none of them past `capMs`.
    FrameRead ReadFrame(FrameWindow& window, uint64_t capMs);
    // The adapter's warm-up before the first frame; false when a stop ended it.
    bool WarmUp();
    bool StopSeen();
    // Send and receive until a matching reply, with the repetition rules. `fatal` is set when a
    // stop or a port that cannot be reopened ends the whole Exchange.
    HRESULT Transact(std::span<const uint8_t> request, uint32_t* replySize, uint8_t** reply,
                     uint16_t* error, uint32_t* failures, bool* fatal);
    void Trace(const char* direction, const uint8_t* bytes, size_t count) const;

    DeviceRecord device_;
    const ModelDescription& model_;
    StopToken stop_;
    platform::SerialPort port_;  // the port handle and its overlapped I/O
    uint16_t retryLimit_ = 1;
    uint32_t replyTimeoutSec_ = 10;
    uint8_t busAddress_ = 254;
    float byteTimeFactor_ = 1.0f;
    std::atomic<uint32_t> stopped_{0};
    uint32_t firstExchange_ = 1;
    uint16_t riRs485DeviceCount_ = 0;
    platform::Clock& clock_;
    bool realTime_;             // the machine's clock, which sees the port waits pass by itself
    uint64_t createdAtMs_ = 0;  // the adapter's warm-up counts from here (the port opens next)
    bool trace_ = false;
    TraceSink traceSink_;
    ExchangeRecord last_;
    std::span<const uint8_t> awaited_;  // the request whose answer Receive is looking for
};

}  // namespace movra
