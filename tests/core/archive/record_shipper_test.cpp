#include "core/archive/record_shipper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <utility>

#include "core/link/link_fakes.h"

namespace velk {
namespace {

IndexRow Row(int64_t id, const std::string& raw, int64_t storedAt = 100) {
    IndexRow row;
    row.id = id;
    row.raw = raw;
    row.storedAt = storedAt;
    return row;
}

class FakeQueue : public ShipQueue {
public:
    int64_t LastId() override { return broken ? -1 : rows.empty() ? 0 : rows.back().id; }
    bool ReadAfter(int64_t id, size_t most, std::vector<IndexRow>& out) override {
        if (broken)
            return false;
        for (const IndexRow& r : rows) {
            if (r.id > id && out.size() < most)
                out.push_back(r);
        }
        return true;
    }
    std::string ErrorText() const override { return "VELK.db: locked"; }
    bool Replaced() override { return std::exchange(replaced, false); }
    bool LocalMark(const std::string& site, ShipMark& mark) override {
        const auto it = kept.find(site);
        if (it == kept.end())
            return false;
        mark = it->second;
        return true;
    }
    void KeepMark(const std::string& site, const ShipMark& mark) override { kept[site] = mark; }
    void Add(const std::string& raw) { rows.push_back(Row(static_cast<int64_t>(rows.size()) + 1, raw)); }

    std::vector<IndexRow> rows;
    std::map<std::string, ShipMark> kept;  // the server's marks kept beside the rows
    bool broken = false;
    bool replaced = false;
};

// A server that keeps rows by their record (message and occurrence) and a mark per site, all of a
// batch or nothing.
class FakeServer : public RecordServer {
public:
    bool Open() override { return Answer(openFault); }
    void Close() override {}
    std::optional<ShipMark> Mark(const std::string& site) override {
        if (!Answer(markFault))
            return std::nullopt;
        return marks[site];
    }
    bool Ship(const std::string& site, int32_t, const std::vector<IndexRow>& rows,
              const ShipMark& from, const ShipMark& to) override {
        ++batches;
        if (!Answer(shipFault))
            return false;
        if (marks[site] != from) {
            fault_ = ServerFault::Conflict;
            return false;
        }
        for (const IndexRow& r : rows) {
            ++offered;
            kept[{site, r.raw, r.occurrence}] += 0;
            order.push_back(r.raw);
        }
        marks[site] = to;
        // The commit happened, but its answer is lost.
        if (loseReply) {
            loseReply = false;
            fault_ = ServerFault::Unreachable;
            return false;
        }
        return true;
    }
    std::optional<bool> Holds(const std::string& site, const std::vector<IndexRow>& rows) override {
        ++holdsAsked;
        if (!Answer(markFault))
            return std::nullopt;
        for (const IndexRow& r : rows) {
            for (const auto& [key, unused] : kept) {
                if (std::get<0>(key) == site && std::get<1>(key) == r.raw)
                    return true;
            }
        }
        return false;
    }
    ServerFault Fault() const override { return fault_; }
    std::string ErrorText() const override { return "server says no"; }

    // Distinct records kept, per site.
    size_t Kept(const std::string& site) const {
        size_t n = 0;
        for (const auto& [key, unused] : kept)
            n += std::get<0>(key) == site ? 1 : 0;
        return n;
    }

    ServerFault openFault = ServerFault::None, markFault = ServerFault::None,
                shipFault = ServerFault::None;
    bool loseReply = false;
    std::map<std::string, ShipMark> marks;
    std::map<std::tuple<std::string, std::string, int64_t>, int> kept;
    std::vector<std::string> order;  // every row the server accepted, in order (repeats too)
    int offered = 0;
    int batches = 0;
    int holdsAsked = 0;

private:
    bool Answer(ServerFault f) {
        fault_ = f;
        return f == ServerFault::None;
    }
    ServerFault fault_ = ServerFault::None;
};

class ShipperTest : public ::testing::Test {
protected:
    RecordShipper Make(size_t batch = 2) {
        RecordShipper::Options options;
        options.batch = batch;
        return RecordShipper("Site A", 0, queue, server, clock, options);
    }
    // Steps until the shipper waits (or n steps), answering the last wait.
    int64_t Run(RecordShipper& shipper, int most = 100) {
        int64_t wait = 0;
        for (int i = 0; i < most && wait == 0; ++i)
            wait = shipper.Step();
        return wait;
    }
    static std::vector<std::string> Details(RecordShipper& shipper) {
        std::vector<std::string> lines;
        for (const ShipNote& n : shipper.TakeNotes()) {
            EXPECT_EQ(n.event, "Database");
            lines.push_back(n.detail);
        }
        return lines;
    }

