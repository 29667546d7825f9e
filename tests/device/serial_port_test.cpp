// The native serial port on a pseudo-terminal: naming, exclusivity, line settings, reads that
// complete only with all their bytes, bounded waits and cancellation.
#include "platform/serial.h"

#include "tests/support/test_support.h"
#include "tests/support/timing.h"
#include "tools/support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

using movra::test::Steady;

class SerialPortTest : public testing::Test {
protected:
    void SetUp() override {
        pty.publish(folder.file("com3"));
        ::setenv("MOVRA_PORTS", folder.path().c_str(), 1);
    }
    void TearDown() override { ::unsetenv("MOVRA_PORTS"); }

    void peerWrite(const std::string& bytes) {
        ASSERT_EQ(::write(pty.controllerFd(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Reads what the port wrote, waiting up to ten seconds for `count` bytes.
    std::string peerRead(size_t count) {
        std::string bytes;
        auto deadline = Steady::now() + std::chrono::seconds(10);
        while (bytes.size() < count && Steady::now() < deadline) {
            pollfd entry{pty.controllerFd(), POLLIN, 0};
            if (::poll(&entry, 1, 10) > 0) {
                char chunk[64];
                ssize_t got = ::read(pty.controllerFd(), chunk, sizeof chunk);
                if (got > 0) {
                    bytes.append(chunk, static_cast<size_t>(got));
                }
            }
        }
        return bytes;
    }
    // Waits in slices until the read completes or `limitMs` passes.
    platform::ReadProgress awaitRead(platform::SerialPort& port, int limitMs) {
        auto deadline = Steady::now() + std::chrono::milliseconds(limitMs);
        platform::ReadProgress progress = port.waitRead(5);
        while (!progress.complete && Steady::now() < deadline) {
            progress = port.waitRead(5);
        }
        return progress;
    }

    movra::test::TempDir folder;
    toolsupport::PtyPair pty;
};

TEST_F(SerialPortTest, OpensTheNamedLinkOnceAtATime) {
    platform::SerialPort port;
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(port.open(4));  // no com4 in the folder
    EXPECT_FALSE(port.open(0));
    ASSERT_TRUE(port.open(3));
    EXPECT_TRUE(port.isOpen());
    EXPECT_FALSE(port.open(3));  // already open here

    platform::SerialPort other;
    EXPECT_FALSE(other.open(3));
    port.close();
    EXPECT_FALSE(port.isOpen());
    EXPECT_TRUE(other.open(3));
}

TEST_F(SerialPortTest, ConfiguresRaw8N1AtTheBaudRate) {
    platform::SerialPort port;
    EXPECT_FALSE(port.configure(9600));  // not open
    ASSERT_TRUE(port.open(3));
    EXPECT_FALSE(port.configure(12345));
    ASSERT_TRUE(port.configure(19200));

    int fd = ::open(pty.terminalPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(::tcgetattr(fd, &tio), 0);
    ::close(fd);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST_F(SerialPortTest, WritesEveryByteUnchanged) {
    platform::SerialPort port;
    ASSERT_TRUE(port.open(3));
    ASSERT_TRUE(port.configure(9600));
    // Bytes a cooked terminal would change or swallow: CR, LF, XON, XOFF, DEL, 0x00, 0xFF.
    const uint8_t bytes[] = {0x0D, 0x0A, 0x11, 0x13, 0x7F, 0x00, 0xFF, 0x03};
    port.clearErrors();
    ASSERT_TRUE(port.write(bytes, sizeof bytes));
    EXPECT_EQ(peerRead(sizeof bytes),
              std::string(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

TEST_F(SerialPortTest, AReadCompletesOnlyWhenAllItsBytesHaveArrived) {
    platform::SerialPort port;
    ASSERT_TRUE(port.open(3));
    ASSERT_TRUE(port.configure(9600));
    uint8_t buffer[6] = {};
    ASSERT_TRUE(port.startRead(buffer, 4));
    peerWrite("\x0D\x0A");
    // However late the two bytes come through, the read stays incomplete with them.
    platform::ReadProgress progress = awaitRead(port, 50);
    for (auto deadline = Steady::now() + std::chrono::seconds(10);
         progress.transferred < 2 && Steady::now() < deadline;) {
        progress = awaitRead(port, 50);
    }
    EXPECT_FALSE(progress.complete);
    EXPECT_EQ(progress.transferred, 2u);
    peerWrite(std::string("\x00\xFF\x55", 3));
    progress = awaitRead(port, 10000);
    EXPECT_TRUE(progress.complete);
    EXPECT_EQ(progress.transferred, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 6),
              std::string("\x0D\x0A\x00\xFF\x00\x00", 6));
    // The byte beyond the read waits for the next one.
    ASSERT_TRUE(port.startRead(buffer, 1));
    EXPECT_TRUE(awaitRead(port, 10000).complete);
    EXPECT_EQ(buffer[0], 0x55);
}

// A wait asked for a second is cut to one slice: on the fastest of a few tries (a busy machine
// lengthens some tries, an uncut wait all of them).
TEST_F(SerialPortTest, ASilentWaitLastsOneSliceAtMost) {
    platform::SerialPort port;
    ASSERT_TRUE(port.open(3));
    ASSERT_TRUE(port.configure(9600));
    uint8_t byte = 0;
    ASSERT_TRUE(port.startRead(&byte, 1));
    bool anyComplete = false;
    const auto fastest =
        movra::test::fastestOf(5, [&] { anyComplete |= port.waitRead(1000).complete; });
    EXPECT_FALSE(anyComplete);
    EXPECT_GE(fastest.count(), 4000);
    EXPECT_LT(fastest.count(), 500000);
}

// A byte that comes a millisecond into a wait ends it then, not at the end of its slice. Measured
// against this run's own silent slice: a wait that ends well before the silent ones did has ended
// with its byte. A busy machine may deliver some bytes late, so the rounds go on until a few have
// shown it; a wait that always sleeps its slice never does.
TEST_F(SerialPortTest, AWaitEndsAsSoonAsItsLastByteArrives) {
    platform::SerialPort port;
    ASSERT_TRUE(port.open(3));
    ASSERT_TRUE(port.configure(9600));
    uint8_t silent = 0;
    ASSERT_TRUE(port.startRead(&silent, 1));
    const auto slice =
        movra::test::fastestOf(5, [&] { port.waitRead(platform::kSerialWaitSliceMs); });
    port.cancelRead();

    constexpr int kWanted = 3;
    int early = 0;
    int rounds = 0;
    for (; rounds < 300 && early < kWanted; ++rounds) {
        uint8_t byte = 0;
        ASSERT_TRUE(port.startRead(&byte, 1));
        std::thread peer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            peerWrite("\x42");
        });
        const Steady::time_point start = Steady::now();
        platform::ReadProgress progress = port.waitRead(platform::kSerialWaitSliceMs);
        const auto waited = Steady::now() - start;
        peer.join();
        if (progress.complete && waited < slice * 6 / 10) {
            ++early;
        }
        if (!progress.complete) {
            progress = awaitRead(port, 10000);
        }
        ASSERT_TRUE(progress.complete);
        EXPECT_EQ(byte, 0x42);
    }
    EXPECT_EQ(early, kWanted) << "no wait ended before its slice in " << rounds
                              << " rounds; a silent slice took " << slice.count() << " us";
}

TEST_F(SerialPortTest, ACancelledReadLeavesItsBufferAloneAndLosesNoByte) {
    platform::SerialPort port;
    ASSERT_TRUE(port.open(3));
    ASSERT_TRUE(port.configure(9600));
    uint8_t first[2] = {0xAA, 0xAA};
    ASSERT_TRUE(port.startRead(first, 2));
    EXPECT_FALSE(port.waitRead(1).complete);
    port.cancelRead();
    peerWrite("\x31\x32");
    EXPECT_TRUE(port.waitRead(5).complete);  // nothing runs any more
    EXPECT_EQ(first[0], 0xAA);
    EXPECT_EQ(first[1], 0xAA);
    uint8_t second[2] = {};
    ASSERT_TRUE(port.startRead(second, 2));
    EXPECT_TRUE(awaitRead(port, 10000).complete);
    EXPECT_EQ(second[0], 0x31);
    EXPECT_EQ(second[1], 0x32);
}

TEST_F(SerialPortTest, OpeningStartsWithEmptyBuffers) {
    {
        platform::SerialPort port;
        ASSERT_TRUE(port.open(3));
    }
    peerWrite("stale");
    // Await the bytes in the terminal's input queue, which a pseudo-terminal fills a moment later.
    int watcher = ::open(pty.terminalPath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(watcher, 0);
    pollfd entry{watcher, POLLIN, 0};
    ASSERT_EQ(::poll(&entry, 1, 10000), 1);
    ::close(watcher);
    platform::SerialPort port;
    ASSERT_TRUE(port.open(3));
    ASSERT_TRUE(port.configure(9600));
    uint8_t byte = 0;
    ASSERT_TRUE(port.startRead(&byte, 1));
    EXPECT_FALSE(awaitRead(port, 30).complete);
}

TEST(SerialPortDefaultTest, WithoutAPortsFolderTheSystemsSerialDevicesAreUsed) {
    ::unsetenv("MOVRA_PORTS");
    platform::SerialPort port;
    EXPECT_FALSE(port.open(250));  // /dev/ttyS249 does not exist
}

}  // namespace
