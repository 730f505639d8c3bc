// The sender's side of the database server, against a real PostgreSQL server the test starts.
#include "platform/pg_record_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/archive/call_report.h"
#include "core/foundation/database_settings.h"
#include "platform/pg_record_index.h"
#include "platform/pq_connection_reader.h"
#include "platform/sqlite_record_index.h"
#include "support/pg_server.h"

namespace velk {
namespace {

// A row whose fields hold what the copy has to carry: texts with every escaped byte, a number
// field cut to text, absent fields, a raw message with 8-bit bytes.
IndexRow Row(int64_t id, const std::string& start, const std::string& calling,
             int64_t duration = 60) {
    IndexRow row;
    row.id = id;
    row.values[3] = calling;
    row.values[4] = start;
    row.values[6] = std::string("00\\44\t1\r\n2");
    row.values[9] = int64_t{3};
    row.values[14] = std::string("-");  // a number field that did not read as one
    row.values[32] = duration;
    row.values[kAnsweredColumn] = int64_t{1};
    row.raw = "052" + calling + start + std::string("\xe9\x80\x01", 3) + "7F";
    row.storedAt = 1'796'000'000;
    row.source = RecordSource::Import;
    return row;
}

class PgRecordServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pg.Ok()) << pg.Error(); }
    ShipMark MarkOf(const std::vector<IndexRow>& rows) {
        return {rows.back().id, ShipFingerprint(rows.back())};
    }
    test::PgServer pg;
};

TEST_F(PgRecordServerTest, MakesItsTablesOnFirstContactAndKeepsEveryRecordOnce) {
    PgRecordServer server(pg.Connection());
    ASSERT_TRUE(server.Open()) << server.ErrorText();
    EXPECT_EQ(pg.Sql("SELECT version FROM velk_schema"), "1");
    EXPECT_EQ(server.Mark("Site A"), ShipMark{});

    std::vector<IndexRow> rows = {Row(1, "2026-11-30 23:59:59", "2041"),
                                  Row(2, "2026-12-01 00:00:00", "2042"),
                                  Row(3, "2026-02-30 10:00:00", "2043")};  // no such day
    ASSERT_TRUE(server.Ship("Site A", 2, rows, {}, MarkOf(rows))) << server.ErrorText();
    EXPECT_EQ(server.LastAdded(), 3);
    EXPECT_EQ(server.Mark("Site A"), MarkOf(rows));
    EXPECT_EQ(pg.Sql("SELECT relname FROM pg_class WHERE relname LIKE 'velk_calls_%' AND "
                     "relkind = 'r' ORDER BY 1"),
              "velk_calls_1970_01\nvelk_calls_2026_11\nvelk_calls_2026_12");
    EXPECT_EQ(pg.Sql("SELECT concat_ws('|', site, started, occurrence, local_id, "
                     "calling_phone_number, dialled_phone_number, call_type, "
                     "called_tenant_group IS NULL, duration, answered, encode(raw, 'hex'), "
                     "hex_type, system_type, source, extract(epoch FROM stored_at)::bigint) "
                     "FROM velk_calls WHERE local_id = 2"),
              "Site A|2026-12-01 00:00:00|0|2|2042|00\\44\t1\r\n2|3|t|60|1|"
              "30353232303432323032362d31322d30312030303a30303a3030e980013746|1|2|2|1796000000");

    // The same batch again (a lost reply, a rebuilt index): nothing is added.
    ASSERT_TRUE(server.Ship("Site A", 2, rows, MarkOf(rows), MarkOf(rows)));
    EXPECT_EQ(server.LastAdded(), 0);
    // The same records are another site's own.
    ASSERT_TRUE(server.Ship("Site B", 2, rows, {}, MarkOf(rows)));
    EXPECT_EQ(server.LastAdded(), 3);
    // An identical record stored again is a record of its own.
    std::vector<IndexRow> again = {Row(4, "2026-12-01 00:00:00", "2042")};
    again[0].occurrence = 1;
    ASSERT_TRUE(server.Ship("Site A", 2, again, MarkOf(rows), MarkOf(again)));
    EXPECT_EQ(pg.Sql("SELECT site || ' ' || count(*) FROM velk_calls GROUP BY site ORDER BY 1"),
              "Site A 4\nSite B 3");
}

