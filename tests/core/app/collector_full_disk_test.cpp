// Records that cannot be stored, because the disk is full, are held and never lost: the PBX gets
// no poll (or, when the journal cannot be written, no ACK) until its record is in every file, the
// hard-disk buffer's record stays in the queue, an import stops, and one alarm says so.
#include <gtest/gtest.h>

#include <cstring>

#include "core/app/alarm_view.h"
#include "core/app/collector.h"
#include "core/decode/record_builder.h"
#include "core/link/billing_record.h"
#include "core/link/link_fakes.h"
#include "core/record/fake_file_store.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

struct Machine {
    Machine(AppSettings& settings, const std::filesystem::path& base, test::FakeFileStore& files)
        : collector(settings, base, prompt, clock, timers, ring, files) {
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
    test::FakeChannel channel;
    test::AlarmView view;
    Collector collector;
};

class CollectorFullDiskTest : public ::testing::Test {
protected:
    CollectorFullDiskTest() {
        settings_.IP_Used = 1;
        settings_.RawSave = 1;
        settings_.RawSaveDaily = 1;
        settings_.SaveToFile = 1;
        settings_.DoBufferPacked = 1;
        for (const char* sequence : {"0001", "0002", "0003"}) {
            test::RecordBuilder r;
            r.sequence = sequence;
            frames_.push_back(r.Frame());
        }
    }

    // The PBX answers the poll with frame i; true when the ACK came. Then EOT.
    bool Send(Machine& m, size_t i) {
        cs_smda_prot& p = m.collector.Protocol();
        EXPECT_EQ(p.State, ENQ_SENT);
        const std::string& f = frames_[i];
        m.channel.written.clear();
        p.RX_Buf[0] = STX;
        p.SMDA_read_event(1);
        std::memcpy(&p.RX_Buf[1], f.data() + 1, 3);
        p.SMDA_read_event(3);
        std::memcpy(&p.RX_Buf[4], f.data() + 4, f.size() - 4);
        p.SMDA_read_event(p.Data_Len);
        if (m.channel.written != std::vector<uint8_t>{ACK})
            return false;
        m.channel.written.clear();
        p.RX_Buf[0] = EOT;
        p.SMDA_read_event(1);
        return true;
    }
    std::string Raw(size_t i) const {
        const std::string& f = frames_[i];
        return RawRecord(BillingMessage(reinterpret_cast<const uint8_t*>(f.data()),
                                        static_cast<uint32_t>(f.size() - 4)),
                         settings_);
    }
    std::string File(const test::FakeFileStore& files, const std::string& rel) const {
        return files.Content(dir_.Path() / rel);
    }
    size_t Count(const std::string& text, const std::string& what) const {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    test::TempDir dir_;
    AppSettings settings_;
    std::vector<std::string> frames_;
};

TEST_F(CollectorFullDiskTest, NoPollWhileTheRecordCannotBeStoredThenCollectionGoesOn) {
    test::FakeFileStore files;
    Machine m(settings_, dir_.Path(), files);
    cs_smda_prot& p = m.collector.Protocol();
    ASSERT_TRUE(Send(m, 0));
    p.SMDA_Timer_Expired(ENQ_DATA_PERIOD_TIMER);

    files.full = true;
    ASSERT_TRUE(Send(m, 1));  // the journal is preallocated: the ACK leaves
    EXPECT_TRUE(m.collector.StoreHeld());
    EXPECT_TRUE(m.collector.Journal().State().pending);
    // The pause ends, and the PBX is not polled: it would hand over a record that cannot be
    // stored. Nor a few seconds later.
    p.SMDA_Timer_Expired(ENQ_DATA_PERIOD_TIMER);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(m.timers.Running(ENQ_NAK_PERIOD_TIMER));
        p.SMDA_Timer_Expired(ENQ_NAK_PERIOD_TIMER);
        m.collector.OnTimer(Collector::kStoreRetryTimer);
    }
    EXPECT_TRUE(m.channel.written.empty());
    EXPECT_EQ(p.State, IDLE);
    EXPECT_EQ(File(files, "Bill/20261208.raw"), Raw(0));

