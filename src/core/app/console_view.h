#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "core/app/collector.h"
#include "core/app/service_status.h"
#include "core/app/state_publisher.h"

namespace velk {

// The headless collector's output: one line per event a person watching a terminal needs.
class ConsoleView : public CollectorView {
public:
    ConsoleView(std::ostream& out, const AppSettings& settings, const Clock& clock)
        : out_(out), settings_(settings), clock_(clock) {}

    void Notify(NotifyCode code, int value) override;
    void ShowRawMessage(const std::string&) override {}
    void ShowRecordDetail(const LastCallsRing::Record&) override {}
    void RefreshLastCalls() override {}
    void StatisticsRowChanged(int) override {}
    void CallRecordStored(const LastCallsRing::Record& fields) override;
    void TrafficReportStored(const std::string& line) override;
    void Problem(const std::string& text) override;
    void SequenceAlarm(const std::string& line, uint64_t) override { Problem(line); }
    void SilenceAlarm(const std::string& line) override;
    void DatabaseNote(const std::string& line) override { Line(line); }
    void DatabaseStatus(const std::string& line) override;
    void DatabaseAlarm(const std::string& line) override;
    void DiskBufferAlarm(const std::string& line) override;
    // The hard-disk buffer has no connection notifications: its titles say when reading starts
    // and stops.
    void SetTitle(const std::string& title) override;
    void SetConnectedText(const std::string&) override {}
    void DurationReset() override {}
    void SetMenuState(LinkMenuState) override {}

    // A line with the local time in front.
    void Line(const std::string& text);
    // Called when an established connection ends (the link went from connected to not
    // connected), whoever ended it.
    void SetConnectionLost(std::function<void()> lost) { lost_ = std::move(lost); }
    // The service manager's status line follows the link, the records and the alarms.
    void SetStatus(ServiceStatus* status) { status_ = status; }
    // So does the state published for other programs.
    void SetPublisher(StatePublisher* publisher) { publisher_ = publisher; }

private:
    std::string Where() const;
    void LinkLine(const std::string& text);
    void PublishLink(const std::string& state, bool up, const std::string& peer);

    std::ostream& out_;
    const AppSettings& settings_;
    const Clock& clock_;
    int lastConnection_ = -1;
    std::function<void()> lost_;
    ServiceStatus* status_ = nullptr;
    StatePublisher* publisher_ = nullptr;
};

// Message boxes of the headless collector: their text goes to the stream (standard error);
// questions are answered No.
class StreamPrompt : public OperatorPrompt {
public:
    explicit StreamPrompt(std::ostream& out) : out_(out) {}
    void Message(const std::string& text, const std::string& = {},
                 PromptIcon = PromptIcon::None) override {
        out_ << text << std::endl;
    }
    bool Confirm(const std::string& text, const std::string&, PromptIcon) override {
        out_ << text << std::endl;
        return false;
    }

private:
    std::ostream& out_;
};

}  // namespace velk
