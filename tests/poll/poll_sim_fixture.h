// The poll cycle against the real simulator program on pseudo-terminals (native build): a fixture
// that starts kmt-sim lines, configures the devices, runs cycles on a fake clock and checks every
// slot of a device's run against values predicted from the simulator's value function.
#pragma once

#include "server/poll/poll_cycle.h"

#include "platform/codepage.h"
#include "platform/handle_ptr.h"
#include "platform/wide.h"
#include "server/core/log.h"
#include "server/opc/catalogue.h"
#include "tests/support/fake_clock.h"
#include "tests/support/file_time.h"
#include "tests/support/test_support.h"
#include "tools/kmt-sim/sim_line.h"
#include "tools/kmt-sim/values.h"
#include "tools/support/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace movra::pollsim {

using test::ticksOf;

using sim::Quantity;
using Steady = std::chrono::steady_clock;

constexpr char kPortMutexName[] = "MovraOPCServer_1_06_Mutex";
constexpr int kLocalOffsetMinutes = 180;
constexpr uint64_t kTicksPerMinute = 600000000ull;

inline std::string cp1251(const char* utf8) {
    return platform::utf8ToCp1251(utf8);
}

inline bool endsWith(const std::string& text, const std::string& piece) {
    return text.size() >= piece.size() &&
           text.compare(text.size() - piece.size(), piece.size(), piece) == 0;
}

