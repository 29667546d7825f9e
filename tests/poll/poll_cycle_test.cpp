// The poll cycle with scripted protocol objects on links without a serial port, in both builds:
// the unit rules at their edges, blocks beyond the reported counts, failures and their time, the
// types without a protocol, the bounds of the catalogue and of the device table, a lack of
// memory, the stop request and the release of the port mutex.
#include "server/poll/poll_cycle.h"

#include "platform/codepage.h"
#include "platform/handle_ptr.h"
#include "server/core/log.h"
#include "server/opc/catalogue.h"
#include "tests/support/fake_clock.h"
#include "tests/support/file_time.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace movra {
namespace {

using test::ticksOf;

constexpr uint8_t kNoPortLink = 5;  // a link without a serial port: Open succeeds, nothing is sent

std::string cp1251(const char* utf8) {
    return platform::utf8ToCp1251(utf8);
}

uint32_t bitsOf(float value) {
    return std::bit_cast<uint32_t>(value);
}

// What a scripted device reports; the test may change it between cycles.
struct Script {
    uint16_t channels = 0;
    uint16_t nodes = 0;
    std::vector<ChannelDescriptor> channelDescriptors;
    std::vector<NodeDescriptor> nodeDescriptors;
    SystemBlock system{};
    std::vector<ChannelBlock> channelBlocks;
    std::vector<NodeBlock> nodeBlocks;
    bool identifyFails = false;
    bool readFails = false;
    int identifies = 0;
    int reads = 0;
    uint8_t lastVariant = 0xFF;

    explicit Script(uint8_t type)
        : channelDescriptors(channelCountOf(type)),
          nodeDescriptors(nodeCountOf(type)),
          channelBlocks(channelCountOf(type)),
          nodeBlocks(nodeCountOf(type)) {}
};

SYSTEMTIME readingTime() {
    SYSTEMTIME time{};
    time.wYear = 2025;
    time.wMonth = 11;
    time.wDay = 7;
    time.wHour = 8;
    time.wMinute = 30;
    return time;
}

Reading good(float value) {
    return Reading{bitsOf(value), kQualityGood, readingTime()};
}

template <typename T>
T* handOut(const std::vector<T>& items) {
    auto* block = static_cast<T*>(CoTaskMemAlloc(sizeof(T) * (items.empty() ? 1 : items.size())));
    if (block != nullptr && !items.empty()) {
        std::memcpy(block, items.data(), sizeof(T) * items.size());
    }
    return block;
}

// A protocol object that answers from a script instead of a line.
class ScriptedExchange : public CMovraDataExchange {
public:
    ScriptedExchange(uint8_t type, std::shared_ptr<Script> script, platform::Clock& clock)
        : CMovraDataExchange(modelOf(type), clock), script_(std::move(script)) {}

    HRESULT Identify(uint16_t* channels, uint16_t* nodes, DeviceIdentity** identity,
                     ChannelDescriptor** channelDescriptors, NodeDescriptor** nodeDescriptors,
                     uint16_t* linkError) noexcept override {
        ++script_->identifies;
        *channels = 0;
        *nodes = 0;
        *identity = nullptr;
        *channelDescriptors = nullptr;
        *nodeDescriptors = nullptr;
        if (script_->identifyFails) {
            *linkError = ERR_NO_ANSWER;
            return E_FAIL;
        }
        *linkError = ERR_NONE;
        DeviceIdentity id{};
        id.bytes[0] = 'F';
        *identity = handOut(std::vector<DeviceIdentity>{id});
        *channelDescriptors = handOut(script_->channelDescriptors);
        *nodeDescriptors = handOut(script_->nodeDescriptors);
        *channels = script_->channels;
        *nodes = script_->nodes;
        identified = 1;
        return S_OK;
    }

