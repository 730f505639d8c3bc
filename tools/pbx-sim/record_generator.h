#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace velk::sim {

// The frame around a message text: STX, three upper-case length digits, the text, BCC, ETX.
std::string Frame(const std::string& text, bool corruptBcc = false);

// Plausible billing messages: call records of type "52" with fixed and optional fields (numbers
// in base 16), and four-part traffic reports of type "35".
class RecordGenerator {
public:
    explicit RecordGenerator(uint32_t seed = 1);

    // The text (from the type code on) of the next call record.
    std::string NextCallRecord();
    // Leaves out every n-th sequence number (n of at least 2; 0: none), as a PBX whose records
    // were lost would.
    void SetSkipEvery(uint32_t n) { skipEvery_ = n >= 2 ? n : 0; }
    // The four message texts of one traffic report.
    std::vector<std::string> NextTrafficReport();
    // Calls that end now, as a live PBX's do, instead of a fixed day from 2026-12-08 08:00 on:
    // now gives the time (seconds since the epoch, read as local time).
    void UseClock(std::function<std::time_t()> now) { now_ = std::move(now); }
    // Numbering goes on after this sequence number (a PBX that kept its count).
    void ContinueAfter(uint32_t sequence) { sequence_ = sequence; }
    uint32_t Sequence() const { return sequence_; }

private:
    // A start or end time: the fixed day's clock, or the time now minus some seconds.
    std::string Time(int64_t offset, int64_t beforeNow);
    std::function<std::time_t()> now_;
    std::string Digits(int n);
    std::mt19937 rng_;
    uint32_t sequence_ = 0;
    uint32_t skipEvery_ = 0;
    int64_t clock_ = 0;  // seconds since 2026-12-08 08:00:00 of the generated calls
};

// Reads the messages of a raw record file (as the recorders write it): control bytes are
// skipped, three length digits L then L + 2 - 3 more bytes make one message text.
std::vector<std::string> ReadRawFile(const std::string& path);

}  // namespace velk::sim
