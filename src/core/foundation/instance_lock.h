#pragma once

namespace velk {

// A per-directory lock that a second start in the same directory detects at once.
class InstanceLock {
public:
    virtual ~InstanceLock() = default;
    // False when another process already holds the lock for this directory.
    virtual bool TryAcquire() = 0;
    virtual void Release() = 0;
};

}  // namespace velk
