#include "core/analysis/raw_import.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/decode/billing_message.h"
#include "core/decode/record_builder.h"
#include "core/foundation/app_settings.h"
#include "core/record/call_recorder.h"

namespace velk {
namespace {

using test::RecordBuilder;

class StringSource : public ImportSource {
public:
    explicit StringSource(std::string data, size_t failAfter = std::string::npos)
        : data_(std::move(data)), failAfter_(failAfter), length_(data_.size()) {}
    // A file that grows while it is read: its length was taken when it was shorter.
    StringSource(std::string data, uint64_t lengthAtStart, bool)
        : data_(std::move(data)), failAfter_(std::string::npos), length_(lengthAtStart) {}
    uint64_t Length() const override { return length_; }
    size_t Read(uint8_t* to, size_t n) override {
        if (at_ >= failAfter_)
            return 0;  // the file went away or cannot be read any more
        const size_t take = std::min({n, data_.size() - at_, failAfter_ - at_});
        std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(at_), take, to);
        at_ += take;
        return take;
    }

private:
    std::string data_;
    size_t failAfter_;
    uint64_t length_;
    size_t at_ = 0;
};

class RecordingSink : public ImportSink {
public:
    void Message(const uint8_t* frame, uint32_t length) override {
        messages.emplace_back(reinterpret_cast<const char*>(frame), length + 3);
    }
    void BadCheck() override { ++bad; }
    void Progress(uint32_t p) override { percents.push_back(p); }
    void Imported(uint64_t n) override { counts.push_back(n); }
    void Pause() override { ++pauses; }
    bool Cancelled() override { return cancelAfter > 0 && messages.size() >= cancelAfter; }

