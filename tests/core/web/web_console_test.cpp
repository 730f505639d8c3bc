#include "core/web/web_console.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "core/archive/call_report.h"
#include "core/decode/field_names.h"
#include "core/record/call_recorder.h"

namespace velk {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// A stored call as the collector stores it; its dialled number replaced by `dialled`.
IndexRow Call(int64_t id, const std::string& dialled, const std::string& start = "0808072D00") {
    std::string raw =
        "07752030001FFFF083311FFFF141A0C" + start +
        "141A0C08080D13009289FFFFFFFFFFFFFFFFFFFF01020202020003020D0402010502010D0200FF33";
    std::string digits = dialled;
    digits.resize(24, 'F');
    raw.replace(57, 24, digits);
    IndexRow row;
    row.id = id;
    row.raw = raw;
    row.values[3] = std::string("3311");
    row.values[4] = std::string("2026-12-08 08:07:45");
    row.values[6] = dialled;
    row.values[32] = int64_t{334};
    row.values[kAnsweredColumn] = int64_t{1};
    return row;
}

// The call with a Call Duration Time field that holds `text` (9 characters), which the decoder
// takes as it is (with ':' after the 3rd, 5th and 7th): whatever a PBX or a forged record puts
// there reaches the pages.
IndexRow WithDurationText(IndexRow row, const std::string& text) {
    row.raw.insert(row.raw.size() - 4, "4009" + text);
    return row;
}

class MemoryIndex : public RecordIndex {
public:
    explicit MemoryIndex(const std::vector<IndexRow>& rows) : rows_(rows) {}
    bool Add(std::vector<IndexRow>&, bool) override { return false; }
    bool Select(const IndexFilter&, const std::function<bool(const IndexRow&)>& visit) override {
        for (const IndexRow& r : rows_) {
            if (!visit(r))
                break;
        }
        return true;
    }
    std::optional<std::vector<GroupTotals>> Totals(ReportBy by, int digits, const std::string&,
                                                   const std::string&) override {
        std::map<std::string, GroupTotals> groups;
        for (const IndexRow& r : rows_) {
            GroupTotals& g = groups[GroupOf(r, by, digits)];
            g.group = GroupOf(r, by, digits);
            ++g.calls;
            const auto* answered = std::get_if<int64_t>(&r.values[kAnsweredColumn]);
            g.answered += answered != nullptr ? *answered : 0;
            const auto* seconds = std::get_if<int64_t>(&r.values[32]);
            const int64_t known = seconds != nullptr && *seconds > 0 ? *seconds : 0;
            g.totalSeconds += known;
            g.longestSeconds = std::max(g.longestSeconds, known);
        }
        std::vector<GroupTotals> out;
        for (auto& [k, g] : groups)
            out.push_back(g);
        return out;
    }
    std::string ErrorText() const override { return {}; }

private:
    const std::vector<IndexRow>& rows_;
};

class FakeArchive : public WebArchive {
public:
    bool Newest(int64_t after, size_t most, std::vector<IndexRow>& out, int64_t& last,
                std::string&) override {
        out.clear();
        last = rows.empty() ? 0 : rows.back().id;
        for (const IndexRow& r : rows) {
            if (r.id > after && out.size() < most)
                out.push_back(r);
        }
        return true;
    }
    std::unique_ptr<RecordIndex> Open(bool server, const std::string& site, std::string&) override {
        ++opened;
        servers.push_back(server ? "server:" + site : "index");
        return std::make_unique<MemoryIndex>(rows);
    }
    bool HasServer() const override { return hasServer; }
    std::vector<IndexRow> rows;
    int opened = 0;
    bool hasServer = false;
    std::vector<std::string> servers;  // what each search read
};

class FakeStatus : public WebStatusSource {
public:
    WebStatus Read() override { return status; }
    std::string Metrics() override { return "velk_link_up 1\n"; }
    WebStatus status;
};

class FakeHasher : public PasswordHasher {
public:
    std::string Hash(const std::string& p) override { return "H:" + p; }
    bool Verify(const std::string& p, const std::string& h) override {
        ++verified;
        return h == "H:" + p;
    }
    int verified = 0;
};

class FixedClock : public Clock {
public:
    LocalTime Now() const override { return {2026, 12, 8, 12, 0, 0}; }
    int64_t Seconds() const override { return 0; }
};

class Console : public ::testing::Test {
protected:
    Console() {
        // The decoded file's columns: every field in its order.
        for (size_t k = 0; k < 50; ++k) {
            settings.f[k] = 1;
            settings.SaveInd[k] = static_cast<int32_t>(k);
        }
        Rebuild(false);
    }

