#include "core/link/tcp_record_splitter.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "link_fakes.h"

namespace velk {
namespace {

// Each reported piece with the bytes it placed: 1 -> area[0], 3 -> area[1..3], n -> area[4..].
class SplitterTest : public ::testing::Test {
protected:
    SplitterTest()
        : splitter_(area_.data(), area_.size(),
                    {[this](uint32_t n) { Record(n); }, [this](int m) { range_ = m; }, nullptr}) {
        area_.fill(0xEE);
    }

    void Record(uint32_t n) {
        std::string bytes;
        if (n == 1)
            bytes.assign(1, static_cast<char>(area_[0]));
        else if (n == 3)
            bytes.assign(reinterpret_cast<const char*>(&area_[1]), 3);
        else
            bytes.assign(reinterpret_cast<const char*>(&area_[4]), n);
        pieces_.emplace_back(n, bytes);
    }
    void Feed(const std::string& s) {
        splitter_.Feed(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    }
    static std::string Prefixed(const std::string& frame, int prefix = -1) {
        const unsigned n = prefix < 0 ? static_cast<unsigned>(frame.size()) : unsigned(prefix);
        return std::string{static_cast<char>(n >> 8), static_cast<char>(n & 0xFF)} + frame;
    }
    // The pieces one frame should produce.
    static std::vector<std::pair<uint32_t, std::string>> PiecesOf(const std::string& frame) {
        return {{1, frame.substr(0, 1)},
                {3, frame.substr(1, 3)},
                {static_cast<uint32_t>(frame.size() - 4), frame.substr(4)}};
    }

    std::array<uint8_t, 1003> area_{};
    int range_ = -1;
    std::vector<std::pair<uint32_t, std::string>> pieces_;
    TcpRecordSplitter splitter_;
};

TEST_F(SplitterTest, LoneEotIsAOneBytePiece) {
    Feed("\x04");
    ASSERT_EQ(pieces_.size(), 1u);
    EXPECT_EQ(pieces_[0], std::make_pair(1u, std::string("\x04")));
    Feed("\x15\x04");  // two control bytes together are two pieces
    EXPECT_EQ(pieces_.size(), 3u);
}

TEST_F(SplitterTest, WholeRecordIsSplitIntoThreePieces) {
    const std::string frame = test::MakeFrame(test::Text52(80));
    Feed(Prefixed(frame));
    EXPECT_EQ(pieces_, PiecesOf(frame));
    EXPECT_EQ(range_, static_cast<int>(frame.size()));
    EXPECT_EQ(splitter_.RecCount(), 0);
}

TEST_F(SplitterTest, PrefixAloneThenTheRest) {
    const std::string frame = test::MakeFrame(test::Text52(80));
    const std::string all = Prefixed(frame);
    Feed(all.substr(0, 2));
    EXPECT_TRUE(pieces_.empty());
    Feed(all.substr(2, 3));
    EXPECT_EQ(splitter_.Pending(), 5u);  // a prefix waits for the STX and digits that prove it one
    EXPECT_EQ(splitter_.RecCount(), 0);
    Feed(all.substr(5, 1));
    EXPECT_EQ(splitter_.RecCount(), frame.size());
    Feed(all.substr(6));
    EXPECT_EQ(pieces_, PiecesOf(frame));
}

TEST_F(SplitterTest, RecordInThreeSegmentsIsReassembled) {
    const std::string frame = test::MakeFrame(test::Text52(300));
    const std::string all = Prefixed(frame);
    Feed(all.substr(0, 1));  // half a prefix
    Feed(all.substr(1, 100));
    EXPECT_TRUE(pieces_.empty());
    Feed(all.substr(101));
    EXPECT_EQ(pieces_, PiecesOf(frame));
}

TEST_F(SplitterTest, TwoRecordsInOneSegment) {
    const std::string a = test::MakeFrame(test::Text52(80, '1'));
    const std::string b = test::MakeFrame(test::Text52(120, '2'));
    Feed(Prefixed(a) + Prefixed(b) + "\x04");
    auto expected = PiecesOf(a);
    for (auto& p : PiecesOf(b))
        expected.push_back(p);
    expected.emplace_back(1, "\x04");
    EXPECT_EQ(pieces_, expected);
}

TEST_F(SplitterTest, LengthDigitsDecideForTheIpecsMgServer) {
    splitter_.SetLengthFromDigits(true);
    const std::string frame = test::MakeFrame(test::Text52(80));
    // Prefix 0x0000: its value is not used; the body length is the frame's L.
    const std::string all = Prefixed(frame, 0);
    Feed(all.substr(0, 10));
    EXPECT_TRUE(pieces_.empty());
    Feed(all.substr(10));
    const uint32_t L = static_cast<uint32_t>(frame.size() - 4);
    ASSERT_EQ(pieces_.size(), 3u);
    EXPECT_EQ(pieces_[2].first, L);
    EXPECT_EQ(pieces_[2].second, frame.substr(4, L));
    Feed("\x04");
    EXPECT_EQ(pieces_.back(), std::make_pair(1u, std::string("\x04")));
}

TEST_F(SplitterTest, IpecsMgLengthBeyondTheAreaIsSkipped) {
    splitter_.SetLengthFromDigits(true);
    // Length digits FFF: 4095 body bytes would not fit; they are skipped as they arrive.
    const std::string header = std::string("\x00\x00\x02", 3) + "FFF";
    Feed(header + std::string(2000, 'x'));
    Feed(std::string(2095, 'y') + "\x04");
    ASSERT_EQ(pieces_.size(), 1u);
    EXPECT_EQ(pieces_[0].second, "\x04");
    for (size_t i = 1; i < area_.size(); ++i)
        EXPECT_EQ(area_[i], 0xEE) << i;
}

TEST_F(SplitterTest, UndersizedAndOversizedPrefixesNeverTouchTheArea) {
    Feed(std::string("\x00\x03\x02", 3) + "003");  // below 4: the prefix is dropped
    EXPECT_EQ(splitter_.RecCount(), 0);
    EXPECT_EQ(splitter_.Pending(), 0u);  // the rest of the undersized record: lone bytes
    EXPECT_EQ(pieces_.size(), 3u);
    pieces_.clear();
    area_.fill(0xEE);
    Feed(std::string("\x03\xEC\x02", 3) + "3E8");  // 1004 bytes cannot be held
    Feed(std::string(1000, 'z'));
    for (uint8_t b : area_)
        EXPECT_EQ(b, 0xEE);
    EXPECT_TRUE(pieces_.empty());
    const std::string frame = test::MakeFrame(test::Text52(996));  // 1003 bytes fits exactly
    Feed(Prefixed(frame));
    EXPECT_EQ(pieces_, PiecesOf(frame));
}

TEST_F(SplitterTest, PrefixThatDisagreesWithTheLengthDigitsReportsThePrefixCount) {
    const std::string frame = test::MakeFrame(test::Text52(80));
    Feed(Prefixed(frame, static_cast<int>(frame.size()) - 10) + std::string(10, '\x04'));
    ASSERT_GE(pieces_.size(), 3u);
    EXPECT_EQ(pieces_[2].first, frame.size() - 14);
}

TEST_F(SplitterTest, ResetGivesUpARecordInProgress) {
    const std::string frame = test::MakeFrame(test::Text52(80));
    Feed(Prefixed(frame).substr(0, 40));
    splitter_.Reset();
    EXPECT_EQ(splitter_.Pending(), 0u);
    Feed(Prefixed(frame));
    EXPECT_EQ(pieces_, PiecesOf(frame));
}

// A record cut off by a poll is given up by the reset; its tail arrives later. The tail's bytes
// stand alone (its ETX is dropped) and the next record comes out whole.
TEST_F(SplitterTest, TailOfARecordGivenUpNeverJoinsTheNextRecord) {
    const std::string first = Prefixed(test::MakeFrame(test::Text52(94, '5')));
    const std::string next = test::MakeFrame(test::Text52(80, '6'));
    Feed(first.substr(0, 20));
    splitter_.Reset();
    Feed(first.substr(20));
    Feed(Prefixed(next));
    ASSERT_GE(pieces_.size(), 3u);
    const std::vector<std::pair<uint32_t, std::string>> last(pieces_.end() - 3, pieces_.end());
    EXPECT_EQ(last, PiecesOf(next));
    for (size_t i = 0; i + 3 < pieces_.size(); ++i)
        EXPECT_EQ(pieces_[i].first, 1u) << i;              // the tail: lone bytes only
    EXPECT_EQ(pieces_.size() - 3, first.size() - 20 - 1);  // all but its ETX
    EXPECT_EQ(splitter_.RecCount(), 0);
    EXPECT_EQ(splitter_.Pending(), 0u);
}

TEST_F(SplitterTest, TailEndingInEtxWaitsAndIsDroppedWhenTheNextRecordComes) {
    const std::string next = test::MakeFrame(test::Text52(80, '6'));
    Feed("44\x03");
    EXPECT_EQ(splitter_.Pending(), 1u);  // an ETX could still be a prefix
    Feed(Prefixed(next));
    ASSERT_EQ(pieces_.size(), 5u);
    EXPECT_EQ(pieces_[0], std::make_pair(1u, std::string("4")));
    const std::vector<std::pair<uint32_t, std::string>> last(pieces_.begin() + 2, pieces_.end());
    EXPECT_EQ(last, PiecesOf(next));
}

TEST_F(SplitterTest, IpecsMgPrefixOfAnyValueIsSkipped) {
    splitter_.SetLengthFromDigits(true);
    const std::string frame = test::MakeFrame(test::Text52(80));
    for (int prefix : {0x0500, 0xFFFF, 0x3F3F, 0x0402, 0x1504}) {
        pieces_.clear();
        Feed(Prefixed(frame, prefix));
        EXPECT_EQ(pieces_, PiecesOf(frame)) << std::hex << prefix;
    }
    // Split after the prefix: the record waits for its STX and length digits.
    pieces_.clear();
    const std::string all = Prefixed(frame, 0x4142);
    Feed(all.substr(0, 2));
    Feed(all.substr(2, 3));
    EXPECT_TRUE(pieces_.empty());
    Feed(all.substr(5));
    EXPECT_EQ(pieces_, PiecesOf(frame));
}

// Records whose first bytes, as far as they arrived, look like something else: an iPECS-MG prefix
// whose first byte is EOT or NAK in a segment shorter than the six bytes that decide, and a stale
// ETX before a prefix whose low byte is STX (03 01 02 02 looks like the prefix 0x0301 and STX).
// Each comes out whole at once, not after the next poll.
TEST_F(SplitterTest, RecordWhoseFirstBytesLookLikeSomethingElseComesOutWhole) {
    struct Case {
        const char* what;
        bool fromDigits;
        std::string before;  // in front of the record, in the same segment
        size_t text;         // the record's text length
        int prefix;          // -1: the frame's length
        size_t cut;          // the first segment's length
    };
    const Case cases[] = {
        {"prefix 0x04.. cut after 2", true, "", 80, 0x0400, 2},
        {"prefix 0x04.. cut after 3", true, "", 80, 0x0415, 3},
        {"prefix 0x15.. cut after 5", true, "", 80, 0x1504, 5},
        {"stale ETX, 258-byte record", false, "\x03", 251, -1, std::string::npos},
        {"stale ETX, 514-byte record", false, "\x03", 507, -1, std::string::npos},
        {"stale ETX, 770-byte record cut", false, "\x03", 763, -1, 4},
        {"stale ETX, iPECS-MG", true, "\x03", 251, -1, std::string::npos},
    };
    for (const Case& c : cases) {
        pieces_.clear();
        splitter_.Reset();
        splitter_.SetLengthFromDigits(c.fromDigits);
        const std::string frame = test::MakeFrame(test::Text52(c.text));
        const std::string all = c.before + Prefixed(frame, c.prefix);
        Feed(all.substr(0, c.cut));
        if (c.cut < all.size())
            Feed(all.substr(c.cut));
        EXPECT_EQ(pieces_, PiecesOf(frame)) << c.what;
        EXPECT_EQ(splitter_.Pending(), 0u) << c.what;
    }
    // A control byte that is all that arrived stands alone; one followed by what cannot go on to
    // a record too.
    splitter_.SetLengthFromDigits(true);
    for (const std::string& segment :
         {std::string("\x04"), std::string("\x15xy"), std::string("\x04\x00\x03", 3)}) {
        pieces_.clear();
        splitter_.Reset();
        Feed(segment);
        ASSERT_FALSE(pieces_.empty());
        EXPECT_EQ(pieces_[0], std::make_pair(1u, segment.substr(0, 1)));
    }
}

TEST_F(SplitterTest, IpecsMgTailOfARecordGivenUpNeverJoinsTheNextRecord) {
    splitter_.SetLengthFromDigits(true);
    const std::string first = Prefixed(test::MakeFrame(test::Text52(94, '5')), 0x0500);
    const std::string next = test::MakeFrame(test::Text52(80, '6'));
    Feed(first.substr(0, 30));
    splitter_.Reset();
    Feed(first.substr(30));
    Feed(Prefixed(next, 0x0500));
    ASSERT_GE(pieces_.size(), 3u);
    const std::vector<std::pair<uint32_t, std::string>> last(pieces_.end() - 3, pieces_.end());
    EXPECT_EQ(last, PiecesOf(next));
    EXPECT_EQ(splitter_.Pending(), 0u);
}

}  // namespace
}  // namespace velk
