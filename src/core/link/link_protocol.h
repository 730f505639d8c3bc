#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/foundation/app_settings.h"
#include "core/foundation/clock.h"
#include "core/foundation/operator_prompt.h"
#include "core/foundation/statistic_counters.h"
#include "core/link/connection_logger.h"
#include "core/link/frame_dispatcher.h"
#include "core/link/link_channel.h"
#include "core/link/link_journal.h"
#include "core/link/timer_host.h"

namespace velk {

// Control bytes on the wire.
inline constexpr uint8_t STX = 0x02;
inline constexpr uint8_t ETX = 0x03;
inline constexpr uint8_t EOT = 0x04;
inline constexpr uint8_t ENQ = 0x05;
inline constexpr uint8_t ACK = 0x06;
inline constexpr uint8_t NAK = 0x15;

// Notification codes to the main window.
enum NotifyCode : int {
    NOTIFY_RX = 0x1234,
    NOTIFY_COUNT = 0x2345,
    NOTIFY_LINK = 0x3456,
    NOTIFY_CONNECTION = 0x4567,
    NOTIFY_STATE = 0x5678,
};

// Protocol states.
enum ProtocolState : int {
    IDLE = 0,
    ENQ_SENT = 1,
    DATA_START_RCV = 2,
    ACK_SENT = 3,
    NAK_SENT = 4,
};
const char* StateName(int state);

// Protocol timers (ids above 20 belong to the protocol).
enum ProtocolTimer : int {
    START_SMDA_TIMER = 21,
    ENQ_NAK_PERIOD_TIMER = 21,
    DATA_WAIT_TIMER = 22,
    ENQ_DATA_PERIOD_TIMER = 23,
    EOT_WAIT_TIMER = 24,
    RECONNECTION_PERION_TIMER = 25,
};

// Link events counted in the statistics (columns 0..11).
enum LinkEvent : int {
    EV_SENT_ENQ = 0,
    EV_SENT_ACK = 1,
    EV_SENT_NAK = 2,
    EV_RCV_NAK = 3,
    EV_RCV_EOT = 4,
    EV_NORMAL_DATA = 5,
    EV_BAD_BCC = 6,
    EV_BAD_LENGTH = 7,
    EV_DATA_WAIT_EXPIRED = 8,
    EV_EOT_WAIT_EXPIRED = 9,
    EV_DUPLICATE = 10,
    EV_PASSED_FILTER = 11,
};

// What the protocol shows and asks of the window and of connection control.
class LinkObserver {
public:
    virtual ~LinkObserver() = default;
    virtual void Notify(NotifyCode code, int value) = 0;
    virtual void TxLamp() {}
    virtual void RxLamp() {}
    virtual void ErrLamp() {}
    virtual void SetRxProgressRange(int maximum) { (void)maximum; }
    virtual void SetRxProgressPosition(int position) { (void)position; }
    // One data message with a good check character (the message-rate counter).
    virtual void MessageReceived() {}
    // A connection was established (the connections counter).
    virtual void ConnectionEstablished() {}
    // The reconnection timer expired: run the Connect command.
    virtual void ReconnectDue() {}
    // The diagnostic trace (off unless a listener wants it).
    virtual void Trace(const char* what) { (void)what; }
    // A connection could not be made, and why (the system's reason, or empty); the connection
    // state then becomes 0 without a connection having existed.
    virtual void ConnectionFailed(const std::string& reason) { (void)reason; }
};

// Turns a frame carrying a billing-server record in hexadecimal pairs (L = 515) into a call-record
// frame. Absent until the billing-record converter is built; such frames are then delivered as
// they came.
class HdFrameConverter {
public:
    virtual ~HdFrameConverter() = default;
    virtual bool Convert(const uint8_t* frame, uint32_t length,
                         std::vector<uint8_t>& converted) = 0;
};

// True for the frame lengths the protocol accepts: 43, and 79 to 999.
constexpr bool IsAcceptedLength(uint32_t length) {
    return length == 43 || (length >= 79 && length <= 999);
}

// The value of three hexadecimal length digits (a character that is not a hex digit counts 0).
uint32_t ParseLengthDigits(const uint8_t* digits);

// The message check: the exclusive-or of offsets 1..L equals the two BCC digits at L + 1 and
// L + 2 (upper- or lower-case).
bool BccMatches(const uint8_t* frame, uint32_t length);

// The "360 format": the text arrives as hexadecimal digits, each shifted by a position-dependent
// offset and swapped in pairs; this restores it in place and writes the new BCC after the last
// pair taken.
void Unscramble360(uint8_t* frame, uint32_t length);

// The link protocol: polls the PBX with ENQ, takes framed messages, checks length and BCC,
// acknowledges, waits for EOT and hands each new message to the dispatcher.
class cs_smda_prot {
public:
    static constexpr size_t kReceiveArea = 1003;  // holds the largest accepted frame (L = 999)
    static constexpr size_t kCompared = 1000;     // bytes compared by the duplicate check

    cs_smda_prot(AppSettings& settings, StatisticCounters& counters, TimerHost& timers,
                 const Clock& clock, OperatorPrompt& prompt, LinkObserver& observer,
                 FrameDispatcher& dispatcher, ConnectionLogger& log);

