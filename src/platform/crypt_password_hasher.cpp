#include "platform/crypt_password_hasher.h"

#include <crypt.h>
#include <sys/random.h>

#include <cerrno>
#include <memory>

namespace velk {

std::string CryptPasswordHasher::Hash(const std::string& password) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    // No random bytes given: the library takes them from the kernel itself.
    if (crypt_gensalt_rn("$y$", 0, nullptr, 0, salt, sizeof salt) == nullptr)
        return {};
    auto data = std::make_unique<crypt_data>();
    const char* hash = crypt_r(password.c_str(), salt, data.get());
    if (hash == nullptr || hash[0] == '*')
        return {};
    return hash;
}

bool CryptPasswordHasher::Verify(const std::string& password, const std::string& hash) {
    if (hash.empty() || password.find('\0') != std::string::npos)
        return false;
    auto data = std::make_unique<crypt_data>();
    const char* computed = crypt_r(password.c_str(), hash.c_str(), data.get());
    if (computed == nullptr || computed[0] == '*')
        return false;
    const std::string mine(computed);
    if (mine.size() != hash.size())
        return false;
    // Compared in the same time whatever the first difference.
    unsigned char difference = 0;
    for (size_t i = 0; i < mine.size(); ++i)
        difference |= static_cast<unsigned char>(mine[i] ^ hash[i]);
    return difference == 0;
}

std::string KernelRandomBytes(size_t count) {
    std::string bytes(count, '\0');
    size_t got = 0;
    while (got < count) {
        const ssize_t n = ::getrandom(bytes.data() + got, count - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

}  // namespace velk
