#include "tools/kmt-sim/device.h"

#include "tools/kmt-sim/frame.h"
#include "tools/kmt-sim/values.h"

#include <initializer_list>
#include <utility>

namespace movra::sim {

namespace {

constexpr uint8_t kKmtIdentity = 0xB0;
constexpr uint8_t kKmtClock = 0xB1;
constexpr uint8_t kKmtLayout = 0xB2;
constexpr uint8_t kKmtValues = 0xB3;
constexpr uint8_t kKmtStatus = 0xA0;
constexpr uint8_t kIdentify = 0x50;
constexpr uint8_t kValues = 0x51;
constexpr uint8_t kExtraValues = 0x58;
constexpr uint8_t kRecovery = 0x7F;

// Error codes of the newer family's error replies.
constexpr uint8_t kNoSuchFunction = 0x01;
constexpr uint8_t kNoSuchIndex = 0x02;

constexpr uint8_t kVariantF = 0x46;

// Bytes a noise fault sends before a reply; the device's own address is left out so that a
// reader that skips to the address byte finds the real frame.
constexpr uint8_t kNoisePattern[] = {0xFF, 0x55, 0xAA, 0x0F, 0xF0, 0x33, 0xCC, 0x3C};

using Q = Quantity;

uint8_t nodeSelectorOf(Model model) {
    switch (model) {
        case Model::KmtV:
            return 1;
        case Model::KmtU:
            return 4;
        default:
            return 2;
    }
}

// Three-bit membership fields, ten to a 32-bit word, the first in bits 31 to 29.
uint32_t packedMembers(const NodeSetup& node, size_t firstChannel) {
    uint32_t word = 0;
    for (size_t k = 0; k < 10; ++k) {
        if (node.members[firstChannel + k]) {
            word |= 1u << (29 - 3 * k);
        }
    }
    return word;
}

void bigEndianWord(DataWriter& out, uint32_t word) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.byte(static_cast<uint8_t>(word >> shift));
    }
}

// Half-bytes packed high half first; an odd count leaves the last low half 0.
void halves(DataWriter& out, const std::vector<uint8_t>& values, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        uint8_t high = 2 * i < values.size() ? values[2 * i] : 0;
        uint8_t low = 2 * i + 1 < values.size() ? values[2 * i + 1] : 0;
        out.byte(static_cast<uint8_t>((high & 0x0F) << 4 | (low & 0x0F)));
    }
}

bool matches(const Fault& fault, std::span<const uint8_t> request) {
    return (!fault.function || request[1] == *fault.function) &&
           (!fault.index || request[2] == *fault.index);
}

}  // namespace

struct SimDevice::Answer {
    enum class Kind { Data, Error, Silence };
    Kind kind = Kind::Silence;
    uint8_t function = 0;
    std::vector<uint8_t> data;

    static Answer of(uint8_t function, std::vector<uint8_t> data) {
        return Answer{Kind::Data, function, std::move(data)};
    }
    static Answer error(uint8_t function, uint8_t code) {
        return Answer{Kind::Error, static_cast<uint8_t>(function | 0x80), {code}};
    }
    static Answer silence() { return Answer{}; }
};

SimDevice::SimDevice(DeviceConfig config)
    : config_(std::move(config)), faultSeen_(config_.faults.size(), 0) {}

CivilTime SimDevice::clockAt(const Moment& now) const {
    switch (config_.clock.mode) {
        case ClockSetting::Mode::Offset:
            return civilOfSeconds(now.pcLocalSeconds + config_.clock.offsetSeconds);
        case ClockSetting::Mode::Start:
            return civilOfSeconds(config_.clock.startSeconds + now.elapsedSeconds);
        case ClockSetting::Mode::Fixed:
            break;
    }
    return civilOfSeconds(config_.clock.startSeconds);
}

float SimDevice::value(Quantity quantity, uint32_t index) const {
    return movra::sim::value(config_.seed, quantity, index, cycle_);
}

bool SimDevice::isReadStart(std::span<const uint8_t> request) const {
    if (config_.model == Model::Kmt) {
        return request[1] == kKmtValues && request[2] == 0x01;
    }
    return request[1] == kValues && request[2] == 0;
}

