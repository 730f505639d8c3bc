// Every record stored once, whatever step the program dies at: a PBX delivers records over the
// link to a collector whose files keep to the page-cache model of the fake store; the program is
// killed (the system's memory kept) or the power fails (what was not flushed is lost) at every
// step of a run, then started again, and the PBX goes on from the first record it has no ACK for.
// The system may have written some of what was not flushed back by itself before the power
// failed: the journal's writes, or the record files' appends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/app/alarm_view.h"
#include "core/app/collector.h"
#include "core/decode/record_builder.h"
#include "core/link/billing_record.h"
#include "core/link/disk_queue.h"
#include "core/link/link_fakes.h"
#include "core/record/fake_file_store.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

// How a run ends: killed (the system's memory kept), or the power failing (what was not flushed
// is lost, but for what the system may have written back by itself before: the state files'
// writes, that is the journal's and the queue's, or the record files' appends).
using Writeback = test::FakeFileStore::Writeback;
const struct {
    const char* name;
    bool powerFails;
    Writeback early;
} kEnds[] = {{"killed", false, Writeback::Nothing},
             {"power fails", true, Writeback::Nothing},
             {"power fails, the state files written back", true, Writeback::StateFiles},
             {"power fails, the appends written back", true, Writeback::Appends}};

// Nothing leaves a machine that has stopped.
class MachineChannel : public test::FakeChannel {
public:
    explicit MachineChannel(const test::FakeFileStore& files) : files_(files) {}
    bool Write(uint8_t byte) override { return files_.Dead() || FakeChannel::Write(byte); }

private:
    const test::FakeFileStore& files_;
};

// One run of the program: a collector with its timers, channel and view, started and connected.
struct Machine {
    Machine(AppSettings& settings, const std::filesystem::path& base, test::FakeFileStore& files)
        : channel(files), collector(settings, base, prompt, clock, timers, ring, files) {
        collector.SetChannels(&channel, &channel);
        collector.SetView(&view);
        collector.Start();
        if (collector.Connection().Connect())
            collector.Protocol().OnChannelReady();
    }
    test::FakeTimers timers;
    test::FakeClock clock;
    test::ScriptedPrompt prompt;
    LastCallsRing ring;
    MachineChannel channel;
    test::AlarmView view;
    Collector collector;
};

// The PBX: each record goes out until the ACK for it comes; then it counts as sent.
struct Pbx {
    std::vector<std::string> frames;
    size_t next = 0;

    // Serves the machine until every record is sent or the machine stops.
    void Serve(Machine& m, const test::FakeFileStore& files) {
        cs_smda_prot& p = m.collector.Protocol();
        while (next < frames.size() && !files.Dead()) {
            ASSERT_EQ(p.State, ENQ_SENT);
            const std::string& f = frames[next];
            p.RX_Buf[0] = STX;
            p.SMDA_read_event(1);
            std::memcpy(&p.RX_Buf[1], f.data() + 1, 3);
            p.SMDA_read_event(3);
            std::memcpy(&p.RX_Buf[4], f.data() + 4, f.size() - 4);
            p.SMDA_read_event(p.Data_Len);
            if (m.channel.written.empty() || m.channel.written.back() != ACK)
                return;  // the machine stopped before its ACK left
            ++next;
            m.channel.written.clear();
            p.RX_Buf[0] = EOT;
            p.SMDA_read_event(1);
            if (files.Dead())
                return;
            p.SMDA_Timer_Expired(ENQ_DATA_PERIOD_TIMER);
        }
    }
};

class CollectorCrashTest : public ::testing::Test {
protected:
    CollectorCrashTest() {
        settings_.IP_Used = 1;
        settings_.RawSave = 1;
        settings_.RawSaveDaily = 1;
        settings_.SaveToFile = 1;
        settings_.MakeHeader = 1;
        settings_.f.fill(0);
        for (size_t k = 0; k < 3; ++k) {
            settings_.f[k] = 1;
            settings_.SaveInd[k] = static_cast<int32_t>(k * 4);
        }
        settings_.DoBufferPacked = 1;
        settings_.DoBufferDecoded = 1;
        for (const char* sequence : {"0001", "0002", "0003"}) {
            test::RecordBuilder r;
            r.sequence = sequence;
            pbx_.frames.push_back(r.Frame());
        }
    }

