// The TCP record splitter: a byte stream cut into segments of any sizes, with resets (a new poll)
// between them. Every piece it reports must equal what a plain reading of the framing gives for
// the bytes received since the last reset, and no record may be longer than the receive area.
#include <cstring>
#include <string>
#include <vector>

#include "core/link/link_protocol.h"
#include "core/link/tcp_record_splitter.h"
#include "fuzz_input.h"

namespace velk::fuzz {
namespace {

constexpr size_t kArea = cs_smda_prot::kReceiveArea;

// A reported piece and what the receive area held then: its first four bytes (STX and the
// length digits, or a lone byte) and the count bytes from offset 4 (the body).
struct Piece {
    uint32_t count;
    std::string head;
    std::string body;
    bool operator==(const Piece&) const = default;
};

Piece Capture(const uint8_t* area, uint32_t count) {
    const char* a = reinterpret_cast<const char*>(area);
    const size_t body = std::min<size_t>(count, kArea - 4);
    return {count, std::string(a, 4), std::string(a + 4, body)};
}

bool Hex(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// The framing read from the stream of one poll, as far as it had arrived at each segment's end.
// A record is a 2-byte length prefix N and a frame of N bytes starting with STX and three hex
// digits (with the length from the digits: any prefix, STX and three hex digits, then the body).
// Lone bytes: any byte above 3 at a record start (with the digits: EOT or NAK that is the last
// byte that arrived or is followed by bytes no record can begin with, any byte above 3 that does
// not begin one).
class Reference {
public:
    explicit Reference(bool fromDigits) : fromDigits_(fromDigits) {}
    // The area as the pieces of earlier polls left it.
    void Continue(const std::vector<uint8_t>& area) { area_ = area; }
    const std::vector<uint8_t>& Area() const { return area_; }

    void Arrived(const std::string& bytes) {
        stream_ += bytes;
        while (Step()) {
        }
    }
    std::vector<Piece> pieces;

private:
    bool Step() {
        const size_t avail = stream_.size() - pos_;
        if (avail == 0)
            return false;
        if (skip_ > 0) {
            const size_t n = std::min(skip_, avail);
            skip_ -= n;
            pos_ += n;
            return true;
        }
        const auto at = [this](size_t i) { return static_cast<uint8_t>(stream_[pos_ + i]); };
        // Whether what has arrived can still be prefix, STX and three hex digits.
        const auto recordSoFar = [&] {
            bool ok = avail < 3 || at(2) == STX;
            for (size_t i = 3; i < avail && i < 6; ++i)
                ok = ok && Hex(at(i));
            return ok;
        };
        if (fromDigits_) {
            if (avail < 6) {
                if (at(0) != EOT && at(0) != NAK)
                    return false;
                if (avail > 1 && recordSoFar())
                    return false;
                return Alone();
            }
            if (at(2) == STX && Hex(at(3)) && Hex(at(4)) && Hex(at(5))) {
                const uint8_t digits[3] = {at(3), at(4), at(5)};
                const size_t body = ParseLengthDigits(digits);
                if (body + 4 > kArea) {
                    pos_ += 6;
                    skip_ = body;
                    return true;
                }
                if (avail < 6 + body)
                    return false;
                Record(pos_ + 2, body);
                pos_ += 6 + body;
                return true;
            }
            if (at(0) <= 3) {
                ++pos_;
                return true;
            }
            return Alone();
        }
        if (pending_ > 0) {
            if (avail < pending_)
                return false;
            Record(pos_, pending_ - 4);
            pos_ += pending_;
            pending_ = 0;
            return true;
        }
        if (at(0) > 3)
            return Alone();
        if (!recordSoFar()) {
            ++pos_;
            return true;
        }
        if (avail < 6)
            return false;
        const size_t n = static_cast<size_t>(at(0)) << 8 | at(1);
        pos_ += 2;
        if (n >= 4 && n > kArea)
            skip_ = n;
        else if (n >= 4)
            pending_ = n;
        return true;
    }
    bool Alone() {
        area_[0] = static_cast<uint8_t>(stream_[pos_]);
        pieces.push_back(Capture(area_.data(), 1));
        ++pos_;
        return true;
    }
    void Record(size_t frame, size_t body) {
        std::memcpy(area_.data(), stream_.data() + frame, 4 + body);
        pieces.push_back(Capture(area_.data(), 1));
        pieces.push_back(Capture(area_.data(), 3));
        if (body > 0)
            pieces.push_back(Capture(area_.data(), static_cast<uint32_t>(body)));
    }

    bool fromDigits_;
    std::string stream_;
    size_t pos_ = 0;
    size_t skip_ = 0;
    size_t pending_ = 0;
    std::vector<uint8_t> area_ = std::vector<uint8_t>(kArea, 0);
};

}  // namespace
}  // namespace velk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velk;
    using namespace velk::fuzz;
    FuzzInput in(data, size);
    const bool fromDigits = in.Flag();

    auto area = std::make_unique<uint8_t[]>(kArea);  // exactly the receive area
    std::vector<Piece> got;
    TcpRecordSplitter splitter(area.get(), kArea,
                               {[&](uint32_t count) {
                                    FUZZ_CHECK(count >= 1 && count + 4 <= kArea);
                                    got.push_back(Capture(area.get(), count));
                                },
                                nullptr, nullptr});
    splitter.SetLengthFromDigits(fromDigits);

    std::vector<Piece> expected;
    Reference reference(fromDigits);
    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        if (op < 16) {  // a new poll
            splitter.Reset();
            FUZZ_CHECK(splitter.Pending() == 0 && splitter.RecCount() == 0);
            expected.insert(expected.end(), reference.pieces.begin(), reference.pieces.end());
            const std::vector<uint8_t> left = reference.Area();
            reference = Reference(fromDigits);
            reference.Continue(left);
            FUZZ_CHECK(got == expected);
            got.clear();  // checked; only what comes after this poll is compared from here on
            expected.clear();
            continue;
        }
        const std::string segment = in.Take(op < 128 ? op - 15u : in.Word() % 2100u);
        ExactBuffer exact(segment);
        splitter.Feed(exact.Data(), exact.Size());
        reference.Arrived(segment);
    }
    expected.insert(expected.end(), reference.pieces.begin(), reference.pieces.end());
    FUZZ_CHECK(got == expected);
    return 0;
}
