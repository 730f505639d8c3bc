#include "core/link/link_protocol.h"

#include "core/foundation/hex_digits.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace velk {
namespace {

uint8_t DigitChar(uint32_t v) {
    return v < 10 ? '0' + v : (v < 16 ? 'A' + (v - 10) : ' ');
}

// Undoes the position-dependent shift of one character of a "360 format" message.
uint8_t Unshift(uint8_t ch, uint32_t k) {
    const uint32_t d = (k % 6) + 0x20;
    if (ch >= d && ch <= d + 9)
        return static_cast<uint8_t>(ch - d + '0');
    if (ch >= d + 10 && ch <= d + 15)
        return static_cast<uint8_t>(ch - d - 10 + 'A');
    return ' ';
}

}  // namespace

const char* StateName(int state) {
    static const char* const kNames[] = {"IDLE", "ENQ_SENT", "DATA_START_RCV", "ACK_SENT",
                                         "NAK_SENT"};
    return state >= 0 && state <= 4 ? kNames[state] : "Unknown";
}

uint32_t ParseLengthDigits(const uint8_t* digits) {
    return DigitValue(digits[0]) * 256 + DigitValue(digits[1]) * 16 + DigitValue(digits[2]);
}

cs_smda_prot::cs_smda_prot(AppSettings& settings, StatisticCounters& counters, TimerHost& timers,
                           const Clock& clock, OperatorPrompt& prompt, LinkObserver& observer,
                           FrameDispatcher& dispatcher, ConnectionLogger& log)
    : StatisticCounters_(counters),
      settings_(settings),
      timers_(timers),
      clock_(clock),
      prompt_(prompt),
      observer_(observer),
      dispatcher_(dispatcher),
      log_(log) {}

int cs_smda_prot::TimerDuration(int id) const {
    switch (id) {
        case ENQ_NAK_PERIOD_TIMER:
            return 5000;
        case DATA_WAIT_TIMER:
            return settings_.Server_Port_index == kSystemTypeIpecsMg ? 10000 : 5000;
        case ENQ_DATA_PERIOD_TIMER:
            // A hand-edited delay of zero or less would poll without pause; the dialog's value
            // for an unusable delay is used instead.
            return settings_.RequestDelayAfterNormalData > 0 ? settings_.RequestDelayAfterNormalData
                                                             : 200;
        case EOT_WAIT_TIMER:
            return 10000;
        case RECONNECTION_PERION_TIMER:
            return 60000;
        default:
            return 0;
    }
}

bool cs_smda_prot::SMDA_Connect() {
    observer_.Trace("cs_smda_prot::SMDA_Connect, ConStat");
    // One attempt at a time: the TCP connect waits with the event loop running, and a second
    // Connect meanwhile would pull the socket from under the first.
    if (ConStat == 1 || connecting_)
        return false;
    log_.Log(LOG_REQUEST_CONNECTION);
    SMDA_Kill_All_timers();
    if (UsesTcp())
        return ConnectTcp();

    const std::string portName = ComPortName(settings_.COM_Port_number_index);
    const int32_t baud = BaudRate(settings_.COM_Port_baud_rate_index);
    if (m_Comport == nullptr || !m_Comport->Open(portName, baud)) {
        // The device and the system's reason (no such device, permission denied) on a line of
        // their own after the message.
        const std::string reason = m_Comport != nullptr ? m_Comport->FailureReason() : "";
        observer_.ConnectionFailed(reason);
        SMDA_Set_ConStat(0);
        prompt_.Message(portName + " can not be open!" + (reason.empty() ? "" : "\n" + reason));
        log_.LogFault(reason);
        return false;
    }
    SMDA_Set_ConStat(1);
    log_.Log(LOG_CONNECTED);
    observer_.ConnectionEstablished();
    Disconnect_Pending = 0;
    OnChannelReady();  // the serial port polls at once
    return true;
}

