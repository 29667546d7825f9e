// A poll cycle over five simulated devices, one of each model, each on an RS-232 line of its own
// at 19200 baud: the measured time of each regular cycle beside the wire time of its frames
// (bytes x 10 / baud, counted from the simulators' traces). The devices are polled one after the
// other, so the wire time of the cycle is the sum over its frames. Native build; a measurement,
// not a test.
//
//   cycle_bench [cycles] [kmt-sim]     (default 5 regular cycles after the identifying one)

#include "platform/handle_ptr.h"
#include "platform/win.h"
#include "server/core/log.h"
#include "server/opc/catalogue.h"
#include "server/poll/poll_cycle.h"
#include "tools/kmt-sim/sim_line.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace movra;
using Steady = std::chrono::steady_clock;

constexpr unsigned kBaud = 19200;

struct Line {
    uint8_t type;
    const char* device;
};

size_t wireBytes(const std::vector<std::unique_ptr<KmtSimLine>>& lines) {
    size_t bytes = 0;
    for (const auto& line : lines) {
        bytes += countTrace(line->settledTraceText()).bytes();
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string simProgram = argc > 2 ? argv[2] : KMT_SIM_PROGRAM;
    const SimPortsFolder folder("movra-cycle-");
    platform::UniqueHandle portMutex(CreateMutexA(nullptr, FALSE, "MovraOPCServer_1_06_Mutex"));

    const Line devices[] = {
        {kTypeKmt, "model=KMT,serial=0001"},      {kTypeKmtV, "model=KMT-V,serial=0002,variant=F"},
        {kTypeKmtG, "model=KMT-G,serial=0003"},   {kTypeKmtU, "model=KMT-U,serial=0004"},
        {kTypeKmtUV, "model=KMT-UV,serial=0005"},
    };
    std::vector<std::unique_ptr<KmtSimLine>> lines;
    ServerConfiguration configuration;
    configuration.pollPeriodMs = 1000;
    for (unsigned i = 0; i < std::size(devices); ++i) {
        lines.push_back(
            std::make_unique<KmtSimLine>(simProgram, folder.path(), i + 1,
                                         std::vector<std::string>{"--baud", std::to_string(kBaud),
                                                                  "--device", devices[i].device},
                                         true));
        if (!lines.back()->ready()) {
            std::fprintf(stderr, "kmt-sim did not start: %s\n", simProgram.c_str());
            return 1;
        }
        DeviceRecord device;
        device.deviceType = devices[i].type;
        device.linkType = kLinkRs232;
        device.baudCode = 4;
        device.comPort = static_cast<uint8_t>(i + 1);
        device.serial[3] = static_cast<uint8_t>(i + 1);
        configuration.devices.push_back(device);
        configuration.channelCounts.push_back(channelCountOf(device.deviceType));
        configuration.nodeCounts.push_back(nodeCountOf(device.deviceType));
    }

    CMovraLog log(platform::realClock());  // not opened: the cycle's entries are dropped
    CMovraItem catalogue(platform::realClock());
    catalogue.BuildCatalogue(configuration);
    PollContext poll(log, catalogue, platform::realClock(), StopToken{});
    poll.configure(configuration);

    std::printf(
        "Poll cycle over KMT, KMT-V, KMT-G, KMT-U (20/16), KMT-UV (10/6), RS-232, %u baud\n",
        kBaud);
    std::printf("%-14s %7s %10s %10s %7s\n", "cycle", "bytes", "wire ms", "cycle ms", "ratio");
    for (int cycle = 0; cycle <= cycles; ++cycle) {
        const size_t before = wireBytes(lines);
        Steady::time_point start = Steady::now();
        poll.RunPollCycle(portMutex.get());
        const double measuredMs =
            std::chrono::duration<double, std::milli>(Steady::now() - start).count();
        const size_t bytes = wireBytes(lines) - before;
        const double wireMs = static_cast<double>(bytes) * 10.0 * 1000.0 / kBaud;
        std::string label = cycle == 0 ? "identify" : "read " + std::to_string(cycle);
        std::printf("%-14s %7zu %10.1f %10.1f %7.3f\n", label.c_str(), bytes, wireMs, measuredMs,
                    measuredMs / wireMs);
    }
    for (uint32_t i = 0; i < poll.deviceCount(); ++i) {
        if (!poll.isIdentified(i)) {
            std::fprintf(stderr, "device %u was not identified\n", i + 1);
            return 1;
        }
    }
    return 0;
}
