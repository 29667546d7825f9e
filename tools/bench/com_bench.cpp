// What COM costs a client of the registered server, out of process: the first activation by
// ProgID (a cold start when no server process runs yet), later activations while the server runs,
// and the round trip of one GetStatus. A measurement run by hand, not a test:
//   com_bench.exe [PROGID] [CALLS]        (defaults MOVRA.OPC-server, 1000)
#include "platform/co_task_mem.h"
#include "tools/opc-client/com_activation.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace movra::client;
using platform::ComPtr;
using platform::CoTaskMemPtr;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Sorts the samples; the value below which `fraction` of them lie.
double quantile(std::vector<double>& samples, double fraction) {
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1))];
}

void printSeries(const char* what, std::vector<double>& samples) {
    std::printf("%-20s median %8.3f ms   min %8.3f   p90 %8.3f   max %8.3f   (%zu)\n", what,
                quantile(samples, 0.5), quantile(samples, 0.0), quantile(samples, 0.9),
                quantile(samples, 1.0), samples.size());
}

int fail(const std::string& progId, const Activation& activation) {
    ActivationReport report = reportActivationFailure(progId, activation.stage, activation.result);
    std::fprintf(stderr, "%s\n", report.line.c_str());
    return static_cast<int>(report.exitCode);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string progId = argc > 1 ? argv[1] : movra::kVersionIndependentProgId;
    const int calls = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1000;
    constexpr int kActivations = 20;
    ComApartment apartment;
    if (FAILED(apartment.result())) {
        std::fprintf(stderr, "CoInitializeEx: %s\n", resultText(apartment.result()).c_str());
        return 1;
    }
    ComConnector connector;

    ComPtr<IOPCServer> first;
    Clock::time_point start = Clock::now();
    Activation activation = connector.connect(progId, first);
    const double firstMs = msSince(start);
    if (FAILED(activation.result)) {
        return fail(progId, activation);
    }
    std::printf("%-20s %8.1f ms (cold when no server process ran before)\n", "first activation",
                firstMs);

    // The first client keeps the server running meanwhile.
    std::vector<double> later;
    for (int i = 0; i < kActivations; ++i) {
        ComPtr<IOPCServer> client;
        start = Clock::now();
        activation = connector.connect(progId, client);
        later.push_back(msSince(start));
        if (FAILED(activation.result)) {
            return fail(progId, activation);
        }
    }
    printSeries("later activation", later);

    std::vector<double> roundTrips;
    for (int i = 0; i < calls; ++i) {
        CoTaskMemPtr<OPCSERVERSTATUS> status;
        start = Clock::now();
        HRESULT result = first->GetStatus(status.put());
        roundTrips.push_back(msSince(start));
        if (FAILED(result) || !status) {
            std::fprintf(stderr, "GetStatus: %s\n", resultText(result).c_str());
            return 1;
        }
        CoTaskMemPtr<WCHAR> vendor(status->szVendorInfo);
    }
    printSeries("GetStatus", roundTrips);
    return 0;
}
