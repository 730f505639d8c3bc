#include "core/record/torn_records.h"

#include <gtest/gtest.h>

#include <list>

#include "core/decode/record_builder.h"
#include "fake_file_store.h"

namespace velk {
namespace {

using test::RecordBuilder;

class TornRecordsTest : public ::testing::Test {
protected:
    TornRecordsTest() : dirs_(OutputDirectories::Under("/base")) {}

    // The raw record of a call with this sequence number under the current settings.
    std::string Raw(const std::string& sequence) {
        RecordBuilder b;
        b.sequence = sequence;
        frames_.push_back(b.Frame());
        const std::string& f = frames_.back();
        return RawRecord(BillingMessage(reinterpret_cast<const uint8_t*>(f.data()),
                                        static_cast<uint32_t>(f.size() - 4)),
                         settings_);
    }
    void Profile(int stx, int etx, int eot, int cr, int lf) {
        settings_.APP_STX = stx, settings_.APP_ETX = etx, settings_.APP_EOT = eot;
        settings_.APP_CR = cr, settings_.APP_LF = lf;
    }
    std::vector<std::filesystem::path> Cut() {
        return CutTornRecords(files_, settings_, dirs_,
                              [this](const std::string& event, const std::string& detail) {
                                  reports_.push_back(event + ": " + detail);
                              });
    }

    AppSettings settings_;
    test::FakeFileStore files_;
    OutputDirectories dirs_;
    std::list<std::string> frames_;
    std::vector<std::string> reports_;
};

TEST_F(TornRecordsTest, RawRecordCutInItsBodyGoesAndTheCutIsReported) {
    Profile(0, 0, 0, 1, 1);
    const std::string whole = Raw("0001") + Raw("0002");
    const std::string third = Raw("0003");
    files_.files["/base/Bill/20261208.raw"] = whole + third.substr(0, 40);
    files_.files["/base/Bill_Backup/20261208.raw"] = whole + third;
    EXPECT_EQ(Cut(), std::vector<std::filesystem::path>{"/base/Bill/20261208.raw"});
    EXPECT_EQ(files_.Content("/base/Bill/20261208.raw"), whole);
    EXPECT_EQ(files_.Content("/base/Bill_Backup/20261208.raw"), whole + third);
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0], "Cut back: /base/Bill/20261208.raw: 40 bytes after its last whole record "
                           "(a record cut short when a program stopped) are removed; " +
                               std::to_string(whole.size()) + " bytes remain");
}

TEST_F(TornRecordsTest, RecordWhoseLineEndWasCutShortGoesWithItsStx) {
    // The built-in defaults: STX, body, CR, LF.
    const std::string first = Raw("0001");
    const std::string second = Raw("0002");
    files_.files["/base/Bill/cs1000.raw"] = first + second.substr(0, second.size() - 1);
    Cut();
    EXPECT_EQ(files_.Content("/base/Bill/cs1000.raw"), first);
}

TEST_F(TornRecordsTest, TarvikRecordsWithoutLineEnds) {
    Profile(1, 1, 1, 0, 0);
    const std::string first = Raw("0001");
    const std::string second = Raw("0002");
    for (size_t keep : {size_t{1}, size_t{3}, size_t{4}, second.size() - 1}) {
        files_.files["/base/Bill/BAD_DATE.raw"] = first + second.substr(0, keep);
        Cut();
        EXPECT_EQ(files_.Content("/base/Bill/BAD_DATE.raw"), first) << keep;
    }
    files_.files["/base/Bill/BAD_DATE.raw"] = first + second;
    EXPECT_TRUE(Cut().empty());
}

TEST_F(TornRecordsTest, RecordsWithNothingBetweenThemAreCountedFromTheStart) {
    Profile(0, 0, 0, 0, 0);
    const std::string whole = Raw("0001") + Raw("0002");
    files_.files["/base/Bill_Backup/20261208.raw"] = whole + Raw("0003").substr(0, 20);
    Cut();
    EXPECT_EQ(files_.Content("/base/Bill_Backup/20261208.raw"), whole);
    files_.files["/base/Bill_Backup/20261208.raw"] = whole;
    EXPECT_TRUE(Cut().empty());
}

TEST_F(TornRecordsTest, LineFilesLoseTheirLastUnfinishedLine) {
    settings_.File_Extension = "csv";
    const std::string lines = "Header;Cols\r\n1;2\r\n";
    files_.files["/base/Bill/20261208.csv"] = lines + "3;4\r";
    files_.files["/base/Buffers/buffer_in.csv"] = "5;6";
    files_.files["/base/Trf/20261208.trf"] = std::string(272, 'T') + "\r\n" + "TT";
    files_.files["/base/Bill_Backup/20261208.csv"] = lines;
    EXPECT_EQ(Cut().size(), 3u);
    EXPECT_EQ(files_.Content("/base/Bill/20261208.csv"), lines);
    EXPECT_EQ(files_.Content("/base/Buffers/buffer_in.csv"), "");
    EXPECT_EQ(files_.Content("/base/Trf/20261208.trf"), std::string(272, 'T') + "\r\n");
    EXPECT_EQ(files_.Content("/base/Bill_Backup/20261208.csv"), lines);
}

TEST_F(TornRecordsTest, FilesOfOtherSettingsAndOtherProgramsAreLeftAlone) {
    // Written with LF alone before the settings asked for CR LF: no record of these settings.
    Profile(0, 0, 0, 0, 1);
    const std::string older = Raw("0001") + Raw("0002");
    Profile(0, 0, 0, 1, 1);
    files_.files["/base/Bill/20261207.raw"] = older.substr(0, older.size() - 1);
    files_.files["/base/Bill/notes.txt"] = "no line end";
    files_.files["/base/Buffers/buffer_out.csv"] = "taken by the pick-up program";
    EXPECT_TRUE(Cut().empty());
    EXPECT_TRUE(reports_.empty());
    EXPECT_EQ(files_.Content("/base/Bill/notes.txt"), "no line end");
}

TEST_F(TornRecordsTest, CutThatFailsIsReportedAndLeavesTheFile) {
    Profile(0, 0, 0, 1, 1);
    const std::string torn = Raw("0001") + "0A";
    files_.files["/base/Bill/20261208.raw"] = torn;
    files_.failCuts = true;
    EXPECT_TRUE(Cut().empty());
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_NE(reports_[0].find("its last 2 bytes are not a whole record and cannot be cut off"),
              std::string::npos);
}

}  // namespace
}  // namespace velk
