// The simulator as a program on a line: several devices, other stations' traffic, injected
// faults, line timing, its command line and its end.
#include "tests/sim/sim_harness.h"
#include "tools/kmt-sim/values.h"
#include "tools/support/line_io.h"
#include "tools/support/pty.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

namespace movra::sim::test {
namespace {

// ---- several devices on one line ---------------------------------------------------------------

TEST(SimBus, EachDeviceAnswersOnlyItsOwnAddress) {
    SimLine line({"--baud", "115200", "--device", "model=KMT-U,address=1", "--device",
                  "model=KMT,address=2", "--device", "model=KMT-V"});
    ReplyFrame u = line.exchange(newRequest(1, 0x50, 0, 4));
    EXPECT_EQ(u.address(), 1);
    EXPECT_EQ(u.data().size(), 16u);
    ReplyFrame kmt = line.exchange(kmtRequest(2, 0xB1));
    EXPECT_EQ(kmt.address(), 2);
    EXPECT_EQ(kmt.data().size(), 11u);
    // Without an address the device answers 254, the RS-232 address.
    EXPECT_EQ(line.exchange(newRequest(254, 0x50, 1, 1)).address(), 254);
    // Nobody has address 9; a KMT-sized frame for a newer device is not its frame either.
    line.expectNoAnswer(newRequest(9, 0x50, 0, 4), kmtRequest(2, 0xB1));
    line.expectNoAnswer(kmtRequest(1, 0x50), kmtRequest(2, 0xB1));
}

TEST(SimBus, OtherStationsTrafficZerosAndNoiseArePassedOver) {
    SimLine line({"--baud", "115200", "--device", "model=KMT,address=2"});
    Bytes traffic(8, 0);                         // a KMT master's wake-up zeros
    Bytes foreignRequest = newRequest(7, 0x51);  // to another station
    Bytes foreignReply{7, 0x51, 3, 1, 2, 3};     // and its reply
    uint16_t crc = wireCrc(foreignReply);
    foreignReply.push_back(static_cast<uint8_t>(crc & 0xFF));
    foreignReply.push_back(static_cast<uint8_t>(crc >> 8));
    traffic.insert(traffic.end(), foreignRequest.begin(), foreignRequest.end());
    traffic.insert(traffic.end(), foreignReply.begin(), foreignReply.end());
    traffic.insert(traffic.end(), {0x37, 0x02, 0xB1, 0x99});  // noise, with our address in it
    Bytes request = kmtRequest(2, 0xB0, 0, 0, 0, 0x27);
    traffic.insert(traffic.end(), request.begin(), request.end());
    line.send(traffic);
    std::optional<ReplyFrame> reply = line.receive(2);
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(reply->skipped.empty()) << hexOf(reply->skipped);
    EXPECT_EQ(reply->function(), 0xB0);
    EXPECT_TRUE(crcIsZero(reply->raw));
    // Exactly one reply: the next exchange is answered cleanly.
    EXPECT_EQ(line.exchange(kmtRequest(2, 0xB1)).function(), 0xB1);
}

TEST(SimBus, ARequestArrivingInPiecesIsOneRequest) {
    SimLine line({"--baud", "115200", "--device", "model=KMT-G,address=4"});
    Bytes request = newRequest(4, 0x50, 0, 4);
    line.send(Bytes(request.begin(), request.begin() + 3));
    toolsupport::sleepUntilUs(toolsupport::monotonicUs() + 5000);  // a gap within the frame
    line.send(Bytes(request.begin() + 3, request.end()));
    std::optional<ReplyFrame> reply = line.receive(4);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->data().size(), 16u);
}

// ---- faults ------------------------------------------------------------------------------------

SimLine faultyLine(const std::string& faults) {
    return SimLine(
        {"--baud", "115200", "--device",
         "model=KMT-V,address=6,seed=9,channels=2,clock=fixed:2020-02-29T12:00:00," + faults});
}

TEST(SimFaults, SilentOnlyForItsFunction) {
    SimLine line = faultyLine("fault=silent@0x51");
    line.expectNoAnswer(newRequest(6, 0x51), newRequest(6, 0x50, 0, 4));
    line.expectNoAnswer(newRequest(6, 0x51), newRequest(6, 0x50, 1, 1));
}

TEST(SimFaults, NoiseBeforeAnIntactReply) {
    SimLine line = faultyLine("fault=noise:5@0x50");
    line.send(newRequest(6, 0x50, 1, 1));
    std::optional<ReplyFrame> reply = line.receive(6);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->skipped.size(), 5u);
    for (uint8_t byte : reply->skipped) {
        EXPECT_NE(byte, 6);
    }
    EXPECT_TRUE(crcIsZero(reply->raw));
    EXPECT_EQ(reply->data(), (Bytes{0x01, 0x12, 0x34, 0x56}));
}

