// Collectors sending their records to one PostgreSQL server (started by the test, on a Unix
// socket only): two sites into one database, and a server that goes away in every way while
// records arrive. The record files never notice.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <functional>
#include <map>
#include <sstream>

#include "platform/pg_record_server.h"
#include "platform/sqlite_record_index.h"
#include "link_settings.h"
#include "support/expected_files.h"
#include "support/pg_server.h"
#include "support/event_wait.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

const QString kBin = QStringLiteral(VELK_BIN_DIR);

using test::Pause;
using test::WaitFor;

// The log's lines about the database (what a failed check shows).
std::string DatabaseLines(const std::string& log) {
    std::string lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.find(" Database ") != std::string::npos)
            lines += line + "\n";
    }
    return lines;
}

int Occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// One site: its base directory, its PBX (a simulator on its own port) and its collector.
class Site {
public:
    Site(std::string name, int systemType, int port)
        : name_(std::move(name)), systemType_(systemType), port_(port) {}
    ~Site() {
        for (QProcess* p : {&sim_, &collector_}) {
            p->kill();
            p->waitForFinished();
        }
    }

    void Settings(const std::string& connection) {
        const QStringList args =
            test::SimulatorLinkSettings(dir_.Path()) +
            QStringList{"Server Port index=" + QString::number(systemType_), "AutoReConnection=1",
                        QString::fromStdString("Database/Connection=" + connection),
                        QString::fromStdString("Database/Site=" + name_)};
        ASSERT_EQ(QProcess::execute(kBin + "/velk-settings", args), 0);
    }
    void StartSimulator(int count, int rate, int seed) {
        sim_.setProgram(kBin + "/velk-pbx-sim");
        sim_.setArguments({"--port", QString::number(port_), "--rate", QString::number(rate),
                           "--count", QString::number(count), "--traffic-every", "0", "--seed",
                           QString::number(seed), "--exit-when-done"});
        sim_.start();
        ASSERT_TRUE(sim_.waitForStarted());
        ASSERT_TRUE(sim_.waitForReadyRead(10000));
        simOutput_ = sim_.readAllStandardOutput().toStdString();
    }
    void StartCollector() {
        collector_.setProgram(kBin + "/velk-collector");
        collector_.setWorkingDirectory(QString::fromStdString(dir_.Path().string()));
        collector_.setStandardOutputFile(QString::fromStdString(
            (dir_ / ("collector." + std::to_string(++runs_) + ".out")).string()));
        collector_.start();
        ASSERT_TRUE(collector_.waitForStarted());
    }
    void WaitForSimulator() {
        ASSERT_TRUE(WaitFor([this] {
            simOutput_ += sim_.readAllStandardOutput().toStdString();
            return sim_.state() == QProcess::NotRunning;
        }, 60000)) << name_ << ": the simulator did not finish";
        simOutput_ += sim_.readAllStandardOutput().toStdString();
    }
    void Stop() {
        ::kill(static_cast<pid_t>(collector_.processId()), SIGTERM);
        ASSERT_TRUE(collector_.waitForFinished(30000));
        EXPECT_EQ(collector_.exitCode(), 0);
    }
    void Kill() {
        ::kill(static_cast<pid_t>(collector_.processId()), SIGKILL);
        collector_.waitForFinished(10000);
    }
    // The raw file holds every record the simulator delivered, once, in order.
    void CheckFiles(int calls) {
        test::ExpectedFiles e;
        e.FromSimulator(simOutput_);
        ASSERT_EQ(e.calls, calls) << name_;
        EXPECT_EQ(test::ReadFile(dir_ / "Bill" / "20261208.raw"), e.raw) << name_;
        EXPECT_EQ(test::ReadFile(dir_ / "Bill_Backup" / "20261208.raw"), e.raw) << name_;
    }
    int64_t IndexRows() {
        SqliteRecordIndex index(dir_ / kRecordIndexFile, SqliteRecordIndex::Mode::Read);
        return index.Count();
    }
    std::string Log() const { return test::ReadFile(dir_ / "VELK.LOG"); }
    // Runs velk-report with the arguments; its standard output.
    std::string Report(const QStringList& args) const {
        QProcess p;
        p.setWorkingDirectory(QString::fromStdString(dir_.Path().string()));
        p.start(kBin + "/velk-report", args);
        EXPECT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        return p.readAllStandardOutput().toStdString();
    }

