// What a meter model is, written once as plain data: its frames and time limits on the line, its
// largest channel and node counts, the items it offers and the requests that read its values. The
// serial connection, the request builder, the protocols, the catalogue, the poll cycle and the
// commissioning check all read it; none of them knows a model otherwise.
#pragma once

#include "common/config/device_record.h"
#include "server/models/quantities.h"

#include <cstdint>
#include <initializer_list>
#include <span>

namespace movra {

// How a reply is matched with its request, and whether it can say the request failed.
enum class ReplyRule : uint8_t {
    AnyFrame,         // no protocol: every frame is taken
    SameFunction,     // the reply's function code equals the request's; no error replies
    FunctionOrError,  // the same with bit 7 cleared; bit 7 set (low bits not 0x7F) is an error
};

// Request parameters: the frame bytes from byte 2 on, up to the CRC. Bytes not given are 0.
inline constexpr uint32_t kMaxParameters = 6;
struct Request {
    uint8_t function = 0;
    uint8_t parameters[kMaxParameters] = {};
};

// When a request of the read plan goes out, given the ReadSelection and the model variant.
struct Condition {
    enum Kind : uint8_t {
        Always,
        AllOrFlags,  // the selection's flag 0 (all) or one of `flags`
        FlagsOnly,   // one of `flags`; flag 0 does not count
        Variant,     // identity byte 0 equals `variant`; the selection is not looked at
    };
    Kind kind = Always;
    uint32_t flags = 0;  // bit f: selection flag f
    uint8_t variant = 0;
};

// One field of a reply, in reply order.
enum class Take : uint8_t {
    End,             // no more fields
    Skip,            // `width` bytes not used
    Clock,           // day, month, year since 2000, hour, minute, second: the device clock; the PC
                     // time is stamped right after
    PaddedClock,     // the same with a byte after the year and one after the second
    System,          // the listed system readings, one after the other
    Channels,        // quantity by quantity: one value per reported channel for each listed reading
    Nodes,           // the same per reported node
    ChannelRecords,  // channel by channel: the listed readings of each reported channel
    NodeRecords,     // the same per reported node
    StatusMask,  // 28 bytes whose bit 0 make a mask: the status reading of the requested channel
};

inline constexpr uint32_t kMaxFieldReadings = 6;
struct Field {
    Take take = Take::End;
    uint8_t width = 4;  // bytes per value (2 for status words), or bytes skipped
    uint8_t count = 0;  // readings listed
    uint8_t readings[kMaxFieldReadings] = {};
};

// After a reply: reading `to` of every reported channel (node) becomes a copy of `from`.
struct Copy {
    Section section = Section::System;  // System: no copy
    uint8_t to = 0;
    uint8_t from = 0;
};

inline constexpr uint32_t kMaxFields = 6;
inline constexpr uint32_t kMaxCopies = 5;

// One request of a read plan and what its reply holds. A per-channel step goes out once for each
// reported channel, with the channel number in parameter byte 2.
struct PlanStep {
    Request request;
    Condition when;
    bool perChannel = false;
    Field fields[kMaxFields] = {};
    Copy copies[kMaxCopies] = {};
};

// How the model talks on the line. A frameLength of 0: no protocol speaks the code.
struct LineFacts {
    uint8_t frameLength = 0;       // request bytes, address and CRC included
    uint8_t replyTimeoutSec = 10;  // until the first reply byte (doubled through the RI adapter)
    uint8_t warmUpSec = 4;         // the RI adapter's warm-up on a bus with several of them
    ReplyRule replies = ReplyRule::AnyFrame;
    uint8_t recoveryFunction = 0;  // sent with zero parameters after a repeated exchange
    uint8_t zeroBytesFirst = 0;    // zero bytes written before each operation's first request
};

// The items offered: bit r of a section's mask offers the slot of its reading r.
struct ItemsOffered {
    uint32_t system = 0;
    uint32_t channel = 0;
    uint32_t node = 0;
};

// What identification needs beyond the decoders: byte 4 of the newer family's node list
// requests; the node member entries the model fills (0: as many as channels were reported); the
// identity bytes that hold the version (bit k: byte k, shown in byte order); whether identity
// byte 0 chooses what is read.
struct IdentityFacts {
    uint8_t nodeListSelector = 0;
    uint8_t nodeMembers = 0;
    uint16_t versionBytes = 0;
    bool variantInIdentity = false;
};

struct ModelDescription {
    uint8_t type = 0;            // deviceType of the configuration
    const char* name = nullptr;  // null for a code no model carries
    LineFacts line;
    // The largest counts: those the configuration derives for the code (channelCountOf).
    uint16_t maxChannels = 0;
    uint16_t maxNodes = 0;
    ItemsOffered items;
    IdentityFacts identity;
    // The device keeps a gas node's volumes in thousands where the node's scale is 1000 (else
    // in m3), rather than always in m3.
    bool volumesByNodeScale = false;
    std::span<const PlanStep> readPlan;

