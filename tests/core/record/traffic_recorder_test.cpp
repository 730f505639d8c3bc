#include "core/record/traffic_recorder.h"

#include <gtest/gtest.h>

#include <list>

#include "fake_file_store.h"

namespace velk {
namespace {

// One part of a traffic report: type 35, the six date-time pairs, the part number, the payload.
std::string Part(const std::string& stamp, int part, const std::string& payload) {
    char number[8];
    std::snprintf(number, sizeof number, "%02X", part);
    std::string text = "35" + std::string(6, '0') + stamp + number + payload;
    while (text.size() + 3 < 79)
        text += '0';
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03X", static_cast<unsigned>(text.size() + 3));
    return std::string(1, '\x02') + digits + text + "00";
}

class TrafficRecorderTest : public ::testing::Test {
protected:
    TrafficRecorderTest() : recorder_(files_, "/base/Trf") {}
    void Send(const std::string& frame) {
        frames_.push_back(frame);
        const std::string& f = frames_.back();
        recorder_.OnTrafficMessage(BillingMessage(reinterpret_cast<const uint8_t*>(f.data()),
                                                  static_cast<uint32_t>(f.size() - 3)));
    }
    void Report(const std::string& stamp, char fill) {
        for (int part = 0; part < 3; ++part)
            Send(Part(stamp, part, std::string(74, fill)));
        Send(Part(stamp, 3, std::string(30, fill)));
    }
    test::FakeFileStore files_;
    TrafficRecorder recorder_;
    std::list<std::string> frames_;
};

TEST_F(TrafficRecorderTest, CompleteReportIsOneLine) {
    Report("1A0C07090A0B", 'A');  // 2026-12-07 09:10:11
    const std::string file = files_.Content("/base/Trf/20261207.trf");
    ASSERT_EQ(file.size(), 274u);
    EXPECT_EQ(file.substr(0, 20), "2026-12-07 09:10:11;");
    EXPECT_EQ(file.substr(20, 252), std::string(252, 'A'));
    EXPECT_EQ(file.substr(272), "\r\n");
}

TEST_F(TrafficRecorderTest, LineBreaksInThePayloadAreBlanks) {
    const std::string stamp = "1A0C07090A0B";
    Send(Part(stamp, 0, std::string(30, 'A') + "\r\n" + std::string(42, 'A')));
    Send(Part(stamp, 1, std::string(73, 'B') + "\n"));
    Send(Part(stamp, 2, std::string(74, 'C')));
    Send(Part(stamp, 3, "\r" + std::string(29, 'D')));
    const std::string file = files_.Content("/base/Trf/20261207.trf");
    ASSERT_EQ(file.size(), 274u);
    EXPECT_EQ(file.substr(20, 74), std::string(30, 'A') + "  " + std::string(42, 'A'));
    EXPECT_EQ(file.substr(94 + 73, 1), " ");
    EXPECT_EQ(file.substr(242, 1), " ");
    EXPECT_EQ(file.find_first_of("\r\n"), 272u);  // only the line's own end
}

TEST_F(TrafficRecorderTest, SameDateAppendsNewDateStartsAFile) {
    Report("1A0C07090A0B", 'A');
    Report("1A0C07170000", 'B');
    Report("1A0C08000000", 'C');
    EXPECT_EQ(files_.Content("/base/Trf/20261207.trf").size(), 2 * 274u);
    EXPECT_EQ(files_.Content("/base/Trf/20261208.trf").substr(0, 20), "2026-12-08 00:00:00;");
}

TEST_F(TrafficRecorderTest, PartsWithoutTheirFirstPartAreDropped) {
    Report("1A0C07090A0B", 'A');
    // Part 0 of the next report is lost: its parts 1..3 must not extend the finished report.
    Send(Part("1A0C07100000", 1, std::string(74, 'X')));
    Send(Part("1A0C07100000", 2, std::string(74, 'X')));
    Send(Part("1A0C07100000", 3, std::string(30, 'X')));
    EXPECT_EQ(files_.Content("/base/Trf/20261207.trf").size(), 274u);
    Report("1A0C07110000", 'D');
    EXPECT_EQ(files_.Content("/base/Trf/20261207.trf").size(), 2 * 274u);
}

TEST_F(TrafficRecorderTest, LostMiddlePartGivesAShortLine) {
    Send(Part("1A0C07090A0B", 0, std::string(74, 'A')));
    Send(Part("1A0C07090A0B", 2, std::string(74, 'A')));
    Send(Part("1A0C07090A0B", 3, std::string(30, 'A')));
    EXPECT_EQ(files_.Content("/base/Trf/20261207.trf").size(), 274u - 74);
}

}  // namespace
}  // namespace velk
