#include "core/link/link_protocol.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/link/link_fakes.h"
#include "core/link/tcp_record_splitter.h"
#include "support/scripted_prompt.h"

namespace velk {
namespace {

using test::MakeFrame;
using test::Text52;

class LinkProtocolTest : public ::testing::Test {
protected:
    LinkProtocolTest()
        : prot_(settings_, counters_, timers_, clock_, prompt_, observer_, dispatcher_, log_) {
        settings_.IP_Used = 1;
        prot_.SetChannels(&tcp_, &serial_);
    }

    // Connects over TCP and sends the first poll, as when the socket first reports it can send.
    void Connect() {
        ASSERT_TRUE(prot_.SMDA_Connect());
        prot_.OnChannelReady();
        ASSERT_EQ(prot_.State, ENQ_SENT);
    }

    // Delivers bytes to the receive area the way the channel does, one read event per piece.
    void Byte(uint8_t b) {
        prot_.RX_Buf[0] = b;
        prot_.SMDA_read_event(1);
    }
    void FramePieces(const std::string& frame) {
        prot_.RX_Buf[0] = static_cast<uint8_t>(frame[0]);
        prot_.SMDA_read_event(1);
        std::memcpy(&prot_.RX_Buf[1], frame.data() + 1, 3);
        prot_.SMDA_read_event(3);
        const uint32_t L = ParseLengthDigits(&prot_.RX_Buf[1]);
        const size_t body = std::min<size_t>(frame.size() - 4, prot_.RX_Buf.size() - 4);
        std::memcpy(&prot_.RX_Buf[4], frame.data() + 4, body);
        prot_.SMDA_read_event(L);
    }
    // One full exchange: frame, ACK, EOT.
    void Exchange(const std::string& frame) {
        FramePieces(frame);
        ASSERT_EQ(prot_.State, ACK_SENT);
        Byte(EOT);
    }
    void Expire(int id) {
        ASSERT_TRUE(timers_.Running(id)) << "timer " << id << " is not running";
        prot_.SMDA_Timer_Expired(id);
    }
    int Total(int column) const { return counters_.Total(column); }