    FakeQueue queue;
    FakeServer server;
    test::FakeClock clock;
};

TEST_F(ShipperTest, SendsEveryRowOnceInOrderInBatchesAndMovesTheMark) {
    for (const char* raw : {"r1", "r2", "r3", "r4", "r5"})
        queue.Add(raw);
    RecordShipper shipper = Make(2);
    EXPECT_EQ(shipper.Status().line, "Database: connecting");
    EXPECT_EQ(Run(shipper), 1000);
    EXPECT_EQ(server.order, (std::vector<std::string>{"r1", "r2", "r3", "r4", "r5"}));
    EXPECT_EQ(server.batches, 3);
    EXPECT_EQ(server.marks["Site A"], (ShipMark{5, ShipFingerprint(queue.rows[4])}));
    EXPECT_TRUE(shipper.CaughtUp());
    EXPECT_EQ(shipper.Status().line, "Database: every record sent");
    EXPECT_EQ(shipper.Status().sent, 5u);
    EXPECT_EQ(Details(shipper), (std::vector<std::string>{
                                    "sending the records of site \"Site A\", from row 1 of the "
                                    "record index"}));
    // New rows go as they come; nothing is sent again.
    queue.Add("r6");
    Run(shipper);
    EXPECT_EQ(server.order.back(), "r6");
    EXPECT_EQ(server.order.size(), 6u);
}

TEST_F(ShipperTest, AnOutageIsLoggedOnceAndTheRowsGoOldestFirstWhenTheServerIsBack) {
    queue.Add("r1");
    RecordShipper shipper = Make(2);
    Run(shipper);
    Details(shipper);
    server.openFault = ServerFault::Unreachable;
    clock.now = {2026, 12, 8, 18, 20, 1};
    clock.seconds = 5000;
    // The waits double up to the most.
    std::vector<int64_t> waits;
    for (int i = 0; i < 8; ++i) {
        queue.Add("x" + std::to_string(i));
        waits.push_back(shipper.Step());
    }
    EXPECT_EQ(waits, (std::vector<int64_t>{1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));
    EXPECT_EQ(Details(shipper),
              (std::vector<std::string>{
                  "unreachable since 2026-12-08 18:20:01: server says no"}));
    EXPECT_EQ(shipper.Status().line,
              "Database unreachable since 2026-12-08 18:20:01, 8 records waiting");
    EXPECT_EQ(shipper.Status().troubleSince, 5000);

    server.openFault = ServerFault::None;
    EXPECT_EQ(Run(shipper), 1000);
    EXPECT_EQ(server.order, (std::vector<std::string>{"r1", "x0", "x1", "x2", "x3", "x4", "x5",
                                                      "x6", "x7"}));
    EXPECT_EQ(Details(shipper), (std::vector<std::string>{"reachable again, 8 records sent"}));
    EXPECT_EQ(shipper.Status().troubleSince, 0);
    // The next failure is a new outage with a first wait again.
    server.openFault = ServerFault::Unreachable;
    EXPECT_EQ(shipper.Step(), 1000);
    EXPECT_EQ(Details(shipper).size(), 1u);
}

TEST_F(ShipperTest, EveryKindOfFailureIsLoggedOnceInAnOutage) {
    queue.Add("r1");
    RecordShipper shipper = Make();
    struct Step {
        ServerFault open, ship;
        const char* logged;  // nullptr: nothing new
    };
    const Step steps[] = {
        {ServerFault::Unreachable, ServerFault::None, "unreachable since"},
        {ServerFault::LoginRefused, ServerFault::None, "refuses the login since"},
        {ServerFault::Unreachable, ServerFault::None, nullptr},
        {ServerFault::LoginRefused, ServerFault::None, nullptr},
        {ServerFault::None, ServerFault::Refused, "refuses the records since"},
        {ServerFault::None, ServerFault::Refused, nullptr},
        {ServerFault::Schema, ServerFault::None, "tables cannot be used since"},
    };
    for (const Step& s : steps) {
        server.openFault = s.open;
        server.shipFault = s.ship;
        shipper.Step();
        std::vector<std::string> lines;
        for (const std::string& l : Details(shipper)) {
            if (l.rfind("sending", 0) != 0)
                lines.push_back(l);
        }
        if (s.logged == nullptr) {
            EXPECT_TRUE(lines.empty()) << lines[0];
        } else {
            ASSERT_EQ(lines.size(), 1u) << s.logged;
            EXPECT_EQ(lines[0].rfind(s.logged, 0), 0u) << lines[0];
        }
    }
    EXPECT_TRUE(server.order.empty());
}

TEST_F(ShipperTest, ABatchCommittedWhoseReplyWasLostIsNotSentAgain) {
    for (const char* raw : {"r1", "r2", "r3"})
        queue.Add(raw);
    RecordShipper shipper = Make(2);
    server.loseReply = true;
    EXPECT_EQ(shipper.Step(), 1000);  // r1, r2 committed, the answer lost
    Run(shipper);
    // The mark read again says r2: r3 follows, nothing twice.
    EXPECT_EQ(server.order, (std::vector<std::string>{"r1", "r2", "r3"}));
}

// A rebuild gives the same records, stored anew, and one the old index lacked: they are offered
// whole and the server keeps each once, whether the collector starts again on the new index or
// the sender meets it while running.
TEST_F(ShipperTest, ARebuiltIndexIsOfferedWholeAndTheServerKeepsEachRecordOnce) {
    for (const bool restarted : {true, false}) {
        SCOPED_TRACE(restarted ? "started again" : "replaced while sending");
        server = FakeServer{};
        queue.rows.clear();
        for (const char* raw : {"r1", "r2", "r3"})
            queue.Add(raw);
        std::optional<RecordShipper> shipper(Make(10));
        Run(*shipper);
        Details(*shipper);
        queue.rows.clear();
        for (const char* raw : {"r0", "r1", "r2", "r3"})
            queue.Add(raw);
        for (IndexRow& r : queue.rows)
            r.storedAt = 900;
        if (restarted)
            shipper.emplace(Make(10));
        else
            queue.replaced = true;
        Run(*shipper);
        const std::vector<std::string> lines = Details(*shipper);
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines[0].find("(row 3) is not a row of this record index"), std::string::npos) << lines[0];
        EXPECT_EQ(server.Kept("Site A"), 4u);
        EXPECT_EQ(server.marks["Site A"], (ShipMark{4, ShipFingerprint(queue.rows[3])}));
    }
}

TEST_F(ShipperTest, TheSameIndexGoesOnAfterTheMark) {
    for (const char* raw : {"r1", "r2", "r3"})
        queue.Add(raw);
    {
        RecordShipper first = Make(10);
        Run(first);
    }
    queue.Add("r4");
    RecordShipper second = Make(10);
    Run(second);
    EXPECT_EQ(server.order, (std::vector<std::string>{"r1", "r2", "r3", "r4"}));
    EXPECT_EQ(Details(second), (std::vector<std::string>{
                                   "sending the records of site \"Site A\", from row 4 of the "
                                   "record index"}));
}

// A second collector set up with a site name already in use is refused before it sends a row:
// the row under the site's mark is not one of its index, and none of its records is there. So is
// one that finds the mark moved under its batch. Either says so once, shows it and raises an
// alarm, and sends nothing until the site's mark is removed on the server.
TEST_F(ShipperTest, ASecondCollectorOfTheSameSiteIsRefusedUntilTheMarkIsFree) {
    server.marks["Site A"] = {7, 7};  // the other collector's
    server.kept[{"Site A", "theirs", 0}] = 0;
    queue.Add("r1");
    queue.Add("r2");
    RecordShipper shipper = Make(1);
    clock.now = {2026, 12, 8, 18, 20, 1};
    for (int i = 0; i < 5; ++i)
        shipper.Step();
    EXPECT_TRUE(server.order.empty());
    EXPECT_EQ(server.holdsAsked, 1);  // once: refused stays refused without asking again
    EXPECT_EQ(Details(shipper),
              (std::vector<std::string>{
                  "refused: another collector sends as site \"Site A\" since 2026-12-08 "
                  "18:20:01: the server's mark for site \"Site A\" (row 7) names a record this "
                  "collector does not have, and none of its records is there as the site's"}));
    EXPECT_EQ(shipper.Status().line,
              "Database refused: another collector sends as site \"Site A\" since 2026-12-08 "
              "18:20:01, 2 records waiting");
    EXPECT_EQ(shipper.Status().alarm,
              "Database: another collector sends as site \"Site A\"; this one sends nothing "
              "until [Database] Site names a site of its own (or the site's mark is removed from "
              "velk_sites on the server)");

    // The mark removed on the server: this collector sends.
    server.marks.erase("Site A");
    Run(shipper);
    EXPECT_EQ(server.order, (std::vector<std::string>{"r1", "r2"}));
    EXPECT_TRUE(shipper.Status().alarm.empty());
    const std::vector<std::string> lines = Details(shipper);
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "the mark of site \"Site A\" on the server is this collector's again: sending");

