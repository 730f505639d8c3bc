// The desktop program: one collector per working directory, with its window.
#include <QApplication>
#include <filesystem>

#include "core/app/collector.h"
#include "core/app/startup.h"
#include "core/decode/last_calls_ring.h"
#include "platform/file_instance_lock.h"
#include "platform/posix_file_store.h"
#include "platform/qt_timer_host.h"
#include "platform/tcp_channel.h"
#include "ui/main_window.h"
#include "ui/qt_operator_prompt.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VELK"));

    const std::filesystem::path base = velk::BaseDirectoryFrom(std::filesystem::current_path());
    velk::QtOperatorPrompt prompt;
    velk::FileInstanceLock lock(base);
    velk::SettingsStore store(base);
    velk::AppSettings settings;
    velk::LastCallsRing ring;

    velk::Startup startup(lock, prompt, store, settings, ring);
    if (!startup.Run())
        return 1;

    velk::SystemClock clock;
    velk::PosixFileStore files;
    velk::Collector* collectorPtr = nullptr;
    velk::QtTimerHost timers([&collectorPtr](int id) { collectorPtr->OnTimer(id); });
    velk::Collector collector(settings, base, prompt, clock, timers, ring, files);
    collectorPtr = &collector;
    velk::MyCSocket socket(collector.Protocol(), collector.LinkEvents(), settings,
                           [&collector] { collector.OnPeerClosed(); });
    collector.SetChannels(&socket, nullptr);

    velk::CVELKDlg window(collector, store, prompt);
    prompt.SetParent(&window);
    window.show();
    window.Start();
    const int result = QApplication::exec();
    lock.Release();
    return result;
}
