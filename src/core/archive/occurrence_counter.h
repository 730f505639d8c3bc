#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velk {

// Counts the identical message bodies of one file. A checking pass asks for every record of a
// file that can hold years of them, so a counter for such files keeps its counts outside memory.
class OccurrenceCounter {
public:
    virtual ~OccurrenceCounter() = default;
    // Forgets every body: a new file begins.
    virtual void Clear() = 0;
    // How many times `body` came since Clear (0 the first time); it is counted for the next
    // time. -1 when the counts cannot be kept (ErrorText says why).
    virtual int64_t Next(std::string_view body) = 0;
    virtual std::string ErrorText() const { return {}; }
};

// The counts in memory: for files of a day's records, and for tests.
class MemoryOccurrenceCounter : public OccurrenceCounter {
public:
    void Clear() override { counts_.clear(); }
    int64_t Next(std::string_view body) override { return counts_[std::string(body)]++; }

private:
    std::unordered_map<std::string, int64_t> counts_;
};

}  // namespace velk
