// The collector killed again and again while records flow (ctest -L crash; CI runs it, the quick
// suite leaves it out with -LE "soak|crash"): velk-collector is killed with SIGKILL by this test
// at random moments, and on the link by velk-pbx-sim right after the ACK of every tenth record,
// and started again each time; over TCP, on a serial line and while velk-billing-sim fills the
// hard-disk buffer. In the end every record the sender counted as delivered stands exactly once,
// in its order, in every record file: raw and decoded in Bill and Bill_Backup, and both buffer
// pairs.
#include <gtest/gtest.h>
#include <signal.h>

#include <QElapsedTimer>
#include <QThread>
#include <QProcess>
#include <cstdio>
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <random>

#include "core/decode/record_builder.h"
#include "link_settings.h"
#include "support/expected_files.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

const QString kBin = QStringLiteral(VELK_BIN_DIR);

constexpr int kRandomKills = 100;
constexpr int kLongestLifeMs = 300;  // a random kill comes 0 to 300 ms after a start
constexpr int kKillAfterAckEvery = 10;
// The senders deliver at most this many records a second, so that records flow for longer than
// the random kills take, however fast the disk is.
constexpr int kRecordsPerSecond = 20;

// How often each record (a line of a record file) stands in a file.
std::map<std::string, int> Count(const std::string& content) {
    std::map<std::string, int> count;
    for (size_t at = 0; at < content.size();) {
        const size_t end = content.find("\r\n", at);
        const size_t next = end == std::string::npos ? content.size() : end + 2;
        ++count[content.substr(at, next - at)];
        at = next;
    }
    return count;
}

class CrashTest : public ::testing::Test {
protected:
    void WriteSettings(const QStringList& extra) {
        QStringList args = test::SimulatorLinkSettings(dir_.Path());
        args << "DoBufferDecoded=1"
             << "RequestDelayAfterNormalData=20";
        args << extra;
        ASSERT_EQ(QProcess::execute(kBin + "/velk-settings", args), 0);
    }

    // The sender: velk-pbx-sim or velk-billing-sim, its report in sender.out.
    void StartSender(const QString& program, const QStringList& args) {
        sim_.setProgram(kBin + "/" + program);
        sim_.setArguments(args);
        sim_.setStandardOutputFile(Path("sender.out"));
        sim_.start();
        ASSERT_TRUE(sim_.waitForStarted());
        QElapsedTimer t;
        t.start();
        while (test::ReadFile(dir_ / "sender.out").empty() && t.elapsed() < 10000)
            QThread::msleep(10);
    }
    void StartSimulator(int records, const QStringList& extra) {
        StartSender(
            "velk-pbx-sim",
            QStringList{"--port", "6014", "--rate", QString::number(kRecordsPerSecond),
                        "--traffic-every", "0", "--count", QString::number(records),
                        "--exit-when-done", "--kill-after-ack", QString::number(kKillAfterAckEvery),
                        "--kill-pid-file", Path("collector.pid")} +
                extra);
    }

    QString Path(const std::string& name) const {
        return QString::fromStdString((dir_ / name).string());
    }

    // Starts the collector and names it in the pid file the simulator reads.
    void StartCollector() {
        collector_ = std::make_unique<QProcess>();
        collector_->setProgram(kBin + "/velk-collector");
        collector_->setWorkingDirectory(QString::fromStdString(dir_.Path().string()));
        collector_->setStandardOutputFile(Path("collector.out"), QIODevice::Append);
        collector_->setStandardErrorFile(Path("collector.err"), QIODevice::Append);
        collector_->start();
        ASSERT_TRUE(collector_->waitForStarted());
        test::WriteFile(dir_ / "collector.pid.new", std::to_string(collector_->processId()));
        std::filesystem::rename(dir_ / "collector.pid.new", dir_ / "collector.pid");
        ++starts_;
    }
    bool CollectorRunning() const {
        return collector_ != nullptr && collector_->state() != QProcess::NotRunning;
    }
    void SignalCollector(int signal) {
        if (CollectorRunning())
            ::kill(static_cast<pid_t>(collector_->processId()), signal);
        collector_->waitForFinished(20000);
    }

    // Runs until done() (by default: the sender has delivered every record and ended): the
    // collector is started whenever it is not running, and killed at random moments until
    // kRandomKills kills.
    void KillAndRestart(int limitMs, const std::function<bool()>& done = nullptr) {
        std::mt19937 random(27);
        std::uniform_int_distribution<int> life(0, kLongestLifeMs);
        const auto finished = [this, &done] {
            return sim_.state() == QProcess::NotRunning && (!done || done());
        };
        QElapsedTimer t;
        t.start();
        while (!finished() && t.elapsed() < limitMs) {
            if (!CollectorRunning())
                StartCollector();
            if (randomKills_ < kRandomKills) {
                if (!collector_->waitForFinished(life(random))) {
                    SignalCollector(SIGKILL);
                    ++randomKills_;
                }
            } else {
                collector_->waitForFinished(50);
            }
            sim_.waitForFinished(0);
        }
        ASSERT_TRUE(finished()) << "the sender did not finish, or its records were not taken";
        // A last run takes up what the last one acknowledged, and stops in order.
        if (CollectorRunning())
            SignalCollector(SIGTERM);
        StartCollector();
        collector_->waitForFinished(1500);
        if (CollectorRunning())
            SignalCollector(SIGTERM);
    }

