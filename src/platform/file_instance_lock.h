#pragma once

#include <filesystem>

#include "core/foundation/instance_lock.h"

namespace velk {

// The single-instance guard: an exclusively locked file in the base directory. The lock belongs to
// the open file, so it ends with the process however the process ends.
class FileInstanceLock : public InstanceLock {
public:
    explicit FileInstanceLock(std::filesystem::path directory);
    ~FileInstanceLock() override;
    FileInstanceLock(const FileInstanceLock&) = delete;
    FileInstanceLock& operator=(const FileInstanceLock&) = delete;

    bool TryAcquire() override;
    void Release() override;

private:
    std::filesystem::path path_;
    int fd_ = -1;
};

}  // namespace velk
