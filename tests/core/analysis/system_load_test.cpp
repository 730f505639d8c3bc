#include "core/analysis/system_load.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <fstream>
#include <set>
#include <string>

#include "support/temp_dir.h"
#include "support/traffic_line.h"

namespace velk {
namespace {

std::string Line(int hour, const std::set<int>& busy, unsigned seizures = 0) {
    std::string line = test::TrafficLine(7, hour, busy, seizures);
    EXPECT_EQ(line.size(), 274u);
    return line;
}

TEST(SystemLoad, PortsSlotsAndLabels) {
    EXPECT_EQ(PortLabel(0), "1/01/01");
    EXPECT_EQ(PortLabel(15), "1/01/16");
    EXPECT_EQ(PortLabel(16), "1/02/01");
    EXPECT_EQ(PortLabel(32), "1/03/01");
    EXPECT_EQ(PortLabel(287), "1/10/32");
    EXPECT_EQ(PortLabel(288), "2/01/01");
    EXPECT_EQ(PortLabel(640), "3/01/01");
    EXPECT_EQ(PortLabel(991), "3/12/32");
    EXPECT_EQ(PortIdentifier(0), "0020");
    EXPECT_EQ(PortIdentifier(991), "03ff");
    EXPECT_EQ(SlotLabel(0), "1/01");
    EXPECT_EQ(SlotLabel(9), "1/10");
    EXPECT_EQ(SlotLabel(10), "2/01");
    EXPECT_EQ(SlotLabel(33), "3/12");
    int ports = 0;
    for (int s = 0; s < kSlotCount; ++s)
        ports += SlotPortCount(s);
    EXPECT_EQ(ports, kPortCount);
    EXPECT_EQ(SlotPortCount(0), 16);
    EXPECT_EQ(SlotPortCount(2), 32);
    EXPECT_EQ(SlotPortCount(10), 16);
    EXPECT_EQ(SlotOfPort(287), 9);
    EXPECT_EQ(SlotOfPort(288), 10);
}

// Twelve reports in hour 10, port 0 busy in 3: 0.250 at "1/01/01", column "10", colour
// (200,255,200).
TEST(SystemLoad, ShareOfTheHoursReportsInWhichAPortWasBusy) {
    std::string file;
    for (int r = 0; r < 12; ++r)
        file += Line(10, r < 3 ? std::set<int>{0} : std::set<int>{}, 5);
    TrafficDay day;
    day.Parse(file);
    EXPECT_EQ(day.reports[10], 12u);
    EXPECT_EQ(day.seizures[10], 60u);
    EXPECT_EQ(LoadText(day.PortLoad(0, 10)), "0.250");
    EXPECT_EQ(CellBand(LoadText(day.PortLoad(0, 10))), 2);
    EXPECT_EQ(BandColour(2), (Rgb{200, 255, 200}));
    EXPECT_EQ(LoadText(day.PortLoad(1, 10)), "");
    EXPECT_EQ(LoadText(day.PortLoad(0, 9)), "");
    EXPECT_EQ(ErlangText(day.Erlang(10)), "0.25");
    EXPECT_EQ(CountText(day.seizures[10]), "60");
}

TEST(SystemLoad, AlwaysBusyPortAndSlotAverage) {
    std::string file;
    for (int r = 0; r < 4; ++r)
        file += Line(7, {32});  // the first port of slot 1/03 (32 ports)
    TrafficDay day;
    day.Parse(file);
    EXPECT_EQ(LoadText(day.PortLoad(32, 7)), "1.0");
    EXPECT_EQ(LoadText(day.SlotLoad(2, 7)), "0.031");
    EXPECT_EQ(LoadText(day.SlotLoad(0, 7)), "");
    EXPECT_EQ(CellBand("1.0"), 6);
    EXPECT_EQ(BandColour(6), (Rgb{255, 0, 0}));
}

// The same lines counted from one block and from pieces cut anywhere, inside a line, between its
// CR and LF, and right after them.
TEST(SystemLoad, LinesThatDoNotCount) {
    const std::string good = Line(3, {5});
    std::string file = "";
    file += good.substr(0, 271) + "\r\n";       // one character short
    file += good.substr(0, 272) + "0\r\n";      // one too long
    file += std::string(Line(24, {5}));         // hour 24
    file += "2026-12-07 3A" + good.substr(13);  // hour 3*10+10 = 40
    file += good;                               // a good line
    file += Line(23, {991});                    // the last hour, the last port
    file += good.substr(0, 272) + "\n";         // no CR: runs into the next line
    file += good.substr(0, 272);                // being appended: no CR LF yet
    for (size_t piece :
         {file.size(), size_t{1}, size_t{2}, size_t{272}, size_t{273}, size_t{274}, size_t{275}}) {
        SCOPED_TRACE(piece);
        TrafficDay day;
        TrafficCounter counter(day);
        for (size_t at = 0; at < file.size(); at += piece)
            counter.Feed(std::string_view(file).substr(at, piece));
        counter.Finish();
        EXPECT_EQ(day.reports[3], 1u);
        uint32_t all = 0;
        for (uint32_t r : day.reports)
            all += r;
        EXPECT_EQ(all, 2u);
        EXPECT_EQ(day.busy[5][3], 1u);
        EXPECT_EQ(day.reports[23], 1u);
        EXPECT_EQ(day.busy[991][23], 1u);
    }
}

// A line of hour 24 is no hour of the day: the day counts as if it were not there.
TEST(SystemLoad, HourTwentyFourLeavesTheDayAsItWas) {
    const std::string good = Line(0, {1}, 3) + Line(23, {2, 991}, 4);
    TrafficDay day, without;
    day.Parse(Line(0, {5}, 2) + Line(24, {0, 5, 991}, 0x1234) + good);
    without.Parse(Line(0, {5}, 2) + good);
    EXPECT_EQ(day.reports, without.reports);
    EXPECT_EQ(day.seizures, without.seizures);
    EXPECT_EQ(day.busy, without.busy);
}

// Bits are added up in small counters of 255 reports before they reach the busy counts: an hour
// of more reports than that, busy in 256 and in 400 of them, counts every one.
TEST(SystemLoad, HoursOfManyReports) {
    std::string file;
    for (int r = 0; r < 600; ++r)
        file +=
            Line(5, r < 400 ? (r < 256 ? std::set<int>{7, 8} : std::set<int>{7}) : std::set<int>{});
    TrafficDay day;
    day.Parse(file);
    EXPECT_EQ(day.reports[5], 600u);
    EXPECT_EQ(day.busy[7][5], 400u);
    EXPECT_EQ(day.busy[8][5], 256u);
    EXPECT_EQ(day.busy[9][5], 0u);
    EXPECT_EQ(LoadText(day.PortLoad(7, 5)), "0.667");
}

TEST(SystemLoad, EmptyAndMalformedFilesGiveEmptyTables) {
    for (const std::string& content :
         {std::string(), std::string("garbage\r\nmore\r\n"), std::string(272, 'x') + "\r\n"}) {
        TrafficDay day;
        day.busy[3][4] = 9;  // a file loaded before
        day.Parse(content);
        for (int h = 0; h < kHours; ++h) {
            EXPECT_EQ(ErlangText(day.Erlang(h)), "");
            EXPECT_EQ(CountText(day.seizures[static_cast<size_t>(h)]), "");
            for (int s = 0; s < kSlotCount; ++s)
                EXPECT_EQ(CellBand(LoadText(day.SlotLoad(s, h))), 0);
        }
        EXPECT_EQ(day.busy[3][4], 0u);
    }
}

TEST(SystemLoad, NumberFormatsAndBandsAtTheirEdges) {
    EXPECT_EQ(ErlangText(99.994f), "99.99");
    EXPECT_EQ(ErlangText(100.0f), "100.0");
    EXPECT_EQ(ErlangText(999.9f), "999.9");
    EXPECT_EQ(ErlangText(1000.0f), "1000");
    EXPECT_EQ(LoadText(0.0005f), "0.001");  // shown as 0.001: read back, band 1
    EXPECT_EQ(CellBand(LoadText(0.0005f)), 1);
    EXPECT_EQ(LoadBand(0.0009f), 0);
    EXPECT_EQ(LoadBand(0.001f), 1);
    EXPECT_EQ(LoadBand(0.1499f), 1);
    EXPECT_EQ(LoadBand(0.15f), 2);
    EXPECT_EQ(LoadBand(0.30f), 3);
    EXPECT_EQ(LoadBand(0.45f), 4);
    EXPECT_EQ(LoadBand(0.60f), 5);
    EXPECT_EQ(LoadBand(0.7499f), 5);
    EXPECT_EQ(LoadBand(0.75f), 6);
    EXPECT_EQ(CellBand(""), 0);
    EXPECT_STREQ(BandLegend(0), "< 0.001");
    EXPECT_STREQ(BandLegend(6), ">=0.75");
}

TEST(SystemLoad, FilesOfADay) {
    test::TempDir dir;
    EXPECT_EQ(TrafficFileName(dir.Path(), 2026, 12, 7), dir / "20261207.trf");
    TrafficDay day;
    EXPECT_FALSE(LoadTrafficFile(dir / "20261207.trf", day));
    test::WriteFile(dir / "20261207.trf", Line(10, {0}) + Line(11, {1, 2}));
    ASSERT_TRUE(LoadTrafficFile(dir / "20261207.trf", day));
    EXPECT_EQ(day.reports[10], 1u);
    EXPECT_EQ(day.reports[11], 1u);
    EXPECT_EQ(ErlangText(day.Erlang(11)), "2.00");
}

long PeakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A file far bigger than anything the view should hold in memory (4 GiB, mostly a hole): it is
// read as a stream, its reports at both ends counted, and calling the reading off ends it.
TEST(SystemLoad, HugeFileIsReadPieceByPiece) {
    test::TempDir dir;
    const auto path = dir / "20261207.trf";
    constexpr off_t kSize = off_t{4} << 30;
    {
        std::ofstream out(path, std::ios::binary);
        out << Line(1, {0}) << Line(2, {1});
    }
    ASSERT_EQ(::truncate(path.c_str(), kSize), 0);
    {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out << "\r\n" << Line(22, {2});  // ends the run of zero bytes, then one more report
    }
    const long before = PeakResidentKiB();
    TrafficDay day;
    ASSERT_TRUE(LoadTrafficFile(path, day));
    EXPECT_LT(PeakResidentKiB() - before, 64 * 1024) << "KiB more at the peak";
    EXPECT_EQ(day.reports[1] + day.reports[2] + day.reports[22], 3u);
    EXPECT_EQ(day.busy[2][22], 1u);

    int pieces = 0;
    EXPECT_FALSE(LoadTrafficFile(path, day, [&pieces] { return ++pieces > 3; }));
    EXPECT_EQ(pieces, 4);
}

TEST(SystemLoad, PipesAndDirectoriesAreNotRead) {
    test::TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo.trf").c_str(), 0600), 0);
    TrafficDay day;
    EXPECT_FALSE(LoadTrafficFile(dir / "fifo.trf", day));  // would wait for a writer for ever
    EXPECT_FALSE(LoadTrafficFile(dir.Path(), day));
}

// A desktop takes the user's locale; the tables and the clipboard keep writing 0.250.
TEST(SystemLoad, NumbersAreWrittenAndReadBackWithADecimalPoint) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "scripts/setup makes this locale";
    EXPECT_EQ(LoadText(0.25f), "0.250");
    EXPECT_EQ(LoadText(1.0f), "1.0");
    EXPECT_EQ(ErlangText(12.5f), "12.50");
    EXPECT_EQ(ErlangText(123.25f), "123.2");
    EXPECT_EQ(CellBand("0.250"), 2);
    EXPECT_EQ(CellBand("0.700"), 5);
    std::setlocale(LC_ALL, saved.c_str());
}

}  // namespace
}  // namespace velk
