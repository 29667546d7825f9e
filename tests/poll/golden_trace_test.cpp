// The recorded behaviour of the device side, kept as a test: for each model on an RS-232 line and
// on an RS-485 line, every frame of one identify pass and two read passes as the simulator saw
// them, every slot the poll cycle published after each read pass, and the log. A change that
// alters a byte on the wire, a value, a quality, a timestamp, an item ID or a log line fails here.
//
// The record is in tests/poll/golden/<case>.txt. MOVRA_GOLDEN_WRITE=1 writes it anew instead of
// comparing (only for a change that is meant to alter what the server does).
#include "tests/poll/poll_sim_fixture.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace movra {
namespace {

using namespace pollsim;

// Real time for the waits, so the simulator's line timing holds, but a PC clock that stands
// still: the build time, the PC stamps of the readings and the log's time lines are then the same
// every run.
class FrozenWallClock final : public platform::Clock {
public:
    uint64_t nowMs() override {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start_).count());
    }
    void sleepMs(uint32_t milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
    SYSTEMTIME systemTime() override { return civil(2026, 3, 1, 12, 0, 0); }
    SYSTEMTIME localTime() override { return civil(2026, 3, 1, 15, 0, 0); }

private:
    Steady::time_point start_ = Steady::now();
};

struct GoldenCase {
    const char* name;  // the record's file name
    uint8_t type;
    uint8_t linkType;
    const char* simDevice;  // kmt-sim's keys, without the address
    uint8_t energyUnit;
    uint8_t gasVolumeUnit;
    uint8_t timestampSource;
};

void PrintTo(const GoldenCase& c, std::ostream* out) {
    *out << c.name;
}

// Every model at its largest channel and node counts, with gas and type-9 nodes where the model
// has them and KMT-V's variant "F"; RS-232 stamps with the device clock in GJ and m3, RS-485 with
// the local PC time in Gcal and thousand m3.
constexpr char kKmt[] =
    "model=KMT,serial=0A01,seed=11,node1=7:1-2:1000,node2=7:3:1,node3=9:4-5,"
    "clock=fixed:2025-06-15T08:30:00";
constexpr char kKmtV[] =
    "model=KMT-V,serial=0A02,seed=12,variant=F,clock=fixed:2025-06-15T08:30:00";
constexpr char kKmtG[] =
    "model=KMT-G,serial=0A03,seed=13,node1=7:1-2:1000,node2=1:3,clock=fixed:2025-06-15T08:30:00";
constexpr char kKmtU[] =
    "model=KMT-U,serial=0A04,seed=14,channels=20,nodes=16,node1=7:1-2:1000,node2=9:3-4,"
    "node3=7:5+20:1,clock=fixed:2025-06-15T08:30:00";
constexpr char kKmtUV[] = "model=KMT-UV,serial=0A05,seed=15,clock=fixed:2025-06-15T08:30:00";

const GoldenCase kCases[] = {
    {"kmt_rs232", kTypeKmt, kLinkRs232, kKmt, 0, 0, 2},
    {"kmt_rs485", kTypeKmt, kLinkRs485, kKmt, 1, 1, 1},
    {"kmt_v_rs232", kTypeKmtV, kLinkRs232, kKmtV, 0, 0, 2},
    {"kmt_v_rs485", kTypeKmtV, kLinkRs485, kKmtV, 1, 1, 1},
    {"kmt_g_rs232", kTypeKmtG, kLinkRs232, kKmtG, 0, 0, 2},
    {"kmt_g_rs485", kTypeKmtG, kLinkRs485, kKmtG, 1, 1, 1},
    {"kmt_u_rs232", kTypeKmtU, kLinkRs232, kKmtU, 0, 0, 2},
    {"kmt_u_rs485", kTypeKmtU, kLinkRs485, kKmtU, 1, 1, 1},
    {"kmt_uv_rs232", kTypeKmtUV, kLinkRs232, kKmtUV, 0, 0, 2},
    {"kmt_uv_rs485", kTypeKmtUV, kLinkRs485, kKmtUV, 1, 1, 1},
};

constexpr uint8_t kBusAddress = 7;

// The trace lines without their time stamps: "in      FE B0 ...  (KMT@254)".
std::string framesOf(const std::string& trace) {
    std::istringstream lines(trace);
    std::string line;
    std::string frames;
    while (std::getline(lines, line)) {
        const size_t close = line.find("] ");
        if (!line.empty() && line[0] == '[' && close != std::string::npos) {
            frames += line.substr(close + 2) + "\n";
        }
    }
    return frames;
}

