// The billing-record converter: any 256-byte record from a queue slot, and any "HD format" frame
// (L = 515) that carries one in hexadecimal pairs. The converted message must be a frame the link
// would accept: STX, three length digits L of an accepted length, L + 3 bytes with a good check,
// then ETX, whose fields decode.
#include <cstdio>
#include <string>
#include <vector>

#include "core/decode/billing_message.h"
#include "core/decode/field_decoder.h"
#include "core/link/billing_record.h"
#include "fuzz_input.h"

namespace velk::fuzz {
namespace {

void CheckConverted(const BillingRecord& record, int32_t hexType, int32_t lcr) {
    const std::vector<uint8_t> frame = ConvertBillingRecord(record, hexType, lcr);
    FUZZ_CHECK(frame.size() >= 7);
    FUZZ_CHECK(frame[0] == STX && frame.back() == ETX);
    const uint32_t length = ParseLengthDigits(&frame[1]);
    FUZZ_CHECK(frame.size() == length + 4u);
    FUZZ_CHECK(IsAcceptedLength(length));
    FUZZ_CHECK(BccMatches(frame.data(), length));
    // The fields decode from the frame alone, in a block of exactly its size.
    ExactBuffer exact(std::string(frame.begin(), frame.end() - 1));
    AppSettings settings;
    FieldDecoder decoder(settings);
    DecodedRecord decoded;
    decoder.DecodeRecord(BillingMessage(exact.Data(), length), hexType, decoded);
}

}  // namespace
}  // namespace velk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velk;
    using namespace velk::fuzz;
    FuzzInput in(data, size);
    const uint8_t mode = in.Byte();
    const int32_t hexType = mode & 1;
    const int32_t lcr = (mode >> 1) & 1;

    if ((mode & 4) == 0) {
        BillingRecord record{};
        const std::string bytes = in.Take(record.size());
        std::copy(bytes.begin(), bytes.end(), record.begin());
        CheckConverted(record, hexType, lcr);
        return 0;
    }
    // An HD frame: STX, "203", the hexadecimal pairs and whatever else the fuzzer gives, 518
    // bytes in a block of exactly that size.
    std::string frame =
        "\x02"
        "203" +
        in.Take(514);
    frame.resize(518, '0');
    ExactBuffer exact(frame);
    BillingRecord record{};
    if (!UnpackHdFrame(exact.Data(), 515, record))
        return 0;
    CheckConverted(record, hexType, lcr);
    return 0;
}
