#include "core/archive/stored_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "core/decode/billing_message.h"
#include "core/decode/record_builder.h"
#include "core/record/call_recorder.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using test::RecordBuilder;

std::string Frame(int sequence, const std::string& start = RecordBuilder().start) {
    RecordBuilder r;
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(sequence));
    r.sequence = text;
    r.start = start;
    return r.Frame();
}

BillingMessage Message(const std::string& frame) {
    return BillingMessage(reinterpret_cast<const uint8_t*>(frame.data()),
                          static_cast<uint32_t>(frame.size() - 4));
}

// An import's survey noting the frame, and its asking for the frame's stored copies.
void Note(StoredRecords& stored, const std::string& frame) {
    stored.Note(reinterpret_cast<const uint8_t*>(frame.data()), Message(frame).Length());
}
StoredRecords::Found Take(StoredRecords& stored, const std::string& frame) {
    return stored.TakeStored(reinterpret_cast<const uint8_t*>(frame.data()),
                             Message(frame).Length());
}

// The record files as the recorders write them for these frames, in Bill.
void Store(const AppSettings& s, const std::filesystem::path& bill,
           const std::vector<std::string>& frames) {
    FieldDecoder decoder(s);
    for (const std::string& f : frames) {
        std::string date;
        decoder.DecodeField(4, Message(f), RecordBase::FromHexType(s.Hex_Type), date);
        const std::string base = BaseName(date);
        if (s.RawSave == 1) {
            std::string raw = test::ReadFile(bill / RawFileName(s, base));
            test::WriteFile(bill / RawFileName(s, base), raw + RawRecord(Message(f), s));
        } else {
            std::string lines = test::ReadFile(bill / DecodedFileName(s, base));
            test::WriteFile(bill / DecodedFileName(s, base),
                            lines + MakeDecodedLine(s, decoder, Message(f)));
        }
    }
}

struct Case {
    const char* name;
    int rawSave, rawSaveDaily;
    std::vector<int> columns;  // the fields of the decoded columns
    std::string extension;
    int hexType;
    std::string start;  // of every record
};

// Which file a record is looked for in, and by what: the daily raw file, the one raw file, a
// record of no valid date, the decoded file (its name cut to twelve characters). A record
// stored once answers for one of two equal records imported; one stored twice, for one.
TEST(StoredRecords, EachStoredCopyAnswersForOneRecord) {
    const Case cases[] = {
        {"daily raw files", 1, 1, {}, "csv", 1, RecordBuilder().start},
        {"one raw file", 1, 0, {}, "csv", 1, RecordBuilder().start},
        {"no valid date", 1, 1, {}, "csv", 0, "2026:208123045"},
        {"decoded files", 0, 1, {0, 4, 9}, "text", 1, RecordBuilder().start},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir base;
        const OutputDirectories dirs = OutputDirectories::Under(base.Path());
        MakeSaveDir(dirs);
        AppSettings s;
        s.RawSave = c.rawSave;
        s.RawSaveDaily = c.rawSaveDaily;
        s.SaveToFile = 1;
        s.File_Extension = c.extension;
        s.Hex_Type = c.hexType;
        for (size_t k = 0; k < c.columns.size(); ++k) {
            s.f[k] = 1;
            s.SaveInd[k] = c.columns[k];
        }
        const std::string one = Frame(1, c.start), two = Frame(2, c.start),
                          three = Frame(3, c.start);
        const std::string four = Frame(4, c.start);
        Store(s, dirs.bill, {one, two, two, four});
        const char* expected[] = {"20261208.raw", "cs1000.raw", "BAD_DATE.raw", "20261208.tex"};
        EXPECT_TRUE(std::filesystem::exists(dirs.bill / expected[&c - cases]))
            << expected[&c - cases];
        StoredRecords stored(s, dirs);
        ASSERT_TRUE(stored.Comparable());
        for (const std::string& f : {one, one, two, three})
            Note(stored, f);
        EXPECT_EQ(stored.Look(), 2u);  // one of the two ones, the two
        // Only Bill holds them: found in its file, and not everywhere.
        const auto take = [&](const std::string& f) {
            const StoredRecords::Found found = Take(stored, f);
            EXPECT_FALSE(found.everywhere);
            return std::find(found.files.begin(), found.files.end(),
                             dirs.bill / expected[&c - cases]) != found.files.end();
        };
        EXPECT_TRUE(take(one));
        EXPECT_FALSE(take(one));  // its one copy is taken
        EXPECT_TRUE(take(two));
        EXPECT_FALSE(take(three));  // never stored
        EXPECT_FALSE(take(four));   // stored, but not in the file imported: not looked for
    }
}

