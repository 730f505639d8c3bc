#include "core/record/delivery_journal.h"

#include <gtest/gtest.h>

#include "core/link/link_fakes.h"
#include "fake_file_store.h"

namespace velk {
namespace {

constexpr const char* kPath = "/base/VELK.journal";

class DeliveryJournalTest : public ::testing::Test {
protected:
    DeliveryJournalTest() { Open(); }

    // A journal object as a new start makes it, on the same files.
    DeliveryJournal& Open() {
        journal_ = std::make_unique<DeliveryJournal>(
            files_, "/base", [this](const std::string& event, const std::string& detail) {
                reports_.push_back(event + ": " + detail);
            });
        return *journal_;
    }
    DeliveryJournal& Reload() {
        Open().Load();
        return *journal_;
    }
    static JournalState Pending(char fill, uint32_t sequence) {
        JournalState s;
        const std::string frame = test::MakeFrame(test::Text52(90, fill));
        s.pending = true;
        s.pendingLength = static_cast<uint32_t>(frame.size() - 4);
        s.pendingArea = frame + "leftover of a longer frame";
        s.lastFrame = test::MakeFrame(test::Text52(90, 'z'));
        s.sequence = sequence;
        return s;
    }

    test::FakeFileStore files_;
    std::vector<std::string> reports_;
    std::unique_ptr<DeliveryJournal> journal_;
};

TEST_F(DeliveryJournalTest, EveryPartOfTheStateComesBack) {
    journal_->Load();
    EXPECT_EQ(files_.Content(kPath).size(), DeliveryJournal::kFileSize);
    EXPECT_EQ(journal_->State(), JournalState{});

    JournalState s = Pending('a', 0x1234);
    s.queueStep = JournalState::QueueStep::Stored;
    s.queueSlot = 19999;
    s.queueCount = 500;
    s.queueCheck = 0xFFFFFFFFu;
    s.positions = {{"Bill/20261208.raw", 0}, {"Buffers/buffer_in.csv", 0}};
    journal_->State() = s;
    ASSERT_TRUE(journal_->Save(true));
    EXPECT_EQ(Reload().State(), s);

    s = JournalState{};
    s.lastFrame = std::string(1000, '\x01');  // the whole compared area
    journal_->State() = s;
    ASSERT_TRUE(journal_->Save(true));
    EXPECT_EQ(Reload().State(), s);
    EXPECT_TRUE(reports_.empty());
}

// A state written without a flush may be taken back by a power failure, or be cut in the middle
// of its write; either way the newest state that was flushed is what the next start finds.
TEST_F(DeliveryJournalTest, APowerFailureLeavesTheNewestDurableState) {
    journal_->Load();
    const auto save = [this](const JournalState& s, bool durable) {
        journal_->State() = s;
        ASSERT_TRUE(journal_->Save(durable));
    };
    // The write of this state went wrong half-way: its slot fails its check.
    const auto cut = [this](const JournalState& s) {
        std::string& bytes = files_.files[kPath];
        for (size_t slot : {size_t{0}, DeliveryJournal::kSlotSize}) {
            JournalState decoded;
            uint64_t generation = 0;
            if (DeliveryJournal::DecodeSlot(std::string_view(bytes).substr(slot, 4096), decoded,
                                            generation) &&
                decoded == s) {
                bytes[slot + 100] ^= 0x40;
            }
        }
    };
    const JournalState a = Pending('a', 7), c = Pending('c', 9), d = Pending('d', 10);
    JournalState b = a;
    b.pending = false;
    b.pendingLength = 0;
    b.pendingArea.clear();

    save(a, true);
    save(b, false);
    EXPECT_EQ(Reload().State(), b);  // a kill keeps what is in the system's memory
    save(c, false);
    files_.PowerCut();
    EXPECT_EQ(Reload().State(), b);  // the start made b durable
    save(c, true);
    save(d, false);
    cut(d);
    EXPECT_EQ(Reload().State(), c);
    save(d, true);
    cut(d);
    EXPECT_EQ(Reload().State(), c);
    EXPECT_TRUE(reports_.empty());
}

// A journal that cannot be trusted is reported once, kept under another name and replaced; the
// program starts without it.
TEST_F(DeliveryJournalTest, DamagedOrForeignFilesAreSetAsideOnce) {
    const std::string good = [this] {
        journal_->Load();
        journal_->State() = Pending('a', 3);
        journal_->Save(true);
        return files_.Content(kPath);
    }();
    // A slot whose check holds but whose pending frame fails its BCC.
    JournalState unsound = Pending('a', 3);
    unsound.pendingArea[10] ^= 1;
    std::string wrongFrame = DeliveryJournal::EncodeSlot(unsound, 99);
    wrongFrame.resize(DeliveryJournal::kFileSize, '\0');
    std::string garbage(DeliveryJournal::kFileSize, '\0');
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>(i * 7 + 3);
    std::string spoilt = good;
    for (size_t slot : {0u, 4096u})
        spoilt[slot + 30] ^= 0x10;

    const struct {
        const char* name;
        std::string content;
        const char* reason;
    } cases[] = {
        {"empty", "", "it has 0 bytes, not 8192"},
        {"truncated", good.substr(0, 4100), "it has 4100 bytes, not 8192"},
        {"too long", good + "x", "it is larger than 8192 bytes"},
        {"garbage", garbage, "neither of its two states is whole"},
        {"both slots spoilt", spoilt, "neither of its two states is whole"},
        {"an impossible frame", wrongFrame, "neither of its two states is whole"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        files_.files.clear();
        reports_.clear();
        files_.files[kPath] = c.content;
        Reload();
        ASSERT_EQ(reports_.size(), 1u);
        EXPECT_EQ(reports_[0], std::string("Journal: ") + kPath +
                                   " is damaged or not a journal: " + c.reason +
                                   "; set aside as VELK.journal.bad; started without the frame "
                                   "and numbers it held");
        EXPECT_EQ(files_.Content("/base/VELK.journal.bad"), c.content);
        EXPECT_EQ(journal_->State(), JournalState{});
        EXPECT_EQ(files_.Content(kPath).size(), DeliveryJournal::kFileSize);
        journal_->State().sequence = 5;
        EXPECT_TRUE(journal_->Save(true));
        EXPECT_EQ(Reload().State().sequence, 5u);
        EXPECT_EQ(reports_.size(), 1u);
    }
    // A second damaged file gets a name of its own.
    files_.files[kPath] = "x";
    Reload();
    EXPECT_EQ(files_.Content("/base/VELK.journal.bad2"), "x");
}

TEST_F(DeliveryJournalTest, AWriteThatFailsIsReportedOnceAndAgainWhenItWorks) {
    journal_->Load();
    files_.failStateWrites = true;
    EXPECT_FALSE(journal_->Save(true));
    EXPECT_FALSE(journal_->Save(false));
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_NE(reports_[0].find("cannot be written"), std::string::npos);
    files_.failStateWrites = false;
    EXPECT_TRUE(journal_->Save(true));
    ASSERT_EQ(reports_.size(), 2u);
    EXPECT_EQ(reports_[1], std::string("Journal: ") + kPath + " is written again");
}

}  // namespace
}  // namespace velk