    HRESULT ReadValues(uint8_t variant, const ReadSelection* selection, uint16_t* channels,
                       uint16_t* nodes, SystemBlock** system, ChannelBlock** channelBlocks,
                       NodeBlock** nodeBlocks, uint16_t* linkError) noexcept override {
        ++script_->reads;
        script_->lastVariant = variant;
        *channels = 0;
        *nodes = 0;
        *system = nullptr;
        *channelBlocks = nullptr;
        *nodeBlocks = nullptr;
        if (identified == 0 || selection == nullptr || !selection->has(ReadSelection::kSelectAll)) {
            return E_FAIL;
        }
        if (script_->readFails) {
            *linkError = ERR_NO_ANSWER;
            return E_FAIL;
        }
        *linkError = ERR_NONE;
        *system = handOut(std::vector<SystemBlock>{script_->system});
        *channelBlocks = handOut(script_->channelBlocks);
        *nodeBlocks = handOut(script_->nodeBlocks);
        *channels = script_->channels;
        *nodes = script_->nodes;
        return S_OK;
    }

private:
    std::shared_ptr<Script> script_;
};

DeviceRecord deviceOf(uint8_t type, uint8_t serialLow) {
    DeviceRecord device;
    device.deviceType = type;
    device.linkType = kNoPortLink;
    device.baudCode = 4;
    device.comPort = 1;
    device.serial[2] = 0x0B;
    device.serial[3] = serialLow;
    return device;
}

class PollCycleTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(log.Open(folder.file("MovraOPCServer.exe").c_str()), 1); }

    // One script per device, in table order; the factory hands each device its own.
    std::shared_ptr<Script> scriptFor(uint8_t type) {
        scripts.push_back(std::make_shared<Script>(type));
        return scripts.back();
    }

    void configure(const std::vector<DeviceRecord>& devices, bool buildCatalogue = true) {
        configuration = ServerConfiguration{};
        configuration.devices = devices;
        configuration.pollPeriodMs = 1000;
        for (const DeviceRecord& device : devices) {
            configuration.channelCounts.push_back(channelCountOf(device.deviceType));
            configuration.nodeCounts.push_back(nodeCountOf(device.deviceType));
        }
        if (buildCatalogue) {
            ASSERT_EQ(catalogue.BuildCatalogue(configuration), S_OK);
        }
        buildTicks = ticksOf(clock.systemTime());
        poll =
            std::make_unique<PollContext>(log, catalogue, clock, StopToken(stop),
                                          [this](uint8_t type, platform::Clock& exchangeClock) {
                                              ++created;
                                              switch (creation) {
                                                  case Creation::Null:
                                                      return std::unique_ptr<CMovraDataExchange>();
                                                  case Creation::ThrowsBadAlloc:
                                                      throw std::bad_alloc();
                                                  case Creation::ThrowsOther:
                                                      throw std::runtime_error("scripted failure");
                                                  case Creation::Scripted:
                                                      break;
                                              }
                                              std::unique_ptr<CMovraDataExchange> exchange;
                                              if (created - 1 < scripts.size()) {
                                                  exchange = std::make_unique<ScriptedExchange>(
                                                      type, scripts[created - 1], exchangeClock);
                                              }
                                              return exchange;
                                          });
        poll->configure(configuration);
    }

    uint32_t runStart(uint32_t device) const {
        uint64_t start = 0;
        for (uint32_t i = 0; i < device; ++i) {
            start +=
                catalogueRunLength(configuration.channelCounts[i], configuration.nodeCounts[i]);
        }
        return static_cast<uint32_t>(start);
    }
    uint32_t channelSlot(uint32_t device, uint32_t channel, uint32_t item) const {
        return runStart(device) + kSysSlots + kChannelSlots * (channel - 1) + item;
    }
    uint32_t nodeSlot(uint32_t device, uint32_t node, uint32_t item) const {
        return runStart(device) + kSysSlots + kChannelSlots * configuration.channelCounts[device] +
               kNodeSlots * (node - 1) + item;
    }
    SlotValue slot(uint32_t index) const {
        SlotValue value{};
        EXPECT_TRUE(catalogue.readSlot(index, &value)) << "slot " << index;
        return value;
    }
    std::string logText() const { return test::ReadFileBytes(log.path()); }

    test::TempDir folder;
    test::FakeClock clock;
    std::atomic<LONG> stop{0};  // the server's stop, as the cycle is handed it
    // What the host hands each cycle; unnamed, so no other test program shares it.
    platform::UniqueHandle portMutex{CreateMutexA(nullptr, FALSE, nullptr)};
    CMovraLog log{clock};
    CMovraItem catalogue{clock};
    ServerConfiguration configuration;
    std::vector<std::shared_ptr<Script>> scripts;
    size_t created = 0;
    // How the factory answers: a scripted protocol object, none (no memory), or an exception.
    enum class Creation { Scripted, Null, ThrowsBadAlloc, ThrowsOther };
    Creation creation = Creation::Scripted;
    std::unique_ptr<PollContext> poll;
    uint64_t buildTicks = 0;
};