    AppSettings settings_;
    StatisticCounters counters_;
    test::FakeTimers timers_;
    test::FakeClock clock_;
    test::ScriptedPrompt prompt_;
    test::RecordingObserver observer_;
    test::RecordingDispatcher dispatcher_;
    test::RecordingLog log_;
    test::FakeChannel tcp_, serial_;
    cs_smda_prot prot_;
};

TEST_F(LinkProtocolTest, ConnectUsesThePortOfTheSystemType) {
    const std::pair<int, int32_t> cases[] = {{0, 6013}, {1, 6012}, {2, 6014}, {3, 6016}, {7, 6013}};
    for (auto [type, port] : cases) {
        settings_.Server_Port_index = type;
        settings_.APP_IPAddr = "10.0.0.9";
        ASSERT_TRUE(prot_.SMDA_Connect());
        EXPECT_EQ(tcp_.openedPort, port);
        EXPECT_EQ(tcp_.openedWhere, "10.0.0.9");
        EXPECT_FALSE(prot_.SMDA_Connect());  // already connected
        prot_.Link_Ok = 0;
        ASSERT_TRUE(prot_.SMDA_Disconnect());
    }
    EXPECT_EQ(observer_.connections, 5);
}

TEST_F(LinkProtocolTest, ConnectLogsAndNotifiesButPollsOnlyWhenTheSocketCanSend) {
    ASSERT_TRUE(prot_.SMDA_Connect());
    EXPECT_EQ(log_.events, (std::vector<int>{LOG_REQUEST_CONNECTION, LOG_CONNECTED}));
    EXPECT_EQ(prot_.ConStat, 1);
    EXPECT_EQ(observer_.Last(NOTIFY_CONNECTION), 1);
    EXPECT_TRUE(tcp_.written.empty());
    prot_.OnChannelReady();
    EXPECT_EQ(tcp_.written, std::vector<uint8_t>{ENQ});
    EXPECT_EQ(prot_.State, ENQ_SENT);
    EXPECT_EQ(timers_.Period(DATA_WAIT_TIMER), 5000);
    EXPECT_EQ(prot_.ReaderFlag, 1);
    EXPECT_EQ(Total(EV_SENT_ENQ), 1);
}

TEST_F(LinkProtocolTest, ConnectFailuresShowTheirMessagesOrRetry) {
    tcp_.createOk = false;
    EXPECT_FALSE(prot_.SMDA_Connect());
    EXPECT_EQ(prompt_.Texts(), std::vector<std::string>{"Socket can not be open!"});
    tcp_.createOk = true;
    tcp_.openOk = false;
    EXPECT_FALSE(prot_.SMDA_Connect());
    EXPECT_EQ(prompt_.Texts().back(), "The connection is not established!");
    EXPECT_EQ(tcp_.closes, 1);
    EXPECT_EQ(log_.events.back(), LOG_CONNECTION_FAULT);

    settings_.AutoReConnection = 1;
    prompt_.shown.clear();
    EXPECT_FALSE(prot_.SMDA_Connect());
    EXPECT_TRUE(prompt_.shown.empty());
    EXPECT_EQ(timers_.Period(RECONNECTION_PERION_TIMER), 60000);
    EXPECT_EQ(observer_.Last(NOTIFY_CONNECTION), 3);
    Expire(RECONNECTION_PERION_TIMER);
    EXPECT_EQ(observer_.reconnects, 1);
}

TEST_F(LinkProtocolTest, AConnectionThatFailsSaysTheSystemsReason) {
    tcp_.openOk = false;
    tcp_.reason = "Connection refused";
    EXPECT_FALSE(prot_.SMDA_Connect());
    EXPECT_EQ(observer_.failures, std::vector<std::string>{"Connection refused"});
    EXPECT_EQ(log_.faults, std::vector<std::string>{"Connection refused"});
    EXPECT_EQ(prompt_.Texts().back(), "The connection is not established!");
    // Told before the state goes back to 0, so that a view never says "disconnected".
    EXPECT_EQ(observer_.Last(NOTIFY_CONNECTION), 0);

    settings_.IP_Used = 0;
    serial_.openOk = false;
    serial_.reason = "/dev/ttyS0: Permission denied (is the user in the group dialout?)";
    EXPECT_FALSE(prot_.SMDA_Connect());
    EXPECT_EQ(prompt_.Texts().back(),
              "COM1 can not be open!\n/dev/ttyS0: Permission denied (is the user in the group "
              "dialout?)");
    EXPECT_EQ(log_.faults.back(), serial_.reason);
    EXPECT_EQ(observer_.failures.back(), serial_.reason);
    serial_.reason.clear();  // no reason known: the message alone
    EXPECT_FALSE(prot_.SMDA_Connect());
    EXPECT_EQ(prompt_.Texts().back(), "COM1 can not be open!");
}

TEST_F(LinkProtocolTest, SerialConnectPollsAtOnceAndNeverRetries) {
    settings_.IP_Used = 0;
    settings_.COM_Port_number_index = 2;
    settings_.COM_Port_baud_rate_index = 9;
    settings_.AutoReConnection = 1;
    serial_.openOk = false;
    EXPECT_FALSE(prot_.SMDA_Connect());
    EXPECT_EQ(prompt_.Texts(), std::vector<std::string>{"COM3 can not be open!"});
    EXPECT_FALSE(timers_.Running(RECONNECTION_PERION_TIMER));
    serial_.openOk = true;
    ASSERT_TRUE(prot_.SMDA_Connect());
    EXPECT_EQ(serial_.openedWhere, "COM3");
    EXPECT_EQ(serial_.openedPort, 115200);
    EXPECT_EQ(serial_.readers, 1);
    EXPECT_EQ(serial_.written, std::vector<uint8_t>{ENQ});
    EXPECT_TRUE(tcp_.written.empty());
}

TEST_F(LinkProtocolTest, GoodFrameIsAcknowledgedAndDeliveredAtEot) {
    Connect();
    const std::string frame = MakeFrame(Text52(80));
    FramePieces(frame);
    EXPECT_EQ(tcp_.written, (std::vector<uint8_t>{ENQ, ACK}));
    EXPECT_EQ(prot_.State, ACK_SENT);
    EXPECT_TRUE(timers_.Running(EOT_WAIT_TIMER));
    EXPECT_FALSE(timers_.Running(DATA_WAIT_TIMER));
    EXPECT_TRUE(dispatcher_.frames.empty());
    EXPECT_EQ(observer_.messages, 1);
    Byte(EOT);
    ASSERT_EQ(dispatcher_.frames.size(), 1u);
    EXPECT_EQ(dispatcher_.frames[0], frame.substr(0, frame.size() - 1));
    EXPECT_EQ(prot_.State, IDLE);
    EXPECT_EQ(timers_.Period(ENQ_DATA_PERIOD_TIMER), 200);
    EXPECT_EQ(Total(EV_NORMAL_DATA), 1);
    EXPECT_EQ(Total(EV_RCV_EOT), 1);
    EXPECT_EQ(prot_.Link_Ok, 1);
    Expire(ENQ_DATA_PERIOD_TIMER);
    EXPECT_EQ(tcp_.written.back(), ENQ);
    EXPECT_EQ(prot_.State, ENQ_SENT);
}

TEST_F(LinkProtocolTest, RequestDelaySetsThePauseBeforeTheNextPoll) {
    settings_.RequestDelayAfterNormalData = 50;
    Connect();
    Exchange(MakeFrame(Text52(80)));
    EXPECT_EQ(timers_.Period(ENQ_DATA_PERIOD_TIMER), 50);
    settings_.RequestDelayAfterNormalData = 0;  // hand-edited: would poll without pause
    EXPECT_EQ(prot_.TimerDuration(ENQ_DATA_PERIOD_TIMER), 200);
}

// A journal on a disk whose flush takes flushMs.
struct SlowJournal : LinkJournal {
    explicit SlowJournal(test::FakeTimers& t) : timers(t) {}
    bool Acknowledging(const uint8_t*, uint32_t) override {
        timers.ticks += flushMs;
        return true;
    }
    void Delivered(const uint8_t*) override {}
    test::FakeTimers& timers;
    int64_t flushMs = 0;
};

TEST_F(LinkProtocolTest, TheAckWaitForTheJournalIsPartOfThePauseBeforeTheNextPoll) {
    settings_.RequestDelayAfterNormalData = 50;
    SlowJournal journal(timers_);
    prot_.SetJournal(&journal);
    Connect();
    journal.flushMs = 4;
    FramePieces(MakeFrame(Text52(80, 'A')));
    timers_.ticks += 30;  // the PBX's time to its EOT is not the collector's wait
    Byte(EOT);
    EXPECT_EQ(timers_.Period(ENQ_DATA_PERIOD_TIMER), 46);
    // A disk slower than the pause: the EOT is still followed by half of it.
    Expire(ENQ_DATA_PERIOD_TIMER);
    journal.flushMs = 80;
    Exchange(MakeFrame(Text52(80, 'B')));
    EXPECT_EQ(timers_.Period(ENQ_DATA_PERIOD_TIMER), 25);
    Expire(ENQ_DATA_PERIOD_TIMER);
    journal.flushMs = 0;
    Exchange(MakeFrame(Text52(80, 'C')));
    EXPECT_EQ(timers_.Period(ENQ_DATA_PERIOD_TIMER), 50);
    EXPECT_EQ(dispatcher_.frames.size(), 3u);
}

TEST_F(LinkProtocolTest, ReadEventTableInEnqSent) {
    Connect();
    Byte('x');  // unexpected byte: error lamp only
    EXPECT_EQ(observer_.err, 1);
    EXPECT_EQ(prot_.State, ENQ_SENT);
    prot_.SMDA_read_event(3);  // a count other than 1 is ignored
    EXPECT_EQ(prot_.State, ENQ_SENT);
    prot_.ENQ_Nothing_Cnt = 2;
    Byte(NAK);
    EXPECT_EQ(prot_.State, IDLE);
    EXPECT_EQ(prot_.ENQ_Nothing_Cnt, 0u);
    EXPECT_EQ(Total(EV_RCV_NAK), 1);
    EXPECT_EQ(timers_.Period(ENQ_NAK_PERIOD_TIMER), 5000);
    EXPECT_FALSE(timers_.Running(DATA_WAIT_TIMER));
    Byte(STX);  // IDLE ignores everything
    EXPECT_EQ(prot_.State, IDLE);
    Expire(ENQ_NAK_PERIOD_TIMER);
    EXPECT_EQ(prot_.State, ENQ_SENT);
    Byte(STX);
    EXPECT_EQ(prot_.State, DATA_START_RCV);
    EXPECT_EQ(prot_.Bytes_To_Read, 3u);
}

TEST_F(LinkProtocolTest, FrameLengthsAtTheBoundaries) {
    Connect();
    const std::pair<uint32_t, bool> cases[] = {{42, false}, {43, true},  {44, false},  {78, false},
                                               {79, true},  {999, true}, {1000, false}};
    int bad = 0;
    for (auto [L, accepted] : cases) {
        prot_.SMDA_Set_State(ENQ_SENT);
        Byte(STX);
        char digits[8];
        std::snprintf(digits, sizeof digits, "%03X", L);
        std::memcpy(&prot_.RX_Buf[1], digits, 3);
        prot_.SMDA_read_event(3);
        EXPECT_EQ(prot_.Data_Len, L);
        if (accepted) {
            EXPECT_EQ(prot_.Bytes_To_Read, L) << L;
        } else {
            ++bad;
            EXPECT_EQ(Total(EV_BAD_LENGTH), bad) << L;
            EXPECT_EQ(prot_.Link_Ok, 0);
            // A body event of the rejected length is ignored, never checked.
            prot_.SMDA_read_event(L);
            EXPECT_EQ(prot_.State, DATA_START_RCV) << L;
            EXPECT_EQ(Total(EV_BAD_BCC), 0);
        }
    }
    // Whole exchanges at the accepted extremes.
    for (size_t L : {43u, 79u, 999u}) {
        prot_.SMDA_Set_State(ENQ_SENT);
        Exchange(MakeFrame(Text52(L - 3, static_cast<char>('A' + L % 7))));
    }
    EXPECT_EQ(dispatcher_.frames.size(), 3u);
    EXPECT_EQ(dispatcher_.frames[2].size(), 1002u);
}

TEST_F(LinkProtocolTest, LowerCaseLengthAndBccDigitsAndNonHexLength) {
    Connect();
    const std::string frame = MakeFrame(Text52(0xa5 - 3), true);
    ASSERT_EQ(frame.substr(1, 3), "0a5");
    Exchange(frame);
    EXPECT_EQ(dispatcher_.frames.size(), 1u);
    prot_.SMDA_Set_State(ENQ_SENT);
    Byte(STX);
    std::memcpy(&prot_.RX_Buf[1], "0G5", 3);  // G counts 0: 0x005
    prot_.SMDA_read_event(3);
    EXPECT_EQ(prot_.Data_Len, 5u);
}

TEST_F(LinkProtocolTest, BadBccCountsTwoNaksAndWaitsForTheResend) {
    Connect();
    std::string frame = MakeFrame(Text52(80));
    frame[frame.size() - 2] ^= 1;  // wrong BCC digit
    FramePieces(frame);
    EXPECT_EQ(Total(EV_BAD_BCC), 1);
    EXPECT_EQ(Total(EV_SENT_NAK), 2);  // the check counts it, and the NAK written counts it again
    EXPECT_EQ(tcp_.written.back(), NAK);
    EXPECT_EQ(prot_.State, NAK_SENT);
    EXPECT_EQ(prot_.Link_Ok, 0);
    EXPECT_TRUE(timers_.Running(DATA_WAIT_TIMER));
    EXPECT_GE(observer_.err, 1);
    // The PBX sends the frame again.
    Exchange(MakeFrame(Text52(80)));
    EXPECT_EQ(dispatcher_.frames.size(), 1u);
}

TEST_F(LinkProtocolTest, NakAfterNakReturnsToEnqSent) {
    Connect();
    std::string frame = MakeFrame(Text52(80));
    frame[10] ^= 1;
    FramePieces(frame);
    ASSERT_EQ(prot_.State, NAK_SENT);
    Byte('?');
    EXPECT_EQ(prot_.State, NAK_SENT);
    Byte(NAK);
    EXPECT_EQ(prot_.State, ENQ_SENT);
    EXPECT_EQ(Total(EV_SENT_NAK), 3);
    EXPECT_EQ(Total(EV_RCV_NAK), 0);
    EXPECT_EQ(prot_.Link_Ok, 0);
    EXPECT_EQ(timers_.Period(ENQ_NAK_PERIOD_TIMER), 5000);
    Expire(ENQ_NAK_PERIOD_TIMER);
    EXPECT_EQ(tcp_.written.back(), ENQ);
}

TEST_F(LinkProtocolTest, StxAfterNakKeepsTheUnansweredCount) {
    Connect();
    prot_.ENQ_Nothing_Cnt = 2;
    prot_.SMDA_Set_State(NAK_SENT);
    Byte(STX);
    EXPECT_EQ(prot_.State, DATA_START_RCV);
    EXPECT_EQ(prot_.ENQ_Nothing_Cnt, 2u);
}

TEST_F(LinkProtocolTest, DataWaitExpiriesPollAgainAndReconnectEveryFourth) {
    settings_.AutoReConnection = 1;
    Connect();
    for (int i = 1; i <= 3; ++i) {
        Expire(DATA_WAIT_TIMER);
        EXPECT_EQ(prot_.ENQ_Nothing_Cnt, static_cast<uint32_t>(i));
        EXPECT_EQ(tcp_.written.back(), ENQ);
        EXPECT_EQ(prot_.ConStat, 1);
    }
    Expire(DATA_WAIT_TIMER);
    EXPECT_EQ(Total(EV_DATA_WAIT_EXPIRED), 4);
    EXPECT_EQ(prot_.ENQ_Nothing_Cnt, 0u);
    EXPECT_EQ(prot_.ConStat, 0);
    EXPECT_EQ(tcp_.closes, 1);
    EXPECT_EQ(prot_.ReaderFlag, 0);
    EXPECT_EQ(log_.events.back(), LOG_DISCONNECTED);
    EXPECT_EQ(timers_.running, (std::map<int, int>{{RECONNECTION_PERION_TIMER, 60000}}));
    EXPECT_EQ(observer_.Last(NOTIFY_CONNECTION), 3);
}

TEST_F(LinkProtocolTest, DataWaitExpiriesWithoutReconnectionKeepPolling) {
    Connect();
    for (int i = 0; i < 8; ++i)
        Expire(DATA_WAIT_TIMER);
    EXPECT_EQ(prot_.ConStat, 1);
    EXPECT_EQ(tcp_.closes, 0);
    EXPECT_EQ(Total(EV_SENT_ENQ), 9);
    EXPECT_TRUE(timers_.Running(DATA_WAIT_TIMER));
}

// An answer from the PBX, a data message or a NAK, starts the count of unanswered polls again:
// the connection is dropped only after four silent polls in a row.
TEST_F(LinkProtocolTest, AnAnswerStartsTheCountOfUnansweredPollsAgain) {
    settings_.AutoReConnection = 1;
    for (const bool data : {true, false}) {
        SCOPED_TRACE(data ? "data message" : "NAK");
        Connect();
        for (int i = 0; i < 3; ++i)
            Expire(DATA_WAIT_TIMER);
        if (data) {
            Exchange(MakeFrame(Text52(80)));
            Expire(ENQ_DATA_PERIOD_TIMER);
        } else {
            Byte(NAK);
            Expire(ENQ_NAK_PERIOD_TIMER);
        }
        for (int i = 1; i <= 3; ++i) {
            Expire(DATA_WAIT_TIMER);
            EXPECT_EQ(prot_.ConStat, 1) << i;
        }
        Expire(DATA_WAIT_TIMER);
        EXPECT_EQ(prot_.ConStat, 0);
        Expire(RECONNECTION_PERION_TIMER);
    }
}

// Each timer runs for its own length; only the answer time depends on the system type.
TEST_F(LinkProtocolTest, EveryProtocolTimerRunsForItsLength) {
    settings_.AutoReConnection = 1;
    const std::pair<int, int> answerTimes[] = {
        {0, 5000}, {1, 5000}, {2, 5000}, {3, 10000}, {4, 5000}};
    for (auto [type, answer] : answerTimes) {
        SCOPED_TRACE(type);
        settings_.Server_Port_index = type;
        Connect();
        EXPECT_EQ(timers_.Period(DATA_WAIT_TIMER), answer);  // after ENQ
        FramePieces(MakeFrame(Text52(80, static_cast<char>('0' + type))));
        EXPECT_EQ(timers_.Period(EOT_WAIT_TIMER), 10000);  // after ACK
        Expire(EOT_WAIT_TIMER);
        EXPECT_EQ(timers_.Period(EOT_WAIT_TIMER), 10000);  // after the repeated ACK
        Byte(EOT);
        EXPECT_EQ(timers_.Period(ENQ_DATA_PERIOD_TIMER), 200);
        Expire(ENQ_DATA_PERIOD_TIMER);
        Byte(NAK);
        EXPECT_EQ(timers_.Period(ENQ_NAK_PERIOD_TIMER), 5000);
        Expire(ENQ_NAK_PERIOD_TIMER);
        std::string bad = MakeFrame(Text52(80));
        bad[10] ^= 1;
        FramePieces(bad);
        EXPECT_EQ(timers_.Period(DATA_WAIT_TIMER), answer);  // after NAK
        prot_.OnPeerClosed();
        EXPECT_EQ(timers_.Period(RECONNECTION_PERION_TIMER), 60000);
        Expire(RECONNECTION_PERION_TIMER);
    }
}

TEST_F(LinkProtocolTest, EotExpiriesRepeatAckThenGiveUpOnTcpWithReconnection) {
    settings_.AutoReConnection = 1;
    Connect();
    FramePieces(MakeFrame(Text52(80)));
    for (int i = 1; i <= 3; ++i) {
        Expire(EOT_WAIT_TIMER);
        EXPECT_EQ(tcp_.written.back(), ACK);
        EXPECT_EQ(prot_.State, ACK_SENT);
    }
    Expire(EOT_WAIT_TIMER);
    EXPECT_EQ(Total(EV_EOT_WAIT_EXPIRED), 4);
    EXPECT_EQ(Total(EV_SENT_ACK), 4);
    EXPECT_EQ(prot_.ConStat, 0);
    EXPECT_EQ(prot_.State, IDLE);
    EXPECT_TRUE(timers_.Running(RECONNECTION_PERION_TIMER));
    // The PBX counted the acknowledged frame as sent: it is delivered when its EOT is given up.
    EXPECT_EQ(dispatcher_.frames.size(), 1u);
}

// Each acknowledged frame has its own three repeats of the ACK: an EOT that came late for the
// frame before does not shorten the wait for the next.
TEST_F(LinkProtocolTest, EachAcknowledgedFrameWaitsFourTimesForItsEot) {
    settings_.AutoReConnection = 1;
    Connect();
    FramePieces(MakeFrame(Text52(80, '1')));
    Expire(EOT_WAIT_TIMER);
    Expire(EOT_WAIT_TIMER);
    Byte(EOT);
    Expire(ENQ_DATA_PERIOD_TIMER);
    FramePieces(MakeFrame(Text52(80, '2')));
    for (int i = 1; i <= 3; ++i) {
        Expire(EOT_WAIT_TIMER);
        EXPECT_EQ(prot_.State, ACK_SENT) << i;
        EXPECT_EQ(tcp_.written.back(), ACK) << i;
    }
    Expire(EOT_WAIT_TIMER);
    EXPECT_EQ(prot_.ConStat, 0);
    EXPECT_EQ(dispatcher_.frames.size(), 2u);
}

TEST_F(LinkProtocolTest, EotExpiriesOnSerialRestartPolling) {
    settings_.IP_Used = 0;
    settings_.AutoReConnection = 1;
    ASSERT_TRUE(prot_.SMDA_Connect());
    FramePieces(MakeFrame(Text52(80)));
    for (int i = 0; i < 4; ++i)
        Expire(EOT_WAIT_TIMER);
    EXPECT_EQ(prot_.ConStat, 1);
    EXPECT_EQ(serial_.written.back(), ENQ);
    EXPECT_EQ(prot_.State, ENQ_SENT);
    EXPECT_EQ(prot_.EOT_Wait_Cnt, 0u);
    EXPECT_EQ(dispatcher_.frames.size(), 1u);
    EXPECT_FALSE(timers_.Running(RECONNECTION_PERION_TIMER));
}

TEST_F(LinkProtocolTest, EotExpiriesOnTcpWithoutReconnectionRestartPolling) {
    Connect();
    FramePieces(MakeFrame(Text52(80)));
    for (int i = 0; i < 4; ++i)
        Expire(EOT_WAIT_TIMER);
    EXPECT_EQ(prot_.ConStat, 1);
    EXPECT_EQ(tcp_.written.back(), ENQ);
}

TEST_F(LinkProtocolTest, DisconnectOnAHealthyLinkIsDeferredToTheNextTimer) {
    Connect();
    Exchange(MakeFrame(Text52(80)));
    ASSERT_EQ(prot_.Link_Ok, 1);
    EXPECT_TRUE(prot_.SMDA_Disconnect());
    EXPECT_EQ(prot_.Disconnect_Pending, 1);
    EXPECT_EQ(prot_.ConStat, 1);
    EXPECT_EQ(tcp_.closes, 0);
    Expire(ENQ_DATA_PERIOD_TIMER);
    EXPECT_EQ(prot_.ConStat, 0);
    EXPECT_EQ(tcp_.closes, 1);
    EXPECT_EQ(prot_.Link_Ok, 2);
    EXPECT_EQ(observer_.Last(NOTIFY_LINK), 2);
    EXPECT_TRUE(timers_.running.empty());
    EXPECT_EQ(tcp_.written.back(), ACK);  // no ENQ after the disconnect
    EXPECT_FALSE(prot_.SMDA_Disconnect());
}

TEST_F(LinkProtocolTest, DisconnectAfterAFaultIsImmediate) {
    Connect();
    Expire(DATA_WAIT_TIMER);
    ASSERT_EQ(prot_.Link_Ok, 0);
    EXPECT_TRUE(prot_.SMDA_Disconnect());
    EXPECT_EQ(prot_.ConStat, 0);
    EXPECT_EQ(prot_.State, IDLE);
    EXPECT_TRUE(timers_.running.empty());
    EXPECT_FALSE(prot_.SMDA_write(ENQ));  // refused while not connected
}

TEST_F(LinkProtocolTest, DuplicateFramesAreDroppedEvenAcrossAReconnect) {
    Connect();
    const std::string frame = MakeFrame(Text52(100));
    Exchange(frame);
    Expire(ENQ_DATA_PERIOD_TIMER);
    Exchange(frame);
    EXPECT_EQ(dispatcher_.frames.size(), 1u);
    EXPECT_EQ(Total(EV_DUPLICATE), 1);
    EXPECT_TRUE(timers_.Running(ENQ_DATA_PERIOD_TIMER));

    prot_.Link_Ok = 0;
    prot_.SMDA_Disconnect();
    Connect();
    Exchange(frame);
    EXPECT_EQ(dispatcher_.frames.size(), 1u);
    EXPECT_EQ(Total(EV_DUPLICATE), 2);

    std::string other = Text52(100);
    other[50] = '1';
    Expire(ENQ_DATA_PERIOD_TIMER);
    Exchange(MakeFrame(other));
    EXPECT_EQ(dispatcher_.frames.size(), 2u);
}

// The duplicate check compares the first 1000 bytes of the receive area, the last of them too.
TEST_F(LinkProtocolTest, FramesDifferingOnlyInTheLastComparedByteAreBothDelivered) {
    Connect();
    std::string text = Text52(996);  // L = 999: the text ends at offset 999
    Exchange(MakeFrame(text));
    Expire(ENQ_DATA_PERIOD_TIMER);
    text.back() = '1';
    Exchange(MakeFrame(text));
    EXPECT_EQ(dispatcher_.frames.size(), 2u);
    EXPECT_EQ(Total(EV_DUPLICATE), 0);
}

// Only a frame of L = 515 carries a billing-server record in hexadecimal pairs.
TEST_F(LinkProtocolTest, OnlyLength515IsConvertedInHdFormat) {
    struct CountingConverter : HdFrameConverter {
        bool Convert(const uint8_t*, uint32_t length, std::vector<uint8_t>&) override {
            lengths.push_back(length);
            return false;  // delivered as it came
        }
        std::vector<uint32_t> lengths;
    } converter;
    prot_.SetHdConverter(&converter);
    Connect();
    const struct {
        int hdFormat;
        uint32_t L;
        bool converted;
    } cases[] = {{1, 514, false}, {1, 515, true}, {1, 516, false}, {0, 515, false}};
    char fill = 'A';
    for (const auto& c : cases) {
        settings_.APP_HDFormat = c.hdFormat;
        converter.lengths.clear();
        Exchange(MakeFrame(Text52(c.L - 3, fill++)));
        EXPECT_EQ(converter.lengths,
                  c.converted ? std::vector<uint32_t>{515} : std::vector<uint32_t>{})
            << c.L << " " << c.hdFormat;
        Expire(ENQ_DATA_PERIOD_TIMER);
    }
    EXPECT_EQ(dispatcher_.frames.size(), 4u);
}

TEST_F(LinkProtocolTest, WriteSendsOnlyControlBytesAndCountsThem) {
    Connect();
    EXPECT_FALSE(prot_.SMDA_write(EOT));
    EXPECT_FALSE(prot_.SMDA_write('A'));
    EXPECT_TRUE(prot_.SMDA_write(NAK));
    EXPECT_EQ(prot_.Last_Sent, NAK);
    EXPECT_EQ(tcp_.resets, 1);  // only ENQ starts a new record
    EXPECT_EQ(observer_.tx, 2);
}

TEST_F(LinkProtocolTest, TimersOutsideTheProtocolRangeAreRefused) {
    EXPECT_FALSE(prot_.SMDA_Start_Timer(20));
    EXPECT_FALSE(prot_.SMDA_Start_Timer(26));
    EXPECT_FALSE(prot_.SMDA_Timer_Expired(20));
    EXPECT_FALSE(prot_.SMDA_Timer_Expired(26));
    EXPECT_TRUE(timers_.running.empty());
    EXPECT_FALSE(prot_.SMDA_Set_State(5));
    EXPECT_FALSE(prot_.SMDA_Count_Event(12));
}

TEST_F(LinkProtocolTest, CountEventUsesTheLocalHourAndNotifiesLinkBeforeStoring) {
    clock_.now.hour = 23;
    prot_.SMDA_Count_Event(EV_NORMAL_DATA);
    EXPECT_EQ(counters_.Hour(23, EV_NORMAL_DATA), 1);
    EXPECT_EQ(counters_.Total(EV_NORMAL_DATA), 1);
    ASSERT_GE(observer_.notes.size(), 2u);
    EXPECT_EQ(observer_.notes[0], std::make_pair(NOTIFY_COUNT, int{EV_NORMAL_DATA}));
    EXPECT_EQ(observer_.notes[1], std::make_pair(NOTIFY_LINK, 1));
    observer_.notes.clear();
    prot_.SMDA_Count_Event(EV_DUPLICATE);  // leaves the link status as it is
    EXPECT_EQ(observer_.notes.size(), 1u);
}

TEST_F(LinkProtocolTest, StateNotificationsOnlyOnChange) {
    prot_.SMDA_Set_State(IDLE);
    EXPECT_TRUE(observer_.notes.empty());
    prot_.SMDA_Set_State(ACK_SENT);
    EXPECT_EQ(observer_.Last(NOTIFY_STATE), ACK_SENT);
    EXPECT_STREQ(StateName(ACK_SENT), "ACK_SENT");
}

TEST_F(LinkProtocolTest, PeerCloseDisconnectsAndSchedulesReconnection) {
    settings_.AutoReConnection = 1;
    Connect();
    Expire(DATA_WAIT_TIMER);
    prot_.OnPeerClosed();
    EXPECT_EQ(prot_.ConStat, 0);
    EXPECT_EQ(timers_.running, (std::map<int, int>{{RECONNECTION_PERION_TIMER, 60000}}));
}

// The 360 layout: each digit shifted by a position-dependent offset, pairs swapped.
std::string Scramble360(const std::string& plain) {
    const auto shift = [](char c, unsigned k) {
        const unsigned v = c <= '9' ? c - '0' : c - 'A' + 10;
        return static_cast<char>((k % 6) + 0x20 + v);
    };
    std::string s = plain;
    for (size_t i = 0, k = 0; i + 1 < plain.size(); i += 2, k += 2) {
        s[i + 1] = shift(plain[i], static_cast<unsigned>(k));
        s[i] = shift(plain[i + 1], static_cast<unsigned>(k + 1));
    }
    return s;
}

// A character outside the sixteen shifted digits of its position becomes a blank.
TEST(Unscramble360, CharactersAtTheEdgesOfTheShiftedDigits) {
    // At position 0 the shift is 0x20: 0x20..0x29 are '0'..'9', 0x2A..0x2F 'A'..'F'.
    const std::pair<uint8_t, char> cases[] = {{0x1F, ' '}, {0x20, '0'}, {0x29, '9'},
                                              {0x2A, 'A'}, {0x2F, 'F'}, {0x30, ' '}};
    for (auto [ch, plain] : cases) {
        // L = 7: the pairs at offsets 4 and 5 (swapped) and 6 and 7, the new BCC at 8 and 9.
        uint8_t frame[11] = {STX, '0', '0', '7', 0x21, ch, 0x23, 0x23, 0, 0, ETX};
        Unscramble360(frame, 7);
        EXPECT_EQ(frame[4], plain) << int{ch};
    }
}

TEST_F(LinkProtocolTest, Format360IsUnscrambledBeforeDelivery) {
    settings_.APP_360Format = 1;
    Connect();
    // An odd L (the text has an even number of characters after the length digits).
    const std::string plain = "5203" + std::string("0123456789ABCDEF") + std::string(62, '7');
    ASSERT_EQ((plain.size() + 3) % 2, 1u);
    Exchange(MakeFrame(Scramble360(plain)));
    ASSERT_EQ(dispatcher_.frames.size(), 1u);
    const std::string expected = MakeFrame(plain);
    EXPECT_EQ(dispatcher_.frames[0], expected.substr(0, expected.size() - 1));

    // An even L: the last pair takes the first BCC digit along, and the new BCC goes over ETX.
    Expire(ENQ_DATA_PERIOD_TIMER);
    const std::string plainEven = "5203" + std::string(76, '9') + "A";
    const std::string scrambled = Scramble360(plainEven);
    Exchange(MakeFrame(scrambled));
    ASSERT_EQ(dispatcher_.frames.size(), 2u);
    const uint32_t L = static_cast<uint32_t>(plainEven.size() + 3);
    ASSERT_EQ(L % 2, 0u);
    // The text up to the last full pair is restored.
    EXPECT_EQ(dispatcher_.frames[1].substr(4, plainEven.size() - 1),
              plainEven.substr(0, plainEven.size() - 1));
    unsigned char x = 0;
    for (uint32_t i = 1; i <= L; ++i)
        x ^= prot_.Ack_Frame[i];
    char bcc[3];
    std::snprintf(bcc, sizeof bcc, "%02X", x);
    EXPECT_EQ(prot_.Ack_Frame[L + 2], bcc[0]);
    EXPECT_EQ(prot_.Ack_Frame[L + 3], bcc[1]);
}

}  // namespace
}  // namespace velk

