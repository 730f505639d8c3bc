#include "core/link/tcp_record_splitter.h"

#include <algorithm>
#include <cstring>

#include "core/link/link_protocol.h"

namespace velk {
namespace {

bool IsHexDigit(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Records are at most 1003 bytes, so the high byte of a length prefix is 0..3; a record's frame
// starts with STX right after its prefix. Bytes that do not begin such a record are stray: the
// tail of a record given up at a poll, or noise.
bool CanStartPrefix(uint8_t b) {
    return b <= 0x03;
}

// The control bytes a PBX sends alone.
bool IsPbxControlByte(uint8_t b) {
    return b == EOT || b == NAK;
}

// Whether the n bytes waiting (fewer than the six that decide) can still be a prefix, STX and
// the three length digits of a record.
bool CouldBeginRecord(const uint8_t* p, size_t n) {
    if (n >= 3 && p[2] != STX)
        return false;
    for (size_t i = 3; i < n && i < 6; ++i) {
        if (!IsHexDigit(p[i]))
            return false;
    }
    return true;
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
    if (recCount_ == 0)
        return lengthFromDigits_ ? StepAtRecordStartFromDigits(p, available)
                                 : StepAtRecordStart(p, available);

    if (sink_.progressPosition)
        sink_.progressPosition(static_cast<int>(available));
    if (available < recCount_)
        return false;
    const uint32_t body = recCount_ - 4u;
    recCount_ = 0;
    return TakeRecord(body, 0);
}

// Between records: a prefix whose frame starts with STX and three length digits begins a record;
// any other byte above 3 stands alone, and any other byte of 0..3 is dropped without touching the
// area. The length digits decide between a record and a stray ETX followed by a prefix whose low
// byte is STX (a record of 258, 514 or 770 bytes): 03 01 02 02 begins with what looks like a
// prefix 0x0301 and STX.
bool TcpRecordSplitter::StepAtRecordStart(const uint8_t* p, size_t available) {
    if (!CanStartPrefix(p[0]))
        return ReportAlone(p[0]);
    if (!CouldBeginRecord(p, available)) {
        Consume(1);  // a stray byte, such as the ETX of a record given up earlier
        return true;
    }
    if (available < 6)
        return false;  // a prefix may be arriving
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

// The iPECS-MG billing server: a prefix of any value, STX and three length digits begin a
// record. Any byte waits until the six bytes that decide are there, except EOT and NAK: a PBX
// sends them alone, so one that is all that arrived stands alone, and one followed by bytes that
// cannot go on to a record too. A prefix whose first byte is 0x04 or 0x15 comes with more bytes.
bool TcpRecordSplitter::StepAtRecordStartFromDigits(const uint8_t* p, size_t available) {
    if (available < 6) {
        if (!IsPbxControlByte(p[0]) || (available > 1 && CouldBeginRecord(p, available)))
            return false;
        return ReportAlone(p[0]);
    }
    if (p[2] == STX && IsHexDigit(p[3]) && IsHexDigit(p[4]) && IsHexDigit(p[5]))
        return TakeRecord(ParseLengthDigits(p + 3), 2);
    if (CanStartPrefix(p[0])) {
        Consume(1);
        return true;
    }
    return ReportAlone(p[0]);
}

bool TcpRecordSplitter::ReportAlone(uint8_t byte) {
    area_[0] = byte;
    Consume(1);
    if (sink_.piece)
        sink_.piece(1);
    return true;
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