// "Stored already" is decided for each file a record goes to: a buffer in-file together with its
// out-file, a decoded file by its line where the lines tell calls apart, else as the raw file of
// its directory.
TEST(StoredRecords, DecidedForEachFileTheRecordGoesTo) {
    for (const bool linesTell : {true, false}) {
        SCOPED_TRACE(linesTell ? "decoded lines tell calls apart" : "decoded lines follow raw");
        test::TempDir base;
        const OutputDirectories dirs = OutputDirectories::Under(base.Path());
        MakeSaveDir(dirs);
        AppSettings s;
        s.RawSave = 1;
        s.SaveToFile = 1;
        s.DoBufferPacked = 1;
        s.DoBufferDecoded = 1;
        s.DoBufferPackedToOut = 1;
        s.Hex_Type = 1;
        s.RawSaveDaily = 1;
        const std::vector<int> columns = linesTell ? std::vector<int>{0, 4} : std::vector<int>{0};
        for (size_t k = 0; k < columns.size(); ++k) {
            s.f[k] = 1;
            s.SaveInd[k] = columns[k];
        }
        FieldDecoder decoder(s);
        const std::string one = Frame(1), two = Frame(2);
        const std::string raw1 = RawRecord(Message(one), s), raw2 = RawRecord(Message(two), s);
        const std::string line1 = MakeDecodedLine(s, decoder, Message(one));
        // Record one in Bill (raw, and decoded), record two in Bill's raw file only; both in the
        // raw buffer, one before the hand-off, one after; in Bill_Backup neither.
        test::WriteFile(dirs.bill / "20261208.raw", raw1 + raw2);
        test::WriteFile(dirs.bill / "20261208.csv", line1);
        test::WriteFile(dirs.buffersRaw / "buffer_out.raw", raw1);
        test::WriteFile(dirs.buffers / "buffer_in.raw", raw2);
        StoredRecords stored(s, dirs);
        for (const std::string& f : {one, two})
            Note(stored, f);
        EXPECT_EQ(stored.Look(), 2u);  // in Bill's raw file
        const StoredRecords::Found first = Take(stored, one), second = Take(stored, two);
        EXPECT_FALSE(first.everywhere);
        EXPECT_FALSE(second.everywhere);
        using Paths = std::vector<std::filesystem::path>;
        const auto sorted = [](Paths p) {
            std::sort(p.begin(), p.end());
            return p;
        };
        EXPECT_EQ(sorted(first.files),
                  sorted(linesTell ? Paths{dirs.bill / "20261208.raw", dirs.bill / "20261208.csv",
                                           dirs.buffers / "buffer_in.raw"}
                                   : Paths{dirs.bill / "20261208.raw", dirs.bill / "20261208.csv",
                                           dirs.buffers / "buffer_in.raw",
                                           dirs.buffers / "buffer_in.csv"}));
        EXPECT_EQ(sorted(second.files),
                  sorted(linesTell ? Paths{dirs.bill / "20261208.raw", dirs.buffers / "buffer_in.raw"}
                                   : Paths{dirs.bill / "20261208.raw", dirs.bill / "20261208.csv",
                                           dirs.buffers / "buffer_in.raw",
                                           dirs.buffers / "buffer_in.csv"}));

        // The raw buffer handed over to its out-file, and no in-file begun since: the out-file
        // still answers for the in-file.
        std::filesystem::remove(dirs.buffers / "buffer_in.raw");
        StoredRecords handedOff(s, dirs);
        Note(handedOff, one);
        EXPECT_EQ(handedOff.Look(), 1u);  // in Bill's raw file
        const StoredRecords::Found again = Take(handedOff, one);
        EXPECT_FALSE(again.everywhere);  // Bill_Backup lacks it
        EXPECT_NE(std::find(again.files.begin(), again.files.end(), dirs.buffers / "buffer_in.raw"),
                  again.files.end());
    }
}

