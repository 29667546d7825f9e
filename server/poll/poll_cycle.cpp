#include "server/poll/poll_cycle.h"

#include "platform/handle_ptr.h"
#include "platform/scope_exit.h"
#include "server/core/log.h"
#include "server/device/protocols.h"
#include "server/models/model.h"
#include "server/opc/catalogue.h"
#include "server/poll/publish.h"
#include "server/poll/units.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace movra {

namespace {

enum class PortWait { Taken, Stopped };

// Takes the port mutex for one device, waiting while another program holds it. The wait looks at
// the stop request every few milliseconds, so a program that never lets go cannot keep the server
// from ending. A mutex that could not be created or waited for is not held, and the device is
// polled all the same: the ports are then simply not shared.
PortWait takePortMutex(HANDLE mutex, CMovraLog& log, const StopToken& stop,
                       std::optional<platform::MutexGuard>& lock) {
    if (mutex == nullptr) {
        return PortWait::Taken;
    }
    lock.emplace(mutex, 0);
    if (lock->waitResult() == WAIT_TIMEOUT) {
        log.Write(logtext::kWaitForMovraConnect, 0, false);
        for (;;) {
            lock.emplace(mutex, PollContext::kStopLookMs);
            if (lock->waitResult() != WAIT_TIMEOUT) {
                break;
            }
            if (stop.stopRequested()) {
                return PortWait::Stopped;
            }
        }
        log.Write(logtext::kOk, 1, false);
    }
    return PortWait::Taken;
}

}  // namespace

// The slots of one device's run, walked in order. A run that does not lie wholly inside the
// catalogue (an empty one after a failed build, or one built from another table) is walked
// without writing, so the cursor never leaves the catalogue.
class PollContext::SlotRun {
public:
    explicit SlotRun(CMovraItem& catalogue)
        : catalogue_(catalogue), slotCount_(catalogue.slotCount()) {}

    // Moves past the previous device's run, whatever of it was written.
    void begin(uint64_t length) {
        next_ = end_;
        end_ += length;
        writable_ = end_ <= slotCount_;
    }
    void publish(const Reading& reading) {
        if (writable_ && next_ < end_) {
            PublishReading(reading, static_cast<uint32_t>(next_), catalogue_);
        }
        ++next_;
    }
    // One section: the reading of each of its slots, in the slots' order; or `failure` in each
    // when the section has no readings.
    void publishSection(const Reading* readings, std::span<const Quantity> slots,
                        const Reading& failure) {
        for (const Quantity& slot : slots) {
            publish(readings != nullptr ? readings[slot.reading] : failure);
        }
    }
    void publishRest(const Reading& reading) {
        while (next_ < end_) {
            publish(reading);
        }
    }

private:
    CMovraItem& catalogue_;
    uint64_t slotCount_;
    uint64_t next_ = 0;
    uint64_t end_ = 0;
    bool writable_ = false;
};

PollContext::PollContext(CMovraLog& log, CMovraItem& catalogue, platform::Clock& clock,
                         StopToken stop, DataExchangeFactory factory)
    : log_(log), catalogue_(catalogue), clock_(clock), stop_(stop), factory_(std::move(factory)) {
    if (!factory_) {
        factory_ = [](uint8_t deviceType, platform::Clock& exchangeClock) {
            return createDataExchange(deviceType, exchangeClock);
        };
    }
}

// The protocol objects go first, then the identification arrays with their owners, then the
// table; the device descriptions are strings of the table.
PollContext::~PollContext() {
    for (auto& exchange : exchanges_) {
        exchange.reset();
    }
}

void PollContext::configure(const ServerConfiguration& configuration) {
    for (auto& exchange : exchanges_) {
        exchange.reset();
    }
    identities_.clear();
    identitiesCreated_ = false;
    firstPassDone_ = 0;
    devices_ = configuration.devices;
    deviceCount_ = std::min<uint32_t>(configuration.deviceCount(), kMaxPolledDevices);
    pollPeriodMs_ = configuration.pollPeriodMs;
    riRs485DeviceCount_ = configuration.riRs485DeviceCount;
    channelCounts_.assign(devices_.size(), 0);
    nodeCounts_.assign(devices_.size(), 0);
    for (size_t i = 0; i < devices_.size(); ++i) {
        // The catalogue was built from the same counts; they are the model's when the
        // configuration does not carry them.
        const ModelDescription& model = modelOf(devices_[i].deviceType);
        channelCounts_[i] = i < configuration.channelCounts.size() ? configuration.channelCounts[i]
                                                                   : model.maxChannels;
        nodeCounts_[i] =
            i < configuration.nodeCounts.size() ? configuration.nodeCounts[i] : model.maxNodes;
    }
}

