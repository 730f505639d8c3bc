#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace velk {

// Takes the billing port's byte stream apart into the pieces the link protocol reads: each record
// is a 2-byte big-endian length prefix N and a frame of N bytes, reported as the STX byte
// (1 byte), the three length digits (3 bytes) and the body (N - 4 bytes) in turn; a control byte
// without a prefix is reported alone. The iPECS-MG billing server (system type 3) sends a prefix
// whose value is not used: the body length comes from the length digits.
//
// Records split over several TCP segments are reassembled. A prefix below 4, or a record that does
// not fit the receive area, is skipped without touching the receive area. A record begins only
// where a prefix is followed by STX and three length digits: bytes that arrive late from a record
// given up at a poll never join the next record.
class TcpRecordSplitter {
public:
    struct Sink {
        // Called after each piece was placed in the receive area (the protocol's read event).
        std::function<void(uint32_t count)> piece;
        std::function<void(int maximum)> progressRange;
        std::function<void(int position)> progressPosition;
    };

    TcpRecordSplitter(uint8_t* area, size_t areaSize, Sink sink);

    void SetLengthFromDigits(bool fromDigits) { lengthFromDigits_ = fromDigits; }
    // Takes bytes as they arrive and reports every complete piece.
    void Feed(const uint8_t* data, size_t size);
    // A new poll: whatever was received of an unfinished record is given up.
    void Reset();

    uint16_t RecCount() const { return recCount_; }
    size_t Pending() const { return buffer_.size() - read_; }

private:
    bool Step();
    bool StepAtRecordStart(const uint8_t* p, size_t available);
    bool StepAtRecordStartFromDigits(const uint8_t* p, size_t available);
    bool ReportAlone(uint8_t byte);
    bool TakeRecord(uint32_t bodyLength, size_t headerLength);
    void Consume(size_t n);

    uint8_t* area_;
    size_t areaSize_;
    Sink sink_;
    bool lengthFromDigits_ = false;
    std::vector<uint8_t> buffer_;
    size_t read_ = 0;
    uint16_t recCount_ = 0;    // length of the record in progress (its prefix was read)
    size_t discard_ = 0;       // bytes of a rejected record still to be skipped
    uint64_t generation_ = 0;  // changes with every Reset, so a reset during a report is seen
};

}  // namespace velk