    void CheckFiles(const char* channel) {
        const std::string out = test::ReadFile(dir_ / "sender.out");
        test::ExpectedFiles e;
        e.FromSimulator(out);
        int afterAck = 0;
        for (size_t at = out.find("\nkilled "); at != std::string::npos;
             at = out.find("\nkilled ", at + 1)) {
            ++afterAck;
        }
        // The records run over more than one day: the daily files are read in the order of
        // their names, each decoded one after its header.
        const std::string header = "Sequence Number;Calling Phone Number;Dialled Phone Number\r\n";
        const auto daily = [this, &header](const char* directory, const std::string& ext) {
            std::map<std::string, std::string> days;
            for (const auto& f : std::filesystem::directory_iterator(dir_ / directory)) {
                if (f.path().extension() == ext)
                    days[f.path().filename().string()] = test::ReadFile(f.path());
            }
            std::string all;
            for (const auto& [name, content] : days) {
                const bool headed = ext != ".csv" || content.rfind(header, 0) == 0;
                EXPECT_TRUE(headed) << name;
                all += headed && ext == ".csv" ? content.substr(header.size()) : content;
            }
            return all;
        };
        const auto buffers = [this](const std::string& ext) {
            return test::ReadFile(dir_ / "Buffers" / ("buffer_out" + ext)) +
                   test::ReadFile(dir_ / "Buffers" / ("buffer_in" + ext));
        };
        const std::pair<std::string, std::string> files[] = {
            {daily("Bill", ".raw"), e.raw},     {daily("Bill_Backup", ".raw"), e.raw},
            {daily("Bill", ".csv"), e.decoded}, {daily("Bill_Backup", ".csv"), e.decoded},
            {buffers(".raw"), e.raw},           {buffers(".csv"), e.decoded}};
        const char* names[] = {"Bill raw",     "Bill_Backup raw",
                               "Bill decoded", "Bill_Backup decoded",
                               "buffers raw",  "buffers decoded"};
        int lost = 0, duplicated = 0;
        for (size_t i = 0; i < 6; ++i) {
            const auto& [content, expected] = files[i];
            const char* name = names[i];
            EXPECT_TRUE(content == expected) << name;
            std::map<std::string, int> have = Count(content);
            for (const auto& [record, n] : Count(expected)) {
                lost += std::max(0, n - have[record]);
                duplicated += std::max(0, have[record] - n);
            }
        }
        std::printf(
            "crash %s: %d records delivered, %d kills at random moments and %d right "
            "after an ACK over %d starts; %d lost, %d duplicated (over all six files)\n",
            channel, e.calls, randomKills_, afterAck, starts_, lost, duplicated);
        EXPECT_GE(randomKills_, kRandomKills);
        if (sim_.program().endsWith(QStringLiteral("velk-pbx-sim"))) {
            EXPECT_GE(afterAck, 10);
        }
    }

    ~CrashTest() override {
        if (CollectorRunning())
            SignalCollector(SIGKILL);
        if (sim_.state() != QProcess::NotRunning) {
            sim_.kill();
            sim_.waitForFinished();
        }
    }

    test::TempDir dir_;
    QProcess sim_;
    std::unique_ptr<QProcess> collector_;
    int randomKills_ = 0;
    int starts_ = 0;
};

TEST_F(CrashTest, TcpLink) {
    WriteSettings({});
    StartSimulator(600, {});
    KillAndRestart(400000);
    CheckFiles("tcp");
}

TEST_F(CrashTest, SerialLink) {
    test::PtyPair pty(dir_.Path());
    ASSERT_TRUE(pty.Ok());
    WriteSettings({"IP_Used=0", "COM Port number index=1", "COM Port baud rate index=7",
                   QString::fromStdString("Serial Ports/COM2=" + pty.Velk())});
    StartSimulator(600, {"--serial", QString::fromStdString(pty.Pbx()), "--baud", "115200"});
    KillAndRestart(400000);
    CheckFiles("serial");
}