bool PollContext::isIdentified(uint32_t device) const {
    if (device >= deviceCount_ || !exchanges_[device]) {
        return false;
    }
    uint32_t identified = 0;
    return SUCCEEDED(exchanges_[device]->IsIdentified(&identified)) && identified != 0;
}

uint64_t PollContext::runLengthOf(uint32_t device) const {
    return catalogueRunLength(channelCounts_[device], nodeCounts_[device]);
}

Reading PollContext::failureReading(const DeviceRecord& device) {
    Reading reading{};
    reading.value = 0;
    reading.quality = kQualityBad;
    reading.timestamp = device.timestampSource != 0 ? clock_.localTime() : clock_.systemTime();
    return reading;
}

bool PollContext::sleepUnlessStopped(uint32_t milliseconds) {
    uint32_t left = milliseconds;
    while (left > 0) {
        if (stop_.stopRequested()) {
            return false;
        }
        uint32_t step = std::min(left, kStopLookMs);
        clock_.sleepMs(step);
        left -= step;
    }
    return !stop_.stopRequested();
}

void PollContext::RunPollCycle(HANDLE portMutex) noexcept {
    log_.Write(logtext::kPollStart, 0, true);
    try {
        pollDevices(portMutex);
    } catch (...) {
        writeExceptionOutcome(log_, std::current_exception());
    }
}

void PollContext::pollDevices(HANDLE portMutex) {
    bool allOk = true;
    if (!identitiesCreated_) {
        identities_.clear();
        identities_.resize(deviceCount_);
        identitiesCreated_ = true;
    }
    SlotRun run(catalogue_);
    for (uint32_t i = 0; i < deviceCount_; ++i) {
        if (stop_.stopRequested()) {
            log_.Write(logtext::kStoppedByClient, 2, false);
            return;
        }
        run.begin(runLengthOf(i));
        switch (pollDevice(i, portMutex, run)) {
            case DeviceOutcome::Answered:
                break;
            case DeviceOutcome::Failed:
                allOk = false;
                break;
            case DeviceOutcome::Abandon:
                return;
        }
    }
    if (allOk) {
        log_.Write(logtext::kOk, 2, false);
    } else if (!stop_.stopRequested()) {
        log_.Write(logtext::kNotAllAnswered, 2, false);
    }
}

PollContext::DeviceOutcome PollContext::pollDevice(uint32_t i, HANDLE portMutex, SlotRun& run) {
    const DeviceRecord& device = devices_[i];
    const bool last = i + 1 == deviceCount_;

    // No protocol speaks this type: the port stays untouched and the items show the failure.
    // Reaching the last device this way still ends the first passes, or no device would ever be
    // read.
    if (!modelOf(device.deviceType).hasProtocol()) {
        if (last) {
            firstPassDone_ = 1;
        }
        run.publishRest(failureReading(device));
        return DeviceOutcome::Failed;
    }

    // Declared before the connection, so the port is closed before the mutex is let go: the
    // other program must find the port free when it gets the mutex.
    std::optional<platform::MutexGuard> portLock;
    if (takePortMutex(portMutex, log_, stop_, portLock) == PortWait::Stopped) {
        log_.Write(logtext::kStoppedByClient, 2, false);
        return DeviceOutcome::Abandon;
    }
    CMovraDeviceConnection connection(device, riRs485DeviceCount_, clock_, stop_);
    uint16_t linkError = ERR_NONE;
    const HRESULT opened = connection.Open(&linkError);
    const Reading failure = failureReading(device);
    if (FAILED(opened)) {
        if (last) {
            firstPassDone_ = 1;
        }
        run.publishRest(failure);
        return DeviceOutcome::Failed;
    }

    std::unique_ptr<CMovraDataExchange>& exchange = exchanges_[i];
    if (!exchange) {
        exchange = factory_(device.deviceType, clock_);
        if (!exchange) {
            log_.Write(logtext::kOutOfMemory, 2, false);
            return DeviceOutcome::Abandon;
        }
    }
    exchange->SetConnection(&connection);
    // The connection ends with this device; the protocol object must not keep it.
    auto forgetConnection = platform::scopeExit([&exchange] { exchange->SetConnection(nullptr); });
    exchange->SetTimestampSource(device.timestampSource);

    HRESULT result = S_OK;
    bool published = false;
    if (firstPassDone_ == 0) {
        result = identifyDevice(i, *exchange);
        if (last) {
            firstPassDone_ = 1;
        }
        published = true;  // a first pass publishes nothing, not even a failure
    } else {
        uint32_t identified = 0;
        exchange->IsIdentified(&identified);
        if (device.startDelayMs != 0 && !sleepUnlessStopped(device.startDelayMs)) {
            result = E_FAIL;  // the server is stopping: nothing more goes out on the line
        } else if (identified != 0) {
            result = readAndPublish(i, *exchange, failure, run);
            published = SUCCEEDED(result);
        } else {
            result = identifyDevice(i, *exchange);
            published = SUCCEEDED(result);  // values follow in the next cycle
        }
    }
    if (!published) {
        run.publishRest(failure);
    }
    return SUCCEEDED(result) ? DeviceOutcome::Answered : DeviceOutcome::Failed;
}

