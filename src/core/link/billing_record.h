#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/foundation/app_settings.h"
#include "core/link/link_protocol.h"

namespace velk {

// The billing server's binary call record, as read from a queue slot into a zeroed 256-byte area.
using BillingRecord = std::array<uint8_t, 256>;

// The billing-record converter: the record as a call-record frame (STX, three length digits, the
// message bytes as upper-case hexadecimal pairs, the BCC, ETX): 39 fixed message bytes, then the
// optional elements that are present (tag and length binary, the length in hex digits, with
// Hex_Type 1; packed BCD with any other Hex_Type), then the end mark FF FF. With
// APP_LCRinMandatory the fixed dialled digits come from the LCR digits and tag 22 carries the
// dialled digits.
std::vector<uint8_t> ConvertBillingRecord(const BillingRecord& record, int32_t hexType,
                                          int32_t lcrInMandatory);

// Packed BCD of n: one decimal digit in each nibble; above 9999 the value 0x9999.
uint16_t PackedBcd(uint32_t n);

// The record carried in hexadecimal pairs by an "HD format" frame (L = 515): false when the
// frame is not one.
bool UnpackHdFrame(const uint8_t* frame, uint32_t length, BillingRecord& record);

// The protocol's HD-format branch: unpack, then convert.
class BillingRecordConverter : public HdFrameConverter {
public:
    explicit BillingRecordConverter(const AppSettings& settings) : settings_(settings) {}
    bool Convert(const uint8_t* frame, uint32_t length, std::vector<uint8_t>& converted) override;

private:
    const AppSettings& settings_;
};

}  // namespace velk