bool cs_smda_prot::ConnectTcp() {
    observer_.Notify(NOTIFY_CONNECTION, 3);
    LinkChannel* socket = m_LPort;
    if (socket == nullptr || !socket->Create()) {
        const std::string reason = socket != nullptr ? socket->FailureReason() : "";
        observer_.ConnectionFailed(reason);
        log_.LogFault(reason);
        if (settings_.AutoReConnection == 0) {
            prompt_.Message("Socket can not be open!");
        } else {
            SMDA_Start_Timer(RECONNECTION_PERION_TIMER);
        }
        return false;
    }
    int32_t port = 6013;
    switch (settings_.Server_Port_index) {
        case 1:
            port = 6012;
            break;
        case 2:
            port = 6014;
            break;
        case 3:
            port = 6016;
            break;
        default:
            break;
    }
    connecting_ = true;
    abortConnect_ = false;
    const bool opened = socket->Open(settings_.GetIPAddr(), port);
    connecting_ = false;
    if (abortConnect_) {
        // The operator disconnected while the attempt was waiting.
        abortConnect_ = false;
        socket->Close();
        log_.Log(LOG_DISCONNECTED);
        SMDA_Set_ConStat(0);
        return false;
    }
    if (opened) {
        SMDA_Set_ConStat(1);
        Disconnect_Pending = 0;
        log_.Log(LOG_CONNECTED);
        observer_.ConnectionEstablished();
        return true;  // polling starts when the socket can send
    }
    observer_.Trace(socket->ErrorText().c_str());
    const std::string reason = socket->FailureReason();
    observer_.ConnectionFailed(reason);
    SMDA_Set_ConStat(0);
    log_.LogFault(reason);
    socket->Close();
    if (settings_.AutoReConnection == 0) {
        prompt_.Message("The connection is not established!");
    } else {
        SMDA_Start_Timer(RECONNECTION_PERION_TIMER);
    }
    return false;
}

bool cs_smda_prot::SMDA_Disconnect() {
    if (connecting_) {
        // Stops the waiting attempt; SMDA_Connect finishes it as a disconnect.
        abortConnect_ = true;
        if (m_LPort != nullptr)
            m_LPort->Close();
        return true;
    }
    if (ConStat == 0) {
        if (!reconnectPending_)
            return false;
        // The operator stops the reconnection cycle.
        SMDA_Kill_All_timers();
        log_.Log(LOG_DISCONNECTED);
        SMDA_Set_ConStat(0);
        observer_.SetRxProgressPosition(0);
        Link_Ok = 2;
        observer_.Notify(NOTIFY_LINK, 2);
        return true;
    }
    log_.Log(LOG_DISCONNECTED);
    if (Link_Ok == 1) {
        // A healthy link finishes its exchange; the next protocol timer completes the disconnect.
        Disconnect_Pending = 1;
        return true;
    }
    FinishDisconnect();
    return true;
}

void cs_smda_prot::FinishDisconnect() {
    DeliverAcknowledged();
    SMDA_Kill_All_timers();
    SMDA_Clear_TX();
    SMDA_Clear_RX();
    SMDA_Set_State(IDLE);
    if (LinkChannel* channel = Channel())
        channel->Close();
    ReaderFlag = 0;
    SMDA_Set_ConStat(0);
    observer_.SetRxProgressPosition(0);
    Disconnect_Pending = 0;
    Link_Ok = 2;
    observer_.Notify(NOTIFY_LINK, 2);
}

bool cs_smda_prot::SMDA_Do_Pending_Disconnect() {
    if (Disconnect_Pending != 1)
        return false;
    FinishDisconnect();
    return true;
}

void cs_smda_prot::SMDA_Reader_Start() {
    if (ReaderFlag == 1)
        return;
    ReaderFlag = 1;
    if (!UsesTcp() && m_Comport != nullptr)
        m_Comport->StartReader();
}

void cs_smda_prot::OnChannelReady() {
    SMDA_Reader_Start();
    SMDA_Kill_All_timers();
    SMDA_Clear_TX();
    SMDA_Clear_RX();
    Poll();
}

void cs_smda_prot::OnPeerClosed() {
    if (ConStat == 1) {
        log_.Log(LOG_DISCONNECTED);
        FinishDisconnect();
    } else {
        DeliverAcknowledged();
        SMDA_Set_ConStat(0);
    }
    if (settings_.AutoReConnection == 1 && UsesTcp())
        SMDA_Start_Timer(RECONNECTION_PERION_TIMER);
}

