// The desktop program: one collector per base directory, with its window.
#include <QApplication>
#include <QIcon>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "core/app/display_check.h"
#include "core/app/startup.h"
#include "core/decode/last_calls_ring.h"
#include "core/foundation/command_line.h"
#include "platform/collector_host.h"
#include "platform/file_instance_lock.h"
#include "platform/posix_file_store.h"
#include "platform/unix_signals.h"
#include "ui/main_window.h"
#include "ui/qt_operator_prompt.h"

namespace {

const velk::ProgramHelp kHelp = {
    "velk", "[--dir DIR]",
    "The VELK call-accounting collector with its window: it polls the billing output of a\n"
    "CS1000 or iPECS-MG PBX (TCP, serial line or a billing server's hard-disk buffer), shows\n"
    "the recent calls, per-hour statistics and a chart, and stores every call record raw and\n"
    "decoded in daily files in its base directory, where a billing application picks them up.\n"
    "One VELK runs per base directory; its settings are VELK.INI there.",
    ""};

}  // namespace

int main(int argc, char* argv[]) {
    // Help and version need no display: they are answered before the window system is asked.
    if (velk::AnswerHelpOrVersion(velk::ParseCommandLine(argc, argv), kHelp, std::cout))
        return 0;
    // Without a display Qt would end the program with advice about reinstalling it: say what is
    // missing, and which program a server wants.
    velk::DisplayContext display{
        [](const char* name) { return std::getenv(name); },
        [](const std::string& path) {
            std::error_code ec;
            return std::filesystem::exists(path, ec);
        },
        std::vector<std::string>(argv, argv + argc)};
    if (const std::string reason = velk::NoDisplayReason(display); !reason.empty()) {
        std::cerr << velk::NoDisplayMessage(reason) << std::endl;
        return 1;
    }
    QApplication app(argc, argv);  // takes its own options (-platform, -style ...) out of argv
    QApplication::setApplicationName(QStringLiteral("VELK"));
    QApplication::setApplicationVersion(QString::fromLatin1(velk::VelkVersion()));
    QGuiApplication::setDesktopFileName(QStringLiteral("velk"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("velk")));
    const velk::CommandLine line = velk::ParseCommandLine(argc, argv);
    if (!line.error.empty())
        return velk::UsageError(kHelp, line.error, std::cerr);
    if (!line.arguments.empty())
        return velk::UsageError(kHelp, "unexpected argument '" + line.arguments[0] + "'",
                                std::cerr);

    velk::QtOperatorPrompt prompt;
    std::filesystem::path base;
    std::string noBase;
    if (!velk::ChosenBaseDirectory(line.dir, std::getenv("HOME"), base, noBase)) {
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
