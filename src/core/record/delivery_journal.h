#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/record/call_recorder.h"
#include "core/record/file_store.h"
#include "core/record/resuming_file_store.h"

namespace velk {

// What must outlive the program for every call to be stored once: the frame acknowledged to the
// PBX and not yet stored, the baselines of the duplicate check and of the sequence check, and the
// hard-disk buffer's record being stored.
struct JournalState {
    // The receive area of the last frame delivered (the duplicate check compares it), without its
    // trailing zero bytes.
    std::string lastFrame;
    // A frame acknowledged and not yet delivered: its receive area (without trailing zero bytes)
    // and its length value L.
    bool pending = false;
    uint32_t pendingLength = 0;
    std::string pendingArea;
    // The sequence number of the last call record, if any since the count began.
    std::optional<uint32_t> sequence;
    // The hard-disk buffer: a batch of records, from the queue slot queueSlot on, is being
    // stored, or was stored and is still to leave the queue; queueCount records whose bytes give
    // queueCheck (QueueCheck).
    enum class QueueStep : uint8_t { None = 0, Storing = 1, Stored = 2 };
    QueueStep queueStep = QueueStep::None;
    uint32_t queueSlot = 0;
    uint32_t queueCount = 0;
    uint32_t queueCheck = 0;
    // Where the record files stood before the pending frame or the queue record being stored
    // was appended to them: it is stored again by these positions.
    std::vector<FilePosition> positions;
    // False for a state of an older journal, which kept no positions.
    bool byPosition = true;
    // The base directory the journal belongs to (as the file store names it; empty: unknown).
    std::string owner;

    bool operator==(const JournalState&) const = default;
};

// The journal file "VELK.journal" in the base directory: two slots of 4096 bytes, each holding a
// whole state with its generation and a CRC-32. A state is written into the slot that does not
// hold the newest state known to be on the disk, so a write cut short by a power failure leaves
// that one intact; at start the newest slot whose check holds wins.
//
// Slot: "VELKJNL2", generation (64 bits), content length (32 bits), CRC-32 of generation, length
// and content, then the content; numbers little-endian. A slot of "VELKJNL1" (an older VELK,
// without positions and owner) is read too.
//
// A journal that is whole but does not fit the directory is set aside like a damaged one: one
// that belongs to another base directory (copied from another site), or that names a record
// file at a position beyond the end of the file (it knew more of the file than is there). A file
// it names that is gone was handed over: it starts again empty.
class DeliveryJournal {
public:
    static constexpr const char* kFileName = "VELK.journal";
    static constexpr size_t kSlotSize = 4096;
    static constexpr size_t kFileSize = 2 * kSlotSize;

    // Problems go to report ("Journal" and the details), once until they are over.
    DeliveryJournal(FileStore& files, std::filesystem::path baseDirectory,
                    FileProblemReport report);

    // Reads the file at start. A missing file is made; one that is damaged or not a journal
    // (wrong size, no slot whose check holds, a state that cannot be) is reported, set aside
    // under another name and replaced by an empty one. The state is then State().
    void Load();
    JournalState& State() { return state_; }
    const JournalState& State() const { return state_; }

    // Sets the journal aside (reported with the reason) and starts a new one holding State(),
    // flushed: for a journal found not to fit after its frame was stored again.
    void SetAside(const std::string& reason);

    // Writes State(). Durable: flushed to the disk before it returns; otherwise it may stay in
    // the system's memory (a kill keeps it, a power failure may take it back, leaving the newest
    // durable state). False when it could not be written or flushed.
    bool Save(bool durable);
    // Makes the newest state written durable, if a Save without a flush left it in the system's
    // memory; false when it could not be flushed.
    bool MakeDurable();

    const std::filesystem::path& Path() const { return path_; }
    // Where a damaged file was set aside at the last Load (empty when none was).
    const std::filesystem::path& SetAside() const { return setAside_; }

    // The slot's bytes for a state, and the state of a slot's bytes (false when its check fails
    // or its content cannot be a state); for the tests of the format.
    // What names a batch of queue records by their bytes: a CRC-32 over each record's area (its
    // trailing zero bytes left out) with its length.
    static uint32_t QueueCheck(const std::vector<std::string>& records);

    static std::string EncodeSlot(const JournalState& state, uint64_t generation);
    static bool DecodeSlot(std::string_view slot, JournalState& state, uint64_t& generation);

private:
    void SetAsideDamaged(const std::string& reason, bool damaged = true,
                         const std::string& then = "started without the frame and numbers it held");
    // Why the state read does not fit the directory (empty: it fits).
    std::string Misfit(const JournalState& state);
    void Create();
    void Problem(const std::string& detail);
    bool Write(uint64_t slot, bool durable);

    FileStore& files_;
    std::filesystem::path base_;
    std::filesystem::path path_;
    FileProblemReport report_;
    JournalState state_;
    uint64_t generation_ = 0;
    int durableSlot_ = 0;  // the slot with the newest state known to be on the disk
    bool newerInMemory_ = false;  // the other slot holds a newer state, not flushed yet
    bool usable_ = false;  // the file is there to be written
    bool failing_ = false;
    std::filesystem::path setAside_;
};

}  // namespace velk