    // The record files as a pick-up program sees them: the daily files as they are, each buffer
    // pair as its out-file followed by its in-file (where the cut between them falls depends on
    // when a hand-off took place).
    std::map<std::string, std::string> RecordFiles(const test::FakeFileStore& files) const {
        std::map<std::string, std::string> out;
        for (const auto& [path, content] : files.files) {
            const std::filesystem::path p(path);
            if (p.filename() == DeliveryJournal::kFileName)
                continue;
            if (p.parent_path().filename() == "Buffers")
                out["buffer" + p.extension().string()].insert(
                    p.stem() == "buffer_out" ? 0 : out["buffer" + p.extension().string()].size(),
                    content);
            else
                out[p.parent_path().filename().string() + "/" + p.filename().string()] = content;
        }
        return out;
    }

    // The raw record of the PBX's record i.
    std::string Raw(size_t i) const {
        const std::string& f = pbx_.frames[i];
        return RawRecord(BillingMessage(reinterpret_cast<const uint8_t*>(f.data()),
                                        static_cast<uint32_t>(f.size() - 4)),
                         settings_);
    }

    test::TempDir dir_;
    AppSettings settings_;
    Pbx pbx_;
};

TEST_F(CollectorCrashTest, EveryRecordOnceWhateverStepTheProgramDiesAt) {
    test::FakeFileStore reference;
    {
        Machine m(settings_, dir_.Path(), reference);
        Pbx pbx = pbx_;
        pbx.Serve(m, reference);
        ASSERT_EQ(pbx.next, pbx.frames.size());
        EXPECT_TRUE(m.view.lines.empty());
    }
    const auto expected = RecordFiles(reference);
    ASSERT_EQ(expected.size(), 6u);  // raw and decoded in Bill and Bill_Backup, two buffer pairs
    EXPECT_EQ(expected.at("Bill/20261208.raw"), Raw(0) + Raw(1) + Raw(2));
    EXPECT_EQ(expected.at("buffer.raw"), Raw(0) + Raw(1) + Raw(2));

    for (const auto& end : kEnds) {
        for (int step = 1; step <= reference.steps; ++step) {
            SCOPED_TRACE(std::string(end.name) + " at step " + std::to_string(step));
            test::FakeFileStore files;
            files.dieAtStep = step;
            Pbx pbx = pbx_;
            {
                Machine m(settings_, dir_.Path(), files);
                pbx.Serve(m, files);
            }
            ASSERT_TRUE(files.Dead());
            if (end.powerFails)
                files.PowerCut(end.early);
            files.Revive();
            Machine m(settings_, dir_.Path(), files);
            pbx.Serve(m, files);
            ASSERT_EQ(pbx.next, pbx.frames.size());
            EXPECT_EQ(RecordFiles(files), expected);
            EXPECT_TRUE(m.view.lines.empty());
            EXPECT_EQ(m.view.problems, std::vector<std::string>{});
        }
    }
}

// The power fails at each step from a buffer file's hand-off on: the journal's newest state
// ("delivered") reached the disk before the in-file was moved, so the start after it never takes
// the record handed over for pending and stores it again into a new in-file.
TEST_F(CollectorCrashTest, APowerCutAfterAHandOffStoresNothingTwice) {
    test::FakeFileStore reference;
    reference.recordSteps = true;
    {
        Machine m(settings_, dir_.Path(), reference);
        Pbx pbx = pbx_;
        pbx.Serve(m, reference);
    }
    const auto expected = RecordFiles(reference);
    const std::string journal = "flush " + (dir_.Path() / DeliveryJournal::kFileName).string();
    const auto& names = reference.stepNames;
    const auto move = std::find_if(names.begin(), names.end(), [](const std::string& n) {
        return n.rfind("move ", 0) == 0 && n.find("buffer_in") != std::string::npos;
    });
    ASSERT_NE(move, names.end());
    // Right before the move: the journal flushed, after the record's last append.
    const auto lastAppend = std::find_if(std::make_reverse_iterator(move), names.rend(),
                                         [](const std::string& n) { return n.rfind("append ", 0) == 0; });
    ASSERT_NE(lastAppend, names.rend());
    EXPECT_NE(std::find(lastAppend.base(), move, journal), move);
    for (int step = static_cast<int>(move - names.begin()) + 1; step <= reference.steps; ++step) {
        SCOPED_TRACE("power fails at step " + std::to_string(step) + " (" + names[step - 1] + ")");
        test::FakeFileStore files;
        files.dieAtStep = step;
        Pbx pbx = pbx_;
        {
            Machine m(settings_, dir_.Path(), files);
            pbx.Serve(m, files);
        }
        files.PowerCut();
        files.Revive();
        Machine m(settings_, dir_.Path(), files);
        pbx.Serve(m, files);
        ASSERT_EQ(pbx.next, pbx.frames.size());
        EXPECT_EQ(RecordFiles(files), expected);
    }
}

