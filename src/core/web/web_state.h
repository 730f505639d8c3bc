#pragma once

#include <cstdint>

#include "core/app/collector_state.h"
#include "core/web/web_console.h"

namespace velk {

// The Status page's view of what the collector published: `now` is the reader's clock (seconds
// since the epoch). A state not rewritten for kStateStaleSeconds, or of a collector that stopped,
// shows the link down, whatever it says.
WebStatus WebStatusOf(const StateReading& reading, int64_t now);

}  // namespace velk
