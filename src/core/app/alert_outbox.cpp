#include "core/app/alert_outbox.h"

#include <algorithm>

namespace velk {
namespace {

std::string Describe(const Alert& alert) {
    return std::string(AlertStateName(alert.state)) + " of " + alert.kind;
}

}  // namespace

AlertOutbox::AlertOutbox(std::vector<AlertChannel*> channels, Options options)
    : options_(options) {
    for (AlertChannel* channel : channels) {
        Line line;
        line.channel = channel;
        lines_.push_back(std::move(line));
    }
}

void AlertOutbox::Add(const Alert& alert, int64_t now) {
    for (Line& line : lines_) {
        if (line.alerts.size() >= options_.most) {
            notes_.push_back({"Alert dropped", line.channel->Name() + ": " +
                                                   Describe(line.alerts.front().alert) +
                                                   " (too many alerts wait)"});
            line.alerts.pop_front();
        }
        line.alerts.push_back({alert, now});
    }
}

int64_t AlertOutbox::DueIn(const Line& line, int64_t now) const {
    if (line.alerts.empty())
        return -1;
    return line.nextTry > now ? line.nextTry - now : 0;
}

int64_t AlertOutbox::Step(int64_t now) {
    Line* due = nullptr;
    for (Line& line : lines_) {
        // Alerts too old to matter any more leave.
        while (!line.alerts.empty() && now - line.alerts.front().added >= options_.giveUpSeconds) {
            notes_.push_back({"Alert dropped", line.channel->Name() + ": " +
                                                   Describe(line.alerts.front().alert) +
                                                   " undelivered after " +
                                                   std::to_string(line.failedTries) + " tries"});
            line.alerts.pop_front();
        }
        if (DueIn(line, now) == 0 && (due == nullptr || line.nextTry < due->nextTry))
            due = &line;
    }
    if (due != nullptr) {
        Line& line = *due;
        const std::string reason = line.channel->Deliver(line.alerts.front().alert);
        if (reason.empty()) {
            if (line.retry != 0) {
                notes_.push_back({"Alert sent", line.channel->Name() + " delivers again after " +
                                                    std::to_string(line.failedTries) +
                                                    (line.failedTries == 1 ? " failed try" :
                                                                             " failed tries")});
            }
            line.alerts.pop_front();
            line.retry = 0;
            line.failedTries = 0;
            line.reason.clear();
            line.nextTry = now;
        } else {
            line.retry = line.retry == 0 ? options_.firstRetrySeconds
                                         : std::min(line.retry * 2, options_.mostRetrySeconds);
            ++line.failedTries;
            if (line.failedTries == 1 || reason != line.reason) {
                notes_.push_back({"Alert not sent",
                                  line.channel->Name() + ": " + Describe(line.alerts.front().alert) +
                                      ": " + reason + "; tried again in " +
                                      std::to_string(line.retry) + " s"});
            }
            line.reason = reason;
            line.nextTry = now + line.retry;
        }
    }
    int64_t next = -1;
    for (const Line& line : lines_) {
        const int64_t in = DueIn(line, now);
        if (in >= 0 && (next < 0 || in < next))
            next = in;
    }
    return next;
}

std::vector<AlertNote> AlertOutbox::TakeNotes() {
    std::vector<AlertNote> notes;
    notes.swap(notes_);
    return notes;
}

size_t AlertOutbox::Waiting() const {
    size_t n = 0;
    for (const Line& line : lines_)
        n += line.alerts.size();
    return n;
}

}  // namespace velk
