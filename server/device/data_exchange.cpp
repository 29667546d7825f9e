#include "server/device/data_exchange.h"

#include "server/device/kmt_models.h"
#include "server/device/newer_family.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace movra {

namespace {

// A reply frame: address, function, length N, N data bytes, CRC low, CRC high.
constexpr uint32_t kReplyHeader = 3;
constexpr uint32_t kReplyEnvelope = 5;

}  // namespace

bool ReplyReader::take(uint8_t* out, size_t count) {
    if (short_ || count > data_.size() - position_) {
        short_ = true;
        position_ = data_.size();
        std::memset(out, 0, count);
        return false;
    }
    std::memcpy(out, data_.data() + position_, count);
    position_ += count;
    return true;
}

uint8_t ReplyReader::byte() {
    uint8_t value = 0;
    take(&value, 1);
    return value;
}

uint32_t ReplyReader::wordMsbFirst() {
    uint8_t bytes[4];
    take(bytes, 4);
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           bytes[3];
}

void ReplyReader::takeHalfBytes(uint8_t* out, size_t count) {
    for (size_t i = 0; i < count; i += 2) {
        const uint8_t value = byte();
        out[i] = value >> 4;
        if (i + 1 < count) {
            out[i + 1] = value & 0x0F;
        }
    }
}

void ReplyReader::skip(size_t count) {
    position_ += std::min(count, data_.size() - position_);
}

CMovraDataExchange::CMovraDataExchange(uint32_t requestSize, uint16_t maxChannels,
                                       uint16_t maxNodes, platform::Clock& clock)
    : requestSize(std::min<uint32_t>(requestSize, 10)),
      maxChannels(std::min<uint16_t>(maxChannels, 20)),
      maxNodes(std::min<uint16_t>(maxNodes, 20)),
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

bool CMovraDataExchange::AllocIdentity(IdentityArrays& arrays) {
    arrays.identity = platform::CoTaskMemPtr<DeviceIdentity>::allocate(1);
    arrays.channels = platform::CoTaskMemPtr<ChannelDescriptor>::allocate(maxChannels);
    arrays.nodes = platform::CoTaskMemPtr<NodeDescriptor>::allocate(maxNodes);
    if (!arrays.identity || !arrays.channels || !arrays.nodes) {
        arrays = IdentityArrays{};
        return false;
    }
    return true;
}