TEST_F(CrashTest, DiskBuffer) {
    const auto buffer = dir_ / "buffer";
    std::filesystem::create_directory(buffer);
    WriteSettings(
        {"HD_Used=1", QString::fromStdString("APP_HD_Buffer_Directory=" + buffer.string())});
    StartSender("velk-billing-sim",
                {"--dir", QString::fromStdString(buffer.string()), "--count", "700", "--rate",
                 QString::number(kRecordsPerSecond), "--seed", "27"});
    // Every record is taken when the queue's read index has reached its write index.
    KillAndRestart(400000, [&buffer] {
        const std::string q = test::ReadFile(buffer / "PC_pmstx.dq");
        return q.size() >= 8 && q.compare(0, 4, q, 4, 4) == 0;
    });
    CheckFiles("disk buffer");
}

// Three calls whose decoded lines are equal (the columns leave out the sequence number), the
// collector killed by the PBX right after the second one's ACK: after the restart all three
// lines stand in every decoded file. Then a copy of the journal from before that restart is put
// back (a backup restored), and the same copy is put into another site's directory: each is
// told in VELK.LOG and set aside, and neither stores anything.
TEST_F(CrashTest, EqualLinesAStaleJournalAndAForeignOne) {
    std::string replay;
    for (const char* sequence : {"0001", "0002", "0003"}) {
        test::RecordBuilder r;
        r.sequence = sequence;
        const std::string f = r.Frame();
        replay += f.substr(1, f.size() - 2) + "\r\n";
    }
    test::WriteFile(dir_ / "replay.raw", replay);
    WriteSettings({"f1=0", "DoBufferPacked=0"});
    StartSender("velk-pbx-sim", {"--port", "6014", "--replay", Path("replay.raw"),
                                 "--exit-when-done", "--kill-after-ack", "2", "--kill-pid-file",
                                 Path("collector.pid")});
    StartCollector();
    ASSERT_TRUE(collector_->waitForFinished(20000));
    ASSERT_NE(test::ReadFile(dir_ / "sender.out").find("killed "), std::string::npos);
    const std::string stale = test::ReadFile(dir_ / "VELK.journal");
    StartCollector();
    ASSERT_TRUE(sim_.waitForFinished(20000));
    SignalCollector(SIGTERM);
    const auto restart = [this] {
        StartCollector();
        collector_->waitForFinished(1500);
        SignalCollector(SIGTERM);
    };
    // The header and three equal lines; each raw record once.
    const std::string csv = test::ReadFile(dir_ / "Bill" / "20261208.csv");
    const size_t first = csv.find("\r\n") + 2;
    ASSERT_EQ(std::count(csv.begin(), csv.end(), '\n'), 4) << csv;
    const size_t third = (csv.size() - first) / 3;
    EXPECT_EQ(csv.substr(first, third), csv.substr(first + third, third)) << csv;
    EXPECT_EQ(csv.substr(first, third), csv.substr(first + 2 * third)) << csv;
    EXPECT_EQ(test::ReadFile(dir_ / "Bill_Backup" / "20261208.csv"), csv);
    const std::string raw = test::ReadFile(dir_ / "Bill" / "20261208.raw");
    for (size_t at = 0; at < replay.size(); at = replay.find('\n', at) + 1) {
        const std::string body = replay.substr(at, replay.find('\r', at) - at);
        ASSERT_NE(raw.find(body), std::string::npos) << body;
        EXPECT_EQ(raw.find(body), raw.rfind(body)) << body;
    }

    const std::string before = test::ReadFile(dir_ / "Bill" / "20261208.csv");
    test::WriteFile(dir_ / "VELK.journal", stale);
    restart();
    EXPECT_EQ(test::ReadFile(dir_ / "Bill" / "20261208.csv"), before);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "VELK.journal.bad"));
    EXPECT_NE(test::ReadFile(dir_ / "VELK.LOG").find("does not fit this directory: it is older "
                                                     "than the files"),
              std::string::npos);

    test::TempDir other;
    ASSERT_EQ(QProcess::execute(kBin + "/velk-settings", test::SimulatorLinkSettings(other.Path())),
              0);
    test::WriteFile(other / "VELK.journal", stale);
    QProcess foreign;
    foreign.setProgram(kBin + "/velk-collector");
    foreign.setWorkingDirectory(QString::fromStdString(other.Path().string()));
    foreign.start();
    ASSERT_TRUE(foreign.waitForStarted());
    // Without a PBX to connect to it may end by itself, after it took up the journal.
    if (!foreign.waitForFinished(1500))
        ::kill(static_cast<pid_t>(foreign.processId()), SIGTERM);
    ASSERT_TRUE(foreign.state() == QProcess::NotRunning || foreign.waitForFinished(20000));
    EXPECT_TRUE(std::filesystem::exists(other / "VELK.journal.bad"));
    EXPECT_FALSE(std::filesystem::exists(other / "Bill" / "20261208.csv"));
    EXPECT_NE(test::ReadFile(other / "VELK.LOG").find("it belongs to another base directory"),
              std::string::npos);
}

}  // namespace
}  // namespace velk
