// velk-collector: the collector without a window, for machines nobody looks at. It runs in its
// base directory like the desktop program, connects at once, prints one line per event and
// shuts down in order on SIGINT or SIGTERM. Under systemd (Type=notify) it says when it is ready,
// keeps a status line and feeds the watchdog.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "core/app/collector.h"
#include "core/archive/stored_records.h"
#include "core/app/console_view.h"
#include "core/app/service_status.h"
#include "core/app/startup.h"
#include "core/app/state_publisher.h"
#include "core/foundation/command_line.h"
#include "platform/collector_host.h"
#include "platform/file_instance_lock.h"
#include "platform/posix_file_store.h"
#include "platform/systemd_notifier.h"
#include "platform/unix_signals.h"

namespace {

const velk::ProgramHelp kHelp = {
    "velk-collector", "[--dir DIR] [--defaults]",
    "The VELK collector without a window, for unattended machines and the velk-collector\n"
    "service. It reads VELK.INI in its base directory, connects to the PBX at once whatever\n"
    "AutoConnection says, stores every call record and traffic report as velk does, and\n"
    "prints one line per event. It ends with code 1 when the connection cannot be made, or\n"
    "ends, and nothing would connect it again (AutoReConnection off, or a serial line).\n"
    "Without VELK.INI (a mistyped --dir, settings not yet written) it does not start and\n"
    "ends with code 78, unless told to start on the default settings.",
    "  --defaults   start on the default settings when VELK.INI is missing (and make\n"
    "               the directory given with --dir when it is missing)\n",
    false};

// No settings to run on (sysexits' EX_CONFIG): the service is not restarted for it.
constexpr int kNoSettingsExit = 78;

constexpr int32_t kServiceSilenceMinutes = 60;

}  // namespace

int main(int argc, char* argv[]) {
    const velk::CommandLine line = velk::ParseCommandLine(argc, argv);
    if (const auto code = velk::AnswerCommonOptions(line, kHelp, std::cout, std::cerr))
        return *code;
    bool defaults = false;
    for (const std::string& argument : line.arguments) {
        if (argument != "--defaults")
            return velk::UsageError(kHelp, "unexpected argument '" + argument + "'", std::cerr);
        defaults = true;
    }
    QCoreApplication app(argc, argv);
    velk::StreamPrompt prompt(std::cerr);
    std::filesystem::path base;
    std::string noBase;
    // A service started on a directory without settings would poll COM1 at 1200 baud: a
    // mistyped directory is refused, and nothing is made there.
    if (!velk::ChosenBaseDirectory(line.dir, std::getenv("HOME"), base, noBase, defaults)) {
        prompt.Message(noBase, "VELK", velk::PromptIcon::Error);
        return 1;
    }
    if (!defaults) {
        std::error_code missing;
        const auto ini = velk::SettingsStore(base).IniPath();
        if (!std::filesystem::exists(ini, missing)) {
            std::cerr << "velk-collector: no settings in " << ini.string()
                      << ": write them with velk-settings, or start with --defaults to run on "
                         "the default settings."
                      << std::endl;
            return kNoSettingsExit;
        }
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
    velk::SystemClock clock;
    velk::ConsoleView view(std::cout, settings, clock);
    collector.SetView(&view);
    // systemd's status line and watchdog; nothing at all when not run by systemd.
    velk::SystemdNotifier systemd;
    velk::ServiceStatus status(clock, systemd);
    QTimer dayLook;  // after midnight the status counts the new day's records
    if (systemd.Active()) {
        view.SetStatus(&status);
        QObject::connect(&dayLook, &QTimer::timeout, [&status] { status.Refresh(); });
        dayLook.start(60000);
    }

    // The state other programs read (the web console), looked at every second.
    velk::PosixFileStore stateFiles;
    velk::StatePublisher publisher(clock, stateFiles, base);
    view.SetPublisher(&publisher);
    publisher.SetAlarmBoard(&collector.Alarms());
    QTimer stateLook;
    QObject::connect(&stateLook, &QTimer::timeout, [&] {
        std::error_code error;
        const auto space = std::filesystem::space(base, error);
        publisher.Database(collector.Database());
        publisher.Measured(error ? -1 : static_cast<int64_t>(space.available),
                           static_cast<int64_t>(collector.Indexer().BytesBehind()),
                           static_cast<int64_t>(collector.Indexer().Waiting()));
        publisher.Publish();
    });
    stateLook.start(1000);

    bool stopping = false;
    // Disconnects, writes the settings, releases the lock and ends the program with exitCode.
    const auto stop = [&](int exitCode) {
        if (stopping)
            return;  // a second request while shutting down changes nothing
        stopping = true;
        systemd.Stopping();
        collector.Connection().Disconnect();
        // A healthy link finishes its exchange first: give it the time of one more poll.
        QElapsedTimer waited;
        waited.start();
        while (collector.Protocol().ConStat == 1 && waited.elapsed() < 11000) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        stateLook.stop();
        publisher.Stopped();
        if (store.WriteIniFile(settings) == 0) {
            prompt.Message(velk::kIniUpdateFailed);
            collector.Log().Note("Not written",
                                 store.IniPath().string() + ": " + velk::kIniUpdateFailed);
        }
        lock.Release();
        QCoreApplication::exit(exitCode);
    };
    velk::UnixSignals stopSignals([&](int) {
        if (!stopping)
            view.Line("stopping");
        stop(0);
    });
    // Only a TCP link with AutoReConnection is connected again by itself; otherwise nothing would
    // ever connect the collector again: it ends with an error, so that a service manager starts
    // it anew.
    const auto reconnects = [&settings] {
        return settings.IP_Used == 1 && settings.AutoReConnection == 1;
    };
    view.SetConnectionLost([&] {
        if (stopping || reconnects())
            return;
        view.Line(settings.IP_Used == 1
                      ? "the connection ended and AutoReConnection is off: exiting"
                      : "the serial connection ended: exiting");
        QTimer::singleShot(0, [&] { stop(1); });
    });

    view.Line("VELK collector in " + base.string());
    // Unattended, a PBX that stops sending must not go unnoticed for long: an hour of silence
    // is an alarm unless VELK.INI says otherwise.
    collector.SetSilenceDefault(kServiceSilenceMinutes);
    // Calls that only show and go to the index would never reach billing: said at once.
    const std::string noFiles = velk::RecordFilesNote(settings);
    if (!noFiles.empty()) {
        view.Line(noFiles);
        collector.Log().Note("No record files", noFiles);
        status.Note(noFiles);
    }
    // The day's count begins with what today's record files hold already.
    const velk::LocalTime now = clock.Now();
    status.StoredBefore(velk::CallRecordsOfDay(
        settings, velk::OutputDirectories::Under(base),
        std::to_string(now.year * 10000 + now.month * 100 + now.day)));
    collector.Start();
    // There is nothing else to do: connect whatever the start-up setting says.
    if (!collector.Connection().Connect() && !reconnects())
        return 1;
    // The settings are read and the link is started (connected, or trying to be).
    systemd.Ready();
    return QCoreApplication::exec();
}
