#include "core/record/delivery_journal.h"

#include <array>

#include "core/link/link_protocol.h"

namespace velk {
namespace {

constexpr std::string_view kMagic = "VELKJNL2";
constexpr std::string_view kOlderMagic = "VELKJNL1";
constexpr size_t kHeader = 24;  // magic, generation, content length, CRC
constexpr uint8_t kPending = 1;
constexpr uint8_t kSequence = 2;
constexpr size_t kLargestQueueRecord = 256;
constexpr size_t kLargestName = 255;
constexpr size_t kMostPositions = 64;

uint32_t Crc32(std::string_view bytes) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (char ch : bytes)
        crc = table[(crc ^ static_cast<uint8_t>(ch)) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

void Put(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>(value >> (8 * i));
}

void PutBytes(std::string& out, const std::string& bytes) {
    Put(out, bytes.size(), 2);
    out += bytes;
}

// Reads numbers and byte strings from a slot's content; any read past its end spoils it.
class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    uint64_t Number(int bytes) {
        uint64_t v = 0;
        if (at_ + static_cast<size_t>(bytes) > bytes_.size()) {
            ok_ = false;
            return 0;
        }
        for (int i = 0; i < bytes; ++i)
            v |= uint64_t{static_cast<uint8_t>(bytes_[at_ + static_cast<size_t>(i)])} << (8 * i);
        at_ += static_cast<size_t>(bytes);
        return v;
    }
    std::string Bytes(size_t largest) {
        const size_t n = Number(2);
        if (!ok_ || n > largest || at_ + n > bytes_.size()) {
            ok_ = false;
            return {};
        }
        std::string s(bytes_.substr(at_, n));
        at_ += n;
        return s;
    }
    bool WholeAndOk() const { return ok_ && at_ == bytes_.size(); }

private:
    std::string_view bytes_;
    size_t at_ = 0;
    bool ok_ = true;
};

// A pending frame read back must be one the link would have acknowledged.
bool PendingFrameSound(const JournalState& s) {
    if (!s.pending)
        return s.pendingLength == 0 && s.pendingArea.empty();
    if (!IsAcceptedLength(s.pendingLength) || s.pendingArea.size() < s.pendingLength + 3 ||
        static_cast<uint8_t>(s.pendingArea[0]) != STX) {
        return false;
    }
    return BccMatches(reinterpret_cast<const uint8_t*>(s.pendingArea.data()), s.pendingLength);
}

}  // namespace

DeliveryJournal::DeliveryJournal(FileStore& files, std::filesystem::path baseDirectory,
                                 FileProblemReport report)
    : files_(files),
      base_(baseDirectory),
      path_(baseDirectory / kFileName),
      report_(std::move(report)) {}

uint32_t DeliveryJournal::QueueCheck(const std::vector<std::string>& records) {
    std::string bytes;
    for (const std::string& r : records) {
        Put(bytes, r.size(), 2);
        bytes += r;
    }
    return Crc32(bytes);
}

std::string DeliveryJournal::EncodeSlot(const JournalState& s, uint64_t generation) {
    std::string content;
    Put(content, (s.pending ? kPending : 0) | (s.sequence ? kSequence : 0), 1);
    Put(content, static_cast<uint8_t>(s.queueStep), 1);
    PutBytes(content, s.lastFrame);
    Put(content, s.pendingLength, 4);
    PutBytes(content, s.pendingArea);
    Put(content, s.sequence.value_or(0), 4);
    Put(content, s.queueSlot, 4);
    Put(content, s.queueCount, 4);
    Put(content, s.queueCheck, 4);
    PutBytes(content, s.owner);
    Put(content, s.positions.size(), 1);
    for (const FilePosition& p : s.positions) {
        PutBytes(content, p.file);
        Put(content, p.length, 8);
    }

    std::string checked;
    Put(checked, generation, 8);
    Put(checked, content.size(), 4);
    checked += content;
    std::string slot(kMagic);
    slot += checked.substr(0, 12);
    Put(slot, Crc32(checked), 4);
    slot += content;
    return slot;
}

bool DeliveryJournal::DecodeSlot(std::string_view slot, JournalState& s, uint64_t& generation) {
    if (slot.size() < kHeader)
        return false;
    const bool older = slot.substr(0, kOlderMagic.size()) == kOlderMagic;
    if (!older && slot.substr(0, kMagic.size()) != kMagic)
        return false;
    Reader header(slot.substr(8, 16));
    generation = header.Number(8);
    const size_t length = header.Number(4);
    const uint32_t crc = static_cast<uint32_t>(header.Number(4));
    if (length > slot.size() - kHeader)
        return false;
    std::string checked(slot.substr(8, 12));
    checked += slot.substr(kHeader, length);
    if (Crc32(checked) != crc)
        return false;

    Reader r(slot.substr(kHeader, length));
    JournalState state;
    const uint64_t flags = r.Number(1);
    const uint64_t step = r.Number(1);
    state.lastFrame = r.Bytes(cs_smda_prot::kCompared);
    state.pendingLength = static_cast<uint32_t>(r.Number(4));
    state.pendingArea = r.Bytes(cs_smda_prot::kReceiveArea);
    const uint32_t sequence = static_cast<uint32_t>(r.Number(4));
    state.queueSlot = static_cast<uint32_t>(r.Number(4));
    state.byPosition = !older;
    if (older) {
        // One record, kept as its bytes.
        const std::string record = r.Bytes(kLargestQueueRecord);
        state.queueCount = record.empty() ? 0 : 1;
        state.queueCheck = record.empty() ? 0 : QueueCheck({record});
    } else {
        state.queueCount = static_cast<uint32_t>(r.Number(4));
        state.queueCheck = static_cast<uint32_t>(r.Number(4));
        state.owner = r.Bytes(kLargestName);
        const size_t n = r.Number(1);
        for (size_t i = 0; i < n && i < kMostPositions; ++i) {
            FilePosition p;
            p.file = r.Bytes(kLargestName);
            p.length = r.Number(8);
            state.positions.push_back(std::move(p));
        }
        if (n > kMostPositions)
            return false;
    }
    if (!r.WholeAndOk() || (flags & ~uint64_t{kPending | kSequence}) != 0 || step > 2)
        return false;
    state.pending = (flags & kPending) != 0;
    if ((flags & kSequence) != 0)
        state.sequence = sequence;
    state.queueStep = static_cast<JournalState::QueueStep>(step);
    if (!PendingFrameSound(state) ||
        (state.queueStep == JournalState::QueueStep::None) != (state.queueCount == 0)) {
        return false;
    }
    s = std::move(state);
    return true;
}

void DeliveryJournal::Load() {
    state_ = {};
    generation_ = 0;
    usable_ = false;
    newerInMemory_ = false;
    setAside_.clear();
    std::string content;
    if (!files_.ReadWhole(path_, content, kFileSize + 1)) {
        if (files_.Exists(path_))
            SetAsideDamaged("it cannot be read (" + files_.ErrorText() + ")");
        Create();
        return;
    }
    if (content.size() != kFileSize) {
        SetAsideDamaged(content.size() > kFileSize
                            ? "it is larger than " + std::to_string(kFileSize) + " bytes"
                            : "it has " + std::to_string(content.size()) + " bytes, not " +
                                  std::to_string(kFileSize));
        Create();
        return;
    }
    bool found = false;
    for (int slot = 0; slot < 2; ++slot) {
        JournalState s;
        uint64_t generation = 0;
        const std::string_view bytes =
            std::string_view(content).substr(static_cast<size_t>(slot) * kSlotSize, kSlotSize);
        if (DecodeSlot(bytes, s, generation) && (!found || generation > generation_)) {
            state_ = std::move(s);
            generation_ = generation;
            durableSlot_ = slot;
            found = true;
        }
    }
    if (!found) {
        SetAsideDamaged("neither of its two states is whole");
        Create();
        return;
    }
    const std::string misfit = Misfit(state_);
    if (!misfit.empty()) {
        SetAsideDamaged(misfit, false);
        Create();
        return;
    }
    // A file that is gone was handed over (a buffer in-file moved away just before the program
    // died): it starts again empty.
    for (FilePosition& p : state_.positions) {
        if (!files_.Exists(base_ / p.file))
            p.length = 0;
    }
    if (state_.owner.empty())
        state_.owner = files_.Identity(base_);
    usable_ = true;
    // A state written just before the program was killed may still be in the system's memory
    // only: it is made durable before anything is written after it.
    if (!files_.Flush(path_))
        Problem("cannot be flushed (" + files_.ErrorText() + ")");
}

bool DeliveryJournal::MakeDurable() {
    if (!newerInMemory_)
        return true;
    if (!files_.Flush(path_)) {
        Problem("cannot be flushed (" + files_.ErrorText() + ")");
        return false;
    }
    durableSlot_ = 1 - durableSlot_;
    newerInMemory_ = false;
    return true;
}

std::string DeliveryJournal::Misfit(const JournalState& s) {
    const std::string here = files_.Identity(base_);
    if (!s.owner.empty() && !here.empty() && s.owner != here) {
        return "it belongs to another base directory (" + s.owner + ", this one is " + here +
               ")";
    }
    for (const FilePosition& p : s.positions) {
        const uint64_t length = files_.Length(base_ / p.file);
        if (length < p.length && files_.Exists(base_ / p.file)) {
            return "it names " + p.file + " at " + std::to_string(p.length) +
                   " bytes, but the file has " + std::to_string(length);
        }
    }
    return {};
}

void DeliveryJournal::SetAside(const std::string& reason) {
    JournalState keep = state_;
    SetAsideDamaged(reason, false, "went on from what the files hold");
    Create();
    keep.owner = state_.owner;
    state_ = std::move(keep);
    Save(true);
}

void DeliveryJournal::SetAsideDamaged(const std::string& reason, bool damaged,
                                      const std::string& then) {
    // A journal that cannot be trusted is kept for a look, under a name of its own; the program
    // starts without what it held.
    std::string where = "it could not be renamed and is written over";
    for (int n = 1; n <= 9; ++n) {
        const std::filesystem::path to =
            path_.string() + ".bad" + (n == 1 ? std::string() : std::to_string(n));
        if (!files_.Exists(to) && files_.MoveNoReplace(path_, to)) {
            setAside_ = to;
            where = "set aside as " + to.filename().string();
            break;
        }
    }
    if (report_) {
        report_("Journal", path_.string() +
                               (damaged ? " is damaged or not a journal: "
                                        : " does not fit this directory: ") +
                               reason + "; " + where + "; " + then);
    }
}

void DeliveryJournal::Create() {
    // An empty state in slot 0, naming the directory it belongs to; slot 1 holds nothing yet.
    state_ = {};
    state_.owner = files_.Identity(base_);
    generation_ = 0;
    std::string file = EncodeSlot(state_, generation_);
    file.resize(kFileSize, '\0');
    if (!files_.WriteAt(path_, 0, file) || !files_.Flush(path_)) {
        Problem("cannot be made (" + files_.ErrorText() + ")");
        return;
    }
    durableSlot_ = 0;
    usable_ = true;
}

void DeliveryJournal::Problem(const std::string& detail) {
    if (failing_)
        return;
    failing_ = true;
    if (report_) {
        report_("Journal", path_.string() + " " + detail +
                               ": records acknowledged or taken are not safe from a crash until it "
                               "can be written again");
    }
}

bool DeliveryJournal::Save(bool durable) {
    if (!usable_) {
        // The file could not be made at start (a full disk): it is made now, with the state.
        const JournalState state = state_;
        Create();
        state_ = state;
        if (!usable_)
            return false;
    }
    const int slot = 1 - durableSlot_;
    const std::string bytes = EncodeSlot(state_, ++generation_);
    // Never a state the reader would refuse: it would spoil every later one too.
    if (bytes.size() > kSlotSize || state_.positions.size() > kMostPositions) {
        --generation_;
        Problem("cannot hold this state (" + std::to_string(bytes.size()) + " bytes)");
        return false;
    }
    if (!files_.WriteAt(path_, static_cast<uint64_t>(slot) * kSlotSize, bytes)) {
        Problem("cannot be written (" + files_.ErrorText() + ")");
        return false;
    }
    newerInMemory_ = true;
    if (durable && !MakeDurable())
        return false;
    if (failing_) {
        failing_ = false;
        if (report_)
            report_("Journal", path_.string() + " is written again");
    }
    return true;
}

}  // namespace velk