    void Rebuild(bool tls) {
        options.tls = tls;
        std::string why;
        ReadAddressRanges("127.0.0.0/8 ::1", options.metricsFrom, why);
        console = std::make_unique<WebConsole>(
            settings, archive, status, hasher, [this] { return accounts; }, sessions, throttle,
            clock, [this] { return ticking ? ++now : now; },
            [this](const std::string& l) { log += l + "\n"; },
            options);
    }

    WebResponse Get(const std::string& path, const std::string& cookie = {},
                    const std::string& peer = "127.0.0.1") {
        WebRequest r;
        r.method = "GET";
        const size_t q = path.find('?');
        r.path = path.substr(0, q);
        if (q != std::string::npos)
            ReadFormFields(path.substr(q + 1), r.query);
        if (!cookie.empty())
            r.cookies[WebConsole::kCookieName] = cookie;
        r.peer = peer;
        return console->Handle(r);
    }

    WebResponse LogIn(const std::string& user, const std::string& password,
                      const std::string& peer = "10.1.1.1") {
        WebRequest r;
        r.method = "POST";
        r.path = "/login";
        r.query.emplace("user", user);
        r.query.emplace("password", password);
        r.peer = peer;
        return console->Handle(r);
    }

    std::string Session() {
        const WebResponse r = LogIn("alice", "right horse");
        const std::string cookie = r.HeaderValue("Set-Cookie");
        const size_t eq = cookie.find('='), semi = cookie.find(';');
        return cookie.substr(eq + 1, semi - eq - 1);
    }

    AppSettings settings;
    FakeArchive archive;
    FakeStatus status;
    FakeHasher hasher;
    std::string accounts = "alice:H:right horse\n";
    int64_t now = 5000;
    bool ticking = false;  // every look at the clock takes a second
    SessionStore sessions{[this] { return now; }, [](size_t n) { return std::string(n, 'k'); },
                          1800, 43200};
    LoginThrottle throttle{[this] { return now; }};
    FixedClock clock;
    std::string log;
    WebConsoleOptions options;
    std::unique_ptr<WebConsole> console;
};

std::string Repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

const char* const kGuarded[] = {"/",        "/status",     "/calls",      "/find?run=1",
                                "/find.csv", "/reports",   "/load",       "/static/velk.js",
                                "/chart.js/chart.min.js",  "/api/status", "/api/newest",
                                "/api/calls", "/api/report"};

TEST_F(Console, NothingButTheLoginWithoutASession) {
    archive.rows = {Call(1, "0612345")};
    const std::string good = Session();
    std::string tampered = good;
    tampered[0] = tampered[0] == 'a' ? 'b' : 'a';
    for (const std::string& cookie : {std::string(), tampered, std::string("x")}) {
        for (const char* path : kGuarded) {
            const WebResponse r = Get(path, cookie);
            const bool api = std::string(path).rfind("/api/", 0) == 0;
            EXPECT_EQ(r.status, api ? 401 : 303) << path << " " << cookie;
            if (!api) {
                EXPECT_EQ(r.HeaderValue("Location"), "/login") << path;
            }
            EXPECT_THAT(r.body, Not(HasSubstr("0612345"))) << path;
        }
    }
    EXPECT_EQ(archive.opened, 0);
    EXPECT_EQ(Get("/calls", good).status, 200);
    EXPECT_THAT(Get("/calls", good).body, HasSubstr("0612345"));
}

TEST_F(Console, TheSessionCookieIsHttpOnlyStrictAndSecureUnderTls) {
    WebResponse r = LogIn("alice", "right horse");
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.HeaderValue("Set-Cookie"),
              "velk_session=" + Repeated("6b", 32) +
                  "; Path=/; HttpOnly; SameSite=Strict; Max-Age=1800");
    Rebuild(true);
    r = LogIn("alice", "right horse");
    EXPECT_THAT(r.HeaderValue("Set-Cookie"), HasSubstr("; Secure"));
    EXPECT_EQ(log, "login: alice from 10.1.1.1\nlogin: alice from 10.1.1.1\n");
}