Reply SimDevice::handle(std::span<const uint8_t> request, const Moment& now) {
    const bool readStart = isReadStart(request);
    if (readStart) {
        cycle_ = answeredStarts_;
    }
    Answer answer = this->answer(request, now);

    Reply reply;
    bool silent = answer.kind == Answer::Kind::Silence;
    bool spoiled = false;
    bool wrongCrc = false;
    bool wrongFunction = false;
    uint32_t noise = 0;
    reply.delayUs = int64_t{config_.latencyMs} * 1000;
    for (size_t i = 0; i < config_.faults.size(); ++i) {
        const Fault& fault = config_.faults[i];
        if (!matches(fault, request)) {
            continue;
        }
        uint32_t seen = faultSeen_[i]++;
        if (fault.kind == FaultKind::First) {
            silent = silent || seen >= fault.argument;
            continue;
        }
        if (seen < fault.skip || (fault.count && seen - fault.skip >= *fault.count)) {
            continue;
        }
        switch (fault.kind) {
            case FaultKind::Silent:
                silent = true;
                break;
            case FaultKind::Noise:
                noise += fault.argument;
                break;
            case FaultKind::Crc:
                wrongCrc = true;
                break;
            case FaultKind::Function:
                wrongFunction = true;
                break;
            case FaultKind::Error:
                answer = Answer::error(request[1], static_cast<uint8_t>(fault.argument));
                spoiled = true;
                break;
            case FaultKind::Slow:
                reply.byteGapUs += int64_t{fault.argument} * 1000;
                break;
            case FaultKind::Delay:
                reply.delayUs += int64_t{fault.argument} * 1000;
                break;
            case FaultKind::First:
                break;
        }
    }
    spoiled = spoiled || silent || wrongCrc || wrongFunction;
    if (readStart && !spoiled) {
        ++answeredStarts_;
    }
    if (silent) {
        reply.silent = true;
        return reply;
    }

    uint8_t function = wrongFunction ? answer.function ^ 0x01 : answer.function;
    std::vector<uint8_t> frame = replyFrame(config_.address, function, answer.data);
    if (wrongCrc) {
        frame.back() ^= 0x01;
    }
    for (uint32_t k = 0, next = 0; k < noise; ++next) {
        uint8_t byte = kNoisePattern[next % std::size(kNoisePattern)];
        if (byte != config_.address) {
            reply.bytes.push_back(byte);
            ++k;
        }
    }
    reply.bytes.insert(reply.bytes.end(), frame.begin(), frame.end());
    return reply;
}

SimDevice::Answer SimDevice::answer(std::span<const uint8_t> request, const Moment& now) {
    return config_.model == Model::Kmt ? answerKmt(request, now) : answerNewer(request, now);
}

// ---- KMT ---------------------------------------------------------------------------------------

SimDevice::Answer SimDevice::answerKmt(std::span<const uint8_t> request, const Moment& now) {
    const uint8_t function = request[1];
    const uint8_t parameter = request[2];
    DataWriter out;
    switch (function) {
        case kKmtIdentity:
            if ((parameter & 0x80) != 0) {
                // Volume scale of node parameter - 0x80.
                unsigned node = parameter - 0x80u;
                if (node < 1 || node > 10) {
                    return Answer::silence();
                }
                out.real(config_.nodeSetups[node - 1].volumeScale);
                return Answer::of(function, out.bytes());
            }
            // 40 bytes: the identity reversed in 0 to 3, the version in 27 and 26.
            for (int i = 3; i >= 0; --i) {
                out.byte(config_.identity[static_cast<size_t>(i)]);
            }
            out.zeros(22);
            out.byte(config_.version[1]);
            out.byte(config_.version[0]);
            out.zeros(12);
            return Answer::of(function, out.bytes());

        case kKmtLayout:
            // Channel codes in 0 to 39, nothing in 40 to 119, node layouts in 120 to 239.
            for (size_t c = 0; c < 10; ++c) {
                for (uint8_t byte : config_.channelCodes[c]) {
                    out.byte(byte);
                }
            }
            out.zeros(80);
            for (size_t n = 0; n < 10; ++n) {
                const NodeSetup& node = config_.nodeSetups[n];
                out.byte(static_cast<uint8_t>('0' + node.type));
                for (size_t c = 1; c <= 10; ++c) {
                    out.byte(node.members[c] ? '1' : '0');
                }
                out.byte(0);
            }
            return Answer::of(function, out.bytes());

        case kKmtClock: {
            CivilTime time = clockAt(now);
            out.zeros(4);
            out.byte(static_cast<uint8_t>(time.day));
            out.byte(static_cast<uint8_t>(time.month));
            out.byte(static_cast<uint8_t>(time.year - 2000));
            out.byte(static_cast<uint8_t>(time.weekday));
            out.byte(static_cast<uint8_t>(time.hour));
            out.byte(static_cast<uint8_t>(time.minute));
            out.byte(static_cast<uint8_t>(time.second));
            return Answer::of(function, out.bytes());
        }

        case kKmtValues:
            if (parameter == 0x01) {
                out.zeros(4);
                for (uint32_t c = 1; c <= 10; ++c) {
                    for (Q q : {Q::ChannelP, Q::ChannelT, Q::ChannelTo, Q::ChannelG, Q::ChannelM,
                                Q::ChannelN}) {
                        out.real(value(q, c));
                    }
                }
                return Answer::of(function, out.bytes());
            }
            if (parameter == 0x81) {
                for (uint32_t n = 1; n <= 10; ++n) {
                    for (Q q : {Q::NodeWe, Q::NodeNe, Q::NodeWm, Q::NodeWl}) {
                        out.real(value(q, n));
                    }
                }
                return Answer::of(function, out.bytes());
            }
            return Answer::silence();

        case kKmtStatus: {
            if (parameter < 1 || parameter > 10) {
                return Answer::silence();
            }
            // Flag k is bit 0 of byte k, sent as the digits "0" and "1".
            uint32_t mask = kmtStatusMask(config_.seed, parameter, cycle_);
            for (int k = 0; k < 28; ++k) {
                out.byte(static_cast<uint8_t>('0' + ((mask >> k) & 1)));
            }
            return Answer::of(function, out.bytes());
        }

        default:
            // A KMT has no error replies: it does not answer what it does not know.
            return Answer::silence();
    }
}

