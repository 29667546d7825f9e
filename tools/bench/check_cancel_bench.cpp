// How long "Отмена" takes to stop the configurator's connection check of a silent KMT on RS-485
// (16 s of silence): each round starts a check with the runner the dialogs use, waits until the
// request is on the simulator's line, then cancels, and measures the time from the cancel to the
// runner's `done`, with the process's CPU time over the same span. Native build; a measurement,
// not a test.
//
//   check_cancel_bench [rounds] [kmt-sim]     (default 20 rounds)

#include "configurator/connection_check.h"
#include "tools/kmt-sim/sim_line.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace movra;
using Steady = std::chrono::steady_clock;

double cpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

size_t requestsIn(const std::string& trace) {
    size_t count = 0;
    for (size_t at = trace.find("] in "); at != std::string::npos;
         at = trace.find("] in ", at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const std::string simProgram = argc > 2 ? argv[2] : KMT_SIM_PROGRAM;
    const SimPortsFolder folder("movra-cancel-");

    KmtSimLine line(simProgram, folder.path(), 4,
                    simArguments(19200, {"model=KMT,address=3,serial=0C03,fault=silent"}), true);
    if (!line.ready()) {
        std::fprintf(stderr, "kmt-sim did not start\n");
        return 1;
    }
    DeviceRecord device;
    device.deviceType = kTypeKmt;
    device.linkType = kLinkRs485;
    device.rs485Address = 3;
    device.baudCode = 4;
    device.comPort = 4;

    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    Steady::time_point doneAt;
    configurator::CheckRunner runner({{}, {}, [&] {
                                          std::lock_guard lock(mutex);
                                          done = true;
                                          doneAt = Steady::now();
                                          changed.notify_all();
                                      }});
    std::vector<double> wall;
    std::vector<double> cpu;
    for (int round = 0; round < rounds; ++round) {
        const size_t before = requestsIn(line.traceText());
        done = false;
        runner.start({device}, 0);
        while (requestsIn(line.traceText()) == before) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // Somewhere in the 5 ms slices of the wait for the reply.
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 7));
        const double cpuBefore = cpuMs();
        const auto cancelAt = Steady::now();
        runner.cancel();
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return done; });
        wall.push_back(std::chrono::duration<double, std::milli>(doneAt - cancelAt).count());
        cpu.push_back(cpuMs() - cpuBefore);
        lock.unlock();
        runner.wait();
        const auto result = runner.result(0);
        if (!result || !result->failure || result->failure->reason != check::Reason::Cancelled) {
            std::fprintf(stderr, "round %d: the check was not cancelled\n", round);
            return 1;
        }
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf(
        "cancel of a silent KMT on RS-485, %d rounds: cancel to done %.2f / %.2f / %.2f ms "
        "(min / median / max wall), process CPU over it %.2f / %.2f / %.2f ms\n",
        rounds, wall.front(), wall[wall.size() / 2], wall.back(), cpu.front(), cpu[cpu.size() / 2],
        cpu.back());
    return 0;
}