class GoldenTraceTest : public ::testing::TestWithParam<GoldenCase> {
protected:
    void SetUp() override {
        ::setenv("MOVRA_PORTS", ports.path().c_str(), 1);
        ASSERT_TRUE(portMutex);
        ASSERT_EQ(log.Open(ports.file("MovraOPCServer.exe").c_str()), 1);
    }

    // Every slot: item ID, value bits, quality, and both forms of the timestamp.
    std::string slots() const {
        std::string text;
        for (uint32_t slot = 0; slot < catalogue.slotCount(); ++slot) {
            SlotValue value{};
            catalogue.readSlot(slot, &value);
            char line[128];
            std::snprintf(line, sizeof line, " %08" PRIX32 " %3u %016" PRIX64 " %" PRIu64 "\n",
                          static_cast<uint32_t>(value.valueBits), value.quality,
                          std::bit_cast<uint64_t>(value.timestamp),
                          test::ticksOf(value.lastUpdate));
            text += platform::wideToUtf8(catalogue.itemIdAt(slot)) + line;
        }
        return text;
    }

    std::string record(const GoldenCase& c) {
        const bool bus = c.linkType == kLinkRs485;
        std::string simDevice = c.simDevice;
        if (bus) {
            simDevice += ",address=" + std::to_string(kBusAddress);
        }
        KmtSimLine sim(KMT_SIM_PROGRAM, ports.path(), 1, simArguments(19200, {simDevice}), true);
        EXPECT_TRUE(sim.ready()) << "kmt-sim did not start";
        if (!sim.ready()) {
            return {};
        }

        DeviceRecord device = deviceOf(c.type, 1, c.linkType, bus ? kBusAddress : 0, 0);
        device.serial[2] = 0x0A;
        device.serial[3] = static_cast<uint8_t>(c.type);
        device.energyUnit = c.energyUnit;
        device.gasVolumeUnit = c.gasVolumeUnit;
        device.timestampSource = c.timestampSource;
        ServerConfiguration configuration;
        configuration.devices = {device};
        configuration.pollPeriodMs = 1000;
        configuration.channelCounts = {channelCountOf(c.type)};
        configuration.nodeCounts = {nodeCountOf(c.type)};
        EXPECT_EQ(catalogue.BuildCatalogue(configuration), S_OK);
        PollContext poll(log, catalogue, clock, StopToken{});
        poll.configure(configuration);

        std::string text;
        size_t traced = 0;
        for (const char* pass : {"identify pass", "read pass 1", "read pass 2"}) {
            poll.RunPollCycle(portMutex.get());
            const std::string trace = sim.settledTraceText();
            text += std::string("== frames of the ") + pass + "\n" +
                    framesOf(trace.substr(std::min(traced, trace.size())));
            traced = trace.size();
            if (pass[0] == 'r') {
                text += std::string("== slots after the ") + pass + "\n" + slots();
            }
        }
        text += "== log\n" + platform::cp1251ToUtf8(test::ReadFileBytes(log.path()));
        return text;
    }

    test::TempDir ports;
    platform::UniqueHandle portMutex = createPortMutex();
    FrozenWallClock clock;
    CMovraLog log{clock};
    CMovraItem catalogue{clock};
};

TEST_P(GoldenTraceTest, WireValuesAndLogAreAsRecorded) {
    const GoldenCase& c = GetParam();
    const std::string recorded = record(c);
    ASSERT_FALSE(recorded.empty());
    const std::string path = std::string(MOVRA_GOLDEN_DIR) + "/" + c.name + ".txt";
    if (std::getenv("MOVRA_GOLDEN_WRITE") != nullptr) {
        test::WriteFileBytes(path, recorded);
        GTEST_SKIP() << "wrote " << path;
    }
    const std::string expected = test::ReadFileBytes(path);
    ASSERT_FALSE(expected.empty()) << "no record at " << path;
    if (recorded == expected) {
        return;
    }
    // The first line that differs, and the whole run beside the record for a diff.
    std::istringstream got(recorded);
    std::istringstream want(expected);
    std::string gotLine;
    std::string wantLine;
    int number = 1;
    while (std::getline(want, wantLine)) {
        if (!std::getline(got, gotLine) || gotLine != wantLine) {
            break;
        }
        ++number;
    }
    const std::string actualPath = std::string(c.name) + ".actual.txt";  // in the test's folder
    test::WriteFileBytes(actualPath, recorded);
    ADD_FAILURE() << c.name << " differs from the record at line " << number
                  << ":\n  record: " << wantLine << "\n  now:    " << gotLine
                  << "\n  the whole run: " << actualPath;
}

INSTANTIATE_TEST_SUITE_P(Models, GoldenTraceTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace movra
