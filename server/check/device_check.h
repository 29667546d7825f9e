// The commissioning check of one metering computer: takes the port mutex, opens the port,
// identifies the device once and reads it once, as the poll cycle does, and says what it answered
// or why it did not. MovraOPCCheck prints it; the configurator shows it. Nothing here writes text
// for people: the results are data, and each program words them.
#pragma once

#include "common/config/device_record.h"
#include "platform/clock.h"
#include "platform/win.h"
#include "server/core/stop_token.h"
#include "server/device/connection.h"
#include "server/device/readings.h"
#include "server/models/model.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace movra::check {

// Shared with the server and the maker's polling program.
inline constexpr char kPortMutexName[] = "MovraOPCServer_1_06_Mutex";

// Where a check ended when it failed.
enum class Stage : uint8_t {
    BeforeOpening,  // the type has no protocol, or the wait for the ports was cancelled
    Opening,
    Identifying,
    Reading,
};

// Why it failed, in the kinds an operator acts on differently.
enum class Reason : uint8_t {
    NoProtocol,        // no protocol speaks the device type
    PortUnavailable,   // the port is missing, busy or cannot be configured
    NoAnswer,          // nothing for our address within the reply time-out
    ForeignReply,      // frames for our address with another function code, then nothing
    CutShort,          // a frame stopped before its end
    ShorterThanModel,  // a whole frame, shorter than the model decodes
    Crc,
    DeviceError,  // the device's error reply, with its code
    PortReopen,   // the port could not be opened again after a failed attempt
    OutOfMemory,
    Cancelled,  // the caller's stop ended it
    Other,
};

// The reason of a failed protocol call, from its result and the connection's record.
Reason classify(HRESULT result, uint16_t linkError, const ExchangeRecord& record);

struct Failure {
    Stage stage = Stage::BeforeOpening;
    Reason reason = Reason::Other;
    HRESULT result = E_FAIL;
    uint16_t linkError = ERR_NONE;
    ExchangeRecord record;    // of the exchange that failed
    uint32_t silenceSec = 0;  // the reply time-out of the device (doubled through the RI adapter)
};

struct Identification {
    DeviceIdentity identity{};
    uint16_t reportedChannels = 0;
    uint16_t maxChannels = 0;
    uint16_t reportedNodes = 0;
    uint16_t maxNodes = 0;
    std::vector<ChannelDescriptor> channels;  // the reported ones the model has room for
    std::vector<NodeDescriptor> nodes;

    // The serial number as the configuration keeps it: identity bytes 2 and 3.
    uint8_t serialHigh() const { return identity.bytes[2]; }
    uint8_t serialLow() const { return identity.bytes[3]; }
};

// A good reading, named as in the catalogue ("K01.T") and in the unit the server publishes it in
// (unitText: "GJ", "thousand m3", "°C" in UTF-8; empty where none is known).
struct Value {
    std::string name;
    float value = 0.0f;
    std::string unit;
};

struct DeviceCheck {
    std::optional<Identification> identification;  // also when the read failed after it
    std::vector<Value> values;                     // in catalogue order; empty on failure
    std::optional<Failure> failure;
    uint64_t elapsedMs = 0;  // from when the ports were free
    bool waitedForPorts = false;

    bool answered() const { return !failure.has_value(); }
};

// Told as the check goes, on the checking thread.
class CheckObserver {
public:
    virtual ~CheckObserver() = default;
    // Another program holds the port mutex; the check waits for it.
    virtual void waitingForPorts() {}
    // Every frame in and out (only with CheckSettings::trace), offset from when the ports were
    // free; direction as the connection's trace gives it.
    virtual void frame(uint64_t /*offsetMs*/, const char* /*direction*/,
                       std::span<const uint8_t> /*bytes*/) {}
    virtual void identified(const Identification& /*identification*/) {}
};

struct CheckSettings {
    // Devices of the configuration on RS-485 through the RI adapter (the adapter's warm-up).
    uint16_t riRs485DeviceCount = 0;
    // The port mutex, held around the device's use of the port; null: the ports are not shared.
    HANDLE portMutex = nullptr;
    // Ends every wait soon after it is set: the mutex wait, the start delay, the line.
    StopToken stop;
    bool trace = false;
};

// Checks one device. Every wait ends within about 50 ms of a stop; the port is closed and the
// mutex let go before it returns.
DeviceCheck checkDevice(const DeviceRecord& device, const CheckSettings& settings,
                        CheckObserver* observer = nullptr,
                        platform::Clock& clock = platform::realClock());

// The version bytes of an identity that the model names, in byte order, joined by '.'.
std::string versionText(const ModelDescription& model, const DeviceIdentity& identity);

}  // namespace movra::check
