// The raw file import: any file, read in pieces of any size, possibly failing or ending early.
// Every message handed on starts with STX and passed its check, the counts add up, and for a file
// read whole the messages, the skipped characters and a cut-off tail equal a plain reading of the
// raw format.
#include <algorithm>
#include <string>
#include <vector>

#include "core/analysis/raw_import.h"
#include "core/link/link_protocol.h"
#include "fuzz_input.h"

namespace velk::fuzz {
namespace {

class PieceSource : public ImportSource {
public:
    PieceSource(const std::string& bytes, FuzzInput& in, uint64_t claimed)
        : exact_(bytes), in_(in), claimed_(claimed) {}
    uint64_t Length() const override { return claimed_; }
    size_t Read(uint8_t* to, size_t n) override {
        const size_t left = exact_.Size() - at_;
        const size_t piece = std::min({n, left, static_cast<size_t>(in_.Word()) + 1});
        std::copy_n(exact_.Data() + at_, piece, to);
        at_ += piece;
        return piece;
    }
    bool AllRead() const { return at_ == exact_.Size(); }

private:
    ExactBuffer exact_;
    FuzzInput& in_;
    uint64_t claimed_;
    size_t at_ = 0;
};

class CountingSink : public ImportSink {
public:
    void Message(const uint8_t* frame, uint32_t length) override {
        FUZZ_CHECK(frame[0] == STX);
        FUZZ_CHECK(length + 2 <= RawImportScanner::kLongest);
        FUZZ_CHECK(BccMatches(frame, length));
        messages.emplace_back(reinterpret_cast<const char*>(frame), length + 3);
    }
    void BadCheck() override { ++bad; }
    void Progress(uint32_t percent) override {
        FUZZ_CHECK(percent <= 100 || overlong);
        FUZZ_CHECK(percent >= last || overlong);
        last = percent;
    }
    void Imported(uint64_t count) override { FUZZ_CHECK(count == messages.size()); }
    std::vector<std::string> messages;
    uint64_t bad = 0;
    uint32_t last = 0;
    bool overlong = false;
};

// The raw format read plainly, over the whole file at once: the characters above the blank (in
// other-program and stored mode, above 13 after the length digits; never 128 and above) from
// position 1; L from the first three (0 or over 998: no message, at once); the message ends after
// L + 2 of them. After a message that fails its check (or no message), reading starts again at
// the first of its characters that followed a dropped byte; with none, the characters after it
// are skipped up to one that follows a dropped byte when the message itself followed one. A byte
// once dropped stays dropped; characters read again are taken or dropped anew. Skipped
// characters between two messages that passed make one run. A message the end of the file cuts
// off is read again from its first character after a dropped byte, like one that failed
// (without counting as one); only one without such a character is the cut-off tail.
struct Plain {
    std::vector<std::string> messages;
    uint64_t bad = 0, skipped = 0, runs = 0, tailBytes = 0, tailOffset = 0;
    std::vector<uint64_t> skipOffsets;
};
Plain ReadPlain(const std::string& bytes, RawFormat format) {
    const bool otherProgram = format == RawFormat::OtherProgram;
    Plain out;
    const size_t n = bytes.size();
    std::vector<char> dropped(n, 0);
    size_t seen = 0;  // bytes read for the first time so far
    bool skipping = false, inRun = false;
    std::vector<size_t> at;  // the message's characters
    std::vector<char> afterDrop;
    uint32_t length = 0;
    size_t q = 0;
    while (true) {
        for (; q < n; ++q) {
            const bool firstTime = q >= seen;
            seen = std::max(seen, q + 1);
            if (!firstTime && dropped[q])
                continue;  // never read again
            const auto c = static_cast<unsigned char>(bytes[q]);
            const uint32_t floor = format != RawFormat::Received && at.size() >= 3 ? 13 : 32;
            if (dropped[q] || c >= 128 || c <= floor) {
                dropped[q] = 1;
                continue;
            }
            const bool afterSeparator = q > 0 && dropped[q - 1];
            if (skipping) {
                if (!afterSeparator) {
                    ++out.skipped;
                    continue;
                }
                skipping = false;
            }
            at.push_back(q);
            afterDrop.push_back(afterSeparator);
            bool possible = true;
            if (at.size() == 3) {
                const uint8_t digits[3] = {static_cast<uint8_t>(bytes[at[0]]),
                                           static_cast<uint8_t>(bytes[at[1]]),
                                           static_cast<uint8_t>(bytes[at[2]])};
                length = ParseLengthDigits(digits);
                possible = length > 0 && length + 2 <= RawImportScanner::kLongest;
            }
            if (possible && (at.size() < 3 || at.size() < length + 2))
                continue;
            bool passed = false;
            if (possible) {
                std::string area(RawImportScanner::kLongest + 4, '\0');
                area[0] = STX;
                for (size_t k = 0; k < at.size(); ++k)
                    area[k + 1] = bytes[at[k]];
                auto* frame = reinterpret_cast<uint8_t*>(area.data());
                if (otherProgram)
                    Unscramble360(frame, length);
                passed = BccMatches(frame, length);
                if (passed) {
                    out.messages.push_back(area.substr(0, length + 3));
                    inRun = false;
                } else
                    ++out.bad;
            }
            if (!passed) {
                size_t from = 1;
                while (from < at.size() && !afterDrop[from])
                    ++from;
                out.skipped += from;
                if (!inRun) {
                    inRun = true;
                    ++out.runs;
                    if (out.skipOffsets.size() < RawImportScanner::kSkipOffsetsKept)
                        out.skipOffsets.push_back(at[0]);
                }
                if (from < at.size())
                    q = at[from] - 1;  // read again from there
                else
                    skipping = afterDrop[0] != 0;
            }
            at.clear();
            afterDrop.clear();
            length = 0;
        }
        if (at.empty())
            break;
        size_t from = 1;
        while (from < at.size() && !afterDrop[from])
            ++from;
        if (from == at.size())
            break;
        out.skipped += from;
        if (!inRun) {
            inRun = true;
            ++out.runs;
            if (out.skipOffsets.size() < RawImportScanner::kSkipOffsetsKept)
                out.skipOffsets.push_back(at[0]);
        }
        q = at[from];
        at.clear();
        afterDrop.clear();
        length = 0;
    }
    if (!at.empty()) {
        out.tailOffset = at[0];
        out.tailBytes = n - at[0];
    }
    return out;
}

}  // namespace
}  // namespace velk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velk;
    using namespace velk::fuzz;
    FuzzInput in(data, size);
    const uint8_t mode = in.Byte();
    const bool otherProgram = (mode & 1) != 0;
    // A file VELK stored, read back as it was stored (any length).
    const RawFormat format = otherProgram      ? RawFormat::OtherProgram
                             : (mode & 8) != 0 ? RawFormat::Stored
                                               : RawFormat::Received;
    const std::string file = in.Take(in.Word());
    // The length the file system gives may be out of date: the file grew or was cut meanwhile.
    const int64_t change = (mode & 6) == 6 ? in.Byte() % 16 - 8 : 0;
    const auto claimed =
        static_cast<uint64_t>(std::max<int64_t>(0, static_cast<int64_t>(file.size()) + change));
    PieceSource source(file, in, claimed);
    CountingSink sink;
    sink.overlong = claimed < file.size();
    const ImportResult result = format == RawFormat::Stored
                                    ? ReadStoredRawFile(source, sink)
                                    : RunRawImport(source, sink, otherProgram);

    FUZZ_CHECK(result.imported == sink.messages.size());
    FUZZ_CHECK(result.badCheck == sink.bad);
    FUZZ_CHECK(result.consumed <= file.size());
    if (claimed <= 9 && format != RawFormat::Stored) {
        FUZZ_CHECK(result.end == ImportEnd::TooSmall && result.consumed == 0);
        return 0;
    }
    if (claimed == file.size() && source.AllRead()) {
        const Plain plain = ReadPlain(file, format);
        FUZZ_CHECK(result.end == ImportEnd::Completed);
        {
            FUZZ_CHECK(sink.messages == plain.messages);
            FUZZ_CHECK(sink.bad == plain.bad);
            FUZZ_CHECK(result.skippedCharacters == plain.skipped);
            FUZZ_CHECK(result.skipOffsets == plain.skipOffsets && result.skipRuns == plain.runs);
            FUZZ_CHECK(result.tailBytes == plain.tailBytes &&
                       result.tailOffset == plain.tailOffset);
        }
    }
    return 0;
}
