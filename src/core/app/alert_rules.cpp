#include "core/app/alert_rules.h"

namespace velk {

const char* AlertStateName(Alert::State state) {
    switch (state) {
        case Alert::State::Start:
            return "start";
        case Alert::State::Repeat:
            return "repeat";
        case Alert::State::Over:
            return "over";
    }
    return "start";
}

bool AlertRules::MaySend(const KindState& s, int64_t now) const {
    return !s.sentOnce || now - s.lastSent >= holdBack_;
}

void AlertRules::Emit(KindState& s, const ActiveAlarm& alarm, Alert::State state) {
    Alert alert;
    alert.kind = alarm.kind;
    alert.state = state;
    alert.text = alarm.text;
    alert.time = clock_.Seconds();
    alert.at = clock_.Now();
    alert.since = alarm.sinceLocal;
    alert.heldBack = s.held;
    s.sentOnce = true;
    s.lastSent = alert.time;
    s.toldActive = state != Alert::State::Over;
    s.pending = false;
    s.held = 0;
    lastOver_.erase(alarm.kind);
    if (send_)
        send_(alert);
}

void AlertRules::AlarmRaised(const ActiveAlarm& alarm, bool repeat) {
    KindState& s = kinds_[alarm.kind];
    if (MaySend(s, clock_.Seconds())) {
        Emit(s, alarm, repeat && s.toldActive ? Alert::State::Repeat : Alert::State::Start);
        return;
    }
    s.pending = true;
    ++s.held;
}

void AlertRules::AlarmOver(const ActiveAlarm& alarm) {
    KindState& s = kinds_[alarm.kind];
    if (s.toldActive) {
        // The person heard of the start: the end goes out at once, whatever the hold-back.
        Emit(s, alarm, Alert::State::Over);
        return;
    }
    // Its start was held back: the end waits with it, and the person hears of both at the end of
    // the interval.
    s.pending = true;
    ++s.held;
    lastOver_[alarm.kind] = alarm;
}

void AlertRules::Tick() {
    const int64_t now = clock_.Seconds();
    for (auto& [kind, s] : kinds_) {
        if (!s.pending || !MaySend(s, now))
            continue;
        // The alert that goes out now is one of those held back.
        if (s.held > 0)
            --s.held;
        if (const ActiveAlarm* active = board_.Find(kind)) {
            Emit(s, *active, s.toldActive ? Alert::State::Repeat : Alert::State::Start);
            continue;
        }
        const auto over = lastOver_.find(kind);
        if (over != lastOver_.end()) {
            // One alert for what began and ended while held back.
            const ActiveAlarm alarm = over->second;
            Emit(s, alarm, Alert::State::Over);
            continue;
        }
        s.pending = false;
        s.held = 0;
    }
}

int64_t AlertRules::NextDue() const {
    int64_t next = -1;
    const int64_t now = clock_.Seconds();
    for (const auto& [kind, s] : kinds_) {
        if (!s.pending)
            continue;
        const int64_t due = s.lastSent + holdBack_ - now;
        const int64_t wait = due < 0 ? 0 : due;
        if (next < 0 || wait < next)
            next = wait;
    }
    return next;
}

}  // namespace velk
