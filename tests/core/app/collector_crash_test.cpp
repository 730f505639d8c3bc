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
        }
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

// The reader's order for every record in the queue: a commit still pending first, then the next
// record taken and delivered (DiskBufferReader::TakeAll without its thread).
void DrainQueue(Machine& m, StoreQueueFile& file, const test::FakeFileStore& files,
                const AppSettings& settings) {
    DiskQueueReader reader(file);
    BillingRecord record{};
    while (!files.Dead()) {
        if (reader.CommitPending() && reader.Commit() != DiskQueueReader::Committed::Yes)
            return;
        if (files.Dead() || reader.Peek(record) != DiskQueueReader::Take::Record)
            return;
        const std::vector<uint8_t> frame =
            ConvertBillingRecord(record, settings.Hex_Type, settings.APP_LCRinMandatory);
        m.collector.DeliverFromDiskBuffer(frame.data(), ParseLengthDigits(&frame[1]),
                                          reader.PendingSlot(), record);
    }
}

TEST_F(CollectorCrashTest, EveryQueueRecordOnceWhateverStepTheProgramDiesAt) {
    const std::string queue = (dir_.Path() / "buffer" / "PC_pmstx.dq").string();
    test::FakeFileStore reference;
    StoreQueueFile::Fill(reference, queue, 3);
    {
        Machine m(settings_, dir_.Path(), reference);
        StoreQueueFile file(reference, queue);
        DrainQueue(m, file, reference, settings_);
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
                DrainQueue(m, file, files, settings_);
            }
            ASSERT_TRUE(files.Dead());
            if (end.powerFails)
                files.PowerCut(end.early);
            files.Revive();
            Machine m(settings_, dir_.Path(), files);
            StoreQueueFile file(files, queue);
            DrainQueue(m, file, files, settings_);
            EXPECT_EQ(RecordFiles(files), expected);
            EXPECT_TRUE(m.view.lines.empty());
        }
    }
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
