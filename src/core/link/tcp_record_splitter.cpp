#include "core/link/tcp_record_splitter.h"

#include <algorithm>
#include <cstring>

#include "core/link/link_protocol.h"

namespace velk {
namespace {

// Bytes that can begin a length prefix: records are at most 1003 bytes, so the high byte of the
// prefix is 0..3. Anything else arriving outside a record is a control byte.
bool CanStartPrefix(uint8_t b) {
    return b <= 0x03;
}

}  // namespace

TcpRecordSplitter::TcpRecordSplitter(uint8_t* area, size_t areaSize, Sink sink)
    : area_(area), areaSize_(areaSize), sink_(std::move(sink)) {}

void TcpRecordSplitter::Reset() {
    buffer_.clear();
    read_ = 0;
    recCount_ = 0;
    discard_ = 0;
    ++generation_;
}

void TcpRecordSplitter::Consume(size_t n) {
    read_ += n;
    if (read_ == buffer_.size()) {
        buffer_.clear();
        read_ = 0;
    }
}

void TcpRecordSplitter::Feed(const uint8_t* data, size_t size) {
    if (size == 0)
        return;
    if (read_ > 0 && read_ > buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(read_));
        read_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + size);
    while (Step()) {
    }
}

// Handles what is waiting; true when it made progress and should be called again.
bool TcpRecordSplitter::Step() {
    const size_t available = Pending();
    if (available == 0)
        return false;

    if (discard_ > 0) {
        const size_t n = std::min(discard_, available);
        discard_ -= n;
        Consume(n);
        return true;
    }

    const uint8_t* p = buffer_.data() + read_;
    if (recCount_ == 0 && !CanStartPrefix(p[0])) {
        area_[0] = p[0];
        Consume(1);
        if (sink_.piece)
            sink_.piece(1);
        return true;
    }

    if (lengthFromDigits_) {
        // Prefix (unused), STX, three length digits, then as many body bytes as the digits say.
        if (available < 6)
            return false;
        const uint32_t body = ParseLengthDigits(p + 3);
        return TakeRecord(body, 2);
    }

    if (recCount_ == 0) {
        if (available < 2)
            return false;
        const uint16_t n = static_cast<uint16_t>((p[0] << 8) | p[1]);
        Consume(2);
        if (n < 4)
            return true;  // not a record: the prefix alone is dropped
        if (n > areaSize_) {
            discard_ = n;  // cannot be held: skipped as it arrives
            return true;
        }
        recCount_ = n;
        if (sink_.progressRange)
            sink_.progressRange(n);
        if (sink_.progressPosition)
            sink_.progressPosition(2);
        return true;
    }

    if (sink_.progressPosition)
        sink_.progressPosition(static_cast<int>(available));
    if (available < recCount_)
        return false;
    const uint32_t body = recCount_ - 4u;
    recCount_ = 0;
    return TakeRecord(body, 0);
}

// Reports one record whose header (headerLength prefix bytes) and 4 + bodyLength frame bytes are
// waiting.
bool TcpRecordSplitter::TakeRecord(uint32_t bodyLength, size_t headerLength) {
    if (4 + static_cast<size_t>(bodyLength) > areaSize_) {
        Consume(headerLength + 4);
        discard_ = bodyLength;
        return true;
    }
    if (Pending() < headerLength + 4 + bodyLength)
        return false;
    const uint64_t generation = generation_;
    const uint8_t* p = buffer_.data() + read_ + headerLength;
    std::memcpy(area_, p, 4);
    if (bodyLength > 0)
        std::memcpy(area_ + 4, p + 4, bodyLength);
    Consume(headerLength + 4 + bodyLength);
    // The protocol answers each piece before it looks at the next one; it may reset us meanwhile.
    if (sink_.piece)
        sink_.piece(1);
    if (generation != generation_)
        return true;
    if (sink_.piece)
        sink_.piece(3);
    if (generation != generation_)
        return true;
    if (bodyLength > 0 && sink_.piece)
        sink_.piece(bodyLength);
    return true;
}

}  // namespace velk
