// The web console on its HTTP server, over loopback: a session's cookie is refused once the
// session has expired, a client that trickles its request in is cut off while others are
// answered, and searches and reports of the database server of many sites answer as
// velk-report --db does.
#include "platform/mhd_web_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <thread>

#include "core/archive/call_query.h"
#include "core/web/web_console.h"
#include "platform/pg_record_server.h"
#include "platform/web_archive.h"
#include "platform/web_status.h"
#include "support/pg_server.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

struct NoPasswords : PasswordHasher {
    std::string Hash(const std::string&) override { return {}; }
    bool Verify(const std::string&, const std::string&) override { return false; }
};

// A connection to the server on loopback; -1 when none can be made.
int Connect(uint16_t port, int receiveSeconds) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{receiveSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Everything the server sends until it closes the connection (or stays silent for the wait).
std::string Rest(int fd) {
    std::string got;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return got;
        got.append(buffer, static_cast<size_t>(n));
    }
}

// One request and its whole answer.
std::string Answer(uint16_t port, const std::string& path, const std::string& cookie) {
    const int fd = Connect(port, 20);
    if (fd < 0)
        return "no connection";
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" +
                                (cookie.empty() ? "" : "Cookie: velk_session=" + cookie + "\r\n") +
                                "\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    const std::string answer = Rest(fd);
    ::close(fd);
    return answer;
}

// What a program writes on its standard output.
std::string Output(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0)
            out.append(buffer, n);
        ::pclose(p);
    }
    return out;
}

// One request and the status line of its answer.
std::string Ask(uint16_t port, const std::string& path, const std::string& cookie) {
    const int fd = Connect(port, 10);
    if (fd < 0)
        return "no connection";
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" +
                                (cookie.empty() ? "" : "Cookie: velk_session=" + cookie + "\r\n") +
                                "\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    const std::string answer = Rest(fd);
    ::close(fd);
    const size_t location = answer.find("\r\nLocation: ");
    return answer.substr(0, answer.find("\r\n")) +
           (location == std::string::npos
                ? ""
                : " to " + answer.substr(location + 12,
                                         answer.find("\r\n", location + 12) - location - 12));
}

class WebServerTest : public ::testing::Test {
protected:
    explicit WebServerTest(unsigned requestSeconds = 30, std::string connection = "")
        : connection_(std::move(connection)), requestSeconds_(requestSeconds) {}
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(server_.Start("127.0.0.1", 0, "", "", why)) << why;
        port_ = server_.Port();
    }

    std::string connection_;
    test::TempDir dir_;
    SystemClock clock_;
    std::atomic<int64_t> now_{1000};
    std::function<int64_t()> monotonic_ = [this] { return now_.load(); };
    IndexWebArchive archive_{dir_ / "VELK.db", connection_};
    StateFileStatus status_{dir_.Path(), clock_};
    NoPasswords hasher_;
    // Sessions idle for 10 minutes end, all of them after 12 hours.
    SessionStore sessions_{monotonic_, [](size_t n) { return std::string(n, '\x5a'); }, 600,
                           12 * 3600};
    LoginThrottle throttle_{monotonic_};
    WebConsoleOptions options_;
    WebConsole console_{AppSettings{}, archive_, status_, hasher_, [] { return std::string(); },
                        sessions_, throttle_, clock_, monotonic_, [](const std::string&) {},
                        options_};
    unsigned requestSeconds_;
    WebServerLimits limits_ = [this] {
        WebServerLimits limits;
        limits.requestSeconds = requestSeconds_;
        return limits;
    }();
    MhdWebServer server_{[this](const WebRequest& r) { return console_.Handle(r); }, limits_};
    uint16_t port_ = 0;
};

