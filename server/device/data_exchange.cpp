#include "server/device/data_exchange.h"

#include "server/device/reply_fields.h"

#include <algorithm>
#include <cstring>

namespace movra {

namespace {

// A reply frame: address, function, length N, N data bytes, CRC low, CRC high.
constexpr uint32_t kReplyHeader = 3;
constexpr uint32_t kReplyEnvelope = 5;

// The descriptor arrays hold no more than this; a description that said more would overrun them.
constexpr uint16_t kMaxSections = 20;

}  // namespace

CMovraDataExchange::CMovraDataExchange(const ModelDescription& model, platform::Clock& clock)
    : model(model),
      maxChannels(std::min(model.maxChannels, kMaxSections)),
      maxNodes(std::min(model.maxNodes, kMaxSections)),
      clock(clock) {}

CMovraDataExchange::~CMovraDataExchange() = default;

HRESULT CMovraDataExchange::IsIdentified(uint32_t* identifiedOut) noexcept {
    if (identifiedOut == nullptr) {
        return E_INVALIDARG;
    }
    *identifiedOut = identified;
    return S_OK;
}

HRESULT CMovraDataExchange::SetConnection(CMovraDeviceConnection* newConnection) noexcept {
    connection = newConnection;
    return S_OK;
}

HRESULT CMovraDataExchange::SetTimestampSource(uint16_t source) noexcept {
    timestampSource = source;
    return S_OK;
}

namespace {

// One record and the channel and node arrays, all or nothing.
template <typename One, typename PerChannel, typename PerNode>
bool allocateAll(platform::CoTaskMemPtr<One>& one, platform::CoTaskMemPtr<PerChannel>& channels,
                 uint16_t channelCount, platform::CoTaskMemPtr<PerNode>& nodes,
                 uint16_t nodeCount) {
    one = platform::CoTaskMemPtr<One>::allocate(1);
    channels = platform::CoTaskMemPtr<PerChannel>::allocate(channelCount);
    nodes = platform::CoTaskMemPtr<PerNode>::allocate(nodeCount);
    if (one && channels && nodes) {
        return true;
    }
    one.reset();
    channels.reset();
    nodes.reset();
    return false;
}

}  // namespace

bool CMovraDataExchange::AllocIdentity(IdentityArrays& arrays) {
    return allocateAll(arrays.identity, arrays.channels, maxChannels, arrays.nodes, maxNodes);
}

// Every block is zeroed, also those beyond the reported counts: a receiver must never see stale
// heap bytes, even in blocks it is not meant to read.
bool CMovraDataExchange::AllocReadings(ReadingArrays& arrays) {
    if (!allocateAll(arrays.system, arrays.channels, maxChannels, arrays.nodes, maxNodes)) {
        return false;
    }
    for (Reading& reading : arrays.system.get()->readings) {
        InitReading(reading, kQualityBad);
    }
    for (uint16_t c = 0; c < reportedChannels; ++c) {
        for (Reading& reading : arrays.channels.get()[c].readings) {
            InitReading(reading, kQualityBad);
        }
    }
    for (uint16_t n = 0; n < reportedNodes; ++n) {
        for (Reading& reading : arrays.nodes.get()[n].readings) {
            InitReading(reading, kQualityBad);
        }
    }
    return true;
}

HRESULT CMovraDataExchange::BeginIdentify(const IdentifyOutputs& out, IdentityArrays& arrays) {
    if (out.reportedChannels == nullptr || out.reportedNodes == nullptr ||
        out.identity == nullptr || out.channels == nullptr || out.nodes == nullptr ||
        out.linkError == nullptr) {
        return E_INVALIDARG;
    }
    *out.reportedChannels = 0;
    *out.reportedNodes = 0;
    *out.identity = nullptr;
    *out.channels = nullptr;
    *out.nodes = nullptr;
    *out.linkError = ERR_NONE;
    if (!AllocIdentity(arrays)) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CMovraDataExchange::EndIdentify(HRESULT hr, IdentityArrays& arrays, uint16_t channelCount,
                                        uint16_t nodeCount, const IdentifyOutputs& out) {
    reply.reset();
    // On failure the arrays go with their owners; the outputs were cleared at the start.
    RETURN_IF_FAILED(hr);
    reportedChannels = channelCount;
    reportedNodes = nodeCount;
    identified = 1;
    *out.reportedChannels = channelCount;
    *out.reportedNodes = nodeCount;
    *out.identity = arrays.identity.release();
    *out.channels = arrays.channels.release();
    *out.nodes = arrays.nodes.release();
    *out.linkError = ERR_NONE;
    return S_OK;
}

HRESULT CMovraDataExchange::ReadValues(uint8_t variant, const ReadSelection* selection,
                                       uint16_t* channelsOut, uint16_t* nodesOut,
                                       SystemBlock** system, ChannelBlock** channels,
                                       NodeBlock** nodes, uint16_t* linkError) noexcept {
    if (selection == nullptr || channelsOut == nullptr || nodesOut == nullptr ||
        system == nullptr || channels == nullptr || nodes == nullptr || linkError == nullptr) {
        return E_INVALIDARG;
    }
    *channelsOut = 0;
    *nodesOut = 0;
    *system = nullptr;
    *channels = nullptr;
    *nodes = nullptr;
    *linkError = ERR_NONE;
    if (identified == 0) {
        return E_FAIL;
    }
    ReadingArrays readings;
    if (!AllocReadings(readings)) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = RunReadPlan(variant, *selection, readings, linkError);
    reply.reset();
    RETURN_IF_FAILED(hr);
    *channelsOut = reportedChannels;
    *nodesOut = reportedNodes;
    *system = readings.system.release();
    *channels = readings.channels.release();
    *nodes = readings.nodes.release();
    *linkError = ERR_NONE;
    return S_OK;
}

HRESULT CMovraDataExchange::DoExchange(const Request& requestRow, uint16_t* linkError) {
    reply.reset();
    replySize = 0;
    Reply() = ByteCursor({});
    if (connection == nullptr) {
        *linkError = ERR_PORT_SETUP;
        return E_FAIL;
    }
    request = buildRequest(model, requestRow);
    uint32_t size = 0;
    uint8_t* frame = nullptr;
    HRESULT hr = connection->Exchange(request.length, request.data(), &size, &frame, linkError);
    platform::CoTaskMemPtr<uint8_t> owner(frame);
    RETURN_IF_FAILED(hr);
    if (frame == nullptr || size < kReplyEnvelope) {
        *linkError = ERR_INCOMPLETE;
        return E_FAIL;
    }
    // The data bytes end where the length byte says, and never beyond the CRC.
    const uint32_t dataSize = std::min<uint32_t>(frame[2], size - kReplyEnvelope);
    reply = std::move(owner);
    replySize = size;
    Reply() = ByteCursor({reply.get() + kReplyHeader, dataSize});
    return S_OK;
}

HRESULT CMovraDataExchange::DoExchange(uint8_t function, std::initializer_list<uint8_t> parameters,
                                       uint16_t* linkError) {
    Request row{function};
    std::copy_n(parameters.begin(), std::min<size_t>(parameters.size(), kMaxParameters),
                row.parameters);
    return DoExchange(row, linkError);
}

HRESULT CMovraDataExchange::FinishReply(uint16_t* linkError) {
    const bool tooShort = Reply().failed();
    reply.reset();
    replySize = 0;
    Reply() = ByteCursor({});
    if (tooShort) {
        *linkError = ERR_INCOMPLETE;
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CMovraDataExchange::SendZeroBytes(uint16_t* linkError) {
    static constexpr uint8_t kZeros[255] = {};
    if (model.line.zeroBytesFirst == 0) {
        return S_OK;
    }
    if (connection == nullptr) {
        *linkError = ERR_PORT_SETUP;
        return E_FAIL;
    }
    return connection->Send(model.line.zeroBytesFirst, kZeros, linkError);
}

void CMovraDataExchange::StampPcTime() {
    pcTime = timestampSource == 1 ? clock.localTime() : clock.systemTime();
}

void CMovraDataExchange::InitReading(Reading& reading, uint16_t quality) {
    reading = Reading{};
    reading.quality = quality;
}

void CMovraDataExchange::TakeReading(Reading& reading, bool twoBytes) {
    uint8_t bytes[4] = {};
    reply::take(Reply(), bytes, twoBytes ? 2 : 4);
    reading.value = uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
                    (uint32_t{bytes[3]} << 24);
    reading.quality = kQualityGood;
    reading.timestamp = ReadingTime();
}

void CMovraDataExchange::TakeRaw4(void* destination) {
    uint8_t bytes[4];
    reply::take(Reply(), bytes, 4);
    std::memcpy(destination, bytes, 4);
}

void CMovraDataExchange::TakeDateTime(SYSTEMTIME& time, bool padded) {
    time = SYSTEMTIME{};
    time.wDay = reply::byte(Reply());
    time.wMonth = reply::byte(Reply());
    time.wYear = static_cast<WORD>(2000 + reply::byte(Reply()));
    if (padded) {
        Reply().skip(1);
    }
    time.wHour = reply::byte(Reply());
    time.wMinute = reply::byte(Reply());
    time.wSecond = reply::byte(Reply());
    if (padded) {
        Reply().skip(1);
    }
}

uint8_t CMovraDataExchange::DigitValue(uint8_t character, uint8_t low, uint8_t high) {
    return character >= low && character <= high ? static_cast<uint8_t>(character - '0') : 0;
}

const SYSTEMTIME& CMovraDataExchange::ReadingTime() const {
    return timestampSource == 2 ? deviceTime : pcTime;
}

HRESULT takeIdentification(CMovraDataExchange& exchange, DeviceIdentification& out,
                           uint16_t* linkError) {
    const HRESULT result =
        exchange.Identify(&out.reportedChannels, &out.reportedNodes, out.identity.put(),
                          out.channels.put(), out.nodes.put(), linkError);
    if (FAILED(result)) {
        return result;
    }
    return out.identity && out.channels && out.nodes ? S_OK : E_FAIL;
}

HRESULT takeAllReadings(CMovraDataExchange& exchange, uint8_t variant, DeviceReadings& out,
                        uint16_t* linkError) {
    const ReadSelection selection = ReadSelection::all();
    const HRESULT result =
        exchange.ReadValues(variant, &selection, &out.reportedChannels, &out.reportedNodes,
                            out.system.put(), out.channels.put(), out.nodes.put(), linkError);
    if (FAILED(result)) {
        return result;
    }
    return out.system && out.channels && out.nodes ? S_OK : E_FAIL;
}

}  // namespace movra
