#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "core/app/alert_message.h"
#include "core/app/alert_outbox.h"

namespace velk {

// The ways an alert leaves the machine. Each attempt ends within its time-out, or at once when
// the stop flag is set; none writes to the program's own output.

// Runs a program (no shell): the alert's kind, state and text as its arguments and in its
// environment, standard input and output on /dev/null, in a process group of its own that is
// killed when the time is up. Delivered when it exits with 0.
class CommandChannel : public AlertChannel {
public:
    CommandChannel(std::string program, AlertOrigin origin, int timeoutSeconds,
                   const std::atomic<bool>& stop)
        : program_(std::move(program)), origin_(std::move(origin)), timeout_(timeoutSeconds),
          stop_(stop) {}
    std::string Name() const override { return "command"; }
    std::string Deliver(const Alert& alert) override;

private:
    std::string program_;
    AlertOrigin origin_;
    int timeout_;
    const std::atomic<bool>& stop_;
};

// Hands the alert as a mail to the system's mail transfer agent: "sendmail -t -oi" with the
// message on its standard input (recipients from its To line). Delivered when it exits with 0.
class MailChannel : public AlertChannel {
public:
    MailChannel(std::string sendmail, std::string to, std::string from, AlertOrigin origin,
                int timeoutSeconds, const std::atomic<bool>& stop)
        : sendmail_(std::move(sendmail)), to_(std::move(to)), from_(std::move(from)),
          origin_(std::move(origin)), timeout_(timeoutSeconds), stop_(stop) {}
    std::string Name() const override { return "mail"; }
    std::string Deliver(const Alert& alert) override;

private:
    std::string sendmail_;
    std::string to_;
    std::string from_;
    AlertOrigin origin_;
    int timeout_;
    const std::atomic<bool>& stop_;
};

// Posts the alert as JSON to an http:// or https:// URL (libcurl; no redirects followed, the
// server's certificate checked). Delivered when the server answers 2xx. The URL may hold a token:
// no reason names it.
class WebhookChannel : public AlertChannel {
public:
    WebhookChannel(std::string url, AlertOrigin origin, int timeoutSeconds,
                   const std::atomic<bool>& stop);
    std::string Name() const override { return "webhook"; }
    std::string Deliver(const Alert& alert) override;

private:
    std::string url_;
    AlertOrigin origin_;
    int timeout_;
    const std::atomic<bool>& stop_;
};

// Runs a program with arguments and extra environment, the input given on its standard input;
// empty when it exited with 0, else why not. For the channels above.
std::string RunForAlert(const std::string& program, const std::vector<std::string>& arguments,
                        const std::vector<std::string>& environment, const std::string& input,
                        int timeoutSeconds, const std::atomic<bool>& stop);

}  // namespace velk
