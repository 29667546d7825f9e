// The poll cycle: one pass over every configured metering computer on the poll thread. It opens
// each device's port, identifies the device once, reads its values on later passes, converts the
// energies and gas volumes into the configured units and publishes every reading into the
// device's run of catalogue slots.
#pragma once

#include "common/config/config_file.h"
#include "platform/clock.h"
#include "server/core/stop_token.h"
#include "server/device/data_exchange.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace movra {

class CMovraItem;
class CMovraLog;

// Makes the protocol object of a device type (1 to 5); null when memory is short. Tests put a
// failing or scripted factory in place of createDataExchange.
using DataExchangeFactory =
    std::function<std::unique_ptr<CMovraDataExchange>(uint8_t deviceType, platform::Clock& clock)>;

// The poll object: the device table, the protocol objects and the identification results, for
// the life of the process. RunPollCycle runs on one poll thread at a time; nothing else touches
// the object meanwhile.
class PollContext {
public:
    // The protocol table holds this many devices; a longer table is polled up to here.
    static constexpr uint32_t kMaxPolledDevices = 100;
    // How often a wait of the cycle (the start delay, another program's hold of the ports)
    // looks at the stop request.
    static constexpr uint32_t kStopLookMs = 10;

    // The catalogue must be built from the same configuration before the first cycle. The clock
    // stamps the readings and times every wait of the cycle and its connections; `stop` ends the
    // cycle and every wait of its connections. Without a factory the models' own protocols are
    // made (createDataExchange).
    PollContext(CMovraLog& log, CMovraItem& catalogue, platform::Clock& clock, StopToken stop,
                DataExchangeFactory factory = {});
    ~PollContext();

    PollContext(const PollContext&) = delete;
    PollContext& operator=(const PollContext&) = delete;

    // Takes the device table at start-up; forgets the protocol objects and identities of an
    // earlier table.
    void configure(const ServerConfiguration& configuration);

    // One pass over the devices; returns when every device has been dealt with, or earlier on a
    // stop or a lack of memory. Takes `portMutex` around each device (none: the ports are not
    // shared). An exception ends the pass with its outcome line in the log and goes no further:
    // the next pass starts as usual.
    void RunPollCycle(HANDLE portMutex) noexcept;

    // 0 until a cycle has reached the last device; from then on cycles read values.
    uint32_t firstPassDone() const { return firstPassDone_; }
    uint32_t deviceCount() const { return deviceCount_; }
    uint32_t pollPeriodMs() const { return pollPeriodMs_; }
    // Whether device i has been identified (its protocol object exists and said so).
    bool isIdentified(uint32_t device) const;

private:
    enum class DeviceOutcome { Answered, Failed, Abandon };
    class SlotRun;

    void pollDevices(HANDLE portMutex);
    DeviceOutcome pollDevice(uint32_t device, HANDLE portMutex, SlotRun& run);
    // Identify into the device's entry of identities; the entry is empty after a failure.
    HRESULT identifyDevice(uint32_t device, CMovraDataExchange& exchange);
    HRESULT readAndPublish(uint32_t device, CMovraDataExchange& exchange, const Reading& failure,
                           SlotRun& run);
    void publishReadings(uint32_t device, const SystemBlock& system, const ChannelBlock* channels,
                         uint16_t reportedChannels, const NodeBlock* nodes, uint16_t reportedNodes,
                         const CMovraDataExchange& exchange, const Reading& failure,
                         SlotRun& run) const;
    // Value 0, quality bad and the PC time of the device's timestamp source.
    Reading failureReading(const DeviceRecord& device);
    // The start delay in short steps; false when a stop request cut it short.
    bool sleepUnlessStopped(uint32_t milliseconds);
    uint64_t runLengthOf(uint32_t device) const;

    CMovraLog& log_;
    CMovraItem& catalogue_;
    platform::Clock& clock_;
    StopToken stop_;
    DataExchangeFactory factory_;

    // The fields of the poll object.
    std::array<std::unique_ptr<CMovraDataExchange>, kMaxPolledDevices> exchanges_;
    std::vector<DeviceRecord> devices_;
    std::vector<DeviceIdentification> identities_;
    bool identitiesCreated_ = false;
    uint32_t deviceCount_ = 0;  // devices polled: the table's, at most kMaxPolledDevices
    uint32_t pollPeriodMs_ = 0;
    std::vector<uint16_t> channelCounts_;
    std::vector<uint16_t> nodeCounts_;
    uint32_t firstPassDone_ = 0;
    uint16_t riRs485DeviceCount_ = 0;
};

}  // namespace movra
