#pragma once

#include <cstdint>

namespace velk {

// Receives every delivered, non-duplicate frame (its first byte is STX; L is its length value).
class FrameDispatcher {
public:
    virtual ~FrameDispatcher() = default;
    virtual void Dispatch(const uint8_t* frame, uint32_t length) = 0;
};

}  // namespace velk
