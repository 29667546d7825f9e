#include "server/opc/catalogue.h"

#include "platform/wide.h"
#include "tests/support/fake_clock.h"
#include "tests/support/file_time.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace movra {
namespace {

using platform::WString;
using test::ticksOf;

struct Device {
    uint8_t type;
    uint16_t serial;
};

// Channel and node counts as the configuration reader derives them from the type.
ServerConfiguration makeConfig(const std::vector<Device>& devices, uint32_t pollPeriodMs = 1000) {
    ServerConfiguration config;
    config.pollPeriodMs = pollPeriodMs;
    for (const Device& device : devices) {
        DeviceRecord record;
        record.deviceType = device.type;
        record.serial[2] = static_cast<uint8_t>(device.serial >> 8);
        record.serial[3] = static_cast<uint8_t>(device.serial);
        config.devices.push_back(record);
        config.channelCounts.push_back(channelCountOf(device.type));
        config.nodeCounts.push_back(nodeCountOf(device.type));
    }
    return config;
}

WString id(const char* text) {
    return platform::widenAscii(text);
}

std::string narrow(platform::WStringView text) {
    return platform::wideToUtf8(text);
}

// 2026-03-01 12:00:00 UTC, the fake clock's start: as an OLE date and as a FILETIME.
constexpr DATE kBuildDate = 46082.5;
constexpr uint64_t kBuildFileTime = 134168400000000000ull;

class CatalogueTest : public ::testing::Test {
protected:
    test::FakeClock clock;
    CMovraItem catalogue{clock};

