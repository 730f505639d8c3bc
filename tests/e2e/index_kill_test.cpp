// Every stored call once in the record files, the record index and the database server, through
// what can happen to a running site: the collectors of two sites killed again and again (SIGKILL)
// while records arrive and a backlog ships, the server stopped and started, or its processes
// stopped (SIGSTOP) for longer than the time-outs with a SIGTERM meanwhile; velk-index rebuild and
// a deleted VELK.db beside a running collector; a kill between a record's appends and its index
// commit. At the end, per site, the decoded lines, the rows of VELK.db and the server's rows are
// the same calls, each once.
//
// The CI build kills 60 times in a test; the soak build (label soak) many more.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>

#include "link_settings.h"
#include "platform/sqlite_record_index.h"
#include "record_generator.h"
#include "support/expected_files.h"
#include "support/index_check.h"
#include "support/pg_server.h"
#include "support/temp_dir.h"

#ifndef VELK_KILLS
#define VELK_KILLS 60
#endif

namespace velk {
namespace {

const QString kBin = QStringLiteral(VELK_BIN_DIR);
constexpr int kKills = VELK_KILLS;
// A collector lives 0 to this many milliseconds between its start and its kill: often less than
// its first index commit and its first batch to the server.
constexpr int kLongestLifeMs = 900;
// How long the server may be silent before it counts as not answering ([Database] Timeout).
constexpr int kTimeoutSeconds = 3;

void Pause(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
}

bool WaitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        Pause(50);
    }
    return true;
}

int Occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// The stop time-out of the service unit: a stop must end the collector within it.
int UnitStopSeconds() {
    const std::string unit =
        test::ReadFile(std::filesystem::path(VELK_SOURCE_DIR) / "packaging/velk-collector.service");
    const size_t at = unit.find("\nTimeoutStopSec=");
    return at == std::string::npos ? 0 : std::stoi(unit.substr(at + 16));
}

// The records of a raw file of n generated call records, as the recorders write them.
std::string GeneratedRawFile(int n, uint32_t seed) {
    sim::RecordGenerator generator(seed);
    std::string content;
    for (int i = 0; i < n; ++i) {
        const std::string frame = sim::Frame(generator.NextCallRecord());
        content += frame.substr(0, frame.size() - 1) + "\r\n";
    }
    return content;
}

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

std::multiset<std::string> Split(const std::string& text) {
    std::multiset<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.insert(line);
    return lines;
}

// Messages a program sends to the service manager (NOTIFY_SOCKET), read when asked for.
class NotifySocket {
public:
    explicit NotifySocket(std::filesystem::path path) : path_(std::move(path)) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
        bound_ = fd_ >= 0 && path_.string().size() < sizeof address.sun_path &&
                 ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool Bound() const { return bound_; }
    const std::filesystem::path& Path() const { return path_; }
    // Every STATUS= line so far.
    const std::vector<std::string>& Statuses() {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            std::istringstream in(std::string(buffer, static_cast<size_t>(n)));
            for (std::string line; std::getline(in, line);) {
                if (line.rfind("STATUS=", 0) == 0)
                    statuses_.push_back(line.substr(7));
            }
        }
        return statuses_;
    }

private:
    std::filesystem::path path_;
    int fd_ = -1;
    bool bound_ = false;
    std::vector<std::string> statuses_;
};

// One site: its base directory, its PBX (a simulator on the port of its system type) and its
// collector, started and killed at will.
class Site {
public:
    Site(std::string name, int systemType, int port)
        : name_(std::move(name)), systemType_(systemType), port_(port) {}
    ~Site() {
        if (Running())
            Signal(SIGKILL);
        if (sim_.state() != QProcess::NotRunning) {
            sim_.kill();
            sim_.waitForFinished();
        }
    }

