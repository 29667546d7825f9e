// The descriptions of the five models, and of the codes no model carries.
#include "server/models/model.h"

namespace movra {

namespace {

constexpr uint32_t kEveryItem = 0xFFFFFFFFu;
constexpr uint8_t kNewerValues = 0x51;  // "Q"
constexpr uint8_t kNewerExtra = 0x58;   // "X"

// KMT: the clock, then all channel values in one reply and all node values in the next, each
// channel (node) as a record of its own; the status words only when asked for by name.
constexpr PlanStep kKmtPlan[] = {
    {{0xB1}, {}, false, {skip(4), Field{Take::PaddedClock}}},
    {{0xB3, {0x01}},
     {},
     false,
     {skip(4), field(Take::ChannelRecords,
                     {kChannelP, kChannelT, kChannelTo, kChannelG, kChannelM, kChannelN})},
     {{Section::Channel, kChannelQs, kChannelG}, {Section::Channel, kChannelVs, kChannelM}}},
    {{0xB3, {0x81}},
     {},
     false,
     {field(Take::NodeRecords, {kNodeWe, kNodeNe, kNodeWm, kNodeWl})},
     {{Section::Node, kNodeW, kNodeWe},
      {Section::Node, kNodeQy, kNodeNe},
      {Section::Node, kNodeGy, kNodeQy},
      {Section::Node, kNodeVy, kNodeWm},
      {Section::Node, kNodeMy, kNodeVy}}},
    {{0xA0}, {Condition::FlagsOnly, bitsOf({5})}, true, {Field{Take::StatusMask}}},
};

// KMT-V and KMT-G: every current value in one reply, grouped by quantity.
constexpr Field kGroupedValues[kMaxFields] = {
    Field{Take::Clock},
    skip(2),
    field(Take::System, {kSystemPa}),
    field(Take::Channels, {kChannelQ, kChannelG, kChannelM, kChannelP, kChannelT, kChannelN}),
    field(Take::Nodes, {kNodeN, kNodeW, kNodeGy, kNodeMy}),
    field(Take::Channels, {kChannelStatus}, 2),
};

constexpr PlanStep groupedValues(std::initializer_list<Copy> copies) {
    PlanStep step{{kNewerValues}, {}, false, {}, {}};
    for (uint32_t i = 0; i < kMaxFields; ++i) {
        step.fields[i] = kGroupedValues[i];
    }
    uint32_t i = 0;
    for (const Copy& copy : copies) {
        step.copies[i++] = copy;
    }
    return step;
}

// The channel volumes of a variant "F" come without a clock and carry the time of the values.
constexpr PlanStep kKmtVPlan[] = {
    groupedValues({}),
    {{kNewerExtra},
     {Condition::Variant, 0, 'F'},
     false,
     {skip(7), field(Take::Channels, {kChannelV})}},
};

// The KMT-G also publishes its values under the names of its gas quantities.
constexpr PlanStep kKmtGPlan[] = {
    groupedValues({{Section::Channel, kChannelDP, kChannelQ},
                   {Section::Channel, kChannelQs, kChannelG},
                   {Section::Channel, kChannelVs, kChannelM},
                   {Section::Node, kNodeQy, kNodeGy},
                   {Section::Node, kNodeVy, kNodeMy}}),
    afterClock({kNewerExtra}, allOr({10}), {field(Take::Channels, {kChannelV})}),
};

// KMT-U: one request per group of quantities, index in byte 2; every reply starts with the clock.
constexpr PlanStep kKmtUPlan[] = {
    afterClock({kNewerValues, {0}}, {}, {field(Take::Channels, {kChannelQ, kChannelP, kChannelT})},
               {{Section::Channel, kChannelDP, kChannelQ}}),
    afterClock({kNewerValues, {1}}, allOr({11, 12, 13, 14, 15, 16, 17}),
               {field(Take::Channels, {kChannelG, kChannelM, kChannelN})},
               {{Section::Channel, kChannelQs, kChannelG},
                {Section::Channel, kChannelVs, kChannelM},
                {Section::Channel, kChannelWe, kChannelM},
                {Section::Channel, kChannelNe, kChannelN}}),
    afterClock({kNewerValues, {2}}, allOr({1, 2, 4, 5}),
               {field(Take::System, {kSystemPa, kSystemTv}), field(Take::System, {kSystemWord}, 2),
                field(Take::Channels, {kChannelStatus}, 2)}),
    afterClock({kNewerValues, {3}}, allOr({24, 25, 26, 27}), {field(Take::Nodes, {kNodeN, kNodeW})},
               {{Section::Node, kNodeNe, kNodeN}, {Section::Node, kNodeWe, kNodeW}}),
    afterClock({kNewerValues, {4}}, allOr({20, 21, 22, 23, 28, 29}),
               {field(Take::Nodes, {kNodeGy, kNodeMy})},
               {{Section::Node, kNodeQy, kNodeGy},
                {Section::Node, kNodeWm, kNodeQy},
                {Section::Node, kNodeVy, kNodeMy},
                {Section::Node, kNodeWl, kNodeVy}}),
    afterClock({kNewerExtra}, allOr({10, 18}), {field(Take::Channels, {kChannelV})},
               {{Section::Channel, kChannelWc, kChannelV}}),
};

// KMT-UV: index 0 first (its reply carries nothing used), then one request per quantity.
constexpr PlanStep uvRow(uint8_t index, Take each, uint8_t reading, uint8_t flag) {
    const uint8_t width = reading == kChannelStatus && each == Take::Channels ? 2 : 4;
    return afterClock({kNewerValues, {index}}, allOr({flag}), {field(each, {reading}, width)});
}
// clang-format off
constexpr PlanStep kKmtUVPlan[] = {
    {{kNewerValues}, {}, false, {}, {}},
    uvRow(1, Take::Channels, kChannelV, 10),  uvRow(2, Take::Channels, kChannelM, 12),
    uvRow(3, Take::Channels, kChannelP, 7),   uvRow(4, Take::Channels, kChannelT, 6),
    uvRow(5, Take::Nodes, kNodeW, 25),        uvRow(7, Take::Nodes, kNodeMy, 21),
    uvRow(8, Take::Channels, kChannelQ, 8),   uvRow(9, Take::Channels, kChannelG, 11),
    uvRow(10, Take::Channels, kChannelN, 15), uvRow(12, Take::Nodes, kNodeGy, 20),
    uvRow(13, Take::Nodes, kNodeN, 24),       uvRow(100, Take::Channels, kChannelStatus, 5),
};
// clang-format on

// What KMT-UV and code 6 offer of a channel and of a node.
constexpr uint32_t kPlainChannels =
    bitsOf({kChannelT, kChannelP, kChannelQ, kChannelV, kChannelG, kChannelM, kChannelN});
constexpr uint32_t kPlainNodes = bitsOf({kNodeGy, kNodeMy, kNodeN, kNodeW});

// The newer family's line: 10-byte requests, error replies, recovery with 0x7F.
constexpr LineFacts newerLine(uint8_t replyTimeoutSec, uint8_t warmUpSec) {
    return {10, replyTimeoutSec, warmUpSec, ReplyRule::FunctionOrError, 0x7F, 0};
}

constexpr ModelDescription describe(uint8_t type, const char* name, LineFacts line,
                                    ItemsOffered items, IdentityFacts identity,
                                    std::span<const PlanStep> readPlan) {
    return {type,
            name,
            line,
            channelCountOf(type),
            nodeCountOf(type),
            items,
            identity,
            type == kTypeKmt,
            readPlan};
}

// Each model: type, name; line {frame length, reply time-out s, warm-up s, reply rule, recovery
// function, zero bytes first}; items offered {system, channel, node}; identification {node list
// selector, node members, version bytes, variant in the identity}; read plan. The counts are the
// configuration's for the type; only the KMT keeps gas volumes by node scale.
constexpr ModelDescription kModels[] = {
    describe(
        kTypeKmt, "KMT", {8, 16, 4, ReplyRule::SameFunction, 0xB1, 8},
        {0,
         bitsOf({kChannelT, kChannelTo, kChannelP, kChannelG, kChannelM, kChannelQs, kChannelVs,
                 kChannelN}),
         bitsOf({kNodeGy, kNodeMy, kNodeQy, kNodeVy, kNodeW, kNodeNe, kNodeWe, kNodeWm, kNodeWl})},
        {0, 10, bitsOf({4, 5, 6, 7}), false}, kKmtPlan),
    describe(kTypeKmtV, "KMT-V", newerLine(4, 4),
             {0, kPlainChannels & ~bitsOf({kChannelN}), kPlainNodes}, {1, 0, bitsOf({4, 5}), true},
             kKmtVPlan),
    describe(kTypeKmtG, "KMT-G", newerLine(4, 4),
             {bitsOf({kSystemPa}), kPlainChannels | bitsOf({kChannelDP, kChannelQs, kChannelVs}),
              kPlainNodes | bitsOf({kNodeQy, kNodeVy})},
             {2, 0, bitsOf({4, 5, 6}), false}, kKmtGPlan),
    describe(kTypeKmtU, "KMT-U", newerLine(12, 17),
             {bitsOf({kSystemPa, kSystemTv}), kEveryItem & ~bitsOf({kChannelTo}), kEveryItem},
             {4, 20, bitsOf({4, 5, 6, 8}), false}, kKmtUPlan),
    describe(kTypeKmtUV, "KMT-UV", newerLine(12, 17), {0, kPlainChannels, kPlainNodes},
             {2, 10, bitsOf({4, 5}), false}, kKmtUVPlan),
};

// Code 6 has counts and items, but no protocol speaks it; any other code has neither counts nor
// protocol and offers every item.
constexpr ModelDescription kCode6 =
    describe(kTypeCode6, nullptr, {}, {0, kPlainChannels, kPlainNodes}, {}, {});
constexpr ModelDescription kUnknown{0, nullptr, {}, 0, 0, {kEveryItem, kEveryItem, kEveryItem}};

constexpr bool allSafe() {
    for (const ModelDescription& model : kModels) {
        if (!describesSafely(model)) {
            return false;
        }
    }
    return true;
}
static_assert(allSafe(), "a read plan leaves its blocks or its frames");

}  // namespace

const ModelDescription& modelOf(uint8_t deviceType) {
    for (const ModelDescription& model : kModels) {
        if (model.type == deviceType) {
            return model;
        }
    }
    return deviceType == kTypeCode6 ? kCode6 : kUnknown;
}

std::span<const ModelDescription> allModels() {
    return kModels;
}

}  // namespace movra