    std::vector<std::string> messages;  // STX, length digits, text, check digits
    std::vector<uint32_t> percents;
    std::vector<uint64_t> counts;
    int bad = 0, pauses = 0;
    size_t cancelAfter = 0;
};

std::vector<std::string> Frames(int n) {
    std::vector<std::string> frames;
    for (int i = 0; i < n; ++i) {
        RecordBuilder r;
        char seq[16];
        std::snprintf(seq, sizeof seq, "%04X", static_cast<unsigned>(i + 1) & 0xFFFFu);
        r.sequence = seq;
        r.optional = RecordBuilder::Opt("03", i % 2 ? "02" : "0B") + "FF";
        frames.push_back(r.Frame());
    }
    return frames;
}

std::string WithoutEtx(const std::string& frame) {
    return frame.substr(0, frame.size() - 1);
}

// A raw file as the recorder writes it in each of its profiles imports every message.
TEST(RawImport, EveryRawProfileImportsEveryMessage) {
    struct Profile {
        const char* name;
        int stx, etx, eot, cr, lf;
    };
    const Profile profiles[] = {{"default", 1, 0, 0, 1, 1},
                                {"VELK Profile", 0, 0, 0, 1, 1},
                                {"Tarvik Profile", 1, 1, 1, 0, 0}};
    const std::vector<std::string> frames = Frames(30);
    for (const Profile& p : profiles) {
        AppSettings s;
        s.APP_STX = p.stx, s.APP_ETX = p.etx, s.APP_EOT = p.eot, s.APP_CR = p.cr, s.APP_LF = p.lf;
        std::string file;
        for (const std::string& f : frames) {
            file += RawRecord(BillingMessage(reinterpret_cast<const uint8_t*>(f.data()),
                                             static_cast<uint32_t>(f.size() - 4)),
                              s);
        }
        StringSource source(file);
        RecordingSink sink;
        const ImportResult r = RunRawImport(source, sink, false);
        EXPECT_EQ(r.end, ImportEnd::Completed) << p.name;
        EXPECT_EQ(r.imported, 30u) << p.name;
        ASSERT_EQ(sink.messages.size(), 30u) << p.name;
        for (size_t i = 0; i < frames.size(); ++i)
            EXPECT_EQ(sink.messages[i], WithoutEtx(frames[i])) << p.name << " " << i;
        EXPECT_EQ(sink.pauses, 30);
        EXPECT_EQ(sink.percents.back(), 100u);
        EXPECT_EQ(r.Status(), std::string(kImportCompleted));
        EXPECT_EQ(r.Message(), "");
    }
}

TEST(RawImport, FilesWithoutCompleteMessages) {
    // Ten bytes that never make a message: completed, nothing imported.
    StringSource blanks(std::string(10, ' '));
    RecordingSink sink;
    ImportResult r = RunRawImport(blanks, sink, false);
    EXPECT_EQ(r.end, ImportEnd::Completed);
    EXPECT_EQ(r.imported, 0u);
    EXPECT_TRUE(sink.messages.empty());

    // Nine bytes are too small a file; ten are not.
    StringSource nine(std::string(9, 'x'));
    r = RunRawImport(nine, sink, false);
    EXPECT_EQ(r.end, ImportEnd::TooSmall);
    EXPECT_EQ(r.Message(), "Selected file has a mistake!\nToo small file size!");
    EXPECT_EQ(r.Status(), std::string("Import Stopped."));

    // Length digits no message can have (0, 999 and more: the characters would not fit) make no
    // message and count no failed check; reading goes on, the characters are skipped. A length of
    // 998 is the longest that fits.
    for (const char* digits : {"000", "3E7", "FFF", "xyz"}) {
        StringSource never(std::string(digits) + std::string(1200, '5') + "\r\n" +
                           WithoutEtx(Frames(1)[0]));
        RecordingSink s;
        r = RunRawImport(never, s, false);
        EXPECT_EQ(r.end, ImportEnd::Completed) << digits;
        EXPECT_EQ(r.imported, 1u) << digits;
        EXPECT_EQ(r.badCheck, 0u) << digits;
        EXPECT_EQ(r.skippedCharacters, 1203u) << digits;
        EXPECT_EQ(r.skipOffsets, std::vector<uint64_t>{0}) << digits;
    }
    RawImportScanner longest(false);
    RawImportScanner::Step step = RawImportScanner::Step::Continue;
    for (char c : "3E6" + std::string(997, '5'))
        step = longest.Feed(static_cast<uint8_t>(c));
    EXPECT_EQ(longest.Collected(), 1000u);
    EXPECT_EQ(step, RawImportScanner::Step::Complete);
    EXPECT_TRUE(longest.LengthPossible());
}

TEST(RawImport, CharactersThatCount) {
    RawImportScanner s(false);
    for (uint8_t c : {0x02, 0x03, 0x0D, 0x0A, 0x20, 0x80, 0xFF})
        EXPECT_EQ(s.Feed(c), RawImportScanner::Step::Continue);
    EXPECT_EQ(s.Collected(), 0u);
    s.Feed('0');
    s.Feed('0');
    s.Feed('5');
    EXPECT_EQ(s.Length(), 5u);
    s.Feed(0x1F);  // below the blank: dropped in the program's own files
    EXPECT_EQ(s.Collected(), 3u);

    RawImportScanner other(true);
    other.Feed(0x1F);  // the length digits come first: dropped
    EXPECT_EQ(other.Collected(), 0u);
    for (char c : std::string("005"))
        other.Feed(static_cast<uint8_t>(c));
    other.Feed(0x1F);  // other programs' characters start above 13
    other.Feed(0x0E);
    other.Feed(0x0D);
    EXPECT_EQ(other.Collected(), 5u);
}

// A stray byte costs at most the message it stands before, never the rest of the file: after a
// message that fails its check, reading goes on at the next message start. What was skipped is
// counted, with where it began.
TEST(RawImport, AfterAFailedCheckReadingGoesOnAtTheNextMessageStart) {
    const std::vector<std::string> frames = Frames(20);
    const size_t body = frames[0].size() - 2;  // the length digits, the text and the check digits
    const auto line = [&](size_t i, bool stx) {
        return frames[i].substr(stx ? 0 : 1, body + (stx ? 1 : 0)) + "\r\n";
    };
    struct Case {
        const char* name;
        bool stx;
        std::string before10;  // written just before line 10
        std::string end9;      // written at the end of line 9, before its CR LF
        bool lost10;
        uint64_t skipped;
    };
    const Case cases[] = {
        {"stray byte before an STX", true, "X", "", false, 1},
        {"stray byte at a line start", false, "X", "", true, 1 + body},
        {"stray byte before a CR LF", false, "", "X", false, 1},
        {"stray digit making a long length", false, "1", "", true, 1 + body},
        {"stray digit making too long a length, before an STX", true, "4", "", false, 1},
        {"stray digit making too long a length", false, "4", "", true, 1 + body},
    };
    for (const Case& c : cases) {
        std::string file;
        uint64_t strayAt = 0;
        for (size_t i = 0; i < frames.size(); ++i) {
            std::string l = line(i, c.stx);
            if (i == 9 && !c.end9.empty()) {
                strayAt = file.size() + l.size() - 2;
                l.insert(l.size() - 2, c.end9);
            }
            if (i == 10 && !c.before10.empty()) {
                strayAt = file.size();
                l.insert(0, c.before10);
            }
            file += l;
        }
        StringSource source(file);
        RecordingSink sink;
        const ImportResult r = RunRawImport(source, sink, false);
        SCOPED_TRACE(c.name);
        EXPECT_EQ(r.end, ImportEnd::Completed);
        EXPECT_EQ(r.badCheck, c.before10 == "4" ? 0u : 1u);  // too long a length is no message
        std::vector<std::string> expected;
        for (size_t i = 0; i < frames.size(); ++i) {
            if (i != 10 || !c.lost10)
                expected.push_back(WithoutEtx(frames[i]));
        }
        EXPECT_EQ(sink.messages, expected);
        EXPECT_EQ(r.skippedCharacters, c.skipped);
        EXPECT_EQ(r.skipOffsets, std::vector<uint64_t>{strayAt});
    }

    // Records written one after the other without anything between them: a message that fails
    // its check is skipped whole and reading goes on right after it.
    std::string file;
    for (size_t i = 0; i < frames.size(); ++i)
        file += frames[i].substr(1, body);
    file[10 * body + body - 1] ^= 1;  // a check digit of record 10
    StringSource source(file);
    RecordingSink sink;
    const ImportResult r = RunRawImport(source, sink, false);
    EXPECT_EQ(r.imported, 19u);
    EXPECT_EQ(r.skippedCharacters, body);
    EXPECT_EQ(r.skipOffsets, std::vector<uint64_t>{10 * body});
    EXPECT_EQ(sink.messages.back(), WithoutEtx(frames[19]));
    EXPECT_EQ(r.Remarks(), std::to_string(body) +
                               " bytes were skipped where no message passed its check, from "
                               "offset " +
                               std::to_string(10 * body) + ".");
}

// Skipped bytes are told run by run, each from where it began: a message that passes ends a run,
// failed ones in a row make one. The first five runs are named.
TEST(RawImport, EveryRunOfSkippedBytesIsToldFromWhereItBegan) {
    const std::vector<std::string> frames = Frames(20);
    const size_t body = frames[0].size() - 2;
    std::string file;
    std::vector<std::string> expected;
    std::vector<uint64_t> runs;
    for (size_t i = 0; i < frames.size(); ++i) {
        std::string line = WithoutEtx(frames[i]) + "\r\n";
        if (i == 3) {
            line[line.size() - 3] ^= 1;  // a check digit
            runs.push_back(file.size() + 1);
        } else {
            expected.push_back(WithoutEtx(frames[i]));
        }
        // A stray byte right after the failed message still belongs to its run.
        if (i == 4 || (i > 4 && i % 3 == 0)) {
            if (i != 4)
                runs.push_back(file.size());
            line.insert(0, "X");
        }
        file += line;
    }
    ASSERT_EQ(runs.size(), 6u);
    StringSource source(file);
    RecordingSink sink;
    const ImportResult r = RunRawImport(source, sink, false);
    EXPECT_EQ(sink.messages, expected);
    EXPECT_EQ(r.skippedCharacters, body + 6);
    EXPECT_EQ(r.skipRuns, 6u);
    EXPECT_EQ(r.skipOffsets, std::vector<uint64_t>(runs.begin(), runs.begin() + 5));
    EXPECT_EQ(r.Remarks(), std::to_string(body + 6) +
                               " bytes were skipped where no message passed its check, from "
                               "offsets " +
                               std::to_string(runs[0]) + ", " + std::to_string(runs[1]) + ", " +
                               std::to_string(runs[2]) + ", " + std::to_string(runs[3]) + ", " +
                               std::to_string(runs[4]) + " and others.");
}

// The last message cut off by the end of the file is told, with its size and where it began;
// the file's length taken at the start is all that is read of a file that grows meanwhile.
TEST(RawImport, WhatTheEndOfTheFileCutsOff) {
    const std::vector<std::string> frames = Frames(5);
    std::string file;
    for (const auto& f : frames)
        file += WithoutEtx(f) + "\r\n";
    const size_t lastStart = file.size() - frames[4].size();  // after the last STX
    const std::string cut = file.substr(0, file.size() - 20);
    StringSource source(cut);
    RecordingSink sink;
    ImportResult r = RunRawImport(source, sink, false);
    EXPECT_EQ(r.end, ImportEnd::Completed);
    EXPECT_EQ(r.imported, 4u);
    EXPECT_EQ(r.tailOffset, lastStart);
    EXPECT_EQ(r.tailBytes, cut.size() - lastStart);
    EXPECT_EQ(r.Remarks(), "The file ends inside a message: its last " +
                               std::to_string(cut.size() - lastStart) + " bytes, from offset " +
                               std::to_string(lastStart) + ", were not imported.");

    // Complete to its last check digit, without line end: nothing to tell.
    StringSource whole(file.substr(0, file.size() - 2));
    r = RunRawImport(whole, sink, false);
    EXPECT_EQ(r.tailBytes, 0u);
    EXPECT_EQ(r.Remarks(), "");

    // Three records when the length was taken, five when they were read.
    const size_t three = 3 * (frames[0].size() + 1);
    StringSource growing(file, three, true);
    RecordingSink grown;
    r = RunRawImport(growing, grown, false);
    EXPECT_EQ(r.imported, 3u);
    EXPECT_EQ(r.consumed, three);
}

// Length digits damaged near the end can give a length that runs past the end of the file: the
// message is read again from its next message start, as after a failed check, and only its own
// record is lost. A record the end cuts off behind it is still told as cut off.
TEST(RawImport, ADamagedLengthNearTheEndCostsOnlyItsRecord) {
    const std::vector<std::string> frames = Frames(20);
    std::string file;
    std::vector<size_t> starts;
    for (const auto& f : frames) {
        starts.push_back(file.size());
        file += WithoutEtx(f).substr(1) + "\r\n";
    }
    const size_t body = frames[0].size() - 2;
    // "3xx": a length a message can have, longer than the three records left.
    file[starts[17]] = '3';
    ASSERT_GT(0x300u, file.size() - starts[17]);
    for (const bool cutLast : {false, true}) {
        SCOPED_TRACE(cutLast ? "last record cut off" : "whole file");
        const std::string read = cutLast ? file.substr(0, file.size() - 10) : file;
        StringSource source(read);
        RecordingSink sink;
        const ImportResult r = RunRawImport(source, sink, false);
        std::vector<std::string> expected;
        for (size_t i = 0; i < frames.size(); ++i) {
            if (i != 17 && !(cutLast && i == 19))
                expected.push_back(WithoutEtx(frames[i]));
        }
        EXPECT_EQ(sink.messages, expected);
        EXPECT_EQ(r.badCheck, 0u);
        EXPECT_EQ(r.skippedCharacters, body);
        EXPECT_EQ(r.skipOffsets, std::vector<uint64_t>{starts[17]});
        EXPECT_EQ(r.tailBytes, cutLast ? read.size() - starts[19] : 0u);
        EXPECT_EQ(r.tailOffset, cutLast ? starts[19] : 0u);
        EXPECT_EQ(sink.percents.back(), 100u);
    }
}

// A record file VELK stored is read back as it was stored: blanks inside a message (what
// another program's damaged file gives) belong to it, and a file of one short record is read.
TEST(RawImport, StoredFilesAreReadAsTheyWereStored) {
    std::string frame = WithoutEtx(Frames(1)[0]);
    frame[40] = ' ';
    unsigned bcc = 0;
    for (size_t i = 1; i + 2 < frame.size(); ++i)
        bcc ^= static_cast<unsigned char>(frame[i]);
    char digits[4];
    std::snprintf(digits, sizeof digits, "%02X", bcc);
    frame.replace(frame.size() - 2, 2, digits);
    const std::string file = frame.substr(1) + "\r\n" + WithoutEtx(Frames(2)[1]).substr(1) + "\r\n";
    StringSource stored(file);
    RecordingSink sink;
    ImportResult r = ReadStoredRawFile(stored, sink);
    EXPECT_EQ(r.imported, 2u);
    ASSERT_EQ(sink.messages.size(), 2u);
    EXPECT_EQ(sink.messages[0], frame);
    // An import takes a blank for a separator, as it always did: that message fails.
    StringSource imported(file);
    RecordingSink importSink;
    r = RunRawImport(imported, importSink, false);
    EXPECT_EQ(importSink.messages.size(), 1u);

    // "005", the type 52 and its check digits ('0' ^ '0' ^ '5' ^ '5' ^ '2' is 0x32).
    StringSource tiny("0055232\r\n");
    RecordingSink tinySink;
    r = ReadStoredRawFile(tiny, tinySink);
    EXPECT_EQ(r.end, ImportEnd::Completed);
    EXPECT_EQ(tinySink.messages, std::vector<std::string>{"\x02"
                                                          "0055232"});
}

TEST(RawImport, WrongChecksAreCountedAndSkipped) {
    std::vector<std::string> frames = Frames(3);
    frames[1][frames[1].size() - 2] ^= 1;  // a BCC digit
    std::string file;
    for (const auto& f : frames)
        file += f + "\r\n";
    StringSource source(file);
    RecordingSink sink;
    const ImportResult r = RunRawImport(source, sink, false);
    EXPECT_EQ(r.imported, 2u);
    EXPECT_EQ(r.badCheck, 1u);
    EXPECT_EQ(sink.bad, 1);
    EXPECT_EQ(sink.counts, (std::vector<uint64_t>{1, 2}));
}

// The 360 layout of other programs' files: each digit shifted by its position, pairs swapped.
std::string Scramble(const std::string& text) {
    const auto shift = [](char c, unsigned k) {
        const unsigned v = c <= '9' ? c - '0' : c - 'A' + 10;
        return static_cast<char>((k % 6) + 0x20 + v);
    };
    std::string s = text;
    for (size_t i = 0, k = 0; i + 1 < text.size(); i += 2, k += 2) {
        s[i + 1] = shift(text[i], static_cast<unsigned>(k));
        s[i] = shift(text[i + 1], static_cast<unsigned>(k + 1));
    }
    return s;
}

TEST(RawImport, OtherProgramsFilesAreUnscrambled) {
    const std::string plain = WithoutEtx(Frames(1)[0]);
    const std::string text = plain.substr(4, plain.size() - 6);  // without length and check digits
    ASSERT_EQ((text.size() + 3) % 2, 1u);
    // The check digits of such a file are not checked as written: they are computed anew.
    const std::string file = plain.substr(1, 3) + Scramble(text) + "??\r\n";
    StringSource source(file);
    RecordingSink sink;
    const ImportResult r = RunRawImport(source, sink, true);
    EXPECT_EQ(r.imported, 1u);
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0], plain);
}

