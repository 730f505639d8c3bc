#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/link/connection_control.h"
#include "core/link/link_protocol.h"

namespace velk::test {

class FakeTimers : public TimerHost {
public:
    void StartTimer(int id, int ms) override { running[id] = ms; }
    void KillTimer(int id) override { running.erase(id); }
    bool Running(int id) const { return running.count(id) != 0; }
    int Period(int id) const { return running.count(id) ? running.at(id) : -1; }
    int64_t Ticks() const override { return ticks; }
    std::map<int, int> running;
    int64_t ticks = 0;
};

class FakeClock : public Clock {
public:
    LocalTime Now() const override { return now; }
    int64_t Seconds() const override { return seconds; }
    LocalTime now{2026, 12, 8, 14, 30, 0};
    int64_t seconds = 1'000'000;
};

class FakeChannel : public LinkChannel {
public:
    bool Create() override { return createOk; }
    bool Open(const std::string& where, int32_t port) override {
        openedWhere = where;
        openedPort = port;
        ++opens;
        if (duringOpen)
            duringOpen();  // what happens while a connect waits for its answer
        return openOk;
    }
    bool Write(uint8_t byte) override {
        written.push_back(byte);
        return true;
    }
    void Close() override { ++closes; }
    void ResetRecord() override {
        ++resets;
        if (resetHook)
            resetHook();
    }
    void StartReader() override { ++readers; }
    std::string FailureReason() const override { return reason; }
    std::string reason;  // why Create or Open failed
    std::function<void()> duringOpen;
    std::function<void()> resetHook;
    bool createOk = true, openOk = true;
    std::string openedWhere;
    int32_t openedPort = 0;
    int opens = 0, closes = 0, resets = 0, readers = 0;
    std::vector<uint8_t> written;
};

class RecordingObserver : public LinkObserver {
public:
    void Notify(NotifyCode code, int value) override { notes.emplace_back(code, value); }
    void TxLamp() override { ++tx; }
    void RxLamp() override { ++rx; }
    void ErrLamp() override { ++err; }
    void MessageReceived() override { ++messages; }
    void ConnectionEstablished() override { ++connections; }
    void ReconnectDue() override { ++reconnects; }
    void SetRxProgressPosition(int position) override { progress = position; }
    void Trace(const char* what) override { traces.emplace_back(what); }
    void ConnectionFailed(const std::string& reason) override { failures.push_back(reason); }
    int Last(NotifyCode code) const {
        for (auto it = notes.rbegin(); it != notes.rend(); ++it) {
            if (it->first == code)
                return it->second;
        }
        return -1;
    }
    std::vector<std::pair<NotifyCode, int>> notes;
    std::vector<std::string> traces;
    std::vector<std::string> failures;  // the reasons of connections that could not be made
    int tx = 0, rx = 0, err = 0, messages = 0, connections = 0, reconnects = 0, progress = -1;
};

// Passes the connection notifications on to connection control, as the collector does.
class NotifyingObserver : public RecordingObserver {
public:
    void Notify(NotifyCode code, int value) override {
        RecordingObserver::Notify(code, value);
        if (code == NOTIFY_CONNECTION && control != nullptr)
            control->OnNotifyConnection(value);
    }
    ConnectionControl* control = nullptr;
};

class RecordingView : public ConnectionView {
public:
    void SetTitle(const std::string& t) override { title = t; }
    void SetConnectedText(const std::string& t) override { connected = t; }
    void DurationReset() override { ++durationResets; }
    void SetMenuState(LinkMenuState s) override { states.push_back(s); }
    LinkMenuState Last() const {
        return states.empty() ? LinkMenuState::Disconnected : states.back();
    }
    std::string title, connected;
    int durationResets = 0;
    std::vector<LinkMenuState> states;
};

class RecordingDispatcher : public FrameDispatcher {
public:
    void Dispatch(const uint8_t* frame, uint32_t length) override {
        frames.emplace_back(reinterpret_cast<const char*>(frame), length + 3);
    }
    std::vector<std::string> frames;  // the message texts (without ETX)
};

class RecordingLog : public ConnectionLogger {
public:
    void Log(int event) override { events.push_back(event); }
    void LogFault(const std::string& reason) override {
        events.push_back(LOG_CONNECTION_FAULT);
        faults.push_back(reason);
    }
    std::vector<int> events;
    std::vector<std::string> faults;
};

// A complete frame around a message text: STX, three upper-case length digits, the text, the
// two BCC digits and ETX.
inline std::string MakeFrame(const std::string& text, bool lowerCase = false) {
    const unsigned L = static_cast<unsigned>(text.size()) + 3;
    char digits[8];
    std::snprintf(digits, sizeof digits, lowerCase ? "%03x" : "%03X", L);
    std::string f = std::string(1, '\x02') + digits + text;
    unsigned char bcc = 0;
    for (size_t i = 1; i < f.size(); ++i)
        bcc ^= static_cast<unsigned char>(f[i]);
    std::snprintf(digits, sizeof digits, lowerCase ? "%02x" : "%02X", bcc);
    return f + digits + "\x03";
}

// A message text of type "52" with n characters.
inline std::string Text52(size_t n, char fill = '0') {
    std::string t = "5203" + std::string(n - 4, fill);
    return t;
}

}  // namespace velk::test
