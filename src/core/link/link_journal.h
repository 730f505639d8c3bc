#pragma once

#include <cstdint>

namespace velk {

// Where the link keeps what it acknowledged, so that a frame the PBX counts as sent survives the
// program's death. Between the two calls the frame exists on the disk and nowhere else that lasts.
class LinkJournal {
public:
    virtual ~LinkJournal() = default;
    // A frame passed its checks and its ACK is about to leave: the receive area (the frame, L + 4
    // bytes, and what follows it up to kReceiveArea) is made durable first. False when it could
    // not be: no ACK leaves, and the PBX keeps the record to send it again.
    virtual bool Acknowledging(const uint8_t* area, uint32_t length) = 0;
    // The acknowledged frame went through the dispatcher, or was dropped as a duplicate: lastFrame
    // (kCompared bytes) is the duplicate check's baseline from now on.
    virtual void Delivered(const uint8_t* lastFrame) = 0;
    // False while records cannot be stored (a full disk): no poll goes out, and the PBX keeps
    // its records until they can.
    virtual bool MayPoll() { return true; }
};

}  // namespace velk