TEST_F(PollCycleTest, AnEmptyTableLogsTheOpeningAndOk) {
    configure({});
    poll->RunPollCycle(portMutex.get());
    EXPECT_EQ(poll->firstPassDone(), 0u);
    std::string text = logText();
    EXPECT_NE(text.find(cp1251("Обмен данными с вычислителями... Ok.\r\n\r\n")), std::string::npos)
        << text;
}

// The KMT keeps gas volumes in thousands where its node scale is 1000: with the unit thousand
// m3 such a volume stays, with m3 it is multiplied; every other gas volume is in m3. A channel
// takes the scale of the first node that lists it, or 1.0 when none does.
TEST_F(PollCycleTest, KmtVolumeScalesAndGcalFollowTheUnits) {
    for (int device = 0; device < 2; ++device) {
        std::shared_ptr<Script> script = scriptFor(kTypeKmt);
        script->channels = 10;
        script->nodes = 10;
        for (uint16_t c = 1; c <= 3; ++c) {
            script->channelDescriptors[c - 1].gasChannel = 1;
        }
        NodeDescriptor& first = script->nodeDescriptors[0];
        first.isGasNode = 1;
        first.volumeScale = 1000.0f;
        first.members[0] = 1;
        NodeDescriptor& second = script->nodeDescriptors[1];
        second.isGasNode = 1;
        second.volumeScale = 999.99f;
        second.members[0] = 1;
        second.members[1] = 1;
        for (ChannelBlock& block : script->channelBlocks) {
            block.readings[kChannelVs] = good(100.0f);
            block.readings[kChannelN] = good(41.868f);
        }
        for (NodeBlock& block : script->nodeBlocks) {
            block.readings[kNodeVy] = good(250.0f);
            block.readings[kNodeW] = good(41.868f);
        }
    }
    DeviceRecord thousands = deviceOf(kTypeKmt, 1);
    thousands.gasVolumeUnit = 1;
    thousands.energyUnit = 1;
    DeviceRecord cubicMetres = deviceOf(kTypeKmt, 2);
    configure({thousands, cubicMetres});
    poll->RunPollCycle(portMutex.get());
    poll->RunPollCycle(portMutex.get());
    ASSERT_EQ(scripts[0]->reads, 1);

    // Thousand m3, Gcal.
    EXPECT_EQ(slot(channelSlot(0, 1, 9)).value(), 100.0f);           // scale 1000: kept
    EXPECT_EQ(slot(channelSlot(0, 2, 9)).value(), 100.0f * 0.001f);  // scale 999.99
    EXPECT_EQ(slot(channelSlot(0, 3, 9)).value(), 100.0f * 0.001f);  // in no node: 1.0
    EXPECT_EQ(slot(channelSlot(0, 4, 9)).value(), 100.0f);           // not a gas channel
    const float gcal = slot(channelSlot(0, 1, 10)).value();
    EXPECT_EQ(gcal, 41.868f / 4.1868f);
    EXPECT_NEAR(gcal, 10.0f, 1e-5f);
    EXPECT_EQ(slot(nodeSlot(0, 1, 3)).value(), 250.0f);
    EXPECT_EQ(slot(nodeSlot(0, 2, 3)).value(), 250.0f * 0.001f);
    EXPECT_EQ(slot(nodeSlot(0, 3, 3)).value(), 250.0f);  // not a gas node
    EXPECT_EQ(slot(nodeSlot(0, 1, 5)).value(), 41.868f / 4.1868f);

    // m3, GJ.
    EXPECT_EQ(slot(channelSlot(1, 1, 9)).value(), 100.0f * 1000.0f);
    EXPECT_EQ(slot(channelSlot(1, 2, 9)).value(), 100.0f);
    EXPECT_EQ(slot(channelSlot(1, 3, 9)).value(), 100.0f);
    EXPECT_EQ(slot(channelSlot(1, 1, 10)).value(), 41.868f);
    EXPECT_EQ(slot(nodeSlot(1, 1, 3)).value(), 250.0f * 1000.0f);
    EXPECT_EQ(slot(nodeSlot(1, 2, 3)).value(), 250.0f);
    EXPECT_EQ(slot(nodeSlot(1, 1, 5)).value(), 41.868f);
}

