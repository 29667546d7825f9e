#include "server/check/device_check.h"

#include "platform/handle_ptr.h"
#include "server/device/protocols.h"
#include "server/poll/units.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <memory>
#include <optional>

namespace movra::check {

namespace {

// How often a wait that nothing else ends looks at the stop.
constexpr uint32_t kStopSliceMs = 50;

class Checker {
public:
    Checker(const DeviceRecord& device, const CheckSettings& settings, CheckObserver* observer,
            platform::Clock& clock)
        : device_(device), settings_(settings), observer_(observer), clock_(clock) {}

    DeviceCheck run();

private:
    // False when a stop ended the wait.
    bool takePorts(std::optional<platform::MutexGuard>& portLock);
    bool sleepUnlessStopped(uint32_t milliseconds);
    void identifyAndRead(CMovraDeviceConnection& connection);
    void collectValues(const UnitLayout& layout, const SystemBlock& system, ChannelBlock* channels,
                       uint16_t reportedChannels, NodeBlock* nodes, uint16_t reportedNodes);
    void fail(Stage stage, Reason reason, HRESULT result = E_FAIL, uint16_t linkError = ERR_NONE,
              const ExchangeRecord& record = {}, uint32_t silenceSec = 0);
    void failExchange(Stage stage, HRESULT result, uint16_t linkError,
                      const CMovraDeviceConnection& connection);
    bool stopped() const { return settings_.stop.stopRequested(); }

