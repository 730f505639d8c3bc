#pragma once

#include <string>

namespace velk {

// The hard-disk buffer as a way in: a reader that takes the billing server's records from the
// queue files of a directory while it runs.
class DiskBufferChannel {
public:
    virtual ~DiskBufferChannel() = default;
    // Starts reading the directory; false, with the message for the operator, when the directory
    // or its queue cannot be read, or the queue cannot be written (its read index moves).
    virtual bool Start(const std::string& directory, std::string& error) = 0;
    virtual void Stop() = 0;
    virtual bool Running() const = 0;
};

// The first line of the messages of a refused start; the path and the reason follow on a line
// each.
inline constexpr const char* kHdDirectoryUnreadable =
    "The Hard Disk Data Buffer directory cannot be read:\n";
inline constexpr const char* kHdQueueUnreadable =
    "The Hard Disk Data Buffer queue cannot be read:\n";
inline constexpr const char* kHdQueueUnwritable =
    "The Hard Disk Data Buffer queue cannot be written:\n";

}  // namespace velk
