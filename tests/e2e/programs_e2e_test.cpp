// The real programs against velk-pbx-sim: velk (offscreen) and velk-collector collect generated
// records with faults injected, and every output file is compared byte for byte with what the
// test computes from the messages the simulator delivered.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ios>
#include <mutex>
#include <thread>

#include <sqlite3.h>

#include "link_settings.h"
#include "support/expected_files.h"
#include "support/index_check.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"
#include "core/app/collector_state.h"
#include "platform/posix_file_store.h"

namespace velk {
namespace {

const QString kBin = QStringLiteral(VELK_BIN_DIR);

// Sends a signal to a running program only: a pid of 0 would signal this test's process group.
void Signal(QProcess& p, int signal) {
    const qint64 pid = p.processId();
    if (pid > 0 && p.state() != QProcess::NotRunning)
        ::kill(static_cast<pid_t>(pid), signal);
}

std::vector<std::string> Lines(const std::string& text, const std::string& end) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t stop = text.find(end, at);
        lines.push_back(text.substr(at, stop == std::string::npos ? std::string::npos : stop - at));
        at = stop == std::string::npos ? text.size() : stop + end.size();
    }
    return lines;
}

// Whether the program has a handler of its own for the signal (its caught signals in /proc).
bool Catches(const QProcess& p, int signal) {
    std::string status;
    try {
        status = test::ReadFile("/proc/" + std::to_string(p.processId()) + "/status");
    } catch (const std::ios_base::failure&) {
        return false;  // it ended meanwhile
    }
    const size_t at = status.find("\nSigCgt:\t");
    if (at == std::string::npos)
        return false;
    const unsigned long long caught = std::strtoull(status.c_str() + at + 9, nullptr, 16);
    return ((caught >> (signal - 1)) & 1u) != 0;
}