TEST_F(Console, AnExpiredOrLoggedOutSessionIsRefused) {
    const std::string token = Session();
    EXPECT_EQ(Get("/status", token).status, 200);
    now += 1799;
    EXPECT_EQ(Get("/status", token).status, 200);
    now += 1800;
    EXPECT_EQ(Get("/status", token).status, 303);

    const std::string second = Session();
    WebRequest out;
    out.method = "POST";
    out.path = "/logout";
    out.cookies[WebConsole::kCookieName] = second;
    out.peer = "10.1.1.1";
    const WebResponse r = console->Handle(out);
    EXPECT_EQ(r.status, 303);
    EXPECT_THAT(r.HeaderValue("Set-Cookie"), HasSubstr("Max-Age=0"));
    EXPECT_EQ(Get("/api/status", second).status, 401);
}

TEST_F(Console, WrongPasswordsAreRefusedLoggedWithoutThePasswordAndSlowedDown) {
    EXPECT_EQ(LogIn("alice", "wrong one").status, 401);
    EXPECT_EQ(LogIn("mallory<", "guess two").status, 401);
    EXPECT_EQ(log, "login refused: alice from 10.1.1.1\nlogin refused: mallory< from 10.1.1.1\n");
    EXPECT_EQ(hasher.verified, 2);  // an unknown name is checked as long as a known one
    EXPECT_EQ(LogIn("alice", "wrong three").status, 401);
    // Now even the right password waits, unchecked; another address does not.
    const WebResponse r = LogIn("alice", "right horse");
    EXPECT_EQ(r.status, 429);
    EXPECT_EQ(r.HeaderValue("Retry-After"), "1");
    EXPECT_EQ(hasher.verified, 3);
    EXPECT_EQ(LogIn("alice", "right horse", "10.1.1.2").status, 303);
    now += 1;
    EXPECT_EQ(LogIn("alice", "right horse").status, 303);
    EXPECT_THAT(log, Not(HasSubstr("wrong")));
    EXPECT_THAT(log, Not(HasSubstr("horse")));
}

TEST_F(Console, RecordTextsAreShownAsText) {
    archive.rows = {WithDurationText(Call(1, "0612"), "<i>&\"'xyz")};
    const std::string token = Session();
    const std::string page = Get("/calls", token).body;
    EXPECT_THAT(page, HasSubstr("<td>&lt;i&gt;:&amp;&quot;:&#39;x:yz</td>"));
    EXPECT_THAT(page, Not(HasSubstr("<i>")));
    const std::string found = Get("/find?run=1", token).body;
    EXPECT_THAT(found, HasSubstr("<td>&lt;i&gt;:&amp;&quot;:&#39;x:yz</td>"));
    EXPECT_THAT(found, Not(HasSubstr("<i>")));
    EXPECT_THAT(Get("/api/newest?after=0", token).body, HasSubstr("\"<i>:&\\\":'x:yz\""));
    // A form value comes back as text too.
    EXPECT_THAT(Get("/find?c1f3=%22%3E%3Cscript%3E", token).body,
                HasSubstr("value=\"&quot;&gt;&lt;script&gt;\""));
    // And every answer forbids inline script.
    EXPECT_THAT(Get("/status", token).HeaderValue("Content-Security-Policy"),
                HasSubstr("script-src 'self';"));
}

TEST_F(Console, MetricsOnlyToAllowedAddresses) {
    EXPECT_EQ(Get("/metrics", "", "127.0.0.1").status, 200);
    EXPECT_EQ(Get("/metrics", "", "::1").status, 200);
    const WebResponse refused = Get("/metrics", "", "192.168.1.5");
    EXPECT_EQ(refused.status, 403);
    EXPECT_THAT(refused.body, Not(HasSubstr("velk_")));
}

TEST_F(Console, ChartFilesOnlyByTheirPlainName) {
    options.chartDirectory = CHART_TEST_DIR;
    Rebuild(false);
    const std::string fresh = Session();
    EXPECT_EQ(Get("/chart.js/chart_fixture.js", fresh).status, 200);
    for (const char* path : {"/chart.js/../outside.js", "/chart.js/..%2foutside.js",
                             "/chart.js/.hidden.js", "/chart.js/sub/x.js",
                             "/chart.js/web_console_test.cpp", "/chart.js/"})
        EXPECT_EQ(Get(path, fresh).status, 404) << path;
}

