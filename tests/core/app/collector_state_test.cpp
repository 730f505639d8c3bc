// The state file the collector publishes, as written and as a reader takes it: every value back
// as it was, and whatever else is in the file (cut short, garbled, too long, hostile) refused or
// bounded.
#include "core/app/collector_state.h"

#include <gtest/gtest.h>

#include "core/record/fake_file_store.h"

namespace velk {
namespace {

CollectorState Sample() {
    CollectorState s;
    s.running = true;
    s.written = 1'765'280'000;
    s.started = 1'765'200'000;
    s.link = "connected";
    s.linkUp = true;
    s.peer = "10.0.0.5:6013 (CS1000 Main Billing Server)";
    s.day = 20261209;
    s.callsToday = 152;
    s.callsStored = 9'000'000'000ULL;
    s.trafficStored = 3;
    s.lastCall = 1'765'279'990;
    s.lastCallLocal = "2026-12-09 14:03:07";
    s.alarms = {{1'765'279'000, "Sequence gap: expected 0004, received 0006, 2 missing"},
                {1'765'270'000, "Database: refused"}};
    s.database = true;
    s.databaseLine = "Database: 12 records waiting";
    s.databaseWaiting = 12;
    s.databaseAwaySince = 1'765'260'000;
    s.freeBytes = 123'456'789'012;
    s.indexLagBytes = 0;
    s.indexWaiting = 4;
    return s;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(CollectorStateTest, EveryValueComesBackAsWritten) {
    const std::string text = FormatCollectorState(Sample());
    EXPECT_EQ(text.substr(0, 13), "VELK state 1\n");
    EXPECT_NE(text.find("\ncalls_stored=9000000000\n"), std::string::npos);
    EXPECT_NE(text.find("\nalarm=1765279000 Sequence gap: expected 0004, received 0006, 2 missing\n"),
              std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 4), "end\n");
    const StateReading reading = ParseCollectorState(text);
    ASSERT_EQ(reading.status, StateReading::Status::Read);
    EXPECT_EQ(reading.state, Sample());
}

TEST(CollectorStateTest, AMissingFileIsToldFromAnUnreadableOne) {
    test::FakeFileStore files;
    EXPECT_EQ(ReadCollectorState(files, "/base").status, StateReading::Status::Missing);
    files.files["/base/VELK.state"] = "";
    EXPECT_EQ(ReadCollectorState(files, "/base").status, StateReading::Status::Unreadable);
    files.files["/base/VELK.state"] = FormatCollectorState(Sample());
    const StateReading reading = ReadCollectorState(files, "/base");
    ASSERT_EQ(reading.status, StateReading::Status::Read);
    EXPECT_EQ(reading.state.callsToday, 152u);
}

TEST(CollectorStateTest, AFileCutShortAnywhereIsRefused) {
    const std::string text = FormatCollectorState(Sample());
    for (size_t length = 0; length < text.size(); ++length) {
        EXPECT_EQ(ParseCollectorState(text.substr(0, length)).status,
                  StateReading::Status::Unreadable)
            << "cut at " << length;
    }
}

TEST(CollectorStateTest, GarbledFilesAreRefused) {
    const std::string text = FormatCollectorState(Sample());
    const std::pair<std::string, std::string> damages[] = {
        {"VELK state 1", "VELK state 2"},
        {"calls_today=152", "calls_today=152x"},
        {"calls_today=152", "calls_today=-1"},
        {"calls_today=152", "calls_today=18446744073709551616"},  // one more than fits
        {"calls_today=152", "calls_today="},
        {"running=1", "running=yes"},
        {"free_bytes=123456789012", "free_bytes=-2"},
        {"day=20261209", "day=100000000"},
        {"alarm=1765279000 Sequence", "alarm=later Sequence"},
        {"link_up=1\n", "link_up\n"},
        {"end\n", "end\nrunning=0\n"},  // something after the end
    };
    for (const auto& [from, to] : damages) {
        EXPECT_EQ(ParseCollectorState(Replaced(text, from, to)).status,
                  StateReading::Status::Unreadable)
            << to;
    }
    EXPECT_EQ(ParseCollectorState(std::string(kStateFileLimit + 1, '\n')).status,
              StateReading::Status::Unreadable);
}

TEST(CollectorStateTest, UnknownKeysAndWindowsLineEndsAreRead) {
    std::string text = Replaced(FormatCollectorState(Sample()), "end\n", "later_key=x\nend\n");
    std::string crlf;
    for (char c : text)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    for (const std::string& variant : {text, crlf}) {
        const StateReading reading = ParseCollectorState(variant);
        ASSERT_EQ(reading.status, StateReading::Status::Read);
        EXPECT_EQ(reading.state, Sample());
    }
}

TEST(CollectorStateTest, TextsAreOneBoundedLineOfUtf8) {
    CollectorState s = Sample();
    s.peer = "a\nb\tc\x7f";
    s.link = std::string(kStateTextLimit - 1, 'x') + "\xc3\xa9";  // é across the limit
    s.databaseLine = "Caf\xe9";                                 // Latin-1
    s.alarms.assign(kStateAlarmLimit + 3, {5, "alarm"});
    const std::string text = FormatCollectorState(s);
    EXPECT_NE(text.find("\npeer=a b c \n"), std::string::npos);
    const StateReading reading = ParseCollectorState(text);
    ASSERT_EQ(reading.status, StateReading::Status::Read);
    EXPECT_EQ(reading.state.peer, "a b c ");
    EXPECT_EQ(reading.state.link, std::string(kStateTextLimit - 1, 'x'));
    EXPECT_EQ(reading.state.databaseLine, "Caf\xc3\xa9");
    EXPECT_EQ(reading.state.alarms.size(), kStateAlarmLimit);

    // A reader bounds what another writer put there the same way.
    const std::string hostile =
        Replaced(text, "\nend\n",
                 "\nlink=<script>\xff" + std::string(5000, 'y') + "\nalarm=1 \x01zz\nend\n");
    const StateReading bounded = ParseCollectorState(hostile);
    ASSERT_EQ(bounded.status, StateReading::Status::Read);
    EXPECT_EQ(bounded.state.link, "<script>\xc3\xbf" + std::string(kStateTextLimit - 10, 'y'));
    EXPECT_EQ(bounded.state.alarms.size(), kStateAlarmLimit);
    CollectorState few = Sample();
    const StateReading controls = ParseCollectorState(
        Replaced(FormatCollectorState(few), "\nend\n", "\nalarm=1 \x01zz\x1b[2J\nend\n"));
    ASSERT_EQ(controls.status, StateReading::Status::Read);
    EXPECT_EQ(controls.state.alarms.back().text, " zz [2J");
}

}  // namespace
}  // namespace velk