// ---- KMT-V, KMT-G, KMT-U, KMT-UV ---------------------------------------------------------------

SimDevice::Answer SimDevice::answerNewer(std::span<const uint8_t> request, const Moment& now) {
    const uint8_t function = request[1];
    const uint8_t index = request[2];
    const uint8_t selector = request[4];
    switch (function) {
        case kRecovery:
            return Answer::of(kRecovery, {});
        case kIdentify:
            return identifyNewer(index, selector);
        case kValues:
        case kExtraValues:
            switch (config_.model) {
                case Model::KmtV:
                case Model::KmtG:
                    return valuesV(function, index, now);
                case Model::KmtU:
                    return valuesU(function, index, now);
                case Model::KmtUV:
                    return valuesUV(function, index, now);
                case Model::Kmt:
                    break;
            }
            break;
        default:
            break;
    }
    return Answer::error(function, kNoSuchFunction);
}

SimDevice::Answer SimDevice::identifyNewer(uint8_t index, uint8_t selector) {
    DataWriter out;
    const Model model = config_.model;
    const uint8_t maxChannels = traitsOf(model).maxChannels;
    if (selector == nodeSelectorOf(model) && index > 0x80) {
        unsigned n = index - 0x80u;
        if (n > config_.nodes) {
            return Answer::error(kIdentify, kNoSuchIndex);
        }
        const NodeSetup& node = config_.nodeSetups[n - 1];
        std::vector<uint8_t> typeAndMembers{node.type};
        for (size_t c = 1; c <= maxChannels; ++c) {
            typeAndMembers.push_back(node.members[c] ? 1 : 0);
        }
        switch (model) {
            case Model::KmtV:
                halves(out, typeAndMembers, 4);
                break;
            case Model::KmtG:
                halves(out, typeAndMembers, 4);
                out.real(node.volumeScale);
                break;
            case Model::KmtU:
                out.byte(node.type);
                out.zeros(3);
                bigEndianWord(out, packedMembers(node, 1));
                bigEndianWord(out, packedMembers(node, 11));
                out.real(node.volumeScale);
                break;
            case Model::KmtUV:
                out.byte(node.type);
                out.zeros(3);
                bigEndianWord(out, packedMembers(node, 1));
                break;
            case Model::Kmt:
                break;
        }
        return Answer::of(kIdentify, out.bytes());
    }
    if (selector == 4 && index == 0) {
        for (uint8_t byte : config_.identity) {
            out.byte(byte);
        }
        out.zeros(8);
        out.byte(config_.version[0]);
        out.byte(config_.version[1]);
        out.zeros(2);
        return Answer::of(kIdentify, out.bytes());
    }
    if (selector == 1 && index >= 1 && index <= config_.channels) {
        for (uint8_t byte : config_.channelCodes[index - 1u]) {
            out.byte(byte);
        }
        return Answer::of(kIdentify, out.bytes());
    }
    return Answer::error(kIdentify, kNoSuchIndex);
}

namespace {

// Day, month, year since 2000, hour, minute, second: the head of the newer family's values.
void clockBytes(DataWriter& out, const CivilTime& time) {
    out.byte(static_cast<uint8_t>(time.day));
    out.byte(static_cast<uint8_t>(time.month));
    out.byte(static_cast<uint8_t>(time.year - 2000));
    out.byte(static_cast<uint8_t>(time.hour));
    out.byte(static_cast<uint8_t>(time.minute));
    out.byte(static_cast<uint8_t>(time.second));
}

}  // namespace

