#include "core/record/call_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>

#include "core/decode/record_builder.h"
#include "core/record/saver_profiles.h"
#include "fake_file_store.h"

namespace velk {
namespace {

using test::RecordBuilder;

class CallRecorderTest : public ::testing::Test {
protected:
    CallRecorderTest()
        : dirs_(OutputDirectories::Under("/base")), recorder_(settings_, files_, dirs_) {
        recorder_.SetBufferTimerRestart([this] { ++restarts_; });
    }
    void Save(const std::string& frame) {
        frames_.push_back(frame);
        const auto& f = frames_.back();
        recorder_.SaveCall_All(BillingMessage(reinterpret_cast<const uint8_t*>(f.data()),
                                              static_cast<uint32_t>(f.size() - 4)));
    }
    static std::string Body(const std::string& frame) { return frame.substr(1, frame.size() - 2); }
    std::string File(const std::string& rel) const { return files_.Content("/base/" + rel); }
    void Columns(std::initializer_list<std::pair<int, int>> columnField) {
        settings_.f.fill(0);
        for (auto [column, field] : columnField) {
            settings_.f[static_cast<size_t>(column - 1)] = 1;
            settings_.SaveInd[static_cast<size_t>(column - 1)] = field;
        }
    }

    AppSettings settings_;
    test::FakeFileStore files_;
    OutputDirectories dirs_;
    CallRecorder recorder_;
    std::list<std::string> frames_;
    int restarts_ = 0;
};

TEST_F(CallRecorderTest, DefaultsWriteNothing) {
    Save(RecordBuilder().Frame());
    EXPECT_TRUE(files_.files.empty());
}

TEST_F(CallRecorderTest, VelkAndTarvikRawLayoutsInTheRunningFile) {
    settings_.RawSave = 1;
    settings_.APP_STX = 0, settings_.APP_ETX = 0, settings_.APP_EOT = 0;
    settings_.APP_CR = 1, settings_.APP_LF = 1;
    const std::string a = RecordBuilder().Frame();
    Save(a);
    settings_.APP_STX = 1, settings_.APP_ETX = 1, settings_.APP_EOT = 1;
    settings_.APP_CR = 0, settings_.APP_LF = 0;
    Save(a);
    const std::string expected = Body(a) + "\r\n" + "\x02" + Body(a) + "\x03\x04";
    EXPECT_EQ(File("Bill/cs1000.raw"), expected);
    EXPECT_EQ(File("Bill_Backup/cs1000.raw"), expected);
    EXPECT_EQ(files_.files.size(), 2u);
}

TEST_F(CallRecorderTest, DailyRawFilesFollowTheRecordDate) {
    settings_.RawSave = 1;
    settings_.RawSaveDaily = 1;
    RecordBuilder r;
    const std::string day1 = r.Frame();
    r.start = "141A0C090C1E2D";  // the next day
    const std::string day2 = r.Frame();
    Save(day1);
    Save(day2);
    EXPECT_EQ(File("Bill/20261208.raw"), "\x02" + Body(day1) + "\r\n");
    EXPECT_EQ(File("Bill/20261209.raw"), "\x02" + Body(day2) + "\r\n");
}

// Every one of the eight date digits must be a digit; the characters just below '0' and above '9'
// in any of them make the date unusable.
TEST_F(CallRecorderTest, BadDateGoesToBadDateFiles) {
    settings_.RawSave = 1;
    settings_.RawSaveDaily = 1;
    settings_.SaveToFile = 1;
    settings_.Hex_Type = 0;  // the date digits are written as they come
    for (size_t at = 0; at < 8; ++at) {
        for (const char bad : {'/', ':'}) {
            RecordBuilder r;
            r.start = "20261208123045";
            r.start[at] = bad;
            const std::string f = r.Frame();
            files_.files.clear();
            Save(f);
            EXPECT_EQ(File("Bill/BAD_DATE.raw"), "\x02" + Body(f) + "\r\n") << at << bad;
            EXPECT_NE(File("Bill/BAD_DATE.csv"), "<missing>") << at << bad;
        }
    }
    EXPECT_EQ(BaseName("1999-09-09 12:30:45"), "19990909");
    EXPECT_EQ(BaseName(""), "BAD_DATE");
}

// The decoded file's name is the base name, a dot and the extension, twelve characters at most.
TEST_F(CallRecorderTest, DecodedFileNameIsCutAtTwelveCharacters) {
    settings_.SaveToFile = 1;
    for (auto [extension, name] : {std::pair{"csv", "20261208.csv"}, {"jpeg", "20261208.jpe"}}) {
        settings_.File_Extension = extension;
        files_.files.clear();
        Save(RecordBuilder().Frame());
        EXPECT_NE(File(std::string("Bill/") + name), "<missing>") << extension;
        EXPECT_EQ(files_.files.size(), 2u) << extension;
    }
}

TEST_F(CallRecorderTest, DecodedLinesAndHeaderOnlyInNewFiles) {
    settings_.SaveToFile = 1;
    settings_.MakeHeader = 1;
    Columns({{1, 0}, {3, 9}});  // column 2 not written: no empty field for it
    RecordBuilder r;
    r.optional = RecordBuilder::Opt("03", "02") + "FF";
    Save(r.Frame());
    Save(r.Frame());
    r.start = "141A0C090C1E2D";
    Save(r.Frame());
    EXPECT_EQ(File("Bill/20261208.csv"),
              "Sequence Number;Call Type\r\n0001;Local Call\r\n0001;Local Call\r\n");
    EXPECT_EQ(File("Bill/20261209.csv"), "Sequence Number;Call Type\r\n0001;Local Call\r\n");
    EXPECT_EQ(File("Bill_Backup/20261209.csv"), File("Bill/20261209.csv"));
}

// A line break inside a record's text would make the billing application read two records: the
// decoded line holds a blank instead; the raw files keep the bytes as they came.
TEST_F(CallRecorderTest, LineBreaksInsideFieldsAreBlanksInDecodedLines) {
    settings_.SaveToFile = 1;
    settings_.RawSave = 1;
    settings_.RawSaveDaily = 1;
    Columns({{1, 0}, {2, 2}, {3, 48}});
    RecordBuilder r;
    r.charge = "\r\n";
    r.optional = RecordBuilder::Opt("40", "00\n12\r456") + "FF";
    Save(r.Frame());
    EXPECT_EQ(File("Bill/20261208.csv"), "0001;  ;00 :12: 4:56\r\n");
    EXPECT_NE(File("Bill/20261208.raw").find("\r\n2041"), std::string::npos);
}

TEST_F(CallRecorderTest, ExistingFileGetsNoHeader) {
    settings_.SaveToFile = 1;
    settings_.MakeHeader = 1;
    Columns({{1, 0}});
    files_.files["/base/Bill/20261208.csv"] = "old\r\n";
    Save(RecordBuilder().Frame());
    EXPECT_EQ(File("Bill/20261208.csv"), "old\r\n0001\r\n");
    EXPECT_EQ(File("Bill_Backup/20261208.csv"), "Sequence Number\r\n0001\r\n");
}

TEST_F(CallRecorderTest, SeparatorRulesAndUncheckedFirstColumn) {
    settings_.SaveToFile = 1;
    Columns({{2, 0}, {4, 50}});
    settings_.Distributor_ASCII_Code = "9";  // one character: the byte 0x90
    Save(RecordBuilder().Frame());
    EXPECT_EQ(File("Bill/20261208.csv"),
              "\x90"
              "0001\x90\r\n");
    EXPECT_EQ(SeparatorByte("3B"), ';');
    EXPECT_EQ(SeparatorByte("09"), '\t');
    EXPECT_EQ(SeparatorByte("2c"), ',');
    EXPECT_EQ(SeparatorByte("G1"), '\x01');
    EXPECT_EQ(SeparatorByte("Ff"), '\xFF');
    EXPECT_EQ(SeparatorByte("Aa"), '\xAA');
    EXPECT_EQ(SeparatorByte("g:"), '\0');
    EXPECT_EQ(SeparatorByte(""), '\0');
}

TEST_F(CallRecorderTest, NoColumnsGiveEmptyLinesAndHeader) {
    settings_.SaveToFile = 1;
    settings_.MakeHeader = 1;
    settings_.f.fill(0);
    Save(RecordBuilder().Frame());
    Save(RecordBuilder().Frame());
    EXPECT_EQ(File("Bill/20261208.csv"), "\r\n\r\n\r\n");
}

TEST_F(CallRecorderTest, ShortExtensionEndsTheNameAndLongLinesAreWrittenWhole) {
    settings_.SaveToFile = 1;
    settings_.File_Extension = "tx";
    settings_.f.fill(1);
    settings_.SaveInd.fill(25);
    RecordBuilder r;
    r.optional = RecordBuilder::Opt("13", std::string(200, '7')) + "FF";  // 47 digits per column
    Save(r.Frame());
    const std::string line = File("Bill/20261208.tx");
    EXPECT_EQ(line.size(), 50u * 47 + 49 + 2);  // over 2400 bytes, nothing cut
    EXPECT_EQ(line.substr(0, 48), std::string(47, '7') + ";");
}

TEST_F(CallRecorderTest, MissingDirectoryIsSkippedAndTheOthersStillGetTheRecord) {
    settings_.RawSave = 1;
    settings_.SaveToFile = 1;
    settings_.DoBufferPacked = 1;
    settings_.DoBufferDecoded = 1;
    Columns({{1, 0}});
    files_.missingDirs.insert("/base/Bill");
    files_.files["/base/Buffers/buffer_out.raw"] = "";  // the pick-up program has not taken it
    files_.files["/base/Buffers/buffer_out.csv"] = "";
    for (int i = 0; i < 5; ++i)
        Save(RecordBuilder().Frame());
    EXPECT_EQ(File("Bill/cs1000.raw"), "<missing>");
    std::string lines;
    for (int i = 0; i < 5; ++i)
        lines += "0001\r\n";
    EXPECT_EQ(File("Bill_Backup/20261208.csv"), lines);
    EXPECT_EQ(File("Buffers/buffer_in.csv"), File("Bill_Backup/20261208.csv"));
    EXPECT_EQ(File("Buffers/buffer_in.raw"), File("Bill_Backup/cs1000.raw"));
}

TEST_F(CallRecorderTest, BufferHandOffSequence) {
    settings_.DoBufferPacked = 1;
    const std::string a = RecordBuilder().Frame();
    Save(a);  // created and handed off at once
    EXPECT_EQ(File("Buffers/buffer_out.raw"), "\x02" + Body(a) + "\r\n");
    EXPECT_EQ(File("Buffers/buffer_in.raw"), "<missing>");
    EXPECT_EQ(restarts_, 1);
    Save(a);
    Save(a);  // the out-file stays: records collect in the in-file
    EXPECT_EQ(File("Buffers/buffer_in.raw"), "\x02" + Body(a) + "\r\n\x02" + Body(a) + "\r\n");
    EXPECT_EQ(restarts_, 1);
    files_.files.erase("/base/Buffers/buffer_out.raw");   // the pick-up program took it
    files_.locked.insert("/base/Buffers/buffer_in.raw");  // but another program writes the in-file
    EXPECT_FALSE(recorder_.BuffersOnTimer());
    files_.locked.clear();
    EXPECT_TRUE(recorder_.BuffersOnTimer());
    EXPECT_EQ(File("Buffers/buffer_out.raw"), "\x02" + Body(a) + "\r\n\x02" + Body(a) + "\r\n");
    EXPECT_FALSE(recorder_.BuffersOnTimer());  // nothing to hand over
}

// A hand-off whose move keeps failing is reported at once, then once every 60 attempts, and when
// it works again; the records stay in the in-file meanwhile.
TEST_F(CallRecorderTest, HandOffThatKeepsFailingIsReported) {
    std::vector<std::pair<std::string, std::string>> reports;
    recorder_.SetProblemReport(
        [&reports](const std::string& e, const std::string& d) { reports.emplace_back(e, d); });
    settings_.DoBufferPacked = 1;
    files_.failMoves = true;
    const std::string a = RecordBuilder().Frame();
    Save(a);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].first, "Buffer hand-off");
    EXPECT_EQ(reports[0].second,
              "/base/Buffers/buffer_in.raw -> /base/Buffers/buffer_out.raw: Invalid argument (1 "
              "failed); the records stay in the in-file");
    for (int i = 1; i < 60; ++i)
        recorder_.BuffersOnTimer();
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_EQ(recorder_.HandOffFailures("buffer_in.raw"), 60);
    recorder_.BuffersOnTimer();  // the 61st
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[1].second.find("(61 failed)"), std::string::npos);
    EXPECT_EQ(File("Buffers/buffer_in.raw"), "\x02" + Body(a) + "\r\n");

    files_.failMoves = false;
    EXPECT_TRUE(recorder_.BuffersOnTimer());
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[2].second,
              "/base/Buffers/buffer_in.raw -> /base/Buffers/buffer_out.raw: works again after 61 "
              "failed");
    EXPECT_EQ(recorder_.HandOffFailures("buffer_in.raw"), 0);
    // Waiting for the pick-up program to take the out-file is no failure.
    Save(a);
    EXPECT_EQ(reports.size(), 3u);
}

