#include "tests/sim/sim_harness.h"

#include "tools/support/line_io.h"

#include <gtest/gtest.h>

#include <bit>
#include <csignal>
#include <cstdio>

namespace movra::sim::test {

uint16_t wireCrc(const Bytes& bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            bool carry = (crc & 1) != 0;
            crc >>= 1;
            if (carry) {
                crc ^= 0xA001;
            }
        }
    }
    return crc;
}

bool crcIsZero(const Bytes& frame) {
    return wireCrc(frame) == 0;
}

namespace {

Bytes withCrc(Bytes frame) {
    uint16_t crc = wireCrc(frame);
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

}  // namespace

Bytes kmtRequest(uint8_t address, uint8_t function, uint8_t p2, uint8_t p3, uint8_t p4,
                 uint8_t p5) {
    return withCrc({address, function, p2, p3, p4, p5});
}

Bytes newRequest(uint8_t address, uint8_t function, uint8_t index, uint8_t selector) {
    return withCrc({address, function, index, 0, selector, 0, 0, 0});
}

float floatAt(const Bytes& data, size_t offset) {
    uint32_t bits = 0;
    for (size_t i = 0; i < 4; ++i) {
        bits |= uint32_t{data.at(offset + i)} << (8 * i);
    }
    return std::bit_cast<float>(bits);
}

uint16_t wordAt(const Bytes& data, size_t offset) {
    return static_cast<uint16_t>(data.at(offset) | data.at(offset + 1) << 8);
}

void appendFloat(Bytes& out, float value) {
    uint32_t bits = std::bit_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    }
}

void appendWord(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

std::string hexOf(const Bytes& bytes) {
    std::string text;
    char cell[4];
    for (uint8_t byte : bytes) {
        std::snprintf(cell, sizeof cell, text.empty() ? "%02X" : " %02X", byte);
        text += cell;
    }
    return text;
}

SimLine::SimLine(const std::vector<std::string>& arguments, bool captureStderr)
    : link_(dir_.file("com5")) {
    std::vector<std::string> all{"--pty", link_};
    all.insert(all.end(), arguments.begin(), arguments.end());
    if (captureStderr) {
        stderrPath_ = dir_.file("stderr.txt");
    }
    child_ = std::make_unique<toolsupport::PipedChild>(KMT_SIM_PROGRAM, all, stderrPath_);
    std::optional<std::string> ready = child_->readLine(10000);
    if (!ready || *ready != "READY " + link_) {
        ADD_FAILURE() << "no READY line from kmt-sim, got: " << ready.value_or("(nothing)");
        return;
    }
    fd_ = toolsupport::openLine(link_, 9600);
}

SimLine::~SimLine() {
    toolsupport::closeLine(fd_);
    child_->signal(SIGTERM);
    child_->wait(5000);
}

void SimLine::send(const Bytes& bytes) {
    ASSERT_TRUE(toolsupport::writeAll(fd_, bytes.data(), bytes.size()));
}

std::optional<ReplyFrame> SimLine::receive(uint8_t address, int timeoutMs) {
    const int64_t deadline = toolsupport::monotonicUs() + int64_t{timeoutMs} * 1000;
    ReplyFrame frame;
    for (;;) {
        while (!pending_.empty() && pending_[0] != address) {
            frame.skipped.push_back(pending_[0]);
            pending_.erase(pending_.begin());
        }
        if (pending_.size() >= 3 && pending_.size() >= size_t{pending_[2]} + 5) {
            size_t length = size_t{pending_[2]} + 5;
            frame.raw.assign(pending_.begin(), pending_.begin() + static_cast<long>(length));
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(length));
            return frame;
        }
        int64_t left = deadline - toolsupport::monotonicUs();
        if (left <= 0 ||
            toolsupport::readAvailable(fd_, pending_, left) == toolsupport::WaitResult::Failed) {
            return std::nullopt;
        }
    }
}

ReplyFrame SimLine::exchange(const Bytes& request) {
    send(request);
    std::optional<ReplyFrame> reply = receive(request[0]);
    if (!reply) {
        ADD_FAILURE() << "no reply to " << hexOf(request);
        return ReplyFrame{{}, Bytes(5, 0)};
    }
    EXPECT_TRUE(crcIsZero(reply->raw)) << hexOf(reply->raw);
    EXPECT_TRUE(reply->skipped.empty()) << hexOf(reply->skipped);
    return *reply;
}

Bytes SimLine::readFor(int milliseconds) {
    const int64_t deadline = toolsupport::monotonicUs() + int64_t{milliseconds} * 1000;
    for (;;) {
        int64_t left = deadline - toolsupport::monotonicUs();
        if (left <= 0 ||
            toolsupport::readAvailable(fd_, pending_, left) == toolsupport::WaitResult::Failed) {
            break;
        }
    }
    Bytes all;
    all.swap(pending_);
    return all;
}

void SimLine::expectNoAnswer(const Bytes& request, const Bytes& probe) {
    send(request);
    send(probe);
    std::optional<ReplyFrame> reply = receive(probe[0]);
    ASSERT_TRUE(reply.has_value()) << "the probe " << hexOf(probe) << " was not answered";
    EXPECT_TRUE(reply->skipped.empty())
        << hexOf(request) << " was answered: " << hexOf(reply->skipped);
    EXPECT_EQ(reply->function(), probe[1]) << hexOf(reply->raw);
}

std::string SimLine::stderrText() const {
    return stderrPath_.empty() ? std::string() : movra::test::ReadFileBytes(stderrPath_);
}

RunResult runSim(const std::vector<std::string>& arguments) {
    movra::test::TempDir dir;
    std::string errPath = dir.file("stderr.txt");
    RunResult result;
    {
        toolsupport::PipedChild child(KMT_SIM_PROGRAM, arguments, errPath);
        result.out = child.readRest(10000);
        result.exitCode = child.wait(10000).value_or(-1);
    }
    result.err = movra::test::ReadFileBytes(errPath);
    return result;
}

}  // namespace movra::sim::test
