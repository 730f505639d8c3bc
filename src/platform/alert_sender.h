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

// Delivers alerts on a thread of its own, through the channels [Alerts] sets up (a command, mail,
// a webhook), so that a slow or absent receiver never holds up the link or the record files:
// Submit only hands the alert over (at most kMostHandedOver wait there; the oldest gives way).
// What the outbox has to say (failures, recoveries, drops) comes back to the thread this object
// lives on, for the connection log.
class AlertSender : public QObject {
    Q_OBJECT
public:
    using Log = std::function<void(const std::vector<AlertNote>& notes)>;
    static constexpr size_t kMostHandedOver = 100;

    AlertSender(const AppSettings& settings, AlertOrigin origin, Log log,
                AlertOutbox::Options options = AlertOutbox::Options(), QObject* parent = nullptr);
    ~AlertSender() override;

    // Whether any channel is set up (otherwise alerts go nowhere and no thread runs).
    bool Running() const { return thread_.joinable(); }
    void Submit(const Alert& alert);
    // Ends the deliveries at once: an attempt under way is abandoned, the thread ends.
    void Stop();

private:
    void Run();

    Log log_;
    SystemClock clock_;
    std::atomic<bool> stopFlag_{false};
    std::vector<std::unique_ptr<AlertChannel>> channels_;
    std::unique_ptr<AlertOutbox> outbox_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Alert> handedOver_;
    uint64_t dropped_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace velk
