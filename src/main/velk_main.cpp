// The desktop program: one collector per working directory, with its window.
#include <QApplication>
#include <filesystem>

#include "core/app/startup.h"
#include "core/decode/last_calls_ring.h"
#include "platform/collector_host.h"
#include "platform/file_instance_lock.h"
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

    velk::CollectorHost host(settings, base, prompt, ring);
    velk::Collector& collector = host.Get();

    velk::CVELKDlg window(collector, store, prompt);
    prompt.SetParent(&window);
    window.show();
    window.Start();
    const int result = QApplication::exec();
    lock.Release();
    return result;
}