// Every block is zeroed, also those beyond the reported counts: a receiver must never see stale
// heap bytes, even in blocks it is not meant to read.
bool CMovraDataExchange::AllocReadings(ReadingArrays& arrays) {
    arrays.system = platform::CoTaskMemPtr<SystemBlock>::allocate(1);
    arrays.channels = platform::CoTaskMemPtr<ChannelBlock>::allocate(maxChannels);
    arrays.nodes = platform::CoTaskMemPtr<NodeBlock>::allocate(maxNodes);
    if (!arrays.system || !arrays.channels || !arrays.nodes) {
        arrays = ReadingArrays{};
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
    if (FAILED(hr)) {
        // The arrays go with their owners; the outputs were cleared at the start.
        return hr;
    }
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

HRESULT CMovraDataExchange::BeginRead(const ReadOutputs& out, const ReadSelection* selection,
                                      ReadingArrays& arrays) {
    if (selection == nullptr || out.reportedChannels == nullptr || out.reportedNodes == nullptr ||
        out.system == nullptr || out.channels == nullptr || out.nodes == nullptr ||
        out.linkError == nullptr) {
        return E_INVALIDARG;
    }
    *out.reportedChannels = 0;
    *out.reportedNodes = 0;
    *out.system = nullptr;
    *out.channels = nullptr;
    *out.nodes = nullptr;
    *out.linkError = ERR_NONE;
    if (identified == 0) {
        return E_FAIL;
    }
    if (!AllocReadings(arrays)) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CMovraDataExchange::EndRead(HRESULT hr, ReadingArrays& arrays, const ReadOutputs& out) {
    reply.reset();
    RETURN_IF_FAILED(hr);
    *out.reportedChannels = reportedChannels;
    *out.reportedNodes = reportedNodes;
    *out.system = arrays.system.release();
    *out.channels = arrays.channels.release();
    *out.nodes = arrays.nodes.release();
    *out.linkError = ERR_NONE;
    return S_OK;
}

HRESULT CMovraDataExchange::ReadGroupedValues(ReadingArrays& readings, uint16_t* linkError) {
    ChannelBlock* channels = readings.channels.get();
    NodeBlock* nodes = readings.nodes.get();
    ClearRequest();
    request[1] = newer_family::kValuesFunction;
    HRESULT hr = DoExchange(linkError);
    RETURN_IF_FAILED(hr);
    TakeDeviceClock();
    Reply().skip(2);
    TakeReading(readings.system->readings[kSystemPa], false);
    for (uint8_t index : {kChannelQ, kChannelG, kChannelM, kChannelP, kChannelT, kChannelN}) {
        TakeEachChannel(channels, index);
    }
    for (uint8_t index : {kNodeN, kNodeW, kNodeGy, kNodeMy}) {
        TakeEachNode(nodes, index);
    }
    TakeEachChannel(channels, kChannelStatus, true);
    return FinishReply(linkError);
}

HRESULT CMovraDataExchange::IdentifyNewerFamily(const NewerFamilyDecoders& decoders,
                                                IdentityArrays& arrays, uint16_t& channelCount,
                                                uint16_t& nodeCount, uint16_t* linkError) {
    channelCount = 0;
    nodeCount = 0;

    ClearRequest();
    request[1] = 0x50;
    request[4] = 4;
    HRESULT hr = DoExchange(linkError);
    RETURN_IF_FAILED(hr);
    DeviceIdentity& identity = *arrays.identity.get();
    Reply().take(identity.bytes, 4);
    Reply().skip(8);
    decoders.identity(Reply(), identity);
    hr = FinishReply(linkError);
    RETURN_IF_FAILED(hr);

    // A device answers an index it does not have with an error reply: that ends the list.
    ClearRequest();
    request[1] = 0x50;
    request[4] = 1;
    for (uint16_t c = 1; c <= maxChannels; ++c) {
        request[2] = static_cast<uint8_t>(c);
        hr = DoExchange(linkError);
        if (FAILED(hr)) {
            if (hr == E_FAIL && *linkError == ERR_DEVICE) {
                *linkError = ERR_NONE;
                break;
            }
            return hr;
        }
        decoders.channel(Reply(), arrays.channels.get()[c - 1]);
        hr = FinishReply(linkError);
        RETURN_IF_FAILED(hr);
        channelCount = c;
    }

    ClearRequest();
    request[1] = 0x50;
    request[4] = decoders.nodeSelector;
    for (uint16_t n = 1; n <= maxNodes; ++n) {
        request[2] = static_cast<uint8_t>(0x80 + n);
        hr = DoExchange(linkError);
        if (FAILED(hr)) {
            if (hr == E_FAIL && *linkError == ERR_DEVICE) {
                *linkError = ERR_NONE;
                break;
            }
            return hr;
        }
        NodeDescriptor& node = arrays.nodes.get()[n - 1];
        decoders.node(Reply(), channelCount, node);
        hr = FinishReply(linkError);
        RETURN_IF_FAILED(hr);
        if (decoders.markChannels != nullptr) {
            decoders.markChannels(node, arrays.channels.get(), maxChannels);
        }
        nodeCount = n;
    }
    return S_OK;
}

HRESULT CMovraDataExchange::DoExchange(uint16_t* linkError) {
    reply.reset();
    replySize = 0;
    Reply().reset({});
    if (connection == nullptr) {
        *linkError = ERR_PORT_SETUP;
        return E_FAIL;
    }
    uint32_t size = 0;
    uint8_t* frame = nullptr;
    HRESULT hr = connection->Exchange(requestSize, request.data(), &size, &frame, linkError);
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
    Reply().reset({reply.get() + kReplyHeader, dataSize});
    return S_OK;
}

HRESULT CMovraDataExchange::FinishReply(uint16_t* linkError) {
    const bool tooShort = Reply().isShort();
    reply.reset();
    replySize = 0;
    Reply().reset({});
    if (tooShort) {
        *linkError = ERR_INCOMPLETE;
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CMovraDataExchange::SendRaw(uint32_t count, const uint8_t* bytes, uint16_t* linkError) {
    if (connection == nullptr) {
        *linkError = ERR_PORT_SETUP;
        return E_FAIL;
    }
    return connection->Send(count, bytes, linkError);
}

void CMovraDataExchange::ClearRequest() {
    std::fill(request.begin(), request.begin() + requestSize, uint8_t{0});
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
    Reply().take(bytes, twoBytes ? 2 : 4);
    reading.value = uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
                    (uint32_t{bytes[3]} << 24);
    reading.quality = kQualityGood;
    reading.timestamp = ReadingTime();
}

void CMovraDataExchange::TakeRaw4(void* destination) {
    uint8_t bytes[4];
    Reply().take(bytes, 4);
    std::memcpy(destination, bytes, 4);
}

void CMovraDataExchange::TakeDateTime(SYSTEMTIME& time, bool padded) {
    time = SYSTEMTIME{};
    time.wDay = Reply().byte();
    time.wMonth = Reply().byte();
    time.wYear = static_cast<WORD>(2000 + Reply().byte());
    if (padded) {
        Reply().skip(1);
    }
    time.wHour = Reply().byte();
    time.wMinute = Reply().byte();
    time.wSecond = Reply().byte();
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

void CMovraDataExchange::TakeDeviceClock() {
    TakeDateTime(deviceTime, false);
    StampPcTime();
}

void CMovraDataExchange::TakeEachChannel(ChannelBlock* blocks, uint8_t index, bool twoBytes) {
    for (uint16_t c = 0; c < reportedChannels; ++c) {
        TakeReading(blocks[c].readings[index], twoBytes);
    }
}

void CMovraDataExchange::TakeEachNode(NodeBlock* blocks, uint8_t index) {
    for (uint16_t n = 0; n < reportedNodes; ++n) {
        TakeReading(blocks[n].readings[index], false);
    }
}

void CMovraDataExchange::CopyEachChannel(ChannelBlock* blocks, uint8_t to, uint8_t from) const {
    for (uint16_t c = 0; c < reportedChannels; ++c) {
        blocks[c].readings[to] = blocks[c].readings[from];
    }
}

void CMovraDataExchange::CopyEachNode(NodeBlock* blocks, uint8_t to, uint8_t from) const {
    for (uint16_t n = 0; n < reportedNodes; ++n) {
        blocks[n].readings[to] = blocks[n].readings[from];
    }
}

std::unique_ptr<CMovraDataExchange> createDataExchange(uint8_t deviceType, platform::Clock& clock) {
    switch (deviceType) {
        case kTypeKmt:
            return std::unique_ptr<CMovraDataExchange>(new (std::nothrow) CKMT_DataExchange(clock));
        case kTypeKmtV:
            return std::unique_ptr<CMovraDataExchange>(new (std::nothrow)
                                                           CKMT_V_DataExchange(clock));
        case kTypeKmtG:
            return std::unique_ptr<CMovraDataExchange>(new (std::nothrow)
                                                           CKMT_G_DataExchange(clock));
        case kTypeKmtU:
            return std::unique_ptr<CMovraDataExchange>(new (std::nothrow)
                                                           CKMT_U_DataExchange(clock));
        case kTypeKmtUV:
            return std::unique_ptr<CMovraDataExchange>(new (std::nothrow)
                                                           CKMT_UV_DataExchange(clock));
        default:
            return nullptr;
    }
}

}  // namespace movra