// Cancel during a long import stops after the current message; what was imported stays.
TEST(RawImport, CancelStopsAfterTheCurrentMessage) {
    std::string file;
    for (const auto& f : Frames(50))
        file += f + "\r\n";
    StringSource source(file);
    RecordingSink sink;
    sink.cancelAfter = 7;
    const ImportResult r = RunRawImport(source, sink, false);
    EXPECT_EQ(r.end, ImportEnd::Cancelled);
    EXPECT_EQ(r.imported, 7u);
    EXPECT_EQ(sink.messages.size(), 7u);
    EXPECT_EQ(r.Status(), std::string("Import Stopped."));
    EXPECT_EQ(r.Message(), "");
}

// A file that cannot be read any more half-way: what was imported stays, the rest is not guessed.
TEST(RawImport, ReadErrorHalfWay) {
    std::string file;
    for (const auto& f : Frames(2000))
        file += f + "\r\n";
    StringSource source(file, 60000);
    RecordingSink sink;
    const ImportResult r = RunRawImport(source, sink, false);
    EXPECT_EQ(r.end, ImportEnd::ReadError);
    EXPECT_EQ(r.Message(), "Selected file has a mistake!\nRead error!");
    EXPECT_EQ(r.consumed, 60000u);  // a whole chunk, what could still be read, then the failure
    EXPECT_EQ(r.imported, sink.messages.size());
    EXPECT_GT(r.imported, 0u);
    EXPECT_LT(r.imported, 2000u);
}