// The billing server's queue file, kept in the fake store: the reader's writes are steps of the
// machine and reach the disk only when flushed. The producer is not part of the test: it wrote
// its records and flushed them before.
class StoreQueueFile : public QueueFile {
public:
    StoreQueueFile(test::FakeFileStore& files, std::string path)
        : files_(files), path_(std::move(path)) {}
    bool Open() override { return files_.Exists(path_); }
    void Close() override {}
    QueueLock Lock(const KeepWaiting&) override { return QueueLock::Held; }
    void Unlock() override {}
    uint64_t Size() override { return Bytes().size(); }
    bool Read(uint64_t offset, uint8_t* to, size_t n) override {
        if (offset + n > Bytes().size())
            return false;
        std::memcpy(to, Bytes().data() + offset, n);
        return true;
    }
    bool Write(uint64_t offset, const uint8_t* from, size_t n) override {
        return files_.WriteAt(path_, offset,
                              std::string_view(reinterpret_cast<const char*>(from), n));
    }
    bool Flush() override { return files_.Flush(path_); }
    std::string ErrorText() const override { return "stopped"; }
    std::string QueueName() const override { return path_; }
    std::string LockName() const override { return path_ + ".lock"; }

    // A queue of records 1..n, on the disk.
    static void Fill(test::FakeFileStore& files, const std::string& path, uint32_t n) {
        constexpr uint32_t kSize = 120, kCapacity = 8;
        std::string bytes(QueueHeader::kSize + kSize * kCapacity, '\xFF');
        QueueHeader{n, 0, kSize, kCapacity}.Serialize(reinterpret_cast<uint8_t*>(bytes.data()));
        for (uint32_t i = 0; i < n; ++i) {
            char* slot = bytes.data() + QueueHeader::kSize + i * kSize;
            slot[2] = static_cast<char>(i + 1);  // the sequence number, low byte first
            slot[3] = 0;
            const char start[] = {0x14, 0x1A, 0x0C, 0x08, 0x0C, 0x1E, 0x2D, 0};  // 2026-12-08
            std::memcpy(slot + 18, start, sizeof start);
            std::memcpy(slot + 26, start, sizeof start);
        }
        files.files[path] = bytes;
        files.disk[path] = bytes;
    }

private:
    const std::string& Bytes() { return files_.files[path_]; }
    test::FakeFileStore& files_;
    std::string path_;
};

// The reader's order for every batch in the queue (two records at most here): a commit still
// pending first, then the next batch taken and delivered (DiskBufferReader::TakeAll without its
// thread).
void DrainQueue(Machine& m, StoreQueueFile& file, const test::FakeFileStore& files,
                size_t batch = 2) {
    DiskQueueReader reader(file);
    std::vector<BillingRecord> records;
    while (!files.Dead()) {
        if (reader.CommitPending() && reader.Commit() != DiskQueueReader::Committed::Yes)
            return;
        if (files.Dead() || reader.PeekBatch(records, batch) != DiskQueueReader::Take::Record)
            return;
        reader.TakeFirst(m.collector.DeliverFromDiskBuffer(reader.PendingSlot(), records));
    }
}

