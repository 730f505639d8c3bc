#include "core/link/serial_piece_reader.h"

#include <cstring>

namespace velk {

SerialPieceReader::SerialPieceReader(uint8_t* area, size_t areaSize, uint32_t& request, Sink sink)
    : area_(area), areaSize_(areaSize), request_(request), sink_(std::move(sink)) {}

void SerialPieceReader::Feed(const uint8_t* data, size_t size) {
    if (!active_ || size == 0)
        return;
    if (read_ > 0 && read_ > queue_.size() / 2) {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(read_));
        read_ = 0;
    }
    queue_.insert(queue_.end(), data, data + size);
    Pump();
}

void SerialPieceReader::Purge() {
    queue_.clear();
    read_ = 0;
    lineError_ = false;
}

void SerialPieceReader::Pump() {
    // A piece reported from here may make the protocol purge or ask again: the loop below serves
    // that, not a nested call.
    if (delivering_)
        return;
    delivering_ = true;
    while (active_ && request_ != 0) {
        const uint32_t n = request_;
        // A body is read from offset 4: a request the area cannot hold is never served.
        const size_t offset = n == 1 ? 0 : (n == 3 ? 1 : 4);
        if (offset + n > areaSize_)
            break;
        if (Waiting() < n) {
            if (n > 3 && sink_.progressPosition)
                sink_.progressPosition(static_cast<int>(Waiting()));
            break;
        }
        request_ = 0;
        if (lineError_) {
            lineError_ = false;  // the read transfers nothing; the bytes stay queued
        } else {
            std::memcpy(area_ + offset, queue_.data() + read_, n);
            read_ += n;
            if (read_ == queue_.size()) {
                queue_.clear();
                read_ = 0;
            }
        }
        if (sink_.piece)
            sink_.piece(n);
    }
    delivering_ = false;
}

}  // namespace velk
