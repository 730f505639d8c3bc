#pragma once

#include <filesystem>
#include <string>

#include "core/foundation/clock.h"
#include "core/web/web_console.h"

namespace velk {

// The collector's state as the web console shows it, read from the file the collector publishes
// in the base directory at each request.
class StateFileStatus : public WebStatusSource {
public:
    StateFileStatus(std::filesystem::path baseDirectory, const Clock& clock);
    WebStatus Read() override;
    std::string Metrics() override;

private:
    std::filesystem::path base_;
    const Clock& clock_;
};

}  // namespace velk