TEST_F(Console, AFindSaysWhatCannotBeReadAndCountsWhatItFinds) {
    archive.rows = {Call(1, "0612"), Call(2, "0699"), Call(3, "0712")};
    const std::string token = Session();
    const WebResponse bad = Get("/find?run=1&c1f4=2026-13&c2f3=1", token);
    EXPECT_EQ(bad.status, 400);
    EXPECT_THAT(bad.body, HasSubstr("Case 1, Start Time of Conversation = 2026-13: "));
    const WebResponse found = Get("/find?run=1&c1f6=06%3F&c2f6=%3F12", token);
    EXPECT_EQ(found.status, 200);
    EXPECT_THAT(found.body, HasSubstr("<span id=\"count\">3</span> calls, total duration "
                                      "<span id=\"total\">000:16:42</span>"));
    const WebResponse two = Get("/find?run=1&c1f6=06%3F&c1f3=3311&c2f6=0799", token);
    EXPECT_THAT(two.body, HasSubstr("<span id=\"count\">2</span>"));
    EXPECT_THAT(two.body, Not(HasSubstr("0712")));
}

TEST_F(Console, TheApiAnswersAsTheReportProgramDoes) {
    archive.rows = {Call(1, "0612"), Call(2, "0699"), Call(3, "0712")};
    const std::string token = Session();
    const WebResponse report = Get("/api/report?by=dialled-prefix&prefix_digits=2", token);
    EXPECT_EQ(report.status, 200);
    MemoryIndex index(archive.rows);
    std::string why;
    const auto groups = ReportTotals(index, ReportBy::DialledPrefix, 2, CallQuery(), std::nullopt, why);
    ASSERT_TRUE(groups);
    EXPECT_EQ(report.body, FormatGroups(*groups, ReportFormat::Json));
    EXPECT_THAT(report.body, HasSubstr("\"group\": \"06\", \"calls\": 2"));
    EXPECT_EQ(Get("/api/report?by=site", token).status, 400);
    EXPECT_EQ(Get("/api/report?prefix_digits=25", token).status, 400);
}

// The Reports page's average is the mean duration rounded to the nearest second, a half up, as
// velk-report's average_seconds.
TEST_F(Console, TheReportsPageRoundsTheAverage) {
    const auto lasting = [](int64_t id, const std::string& dialled, int64_t seconds) {
        IndexRow row = Call(id, dialled);
        row.values[32] = seconds;
        return row;
    };
    // Means of 1.5 and 1.33 seconds.
    archive.rows = {lasting(1, "0612", 1), lasting(2, "0699", 2), lasting(3, "0712", 1),
                    lasting(4, "0713", 1), lasting(5, "0714", 2)};
    const std::string token = Session();
    const WebResponse page = Get("/reports?by=dialled-prefix&prefix_digits=2", token);
    EXPECT_EQ(page.status, 200);
    EXPECT_THAT(page.body, HasSubstr("<tr><td>06</td><td>2</td><td>2</td><td>000:00:03</td>"
                                     "<td>000:00:02</td><td>000:00:02</td></tr>"));
    EXPECT_THAT(page.body, HasSubstr("<tr><td>07</td><td>3</td><td>3</td><td>000:00:04</td>"
                                     "<td>000:00:01</td><td>000:00:02</td></tr>"));
}

TEST_F(Console, ALongSearchStopsAndSaysSo) {
    options.searchSeconds = 2;
    Rebuild(false);
    for (int i = 1; i <= 1000; ++i)
        archive.rows.push_back(Call(i, "0612"));
    const std::string token = Session();
    const WebResponse all = Get("/find?run=1", token);
    EXPECT_THAT(all.body, HasSubstr("<span id=\"count\">1000</span>"));
    EXPECT_THAT(all.body, Not(HasSubstr("id=\"stopped\"")));
    ticking = true;
    const WebResponse cut = Get("/find?run=1", token);
    EXPECT_THAT(cut.body, HasSubstr("<p class=\"problem\" id=\"stopped\">The search was stopped "
                                    "after 2 s: the figures are incomplete."));
    EXPECT_THAT(cut.body, HasSubstr("<span id=\"count\">511</span>"));
    const WebResponse api = Get("/api/calls", token);
    EXPECT_EQ(api.status, 503);
    EXPECT_THAT(api.body, HasSubstr("stopped after 2 s"));
    EXPECT_EQ(Get("/find.csv", token).status, 503);
}

