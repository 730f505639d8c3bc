// The desktop program: one collector per working directory, with its window.
#include <QApplication>
#include <filesystem>

#include "core/app/startup.h"
#include "core/decode/last_calls_ring.h"
#include "platform/collector_host.h"
#include "platform/file_instance_lock.h"
#include "platform/posix_file_store.h"
#include "platform/unix_signals.h"
#include "ui/main_window.h"
#include "ui/qt_operator_prompt.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VELK"));

    velk::QtOperatorPrompt prompt;
    std::filesystem::path base;
    std::string noBase;
    if (!velk::CurrentBaseDirectory(base, noBase)) {
        prompt.Message(noBase, "VELK", velk::PromptIcon::Error);
        return 1;
    }
    velk::FileInstanceLock lock(base);
    velk::PosixDiskFlush flush;
    velk::SettingsStore store(base, &flush);
    velk::AppSettings settings;
    velk::LastCallsRing ring;

    velk::Startup startup(lock, prompt, store, settings, ring);
    if (!startup.Run())
        return 1;

    velk::CollectorHost host(settings, base, prompt, ring);
    velk::Collector& collector = host.Get();

    velk::CVELKDlg window(collector, store, prompt);
    prompt.SetParent(&window);
    // Log-out, shutdown and kill ask the window to close: settings written, lock released.
    velk::UnixSignals closeRequests([&window](int) { window.CloseOnRequest(); });
    window.show();
    window.Start();
    const int result = QApplication::exec();
    lock.Release();
    return result;
}
