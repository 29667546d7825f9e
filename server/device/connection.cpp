#include "server/device/connection.h"

#include "platform/co_task_mem.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace movra {

namespace {

// A line that keeps sending frames for our address with other function codes would otherwise
// hold the poll thread for ever; after this many the attempt counts as unanswered.
constexpr uint32_t kMaxDiscardedFrames = 32;

constexpr uint32_t kWarmUpSliceMs = 100;

bool traceFromEnvironment() {
    const char* value = std::getenv("MOVRA_TRACE");
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

void baudOf(uint8_t baudCode, uint32_t* baud, float* byteTimeFactor) {
    switch (baudCode) {
        case 1:
            *baud = 2400;
            *byteTimeFactor = 4.0f;
            break;
        case 2:
            *baud = 4800;
            *byteTimeFactor = 2.0f;
            break;
        case 4:
            *baud = 19200;
            *byteTimeFactor = 0.5f;
            break;
        default:
            *baud = 9600;
            *byteTimeFactor = 1.0f;
            break;
    }
}

}  // namespace

CMovraDeviceConnection::CMovraDeviceConnection(const DeviceRecord& device,
                                               uint16_t riRs485DeviceCount, platform::Clock& clock,
                                               StopToken stop)
    : device_(device),
      model_(modelOf(device.deviceType)),
      stop_(stop),
      replyTimeoutSec_(model_.line.replyTimeoutSec),
      riRs485DeviceCount_(riRs485DeviceCount),
      clock_(clock),
      realTime_(&clock == &platform::realClock()) {
    // A device type without protocol answers nothing; it keeps the address of a single device.
    busAddress_ = model_.hasProtocol() && IsBusLink() ? device_.rs485Address : 254;
    uint32_t baud;
    baudOf(device_.baudCode, &baud, &byteTimeFactor_);
    createdAtMs_ = clock_.nowMs();
    trace_ = traceFromEnvironment();
}

CMovraDeviceConnection::~CMovraDeviceConnection() {
    uint16_t ignored;
    Close(&ignored);
}

bool CMovraDeviceConnection::HasSerialPort() const {
    return device_.linkType != 5 && device_.linkType != 6;
}

bool CMovraDeviceConnection::IsBusLink() const {
    return device_.linkType == kLinkRs485 || device_.linkType == 4;
}

bool CMovraDeviceConnection::ConfigurePort() {
    uint32_t baud;
    baudOf(device_.baudCode, &baud, &byteTimeFactor_);
    return port_.configure(baud);
}

HRESULT CMovraDeviceConnection::Open(uint16_t* error) {
    if (error == nullptr) {
        return E_INVALIDARG;
    }
    *error = ERR_NONE;
    if (!HasSerialPort()) {
        return S_OK;
    }
    // Opening twice would fail on the port's no-sharing rule and lose the first handle.
    port_.close();
    if (!port_.open(device_.comPort) || !ConfigurePort()) {
        port_.close();  // a port that could not be configured is not kept busy
        *error = ERR_PORT_SETUP;
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CMovraDeviceConnection::Close(uint16_t* error) {
    if (error != nullptr) {
        *error = ERR_NONE;
    }
    if (HasSerialPort()) {
        port_.close();
    }
    return S_OK;
}

HRESULT CMovraDeviceConnection::Abort() {
    stopped_.store(1);
    return S_OK;
}

HRESULT CMovraDeviceConnection::SetRetryLimit(uint16_t count) {
    if (count < 1 || count > 100) {
        return E_INVALIDARG;
    }
    retryLimit_ = count;
    return S_OK;
}

HRESULT CMovraDeviceConnection::Send(uint32_t count, const uint8_t* bytes, uint16_t* error) {
    if (error == nullptr || (bytes == nullptr && count != 0)) {
        return E_INVALIDARG;
    }
    *error = ERR_NONE;
    // The line turns round on a bus: four byte times at the configured rate.
    clock_.sleepMs(IsBusLink() ? static_cast<uint32_t>(4.0f * byteTimeFactor_) : 1);
    if (HasSerialPort() && port_.isOpen()) {
        Trace(">", bytes, count);
        port_.clearErrors();
        // A late answer to an abandoned request would otherwise pass for this one's.
        port_.discardInput();
        // A lost write shows as silence in the reply that follows; nothing more to do here.
        port_.write(bytes, count);
    }
    return S_OK;
}

bool CMovraDeviceConnection::StopSeen() {
    if (stop_.stopRequested()) {
        stopped_.store(1);
    }
    return stopped_.load() != 0;
}

bool CMovraDeviceConnection::ReadBytes(uint8_t* buffer, uint32_t count, uint64_t deadlineMs,
                                       uint32_t* got) {
    *got = 0;
    if (!port_.startRead(buffer, count)) {
        return false;
    }
    for (;;) {
        // A read left running after a failure would write into a buffer the caller frees.
        if (StopSeen() || clock_.nowMs() >= deadlineMs) {
            *got = static_cast<uint32_t>(port_.cancelRead());
            return false;
        }
        uint64_t before = clock_.nowMs();
        const platform::ReadProgress progress = port_.waitRead(platform::kSerialWaitSliceMs);
        if (progress.complete) {
            *got = count;
            return true;
        }
        if (progress.failed) {
            // A dead port answers nothing before the limit either, and a frame's rest may be
            // allowed minutes: the poll cycle must go on now.
            *got = static_cast<uint32_t>(port_.cancelRead());
            return false;
        }
        // Every round lasts a slice on the connection's clock too: a test clock that did not
        // see the real wait pass is moved on by sleeping the rest of it.
        uint64_t shown = clock_.nowMs() - before;
        if (!realTime_ && shown < platform::kSerialWaitSliceMs) {
            clock_.sleepMs(static_cast<uint32_t>(platform::kSerialWaitSliceMs - shown));
        }
    }
}

// The bytes of one frame, from its address byte on. Only the frame being read is kept and a
// frame is at most 255 + 5 bytes, so the window never overflows.
class CMovraDeviceConnection::FrameWindow {
public:
    static constexpr uint32_t kCapacity = 255 + 5;

    uint8_t operator[](uint32_t index) const { return bytes_[index]; }
    uint32_t size() const { return size_; }
    uint8_t* end() { return bytes_.data() + size_; }
    void grow(uint32_t count) { size_ += count; }
    void dropFront(uint32_t count) {
        std::memmove(bytes_.data(), bytes_.data() + count, size_ - count);
        size_ -= count;
        dropped_ += count;
    }
    // Where the window starts in everything read since it was made.
    uint64_t position() const { return dropped_; }
    std::span<const uint8_t> first(uint32_t count) const { return {bytes_.data(), count}; }

private:
    std::array<uint8_t, kCapacity> bytes_{};
    uint32_t size_ = 0;
    uint64_t dropped_ = 0;
};

bool CMovraDeviceConnection::Fill(FrameWindow& window, uint32_t count, uint64_t deadlineMs) {
    if (window.size() >= count) {
        return true;
    }
    uint32_t got = 0;
    bool complete = ReadBytes(window.end(), count - window.size(), deadlineMs, &got);
    window.grow(got);
    return complete;
}

CMovraDeviceConnection::FrameRead CMovraDeviceConnection::ReadFrame(FrameWindow& window,
                                                                    uint64_t capMs) {
    auto within = [&](uint32_t seconds) {
        return std::min<uint64_t>(capMs, clock_.nowMs() + 1000ull * seconds);
    };
    if (!Fill(window, 2, within(1))) {
        return FrameRead::Incomplete;
    }
    if (!awaited_.empty() && !ReplyMatches(awaited_, window.first(2))) {
        return FrameRead::Foreign;
    }
    if (!Fill(window, 3, within(1))) {
        return FrameRead::Incomplete;
    }
    uint32_t total = window[2] + 5u;
    if (!Fill(window, total, within(total - 3))) {
        return FrameRead::Incomplete;
    }
    Trace("<", window.first(total).data(), total);
    last_.replyFunction = window[1];
    return Crc16(window.first(total)) == 0 ? FrameRead::Complete : FrameRead::BadCrc;
}

HRESULT CMovraDeviceConnection::Receive(uint32_t* size, uint8_t** frame, uint16_t* error) {
    if (size == nullptr || frame == nullptr || error == nullptr) {
        return E_INVALIDARG;
    }
    *size = 0;
    *frame = nullptr;
    *error = ERR_NONE;
    // A link without a port never answers; failing at once keeps the poll cycle moving.
    if (!HasSerialPort()) {
        *error = ERR_NO_ANSWER;
        return E_FAIL;
    }
    constexpr uint64_t kNoCap = UINT64_MAX;
    const uint64_t replyDeadline = clock_.nowMs() + 1000ull * firstByteTimeoutSec();
    FrameWindow window;
    // After a failed frame the search goes on through the bytes read behind its first one. After
    // a bad CRC it goes on along the line as well, as long as the line keeps talking: the frame
    // may have been a false start inside other traffic, with the answer still to come. A frame
    // cut short ended in silence, so the line has nothing more to give.
    uint16_t spoiled = ERR_NONE;
    uint64_t foreignEnd = 0;
    for (;;) {
        uint64_t scanDeadline = replyDeadline;
        uint64_t frameCap = kNoCap;
        if (spoiled != ERR_NONE) {
            const bool listening = spoiled == ERR_CRC;
            frameCap = listening ? replyDeadline : 0;
            scanDeadline = listening ? std::min<uint64_t>(replyDeadline, clock_.nowMs() + 1000) : 0;
        }
        if (!Fill(window, 1, scanDeadline)) {
            *error = spoiled != ERR_NONE ? spoiled : static_cast<uint16_t>(ERR_NO_ANSWER);
            return E_FAIL;
        }
        if (window[0] != busAddress_) {
            Trace("skipped", window.first(1).data(), 1);
            window.dropFront(1);
            continue;
        }
        FrameRead read = ReadFrame(window, frameCap);
        if (read == FrameRead::Foreign) {
            // A late answer to an earlier request, or a stray byte in other traffic. Only starts
            // outside the last foreign frame counted are counted, as far as its length is known.
            if (window.position() >= foreignEnd) {
                Fill(window, 3, scanDeadline);  // its length; the scan reads on there anyway
                last_.replyFunction = window[1];
                ++last_.foreignReplies;
                foreignEnd =
                    window.size() >= 3 ? window.position() + window[2] + 5u : window.position() + 1;
            }
            Trace("skipped", window.first(1).data(), 1);
            window.dropFront(1);
            continue;
        }
        if (read != FrameRead::Complete) {
            if (read == FrameRead::Incomplete) {
                Trace("< incomplete", window.first(window.size()).data(), window.size());
            }
            uint16_t failure = read == FrameRead::Incomplete ? ERR_INCOMPLETE : ERR_CRC;
            if (awaited_.empty() || StopSeen()) {
                *error = failure;
                return E_FAIL;
            }
            spoiled = failure;
            window.dropFront(1);
            continue;
        }
        const uint32_t total = window[2] + 5u;
        if (model_.line.replies == ReplyRule::FunctionOrError && (window[1] & 0x80) != 0 &&
            (window[1] & 0x7F) != 0x7F) {
            last_.errorCode = total > 5 ? window[3] : 0;
            *error = ERR_DEVICE;
            return E_FAIL;
        }
        auto buffer = platform::CoTaskMemPtr<uint8_t>::allocate(total);
        if (!buffer) {
            return E_OUTOFMEMORY;
        }
        std::memcpy(buffer.get(), window.first(total).data(), total);
        *size = total;
        *frame = buffer.release();
        return S_OK;
    }
}

bool CMovraDeviceConnection::FinalizeRequest(std::span<uint8_t> frame) const {
    return finalizeRequest(model_, busAddress_, frame);
}

bool CMovraDeviceConnection::ReplyMatches(std::span<const uint8_t> request,
                                          std::span<const uint8_t> reply) const {
    if (request.size() < 2 || reply.size() < 2) {
        return model_.line.replies == ReplyRule::AnyFrame;
    }
    switch (model_.line.replies) {
        case ReplyRule::SameFunction:
            return reply[1] == request[1];
        case ReplyRule::FunctionOrError:
            return (reply[1] & 0x7F) == request[1];
        case ReplyRule::AnyFrame:
            break;
    }
    return true;
}

bool CMovraDeviceConnection::WarmUp() {
    if (firstExchange_ == 0 || device_.viaRiAdapter == 0 || !IsBusLink() ||
        riRs485DeviceCount_ <= 1) {
        return true;
    }
    while ((clock_.nowMs() - createdAtMs_) / 1000 < model_.line.warmUpSec) {
        clock_.sleepMs(kWarmUpSliceMs);
        if (StopSeen()) {
            return false;
        }
    }
    return true;
}

HRESULT CMovraDeviceConnection::Transact(std::span<const uint8_t> request, uint32_t* replySize,
                                         uint8_t** reply, uint16_t* error, uint32_t* failures,
                                         bool* fatal) {
    *failures = 0;
    *fatal = false;
    bool awaitingMore = false;
    uint32_t discarded = 0;
    for (;;) {
        if (stopped_.load() != 0 || !WarmUp()) {
            *fatal = true;
            return E_FAIL;
        }
        if (!awaitingMore) {
            HRESULT sent = Send(static_cast<uint32_t>(request.size()), request.data(), error);
            if (FAILED(sent)) {
                return sent;
            }
        }
        firstExchange_ = 0;
        awaitingMore = false;
        uint32_t size = 0;
        platform::CoTaskMemPtr<uint8_t> frame;
        awaited_ = request;
        HRESULT received = Receive(&size, frame.put(), error);
        awaited_ = {};
        if (SUCCEEDED(received) && !ReplyMatches(request, {frame.get(), size})) {
            // Another station's answer or a late one to an earlier request: keep listening.
            frame.reset();
            ++last_.foreignReplies;
            if (++discarded <= kMaxDiscardedFrames) {
                awaitingMore = true;
                continue;
            }
            received = E_FAIL;
            *error = ERR_NO_ANSWER;
        }
        if (SUCCEEDED(received)) {
            *replySize = size;
            *reply = frame.release();
            return S_OK;
        }
        last_.error = *error;
        if (*error == ERR_NONE || *error == ERR_DEVICE) {
            return received;
        }
        if (++*failures >= retryLimit_) {
            return E_FAIL;
        }
        discarded = 0;
        if (StopSeen()) {
            *fatal = true;
            return E_FAIL;
        }
        // A fresh handle drops whatever the failed attempt left in the driver's buffers.
        uint16_t portError = ERR_NONE;
        if (FAILED(Close(&portError)) || FAILED(Open(&portError))) {
            *error = portError;
            last_.error = portError;
            *fatal = true;
            return E_FAIL;
        }
    }
}

HRESULT CMovraDeviceConnection::Exchange(uint32_t requestSize, uint8_t* request,
                                         uint32_t* replySize, uint8_t** reply, uint16_t* error) {
    if (requestSize == 0 || request == nullptr || replySize == nullptr || reply == nullptr ||
        error == nullptr) {
        return E_INVALIDARG;
    }
    *error = ERR_NONE;
    *replySize = 0;
    *reply = nullptr;
    std::span<uint8_t> frame(request, requestSize);
    if (!FinalizeRequest(frame)) {
        return E_INVALIDARG;  // the CRC would land behind the caller's buffer
    }
    last_ = ExchangeRecord{};
    last_.requestFunction = request[1];
    uint32_t failures = 0;
    bool fatal = false;
    uint32_t size = 0;
    platform::CoTaskMemPtr<uint8_t> answer;
    HRESULT result = Transact(frame, &size, answer.put(), error, &failures, &fatal);
    const ExchangeRecord mainRecord = last_;
    if (FAILED(result) || failures == 0) {
        *replySize = size;
        *reply = answer.release();
        return result;
    }

    // After a repeated exchange the device gets a harmless request whose reply is thrown away.
    // Only a stop or a port that cannot be reopened spoil the good reply already in hand.
    RequestFrame recovery = recoveryRequest(model_, busAddress_);
    if (recovery.length != 0) {
        uint16_t recoveryError = ERR_NONE;
        uint32_t recoverySize = 0;
        platform::CoTaskMemPtr<uint8_t> recoveryReply;  // thrown away
        uint32_t recoveryFailures = 0;
        Transact(recovery.span(), &recoverySize, recoveryReply.put(), &recoveryError,
                 &recoveryFailures, &fatal);
        last_ = mainRecord;
        if (fatal) {
            *error = recoveryError;
            last_.error = recoveryError;
            return E_FAIL;
        }
    }
    *error = ERR_NONE;
    *replySize = size;
    *reply = answer.release();
    return S_OK;
}

void CMovraDeviceConnection::Trace(const char* direction, const uint8_t* bytes,
                                   size_t count) const {
    if (traceSink_) {
        traceSink_(direction, {bytes, count});
        return;
    }
    if (!trace_) {
        return;
    }
    std::string line = "COM" + std::to_string(device_.comPort) + " " + direction;
    char hex[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
        line += hex;
    }
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

}  // namespace movra