// The newer models deliver m3; blocks beyond the reported counts are failures every cycle, and
// a reading the model did not supply keeps its earlier time.
TEST_F(PollCycleTest, NewerModelVolumesAndBlocksBeyondTheReportedCounts) {
    std::shared_ptr<Script> script = scriptFor(kTypeKmtG);
    script->channels = 2;
    script->nodes = 1;
    script->channelDescriptors[0].gasChannel = 1;
    script->nodeDescriptors[0].isGasNode = 1;
    script->nodeDescriptors[0].volumeScale = 1000.0f;  // not looked at for these models
    for (ChannelBlock& block : script->channelBlocks) {
        block.readings[kChannelV] = good(5000.0f);
        block.readings[kChannelVs] = good(6000.0f);
        block.readings[kChannelT] = good(71.5f);
    }
    script->nodeBlocks[0].readings[kNodeVy] = good(7000.0f);
    script->system.readings[kSystemPa] = good(101.25f);
    DeviceRecord device = deviceOf(kTypeKmtG, 1);
    device.gasVolumeUnit = 1;
    device.timestampSource = 2;  // the device's clock: failures still carry the local time
    clock.setLocalOffsetMinutes(180);
    configure({device});
    poll->RunPollCycle(portMutex.get());
    const uint64_t before = ticksOf(clock.localTime());
    poll->RunPollCycle(portMutex.get());
    ASSERT_EQ(script->reads, 1);
    EXPECT_EQ(script->lastVariant, 'F');  // byte 0 of the identity

    EXPECT_EQ(slot(runStart(0)).value(), 101.25f);
    EXPECT_EQ(slot(runStart(0)).quality, kQualityGood);
    EXPECT_EQ(ticksOf(slot(runStart(0)).lastUpdate), ticksOf(readingTime()));
    // Tx: not supplied, so value 0, bad, and still the build time.
    EXPECT_EQ(slot(runStart(0) + 1).quality, kQualityBad);
    EXPECT_EQ(ticksOf(slot(runStart(0) + 1).lastUpdate), buildTicks);

    EXPECT_EQ(slot(channelSlot(0, 1, 5)).value(), 5000.0f * 0.001f);
    EXPECT_EQ(slot(channelSlot(0, 1, 9)).value(), 6000.0f * 0.001f);
    EXPECT_EQ(slot(channelSlot(0, 2, 5)).value(), 5000.0f);
    EXPECT_EQ(slot(channelSlot(0, 2, 0)).value(), 71.5f);
    EXPECT_EQ(slot(nodeSlot(0, 1, 3)).value(), 7000.0f * 0.001f);
    for (uint32_t item = 0; item < kChannelSlots; ++item) {
        SlotValue value = slot(channelSlot(0, 3, item));
        EXPECT_EQ(value.quality, kQualityBad) << item;
        EXPECT_EQ(value.valueBits, 0u) << item;
        EXPECT_GE(ticksOf(value.lastUpdate), before) << "the local time of the attempt";
    }
    for (uint32_t node = 2; node <= 3; ++node) {
        for (uint32_t item = 0; item < kNodeSlots; ++item) {
            EXPECT_EQ(slot(nodeSlot(0, node, item)).quality, kQualityBad);
            EXPECT_GE(ticksOf(slot(nodeSlot(0, node, item)).lastUpdate), before);
        }
    }
}

// A device that stops answering: every slot, placeholders too, shows 0, bad and the time of the
// attempt (UTC here), and the cycle says not all answered.
TEST_F(PollCycleTest, AFailedReadPublishesTheFailureWithTheTimeOfTheAttempt) {
    std::shared_ptr<Script> script = scriptFor(kTypeKmtV);
    script->channels = 5;
    script->nodes = 2;
    for (ChannelBlock& block : script->channelBlocks) {
        block.readings[kChannelT] = good(55.0f);
    }
    configure({deviceOf(kTypeKmtV, 1)});
    poll->RunPollCycle(portMutex.get());
    poll->RunPollCycle(portMutex.get());
    EXPECT_EQ(slot(channelSlot(0, 5, 0)).value(), 55.0f);

    script->readFails = true;
    clock.advanceMs(60000);
    const uint64_t attempt = ticksOf(clock.systemTime());
    poll->RunPollCycle(portMutex.get());
    const uint32_t runLength = static_cast<uint32_t>(catalogueRunLength(5, 2));
    for (uint32_t k = 0; k < runLength; ++k) {
        SlotValue value = slot(runStart(0) + k);
        EXPECT_EQ(value.valueBits, 0u) << k;
        EXPECT_EQ(value.quality, kQualityBad) << k;
        EXPECT_EQ(ticksOf(value.lastUpdate), attempt) << k;
    }
    std::string text = logText();
    EXPECT_TRUE(
        text.ends_with(cp1251("Обмен данными с вычислителями... "
                              "Не все вычислители ответили на запрос!\r\n\r\n")))
        << text;
}