// A record that could not be written because another program kept writing the file is named in
// the report; the other files still have it.
TEST_F(CallRecorderTest, RecordNotWrittenToABusyFileIsReported) {
    std::vector<std::string> reports;
    recorder_.SetProblemReport(
        [&reports](const std::string& e, const std::string& d) { reports.push_back(e + "|" + d); });
    settings_.RawSave = 1;
    files_.files["/base/Bill/cs1000.raw"] = "";
    files_.locked.insert("/base/Bill/cs1000.raw");
    const std::string a = RecordBuilder().Frame();
    Save(a);
    EXPECT_EQ(reports, std::vector<std::string>{"Not written|/base/Bill/cs1000.raw: busy; this "
                                                "record is missing from this file"});
    EXPECT_EQ(File("Bill_Backup/cs1000.raw"), "\x02" + Body(a) + "\r\n");
    // A directory that is missing is skipped without a report, as before.
    files_.locked.clear();
    files_.missingDirs.insert("/base/Bill");
    Save(a);
    EXPECT_EQ(reports.size(), 1u);
}

TEST_F(CallRecorderTest, BufferTargetsAndDecodedBufferWithoutHeader) {
    settings_.DoBufferPacked = 1;
    settings_.DoBufferPackedToOut = 1;
    settings_.DoBufferDecoded = 1;
    settings_.DoBufferDecodedToOut = 1;
    settings_.MakeHeader = 1;
    settings_.File_Extension = "txt";
    Columns({{1, 0}, {2, 9}});
    Save(RecordBuilder().Frame());
    EXPECT_NE(File("Buffers/Raw/buffer_out.raw"), "<missing>");
    EXPECT_EQ(File("Buffers/CSV/buffer_out.csv"), "0001;\r\n");
    EXPECT_TRUE(files_.files.size() == 2u);
}