TEST_F(PgRecordServerTest, AMarkMovesOnlyFromWhereItIs) {
    PgRecordServer server(pg.Connection());
    std::vector<IndexRow> rows = {Row(1, "2026-12-01 10:00:00", "2041")};
    ASSERT_TRUE(server.Ship("Site A", 0, rows, {}, MarkOf(rows)));
    std::vector<IndexRow> next = {Row(2, "2026-12-01 11:00:00", "2041")};
    EXPECT_FALSE(server.Ship("Site A", 0, next, {}, MarkOf(next)));
    EXPECT_EQ(server.Fault(), ServerFault::Conflict);
    EXPECT_NE(server.ErrorText().find("same site name"), std::string::npos) << server.ErrorText();
    EXPECT_EQ(pg.Sql("SELECT count(*) FROM velk_calls"), "1");
    EXPECT_EQ(server.Mark("Site A"), MarkOf(rows));

    // Moved from where it is, the mark is the new row's, its fingerprint too: the next batch
    // goes on from there.
    ASSERT_TRUE(server.Ship("Site A", 0, next, MarkOf(rows), MarkOf(next))) << server.ErrorText();
    EXPECT_EQ(server.Mark("Site A"), MarkOf(next));
    std::vector<IndexRow> third = {Row(3, "2026-12-01 12:00:00", "2041")};
    EXPECT_TRUE(server.Ship("Site A", 0, third, MarkOf(next), MarkOf(third))) << server.ErrorText();
}

TEST_F(PgRecordServerTest, FaultsAreToldApartAndKeepNothingHalfDone) {
    const std::vector<IndexRow> rows = {Row(1, "2026-12-01 10:00:00", "2041")};
    {
        PgRecordServer first(pg.Connection());
        ASSERT_TRUE(first.Open());
    }
    struct Case {
        const char* name;
        std::function<std::string()> before;  // makes the fault, answers the connection
        ServerFault fault;
        const char* text;
        std::function<void()> after;
    };
    const Case cases[] = {
        {"wrong password", [&] { return pg.WrongPasswordConnection(); }, ServerFault::LoginRefused,
         "password authentication failed for user \"velk\"", [] {}},
        {"no such role", [&] { return "host=" + pg.SocketDirectory().string() + " dbname=velk user=nobody"; },
         ServerFault::LoginRefused, "role \"nobody\" does not exist", [] {}},
        {"no server", [&] { return std::string("host=/nonexistent dbname=velk"); },
         ServerFault::Unreachable, "/nonexistent/.s.PGSQL.5432", [] {}},
        {"newer tables",
         [&] {
             pg.Sql("UPDATE velk_schema SET version = 2");
             return pg.Connection();
         },
         ServerFault::Schema,
         "VELK tables of schema version 2, this VELK uses version 1 (a newer VELK made them); "
         "they are left as they are",
         [&] { pg.Sql("UPDATE velk_schema SET version = 1"); }},
        {"read-only table",
         [&] {
             pg.Sql("REVOKE INSERT ON velk_calls FROM velk");
             return pg.Connection();
         },
         ServerFault::Refused, "permission denied for table velk_calls",
         [&] { pg.Sql("GRANT INSERT ON velk_calls TO velk"); }},
    };
    for (const Case& c : cases) {
        PgRecordServer server(c.before());
        const bool shipped = server.Ship("Site A", 0, rows, {}, MarkOf(rows));
        EXPECT_FALSE(shipped) << c.name;
        EXPECT_EQ(server.Fault(), c.fault) << c.name << ": " << server.ErrorText();
        EXPECT_NE(server.ErrorText().find(c.text), std::string::npos)
            << c.name << ": " << server.ErrorText();
        EXPECT_EQ(pg.Sql("SELECT count(*) FROM velk_calls"), "0") << c.name;
        EXPECT_EQ(pg.Sql("SELECT count(*) FROM velk_sites"), "0") << c.name;
        c.after();
    }
    // With everything mended the same server object goes on.
    PgRecordServer server(pg.Connection());
    EXPECT_TRUE(server.Ship("Site A", 0, rows, {}, MarkOf(rows))) << server.ErrorText();
}

