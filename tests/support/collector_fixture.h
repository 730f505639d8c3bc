#pragma once

#include <memory>

#include "core/app/collector.h"
#include "core/foundation/settings_store.h"
#include "core/link/link_fakes.h"
#include "platform/posix_file_store.h"
#include "platform/qt_timer_host.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"

namespace velk::test {

// A collector in a temporary base directory with Qt timers, a scripted prompt and a fake channel.
struct CollectorFixture {
    CollectorFixture()
        : store(dir.Path()),
          timers([this](int id) { collector->OnTimer(id); }),
          collector(std::make_unique<Collector>(settings, dir.Path(), prompt, clock, timers, ring,
                                                files)) {
        settings.IP_Used = 1;
        collector->SetChannels(&channel, &channel);
    }

    TempDir dir;
    SettingsStore store;
    AppSettings settings;
    ScriptedPrompt prompt;
    FakeClock clock;
    LastCallsRing ring;
    PosixFileStore files;
    QtTimerHost timers;
    FakeChannel channel;
    std::unique_ptr<Collector> collector;
};

}  // namespace velk::test
