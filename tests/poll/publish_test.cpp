#include "server/poll/publish.h"

#include "platform/wide.h"
#include "tests/support/fake_clock.h"
#include "tests/support/file_time.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace movra {
namespace {

using platform::WString;
using test::ticksOf;

// 2026-03-01 12:00:00 UTC, the fake clock's start and so the build time.
constexpr DATE kBuildDate = 46082.5;
constexpr uint64_t kBuildFileTime = 134168400000000000ull;
// 2025-11-07 08:30:15 UTC.
constexpr DATE kReadingDate = 45968.35434027778;
constexpr uint64_t kReadingFileTime = 134069778150000000ull;
constexpr uint64_t kTicksPerSecond = 10000000;

SYSTEMTIME readingTime(WORD milliseconds = 0) {
    SYSTEMTIME time{};
    time.wYear = 2025;
    time.wMonth = 11;
    time.wDay = 7;
    time.wHour = 8;
    time.wMinute = 30;
    time.wSecond = 15;
    time.wMilliseconds = milliseconds;
    return time;
}

DWORD bitsOf(float value) {
    DWORD bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

Reading reading(float value, uint16_t quality, const SYSTEMTIME& timestamp) {
    return Reading{bitsOf(value), quality, timestamp};
}

ServerConfiguration config(std::initializer_list<uint8_t> types) {
    ServerConfiguration result;
    result.pollPeriodMs = 1000;
    uint8_t serial = 0;
    for (uint8_t type : types) {
        DeviceRecord device;
        device.deviceType = type;
        device.serial[2] = 0x0A;
        device.serial[3] = ++serial;
        result.devices.push_back(device);
        result.channelCounts.push_back(channelCountOf(type));
        result.nodeCounts.push_back(nodeCountOf(type));
    }
    return result;
}

class PublishTest : public ::testing::Test {
protected:
    test::FakeClock clock;
    CMovraItem catalogue{clock};

    void SetUp() override { ASSERT_EQ(catalogue.BuildCatalogue(config({3})), S_OK); }

    SlotValue slot(uint32_t index) {
        SlotValue value{};
        EXPECT_TRUE(catalogue.readSlot(index, &value));
        return value;
    }
};

// Slots of the KMT-G device with serial 0A01.
constexpr uint32_t kSlotK01T = 3;
const WString kIdK01T = platform::widenAscii("PKE0A01.K01.T");

TEST_F(PublishTest, WritesValueQualityAndBothTimestampsOfTheSlot) {
    ASSERT_EQ(PublishReading(reading(12.5f, 192, readingTime()), kSlotK01T, catalogue), S_OK);

    OPCITEMSTATE state{};
    ASSERT_EQ(catalogue.ReadItemState(kIdK01T.c_str(), &state), S_OK);
    EXPECT_EQ(state.vDataValue.vt, VT_R4);
    EXPECT_EQ(state.vDataValue.fltVal, 12.5f);
    EXPECT_EQ(state.wQuality, 192);
    EXPECT_EQ(ticksOf(state.ftTimeStamp), kReadingFileTime);

    ItemProperty properties[kItemPropertyCount];
    ASSERT_EQ(catalogue.CopyItemProperties(kIdK01T.c_str(), properties), S_OK);
    EXPECT_EQ(properties[1].value.vt, VT_R4);  // the type stays
    EXPECT_EQ(properties[1].value.fltVal, 12.5f);
    EXPECT_EQ(properties[2].value.vt, VT_I2);
    EXPECT_EQ(properties[2].value.iVal, 192);
    EXPECT_EQ(properties[3].value.vt, VT_DATE);
    EXPECT_DOUBLE_EQ(properties[3].value.date, kReadingDate);
    // The constant properties are not touched.
    EXPECT_EQ(properties[0].value.iVal, VT_R4);
    EXPECT_EQ(properties[4].value.lVal, OPC_READABLE);
    EXPECT_EQ(properties[5].value.fltVal, 1000.0f);

    // Only that slot changed.
    for (uint32_t other : {kSlotK01T - 1, kSlotK01T + 1}) {
        SlotValue untouched = slot(other);
        EXPECT_EQ(untouched.valueBits, 0u);
        EXPECT_EQ(untouched.quality, 0);
        EXPECT_DOUBLE_EQ(untouched.timestamp, kBuildDate);
        EXPECT_EQ(ticksOf(untouched.lastUpdate), kBuildFileTime);
    }
}

TEST_F(PublishTest, TheValueBitsArriveUnchanged) {
    // A quiet NaN with a payload, negative zero, the smallest subnormal, a plain float.
    for (DWORD bits : {0x7FC00001u, 0x80000000u, 0x00000001u, 0x41200000u, 0xFF800000u}) {
        ASSERT_EQ(PublishReading(Reading{bits, 192, readingTime()}, kSlotK01T, catalogue), S_OK);
        EXPECT_EQ(slot(kSlotK01T).valueBits, bits);
        ItemProperty properties[kItemPropertyCount];
        ASSERT_EQ(catalogue.CopyItemProperties(kIdK01T.c_str(), properties), S_OK);
        DWORD copied;
        std::memcpy(&copied, &properties[1].value.fltVal, sizeof copied);
        EXPECT_EQ(copied, bits);
    }
}

TEST_F(PublishTest, LastUpdateKeepsTheMilliseconds) {
    ASSERT_EQ(PublishReading(reading(1.0f, 192, readingTime(250)), kSlotK01T, catalogue), S_OK);
    SlotValue value = slot(kSlotK01T);
    EXPECT_EQ(ticksOf(value.lastUpdate), kReadingFileTime + kTicksPerSecond / 4);
    // The OLE date names the same second (whether it carries the fraction is the platform's).
    EXPECT_NEAR(value.timestamp, kReadingDate, 1.0 / 86400);
}

TEST_F(PublishTest, AnAllZeroTimestampKeepsBothTimesButWritesValueAndQuality) {
    // Never published: the build time stays.
    ASSERT_EQ(PublishReading(Reading{bitsOf(7.0f), 0, SYSTEMTIME{}}, kSlotK01T + 1, catalogue),
              S_OK);
    SlotValue fresh = slot(kSlotK01T + 1);
    EXPECT_EQ(fresh.value(), 7.0f);
    EXPECT_DOUBLE_EQ(fresh.timestamp, kBuildDate);
    EXPECT_EQ(ticksOf(fresh.lastUpdate), kBuildFileTime);

    // Published before: the earlier reading's time stays.
    ASSERT_EQ(PublishReading(reading(12.5f, 192, readingTime()), kSlotK01T, catalogue), S_OK);
    ASSERT_EQ(PublishReading(Reading{0, 0, SYSTEMTIME{}}, kSlotK01T, catalogue), S_OK);
    SlotValue value = slot(kSlotK01T);
    EXPECT_EQ(value.valueBits, 0u);
    EXPECT_EQ(value.quality, 0);
    EXPECT_DOUBLE_EQ(value.timestamp, kReadingDate);
    EXPECT_EQ(ticksOf(value.lastUpdate), kReadingFileTime);
}

TEST_F(PublishTest, ATimestampWithoutAFileTimeKeepsBothTimes) {
    // Year 1500 has an OLE date but no FILETIME: the two times of a slot stay one moment.
    ASSERT_EQ(PublishReading(reading(12.5f, 192, readingTime()), kSlotK01T, catalogue), S_OK);
    SYSTEMTIME early = readingTime();
    early.wYear = 1500;
    ASSERT_EQ(PublishReading(reading(3.0f, 192, early), kSlotK01T, catalogue), S_OK);
    SlotValue value = slot(kSlotK01T);
    EXPECT_EQ(value.value(), 3.0f);
    EXPECT_DOUBLE_EQ(value.timestamp, kReadingDate);
    EXPECT_EQ(ticksOf(value.lastUpdate), kReadingFileTime);

    SYSTEMTIME badMonth = readingTime();
    badMonth.wMonth = 13;
    ASSERT_EQ(PublishReading(reading(4.0f, 192, badMonth), kSlotK01T, catalogue), S_OK);
    EXPECT_EQ(slot(kSlotK01T).value(), 4.0f);
    EXPECT_EQ(ticksOf(slot(kSlotK01T).lastUpdate), kReadingFileTime);
}

TEST_F(PublishTest, ASlotBeyondTheCatalogueIsRefusedAndNothingIsWritten) {
    const uint32_t last = catalogue.slotCount() - 1;
    for (uint32_t beyond : {catalogue.slotCount(), catalogue.slotCount() + 1, 0xFFFFFFFFu}) {
        EXPECT_EQ(PublishReading(reading(9.0f, 192, readingTime()), beyond, catalogue),
                  E_INVALIDARG);
    }
    EXPECT_EQ(slot(last).valueBits, 0u);
    EXPECT_EQ(ticksOf(slot(last).lastUpdate), kBuildFileTime);
    EXPECT_EQ(PublishReading(reading(9.0f, 192, readingTime()), last, catalogue), S_OK);
    EXPECT_EQ(slot(last).value(), 9.0f);

    CMovraItem empty(clock);
    ASSERT_EQ(empty.BuildCatalogue(ServerConfiguration{}), S_OK);
    EXPECT_EQ(PublishReading(reading(9.0f, 192, readingTime()), 0, empty), E_INVALIDARG);
}

TEST_F(PublishTest, PlaceholderSlotsAreWrittenLikeAnyOther) {
    ASSERT_FALSE(catalogue.offersItem(1));
    ASSERT_EQ(PublishReading(reading(5.0f, 192, readingTime()), 1, catalogue), S_OK);
    EXPECT_EQ(slot(1).value(), 5.0f);
    EXPECT_EQ(ticksOf(slot(1).lastUpdate), kReadingFileTime);
}

TEST_F(PublishTest, ACursorWalkLandsEveryReadingOnItsItem) {
    // What the poll cycle does: one reading per slot, in slot order, over several devices.
    ASSERT_EQ(catalogue.BuildCatalogue(config({3, 1, 4, 9})), S_OK);
    ASSERT_EQ(catalogue.slotCount(), 75u + 243 + 443 + 3);
    for (uint32_t cursor = 0; cursor < catalogue.slotCount(); ++cursor) {
        ASSERT_EQ(PublishReading(reading(static_cast<float>(cursor), 192, readingTime()), cursor,
                                 catalogue),
                  S_OK);
    }
    for (uint32_t slotIndex = 0; slotIndex < catalogue.slotCount(); ++slotIndex) {
        if (!catalogue.offersItem(slotIndex)) {
            continue;
        }
        WString itemId(catalogue.itemIdAt(slotIndex));
        OPCITEMSTATE state{};
        ASSERT_EQ(catalogue.ReadItemState(itemId.c_str(), &state), S_OK);
        ASSERT_EQ(state.vDataValue.fltVal, static_cast<float>(slotIndex))
            << platform::wideToUtf8(itemId);
    }
}

// --- the lock -----------------------------------------------------------------------------------

TEST_F(PublishTest, EveryValueAccessWaitsForAHeldCatalogueMutex) {
    const std::pair<const char*, std::function<void()>> accesses[] = {
        {"PublishReading",
         [&] { PublishReading(reading(2.0f, 192, readingTime()), kSlotK01T, catalogue); }},
        {"readSlot",
         [&] {
             SlotValue value{};
             catalogue.readSlot(kSlotK01T, &value);
         }},
        {"ReadItemState",
         [&] {
             OPCITEMSTATE state{};
             catalogue.ReadItemState(kIdK01T.c_str(), &state);
         }},
        {"CopyItemProperties",
         [&] {
             ItemProperty properties[kItemPropertyCount];
             catalogue.CopyItemProperties(kIdK01T.c_str(), properties);
         }},
    };
    for (const auto& [name, access] : accesses) {
        std::unique_lock lock(catalogue.catalogueMutex());
        auto done = std::async(std::launch::async, access);
        EXPECT_EQ(done.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
            << name << " did not wait for the mutex";
        lock.unlock();
        done.get();
    }
    EXPECT_EQ(slot(kSlotK01T).value(), 2.0f);
}

TEST_F(PublishTest, CatalogueCallsWorkUnderAHeldCatalogueMutex) {
    // The mutex is recursive, so a reader of several slots may call the catalogue while it holds
    // the lock.
    std::lock_guard lock(catalogue.catalogueMutex());
    ASSERT_EQ(PublishReading(reading(6.0f, 192, readingTime()), kSlotK01T, catalogue), S_OK);
    OPCITEMSTATE state{};
    EXPECT_EQ(catalogue.ReadItemState(kIdK01T.c_str(), &state), S_OK);
    EXPECT_EQ(state.vDataValue.fltVal, 6.0f);
    EXPECT_EQ(catalogue.readSlotLocked(kSlotK01T).value(), 6.0f);
}

// Publication n carries the value n, the quality n and the time build + n seconds, so
// every field tells which publication it came from; a reader that sees fields of two
// publications, or goes back to an older one, has seen a torn slot. A tear needs a reader to run
// inside the few stores of one write, so this is the load test; the test above proves that each
// path takes the lock, and the thread sanitizer sees any unguarded access here.
TEST_F(PublishTest, ReadersNeverSeeATornSlot) {
    constexpr uint32_t kPublications = 20000;  // below 12 hours of seconds: same day
    std::atomic<uint32_t> readersReady{0};
    std::atomic<bool> writerDone{false};
    std::atomic<uint32_t> torn{0};
    std::atomic<uint64_t> reads{0};

    // Checks the fields one read returned; the date or the FILETIME is absent where the read
    // does not return it.
    auto check = [&](float value, WORD quality, const DATE* date, const FILETIME* fileTime,
                     uint32_t& previous) {
        const auto n = static_cast<uint32_t>(value);
        bool consistent =
            static_cast<float>(n) == value && quality == (n & 0xFFFF) && n >= previous;
        if (date != nullptr) {
            consistent = consistent && std::fabs(*date - (kBuildDate + n / 86400.0)) < 0.25 / 86400;
        }
        if (fileTime != nullptr) {
            consistent = consistent && ticksOf(*fileTime) == kBuildFileTime + n * kTicksPerSecond;
        }
        if (!consistent) {
            torn.fetch_add(1);
        }
        previous = n;
        reads.fetch_add(1);
    };

    auto reader = [&](bool throughItemIds) {
        uint32_t previous = 0;
        readersReady.fetch_add(1);
        bool last = false;
        while (!last) {
            last = writerDone.load();  // one more round after the writer has finished
            if (!throughItemIds) {
                SlotValue value{};
                catalogue.readSlot(kSlotK01T, &value);
                check(value.value(), value.quality, &value.timestamp, &value.lastUpdate, previous);
                continue;
            }
            OPCITEMSTATE state{};
            catalogue.ReadItemState(kIdK01T.c_str(), &state);
            check(state.vDataValue.fltVal, state.wQuality, nullptr, &state.ftTimeStamp, previous);
            ItemProperty properties[kItemPropertyCount];
            catalogue.CopyItemProperties(kIdK01T.c_str(), properties);
            check(properties[1].value.fltVal, static_cast<WORD>(properties[2].value.iVal),
                  &properties[3].value.date, nullptr, previous);
        }
    };

    std::thread first(reader, false);
    std::thread second(reader, true);
    while (readersReady.load() < 2) {
        std::this_thread::yield();
    }
    for (uint32_t n = 1; n <= kPublications; ++n) {
        SYSTEMTIME time = clock.systemTime();
        time.wHour = static_cast<WORD>(12 + n / 3600);
        time.wMinute = static_cast<WORD>(n % 3600 / 60);
        time.wSecond = static_cast<WORD>(n % 60);
        ASSERT_EQ(PublishReading(Reading{bitsOf(static_cast<float>(n)),
                                         static_cast<uint16_t>(n & 0xFFFF), time},
                                 kSlotK01T, catalogue),
                  S_OK);
    }
    writerDone.store(true);
    first.join();
    second.join();

    EXPECT_EQ(torn.load(), 0u);
    EXPECT_GE(reads.load(), 3u);
    EXPECT_EQ(slot(kSlotK01T).value(), static_cast<float>(kPublications));
}

}  // namespace
}  // namespace movra