TEST_F(Console, CallsOfManySitesComeFromTheServerWithTheirSite) {
    IndexRow row = Call(1, "0612");
    row.site = "north<";
    archive.rows = {row};
    const std::string token = Session();
    // Without a database server the request for it reads the index.
    EXPECT_THAT(Get("/find?run=1&server=1", token).body, Not(HasSubstr("<th>Site</th>")));
    archive.hasServer = true;
    const std::string page = Get("/find?run=1&server=1&site=north", token).body;
    EXPECT_THAT(page, HasSubstr("<th>Site</th>"));
    EXPECT_THAT(page, HasSubstr("<tr><td>north&lt;</td><td>0001</td>"));
    const WebResponse api = Get("/api/calls?server=1", token);
    EXPECT_THAT(api.body, HasSubstr("{\"Site\": \"north<\", \"Sequence Number\": \"0001\""));
    EXPECT_EQ(archive.servers,
              (std::vector<std::string>{"index", "server:north", "server:"}));
}

// The dialled numbers of a page's result rows, in order.
std::vector<std::string> Dialled(const std::string& page) {
    std::vector<std::string> numbers;
    size_t at = page.find("id=\"results\"");
    while ((at = page.find("<tr><td>", at)) != std::string::npos) {
        size_t cell = at;
        for (int i = 0; i <= 6; ++i)
            cell = page.find("<td>", cell) + 4;
        numbers.push_back(page.substr(cell, page.find("</td>", cell) - cell));
        at = cell;
    }
    return numbers;
}

TEST_F(Console, FoundCallsAreSortedByAnyColumnAndPaged) {
    options.pageRows = 2;
    Rebuild(false);
    archive.rows = {Call(1, "0612"), Call(2, "09"), Call(3, "0712"), Call(4, "100"),
                    Call(5, "0612")};
    const std::string token = Session();
    EXPECT_EQ(Dialled(Get("/find?run=1", token).body), (std::vector<std::string>{"0612", "09"}));
    EXPECT_EQ(Dialled(Get("/find?run=1&page=3", token).body), std::vector<std::string>{"0612"});
    // Numbers as numbers, the order found kept among equals.
    const std::string first = Get("/find?run=1&sort=6", token).body;
    EXPECT_EQ(Dialled(first), (std::vector<std::string>{"09", "100"}));
    EXPECT_THAT(first, HasSubstr("Page 1 of 3 <a id=\"next\" href=\"/find?run=1&amp;sort=6&amp;page=2\">"));
    EXPECT_EQ(Dialled(Get("/find?run=1&sort=6&page=2", token).body),
              (std::vector<std::string>{"0612", "0612"}));
    EXPECT_EQ(Dialled(Get("/find?run=1&sort=6&desc=1", token).body),
              (std::vector<std::string>{"0712", "0612"}));
    // A page past the last shows the last; a column that is none leaves the order found.
    EXPECT_EQ(Dialled(Get("/find?run=1&sort=6&page=9", token).body),
              std::vector<std::string>{"0712"});
    EXPECT_EQ(Dialled(Get("/find?run=1&sort=99", token).body),
              (std::vector<std::string>{"0612", "09"}));
    // The export holds every call in the table's order.
    const std::string csv = Get("/find.csv?run=1&sort=6&desc=1", token).body;
    EXPECT_EQ(csv.substr(0, DecodedFileHeader(settings).size()), DecodedFileHeader(settings));
    EXPECT_LT(csv.find(";0712;"), csv.find(";100;"));
    EXPECT_LT(csv.find(";100;"), csv.find(";09;"));
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 6);
}

TEST_F(Console, FormsPostedFromAnotherSitesPageAreRefused) {
    WebRequest r;
    r.method = "POST";
    r.path = "/login";
    r.query.emplace("user", "alice");
    r.query.emplace("password", "right horse");
    r.peer = "10.1.1.1";
    r.host = "velk.example:8080";
    r.origin = "http://evil.example";
    EXPECT_EQ(console->Handle(r).status, 403);
    r.origin = "https://velk.example:8080";  // this server, but not over TLS
    EXPECT_EQ(console->Handle(r).status, 403);
    r.origin = "http://velk.example:8080";
    EXPECT_EQ(console->Handle(r).status, 303);
    r.origin.clear();  // a client that names none
    EXPECT_EQ(console->Handle(r).status, 303);
    r.tls = true;
    r.origin = "https://velk.example:8080";
    EXPECT_EQ(console->Handle(r).status, 303);
    EXPECT_EQ(log, "login: alice from 10.1.1.1\nlogin: alice from 10.1.1.1\nlogin: alice from 10.1.1.1\n");
}

}  // namespace
}  // namespace velk
