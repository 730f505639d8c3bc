#include "platform/web_status.h"

namespace velk {

StateFileStatus::StateFileStatus(std::filesystem::path baseDirectory, const Clock& clock)
    : base_(std::move(baseDirectory)), clock_(clock) {}

WebStatus StateFileStatus::Read() {
    WebStatus status;
    status.why = "The collector publishes no state in this directory.";
    return status;
}

std::string StateFileStatus::Metrics() { return "velk_state_readable 0\n"; }

}  // namespace velk
