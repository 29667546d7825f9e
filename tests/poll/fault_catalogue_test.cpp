// Every fault kmt-sim can inject, on each of the five models, against the real poll cycle: one
// faulty device on COM1 and a healthy one of the same model on COM2 (or after it on COM1's
// RS-485 line). The healthy device must get fresh good values every cycle; the faulty one the
// failure reading (0, bad, time of the attempt) or, where the connection absorbs the fault, good
// values; and both must show the simulator's values again once the fault is over.
// MOVRA_FAULTS_FULL=1 runs every model with every fault; by default each fault runs on one model
// and each model gets at least one fault.
#include "tests/poll/poll_sim_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace movra {
namespace {

using namespace pollsim;

struct Model {
    const char* name;
    uint8_t type;
    uint16_t channels;  // reported; a KMT always reports its 10 and 10
    uint16_t nodes;
    const char* valuesFunction;  // the request that begins a read
    unsigned readRequests;       // requests of that function in one read
    unsigned replyTimeoutSec;
};

const Model kModels[] = {
    {"KMT", kTypeKmt, 10, 10, "0xB3", 2, 16},     {"KMT-V", kTypeKmtV, 2, 1, "0x51", 1, 4},
    {"KMT-G", kTypeKmtG, 2, 1, "0x51", 1, 4},     {"KMT-U", kTypeKmtU, 2, 1, "0x51", 6, 12},
    {"KMT-UV", kTypeKmtUV, 2, 1, "0x51", 13, 12},
};

// What happens to the faulty device's line before a regular cycle; Settled waits until it has
// sent every reply it owes, as the pause between two cycles would.
enum class Line { Kept, Settled, Stopped, Restarted };

// One regular cycle: the faulty device's run holds the simulator's values of read `simCycle`, the
// failure reading, or nothing written since the catalogue was built (identified in this cycle).
struct Step {
    enum Kind { Good, Failed, Untouched };
    Line line;
    Kind kind;
    uint32_t simCycle;
};

constexpr Step good(uint32_t simCycle, Line line = Line::Kept) {
    return {line, Step::Good, simCycle};
}
constexpr Step failed(Line line = Line::Kept) {
    return {line, Step::Failed, 0};
}
constexpr Step untouched() {
    return {Line::Kept, Step::Untouched, 0};
}

struct Fault {
    const char* name;
    // kmt-sim's fault= value; {F} is the model's values function, {N} its requests in one read,
    // {T} a delay of one second past its reply time-out (real milliseconds).
    const char* fault;
    bool newerOnly;
    std::vector<Step> steps;
    bool identifiedInFirstPass = true;
    bool sharedLine = false;  // the healthy device on the same RS-485 line, after the faulty one
    int quickModel = -1;  // the quick table's model, when the turn would pick one it cannot show
};

// The poll cycle never raises the connection's retry limit above 1, so any fault that spoils an
// exchange fails the whole device for that cycle; only what one attempt absorbs stays good. A
// spoiled read beginning makes the simulator repeat the read with the same cycle number.
const std::vector<Fault>& faults() {
    static const std::vector<Fault> table{
        // No reply: ERR_NO_ANSWER after the reply time-out.
        {"silent", "silent@{F}#1", false, {failed(), good(0)}},
        // Noise before the address byte is skipped byte by byte within one attempt; every
        // request, identification too.
        {"noise", "noise:5", false, {good(0), good(1)}},
        // ERR_CRC: with one attempt allowed a single bad CRC fails the device for the cycle.
        {"crc", "crc@{F}#1", false, {failed(), good(0)}},
        // A reply for another function is dropped and the next frame awaited, which never comes.
        {"func", "func@{F}#1", false, {failed(), good(0)}},
        // ERR_DEVICE is never repeated.
        {"error", "error@{F}#1", true, {failed(), good(0)}},
        // 2 ms between bytes (20 ms on the cycle's clock) is far inside the limits of 1 s a
        // byte (function, length) and N + 2 s for the rest: absorbed.
        {"slow", "slow:2@{F}", false, {good(0), good(1)}},
        // 1 s late (on the cycle's clock) is inside every model's reply time-out: absorbed.
        {"delay", "delay:100@{F}", false, {good(0), good(1)}},
        // Answers one read, then nothing more until it is restarted (a power cycle: its read
        // count starts again).
        {"first", "first:{N}@{F}", false, {good(0), failed(), good(0, Line::Restarted)}},
        // Silent to the first identification request: the first pass leaves the device
        // unidentified, the next identifies it and publishes nothing, the one after reads it.
        {"silentAtStart", "silent#1", false, {untouched(), good(0)}, false},
        // A reply a second past the time-out fails the device; the simulator counts that read as
        // answered. On its own line the late reply lands while the port is closed and the next
        // open drops it. On a shared line it lands in the next station's exchange, and on the
        // newer models its seconds byte (the clock reads 08:30:02) equals that station's address:
        // the false frame it starts must not cost the healthy device its answer.
        {"late", "delay:{T}@{F}#1", false, {failed(), good(1, Line::Settled), good(2)}},
        {"lateShared", "delay:{T}@{F}#1", false, {failed(), good(1), good(2)}, true, true, 1},
        // What the faulty device leaves on a shared line must not spoil the next station.
        {"funcShared", "func@{F}#1", false, {failed(), good(0)}, true, true},
        {"silentShared", "silent@{F}#1", false, {failed(), good(0)}, true, true},
        // The line disappears: the port does not open (ERR_PORT_SETUP), and comes back.
        {"vanish", "", false, {good(0), failed(Line::Stopped), good(0, Line::Restarted)}},
    };
    return table;
}

struct FaultCase {
    const Model* model;
    const Fault* fault;
};

void PrintTo(const FaultCase& fault, std::ostream* out) {
    *out << fault.model->name << " " << fault.fault->name;
}

std::string replaced(std::string text, const std::string& key, const std::string& value) {
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
        text.replace(at, key.size(), value);
        at += value.size();
    }
    return text;
}