TEST(SimFaults, WrongCrcOnceThenTheSameCycleAgain) {
    SimLine line = faultyLine("fault=crc@0x51#1");
    line.send(newRequest(6, 0x51));
    std::optional<ReplyFrame> spoiled = line.receive(6);
    ASSERT_TRUE(spoiled.has_value());
    EXPECT_FALSE(crcIsZero(spoiled->raw));
    // The repetition is intact and, since the first was spoiled, reports the same cycle.
    ReplyFrame good = line.exchange(newRequest(6, 0x51));
    EXPECT_EQ(Bytes(spoiled->raw.begin(), spoiled->raw.end() - 2),
              Bytes(good.raw.begin(), good.raw.end() - 2));
    EXPECT_EQ(floatAt(good.data(), 12), value(9, Quantity::ChannelQ, 1, 0));
    Bytes next = line.exchange(newRequest(6, 0x51)).data();
    EXPECT_EQ(floatAt(next, 12), value(9, Quantity::ChannelQ, 1, 1));
}

TEST(SimFaults, WrongFunctionCodeWithAValidCrc) {
    SimLine line = faultyLine("fault=func");
    line.send(newRequest(6, 0x50, 0, 4));
    std::optional<ReplyFrame> reply = line.receive(6);
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(crcIsZero(reply->raw));
    EXPECT_NE(reply->function() & 0x7F, 0x50);
    EXPECT_EQ(reply->function() & 0x80, 0);  // not an error reply either
}

TEST(SimFaults, ErrorReplyScopedToOneIndex) {
    SimLine line({"--baud", "115200", "--device", "model=KMT-U,address=6,fault=error:7@0x51/2"});
    EXPECT_EQ(line.exchange(newRequest(6, 0x51, 0)).function(), 0x51);
    ReplyFrame error = line.exchange(newRequest(6, 0x51, 2));
    EXPECT_EQ(error.function(), 0xD1);
    EXPECT_EQ(error.data(), Bytes{7});
    EXPECT_EQ(line.exchange(newRequest(6, 0x51, 3)).function(), 0x51);
}

TEST(SimFaults, FirstNFramesThenSilence) {
    SimLine line({"--baud", "115200", "--device", "model=KMT-G,address=6,fault=first:2", "--device",
                  "model=KMT-G,address=8"});
    line.exchange(newRequest(6, 0x50, 0, 4));
    line.exchange(newRequest(6, 0x51));
    line.expectNoAnswer(newRequest(6, 0x50, 0, 4), newRequest(8, 0x50, 0, 4));
    line.expectNoAnswer(newRequest(6, 0x51), newRequest(8, 0x50, 0, 4));
}

TEST(SimFaults, SkipAndCountPickOneRequest) {
    SimLine line = faultyLine("fault=silent@0x50/1+1#1");
    Bytes probe = newRequest(6, 0x50, 0, 4);
    line.exchange(newRequest(6, 0x50, 1, 1));
    line.expectNoAnswer(newRequest(6, 0x50, 1, 1), probe);
    EXPECT_EQ(line.exchange(newRequest(6, 0x50, 1, 1)).data().size(), 4u);
}

TEST(SimFaults, SlowBytesAndALateReply) {
    SimLine line = faultyLine("fault=slow:15@0x50,fault=delay:120@0x7F");
    int64_t start = toolsupport::monotonicUs();
    ReplyFrame slow = line.exchange(newRequest(6, 0x50, 1, 1));  // 9 bytes, 8 gaps
    int64_t slowUs = toolsupport::monotonicUs() - start;
    EXPECT_EQ(slow.raw.size(), 9u);
    EXPECT_GE(slowUs, 8 * 15000);
    EXPECT_LT(slowUs, 8 * 15000 + 400000);

    start = toolsupport::monotonicUs();
    line.exchange(newRequest(6, 0x7F));
    EXPECT_GE(toolsupport::monotonicUs() - start, 120000);
}

// ---- line timing -------------------------------------------------------------------------------

TEST(SimTiming, AReplyTakesTheLineTimeOfRequestAndReplyAt9600Baud) {
    SimLine line({"--baud", "9600", "--device", "model=KMT-U,address=1,channels=20"});
    Bytes request = newRequest(1, 0x51, 0);
    const double byteUs = 10.0 * 1e6 / 9600;
    int64_t start = toolsupport::monotonicUs();
    line.send(request);
    Bytes received;
    int64_t firstUs = 0;
    const size_t replyBytes = 5 + 7 + 3 * 20 * 4;  // 252
    while (received.size() < replyBytes && toolsupport::monotonicUs() - start < 3000000) {
        Bytes more = line.readFor(2);
        if (!more.empty() && received.empty()) {
            firstUs = toolsupport::monotonicUs() - start;
        }
        received.insert(received.end(), more.begin(), more.end());
    }
    int64_t lastUs = toolsupport::monotonicUs() - start;
    ASSERT_EQ(received.size(), replyBytes);
    EXPECT_TRUE(crcIsZero(received));
    const double minimumUs = (request.size() + replyBytes) * byteUs;
    EXPECT_GE(static_cast<double>(lastUs), minimumUs);
    EXPECT_LT(static_cast<double>(lastUs), minimumUs + 200000) << "grossly slower than the line";
    // The first byte comes after the request's own time, not with the whole reply at the end.
    EXPECT_GE(static_cast<double>(firstUs), (request.size() + 1) * byteUs);
    EXPECT_LT(static_cast<double>(firstUs), minimumUs / 2);
}

