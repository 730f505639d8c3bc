#include "core/link/billing_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/decode/billing_message.h"
#include "core/decode/field_decoder.h"
#include "core/link/link_fakes.h"
#include "support/scripted_prompt.h"

namespace velk {
namespace {

// The message bytes of a frame (its hexadecimal pairs), after checking the framing.
std::vector<uint8_t> MessageOf(const std::vector<uint8_t>& frame) {
    EXPECT_GE(frame.size(), 7u);
    EXPECT_EQ(frame.front(), STX);
    EXPECT_EQ(frame.back(), ETX);
    const uint32_t L = ParseLengthDigits(&frame[1]);
    EXPECT_EQ(frame.size(), L + 4);
    uint8_t bcc = 0;
    for (uint32_t i = 1; i <= L; ++i)
        bcc ^= frame[i];
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", bcc);
    EXPECT_EQ(frame[L + 1], digits[0]);
    EXPECT_EQ(frame[L + 2], digits[1]);
    std::vector<uint8_t> bytes;
    for (uint32_t i = 4; i + 1 <= L; i += 2) {
        bytes.push_back(static_cast<uint8_t>(
            std::stoi(std::string(frame.begin() + i, frame.begin() + i + 2), nullptr, 16)));
    }
    return bytes;
}

BillingRecord AllAbsent() {
    BillingRecord r{};
    r.fill(0xFF);
    return r;
}

std::vector<uint8_t> Optional(const std::vector<uint8_t>& message) {
    return {message.begin() + 39, message.end()};
}

TEST(BillingRecordConverter, RecordWithEveryOptionalByteAbsentInBothNumberBases) {
    for (int32_t hexType : {1, 0}) {
        const std::vector<uint8_t> frame = ConvertBillingRecord(AllAbsent(), hexType, 0);
        ASSERT_EQ(frame.size(), 95u) << hexType;
        EXPECT_EQ(std::string(frame.begin() + 1, frame.begin() + 4), "05B");  // L = 91
        const std::vector<uint8_t> m = MessageOf(frame);
        ASSERT_EQ(m.size(), 44u);
        EXPECT_EQ(m[0], 0x52);
        EXPECT_EQ(m[1], 0x03);
        for (size_t i = 2; i < 39; ++i)
            EXPECT_EQ(m[i], 0xFF) << i;
        EXPECT_EQ(Optional(m), (std::vector<uint8_t>{0x01, 0x02, 0x00, 0xFF, 0xFF}));
    }
}

TEST(BillingRecordConverter, FixedPartInMessageOrder) {
    BillingRecord r = AllAbsent();
    r[2] = 0x34, r[3] = 0x12;  // sequence 0x1234, written high byte first
    r[8] = 0x07, r[9] = 0x00;  // trunk 7
    r[10] = 0x09;
    for (size_t i = 0; i < 4; ++i)
        r[11 + i] = static_cast<uint8_t>(0x20 + i);
    for (size_t i = 0; i < 8; ++i) {
        r[18 + i] = static_cast<uint8_t>(0x30 + i);
        r[26 + i] = static_cast<uint8_t>(0x40 + i);
    }
    for (size_t i = 0; i < 12; ++i)
        r[34 + i] = static_cast<uint8_t>(0x50 + i);
    const std::vector<uint8_t> m = MessageOf(ConvertBillingRecord(r, 1, 0));
    ASSERT_GE(m.size(), 39u);
    EXPECT_EQ(std::vector<uint8_t>(m.begin() + 2, m.begin() + 7),
              (std::vector<uint8_t>{0x12, 0x34, 0x00, 0x07, 0x09}));
    EXPECT_EQ(m[7], 0x20);
    EXPECT_EQ(m[10], 0x23);
    EXPECT_EQ(m[11], 0x30);
    EXPECT_EQ(m[18], 0x37);
    EXPECT_EQ(m[19], 0x40);
    EXPECT_EQ(m[26], 0x47);
    EXPECT_EQ(m[27], 0x50);
    EXPECT_EQ(m[38], 0x5B);
}

// Each optional element appears exactly when its presence rule holds, in the order of the tags.
TEST(BillingRecordConverter, EveryOptionalTagFollowsItsPresenceRule) {
    struct Case {
        uint8_t tag;
        std::vector<size_t> offsets;  // the record bytes that make it present
        std::vector<uint8_t> value;   // the value bytes it then carries
    };
    const std::vector<Case> cases = {
        {2, {4}, {0x11}},
        {3, {5}, {0x11}},
        {4, {6}, {0x11}},
        {5, {52}, {0x11}},
        {6, {16}, {0xFF, 0x11}},  // 16-bit at 16, high byte first
        {7, {55}, {0x11}},
        {8, {54}, {0x11}},
        {10, {46}, {0x11}},
        {12, {73}, {0x11}},
        {13, {56}, {0x11}},
        {14, {60}, {0xFF, 0xFF, 0xFF, 0x11}},
        {16, {70}, {0xFF, 0x11}},
        {21, {64}, {0xFF, 0xFF, 0xFF, 0x11, 0xFF, 0xFF, 0xFF, 0xFF}},
        {23, {91}, {0x11, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {24, {97}, {0x11, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {25, {103}, {0x11, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        BillingRecord r = AllAbsent();
        for (size_t at : c.offsets)
            r[at] = 0x11;
        const std::vector<uint8_t> opt = Optional(MessageOf(ConvertBillingRecord(r, 1, 0)));
        std::vector<uint8_t> expected = {0x01, 0x02, 0x00, c.tag,
                                         static_cast<uint8_t>(2 * c.value.size())};
        expected.insert(expected.end(), c.value.begin(), c.value.end());
        expected.push_back(0xFF);
        expected.push_back(0xFF);
        EXPECT_EQ(opt, expected) << "tag " << int{c.tag};
    }
    // Tag 21 counts only its first four bytes: the last four alone do not make it present.
    BillingRecord r = AllAbsent();
    r[65] = 0x11;
    EXPECT_EQ(Optional(MessageOf(ConvertBillingRecord(r, 1, 0))).size(), 5u);
    // All present together come in tag order.
    r = AllAbsent();
    for (size_t at : {4, 5, 6, 52, 16, 55, 54, 46, 73, 56, 57, 69, 48, 61, 75, 91, 97, 103})
        r[at] = 0x01;
    const std::vector<uint8_t> all = Optional(MessageOf(ConvertBillingRecord(r, 1, 0)));
    std::vector<uint8_t> tags;
    for (size_t i = 0; i + 1 < all.size();) {
        if (all[i] == 0xFF)
            break;
        tags.push_back(all[i]);
        i += 2 + all[i + 1] / 2;
    }
    EXPECT_EQ(tags, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 10, 12, 13, 14, 16, 20, 21, 22,
                                          23, 24, 25}));
}

TEST(BillingRecordConverter, MeteringPulsesByteOrder) {
    BillingRecord r = AllAbsent();
    r[48] = 0x01, r[49] = 0x02, r[50] = 0x03, r[51] = 0x04;  // 0x04030201 little-endian
    const std::vector<uint8_t> opt = Optional(MessageOf(ConvertBillingRecord(r, 1, 0)));
    EXPECT_EQ(opt,
              (std::vector<uint8_t>{0x01, 0x02, 0x00, 20, 8, 0x02, 0x01, 0x04, 0x03, 0xFF, 0xFF}));
}

TEST(BillingRecordConverter, LcrDigitsWithAndWithoutLcrInMandatory) {
    BillingRecord r = AllAbsent();
    for (size_t i = 0; i < 12; ++i)
        r[34 + i] = static_cast<uint8_t>(0x10 + i);  // the dialled digits
    for (size_t i = 0; i < 16; ++i)
        r[75 + i] = static_cast<uint8_t>(0x60 + i);  // the digits sent by LCR

    // Without: the dialled digits stay in the fixed part, tag 22 carries the LCR digits.
    std::vector<uint8_t> m = MessageOf(ConvertBillingRecord(r, 1, 0));
    EXPECT_EQ(m[27], 0x10);
    std::vector<uint8_t> opt = Optional(m);
    ASSERT_EQ(opt.size(), 3u + 2u + 16u + 2u);
    EXPECT_EQ(opt[3], 22);
    EXPECT_EQ(opt[4], 32);
    EXPECT_EQ(opt[5], 0x60);
    EXPECT_EQ(opt[20], 0x6F);

    // With: the LCR digits go into the fixed part, tag 22 the dialled digits and four FF.
    m = MessageOf(ConvertBillingRecord(r, 1, 1));
    EXPECT_EQ(m[27], 0x60);
    EXPECT_EQ(m[38], 0x6B);
    opt = Optional(m);
    ASSERT_EQ(opt.size(), 3u + 2u + 16u + 2u);
    EXPECT_EQ(opt[5], 0x10);
    EXPECT_EQ(opt[16], 0x1B);
    EXPECT_EQ(std::vector<uint8_t>(opt.begin() + 17, opt.begin() + 21),
              (std::vector<uint8_t>(4, 0xFF)));

    // With, but no LCR digits: the fixed part keeps the dialled digits; tag 22 is still written.
    r[75] = 0xFF;
    m = MessageOf(ConvertBillingRecord(r, 1, 1));
    EXPECT_EQ(m[27], 0x10);
    EXPECT_EQ(Optional(m)[3], 22);
}

TEST(BillingRecordConverter, PackedBcdTagsAndLengths) {
    EXPECT_EQ(PackedBcd(0), 0x0000);
    EXPECT_EQ(PackedBcd(22), 0x0022);
    EXPECT_EQ(PackedBcd(32), 0x0032);
    EXPECT_EQ(PackedBcd(1234), 0x1234);
    EXPECT_EQ(PackedBcd(9999), 0x9999);
    EXPECT_EQ(PackedBcd(10000), 0x9999);
    EXPECT_EQ(PackedBcd(4294967295u), 0x9999);
    BillingRecord r = AllAbsent();
    r[75] = 0x01;
    r[103] = 0x02;
    const std::vector<uint8_t> opt = Optional(MessageOf(ConvertBillingRecord(r, 0, 0)));
    ASSERT_EQ(opt.size(), 3u + 18u + 6u + 2u);
    EXPECT_EQ(opt[3], 0x22);  // tag 22 in BCD
    EXPECT_EQ(opt[4], 0x32);  // 16 value bytes: 32 digits
    EXPECT_EQ(opt[21], 0x25);
    EXPECT_EQ(opt[22], 0x08);
}

// The converted frame decodes as the call record it stands for.
TEST(BillingRecordConverter, ConvertedFrameDecodes) {
    BillingRecord r = AllAbsent();
    r[2] = 0x05, r[3] = 0x00;                                // sequence 5
    r[5] = 0x03;                                             // call type 3, "DDD Call"
    r[48] = 0x2C, r[49] = 0x01, r[50] = 0x00, r[51] = 0x00;  // 300 pulses
    const std::vector<uint8_t> frame = ConvertBillingRecord(r, 1, 0);
    AppSettings settings;
    FieldDecoder decoder(settings);
    const BillingMessage m(frame.data(), ParseLengthDigits(&frame[1]));
    std::string text;
    ASSERT_TRUE(decoder.DecodeField(0, m, RecordBase::FromHexType(1), text));
    EXPECT_EQ(text, "0005");
    ASSERT_TRUE(decoder.DecodeField(9, m, RecordBase::FromHexType(1), text));
    EXPECT_EQ(text, "DDD Call");
    ASSERT_TRUE(decoder.DecodeField(26, m, RecordBase::FromHexType(1), text));
    // Tag 20 carries the pulses with its bytes turned: 01 2C 00 00, read as one number.
    EXPECT_EQ(text, "19660800");
}

// The converter's frames feed only the decoder: with every Hex_Type it writes the tags the decoder
// reads with that Hex_Type, binary with 1 and packed BCD with any other value (a hand-edited 2).
TEST(BillingRecordConverter, TagsAreWhatTheDecoderReadsForEveryHexType) {
    BillingRecord r = AllAbsent();
    r[48] = 0x2C, r[49] = 0x01, r[50] = 0x00, r[51] = 0x00;  // tag 20: 0x14 or 0x20
    r[91] = 0x07;                                            // tag 23, 12 digits: 0x0C or 0x12
    const std::vector<uint8_t> bcd = ConvertBillingRecord(r, 0, 0);
    EXPECT_NE(ConvertBillingRecord(r, 1, 0), bcd);
    for (int32_t hexType : {2, -1, 7})
        EXPECT_EQ(ConvertBillingRecord(r, hexType, 0), bcd) << hexType;
    AppSettings settings;
    FieldDecoder decoder(settings);
    for (int32_t hexType : {1, 0, 2}) {
        const std::vector<uint8_t> frame = ConvertBillingRecord(r, hexType, 0);
        const BillingMessage m(frame.data(), ParseLengthDigits(&frame[1]));
        std::string text;
        EXPECT_TRUE(decoder.DecodeField(26, m, RecordBase::FromHexType(hexType), text)) << hexType;
    }
}

// An "HD format" frame carries a record in hexadecimal pairs; with APP_HDFormat the link
// delivers it converted.
TEST(BillingRecordConverter, HdFormatFrameThroughTheLink) {
    BillingRecord r = AllAbsent();
    r[2] = 0x2A, r[3] = 0x00;    // sequence 42
    r[8] = 0x03, r[9] = 0x00;    // trunk 3
    r[5] = 0x0B;                 // incoming call
    r[16] = 0x10, r[17] = 0x00;  // incoming trunk 16
    r[48] = 0x2C, r[49] = 0x01, r[50] = 0, r[51] = 0;
    // The HD frame as the unpacking table reads it: 16-bit values high pair first, 32-bit values
    // lowest pair first.
    std::string text(512, '0');  // L = 515
    const auto put = [&text](size_t offset, uint8_t b) {
        static const char* hex = "0123456789ABCDEF";
        text[offset - 4] = hex[b >> 4];
        text[offset - 4 + 1] = hex[b & 0xF];
    };
    put(4, r[0]);
    put(6, r[3]), put(8, r[2]);
    for (size_t i = 0; i < 3; ++i)
        put(10 + 2 * i, r[4 + i]);
    put(16, r[9]), put(18, r[8]);
    for (size_t i = 0; i < 5; ++i)
        put(20 + 2 * i, r[10 + i]);
    put(30, r[17]), put(32, r[16]);
    for (size_t i = 0; i < 15; ++i)
        put(34 + 2 * i, r[18 + i]);
    for (size_t i = 0; i < 14; ++i)
        put(64 + 2 * i, r[33 + i]);
    for (size_t i = 0; i < 4; ++i)
        put(92 + 2 * i, r[48 + i]);
    for (size_t i = 0; i < 14; ++i)
        put(100 + 2 * i, r[52 + i]);
    for (size_t i = 0; i < 32; ++i)
        put(128 + 2 * i, r[66 + i]);
    for (size_t i = 0; i < 10; ++i)
        put(192 + 2 * i, r[98 + i]);
    const std::string hdFrame = test::MakeFrame(text);
    ASSERT_EQ(ParseLengthDigits(reinterpret_cast<const uint8_t*>(hdFrame.data()) + 1), 515u);

    BillingRecord unpacked{};
    ASSERT_TRUE(UnpackHdFrame(reinterpret_cast<const uint8_t*>(hdFrame.data()), 515, unpacked));
    EXPECT_EQ(unpacked[2], 0x2A);
    EXPECT_EQ(unpacked[16], 0x10);
    EXPECT_EQ(unpacked[48], 0x2C);
    for (size_t untouched : {1, 7, 15, 47, 112, 255})
        EXPECT_EQ(unpacked[untouched], 0x00) << untouched;  // bytes no pair reaches stay 0

    AppSettings settings;
    settings.APP_HDFormat = 1;
    settings.IP_Used = 1;
    StatisticCounters counters;
    test::FakeTimers timers;
    test::FakeClock clock;
    test::ScriptedPrompt prompt;
    test::RecordingObserver observer;
    test::RecordingDispatcher dispatcher;
    test::RecordingLog log;
    test::FakeChannel tcp;
    BillingRecordConverter converter(settings);
    cs_smda_prot prot(settings, counters, timers, clock, prompt, observer, dispatcher, log);
    prot.SetChannels(&tcp, nullptr);
    prot.SetHdConverter(&converter);
    ASSERT_TRUE(prot.SMDA_Connect());
    prot.OnChannelReady();
    prot.RX_Buf[0] = STX;
    prot.SMDA_read_event(1);
    std::copy(hdFrame.begin() + 1, hdFrame.end(), prot.RX_Buf.begin() + 1);
    prot.SMDA_read_event(3);
    prot.SMDA_read_event(515);
    ASSERT_EQ(tcp.written.back(), ACK);
    prot.RX_Buf[0] = EOT;
    prot.SMDA_read_event(1);
    ASSERT_EQ(dispatcher.frames.size(), 1u);
    const std::vector<uint8_t> expected = ConvertBillingRecord(unpacked, 1, 0);
    EXPECT_EQ(dispatcher.frames[0], std::string(expected.begin(), expected.end() - 1));
    EXPECT_EQ(prot.Data_Len, ParseLengthDigits(expected.data() + 1));
}

}  // namespace
}  // namespace velk