void cs_smda_prot::SMDA_read_event(uint32_t count) {
    switch (State) {
        case ENQ_SENT:
            if (count != 1)
                return;
            if (RX_Buf[0] == STX) {
                observer_.RxLamp();
                ENQ_Nothing_Cnt = 0;
                SMDA_Set_State(DATA_START_RCV);
                SMDA_Request_Read(3);
            } else if (RX_Buf[0] == NAK) {
                observer_.RxLamp();
                ENQ_Nothing_Cnt = 0;
                SMDA_Count_Event(EV_RCV_NAK);
                SMDA_Kill_All_timers();
                SMDA_Set_State(IDLE);
                SMDA_Start_Timer(ENQ_NAK_PERIOD_TIMER);
            } else {
                observer_.ErrLamp();
            }
            return;
        case DATA_START_RCV:
            if (count == 3) {
                Data_Len = ParseLengthDigits(&RX_Buf[1]);
                if (IsAcceptedLength(Data_Len)) {
                    if (!UsesTcp()) {
                        observer_.SetRxProgressRange(static_cast<int>(Data_Len));
                        observer_.SetRxProgressPosition(0);
                    }
                    SMDA_Request_Read(Data_Len);
                } else {
                    observer_.ErrLamp();
                    SMDA_Count_Event(EV_BAD_LENGTH);
                }
            } else if (count == Data_Len && IsAcceptedLength(Data_Len)) {
                // A body for a rejected length is ignored: its check would run past the frame.
                CheckBody();
            }
            return;
        case ACK_SENT:
            if (count == 1 && RX_Buf[0] == EOT) {
                SMDA_Count_Event(EV_RCV_EOT);
                observer_.RxLamp();
                SMDA_Kill_All_timers();
                SMDA_Set_State(IDLE);
                // The pause before the next poll runs while the record is written and flushed to
                // the disk: the flushes do not lengthen the cycle.
                StartPauseAfterData();
                Deliver();
            }
            return;
        case NAK_SENT:
            if (count != 1)
                return;
            if (RX_Buf[0] == STX) {
                observer_.RxLamp();
                SMDA_Set_State(DATA_START_RCV);
                SMDA_Request_Read(3);
            } else if (RX_Buf[0] == NAK) {
                SMDA_Count_Event(EV_SENT_NAK);
                observer_.RxLamp();
                SMDA_Kill_All_timers();
                SMDA_Set_State(ENQ_SENT);
                SMDA_Start_Timer(ENQ_NAK_PERIOD_TIMER);
            } else {
                observer_.ErrLamp();
            }
            return;
        default:
            return;
    }
}

bool BccMatches(const uint8_t* frame, uint32_t L) {
    uint8_t bcc = 0;
    for (uint32_t i = 1; i <= L; ++i)
        bcc ^= frame[i];
    return bcc == DigitValue(frame[L + 1]) * 16 + DigitValue(frame[L + 2]);
}

void cs_smda_prot::CheckBody() {
    const uint32_t L = Data_Len;
    if (BccMatches(RX_Buf.data(), L)) {
        SMDA_Count_Event(EV_NORMAL_DATA);
        observer_.RxLamp();
        observer_.MessageReceived();
        SMDA_Kill_All_timers();
        SMDA_Clear_RX();
        SMDA_Clear_TX();
        Ack_Frame = RX_Buf;
        Ack_Len = L;
        ackPending_ = true;
        // The PBX forgets a record once it has its ACK: the record is on the disk before then.
        // One that cannot be made durable gets no ACK; the PBX keeps it and sends it again when
        // polled once records can be stored.
        const int64_t before = timers_.Ticks();
        const bool kept = journal_ == nullptr || journal_->Acknowledging(Ack_Frame.data(), L);
        ackWait_ = std::max<int64_t>(0, timers_.Ticks() - before);
        if (!kept) {
            ackPending_ = false;
            SMDA_Set_State(IDLE);
            SMDA_Start_Timer(ENQ_NAK_PERIOD_TIMER);
            return;
        }
        SMDA_write(ACK);
        EOT_Wait_Cnt = 0;
        SMDA_Set_State(ACK_SENT);
        SMDA_Start_Timer(EOT_WAIT_TIMER);
        SMDA_Request_Read(1);
    } else {
        SMDA_Count_Event(EV_BAD_BCC);
        SMDA_Count_Event(EV_SENT_NAK);
        observer_.ErrLamp();
        SMDA_Kill_All_timers();
        SMDA_Clear_RX();
        SMDA_Clear_TX();
        SMDA_write(NAK);
        SMDA_Set_State(NAK_SENT);
        SMDA_Start_Timer(DATA_WAIT_TIMER);
        SMDA_Request_Read(1);
    }
}

void cs_smda_prot::Deliver() {
    // The frame delivered is the one that was checked and acknowledged, starting with its STX.
    ackPending_ = false;
    const uint32_t length = Ack_Len;
    const bool duplicate = std::equal(Last_Frame.begin(), Last_Frame.end(), Ack_Frame.begin());
    std::copy_n(Ack_Frame.begin(), kCompared, Last_Frame.begin());
    if (duplicate) {
        SMDA_Count_Event(EV_DUPLICATE);
    } else {
        Dispatch(length);
    }
    if (journal_ != nullptr)
        journal_->Delivered(Last_Frame.data());
}