    void build(const std::vector<Device>& devices, uint32_t pollPeriodMs = 1000) {
        ASSERT_EQ(catalogue.BuildCatalogue(makeConfig(devices, pollPeriodMs)), S_OK);
    }
    uint32_t slotOf(const char* itemId) { return catalogue.findSlot(id(itemId).c_str()); }
    bool known(const char* itemId) { return catalogue.ValidateItemID(id(itemId).c_str()) == S_OK; }
};

// --- slot order and availability ---------------------------------------------------------------

TEST_F(CatalogueTest, EveryModelCodeHasItsSlotAndItemCounts) {
    struct Expected {
        uint8_t type;
        uint32_t slots;
        uint32_t items;
    };
    const Expected table[] = {{1, 243, 170}, {2, 93, 38}, {3, 75, 49}, {4, 443, 422}, {5, 203, 94},
                              {6, 79, 36},   {0, 3, 3},   {7, 3, 3},   {255, 3, 3}};
    for (const Expected& expected : table) {
        SCOPED_TRACE(testing::Message() << "device type " << int{expected.type});
        build({{expected.type, 0x12AB}});
        EXPECT_EQ(catalogue.slotCount(), expected.slots);
        EXPECT_EQ(catalogue.itemCount(), expected.items);
        // Every offered slot is found at itself, every other one carries the placeholder.
        uint32_t offered = 0;
        for (uint32_t slot = 0; slot < catalogue.slotCount(); ++slot) {
            if (catalogue.offersItem(slot)) {
                ++offered;
                EXPECT_EQ(catalogue.findSlot(catalogue.itemIdAt(slot)), slot);
            } else {
                EXPECT_EQ(narrow(catalogue.itemIdAt(slot)), "NOT_ID");
            }
        }
        EXPECT_EQ(offered, expected.items);
    }
}

TEST_F(CatalogueTest, DevicesFollowOneAnotherInConfigurationOrder) {
    build({{1, 0x0001}, {2, 0x0002}, {3, 0x0003}, {4, 0x0004}, {5, 0x0005}, {6, 0x0006}, {9, 0x9}});
    EXPECT_EQ(catalogue.slotCount(), 243u + 93 + 75 + 443 + 203 + 79 + 3);
    EXPECT_EQ(catalogue.itemCount(), 170u + 38 + 49 + 422 + 94 + 36 + 3);
    // The first offered item of each device sits where its run begins.
    EXPECT_EQ(slotOf("PKE0001.K01.T"), 3u);
    EXPECT_EQ(slotOf("PKE0002.K01.T"), 243u + 3);
    EXPECT_EQ(slotOf("PKE0003.SYS.Pa"), 243u + 93);
    EXPECT_EQ(slotOf("PKE0004.SYS.Pa"), 243u + 93 + 75);
    EXPECT_EQ(slotOf("PKE0005.K01.T"), 243u + 93 + 75 + 443 + 3);
    EXPECT_EQ(slotOf("PKE0006.U02.W"), 243u + 93 + 75 + 443 + 203 + 3 + 4 * 14 + 10 + 5);
    EXPECT_EQ(slotOf("PKE0009.SYS.Tx"), 243u + 93 + 75 + 443 + 203 + 79 + 1);
}

TEST_F(CatalogueTest, MissingCountTablesAreDerivedFromTheType) {
    ServerConfiguration config = makeConfig({{4, 0x12AB}, {3, 0x0A1B}});
    config.channelCounts.clear();
    config.nodeCounts.clear();
    ASSERT_EQ(catalogue.BuildCatalogue(config), S_OK);
    EXPECT_EQ(catalogue.slotCount(), 443u + 75);
    EXPECT_EQ(slotOf("PKE0A1B.SYS.Pa"), 443u);
}

TEST_F(CatalogueTest, KmtGDeviceSlotBySlot) {
    build({{3, 0x0A1B}});
    const char* channelPattern[] = {"T", "",   "P",  "Q", "dP", "V", "G",
                                    "M", "Qs", "Vs", "N", "",   "",  ""};
    const char* nodePattern[] = {"Gy", "My", "Qy", "Vy", "N", "W", "", "", "", ""};
    std::vector<std::string> expected = {"PKE0A1B.SYS.Pa", "NOT_ID", "NOT_ID"};
    for (int k = 1; k <= 3; ++k) {
        for (const char* name : channelPattern) {
            expected.push_back(*name ? "PKE0A1B.K0" + std::to_string(k) + "." + name : "NOT_ID");
        }
    }
    for (int u = 1; u <= 3; ++u) {
        for (const char* name : nodePattern) {
            expected.push_back(*name ? "PKE0A1B.U0" + std::to_string(u) + "." + name : "NOT_ID");
        }
    }
    ASSERT_EQ(expected.size(), 75u);
    ASSERT_EQ(catalogue.slotCount(), 75u);
    EXPECT_EQ(catalogue.itemCount(), 49u);
    for (uint32_t slot = 0; slot < 75; ++slot) {
        EXPECT_EQ(narrow(catalogue.itemIdAt(slot)), expected[slot]) << "slot " << slot;
        EXPECT_EQ(catalogue.offersItem(slot), expected[slot] != "NOT_ID") << "slot " << slot;
    }
    // The anchors of the layout, written out.
    EXPECT_EQ(narrow(catalogue.itemIdAt(3)), "PKE0A1B.K01.T");
    EXPECT_EQ(narrow(catalogue.itemIdAt(13)), "PKE0A1B.K01.N");
    EXPECT_EQ(narrow(catalogue.itemIdAt(17)), "PKE0A1B.K02.T");
    EXPECT_EQ(narrow(catalogue.itemIdAt(45)), "PKE0A1B.U01.Gy");
    EXPECT_EQ(narrow(catalogue.itemIdAt(50)), "PKE0A1B.U01.W");
    EXPECT_EQ(narrow(catalogue.itemIdAt(74)), "NOT_ID");
    EXPECT_TRUE(catalogue.itemIdAt(75).empty());
    EXPECT_FALSE(catalogue.offersItem(75));
}

TEST_F(CatalogueTest, KmtUOffersItsLastChannelAndNodeAndNothingBeyond) {
    build({{4, 0x12AB}});
    EXPECT_EQ(catalogue.slotCount(), 443u);
    EXPECT_EQ(slotOf("PKE12AB.SYS.Pa"), 0u);
    EXPECT_EQ(slotOf("PKE12AB.SYS.Tv"), 2u);
    EXPECT_EQ(slotOf("PKE12AB.K20.Wc"), 3u + 19 * 14 + 13);
    EXPECT_EQ(slotOf("PKE12AB.U16.Wl"), 442u);
    EXPECT_FALSE(known("PKE12AB.K21.T"));
    EXPECT_FALSE(known("PKE12AB.U17.Gy"));
    EXPECT_FALSE(known("PKE12AB.K00.T"));
    EXPECT_FALSE(known("PKE12AB.U00.Gy"));
    EXPECT_FALSE(known("PKE12AB.K01.To"));
}

TEST_F(CatalogueTest, KmtOffersToButNotQ) {
    build({{1, 0x12AB}});
    EXPECT_TRUE(known("PKE12AB.K01.To"));
    EXPECT_FALSE(known("PKE12AB.K01.Q"));
    EXPECT_FALSE(known("PKE12AB.SYS.Pa"));
    EXPECT_TRUE(known("PKE12AB.U10.Wl"));
    EXPECT_FALSE(known("PKE12AB.U01.N"));
}

TEST_F(CatalogueTest, TxIsOfferedOnlyByCodesWithoutAModel) {
    for (int type : {1, 2, 3, 4, 5, 6}) {
        build({{static_cast<uint8_t>(type), 0x12AB}});
        EXPECT_FALSE(known("PKE12AB.SYS.Tx")) << "type " << type;
        EXPECT_EQ(narrow(catalogue.itemIdAt(1)), "NOT_ID") << "type " << type;
    }
    // A code outside 1..6 has no availability column: all three SYS items, nothing else.
    build({{0, 0x12AB}});
    EXPECT_TRUE(known("PKE12AB.SYS.Pa"));
    EXPECT_TRUE(known("PKE12AB.SYS.Tx"));
    EXPECT_TRUE(known("PKE12AB.SYS.Tv"));
}

TEST_F(CatalogueTest, SectionNumbersBeyondTwoDigitsStayPlaceholders) {
    // No model has more than 20 channels, but the counts come from the table as given.
    ServerConfiguration config = makeConfig({{4, 0x12AB}});
    config.channelCounts = {100};
    config.nodeCounts = {0};
    ASSERT_EQ(catalogue.BuildCatalogue(config), S_OK);
    EXPECT_EQ(catalogue.slotCount(), 3u + 100 * 14);
    EXPECT_EQ(catalogue.itemCount(), 2u + 99 * 13);
    EXPECT_EQ(slotOf("PKE12AB.K99.Wc"), 3u + 98 * 14 + 13);
    for (uint32_t slot = 3 + 99 * 14; slot < catalogue.slotCount(); ++slot) {
        EXPECT_EQ(narrow(catalogue.itemIdAt(slot)), "NOT_ID") << "slot " << slot;
    }
    EXPECT_FALSE(known("PKE12AB.K100.T"));
}

// --- lookups
// ---------------------------------------------------------------------------------------

TEST_F(CatalogueTest, LookupIsExactAndCaseSensitive) {
    build({{4, 0x12AB}, {3, 0x0A1B}});
    ASSERT_TRUE(known("PKE12AB.K01.T"));
    ASSERT_TRUE(known("PKE0A1B.K01.dP"));
    for (const char* text : {"pke12ab.k01.t", "PKE12ab.K01.T", "PKE12AB.k01.T", "PKE12AB.K01.t",
                             "PKE0a1b.K01.dP", "PKE0A1B.K01.DP", "PKE12AB.K1.T", "PKE12AB.K01.",
                             "PKE12AB.K01", "PKE12AB", " PKE12AB.K01.T", "PKE12AB.K01.T ",
                             "PKE12AB.K01.TT", "PKE12AB.K01.T.", "PKE12AB..K01.T", ""}) {
        EXPECT_FALSE(known(text)) << '"' << text << '"';
        EXPECT_EQ(slotOf(text), CMovraItem::kNoSlot) << '"' << text << '"';
    }
    EXPECT_EQ(catalogue.ValidateItemID(nullptr), OPC_E_UNKNOWNITEMID);
}

TEST_F(CatalogueTest, LongOrUnterminatedTextsAreNotReadPastTheLongestId) {
    build({{4, 0x12AB}});
    WString longText = id("PKE12AB.K01.Wc") + WString(2000, U16('x'));
    EXPECT_FALSE(catalogue.ValidateItemID(longText.c_str()) == S_OK);
    // 15 units and no terminator: the lookup must stop inside the buffer (checked by ASan); one
    // unit more than the longest ID tells that it is no ID.
    std::unique_ptr<WCHAR[]> unterminated(new WCHAR[15]);
    WString fifteen = id("PKE12AB.K01.Wcx");
    std::copy(fifteen.begin(), fifteen.end(), unterminated.get());
    EXPECT_EQ(catalogue.ValidateItemID(unterminated.get()), OPC_E_UNKNOWNITEMID);
    // The view form compares the whole view.
    EXPECT_EQ(catalogue.findSlot(platform::WStringView(longText).substr(0, 14)), 16u);
    EXPECT_EQ(catalogue.findSlot(platform::WStringView(longText).substr(0, 15)),
              CMovraItem::kNoSlot);
}

TEST_F(CatalogueTest, ThePlaceholderTextIsNotAnItemId) {
    build({{3, 0x0A1B}});
    ASSERT_EQ(narrow(catalogue.itemIdAt(1)), "NOT_ID");
    const ItemRecord dummy{};
    const ItemRecord* record = &dummy;
    EXPECT_EQ(catalogue.FindItem(kNotId, &record), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(catalogue.ValidateItemID(kNotId), OPC_E_UNKNOWNITEMID);
    VARTYPE type = VT_R4;
    EXPECT_EQ(catalogue.GetCanonicalType(kNotId, &type), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(type, 0);
}

TEST_F(CatalogueTest, DuplicateSerialsResolveToTheFirstSlotCarryingTheId) {
    build({{4, 0x12AB}, {4, 0x12AB}});
    EXPECT_EQ(catalogue.slotCount(), 886u);
    EXPECT_EQ(catalogue.itemCount(), 844u);
    EXPECT_EQ(slotOf("PKE12AB.SYS.Pa"), 0u);
    EXPECT_EQ(slotOf("PKE12AB.U16.Wl"), 442u);
    EXPECT_EQ(narrow(catalogue.itemIdAt(443)), "PKE12AB.SYS.Pa");

    // A KMT offers no SYS.Pa, so the KMT-G behind it carries the first one.
    build({{1, 0x12AB}, {3, 0x12AB}});
    EXPECT_EQ(slotOf("PKE12AB.SYS.Pa"), 243u);
    EXPECT_EQ(slotOf("PKE12AB.K01.T"), 3u);
    EXPECT_EQ(slotOf("PKE12AB.K01.Q"), 243u + 3 + 3);
}

TEST_F(CatalogueTest, EveryItemOfAHundredKmtUDevicesIsFoundAtItsSlot) {
    std::vector<Device> devices;
    for (uint16_t i = 1; i <= 100; ++i) {
        devices.push_back({4, static_cast<uint16_t>(i * 0x0101)});
    }
    build(devices);
    ASSERT_EQ(catalogue.slotCount(), 44300u);
    ASSERT_EQ(catalogue.itemCount(), 42200u);
    uint32_t found = 0;
    for (uint32_t slot = 0; slot < catalogue.slotCount(); ++slot) {
        if (catalogue.offersItem(slot)) {
            WString text(catalogue.itemIdAt(slot));
            ASSERT_EQ(catalogue.findSlot(text.c_str()), slot) << narrow(text);
            ++found;
        }
    }
    EXPECT_EQ(found, 42200u);
    EXPECT_EQ(slotOf("PKE6464.U16.Wl"), 44299u);
}

TEST_F(CatalogueTest, FindItemHandsOutTheSlotsRecord) {
    build({{3, 0x0A1B}});
    const ItemRecord* record = nullptr;
    ASSERT_EQ(catalogue.FindItem(id("PKE0A1B.U01.Gy").c_str(), &record), S_OK);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(catalogue.slotOf(record), 45u);
    EXPECT_EQ(narrow(record->itemId), "PKE0A1B.U01.Gy");

    // An unknown ID clears a pointer that held something before.
    EXPECT_EQ(catalogue.FindItem(id("PKE0A1B.U01.Ne").c_str(), &record), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(catalogue.slotOf(nullptr), CMovraItem::kNoSlot);
}

// --- the empty catalogue, failures and out-parameters --------------------------------------------

TEST_F(CatalogueTest, AnEmptyTableGivesAnEmptyCatalogue) {
    build({});
    EXPECT_EQ(catalogue.slotCount(), 0u);
    EXPECT_EQ(catalogue.itemCount(), 0u);
    const WString text = id("PKE12AB.K01.T");

    const ItemRecord dummy{};
    const ItemRecord* record = &dummy;
    EXPECT_EQ(catalogue.FindItem(text.c_str(), &record), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(catalogue.ValidateItemID(text.c_str()), OPC_E_UNKNOWNITEMID);
    VARTYPE type = 0xFFFF;
    EXPECT_EQ(catalogue.GetCanonicalType(text.c_str(), &type), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(type, 0);
    ItemProperty properties[kItemPropertyCount];
    for (ItemProperty& property : properties) {
        property.id = 99;
        property.type = VT_BSTR;
        property.value.vt = VT_R8;
    }
    EXPECT_EQ(catalogue.CopyItemProperties(text.c_str(), properties), OPC_E_UNKNOWNITEMID);
    for (const ItemProperty& property : properties) {
        EXPECT_EQ(property.id, 0u);
        EXPECT_EQ(property.description, nullptr);
        EXPECT_EQ(property.type, VT_EMPTY);
        EXPECT_EQ(property.value.vt, VT_EMPTY);
    }
    EXPECT_TRUE(catalogue.itemIdAt(0).empty());
    SlotValue value{};
    EXPECT_FALSE(catalogue.readSlot(0, &value));
    EXPECT_FALSE(catalogue.writeSlot(0, 1, 192, nullptr));
}

TEST_F(CatalogueTest, NullOutParametersAreRefused) {
    build({{4, 0x12AB}});
    const WString text = id("PKE12AB.K01.T");
    EXPECT_EQ(catalogue.FindItem(text.c_str(), nullptr), E_INVALIDARG);
    EXPECT_EQ(catalogue.CopyItemProperties(text.c_str(), nullptr), E_INVALIDARG);
    EXPECT_EQ(catalogue.GetCanonicalType(text.c_str(), nullptr), E_INVALIDARG);
    EXPECT_EQ(catalogue.ReadItemState(text.c_str(), nullptr), E_INVALIDARG);
}

TEST_F(CatalogueTest, ATableBeyondAnyConfigurationIsRefusedAsOutOfMemory) {
    build({{4, 0x12AB}});
    ServerConfiguration config = makeConfig(std::vector<Device>(11, Device{4, 0x12AB}));
    config.channelCounts.assign(11, 0xFFFF);
    config.nodeCounts.assign(11, 0xFFFF);
    EXPECT_EQ(catalogue.BuildCatalogue(config), E_OUTOFMEMORY);
    // The earlier build is gone: the catalogue behaves as an empty one.
    EXPECT_EQ(catalogue.slotCount(), 0u);
    EXPECT_EQ(catalogue.itemCount(), 0u);
    EXPECT_FALSE(known("PKE12AB.K01.T"));
    EXPECT_EQ(catalogue.memoryBytes(), 0u);
}

TEST_F(CatalogueTest, ARebuildReplacesTheSlots) {
    build({{4, 0x12AB}});
    ASSERT_TRUE(known("PKE12AB.K01.T"));
    build({{3, 0x0A1B}});
    EXPECT_EQ(catalogue.slotCount(), 75u);
    EXPECT_FALSE(known("PKE12AB.K01.T"));
    EXPECT_TRUE(known("PKE0A1B.K01.T"));
    // The larger build's memory is given back: 75 slots and an index of 128 buckets remain.
    EXPECT_EQ(catalogue.memoryBytes(), 75 * sizeof(ItemRecord) + 128 * sizeof(uint32_t));
}

// --- properties and item state -------------------------------------------------------------------

TEST_F(CatalogueTest, PropertiesStartWithTheirBuildValues) {
    build({{4, 0x12AB}}, 15000);
    ItemProperty properties[kItemPropertyCount];
    ASSERT_EQ(catalogue.CopyItemProperties(id("PKE12AB.K01.T").c_str(), properties), S_OK);

    const char* descriptions[] = {
        "Item Canonical DataType", "Item Value",         "Item Quality",
        "Item Timestamp",          "Item Access Rights", "Server Scan Rate"};
    const VARTYPE types[] = {VT_I2, VT_R4, VT_I2, VT_DATE, VT_I4, VT_R4};
    for (uint32_t i = 0; i < kItemPropertyCount; ++i) {
        SCOPED_TRACE(testing::Message() << "property " << i + 1);
        EXPECT_EQ(properties[i].id, i + 1);
        ASSERT_NE(properties[i].description, nullptr);
        EXPECT_EQ(narrow(properties[i].description), descriptions[i]);
        EXPECT_EQ(properties[i].type, types[i]);
        EXPECT_EQ(properties[i].value.vt, types[i]);
        EXPECT_EQ(kItemProperties[i].id, i + 1);
        EXPECT_EQ(kItemProperties[i].type, types[i]);
    }
    EXPECT_EQ(properties[0].value.iVal, VT_R4);
    EXPECT_EQ(properties[1].value.fltVal, 0.0f);
    EXPECT_EQ(properties[2].value.iVal, 0);
    EXPECT_DOUBLE_EQ(properties[3].value.date, kBuildDate);
    EXPECT_EQ(properties[4].value.lVal, OPC_READABLE);
    EXPECT_EQ(properties[5].value.fltVal, 15000.0f);
    EXPECT_EQ(catalogue.scanRate(), 15000.0f);
}

TEST_F(CatalogueTest, EveryItemIsAReadOnlyFloatWithThePollPeriodAsScanRate) {
    build({{1, 0x0001}, {2, 0x0002}, {3, 0x0003}, {4, 0x0004}, {5, 0x0005}, {6, 0x0006}}, 60000);
    uint32_t checked = 0;
    for (uint32_t slot = 0; slot < catalogue.slotCount(); ++slot) {
        if (!catalogue.offersItem(slot)) {
            continue;
        }
        WString text(catalogue.itemIdAt(slot));
        VARTYPE type = 0;
        ASSERT_EQ(catalogue.GetCanonicalType(text.c_str(), &type), S_OK);
        ASSERT_EQ(type, VT_R4);
        ItemProperty properties[kItemPropertyCount];
        ASSERT_EQ(catalogue.CopyItemProperties(text.c_str(), properties), S_OK);
        ASSERT_EQ(properties[4].value.lVal, OPC_READABLE);
        ASSERT_EQ(properties[5].value.fltVal, 60000.0f) << narrow(text);
        ++checked;
    }
    EXPECT_EQ(checked, catalogue.itemCount());
}

TEST_F(CatalogueTest, AnUnpublishedItemReadsZeroBadAndTheBuildTime) {
    build({{3, 0x0A1B}});
    clock.advanceMs(5000);
    OPCITEMSTATE state;
    state.hClient = 0x1234;
    state.wQuality = 0xFFFF;
    state.vDataValue.vt = VT_BSTR;
    ASSERT_EQ(catalogue.ReadItemState(id("PKE0A1B.K03.Vs").c_str(), &state), S_OK);
    EXPECT_EQ(state.hClient, 0x1234u);  // the caller's
    EXPECT_EQ(state.vDataValue.vt, VT_R4);
    EXPECT_EQ(state.vDataValue.fltVal, 0.0f);
    EXPECT_EQ(state.wQuality, OPC_QUALITY_BAD);
    EXPECT_EQ(ticksOf(state.ftTimeStamp), kBuildFileTime);
}

TEST_F(CatalogueTest, AnUnknownItemReadsEmptyBadAndTheCurrentTime) {
    build({{3, 0x0A1B}});
    clock.advanceMs(5000);
    OPCITEMSTATE state;
    state.hClient = 0x1234;
    state.wQuality = OPC_QUALITY_GOOD;
    state.vDataValue.vt = VT_R4;
    EXPECT_EQ(catalogue.ReadItemState(id("PKE0A1B.K03.Ne").c_str(), &state), E_FAIL);
    EXPECT_EQ(state.hClient, 0x1234u);
    EXPECT_EQ(state.vDataValue.vt, VT_EMPTY);
    EXPECT_EQ(state.wQuality, OPC_QUALITY_BAD);
    EXPECT_EQ(ticksOf(state.ftTimeStamp), kBuildFileTime + 5000ull * 10000);

    EXPECT_EQ(catalogue.ReadItemState(nullptr, &state), E_FAIL);
    EXPECT_EQ(state.vDataValue.vt, VT_EMPTY);
}

}  // namespace
}  // namespace movra
