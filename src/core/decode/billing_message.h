#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/foundation/hex_digits.h"

namespace velk {

// Read access to one framed billing message: STX, three length digits L, the text and the BCC,
// L + 3 characters in all. Positions at or past that end are absent: they read as 0 and are never
// taken from whatever memory follows the frame.
class BillingMessage {
public:
    BillingMessage(const uint8_t* frame, uint32_t length)
        : data_(frame), length_(length), end_(static_cast<size_t>(length) + 3) {}

    uint32_t Length() const { return length_; }
    size_t End() const { return end_; }
    bool Has(size_t pos) const { return pos < end_; }
    uint8_t At(size_t pos) const { return pos < end_ ? data_[pos] : 0; }
    const uint8_t* Data() const { return data_; }

    // The located optional fields of the message for one number base, found by one walk.
    struct OptionalField {
        uint32_t position = 0;
        uint32_t width = 0;
    };
    bool FindOptional(uint32_t identifier, int base, OptionalField& out) const;

private:
    void Index(int base) const;

    const uint8_t* data_;
    uint32_t length_;
    size_t end_;
    // Filled on first use for a base: slot 1 + i of entries_ per identifier, 0 when absent.
    mutable int indexedBase_ = 0;
    mutable std::array<uint8_t, 256> slot_{};
    mutable std::array<OptionalField, 255> entries_{};
};

// The number of w characters at p in the given base, in signed 32-bit arithmetic (long fields
// wrap).
inline int32_t NumberAt(const BillingMessage& m, size_t p, uint32_t w, int base) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < w; ++i)
        v = v * static_cast<uint32_t>(base) + DigitValue(m.At(p + i));
    return static_cast<int32_t>(v);
}

}  // namespace velk