    const std::string& Name() const { return name_; }
    const test::TempDir& Dir() const { return dir_; }

private:
    std::string name_;
    int systemType_;
    int port_;
    test::TempDir dir_;
    QProcess sim_, collector_;
    std::string simOutput_;
    int runs_ = 0;
};

class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pg_.Ok()) << pg_.Error(); }
    // Rows of the site on the server; 0 while there are no tables.
    int64_t ServerRows(const std::string& site) {
        if (pg_.Sql("SELECT to_regclass('velk_calls') IS NULL") == "t")
            return 0;
        return std::stoll(pg_.Sql("SELECT count(*) FROM velk_calls WHERE site = '" + site + "'"));
    }
    bool WaitForServerRows(const std::string& site, int64_t rows, int ms = 60000) {
        return WaitFor([&] { return ServerRows(site) >= rows; }, ms);
    }
    test::PgServer pg_;
};

// "group,calls,answered,total_seconds,average_seconds,longest_seconds" lines summed per group,
// the average left out.
std::map<std::string, std::vector<int64_t>> Totals(const std::vector<std::string>& reports) {
    std::map<std::string, std::vector<int64_t>> sum;
    for (const std::string& report : reports) {
        std::istringstream in(report);
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            std::vector<std::string> cells;
            std::istringstream fields(line);
            for (std::string cell; std::getline(fields, cell, ',');)
                cells.push_back(cell);
            std::vector<int64_t>& s = sum[cells.at(0)];
            s.resize(3);
            s[0] += std::stoll(cells.at(1));
            s[1] += std::stoll(cells.at(2));
            s[2] += std::stoll(cells.at(3));
        }
    }
    return sum;
}

TEST_F(DatabaseTest, TwoSitesSendEveryRecordOnceIntoOneServer) {
    Site a("Head Office", 2, 6014), b("Branch", 0, 6013);
    ASSERT_NO_FATAL_FAILURE(a.Settings(pg_.Connection()));
    ASSERT_NO_FATAL_FAILURE(b.Settings(pg_.Connection()));
    ASSERT_NO_FATAL_FAILURE(a.StartSimulator(40, 0, 5));
    ASSERT_NO_FATAL_FAILURE(b.StartSimulator(25, 0, 6));
    ASSERT_NO_FATAL_FAILURE(a.StartCollector());
    ASSERT_NO_FATAL_FAILURE(b.StartCollector());
    ASSERT_NO_FATAL_FAILURE(a.WaitForSimulator());
    ASSERT_NO_FATAL_FAILURE(b.WaitForSimulator());
    ASSERT_TRUE(WaitForServerRows("Head Office", 40));
    ASSERT_TRUE(WaitForServerRows("Branch", 25));
    Pause(1500);  // nothing more arrives
    EXPECT_EQ(ServerRows("Head Office"), 40);
    EXPECT_EQ(ServerRows("Branch"), 25);
    for (Site* site : {&a, &b}) {
        EXPECT_EQ(site->IndexRows(), ServerRows(site->Name()));
        ASSERT_NO_FATAL_FAILURE(site->Stop());
    }
    a.CheckFiles(40);
    b.CheckFiles(25);

    // The server's report is the two sites' reports added up; one site's is that site's own.
    const QString db = QString::fromStdString(pg_.Connection());
    for (const char* by : {"call-type", "extension", "hour"}) {
        const QStringList args = {"--by", by, "--format", "csv"};
        EXPECT_EQ(Totals({a.Report(QStringList{"--db", db} + args)}),
                  Totals({a.Report(args), b.Report(args)}))
            << by;
        EXPECT_EQ(a.Report(QStringList{"--db", db, "--site", "Branch"} + args), b.Report(args)) << by;
    }
    const auto bySite = Totals({a.Report({"--db", db, "--by", "site", "--format", "csv"})});
    ASSERT_EQ(bySite.size(), 2u);
    EXPECT_EQ(bySite.at("Head Office")[0], 40);
    EXPECT_EQ(bySite.at("Branch")[0], 25);
    // The calls themselves: the site's own list with the site in front.
    const std::string own = a.Report({"--format", "csv"});
    const std::string server = a.Report({"--db", db, "--site", "Head Office", "--format", "csv"});
    std::string expected = "Site,";
    for (size_t at = 0; at < own.size();) {
        const size_t end = own.find('\n', at) + 1;
        expected += (at == 0 ? "" : "Head Office,") + own.substr(at, end - at);
        at = end;
    }
    EXPECT_EQ(server, expected);
}

