#include "core/link/billing_record.h"

#include "core/foundation/hex_digits.h"

namespace velk {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr uint8_t kAbsent = 0xFF;

bool AllAbsent(const BillingRecord& r, size_t at, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (r[at + i] != kAbsent)
            return false;
    }
    return true;
}

class MessageBuilder {
public:
    // The decoder reads tags and lengths in base 16 only with Hex_Type 1.
    MessageBuilder(int32_t hexType) : binary_(hexType == 1) {}

    void Byte(uint8_t b) { bytes_.push_back(b); }
    void Copy(const BillingRecord& r, size_t at, size_t n) {
        bytes_.insert(bytes_.end(), r.begin() + static_cast<std::ptrdiff_t>(at),
                      r.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    // A little-endian 16-bit record value written high byte first.
    void Word(const BillingRecord& r, size_t at) {
        Byte(r[at + 1]);
        Byte(r[at]);
    }
    // An optional element's tag and length (the value follows): binary with the length in hex
    // digits, or both in packed BCD.
    void Element(uint32_t tag, uint32_t valueBytes) {
        const uint32_t length = 2 * valueBytes;
        Byte(static_cast<uint8_t>(binary_ ? tag : PackedBcd(tag)));
        Byte(static_cast<uint8_t>(binary_ ? length : PackedBcd(length)));
    }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    bool binary_;
    std::vector<uint8_t> bytes_;
};

}  // namespace

uint16_t PackedBcd(uint32_t n) {
    if (n > 9999)
        return 0x9999;
    return static_cast<uint16_t>((n / 1000) << 12 | (n / 100 % 10) << 8 | (n / 10 % 10) << 4 |
                                 n % 10);
}

std::vector<uint8_t> ConvertBillingRecord(const BillingRecord& r, int32_t hexType,
                                          int32_t lcrInMandatory) {
    MessageBuilder m(hexType);
    m.Byte(0x52);
    m.Byte(0x03);
    m.Word(r, 2);
    m.Word(r, 8);
    m.Byte(r[10]);
    m.Copy(r, 11, 4);
    m.Copy(r, 18, 8);
    m.Copy(r, 26, 8);
    const bool lcrDigits = lcrInMandatory != 0 && r[75] != kAbsent;
    m.Copy(r, lcrDigits ? 75 : 34, 12);

    const auto single = [&](uint32_t tag, size_t at) {
        if (r[at] != kAbsent) {
            m.Element(tag, 1);
            m.Byte(r[at]);
        }
    };
    m.Element(1, 1);
    m.Byte(0);
    single(2, 4);
    single(3, 5);
    single(4, 6);
    single(5, 52);
    if (!AllAbsent(r, 16, 2)) {
        m.Element(6, 2);
        m.Word(r, 16);
    }
    single(7, 55);
    single(8, 54);
    single(10, 46);
    single(12, 73);
    single(13, 56);
    if (!AllAbsent(r, 57, 4)) {
        m.Element(14, 4);
        m.Copy(r, 57, 4);
    }
    if (!AllAbsent(r, 69, 2)) {
        m.Element(16, 2);
        m.Copy(r, 69, 2);
    }
    if (!AllAbsent(r, 48, 4)) {
        // The metering pulses: bits 8-15, 0-7, 24-31, 16-23 of the little-endian value.
        m.Element(20, 4);
        m.Byte(r[49]);
        m.Byte(r[48]);
        m.Byte(r[51]);
        m.Byte(r[50]);
    }
    if (!AllAbsent(r, 61, 4)) {
        m.Element(21, 8);
        m.Copy(r, 61, 8);
    }
    if (lcrInMandatory != 0) {
        m.Element(22, 16);
        m.Copy(r, 34, 12);
        for (int i = 0; i < 4; ++i)
            m.Byte(kAbsent);
    } else if (r[75] != kAbsent) {
        m.Element(22, 16);
        m.Copy(r, 75, 16);
    }
    const auto block = [&](uint32_t tag, size_t at, size_t n) {
        if (r[at] != kAbsent) {
            m.Element(tag, static_cast<uint32_t>(n));
            m.Copy(r, at, n);
        }
    };
    block(23, 91, 6);
    block(24, 97, 6);
    block(25, 103, 4);
    m.Byte(0xFF);
    m.Byte(0xFF);

    // The frame: STX, L = 2 x message length + 3 as three digits, the pairs, BCC, ETX.
    const std::vector<uint8_t>& bytes = m.Bytes();
    const uint32_t L = 2 * static_cast<uint32_t>(bytes.size()) + 3;
    std::vector<uint8_t> frame;
    frame.reserve(L + 4);
    frame.push_back(STX);
    frame.push_back(static_cast<uint8_t>(kHex[(L >> 8) & 0xF]));
    frame.push_back(static_cast<uint8_t>(kHex[(L >> 4) & 0xF]));
    frame.push_back(static_cast<uint8_t>(kHex[L & 0xF]));
    for (uint8_t b : bytes) {
        frame.push_back(static_cast<uint8_t>(kHex[b >> 4]));
        frame.push_back(static_cast<uint8_t>(kHex[b & 0xF]));
    }
    uint8_t bcc = 0;
    for (size_t i = 1; i < frame.size(); ++i)
        bcc ^= frame[i];
    frame.push_back(static_cast<uint8_t>(kHex[bcc >> 4]));
    frame.push_back(static_cast<uint8_t>(kHex[bcc & 0xF]));
    frame.push_back(ETX);
    return frame;
}

bool UnpackHdFrame(const uint8_t* frame, uint32_t length, BillingRecord& r) {
    if (length != 515)
        return false;
    r.fill(0);
    const auto pair = [frame](size_t at) {
        return static_cast<uint8_t>(DigitValue(frame[at]) * 16 + DigitValue(frame[at + 1]));
    };
    // Bytes in order from frame offset `from` to record offset `to`.
    const auto bytes = [&](size_t from, size_t to, size_t n) {
        for (size_t i = 0; i < n; ++i)
            r[to + i] = pair(from + 2 * i);
    };
    // A 16-bit value whose first pair is the high byte, stored little-endian.
    const auto high16 = [&](size_t from, size_t to) {
        r[to + 1] = pair(from);
        r[to] = pair(from + 2);
    };
    // A 32-bit value whose first pair is the lowest byte.
    const auto low32 = [&](size_t from, size_t to) { bytes(from, to, 4); };
    bytes(4, 0, 1);
    high16(6, 2);
    bytes(10, 4, 3);
    high16(16, 8);
    bytes(20, 10, 5);
    high16(30, 16);
    bytes(34, 18, 15);
    bytes(64, 33, 14);
    low32(92, 48);
    bytes(100, 52, 14);
    bytes(128, 66, 32);
    bytes(192, 98, 10);
    low32(212, 108);
    return true;
}

bool BillingRecordConverter::Convert(const uint8_t* frame, uint32_t length,
                                     std::vector<uint8_t>& converted) {
    BillingRecord record{};
    if (!UnpackHdFrame(frame, length, record))
        return false;
    converted = ConvertBillingRecord(record, settings_.Hex_Type, settings_.APP_LCRinMandatory);
    return true;
}

}  // namespace velk
