// What the fuzz targets share: the input taken field by field (zeros once it is used up, so every
// input is a valid script) and a check that stops the run with a message, as a crash that both
// libFuzzer and the replay test see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace movra::fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : bytes_(data, size) {}

    bool empty() const { return position_ >= bytes_.size(); }
    size_t remaining() const { return bytes_.size() - position_; }

    uint8_t u8() { return empty() ? 0 : bytes_[position_++]; }
    // Each part is taken in its own statement: the order of operands is not fixed otherwise.
    uint16_t u16() {
        const uint16_t low = u8();
        return static_cast<uint16_t>(low | (u8() << 8));
    }
    uint32_t u32() {
        const uint32_t low = u16();
        return low | (uint32_t{u16()} << 16);
    }
    bool flag() { return (u8() & 1) != 0; }
    // One of count choices (count > 0).
    size_t pick(size_t count) { return u8() % count; }
    // Up to `count` bytes, fewer at the end of the input.
    std::vector<uint8_t> take(size_t count) {
        count = count < remaining() ? count : remaining();
        std::vector<uint8_t> out(bytes_.begin() + static_cast<std::ptrdiff_t>(position_),
                                 bytes_.begin() + static_cast<std::ptrdiff_t>(position_ + count));
        position_ += count;
        return out;
    }

private:
    std::span<const uint8_t> bytes_;
    size_t position_ = 0;
};

[[noreturn]] inline void checkFailed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

}  // namespace movra::fuzz

#define FUZZ_CHECK(condition)           \
    ((condition) ? static_cast<void>(0) \
                 : ::movra::fuzz::checkFailed(#condition, __FILE__, __LINE__))