// ---- the program -------------------------------------------------------------------------------

TEST(SimProgram, TerminationSignalsEndItCleanlyAndRemoveTheLink) {
    for (int signal : {SIGTERM, SIGINT}) {
        SimLine line({"--device", "model=KMT"});
        ASSERT_TRUE(std::filesystem::is_symlink(line.link()));
        line.process().signal(signal);
        EXPECT_EQ(line.process().wait(5000), std::optional<int>(0));
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(line.link())));
    }
}

TEST(SimProgram, PortOptionUsesAnExistingTerminal) {
    toolsupport::PtyPair pair;
    toolsupport::PipedChild child(
        KMT_SIM_PROGRAM,
        {"--port", pair.terminalPath(), "--baud", "115200", "--device", "model=KMT-UV,address=3"});
    ASSERT_EQ(child.readLine(10000), std::optional<std::string>("READY " + pair.terminalPath()));
    Bytes request = newRequest(3, 0x7F);
    ASSERT_TRUE(toolsupport::writeAll(pair.controllerFd(), request.data(), request.size()));
    Bytes reply;
    int64_t deadline = toolsupport::monotonicUs() + 3000000;
    while (reply.size() < 5 && toolsupport::monotonicUs() < deadline) {
        toolsupport::readAvailable(pair.controllerFd(), reply,
                                   deadline - toolsupport::monotonicUs());
    }
    EXPECT_EQ(reply, (Bytes{3, 0x7F, 0, 0xA1, 0xF0}));
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(5000), std::optional<int>(0));
}

TEST(SimProgram, SignalDuringALongReplyEndsIt) {
    SimLine line({"--baud", "1200", "--device", "model=KMT"});
    line.send(kmtRequest(254, 0xB2));  // 245 bytes at 1200 baud: two seconds
    line.readFor(50);
    line.process().signal(SIGTERM);
    EXPECT_EQ(line.process().wait(2000), std::optional<int>(0));
}

TEST(SimProgram, TraceShowsFramesInAndOut) {
    SimLine line({"--trace", "--baud", "115200", "--device", "model=KMT,address=2"}, true);
    line.send(Bytes(8, 0));
    line.exchange(kmtRequest(2, 0xB1));
    line.process().signal(SIGTERM);
    ASSERT_TRUE(line.process().wait(5000).has_value());
    std::string trace = line.stderrText();
    EXPECT_NE(trace.find("zeros   00 00 00 00 00 00 00 00"), std::string::npos) << trace;
    EXPECT_NE(trace.find("in      " + hexOf(kmtRequest(2, 0xB1)) + "  (KMT@2)"), std::string::npos)
        << trace;
    EXPECT_NE(trace.find("out     02 B1 0B"), std::string::npos) << trace;
}

TEST(SimProgram, BadCommandLinesAreRefusedWithAReason) {
    struct Case {
        std::vector<std::string> arguments;
        std::string reason;
    };
    const Case cases[] = {
        {{"--pty", "/tmp/x", "--device", "model=KMT-X"}, "model"},
        {{"--pty", "/tmp/x"}, "--device"},
        {{"--device", "model=KMT"}, "--pty"},
        {{"--pty", "/tmp/x", "--device", "model=KMT,channels=5"}, "10 channels"},
        {{"--pty", "/tmp/x", "--device", "model=KMT,fault=error"}, "no error replies"},
        {{"--pty", "/tmp/x", "--device", "model=KMT-U,fault=boom"}, "kind"},
        {{"--pty", "/tmp/x", "--device", "model=KMT-U,fault=slow"}, "needs"},
        {{"--pty", "/tmp/x", "--device", "model=KMT-U,channels=21"}, "channels"},
        {{"--pty", "/tmp/x", "--device", "model=KMT-V,node1=1:1:1000"}, "volume scale"},
        {{"--pty", "/tmp/x", "--device", "model=KMT-G,clock=2019-02-30T00:00:00"}, "date"},
        {{"--pty", "/tmp/x", "--device", "model=KMT", "--device", "model=KMT-U"}, "address 254"},
        {{"--pty", "/tmp/x", "--baud", "9601", "--device", "model=KMT"}, "--baud"},
    };
    for (const Case& c : cases) {
        RunResult result = runSim(c.arguments);
        EXPECT_EQ(result.exitCode, 2) << c.reason;
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

TEST(SimProgram, HelpDescribesEveryOption) {
    RunResult result = runSim({"--help"});
    EXPECT_EQ(result.exitCode, 0);
    for (const char* word :
         {"--port", "--pty",    "--baud",   "--trace", "--device",  "model=", "address=", "serial=",
          "ident=", "variant=", "version=", "seed=",   "channels=", "nodes=", "nodeN=",   "chanN=",
          "clock=", "latency=", "fault=",   "silent",  "noise",     "crc",    "func",     "error",
          "slow",   "delay",    "first",    "+SKIP",   "#COUNT",    "READY"}) {
        EXPECT_NE(result.out.find(word), std::string::npos) << word;
    }
}

}  // namespace
}  // namespace movra::sim::test