std::vector<FaultCase> cases() {
    const bool full = std::getenv("MOVRA_FAULTS_FULL") != nullptr;
    std::vector<FaultCase> list;
    for (size_t f = 0; f < faults().size(); ++f) {
        const Fault& fault = faults()[f];
        for (size_t m = 0; m < std::size(kModels); ++m) {
            const bool skipped = fault.newerOnly && kModels[m].type == kTypeKmt;
            // The quick table turns the models round, so that each meets some fault.
            size_t quickModel =
                f % std::size(kModels) == 0 && fault.newerOnly ? 1 : f % std::size(kModels);
            if (fault.quickModel >= 0) {
                quickModel = static_cast<size_t>(fault.quickModel);
            }
            if (!skipped && (full || m == quickModel)) {
                list.push_back({&kModels[m], &fault});
            }
        }
    }
    return list;
}

std::string caseName(const ::testing::TestParamInfo<FaultCase>& info) {
    return replaced(info.param.model->name, "-", "_") + "_" + info.param.fault->name;
}

// What each cycle's log line ends with, in order.
std::vector<std::string> cycleClosings(const std::string& text) {
    const std::string opening = cp1251("Обмен данными с вычислителями... ");
    std::vector<std::string> closings;
    for (size_t at = text.find(opening); at != std::string::npos; at = text.find(opening, at)) {
        at += opening.size();
        closings.push_back(text.substr(at, text.find("\r\n\r\n", at) - at));
    }
    return closings;
}

