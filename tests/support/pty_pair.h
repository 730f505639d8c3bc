#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>

namespace velk::test {

// Two connected pseudo-terminals made by socat, reachable as dir/pbx and dir/velk: what one side
// writes, the other reads, as on a null-modem cable. Close() takes the pair away under whoever
// has it open, as an unplugged USB adapter does.
class PtyPair {
public:
    explicit PtyPair(const std::filesystem::path& dir);
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return ok_; }
    std::string Pbx() const { return pbx_.string(); }
    std::string Velk() const { return velk_.string(); }
    void Close();

private:
    std::filesystem::path pbx_, velk_;
    pid_t pid_ = -1;
    bool ok_ = false;
};

}  // namespace velk::test
