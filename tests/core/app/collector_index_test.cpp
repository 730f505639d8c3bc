// Every stored record once in the record index, whatever step the program is killed at: a PBX
// delivers records to a collector whose files are those of the fake store and whose index is an
// index in memory that dies with the program (a transaction under way is lost, what was committed
// stays). The program is killed at every step of a run, with the index working or locked, and
// started again; the PBX goes on from the first record it has no ACK for. In the end the index
// holds the records of the raw file, each once, in the file's order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "core/app/alarm_view.h"
#include "core/app/collector.h"
#include "core/archive/index_fakes.h"
#include "core/decode/record_builder.h"
#include "core/link/billing_record.h"
#include "core/link/link_fakes.h"
#include "core/record/fake_file_store.h"
#include "core/record/held_appends.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

// The raw files of Bill in the fake store, as the index reads them.
class StoreFiles : public FollowedFiles {
public:
    StoreFiles(test::FakeFileStore& files, std::filesystem::path bill)
        : files_(files), bill_(std::move(bill)) {}
    std::vector<std::string> Names() override {
        std::vector<std::string> names;
        for (const auto& [path, content] : files_.files) {
            const std::filesystem::path p(path);
            if (p.parent_path() == bill_ && p.extension() == ".raw")
                names.push_back(p.filename().string());
        }
        return names;
    }
    std::unique_ptr<FollowedFile> Open(const std::string& name) override {
        const auto it = files_.files.find((bill_ / name).string());
        if (it == files_.files.end())
            return nullptr;
        return std::make_unique<Snapshot>(it->second);
    }

private:
    class Snapshot : public FollowedFile {
    public:
        explicit Snapshot(std::string content) : content_(std::move(content)) {}
        FileIdentity Identity() const override { return {1, 1}; }
        uint64_t Size() const override { return content_.size(); }
        size_t ReadAt(uint64_t offset, uint8_t* to, size_t n) override {
            if (offset >= content_.size())
                return 0;
            n = std::min<size_t>(n, content_.size() - static_cast<size_t>(offset));
            std::memcpy(to, content_.data() + offset, n);
            return n;
        }

    private:
        std::string content_;
    };
    test::FakeFileStore& files_;
    std::filesystem::path bill_;
};

// Nothing is committed by a program that has died.
class MortalIndex : public test::FakeIndexWriter {
public:
    explicit MortalIndex(const test::FakeFileStore& files) : files_(files) {}
    bool Begin() override { return !files_.Dead() && FakeIndexWriter::Begin(); }
    bool Commit() override {
        if (files_.Dead()) {
            Rollback();
            return false;
        }
        return FakeIndexWriter::Commit();
    }

private:
    const test::FakeFileStore& files_;
};

class MachineChannel : public test::FakeChannel {
public:
    explicit MachineChannel(const test::FakeFileStore& files) : files_(files) {}
    bool Write(uint8_t byte) override { return files_.Dead() || FakeChannel::Write(byte); }

private:
    const test::FakeFileStore& files_;
};

struct Machine {
    // store: what the collector writes through (the fake store itself unless given).
    Machine(AppSettings& settings, const std::filesystem::path& base, test::FakeFileStore& files,
            IndexWriter& index, FileStore* store = nullptr)
        : channel(files),
          raw(files, base / "Bill"),
          collector(settings, base, prompt, clock, timers, ring,
                    store != nullptr ? *store : files) {
        collector.SetChannels(&channel, &channel);
        collector.SetView(&view);
        collector.SetRecordIndex(&index, &raw);
        collector.Start();
        if (collector.Connection().Connect())
            collector.Protocol().OnChannelReady();
    }
    // The event loop runs the index's timer while it is due at once.
    void IndexTimer() {
        for (int i = 0; i < 10 && timers.Period(Collector::kIndexTimer) == 1; ++i)
            collector.OnTimer(Collector::kIndexTimer);
    }
    test::FakeTimers timers;
    test::FakeClock clock;
    test::ScriptedPrompt prompt;
    LastCallsRing ring;
    MachineChannel channel;
    test::AlarmView view;
    StoreFiles raw;
    Collector collector;
};

