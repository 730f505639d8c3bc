#include "platform/alert_sender.h"

#include <signal.h>

#include <chrono>

namespace velk {

AlertSender::AlertSender(const AppSettings& settings, AlertOrigin origin, Log log,
                         AlertOutbox::Options options, QObject* parent)
    : QObject(parent), log_(std::move(log)) {
    const int timeout = settings.Alerts_Timeout > 0 ? settings.Alerts_Timeout : 1;
    std::vector<std::unique_ptr<AlertChannel>> channels;
    if (!settings.Alerts_Command.empty()) {
        channels.push_back(
            std::make_unique<CommandChannel>(settings.Alerts_Command, origin, timeout, stopFlag_));
    }
    if (!settings.Alerts_MailTo.empty()) {
        channels.push_back(std::make_unique<MailChannel>(
            settings.Alerts_Sendmail.empty() ? AppSettings::kDefaultSendmail
                                             : settings.Alerts_Sendmail,
            settings.Alerts_MailTo, settings.Alerts_MailFrom, origin, timeout, stopFlag_));
    }
    if (!settings.Alerts_Webhook.empty()) {
        channels.push_back(
            std::make_unique<WebhookChannel>(settings.Alerts_Webhook, origin, timeout, stopFlag_));
    }
    for (auto& channel : channels) {
        auto worker = std::make_unique<Worker>();
        worker->outbox = std::make_unique<AlertOutbox>(std::vector<AlertChannel*>{channel.get()},
                                                       options);
        worker->channel = std::move(channel);
        workers_.push_back(std::move(worker));
    }
    for (auto& worker : workers_)
        worker->thread = std::thread([this, w = worker.get()] { Run(*w); });
}

AlertSender::~AlertSender() {
    Stop();
}

void AlertSender::Submit(const Alert& alert) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto& worker : workers_) {
        if (worker->handedOver.size() >= kMostHandedOver) {
            worker->handedOver.pop_front();
            ++worker->dropped;
        }
        worker->handedOver.push_back(alert);
    }
    changed_.notify_all();
}

void AlertSender::Stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
        stopFlag_ = true;
        changed_.notify_all();
    }
    for (auto& worker : workers_) {
        if (worker->thread.joinable())
            worker->thread.join();
    }
}

void AlertSender::Run(Worker& worker) {
    // A receiver that goes away while its input is written fails that write, nothing more.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    int64_t wait = -1;
    std::unique_lock<std::mutex> hold(lock_);
    while (!stopping_) {
        if (worker.handedOver.empty() && wait != 0) {
            const auto woken = [this, &worker] { return stopping_ || !worker.handedOver.empty(); };
            if (wait < 0)
                changed_.wait(hold, woken);
            else
                changed_.wait_for(hold, std::chrono::seconds(wait), woken);
            if (stopping_)
                break;
        }
        std::deque<Alert> alerts;
        alerts.swap(worker.handedOver);
        const uint64_t dropped = worker.dropped;
        worker.dropped = 0;
        hold.unlock();

        const int64_t now = clock_.Seconds();
        for (const Alert& alert : alerts)
            worker.outbox->Add(alert, now);
        wait = worker.outbox->Step(now);
        std::vector<AlertNote> notes = worker.outbox->TakeNotes();
        if (dropped > 0) {
            notes.push_back({"Alert dropped", worker.channel->Name() + ": " +
                                                  std::to_string(dropped) +
                                                  " alerts came faster than they could be "
                                                  "handed over"});
        }
        if (!notes.empty()) {
            QMetaObject::invokeMethod(
                this, [this, notes = std::move(notes)] { log_(notes); }, Qt::QueuedConnection);
        }
        hold.lock();
    }
}

}  // namespace velk