TEST_F(PgRecordServerTest, AServerThatGoesAwayIsUnreachableAndTheNextContactGoesOn) {
    PgRecordServer server(pg.Connection());
    ASSERT_TRUE(server.Open());
    pg.Stop(true);
    const std::vector<IndexRow> rows = {Row(1, "2026-12-01 10:00:00", "2041")};
    EXPECT_FALSE(server.Ship("Site A", 0, rows, {}, MarkOf(rows)));
    EXPECT_EQ(server.Fault(), ServerFault::Unreachable) << server.ErrorText();
    EXPECT_FALSE(server.Open());
    EXPECT_EQ(server.Fault(), ServerFault::Unreachable) << server.ErrorText();
    ASSERT_TRUE(pg.Start());
    EXPECT_TRUE(server.Ship("Site A", 0, rows, {}, MarkOf(rows))) << server.ErrorText();
    EXPECT_EQ(server.Fault(), ServerFault::None);
}

}  // namespace
}  // namespace velk

namespace velk {
namespace {

// Rows of several extensions, months, call types and durations, one of them unknown.
std::vector<IndexRow> VariedRows(int n) {
    std::vector<IndexRow> rows;
    for (int i = 1; i <= n; ++i) {
        char start[32];
        std::snprintf(start, sizeof start, "2026-%02d-%02d %02d:%02d:00", 11 + i % 2, 1 + i % 28,
                      i % 24, i % 60);
        IndexRow row = Row(0, start, "20" + std::to_string(41 + i % 5), (i * 37) % 400 - 20);
        row.values[6] = std::string(i % 3 == 0 ? "00" : "0") + std::to_string(7000 + i);
        row.values[9] = int64_t{i % 4};
        row.values[kTrunkColumn] = int64_t{100 + i % 3};
        row.values[kAnsweredColumn] = int64_t{i % 2};
        if (i % 7 == 0)
            row.values[32] = std::string("???:??:??");
        rows.push_back(row);
    }
    return rows;
}

// A server whose processes stop answering (SIGSTOP: the connection stays open, nothing comes
// back) is not waited for longer than the time-out, connected or connecting; and a program that
// stops ends any wait at once, even one without a time-out.
TEST_F(PgRecordServerTest, AServerThatStopsAnsweringIsToldWithinTheTimeOutAndAStopEndsTheWait) {
    using Clock = std::chrono::steady_clock;
    const auto seconds = [](Clock::time_point since) {
        return std::chrono::duration<double>(Clock::now() - since).count();
    };
    // The time-out bounds the connection too: nothing in the connection string says so.
    PgRecordServer server(pg.Connection());
    server.SetTimeout(2);
    ASSERT_TRUE(server.Open()) << server.ErrorText();
    std::vector<IndexRow> rows = {Row(1, "2026-12-01 10:00:00", "2041")};
    ASSERT_TRUE(server.Ship("Site A", 2, rows, {}, MarkOf(rows))) << server.ErrorText();
    pg.Freeze();
    auto start = Clock::now();
    EXPECT_FALSE(server.Mark("Site A"));
    EXPECT_EQ(server.Fault(), ServerFault::NotAnswering);
    EXPECT_EQ(server.ErrorText(),
              "cannot read the site's mark: the server did not answer within 2 s");
    EXPECT_GE(seconds(start), 1.9);
    EXPECT_LT(seconds(start), 6.0);
    // Connecting anew: the server takes the connection, and answers nothing.
    start = Clock::now();
    EXPECT_FALSE(server.Open());
    EXPECT_EQ(server.Fault(), ServerFault::NotAnswering);
    EXPECT_EQ(server.ErrorText(), "cannot connect: the server did not answer within 2 s");
    EXPECT_LT(seconds(start), 6.0);

    // No time-out at all, and the program stops: the wait ends at once.
    PgRecordServer patient(pg.Connection());
    pg.Thaw();
    ASSERT_TRUE(patient.Open()) << patient.ErrorText();
    pg.Freeze();
    start = Clock::now();
    std::atomic<bool> done{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        patient.Interrupt();
        // Should the stop not end the wait, the server answering again does, and the checks
        // below say so.
        for (int i = 0; i < 100 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!done)
            pg.Thaw();
    });
    EXPECT_FALSE(patient.Mark("Site A"));
    done = true;
    stopper.join();
    EXPECT_EQ(patient.Fault(), ServerFault::Unreachable);
    EXPECT_LT(seconds(start), 3.0);
    pg.Thaw();
    // Back: the next contact goes on.
    ASSERT_TRUE(server.Open()) << server.ErrorText();
    EXPECT_EQ(server.Mark("Site A"), MarkOf(rows));
}

// The server holds a record as a site's when its message and start are there under that site.
TEST_F(PgRecordServerTest, HoldsSaysWhetherTheSiteHasAnyOfTheRecords) {
    PgRecordServer server(pg.Connection());
    std::vector<IndexRow> rows = {Row(1, "2026-12-01 10:00:00", "2041"),
                                  Row(2, "2026-12-01 10:05:00", "2042")};
    ASSERT_TRUE(server.Ship("Site A", 2, rows, {}, MarkOf(rows))) << server.ErrorText();
    const IndexRow other = Row(7, "2026-12-01 10:00:00", "3000");
    EXPECT_EQ(server.Holds("Site A", {other, rows[1]}), std::optional<bool>(true));
    EXPECT_EQ(server.Holds("Site A", {other}), std::optional<bool>(false));
    EXPECT_EQ(server.Holds("Site B", rows), std::optional<bool>(false));
    IndexRow moved = rows[0];
    moved.values[4] = std::string("2026-12-01 10:00:01");
    EXPECT_EQ(server.Holds("Site A", {moved}), std::optional<bool>(false));
}

TEST_F(PgRecordServerTest, TheServerAnswersLikeTheSitesOwnIndex) {
    test::TempDir dir;
    SqliteRecordIndex local(dir / "VELK.db", SqliteRecordIndex::Mode::Write);
    std::vector<IndexRow> rows = VariedRows(60);
    ASSERT_TRUE(local.Add(rows));
    PgRecordServer server(pg.Connection());
    ASSERT_TRUE(server.Ship("Site A", 0, rows, {}, MarkOf(rows)));
    // Another site's calls are not this site's.
    std::vector<IndexRow> other = VariedRows(7);
    ASSERT_TRUE(server.Ship("Site B", 0, other, {}, {7, ShipFingerprint(other.back())}));

    PgRecordIndex siteA(pg.Connection(), "Site A"), all(pg.Connection(), "");
    std::string why;
    // Both ends fall on calls: rows 10 and 19.
    const auto start = StartBetween("2026-11-11 10:10:00", "2026-12-20 19:19:00", why);
    ASSERT_TRUE(start) << why;
    std::vector<CellProblem> problems;
    const CallQuery none = CallQuery::Read({}, problems);
    const CallQuery some = CallQuery::Read(
        {{{3, "204?"}, {32, ">000.01.40"}}, {{9, "Unknown"}}, {{6, "00?"}, {0, ">0"}}}, problems);
    ASSERT_TRUE(problems.empty()) << problems[0].why;
    for (const CallQuery* query : {&none, &some}) {
        for (const std::optional<CellCondition>& when : {std::optional<CellCondition>(), start}) {
            for (ReportBy by : {ReportBy::Extension, ReportBy::Trunk, ReportBy::CallType,
                                ReportBy::DialledPrefix, ReportBy::Hour, ReportBy::Day}) {
                std::string e1, e2;
                const auto want = ReportTotals(local, by, 3, *query, when, e1);
                const auto got = ReportTotals(siteA, by, 3, *query, when, e2);
                ASSERT_TRUE(want && got) << e1 << e2;
                EXPECT_EQ(*got, *want) << static_cast<int>(by);
            }
            const FoundCalls want = FindCalls(local, *query, when, 1000);
            const FoundCalls got = FindCalls(siteA, *query, when, 1000);
            ASSERT_TRUE(got.ok) << got.error;
            EXPECT_GT(want.count, 0);
            EXPECT_EQ(got.count, want.count);
            EXPECT_EQ(got.totalSeconds, want.totalSeconds);
            ASSERT_EQ(got.rows.size(), want.rows.size());
            for (size_t i = 0; i < got.rows.size(); ++i) {
                EXPECT_EQ(got.rows[i].raw, want.rows[i].raw);
                EXPECT_EQ(got.rows[i].site, "Site A");
            }
        }
    }
    std::string error;
    const auto bySite = ReportTotals(all, ReportBy::Site, 3, none, std::nullopt, error);
    ASSERT_TRUE(bySite) << error;
    ASSERT_EQ(bySite->size(), 2u);
    EXPECT_EQ((*bySite)[0].group, "Site A");
    EXPECT_EQ((*bySite)[0].calls, 60);
    EXPECT_EQ((*bySite)[1].group, "Site B");
    EXPECT_EQ((*bySite)[1].calls, 7);
}

}  // namespace
}  // namespace velk