// Waits until the window program started in the test's directory is up, and takes the signals
// that ask it to close (a loaded machine may take seconds to get there).
void WaitForTheWindow(const std::filesystem::path& dir, const QProcess& program) {
    QElapsedTimer t;
    t.start();
    while (!std::filesystem::exists(dir / "Bill") && t.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    while (!Catches(program, SIGTERM) && t.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    while (t.elapsed() < 1500)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

class ProgramsTest : public ::testing::Test {
protected:
    // Settings for a TCP link to the simulator on 127.0.0.1:6014 (system type 2).
    void WriteSettings(const QStringList& extra = {}) {
        QStringList args = test::SimulatorLinkSettings(dir_.Path());
        args << extra;
        ASSERT_EQ(QProcess::execute(kBin + "/velk-settings", args), 0);
    }
    // Settings for a serial link on the velk end of a pseudo-terminal pair, at 115200 baud.
    void WriteSerialSettings(const test::PtyPair& pty) {
        WriteSettings({"IP_Used=0", "COM Port number index=1", "COM Port baud rate index=7",
                       QString::fromStdString("Serial Ports/COM2=" + pty.Velk())});
    }
    void StartSerialSimulator(const test::PtyPair& pty, const QStringList& args) {
        StartSimulator(
            QStringList{"--serial", QString::fromStdString(pty.Pbx()), "--baud", "115200"} + args);
    }
    void StartSimulator(const QStringList& args, bool exitWhenDone = true) {
        sim_.setProgram(kBin + "/velk-pbx-sim");
        QStringList all = {"--port", "6014", "--rate", "0"};
        if (exitWhenDone)
            all << "--exit-when-done";
        sim_.setArguments(all + args);
        sim_.start();
        ASSERT_TRUE(sim_.waitForStarted());
        ASSERT_TRUE(sim_.waitForReadyRead(10000));
        simOutput_ = sim_.readAllStandardOutput().toStdString();
    }
    void StartProgram(QProcess& p, const QString& name, const QStringList& args = {},
                      const QProcessEnvironment& extra = {}) {
        p.setProgram(kBin + "/" + name);
        p.setArguments(args);
        if (p.workingDirectory().isEmpty())
            p.setWorkingDirectory(QString::fromStdString(dir_.Path().string()));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert(extra);
        p.setProcessEnvironment(env);
        // Standard output goes to a file: a pipe nobody reads would stop the program once full.
        p.setStandardOutputFile(QString::fromStdString(
            (dir_ / (name.toStdString() + "." + std::to_string(++started_) + ".out")).string()));
        p.start();
        ASSERT_TRUE(p.waitForStarted());
    }
    // Waits for the simulator to deliver everything and exit.
    void WaitForSimulator(int ms) {
        QElapsedTimer t;
        t.start();
        while (sim_.state() != QProcess::NotRunning && t.elapsed() < ms) {
            sim_.waitForFinished(100);
        }
        ASSERT_EQ(sim_.state(), QProcess::NotRunning) << "the simulator did not finish";
        simOutput_ += sim_.readAllStandardOutput().toStdString();
    }
    // Waits until the simulator reports n call records delivered (it keeps the link open), and a
    // little more for the last acknowledgement's EOT.
    void WaitForDelivered(int calls, int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            sim_.waitForReadyRead(100);
            simOutput_ += sim_.readAllStandardOutput().toStdString();
            test::ExpectedFiles e;
            e.FromSimulator(simOutput_);
            if (e.calls < calls)
                continue;
            // Let the last record's EOT reach the collector before its files are read.
            QElapsedTimer settle;
            settle.start();
            while (settle.elapsed() < 500)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            return;
        }
        FAIL() << "the simulator did not deliver " << calls << " records";
    }
    void CheckFiles(int calls) {
        test::ExpectedFiles e;
        e.FromSimulator(simOutput_);
        ASSERT_EQ(e.calls, calls);
        const std::string header = "Sequence Number;Calling Phone Number;Dialled Phone Number\r\n";
        for (const char* d : {"Bill", "Bill_Backup"}) {
            EXPECT_EQ(test::ReadFile(dir_ / d / "20261208.raw"), e.raw) << d;
            EXPECT_EQ(test::ReadFile(dir_ / d / "20261208.csv"), header + e.decoded) << d;
        }
        EXPECT_EQ(test::ReadFile(dir_ / "Buffers" / "buffer_out.raw") +
                      test::ReadFile(dir_ / "Buffers" / "buffer_in.raw"),
                  e.raw);
        for (const auto& [name, content] : e.traffic) {
            EXPECT_EQ(test::ReadFile(dir_ / "Trf" / name), content) << name;
        }
    }
    ~ProgramsTest() override {
        sim_.kill();
        sim_.waitForFinished();
    }

    test::TempDir dir_;
    QProcess sim_;
    std::string simOutput_;
    int started_ = 0;
};

// On a machine without a display the window program says so, and names the one for a server.
TEST_F(ProgramsTest, WindowProgramWithoutADisplaySaysWhichProgramAServerWants) {
    QProcess velk;
    velk.setProgram(kBin + "/velk");
    velk.setArguments({"--dir", QString::fromStdString(dir_.Path().string())});
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    velk.setProcessEnvironment(env);
    velk.start();
    ASSERT_TRUE(velk.waitForFinished(20000));
    EXPECT_EQ(velk.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(velk.exitCode(), 1);
    const std::string err = velk.readAllStandardError().toStdString();
    EXPECT_EQ(err.rfind("velk: no display was found (DISPLAY and WAYLAND_DISPLAY are not set)", 0),
              0u)
        << err;
    EXPECT_NE(err.find("run velk-collector"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "VELK.INI"));
}

// A mistyped directory, or one whose settings were never written, would run on the defaults:
// COM1 at 1200 baud, no record file. The collector refuses unless told to start on them.
TEST_F(ProgramsTest, CollectorWithoutSettingsStartsOnlyWhenToldTo) {
    const auto typo = dir_ / "VELKK";
    const auto dirArg = [](const std::filesystem::path& p) {
        return QStringList{"--dir", QString::fromStdString(p.string())};
    };
    QProcess mistyped;
    StartProgram(mistyped, "velk-collector", dirArg(typo));
    ASSERT_TRUE(mistyped.waitForFinished(20000));
    EXPECT_EQ(mistyped.exitCode(), 1);
    EXPECT_FALSE(std::filesystem::exists(typo));

    const auto empty = dir_ / "empty";
    std::filesystem::create_directory(empty);
    QProcess unset;
    StartProgram(unset, "velk-collector", dirArg(empty));
    ASSERT_TRUE(unset.waitForFinished(20000));
    EXPECT_EQ(unset.exitCode(), 78);
    EXPECT_EQ(unset.readAllStandardError().toStdString(),
              "velk-collector: no settings in " + (empty / "VELK.INI").string() +
                  ": write them with velk-settings, or start with --defaults to run on the "
                  "default settings.\n");
    EXPECT_TRUE(std::filesystem::is_empty(empty));

    // Told to: the directory is made, and what the defaults mean is said at once.
    QProcess defaults;
    StartProgram(defaults, "velk-collector", dirArg(typo) << "--defaults");
    QElapsedTimer t;
    t.start();
    std::string out;
    while (t.elapsed() < 20000 && out.find("no record files are written") == std::string::npos) {
        defaults.waitForFinished(100);
        out = test::ReadFile(dir_ / "velk-collector.3.out");
    }
    if (defaults.state() != QProcess::NotRunning)
        Signal(defaults, SIGTERM);
    ASSERT_TRUE(defaults.waitForFinished(20000));
    EXPECT_TRUE(std::filesystem::is_directory(typo / "Bill"));
    EXPECT_NE(out.find("  no record files are written: RawSave and SaveToFile are off\n"),
              std::string::npos)
        << out;
    EXPECT_NE(test::ReadFile(typo / "VELK.LOG")
                  .find("No record files    no record files are written: RawSave and SaveToFile "
                        "are off\r\n"),
              std::string::npos);
}

TEST_F(ProgramsTest, CollectorStoresEveryRecordAndStopsInOrder) {
    WriteSettings();
    // The simulator stays after the last record: the collector keeps its link until stopped.
    StartSimulator({"--count", "30", "--traffic-every", "10", "--bad-bcc-every", "4", "--split",
                    "--duplicate-every", "7", "--seed", "21"},
                   false);
    QProcess collector;
    StartProgram(collector, "velk-collector");
    ASSERT_NO_FATAL_FAILURE(WaitForDelivered(30, 60000));
    ASSERT_NO_FATAL_FAILURE(CheckFiles(30));
    // Its state, for other programs, follows within a second or two.
    test::ExpectedFiles sent;
    sent.FromSimulator(simOutput_);
    uint64_t reports = 0;
    for (const auto& [name, content] : sent.traffic) {
        for (size_t at = content.find("\r\n"); at != std::string::npos;
             at = content.find("\r\n", at + 2))
            ++reports;
    }
    ASSERT_GT(reports, 0u);
    velk::PosixFileStore files;
    velk::StateReading state;
    QElapsedTimer waited;
    waited.start();
    do {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        state = velk::ReadCollectorState(files, dir_.Path());
    } while ((state.state.callsStored < 30 || state.state.trafficStored < reports) &&
             waited.elapsed() < 5000);
    ASSERT_EQ(state.status, velk::StateReading::Status::Read);
    EXPECT_TRUE(state.state.running);
    EXPECT_TRUE(state.state.linkUp);
    EXPECT_EQ(state.state.peer, "127.0.0.1:6014 (CS1000 Doubled Billing Server)");
    EXPECT_EQ(state.state.callsStored, 30u);
    EXPECT_EQ(state.state.callsToday, 30u);
    EXPECT_EQ(state.state.trafficStored, reports);
    EXPECT_GT(state.state.freeBytes, 0);

    // A second collector in the same directory is refused.
    QProcess second;
    StartProgram(second, "velk-collector");
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_EQ(second.readAllStandardError().toStdString(),
              "VELK already run\nin this directory!\n");

    std::filesystem::remove(dir_ / "VELK.INI");
    Signal(collector, SIGTERM);
    ASSERT_TRUE(collector.waitForFinished(20000));
    EXPECT_EQ(collector.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(collector.exitCode(), 0);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "VELK.INI"));  // written at the stop
    state = velk::ReadCollectorState(files, dir_.Path());
    EXPECT_FALSE(state.state.running);
    EXPECT_EQ(state.state.link, "stopped");
    const std::string out = test::ReadFile(dir_ / "velk-collector.1.out");
    EXPECT_NE(out.find("connected to 127.0.0.1:6014 (CS1000 Doubled Billing Server)"),
              std::string::npos);
    EXPECT_NE(out.find("link: bad block check, NAK sent"), std::string::npos);
    EXPECT_NE(out.find("link: message received twice, second copy dropped"), std::string::npos);
    EXPECT_NE(out.find("  record 0030  "), std::string::npos);
    EXPECT_NE(out.find("traffic report 2026-12-08"), std::string::npos);
    const std::string log = test::ReadFile(dir_ / "VELK.LOG");
    EXPECT_NE(log.find("Disconnected       127.0.0.1 CS1000 Doubled Billing Server\r\n"
                       "VELK Statistic:\r\n"),
              std::string::npos);
    sim_.kill();
    sim_.waitForFinished();

    // The lock went with the stop: a new collector gets past it (and, with the simulator gone and
    // no automatic reconnection, ends because it cannot connect).
    QProcess third;
    StartProgram(third, "velk-collector");
    ASSERT_TRUE(third.waitForFinished(30000));
    EXPECT_EQ(third.exitCode(), 1);
    EXPECT_EQ(third.readAllStandardError().toStdString(), "The connection is not established!\n");
}

TEST_F(ProgramsTest, WindowProgramStoresEveryRecord) {
    WriteSettings();
    StartSimulator({"--count", "20", "--traffic-every", "5", "--bad-bcc-every", "3", "--split",
                    "--duplicate-every", "4", "--seed", "5"});
    QProcess velk;
    StartProgram(velk, "velk");
    WaitForSimulator(60000);
    Signal(velk, SIGKILL);
    velk.waitForFinished();
    CheckFiles(20);
}

TEST_F(ProgramsTest, DroppedConnectionIsReestablished) {
    WriteSettings({"AutoReConnection=1"});
    // The simulator closes the connection after 4 records; the collector connects again a
    // minute later (its own reconnection period) and takes the rest.
    StartSimulator({"--count", "8", "--traffic-every", "0", "--drop-after", "4", "--seed", "9"});
    QProcess collector;
    StartProgram(collector, "velk-collector");
    WaitForSimulator(120000);
    Signal(collector, SIGTERM);
    ASSERT_TRUE(collector.waitForFinished(20000));
    CheckFiles(8);
    const std::string log = test::ReadFile(dir_ / "VELK.LOG");
    size_t connections = 0;
    for (size_t p = log.find(" Connected "); p != std::string::npos;
         p = log.find(" Connected ", p + 1)) {
        ++connections;
    }
    EXPECT_EQ(connections, 2u);
}

// A PBX on a serial line: both programs over a pseudo-terminal pair, every file byte for byte.
TEST_F(ProgramsTest, CollectorOnASerialLine) {
    test::PtyPair pty(dir_.Path());
    ASSERT_TRUE(pty.Ok());
    WriteSerialSettings(pty);
    StartSerialSimulator(pty, {"--count", "25", "--traffic-every", "8", "--bad-bcc-every", "4",
                               "--split", "--duplicate-every", "6", "--seed", "31"});
    QProcess collector;
    StartProgram(collector, "velk-collector");
    WaitForSimulator(60000);
    Signal(collector, SIGTERM);
    ASSERT_TRUE(collector.waitForFinished(20000));
    EXPECT_EQ(collector.exitCode(), 0);
    CheckFiles(25);
    const std::string out = test::ReadFile(dir_ / "velk-collector.1.out");
    EXPECT_NE(out.find("connected to COM2 at 115200 baud"), std::string::npos);
    EXPECT_NE(test::ReadFile(dir_ / "VELK.LOG").find("Connected          COM2 115200\r\n"),
              std::string::npos);
}

TEST_F(ProgramsTest, WindowProgramOnASerialLine) {
    test::PtyPair pty(dir_.Path());
    ASSERT_TRUE(pty.Ok());
    WriteSerialSettings(pty);
    StartSerialSimulator(pty, {"--count", "15", "--traffic-every", "5", "--bad-bcc-every", "3",
                               "--duplicate-every", "4", "--seed", "32"});
    QProcess velk;
    StartProgram(velk, "velk");
    WaitForSimulator(60000);
    Signal(velk, SIGKILL);
    velk.waitForFinished();
    CheckFiles(15);
}

// The adapter is unplugged under the collector: the link ends cleanly and, since a serial line is
// never reconnected by itself, the collector ends with an error for its service manager.
TEST_F(ProgramsTest, CollectorWhoseSerialLineGoesAway) {
    test::PtyPair pty(dir_.Path());
    ASSERT_TRUE(pty.Ok());
    WriteSerialSettings(pty);
    QProcess collector;
    StartProgram(collector, "velk-collector");
    // Unplugged once it is connected (a loaded machine may take seconds to get there).
    const auto console = dir_ / "velk-collector.1.out";
    QElapsedTimer t;
    t.start();
    while (test::ReadFile(console).find("connected to COM2") == std::string::npos &&
           t.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    pty.Close();
    ASSERT_TRUE(collector.waitForFinished(20000));
    EXPECT_EQ(collector.exitCode(), 1);
    const std::string out = test::ReadFile(console);
    EXPECT_NE(out.find("disconnected from COM2 at 115200 baud"), std::string::npos);
    EXPECT_NE(out.find("the serial connection ended: exiting"), std::string::npos);
}

// The hard-disk buffer: velk-billing-sim fills the queue, both programs take the records from it.
class DiskBufferProgramsTest : public ProgramsTest {
protected:
    void Run(const QString& program, int records) {
        const auto buffer = dir_ / "buffer";
        std::filesystem::create_directory(buffer);
        WriteSettings(
            {"HD_Used=1", QString::fromStdString("APP_HD_Buffer_Directory=" + buffer.string())});
        QProcess producer;
        producer.setProgram(kBin + "/velk-billing-sim");
        producer.setArguments({"--dir", QString::fromStdString(buffer.string()), "--count",
                               QString::number(records), "--rate", "100", "--seed", "8"});
        producer.start();
        ASSERT_TRUE(producer.waitForStarted());
        QProcess velk;
        StartProgram(velk, program);
        // Every record is taken when the queue's read index reaches its write index.
        QElapsedTimer t;
        t.start();
        std::string output;
        for (;;) {
            producer.waitForReadyRead(50);
            output += producer.readAllStandardOutput().toStdString();
            const std::string q = test::ReadFile(buffer / "PC_pmstx.dq");
            const bool done = output.find("done ") != std::string::npos && q.size() >= 8 &&
                              q.compare(0, 4, q, 4, 4) == 0;
            if (done || t.elapsed() > 60000)
                break;
        }
        Signal(velk, SIGTERM);
        ASSERT_TRUE(velk.waitForFinished(20000));
        if (producer.state() != QProcess::NotRunning) {
            EXPECT_TRUE(producer.waitForFinished(10000));
        }
        simOutput_ = output;
        CheckFiles(records);
    }
};

TEST_F(DiskBufferProgramsTest, CollectorTakesEveryRecord) {
    Run("velk-collector", 60);
    const std::string out = test::ReadFile(dir_ / "velk-collector.1.out");
    EXPECT_NE(out.find("From HD Buffer at "), std::string::npos);
}

TEST_F(DiskBufferProgramsTest, WindowProgramTakesEveryRecord) {
    Run("velk", 30);
}

// Log-out, shutdown or kill: the window program closes in order without a question, writes its
// settings, releases its lock and exits 0.
TEST_F(ProgramsTest, WindowProgramStopsInOrderOnSigtermAndSighup) {
    WriteSettings({"AutoConnection=0"});
    for (int signal : {SIGTERM, SIGHUP}) {
        QProcess velk;
        StartProgram(velk, "velk");
        WaitForTheWindow(dir_.Path(), velk);
        std::filesystem::remove(dir_ / "VELK.INI");
        Signal(velk, signal);
        ASSERT_TRUE(velk.waitForFinished(20000)) << signal;
        EXPECT_EQ(velk.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(velk.exitCode(), 0) << signal;
        EXPECT_TRUE(std::filesystem::exists(dir_ / "VELK.INI")) << signal;
        EXPECT_NE(test::ReadFile(dir_ / "VELK.INI").find("[List1ColWidth]"), std::string::npos);
    }
    // The lock went with it: the collector may start here.
    QProcess collector;
    StartProgram(collector, "velk-collector");
    ASSERT_TRUE(collector.waitForFinished(20000));
    EXPECT_NE(collector.readAllStandardError().toStdString(),
              "VELK already run\nin this directory!\n");
}

// A close asked for by a signal never waits for an answer: a settings file that cannot be written
// is said on standard error and in VELK.LOG, and the program ends. The same signal a second time
// ends it at once, without the orderly close.
TEST_F(ProgramsTest, WindowProgramStoppedBySignalNeverWaitsForAnAnswer) {
    WriteSettings({"AutoConnection=0"});
    const auto ini = dir_ / "VELK.INI";
    QProcess velk;
    StartProgram(velk, "velk");
    WaitForTheWindow(dir_.Path(), velk);
    std::filesystem::permissions(ini, std::filesystem::perms::owner_read);
    const std::string before = test::ReadFile(ini);
    Signal(velk, SIGTERM);
    ASSERT_TRUE(velk.waitForFinished(20000)) << "it waits for an answer nobody gives";
    EXPECT_EQ(velk.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(velk.exitCode(), 0);
    const std::vector<std::string> errors = Lines(velk.readAllStandardError().toStdString(), "\n");
    EXPECT_EQ(std::count(errors.begin(), errors.end(), "Impossible to Update *.ini file!"), 1);
    EXPECT_NE(
        test::ReadFile(dir_ / "VELK.LOG")
            .find("Not written        " + ini.string() + ": Impossible to Update *.ini file!\r\n"),
        std::string::npos);
    EXPECT_EQ(test::ReadFile(ini), before);

    std::filesystem::permissions(
        ini, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    QProcess again;
    StartProgram(again, "velk");
    WaitForTheWindow(dir_.Path(), again);
    std::filesystem::remove(ini);
    Signal(again, SIGTERM);
    // The first one is taken at once; the orderly close then takes seconds.
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 300)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    Signal(again, SIGTERM);
    ASSERT_TRUE(again.waitForFinished(20000));
    EXPECT_EQ(again.exitStatus(), QProcess::CrashExit);
    EXPECT_FALSE(std::filesystem::exists(ini));  // ended before the settings were written
}

// Started with nohup, the collector outlives the terminal: the SIGHUP that nohup ignores stays
// ignored, and the collector goes on taking records until it is stopped.
TEST_F(ProgramsTest, CollectorStartedWithNohupOutlivesSighup) {
    const auto buffer = dir_ / "buffer";
    std::filesystem::create_directory(buffer);
    WriteSettings(
        {"HD_Used=1", QString::fromStdString("APP_HD_Buffer_Directory=" + buffer.string())});
    QProcess collector;
    collector.setProgram("nohup");
    collector.setArguments({kBin + "/velk-collector"});
    collector.setWorkingDirectory(QString::fromStdString(dir_.Path().string()));
    collector.setStandardOutputFile(QString::fromStdString((dir_ / "collector.out").string()));
    collector.start();
    ASSERT_TRUE(collector.waitForStarted());
    QElapsedTimer t;
    t.start();
    while (test::ReadFile(dir_ / "collector.out").find("From HD Buffer at") == std::string::npos &&
           t.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    Signal(collector, SIGHUP);  // the terminal is closed
    QProcess producer;
    producer.start(kBin + "/velk-billing-sim", {"--dir", QString::fromStdString(buffer.string()),
                                                "--count", "3", "--rate", "0"});
    ASSERT_TRUE(producer.waitForFinished(10000));
    ASSERT_EQ(producer.exitCode(), 0);
    t.restart();
    std::string q;
    while (t.elapsed() < 20000) {
        q = test::ReadFile(buffer / "PC_pmstx.dq");
        if (q.size() >= 8 && q.compare(4, 4, std::string("\x03\0\0\0", 4)) == 0)
            break;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    EXPECT_EQ(q.substr(0, 8), std::string("\x03\0\0\0\x03\0\0\0", 8)) << "records taken";
    EXPECT_EQ(collector.state(), QProcess::Running);
    Signal(collector, SIGTERM);
    ASSERT_TRUE(collector.waitForFinished(20000));
    EXPECT_EQ(collector.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(collector.exitCode(), 0);
}

// The service's sandbox leaves every path outside the service's own directory read-only, the
// billing server's queue directory included: the collector says so and ends with an error (its
// service manager shows why) instead of reading nothing for ever.
TEST_F(ProgramsTest, CollectorRefusesAQueueOnAReadOnlyMount) {
    const auto buffer = dir_ / "buffer";
    std::filesystem::create_directory(buffer);
    WriteSettings(
        {"HD_Used=1", QString::fromStdString("APP_HD_Buffer_Directory=" + buffer.string())});
    ASSERT_EQ(QProcess::execute(kBin + "/velk-billing-sim",
                                {"--dir", QString::fromStdString(buffer.string()), "--count", "2",
                                 "--rate", "0"}),
              0);
    const std::string queue = test::ReadFile(buffer / "PC_pmstx.dq");
    QProcess collector;
    collector.setWorkingDirectory(QString::fromStdString(dir_.Path().string()));
    collector.start("unshare", {"-m", "sh", "-c",
                                "mount --bind \"$0\" \"$0\" && mount -o remount,ro,bind \"$0\" "
                                "\"$0\" && exec \"$1\"",
                                QString::fromStdString(buffer.string()), kBin + "/velk-collector"});
    ASSERT_TRUE(collector.waitForFinished(20000)) << "it reads nothing for ever";
    const std::string errors = collector.readAllStandardError().toStdString();
    if (errors.rfind("unshare:", 0) == 0 || errors.rfind("mount:", 0) == 0)
        GTEST_SKIP() << "no mount namespace here: " << errors;
    EXPECT_EQ(collector.exitCode(), 1);
    EXPECT_EQ(errors, "The Hard Disk Data Buffer queue cannot be written:\n" + buffer.string() +
                          "\nRead-only file system\n");
    EXPECT_EQ(test::ReadFile(buffer / "PC_pmstx.dq"), queue);
}

// A working directory that was removed under the program: a clear message and an error code,
// not an abort.
TEST_F(ProgramsTest, CollectorInARemovedDirectoryEndsWithAMessage) {
    const std::string gone = (dir_ / "gone").string();
    std::filesystem::create_directory(gone);
    QProcess p;
    p.setProgram("/bin/sh");
    p.setArguments(
        {"-c", QString::fromStdString("cd '" + gone + "' && rmdir '" + gone + "' && exec '" +
                                      kBin.toStdString() + "/velk-collector'")});
    p.start();
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_EQ(p.readAllStandardError().toStdString(),
              "VELK cannot use its working directory:\nNo such file or directory.\n");
}

// Without automatic reconnection nothing would connect the collector again after the PBX closes
// the link: it ends with an error so that a service manager restarts it, its records stored.
TEST_F(ProgramsTest, CollectorWithoutReconnectionExitsWhenThePbxCloses) {
    // The simulator closes 50 ms after the fourth record: the next poll comes later than that.
    WriteSettings({"RequestDelayAfterNormalData=500"});
    StartSimulator({"--count", "8", "--traffic-every", "0", "--drop-after", "4", "--seed", "9"});
    QProcess collector;
    StartProgram(collector, "velk-collector");
    ASSERT_TRUE(collector.waitForFinished(30000));
    EXPECT_EQ(collector.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(collector.exitCode(), 1);
    sim_.kill();
    sim_.waitForFinished();
    simOutput_ += sim_.readAllStandardOutput().toStdString();
    CheckFiles(4);
    const std::string out = test::ReadFile(dir_ / "velk-collector.1.out");
    EXPECT_NE(out.find("the connection ended and AutoReConnection is off: exiting"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "VELK.INI"));
}

// A PBX that leaves out every fourth sequence number: the collector's log and output name
// exactly the numbers missing from what the simulator delivered, and nothing for the records it
// sent twice.
TEST_F(ProgramsTest, CollectorNamesTheSequenceNumbersLeftOut) {
    WriteSettings();
    StartSimulator({"--count", "25", "--skip-every", "4", "--traffic-every", "0",
                    "--duplicate-every", "6", "--seed", "3"},
                   false);
    QProcess collector;
    StartProgram(collector, "velk-collector");
    ASSERT_NO_FATAL_FAILURE(WaitForDelivered(25, 60000));
    Signal(collector, SIGTERM);
    ASSERT_TRUE(collector.waitForFinished(20000));

    // The numbers left out, from the delivered records' sequence numbers (the decoded lines'
    // first column).
    test::ExpectedFiles e;
    e.FromSimulator(simOutput_);
    ASSERT_EQ(e.calls, 25);
    std::vector<int> delivered;
    for (size_t at = 0; at < e.decoded.size(); at = e.decoded.find("\r\n", at) + 2)
        delivered.push_back(std::stoi(e.decoded.substr(at, 4)));
    ASSERT_EQ(delivered.size(), 25u);
    std::string logLines, outLines;
    int missing = 0;
    for (size_t i = 1; i < delivered.size(); ++i) {
        for (int n = delivered[i - 1] + 1; n < delivered[i]; ++n) {
            char line[96];
            std::snprintf(line, sizeof line, "expected %04d, received %04d, 1 missing", n,
                          delivered[i]);
            logLines += std::string("Sequence gap       ") + line + "\r\n";
            outLines += std::string("Sequence gap: ") + line + "\n";
            ++missing;
        }
    }
    EXPECT_EQ(missing, 8);  // 4, 8, ..., 32: three records in every four numbers

    std::string log;
    for (const std::string& line : Lines(test::ReadFile(dir_ / "VELK.LOG"), "\r\n")) {
        if (line.find(" Sequence ") != std::string::npos)
            log += line.substr(20) + "\r\n";
    }
    EXPECT_EQ(log, logLines);
    std::string out;
    for (const std::string& line : Lines(test::ReadFile(dir_ / "velk-collector.1.out"), "\n")) {
        if (line.find("Sequence ") != std::string::npos)
            out += line.substr(line.find("Sequence ")) + "\n";
    }
    EXPECT_EQ(out, outLines);
}

// The service manager's side of sd_notify: a datagram socket that keeps every message with the
// time it arrived.
class NotifyListener {
public:
    explicit NotifyListener(const std::filesystem::path& path) : path_(path.string()) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        bound_ = fd_ >= 0 &&
                 ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        reader_ = std::thread([this] { Read(); });
    }
    ~NotifyListener() {
        stop_ = true;
        reader_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool Bound() const { return bound_; }
    struct Message {
        std::string text;
        std::chrono::steady_clock::time_point at;
    };
    std::vector<Message> Messages() {
        std::lock_guard<std::mutex> hold(mutex_);
        return messages_;
    }

private:
    void Read() {
        while (!stop_ && bound_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1)
                continue;
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0)
                continue;
            std::lock_guard<std::mutex> hold(mutex_);
            messages_.push_back(
                {std::string(buffer, static_cast<size_t>(n)), std::chrono::steady_clock::now()});
        }
    }

    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Message> messages_;
    std::thread reader_;
};

// velk-collector under a service manager: READY=1 once the link is started, a status line that
// follows the records (at most one a second) and an alarm, WATCHDOG=1 at half the interval asked
// for, STOPPING=1 at SIGTERM. It runs from another directory, with its base directory given by
// --dir.
TEST_F(ProgramsTest, CollectorTellsTheServiceManagerWhatItDoes) {
    WriteSettings({"RequestDelayAfterNormalData=300"});
    StartSimulator({"--count", "12", "--skip-every", "5", "--traffic-every", "0", "--seed", "4"},
                   false);
    NotifyListener listener(dir_ / "notify");
    ASSERT_TRUE(listener.Bound());
    std::filesystem::create_directory(dir_ / "elsewhere");
    QProcess collector;
    QProcessEnvironment env;
    env.insert("NOTIFY_SOCKET", QString::fromStdString((dir_ / "notify").string()));
    env.insert("WATCHDOG_USEC", "1000000");
    collector.setWorkingDirectory(QString::fromStdString((dir_ / "elsewhere").string()));
    StartProgram(collector, "velk-collector",
                 {"--dir", QString::fromStdString(dir_.Path().string())}, env);
    ASSERT_NO_FATAL_FAILURE(WaitForDelivered(12, 60000));
    QElapsedTimer settle;  // the last status line, and a few more watchdog turns
    settle.start();
    while (settle.elapsed() < 1500)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    Signal(collector, SIGTERM);
    ASSERT_TRUE(collector.waitForFinished(20000));
    EXPECT_EQ(collector.exitCode(), 0);
    ASSERT_NO_FATAL_FAILURE(CheckFiles(12));  // in the --dir directory
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "elsewhere"));

    const std::vector<NotifyListener::Message> messages = listener.Messages();
    std::vector<std::string> statuses;
    std::vector<std::chrono::steady_clock::time_point> statusTimes, pings;
    int ready = 0, stopping = 0;
    size_t readyAt = 0, firstStatusAt = messages.size();
    for (size_t i = 0; i < messages.size(); ++i) {
        const std::string& text = messages[i].text;
        if (text == "READY=1") {
            ++ready;
            readyAt = i;
        } else if (text == "WATCHDOG=1") {
            pings.push_back(messages[i].at);
        } else if (text.rfind("STATUS=", 0) == 0) {
            firstStatusAt = std::min(firstStatusAt, i);
            statuses.push_back(text.substr(7));
            statusTimes.push_back(messages[i].at);
        } else if (text.rfind("STOPPING=1\nSTATUS=", 0) == 0) {
            ++stopping;
        } else {
            ADD_FAILURE() << "unexpected message '" << text << "'";
        }
    }
    EXPECT_EQ(ready, 1);
    EXPECT_EQ(stopping, 1);
    EXPECT_LT(firstStatusAt, readyAt);  // the link was started before the service was ready
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front().rfind("waiting for a connection to 127.0.0.1:6014", 0), 0u)
        << statuses.front();

    // The count of stored records rises through the status lines, to the last record and the
    // sequence gap the simulator made.
    const std::string connected = "connected to 127.0.0.1:6014 (CS1000 Doubled Billing Server); ";
    std::vector<int> counts;
    std::string last;
    for (const std::string& status : statuses) {
        if (status.rfind(connected, 0) == 0 &&
            status.find(" stored today, the last at ") != std::string::npos) {
            counts.push_back(std::stoi(status.substr(connected.size())));
            last = status;
        }
    }
    ASSERT_GE(counts.size(), 3u);
    for (size_t i = 1; i < counts.size(); ++i)
        EXPECT_GT(counts[i], counts[i - 1]);
    EXPECT_EQ(counts.back(), 12);
    // Numbers 5 and 10 were left out; the latest alarm is shown.
    EXPECT_NE(last.find(" stored today, the last at "), std::string::npos) << last;
    const size_t alarm = last.find("; alarm at ");
    ASSERT_NE(alarm, std::string::npos) << last;
    EXPECT_EQ(last.substr(alarm + 19), ": Sequence gap: expected 0010, received 0011, 1 missing")
        << last;
    EXPECT_EQ(statuses.back().rfind("disconnected from 127.0.0.1:6014", 0), 0u) << statuses.back();
    // At most one status line a second (the timer may run a little early).
    for (size_t i = 1; i < statusTimes.size(); ++i)
        EXPECT_GE(statusTimes[i] - statusTimes[i - 1], std::chrono::milliseconds(900));

    // WATCHDOG=1 at half of WATCHDOG_USEC: never a full second without one.
    ASSERT_GE(pings.size(), 6u);
    for (size_t i = 1; i < pings.size(); ++i)
        EXPECT_LT(pings[i] - pings[i - 1], std::chrono::milliseconds(1000)) << "ping " << i;
    EXPECT_LT(messages.back().at - pings.back(), std::chrono::milliseconds(1000));
}

// Over TCP with every field in the decoded file: the index holds exactly the decoded lines.
TEST_F(ProgramsTest, IndexHoldsEveryDecodedLine) {
    WriteSettings({"columns=all"});
    StartSimulator({"--count", "40", "--traffic-every", "10", "--bad-bcc-every", "5",
                    "--duplicate-every", "6", "--seed", "41"});
    QProcess collector;
    StartProgram(collector, "velk-collector");
    WaitForSimulator(60000);
    Signal(collector, SIGTERM);
    ASSERT_TRUE(collector.waitForFinished(20000));
    test::ExpectIndexEqualsDecodedFiles(dir_.Path(), {dir_ / "Bill" / "20261208.csv"});
}

// A damaged or locked VELK.db while records arrive: every record file is written as before and
// the failure is logged once. The collector sets a damaged index aside and builds a new one from
// the raw files itself; a locked one gets its rows once it is free (here from velk-index rebuild,
// as the collector stopped first).
class DamagedIndexTest : public ProgramsTest,
                         public ::testing::WithParamInterface<const char*> {};

TEST_P(DamagedIndexTest, NeverStopsTheRecordFilesAndARebuildRestoresTheRows) {
    WriteSettings();
    const std::filesystem::path db = dir_ / "VELK.db";
    const std::string damage = GetParam();
    sqlite3* holder = nullptr;
    if (damage == "garbage") {
        std::string text;
        for (int i = 0; i < 500; ++i)
            text += "this is not a database\n";
        test::WriteFile(db, text);
    } else {
        // A sound index first, then cut short, or held by another program's transaction.
        SqliteRecordIndex made(db, SqliteRecordIndex::Mode::Write);
        ASSERT_TRUE(made.Open()) << made.ErrorText();
        made.Close();
        if (damage == "truncated") {
            std::filesystem::resize_file(db, 4096);
        } else {
            ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr),
                      SQLITE_OK);
        }
    }
    StartSimulator({"--count", "12", "--traffic-every", "5", "--seed", "43"});
    QProcess collector;
    StartProgram(collector, "velk-collector");
    WaitForSimulator(60000);
    Signal(collector, SIGTERM);
    ASSERT_TRUE(collector.waitForFinished(20000));
    CheckFiles(12);
    const std::string log = test::ReadFile(dir_ / "VELK.LOG");
    size_t failures = 0;
    for (size_t p = log.find(" Record index "); p != std::string::npos;
         p = log.find(" Record index ", p + 1)) {
        ++failures;
    }
    EXPECT_EQ(failures, 1u) << log;
    const bool damaged = damage != "locked";
    if (damaged) {
        EXPECT_NE(log.find(": the damaged database is set aside as " + db.string() +
                           ".damaged; a new one is built from the record files"),
                  std::string::npos)
            << log;
        test::ExpectIndexEqualsDecodedFiles(dir_.Path(), {dir_ / "Bill" / "20261208.csv"});
    }
    if (holder != nullptr) {
        sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(holder);
    }

    QProcess rebuild;
    rebuild.setWorkingDirectory(QString::fromStdString(dir_.Path().string()));
    rebuild.start(kBin + "/velk-index", {"rebuild"});
    ASSERT_TRUE(rebuild.waitForFinished(60000));
    EXPECT_EQ(rebuild.exitCode(), 0) << rebuild.readAllStandardError().toStdString();
    EXPECT_NE(rebuild.readAllStandardOutput().toStdString().find(
                  damaged ? "1 raw files, 12 call records, 0 added; the index holds 12"
                          : "1 raw files, 12 call records, 12 added; the index holds 12"),
              std::string::npos);
    EXPECT_EQ(std::filesystem::exists(dir_ / "VELK.db.damaged"), damaged);
    test::ExpectIndexEqualsDecodedFiles(dir_.Path(), {dir_ / "Bill" / "20261208.csv"});
}

INSTANTIATE_TEST_SUITE_P(Damage, DamagedIndexTest,
                         ::testing::Values("truncated", "garbage", "locked"));

}  // namespace
}  // namespace velk
