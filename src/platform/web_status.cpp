#include "platform/web_status.h"

#include "core/app/collector_state.h"
#include "core/app/metrics_text.h"
#include "core/web/web_state.h"
#include "platform/posix_file_store.h"

namespace velk {

StateFileStatus::StateFileStatus(std::filesystem::path baseDirectory, const Clock& clock)
    : base_(std::move(baseDirectory)), clock_(clock) {}

WebStatus StateFileStatus::Read() {
    PosixFileStore files;
    return WebStatusOf(ReadCollectorState(files, base_), clock_.Seconds());
}

std::string StateFileStatus::Metrics() {
    PosixFileStore files;
    return MetricsText(ReadCollectorState(files, base_), clock_.Seconds());
}

}  // namespace velk