// Each record goes out until the ACK for it comes.
struct Pbx {
    std::vector<std::string> frames;
    size_t next = 0;
    void Serve(Machine& m, const test::FakeFileStore& files) {
        cs_smda_prot& p = m.collector.Protocol();
        while (next < frames.size() && !files.Dead()) {
            const std::string& f = frames[next];
            p.RX_Buf[0] = STX;
            p.SMDA_read_event(1);
            std::memcpy(&p.RX_Buf[1], f.data() + 1, 3);
            p.SMDA_read_event(3);
            std::memcpy(&p.RX_Buf[4], f.data() + 4, f.size() - 4);
            p.SMDA_read_event(p.Data_Len);
            if (m.channel.written.empty() || m.channel.written.back() != ACK)
                return;
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

TEST(CollectorIndexTest, EveryRecordOnceInTheIndexWhateverStepTheProgramIsKilledAt) {
    test::TempDir dir;
    AppSettings settings;
    settings.IP_Used = 1;
    settings.RawSave = 1;
    settings.RawSaveDaily = 1;
    settings.SaveToFile = 1;
    Pbx pbx0;
    std::vector<std::string> bodies;
    // Three calls of one day, the last of the day after: two raw files.
    for (const char* sequence : {"0001", "0002", "0003"}) {
        test::RecordBuilder r;
        r.sequence = sequence;
        if (std::string(sequence) == "0003") {
            r.start = "141A0C090C1E2D";
            r.end = "141A0C090C202D";
        }
        pbx0.frames.push_back(r.Frame());
        bodies.push_back(pbx0.frames.back().substr(1, pbx0.frames.back().size() - 2));
    }
    const std::filesystem::path bill = dir.Path() / "Bill";
    int steps = 0;
    {
        test::FakeFileStore reference;
        MortalIndex index(reference);
        Machine m(settings, dir.Path(), reference, index);
        Pbx pbx = pbx0;
        pbx.Serve(m, reference);
        ASSERT_EQ(index.Raws(), bodies);
        ASSERT_EQ(reference.files.count((bill / "20261209.raw").string()), 1u);
        steps = reference.steps;
    }
    for (const bool locked : {false, true}) {
        // The last: killed once every record is delivered.
        for (int step = 1; step <= steps + 1; ++step) {
            SCOPED_TRACE(std::string(locked ? "index locked, " : "") + "killed at step " +
                         std::to_string(step));
            test::FakeFileStore files;
            MortalIndex index(files);
            index.locked = locked;
            files.dieAtStep = step;
            Pbx pbx = pbx0;
            {
                Machine m(settings, dir.Path(), files, index);
                pbx.Serve(m, files);
            }
            files.Revive();
            index.locked = false;
            Machine m(settings, dir.Path(), files, index);
            pbx.Serve(m, files);
            m.IndexTimer();
            ASSERT_EQ(pbx.next, pbx.frames.size());
            // Rows of the two files may have gone in in either order.
            std::vector<std::string> rows = index.Raws();
            std::sort(rows.begin(), rows.end());
            EXPECT_EQ(rows, bodies);
            for (const char* name : {"20261208.raw", "20261209.raw"}) {
                EXPECT_EQ(index.committed.marks[name].position,
                          files.files[(bill / name).string()].size())
                    << name;
            }
        }
    }
}

// A collector storing through velk-import's held store into `files`, with an index of its own.
struct ImportingMachine {
    ImportingMachine(AppSettings& settings, const std::filesystem::path& base,
                     test::FakeFileStore& files)
        : held(files), m(settings, base, files, index, &held) {}
    HeldAppends held;
    test::FakeIndexWriter index;
    Machine m;
};

// A base directory whose settings keep raw files by day in Bill (and what `more` adds), with a
// collector storing into it as velk-import does.
struct ImportSite {
    explicit ImportSite(const std::function<void(AppSettings&)>& more) : settings(DailyRaw(more)) {}
    static AppSettings DailyRaw(const std::function<void(AppSettings&)>& more) {
        AppSettings s;
        s.RawSave = 1;
        s.RawSaveDaily = 1;
        more(s);
        return s;
    }
    test::TempDir dir;
    AppSettings settings;
    test::FakeFileStore files;
    ImportingMachine importing{settings, dir.Path(), files};
    const std::string raw = (dir.Path() / "Bill" / "20261208.raw").string();
};

// n call records of 2026-12-08 with the sequence numbers 0000, 0001, ... (hexadecimal).
std::vector<std::string> ImportFrames(int n) {
    std::vector<std::string> frames;
    for (int i = 0; i < n; ++i) {
        test::RecordBuilder r;
        char sequence[8];
        std::snprintf(sequence, sizeof sequence, "%04X", static_cast<unsigned>(i) & 0xFFFFu);
        r.sequence = sequence;
        frames.push_back(r.Frame());
    }
    return frames;
}

// Imports frames [from, to): false at the first the collector refuses.
bool Import(Collector& collector, const std::vector<std::string>& frames, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        if (!collector.ImportMessage(reinterpret_cast<const uint8_t*>(frames[i].data()),
                                     static_cast<uint32_t>(frames[i].size() - 4)))
            return false;
    }
    return true;
}

// velk-import's records reach their files in batches held in memory: the index takes each record
// once its raw file holds it, and none of a batch the raw file refused.
TEST(CollectorIndexTest, AnImportsHeldBatchesReachTheIndexOnceTheirRawFileHoldsThem) {
    ImportSite site([](AppSettings& s) { s.SaveToFile = 1; });
    test::FakeFileStore& files = site.files;
    Machine& m = site.importing.m;
    test::FakeIndexWriter& index = site.importing.index;
    const std::string& raw = site.raw;
    const std::vector<std::string> frames = ImportFrames(Collector::kImportFlushBatch + 3);
    std::vector<std::string> bodies;
    for (const std::string& f : frames)
        bodies.push_back(f.substr(1, f.size() - 2));
    const auto import = [&](size_t from, size_t to) {
        return Import(m.collector, frames, from, to);
    };
    const size_t batch = Collector::kImportFlushBatch;
    m.collector.BeginImport();
    const int writesBefore = files.writes;
    ASSERT_TRUE(import(0, batch));
    // One write a file for the whole batch (raw and decoded, Bill and Bill_Backup).
    EXPECT_EQ(files.writes - writesBefore, 4);
    std::vector<std::string> expected(bodies.begin(), bodies.begin() + batch);
    EXPECT_EQ(index.Raws(), expected);
    EXPECT_EQ(files.disk[raw], files.files[raw]);
    ASSERT_TRUE(import(batch, frames.size()));
    EXPECT_EQ(files.files[raw].size(), files.disk[raw].size());  // the last three still held
    EXPECT_EQ(index.Raws(), expected);
    files.refuse = [&](const std::string& p) { return p == raw; };
    EXPECT_FALSE(m.collector.EndImport());
    EXPECT_EQ(m.collector.ImportTakenBack(), 3u);
    m.IndexTimer();
    EXPECT_EQ(index.Raws(), expected);
    EXPECT_EQ(index.committed.marks["20261208.raw"].position, files.files[raw].size());
    const std::string log = test::ReadFile(site.dir.Path() / "VELK.LOG");
    EXPECT_NE(log.find("Not stored"), std::string::npos) << log;
}

// velk-import's index, kept on a thread beside the import, reads a batch of the raw files only
// once the collector says it is in every file and on the disk; after a flush that failed nothing
// more is said for the rest of the run.
TEST(CollectorIndexTest, AnImportSaysABatchIsStoredOnlyOnceItIsOnTheDisk) {
    ImportSite site([](AppSettings& s) { s.SaveToFile = 1; });
    test::FakeFileStore& files = site.files;
    Collector& collector = site.importing.m.collector;
    const std::string& raw = site.raw;
    std::vector<size_t> said;  // the raw file's length on the disk each time
    collector.SetImportStored([&] {
        EXPECT_EQ(files.disk[raw], files.files[raw]);
        said.push_back(files.disk[raw].size());
    });
    const size_t batch = Collector::kImportFlushBatch;
    const std::vector<std::string> frames = ImportFrames(static_cast<int>(batch) + 6);
    collector.BeginImport();
    ASSERT_TRUE(Import(collector, frames, 0, batch + 3));
    ASSERT_EQ(said.size(), 1u);
    const size_t first = said[0];
    EXPECT_EQ(files.disk[raw].size(), first);  // the last three are still held
    EXPECT_TRUE(collector.EndImport());
    ASSERT_EQ(said.size(), 2u);
    EXPECT_GT(said[1], first);

    files.failFlush = true;
    collector.BeginImport();
    ASSERT_TRUE(Import(collector, frames, batch + 3, batch + 5));
    EXPECT_FALSE(collector.EndImport());
    files.failFlush = false;
    collector.BeginImport();
    ASSERT_TRUE(Import(collector, frames, batch + 5, batch + 6));
    EXPECT_TRUE(collector.EndImport());
    EXPECT_EQ(said.size(), 2u);
}

// A buffer file handed over during an import (the billing application took the last one) holds
// only records that its other files hold on the disk and the index has: the import's batch goes
// to them first.
TEST(CollectorIndexTest, AHandOffDuringAnImportComesAfterTheBatchIsStored) {
    ImportSite site([](AppSettings& s) { s.DoBufferPacked = 1; });
    AppSettings& settings = site.settings;
    test::FakeFileStore& files = site.files;
    Machine& m = site.importing.m;
    test::FakeIndexWriter& index = site.importing.index;
    const std::string& raw = site.raw;
    const std::vector<std::string> frames = ImportFrames(4);
    const auto import = [&](size_t from, size_t to) {
        ASSERT_TRUE(Import(m.collector, frames, from, to));
    };
    const std::string out = (site.dir.Path() / "Buffers" / "buffer_out.raw").string();
    m.collector.BeginImport();
    import(0, 1);
    ASSERT_EQ(files.moves.size() + files.disk.count(out), 1u) << "no hand-off";
    const size_t record = files.files[out].size();
    ASSERT_GT(record, 0u);
    EXPECT_EQ(files.disk[raw], files.files[out]);
    import(1, 3);  // the out-file is still there: nothing handed over
    EXPECT_EQ(files.disk[raw].size(), record);
    files.files.erase(out);  // taken by the billing application
    files.disk.erase(out);
    import(3, 4);
    ASSERT_EQ(files.files.count(out), 1u) << "no hand-off";
    EXPECT_EQ(files.files[out].size(), 3 * record);
    EXPECT_EQ(files.disk[raw].size(), 4 * record);
    EXPECT_EQ(files.disk[raw].substr(record), files.files[out]);
    EXPECT_TRUE(m.collector.EndImport());
    m.IndexTimer();
    EXPECT_EQ(index.committed.rows.size(), 4u);

    // Killed right after the move: what the billing application may take is in Bill on the disk.
    const auto firstRecord = [&](const std::filesystem::path& base, test::FakeFileStore& store) {
        ImportingMachine k(settings, base, store);
        k.m.collector.BeginImport();
        Import(k.m.collector, frames, 0, 1);
    };
    test::TempDir probeDir, killedDir;
    test::FakeFileStore probe;
    probe.recordSteps = true;
    firstRecord(probeDir.Path(), probe);
    const auto move = std::find_if(probe.stepNames.begin(), probe.stepNames.end(),
                                   [](const std::string& s) { return s.rfind("move ", 0) == 0; });
    ASSERT_NE(move, probe.stepNames.end());
    test::FakeFileStore killed;
    killed.dieAtStep = static_cast<int>(move - probe.stepNames.begin()) + 2;
    firstRecord(killedDir.Path(), killed);
    const std::string killedOut = (killedDir.Path() / "Buffers" / "buffer_out.raw").string();
    ASSERT_EQ(killed.files.count(killedOut), 1u);
    EXPECT_EQ(killed.disk[(killedDir.Path() / "Bill" / "20261208.raw").string()],
              killed.files[killedOut]);
}

// A batch of the hard-disk buffer's records goes into the index in one commit, not one a record.
TEST(CollectorIndexTest, QueueBatchIsOneCommit) {
    test::TempDir dir;
    AppSettings settings;
    settings.RawSave = 1;
    settings.RawSaveDaily = 1;
    test::FakeFileStore files;
    test::FakeIndexWriter index;
    Machine m(settings, dir.Path(), files, index);
    m.IndexTimer();
    std::vector<BillingRecord> batch(3);
    for (size_t i = 0; i < batch.size(); ++i) {
        batch[i][2] = static_cast<uint8_t>(i + 1);  // the sequence number, low byte first
        const char start[] = {0x14, 0x1A, 0x0C, 0x08, 0x0C, 0x1E, 0x2D, 0};  // 2026-12-08
        std::memcpy(&batch[i][18], start, sizeof start);
        std::memcpy(&batch[i][26], start, sizeof start);
    }
    const int before = index.commits;
    ASSERT_EQ(m.collector.DeliverFromDiskBuffer(0, batch), 3u);
    m.IndexTimer();
    EXPECT_EQ(index.committed.rows.size(), 3u);
    EXPECT_EQ(index.commits - before, 1);
}

}  // namespace
}  // namespace velk
