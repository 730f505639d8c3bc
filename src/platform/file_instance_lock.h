#pragma once

#include <filesystem>

#include "core/foundation/instance_lock.h"

namespace velk {

// The single-instance guard: an exclusively locked file in the base directory. The lock belongs to
// the open file, so it ends with the process however the process ends. A lock needs only a
// descriptor: a lock file this user may not write is opened for reading.
class FileInstanceLock : public InstanceLock {
public:
    explicit FileInstanceLock(std::filesystem::path directory);
    ~FileInstanceLock() override;
    FileInstanceLock(const FileInstanceLock&) = delete;
    FileInstanceLock& operator=(const FileInstanceLock&) = delete;

    LockResult TryAcquire() override;
    std::string UnavailableText() const override { return unavailable_; }
    void Release() override;

private:
    std::filesystem::path path_;
    std::string unavailable_;
    int fd_ = -1;
};

}  // namespace velk
