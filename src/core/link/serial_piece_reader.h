#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace velk {

// The serial reader: what the port receives waits here, like the driver's receive queue, until
// the link protocol asks for a piece (Bytes_To_Read: 1, 3 or the body length). A piece is placed
// in the receive area only when it is complete (1 byte at offset 0, 3 bytes at 1..3, a body from
// offset 4) and is then reported; the protocol's answer to one piece (its next request) is served
// before the next one, so the protocol sees exactly the 1 / 3 / body sequence, however the bytes
// arrive.
class SerialPieceReader {
public:
    struct Sink {
        // Called after each piece was placed (the protocol's read event).
        std::function<void(uint32_t count)> piece;
        // While a body is awaited: how many bytes are waiting so far.
        std::function<void(int position)> progressPosition;
    };

    // request is the protocol's Bytes_To_Read: taken (and zeroed) when a piece is delivered.
    SerialPieceReader(uint8_t* area, size_t areaSize, uint32_t& request, Sink sink);

    // Bytes arrived from the port; delivers every piece that is now complete.
    void Feed(const uint8_t* data, size_t size);
    // Delivers what the current request can take from the bytes already waiting (after the
    // protocol asked for a piece outside a read event).
    void Pump();
    // The receive queue is purged (clear RX, disconnect): waiting bytes are gone.
    void Purge();
    // The port reported a line error: the next piece transfers nothing, but is reported, so the
    // protocol judges the receive area as it stands (a bad length, BCC or byte, and its recovery).
    void LineError() { lineError_ = true; }
    void SetActive(bool active) { active_ = active; }

    size_t Waiting() const { return queue_.size() - read_; }

private:
    uint8_t* area_;
    size_t areaSize_;
    uint32_t& request_;
    Sink sink_;
    std::vector<uint8_t> queue_;
    size_t read_ = 0;
    bool lineError_ = false;
    bool active_ = true;
    bool delivering_ = false;
};

}  // namespace velk