HRESULT PollContext::identifyDevice(uint32_t i, CMovraDataExchange& exchange) {
    DeviceIdentification fresh;
    uint16_t linkError = ERR_NONE;
    const HRESULT result = takeIdentification(exchange, fresh, &linkError);
    identities_[i] = SUCCEEDED(result) ? std::move(fresh) : DeviceIdentification{};
    return result;
}

HRESULT PollContext::readAndPublish(uint32_t i, CMovraDataExchange& exchange,
                                    const Reading& failure, SlotRun& run) {
    const DeviceIdentification& identification = identities_[i];
    const uint8_t variant = identification.identity ? identification.identity->bytes[0] : 0;
    DeviceReadings readings;
    uint16_t linkError = ERR_NONE;
    RETURN_IF_FAILED(takeAllReadings(exchange, variant, readings, &linkError));
    publishReadings(i, *readings.system.get(), readings.channels.get(), readings.reportedChannels,
                    readings.nodes.get(), readings.reportedNodes, exchange, failure, run);
    return S_OK;
}

void PollContext::publishReadings(uint32_t i, const SystemBlock& system,
                                  const ChannelBlock* channels, uint16_t reportedChannels,
                                  const NodeBlock* nodes, uint16_t reportedNodes,
                                  const CMovraDataExchange& exchange, const Reading& failure,
                                  SlotRun& run) const {
    const DeviceRecord& device = devices_[i];
    const DeviceIdentification& identification = identities_[i];
    const uint16_t blockChannels = exchange.MaxChannels();
    const uint16_t blockNodes = exchange.MaxNodes();
    // Only the reported blocks hold readings; a count beyond the arrays is not believed.
    const uint16_t channelsWithData = std::min(reportedChannels, blockChannels);
    const uint16_t nodesWithData = std::min(reportedNodes, blockNodes);
    UnitLayout layout;
    layout.channels = identification.channels.get();
    layout.describedChannels = blockChannels;
    layout.nodes = identification.nodes.get();
    layout.describedNodes = blockNodes;
    layout.knownNodes = std::min(identification.reportedNodes, blockNodes);

    run.publishSection(system.readings, kSystemQuantities, failure);
    for (uint32_t c = 1; c <= channelCounts_[i]; ++c) {
        ChannelBlock block{};
        if (c <= channelsWithData) {
            block = channels[c - 1];
            convertChannelUnits(device, layout, c, block);
        }
        run.publishSection(c <= channelsWithData ? block.readings : nullptr, kChannelQuantities,
                           failure);
    }
    for (uint32_t u = 1; u <= nodeCounts_[i]; ++u) {
        NodeBlock block{};
        if (u <= nodesWithData) {
            block = nodes[u - 1];
            convertNodeUnits(device, layout, u, block);
        }
        run.publishSection(u <= nodesWithData ? block.readings : nullptr, kNodeQuantities, failure);
    }
}

}  // namespace movra
