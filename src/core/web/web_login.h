#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace velk {

// Makes and checks password hashes (the system's crypt library in the program).
class PasswordHasher {
public:
    virtual ~PasswordHasher() = default;
    // A new salted hash of the password; empty when none can be made.
    virtual std::string Hash(const std::string& password) = 0;
    virtual bool Verify(const std::string& password, const std::string& hash) = 0;
};

// The accounts file: one line "name:hash" per account; blank lines and lines starting with '#'
// are left out, as is a line that is none of these.
std::map<std::string, std::string> ReadAccounts(const std::string& text);
// Whether a name can be an account's: 1 to 64 letters, digits, '.', '_' or '-', not starting
// with '-' or '.'.
bool AccountNameValid(const std::string& name);
// The file's text with the account added, or its hash replaced where the name is there already
// (the other lines as they were).
std::string AccountsWith(const std::string& text, const std::string& name, const std::string& hash);

// The sessions of logged-in users: a random token each, ended by logout, by `idleSeconds`
// without a request, or `mostSeconds` after the login, whichever comes first. Safe to use from
// several threads.
class SessionStore {
public:
    using Clock = std::function<int64_t()>;                 // seconds, never going back
    using RandomBytes = std::function<std::string(size_t)>;  // that many unpredictable bytes
    static constexpr size_t kMostSessions = 1000;

    SessionStore(Clock clock, RandomBytes random, int64_t idleSeconds, int64_t mostSeconds);
    // A new session's token (64 hexadecimal digits); empty when no random bytes could be had.
    std::string Open(const std::string& user);
    // The user of a live session (its idle time starts again), nullopt for an unknown, ended or
    // expired token.
    std::optional<std::string> User(const std::string& token);
    void Close(const std::string& token);
    int64_t IdleSeconds() const { return idle_; }

private:
    struct Session {
        std::string user;
        int64_t opened = 0, used = 0;
    };
    bool Expired(const Session& s, int64_t now) const;

    Clock clock_;
    RandomBytes random_;
    int64_t idle_, most_;
    std::mutex mutex_;
    std::map<std::string, Session> sessions_;
};

// Slows down password guessing per caller address: from the kFreeFailures-th wrong password in a
// row on, the next attempt must wait 1 s, doubling with each further one up to
// kMostWaitSeconds. A correct password clears the address; one quiet for kForgetSeconds is
// forgotten. Safe to use from several threads.
class LoginThrottle {
public:
    using Clock = std::function<int64_t()>;
    static constexpr int kFreeFailures = 3;
    static constexpr int64_t kMostWaitSeconds = 60;
    static constexpr int64_t kForgetSeconds = 900;
    static constexpr size_t kMostAddresses = 10000;

    explicit LoginThrottle(Clock clock);
    // Seconds the address must still wait before its next attempt is checked (0: now).
    int64_t WaitSeconds(const std::string& address);
    void Failed(const std::string& address);
    void Succeeded(const std::string& address);

private:
    struct Failures {
        int count = 0;
        int64_t last = 0, allowedAt = 0;
    };
    Clock clock_;
    std::mutex mutex_;
    std::map<std::string, Failures> byAddress_;
};

}  // namespace velk
