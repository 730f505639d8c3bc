#include "core/link/serial_piece_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "core/link/link_fakes.h"
#include "core/link/link_protocol.h"
#include "support/scripted_prompt.h"

namespace velk {
namespace {

using test::MakeFrame;
using test::Text52;

// The reader alone, with a "protocol" that asks for the pieces of one frame in turn.
class SerialPieceReaderTest : public ::testing::Test {
protected:
    SerialPieceReaderTest()
        : reader_(area_.data(), area_.size(), request_,
                  {[this](uint32_t n) { OnPiece(n); },
                   [this](int position) { progress_.push_back(position); }}) {
        area_.fill(0xEE);
    }
    void OnPiece(uint32_t n) {
        const size_t at = n == 1 ? 0 : (n == 3 ? 1 : 4);
        pieces_.emplace_back(n, std::string(reinterpret_cast<const char*>(&area_[at]), n));
        // The protocol's next request: the length after STX, the body after the length.
        if (n == 1)
            request_ = area_[0] == STX ? 3 : 0;
        else if (n == 3)
            request_ = ParseLengthDigits(&area_[1]);
        else
            request_ = nextAfterBody_;
    }
    void Feed(const std::string& s) {
        reader_.Feed(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    }
    static std::vector<std::pair<uint32_t, std::string>> PiecesOf(const std::string& frame) {
        return {{1, frame.substr(0, 1)},
                {3, frame.substr(1, 3)},
                {static_cast<uint32_t>(frame.size() - 4), frame.substr(4)}};
    }

    std::array<uint8_t, 1003> area_{};
    uint32_t request_ = 0;
    uint32_t nextAfterBody_ = 1;
    std::vector<std::pair<uint32_t, std::string>> pieces_;
    std::vector<int> progress_;
    SerialPieceReader reader_;
};

TEST_F(SerialPieceReaderTest, BytesOneAtATimeMakeExactlyThreePieces) {
    const std::string frame = MakeFrame(Text52(80));
    request_ = 1;
    for (size_t i = 0; i < frame.size(); ++i) {
        Feed(frame.substr(i, 1));
        if (i == 0) {
            EXPECT_EQ(pieces_.size(), 1u);
        }
        if (i == 3) {
            EXPECT_EQ(pieces_.size(), 2u);
        }
        if (i == frame.size() - 2) {
            EXPECT_EQ(pieces_.size(), 2u);  // the body waits for its last byte
        }
    }
    EXPECT_EQ(pieces_, PiecesOf(frame));
    EXPECT_EQ(request_, 1u);
    // While the body came in, the progress followed what was waiting.
    ASSERT_FALSE(progress_.empty());
    EXPECT_EQ(progress_.front(), 0);
    EXPECT_EQ(progress_.back(), static_cast<int>(frame.size() - 5));
}

TEST_F(SerialPieceReaderTest, AWholeFrameAndItsEotAtOnce) {
    const std::string frame = MakeFrame(Text52(80));
    request_ = 1;
    Feed(frame + "\x04");
    auto expected = PiecesOf(frame);
    expected.emplace_back(1, "\x04");
    EXPECT_EQ(pieces_, expected);
    EXPECT_EQ(reader_.Waiting(), 0u);
}

TEST_F(SerialPieceReaderTest, BytesWaitForARequestAndAPurgeDropsThem) {
    Feed("\x15");
    EXPECT_TRUE(pieces_.empty());
    EXPECT_EQ(reader_.Waiting(), 1u);
    request_ = 1;
    reader_.Pump();
    ASSERT_EQ(pieces_.size(), 1u);
    EXPECT_EQ(pieces_[0].second, "\x15");
    Feed("xyz");
    reader_.Purge();
    EXPECT_EQ(reader_.Waiting(), 0u);
    request_ = 1;
    reader_.Pump();
    EXPECT_EQ(pieces_.size(), 1u);
}

// A disconnect while a 500-byte body is awaited ends the read without a read event.
TEST_F(SerialPieceReaderTest, DisconnectWhileABodyIsAwaited) {
    request_ = 500;
    Feed(std::string(200, '5'));
    EXPECT_TRUE(pieces_.empty());
    reader_.SetActive(false);
    reader_.Purge();
    Feed(std::string(300, '5'));
    reader_.Pump();
    EXPECT_TRUE(pieces_.empty());
    for (size_t i = 4; i < area_.size(); ++i)
        ASSERT_EQ(area_[i], 0xEE) << i;
}

TEST_F(SerialPieceReaderTest, ARequestTheAreaCannotHoldIsNeverServed) {
    request_ = 1000;  // offset 4 + 1000 bytes is one past the area
    Feed(std::string(1000, '1'));
    EXPECT_TRUE(pieces_.empty());
    request_ = 999;  // the largest body the protocol asks for
    nextAfterBody_ = 0;
    reader_.Pump();
    ASSERT_EQ(pieces_.size(), 1u);
    EXPECT_EQ(pieces_[0].first, 999u);
}

// A line error: the read transfers nothing but is reported; the bytes stay for the next read.
TEST_F(SerialPieceReaderTest, LineErrorReportsTheReadWithoutTransferring) {
    request_ = 1;
    nextAfterBody_ = 0;
    reader_.LineError();
    Feed("\x02");
    ASSERT_EQ(pieces_.size(), 1u);
    EXPECT_EQ(pieces_[0].second, "\xEE");  // the area as it stood
    EXPECT_EQ(reader_.Waiting(), 1u);
    request_ = 1;
    reader_.Pump();
    ASSERT_EQ(pieces_.size(), 2u);  // the STX now; its length is asked for next
    EXPECT_EQ(pieces_[1].second, "\x02");
    EXPECT_EQ(request_, 3u);
}

// The real protocol over the reader: the channel's clear RX purges the reader, as the port does.
class SerialChannel : public test::FakeChannel {
public:
    void ClearRx() override {
        if (reader != nullptr)
            reader->Purge();
    }
    SerialPieceReader* reader = nullptr;
};

class SerialLinkTest : public ::testing::Test {
protected:
    SerialLinkTest()
        : prot_(settings_, counters_, timers_, clock_, prompt_, observer_, dispatcher_, log_),
          reader_(prot_.ReceiveArea(), cs_smda_prot::kReceiveArea, prot_.Bytes_To_Read,
                  {[this](uint32_t n) { prot_.OnNotifyRx(n); }, nullptr}) {
        settings_.IP_Used = 0;
        serial_.reader = &reader_;
        prot_.SetChannels(&tcp_, &serial_);
    }
    void Feed(const std::string& s) {
        reader_.Feed(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    }

    AppSettings settings_;
    StatisticCounters counters_;
    test::FakeTimers timers_;
    test::FakeClock clock_;
    test::ScriptedPrompt prompt_;
    test::RecordingObserver observer_;
    test::RecordingDispatcher dispatcher_;
    test::RecordingLog log_;
    test::FakeChannel tcp_;
    SerialChannel serial_;
    cs_smda_prot prot_;
    SerialPieceReader reader_;
};

TEST_F(SerialLinkTest, FramesByteByByteAndAtOnceWithABadBccAndADuplicate) {
    ASSERT_TRUE(prot_.SMDA_Connect());
    ASSERT_EQ(serial_.written.back(), ENQ);
    const std::string a = MakeFrame(Text52(80, '1'));
    for (char c : a)
        Feed(std::string(1, c));
    ASSERT_EQ(serial_.written.back(), ACK);
    Feed("\x04");
    ASSERT_EQ(dispatcher_.frames.size(), 1u);

    prot_.SMDA_Timer_Expired(ENQ_DATA_PERIOD_TIMER);
    std::string bad = MakeFrame(Text52(120, '2'));
    bad[bad.size() - 2] ^= 1;
    Feed(bad);
    ASSERT_EQ(serial_.written.back(), NAK);
    // The PBX sends the frame again in one piece; its EOT follows the ACK (what came before the
    // ACK is purged, as the protocol clears the receive queue before answering).
    const std::string b = MakeFrame(Text52(120, '2'));
    Feed(b);
    ASSERT_EQ(serial_.written.back(), ACK);
    Feed("\x04");
    ASSERT_EQ(dispatcher_.frames.size(), 2u);
    EXPECT_EQ(dispatcher_.frames[1], b.substr(0, b.size() - 1));

    prot_.SMDA_Timer_Expired(ENQ_DATA_PERIOD_TIMER);
    Feed(b);  // the same frame again
    Feed("\x04");
    EXPECT_EQ(dispatcher_.frames.size(), 2u);
    EXPECT_EQ(counters_.Total(EV_DUPLICATE), 1);
    EXPECT_EQ(counters_.Total(EV_BAD_BCC), 1);
}

}  // namespace
}  // namespace velk
