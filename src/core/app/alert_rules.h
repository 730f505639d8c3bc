#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "core/app/alarm_board.h"

namespace velk {

// One message to a person about an alarm: it began, it is still there (raised again), or it is
// over.
struct Alert {
    enum class State { Start, Repeat, Over };
    std::string kind;
    State state = State::Start;
    std::string text;  // the alarm's latest line
    int64_t time = 0;  // when the alert was made, seconds since the epoch
    LocalTime at;
    LocalTime since;  // when the alarm began
    // Alerts of this kind held back since the one sent before (repeats, or a start and its end
    // within the hold-back).
    uint64_t heldBack = 0;
};

const char* AlertStateName(Alert::State state);  // "start", "repeat", "over"

// Which alarms become alerts, and when. Each alarm alerts once when it begins and once when it
// is over; further alerts of a kind are held back so that a person gets at most one per kind in
// every hold-back interval: what happened meanwhile goes out in one alert when the interval ends
// (the alarm still or again in force: its latest text; over: that it is over).
// The end of an alarm whose start was sent is never held back.
class AlertRules : public AlarmListener {
public:
    using Send = std::function<void(const Alert&)>;

    AlertRules(const AlarmBoard& board, const Clock& clock, int64_t holdBackSeconds, Send send)
        : board_(board), clock_(clock), holdBack_(holdBackSeconds), send_(std::move(send)) {}

    void SetHoldBack(int64_t seconds) { holdBack_ = seconds; }
    void AlarmRaised(const ActiveAlarm& alarm, bool repeat) override;
    void AlarmOver(const ActiveAlarm& alarm) override;
    // A look at the time: held-back alerts whose interval has ended go out.
    void Tick();
    // Seconds until the next held-back alert is due; -1 when none is held.
    int64_t NextDue() const;

private:
    struct KindState {
        bool sentOnce = false;
        int64_t lastSent = 0;
        bool toldActive = false;  // the last alert sent said the alarm is in force
        bool pending = false;     // something was held back
        uint64_t held = 0;
    };
    bool MaySend(const KindState& s, int64_t now) const;
    void Emit(KindState& s, const ActiveAlarm& alarm, Alert::State state);

    const AlarmBoard& board_;
    const Clock& clock_;
    int64_t holdBack_;
    Send send_;
    std::map<std::string, KindState> kinds_;
    std::map<std::string, ActiveAlarm> lastOver_;  // an alarm that ended while held back
};

}  // namespace velk