void cs_smda_prot::Dispatch(uint32_t length) {
    if (settings_.APP_360Format != 0)
        Unscramble360(Ack_Frame.data(), length);
    if (settings_.APP_HDFormat != 0 && length == 515 && hdConverter_ != nullptr &&
        hdConverter_->Convert(Ack_Frame.data(), length, converted_) && converted_.size() >= 4) {
        Data_Len = ParseLengthDigits(&converted_[1]);
        dispatcher_.Dispatch(converted_.data(), Data_Len);
        return;
    }
    dispatcher_.Dispatch(Ack_Frame.data(), length);
}

void cs_smda_prot::RestoreLastFrame(const uint8_t* lastFrame) {
    RX_Buf.fill(0);
    std::copy_n(lastFrame, kCompared, RX_Buf.begin());
    std::copy_n(lastFrame, kCompared, Last_Frame.begin());
}

void cs_smda_prot::DeliverRecovered(const uint8_t* area, size_t size, uint32_t length) {
    RX_Buf.fill(0);
    std::copy_n(area, std::min(size, kReceiveArea), RX_Buf.begin());
    Ack_Frame = RX_Buf;
    Ack_Len = length;
    Data_Len = length;
    ackPending_ = true;
    Deliver();
}

void cs_smda_prot::DeliverAcknowledged() {
    if (ackPending_)
        Deliver();
}

void Unscramble360(uint8_t* frame, uint32_t L) {
    uint32_t k = 0;
    uint32_t i = 4;
    for (; i < L + 1; i += 2, k += 2) {
        const uint8_t a = frame[i];
        const uint8_t b = frame[i + 1];
        frame[i] = Unshift(b, k);
        frame[i + 1] = Unshift(a, k + 1);
    }
    uint8_t x = 0;
    for (uint32_t j = 1; j <= L; ++j)
        x ^= frame[j];
    frame[i] = DigitChar(x >> 4);
    frame[i + 1] = DigitChar(x & 0xF);
}

void cs_smda_prot::Poll() {
    DeliverAcknowledged();
    // While records cannot be stored the PBX keeps them: it is asked again later.
    if (journal_ != nullptr && !journal_->MayPoll()) {
        SMDA_Set_State(IDLE);
        SMDA_Start_Timer(ENQ_NAK_PERIOD_TIMER);
        return;
    }
    SMDA_write(ENQ);
    SMDA_Set_State(ENQ_SENT);
    SMDA_Start_Timer(DATA_WAIT_TIMER);
    SMDA_Request_Read(1);
}

void cs_smda_prot::DropForReconnection(bool killTimers) {
    DeliverAcknowledged();
    if (killTimers)
        SMDA_Kill_All_timers();
    SMDA_Set_State(IDLE);
    if (m_LPort != nullptr)
        m_LPort->Close();
    log_.Log(LOG_DISCONNECTED);
    ReaderFlag = 0;
    SMDA_Set_ConStat(0);
    SMDA_Start_Timer(RECONNECTION_PERION_TIMER);
}

bool cs_smda_prot::SMDA_Timer_Expired(int id) {
    switch (id) {
        case ENQ_NAK_PERIOD_TIMER:
        case ENQ_DATA_PERIOD_TIMER:
            SMDA_Kill_All_timers();
            SMDA_Clear_TX();
            SMDA_Clear_RX();
            if (SMDA_Do_Pending_Disconnect())
                return true;
            Poll();
            return true;
        case DATA_WAIT_TIMER:
            SMDA_Count_Event(EV_DATA_WAIT_EXPIRED);
            SMDA_Kill_All_timers();
            SMDA_Clear_TX();
            SMDA_Clear_RX();
            if (SMDA_Do_Pending_Disconnect())
                return true;
            if (++ENQ_Nothing_Cnt >= 4) {
                ENQ_Nothing_Cnt = 0;
                if (UsesTcp() && settings_.AutoReConnection == 1) {
                    DropForReconnection(false);
                    return true;
                }
            }
            Poll();
            return true;
        case EOT_WAIT_TIMER:
            SMDA_Count_Event(EV_EOT_WAIT_EXPIRED);
            if (SMDA_Do_Pending_Disconnect())
                return true;
            if (++EOT_Wait_Cnt <= 3) {
                SMDA_Kill_All_timers();
                SMDA_Clear_RX();
                SMDA_Clear_TX();
                SMDA_write(ACK);
                SMDA_Set_State(ACK_SENT);
                SMDA_Start_Timer(EOT_WAIT_TIMER);
                SMDA_Request_Read(1);
                return true;
            }
            EOT_Wait_Cnt = 0;
            DeliverAcknowledged();
            if (UsesTcp() && settings_.AutoReConnection == 1) {
                DropForReconnection(true);
                return true;
            }
            SMDA_Kill_All_timers();
            SMDA_Clear_RX();
            SMDA_Clear_TX();
            Poll();
            return true;
        case RECONNECTION_PERION_TIMER:
            timers_.KillTimer(RECONNECTION_PERION_TIMER);
            reconnectPending_ = false;
            observer_.ReconnectDue();
            return true;
        default:
            return false;
    }
}

