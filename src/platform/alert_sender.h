#pragma once

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/app/alert_outbox.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/clock.h"
#include "platform/alert_channels.h"

namespace velk {

// Delivers alerts through the channels [Alerts] sets up (a command, mail, a webhook), each on a
// thread of its own, so that a slow or absent receiver never holds up the link, the record files
// or another channel: Submit only hands the alert over (at most kMostHandedOver wait there per
// channel; the oldest gives way). What the outboxes have to say (failures, recoveries, drops)
// comes back to the thread this object lives on, for the connection log.
class AlertSender : public QObject {
    Q_OBJECT
public:
    using Log = std::function<void(const std::vector<AlertNote>& notes)>;
    static constexpr size_t kMostHandedOver = 100;

    AlertSender(const AppSettings& settings, AlertOrigin origin, Log log,
                AlertOutbox::Options options = AlertOutbox::Options(), QObject* parent = nullptr);
    ~AlertSender() override;

    // Whether any channel is set up (otherwise alerts go nowhere and no thread runs).
    bool Running() const { return !workers_.empty(); }
    void Submit(const Alert& alert);
    // Ends the deliveries at once: attempts under way are abandoned, the threads end.
    void Stop();

private:
    struct Worker {
        std::unique_ptr<AlertChannel> channel;
        std::unique_ptr<AlertOutbox> outbox;
        std::deque<Alert> handedOver;
        uint64_t dropped = 0;
        std::thread thread;
    };
    void Run(Worker& worker);

    Log log_;
    SystemClock clock_;
    std::atomic<bool> stopFlag_{false};
    std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace velk
