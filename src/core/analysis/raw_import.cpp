#include "core/analysis/raw_import.h"

#include <cstdio>
#include <vector>

#include "core/foundation/hex_digits.h"
#include "core/link/link_protocol.h"

namespace velk {

RawImportScanner::Step RawImportScanner::Feed(uint8_t c) {
    if (count_ >= kLongest)
        return Step::TooLong;
    // Taken as a signed byte: 128 and above are never characters of a message.
    const int value = static_cast<int8_t>(c);
    const int above = otherProgram_ && count_ >= 3 ? 13 : 32;
    if (value > above) {
        area_[count_ + 1] = c;
        ++count_;
        if (count_ == 3)
            length_ = ParseLengthDigits(&area_[1]);
    }
    if (length_ == 0 || count_ < length_ + 2)
        return Step::Continue;
    area_[0] = STX;
    if (otherProgram_)
        Unscramble360(area_.data(), length_);
    return Step::Complete;
}

bool RawImportScanner::CheckOk() const {
    return BccMatches(area_.data(), length_);
}

void RawImportScanner::Reset() {
    area_.fill(0);
    count_ = 0;
    length_ = 0;
}

std::string ImportResult::Message() const {
    switch (end) {
        case ImportEnd::TooSmall:
            return kImportTooSmall;
        case ImportEnd::ReadError:
            return kImportReadError;
        case ImportEnd::TooLong:
            return kImportTooLong;
        case ImportEnd::Completed:
        case ImportEnd::Cancelled:
            break;
    }
    return {};
}

const char* ImportResult::Status() const {
    return end == ImportEnd::Completed ? kImportCompleted : kImportStopped;
}

ImportResult RunRawImport(ImportSource& source, ImportSink& sink, bool otherProgram) {
    constexpr size_t kChunk = 50001;
    ImportResult result;
    const uint64_t length = source.Length();
    if (length <= 9) {
        result.end = ImportEnd::TooSmall;
        return result;
    }
    RawImportScanner scanner(otherProgram);
    std::vector<uint8_t> chunk(kChunk);
    while (result.consumed < length) {
        const size_t n = source.Read(chunk.data(), chunk.size());
        if (n == 0 || n > chunk.size()) {
            result.end = ImportEnd::ReadError;
            return result;
        }
        result.consumed += n;
        for (size_t i = 0; i < n; ++i) {
            const RawImportScanner::Step step = scanner.Feed(chunk[i]);
            if (step == RawImportScanner::Step::TooLong) {
                result.end = ImportEnd::TooLong;
                return result;
            }
            if (step != RawImportScanner::Step::Complete)
                continue;
            if (scanner.CheckOk()) {
                sink.Message(scanner.Frame(), scanner.Length());
                sink.Imported(++result.imported);
            } else {
                ++result.badCheck;
                sink.BadCheck();
            }
            sink.Pause();
            scanner.Reset();
            sink.Progress(static_cast<uint32_t>(result.consumed * 100 / length));
            if (sink.Cancelled()) {
                result.end = ImportEnd::Cancelled;
                return result;
            }
        }
    }
    sink.Progress(100);
    return result;
}

namespace {

std::string DaysHoursMinutesSeconds(const char* label, int64_t s) {
    if (s < 0)
        s = 0;
    char text[96];
    std::snprintf(text, sizeof text, "%s%lld:%02d:%02d:%02d", label,
                  static_cast<long long>(s / 86400), static_cast<int>(s / 3600 % 24),
                  static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
    return text;
}

}  // namespace

std::string ImportProgressText::Elapsed(int64_t seconds) {
    return DaysHoursMinutesSeconds("Elapsed Time     : ", seconds);
}

std::string ImportProgressText::Estimated(int64_t elapsedSeconds, uint32_t percent) {
    if (percent == 0)
        return {};
    const int64_t remaining = elapsedSeconds / percent * (100 - static_cast<int64_t>(percent));
    return DaysHoursMinutesSeconds("Estimated Time : ", remaining);
}

std::string ImportProgressText::Imported(uint64_t count) {
    return "Imported Messages Number : " + std::to_string(count) + " ";
}

std::string ImportProgressText::EstimatedTotal(uint64_t count, uint32_t percent) {
    if (percent == 0)
        return {};
    return "Estimated Total Imported Messages Number : " + std::to_string(count * 100 / percent) +
           " ";
}

}  // namespace velk