// Each day has its own files, and a file that is not there holds no copy: the count of records
// stored already is that of the first file of the first record even where that file is missing,
// while another file of the record still answers for it.
TEST(StoredRecords, EachDayHasItsFilesAndAMissingOneHoldsNoCopy) {
    test::TempDir base;
    const OutputDirectories dirs = OutputDirectories::Under(base.Path());
    MakeSaveDir(dirs);
    AppSettings s;
    s.RawSave = 1;
    s.RawSaveDaily = 1;
    const std::string first = Frame(1), second = Frame(2, "141A0C090C1E2D");  // the 9th
    Store(s, dirs.billBackup, {first});  // Bill has no file of the 8th
    Store(s, dirs.bill, {second});       // Bill_Backup has none of the 9th
    StoredRecords stored(s, dirs);
    for (const std::string& f : {first, second})
        Note(stored, f);
    EXPECT_EQ(stored.Look(), 0u);  // Bill's file of the 8th holds nothing
    EXPECT_TRUE(stored.AnyStored());
    const StoredRecords::Found one = Take(stored, first), two = Take(stored, second);
    EXPECT_FALSE(one.everywhere);
    EXPECT_FALSE(two.everywhere);
    EXPECT_EQ(one.files, std::vector<std::filesystem::path>{dirs.billBackup / "20261208.raw"});
    EXPECT_EQ(two.files, std::vector<std::filesystem::path>{dirs.bill / "20261209.raw"});
}

// Decoded lines without the sequence number or without the start cannot tell calls apart; a
// message other than a call record is never stored already.
TEST(CallRecordsOfDay, TheDaysRawFileOrElseItsDecodedFile) {
    test::TempDir base;
    const OutputDirectories dirs = OutputDirectories::Under(base.Path());
    MakeSaveDir(dirs);
    AppSettings s;
    s.RawSave = 1;
    s.RawSaveDaily = 1;
    s.APP_CR = 0;  // records one after another, no line ends: counted as messages, not lines
    s.APP_LF = 0;
    Store(s, dirs.bill, {Frame(1), Frame(2), Frame(3), Frame(4, "141A0C090C1E2D")});
    // A traffic report in the file is no call record.
    const std::string traffic = RecordBuilder().Frame("35");
    test::WriteFile(dirs.bill / "20261208.raw", test::ReadFile(dirs.bill / "20261208.raw") +
                                                    traffic.substr(1, traffic.size() - 2));
    EXPECT_EQ(CallRecordsOfDay(s, dirs, "20261208"), 3u);
    EXPECT_EQ(CallRecordsOfDay(s, dirs, "20261209"), 1u);
    EXPECT_EQ(CallRecordsOfDay(s, dirs, "20261210"), 0u);

    // One raw file for every day says nothing of one day: the decoded file does.
    s.RawSaveDaily = 0;
    EXPECT_EQ(CallRecordsOfDay(s, dirs, "20261208"), 0u);
    s.SaveToFile = 1;
    s.f[0] = s.f[1] = 1;
    s.SaveInd[0] = 0;
    s.SaveInd[1] = 4;
    const std::string header = DecodedFileHeader(s);
    test::WriteFile(dirs.bill / DecodedFileName(s, "20261208"),
                    header + "0001;2026-12-08 12:30:45\r\n0002;2026-12-08 12:31:00\r\n0003;2026");
    // The header is no record, nor is a last line still being written.
    EXPECT_EQ(CallRecordsOfDay(s, dirs, "20261208"), 2u);
    test::WriteFile(dirs.bill / DecodedFileName(s, "20261209"), "0001;2026-12-09 00:00:01\r\n");
    EXPECT_EQ(CallRecordsOfDay(s, dirs, "20261209"), 1u);
    s.SaveToFile = 0;
    EXPECT_EQ(CallRecordsOfDay(s, dirs, "20261209"), 0u);
}