    void Settings(const std::string& connection, const QStringList& extra = {}) {
        const QStringList args =
            test::SimulatorLinkSettings(dir_.Path()) +
            QStringList{"Server Port index=" + QString::number(systemType_), "AutoReConnection=1",
                        QString::fromStdString("Database/Connection=" + connection),
                        QString::fromStdString("Database/Site=" + name_),
                        "Database/Timeout=" + QString::number(kTimeoutSeconds)} +
            extra;
        ASSERT_EQ(QProcess::execute(kBin + "/velk-settings", args), 0);
    }
    // Records stored and indexed before the collector first runs (a site that had no database
    // server yet): they wait in VELK.db for the server. BacklogDone waits for the import.
    void StartBacklog(int records, uint32_t seed) {
        test::WriteFile(dir_ / "backlog.raw", GeneratedRawFile(records, seed));
        import_.setWorkingDirectory(QString::fromStdString(dir_.Path().string()));
        import_.setStandardOutputFile(QString::fromStdString((dir_ / "import.out").string()));
        importTook_.start();
        import_.start(kBin + "/velk-import", {"backlog.raw"});
        backlog_ = records;
    }
    void BacklogDone() {
        ASSERT_TRUE(import_.waitForFinished(180000));
        ASSERT_EQ(import_.exitCode(), 0) << import_.readAllStandardError().toStdString();
        std::printf("%s: a backlog of %d records imported in %lld ms\n", name_.c_str(), backlog_,
                    static_cast<long long>(importTook_.elapsed()));
    }
    void StartSimulator(int count, int rate, int seed) {
        sim_.setProgram(kBin + "/velk-pbx-sim");
        sim_.setArguments({"--port", QString::number(port_), "--rate", QString::number(rate),
                           "--count", QString::number(count), "--traffic-every", "0", "--seed",
                           QString::number(seed), "--exit-when-done"});
        sim_.setStandardOutputFile(QString::fromStdString((dir_ / "sim.out").string()));
        sim_.start();
        ASSERT_TRUE(sim_.waitForStarted());
        ASSERT_TRUE(WaitFor([this] { return !test::ReadFile(dir_ / "sim.out").empty() ||
                                            sim_.state() == QProcess::NotRunning; },
                            10000));
    }
    bool SimulatorDone() {
        sim_.waitForFinished(0);
        return sim_.state() == QProcess::NotRunning;
    }

    void Start(const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
        collector_ = std::make_unique<QProcess>();
        collector_->setProcessEnvironment(env);
        collector_->setProgram(kBin + "/velk-collector");
        collector_->setArguments({"--dir", QString::fromStdString(dir_.Path().string())});
        collector_->setStandardOutputFile(
            QString::fromStdString((dir_ / "collector.out").string()), QIODevice::Append);
        collector_->setStandardErrorFile(
            QString::fromStdString((dir_ / "collector.err").string()), QIODevice::Append);
        collector_->start();
        ended_ = false;
        ASSERT_TRUE(collector_->waitForStarted());
        ++starts_;
    }
    bool Running() {
        if (collector_ == nullptr)
            return false;
        collector_->waitForFinished(0);
        return collector_->state() != QProcess::NotRunning;
    }
    void Signal(int signal) {
        ended_ = true;
        if (collector_ != nullptr && collector_->state() != QProcess::NotRunning)
            ::kill(static_cast<pid_t>(collector_->processId()), signal);
    }
    // Counts a collector found ended that was neither killed nor stopped.
    void NoteEnd() {
        if (collector_ != nullptr && !ended_)
            ++endedByItself_;
    }
    int EndedByItself() const { return endedByItself_; }
    std::string Errors() const { return test::ReadFile(dir_ / "collector.err"); }
    void Kill() {
        Signal(SIGKILL);
        collector_->waitForFinished(10000);
        ++kills_;
    }
    // SIGTERM: milliseconds until the collector ended (exit code 0), -1 when it did not within
    // `ms`.
    int64_t Stop(int ms = 30000) {
        QElapsedTimer t;
        t.start();
        Signal(SIGTERM);
        if (!collector_->waitForFinished(ms))
            return -1;
        EXPECT_EQ(collector_->exitStatus(), QProcess::NormalExit) << name_;
        EXPECT_EQ(collector_->exitCode(), 0) << name_;
        return t.elapsed();
    }

