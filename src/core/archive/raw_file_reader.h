#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/analysis/raw_import.h"
#include "core/archive/followed_files.h"

namespace velk {

// Reads the messages of a raw record file VELK stored from an offset, cut as a rebuild cuts them,
// each with the offset just past it: reading can begin afresh there later and finds the same
// messages. Only messages that passed their check are given; one cut off by the end of the file
// (an append under way in another program's view) is left for the next reading, unless a
// message start follows inside it (its length digits were damaged).
class RawFileReader {
public:
    static constexpr size_t kChunk = 65536;

    RawFileReader(FollowedFile& file, uint64_t from);

    // The next message; false at the end of what the file held when it was opened.
    bool Next();
    const uint8_t* Frame() const { return frame_.data(); }
    uint32_t Length() const { return length_; }
    // Just past the message Next gave (the offset reading began at before the first); once Next
    // said the end, past the separators after the last message too (a reading begun there finds
    // what one begun right after the message would find).
    uint64_t End() const { return end_; }
    // The message body as the index keeps it: length digits, text, check digits.
    std::string Body() const;
    bool ReadFailed() const { return failed_; }
    uint64_t BadChecks() const { return badChecks_; }

private:
    // A complete message: true when it passed its check (and is now Frame).
    bool Take();

    FollowedFile& file_;
    RawImportScanner scanner_{RawFormat::Stored};
    std::vector<uint8_t> chunk_;
    uint64_t next_;  // where the next chunk is read
    size_t at_ = 0, have_ = 0;
    uint64_t chunkOffset_ = 0;
    bool replaying_ = false;
    std::array<uint8_t, RawImportScanner::kLongest + 4> frame_{};
    uint32_t length_ = 0;
    uint64_t end_;
    // Only separators since the last message given (or the beginning).
    bool clean_ = true;
    bool failed_ = false;
    uint64_t badChecks_ = 0;
};

}  // namespace velk
