#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "core/decode/record_pipeline.h"
#include "core/record/call_recorder.h"
#include "core/record/file_store.h"

namespace velk {

// Joins the four parts of a traffic report into one line of the daily traffic file
// Trf/20YYMMDD.trf: the report's time stamp, then the payloads of parts 0..3.
class TrafficRecorder : public TrafficSink {
public:
    TrafficRecorder(FileStore& files, std::filesystem::path trafficDirectory);
    void SetStoredCallback(std::function<void(const std::string&)> stored) {
        stored_ = std::move(stored);
    }

    void SetProblemReport(FileProblemReport report) { problems_ = std::move(report); }

    bool OnTrafficMessage(const BillingMessage& message) override;
    const std::string& Report() const { return report_; }

private:
    FileStore& files_;
    std::filesystem::path directory_;
    std::function<void(const std::string&)> stored_;
    FileProblemReport problems_;
    std::string report_;
    bool open_ = false;  // a part 0 started the report being joined
};

}  // namespace velk
