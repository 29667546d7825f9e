// The model descriptions and the request builder: a description that would make a protocol write
// outside its blocks or send a parameter its frame cannot carry is refused, the codes without a
// protocol keep their counts and items, and every request frame comes out with the model's length,
// the bus address and the CRC.
#include "server/device/request_builder.h"
#include "server/models/model.h"
#include "tests/device/protocol_fake.h"

#include <gtest/gtest.h>

#include <functional>

namespace movra::test {
namespace {

// A description every mutation below starts from: a newer-family model with one plan row.
ModelDescription sound() {
    static constexpr PlanStep kPlan[] = {
        {{0x51, {2}},
         {},
         false,
         {Field{Take::Clock}, skip(1), field(Take::Channels, {kChannelV})},
         {{Section::Node, kNodeQy, kNodeGy}}},
    };
    ModelDescription model = modelOf(kTypeKmtUV);
    model.readPlan = kPlan;
    return model;
}

struct Flaw {
    const char* what;
    std::function<void(ModelDescription&, PlanStep&)> spoil;
};

TEST(ModelDescriptionTest, APlanThatWouldLeaveItsBlocksOrFramesIsRefused) {
    ASSERT_TRUE(describesSafely(sound()));
    const Flaw flaws[] = {
        {"a channel reading past the block",
         [](ModelDescription&, PlanStep& s) { s.fields[2].readings[0] = kChannelReadings; }},
        {"a node reading past the block",
         [](ModelDescription&, PlanStep& s) { s.fields[2] = field(Take::Nodes, {kNodeReadings}); }},
        {"a system reading past the block",
         [](ModelDescription&, PlanStep& s) { s.fields[2] = field(Take::System, {4}); }},
        {"a copy past the node block",
         [](ModelDescription&, PlanStep& s) { s.copies[0].to = kNodeReadings; }},
        {"a value three bytes wide", [](ModelDescription&, PlanStep& s) { s.fields[2].width = 3; }},
        {"a status mask without a requested channel",
         [](ModelDescription&, PlanStep& s) { s.fields[2] = Field{Take::StatusMask}; }},
        {"a parameter behind an 8-byte frame",
         [](ModelDescription& m, PlanStep& s) {
             m.line.frameLength = 8;
             s.request.parameters[4] = 1;
         }},
        {"a per-channel request in a frame without parameters",
         [](ModelDescription& m, PlanStep& s) {
             m.line.frameLength = 4;
             s.request.parameters[0] = 0;
             s.perChannel = true;
         }},
        {"more channels than the descriptors hold",
         [](ModelDescription& m, PlanStep&) { m.maxChannels = 21; }},
    };
    for (const Flaw& flaw : flaws) {
        ModelDescription model = sound();
        PlanStep step = model.readPlan[0];
        flaw.spoil(model, step);
        model.readPlan = std::span<const PlanStep>(&step, 1);
        EXPECT_FALSE(describesSafely(model)) << flaw.what;
    }
}

TEST(ModelDescriptionTest, CodesWithoutAProtocolKeepTheirCountsAndItems) {
    struct Row {
        uint8_t type;
        uint16_t channels;
        uint16_t nodes;
        bool offersChannelTo;  // only KMT and codes outside 1..6 offer it
        bool offersNodeN;
    };
    for (const Row& row : {Row{kTypeCode6, 4, 2, false, true}, Row{0, 0, 0, true, true},
                           Row{7, 0, 0, true, true}, Row{255, 0, 0, true, true}}) {
        SCOPED_TRACE(int{row.type});
        const ModelDescription& model = modelOf(row.type);
        EXPECT_FALSE(model.hasProtocol());
        EXPECT_EQ(model.name, nullptr);
        EXPECT_TRUE(model.readPlan.empty());
        EXPECT_EQ(model.maxChannels, row.channels);
        EXPECT_EQ(model.maxNodes, row.nodes);
        EXPECT_EQ(model.offers(Section::Channel, kChannelTo), row.offersChannelTo);
        EXPECT_EQ(model.offers(Section::Node, kNodeN), row.offersNodeN);
    }
    ASSERT_EQ(allModels().size(), 5u);
    for (const ModelDescription& model : allModels()) {
        EXPECT_EQ(&model, &modelOf(model.type));
        EXPECT_TRUE(model.hasProtocol()) << model.name;
    }
}

TEST(RequestBuilderTest, FramesCarryTheModelsLengthTheAddressAndTheCrc) {
    struct Row {
        const char* what;
        uint8_t type;
        std::function<RequestFrame(const ModelDescription&)> build;
        Bytes expected;  // without the CRC
    };
    const Row rows[] = {
        {"KMT identity",
         kTypeKmt,
         [](const ModelDescription& m) {
             return buildRequest(m, 0xB0, {0, 0, 0, 0x27});
         },
         {0x21, 0xB0, 0x00, 0x00, 0x00, 0x27}},
        {"KMT drops parameters its frame cannot carry",
         kTypeKmt,
         [](const ModelDescription& m) {
             return buildRequest(m, 0xB3, {0x81, 0, 0, 0, 9, 9});
         },
         {0x21, 0xB3, 0x81, 0x00, 0x00, 0x00}},
        {"KMT-U node list",
         kTypeKmtU,
         [](const ModelDescription& m) {
             return buildRequest(m, 0x50, {0x83, 0, 4});
         },
         {0x21, 0x50, 0x83, 0x00, 0x04, 0x00, 0x00, 0x00}},
        {"KMT recovery",
         kTypeKmt,
         [](const ModelDescription& m) { return recoveryRequest(m, 0x21); },
         {0x21, 0xB1, 0x00, 0x00, 0x00, 0x00}},
        {"KMT-G recovery",
         kTypeKmtG,
         [](const ModelDescription& m) { return recoveryRequest(m, 0x21); },
         {0x21, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    };
    for (const Row& row : rows) {
        const ModelDescription& model = modelOf(row.type);
        RequestFrame frame = row.build(model);
        ASSERT_TRUE(finalizeRequest(model, 0x21, frame.span())) << row.what;
        EXPECT_EQ(Bytes(frame.bytes.begin(), frame.bytes.begin() + frame.length),
                  withCrc(row.expected))
            << row.what;
    }
}

TEST(RequestBuilderTest, NoFrameWithoutAProtocolAndNoCrcBehindAShortBuffer) {
    EXPECT_EQ(buildRequest(modelOf(kTypeCode6), 0x51).length, 0u);
    EXPECT_EQ(recoveryRequest(modelOf(kTypeCode6), 0x21).length, 0u);
    uint8_t untouched[3] = {1, 2, 3};
    EXPECT_TRUE(finalizeRequest(modelOf(kTypeCode6), 0x21, untouched));
    EXPECT_FALSE(finalizeRequest(modelOf(kTypeKmtV), 0x21, untouched));
    EXPECT_EQ(Bytes(untouched, untouched + 3), (Bytes{1, 2, 3}));
}

}  // namespace
}  // namespace movra::test
