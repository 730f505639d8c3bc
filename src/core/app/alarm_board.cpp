#include "core/app/alarm_board.h"

#include <algorithm>

namespace velk {

std::string AlarmLine(const std::string& text, size_t most) {
    std::string line;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool blank = byte < 0x20 || byte == 0x7f || c == ' ';
        if (!blank)
            line += c;
        else if (!line.empty() && line.back() != ' ')
            line += ' ';
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    if (line.size() > most) {
        size_t cut = most > 3 ? most - 3 : 0;
        // Never inside a UTF-8 character.
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
            --cut;
        line = line.substr(0, cut) + "...";
    }
    return line;
}

void AlarmBoard::Raise(const std::string& kind, const std::string& text) {
    const std::string line = AlarmLine(text, kMostTextBytes);
    const auto it = std::find_if(alarms_.begin(), alarms_.end(),
                                 [&kind](const ActiveAlarm& a) { return a.kind == kind; });
    if (it != alarms_.end()) {
        it->text = line;
        ++it->raised;
        if (listener_ != nullptr)
            listener_->AlarmRaised(*it, true);
        return;
    }
    ActiveAlarm alarm;
    alarm.kind = kind;
    alarm.text = line;
    alarm.since = clock_.Seconds();
    alarm.sinceLocal = clock_.Now();
    alarms_.push_back(alarm);
    if (listener_ != nullptr)
        listener_->AlarmRaised(alarms_.back(), false);
}

void AlarmBoard::Clear(const std::string& kind) {
    const auto it = std::find_if(alarms_.begin(), alarms_.end(),
                                 [&kind](const ActiveAlarm& a) { return a.kind == kind; });
    if (it == alarms_.end())
        return;
    const ActiveAlarm over = *it;
    alarms_.erase(it);
    if (listener_ != nullptr)
        listener_->AlarmOver(over);
}

bool AlarmBoard::Active(const std::string& kind) const {
    return Find(kind) != nullptr;
}

const ActiveAlarm* AlarmBoard::Find(const std::string& kind) const {
    for (const ActiveAlarm& a : alarms_) {
        if (a.kind == kind)
            return &a;
    }
    return nullptr;
}

}  // namespace velk