// A type without a protocol at the end of the table still ends the first passes, and its slots
// show the failure from the first cycle on.
TEST_F(PollCycleTest, TypesWithoutAProtocolAreFailedAndSkipped) {
    std::shared_ptr<Script> script = scriptFor(kTypeKmtU);
    script->channels = 20;
    script->nodes = 16;
    script->channelBlocks[19].readings[kChannelWc] = good(12.5f);
    configure({deviceOf(kTypeCode6, 1), deviceOf(kTypeKmtU, 2), deviceOf(0x33, 3),
               deviceOf(kTypeCode6, 4)});
    clock.advanceMs(1000);
    poll->RunPollCycle(portMutex.get());
    EXPECT_EQ(poll->firstPassDone(), 1u);
    EXPECT_EQ(created, 1u);  // only the KMT-U has a protocol object
    for (uint32_t device : {0u, 2u, 3u}) {
        const uint32_t length = static_cast<uint32_t>(catalogueRunLength(
            configuration.channelCounts[device], configuration.nodeCounts[device]));
        for (uint32_t k = 0; k < length; ++k) {
            EXPECT_EQ(slot(runStart(device) + k).quality, kQualityBad);
            EXPECT_NE(ticksOf(slot(runStart(device) + k).lastUpdate), buildTicks)
                << device << " +" << k;
        }
    }
    poll->RunPollCycle(portMutex.get());
    EXPECT_EQ(script->reads, 1);
    EXPECT_EQ(slot(channelSlot(1, 20, 13)).value(), 12.5f);
    EXPECT_EQ(platform::wideToUtf8(catalogue.itemIdAt(channelSlot(1, 20, 13))), "PKE0B02.K20.Wc");
}

// A catalogue that failed to build is empty, and one built from a shorter table ends early: the
// cycle writes nothing outside it.
TEST_F(PollCycleTest, TheSlotCursorStaysInsideTheCatalogue) {
    scriptFor(kTypeKmtUV)->channels = 10;
    configure({deviceOf(kTypeKmtUV, 1), deviceOf(kTypeCode6, 2)}, false);
    ASSERT_EQ(catalogue.slotCount(), 0u);
    poll->RunPollCycle(portMutex.get());
    poll->RunPollCycle(portMutex.get());
    EXPECT_EQ(scripts[0]->reads, 1);

    ServerConfiguration shorter;
    shorter.devices = {deviceOf(kTypeCode6, 9)};
    shorter.channelCounts = {channelCountOf(kTypeCode6)};
    shorter.nodeCounts = {nodeCountOf(kTypeCode6)};
    ASSERT_EQ(catalogue.BuildCatalogue(shorter), S_OK);
    buildTicks = ticksOf(clock.systemTime());
    poll->RunPollCycle(portMutex.get());
    // The KMT-UV's run would cover the whole shorter catalogue and more: it is not written.
    for (uint32_t k = 0; k < catalogue.slotCount(); ++k) {
        EXPECT_EQ(ticksOf(slot(k).lastUpdate), buildTicks) << k;
    }
}

// The table holds at most 100 protocol objects; a longer table is polled up to there.
TEST_F(PollCycleTest, AtMostOneHundredDevicesArePolled) {
    std::vector<DeviceRecord> devices;
    for (int i = 0; i < 101; ++i) {
        devices.push_back(deviceOf(kTypeCode6, static_cast<uint8_t>(i)));
    }
    configure(devices);
    EXPECT_EQ(poll->deviceCount(), 100u);
    clock.advanceMs(1000);
    poll->RunPollCycle(portMutex.get());
    EXPECT_EQ(poll->firstPassDone(), 1u);
    EXPECT_EQ(slot(runStart(99) + 78).quality, kQualityBad);
    EXPECT_NE(ticksOf(slot(runStart(99) + 78).lastUpdate), buildTicks);
    for (uint32_t k = 0; k < 79; ++k) {
        EXPECT_EQ(ticksOf(slot(runStart(100) + k).lastUpdate), buildTicks) << k;
    }
}

