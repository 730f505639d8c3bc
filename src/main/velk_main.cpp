// The desktop program: one collector per working directory, with its window.
#include <QApplication>
#include <filesystem>

#include "core/analysis/statistic_counters.h"
#include "core/app/startup.h"
#include "core/decode/last_calls_ring.h"
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
    velk::StatisticCounters counters;

    velk::Startup startup(lock, prompt, store, settings, ring);
    if (!startup.Run())
        return 1;

    velk::CVELKDlg window(settings, store, prompt, ring, counters);
    prompt.SetParent(&window);
    window.show();
    const int result = QApplication::exec();
    lock.Release();
    return result;
}
