// Sending to the database server of many sites, against a PostgreSQL server the benchmark starts
// (initdb as an ordinary user, a Unix socket only). Figures:
//   catching up a backlog: VELK_BENCH_BACKLOG (1 million) records waiting in VELK.db, sent by the
//     sender as the collector runs it; records per second until the server has them all.
//   a month's report by site: VELK_BENCH_SERVER_ROWS (10 million) rows of 10 sites over a year
//     on the server; one month counted per site.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "core/archive/call_report.h"
#include "core/decode/field_decoder.h"
#include "core/archive/record_shipper.h"
#include "platform/pg_record_index.h"
#include "platform/pg_record_server.h"
#include "platform/sqlite_record_index.h"
#include "year_of_calls.h"
#include "support/pg_server.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

uint64_t Setting(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::strtoull(v, nullptr, 10) : fallback;
}

// A busy site's year of call records as index rows (ids from 1), from 1000 extensions.
std::vector<IndexRow> YearRows(uint64_t n) {
    AppSettings settings;
    FieldDecoder decoder(settings);
    bench::YearOfCalls year(n);
    std::array<std::string, 50> texts;
    std::vector<IndexRow> rows;
    rows.reserve(n);
    for (uint64_t i = 0; i < n; ++i) {
        const std::string frame = year.NextFrame();
        const BillingMessage m(reinterpret_cast<const uint8_t*>(frame.data()),
                               static_cast<uint32_t>(frame.size() - 4));
        decoder.DecodeRecord(m, settings.Hex_Type, texts);
        rows.push_back(MakeIndexRow(m, texts, settings.Hex_Type, settings.Server_Port_index,
                                    RecordSource::Link, 1796716800));
        rows.back().id = static_cast<int64_t>(i) + 1;
    }
    return rows;
}

struct FixedClock : Clock {
    LocalTime Now() const override { return {}; }
    int64_t Seconds() const override { return 1796716800; }
};

class IndexQueue : public ShipQueue {
public:
    explicit IndexQueue(const std::filesystem::path& db) : index_(db, SqliteRecordIndex::Mode::Read) {}
    int64_t LastId() override { return index_.LastId(); }
    bool ReadAfter(int64_t id, size_t most, std::vector<IndexRow>& rows) override {
        return index_.After(id, most, rows);
    }
    std::string ErrorText() const override { return index_.ErrorText(); }

private:
    SqliteRecordIndex index_;
};

void BM_CatchUpBacklog(benchmark::State& state) {
    const uint64_t backlog = Setting("VELK_BENCH_BACKLOG", 1000000);
    test::TempDir dir;
    const std::filesystem::path db = dir / "VELK.db";
    {
        std::vector<IndexRow> rows = YearRows(backlog);
        SqliteRecordIndex index(db, SqliteRecordIndex::Mode::Write);
        for (size_t at = 0; at < rows.size(); at += 20000) {
            std::vector<IndexRow> part(rows.begin() + static_cast<long>(at),
                                       rows.begin() + static_cast<long>(std::min(rows.size(), at + 20000)));
            index.Add(part);
        }
    }
    uint64_t sent = 0;
    for (auto _ : state) {
        state.PauseTiming();
        test::PgServer pg;
        if (!pg.Ok()) {
            state.SkipWithError(pg.Error().c_str());
            return;
        }
        IndexQueue queue(db);
        PgRecordServer server(pg.Connection());
        FixedClock clock;
        RecordShipper shipper("Head Office", 0, queue, server, clock);
        state.ResumeTiming();
        while (!shipper.CaughtUp()) {
            if (shipper.Step() > 1000) {
                state.SkipWithError(shipper.Status().line.c_str());
                return;
            }
        }
        sent += shipper.Status().sent;
    }
    state.counters["records"] = static_cast<double>(backlog);
    state.counters["records_per_s"] =
        benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CatchUpBacklog)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_MonthReportBySite(benchmark::State& state) {
    const uint64_t total = Setting("VELK_BENCH_SERVER_ROWS", 10000000);
    constexpr int kSites = 10;
    test::PgServer pg;
    if (!pg.Ok()) {
        state.SkipWithError(pg.Error().c_str());
        return;
    }
    {
        const std::vector<IndexRow> rows = YearRows(total / kSites);
        PgRecordServer server(pg.Connection());
        for (int s = 0; s < kSites; ++s) {
            const std::string site = "Site " + std::to_string(s + 1);
            ShipMark mark;
            for (size_t at = 0; at < rows.size(); at += 20000) {
                const std::vector<IndexRow> part(
                    rows.begin() + static_cast<long>(at),
                    rows.begin() + static_cast<long>(std::min(rows.size(), at + 20000)));
                const ShipMark to{part.back().id, ShipFingerprint(part.back())};
                if (!server.Ship(site, 0, part, mark, to)) {
                    state.SkipWithError(server.ErrorText().c_str());
                    return;
                }
                mark = to;
            }
        }
        pg.Sql("VACUUM ANALYZE velk_calls");
    }
    PgRecordIndex index(pg.Connection(), "");
    std::string why;
    const auto march = StartBetween("2027-03-01", "2027-03-31 23:59:59", why);
    size_t groups = 0;
    int64_t calls = 0;
    for (auto _ : state) {
        const auto totals = ReportTotals(index, ReportBy::Site, 3, CallQuery{}, march, why);
        if (!totals) {
            state.SkipWithError(why.c_str());
            return;
        }
        groups = totals->size();
        calls = 0;
        for (const GroupTotals& g : *totals)
            calls += g.calls;
    }
    state.counters["rows"] = static_cast<double>(total);
    state.counters["sites"] = static_cast<double>(groups);
    state.counters["calls_in_month"] = static_cast<double>(calls);
}
BENCHMARK(BM_MonthReportBySite)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace velk

BENCHMARK_MAIN();
