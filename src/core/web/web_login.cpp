#include "core/web/web_login.h"

#include <algorithm>
#include <sstream>

namespace velk {

std::map<std::string, std::string> ReadAccounts(const std::string& text) {
    std::map<std::string, std::string> accounts;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon + 1 >= line.size())
            continue;
        const std::string name = line.substr(0, colon);
        if (AccountNameValid(name))
            accounts[name] = line.substr(colon + 1);
    }
    return accounts;
}

bool AccountNameValid(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '-' || name[0] == '.')
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-';
    });
}

std::string AccountsWith(const std::string& text, const std::string& name,
                         const std::string& hash) {
    std::istringstream in(text);
    std::string line, out;
    bool replaced = false;
    while (std::getline(in, line)) {
        std::string bare = line;
        if (!bare.empty() && bare.back() == '\r')
            bare.pop_back();
        if (!replaced && bare.rfind(name + ":", 0) == 0) {
            out += name + ":" + hash + "\n";
            replaced = true;
        } else {
            out += line + "\n";
        }
    }
    if (!replaced)
        out += name + ":" + hash + "\n";
    return out;
}

SessionStore::SessionStore(Clock clock, RandomBytes random, int64_t idleSeconds,
                           int64_t mostSeconds)
    : clock_(std::move(clock)), random_(std::move(random)), idle_(idleSeconds),
      most_(mostSeconds) {}

bool SessionStore::Expired(const Session& s, int64_t now) const {
    return now - s.used >= idle_ || now - s.opened >= most_;
}

std::string SessionStore::Open(const std::string& user) {
    const std::string bytes = random_(32);
    if (bytes.size() != 32)
        return {};
    static const char* const kHex = "0123456789abcdef";
    std::string token;
    for (unsigned char c : bytes) {
        token += kHex[c >> 4];
        token += kHex[c & 15];
    }
    const int64_t now = clock_();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = Expired(it->second, now) ? sessions_.erase(it) : std::next(it);
    if (sessions_.size() >= kMostSessions) {
        // The session used longest ago makes room.
        const auto oldest = std::min_element(
            sessions_.begin(), sessions_.end(),
            [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
        sessions_.erase(oldest);
    }
    sessions_[token] = Session{user, now, now};
    return token;
}

std::optional<std::string> SessionStore::User(const std::string& token) {
    const int64_t now = clock_();
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sessions_.find(token);
    if (it == sessions_.end())
        return std::nullopt;
    if (Expired(it->second, now)) {
        sessions_.erase(it);
        return std::nullopt;
    }
    it->second.used = now;
    return it->second.user;
}

void SessionStore::Close(const std::string& token) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.erase(token);
}

LoginThrottle::LoginThrottle(Clock clock) : clock_(std::move(clock)) {}

int64_t LoginThrottle::WaitSeconds(const std::string& address) {
    const int64_t now = clock_();
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = byAddress_.find(address);
    if (it == byAddress_.end())
        return 0;
    if (now - it->second.last >= kForgetSeconds) {
        byAddress_.erase(it);
        return 0;
    }
    return std::max<int64_t>(0, it->second.allowedAt - now);
}

void LoginThrottle::Failed(const std::string& address) {
    const int64_t now = clock_();
    std::lock_guard<std::mutex> lock(mutex_);
    if (byAddress_.size() >= kMostAddresses && byAddress_.count(address) == 0) {
        for (auto it = byAddress_.begin(); it != byAddress_.end();)
            it = now - it->second.last >= kForgetSeconds ? byAddress_.erase(it) : std::next(it);
        if (byAddress_.size() >= kMostAddresses) {
            // The address quiet longest makes room.
            const auto oldest = std::min_element(
                byAddress_.begin(), byAddress_.end(),
                [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
            byAddress_.erase(oldest);
        }
    }
    Failures& f = byAddress_[address];
    if (f.count > 0 && now - f.last >= kForgetSeconds)
        f = Failures{};
    ++f.count;
    f.last = now;
    if (f.count >= kFreeFailures) {
        const int doublings = std::min(f.count - kFreeFailures, 6);
        f.allowedAt = now + std::min<int64_t>(int64_t{1} << doublings, kMostWaitSeconds);
    }
}

void LoginThrottle::Succeeded(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    byAddress_.erase(address);
}

}  // namespace velk