// The percentage follows the messages read, not the chunks: it moves with every message.
TEST(RawImport, ProgressFollowsTheMessages) {
    std::string file;
    const std::vector<std::string> frames = Frames(1000);
    for (const auto& f : frames)
        file += f + "\r\n";
    StringSource source(file);
    RecordingSink sink;
    RunRawImport(source, sink, false);
    ASSERT_EQ(sink.percents.size(), 1001u);
    // The first message ends with its check digits, before its ETX.
    EXPECT_EQ(sink.percents.front(), (frames[0].size() - 1) * 100 / file.size());
    EXPECT_EQ(sink.percents[500], (501 * (frames[0].size() + 2) - 3) * 100 / file.size());
    EXPECT_TRUE(std::is_sorted(sink.percents.begin(), sink.percents.end()));
    EXPECT_EQ(sink.percents.back(), 100u);
}

TEST(ImportProgressText, TimesAndEstimates) {
    EXPECT_EQ(ImportProgressText::Elapsed(65), "Elapsed Time     : 0:00:01:05");
    EXPECT_EQ(ImportProgressText::Elapsed(2 * 86400 + 3 * 3600 + 4 * 60 + 5),
              "Elapsed Time     : 2:03:04:05");
    // elapsed x (100 - p) / p: 3 s for the first 10 % leave 27 s, not 0.
    EXPECT_EQ(ImportProgressText::Estimated(3, 10), "Estimated Time : 0:00:00:27");
    EXPECT_EQ(ImportProgressText::Estimated(30, 25), "Estimated Time : 0:00:01:30");
    EXPECT_EQ(ImportProgressText::Estimated(300, 25), "Estimated Time : 0:00:15:00");
    EXPECT_EQ(ImportProgressText::Estimated(30, 0), "");
    EXPECT_EQ(ImportProgressText::Estimated(99, 100), "Estimated Time : 0:00:00:00");
    EXPECT_EQ(ImportProgressText::Imported(50), "Imported Messages Number : 50 ");
    // After 25 % of a file, 50 imported messages give an estimated total of 200.
    EXPECT_EQ(ImportProgressText::EstimatedTotal(50, 25),
              "Estimated Total Imported Messages Number : 200 ");
    EXPECT_EQ(ImportProgressText::EstimatedTotal(50, 0), "");
}

}  // namespace
}  // namespace velk