    // The decoded files of Bill, every day's.
    std::vector<std::filesystem::path> DecodedFiles() const {
        std::vector<std::filesystem::path> files;
        for (const auto& e : std::filesystem::directory_iterator(dir_ / "Bill")) {
            if (e.path().extension() == ".csv")
                files.push_back(e.path());
        }
        std::sort(files.begin(), files.end());
        return files;
    }
    // Lines of the decoded files without their headers.
    int64_t DecodedLines() const {
        int64_t lines = 0;
        for (const auto& file : DecodedFiles())
            lines += Occurrences(test::ReadFile(file), "\r\n") - 1;
        return lines;
    }
    // The messages of VELK.db's rows in hexadecimal, as the server gives them; -1 rows when it
    // cannot be read.
    std::multiset<std::string> IndexRecords(int64_t& rows) const {
        std::multiset<std::string> raws;
        SqliteRecordIndex index(dir_ / kRecordIndexFile, SqliteRecordIndex::Mode::Read);
        rows = index.Select({}, [&](const IndexRow& row) {
            raws.insert(Hex(row.raw));
            return true;
        })
                   ? static_cast<int64_t>(raws.size())
                   : -1;
        return raws;
    }
    int64_t IndexRows() const {
        int64_t rows = 0;
        IndexRecords(rows);
        return rows;
    }
    // Call records the simulator counts as delivered (it has their ACK).
    int Delivered() const {
        test::ExpectedFiles e;
        e.FromSimulator(test::ReadFile(dir_ / "sim.out"));
        return e.calls;
    }
    std::string Log() const { return test::ReadFile(dir_ / "VELK.LOG"); }

    const std::string& Name() const { return name_; }
    const test::TempDir& Dir() const { return dir_; }
    int Backlogged() const { return backlog_; }
    int Kills() const { return kills_; }
    int Starts() const { return starts_; }

private:
    std::string name_;
    int systemType_;
    int port_;
    test::TempDir dir_;
    QProcess sim_, import_;
    QElapsedTimer importTook_;
    std::unique_ptr<QProcess> collector_;
    int backlog_ = 0;
    int kills_ = 0;
    int starts_ = 0;
    bool ended_ = false;
    int endedByItself_ = 0;
};

class IndexKillTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pg_.Ok()) << pg_.Error(); }

    int64_t ServerRows(const std::string& site) {
        if (!pg_.Running() || pg_.Sql("SELECT to_regclass('velk_calls') IS NULL") == "t")
            return 0;
        return std::stoll(pg_.Sql("SELECT count(*) FROM velk_calls WHERE site = '" + site + "'"));
    }

    // Two sites with a backlog each, their simulators sending while the kills go on.
    void TwoSites(int backlog, int records) {
        sites_.push_back(std::make_unique<Site>("Head Office", 2, 6014));
        sites_.push_back(std::make_unique<Site>("Branch", 0, 6013));
        uint32_t seed = 360;
        for (auto& site : sites_) {
            ASSERT_NO_FATAL_FAILURE(site->Settings(pg_.Connection()));
            site->StartBacklog(backlog, ++seed);
        }
        for (auto& site : sites_)
            ASSERT_NO_FATAL_FAILURE(site->BacklogDone());
        for (auto& site : sites_)
            ASSERT_NO_FATAL_FAILURE(site->StartSimulator(records, 20, static_cast<int>(++seed)));
    }

    // Every collector is started whenever it is not running and killed at a random moment of its
    // life, until `kills` kills in all; between(k) runs after the k-th.
    void KillAndRestart(int kills, const std::function<void(int)>& between) {
        std::mt19937 random(36);
        std::uniform_int_distribution<int> life(0, kLongestLifeMs);
        std::vector<QElapsedTimer> since(sites_.size());
        std::vector<int> lives(sites_.size());
        QElapsedTimer took;
        took.start();
        int done = 0;
        while (done < kills) {
            for (size_t i = 0; i < sites_.size() && done < kills; ++i) {
                Site& site = *sites_[i];
                if (!site.Running()) {
                    site.NoteEnd();
                    ASSERT_NO_FATAL_FAILURE(site.Start());
                    since[i].start();
                    lives[i] = life(random);
                } else if (since[i].elapsed() >= lives[i]) {
                    site.Kill();
                    if (++done % 10 == 0) {
                        std::printf("%d kills in %lld ms\n", done,
                                    static_cast<long long>(took.elapsed()));
                    }
                    between(done);
                }
            }
            Pause(5);
        }
        for (auto& site : sites_)
            EXPECT_EQ(site->EndedByItself(), 0) << site->Name() << ": " << site->Errors();
    }

    // Every site's collector runs until its simulator is done and the server has every record
    // the decoded files hold, and stops in order.
    void Settle() {
        QElapsedTimer took;
        took.start();
        for (auto& site : sites_) {
            if (!site->Running()) {
                ASSERT_NO_FATAL_FAILURE(site->Start());
            }
        }
        for (auto& site : sites_) {
            ASSERT_TRUE(WaitFor([&] { return site->SimulatorDone(); }, 120000))
                << site->Name() << ": the simulator did not finish";
        }
        for (auto& site : sites_) {
            const auto caughtUp = [&] {
                const int64_t lines = site->DecodedLines();
                return site->IndexRows() == lines && ServerRows(site->Name()) == lines;
            };
            EXPECT_TRUE(WaitFor(caughtUp, 120000))
                << site->Name() << ": " << site->DecodedLines() << " decoded lines, "
                << site->IndexRows() << " rows in VELK.db, " << ServerRows(site->Name())
                << " on the server";
            Pause(1000);  // nothing more arrives
            EXPECT_GE(site->Stop(), 0) << site->Name();
        }
        std::printf("settled in %lld ms\n", static_cast<long long>(took.elapsed()));
    }

    // Per site: every call the simulator delivered and the backlog's are in the decoded files
    // once, the rows of VELK.db are the decoded lines, and the server's rows are VELK.db's.
    void ExpectEveryCallOnceEverywhere() {
        for (auto& site : sites_) {
            SCOPED_TRACE(site->Name());
            const int64_t lines = site->DecodedLines();
            EXPECT_EQ(lines, site->Backlogged() + site->Delivered());
            test::ExpectIndexEqualsDecodedFiles(site->Dir().Path(), site->DecodedFiles());
            int64_t rows = 0;
            const std::multiset<std::string> index = site->IndexRecords(rows);
            const std::multiset<std::string> server = Split(
                pg_.Sql("SELECT encode(raw, 'hex') FROM velk_calls WHERE site = '" +
                        site->Name() + "'"));
            EXPECT_EQ(rows, lines);
            EXPECT_EQ(static_cast<int64_t>(server.size()), lines);
            int lost = 0, twice = 0;
            for (const std::string& raw : index) {
                if (index.count(raw) > server.count(raw))
                    ++lost;
                else if (index.count(raw) < server.count(raw))
                    ++twice;
            }
            EXPECT_TRUE(index == server) << lost << " records of VELK.db missing on the server, "
                                         << twice << " there more often";
            std::printf("%s: %lld decoded lines, %lld rows in VELK.db, %zu on the server; %d kills "
                        "over %d starts\n",
                        site->Name().c_str(), static_cast<long long>(lines),
                        static_cast<long long>(rows), server.size(), site->Kills(),
                        site->Starts());
        }
    }

    test::PgServer pg_;
    std::vector<std::unique_ptr<Site>> sites_;
};

TEST_F(IndexKillTest, KilledAgainAndAgainWhileTheServerStopsAndStartsEveryCallStaysOnce) {
    ASSERT_NO_FATAL_FAILURE(TwoSites(6000, kKills * 4));
    ASSERT_NO_FATAL_FAILURE(KillAndRestart(kKills, [&](int kill) {
        if (kill == kKills / 3) {
            pg_.Stop();
        } else if (kill == kKills / 2) {
            ASSERT_TRUE(pg_.Start());
        } else if (kill == 2 * kKills / 3) {
            pg_.Stop(true);  // as a crash would
        } else if (kill == 5 * kKills / 6) {
            ASSERT_TRUE(pg_.Start());
        }
    }));
    ASSERT_NO_FATAL_FAILURE(Settle());
    ExpectEveryCallOnceEverywhere();
    for (auto& site : sites_)
        EXPECT_GE(site->Kills(), kKills / 3) << site->Name();
}

