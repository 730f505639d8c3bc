#include "core/record/traffic_recorder.h"

#include <algorithm>
#include <cstdio>

namespace velk {
namespace {

unsigned Pair(const BillingMessage& m, size_t p) {
    return DigitValue(m.At(p)) * 16 + DigitValue(m.At(p + 1));
}

}  // namespace

TrafficRecorder::TrafficRecorder(FileStore& files, std::filesystem::path trafficDirectory)
    : files_(files), directory_(std::move(trafficDirectory)) {}

bool TrafficRecorder::OnTrafficMessage(const BillingMessage& m) {
    const unsigned part = Pair(m, 24);
    if (part == 0) {
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "20%02u-%02u-%02u %02u:%02u:%02u;", Pair(m, 12),
                      Pair(m, 14), Pair(m, 16), Pair(m, 18), Pair(m, 20), Pair(m, 22));
        report_ = stamp;
        open_ = true;
    } else if (!open_) {
        // A part without its part 0 (lost, or after a finished report) would be glued onto a
        // report it does not belong to: it is dropped.
        return true;
    }
    const size_t length = part == 3 ? 30 : 74;
    if (m.Has(26)) {
        const size_t n = std::min(length, m.End() - 26);
        AppendOnOneLine(report_, std::string_view(reinterpret_cast<const char*>(m.Data()) + 26, n));
    }
    if (part != 3)
        return true;

    report_ += "\r\n";
    open_ = false;
    if (report_.size() < 10)
        return true;
    const std::string name =
        "20" + report_.substr(2, 2) + report_.substr(5, 2) + report_.substr(8, 2) + ".trf";
    const auto path = directory_ / name;
    if (AppendReported(files_, path, report_, problems_) && stored_)
        stored_(report_);
    return true;
}

}  // namespace velk
