#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "core/app/alert_rules.h"

namespace velk {

// One way an alert reaches a person (a command, mail, a webhook).
class AlertChannel {
public:
    virtual ~AlertChannel() = default;
    // "command", "mail", "webhook": how the log names it.
    virtual std::string Name() const = 0;
    // Hands the alert over; empty when it was taken, otherwise why not (one line, no secret).
    virtual std::string Deliver(const Alert& alert) = 0;
};

// A line for the connection log: event and details.
struct AlertNote {
    std::string event;
    std::string detail;
};

// The alerts on their way, per channel in the order they were made. Only the oldest of a
// channel is tried; one that cannot be delivered is tried again after 30 s, then after twice as
// long each time up to 30 minutes, so a channel that is down costs one attempt now and then.
// Each channel holds at most `most` alerts (the oldest gives way and the log says so), and an
// alert still undelivered after `giveUpSeconds` is dropped (logged). The log hears of a channel
// when it begins to fail, when the reason changes, and when it delivers again.
// Everything runs on the delivering thread; nothing here waits.
class AlertOutbox {
public:
    struct Options {
        size_t most = 100;
        int64_t firstRetrySeconds = 30;
        int64_t mostRetrySeconds = 1800;
        int64_t giveUpSeconds = 86400;
    };

    AlertOutbox(std::vector<AlertChannel*> channels, Options options);
    explicit AlertOutbox(std::vector<AlertChannel*> channels)
        : AlertOutbox(std::move(channels), Options()) {}

    void Add(const Alert& alert, int64_t now);
    // Makes one attempt at the channel whose oldest alert is due first, when one is due now;
    // answers the seconds until the next attempt is due (0: at once; -1: nothing waits).
    int64_t Step(int64_t now);
    std::vector<AlertNote> TakeNotes();
    size_t Waiting() const;

private:
    struct Waiting_ {
        Alert alert;
        int64_t added = 0;
    };
    struct Line {
        AlertChannel* channel = nullptr;
        std::deque<Waiting_> alerts;
        int64_t nextTry = 0;
        int64_t retry = 0;  // 0 while the channel delivers
        uint64_t failedTries = 0;
        std::string reason;  // of the last failure
    };
    int64_t DueIn(const Line& line, int64_t now) const;

    Options options_;
    std::vector<Line> lines_;
    std::vector<AlertNote> notes_;
};

}  // namespace velk
