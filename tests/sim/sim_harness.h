// The simulator under test as a real program on a pseudo-terminal, and the master side of the
// line: requests and replies encoded here from the wire description, apart from the simulator.
#pragma once

#include "tests/support/test_support.h"
#include "tools/support/piped_child.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace movra::sim::test {

using Bytes = std::vector<uint8_t>;

// CRC-16 with the reflected polynomial 0xA001 from 0xFFFF, bit by bit.
uint16_t wireCrc(const Bytes& bytes);
bool crcIsZero(const Bytes& frame);

// An 8-byte KMT request: address, function, four parameters, CRC.
Bytes kmtRequest(uint8_t address, uint8_t function, uint8_t p2 = 0, uint8_t p3 = 0, uint8_t p4 = 0,
                 uint8_t p5 = 0);
// A 10-byte request of the newer family: index in byte 2, selector in byte 4.
Bytes newRequest(uint8_t address, uint8_t function, uint8_t index = 0, uint8_t selector = 0);

float floatAt(const Bytes& data, size_t offset);
uint16_t wordAt(const Bytes& data, size_t offset);
// Four bytes of a float, least significant first.
void appendFloat(Bytes& out, float value);
void appendWord(Bytes& out, uint16_t value);

std::string hexOf(const Bytes& bytes);

struct ReplyFrame {
    Bytes skipped;  // bytes before the address byte
    Bytes raw;      // the frame: address to CRC
    uint8_t address() const { return raw[0]; }
    uint8_t function() const { return raw[1]; }
    Bytes data() const { return Bytes(raw.begin() + 3, raw.end() - 2); }
};

class SimLine {
public:
    // Starts kmt-sim --pty <temp>/com5 with `arguments` and waits for its READY line.
    explicit SimLine(const std::vector<std::string>& arguments, bool captureStderr = false);
    ~SimLine();

    void send(const Bytes& bytes);
    // The next frame that starts with `address`, within `timeoutMs`.
    std::optional<ReplyFrame> receive(uint8_t address, int timeoutMs = 3000);
    // Sends and receives; a test failure when nothing comes.
    ReplyFrame exchange(const Bytes& request);
    // Every byte that arrives within `milliseconds`.
    Bytes readFor(int milliseconds);
    // Sends `request`, then `probe` to an answering device: the first frame on the line must be
    // the probe's reply, so `request` was not answered (the simulator answers in order).
    void expectNoAnswer(const Bytes& request, const Bytes& probe);

    toolsupport::PipedChild& process() { return *child_; }
    const std::string& link() const { return link_; }
    std::string stderrText() const;

private:
    movra::test::TempDir dir_;
    std::string link_;
    std::string stderrPath_;
    std::unique_ptr<toolsupport::PipedChild> child_;
    int fd_ = -1;
    Bytes pending_;
};

// The program's exit code and standard error for a run that should end by itself.
struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};
RunResult runSim(const std::vector<std::string>& arguments);

}  // namespace movra::sim::test
