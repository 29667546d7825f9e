#include "common/config/config_file.h"

#include "platform/codepage.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

// Records the largest single allocation, so the tests can tell that a damaged length field never
// turns into a request for gigabytes.
namespace {
std::atomic<size_t> largestAllocation{0};
// Called through a pointer the compiler cannot see through, so it does not take the malloc/free
// pair below for a new/free mismatch.
void (*volatile releaseBlock)(void*) = std::free;
}  // namespace

void* operator new(size_t size) {
    size_t seen = largestAllocation.load();
    while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) {
    }
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    releaseBlock(block);
}
void operator delete(void* block, size_t) noexcept {
    releaseBlock(block);
}

namespace {

using movra::ConfiguratorTable;
using movra::DeviceRecord;
using movra::LoadOutcome;
using movra::LoadResult;
using movra::ServerConfiguration;
using movra::test::ReadFileBytes;
using movra::test::TempDir;
using movra::test::WriteFileBytes;
using Bytes = std::vector<uint8_t>;

// "71 3D 8A 3F" -> bytes.
Bytes hex(const std::string& text) {
    Bytes bytes;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes u32(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

std::string asString(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

const Bytes kVersion108 = hex("71 3D 8A 3F");
const Bytes kVersion101 = hex("AE 47 81 3F");
const Bytes kVersion102 = hex("5C 8F 82 3F");
const Bytes kJustBelow102 = hex("5B 8F 82 3F");

// A device whose every field holds a value of its own, so a field out of place shows. The units,
// the timestamp source and the adapter flag have too few values to differ: they carry codes
// beyond their ranges, which both readers pass through unchanged.
DeviceRecord distinctDevice(const std::string& description) {
    DeviceRecord device;
    device.description = description;
    device.serial[3] = 0xFF;
    device.deviceType = 5;
    device.linkType = 2;
    device.baudCode = 4;
    device.comPort = 7;
    device.rs485Address = 0x2A;
    device.energyUnit = 1;
    device.gasVolumeUnit = 0x0B;
    device.timestampSource = 0x0C;
    device.viaRiAdapter = 0x0D;
    device.reserved1 = 0x1234;
    for (uint8_t i = 0; i < 4; ++i) {
        device.reserved2[i] = static_cast<uint8_t>(0xA1 + i);
    }
    for (uint8_t i = 0; i < 6; ++i) {
        device.reserved3[i] = static_cast<uint8_t>(0xB1 + i);
    }
    for (uint8_t i = 0; i < 50; ++i) {
        device.reserved4[i] = i;
    }
    device.startDelayMs = 10000;
    return device;
}

// The fixed part of distinctDevice's record after its description, without startDelayMs.
Bytes distinctFixedPart() {
    Bytes bytes =
        hex("00 00 00 FF  05 02 04 07 2A 01 0B 0C 0D  34 12  A1 A2 A3 A4  B1 B2 B3 B4 B5 B6");
    for (uint8_t i = 0; i < 50; ++i) {
        bytes.push_back(i);
    }
    return bytes;
}

DeviceRecord simpleDevice(uint8_t serialLow, uint8_t type, uint8_t link, uint8_t viaRi) {
    DeviceRecord device;
    device.description = "d" + std::to_string(serialLow);
    device.serial[3] = serialLow;
    device.deviceType = type;
    device.linkType = link;
    device.baudCode = 1;
    device.comPort = 1;
    device.rs485Address = 1;
    device.viaRiAdapter = viaRi;
    return device;
}

Bytes encode(const ConfiguratorTable& table) {
    Bytes bytes;
    EXPECT_TRUE(movra::encodeConfiguratorFile(table, bytes));
    return bytes;
}

const DeviceRecord kZeroRecord{};

// ---- Writing ----

TEST(ConfigFileWrite, EmptyListIsTwelveBytesWithPeriodZero) {
    ConfiguratorTable table;
    EXPECT_EQ(encode(table), kVersion108 + u32(0) + u32(0));

    TempDir dir;
    ASSERT_TRUE(movra::saveConfiguratorFile(dir.file("MovraOPCServer.ini"), table));
    EXPECT_EQ(ReadFileBytes(dir.file("MovraOPCServer.ini")),
              asString(kVersion108 + u32(0) + u32(0)));

    ServerConfiguration config;
    EXPECT_EQ(movra::ReadConfiguration(dir.file("MovraOPCServer.ini"), config), 1);
    EXPECT_EQ(config.deviceCount(), 0u);
    EXPECT_EQ(config.pollPeriodMs, 0u);
    EXPECT_TRUE(config.channelCounts.empty());
}

TEST(ConfigFileWrite, DeviceWithEmptyDescriptionTakes81BytesInFieldOrder) {
    ConfiguratorTable table;
    table.records[0] = distinctDevice("");
    table.count = 1;
    table.periodSec = 10;
    Bytes expected = kVersion108 + u32(1) + u32(10) + u32(0) + distinctFixedPart() + hex("10 27");
    Bytes bytes = encode(table);
    EXPECT_EQ(bytes.size(), 12u + 81u);
    EXPECT_EQ(bytes, expected);
}

TEST(ConfigFileWrite, DescriptionIsLengthThen1251BytesWithoutZero) {
    ConfiguratorTable table;
    table.records[0] = distinctDevice(platform::utf8ToCp1251("Котельная №1"));
    table.count = 1;
    Bytes bytes = encode(table);
    ASSERT_EQ(bytes.size(), 12u + 81u + 12u);
    EXPECT_EQ(Bytes(bytes.begin() + 12, bytes.begin() + 28),
              u32(12) + hex("CA EE F2 E5 EB FC ED E0 FF 20 B9 31"));
    EXPECT_EQ(Bytes(bytes.begin() + 28, bytes.begin() + 32), hex("00 00 00 FF"));
}

TEST(ConfigFileWrite, SaveRefusesWhatItCannotWriteWhole) {
    TempDir dir;
    ConfiguratorTable table;
    EXPECT_FALSE(movra::saveConfiguratorFile(dir.file("missing-folder/MovraOPCServer.ini"), table));

    table.count = movra::kMaxDevices + 1;
    Bytes bytes;
    EXPECT_FALSE(movra::encodeConfiguratorFile(table, bytes));
    EXPECT_FALSE(movra::saveConfiguratorFile(dir.file("MovraOPCServer.ini"), table));
}

// ---- Reading what was written ----

TEST(ConfigFileRead, RoundTripKeepsEveryFieldAndReservedBytes) {
    ConfiguratorTable table;
    table.records[0] = distinctDevice(platform::utf8ToCp1251("Котельная №1"));
    table.records[1] = simpleDevice(0x34, movra::kTypeKmt, movra::kLinkRs232, 0);
    table.records[1].serial[2] = 0x12;
    table.count = 2;
    table.periodSec = 3600;
    Bytes bytes = encode(table);

    ConfiguratorTable loaded;
    LoadResult result = movra::decodeConfiguratorFile(bytes, loaded);
    EXPECT_EQ(result.outcome, LoadOutcome::Loaded);
    EXPECT_EQ(result.recordsRead, 2u);
    EXPECT_EQ(result.recordsDeclared, 2u);
    EXPECT_EQ(loaded.count, 2u);
    EXPECT_EQ(loaded.periodSec, 3600u);
    EXPECT_EQ(loaded.records[0], table.records[0]);
    EXPECT_EQ(loaded.records[1], table.records[1]);
    EXPECT_EQ(loaded.records[2], kZeroRecord);
    EXPECT_EQ(encode(loaded), bytes);

    ServerConfiguration config;
    ASSERT_EQ(movra::decodeServerConfiguration(bytes, config), 1);
    ASSERT_EQ(config.deviceCount(), 2u);
    EXPECT_EQ(config.devices[0], table.records[0]);
    EXPECT_EQ(config.devices[1], table.records[1]);
    EXPECT_EQ(config.pollPeriodMs, 3600000u);
}

TEST(ConfigFileRead, Serial00FFIsStoredAsFourBytesAndReadBack) {
    TempDir dir;
    ConfiguratorTable table;
    table.records[0] = simpleDevice(0xFF, movra::kTypeKmt, movra::kLinkRs232, 0);
    table.records[0].description = "ab";
    table.count = 1;
    ASSERT_TRUE(movra::saveConfiguratorFile(dir.file("c.ini"), table));
    std::string file = ReadFileBytes(dir.file("c.ini"));
    EXPECT_EQ(file.substr(12 + 4 + 2, 4), std::string("\x00\x00\x00\xFF", 4));

    ConfiguratorTable loaded;
    EXPECT_EQ(movra::loadConfiguratorFile(dir.file("c.ini"), loaded).outcome, LoadOutcome::Loaded);
    char shown[8];
    std::snprintf(shown, sizeof shown, "%02X%02X", loaded.records[0].serial[2],
                  loaded.records[0].serial[3]);
    EXPECT_STREQ(shown, "00FF");
}

TEST(ConfigFileRead, Version101HasNoStartDelayAndIsRewrittenAs108) {
    TempDir dir;
    // Two old records of 79 + L bytes; the second one's bytes must not be taken as a delay.
    Bytes old = kVersion101 + u32(2) + u32(60) + u32(1) + hex("41") + distinctFixedPart() + u32(0) +
                distinctFixedPart();
    ASSERT_EQ(old.size(), 12u + 80u + 79u);
    WriteFileBytes(dir.file("MovraOPCServer.ini"), asString(old));

    ServerConfiguration config;
    ASSERT_EQ(movra::ReadConfiguration(dir.file("MovraOPCServer.ini"), config), 1);
    ASSERT_EQ(config.deviceCount(), 2u);
    EXPECT_EQ(config.devices[0].description, "A");
    EXPECT_EQ(config.devices[0].startDelayMs, 0u);
    EXPECT_EQ(config.devices[1].startDelayMs, 0u);
    EXPECT_EQ(config.devices[1].reserved4[49], 49u);
    EXPECT_EQ(config.pollPeriodMs, 60000u);

    ConfiguratorTable table;
    ASSERT_EQ(movra::loadConfiguratorFile(dir.file("MovraOPCServer.ini"), table).outcome,
              LoadOutcome::Loaded);
    EXPECT_EQ(table.records[0].startDelayMs, 0u);
    ASSERT_TRUE(movra::saveConfiguratorFile(dir.file("MovraOPCServer.ini"), table));
    Bytes rewritten = kVersion108 + u32(2) + u32(60) + u32(1) + hex("41") + distinctFixedPart() +
                      hex("00 00") + u32(0) + distinctFixedPart() + hex("00 00");
    EXPECT_EQ(ReadFileBytes(dir.file("MovraOPCServer.ini")), asString(rewritten));
}

TEST(ConfigFileRead, VersionTestIsAgainstSinglePrecision102) {
    Bytes record = u32(0) + distinctFixedPart() + hex("10 27");
    ServerConfiguration config;
    ASSERT_EQ(movra::decodeServerConfiguration(kVersion102 + u32(1) + u32(1) + record, config), 1);
    EXPECT_EQ(config.devices[0].startDelayMs, 10000u);

    // One step below 1.02f is an old file: the record ends before the delay.
    ASSERT_EQ(movra::decodeServerConfiguration(kJustBelow102 + u32(1) + u32(1) + record, config),
              1);
    EXPECT_EQ(config.devices[0].startDelayMs, 0u);
}

TEST(ConfigFileRead, DerivedCountsOfTheServer) {
    ConfiguratorTable table;
    table.records[0] = simpleDevice(1, movra::kTypeKmt, movra::kLinkRs232, 1);
    table.records[1] = simpleDevice(2, movra::kTypeKmtU, movra::kLinkRs485, 1);
    table.records[2] = simpleDevice(3, movra::kTypeKmtV, movra::kLinkRs485, 0);
    table.records[3] = simpleDevice(4, movra::kTypeCode6, movra::kLinkRs485, 2);
    table.records[4] = simpleDevice(5, 9, 3, 1);  // codes outside the tables pass unchanged
    table.count = 5;
    table.periodSec = 24;
    ServerConfiguration config;
    ASSERT_EQ(movra::decodeServerConfiguration(encode(table), config), 1);
    // RI adapter on RS-485: devices 2 and 4; device 1 uses it on RS-232 and does not count.
    EXPECT_EQ(config.riRs485DeviceCount, 2u);
    EXPECT_EQ(config.channelCounts, (std::vector<uint16_t>{10, 20, 5, 4, 0}));
    EXPECT_EQ(config.nodeCounts, (std::vector<uint16_t>{10, 16, 2, 2, 0}));
    EXPECT_EQ(config.devices[4].deviceType, 9u);
    EXPECT_EQ(config.devices[4].linkType, 3u);
    EXPECT_EQ(config.pollPeriodMs, 24000u);
}

TEST(ConfigFileRead, BytesAfterTheLastRecordAreIgnored) {
    ConfiguratorTable table;
    table.records[0] = simpleDevice(1, movra::kTypeKmt, movra::kLinkRs232, 0);
    table.count = 1;
    Bytes bytes = encode(table) + hex("DE AD BE EF");
    ServerConfiguration config;
    EXPECT_EQ(movra::decodeServerConfiguration(bytes, config), 1);
    ConfiguratorTable loaded;
    EXPECT_EQ(movra::decodeConfiguratorFile(bytes, loaded).outcome, LoadOutcome::Loaded);
    EXPECT_EQ(loaded.count, 1u);
}

// ---- The poll period in milliseconds ----

TEST(ConfigFilePeriod, MillisecondsBeyond32BitsAreRefusedNotWrapped) {
    ServerConfiguration config;
    Bytes largest = kVersion108 + u32(0) + u32(movra::kMaxPollPeriodSec);
    ASSERT_EQ(movra::decodeServerConfiguration(largest, config), 1);
    EXPECT_EQ(config.pollPeriodMs, 4294967000u);

    // 4294968 s would wrap to 704 ms.
    Bytes wrapping = kVersion108 + u32(0) + u32(movra::kMaxPollPeriodSec + 1);
    EXPECT_EQ(movra::decodeServerConfiguration(wrapping, config), 0);
    EXPECT_EQ(config.pollPeriodMs, 0u);

    // The configurator takes the period as stored; its own rules refuse it on save.
    ConfiguratorTable table;
    EXPECT_EQ(movra::decodeConfiguratorFile(wrapping, table).outcome, LoadOutcome::Loaded);
    EXPECT_EQ(table.periodSec, movra::kMaxPollPeriodSec + 1);
}

// ---- Damaged files ----

struct DamagedCase {
    const char* name;
    Bytes bytes;
    std::vector<DeviceRecord> kept;  // what the configurator keeps
    uint32_t declared;
    uint32_t period;
};

std::vector<DamagedCase> damagedCases() {
    ConfiguratorTable two;
    two.records[0] = simpleDevice(1, movra::kTypeKmt, movra::kLinkRs232, 0);
    two.records[1] = simpleDevice(2, movra::kTypeKmtG, movra::kLinkRs485, 1);
    two.count = 2;
    two.periodSec = 16;
    Bytes good = encode(two);
    Bytes firstRecord(good.begin() + 12, good.begin() + 12 + 81 + 2);

    ConfiguratorTable full;
    for (uint32_t i = 0; i < movra::kMaxDevices; ++i) {
        full.records[i] =
            simpleDevice(static_cast<uint8_t>(i), movra::kTypeKmt, movra::kLinkRs232, 0);
    }
    full.count = movra::kMaxDevices;
    full.periodSec = 800;
    Bytes hundred = encode(full);
    Bytes extra(good.begin() + 12, good.begin() + 12 + 83);
    Bytes hundredAndOne =
        kVersion108 + u32(101) + u32(800) + Bytes(hundred.begin() + 12, hundred.end()) + extra;

    std::vector<DeviceRecord> none;
    std::vector<DeviceRecord> first(two.records.begin(), two.records.begin() + 1);
    std::vector<DeviceRecord> both(two.records.begin(), two.records.begin() + 2);
    std::vector<DeviceRecord> hundredKept(full.records.begin(), full.records.end());
    Bytes head = kVersion108 + u32(2) + u32(16) + firstRecord;
    return {
        {"empty file", {}, none, 0, 0},
        {"header cut after the version", kVersion108, none, 0, 0},
        {"header cut inside the period", kVersion108 + u32(1) + hex("10 00"), none, 0, 0},
        {"count one, no record", kVersion108 + u32(1) + u32(16), none, 1, 16},
        {"count three, two records",
         kVersion108 + u32(3) + u32(16) + Bytes(good.begin() + 12, good.end()), both, 3, 16},
        {"count 4294967295", kVersion108 + u32(0xFFFFFFFF) + u32(16) + firstRecord, first,
         0xFFFFFFFF, 16},
        {"count 101", hundredAndOne, hundredKept, 101, 800},
        {"length past the end", head + u32(1000) + hex("41 42 43"), first, 2, 16},
        {"length 4 GB", head + u32(0xFFFFFFFF) + distinctFixedPart() + hex("00 00"), first, 2, 16},
        {"record cut in its reserved bytes", Bytes(good.begin(), good.end() - 30), first, 2, 16},
        {"record cut before its delay", Bytes(good.begin(), good.end() - 1), first, 2, 16},
    };
}

TEST(ConfigFileDamaged, ServerTreatsEveryDamageAsUnreadable) {
    for (const DamagedCase& damaged : damagedCases()) {
        SCOPED_TRACE(damaged.name);
        ServerConfiguration config;
        config.pollPeriodMs = 5;
        config.devices.resize(3);
        largestAllocation = 0;
        EXPECT_EQ(movra::decodeServerConfiguration(damaged.bytes, config), 0);
        EXPECT_LT(largestAllocation.load(), 1u << 20);
        EXPECT_EQ(config.deviceCount(), 0u);
        EXPECT_EQ(config.pollPeriodMs, 0u);
        EXPECT_EQ(config.riRs485DeviceCount, 0u);
        EXPECT_TRUE(config.channelCounts.empty());
        EXPECT_TRUE(config.nodeCounts.empty());
    }
}

TEST(ConfigFileDamaged, ConfiguratorKeepsTheWholeRecordsBeforeTheDamage) {
    for (const DamagedCase& damaged : damagedCases()) {
        SCOPED_TRACE(damaged.name);
        ConfiguratorTable table;
        table.records[50] = simpleDevice(9, 1, 1, 0);  // left over from before: must go
        table.count = 51;
        largestAllocation = 0;
        LoadResult result = movra::decodeConfiguratorFile(damaged.bytes, table);
        EXPECT_LT(largestAllocation.load(), 1u << 20);
        EXPECT_EQ(result.outcome, LoadOutcome::Damaged);
        EXPECT_EQ(result.recordsRead, damaged.kept.size());
        EXPECT_EQ(result.recordsDeclared, damaged.declared);
        EXPECT_EQ(table.count, damaged.kept.size());
        EXPECT_EQ(table.periodSec, damaged.period);
        for (size_t i = 0; i < damaged.kept.size(); ++i) {
            EXPECT_EQ(table.records[i], damaged.kept[i]) << i;
        }
        for (size_t i = damaged.kept.size(); i < movra::kMaxDevices; ++i) {
            EXPECT_EQ(table.records[i], kZeroRecord) << i;
        }
    }
}

TEST(ConfigFileDamaged, MissingFileAndDamagedFileOnDisk) {
    TempDir dir;
    ServerConfiguration config;
    EXPECT_EQ(movra::ReadConfiguration(dir.file("absent.ini"), config), 0);
    ConfiguratorTable table;
    table.count = 3;
    table.periodSec = 7;
    table.records[0].description = "old";
    LoadResult result = movra::loadConfiguratorFile(dir.file("absent.ini"), table);
    EXPECT_EQ(result.outcome, LoadOutcome::NoFile);
    EXPECT_EQ(table.count, 0u);
    EXPECT_EQ(table.periodSec, 0u);
    EXPECT_EQ(table.records[0], kZeroRecord);

    // A folder where the file should be opens on some systems and fails on others; either way
    // nothing is read from it.
    EXPECT_EQ(movra::ReadConfiguration(dir.path(), config), 0);
    EXPECT_NE(movra::loadConfiguratorFile(dir.path(), table).outcome, LoadOutcome::Loaded);

    WriteFileBytes(dir.file("cut.ini"),
                   asString(kVersion108 + u32(1) + u32(16) + u32(5) + hex("41")));
    EXPECT_EQ(movra::ReadConfiguration(dir.file("cut.ini"), config), 0);
    result = movra::loadConfiguratorFile(dir.file("cut.ini"), table);
    EXPECT_EQ(result.outcome, LoadOutcome::Damaged);
    EXPECT_EQ(result.recordsRead, 0u);
    EXPECT_EQ(table.periodSec, 16u);
}

// A description beyond what a reader looks at is damage, though the bytes are all there.
TEST(ConfigFileDamaged, FileBeyondTheReadLimit) {
    TempDir dir;
    const size_t length = movra::kMaxFileBytes;
    std::string file =
        asString(kVersion108 + u32(1) + u32(16) + u32(static_cast<uint32_t>(length)));
    file.append(length, 'x');
    file += asString(distinctFixedPart() + hex("00 00"));
    WriteFileBytes(dir.file("big.ini"), file);

    ServerConfiguration config;
    EXPECT_EQ(movra::ReadConfiguration(dir.file("big.ini"), config), 0);
    ConfiguratorTable table;
    LoadResult result = movra::loadConfiguratorFile(dir.file("big.ini"), table);
    EXPECT_EQ(result.outcome, LoadOutcome::Damaged);
    EXPECT_EQ(result.recordsRead, 0u);
}

// Every prefix of a valid file is refused by the server and read by the configurator as far as
// its whole records go; each prefix sits in a buffer of exactly its size, so a read past the end
// is an AddressSanitizer error in the sanitizer build.
TEST(ConfigFileDamaged, EveryTruncationOfAValidFile) {
    ConfiguratorTable table;
    table.records[0] = distinctDevice(platform::utf8ToCp1251("Котельная №1"));
    table.records[1] = simpleDevice(2, movra::kTypeKmtUV, movra::kLinkRs485, 1);
    table.records[2] = distinctDevice("");
    table.count = 3;
    table.periodSec = 30;
    const Bytes whole = encode(table);
    const size_t ends[] = {12 + 81 + 12, 12 + 81 + 12 + 81 + 2, whole.size()};

    for (size_t length = 0; length <= whole.size(); ++length) {
        SCOPED_TRACE(length);
        std::unique_ptr<uint8_t[]> exact(new uint8_t[length == 0 ? 1 : length]);
        std::copy(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(length), exact.get());
        std::span<const uint8_t> prefix(exact.get(), length);

        ServerConfiguration config;
        int read = movra::decodeServerConfiguration(prefix, config);
        EXPECT_EQ(read, length == whole.size() ? 1 : 0);
        EXPECT_EQ(config.deviceCount(), length == whole.size() ? 3u : 0u);

        ConfiguratorTable loaded;
        LoadResult result = movra::decodeConfiguratorFile(prefix, loaded);
        uint32_t wholeRecords = 0;
        while (wholeRecords < 3 && ends[wholeRecords] <= length) {
            ++wholeRecords;
        }
        EXPECT_EQ(result.outcome,
                  length == whole.size() ? LoadOutcome::Loaded : LoadOutcome::Damaged);
        EXPECT_EQ(result.recordsRead, wholeRecords);
        EXPECT_EQ(loaded.periodSec, length >= 12 ? 30u : 0u);
        for (uint32_t i = 0; i < wholeRecords; ++i) {
            EXPECT_EQ(loaded.records[i], table.records[i]);
        }
        EXPECT_EQ(loaded.records[wholeRecords < 3 ? wholeRecords : 3], kZeroRecord);
    }
}

}  // namespace