TEST(StoredRecords, WhatCannotBeCompared) {
    test::TempDir base;
    const OutputDirectories dirs = OutputDirectories::Under(base.Path());
    AppSettings s;
    s.SaveToFile = 1;
    for (const std::vector<int>& columns : {std::vector<int>{4, 9}, std::vector<int>{0, 9}}) {
        for (size_t k = 0; k < columns.size(); ++k) {
            s.f[k] = 1;
            s.SaveInd[k] = columns[k];
        }
        EXPECT_FALSE(StoredRecords(s, dirs).Comparable());
    }
    s.SaveToFile = 0;
    s.DoBufferDecoded = 1;
    EXPECT_FALSE(StoredRecords(s, dirs).Comparable());
    s.DoBufferDecoded = 0;
    s.DoBufferPacked = 1;  // the buffer's raw records tell calls apart
    EXPECT_TRUE(StoredRecords(s, dirs).Comparable());
    s.DoBufferPacked = 0;

    s.RawSave = 1;
    MakeSaveDir(dirs);
    const std::string traffic = RecordBuilder().Frame("35");
    Store(s, dirs.bill, {Frame(1)});
    test::WriteFile(dirs.bill / "20261208.raw", test::ReadFile(dirs.bill / "20261208.raw") +
                                                    traffic.substr(1, traffic.size() - 2));
    StoredRecords stored(s, dirs);
    Note(stored, traffic);
    EXPECT_EQ(stored.Look(), 0u);
}

struct StringSource : ImportSource {
    explicit StringSource(const std::string& d) : data(d) {}
    uint64_t Length() const override { return data.size(); }
    size_t Read(uint8_t* to, size_t n) override {
        const size_t take = std::min(n, data.size() - at);
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(at), take, to);
        at += take;
        return take;
    }
    std::string data;
    size_t at = 0;
};

// The 360 layout: each digit shifted by its position, pairs swapped; check digits made anew.
std::string OtherProgramFile(const std::string& plain) {
    const std::string text = plain.substr(4, plain.size() - 7);
    std::string scrambled = text;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const auto shift = [](char ch, size_t k) {
            const unsigned v = ch <= '9' ? ch - '0' : ch - 'A' + 10;
            return static_cast<char>(k % 6 + 0x20 + v);
        };
        scrambled[i + 1] = shift(text[i], i);
        scrambled[i] = shift(text[i + 1], i + 1);
    }
    return plain.substr(1, 3) + scrambled + "??\r\n";
}