TEST_F(WebServerTest, AnExpiredSessionsCookieIsRefused) {
    const std::string token = sessions_.Open("alice");
    ASSERT_EQ(token.size(), 64u);
    EXPECT_EQ(Ask(port_, "/api/status", token), "HTTP/1.1 200 OK");
    // Idle for a second less than the session's time: still alive, and its idle time starts
    // again with the request.
    now_ += 599;
    EXPECT_EQ(Ask(port_, "/status", token), "HTTP/1.1 200 OK");
    now_ += 599;
    EXPECT_EQ(Ask(port_, "/api/status", token), "HTTP/1.1 200 OK");
    now_ += 600;
    EXPECT_EQ(Ask(port_, "/api/status", token), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(Ask(port_, "/status", token), "HTTP/1.1 303 See Other to /login");
    EXPECT_EQ(Ask(port_, "/api/report?by=hour", token), "HTTP/1.1 401 Unauthorized");

    // A session in use all along ends 12 hours after the login.
    const std::string busy = sessions_.Open("bob");
    for (int i = 0; i < 86; ++i) {
        now_ += 500;
        ASSERT_EQ(sessions_.User(busy), std::optional<std::string>("bob")) << i;
    }
    EXPECT_EQ(Ask(port_, "/api/status", busy), "HTTP/1.1 200 OK");
    now_ += 300;  // 12 h and 100 s after the login, 300 s after its last use
    EXPECT_EQ(Ask(port_, "/api/status", busy), "HTTP/1.1 401 Unauthorized");
}

class SlowClientTest : public WebServerTest {
protected:
    SlowClientTest() : WebServerTest(2) {}
};

// A client sending a header byte every 200 ms is never idle, but its request is not whole after
// 2 s: it is cut off then, and the server answers others all the while.
TEST_F(SlowClientTest, ARequestTrickledInIsCutOffAndOthersAreAnswered) {
    const int slow = Connect(port_, 1);
    ASSERT_GE(slow, 0);
    const auto began = std::chrono::steady_clock::now();
    const std::string line = "GET /login HTTP/1.1\r\nHost: x\r\nX-Slow: ";
    ASSERT_EQ(::send(slow, line.data(), line.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(line.size()));
    bool cut = false;
    double cutAfter = 0;
    while (std::chrono::steady_clock::now() - began < std::chrono::seconds(6)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (::send(slow, "a", 1, MSG_NOSIGNAL) != 1) {
            cut = true;
        } else {
            // A connection shut down by the server reads as ended.
            char c;
            const ssize_t n = ::recv(slow, &c, 1, MSG_DONTWAIT);
            cut = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        }
        if (cut) {
            cutAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - began)
                           .count();
            break;
        }
        EXPECT_EQ(Ask(port_, "/login", ""), "HTTP/1.1 200 OK");
    }
    ::close(slow);
    EXPECT_TRUE(cut);
    EXPECT_GE(cutAfter, 1.9);
    EXPECT_LT(cutAfter, 4.0);
    EXPECT_EQ(Ask(port_, "/login", ""), "HTTP/1.1 200 OK");
}

// A request that takes less than the bound, and a connection kept for a second request after it,
// are served.
TEST_F(SlowClientTest, ARequestWithinTheBoundIsServedAndTheNextHasItsOwnTime) {
    const int fd = Connect(port_, 5);
    ASSERT_GE(fd, 0);
    const std::string request = "GET /login HTTP/1.1\r\nHost: x\r\n\r\n";
    for (int round = 0; round < 2; ++round) {
        for (char c : request) {
            ASSERT_EQ(::send(fd, &c, 1, MSG_NOSIGNAL), 1) << round;
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
        // The whole answer: its head, then as many bytes as it says.
        std::string answer;
        char buffer[4096];
        size_t head = std::string::npos, length = 0;
        while (head == std::string::npos || answer.size() < head + 4 + length) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            ASSERT_GT(n, 0) << round << ": " << answer;
            answer.append(buffer, static_cast<size_t>(n));
            head = answer.find("\r\n\r\n");
            const size_t at = answer.find("Content-Length: ");
            if (head != std::string::npos && at != std::string::npos && at < head)
                length = std::stoul(answer.substr(at + 16));
        }
        EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK") << round;
    }
    ::close(fd);
}

// The database server of many sites, started by the test before the console.
struct WithServer {
    test::PgServer pg;
};

IndexRow SiteRow(int64_t id, const std::string& start, const std::string& calling,
                 int64_t seconds) {
    IndexRow row;
    row.id = id;
    row.values[3] = calling;
    row.values[4] = start;
    row.values[6] = std::string("0044") + std::to_string(id * 7);
    row.values[9] = id % 3;
    row.values[32] = seconds;
    row.values[kTrunkColumn] = id % 2;
    row.values[kAnsweredColumn] = id % 2;
    row.raw = "052" + calling + start + std::to_string(id) + "7F";
    row.storedAt = 1'796'000'000;
    return row;
}

class ServerReportsTest : public WithServer, public WebServerTest {
protected:
    ServerReportsTest() : WebServerTest(30, pg.Connection()) {}
};

// Searches and reports of all sites on the database server through the console's API give what
// velk-report --db gives.
TEST_F(ServerReportsTest, TheApiAnswersAsVelkReportDoesOverTheDatabaseServer) {
    ASSERT_TRUE(pg.Ok()) << pg.Error();
    PgRecordServer server(pg.Connection());
    for (const std::string site : {"Site A", "Site B"}) {
        std::vector<IndexRow> rows;
        for (int64_t i = 1; i <= 12; ++i)
            rows.push_back(SiteRow(i, "2026-12-0" + std::to_string(i % 3 + 1) + " 1" +
                                          std::to_string(i % 10) + ":00:00",
                                   std::to_string(site == "Site A" ? 2040 + i % 4 : 3000 + i),
                                   i * 11));
        ASSERT_TRUE(server.Ship(site, 2, rows, {},
                                {rows.back().id, ShipFingerprint(rows.back())}))
            << server.ErrorText();
    }
    const std::string token = sessions_.Open("alice");
    const auto body = [&](const std::string& path) {
        const std::string answer = Answer(port_, path, token);
        EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK") << path << ": " << answer;
        const size_t head = answer.find("\r\n\r\n");
        return head == std::string::npos ? std::string() : answer.substr(head + 4);
    };
    const std::string report = std::string(VELK_REPORT_BIN) + " --dir '" + dir_.Path().string() +
                               "' --db '" + pg.Connection() + "' --format json";
    for (const std::string by : {"extension", "site", "day", "dialled-prefix"}) {
        const std::string want = Output(report + " --by " + by + " --from 2026-12-02 --to 2026-12-03");
        EXPECT_NE(want.find("\"calls\""), std::string::npos) << by << ": " << want;
        EXPECT_EQ(body("/api/report?server=1&by=" + by + "&from=2026-12-02&to=2026-12-03"), want)
            << by;
    }
    // Two cases: extensions beginning 204 of the 2nd of December, or extension 3005.
    test::WriteFile(dir_ / "two.cases", CasesText({{{3, "204?"}, {4, "2026-12-02"}}, {{3, "3005"}}}));
    const std::string want = Output(report + " --cases '" + (dir_ / "two.cases").string() + "'");
    EXPECT_NE(want.find("Site B"), std::string::npos) << want;
    EXPECT_NE(want.find("Site A"), std::string::npos) << want;
    EXPECT_EQ(body("/api/calls?server=1&c1f3=204%3F&c1f4=2026-12-02&c2f3=3005"), want);
}

}  // namespace
}  // namespace velk