// A lack of memory, reported by the factory or thrown from the cycle, and any other exception end
// the cycle with its outcome line and leave the port free; the next cycle runs as usual.
TEST_F(PollCycleTest, AFailedCreationEndsTheCycleAndTheNextCycleRuns) {
    const struct {
        Creation creation;
        const char* outcome;
    } cases[] = {
        {Creation::Null, "Не хватает памяти. Запрос остановлен!"},
        {Creation::ThrowsBadAlloc, "Не хватает памяти. Запрос остановлен!"},
        {Creation::ThrowsOther, "Ошибка!"},
    };
    for (const auto& failing : cases) {
        SCOPED_TRACE(failing.outcome);
        scripts.clear();
        scriptFor(kTypeKmt);
        scriptFor(kTypeKmt);
        creation = failing.creation;
        created = 0;
        configure({deviceOf(kTypeKmt, 1), deviceOf(kTypeKmt, 2)});
        poll->RunPollCycle(portMutex.get());
        EXPECT_EQ(created, 1u);  // the second device was not reached
        EXPECT_EQ(poll->firstPassDone(), 0u);
        std::string text = logText();
        EXPECT_TRUE(text.ends_with(cp1251("Обмен данными с вычислителями... ") +
                                   cp1251(failing.outcome) + "\r\n\r\n"))
            << text;
        // Another thread (another program, in real life) can take the port mutex at once.
        std::future<DWORD> taken = std::async(std::launch::async, [this] {
            DWORD result = WaitForSingleObject(portMutex.get(), 0);
            if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
                ReleaseMutex(portMutex.get());
            }
            return result;
        });
        EXPECT_EQ(taken.get(), WAIT_OBJECT_0);

        creation = Creation::Scripted;
        created = 0;
        poll->RunPollCycle(portMutex.get());
        EXPECT_EQ(created, 2u);
        EXPECT_EQ(poll->firstPassDone(), 1u);
        EXPECT_EQ(scripts[0]->identifies, 1);
        EXPECT_EQ(scripts[1]->identifies, 1);
        EXPECT_TRUE(logText().ends_with(cp1251("Обмен данными с вычислителями... Ok.\r\n\r\n")));
    }
}

TEST_F(PollCycleTest, AStopBeforeADeviceEndsTheCycle) {
    scriptFor(kTypeKmtV);
    configure({deviceOf(kTypeKmtV, 1)});
    stop = 1;
    poll->RunPollCycle(portMutex.get());
    EXPECT_EQ(created, 0u);
    std::string text = logText();
    EXPECT_TRUE(text.ends_with(
        cp1251("Обмен данными с вычислителями... Запрос остановлен клиентом!\r\n\r\n")))
        << text;
}

// A start delay is kept in regular passes, in short steps that look at the stop request: a stop
// during it fails the device without a request.
TEST_F(PollCycleTest, TheStartDelayIsCutShortByAStop) {
    std::shared_ptr<Script> script = scriptFor(kTypeKmtV);
    script->channels = 1;
    DeviceRecord device = deviceOf(kTypeKmtV, 1);
    device.startDelayMs = 10000;
    configure({device});
    poll->RunPollCycle(portMutex.get());
    uint64_t slept = clock.sleptMs();
    poll->RunPollCycle(portMutex.get());
    EXPECT_GE(clock.sleptMs() - slept, 10000u);
    EXPECT_EQ(script->reads, 1);

    slept = clock.sleptMs();
    clock.setSleepHook([this, base = slept](uint64_t) {
        if (clock.sleptMs() - base >= 3000) {
            stop = 1;
        }
    });
    poll->RunPollCycle(portMutex.get());
    EXPECT_LT(clock.sleptMs() - slept, 3100u);
    EXPECT_EQ(script->reads, 1);
    EXPECT_EQ(slot(runStart(0)).quality, kQualityBad);
}

}  // namespace
}  // namespace movra