TEST_F(CollectorCrashTest, EveryQueueRecordOnceWhateverStepTheProgramDiesAt) {
    const std::string queue = (dir_.Path() / "buffer" / "PC_pmstx.dq").string();
    test::FakeFileStore reference;
    StoreQueueFile::Fill(reference, queue, 3);
    {
        Machine m(settings_, dir_.Path(), reference);
        StoreQueueFile file(reference, queue);
        DrainQueue(m, file, reference);
        EXPECT_TRUE(m.view.lines.empty());
    }
    const auto expected = RecordFiles(reference);
    ASSERT_EQ(expected.size(), 7u);  // six record files and the queue, every record taken
    EXPECT_EQ(QueueHeader::Parse(
                  reinterpret_cast<const uint8_t*>(expected.at("buffer/PC_pmstx.dq").data()))
                  .read,
              3u);
    EXPECT_EQ(std::count(expected.at("buffer.raw").begin(), expected.at("buffer.raw").end(), '\n'),
              3);

    for (const auto& end : kEnds) {
        for (int step = 1; step <= reference.steps; ++step) {
            SCOPED_TRACE(std::string(end.name) + " at step " + std::to_string(step));
            test::FakeFileStore files;
            StoreQueueFile::Fill(files, queue, 3);
            files.dieAtStep = step;
            {
                Machine m(settings_, dir_.Path(), files);
                StoreQueueFile file(files, queue);
                DrainQueue(m, file, files);
            }
            ASSERT_TRUE(files.Dead());
            if (end.powerFails)
                files.PowerCut(end.early);
            files.Revive();
            Machine m(settings_, dir_.Path(), files);
            StoreQueueFile file(files, queue);
            DrainQueue(m, file, files);
            EXPECT_EQ(RecordFiles(files), expected);
            EXPECT_TRUE(m.view.lines.empty());
            EXPECT_EQ(m.view.problems, std::vector<std::string>{});
        }
    }
}

// Sends one frame and answers nothing after its ACK: the program is killed before the EOT.
// False when no ACK left.
bool SendUntilAck(Machine& m, const std::string& f) {
    cs_smda_prot& p = m.collector.Protocol();
    p.RX_Buf[0] = STX;
    p.SMDA_read_event(1);
    std::memcpy(&p.RX_Buf[1], f.data() + 1, 3);
    p.SMDA_read_event(3);
    std::memcpy(&p.RX_Buf[4], f.data() + 4, f.size() - 4);
    p.SMDA_read_event(p.Data_Len);
    return !m.channel.written.empty() && m.channel.written.back() == ACK;
}

// A call-record frame whose block check is 0, sent with its two BCC digits and its ETX as zero
// bytes (a non-hexadecimal BCC digit counts as 0, so it passes).
std::string FrameWithZeroBcc(const std::string& sequence) {
    test::RecordBuilder r;
    r.sequence = sequence;
    std::string f = r.Frame();
    const size_t L = f.size() - 4;
    unsigned bcc = 0;
    for (size_t i = 1; i <= L; ++i)
        bcc ^= static_cast<unsigned char>(f[i]);
    f[L - 2] = static_cast<char>(static_cast<unsigned char>(f[L - 2]) ^ bcc);  // a dialled digit
    f[L + 1] = f[L + 2] = f[L + 3] = '\0';
    return f;
}

// A queue of the given slots (120 bytes each), on the disk.
void FillQueue(test::FakeFileStore& files, const std::string& path,
               const std::vector<std::string>& slots) {
    constexpr uint32_t kSize = 120, kCapacity = 8;
    std::string bytes(QueueHeader::kSize + kSize * kCapacity, '\xFF');
    QueueHeader{static_cast<uint32_t>(slots.size()), 0, kSize, kCapacity}.Serialize(
        reinterpret_cast<uint8_t*>(bytes.data()));
    for (size_t i = 0; i < slots.size(); ++i)
        bytes.replace(QueueHeader::kSize + i * kSize, kSize, slots[i].substr(0, kSize));
    files.files[path] = bytes;
    files.disk[path] = bytes;
}

// The journal as the next start reads it, from a copy of the files: what the collector holds,
// and no complaint about it.
void ExpectJournalReadsBack(Machine& m, const test::FakeFileStore& files,
                            const std::filesystem::path& base) {
    test::FakeFileStore copy = files;
    std::vector<std::string> reports;
    DeliveryJournal journal(copy, base, [&reports](const std::string& e, const std::string& d) {
        reports.push_back(e + ": " + d);
    });
    journal.Load();
    EXPECT_EQ(reports, std::vector<std::string>{});
    EXPECT_EQ(journal.State(), m.collector.Journal().State());
}