    // Someone moves the mark under a batch: refused at once.
    queue.Add("r3");
    server.marks["Site A"] = {9, 9};
    shipper.Step();
    queue.Add("r4");
    shipper.Step();
    EXPECT_EQ(server.order.size(), 2u);
    EXPECT_FALSE(shipper.Status().alarm.empty());
}

// Batches whose answer was lost count as sent once the server's mark shows them; a rebuilt index
// met again at every retry of an outage is noted once.
TEST_F(ShipperTest, CountsAndNotesOfAnOutageSayWhatHappened) {
    for (int i = 0; i < 6; ++i)
        queue.Add("r" + std::to_string(i));
    RecordShipper shipper = Make(2);
    server.loseReply = true;
    shipper.Step();  // r0, r1 committed, the answer lost
    server.loseReply = true;
    shipper.Step();  // read the mark, r2, r3 committed, the answer lost again
    Run(shipper);
    std::vector<std::string> lines = Details(shipper);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "reachable again, 6 records sent");
    EXPECT_EQ(shipper.Status().sent, 6u);

    // A rebuilt index while the server refuses the batches: noted once.
    queue.rows.clear();
    for (int i = 0; i < 8; ++i)
        queue.Add("r" + std::to_string(i));
    for (IndexRow& r : queue.rows)
        r.storedAt = 900;
    queue.replaced = true;
    server.shipFault = ServerFault::Refused;
    for (int i = 0; i < 6; ++i)
        shipper.Step();
    lines = Details(shipper);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) {
                                return l.find("is not a row of this record index") !=
                                       std::string::npos;
                            }),
              1)
        << lines.size();
}

