#include "core/archive/raw_file_reader.h"

#include <algorithm>
#include <string>

namespace velk {

RawFileReader::RawFileReader(FollowedFile& file, uint64_t from)
    : file_(file), chunk_(kChunk), next_(from), end_(from) {}

bool RawFileReader::Take() {
    if (!scanner_.CheckOk()) {
        // Length digits no message can have make no message; either way reading goes on at the
        // next message start, as in an import.
        if (scanner_.LengthPossible())
            ++badChecks_;
        scanner_.Resync();
        clean_ = false;
        return false;
    }
    length_ = scanner_.Length();
    std::copy(scanner_.Frame(), scanner_.Frame() + length_ + 4, frame_.begin());
    end_ = scanner_.EndOffset();
    scanner_.Reset();
    clean_ = true;
    return true;
}

bool RawFileReader::Next() {
    while (true) {
        if (replaying_) {
            if (scanner_.Replay() == RawImportScanner::Step::Continue) {
                replaying_ = false;
            } else if (Take()) {
                return true;
            }
            continue;
        }
        if (at_ == have_) {
            const uint64_t size = file_.Size();
            if (next_ >= size && scanner_.Collected() > 0 && scanner_.StartInside()) {
                // What the end cuts off may have begun at damaged length digits: reading goes on
                // at the message start inside it, as after a message that failed its check.
                scanner_.Resync();
                clean_ = false;
                replaying_ = true;
                continue;
            }
            if (next_ >= size) {
                if (clean_ && scanner_.Collected() == 0)
                    end_ = size;
                return false;
            }
            const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, size - next_));
            const size_t n = file_.ReadAt(next_, chunk_.data(), want);
            if (n == 0 || n > want) {
                failed_ = true;
                return false;
            }
            chunkOffset_ = next_;
            next_ += n;
            at_ = 0;
            have_ = n;
        }
        const uint64_t offset = chunkOffset_ + at_;
        const uint8_t c = chunk_[at_++];
        // Bytes the scanner drops (above the blank is a message's) keep the reading clean.
        if (static_cast<int8_t>(c) > 32)
            clean_ = false;
        if (scanner_.Feed(c, offset) == RawImportScanner::Step::Complete) {
            // What the scanner keeps to read again comes before the next byte of the file.
            replaying_ = true;
            if (Take())
                return true;
        }
    }
}

std::string RawFileReader::Body() const {
    return std::string(reinterpret_cast<const char*>(frame_.data()) + 1, length_ + 2);
}

}  // namespace velk
