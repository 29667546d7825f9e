// The serial port and the connection on a real Windows COM port: under Wine, COM<n> of the prefix
// is a pseudo-terminal whose far side echoes every byte (wine_serial_run.sh sets it up and names
// the port in MOVRA_TEST_COM). Windows build only.
#include "platform/serial.h"

#include "server/device/connection.h"
#include "tests/support/fake_clock.h"
#include "tests/support/frame_bytes.h"
#include "tests/support/timing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace movra {
namespace {

using test::bytesOf;
using test::hexOf;
using test::Steady;

unsigned testPort() {
    const char* value = std::getenv("MOVRA_TEST_COM");
    return value != nullptr ? static_cast<unsigned>(std::atoi(value)) : 0;
}

#define REQUIRE_TEST_PORT()                                                             \
    if (testPort() == 0) {                                                              \
        GTEST_SKIP() << "MOVRA_TEST_COM names no port; run through wine_serial_run.sh"; \
    }

// Wine lets a second CreateFileA open a COM port that is already open; Windows refuses it.
bool underWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

platform::ReadProgress awaitRead(platform::SerialPort& port, int limitMs) {
    auto deadline = Steady::now() + std::chrono::milliseconds(limitMs);
    platform::ReadProgress progress = port.waitRead(5);
    while (!progress.complete && Steady::now() < deadline) {
        progress = port.waitRead(5);
    }
    return progress;
}

TEST(WineSerialPortTest, OpensOnceConfiguresAndCarriesEveryByte) {
    REQUIRE_TEST_PORT();
    platform::SerialPort port;
    ASSERT_TRUE(port.open(testPort()));
    platform::SerialPort other;
    if (!underWine()) {
        EXPECT_FALSE(other.open(testPort()));  // no sharing
    }
    ASSERT_TRUE(port.configure(9600));

    const uint8_t bytes[] = {0xFE, 0x0D, 0x0A, 0x11, 0x13, 0x00, 0xFF, 0x7F};
    port.clearErrors();
    ASSERT_TRUE(port.write(bytes, sizeof bytes));
    uint8_t echo[sizeof bytes] = {};
    ASSERT_TRUE(port.startRead(echo, sizeof echo));
    platform::ReadProgress progress = awaitRead(port, 5000);
    EXPECT_TRUE(progress.complete);
    EXPECT_EQ(progress.transferred, sizeof bytes);
    EXPECT_EQ(hexOf(bytesOf(echo, sizeof echo)), hexOf(bytesOf(bytes, sizeof bytes)));

    port.close();
    other.close();
    EXPECT_TRUE(other.open(testPort()));
}

TEST(WineSerialPortTest, ASilentWaitIsBoundedAndACancelledReadWritesNoMore) {
    REQUIRE_TEST_PORT();
    platform::SerialPort port;
    ASSERT_TRUE(port.open(testPort()));
    ASSERT_TRUE(port.configure(9600));

    uint8_t first[16];
    std::fill(std::begin(first), std::end(first), 0xAA);
    ASSERT_TRUE(port.startRead(first, sizeof first));
    // A wait asked for a second lasts one slice, on the fastest of a few tries.
    bool anyComplete = false;
    const auto fastest = test::fastestOf(5, [&] { anyComplete |= port.waitRead(1000).complete; });
    EXPECT_FALSE(anyComplete);
    EXPECT_LT(fastest.count(), 500000);

    // Part of the bytes, then the cancellation: what it says landed is in the buffer, the rest
    // comes with the next read, and afterwards the buffer must stay as it is.
    const uint8_t some[3] = {1, 2, 3};
    ASSERT_TRUE(port.write(some, sizeof some));
    EXPECT_FALSE(awaitRead(port, 100).complete);
    const size_t landed = port.cancelRead();
    ASSERT_LE(landed, sizeof some);
    EXPECT_EQ(hexOf(bytesOf(first, landed)), hexOf(bytesOf(some, landed)));
    uint8_t snapshot[sizeof first];
    std::copy(std::begin(first), std::end(first), snapshot);

    const uint8_t marker[4] = {'W', 'X', 'Y', 'Z'};
    ASSERT_TRUE(port.write(marker, sizeof marker));
    std::string received;
    while (received.size() < 7 &&
           (received.size() < 4 || received.substr(received.size() - 4) != "WXYZ")) {
        uint8_t byte = 0;
        ASSERT_TRUE(port.startRead(&byte, 1));
        ASSERT_TRUE(awaitRead(port, 5000).complete) << "after " << hexOf(received);
        received += static_cast<char>(byte);
    }
    EXPECT_EQ(hexOf(received), hexOf(bytesOf(some + landed, sizeof some - landed) + "WXYZ"));
    EXPECT_EQ(hexOf(bytesOf(first, sizeof first)), hexOf(bytesOf(snapshot, sizeof snapshot)));
}

TEST(WineSerialPortTest, DiscardedInputIsGoneAndWhatComesAfterIsRead) {
    REQUIRE_TEST_PORT();
    platform::SerialPort port;
    ASSERT_TRUE(port.open(testPort()));
    ASSERT_TRUE(port.configure(9600));
    const uint8_t stale[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(port.write(stale, sizeof stale));
    for (auto deadline = Steady::now() + std::chrono::seconds(10);
         port.waitingInput() < sizeof stale && Steady::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(port.waitingInput(), sizeof stale) << "the echo is back";
    port.discardInput();
    EXPECT_EQ(port.waitingInput(), 0u);
    const uint8_t fresh[3] = {7, 8, 9};
    ASSERT_TRUE(port.write(fresh, sizeof fresh));
    uint8_t got[sizeof fresh] = {};
    ASSERT_TRUE(port.startRead(got, sizeof got));
    EXPECT_TRUE(awaitRead(port, 5000).complete);
    EXPECT_EQ(hexOf(bytesOf(got, sizeof got)), hexOf(bytesOf(fresh, sizeof fresh)));
}

DeviceRecord kmtOnTestPort() {
    DeviceRecord device;
    device.deviceType = kTypeKmt;
    device.linkType = kLinkRs232;
    device.baudCode = 3;
    device.comPort = static_cast<uint8_t>(testPort());
    return device;
}

// The echo of a KMT request whose byte 2 is 3 reads as a reply with three data bytes and a good
// CRC: the whole path (open, configure, overlapped write and read, CRC) through Windows' calls.
TEST(WineConnectionTest, ExchangesAFrameOverTheComPort) {
    REQUIRE_TEST_PORT();
    CMovraDeviceConnection connection(kmtOnTestPort(), 0, platform::realClock());
    uint16_t error = 0xFFFF;
    ASSERT_EQ(connection.Open(&error), S_OK);
    EXPECT_EQ(error, ERR_NONE);
    uint8_t request[8] = {0, 0xB0, 0x03, 0x11, 0x22, 0x33, 0, 0};
    uint8_t* reply = nullptr;
    uint32_t replySize = 0;
    ASSERT_EQ(connection.Exchange(8, request, &replySize, &reply, &error), S_OK);
    EXPECT_EQ(error, ERR_NONE);
    EXPECT_EQ(request[0], 0xFE);
    EXPECT_EQ(hexOf(bytesOf(reply, replySize)), hexOf(bytesOf(request, 8)));
    CoTaskMemFree(reply);

    if (!underWine()) {
        CMovraDeviceConnection second(kmtOnTestPort(), 0, platform::realClock());
        EXPECT_EQ(second.Open(&error), E_FAIL);
        EXPECT_EQ(error, ERR_PORT_SETUP);
    }
}

// Nothing sent, nothing echoed: the reply time-out runs on a fast test clock, and a stop from
// another thread ends a 16-second wait within the wait slice under way (the pending read is
// cancelled).
TEST(WineConnectionTest, SilenceTimesOutAndAStopEndsTheWait) {
    REQUIRE_TEST_PORT();
    {
        test::FakeClock clock;
        clock.setSleepHook([&clock](uint64_t) { clock.advanceMs(245); });
        CMovraDeviceConnection connection(kmtOnTestPort(), 0, clock);
        uint16_t error;
        ASSERT_EQ(connection.Open(&error), S_OK);
        uint32_t size = 0;
        uint8_t* frame = nullptr;
        EXPECT_EQ(connection.Receive(&size, &frame, &error), E_FAIL);
        EXPECT_EQ(error, ERR_NO_ANSWER);
        EXPECT_GE(clock.nowMs(), 16000u);
        EXPECT_LT(clock.nowMs(), 16500u);
    }
    test::FakeClock clock;
    CMovraDeviceConnection connection(kmtOnTestPort(), 0, clock);
    uint16_t error;
    ASSERT_EQ(connection.Open(&error), S_OK);
    test::StopProbe probe(clock, 200, [&] { connection.Abort(); });
    uint32_t size = 0;
    uint8_t* frame = nullptr;
    HRESULT result = connection.Receive(&size, &frame, &error);
    ASSERT_TRUE(probe.finish());
    EXPECT_EQ(result, E_FAIL);
    EXPECT_EQ(frame, nullptr);
    EXPECT_LE(probe.slicesAfterStop(), 1u);
    EXPECT_LT(clock.nowMs(), 16000u);
}

// The line's far side answers the first request with the start of a frame and then cuts the line
// (the hang-up run of wine_serial_run.sh, which sets MOVRA_TEST_HANGUP). Under Wine every read of
// such a port ends at once with an error: the exchange must end then, not spin through the 18 s
// that the frame's rest is allowed, and so must the next one (16 s for a first byte).
TEST(WineHangUpTest, EachExchangeOnACutLineEndsAtOnce) {
    REQUIRE_TEST_PORT();
    if (std::getenv("MOVRA_TEST_HANGUP") == nullptr) {
        GTEST_SKIP() << "the line's peer does not hang up; run as serial_wine_hangup_test";
    }
    CMovraDeviceConnection connection(kmtOnTestPort(), 0, platform::realClock());
    uint16_t error;
    ASSERT_EQ(connection.Open(&error), S_OK);
    for (uint16_t expected : {ERR_INCOMPLETE, ERR_NO_ANSWER}) {
        uint8_t request[8] = {0, 0xB0, 0, 0, 0, 0, 0, 0};
        uint8_t* reply = nullptr;
        uint32_t replySize = 0;
        Steady::time_point start = Steady::now();
        EXPECT_EQ(connection.Exchange(8, request, &replySize, &reply, &error), E_FAIL);
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start);
        EXPECT_EQ(error, expected);
        EXPECT_EQ(reply, nullptr);
        // The peer cuts the line 0.3 s after the request.
        EXPECT_LT(took.count(), 2000) << "link error " << expected;
        std::printf("link error %u after %lld ms\n", static_cast<unsigned>(expected),
                    static_cast<long long>(took.count()));
    }
    EXPECT_EQ(connection.Open(&error), E_FAIL);
    EXPECT_EQ(error, ERR_PORT_SETUP);
}

}  // namespace
}  // namespace movra
