#include "core/analysis/raw_import.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/foundation/hex_digits.h"
#include "core/link/link_protocol.h"

namespace velk {

RawImportScanner::Step RawImportScanner::Feed(uint8_t c, uint64_t offset) {
    return Take(c, false, offset);
}

RawImportScanner::Step RawImportScanner::Take(uint8_t c, bool afterSeparator, uint64_t offset) {
    if (afterSeparator)
        dropped_ = true;
    // Taken as a signed byte: 128 and above are never characters of a message.
    const int value = static_cast<int8_t>(c);
    const int above = format_ != RawFormat::Received && count_ >= 3 ? 13 : 32;
    if (value <= above) {
        dropped_ = true;
        return Step::Continue;
    }
    const bool separator = dropped_;
    dropped_ = false;
    if (skipping_) {
        if (!separator) {
            ++skipped_;
            return Step::Continue;
        }
        skipping_ = false;
    }
    area_[count_ + 1] = c;
    chars_[count_] = {c, separator, offset};
    ++count_;
    if (count_ == 3) {
        length_ = ParseLengthDigits(&area_[1]);
        if (!PossibleLength(length_))
            return Step::Complete;  // never a message: it fails its check at once
    }
    if (count_ < 3 || count_ < length_ + 2)
        return Step::Continue;
    area_[0] = STX;
    if (format_ == RawFormat::OtherProgram)
        Unscramble360(area_.data(), length_);
    return Step::Complete;
}

bool RawImportScanner::PossibleLength(uint32_t length) {
    return length > 0 && length + 2 <= kLongest;
}

bool RawImportScanner::CheckOk() const {
    return PossibleLength(length_) && BccMatches(area_.data(), length_);
}

void RawImportScanner::Reset() {
    Clear();
    skipRun_ = false;  // a message passed: the next skipped characters begin a run of their own
}

void RawImportScanner::Clear() {
    area_.fill(0);
    count_ = 0;
    length_ = 0;
}

bool RawImportScanner::StartInside() const {
    for (uint32_t i = 1; i < count_; ++i) {
        if (chars_[i].afterSeparator)
            return true;
    }
    return false;
}

void RawImportScanner::Resync() {
    uint32_t from = 1;
    while (from < count_ && !chars_[from].afterSeparator)
        ++from;
    skipped_ += from;
    if (!skipRun_) {
        skipRun_ = true;
        ++skipRuns_;
        if (skipOffsets_.size() < kSkipOffsetsKept)
            skipOffsets_.push_back(chars_[0].offset);
    }
    // What follows the message start is read again, before whatever was still to be read again.
    std::vector<Char> again(chars_.begin() + from, chars_.begin() + count_);
    again.insert(again.end(), replay_.begin() + static_cast<std::ptrdiff_t>(replayed_),
                 replay_.end());
    replay_ = std::move(again);
    replayed_ = 0;
    skipping_ = from == count_ && chars_[0].afterSeparator;
    Clear();
}

RawImportScanner::Step RawImportScanner::Replay() {
    while (replayed_ < replay_.size()) {
        const Char ch = replay_[replayed_++];
        const Step step = Take(ch.c, ch.afterSeparator, ch.offset);
        if (step != Step::Continue)
            return step;
    }
    replay_.clear();
    replayed_ = 0;
    return Step::Continue;
}

std::string ImportResult::Message() const {
    switch (end) {
        case ImportEnd::TooSmall:
            return kImportTooSmall;
        case ImportEnd::ReadError:
            return kImportReadError;
        case ImportEnd::NoMemory:
            return kImportNoMemory;
        case ImportEnd::Completed:
        case ImportEnd::Cancelled:
            break;
    }
    return {};
}

const char* ImportResult::Status() const {
    return end == ImportEnd::Completed ? kImportCompleted : kImportStopped;
}

std::string ImportResult::Remarks() const {
    std::string text;
    if (skippedCharacters > 0) {
        text += std::to_string(skippedCharacters) +
                (skippedCharacters == 1 ? " byte was" : " bytes were") +
                " skipped where no message passed its check, from offset";
        text += skipOffsets.size() > 1 ? "s " : " ";
        for (size_t i = 0; i < skipOffsets.size(); ++i)
            text += (i > 0 ? ", " : "") + std::to_string(skipOffsets[i]);
        text += skipRuns > skipOffsets.size() ? " and others.\n" : ".\n";
    }
    if (tailBytes > 0) {
        text += "The file ends inside a message: its last " + std::to_string(tailBytes) +
                (tailBytes == 1 ? " byte, from offset " : " bytes, from offset ") +
                std::to_string(tailOffset) + (tailBytes == 1 ? ", was" : ", were") +
                " not imported.\n";
    }
    if (!text.empty())
        text.pop_back();
    return text;
}

namespace {

ImportResult Scan(ImportSource& source, ImportSink& sink, RawFormat format) {
    constexpr size_t kChunk = 50001;
    ImportResult result;
    const uint64_t length = source.Length();
    RawImportScanner scanner(format);
    const auto end = [&](ImportEnd how) {
        result.end = how;
        result.skippedCharacters = scanner.SkippedCharacters();
        result.skipOffsets = scanner.SkipOffsets();
        result.skipRuns = scanner.SkipRuns();
        return result;
    };
    // Hands on or drops every message the scanner completes, the characters read again
    // included; false when the import is to stop.
    const auto messages = [&](RawImportScanner::Step step, uint64_t offset) {
        for (; step != RawImportScanner::Step::Continue; step = scanner.Replay()) {
            if (!scanner.CheckOk()) {
                // Length digits no message can have make no message: nothing is counted, the
                // characters are skipped like those of a message that failed its check.
                const bool message = scanner.LengthPossible();
                scanner.Resync();
                if (message) {
                    ++result.badCheck;
                    sink.BadCheck();
                    sink.Pause();
                }
            } else if (sink.Skip(scanner.Frame(), scanner.Length())) {
                ++result.skippedStored;  // no pause: nothing was stored
                scanner.Reset();
            } else {
                sink.Message(scanner.Frame(), scanner.Length());
                sink.Imported(++result.imported);
                scanner.Reset();
                sink.Pause();
            }
            sink.Progress(static_cast<uint32_t>((offset + 1) * 100 / length));
            if (sink.Cancelled())
                return false;
        }
        return true;
    };
    std::vector<uint8_t> chunk(kChunk);
    while (result.consumed < length) {
        // Whatever is appended to the file meanwhile is not read: an import must never read
        // what it stores itself.
        const auto want = static_cast<size_t>(std::min<uint64_t>(kChunk, length - result.consumed));
        const size_t n = source.Read(chunk.data(), want);
        if (n == 0 || n > want)
            return end(ImportEnd::ReadError);
        const uint64_t at = result.consumed;
        result.consumed += n;
        for (size_t i = 0; i < n; ++i) {
            if (!messages(scanner.Feed(chunk[i], at + i), at + i))
                return end(ImportEnd::Cancelled);
        }
    }
    // A message the end cuts off may have begun at damaged length digits: where a message start
    // follows inside it, reading goes on there, as after a message that failed its check. Only
    // what holds no message start is a cut-off last record.
    while (scanner.Collected() > 0 && scanner.StartInside()) {
        scanner.Resync();
        if (!messages(scanner.Replay(), length - 1))
            return end(ImportEnd::Cancelled);
    }
    if (scanner.Collected() > 0) {
        result.tailOffset = scanner.MessageOffset();
        result.tailBytes = length - result.tailOffset;
    }
    if (length > 0)
        sink.Progress(100);
    return end(ImportEnd::Completed);
}

}  // namespace

ImportResult RunRawImport(ImportSource& source, ImportSink& sink, bool otherProgram) {
    if (source.Length() <= 9) {
        ImportResult result;
        result.end = ImportEnd::TooSmall;
        return result;
    }
    return Scan(source, sink, otherProgram ? RawFormat::OtherProgram : RawFormat::Received);
}

ImportResult ReadStoredRawFile(ImportSource& source, ImportSink& sink) {
    return Scan(source, sink, RawFormat::Stored);
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
    const int64_t remaining =
        elapsedSeconds * (100 - static_cast<int64_t>(percent)) / static_cast<int64_t>(percent);
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