    void SetChannels(LinkChannel* tcp, LinkChannel* serial) {
        m_LPort = tcp;
        m_Comport = serial;
    }
    void SetHdConverter(HdFrameConverter* converter) { hdConverter_ = converter; }
    // Keeps every acknowledged frame on the disk until it was delivered.
    void SetJournal(LinkJournal* journal) { journal_ = journal; }

    // At start, from the journal: the baseline of the duplicate check (kCompared bytes), as the
    // last delivery left it; the receive area starts from it too, so that the PBX sending that
    // frame again fills the area exactly as it would have without the restart.
    void RestoreLastFrame(const uint8_t* lastFrame);
    // At start, from the journal: a frame acknowledged before the program stopped and never
    // delivered (area: up to kReceiveArea bytes) goes through the duplicate check and the
    // dispatcher as if its EOT had just come.
    void DeliverRecovered(const uint8_t* area, size_t size, uint32_t length);

    bool SMDA_Connect();
    // Also stops a pending connection attempt or a pending reconnection.
    bool SMDA_Disconnect();
    void SMDA_read_event(uint32_t count);
    bool SMDA_Timer_Expired(int id);
    bool SMDA_Count_Event(int index);
    bool SMDA_write(uint8_t byte);
    bool SMDA_Start_Timer(int id);
    void SMDA_Kill_All_timers();
    void SMDA_Clear_RX();
    void SMDA_Clear_TX();
    bool SMDA_Set_State(int state);
    void SMDA_Set_ConStat(int value);
    void SMDA_Request_Read(uint32_t count) { Bytes_To_Read = count; }
    bool SMDA_Do_Pending_Disconnect();
    void SMDA_Reader_Start();

    // The TCP channel can send for the first time on a new connection: the first poll.
    void OnChannelReady();
    // The peer closed the connection: the link is closed at once (there is nothing to finish)
    // and, with automatic reconnection, a new attempt follows after 60 s.
    void OnPeerClosed();

    // A connection attempt is under way (the TCP connect waits for its answer).
    bool ConnectPending() const { return connecting_; }
    // The reconnection timer runs: the link waits for its next attempt.
    bool ReconnectPending() const { return reconnectPending_; }
    // A frame was acknowledged and waits for its EOT.
    bool AcknowledgedPending() const { return ackPending_; }
    // A piece of a frame was placed in the receive area (NOTIFY_RX).
    void OnNotifyRx(uint32_t count) { SMDA_read_event(count); }

    // The duration of a protocol timer, from the settings.
    int TimerDuration(int id) const;
    bool UsesTcp() const { return settings_.IP_Used == 1; }

    uint8_t* ReceiveArea() { return RX_Buf.data(); }
    StatisticCounters& Counters() { return StatisticCounters_; }
    const StatisticCounters& Counters() const { return StatisticCounters_; }

    // Fields of the protocol object.
    int ConStat = 0;
    int Link_Ok = 2;
    int Disconnect_Pending = 0;
    uint8_t ReaderFlag = 0;
    uint8_t Last_Sent = 0;
    std::array<uint8_t, kReceiveArea> RX_Buf{};
    std::array<uint8_t, kCompared> Last_Frame{};
    // The receive area as it was when the frame was acknowledged: what arrives before its EOT
    // cannot change the frame that is delivered.
    std::array<uint8_t, kReceiveArea> Ack_Frame{};
    uint32_t Ack_Len = 0;
    uint32_t Bytes_To_Read = 0;
    uint32_t Data_Len = 0;
    uint32_t ENQ_Nothing_Cnt = 0;
    uint32_t EOT_Wait_Cnt = 0;
    int State = IDLE;
    StatisticCounters& StatisticCounters_;

private:
    // The pause after a delivered record, before the next poll.
    void StartPauseAfterData();
    LinkChannel* Channel() const { return UsesTcp() ? m_LPort : m_Comport; }
    void Poll();
    void CheckBody();
    // Delivers the acknowledged frame unless it is a duplicate, then tells the journal.
    void Deliver();
    // Hands the acknowledged frame to the dispatcher (unscrambled or converted first).
    void Dispatch(uint32_t length);
    // A frame that was acknowledged counts as sent for the PBX: when its EOT will not come any
    // more, it is delivered anyway (a resend is dropped by the duplicate check).
    void DeliverAcknowledged();
    bool ConnectTcp();
    void DropForReconnection(bool killTimers);
    void FinishDisconnect();

    AppSettings& settings_;
    TimerHost& timers_;
    const Clock& clock_;
    OperatorPrompt& prompt_;
    LinkObserver& observer_;
    FrameDispatcher& dispatcher_;
    ConnectionLogger& log_;
    LinkChannel* m_LPort = nullptr;
    LinkChannel* m_Comport = nullptr;
    HdFrameConverter* hdConverter_ = nullptr;
    LinkJournal* journal_ = nullptr;
    int64_t ackWait_ = 0;  // milliseconds the last ACK waited for the journal
    std::vector<uint8_t> converted_;
    bool connecting_ = false;
    bool abortConnect_ = false;
    bool reconnectPending_ = false;
    bool ackPending_ = false;
};

}  // namespace velk