// Every kind of state the collector writes into the journal is one its reader takes back whole:
// queue records of zero bytes, of 0xFF bytes and of every byte value, frames with zero bytes
// for their BCC digits and ETX, with control characters in the text, the longest frame, and
// each of them pending, being stored and stored.
TEST_F(CollectorCrashTest, EveryJournalStateTheCollectorWritesReadsBack) {
    const std::string queue = (dir_.Path() / "buffer" / "PC_pmstx.dq").string();
    std::string everyByte(120, '\0');
    for (size_t i = 0; i < everyByte.size(); ++i)
        everyByte[i] = static_cast<char>(i * 37 + 11);
    test::FakeFileStore files;
    FillQueue(files, queue, {std::string(120, '\0'), std::string(120, '\xFF'), everyByte});
    Machine m(settings_, dir_.Path(), files);
    ExpectJournalReadsBack(m, files, dir_.Path());
    {
        StoreQueueFile file(files, queue);
        DiskQueueReader r(file);
        std::vector<BillingRecord> records;
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE("queue slot " + std::to_string(i));
            if (r.CommitPending()) {
                ASSERT_EQ(r.Commit(), DiskQueueReader::Committed::Yes);
            }
            ASSERT_EQ(r.PeekBatch(records, 1), DiskQueueReader::Take::Record);
            EXPECT_EQ(m.collector.DeliverFromDiskBuffer(r.PendingSlot(), records), 1u);
            ExpectJournalReadsBack(m, files, dir_.Path());
        }
    }
    test::RecordBuilder control;
    control.sequence = "0004";
    control.optional = test::RecordBuilder::Opt("22", std::string("\x01\x7F\x1B\r\n\x80") +
                                                          std::string(14, '7')) + "FF";
    test::RecordBuilder longest;
    longest.sequence = "0005";
    longest.optional = "";
    while (longest.Text().size() + 3 < 999)
        longest.optional += 'F';
    const std::string frames[] = {FrameWithZeroBcc("0003"), control.Frame(), longest.Frame(),
                                  FrameWithZeroBcc("0006")};
    for (const std::string& f : frames) {
        SCOPED_TRACE(f.size());
        m.channel.written.clear();
        ASSERT_TRUE(SendUntilAck(m, f));
        ExpectJournalReadsBack(m, files, dir_.Path());  // pending
        m.collector.Protocol().RX_Buf[0] = EOT;
        m.collector.Protocol().SMDA_read_event(1);
        ExpectJournalReadsBack(m, files, dir_.Path());  // delivered
        m.collector.Protocol().SMDA_Timer_Expired(ENQ_DATA_PERIOD_TIMER);
    }
    EXPECT_EQ(m.view.problems, std::vector<std::string>{});
}

// A queue slot of zero bytes leaves a journal the next start can read: a frame acknowledged
// after it and cut short by a kill is stored then.
TEST_F(CollectorCrashTest, AFrameAcknowledgedAfterAZeroQueueSlotSurvivesAKill) {
    const std::string queue = (dir_.Path() / "buffer" / "PC_pmstx.dq").string();
    test::FakeFileStore files;
    FillQueue(files, queue, {std::string(120, '\0')});
    {
        Machine m(settings_, dir_.Path(), files);
        StoreQueueFile file(files, queue);
        DrainQueue(m, file, files);
        ASSERT_TRUE(SendUntilAck(m, pbx_.frames[0]));
    }
    Machine m(settings_, dir_.Path(), files);
    EXPECT_EQ(m.view.problems, std::vector<std::string>{});
    const std::string raw = files.Content(dir_.Path() / "Bill" / "20261208.raw");
    EXPECT_NE(raw.find(Raw(0)), std::string::npos) << raw;
}

// A frame whose BCC digits and ETX are zero bytes is acknowledged, and a kill before its EOT does
// not lose it.
TEST_F(CollectorCrashTest, AFrameWithZeroBytesForItsBccSurvivesAKill) {
    pbx_.frames[0] = FrameWithZeroBcc("0001");
    test::FakeFileStore files;
    {
        Machine m(settings_, dir_.Path(), files);
        ASSERT_TRUE(SendUntilAck(m, pbx_.frames[0]));
    }
    Machine m(settings_, dir_.Path(), files);
    EXPECT_EQ(m.view.problems, std::vector<std::string>{});
    EXPECT_EQ(files.Content(dir_.Path() / "Bill" / "20261208.raw"), Raw(0));
}

