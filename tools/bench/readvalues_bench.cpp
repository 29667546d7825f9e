// ReadValues of a KMT-U with 20 channels and 16 nodes and of a KMT with 10 and 10 against the
// device simulator at 9600 and 19200 baud: the measured time of each read beside the wire time of
// the same frames (bytes x 10 / baud, requests and replies, the KMT's zero bytes included).
// Native build; a measurement, not a test.
//
//   readvalues_bench [rounds] [kmt-sim]     (default 5 rounds; the median and the best are shown)
//
// With MOVRA_BENCH_TRACE=1 the simulator's frame trace of each case follows on standard error,
// with the time of every frame: where the time beyond the wire goes.

#include "server/device/connection.h"
#include "server/device/protocols.h"
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

constexpr unsigned kComPort = 3;

// Counts every byte that goes out and every reply byte that comes in, and where the master's own
// time goes: inside Send (the pause before a frame and the write) and between a reply in hand
// and the next Send (decoding and the next request).
class CountingConnection : public CMovraDeviceConnection {
public:
    using CMovraDeviceConnection::CMovraDeviceConnection;
    HRESULT Send(uint32_t count, const uint8_t* bytes, uint16_t* error) override {
        Steady::time_point start = Steady::now();
        if (replyInHand) {
            betweenMs += std::chrono::duration<double, std::milli>(start - replyAt).count();
            replyInHand = false;
        }
        sent += count;
        ++sends;
        HRESULT result = CMovraDeviceConnection::Send(count, bytes, error);
        sendMs += std::chrono::duration<double, std::milli>(Steady::now() - start).count();
        return result;
    }
    HRESULT Receive(uint32_t* size, uint8_t** frame, uint16_t* error) override {
        HRESULT result = CMovraDeviceConnection::Receive(size, frame, error);
        if (SUCCEEDED(result)) {
            received += *size;
            replyAt = Steady::now();
            replyInHand = true;
        }
        return result;
    }
    void reset() {
        sent = received = sends = 0;
        sendMs = betweenMs = 0.0;
        replyInHand = false;
    }
    uint64_t sent = 0;
    uint64_t received = 0;
    uint64_t sends = 0;
    double sendMs = 0.0;
    double betweenMs = 0.0;
    bool replyInHand = false;
    Steady::time_point replyAt;
};

struct Case {
    const char* name;
    uint8_t type;
    const char* device;
};

uint8_t baudCodeOf(unsigned baud) {
    return baud == 19200 ? 4 : 3;
}

bool runCase(const std::string& simProgram, const std::string& folder, const Case& test,
             unsigned baud, int rounds) {
    const char* traceSetting = std::getenv("MOVRA_BENCH_TRACE");
    const bool trace = traceSetting != nullptr && std::string(traceSetting) == "1";
    KmtSimLine line(simProgram, folder, kComPort,
                    {"--baud", std::to_string(baud), "--device", test.device}, trace);
    if (!line.ready()) {
        std::fprintf(stderr, "kmt-sim did not start: %s\n", simProgram.c_str());
        return false;
    }
    DeviceRecord device;
    device.deviceType = test.type;
    device.linkType = kLinkRs232;
    device.baudCode = baudCodeOf(baud);
    device.comPort = kComPort;
    CountingConnection connection(device, 0, platform::realClock());
    uint16_t error = 0;
    std::unique_ptr<CMovraDataExchange> exchange =
        createDataExchange(test.type, platform::realClock());
    if (FAILED(connection.Open(&error)) || !exchange) {
        std::fprintf(stderr, "cannot open COM%u\n", kComPort);
        return false;
    }
    exchange->SetConnection(&connection);
    uint16_t channels = 0;
    uint16_t nodes = 0;
    platform::CoTaskMemPtr<DeviceIdentity> identity;
    platform::CoTaskMemPtr<ChannelDescriptor> channelDescriptors;
    platform::CoTaskMemPtr<NodeDescriptor> nodeDescriptors;
    if (FAILED(exchange->Identify(&channels, &nodes, identity.put(), channelDescriptors.put(),
                                  nodeDescriptors.put(), &error))) {
        std::fprintf(stderr, "Identify failed, link error %u\n", error);
        return false;
    }

    std::vector<double> measuredMs;
    uint64_t bytes = 0;
    double sendMs = 0.0;
    double betweenMs = 0.0;
    uint64_t sends = 0;
    const ReadSelection selection = ReadSelection::all();
    for (int round = 0; round < rounds; ++round) {
        connection.reset();
        platform::CoTaskMemPtr<SystemBlock> system;
        platform::CoTaskMemPtr<ChannelBlock> channelBlocks;
        platform::CoTaskMemPtr<NodeBlock> nodeBlocks;
        Steady::time_point start = Steady::now();
        HRESULT result =
            exchange->ReadValues(identity->bytes[0], &selection, &channels, &nodes, system.put(),
                                 channelBlocks.put(), nodeBlocks.put(), &error);
        Steady::time_point end = Steady::now();
        if (FAILED(result)) {
            std::fprintf(stderr, "ReadValues failed, link error %u\n", error);
            return false;
        }
        measuredMs.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        bytes = connection.sent + connection.received;
        sendMs += connection.sendMs;
        betweenMs += connection.betweenMs;
        sends += connection.sends;
    }
    exchange->SetConnection(nullptr);
    if (trace) {
        std::fputs(line.settledTraceText().c_str(), stderr);
    }
    std::sort(measuredMs.begin(), measuredMs.end());
    const double median = measuredMs[measuredMs.size() / 2];
    const double wireMs = static_cast<double>(bytes) * 10.0 * 1000.0 / baud;
    std::printf("%-22s %6u %6llu %9.1f %9.1f %9.1f %6.3f %6.3f %7.2f %7.3f\n", test.name, baud,
                static_cast<unsigned long long>(bytes), wireMs, median, measuredMs.front(),
                median / wireMs, measuredMs.front() / wireMs, sendMs / sends, betweenMs / sends);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string simProgram = argc > 2 ? argv[2] : KMT_SIM_PROGRAM;
    const SimPortsFolder folder("movra-bench-");

    const Case cases[] = {
        {"KMT-U 20 ch, 16 nodes", kTypeKmtU, "model=KMT-U,serial=12AB,channels=20,nodes=16"},
        {"KMT 10 ch, 10 nodes", kTypeKmt, "model=KMT,serial=0A1B"},
    };
    std::printf("ReadValues against kmt-sim, %d rounds (time in ms; ratio = measured / wire)\n",
                rounds);
    std::printf("%-22s %6s %6s %9s %9s %9s %6s %6s %7s %7s\n", "device", "baud", "bytes", "wire",
                "median", "best", "ratio", "best", "send", "between");
    std::printf(
        "(send: ms inside each Send, the pause before the frame and the write; between: ms\n"
        " from a reply in hand to the next Send, the decoding)\n");
    bool ok = true;
    for (const Case& test : cases) {
        for (unsigned baud : {9600u, 19200u}) {
            ok = runCase(simProgram, folder.path(), test, baud, rounds) && ok;
        }
    }
    return ok ? 0 : 1;
}