    // Space again: the held record goes into every file, the journal lets it go, polls resume.
    files.full = false;
    EXPECT_TRUE(m.timers.Running(Collector::kStoreRetryTimer));
    m.collector.OnTimer(Collector::kStoreRetryTimer);
    EXPECT_FALSE(m.collector.StoreHeld());
    EXPECT_FALSE(m.timers.Running(Collector::kStoreRetryTimer));
    EXPECT_FALSE(m.collector.Journal().State().pending);
    EXPECT_TRUE(m.timers.Running(ENQ_DATA_PERIOD_TIMER));  // polled after the short pause
    p.SMDA_Timer_Expired(ENQ_DATA_PERIOD_TIMER);
    EXPECT_EQ(m.channel.written, std::vector<uint8_t>{ENQ});
    ASSERT_TRUE(Send(m, 2));
    for (const char* rel : {"Bill/20261208.raw", "Bill_Backup/20261208.raw", "Buffers/buffer_in.raw"}) {
        const std::string content = File(files, rel) + (std::string(rel).find("Buffers") == 0
                                                             ? File(files, "Buffers/buffer_out.raw")
                                                             : std::string());
        EXPECT_EQ(Count(content, Raw(1)), 1u) << rel;
        EXPECT_EQ(Count(content, Raw(2)), 1u) << rel;
    }
    EXPECT_EQ(File(files, "Bill/20261208.raw"), Raw(0) + Raw(1) + Raw(2));
    EXPECT_EQ(File(files, "Bill_Backup/20261208.raw"), Raw(0) + Raw(1) + Raw(2));
    // One alarm, and its end.
    ASSERT_EQ(m.view.lines.size(), 2u);
    EXPECT_EQ(m.view.lines[0].rfind("<Not stored: the record files cannot be written (", 0), 0u)
        << m.view.lines[0];
    EXPECT_EQ(m.view.lines[1], "<>");
    const std::string log = test::ReadFile(dir_.Path() / "VELK.LOG");
    EXPECT_EQ(Count(log, "Not stored"), 2u);
    EXPECT_EQ(Count(log, "Not written"), 0u);
}

TEST_F(CollectorFullDiskTest, HeldRecordOutlivesAKill) {
    test::FakeFileStore files;
    {
        Machine m(settings_, dir_.Path(), files);
        ASSERT_TRUE(Send(m, 0));
        m.collector.Protocol().SMDA_Timer_Expired(ENQ_DATA_PERIOD_TIMER);
        files.full = true;
        ASSERT_TRUE(Send(m, 1));
        ASSERT_TRUE(m.collector.StoreHeld());
    }
    files.full = false;
    Machine m(settings_, dir_.Path(), files);
    EXPECT_FALSE(m.collector.StoreHeld());
    EXPECT_EQ(File(files, "Bill/20261208.raw"), Raw(0) + Raw(1));
    EXPECT_EQ(File(files, "Bill_Backup/20261208.raw"), Raw(0) + Raw(1));
}

TEST_F(CollectorFullDiskTest, NoAckForAFrameTheJournalCannotKeep) {
    test::FakeFileStore files;
    Machine m(settings_, dir_.Path(), files);
    cs_smda_prot& p = m.collector.Protocol();
    files.failStateWrites = true;
    EXPECT_FALSE(Send(m, 0));
    EXPECT_TRUE(m.channel.written.empty());  // neither ACK nor NAK: the PBX keeps the record
    EXPECT_TRUE(m.collector.StoreHeld());
    EXPECT_TRUE(m.timers.Running(ENQ_NAK_PERIOD_TIMER));
    p.SMDA_Timer_Expired(ENQ_NAK_PERIOD_TIMER);
    EXPECT_TRUE(m.channel.written.empty());
    files.failStateWrites = false;
    m.collector.OnTimer(Collector::kStoreRetryTimer);
    EXPECT_FALSE(m.collector.StoreHeld());
    p.SMDA_Timer_Expired(ENQ_NAK_PERIOD_TIMER);
    ASSERT_TRUE(Send(m, 0));
    EXPECT_EQ(File(files, "Bill/20261208.raw"), Raw(0));
}

TEST_F(CollectorFullDiskTest, QueueRecordStaysInTheQueueUntilStored) {
    test::FakeFileStore files;
    Machine m(settings_, dir_.Path(), files);
    BillingRecord record{};
    record[2] = 7;
    const char start[] = {0x14, 0x1A, 0x0C, 0x08, 0x0C, 0x1E, 0x2D, 0};  // 2026-12-08
    std::memcpy(&record[18], start, sizeof start);
    std::memcpy(&record[26], start, sizeof start);
    // True when the reader may take the record out of the queue.
    const auto deliver = [&] { return m.collector.DeliverFromDiskBuffer(5, {record}) == 1u; };
    files.full = true;
    EXPECT_FALSE(deliver());
    EXPECT_FALSE(deliver());  // taken again while the disk is full: still not stored
    EXPECT_EQ(File(files, "Bill/20261208.raw"), "<missing>");
    files.full = false;
    EXPECT_TRUE(deliver());
    EXPECT_EQ(m.collector.Journal().State().queueStep, JournalState::QueueStep::Stored);
    const std::string raw = File(files, "Bill/20261208.raw");
    EXPECT_NE(raw, "<missing>");
    EXPECT_EQ(File(files, "Bill_Backup/20261208.raw"), raw);
    // Stored once: the retry wrote it, the delivery after it only let it leave the queue.
    EXPECT_EQ(Count(raw, raw.substr(0, 20)), 1u);
    EXPECT_EQ(m.collector.Counters().Total(EV_NORMAL_DATA), 1);
}

// A batch of queue records ends at the first record a file refuses: a record after it never
// reaches a file before it, even where the disk has room again for the next one at once. The
// records up to it leave the queue once stored; the rest come again in the next batch.
TEST_F(CollectorFullDiskTest, QueueBatchEndsAtTheRecordItsFilesRefuse) {
    test::FakeFileStore files;
    Machine m(settings_, dir_.Path(), files);
    const auto queueRecord = [](uint8_t sequence) {
        BillingRecord record{};
        record[2] = sequence;
        const char start[] = {0x14, 0x1A, 0x0C, 0x08, 0x0C, 0x1E, 0x2D, 0};  // 2026-12-08
        std::memcpy(&record[18], start, sizeof start);
        std::memcpy(&record[26], start, sizeof start);
        return record;
    };
    const std::vector<BillingRecord> batch = {queueRecord(1), queueRecord(2), queueRecord(3)};
    const std::string backup = (dir_.Path() / "Bill_Backup" / "20261208.raw").string();
    // Bill_Backup's raw file refuses one append, the second record's; then it has room again.
    int backupAppends = 0;
    files.refuse = [&](const std::string& path) { return path == backup && ++backupAppends == 2; };
    EXPECT_EQ(m.collector.DeliverFromDiskBuffer(5, batch), 0u);
    EXPECT_TRUE(m.collector.StoreHeld());
    // Nothing of the third record went anywhere.
    const std::string bill = File(files, "Bill/20261208.raw");
    ASSERT_EQ(Count(bill, "\n"), 2u) << bill;
    EXPECT_EQ(Count(File(files, "Bill_Backup/20261208.raw"), "\n"), 1u);

    // The retry stores the second record where it was refused; the first two leave the queue.
    EXPECT_EQ(m.collector.DeliverFromDiskBuffer(5, batch), 2u);
    EXPECT_FALSE(m.collector.StoreHeld());
    EXPECT_EQ(m.collector.DeliverFromDiskBuffer(7, {batch[2]}), 1u);
    const std::string all = File(files, "Bill/20261208.raw");
    EXPECT_EQ(Count(all, "\n"), 3u) << all;
    EXPECT_EQ(all.find(bill), 0u);
    EXPECT_EQ(File(files, "Bill_Backup/20261208.raw"), all);
    EXPECT_EQ(m.collector.Counters().Total(EV_NORMAL_DATA), 3);
}

TEST_F(CollectorFullDiskTest, ImportStopsAtARecordItsFilesRefuse) {
    test::FakeFileStore files;
    Machine m(settings_, dir_.Path(), files);
    const auto import = [&](size_t i) {
        return m.collector.ImportMessage(reinterpret_cast<const uint8_t*>(frames_[i].data()),
                                         static_cast<uint32_t>(frames_[i].size() - 4));
    };
    m.collector.BeginImport();
    EXPECT_TRUE(import(0));
    // Room for two of the record's appends (Bill's raw and decoded files): they are taken back,
    // so the record stands in none of its files.
    files.roomForAppends = 2;
    const std::string decoded = File(files, "Bill/20261208.csv");
    EXPECT_FALSE(import(1));
    EXPECT_EQ(files.roomForAppends, 0);
    EXPECT_EQ(File(files, "Bill/20261208.raw"), Raw(0));
    EXPECT_EQ(File(files, "Bill/20261208.csv"), decoded);
    m.collector.EndImport();
    files.roomForAppends = -1;
    // Nothing is owed later: the import's file still holds the record.
    m.collector.BeginImport();
    EXPECT_TRUE(import(2));
    m.collector.EndImport();
    EXPECT_EQ(File(files, "Bill/20261208.raw"), Raw(0) + Raw(2));
    EXPECT_FALSE(m.collector.StoreHeld());
}

TEST_F(CollectorFullDiskTest, OneAlarmWhileFreeSpaceIsBelowTheSetting) {
    test::FakeFileStore files;
    settings_.DiskSpaceAlarmMB = 100;
    files.freeBytes = (uint64_t{100} << 20) - 1;
    Machine m(settings_, dir_.Path(), files);
    EXPECT_EQ(m.timers.Period(Collector::kSpaceTimer), Collector::kSpaceLookMs);
    m.collector.OnTimer(Collector::kSpaceTimer);
    files.freeBytes = uint64_t{100} << 20;
    m.collector.OnTimer(Collector::kSpaceTimer);
    m.collector.OnTimer(Collector::kSpaceTimer);
    const std::string base = dir_.Path().string();
    EXPECT_EQ(m.view.problems,
              (std::vector<std::string>{
                  "Disk space low: " + base +
                      ": 99 MB free, the alarm is set at 100 MB (DiskSpaceAlarmMB); records stop "
                      "being stored when it is full",
                  "Disk space low: over: " + base +
                      ": 100 MB free, the alarm is set at 100 MB (DiskSpaceAlarmMB)"}));
    EXPECT_EQ(Count(test::ReadFile(dir_.Path() / "VELK.LOG"), "Disk space low"), 2u);

    // 0 turns the look off.
    settings_.DiskSpaceAlarmMB = 0;
    files.freeBytes = 0;
    Machine off(settings_, dir_.Path(), files);
    EXPECT_FALSE(off.timers.Running(Collector::kSpaceTimer));
    off.collector.OnTimer(Collector::kSpaceTimer);
    EXPECT_TRUE(off.view.problems.empty());
}

}  // namespace
}  // namespace velk