class FaultCatalogueTest : public PollCycleSimTest,
                           public ::testing::WithParamInterface<FaultCase> {
protected:
    std::string deviceArguments(uint8_t address, uint32_t seed, bool faulty) const {
        const Model& model = *GetParam().model;
        std::string text = std::string("model=") + model.name +
                           ",address=" + std::to_string(address) + ",serial=0A0" +
                           std::to_string(address) + ",seed=" + std::to_string(seed) +
                           ",clock=fixed:2025-06-15T08:30:02";
        if (model.type != kTypeKmt) {
            text += ",channels=" + std::to_string(model.channels) +
                    ",nodes=" + std::to_string(model.nodes);
        }
        const std::string fault = GetParam().fault->fault;
        if (faulty && !fault.empty()) {
            std::string value = replaced(fault, "{F}", model.valuesFunction);
            value = replaced(value, "{N}", std::to_string(model.readRequests));
            value = replaced(value, "{T}", std::to_string((model.replyTimeoutSec + 1) * 100));
            text += ",fault=" + value;
        }
        return text;
    }

    // The cycle's clock runs at ten times real time, so the simulator's real pace and the
    // server's time-outs meet as they would on a line, while a 16 s time-out takes 1.6 s.
    void paceTenTimesRealTime() {
        const Steady::time_point begun = Steady::now();
        const uint64_t base = clock.nowMs();
        clock.setSleepHook([this, begun, base](uint64_t nowMs) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            const auto real =
                std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - begun);
            const uint64_t target = base + 10 * static_cast<uint64_t>(real.count());
            if (target > nowMs) {
                clock.advanceMs(target - nowMs);
            }
        });
    }
};

TEST_P(FaultCatalogueTest, HealthyDeviceKeepsItsValuesAndTheFaultyOneRecovers) {
    const Model& model = *GetParam().model;
    const Fault& fault = *GetParam().fault;
    constexpr uint32_t kFaultySeed = 61;
    constexpr uint32_t kHealthySeed = 62;
    const uint8_t healthyPort = fault.sharedLine ? 1 : 2;
    if (fault.sharedLine) {
        startSim(1,
                 {deviceArguments(1, kFaultySeed, true), deviceArguments(2, kHealthySeed, false)});
    } else {
        startSim(1, {deviceArguments(1, kFaultySeed, true)});
        startSim(2, {deviceArguments(2, kHealthySeed, false)});
    }
    configure({deviceOf(model.type, 1, kLinkRs485, 1, 0x01),
               deviceOf(model.type, healthyPort, kLinkRs485, 2, 0x02)});
    paceTenTimesRealTime();
    const DeviceSetup faultySetup{model.type, kFaultySeed, model.channels, model.nodes};
    const DeviceSetup healthySetup{model.type, kHealthySeed, model.channels, model.nodes};

    const std::string notAll = cp1251("Не все вычислители ответили на запрос!");
    runCycle();
    ASSERT_EQ(poll->isIdentified(0), fault.identifiedInFirstPass);
    ASSERT_TRUE(poll->isIdentified(1));
    expectUntouched(0);
    expectUntouched(1);

    std::vector<std::string> expectedClosings{fault.identifiedInFirstPass ? "Ok." : notAll};
    uint64_t lastFailure = 0;  // what the slots the model does not supply were last stamped with
    for (uint32_t k = 0; k < fault.steps.size(); ++k) {
        const Step& step = fault.steps[k];
        SCOPED_TRACE("regular cycle " + std::to_string(k));
        if (step.line == Line::Settled) {
            sims[0]->settledTraceText(5000);
        } else if (step.line == Line::Stopped) {
            sims[0].reset();
        } else if (step.line == Line::Restarted) {
            sims[0].reset();
            startSim(1, {deviceArguments(1, kFaultySeed, true)});
            sims[0] = std::move(sims.back());
            sims.pop_back();
        }
        runCycle();
        switch (step.kind) {
            case Step::Good:
                expectRun(0, predictRun(faultySetup, step.simCycle), Stamp{Stamp::Utc}, false,
                          lastFailure);
                break;
            case Step::Failed:
                expectAllFailed(0, false);
                lastFailure = ticksOf(slot(runStart(0)).lastUpdate);
                break;
            case Step::Untouched:
                expectUntouched(0);
                break;
        }
        expectRun(1, predictRun(healthySetup, k), Stamp{Stamp::Utc}, false);
        expectedClosings.push_back(step.kind == Step::Failed ? notAll : "Ok.");
    }
    EXPECT_EQ(cycleClosings(logText()), expectedClosings) << logText();
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultCatalogueTest, ::testing::ValuesIn(cases()), caseName);

}  // namespace
}  // namespace movra
