#pragma once

// What every fuzz target shares: taking the fuzzer's bytes apart into decisions and buffers, and
// stopping loudly when a property does not hold.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace velk::fuzz {

// Aborts with the condition's text, so that the fuzzer keeps the input as a crash.
[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(condition)                                   \
    do {                                                        \
        if (!(condition))                                       \
            ::velk::fuzz::Fail(#condition, __FILE__, __LINE__); \
    } while (false)

// Reads decisions from the front of the fuzzer's input; what is left over is data.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return read_ >= size_; }
    size_t Remaining() const { return size_ - read_; }

    uint8_t Byte() { return Empty() ? 0 : data_[read_++]; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
    bool Flag() { return (Byte() & 1) != 0; }
    // A number in 0..limit - 1 (limit above 0).
    uint32_t Below(uint32_t limit) { return (limit <= 256 ? Byte() : Word()) % limit; }

    // Up to n of the next bytes, as a string.
    std::string Take(size_t n) {
        n = std::min(n, Remaining());
        std::string s(reinterpret_cast<const char*>(data_ + read_), n);
        read_ += n;
        return s;
    }
    std::string Rest() { return Take(Remaining()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t read_ = 0;
};

// A copy of bytes in a heap block of exactly their size, so that a read or write past the end
// is caught by AddressSanitizer (the fuzzer's own buffer may be followed by readable memory).
class ExactBuffer {
public:
    explicit ExactBuffer(const std::string& bytes)
        : size_(bytes.size()), data_(std::make_unique<uint8_t[]>(size_)) {
        std::copy(bytes.begin(), bytes.end(), data_.get());
    }
    uint8_t* Data() { return data_.get(); }
    size_t Size() const { return size_; }

private:
    size_t size_;
    std::unique_ptr<uint8_t[]> data_;
};

}  // namespace velk::fuzz