// The server's processes stopped where they are: connections stay open and nothing answers. The
// collectors say so within the time-out, a SIGTERM ends each within the unit's stop time-out, and
// the kills go on meanwhile.
TEST_F(IndexKillTest, AServerThatStopsAnsweringIsToldAndNeverHoldsUpAStop) {
    const int stopSeconds = UnitStopSeconds();
    ASSERT_GT(stopSeconds, 0);
    ASSERT_NO_FATAL_FAILURE(TwoSites(6000, kKills * 4));
    ASSERT_NO_FATAL_FAILURE(KillAndRestart(kKills, [&](int kill) {
        if (kill == 2 * kKills / 3)
            pg_.Thaw();
        if (kill != kKills / 3)
            return;
        pg_.Freeze();
        // Records arrive; every collector meets the silent server and says so.
        for (auto& site : sites_) {
            if (!site->Running()) {
                ASSERT_NO_FATAL_FAILURE(site->Start());
            }
        }
        for (auto& site : sites_) {
            EXPECT_TRUE(WaitFor(
                [&] { return site->Log().find("Database           not answering since ") !=
                             std::string::npos; },
                (kTimeoutSeconds + 15) * 1000))
                << site->Name() << ": " << site->Log();
        }
        Pause(1000);
        for (auto& site : sites_) {
            const int64_t ms = site->Stop(stopSeconds * 1000);
            EXPECT_GE(ms, 0) << site->Name() << ": not ended within " << stopSeconds << " s";
            std::printf("%s: ended %lld ms after SIGTERM with the server stopped\n",
                        site->Name().c_str(), static_cast<long long>(ms));
        }
    }));
    ASSERT_NO_FATAL_FAILURE(Settle());
    ExpectEveryCallOnceEverywhere();
}

// velk-index rebuild over a long backlog, then VELK.db deleted, while the collector runs and
// records arrive: the collector goes on in the database that is there, reads the record files on
// into it, and the sender follows.
TEST_F(IndexKillTest, ARebuildAndADeletedIndexBesideARunningCollectorLoseNoCall) {
    sites_.push_back(std::make_unique<Site>("Head Office", 2, 6014));
    Site& site = *sites_[0];
    ASSERT_NO_FATAL_FAILURE(site.Settings(pg_.Connection()));
    site.StartBacklog(3000, 71);
    ASSERT_NO_FATAL_FAILURE(site.BacklogDone());
    ASSERT_NO_FATAL_FAILURE(site.StartSimulator(200, 20, 72));
    ASSERT_NO_FATAL_FAILURE(site.Start());
    ASSERT_TRUE(WaitFor([&] { return site.DecodedLines() >= 3020; }, 30000));
    QElapsedTimer took;
    took.start();
    QProcess rebuild;
    rebuild.setStandardOutputFile(QString::fromStdString((site.Dir() / "rebuild.out").string()));
    rebuild.start(kBin + "/velk-index",
                  {"--dir", QString::fromStdString(site.Dir().Path().string()), "rebuild"});
    ASSERT_TRUE(rebuild.waitForFinished(120000));
    EXPECT_EQ(rebuild.exitCode(), 0) << rebuild.readAllStandardError().toStdString();
    std::printf("the rebuild took %lld ms\n", static_cast<long long>(took.elapsed()));
    const int64_t before = site.DecodedLines();
    ASSERT_LT(before, 3160) << "the records stopped arriving before the deletion";
    std::filesystem::remove(site.Dir() / kRecordIndexFile);
    ASSERT_TRUE(WaitFor([&] { return site.DecodedLines() >= before + 40; }, 30000));
    ASSERT_NO_FATAL_FAILURE(Settle());
    ExpectEveryCallOnceEverywhere();
    const std::string log = site.Log();
    EXPECT_EQ(Occurrences(log, "the record index was replaced or deleted while in use"), 1) << log;
    // The rebuild's transactions are waited for: the index never failed.
    EXPECT_EQ(Occurrences(log, "Record index       "), 1) << log;
}