namespace velk {
namespace {

// Every spelling of a password in a connection, and what libpq's messages make of them: the
// password never reaches an error text (the log), and the settings refuse every one of them.
TEST_F(PgRecordServerTest, APasswordNeverReachesAnErrorText) {
    const std::string host = pg.SocketDirectory().string();
    const std::string secret = test::PgServer::kPassword;
    const std::vector<std::string> connections = {
        " postgresql://velk:" + secret + "@/velk?host=" + host,
        "POSTGRESQL://velk:" + secret + "@/velk?host=" + host,
        "postgresql://velk:" + secret + "x@/velk?host=" + host,
        "postgresql://velk:" + secret + "?x@/velk?host=" + host,
        "host=" + host + " dbname=velk user=velk PASSWORD=" + secret,
        "host=" + host + " dbname=velk user=velk password='" + secret + "x'",
        "postgresql:///velk?host=" + host + "&user=velk&pass%77ord=" + secret + "x",
    };
    for (const std::string& connection : connections) {
        PgRecordServer server(connection);
        EXPECT_FALSE(server.Open()) << connection;
        EXPECT_NE(server.ErrorText(), "") << connection;
        EXPECT_EQ(server.ErrorText().find(secret), std::string::npos) << server.ErrorText();
        AppSettings settings;
        settings.Database_Connection = connection;
        settings.Site_Name = "Site A";
        const std::string refusal = DatabaseSettingsRefusal(settings, PqConnectionReader());
        EXPECT_EQ(refusal.rfind("the connection of [Database] in VELK.INI ", 0), 0u) << refusal;
        EXPECT_EQ(refusal.find(secret), std::string::npos) << refusal;
    }
    // The right password in the connection is a password too, however well it works.
    AppSettings settings;
    settings.Database_Connection = "postgresql://velk:" + secret + "@/velk?host=" + host;
    settings.Site_Name = "Site A";
    EXPECT_NE(DatabaseSettingsRefusal(settings, PqConnectionReader()).find("holds a password"),
              std::string::npos);
    settings.Database_Connection = pg.Connection();
    EXPECT_EQ(DatabaseSettingsRefusal(settings, PqConnectionReader()), "");
}

// Site names reach the server as the operator wrote them; record texts keep their bytes.
TEST_F(PgRecordServerTest, SiteNamesArriveAsWrittenAndRecordTextsKeepTheirBytes) {
    const std::string zurich = "Branch Z\xc3\xbcrich";
    PgRecordServer server(pg.Connection());
    std::vector<IndexRow> rows = {Row(1, "2026-12-01 10:00:00",
                                      "20\xe9"
                                      "41"),
                                  Row(2, "2026-12-01 11:00:00", "2042")};
    ASSERT_TRUE(server.Ship(zurich, 0, rows, {}, MarkOf(rows))) << server.ErrorText();
    EXPECT_EQ(pg.Sql("SELECT site FROM velk_sites"), zurich);
    EXPECT_EQ(pg.Sql("SELECT count(*) FROM velk_calls WHERE site = 'Branch Zürich'"), "2");
    EXPECT_EQ(pg.Sql("SELECT calling_phone_number FROM velk_calls WHERE local_id = 1"),
              "20\xc3\xa9"
              "41");  // the record's byte 0xE9 is 'é' on the server
    EXPECT_EQ(server.Mark(zurich), MarkOf(rows));

    PgRecordIndex index(pg.Connection(), zurich);
    std::vector<CellProblem> problems;
    const FoundCalls found = FindCalls(index, CallQuery::Read({}, problems), std::nullopt, 10);
    ASSERT_TRUE(found.ok) << found.error;
    ASSERT_EQ(found.count, 2);
    EXPECT_EQ(found.rows[0].site, zurich);
    EXPECT_EQ(found.rows[0].Field(3), IndexValue(std::string("20\xe9"
                                                             "41")));
    std::string error;
    const auto bySite =
        ReportTotals(index, ReportBy::Site, 3, CallQuery::Read({}, problems), std::nullopt, error);
    ASSERT_TRUE(bySite) << error;
    ASSERT_EQ(bySite->size(), 1u);
    EXPECT_EQ(bySite->front().group, zurich);
    const auto byExtension = ReportTotals(index, ReportBy::Extension, 3,
                                          CallQuery::Read({}, problems), std::nullopt, error);
    ASSERT_TRUE(byExtension) << error;
    ASSERT_EQ(byExtension->size(), 2u);
    EXPECT_EQ((*byExtension)[0].group, "2042");
    EXPECT_EQ((*byExtension)[1].group,
              "20\xe9"
              "41");
}

// A site an earlier VELK sent under its garbled name (each byte of its UTF-8 taken for a
// Latin-1 character) takes its name at the next contact, rows and mark alike: nothing is sent
// again under the new name.
TEST_F(PgRecordServerTest, ASiteSentUnderItsGarbledNameTakesItsName) {
    const std::string zurich = "Branch Z\xc3\xbcrich";
    const std::string garbled = "Branch Z\xc3\x83\xc2\xbcrich";
    PgRecordServer server(pg.Connection());
    std::vector<IndexRow> rows = {Row(1, "2026-12-01 10:00:00", "2041")};
    ASSERT_TRUE(server.Ship(garbled, 0, rows, {}, MarkOf(rows)));
    ASSERT_TRUE(server.Ship("Other", 0, rows, {}, MarkOf(rows)));
    EXPECT_EQ(server.Mark(zurich), MarkOf(rows));
    EXPECT_EQ(pg.Sql("SELECT site FROM velk_sites ORDER BY 1"), zurich + "\nOther");
    EXPECT_EQ(pg.Sql("SELECT site || ' ' || count(*) FROM velk_calls GROUP BY site ORDER BY 1"),
              zurich + " 1\nOther 1");
    std::vector<IndexRow> next = {Row(2, "2026-12-01 11:00:00", "2041")};
    ASSERT_TRUE(server.Ship(zurich, 0, next, MarkOf(rows), MarkOf(next))) << server.ErrorText();
    EXPECT_EQ(pg.Sql("SELECT count(*) FROM velk_calls WHERE site = 'Branch Zürich'"), "2");
}

// Rows in five months, one garbled start among them (filed under 1970).
std::vector<IndexRow> MonthRows() {
    std::vector<IndexRow> rows;
    int id = 0;
    for (const char* start : {"2026-10-15 10:00:00", "2026-11-30 23:59:59", "2026-12-01 00:00:00",
                              "2026-12-01 A0:15:00", "2026-12-01 z0:15:00", "2026-12-31 23:59:59",
                              "2027-01-01 00:00:00", "2027-02-01 08:00:00"}) {
        ++id;
        rows.push_back(Row(id, start, "2041", 10 * id));
    }
    return rows;
}

// The server's plan for a month: the partitions of that month and of the garbled starts only.
TEST_F(PgRecordServerTest, AMonthsReportReadsThatMonthsPartitionOnly) {
    PgRecordServer server(pg.Connection());
    const std::vector<IndexRow> rows = MonthRows();
    ASSERT_TRUE(server.Ship("Site A", 0, rows, {}, MarkOf(rows)));
    PgDatabase db(pg.Connection());
    ASSERT_TRUE(db.Open(false)) << db.ErrorText();
    const auto plan = [&](const PgStatement& s) {
        std::vector<const char*> parameters;
        for (const std::string& p : s.parameters)
            parameters.push_back(p.c_str());
        PgDatabase::Result r;
        EXPECT_TRUE(db.Run("EXPLAIN " + s.sql, parameters, &r, "explain")) << db.ErrorText();
        std::string text;
        for (int i = 0; i < r.Rows(); ++i)
            text += r.Text(i, 0) + "\n";
        return text;
    };
    std::string why;
    const auto december = StartBetween("2026-12-01", "2026-12-31", why);
    ASSERT_TRUE(december) << why;
    const IndexRange range = december->Ranges().front();
    IndexFilter filter;
    filter.common = december->Ranges();
    filter.byStart = true;
    for (const std::string& text :
         {plan(PgTotalsStatement(ReportBy::Day, 3, "Site A", IndexValueText(range.low),
                                 IndexValueText(range.high))),
          plan(PgSelectStatement(filter, "Site A"))}) {
        EXPECT_NE(text.find("velk_calls_2026_12"), std::string::npos) << text;
        EXPECT_NE(text.find("velk_calls_1970_01"), std::string::npos) << text;
        for (const char* other : {"velk_calls_2026_10", "velk_calls_2026_11", "velk_calls_2027_01",
                                  "velk_calls_2027_02"})
            EXPECT_EQ(text.find(other), std::string::npos) << other << "\n" << text;
    }

    // And the month's figures are those of the site's own index, garbled starts included.
    test::TempDir dir;
    SqliteRecordIndex local(dir / "VELK.db", SqliteRecordIndex::Mode::Write);
    std::vector<IndexRow> copy = rows;
    ASSERT_TRUE(local.Add(copy));
    PgRecordIndex siteA(pg.Connection(), "Site A");
    std::vector<CellProblem> problems;
    const CallQuery none = CallQuery::Read({}, problems);
    for (const auto& [from, to] : std::vector<std::pair<const char*, const char*>>{
             {"2026-12-01", "2026-12-31"},
             {"2026-12-01 08:00:00", "2026-12-01"},
             {"2026-11-30 23:59:59", "2027-01-01 00:00:00"},
             {"2026-12-01", ""}}) {
        const auto when = StartBetween(from, to, why);
        ASSERT_TRUE(when) << why;
        std::string e1, e2;
        const auto want = ReportTotals(local, ReportBy::Day, 3, none, when, e1);
        const auto got = ReportTotals(siteA, ReportBy::Day, 3, none, when, e2);
        ASSERT_TRUE(want && got) << e1 << e2;
        EXPECT_EQ(*got, *want) << from << " " << to;
        const FoundCalls wantCalls = FindCalls(local, none, when, 100);
        const FoundCalls gotCalls = FindCalls(siteA, none, when, 100);
        EXPECT_EQ(gotCalls.count, wantCalls.count) << from << " " << to;
        ASSERT_EQ(gotCalls.rows.size(), wantCalls.rows.size());
        for (size_t i = 0; i < gotCalls.rows.size(); ++i)
            EXPECT_EQ(gotCalls.rows[i].raw, wantCalls.rows[i].raw) << from << " " << to;
    }
    const auto day = StartBetween("2026-12-01", "2026-12-01", why);
    EXPECT_EQ(FindCalls(siteA, none, day, 100).count, 3);
}

// On a server whose collation orders texts by language, the narrowing still holds every start
// the exact rule takes.
TEST_F(PgRecordServerTest, StartsAreComparedByteByByteWhateverTheServersCollation) {
    pg.Sql(
        "CREATE DATABASE velk_icu OWNER velk TEMPLATE template0 ENCODING 'UTF8' "
        "LOCALE_PROVIDER icu ICU_LOCALE 'en-US' LOCALE 'C'",
        "postgres");
    std::string connection = pg.Connection();
    connection.replace(connection.find("dbname=velk"), 11, "dbname=velk_icu");
    PgRecordServer server(connection);
    const std::vector<IndexRow> rows = MonthRows();
    ASSERT_TRUE(server.Ship("Site A", 0, rows, {}, MarkOf(rows))) << server.ErrorText();
    PgRecordIndex siteA(connection, "Site A");
    std::vector<CellProblem> problems;
    std::string why;
    const auto day = StartBetween("2026-12-01", "2026-12-01", why);
    const FoundCalls found = FindCalls(siteA, CallQuery::Read({}, problems), day, 100);
    ASSERT_TRUE(found.ok) << found.error;
    EXPECT_EQ(found.count, 3);
    std::string error;
    const auto totals =
        ReportTotals(siteA, ReportBy::Day, 3, CallQuery::Read({}, problems), day, error);
    ASSERT_TRUE(totals) << error;
    ASSERT_EQ(totals->size(), 1u);
    EXPECT_EQ(totals->front().calls, 3);
}

// The server's notices (two sites making the tables at once get "already exists, skipping")
// reach no console.
TEST_F(PgRecordServerTest, TheServersNoticesReachNoConsole) {
    PgDatabase db(pg.Connection());
    ASSERT_TRUE(db.Open(true)) << db.ErrorText();
    std::fflush(stderr);
    std::fflush(stdout);
    test::TempDir dir;
    const int saved[2] = {::dup(1), ::dup(2)};
    const int file = ::open((dir / "console").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(file, 1);
    ::dup2(file, 2);
    const bool ran = db.Run(
        "CREATE TABLE IF NOT EXISTS velk_sites (site text); "
        "DROP TABLE IF EXISTS velk_no_such_table",
        "notices");
    std::fflush(stderr);
    std::fflush(stdout);
    ::dup2(saved[0], 1);
    ::dup2(saved[1], 2);
    ::close(saved[0]);
    ::close(saved[1]);
    ::close(file);
    EXPECT_TRUE(ran) << db.ErrorText();
    EXPECT_EQ(test::ReadFile(dir / "console"), "");
}

}  // namespace
}  // namespace velk