// A server that goes away while records arrive, in every way it can: the records go on into the
// files and the index, the outage is logged once, and when the server is back every record gets
// there once.
struct Outage;
void PrintTo(const Outage& outage, std::ostream* out);

struct Outage {
    const char* name;
    std::function<void(test::PgServer&)> cause, mend;
    const char* logged;
    int troubleLines;  // the kinds of failure met (a password changed first ends the session)
};

void PrintTo(const Outage& outage, std::ostream* out) {
    *out << outage.name;
}

class DatabaseOutageTest : public DatabaseTest, public ::testing::WithParamInterface<Outage> {};

TEST_P(DatabaseOutageTest, RecordsWaitOnTheSiteAndArriveOnceWhenTheServerIsBack) {
    const Outage& outage = GetParam();
    Site site("Head Office", 2, 6014);
    ASSERT_NO_FATAL_FAILURE(site.Settings(pg_.Connection()));
    ASSERT_NO_FATAL_FAILURE(site.StartSimulator(30, 8, 7));
    ASSERT_NO_FATAL_FAILURE(site.StartCollector());
    ASSERT_TRUE(WaitForServerRows("Head Office", 1));
    outage.cause(pg_);
    ASSERT_NO_FATAL_FAILURE(site.WaitForSimulator());
    ASSERT_TRUE(WaitFor([&] { return site.IndexRows() == 30; }, 20000));
    Pause(1500);
    ASSERT_NO_FATAL_FAILURE(site.CheckFiles(30));
    if (pg_.Running()) {
        const int64_t before = ServerRows("Head Office");
        EXPECT_LT(before, 30);
    }
    const std::string during = site.Log();
    EXPECT_EQ(Occurrences(during, "Database           " + std::string(outage.logged)), 1)
        << DatabaseLines(during);

    outage.mend(pg_);
    ASSERT_TRUE(WaitForServerRows("Head Office", 30, 90000));
    Pause(1500);
    EXPECT_EQ(ServerRows("Head Office"), 30);
    ASSERT_NO_FATAL_FAILURE(site.Stop());
    const std::string log = site.Log();
    EXPECT_EQ(Occurrences(log, std::string(outage.logged)), 1) << DatabaseLines(log);
    EXPECT_EQ(Occurrences(log, "Database           reachable again, "), 1) << DatabaseLines(log);
    // Sending begins, each kind of failure, back again.
    EXPECT_EQ(Occurrences(log, "Database           "), 2 + outage.troubleLines)
        << DatabaseLines(log);
}

const Outage kOutages[] = {
    {"ServerStopped", [](test::PgServer& pg) { pg.Stop(); },
     [](test::PgServer& pg) { ASSERT_TRUE(pg.Start()); }, "unreachable since ", 1},
    {"PasswordChanged",
     [](test::PgServer& pg) {
         pg.Sql("ALTER ROLE velk PASSWORD 'changed'", "postgres");
         pg.Sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE usename = 'velk'",
                "postgres");
     },
     [](test::PgServer& pg) {
         pg.Sql("ALTER ROLE velk PASSWORD '" + std::string(test::PgServer::kPassword) + "'",
                "postgres");
     },
     "refuses the login since ", 2},
    {"TableReadOnly", [](test::PgServer& pg) { pg.Sql("REVOKE INSERT ON velk_calls FROM velk"); },
     [](test::PgServer& pg) { pg.Sql("GRANT INSERT ON velk_calls TO velk"); },
     "refuses the records since ", 1},
};

INSTANTIATE_TEST_SUITE_P(EveryWay, DatabaseOutageTest, ::testing::ValuesIn(kOutages),
                         [](const ::testing::TestParamInfo<Outage>& p) {
                             return std::string(p.param.name);
                         });

