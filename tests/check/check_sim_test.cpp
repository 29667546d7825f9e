// MovraOPCCheck against the real simulator on pseudo-terminals (native build): one device of
// each model with the values it reports, and the failures an integrator meets (silence, CRC
// errors, error replies, a foreign function code, a port that does not exist), each with its
// reason and the exit code.
#include "tools/check/check.h"

#include "tests/support/sim_ports_test.h"
#include "tests/support/test_support.h"
#include "tools/kmt-sim/sim_line.h"
#include "tools/kmt-sim/values.h"
#include "tools/support/child_process.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace movra::check {
namespace {

using sim::Quantity;

struct CheckRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// The report of device `index` (1-based) of a run: from its "[i/n]" title to the next one.
std::string sectionOf(const std::string& out, size_t index) {
    const std::string title = "\n[" + std::to_string(index) + "/";
    const size_t start = out.find(title);
    if (start == std::string::npos) {
        return {};
    }
    const size_t end = out.find("\n[", start + 1);
    return out.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

size_t countOf(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

// The value printed on the line "    NAME  value [unit]", or nothing.
bool printedValue(const std::string& section, const std::string& name, float& value) {
    const std::string mark = "\n    " + name + " ";
    const size_t at = section.find(mark);
    if (at == std::string::npos) {
        return false;
    }
    value = std::strtof(section.c_str() + at + mark.size(), nullptr);
    return true;
}

class CheckSimTest : public test::SimPortsTest<> {
protected:
    void startSim(unsigned comPort, const std::vector<std::string>& devices) {
        sims.push_back(std::make_unique<KmtSimLine>(KMT_SIM_PROGRAM, ports.path(), comPort,
                                                    simArguments(19200, devices)));
        ASSERT_TRUE(sims.back()->ready()) << "kmt-sim did not start on COM" << comPort;
    }

    CheckRun check(const std::vector<std::string>& devices, bool trace = false) {
        std::vector<std::string> arguments;
        if (trace) {
            arguments.push_back("--trace");
        }
        for (const std::string& device : devices) {
            arguments.push_back("--device");
            arguments.push_back(device);
        }
        CheckRun run;
        run.exitCode = runCheck(
            arguments, ports.file("MovraOPCCheck"), [&run](std::string_view t) { run.out += t; },
            [&run](std::string_view t) { run.err += t; });
        return run;
    }

    std::vector<std::unique_ptr<KmtSimLine>> sims;
};

// One printed value and how it follows from the simulator's first read.
struct Item {
    const char* name;
    Quantity quantity;
    uint32_t index;
    float factor;      // the configured unit: 1, 1 / 4.1868 (Gcal), 0.001 (thousand m3)
    const char* unit;  // the unit printed after it, "" for none
};

struct ModelCase {
    const char* checkDevice;
    uint32_t seed;
    const char* identification;  // lines the identification must print
    std::vector<Item> items;
    std::vector<const char*> absent;  // items the model does not supply
};

constexpr float kPerGcal = 1.0f / 4.1868f;

TEST_F(CheckSimTest, EachModelIsIdentifiedAndItsValuesPrintedInTheConfiguredUnits) {
    // COM1: a KMT on RS-232; COM2: the four newer models on one RS-485 line.
    startSim(1, {"model=KMT,serial=0A01,seed=11,node1=7:1-2:1000"});
    startSim(2, {"model=KMT-V,address=1,serial=0A03,seed=21,variant=F,channels=3,nodes=2",
                 "model=KMT-G,address=2,serial=0A04,seed=22,channels=3,nodes=3,node1=7:1-2:1000",
                 "model=KMT-U,address=3,serial=0A06,seed=23,channels=4,nodes=3,node1=7:1-2:1",
                 "model=KMT-UV,address=4,serial=0A07,seed=24,channels=2,nodes=2"});
    const std::vector<ModelCase> cases = {
        {"model=KMT,serial=0A01,port=COM1,baud=19200,gas=km3",
         11,
         "  identity 00 00 0A 01 00 01 00 00 00 (version 0.1.0.0)\n  channels 10 of 10\n",
         {{"K01.T", Quantity::ChannelT, 1, 1.0f, "°C"},
          {"K01.To", Quantity::ChannelTo, 1, 1.0f, "°C"},
          {"K02.P", Quantity::ChannelP, 2, 1.0f, "MPa"},
          {"K01.N", Quantity::ChannelN, 1, 1.0f, "GJ"},
          // In a gas node kept in thousands: the volume is already in the configured unit.
          {"K01.Vs", Quantity::ChannelM, 1, 1.0f, "thousand m3"},
          {"U02.We", Quantity::NodeWe, 2, 1.0f, ""}},
         {"K01.Q", "SYS.Pa"}},
        {"model=KMT-V,serial=0A03,port=2,baud=19200,link=rs485,address=1,energy=Gcal",
         21,
         "  identity 46 00 0A 03 00 01 00 00 00 (version 0.1, variant 46 \"F\")\n"
         "  channels 3 of 5\n",
         {{"SYS.Pa", Quantity::Pa, 0, 1.0f, "kPa"},
          {"K03.Q", Quantity::ChannelQ, 3, 1.0f, ""},
          {"K01.V", Quantity::ChannelV, 1, 1.0f, "m3"},
          {"K02.N", Quantity::ChannelN, 2, kPerGcal, "Gcal"},
          {"U02.W", Quantity::NodeW, 2, kPerGcal, "Gcal"}},
         {"K04.T", "K01.To", "U03.Gy"}},
        {"model=KMT-G,serial=0A04,port=2,baud=19200,link=rs485,address=2,gas=km3",
         22,
         "  channels 3 of 3\n    K01 code 00 01 01 02 03 04 05 00, gas\n",
         {{"K01.V", Quantity::ChannelV, 1, 0.001f, "thousand m3"},
          {"K03.V", Quantity::ChannelV, 3, 1.0f, "m3"},
          {"K02.M", Quantity::ChannelM, 2, 1.0f, ""},
          {"U01.Gy", Quantity::NodeGy, 1, 1.0f, ""}},
         {"SYS.Tv"}},
        {"model=KMT-U,serial=0A06,port=2,baud=19200,link=rs485,address=3",
         23,
         "  nodes 3 of 16\n    U01 type 7 (gas), channels 1 2, scale 1\n",
         {{"SYS.Tv", Quantity::Tv, 0, 1.0f, "°C"},
          {"K04.T", Quantity::ChannelT, 4, 1.0f, "°C"},
          {"K02.Wc", Quantity::ChannelV, 2, 1.0f, ""},
          {"U03.Wl", Quantity::NodeMy, 3, 1.0f, ""}},
         {"K05.T"}},
        {"model=KMT-UV,serial=0A07,port=2,baud=19200,link=rs485,address=4",
         24,
         "  channels 2 of 10\n    K01 code 00 04 01 00 00 01 02 00\n",
         {{"K02.V", Quantity::ChannelV, 2, 1.0f, "m3"},
          {"K01.G", Quantity::ChannelG, 1, 1.0f, ""},
          {"U01.My", Quantity::NodeMy, 1, 1.0f, ""}},
         {"SYS.Pa", "K01.Qs"}},
    };
    std::vector<std::string> devices;
    for (const ModelCase& c : cases) {
        devices.push_back(c.checkDevice);
    }
    CheckRun run = check(devices);
    EXPECT_EQ(run.exitCode, kAllAnswered) << run.out << run.err;
    EXPECT_NE(run.out.find("\n5 of 5 device(s) answered\n"), std::string::npos) << run.out;
    for (size_t i = 0; i < cases.size(); ++i) {
        const ModelCase& c = cases[i];
        const std::string section = sectionOf(run.out, i + 1);
        SCOPED_TRACE(c.checkDevice);
        EXPECT_NE(section.find(c.identification), std::string::npos) << section;
        EXPECT_NE(section.find("  answered in "), std::string::npos) << section;
        for (const Item& item : c.items) {
            float value = 0.0f;
            ASSERT_TRUE(printedValue(section, item.name, value)) << item.name << "\n" << section;
            const float expected = sim::value(c.seed, item.quantity, item.index, 0);
            const float converted =
                item.factor == kPerGcal ? expected / 4.1868f : expected * item.factor;
            EXPECT_EQ(std::bit_cast<uint32_t>(value), std::bit_cast<uint32_t>(converted))
                << item.name << ": " << value << " instead of " << converted;
            // The unit ends the line.
            const size_t at = section.find("\n    " + std::string(item.name)) + 1;
            const std::string line = section.substr(at, section.find('\n', at) - at);
            const std::string unit = item.unit;
            EXPECT_EQ(line.substr(line.size() - std::min(line.size(), unit.size())), unit) << line;
        }
        for (const char* name : c.absent) {
            float value = 0.0f;
            EXPECT_FALSE(printedValue(section, name, value)) << name << " is printed";
        }
    }
}

struct FailureRow {
    const char* simDevice;  // on the RS-485 line of COM3; empty for none
    const char* checkDevice;
    const char* said;  // the stage and the reason
};

TEST_F(CheckSimTest, EachFailureIsReportedWithItsReason) {
    const FailureRow rows[] = {
        {"model=KMT-G,address=1,serial=0B01,fault=silent", "model=KMT-G,port=3,address=1",
         "FAILED identifying: no answer: the device was silent for 4 s after request 0x50"},
        {"model=KMT-V,address=2,serial=0B02,fault=crc@0x51", "model=KMT-V,port=3,address=2",
         "FAILED reading the values: CRC error in the reply to request 0x51"},
        {"model=KMT-UV,address=3,serial=0B03,fault=error:5@0x51/3", "model=KMT-UV,port=3,address=3",
         "FAILED reading the values: error reply to request 0x51: function 0xD1, code 5"},
        {"model=KMT-V,address=4,serial=0B04,fault=func@0x50", "model=KMT-V,port=3,address=4",
         "FAILED identifying: foreign function code: the reply to request 0x50 came with 0x51"},
        {"", "model=KMT-U,port=COM9",
         "FAILED opening the port: the port COM9 cannot be opened or configured"},
    };
    std::vector<std::string> simDevices;
    std::vector<std::string> devices;
    for (const FailureRow& row : rows) {
        if (*row.simDevice != '\0') {
            simDevices.push_back(row.simDevice);
        }
        devices.push_back(std::string(row.checkDevice) + ",baud=19200" +
                          (std::string(row.checkDevice).find("address") != std::string::npos
                               ? ",link=rs485"
                               : ""));
    }
    startSim(3, simDevices);
    CheckRun run = check(devices);
    EXPECT_EQ(run.exitCode, kSomeFailed) << run.out << run.err;
    for (size_t i = 0; i < std::size(rows); ++i) {
        const std::string section = sectionOf(run.out, i + 1);
        EXPECT_NE(section.find(rows[i].said), std::string::npos) << section;
        EXPECT_EQ(section.find("answered in"), std::string::npos) << section;
    }
    EXPECT_NE(run.out.find("\n0 of 5 device(s) answered\n"), std::string::npos) << run.out;
}

// One healthy device beside a failing one still exits with 1; the trace shows the frames with
// their time offsets, the first request as the connection builds it.
TEST_F(CheckSimTest, TraceShowsEveryFrameAndOneFailureSetsTheExitCode) {
    startSim(4, {"model=KMT-V,address=5,serial=0C05,channels=1,nodes=1"});
    CheckRun run = check({"model=KMT-V,port=4,baud=19200,link=rs485,address=5",
                          "model=KMT-V,port=5,baud=19200,link=rs485,address=6,serial=0C06"},
                         true);
    EXPECT_EQ(run.exitCode, kSomeFailed) << run.out;
    const std::string healthy = sectionOf(run.out, 1);
    EXPECT_NE(healthy.find("\n    +0.0"), std::string::npos) << healthy;
    EXPECT_NE(healthy.find(" s > 05 50 00 00 04 00 00 00 "), std::string::npos) << healthy;
    EXPECT_NE(healthy.find(" s < 05 50 10 00 00 0C 05 "), std::string::npos) << healthy;
    // Identity, one channel, the end of the channel list, one node, the end of the node list,
    // the values: six requests and six replies.
    EXPECT_EQ(countOf(healthy, " s > "), 6u) << healthy;
    EXPECT_EQ(countOf(healthy, " s < "), 6u) << healthy;
    EXPECT_NE(healthy.find("answered in"), std::string::npos);
    const std::string missing = sectionOf(run.out, 2);
    EXPECT_EQ(missing.find(" s > "), std::string::npos) << missing;
    EXPECT_NE(missing.find("the port COM5 cannot be opened"), std::string::npos) << missing;
}

// Another program holding the port mutex (the server, polling) keeps the check off the line until
// it lets go; the check says it is waiting and then goes on.
TEST_F(CheckSimTest, WaitsForThePortMutexOfTheServer) {
    startSim(6, {"model=KMT-UV,serial=0D06,channels=1,nodes=1"});
    toolsupport::ChildProcess holder;
    holder.connectStandardStreams();
    ASSERT_TRUE(holder.start(PORT_MUTEX_HOLDER, {kPortMutexName}));
    ASSERT_EQ(holder.readLine(), std::optional<std::string>("HELD"));

    std::mutex outMutex;
    std::string out;
    auto outputSoFar = [&] {
        std::lock_guard<std::mutex> lock(outMutex);
        return out;
    };
    std::future<int> exitCode = std::async(std::launch::async, [&] {
        return runCheck(
            {"--device", "model=KMT-UV,port=6,baud=19200"}, ports.file("MovraOPCCheck"),
            [&](std::string_view text) {
                std::lock_guard<std::mutex> lock(outMutex);
                out += text;
            },
            [&](std::string_view text) {
                std::lock_guard<std::mutex> lock(outMutex);
                out += text;
            });
    });
    bool waiting = false;
    for (int waited = 0; waited < 30000 && !waiting; waited += 10) {
        waiting = outputSoFar().find("waiting for the ports") != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(waiting) << outputSoFar();
    EXPECT_EQ(exitCode.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_EQ(outputSoFar().find("identity"), std::string::npos)
        << "polled while the mutex was held";

    ASSERT_TRUE(holder.writeLine("release"));
    EXPECT_EQ(holder.readLine(), std::optional<std::string>("RELEASED"));
    EXPECT_EQ(exitCode.get(), kAllAnswered) << outputSoFar();
    EXPECT_NE(outputSoFar().find("  identity 00 00 0D 06 "), std::string::npos) << outputSoFar();
    holder.wait(5000);
}

}  // namespace
}  // namespace movra::check