bool cs_smda_prot::SMDA_Count_Event(int index) {
    if (index < 0 || index >= kFirstCallTypeColumn)
        return false;
    StatisticCounters_.Count(index, clock_.Now().hour);
    observer_.Notify(NOTIFY_COUNT, index);
    int link = Link_Ok;
    switch (index) {
        case EV_SENT_NAK:
        case EV_BAD_BCC:
        case EV_BAD_LENGTH:
        case EV_DATA_WAIT_EXPIRED:
        case EV_EOT_WAIT_EXPIRED:
            link = 0;
            break;
        case EV_RCV_NAK:
        case EV_RCV_EOT:
        case EV_NORMAL_DATA:
            link = 1;
            break;
        default:
            break;
    }
    if (link != Link_Ok) {
        observer_.Notify(NOTIFY_LINK, link);
        Link_Ok = link;
    }
    return true;
}

bool cs_smda_prot::SMDA_write(uint8_t byte) {
    if (ConStat == 0 || (byte != ENQ && byte != ACK && byte != NAK))
        return false;
    if (byte == ENQ) {
        SMDA_Count_Event(EV_SENT_ENQ);
        if (UsesTcp() && m_LPort != nullptr)
            m_LPort->ResetRecord();
        observer_.SetRxProgressPosition(0);
    } else if (byte == ACK) {
        SMDA_Count_Event(EV_SENT_ACK);
    } else {
        SMDA_Count_Event(EV_SENT_NAK);
    }
    observer_.TxLamp();
    Last_Sent = byte;
    LinkChannel* channel = Channel();
    return channel != nullptr && channel->Write(byte);
}

bool cs_smda_prot::SMDA_Start_Timer(int id) {
    if (id < START_SMDA_TIMER || id > RECONNECTION_PERION_TIMER)
        return false;
    if (id == RECONNECTION_PERION_TIMER) {
        SMDA_Kill_All_timers();
        timers_.StartTimer(id, TimerDuration(id));
        reconnectPending_ = true;
        observer_.Notify(NOTIFY_CONNECTION, 3);
        // Nothing is received while the link waits: the status says so.
        observer_.SetRxProgressPosition(0);
        if (Link_Ok != 0) {
            Link_Ok = 0;
            observer_.Notify(NOTIFY_LINK, 0);
        }
        return true;
    }
    timers_.KillTimer(id);
    timers_.StartTimer(id, TimerDuration(id));
    return true;
}

void cs_smda_prot::StartPauseAfterData() {
    // The pause counts from the frame: the time its ACK waited for the journal to reach the disk
    // is part of it, so a slow disk does not make the PBX wait longer between records. The EOT
    // is still followed by at least half the pause.
    const int pause = TimerDuration(ENQ_DATA_PERIOD_TIMER);
    const int64_t waited = std::min<int64_t>(ackWait_, pause / 2);
    timers_.KillTimer(ENQ_DATA_PERIOD_TIMER);
    timers_.StartTimer(ENQ_DATA_PERIOD_TIMER, pause - static_cast<int>(waited));
}

void cs_smda_prot::SMDA_Kill_All_timers() {
    for (int id = START_SMDA_TIMER; id <= RECONNECTION_PERION_TIMER; ++id)
        timers_.KillTimer(id);
    reconnectPending_ = false;
}

void cs_smda_prot::SMDA_Clear_RX() {
    if (!UsesTcp() && m_Comport != nullptr)
        m_Comport->ClearRx();
}

void cs_smda_prot::SMDA_Clear_TX() {
    if (!UsesTcp() && m_Comport != nullptr)
        m_Comport->ClearTx();
}

bool cs_smda_prot::SMDA_Set_State(int state) {
    if (state < IDLE || state > NAK_SENT)
        return false;
    if (state != State)
        observer_.Notify(NOTIFY_STATE, state);
    State = state;
    return true;
}

void cs_smda_prot::SMDA_Set_ConStat(int value) {
    ConStat = value;
    observer_.Notify(NOTIFY_CONNECTION, value);
}

}  // namespace velk