SimDevice::Answer SimDevice::valuesV(uint8_t function, uint8_t index, const Moment& now) {
    if (index != 0) {
        return Answer::error(function, kNoSuchIndex);
    }
    const uint32_t channels = config_.channels;
    const uint32_t nodes = config_.nodes;
    DataWriter out;
    if (function == kValues) {
        clockBytes(out, clockAt(now));
        out.zeros(2);
        out.real(value(Q::Pa, 0));
        for (Q q : {Q::ChannelQ, Q::ChannelG, Q::ChannelM, Q::ChannelP, Q::ChannelT, Q::ChannelN}) {
            for (uint32_t c = 1; c <= channels; ++c) {
                out.real(value(q, c));
            }
        }
        for (Q q : {Q::NodeN, Q::NodeW, Q::NodeGy, Q::NodeMy}) {
            for (uint32_t n = 1; n <= nodes; ++n) {
                out.real(value(q, n));
            }
        }
        for (uint32_t c = 1; c <= channels; ++c) {
            out.word(statusWord(config_.seed, c, cycle_));
        }
        return Answer::of(function, out.bytes());
    }
    if (config_.model == Model::KmtV) {
        // Only the "F" variant keeps the extra values, and sends them without a clock.
        if (config_.identity[0] != kVariantF) {
            return Answer::error(function, kNoSuchFunction);
        }
        out.zeros(7);
    } else {
        clockBytes(out, clockAt(now));
        out.zeros(1);
    }
    for (uint32_t c = 1; c <= channels; ++c) {
        out.real(value(Q::ChannelV, c));
    }
    return Answer::of(function, out.bytes());
}

SimDevice::Answer SimDevice::valuesU(uint8_t function, uint8_t index, const Moment& now) {
    const uint32_t channels = config_.channels;
    const uint32_t nodes = config_.nodes;
    DataWriter out;
    auto perChannel = [&](std::initializer_list<Q> quantities) {
        for (Q q : quantities) {
            for (uint32_t c = 1; c <= channels; ++c) {
                out.real(value(q, c));
            }
        }
    };
    auto perNode = [&](std::initializer_list<Q> quantities) {
        for (Q q : quantities) {
            for (uint32_t n = 1; n <= nodes; ++n) {
                out.real(value(q, n));
            }
        }
    };
    if (function == kExtraValues ? index != 0 : index > 4) {
        return Answer::error(function, kNoSuchIndex);
    }
    clockBytes(out, clockAt(now));
    out.zeros(1);
    if (function == kExtraValues) {
        perChannel({Q::ChannelV});
        return Answer::of(function, out.bytes());
    }
    switch (index) {
        case 0:
            perChannel({Q::ChannelQ, Q::ChannelP, Q::ChannelT});
            break;
        case 1:
            perChannel({Q::ChannelG, Q::ChannelM, Q::ChannelN});
            break;
        case 2:
            out.real(value(Q::Pa, 0));
            out.real(value(Q::Tv, 0));
            out.word(deviceWord(config_.seed, cycle_));
            for (uint32_t c = 1; c <= channels; ++c) {
                out.word(statusWord(config_.seed, c, cycle_));
            }
            break;
        case 3:
            perNode({Q::NodeN, Q::NodeW});
            break;
        default:
            perNode({Q::NodeGy, Q::NodeMy});
            break;
    }
    return Answer::of(function, out.bytes());
}

SimDevice::Answer SimDevice::valuesUV(uint8_t function, uint8_t index, const Moment& now) {
    if (function == kExtraValues) {
        return Answer::error(function, kNoSuchFunction);
    }
    struct Row {
        uint8_t index;
        Q quantity;
        bool perNode;
    };
    static constexpr Row rows[] = {
        {1, Q::ChannelV, false}, {2, Q::ChannelM, false}, {3, Q::ChannelP, false},
        {4, Q::ChannelT, false}, {5, Q::NodeW, true},     {7, Q::NodeMy, true},
        {8, Q::ChannelQ, false}, {9, Q::ChannelG, false}, {10, Q::ChannelN, false},
        {12, Q::NodeGy, true},   {13, Q::NodeN, true},
    };
    constexpr uint8_t kStatusIndex = 100;
    DataWriter out;
    auto head = [&] {
        clockBytes(out, clockAt(now));
        out.zeros(1);
    };
    if (index == 0) {
        head();  // the opening request carries only the clock
        return Answer::of(function, out.bytes());
    }
    if (index == kStatusIndex) {
        head();
        for (uint32_t c = 1; c <= config_.channels; ++c) {
            out.word(statusWord(config_.seed, c, cycle_));
        }
        return Answer::of(function, out.bytes());
    }
    for (const Row& row : rows) {
        if (row.index == index) {
            head();
            uint32_t count = row.perNode ? config_.nodes : config_.channels;
            for (uint32_t i = 1; i <= count; ++i) {
                out.real(value(row.quantity, i));
            }
            return Answer::of(function, out.bytes());
        }
    }
    return Answer::error(function, kNoSuchIndex);
}

}  // namespace movra::sim
