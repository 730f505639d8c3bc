#include "core/foundation/ini_file.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

TEST(StructInt, EncodesLittleEndianBytesAndChecksum) {
    EXPECT_EQ(EncodeStructInt(1), "0100000001");
    EXPECT_EQ(EncodeStructInt(200), "C8000000C8");
    EXPECT_EQ(EncodeStructInt(0), "0000000000");
    EXPECT_EQ(EncodeStructInt(0x01020304), "040302010A");
    // -1 is four FF bytes; their sum 0x3FC gives the checksum FC.
    EXPECT_EQ(EncodeStructInt(-1), "FFFFFFFFFC");
    EXPECT_EQ(EncodeStructInt(-200), "38FFFFFF35");
}

TEST(StructInt, RoundTripsTheWholeRange) {
    for (int32_t v : {0, 1, -1, 200, 60000, -123456789, INT32_MAX, INT32_MIN}) {
        EXPECT_EQ(DecodeStructInt(EncodeStructInt(v)), v) << v;
    }
}

TEST(StructInt, RejectsUnreadableValues) {
    EXPECT_FALSE(DecodeStructInt("5"));            // hand-edited decimal
    EXPECT_FALSE(DecodeStructInt("010000000"));    // too short
    EXPECT_FALSE(DecodeStructInt("01000000011"));  // too long
    EXPECT_FALSE(DecodeStructInt("0100000002"));   // wrong checksum
    EXPECT_FALSE(DecodeStructInt("01000G0001"));   // not a hex digit
    EXPECT_FALSE(DecodeStructInt(""));
    EXPECT_EQ(DecodeStructInt("c8000000c8"), 200);  // lower case digits read
}

TEST(IniDocument, ReadsKeysWithoutRegardToCaseAndTrimsValues) {
    IniDocument doc;
    doc.Parse("[Settings]\r\n  ip ADDRESS =  10.0.0.1  \r\n; comment=x\r\nSite Name=\"Main\"\r\n");
    EXPECT_EQ(doc.Get("settings", "IP address"), "10.0.0.1");
    EXPECT_EQ(doc.Get("Settings", "Site Name"), "Main");
    EXPECT_FALSE(doc.Get("Settings", "comment"));
    EXPECT_FALSE(doc.Get("Other", "IP address"));
}

TEST(IniDocument, FirstOccurrenceOfAKeyWins) {
    IniDocument doc;
    doc.Parse("[S]\nk=1\nk=2\n");
    EXPECT_EQ(doc.Get("S", "k"), "1");
}

TEST(IniDocument, SetKeepsOrderUnknownKeysAndComments) {
    IniDocument doc;
    doc.Parse("; top\r\n[B]\r\nx=1\r\nunknown=keep\r\n\r\n[A]\r\ny=2\r\n");
    doc.Set("A", "y", "3");
    doc.Set("B", "x", "9");
    doc.Set("B", "new", "n");
    doc.Set("C", "z", "4");
    EXPECT_EQ(doc.Serialize(),
              "; top\r\n[B]\r\nx=9\r\nunknown=keep\r\nnew=n\r\n\r\n[A]\r\ny=3\r\n[C]\r\nz=4\r\n");
}

TEST(IniDocument, BinaryGarbageNeverBreaksTheParser) {
    std::string junk;
    for (int i = 0; i < 4096; ++i)
        junk += static_cast<char>((i * 7919) & 0xFF);
    junk += "\n[Settings\n=\n[]\n[S]\n=v\nk\n";
    IniDocument doc;
    doc.Parse(junk);
    EXPECT_FALSE(doc.Get("Settings", "IP address"));
    EXPECT_FALSE(doc.Get("S", "k"));
    doc.Set("S", "k", "1");
    EXPECT_EQ(doc.Get("S", "k"), "1");
}

}  // namespace
}  // namespace velk
