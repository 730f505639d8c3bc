#pragma once

#include <string>

namespace velk {

// The hard-disk buffer as a way in: a reader that takes the billing server's records from the
// queue files of a directory while it runs.
class DiskBufferChannel {
public:
    virtual ~DiskBufferChannel() = default;
    // Starts reading the directory; false, with the reason, when it cannot be read.
    virtual bool Start(const std::string& directory, std::string& error) = 0;
    virtual void Stop() = 0;
    virtual bool Running() const = 0;
};

}  // namespace velk
