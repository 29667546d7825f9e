// The configured units: which readings are energies and gas volumes follows their unit kind, how
// a gas volume is kept follows the model, and the unit names printed follow both.
#include "server/poll/units.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>

namespace movra {
namespace {

Reading good(float value) {
    return Reading{std::bit_cast<uint32_t>(value), kQualityGood, {}};
}
float valueOf(const Reading& reading) {
    return std::bit_cast<float>(reading.value);
}

DeviceRecord deviceOf(uint8_t type, uint8_t energyUnit, uint8_t gasVolumeUnit) {
    DeviceRecord device;
    device.deviceType = type;
    device.energyUnit = energyUnit;
    device.gasVolumeUnit = gasVolumeUnit;
    return device;
}

// Channel 1 of a gas channel whose first node has a scale of 1.0: V, Vs and N before and after.
TEST(UnitsTest, GasVolumesAndEnergiesOfAChannelByModel) {
    struct Row {
        uint8_t type;
        uint8_t energyUnit;
        uint8_t gasVolumeUnit;
        float v, vs, n;  // expected from V 5, Vs 100, N 41.868
    };
    const Row rows[] = {
        // A KMT keeps volumes by node scale: Vs in thousands only with a scale of 1000; V, which
        // it never reads, is left as it is.
        {kTypeKmt, 1, 1, 5.0f, 100.0f * 0.001f, 41.868f / 4.1868f},
        {kTypeKmt, 0, 0, 5.0f, 100.0f, 41.868f},
        // The newer models deliver m3: both volumes of a gas channel follow the unit.
        {kTypeKmtG, 0, 1, 5.0f * 0.001f, 100.0f * 0.001f, 41.868f},
        {kTypeKmtU, 1, 0, 5.0f, 100.0f, 41.868f / 4.1868f},
    };
    ChannelDescriptor gasChannel{};
    gasChannel.gasChannel = 1;
    NodeDescriptor node{};
    node.members[0] = 1;
    node.volumeScale = 1.0f;
    for (const Row& row : rows) {
        SCOPED_TRACE(int{row.type});
        ChannelBlock block{};
        block.readings[kChannelV] = good(5.0f);
        block.readings[kChannelVs] = good(100.0f);
        block.readings[kChannelN] = good(41.868f);
        block.readings[kChannelM] = good(7.0f);
        UnitLayout layout{&gasChannel, 1, &node, 1, 1};
        convertChannelUnits(deviceOf(row.type, row.energyUnit, row.gasVolumeUnit), layout, 1,
                            block);
        EXPECT_EQ(valueOf(block.readings[kChannelV]), row.v);
        EXPECT_EQ(valueOf(block.readings[kChannelVs]), row.vs);
        EXPECT_EQ(valueOf(block.readings[kChannelN]), row.n);
        EXPECT_EQ(valueOf(block.readings[kChannelM]), 7.0f);  // no unit of its own
    }
}

TEST(UnitsTest, UnitNamesFollowTheKindTheModelAndTheConfiguration) {
    struct Row {
        uint8_t type;
        UnitKind unit;
        bool gas;
        uint8_t energyUnit;
        uint8_t gasVolumeUnit;
        std::string expected;
    };
    const Row rows[] = {
        {kTypeKmtG, UnitKind::Volume, false, 0, 1, "m3"},
        {kTypeKmtG, UnitKind::Volume, true, 0, 1, "thousand m3"},
        {kTypeKmt, UnitKind::Volume, true, 0, 1, ""},  // a KMT's V has no known unit
        {kTypeKmt, UnitKind::GasVolume, true, 0, 0, "m3"},
        {kTypeKmtU, UnitKind::GasVolume, false, 0, 1, ""},
        {kTypeKmtU, UnitKind::Energy, false, 1, 0, "Gcal"},
        {kTypeKmtV, UnitKind::Energy, false, 0, 0, "GJ"},
        {kTypeKmtUV, UnitKind::Megapascal, false, 0, 0, "MPa"},
        {kTypeKmtU, UnitKind::Kilopascal, false, 0, 0, "kPa"},
        {kTypeKmt, UnitKind::Celsius, false, 0, 0,
         "\xC2\xB0"
         "C"},
        {kTypeKmt, UnitKind::None, true, 1, 1, ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(unitText(deviceOf(row.type, row.energyUnit, row.gasVolumeUnit), modelOf(row.type),
                           row.unit, row.gas),
                  row.expected)
            << int{row.type} << " unit " << int(row.unit) << (row.gas ? " gas" : "");
    }
}

}  // namespace
}  // namespace movra
