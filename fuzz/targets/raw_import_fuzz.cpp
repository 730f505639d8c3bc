// The raw file import: any file, read in pieces of any size, possibly failing or ending early.
// Every message handed on starts with STX and passed its check, the counts add up, and for a file
// read whole the messages equal a plain reading of the raw format.
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

// The raw format read plainly: the characters above the blank (in other-program mode, above 13
// after the length digits; never 128 and above) from position 1; L from the first three; the
// message ends after L + 2 of them.
struct Plain {
    std::vector<std::string> messages;
    uint64_t bad = 0;
};
Plain ReadPlain(const std::string& bytes, bool otherProgram) {
    Plain out;
    std::string area(RawImportScanner::kLongest + 4, '\0');
    uint32_t count = 0, length = 0;
    for (unsigned char c : bytes) {
        const uint32_t floor = otherProgram && count >= 3 ? 13 : 32;
        if (c < 128 && c > floor) {
            area[++count] = static_cast<char>(c);
            if (count == 3)
                length = ParseLengthDigits(reinterpret_cast<const uint8_t*>(area.data()) + 1);
        }
        if (length == 0 || count < length + 2)
            continue;
        area[0] = STX;
        auto* frame = reinterpret_cast<uint8_t*>(area.data());
        if (otherProgram)
            Unscramble360(frame, length);
        if (BccMatches(frame, length))
            out.messages.push_back(area.substr(0, length + 3));
        else
            ++out.bad;
        area.assign(area.size(), '\0');
        count = length = 0;
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
    const std::string file = in.Take(in.Word());
    // The length the file system gives may be out of date: the file grew or was cut meanwhile.
    const int64_t change = (mode & 6) == 6 ? in.Byte() % 16 - 8 : 0;
    const auto claimed =
        static_cast<uint64_t>(std::max<int64_t>(0, static_cast<int64_t>(file.size()) + change));
    PieceSource source(file, in, claimed);
    CountingSink sink;
    sink.overlong = claimed < file.size();
    const ImportResult result = RunRawImport(source, sink, otherProgram);

    FUZZ_CHECK(result.imported == sink.messages.size());
    FUZZ_CHECK(result.badCheck == sink.bad);
    FUZZ_CHECK(result.consumed <= file.size());
    if (claimed <= 9) {
        FUZZ_CHECK(result.end == ImportEnd::TooSmall && result.consumed == 0);
        return 0;
    }
    if (result.end == ImportEnd::Completed && source.AllRead()) {
        const Plain plain = ReadPlain(file, otherProgram);
        FUZZ_CHECK(sink.messages == plain.messages);
        FUZZ_CHECK(sink.bad == plain.bad);
    }
    return 0;
}
