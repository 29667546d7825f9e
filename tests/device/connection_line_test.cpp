// The connection on a real line: a pseudo-terminal whose far side is a scripted station.
#include "server/device/connection.h"

#include "server/core/stop_token.h"
#include "tests/support/fake_clock.h"
#include "tests/support/frame_bytes.h"
#include "tests/support/line_peer.h"
#include "tests/support/timing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace movra {
namespace {

using test::bytesOf;
using test::FakeClock;
using test::hexOf;
using test::LinePeer;
using test::replyFrame;

constexpr unsigned kComPort = 5;
const std::string kKmtSent = "FE B0 00 00 00 27 14 05";
const std::string kKmtRecovery = "FE B1 00 00 00 00 69 DF";
const std::string kKmtURecovery = "FE 7F 00 00 00 00 00 00 40 04";

DeviceRecord deviceOf(uint8_t type, uint8_t link = kLinkRs232, uint8_t address = 0) {
    DeviceRecord device;
    device.deviceType = type;
    device.linkType = link;
    device.baudCode = 3;
    device.comPort = kComPort;
    device.rs485Address = address;
    return device;
}

// Lets a silent line's seconds pass quickly: every wait slice of the connection moves the clock
// on by `stepMs` in all.
void speedUp(FakeClock& clock, uint64_t stepMs) {
    clock.setSleepHook([&clock, stepMs](uint64_t) { clock.advanceMs(stepMs - 5); });
}

// The same once the peer has written its `answers`-th reply: until then the clock moves only
// with the connection's own slices, so a peer that a busy machine lets run late costs no
// seconds of the line's time, and only the wait after the reply is sped up.
void speedUpOnceAnswered(FakeClock& clock, const LinePeer& peer, size_t answers, uint64_t stepMs) {
    clock.setSleepHook([&clock, &peer, answers, stepMs](uint64_t) {
        if (peer.answered() >= answers) {
            clock.advanceMs(stepMs - 5);
        }
    });
}

// Open, one exchange of `request`, and the outcome.
struct Outcome {
    HRESULT result = E_UNEXPECTED;
    uint16_t error = 0xFFFF;
    std::string reply;
};

Outcome runExchange(CMovraDeviceConnection& connection, std::string request) {
    Outcome outcome;
    uint8_t* reply = nullptr;
    uint32_t size = 0;
    outcome.result = connection.Exchange(static_cast<uint32_t>(request.size()),
                                         reinterpret_cast<uint8_t*>(request.data()), &size, &reply,
                                         &outcome.error);
    if (reply != nullptr) {
        outcome.reply = bytesOf(reply, size);
    }
    CoTaskMemFree(reply);
    return outcome;
}

std::string kmtRequest() {
    return bytesOf({0, 0xB0, 0, 0, 0, 0x27, 0, 0});
}

std::string newerRequest(uint8_t function) {
    return bytesOf({0, function, 0, 0, 0, 0, 0, 0, 0, 0});
}

// Counts the reopenings that the repetition does through the virtual Open.
class CountingConnection : public CMovraDeviceConnection {
public:
    using CMovraDeviceConnection::CMovraDeviceConnection;
    HRESULT Open(uint16_t* error) override {
        ++opens;
        return CMovraDeviceConnection::Open(error);
    }
    int opens = 0;
};

TEST(LineExchangeTest, SendsTheFinalizedRequestAndTakesTheReply) {
    std::string reply = replyFrame(0xFE, 0xB0, bytesOf({0x11, 0x22, 0x33}));
    LinePeer peer(kComPort, 8, [&](const std::string&, size_t) { return reply; });
    CMovraDeviceConnection connection(deviceOf(kTypeKmt), 0, platform::realClock());
    uint16_t error = 0xFFFF;
    ASSERT_EQ(connection.Open(&error), S_OK);
    EXPECT_EQ(error, ERR_NONE);
    connection.setTrace(true);
    testing::internal::CaptureStderr();
    Outcome outcome = runExchange(connection, kmtRequest());
    std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_EQ(outcome.result, S_OK);
    EXPECT_EQ(outcome.error, ERR_NONE);
    EXPECT_EQ(hexOf(outcome.reply), hexOf(reply));
    EXPECT_EQ(peer.stop(), "");
    ASSERT_EQ(peer.requests().size(), 1u);
    EXPECT_EQ(hexOf(peer.requests()[0]), kKmtSent);
    EXPECT_NE(trace.find("COM5 > " + kKmtSent), std::string::npos) << trace;
    EXPECT_NE(trace.find("COM5 < " + hexOf(reply)), std::string::npos) << trace;
}

TEST(LineExchangeTest, TheTraceIsOffUnlessMovraTraceAsksForIt) {
    std::string reply = replyFrame(0xFE, 0xB0, "");
    LinePeer peer(kComPort, 8, [&](const std::string&, size_t) { return reply; });
    for (const char* setting : {"", "0", "1"}) {
        ::setenv("MOVRA_TRACE", setting, 1);
        CMovraDeviceConnection connection(deviceOf(kTypeKmt), 0, platform::realClock());
        ::unsetenv("MOVRA_TRACE");
        uint16_t error;
        ASSERT_EQ(connection.Open(&error), S_OK);
        testing::internal::CaptureStderr();
        Outcome outcome = runExchange(connection, kmtRequest());
        std::string trace = testing::internal::GetCapturedStderr();
        EXPECT_EQ(outcome.result, S_OK);
        if (std::string(setting) == "1") {
            EXPECT_EQ(trace, "COM5 > " + kKmtSent + "\nCOM5 < " + hexOf(reply) + "\n");
        } else {
            EXPECT_EQ(trace, "") << "MOVRA_TRACE=" << setting;
        }
    }
}

TEST(LineExchangeTest, BytesBeforeTheAddressAreSkipped) {
    // On a bus, other stations' traffic (here 254, the point-to-point address) is noise.
    std::string reply = replyFrame(7, 0x51, bytesOf({1, 2, 3, 4}));
    std::string noise = bytesOf({0x00, 0xFE, 0x51, 0x04, 0xFF, 0x06});
    LinePeer peer(kComPort, 10, [&](const std::string&, size_t) { return noise + reply; });
    CMovraDeviceConnection connection(deviceOf(kTypeKmtU, kLinkRs485, 7), 0, platform::realClock());
    uint16_t error;
    ASSERT_EQ(connection.Open(&error), S_OK);
    Outcome outcome = runExchange(connection, newerRequest(0x51));
    EXPECT_EQ(outcome.result, S_OK);
    EXPECT_EQ(hexOf(outcome.reply), hexOf(reply));
    ASSERT_EQ(peer.requests().size(), 1u);
    EXPECT_EQ(static_cast<uint8_t>(peer.requests()[0][0]), 7);
}

TEST(LineExchangeTest, AReplyWithAnotherFunctionIsDroppedAndTheNextFrameTakenWithoutResend) {
    // Its data holds our address again: one foreign frame all the same.
    std::string foreign = replyFrame(0xFE, 0xB3, bytesOf({9, 0xFE, 0xB4, 9}));
    std::string reply = replyFrame(0xFE, 0xB0, bytesOf({5}));
    LinePeer peer(kComPort, 8, [&](const std::string&, size_t) { return foreign + reply; });
    CMovraDeviceConnection connection(deviceOf(kTypeKmt), 0, platform::realClock());
    uint16_t error;
    ASSERT_EQ(connection.SetRetryLimit(3), S_OK);
    ASSERT_EQ(connection.Open(&error), S_OK);
    Outcome outcome = runExchange(connection, kmtRequest());
    EXPECT_EQ(outcome.result, S_OK);
    EXPECT_EQ(hexOf(outcome.reply), hexOf(reply));
    EXPECT_EQ(connection.lastExchange().foreignReplies, 1u);
    EXPECT_EQ(peer.stop(), "");
    EXPECT_EQ(peer.requests().size(), 1u);
}

TEST(LineExchangeTest, AWrongCrcFailsWithTheCrcErrorOnceTheLineHasBeenQuietASecond) {
    std::string reply = replyFrame(0xFE, 0xB0, bytesOf({1, 2}));
    reply.back() = static_cast<char>(reply.back() ^ 0x01);
    LinePeer peer(kComPort, 8, [&](const std::string&, size_t) { return reply; });
    FakeClock clock;
    speedUpOnceAnswered(clock, peer, 1, 25);
    CMovraDeviceConnection connection(deviceOf(kTypeKmt), 0, clock);
    uint16_t error;
    ASSERT_EQ(connection.Open(&error), S_OK);
    Outcome outcome = runExchange(connection, kmtRequest());
    EXPECT_EQ(outcome.result, E_FAIL);
    EXPECT_EQ(outcome.error, ERR_CRC);
    EXPECT_EQ(outcome.reply, "");
    // A second of quiet, not the frame's own limit of N + 2 = 4 s.
    EXPECT_GE(clock.nowMs(), 1000u);
    EXPECT_LT(clock.nowMs(), 2500u);
}

// On a bus the answer may follow other traffic in which a byte equals our address. What that
// byte starts must not cost the answer: the request's function code rules out most false starts
// at once, and the rest fail their CRC or run short, after which the search goes on behind them.
TEST(LineExchangeTest, AFalseFrameStartedByAStrayAddressByteDoesNotCostTheAnswer) {
    constexpr uint8_t kOurs = 7;
    const std::string answer = replyFrame(kOurs, 0x51, bytesOf({0x10, 0x20, 0x30, 0x40}));
    const std::string badCrc = [&] {
        std::string frame = answer;
        frame[4] = static_cast<char>(frame[4] ^ 0x55);
        return frame;
    }();
    const struct {
        const char* name;
        std::string line;  // what the line carries after the request
        bool direct;       // Receive called on its own, without the request
        HRESULT result;
        uint16_t error;
        std::string reply;
    } cases[] = {
        {"stray address, other function",
         replyFrame(3, 0x51, bytesOf({kOurs, 0x52, 0x09, 0x01})) + answer, false, S_OK, ERR_NONE,
         answer},
        {"stray address and our function: a short false frame",
         replyFrame(3, 0x51, bytesOf({kOurs, 0x51, 0x01, 0xAA})) + answer, false, S_OK, ERR_NONE,
         answer},
        {"stray address and our function: a long false frame swallows the answer",
         replyFrame(3, 0x51, bytesOf({kOurs, 0x51, 0x40})) + answer, false, S_OK, ERR_NONE, answer},
        {"our own corrupted answer, then silence", badCrc, false, E_FAIL, ERR_CRC, ""},
        {"a good frame after a bad one, Receive on its own: the first frame decides",
         replyFrame(3, 0x51, bytesOf({kOurs, 0x51, 0x01, 0xAA})) + answer, true, E_FAIL, ERR_CRC,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LinePeer peer(kComPort, 10, [&](const std::string&, size_t) { return c.line; });
        FakeClock clock;
        speedUpOnceAnswered(clock, peer, 1, 250);
        CMovraDeviceConnection connection(deviceOf(kTypeKmtU, kLinkRs485, kOurs), 0, clock);
        uint16_t error;
        ASSERT_EQ(connection.Open(&error), S_OK);
        Outcome outcome;
        if (c.direct) {
            std::string request = newerRequest(0x51);
            auto* bytes = reinterpret_cast<uint8_t*>(request.data());
            ASSERT_TRUE(connection.FinalizeRequest({bytes, request.size()}));
            ASSERT_EQ(connection.Send(static_cast<uint32_t>(request.size()), bytes, &error), S_OK);
            uint8_t* frame = nullptr;
            uint32_t size = 0;
            outcome.result = connection.Receive(&size, &frame, &outcome.error);
            outcome.reply = frame != nullptr ? bytesOf(frame, size) : std::string();
            CoTaskMemFree(frame);
        } else {
            outcome = runExchange(connection, newerRequest(0x51));
        }
        EXPECT_EQ(outcome.result, c.result);
        EXPECT_EQ(outcome.error, c.error);
        EXPECT_EQ(hexOf(outcome.reply), hexOf(c.reply));
        EXPECT_EQ(peer.stop(), "");
        EXPECT_EQ(peer.requests().size(), 1u);
    }
}

// A device that answers after its request was given up leaves the answer on the line. The next
// request of the same function must get its own answer, not that one.
TEST(LineExchangeTest, ALateAnswerLeftOnTheLineIsNotTakenForTheNextRequestsAnswer) {
    const std::string late = replyFrame(0xFE, 0x51, bytesOf({0x01}));
    const std::string fresh = replyFrame(0xFE, 0x51, bytesOf({0x02}));
    std::promise<void> timedOut;
    std::shared_future<void> released = timedOut.get_future().share();
    LinePeer peer(kComPort, 10, [&](const std::string&, size_t index) {
        if (index == 0) {
            released.wait();
            return late;
        }
        return fresh;
    });
    FakeClock clock;
    speedUp(clock, 250);
    CMovraDeviceConnection connection(deviceOf(kTypeKmtV), 0, clock);
    uint16_t error;
    ASSERT_EQ(connection.Open(&error), S_OK);
    Outcome abandoned = runExchange(connection, newerRequest(0x51));
    EXPECT_EQ(abandoned.error, ERR_NO_ANSWER);
    clock.setSleepHook(nullptr);  // the answered exchange runs at the line's own pace
    timedOut.set_value();
    // The late answer is on the line before the next request goes out.
    ASSERT_TRUE(peer.waitUntilUnread(late.size(), std::chrono::seconds(10)));
    Outcome next = runExchange(connection, newerRequest(0x51));
    EXPECT_EQ(next.result, S_OK);
    EXPECT_EQ(hexOf(next.reply), hexOf(fresh));
    EXPECT_EQ(peer.stop(), "");
}

TEST(LineExchangeTest, AnErrorReplyIsADeviceErrorAndIsNotRepeatedButFFIsNoError) {
    LinePeer peer(kComPort, 10, [](const std::string& request, size_t) {
        uint8_t function = static_cast<uint8_t>(request[1]);
        // Function 4 is refused without a data byte, so without an error code.
        return replyFrame(0xFE, static_cast<uint8_t>(function | 0x80),
                          function == 0x04 ? "" : bytesOf({0x02}));
    });
    CMovraDeviceConnection connection(deviceOf(kTypeKmtV), 0, platform::realClock());
    uint16_t error;
    ASSERT_EQ(connection.SetRetryLimit(3), S_OK);
    ASSERT_EQ(connection.Open(&error), S_OK);
    Outcome failed = runExchange(connection, newerRequest(0x03));
    EXPECT_EQ(failed.result, E_FAIL);
    EXPECT_EQ(failed.error, ERR_DEVICE);
    EXPECT_EQ(failed.reply, "");
    EXPECT_EQ(connection.lastExchange().errorCode, 0x02);
    ASSERT_TRUE(peer.waitForRequests(1, std::chrono::seconds(5)));
    EXPECT_EQ(runExchange(connection, newerRequest(0x04)).error, ERR_DEVICE);
    EXPECT_EQ(connection.lastExchange().errorCode, 0);

    Outcome answered = runExchange(connection, newerRequest(0x7F));
    EXPECT_EQ(answered.result, S_OK);
    EXPECT_EQ(answered.error, ERR_NONE);
    EXPECT_EQ(hexOf(answered.reply), hexOf(replyFrame(0xFE, 0xFF, bytesOf({0x02}))));
    EXPECT_EQ(peer.stop(), "");
    EXPECT_EQ(peer.requests().size(), 3u);
}

TEST(LineExchangeTest, AnEmptyReplyIsFiveBytesAndItsMissingCrcWaitsTwoSeconds) {
    std::string empty = replyFrame(0xFE, 0xB0, "");
    LinePeer peer(kComPort, 8, [&](const std::string&, size_t index) {
        return index == 0 ? empty : empty.substr(0, 3);
    });
    FakeClock clock;
    speedUpOnceAnswered(clock, peer, 2, 25);
    CMovraDeviceConnection connection(deviceOf(kTypeKmt), 0, clock);
    uint16_t error;
    ASSERT_EQ(connection.Open(&error), S_OK);
    Outcome outcome = runExchange(connection, kmtRequest());
    EXPECT_EQ(outcome.result, S_OK);
    EXPECT_EQ(outcome.reply.size(), 5u);
    EXPECT_EQ(hexOf(outcome.reply), hexOf(empty));

    uint64_t start = clock.nowMs();
    Outcome cut = runExchange(connection, kmtRequest());
    uint64_t elapsed = clock.nowMs() - start;
    EXPECT_EQ(cut.result, E_FAIL);
    EXPECT_EQ(cut.error, ERR_INCOMPLETE);
    // N + 2 = 2 s, not the reply time-out of 16 s.
    EXPECT_GE(elapsed, 2000u);
    EXPECT_LT(elapsed, 3500u);
}

TEST(LineExchangeTest, TheRestOfAFrameGetsItsLengthPlusTwoSeconds) {
    LinePeer peer(kComPort, 8, [](const std::string&, size_t) {
        return bytesOf({0xFE, 0xB0, 0x03, 0x11});
    });
    FakeClock clock;
    speedUpOnceAnswered(clock, peer, 1, 25);
    CMovraDeviceConnection connection(deviceOf(kTypeKmt), 0, clock);
    uint16_t error;
    ASSERT_EQ(connection.Open(&error), S_OK);
    Outcome outcome = runExchange(connection, kmtRequest());
    EXPECT_EQ(outcome.result, E_FAIL);
    EXPECT_EQ(outcome.error, ERR_INCOMPLETE);
    // N + 2 = 5 s, not the reply time-out of 16 s.
    EXPECT_GE(clock.nowMs(), 5000u);
    EXPECT_LT(clock.nowMs(), 6500u);
}

TEST(LineExchangeTest, ASilentLineFailsAfterTheModelsReplyTimeout) {
    const struct {
        uint8_t type;
        uint8_t viaRi;
        uint64_t limitMs;
    } cases[] = {{kTypeKmt, 0, 16000},
                 {kTypeKmt, 1, 32000},
                 {kTypeKmtV, 0, 4000},
                 {kTypeKmtG, 1, 8000},
                 {kTypeKmtU, 0, 12000}};
    for (const auto& c : cases) {
        size_t length = c.type == kTypeKmt ? 8 : 10;
        LinePeer peer(kComPort, length, nullptr);
        FakeClock clock;
        speedUp(clock, 250);
        DeviceRecord device = deviceOf(c.type);
        device.viaRiAdapter = c.viaRi;
        CMovraDeviceConnection connection(device, 0, clock);
        uint16_t error;
        ASSERT_EQ(connection.Open(&error), S_OK);
        Outcome outcome =
            runExchange(connection, c.type == kTypeKmt ? kmtRequest() : newerRequest(0x51));
        EXPECT_EQ(outcome.result, E_FAIL);
        EXPECT_EQ(outcome.error, ERR_NO_ANSWER);
        EXPECT_GE(clock.nowMs(), c.limitMs) << int(c.type) << " ri " << int(c.viaRi);
        EXPECT_LT(clock.nowMs(), c.limitMs + 500) << int(c.type) << " ri " << int(c.viaRi);
        EXPECT_EQ(peer.requests().size(), 1u);
    }
}

TEST(LineExchangeTest, SilenceWithThreeAttemptsReopensResendsAndRecoversOnce) {
    std::string reply = replyFrame(0xFE, 0xB0, bytesOf({0x42}));
    LinePeer peer(kComPort, 8, [&](const std::string& request, size_t index) {
        if (index == 0) {
            return std::string();
        }
        return replyFrame(0xFE, static_cast<uint8_t>(request[1]), bytesOf({0x42}));
    });
    FakeClock clock;
    speedUp(clock, 100);
    CountingConnection connection(deviceOf(kTypeKmt), 0, clock);
    uint16_t error;
    ASSERT_EQ(connection.SetRetryLimit(3), S_OK);
    ASSERT_EQ(connection.Open(&error), S_OK);
    Outcome outcome = runExchange(connection, kmtRequest());
    EXPECT_EQ(outcome.result, S_OK);
    EXPECT_EQ(outcome.error, ERR_NONE);
    EXPECT_EQ(hexOf(outcome.reply), hexOf(reply));
    EXPECT_EQ(connection.opens, 2);  // the first open and one reopening
    EXPECT_EQ(peer.stop(), "");
    std::vector<std::string> seen = peer.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(hexOf(seen[0]), kKmtSent);
    EXPECT_EQ(hexOf(seen[1]), kKmtSent);
    EXPECT_EQ(hexOf(seen[2]), kKmtRecovery);
}

TEST(LineExchangeTest, NewerModelsRecoverWith7FAndTakeAnFFReplyToIt) {
    LinePeer peer(kComPort, 10, [](const std::string& request, size_t index) {
        if (index == 0) {
            std::string bad = replyFrame(0xFE, 0x51, bytesOf({1}));
            bad[3] = 2;  // the CRC no longer fits
            return bad;
        }
        uint8_t function = static_cast<uint8_t>(request[1]);
        return replyFrame(0xFE, function == 0x7F ? 0xFF : function, bytesOf({1}));
    });
    FakeClock clock;
    speedUp(clock, 100);
    CMovraDeviceConnection connection(deviceOf(kTypeKmtU), 0, clock);
    uint16_t error;
    ASSERT_EQ(connection.SetRetryLimit(2), S_OK);
    ASSERT_EQ(connection.Open(&error), S_OK);
    Outcome outcome = runExchange(connection, newerRequest(0x51));
    EXPECT_EQ(outcome.result, S_OK);
    EXPECT_EQ(hexOf(outcome.reply), hexOf(replyFrame(0xFE, 0x51, bytesOf({1}))));
    EXPECT_EQ(peer.stop(), "");
    std::vector<std::string> seen = peer.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(hexOf(seen[2]), kKmtURecovery);
}

// One KMT exchange while another thread does `interrupt` once the peer has seen the request and
// `after` has passed; the outcome, and how long after the interruption the exchange returned.
struct Interrupted {
    Outcome outcome;
    std::chrono::microseconds lag{0};
};

Interrupted exchangeInterrupted(LinePeer& peer, CMovraDeviceConnection& connection,
                                std::chrono::milliseconds after,
                                const std::function<void()>& interrupt) {
    using Steady = std::chrono::steady_clock;
    std::promise<Steady::time_point> interrupted;
    std::thread interrupter([&] {
        peer.waitForRequests(1, std::chrono::seconds(10));
        std::this_thread::sleep_for(after);
        interrupted.set_value(Steady::now());
        interrupt();
    });
    Interrupted result;
    result.outcome = runExchange(connection, kmtRequest());
    Steady::time_point returned = Steady::now();
    interrupter.join();
    result.lag = std::chrono::duration_cast<std::chrono::microseconds>(
        returned - interrupted.get_future().get());
    return result;
}

// A stop ends the longest waits (a 16-second first byte, a frame body), by Abort or by the
// server's stop flag, from another thread: the connection looks at it between two wait slices,
// so at most the slice under way when it came follows it.
TEST(LineStopTest, EndsAWaitWithinOneSlice) {
    enum class Stop { kAbort, kServerFlag };
    const struct {
        Stop how;
        std::string reply;  // what the peer sends before going quiet
    } cases[] = {{Stop::kAbort, ""},
                 {Stop::kServerFlag, ""},
                 {Stop::kAbort, bytesOf({0xFE, 0xB0, 0xF0, 0x01})}};
    for (const auto& c : cases) {
        LinePeer peer(kComPort, 8, [&](const std::string&, size_t) { return c.reply; });
        FakeClock clock;
        std::atomic<LONG> stop{0};
        CMovraDeviceConnection connection(deviceOf(kTypeKmt), 0, clock, StopToken(stop));
        uint16_t error;
        ASSERT_EQ(connection.SetRetryLimit(5), S_OK);
        ASSERT_EQ(connection.Open(&error), S_OK);
        // 200 ms into the exchange the connection is deep in its wait.
        test::StopProbe probe(clock, 200, [&] {
            if (c.how == Stop::kAbort) {
                connection.Abort();
            } else {
                stop.store(1);
            }
        });
        Outcome outcome = runExchange(connection, kmtRequest());
        ASSERT_TRUE(probe.finish());
        EXPECT_EQ(outcome.result, E_FAIL);
        EXPECT_LE(probe.slicesAfterStop(), 1u);
        EXPECT_LT(clock.nowMs(), 16000u);
        EXPECT_EQ(peer.requests().size(), 1u);  // no reopening and resending after a stop
    }
}

// The far side goes away during the exchange (the program playing the line ended, an adapter was
// pulled): the exchange ends within milliseconds of the hang-up instead of waiting out 16 s for a
// first byte or 18 s for a frame's rest, and a reopening finds the port gone.
TEST(LineHangUpTest, EndsTheExchangeWithinMilliseconds) {
    const struct {
        std::string reply;  // what the peer sends before it hangs up
        uint16_t attempts;
        uint16_t error;
    } cases[] = {{"", 1, ERR_NO_ANSWER},
                 {bytesOf({0xFE, 0xB0, 0x10, 0x01}), 1, ERR_INCOMPLETE},
                 {bytesOf({0xFE, 0xB0, 0x10, 0x01}), 3, ERR_PORT_SETUP}};
    for (const auto& c : cases) {
        LinePeer peer(kComPort, 8, [&](const std::string&, size_t) { return c.reply; });
        CMovraDeviceConnection connection(deviceOf(kTypeKmt), 0, platform::realClock());
        uint16_t error;
        ASSERT_EQ(connection.SetRetryLimit(c.attempts), S_OK);
        ASSERT_EQ(connection.Open(&error), S_OK);
        // The reply's first bytes are read within a wait slice; any later is as good.
        Interrupted run = exchangeInterrupted(peer, connection, std::chrono::milliseconds(100),
                                              [&] { peer.hangUp(); });
        const std::string row =
            std::to_string(c.reply.size()) + " bytes, " + std::to_string(c.attempts);
        EXPECT_EQ(run.outcome.result, E_FAIL) << row;
        EXPECT_EQ(run.outcome.error, c.error) << row;
        // Bounded by the shortest wait it would otherwise sit out (a frame's rest, over 2 s).
        EXPECT_LT(run.lag.count(), 2000000) << row;
    }
}

TEST(LinePortTest, AnOpenPortIsNotSharedAndIsFreeAgainAfterClose) {
    LinePeer peer(kComPort, 8, nullptr);
    CMovraDeviceConnection first(deviceOf(kTypeKmt), 0, platform::realClock());
    CMovraDeviceConnection second(deviceOf(kTypeKmtV), 0, platform::realClock());
    uint16_t error;
    ASSERT_EQ(first.Open(&error), S_OK);
    EXPECT_EQ(second.Open(&error), E_FAIL);
    EXPECT_EQ(error, ERR_PORT_SETUP);
    EXPECT_EQ(first.Open(&error), S_OK);  // opening again replaces the connection's own handle
    EXPECT_EQ(first.Close(&error), S_OK);
    EXPECT_EQ(error, ERR_NONE);
    EXPECT_EQ(second.Open(&error), S_OK);

    DeviceRecord elsewhere = deviceOf(kTypeKmt);
    elsewhere.comPort = kComPort + 1;  // no link of that name in the ports folder
    CMovraDeviceConnection missing(elsewhere, 0, platform::realClock());
    EXPECT_EQ(missing.Open(&error), E_FAIL);
    EXPECT_EQ(error, ERR_PORT_SETUP);
}

}  // namespace
}  // namespace movra