TEST_F(DatabaseTest, ACollectorKilledInTheMiddleOfABatchSendsNothingTwice) {
    Site site("Head Office", 2, 6014);
    ASSERT_NO_FATAL_FAILURE(site.Settings(pg_.Connection()));
    // A backlog of records in the index, from before the database was set up.
    constexpr int kRows = 30000;
    {
        SqliteRecordIndex index(site.Dir() / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
        std::vector<IndexRow> rows(kRows);
        for (int i = 0; i < kRows; ++i) {
            rows[i].values[3] = std::string("2041");
            rows[i].values[4] = std::string("2026-12-08 10:00:00");
            rows[i].values[32] = int64_t{i % 300};
            rows[i].raw = "0A052" + std::to_string(i) + "7F";
        }
        ASSERT_TRUE(index.Add(rows));
    }
    // Each batch stays half a second inside its transaction on the server, so that the kill
    // below meets one there however fast the server takes the rows.
    {
        PgRecordServer tables(pg_.Connection());
        ASSERT_TRUE(tables.Open()) << tables.ErrorText();
    }
    pg_.Sql("CREATE FUNCTION slow_batch() RETURNS trigger LANGUAGE plpgsql AS "
            "$$ BEGIN PERFORM pg_sleep(0.5); RETURN NULL; END $$; "
            "CREATE TRIGGER slow_batch AFTER INSERT ON velk_calls "
            "FOR EACH STATEMENT EXECUTE FUNCTION slow_batch()");
    ASSERT_EQ(pg_.Sql("SELECT count(*) FROM pg_trigger WHERE tgname = 'slow_batch'"), "1");
    ASSERT_NO_FATAL_FAILURE(site.StartCollector());
    // Killed while its session is inside a transaction, after a batch or more arrived.
    ASSERT_TRUE(WaitFor([&] {
        return ServerRows("Head Office") > 0 &&
               pg_.Sql("SELECT count(*) FROM pg_stat_activity WHERE usename = 'velk' AND "
                       "xact_start IS NOT NULL AND query ~ '^(COPY|INSERT INTO velk_calls)'") != "0";
    }, 60000));
    site.Kill();
    const int64_t kept = ServerRows("Head Office");
    EXPECT_LT(kept, kRows);
    EXPECT_EQ(kept % 5000, 0) << "only whole batches are kept";

    ASSERT_NO_FATAL_FAILURE(site.StartCollector());
    ASSERT_TRUE(WaitForServerRows("Head Office", kRows));
    Pause(1500);
    EXPECT_EQ(ServerRows("Head Office"), kRows);
    EXPECT_EQ(pg_.Sql("SELECT through_id FROM velk_sites WHERE site = 'Head Office'"),
              std::to_string(kRows));
    ASSERT_NO_FATAL_FAILURE(site.Stop());
}

TEST_F(DatabaseTest, AWrongPasswordIsSaidClearlyAndTheRecordFilesAreWrittenAsBefore) {
    Site site("Head Office", 2, 6014);
    ASSERT_NO_FATAL_FAILURE(site.Settings(pg_.WrongPasswordConnection()));
    ASSERT_NO_FATAL_FAILURE(site.StartSimulator(10, 0, 8));
    ASSERT_NO_FATAL_FAILURE(site.StartCollector());
    ASSERT_NO_FATAL_FAILURE(site.WaitForSimulator());
    ASSERT_TRUE(WaitFor([&] { return site.IndexRows() == 10; }, 20000));
    Pause(1500);
    ASSERT_NO_FATAL_FAILURE(site.Stop());
    site.CheckFiles(10);
    EXPECT_EQ(ServerRows("Head Office"), 0);
    const std::string log = site.Log();
    EXPECT_EQ(Occurrences(log, "Database           refuses the login since "), 1)
        << DatabaseLines(log);
    EXPECT_EQ(Occurrences(log, "password authentication failed for user \"velk\""), 1)
        << DatabaseLines(log);
    const std::string out = test::ReadFile(site.Dir() / "collector.1.out");
    EXPECT_NE(out.find("Database refuses the login since "), std::string::npos) << out;
}

}  // namespace
}  // namespace velk