// The EOT for the frame acknowledged last, and the pause until the next poll.
void FinishFrame(Machine& m) {
    m.collector.Protocol().RX_Buf[0] = EOT;
    m.collector.Protocol().SMDA_read_event(1);
    m.collector.Protocol().SMDA_Timer_Expired(ENQ_DATA_PERIOD_TIMER);
}

// Two calls whose decoded lines are equal (columns without the sequence number and the times)
// are two records: after a kill that follows the second one's ACK its line is stored too.
TEST_F(CollectorCrashTest, RecordsWithEqualLinesAreStoredByPositionAfterAKill) {
    settings_.RawSave = 0;
    settings_.DoBufferPacked = 0;
    settings_.f.fill(0);
    settings_.f[0] = settings_.f[1] = 1;
    settings_.SaveInd[0] = 3;  // Calling Phone Number
    settings_.SaveInd[1] = 6;  // Dialled Phone Number
    test::FakeFileStore files;
    {
        Machine m(settings_, dir_.Path(), files);
        Pbx first;
        first.frames = {pbx_.frames[0]};
        first.Serve(m, files);
        ASSERT_TRUE(SendUntilAck(m, pbx_.frames[1]));
    }
    Machine m(settings_, dir_.Path(), files);
    const std::string csv = files.Content(dir_.Path() / "Bill" / "20261208.csv");
    const std::string line = csv.substr(csv.find("\r\n") + 2);
    ASSERT_EQ(line.size() % 2, 0u);
    EXPECT_EQ(line.substr(0, line.size() / 2), line.substr(line.size() / 2)) << csv;
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3) << csv;  // the header and two lines
    EXPECT_EQ(files.Content(dir_.Path() / "Bill_Backup" / "20261208.csv"), csv);
    const auto buffers = RecordFiles(files).at("buffer.csv");
    EXPECT_EQ(buffers, line) << buffers;
    EXPECT_EQ(m.view.problems, std::vector<std::string>{});
}

// A journal copied from another site's directory is told and set aside: none of its records
// goes into this site's files.
TEST_F(CollectorCrashTest, AJournalOfAnotherDirectoryIsSetAsideUnused) {
    const std::string journal = (dir_.Path() / DeliveryJournal::kFileName).string();
    test::FakeFileStore other;
    other.identities[dir_.Path().string()] = "2049:100";
    {
        Machine m(settings_, dir_.Path(), other);
        ASSERT_TRUE(SendUntilAck(m, pbx_.frames[0]));
    }
    test::FakeFileStore files;
    files.identities[dir_.Path().string()] = "2049:200";
    files.files[journal] = files.disk[journal] = other.Content(journal);
    Machine m(settings_, dir_.Path(), files);
    EXPECT_EQ(files.Content(journal + ".bad"), other.Content(journal));
    EXPECT_EQ(files.Content(dir_.Path() / "Bill" / "20261208.raw"), "<missing>");
    ASSERT_EQ(m.view.problems.size(), 1u);
    EXPECT_NE(m.view.problems[0].find("does not fit this directory: it belongs to another base "
                                      "directory (2049:100, this one is 2049:200)"),
              std::string::npos)
        << m.view.problems[0];
    // The new journal is this directory's: a kill now loses nothing.
    {
        Machine again(settings_, dir_.Path(), files);
        ASSERT_TRUE(SendUntilAck(again, pbx_.frames[1]));
    }
    Machine last(settings_, dir_.Path(), files);
    EXPECT_EQ(files.Content(dir_.Path() / "Bill" / "20261208.raw"), Raw(1));
    EXPECT_EQ(last.view.problems, std::vector<std::string>{});
}

