#pragma once

#include <string>

namespace velk {

enum class LockResult {
    Acquired,
    HeldElsewhere,  // another process runs in this directory
    Unavailable,    // no lock can be taken here at all
};

// A per-directory lock that a second start in the same directory detects at once.
class InstanceLock {
public:
    virtual ~InstanceLock() = default;
    virtual LockResult TryAcquire() = 0;
    // Why no lock could be taken (after Unavailable).
    virtual std::string UnavailableText() const { return {}; }
    virtual void Release() = 0;
};

}  // namespace velk
