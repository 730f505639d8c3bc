#include "platform/alert_sender.h"

#include <signal.h>

#include <chrono>

namespace velk {

AlertSender::AlertSender(const AppSettings& settings, AlertOrigin origin, Log log,
                         AlertOutbox::Options options, QObject* parent)
    : QObject(parent), log_(std::move(log)) {
    const int timeout = settings.Alerts_Timeout > 0 ? settings.Alerts_Timeout : 1;
    if (!settings.Alerts_Command.empty()) {
        channels_.push_back(
            std::make_unique<CommandChannel>(settings.Alerts_Command, origin, timeout, stopFlag_));
    }
    if (!settings.Alerts_MailTo.empty()) {
        channels_.push_back(std::make_unique<MailChannel>(
            settings.Alerts_Sendmail.empty() ? AppSettings::kDefaultSendmail
                                             : settings.Alerts_Sendmail,
            settings.Alerts_MailTo, settings.Alerts_MailFrom, origin, timeout, stopFlag_));
    }
    if (!settings.Alerts_Webhook.empty()) {
        channels_.push_back(
            std::make_unique<WebhookChannel>(settings.Alerts_Webhook, origin, timeout, stopFlag_));
    }
    if (channels_.empty())
        return;
    std::vector<AlertChannel*> channels;
    for (const auto& c : channels_)
        channels.push_back(c.get());
    outbox_ = std::make_unique<AlertOutbox>(std::move(channels), options);
    thread_ = std::thread([this] { Run(); });
}

AlertSender::~AlertSender() {
    Stop();
}

void AlertSender::Submit(const Alert& alert) {
    if (!Running())
        return;
    std::lock_guard<std::mutex> hold(lock_);
    if (handedOver_.size() >= kMostHandedOver) {
        handedOver_.pop_front();
        ++dropped_;
    }
    handedOver_.push_back(alert);
    changed_.notify_one();
}

void AlertSender::Stop() {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
        stopFlag_ = true;
        changed_.notify_one();
    }
    thread_.join();
}

void AlertSender::Run() {
    // A receiver that goes away while its input is written fails that write, nothing more.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    int64_t wait = -1;
    std::unique_lock<std::mutex> hold(lock_);
    while (!stopping_) {
        if (handedOver_.empty() && wait != 0) {
            const auto woken = [this] { return stopping_ || !handedOver_.empty(); };
            if (wait < 0)
                changed_.wait(hold, woken);
            else
                changed_.wait_for(hold, std::chrono::seconds(wait), woken);
            if (stopping_)
                break;
        }
        std::deque<Alert> alerts;
        alerts.swap(handedOver_);
        const uint64_t dropped = dropped_;
        dropped_ = 0;
        hold.unlock();

        const int64_t now = clock_.Seconds();
        for (const Alert& alert : alerts)
            outbox_->Add(alert, now);
        wait = outbox_->Step(now);
        std::vector<AlertNote> notes = outbox_->TakeNotes();
        if (dropped > 0) {
            notes.push_back({"Alert dropped", std::to_string(dropped) +
                                                  " alerts came faster than they could be handed "
                                                  "over"});
        }
        if (!notes.empty()) {
            QMetaObject::invokeMethod(
                this, [this, notes = std::move(notes)] { log_(notes); }, Qt::QueuedConnection);
        }
        hold.lock();
    }
}

}  // namespace velk
