#pragma once

#include <string>

#include "core/web/web_login.h"

namespace velk {

// Password hashes of the system's crypt library (libxcrypt): yescrypt ("$y$") for new ones; an
// existing hash of any method it knows is checked.
class CryptPasswordHasher : public PasswordHasher {
public:
    std::string Hash(const std::string& password) override;
    bool Verify(const std::string& password, const std::string& hash) override;
};

// Bytes from the kernel's random source; fewer when it could not give them.
std::string KernelRandomBytes(size_t count);

}  // namespace velk
