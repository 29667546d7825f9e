// Little-endian fields in and out of byte buffers. A read that would pass the end fails, leaves
// its output untouched and makes every later read fail too, so a decoder checks once at the end
// of a unit instead of after every field, and can never touch memory beyond the span.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace movra {

class ByteCursor {
public:
    explicit ByteCursor(std::span<const uint8_t> data) : data_(data) {}

    size_t remaining() const { return failed_ ? 0 : data_.size() - pos_; }
    size_t position() const { return pos_; }
    bool failed() const { return failed_; }

    // The next n bytes, or an empty span and the failed state when fewer remain.
    std::span<const uint8_t> take(size_t n) {
        if (failed_ || n > data_.size() - pos_) {
            failed_ = true;
            return {};
        }
        auto bytes = data_.subspan(pos_, n);
        pos_ += n;
        return bytes;
    }

    // Moves on n bytes, or to the end when fewer remain. Skipping never fails: only a later read
    // past the end does, so bytes a layout leaves unused at the end of a unit need not be there.
    void skip(size_t n) {
        if (!failed_) {
            pos_ += std::min(n, data_.size() - pos_);
        }
    }

    bool read(uint8_t& value) { return readLittleEndian(value); }
    bool read(uint16_t& value) { return readLittleEndian(value); }
    bool read(uint32_t& value) { return readLittleEndian(value); }
    bool read(float& value) {
        uint32_t bits = 0;
        if (!readLittleEndian(bits)) {
            return false;
        }
        value = std::bit_cast<float>(bits);
        return true;
    }
    template <size_t N>
    bool read(uint8_t (&bytes)[N]) {
        auto source = take(N);
        if (source.empty()) {
            return false;
        }
        std::memcpy(bytes, source.data(), N);
        return true;
    }
    // n bytes as a string; the length is checked against what remains before anything is
    // allocated, so a damaged length cannot ask for gigabytes.
    bool read(std::string& text, size_t n) {
        auto source = take(n);
        if (failed_) {
            return false;
        }
        text.assign(reinterpret_cast<const char*>(source.data()), source.size());
        return true;
    }

private:
    template <typename T>
    bool readLittleEndian(T& value) {
        auto source = take(sizeof(T));
        if (source.empty()) {
            return false;
        }
        T result = 0;
        for (size_t i = 0; i < sizeof(T); ++i) {
            result = static_cast<T>(result | (static_cast<T>(source[i]) << (8 * i)));
        }
        value = result;
        return true;
    }

    std::span<const uint8_t> data_;
    size_t pos_ = 0;
    bool failed_ = false;
};

// Appends little-endian fields to a byte buffer.
class ByteWriter {
public:
    explicit ByteWriter(std::vector<uint8_t>& out) : out_(out) {}

    void write(uint8_t value) { out_.push_back(value); }
    void write(uint16_t value) { writeLittleEndian(value); }
    void write(uint32_t value) { writeLittleEndian(value); }
    void write(float value) { writeLittleEndian(std::bit_cast<uint32_t>(value)); }
    void write(std::span<const uint8_t> bytes) {
        out_.insert(out_.end(), bytes.begin(), bytes.end());
    }
    void write(const std::string& text) {
        write(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    }

private:
    template <typename T>
    void writeLittleEndian(T value) {
        for (size_t i = 0; i < sizeof(T); ++i) {
            out_.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
    }

    std::vector<uint8_t>& out_;
};

}  // namespace movra