inline size_t countOf(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

inline DeviceRecord deviceOf(uint8_t type, uint8_t comPort, uint8_t linkType, uint8_t address,
                             uint8_t serialLow) {
    DeviceRecord device;
    device.deviceType = type;
    device.linkType = linkType;
    device.baudCode = 4;  // 19200
    device.comPort = comPort;
    device.rs485Address = address;
    device.serial[2] = 0x0A;
    device.serial[3] = serialLow;
    return device;
}

// What one slot must hold after a regular pass.
struct Expect {
    enum Kind { Good, NotSupplied, Failed } kind = NotSupplied;
    float value = 0.0f;
};

// How a simulated device is set up, and what the server is told about it.
struct DeviceSetup {
    uint8_t type = kTypeKmt;
    uint32_t seed = 0;
    uint16_t channels = 0;  // reported
    uint16_t nodes = 0;
    bool gcal = false;
    bool thousand = false;
    bool variantF = false;
    std::vector<uint16_t> gasChannels;  // 1-based
    std::vector<uint16_t> gasNodes;
    // KMT only: the volume scale that applies to a channel (by its first node) and to a node.
    std::vector<float> channelScale;  // index c - 1; 1.0 when absent
    std::vector<float> nodeScale;
};

inline bool contains(const std::vector<uint16_t>& list, uint16_t value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

inline float scaleAt(const std::vector<float>& scales, uint16_t number) {
    return number <= scales.size() ? scales[number - 1] : 1.0f;
}

// The conversions, written from the unit rules rather than from the cycle's code.
inline float energy(const DeviceSetup& setup, float gj) {
    return setup.gcal ? gj / 4.1868f : gj;
}
inline float gasVolume(const DeviceSetup& setup, float volume, bool gas, float kmtScale) {
    if (!gas) {
        return volume;
    }
    if (setup.type == kTypeKmt) {
        if (setup.thousand && kmtScale != 1000.0f) {
            return volume * 0.001f;
        }
        if (!setup.thousand && kmtScale == 1000.0f) {
            return volume * 1000.0f;
        }
        return volume;
    }
    return setup.thousand ? volume * 0.001f : volume;
}

// The whole catalogue run of a device after a regular pass in the simulator's read cycle `cycle`.
inline std::vector<Expect> predictRun(const DeviceSetup& s, uint32_t cycle = 0) {
    auto v = [&s, cycle](Quantity quantity, uint32_t index) {
        return Expect{Expect::Good, sim::value(s.seed, quantity, index, cycle)};
    };
    auto good = [](float value) { return Expect{Expect::Good, value}; };
    const Expect ns{};
    const Expect failed{Expect::Failed, 0.0f};
    std::vector<Expect> run;
    // SYS: Pa, Tx, Tv.
    run.push_back(s.type == kTypeKmtV || s.type == kTypeKmtG || s.type == kTypeKmtU
                      ? v(Quantity::Pa, 0)
                      : ns);
    run.push_back(ns);
    run.push_back(s.type == kTypeKmtU ? v(Quantity::Tv, 0) : ns);

    for (uint16_t c = 1; c <= channelCountOf(s.type); ++c) {
        if (c > s.channels) {
            run.insert(run.end(), kChannelSlots, failed);
            continue;
        }
        const bool gas = contains(s.gasChannels, c);
        const float scale = scaleAt(s.channelScale, c);
        const float T = sim::value(s.seed, Quantity::ChannelT, c, cycle);
        const float To = sim::value(s.seed, Quantity::ChannelTo, c, cycle);
        const float P = sim::value(s.seed, Quantity::ChannelP, c, cycle);
        const float Q = sim::value(s.seed, Quantity::ChannelQ, c, cycle);
        const float V = sim::value(s.seed, Quantity::ChannelV, c, cycle);
        const float G = sim::value(s.seed, Quantity::ChannelG, c, cycle);
        const float M = sim::value(s.seed, Quantity::ChannelM, c, cycle);
        const float N = sim::value(s.seed, Quantity::ChannelN, c, cycle);
        // T, To, P, Q, dP, V, G, M, Qs, Vs, N, Ne, We, Wc
        switch (s.type) {
            case kTypeKmt:
                run.insert(run.end(),
                           {good(T), good(To), good(P), ns, ns, ns, good(G), good(M), good(G),
                            good(gasVolume(s, M, gas, scale)), good(energy(s, N)), ns, ns, ns});
                break;
            case kTypeKmtV:
                run.insert(run.end(), {good(T), ns, good(P), good(Q), ns, s.variantF ? good(V) : ns,
                                       good(G), good(M), ns, ns, good(energy(s, N)), ns, ns, ns});
                break;
            case kTypeKmtG:
                run.insert(run.end(),
                           {good(T), ns, good(P), good(Q), good(Q),
                            good(gasVolume(s, V, gas, scale)), good(G), good(M), good(G),
                            good(gasVolume(s, M, gas, scale)), good(energy(s, N)), ns, ns, ns});
                break;
            case kTypeKmtU:
                run.insert(run.end(), {good(T), ns, good(P), good(Q), good(Q),
                                       good(gasVolume(s, V, gas, scale)), good(G), good(M), good(G),
                                       good(gasVolume(s, M, gas, scale)), good(energy(s, N)),
                                       good(N), good(M), good(V)});
                break;
            default:  // KMT-UV
                run.insert(run.end(), {good(T), ns, good(P), good(Q), ns, good(V), good(G), good(M),
                                       ns, ns, good(energy(s, N)), ns, ns, ns});
                break;
        }
    }

    for (uint16_t u = 1; u <= nodeCountOf(s.type); ++u) {
        if (u > s.nodes) {
            run.insert(run.end(), kNodeSlots, failed);
            continue;
        }
        const bool gas = contains(s.gasNodes, u);
        const float scale = scaleAt(s.nodeScale, u);
        const float Gy = sim::value(s.seed, Quantity::NodeGy, u, cycle);
        const float My = sim::value(s.seed, Quantity::NodeMy, u, cycle);
        const float N = sim::value(s.seed, Quantity::NodeN, u, cycle);
        const float W = sim::value(s.seed, Quantity::NodeW, u, cycle);
        const float Ne = sim::value(s.seed, Quantity::NodeNe, u, cycle);
        const float We = sim::value(s.seed, Quantity::NodeWe, u, cycle);
        const float Wm = sim::value(s.seed, Quantity::NodeWm, u, cycle);
        const float Wl = sim::value(s.seed, Quantity::NodeWl, u, cycle);
        // Gy, My, Qy, Vy, N, W, Ne, We, Wm, Wl
        switch (s.type) {
            case kTypeKmt:
                run.insert(run.end(),
                           {good(Ne), good(Wm), good(Ne), good(gasVolume(s, Wm, gas, scale)), ns,
                            good(energy(s, We)), good(Ne), good(We), good(Wm), good(Wl)});
                break;
            case kTypeKmtV:
            case kTypeKmtUV:
                run.insert(run.end(), {good(Gy), good(My), ns, ns, good(energy(s, N)),
                                       good(energy(s, W)), ns, ns, ns, ns});
                break;
            case kTypeKmtG:
                run.insert(run.end(),
                           {good(Gy), good(My), good(Gy), good(gasVolume(s, My, gas, scale)),
                            good(energy(s, N)), good(energy(s, W)), ns, ns, ns, ns});
                break;
            default:  // KMT-U
                run.insert(run.end(), {good(Gy), good(My), good(Gy),
                                       good(gasVolume(s, My, gas, scale)), good(energy(s, N)),
                                       good(energy(s, W)), good(N), good(W), good(Gy), good(My)});
                break;
        }
    }
    return run;
}

// The stamp the readings of a device carry.
struct Stamp {
    enum Kind { Utc, Local, Device } kind = Utc;
    SYSTEMTIME device{};
};

inline SYSTEMTIME civil(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME time{};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    return time;
}

// The server's port mutex, by its name in a folder of the test program's own: a handle of the
// caller's, as the host creates one and hands it to each cycle.
inline platform::UniqueHandle createPortMutex() {
    static test::TempDir mutexFolder;  // lives until the program ends
    ::setenv("MOVRA_MUTEX_DIR", mutexFolder.path().c_str(), 1);
    return platform::UniqueHandle(CreateMutexA(nullptr, FALSE, kPortMutexName));
}

// Lets the test act at a moment of the poll thread's waits: every sleep of the cycle's clock
// (pre-send pauses, wait slices, start delays) calls the hook.
class PollCycleSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("MOVRA_PORTS", ports.path().c_str(), 1);
        ASSERT_TRUE(portMutex);
        ASSERT_EQ(log.Open(ports.file("MovraOPCServer.exe").c_str()), 1);
    }

    void startSim(unsigned comPort, const std::vector<std::string>& devices) {
        sims.push_back(std::make_unique<KmtSimLine>(KMT_SIM_PROGRAM, ports.path(), comPort,
                                                    simArguments(19200, devices), true));
        ASSERT_TRUE(sims.back()->ready()) << "kmt-sim did not start on COM" << comPort;
    }

    void configure(const std::vector<DeviceRecord>& devices) {
        configuration.devices = devices;
        configuration.pollPeriodMs = 1000;
        configuration.channelCounts.clear();
        configuration.nodeCounts.clear();
        for (const DeviceRecord& device : devices) {
            configuration.channelCounts.push_back(channelCountOf(device.deviceType));
            configuration.nodeCounts.push_back(nodeCountOf(device.deviceType));
        }
        ASSERT_EQ(catalogue.BuildCatalogue(configuration), S_OK);
        buildTicks = ticksOf(clock.systemTime());
        poll = std::make_unique<PollContext>(log, catalogue, clock, StopToken(stop));
        poll->configure(configuration);
    }

    // Runs one cycle and notes the PC time around it.
    void runCycle() {
        cycleStart = ticksOf(clock.systemTime());
        poll->RunPollCycle(portMutex.get());
        cycleEnd = ticksOf(clock.systemTime());
    }

    uint32_t runStart(uint32_t device) const {
        uint64_t start = 0;
        for (uint32_t i = 0; i < device; ++i) {
            start +=
                catalogueRunLength(configuration.channelCounts[i], configuration.nodeCounts[i]);
        }
        return static_cast<uint32_t>(start);
    }
    uint32_t runLength(uint32_t device) const {
        return static_cast<uint32_t>(catalogueRunLength(configuration.channelCounts[device],
                                                        configuration.nodeCounts[device]));
    }

    SlotValue slot(uint32_t index) const {
        SlotValue value{};
        EXPECT_TRUE(catalogue.readSlot(index, &value)) << "slot " << index;
        return value;
    }

    void expectTimeInCycle(const SlotValue& value, bool local, const std::string& where) const {
        const uint64_t shift = local ? kLocalOffsetMinutes * kTicksPerMinute : 0;
        EXPECT_GE(ticksOf(value.lastUpdate), cycleStart + shift) << where;
        EXPECT_LE(ticksOf(value.lastUpdate), cycleEnd + shift) << where;
    }

    // Every slot of the device's run against the prediction.
    // Slots not supplied keep the time they had: `earlierTicks`, or the build time.
    void expectRun(uint32_t device, const std::vector<Expect>& expected, const Stamp& stamp,
                   bool failuresLocal, uint64_t earlierTicks = 0) {
        if (earlierTicks == 0) {
            earlierTicks = buildTicks;
        }
        ASSERT_EQ(expected.size(), runLength(device));
        const uint32_t start = runStart(device);
        for (uint32_t k = 0; k < expected.size(); ++k) {
            const SlotValue value = slot(start + k);
            const std::string where = "device " + std::to_string(device) + " slot +" +
                                      std::to_string(k) + " " +
                                      platform::wideToUtf8(catalogue.itemIdAt(start + k));
            switch (expected[k].kind) {
                case Expect::Good:
                    EXPECT_EQ(value.quality, kQualityGood) << where;
                    EXPECT_EQ(value.valueBits, std::bit_cast<uint32_t>(expected[k].value))
                        << where << ": " << value.value() << " instead of " << expected[k].value;
                    if (stamp.kind == Stamp::Device) {
                        EXPECT_EQ(ticksOf(value.lastUpdate), ticksOf(stamp.device)) << where;
                    } else {
                        expectTimeInCycle(value, stamp.kind == Stamp::Local, where);
                    }
                    break;
                case Expect::NotSupplied:
                    EXPECT_EQ(value.quality, kQualityBad) << where;
                    EXPECT_EQ(value.valueBits, 0u) << where;
                    EXPECT_EQ(ticksOf(value.lastUpdate), earlierTicks) << where;
                    break;
                case Expect::Failed:
                    EXPECT_EQ(value.quality, kQualityBad) << where;
                    EXPECT_EQ(value.valueBits, 0u) << where;
                    expectTimeInCycle(value, failuresLocal, where);
                    break;
            }
        }
    }

    // No slot of the device's run has been written since the build.
    void expectUntouched(uint32_t device) {
        const uint32_t start = runStart(device);
        for (uint32_t k = 0; k < runLength(device); ++k) {
            const SlotValue value = slot(start + k);
            EXPECT_EQ(value.quality, kQualityBad) << "device " << device << " slot +" << k;
            EXPECT_EQ(value.valueBits, 0u) << "device " << device << " slot +" << k;
            EXPECT_EQ(ticksOf(value.lastUpdate), buildTicks) << "device " << device << " +" << k;
        }
    }

    void expectAllFailed(uint32_t device, bool local) {
        std::vector<Expect> failed(runLength(device), Expect{Expect::Failed, 0.0f});
        expectRun(device, failed, Stamp{}, local);
    }

    std::string logText() const { return test::ReadFileBytes(log.path()); }

    test::TempDir ports;
    platform::UniqueHandle portMutex = createPortMutex();
    std::atomic<LONG> stop{0};  // the server's stop, as the cycle is handed it
    test::FakeClock clock{civil(2026, 3, 1, 12, 0, 0), kLocalOffsetMinutes};
    CMovraLog log{clock};
    CMovraItem catalogue{clock};
    ServerConfiguration configuration;
    std::unique_ptr<PollContext> poll;
    std::vector<std::unique_ptr<KmtSimLine>> sims;
    uint64_t buildTicks = 0;
    uint64_t cycleStart = 0;
    uint64_t cycleEnd = 0;
};

// The function byte of every request the simulator answered or left silent.
inline std::vector<std::string> functionsSeen(const KmtSimLine& line) {
    std::vector<std::string> functions;
    for (const std::string& frame : countTrace(line.settledTraceText()).requestFrames) {
        functions.push_back(frame.substr(3, 2));
    }
    return functions;
}

}  // namespace movra::pollsim