// A character of another program's file that is no shifted digit becomes a blank in what VELK
// stores; read back, the stored record keeps it, so that a damaged file imported twice is
// stored once.
TEST(StoredRecords, ADamagedFileOfAnotherProgramIsFoundStored) {
    test::TempDir base;
    const OutputDirectories dirs = OutputDirectories::Under(base.Path());
    MakeSaveDir(dirs);
    AppSettings s;
    s.RawSave = 1;
    s.RawSaveDaily = 1;
    std::string file = OtherProgramFile(Frame(7)) + OtherProgramFile(Frame(8));
    file[60] = '~';  // in the dialled digits of the first record
    // What the first import stores: the unscrambled messages, a blank for the '~'.
    struct Collect : ImportSink {
        void Message(const uint8_t* frame, uint32_t length) override {
            frames.emplace_back(reinterpret_cast<const char*>(frame), length + 3);
        }
        void BadCheck() override {}
        std::vector<std::string> frames;
    } first;
    StringSource once(file);
    ASSERT_EQ(RunRawImport(once, first, true).imported, 2u);
    ASSERT_NE(first.frames[0].find(' '), std::string::npos);
    std::string stored;
    for (const std::string& f : first.frames)
        stored += RawRecord(Message(f + "\x03"), s);
    test::WriteFile(dirs.bill / "20261208.raw", stored);

    StringSource again(file);
    StoredRecords records(s, dirs);
    const ImportSurvey survey = SurveyImport(again, true, records);
    EXPECT_EQ(survey.callRecords, 2u);
    EXPECT_EQ(survey.alreadyStored, 2u);
}

// A record file of one short record is looked through like any other.
TEST(StoredRecords, ARecordFileOfNineBytesIsLookedThrough) {
    test::TempDir base;
    const OutputDirectories dirs = OutputDirectories::Under(base.Path());
    MakeSaveDir(dirs);
    AppSettings s;
    s.RawSave = 1;
    s.RawSaveDaily = 1;
    s.APP_STX = 0;
    // "005", the type 52 and the check digits: a call record without a date.
    std::string frame =
        "\x02"
        "00552";
    unsigned bcc = 0;
    for (size_t i = 1; i < frame.size(); ++i)
        bcc ^= static_cast<unsigned char>(frame[i]);
    char digits[4];
    std::snprintf(digits, sizeof digits, "%02X", bcc);
    frame += std::string(digits) + "\x03";
    const std::string record = RawRecord(Message(frame), s);
    ASSERT_EQ(record.size(), 9u);
    Store(s, dirs.bill, {frame});
    ASSERT_EQ(test::ReadFile(dirs.bill / "BAD_DATE.raw"), record);

    StringSource twice(record + record);
    StoredRecords stored(s, dirs);
    const ImportSurvey survey = SurveyImport(twice, false, stored);
    EXPECT_EQ(survey.callRecords, 2u);
    EXPECT_EQ(survey.alreadyStored, 1u);
}

// A file of another program, read unscrambled, is compared with what VELK stored of it.
TEST(StoredRecords, FilesOfOtherProgramsAreComparedUnscrambled) {
    test::TempDir base;
    const OutputDirectories dirs = OutputDirectories::Under(base.Path());
    MakeSaveDir(dirs);
    AppSettings s;
    s.RawSave = 1;
    s.RawSaveDaily = 1;
    const std::string plain = Frame(7);
    Store(s, dirs.bill, {plain});
    // The 360 layout: each digit shifted by its position, pairs swapped; check digits made anew.
    const std::string text = plain.substr(4, plain.size() - 7);
    std::string scrambled = text;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const auto shift = [](char ch, size_t k) {
            const unsigned v = ch <= '9' ? ch - '0' : ch - 'A' + 10;
            return static_cast<char>(k % 6 + 0x20 + v);
        };
        scrambled[i + 1] = shift(text[i], i);
        scrambled[i] = shift(text[i + 1], i + 1);
    }
    const std::string file = plain.substr(1, 3) + scrambled + "??\r\n";
    struct Source : ImportSource {
        explicit Source(const std::string& d) : data(d) {}
        uint64_t Length() const override { return data.size(); }
        size_t Read(uint8_t* to, size_t n) override {
            const size_t take = std::min(n, data.size() - at);
            std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(at), take, to);
            at += take;
            return take;
        }
        std::string data;
        size_t at = 0;
    } source(file);
    StoredRecords stored(s, dirs);
    const ImportSurvey survey = SurveyImport(source, true, stored);
    EXPECT_EQ(survey.callRecords, 1u);
    EXPECT_EQ(survey.alreadyStored, 1u);
}

}  // namespace
}  // namespace velk