TEST(SaverProfiles, RowsOfTheThreeProfiles) {
    const SaverProfile all = MakeSaverProfile(SaverProfileKind::AllFields);
    for (int k = 0; k < 50; ++k)
        EXPECT_EQ(all[static_cast<size_t>(k)].field, k);
    const SaverProfile cs = MakeSaverProfile(SaverProfileKind::Cs1000);
    EXPECT_EQ(cs[7].field, 9);
    EXPECT_EQ(cs[13].field, 18);
    EXPECT_EQ(cs[23].field, 32);
    EXPECT_TRUE(cs[23].checked);
    EXPECT_FALSE(cs[24].checked);
    EXPECT_EQ(cs[24].field, 50);
    const SaverProfile ip = MakeSaverProfile(SaverProfileKind::IpecsMg);
    EXPECT_EQ(ip[5].field, 22);
    EXPECT_EQ(ip[6].field, 31);
    EXPECT_EQ(ip[24].field, 49);
    EXPECT_TRUE(ip[24].checked);
    EXPECT_EQ(ip[25].field, 50);
    EXPECT_FALSE(ip[25].checked);
    EXPECT_EQ(ip[49].field, 50);
}

TEST_F(CallRecorderTest, Cs1000ProfileLinesHave24Texts) {
    settings_.SaveToFile = 1;
    const SaverProfile cs = MakeSaverProfile(SaverProfileKind::Cs1000);
    for (size_t k = 0; k < 50; ++k) {
        settings_.f[k] = cs[k].checked;
        settings_.SaveInd[k] = cs[k].field;
    }
    Save(RecordBuilder().Frame());
    const std::string line = File("Bill/20261208.csv");
    EXPECT_EQ(std::count(line.begin(), line.end(), ';'), 23);
}

}  // namespace
}  // namespace velk