// A stale copy of the site's own journal put back (a backup restored) names a frame as pending
// that the files hold since: it is not stored twice, and the journal is told and set aside.
TEST_F(CollectorCrashTest, AStaleJournalPutBackStoresNothingTwice) {
    const std::string journal = (dir_.Path() / DeliveryJournal::kFileName).string();
    test::FakeFileStore files;
    std::string stale;
    {
        Machine m(settings_, dir_.Path(), files);
        Pbx first;
        first.frames = {pbx_.frames[0]};
        first.Serve(m, files);
        ASSERT_TRUE(SendUntilAck(m, pbx_.frames[1]));
        stale = files.Content(journal);
        FinishFrame(m);
        Pbx rest;
        rest.frames = {pbx_.frames[2]};
        rest.Serve(m, files);
        ASSERT_EQ(rest.next, 1u);
    }
    const auto expected = RecordFiles(files);
    EXPECT_EQ(expected.at("Bill/20261208.raw"), Raw(0) + Raw(1) + Raw(2));
    files.files[journal] = files.disk[journal] = stale;
    Machine m(settings_, dir_.Path(), files);
    auto after = RecordFiles(files);
    EXPECT_TRUE(files.Exists(journal + ".bad"));
    for (auto it = after.begin(); it != after.end();)
        it = it->first.ends_with(".bad") ? after.erase(it) : std::next(it);
    EXPECT_EQ(after, expected);
    ASSERT_EQ(m.view.problems.size(), 1u);
    EXPECT_NE(m.view.problems[0].find("does not fit this directory: it is older than the files"),
              std::string::npos)
        << m.view.problems[0];
}

// A PBX that never saw the ACK of a record sends it again after the program restarted: the
// duplicate check still knows it, even where a longer record before it left its tail in the
// receive area. The sequence check goes on from the last number too.
TEST_F(CollectorCrashTest, BaselinesOfBothChecksSurviveARestart) {
    test::RecordBuilder longer;
    longer.sequence = "0000";
    longer.optional = test::RecordBuilder::Opt("22", std::string(40, '7')) + "FF";
    pbx_.frames.insert(pbx_.frames.begin(), longer.Frame());
    test::FakeFileStore files;
    Pbx first;
    first.frames = {pbx_.frames[0], pbx_.frames[1]};
    {
        Machine m(settings_, dir_.Path(), files);
        first.Serve(m, files);
    }
    Pbx again;
    again.frames = {pbx_.frames[1], pbx_.frames[3]};
    Machine m(settings_, dir_.Path(), files);
    again.Serve(m, files);
    ASSERT_EQ(again.next, 2u);
    EXPECT_EQ(m.collector.Counters().Total(EV_DUPLICATE), 1);
    EXPECT_EQ(files.Content(dir_.Path() / "Bill" / "20261208.raw"), Raw(0) + Raw(1) + Raw(3));
    EXPECT_EQ(m.view.lines,
              std::vector<std::string>{"Sequence gap: expected 0002, received 0003, 1 missing"});
}

// An import is on the disk every kImportFlushBatch records and at its end, before it counts as
// complete; a flush that fails is reported once and makes the end fail.
TEST_F(CollectorCrashTest, AnImportReachesTheDiskInBatchesAndAtItsEnd) {
    settings_ = AppSettings{};
    settings_.RawSave = 1;
    test::FakeFileStore files;
    Machine m(settings_, dir_.Path(), files);
    const std::string& f = pbx_.frames[0];
    const auto import = [&](int n) {
        for (int i = 0; i < n; ++i) {
            m.collector.ImportMessage(reinterpret_cast<const uint8_t*>(f.data()),
                                      static_cast<uint32_t>(f.size() - 4));
        }
    };
    const std::string raw = (dir_.Path() / "Bill" / "cs1000.raw").string();
    m.collector.BeginImport();
    import(Collector::kImportFlushBatch - 1);
    EXPECT_EQ(files.disk.count(raw), 0u);
    import(2);
    EXPECT_EQ(files.disk[raw].size(), Raw(0).size() * Collector::kImportFlushBatch);
    EXPECT_TRUE(m.collector.EndImport());
    EXPECT_EQ(files.disk[raw], files.files[raw]);

    files.failFlush = true;
    m.collector.BeginImport();
    import(1);
    EXPECT_FALSE(m.collector.EndImport());
    m.collector.BeginImport();
    import(1);
    EXPECT_FALSE(m.collector.EndImport());
    const std::string log = test::ReadFile(dir_.Path() / "VELK.LOG");
    EXPECT_EQ(log.find("Not flushed"), log.rfind("Not flushed"));
    EXPECT_NE(log.find("Not flushed"), std::string::npos);
}

}  // namespace
}  // namespace velk
