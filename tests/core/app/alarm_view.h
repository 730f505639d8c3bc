#pragma once

#include <string>
#include <vector>

#include "core/app/collector.h"

namespace velk::test {

// A collector's view that keeps the alarm lines (a disk-buffer alarm in brackets, a store alarm
// in angle brackets) and the problems, and shows nothing else.
class AlarmView : public CollectorView {
public:
    void Notify(NotifyCode, int) override {}
    void ShowRawMessage(const std::string&) override {}
    void ShowRecordDetail(const LastCallsRing::Record&) override {}
    void RefreshLastCalls() override {}
    void StatisticsRowChanged(int) override {}
    void SetTitle(const std::string&) override {}
    void SetConnectedText(const std::string&) override {}
    void DurationReset() override {}
    void SetMenuState(LinkMenuState) override {}
    void SequenceAlarm(const std::string& line, uint64_t missingSinceStart) override {
        lines.push_back(line);
        missing = missingSinceStart;
    }
    void SilenceAlarm(const std::string& line) override { lines.push_back(line); }
    void DiskBufferAlarm(const std::string& line) override { lines.push_back("[" + line + "]"); }
    void StoreAlarm(const std::string& line) override { lines.push_back("<" + line + ">"); }
    void Problem(const std::string& text) override { problems.push_back(text); }
    std::vector<std::string> lines;
    std::vector<std::string> problems;
    uint64_t missing = 0;
};

}  // namespace velk::test
