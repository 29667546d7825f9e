// A KMT's Identify and ReadValues through a real Windows COM port: under Wine, COM<n> of the
// prefix is a pseudo-terminal whose far side is the device simulator (sim_wine_run.sh sets it up
// with a KMT of serial 0A1B, seed 7 and node 1 a gas node of scale 1000, and names the port in
// MOVRA_TEST_COM). Windows build only.
#include "server/device/connection.h"
#include "server/device/protocols.h"
#include "tools/kmt-sim/values.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <memory>

namespace movra {
namespace {

using sim::Quantity;

constexpr uint32_t kSeed = 7;

unsigned testPort() {
    const char* value = std::getenv("MOVRA_TEST_COM");
    return value != nullptr ? static_cast<unsigned>(std::atoi(value)) : 0;
}

float floatOf(const Reading& reading) {
    return std::bit_cast<float>(reading.value);
}

void expectReading(const Reading& reading, float expected, const char* what, uint32_t index) {
    EXPECT_EQ(reading.quality, kQualityGood) << what << " " << index;
    EXPECT_EQ(floatOf(reading), expected) << what << " " << index;
    EXPECT_GE(reading.timestamp.wYear, 2024) << what << " " << index;
}

TEST(WineKmtTest, IdentifiesAndReadsValuesThroughTheComPort) {
    if (testPort() == 0) {
        GTEST_SKIP() << "MOVRA_TEST_COM names no port; run through sim_wine_run.sh";
    }
    DeviceRecord device;
    device.deviceType = kTypeKmt;
    device.linkType = kLinkRs232;
    device.baudCode = 4;
    device.comPort = static_cast<uint8_t>(testPort());
    CMovraDeviceConnection connection(device, 0, platform::realClock());
    uint16_t error = 0xFFFF;
    ASSERT_EQ(connection.Open(&error), S_OK);
    std::unique_ptr<CMovraDataExchange> exchange = createDataExchange(kTypeKmt, platform::realClock());
    ASSERT_TRUE(exchange);
    exchange->SetConnection(&connection);
    exchange->SetTimestampSource(0);

    uint16_t channels = 0;
    uint16_t nodes = 0;
    platform::CoTaskMemPtr<DeviceIdentity> identity;
    platform::CoTaskMemPtr<ChannelDescriptor> channelDescriptors;
    platform::CoTaskMemPtr<NodeDescriptor> nodeDescriptors;
    ASSERT_EQ(exchange->Identify(&channels, &nodes, identity.put(), channelDescriptors.put(),
                                 nodeDescriptors.put(), &error),
              S_OK)
        << "link error " << error;
    EXPECT_EQ(channels, 10);
    EXPECT_EQ(nodes, 10);
    EXPECT_EQ(identity->bytes[2], 0x0A);
    EXPECT_EQ(identity->bytes[3], 0x1B);
    EXPECT_EQ(nodeDescriptors[0].nodeType, 7);
    EXPECT_EQ(nodeDescriptors[0].isGasNode, 1u);
    EXPECT_EQ(nodeDescriptors[0].volumeScale, 1000.0f);
    EXPECT_EQ(nodeDescriptors[0].scaleIs1000, 1u);
    EXPECT_EQ(channelDescriptors[0].gasChannel, 1u);
    EXPECT_EQ(channelDescriptors[1].gasChannel, 0u);

    const ReadSelection selection = ReadSelection::all();
    platform::CoTaskMemPtr<SystemBlock> system;
    platform::CoTaskMemPtr<ChannelBlock> channelBlocks;
    platform::CoTaskMemPtr<NodeBlock> nodeBlocks;
    ASSERT_EQ(exchange->ReadValues(identity->bytes[0], &selection, &channels, &nodes, system.put(),
                                   channelBlocks.put(), nodeBlocks.put(), &error),
              S_OK)
        << "link error " << error;
    exchange->SetConnection(nullptr);
    ASSERT_EQ(channels, 10);
    ASSERT_EQ(nodes, 10);
    // The first read of the device reports cycle 0 of its values.
    for (uint32_t c = 1; c <= 10; ++c) {
        const Reading* r = channelBlocks[c - 1].readings;
        expectReading(r[kChannelP], sim::value(kSeed, Quantity::ChannelP, c, 0), "P", c);
        expectReading(r[kChannelT], sim::value(kSeed, Quantity::ChannelT, c, 0), "T", c);
        expectReading(r[kChannelTo], sim::value(kSeed, Quantity::ChannelTo, c, 0), "To", c);
        expectReading(r[kChannelG], sim::value(kSeed, Quantity::ChannelG, c, 0), "G", c);
        expectReading(r[kChannelM], sim::value(kSeed, Quantity::ChannelM, c, 0), "M", c);
        expectReading(r[kChannelN], sim::value(kSeed, Quantity::ChannelN, c, 0), "N", c);
        expectReading(r[kChannelVs], sim::value(kSeed, Quantity::ChannelM, c, 0), "Vs", c);
        EXPECT_EQ(r[kChannelQ].quality, kQualityBad) << c;
    }
    for (uint32_t n = 1; n <= 10; ++n) {
        const Reading* r = nodeBlocks[n - 1].readings;
        expectReading(r[kNodeWe], sim::value(kSeed, Quantity::NodeWe, n, 0), "We", n);
        expectReading(r[kNodeNe], sim::value(kSeed, Quantity::NodeNe, n, 0), "Ne", n);
        expectReading(r[kNodeWm], sim::value(kSeed, Quantity::NodeWm, n, 0), "Wm", n);
        expectReading(r[kNodeWl], sim::value(kSeed, Quantity::NodeWl, n, 0), "Wl", n);
        expectReading(r[kNodeW], sim::value(kSeed, Quantity::NodeWe, n, 0), "W", n);
        EXPECT_EQ(r[kNodeN].quality, kQualityBad) << n;
    }
    EXPECT_EQ(system->readings[kSystemPa].quality, kQualityBad);
}

}  // namespace
}  // namespace movra