// Another program holds VELK.db's write lock while records arrive: they reach their files but not
// the index, and the collector is killed so. The next start puts them in from the files, with no
// record arriving after it and nothing run by hand.
TEST_F(IndexKillTest, AKillBetweenTheAppendsAndTheIndexCommitLosesNoRow) {
    sites_.push_back(std::make_unique<Site>("Head Office", 2, 6014));
    Site& site = *sites_[0];
    ASSERT_NO_FATAL_FAILURE(site.Settings(pg_.Connection()));
    ASSERT_NO_FATAL_FAILURE(site.StartSimulator(8, 4, 9));
    ASSERT_NO_FATAL_FAILURE(site.Start());
    ASSERT_TRUE(WaitFor([&] { return site.IndexRows() >= 2; }, 20000));
    SqliteRecordIndex holder(site.Dir() / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
    ASSERT_TRUE(holder.Begin()) << holder.ErrorText();
    const int64_t rows = site.IndexRows();
    ASSERT_TRUE(WaitFor([&] { return site.SimulatorDone(); }, 60000));
    ASSERT_TRUE(WaitFor([&] { return site.DecodedLines() == site.Delivered(); }, 10000));
    site.Kill();
    holder.Rollback();
    holder.Close();
    ASSERT_EQ(site.IndexRows(), rows);
    ASSERT_LT(rows, site.DecodedLines());
    EXPECT_NE(site.Log().find("Record index       "), std::string::npos) << site.Log();
    ASSERT_NO_FATAL_FAILURE(Settle());
    ExpectEveryCallOnceEverywhere();
}

// Two collectors set up with one site name: the second sends nothing and says so in its log, its
// status and as an alarm; the first goes on.
TEST_F(IndexKillTest, ASecondCollectorWithASiteNameInUseIsRefusedAndSaysSo) {
    sites_.push_back(std::make_unique<Site>("Head Office", 2, 6014));
    sites_.push_back(std::make_unique<Site>("Head Office", 0, 6013));
    Site& first = *sites_[0];
    Site& second = *sites_[1];
    ASSERT_NO_FATAL_FAILURE(first.Settings(pg_.Connection()));
    ASSERT_NO_FATAL_FAILURE(second.Settings(pg_.Connection()));
    ASSERT_NO_FATAL_FAILURE(first.StartSimulator(10, 0, 11));
    ASSERT_NO_FATAL_FAILURE(first.Start());
    ASSERT_TRUE(WaitFor([&] { return ServerRows("Head Office") == 10; }, 30000));
    NotifySocket notify(second.Dir() / "notify");
    ASSERT_TRUE(notify.Bound());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NOTIFY_SOCKET", QString::fromStdString(notify.Path().string()));
    ASSERT_NO_FATAL_FAILURE(second.StartSimulator(6, 0, 12));
    ASSERT_NO_FATAL_FAILURE(second.Start(env));
    const std::string refused = "refused: another collector sends as site \"Head Office\" since ";
    ASSERT_TRUE(WaitFor([&] { return second.Log().find(refused) != std::string::npos; }, 30000))
        << second.Log();
    ASSERT_TRUE(WaitFor([&] { return second.SimulatorDone() && second.IndexRows() == 6; }, 30000));
    Pause(2500);  // a few more attempts, and the status of the last one
    EXPECT_EQ(Occurrences(second.Log(), refused), 1) << second.Log();
    const std::string alarm = "Database: another collector sends as site \"Head Office\"; this one "
                              "sends nothing until [Database] Site names a site of its own";
    EXPECT_NE(test::ReadFile(second.Dir() / "collector.out").find(alarm), std::string::npos)
        << test::ReadFile(second.Dir() / "collector.out");
    const std::vector<std::string>& statuses = notify.Statuses();
    ASSERT_FALSE(statuses.empty());
    EXPECT_NE(statuses.back().find("Database " + refused), std::string::npos) << statuses.back();
    EXPECT_NE(statuses.back().find(", 6 records waiting"), std::string::npos) << statuses.back();
    EXPECT_NE(statuses.back().find(alarm), std::string::npos) << statuses.back();
    EXPECT_EQ(ServerRows("Head Office"), 10);
    EXPECT_GE(second.Stop(), 0);
    EXPECT_GE(first.Stop(), 0);
    EXPECT_EQ(Occurrences(first.Log(), "Database           "), 1) << first.Log();
}

}  // namespace
}  // namespace velk
