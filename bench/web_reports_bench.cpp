// The web console's Reports over a busy site's year of 10 million call records (bench/year_index.h,
// TheCopiedYear: a million calls, each ten times):
// each grouping the Reports page offers, over the whole year, asked of the console as a browser
// asks it with a session: the page (table) and the JSON its chart is drawn from. The console is
// velk-web's own (its request handling, the record index opened read only per request, the
// archive's report code velk-report shares); only the HTTP server is left out. The aim: each
// answer under 2 s.
#include <benchmark/benchmark.h>

#include <chrono>

#include "core/web/web_console.h"
#include "platform/web_archive.h"
#include "platform/web_status.h"
#include "year_index.h"

namespace velk {
namespace {

struct NoPasswords : PasswordHasher {
    std::string Hash(const std::string&) override { return {}; }
    bool Verify(const std::string&, const std::string&) override { return false; }
};

int64_t Monotonic() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr const char* kGroupings[] = {"extension", "trunk", "call-type",
                                      "dialled-prefix", "hour", "day"};

void BM_YearReportPage(benchmark::State& state) {
    const std::string by = kGroupings[state.range(0)];
    const bench::Year& y = bench::TheCopiedYear();
    SystemClock clock;
    IndexWebArchive archive(y.db, "");
    StateFileStatus status(y.db.parent_path(), clock);
    NoPasswords hasher;
    SessionStore sessions(Monotonic, [](size_t n) { return std::string(n, '\x5a'); }, 3600, 3600);
    LoginThrottle throttle(Monotonic);
    WebConsoleOptions options;
    options.searchSeconds = 600;
    WebConsole console(AppSettings{}, archive, status, hasher, [] { return std::string(); },
                       sessions, throttle, clock, Monotonic, [](const std::string&) {}, options);
    WebRequest page;
    page.method = "GET";
    page.peer = "127.0.0.1";
    page.cookies[WebConsole::kCookieName] = sessions.Open("bench");
    page.query = {{"by", by}, {"from", "2027-01-01"}, {"to", "2027-12-31"}};
    WebRequest chart = page;
    page.path = "/reports";
    chart.path = "/api/report";
    size_t pageBytes = 0, jsonBytes = 0;
    double slowest = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const WebResponse table = console.Handle(page);
        const auto between = std::chrono::steady_clock::now();
        const WebResponse groups = console.Handle(chart);
        const auto end = std::chrono::steady_clock::now();
        if (table.status != 200 || groups.status != 200) {
            state.SkipWithError(("answered " + std::to_string(table.status) + " and " +
                                 std::to_string(groups.status) + ": " + groups.body)
                                    .c_str());
            return;
        }
        pageBytes = table.body.size();
        jsonBytes = groups.body.size();
        slowest = std::max({slowest, std::chrono::duration<double>(between - start).count(),
                            std::chrono::duration<double>(end - between).count()});
    }
    state.SetLabel(by);
    state.counters["page_kB"] = static_cast<double>(pageBytes) / 1e3;
    state.counters["json_kB"] = static_cast<double>(jsonBytes) / 1e3;
    state.counters["slowest_answer_s"] = slowest;
    state.counters["records"] = static_cast<double>(y.records);
}
BENCHMARK(BM_YearReportPage)
    ->DenseRange(0, 5)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velk

BENCHMARK_MAIN();