namespace velk {
namespace {

// A frame that was acknowledged counts as sent for the PBX, whether or not its EOT arrives.
TEST_F(LinkProtocolTest, AcknowledgedFrameIsDeliveredWhenThePeerClosesBeforeItsEot) {
    settings_.AutoReConnection = 1;
    Connect();
    const std::string frame = MakeFrame(Text52(80));
    FramePieces(frame);
    ASSERT_EQ(prot_.State, ACK_SENT);
    prot_.OnPeerClosed();
    ASSERT_EQ(dispatcher_.frames.size(), 1u);
    EXPECT_EQ(dispatcher_.frames[0], frame.substr(0, frame.size() - 1));
    EXPECT_FALSE(prot_.AcknowledgedPending());

    // The PBX sends it again on the next connection: the duplicate check drops the copy.
    Expire(RECONNECTION_PERION_TIMER);
    Connect();
    Exchange(frame);
    EXPECT_EQ(dispatcher_.frames.size(), 1u);
    EXPECT_EQ(Total(EV_DUPLICATE), 1);
    // A new record after it is delivered as usual.
    Expire(ENQ_DATA_PERIOD_TIMER);
    Exchange(MakeFrame(Text52(80, '1')));
    EXPECT_EQ(dispatcher_.frames.size(), 2u);
}

TEST_F(LinkProtocolTest, AcknowledgedFrameIsDeliveredOnceWhenItsEotNeverComes) {
    Connect();
    FramePieces(MakeFrame(Text52(80)));
    for (int i = 0; i < 3; ++i)
        Expire(EOT_WAIT_TIMER);
    EXPECT_TRUE(dispatcher_.frames.empty());  // still waiting for the EOT
    Expire(EOT_WAIT_TIMER);
    EXPECT_EQ(dispatcher_.frames.size(), 1u);
    // A late EOT after polling resumed delivers nothing more.
    Byte(EOT);
    Expire(DATA_WAIT_TIMER);
    EXPECT_EQ(dispatcher_.frames.size(), 1u);
}

TEST_F(LinkProtocolTest, AcknowledgedFrameIsDeliveredByADisconnectBeforeItsEot) {
    Connect();
    FramePieces(MakeFrame(Text52(80)));
    ASSERT_EQ(prot_.Link_Ok, 1);
    EXPECT_TRUE(prot_.SMDA_Disconnect());  // deferred: the next timer completes it
    EXPECT_TRUE(dispatcher_.frames.empty());
    Expire(EOT_WAIT_TIMER);
    EXPECT_EQ(prot_.ConStat, 0);
    EXPECT_EQ(dispatcher_.frames.size(), 1u);
}

// The protocol and the real record splitter over one receive area, as the TCP channel wires them.
class LinkWithSplitterTest : public LinkProtocolTest {
protected:
    LinkWithSplitterTest()
        : splitter_(prot_.ReceiveArea(), cs_smda_prot::kReceiveArea,
                    {[this](uint32_t n) { prot_.OnNotifyRx(n); }, nullptr, nullptr}) {
        tcp_.resetHook = [this] { splitter_.Reset(); };
    }
    void Feed(const std::string& hex) {
        std::string bytes;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        splitter_.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    // A good L = 43 frame with its prefix; its text is "02B" "5203" and 36 zeros, BCC "44".
    static constexpr const char* kGoodRecord =
        "002f"
        "0230324235323033"
        "303030303030303030303030303030303030"
        "303030303030303030303030303030303030"
        "343403";
    static std::string GoodText() {
        return "\x02"
               "02B5203" +
               std::string(36, '0') + "44";
    }

    TcpRecordSplitter splitter_;
};

TEST_F(LinkWithSplitterTest, ARecordStartingWithEotCannotOverwriteTheAcknowledgedFrame) {
    Connect();
    Feed(kGoodRecord);
    ASSERT_EQ(tcp_.written.back(), ACK);
    Feed(
        "0005"
        "0430303058");
    ASSERT_EQ(dispatcher_.frames.size(), 1u);
    EXPECT_EQ(dispatcher_.frames[0], GoodText());
    EXPECT_EQ(Total(EV_BAD_BCC), 0);
}

TEST_F(LinkWithSplitterTest, StrayBytesBeforeTheEotCannotOverwriteTheAcknowledgedFrame) {
    Connect();
    Feed(kGoodRecord);
    ASSERT_EQ(tcp_.written.back(), ACK);
    Feed("0230303058");
    Feed("04");
    ASSERT_EQ(dispatcher_.frames.size(), 1u);
    EXPECT_EQ(dispatcher_.frames[0], GoodText());
}

TEST_F(LinkWithSplitterTest, AWholeRecordInsteadOfTheEotLeavesTheAcknowledgedFrameIntact) {
    Connect();
    Feed(kGoodRecord);
    // The PBX skips the EOT and sends another record; the EOT comes after it.
    const std::string other = MakeFrame(Text52(80, '7'));
    std::string hex;
    char b[3];
    for (unsigned char c : std::string{'\0', static_cast<char>(other.size())} + other) {
        std::snprintf(b, sizeof b, "%02x", c);
        hex += b;
    }
    Feed(hex);
    Feed("04");
    ASSERT_EQ(dispatcher_.frames.size(), 1u);
    EXPECT_EQ(dispatcher_.frames[0], GoodText());
}

TEST_F(LinkWithSplitterTest, TheTailOfARecordGivenUpAtAPollDoesNotSwallowTheNextRecord) {
    Connect();
    const std::string record = kGoodRecord;
    Feed(record.substr(0, 40));  // the record stops half-way
    Expire(DATA_WAIT_TIMER);     // the next poll gives it up
    Feed(record.substr(40));     // its tail arrives late
    EXPECT_EQ(prot_.State, ENQ_SENT);
    Feed(kGoodRecord);  // the answer to the new poll
    ASSERT_EQ(tcp_.written.back(), ACK);
    Feed("04");
    ASSERT_EQ(dispatcher_.frames.size(), 1u);
    EXPECT_EQ(dispatcher_.frames[0], GoodText());
    EXPECT_EQ(splitter_.Pending(), 0u);
    EXPECT_EQ(splitter_.RecCount(), 0);
}

}  // namespace
}  // namespace velk
