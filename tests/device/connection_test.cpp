// The connection's frame rules and its exchange logic over a scripted line; runs in both builds.
#include "server/device/connection.h"

#include "platform/serial.h"
#include "server/core/stop_token.h"
#include "tests/support/fake_clock.h"
#include "tests/support/frame_bytes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <string>
#include <vector>

namespace movra {
namespace {

using test::bytesOf;
using test::FakeClock;
using test::hexOf;
using test::replyFrame;

DeviceRecord deviceOf(uint8_t type, uint8_t link = kLinkRs232, uint8_t address = 0) {
    DeviceRecord device;
    device.deviceType = type;
    device.linkType = link;
    device.baudCode = 3;
    device.comPort = 5;
    device.rs485Address = address;
    return device;
}

std::string crcBytesOf(const std::string& bytes) {
    uint16_t crc = Crc16({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    return bytesOf({static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)});
}

TEST(Crc16Test, MatchesTheModbusVectors) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16(check), 0x4B37);
    EXPECT_EQ(Crc16({}), 0xFFFF);
    EXPECT_EQ(hexOf(crcBytesOf(bytesOf({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}))), "C5 CD");
    EXPECT_EQ(hexOf(crcBytesOf(bytesOf({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}))), "76 87");
}

TEST(Crc16Test, IsZeroOverAFrameWithItsCrcAndNotAfterAnyBitFlip) {
    std::string frame = replyFrame(0xFE, 0xB0, bytesOf({0x11, 0x22, 0x33, 0x00, 0xFF}));
    auto crcOf = [](const std::string& bytes) {
        return Crc16({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    };
    EXPECT_EQ(crcOf(frame), 0);
    for (size_t bit = 0; bit < frame.size() * 8; ++bit) {
        std::string damaged = frame;
        damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (1 << (bit % 8)));
        EXPECT_NE(crcOf(damaged), 0) << "bit " << bit;
    }
}

TEST(SerialPortNameTest, UsesTheDeviceNamespaceFromPortTen) {
    EXPECT_EQ(platform::serialPortName(1), "COM1");
    EXPECT_EQ(platform::serialPortName(9), "COM9");
    EXPECT_EQ(platform::serialPortName(10), "\\\\.\\COM10");
    EXPECT_EQ(platform::serialPortName(255), "\\\\.\\COM255");
}

TEST(ConnectionSetupTest, ReplyTimeoutAndBusAddressFollowTheModelAndLink) {
    struct Case {
        uint8_t type;
        uint8_t link;
        uint32_t timeoutSec;
        uint8_t address;
    };
    const Case cases[] = {
        {kTypeKmt, kLinkRs232, 16, 254},
        {kTypeKmt, kLinkRs485, 16, 7},
        {kTypeKmtV, kLinkRs485, 4, 7},
        {kTypeKmtG, 4, 4, 7},
        {kTypeKmtU, kLinkRs232, 12, 254},
        {kTypeKmtUV, kLinkRs485, 12, 7},
        {kTypeCode6, kLinkRs485, 10, 254},
        {0, kLinkRs232, 10, 254},
        {kTypeKmtV, 5, 4, 254},
    };
    for (const Case& c : cases) {
        CMovraDeviceConnection connection(deviceOf(c.type, c.link, 7), 0, platform::realClock());
        EXPECT_EQ(connection.replyTimeoutSec(), c.timeoutSec) << int(c.type) << "/" << int(c.link);
        EXPECT_EQ(connection.busAddress(), c.address) << int(c.type) << "/" << int(c.link);
        EXPECT_EQ(connection.retryLimit(), 1);
    }
}

TEST(ConnectionSetupTest, LinksFiveAndSixHaveNoPortAndTwoAndFourAreBuses) {
    for (uint8_t link = 1; link <= 6; ++link) {
        CMovraDeviceConnection connection(deviceOf(kTypeKmt, link), 0, platform::realClock());
        EXPECT_EQ(connection.HasSerialPort(), link != 5 && link != 6) << int(link);
        EXPECT_EQ(connection.IsBusLink(), link == 2 || link == 4) << int(link);
    }
}

TEST(ConnectionSetupTest, RetryLimitAcceptsOneToHundred) {
    CMovraDeviceConnection connection(deviceOf(kTypeKmt), 0, platform::realClock());
    EXPECT_EQ(connection.SetRetryLimit(0), E_INVALIDARG);
    EXPECT_EQ(connection.SetRetryLimit(101), E_INVALIDARG);
    EXPECT_EQ(connection.retryLimit(), 1);
    EXPECT_EQ(connection.SetRetryLimit(100), S_OK);
    EXPECT_EQ(connection.retryLimit(), 100);
    EXPECT_EQ(connection.SetRetryLimit(1), S_OK);
    EXPECT_EQ(connection.retryLimit(), 1);
}

TEST(FinalizeRequestTest, PutsAddressAndCrcIntoTheModelsFrame) {
    CMovraDeviceConnection kmt(deviceOf(kTypeKmt), 0, platform::realClock());
    uint8_t kmtFrame[8] = {0x00, 0xB0, 0x00, 0x00, 0x00, 0x27, 0x00, 0x00};
    ASSERT_TRUE(kmt.FinalizeRequest(kmtFrame));
    EXPECT_EQ(hexOf(bytesOf(kmtFrame, 8)), "FE B0 00 00 00 27 14 05");

    CMovraDeviceConnection kmtV(deviceOf(kTypeKmtV, kLinkRs485, 5), 0, platform::realClock());
    uint8_t newerFrame[10] = {0x99, 0x50, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
    ASSERT_TRUE(kmtV.FinalizeRequest(newerFrame));
    EXPECT_EQ(hexOf(bytesOf(newerFrame, 10)), "05 50 01 00 04 00 00 00 D0 D0");
}

TEST(FinalizeRequestTest, LeavesShortFramesAndUnknownTypesAlone) {
    CMovraDeviceConnection kmtU(deviceOf(kTypeKmtU), 0, platform::realClock());
    uint8_t shortFrame[8] = {0x00, 0x51, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(kmtU.FinalizeRequest(shortFrame));
    EXPECT_EQ(hexOf(bytesOf(shortFrame, 8)), "00 51 00 00 00 00 00 00");

    CMovraDeviceConnection other(deviceOf(kTypeCode6), 0, platform::realClock());
    uint8_t frame[4] = {0x01, 0x02, 0x03, 0x04};
    EXPECT_TRUE(other.FinalizeRequest(frame));
    EXPECT_EQ(hexOf(bytesOf(frame, 4)), "01 02 03 04");
}

TEST(ReplyMatchesTest, ComparesFunctionCodesByModel) {
    auto matches = [](uint8_t type, uint8_t requestCode, uint8_t replyCode) {
        CMovraDeviceConnection connection(deviceOf(type), 0, platform::realClock());
        const uint8_t request[2] = {0xFE, requestCode};
        const uint8_t reply[2] = {0xFE, replyCode};
        return connection.ReplyMatches(request, reply);
    };
    EXPECT_TRUE(matches(kTypeKmt, 0xB0, 0xB0));
    EXPECT_FALSE(matches(kTypeKmt, 0xB0, 0xB1));
    EXPECT_FALSE(matches(kTypeKmt, 0x30, 0xB0));  // the KMT's codes have bit 7 set themselves
    EXPECT_TRUE(matches(kTypeKmtV, 0x50, 0x50));
    EXPECT_TRUE(matches(kTypeKmtG, 0x50, 0xD0));  // error reply to the same request
    EXPECT_TRUE(matches(kTypeKmtUV, 0x7F, 0xFF));
    EXPECT_FALSE(matches(kTypeKmtU, 0x51, 0x50));
    EXPECT_TRUE(matches(kTypeCode6, 0x51, 0x12));
    EXPECT_TRUE(matches(0, 0x01, 0x02));
}

// The line replaced by a script: Receive hands out the next answer, Send and the port calls are
// recorded. Send still runs the real one for its pause (the port itself stays closed).
class ScriptedConnection : public CMovraDeviceConnection {
public:
    struct Answer {
        uint16_t error;     // ERR_NONE: `frame` is received
        std::string frame;  // with error ERR_NONE and an empty frame: out of memory
    };

    ScriptedConnection(const DeviceRecord& device, platform::Clock& clock, uint16_t riCount = 0,
                       StopToken stop = {})
        : CMovraDeviceConnection(device, riCount, clock, stop), clock_(clock) {}

    HRESULT Open(uint16_t* error) override {
        ++opens;
        *error = ERR_NONE;
        if (opens > opensAllowed) {
            *error = ERR_PORT_SETUP;
            return E_FAIL;
        }
        return S_OK;
    }
    HRESULT Close(uint16_t* error) override {
        ++closes;
        *error = ERR_NONE;
        return S_OK;
    }
    HRESULT Send(uint32_t count, const uint8_t* bytes, uint16_t* error) override {
        HRESULT result = CMovraDeviceConnection::Send(count, bytes, error);
        sent.push_back(bytesOf(bytes, count));
        sentAtMs.push_back(clock_.nowMs());
        return result;
    }
    HRESULT Receive(uint32_t* size, uint8_t** frame, uint16_t* error) override {
        *size = 0;
        *frame = nullptr;
        *error = ERR_NONE;
        ++receives;
        if (answers.empty()) {
            *error = ERR_NO_ANSWER;
            return E_FAIL;
        }
        Answer answer = answers.front();
        answers.pop_front();
        if (answer.error != ERR_NONE) {
            *error = answer.error;
            return E_FAIL;
        }
        if (answer.frame.empty()) {
            return E_OUTOFMEMORY;
        }
        *frame = static_cast<uint8_t*>(CoTaskMemAlloc(answer.frame.size()));
        std::copy(answer.frame.begin(), answer.frame.end(), *frame);
        *size = static_cast<uint32_t>(answer.frame.size());
        return S_OK;
    }

    // Runs Exchange on `request` and keeps the outcome; the reply is freed here.
    HRESULT exchange(std::string request) {
        uint8_t* reply = nullptr;
        uint32_t replySize = 0;
        HRESULT result =
            Exchange(static_cast<uint32_t>(request.size()),
                     reinterpret_cast<uint8_t*>(request.data()), &replySize, &reply, &error);
        lastReply = reply != nullptr ? bytesOf(reply, replySize) : std::string();
        CoTaskMemFree(reply);
        return result;
    }

    std::deque<Answer> answers;
    std::vector<std::string> sent;
    std::vector<uint64_t> sentAtMs;
    int opens = 0;
    int closes = 0;
    int opensAllowed = 1000;
    int receives = 0;
    uint16_t error = 0xFFFF;
    std::string lastReply;

private:
    platform::Clock& clock_;
};

std::string kmtRequest() {
    return bytesOf({0x00, 0xB0, 0x00, 0x00, 0x00, 0x27, 0x00, 0x00});
}

std::string kmtVRequest() {
    return bytesOf({0x00, 0x51, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
}

const std::string kKmtSent = "FE B0 00 00 00 27 14 05";
const std::string kKmtRecovery = "FE B1 00 00 00 00 69 DF";
const std::string kKmtVRecovery = "FE 7F 00 00 00 00 00 00 40 04";

TEST(ExchangeTest, RejectsBadArgumentsAndShortRequests) {
    FakeClock clock;
    ScriptedConnection connection(deviceOf(kTypeKmtV), clock);
    uint8_t request[10] = {};
    uint8_t* reply = reinterpret_cast<uint8_t*>(&connection);
    uint32_t replySize = 77;
    uint16_t error = 77;
    EXPECT_EQ(connection.Exchange(0, request, &replySize, &reply, &error), E_INVALIDARG);
    EXPECT_EQ(connection.Exchange(10, nullptr, &replySize, &reply, &error), E_INVALIDARG);
    EXPECT_EQ(connection.Exchange(10, request, nullptr, &reply, &error), E_INVALIDARG);
    EXPECT_EQ(connection.Exchange(10, request, &replySize, nullptr, &error), E_INVALIDARG);
    EXPECT_EQ(connection.Exchange(10, request, &replySize, &reply, nullptr), E_INVALIDARG);
    // An 8-byte request of a newer model would get its CRC written behind the buffer.
    EXPECT_EQ(connection.Exchange(8, request, &replySize, &reply, &error), E_INVALIDARG);
    EXPECT_EQ(replySize, 0u);
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(error, ERR_NONE);
    EXPECT_TRUE(connection.sent.empty());
}

TEST(ExchangeTest, FirstReplyIsHandedOutWithoutRecovery) {
    FakeClock clock;
    ScriptedConnection connection(deviceOf(kTypeKmt), clock);
    std::string reply = replyFrame(0xFE, 0xB0, bytesOf({1, 2, 3}));
    connection.answers = {{ERR_NONE, reply}};
    EXPECT_EQ(connection.exchange(kmtRequest()), S_OK);
    EXPECT_EQ(connection.error, ERR_NONE);
    EXPECT_EQ(connection.lastReply, reply);
    ASSERT_EQ(connection.sent.size(), 1u);
    EXPECT_EQ(hexOf(connection.sent[0]), kKmtSent);
    EXPECT_EQ(connection.opens + connection.closes, 0);
}

TEST(ExchangeTest, RetriesWithAReopenedPortAndSendsTheRecoveryFrameOnce) {
    FakeClock clock;
    ScriptedConnection connection(deviceOf(kTypeKmt), clock);
    ASSERT_EQ(connection.SetRetryLimit(3), S_OK);
    std::string reply = replyFrame(0xFE, 0xB0, bytesOf({9}));
    connection.answers = {{ERR_NO_ANSWER, ""},
                          {ERR_NONE, reply},
                          {ERR_NONE, replyFrame(0xFE, 0xB1, std::string(11, '\0'))}};
    EXPECT_EQ(connection.exchange(kmtRequest()), S_OK);
    EXPECT_EQ(connection.error, ERR_NONE);
    EXPECT_EQ(connection.lastReply, reply);
    ASSERT_EQ(connection.sent.size(), 3u);
    EXPECT_EQ(hexOf(connection.sent[0]), kKmtSent);
    EXPECT_EQ(hexOf(connection.sent[1]), kKmtSent);
    EXPECT_EQ(hexOf(connection.sent[2]), kKmtRecovery);
    EXPECT_EQ(connection.closes, 1);
    EXPECT_EQ(connection.opens, 1);
}

TEST(ExchangeTest, GivesUpAfterRetryLimitAttemptsKeepingTheLastError) {
    FakeClock clock;
    ScriptedConnection connection(deviceOf(kTypeKmt), clock);
    ASSERT_EQ(connection.SetRetryLimit(3), S_OK);
    connection.answers = {{ERR_NO_ANSWER, ""}, {ERR_CRC, ""}, {ERR_INCOMPLETE, ""}};
    EXPECT_EQ(connection.exchange(kmtRequest()), E_FAIL);
    EXPECT_EQ(connection.error, ERR_INCOMPLETE);
    EXPECT_EQ(connection.lastReply, "");
    EXPECT_EQ(connection.sent.size(), 3u);
    EXPECT_EQ(connection.closes, 2);
    EXPECT_EQ(connection.opens, 2);
}

TEST(ExchangeTest, DeviceErrorsAndLackOfMemoryAreNotRepeated) {
    FakeClock clock;
    ScriptedConnection device(deviceOf(kTypeKmtU), clock);
    ASSERT_EQ(device.SetRetryLimit(5), S_OK);
    device.answers = {{ERR_DEVICE, ""}};
    EXPECT_EQ(device.exchange(kmtVRequest()), E_FAIL);
    EXPECT_EQ(device.error, ERR_DEVICE);
    EXPECT_EQ(device.sent.size(), 1u);

    ScriptedConnection memory(deviceOf(kTypeKmtU), clock);
    ASSERT_EQ(memory.SetRetryLimit(5), S_OK);
    memory.answers = {{ERR_NONE, ""}};
    EXPECT_EQ(memory.exchange(kmtVRequest()), E_OUTOFMEMORY);
    EXPECT_EQ(memory.error, ERR_NONE);
    EXPECT_EQ(memory.sent.size(), 1u);
}

TEST(ExchangeTest, AnEndlessRunOfForeignFramesCountsAsNoAnswer) {
    FakeClock clock;
    ScriptedConnection connection(deviceOf(kTypeKmt), clock);
    for (int i = 0; i < 100; ++i) {
        connection.answers.push_back({ERR_NONE, replyFrame(0xFE, 0xB3, bytesOf({1}))});
    }
    EXPECT_EQ(connection.exchange(kmtRequest()), E_FAIL);
    EXPECT_EQ(connection.error, ERR_NO_ANSWER);
    EXPECT_EQ(connection.sent.size(), 1u);
    EXPECT_EQ(connection.receives, 33);
}

TEST(ExchangeTest, AnUnansweredRecoveryFrameDoesNotSpoilTheReply) {
    FakeClock clock;
    ScriptedConnection connection(deviceOf(kTypeKmtG), clock);
    ASSERT_EQ(connection.SetRetryLimit(2), S_OK);
    std::string reply = replyFrame(0xFE, 0x51, bytesOf({7}));
    connection.answers = {
        {ERR_NO_ANSWER, ""}, {ERR_NONE, reply}, {ERR_NO_ANSWER, ""}, {ERR_NO_ANSWER, ""}};
    EXPECT_EQ(connection.exchange(kmtVRequest()), S_OK);
    EXPECT_EQ(connection.error, ERR_NONE);
    EXPECT_EQ(connection.lastReply, reply);
    ASSERT_EQ(connection.sent.size(), 4u);
    EXPECT_EQ(hexOf(connection.sent[2]), kKmtVRecovery);
    EXPECT_EQ(hexOf(connection.sent[3]), kKmtVRecovery);
}

TEST(ExchangeTest, APortThatCannotBeReopenedEndsTheExchange) {
    FakeClock clock;
    ScriptedConnection connection(deviceOf(kTypeKmt), clock);
    ASSERT_EQ(connection.SetRetryLimit(3), S_OK);
    connection.opensAllowed = 0;
    connection.answers = {{ERR_NO_ANSWER, ""}, {ERR_NONE, replyFrame(0xFE, 0xB0, "")}};
    EXPECT_EQ(connection.exchange(kmtRequest()), E_FAIL);
    EXPECT_EQ(connection.error, ERR_PORT_SETUP);
    EXPECT_EQ(connection.sent.size(), 1u);

    // The same during the recovery frame: the good reply is not handed out.
    ScriptedConnection recovering(deviceOf(kTypeKmt), clock);
    ASSERT_EQ(recovering.SetRetryLimit(3), S_OK);
    recovering.opensAllowed = 1;
    recovering.answers = {
        {ERR_NO_ANSWER, ""}, {ERR_NONE, replyFrame(0xFE, 0xB0, "")}, {ERR_NO_ANSWER, ""}};
    EXPECT_EQ(recovering.exchange(kmtRequest()), E_FAIL);
    EXPECT_EQ(recovering.error, ERR_PORT_SETUP);
    EXPECT_EQ(recovering.lastReply, "");
    EXPECT_EQ(recovering.sent.size(), 3u);
}

TEST(ExchangeTest, AStopEndsEveryLaterExchangeBeforeAnythingIsSent) {
    FakeClock clock;
    ScriptedConnection aborted(deviceOf(kTypeKmt), clock);
    EXPECT_EQ(aborted.Abort(), S_OK);
    aborted.answers = {{ERR_NONE, replyFrame(0xFE, 0xB0, "")}};
    EXPECT_EQ(aborted.exchange(kmtRequest()), E_FAIL);
    EXPECT_TRUE(aborted.sent.empty());

    std::atomic<LONG> stop{0};
    ScriptedConnection stopping(deviceOf(kTypeKmt), clock, 0, StopToken(stop));
    ASSERT_EQ(stopping.SetRetryLimit(3), S_OK);
    stopping.answers = {{ERR_NO_ANSWER, ""}};
    stop.store(1);
    EXPECT_EQ(stopping.exchange(kmtRequest()), E_FAIL);
    // The failed attempt saw the stop: no reopen, no second send.
    EXPECT_EQ(stopping.sent.size(), 1u);
    EXPECT_EQ(stopping.opens, 0);
    stop.store(0);
    stopping.answers = {{ERR_NONE, replyFrame(0xFE, 0xB0, "")}};
    EXPECT_EQ(stopping.exchange(kmtRequest()), E_FAIL);  // a seen stop never clears
    EXPECT_EQ(stopping.sent.size(), 1u);
}

TEST(SendTest, PausesFourByteTimesOnABusAndOneMillisecondOtherwise) {
    const struct {
        uint8_t link;
        uint8_t baudCode;
        uint64_t pauseMs;
    } cases[] = {{kLinkRs485, 1, 16}, {kLinkRs485, 2, 8}, {4, 3, 4},          {kLinkRs485, 4, 2},
                 {kLinkRs485, 9, 4},  {kLinkRs232, 1, 1}, {kLinkRs232, 4, 1}, {5, 1, 1}};
    for (const auto& c : cases) {
        FakeClock clock;
        DeviceRecord device = deviceOf(kTypeKmt, c.link, 3);
        device.baudCode = c.baudCode;
        CMovraDeviceConnection connection(device, 0, clock);
        const uint8_t bytes[2] = {1, 2};
        uint16_t error = 0xFFFF;
        EXPECT_EQ(connection.Send(2, bytes, &error), S_OK);
        EXPECT_EQ(error, ERR_NONE);
        EXPECT_EQ(clock.sleptMs(), c.pauseMs) << int(c.link) << "/" << int(c.baudCode);
    }
}

// The RI adapter needs seconds after the port opens before the first frame when it serves more
// than one device.
TEST(WarmUpTest, DelaysOnlyTheFirstFrameOfAConnectionThroughAnAdapterWithSeveralDevices) {
    const struct {
        uint8_t type;
        uint8_t link;
        uint8_t viaRi;
        uint16_t riCount;
        uint64_t firstSendMs;
    } cases[] = {
        {kTypeKmt, kLinkRs485, 1, 2, 4000},    {kTypeKmtV, 4, 1, 3, 4000},
        {kTypeKmtG, kLinkRs485, 1, 2, 4000},   {kTypeKmtU, kLinkRs485, 1, 2, 17000},
        {kTypeKmtUV, kLinkRs485, 1, 9, 17000}, {kTypeKmtU, kLinkRs485, 1, 1, 0},
        {kTypeKmtU, kLinkRs485, 0, 5, 0},      {kTypeKmtU, kLinkRs232, 1, 5, 0},
    };
    for (const auto& c : cases) {
        FakeClock clock;
        DeviceRecord device = deviceOf(c.type, c.link, 1);
        device.viaRiAdapter = c.viaRi;
        // The count starts with the connection, which the poll cycle opens at once.
        clock.advanceMs(50000);
        ScriptedConnection connection(device, clock, c.riCount);
        std::string request = c.type == kTypeKmt ? kmtRequest() : kmtVRequest();
        uint8_t code = static_cast<uint8_t>(request[1]);
        connection.answers = {{ERR_NONE, replyFrame(1, code, "")},
                              {ERR_NONE, replyFrame(1, code, "")}};
        ASSERT_EQ(connection.exchange(request), S_OK) << int(c.type);
        ASSERT_EQ(connection.exchange(request), S_OK) << int(c.type);
        ASSERT_EQ(connection.sentAtMs.size(), 2u);
        uint64_t first = connection.sentAtMs[0] - 50000;
        uint64_t second = connection.sentAtMs[1] - connection.sentAtMs[0];
        EXPECT_GE(first, c.firstSendMs) << int(c.type) << " via " << c.riCount;
        EXPECT_LT(first, c.firstSendMs + 100 + 20) << int(c.type) << " via " << c.riCount;
        EXPECT_LT(second, 20u) << int(c.type);
    }
}

TEST(WarmUpTest, AStopIsSeenWithinOneHundredMilliseconds) {
    std::atomic<LONG> stop{0};
    FakeClock clock;
    DeviceRecord device = deviceOf(kTypeKmtU, kLinkRs485, 1);
    device.viaRiAdapter = 1;
    ScriptedConnection connection(device, clock, 2, StopToken(stop));
    uint64_t stopAt = 0;
    clock.setSleepHook([&](uint64_t now) {
        if (now >= 3050 && stopAt == 0) {
            stopAt = now;
            stop.store(1);
        }
    });
    uint64_t start = clock.nowMs();
    EXPECT_EQ(connection.exchange(kmtVRequest()), E_FAIL);
    clock.setSleepHook(nullptr);
    EXPECT_TRUE(connection.sent.empty());
    ASSERT_NE(stopAt, 0u);
    EXPECT_LE(clock.nowMs() - start, stopAt + 100);
}

// linkType 5 and 6 name no port: the connection neither touches one nor waits for an answer.
TEST(NoPortLinkTest, OpensAndClosesButNeverReceives) {
    FakeClock clock;
    DeviceRecord device = deviceOf(kTypeKmt, 5);
    device.comPort = 200;  // would fail to open if it were tried
    CMovraDeviceConnection connection(device, 0, clock);
    uint16_t error = 0xFFFF;
    EXPECT_EQ(connection.Open(&error), S_OK);
    EXPECT_EQ(error, ERR_NONE);
    ASSERT_EQ(connection.SetRetryLimit(3), S_OK);

    uint8_t request[8] = {0, 0xB0, 0, 0, 0, 0x27, 0, 0};
    uint8_t* reply = nullptr;
    uint32_t replySize = 0;
    EXPECT_EQ(connection.Exchange(8, request, &replySize, &reply, &error), E_FAIL);
    EXPECT_EQ(error, ERR_NO_ANSWER);
    EXPECT_EQ(reply, nullptr);
    EXPECT_LT(clock.nowMs(), 10u);  // three sends' pauses, no reply time-out

    uint32_t size = 1;
    uint8_t* frame = request;
    EXPECT_EQ(connection.Receive(&size, &frame, &error), E_FAIL);
    EXPECT_EQ(error, ERR_NO_ANSWER);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(frame, nullptr);
    EXPECT_EQ(connection.Close(&error), S_OK);
}

TEST(OpenTest, AMissingPortIsAPortSetupError) {
    FakeClock clock;
    DeviceRecord device = deviceOf(kTypeKmt);
    device.comPort = 200;
    CMovraDeviceConnection connection(device, 0, clock);
    uint16_t error = 0;
    EXPECT_EQ(connection.Open(&error), E_FAIL);
    EXPECT_EQ(error, ERR_PORT_SETUP);
    EXPECT_EQ(connection.Open(nullptr), E_INVALIDARG);
    // Receiving on a port that is not open fails at once.
    uint32_t size = 0;
    uint8_t* frame = nullptr;
    EXPECT_EQ(connection.Receive(&size, &frame, &error), E_FAIL);
    EXPECT_EQ(error, ERR_NO_ANSWER);
    EXPECT_LT(clock.nowMs(), 10u);
    EXPECT_EQ(connection.Receive(nullptr, &frame, &error), E_INVALIDARG);
    EXPECT_EQ(connection.Close(&error), S_OK);
}

}  // namespace
}  // namespace movra