    const DeviceRecord& device_;
    const CheckSettings& settings_;
    CheckObserver* observer_;
    platform::Clock& clock_;
    uint64_t startMs_ = 0;
    DeviceCheck result_;
};

DeviceCheck Checker::run() {
    startMs_ = clock_.nowMs();
    if (!modelOf(device_.deviceType).hasProtocol()) {
        fail(Stage::BeforeOpening, Reason::NoProtocol);
        return std::move(result_);
    }
    // Declared before the connection, so the port is closed before the mutex is let go.
    std::optional<platform::MutexGuard> portLock;
    if (!takePorts(portLock)) {
        fail(Stage::BeforeOpening, Reason::Cancelled);
        return std::move(result_);
    }
    startMs_ = clock_.nowMs();
    CMovraDeviceConnection connection(device_, settings_.riRs485DeviceCount, clock_,
                                      settings_.stop);
    if (settings_.trace && observer_ != nullptr) {
        connection.setTraceSink([this](const char* direction, std::span<const uint8_t> bytes) {
            observer_->frame(clock_.nowMs() - startMs_, direction, bytes);
        });
    }
    uint16_t linkError = ERR_NONE;
    if (FAILED(connection.Open(&linkError))) {
        fail(Stage::Opening, Reason::PortUnavailable, E_FAIL, linkError);
        return std::move(result_);
    }
    identifyAndRead(connection);
    if (result_.answered()) {
        result_.elapsedMs = clock_.nowMs() - startMs_;
    }
    return std::move(result_);
}

bool Checker::takePorts(std::optional<platform::MutexGuard>& portLock) {
    if (settings_.portMutex == nullptr) {
        return !stopped();
    }
    portLock.emplace(settings_.portMutex, 0);
    if (portLock->waitResult() != WAIT_TIMEOUT) {
        return true;
    }
    result_.waitedForPorts = true;
    if (observer_ != nullptr) {
        observer_->waitingForPorts();
    }
    // In slices, so that a stop is seen while another program polls.
    while (!stopped()) {
        portLock.emplace(settings_.portMutex, kStopSliceMs);
        if (portLock->waitResult() != WAIT_TIMEOUT) {
            return true;
        }
    }
    portLock.reset();
    return false;
}

bool Checker::sleepUnlessStopped(uint32_t milliseconds) {
    while (milliseconds > 0 && !stopped()) {
        const uint32_t slice = std::min(milliseconds, kStopSliceMs);
        clock_.sleepMs(slice);
        milliseconds -= slice;
    }
    return !stopped();
}

void Checker::fail(Stage stage, Reason reason, HRESULT result, uint16_t linkError,
                   const ExchangeRecord& record, uint32_t silenceSec) {
    result_.failure = Failure{stage, reason, result, linkError, record, silenceSec};
    result_.values.clear();
    result_.elapsedMs = clock_.nowMs() - startMs_;
}

void Checker::failExchange(Stage stage, HRESULT result, uint16_t linkError,
                           const CMovraDeviceConnection& connection) {
    // A stop makes every wait fail; it is the caller's doing, not the line's.
    const Reason reason =
        stopped() ? Reason::Cancelled : classify(result, linkError, connection.lastExchange());
    fail(stage, reason, result, linkError, connection.lastExchange(),
         connection.firstByteTimeoutSec());
}

void Checker::identifyAndRead(CMovraDeviceConnection& connection) {
    std::unique_ptr<CMovraDataExchange> exchange = createDataExchange(device_.deviceType, clock_);
    if (!exchange) {
        fail(Stage::Identifying, Reason::OutOfMemory, E_OUTOFMEMORY);
        return;
    }
    exchange->SetConnection(&connection);
    exchange->SetTimestampSource(device_.timestampSource);
    if (!sleepUnlessStopped(device_.startDelayMs)) {
        fail(Stage::Identifying, Reason::Cancelled);
        return;
    }

    DeviceIdentification identified;
    uint16_t linkError = ERR_NONE;
    HRESULT result = takeIdentification(*exchange, identified, &linkError);
    if (FAILED(result)) {
        failExchange(Stage::Identifying, result, linkError, connection);
        return;
    }
    const uint16_t maxChannels = exchange->MaxChannels();
    const uint16_t maxNodes = exchange->MaxNodes();
    const uint16_t knownChannels = std::min(identified.reportedChannels, maxChannels);
    const uint16_t knownNodes = std::min(identified.reportedNodes, maxNodes);
    Identification& identification = result_.identification.emplace();
    identification.identity = *identified.identity.get();
    identification.reportedChannels = identified.reportedChannels;
    identification.maxChannels = maxChannels;
    identification.reportedNodes = identified.reportedNodes;
    identification.maxNodes = maxNodes;
    identification.channels.assign(identified.channels.get(),
                                   identified.channels.get() + knownChannels);
    identification.nodes.assign(identified.nodes.get(), identified.nodes.get() + knownNodes);
    if (observer_ != nullptr) {
        observer_->identified(identification);
    }

    DeviceReadings readings;
    result = takeAllReadings(*exchange, identification.identity.bytes[0], readings, &linkError);
    if (FAILED(result)) {
        failExchange(Stage::Reading, result, linkError, connection);
        return;
    }
    UnitLayout layout;
    layout.channels = identified.channels.get();
    layout.describedChannels = maxChannels;
    layout.nodes = identified.nodes.get();
    layout.describedNodes = maxNodes;
    layout.knownNodes = knownNodes;
    collectValues(layout, *readings.system.get(), readings.channels.get(),
                  std::min(readings.reportedChannels, maxChannels), readings.nodes.get(),
                  std::min(readings.reportedNodes, maxNodes));
}

void Checker::collectValues(const UnitLayout& layout, const SystemBlock& system,
                            ChannelBlock* channels, uint16_t reportedChannels, NodeBlock* nodes,
                            uint16_t reportedNodes) {
    const ModelDescription& model = modelOf(device_.deviceType);
    // The good readings of a section, named and in the unit the server publishes them in.
    auto collect = [&](const std::string& section, const Reading* readings,
                       std::span<const Quantity> slots, bool gas) {
        for (const Quantity& slot : slots) {
            const Reading& reading = readings[slot.reading];
            if (reading.quality == kQualityGood) {
                result_.values.push_back({section + slot.name, std::bit_cast<float>(reading.value),
                                          unitText(device_, model, slot.unit, gas)});
            }
        }
    };
    auto numbered = [](char letter, unsigned number) {
        char section[8];
        std::snprintf(section, sizeof section, "%c%02u.", letter, number);
        return std::string(section);
    };
    collect("SYS.", system.readings, kSystemQuantities, false);
    for (uint16_t c = 1; c <= reportedChannels; ++c) {
        ChannelBlock& block = channels[c - 1];
        convertChannelUnits(device_, layout, c, block);
        collect(numbered('K', c), block.readings, kChannelQuantities,
                layout.channels[c - 1].gasChannel != 0);
    }
    for (uint16_t u = 1; u <= reportedNodes; ++u) {
        NodeBlock& block = nodes[u - 1];
        convertNodeUnits(device_, layout, u, block);
        collect(numbered('U', u), block.readings, kNodeQuantities,
                layout.nodes[u - 1].isGasNode != 0);
    }
}

}  // namespace

Reason classify(HRESULT result, uint16_t linkError, const ExchangeRecord& record) {
    if (result == E_OUTOFMEMORY) {
        return Reason::OutOfMemory;
    }
    switch (linkError) {
        case ERR_PORT_SETUP:
            return Reason::PortReopen;
        case ERR_NO_ANSWER:
            return record.foreignReplies != 0 ? Reason::ForeignReply : Reason::NoAnswer;
        case ERR_INCOMPLETE:
            // The connection cut the frame short, or the model found a whole frame too short.
            return record.error == ERR_INCOMPLETE ? Reason::CutShort : Reason::ShorterThanModel;
        case ERR_CRC:
            return Reason::Crc;
        case ERR_DEVICE:
            return Reason::DeviceError;
        default:
            return Reason::Other;
    }
}

DeviceCheck checkDevice(const DeviceRecord& device, const CheckSettings& settings,
                        CheckObserver* observer, platform::Clock& clock) {
    return Checker(device, settings, observer, clock).run();
}

std::string versionText(const ModelDescription& model, const DeviceIdentity& identity) {
    std::string version;
    for (uint8_t k = 0; k < sizeof identity.bytes; ++k) {
        if (((model.identity.versionBytes >> k) & 1u) != 0) {
            version += (version.empty() ? "" : ".") + std::to_string(identity.bytes[k]);
        }
    }
    return version;
}

}  // namespace movra::check