// Started again while the server is away, the collector knows from the mark it kept how many
// records wait.
TEST_F(ShipperTest, AStartWhileTheServerIsAwayCountsWhatWaits) {
    for (int i = 0; i < 5; ++i)
        queue.Add("r" + std::to_string(i));
    {
        RecordShipper first = Make(3);
        first.Step();  // r0..r2
    }
    EXPECT_EQ(queue.kept["Site A"].throughId, 3);
    queue.Add("r5");
    server.openFault = ServerFault::Unreachable;
    clock.now = {2026, 12, 8, 18, 20, 1};
    RecordShipper second = Make(3);
    second.Step();
    EXPECT_EQ(second.Status().waiting, 3);
    EXPECT_EQ(second.Status().line, "Database unreachable since 2026-12-08 18:20:01, 3 records waiting");
    // A mark kept of another index (rebuilt since) counts nothing.
    queue.kept["Site A"].fingerprint = 1;
    RecordShipper third = Make(3);
    third.Step();
    EXPECT_EQ(third.Status().waiting, -1);
}

TEST_F(ShipperTest, AnUnreadableIndexWaitsWithoutTouchingTheServer) {
    queue.Add("r1");
    queue.broken = true;
    RecordShipper shipper = Make();
    EXPECT_EQ(shipper.Step(), 1000);
    EXPECT_EQ(server.batches, 0);
    const std::vector<std::string> lines = Details(shipper);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("waits: the record index cannot be read since", 0), 0u);
    EXPECT_NE(lines[0].find("VELK.db: locked"), std::string::npos);
    queue.broken = false;
    Run(shipper);
    EXPECT_EQ(server.order, (std::vector<std::string>{"r1"}));
}

}  // namespace
}  // namespace velk
