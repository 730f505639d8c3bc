#pragma once

#include <filesystem>

namespace velk {

// Gives a file written to replace another the owner, group and permissions that the other one's
// users rely on: a settings file written by root for a service keeps the service's user.
class FileOwnership {
public:
    virtual ~FileOwnership() = default;
    // newFile takes the owner, group and mode of like, the file it replaces; where like is a
    // directory (newFile is new in it), its owner and group and its mode without the execute
    // bits. False when they cannot be given.
    virtual bool Take(const std::filesystem::path& newFile, const std::filesystem::path& like) = 0;
};

}  // namespace velk