    constexpr bool hasProtocol() const { return line.frameLength != 0; }
    constexpr bool offers(Section section, uint8_t reading) const {
        const uint32_t mask = section == Section::System    ? items.system
                              : section == Section::Channel ? items.channel
                                                            : items.node;
        return reading < 32 && ((mask >> reading) & 1u) != 0;
    }
};

// Whether a description stays inside what the protocols fill and send: every reading a plan
// lists or copies exists in its section, values are 2 or 4 bytes wide, a status mask is decoded
// only from a per-channel request, no parameter lies beyond the model's frame, and the counts fit
// the descriptor arrays. The descriptions are checked with it where they are compiled.
constexpr bool describesSafely(const ModelDescription& model) {
    constexpr uint8_t kLimit[] = {kSystemReadings, kChannelReadings, kNodeReadings};
    auto sectionOf = [](Take take) {
        return take == Take::System                                     ? Section::System
               : take == Take::Channels || take == Take::ChannelRecords ? Section::Channel
                                                                        : Section::Node;
    };
    if (model.maxChannels > 20 || model.maxNodes > 20 ||
        (model.hasProtocol() && (model.line.frameLength < 4 || model.line.frameLength > 10))) {
        return false;
    }
    for (const PlanStep& step : model.readPlan) {
        for (uint32_t p = model.line.frameLength - 4u; p < kMaxParameters; ++p) {
            if (step.request.parameters[p] != 0 || (step.perChannel && p == 0)) {
                return false;
            }
        }
        for (const Field& field : step.fields) {
            const bool values = field.take >= Take::System && field.take <= Take::NodeRecords;
            if ((field.take == Take::StatusMask && !step.perChannel) ||
                (values && field.width != 2 && field.width != 4) ||
                field.count > kMaxFieldReadings) {
                return false;
            }
            for (uint8_t k = 0; values && k < field.count; ++k) {
                if (field.readings[k] >= kLimit[static_cast<int>(sectionOf(field.take))]) {
                    return false;
                }
            }
        }
        for (const Copy& copy : step.copies) {
            const uint8_t limit = kLimit[static_cast<int>(copy.section)];
            if (copy.section != Section::System && (copy.to >= limit || copy.from >= limit)) {
                return false;
            }
        }
    }
    return true;
}

// The description of a device type: one of the five models, code 6 (counts and items, no
// protocol), or for any other code a description without protocol that has no channels and
// nodes and offers every item.
const ModelDescription& modelOf(uint8_t deviceType);
// The five models, in type order.
std::span<const ModelDescription> allModels();

// Building blocks for the descriptions' tables.
// Bit k set for each k listed (readings, selection flags, identity bytes).
constexpr uint32_t bitsOf(std::initializer_list<uint8_t> indexes) {
    uint32_t mask = 0;
    for (uint8_t index : indexes) {
        mask |= uint32_t{1} << index;
    }
    return mask;
}
constexpr Field field(Take take, std::initializer_list<uint8_t> readings, uint8_t width = 4) {
    Field result{take, width, static_cast<uint8_t>(readings.size()), {}};
    uint8_t i = 0;
    for (uint8_t reading : readings) {
        result.readings[i++] = reading;
    }
    return result;
}
constexpr Field skip(uint8_t bytes) {
    return Field{Take::Skip, bytes, 0, {}};
}
constexpr Condition allOr(std::initializer_list<uint8_t> flags) {
    return Condition{Condition::AllOrFlags, bitsOf(flags), 0};
}
// A request of the newer family, whose reply starts with the device clock and a byte not used.
constexpr PlanStep afterClock(Request request, Condition when, std::initializer_list<Field> values,
                              std::initializer_list<Copy> copies = {}) {
    PlanStep step{request, when, false, {Field{Take::Clock}, skip(1)}, {}};
    uint32_t i = 2;
    for (const Field& value : values) {
        step.fields[i++] = value;
    }
    i = 0;
    for (const Copy& copy : copies) {
        step.copies[i++] = copy;
    }
    return step;
}

}  // namespace movra
