#include "core/record/saving_filter.h"

#include <algorithm>
#include <cstdlib>

namespace velk {

std::string CleanTrunkList(const std::string& text) {
    std::string out;
    if (text.size() <= 70) {
        for (char c : text) {
            if (c >= '0' && c <= '9') {
                out += c;
            } else if ((c == '-' || c == ',') &&
                       (out.empty() || (out.back() != '-' && out.back() != ','))) {
                out += c;
            }
        }
    }
    return out.empty() ? "1-1024" : out;
}

bool ParseTrunkList(const std::string& text, TrunkTable* table) {
    if (text.size() > 70)
        return false;
    // A number's value, however many leading zeros it has; past the largest trunk it only needs
    // to stay out of range.
    constexpr long kOutOfRange = 100000;
    long first = 0, second = 0;
    bool inSecond = false;
    const auto close = [&]() {
        // An empty number counts 0, which is out of range.
        const long low = first;
        const long high = inSecond ? second : low;
        first = second = 0;
        inSecond = false;
        if (low < 1 || high > 1024 || low > high)
            return false;
        if (table != nullptr) {
            for (long t = low; t <= high; ++t)
                table->set(static_cast<size_t>(t));
        }
        return true;
    };
    const auto append = [&](long& number, char c) {
        if (c < '0' || c > '9')
            return false;
        number = std::min(number * 10 + (c - '0'), kOutOfRange);
        return true;
    };
    for (char c : text) {
        if (c == ',') {
            if (!close())
                return false;
        } else if (c == '-') {
            if (inSecond)
                return false;
            inSecond = true;
        } else if (!append(inSecond ? second : first, c)) {
            return false;
        }
    }
    return close();
}

SavingFilter::SavingFilter(AppSettings& settings, std::function<void()> countPassed)
    : settings_(settings), countPassed_(std::move(countPassed)), decoder_(settings) {}

void SavingFilter::LoadAtStartup(OperatorPrompt& prompt) {
    calling_.reset();
    called_.reset();
    const std::string calling = CleanTrunkList(settings_.SCCallingSequence);
    if (!ParseTrunkList(calling, nullptr)) {
        prompt.Message(kCallingListError);
    } else {
        settings_.SCCallingSequence = calling;
        ParseTrunkList(calling, &calling_);
    }
    const std::string called = CleanTrunkList(settings_.SCCalledSequence);
    if (!ParseTrunkList(called, nullptr)) {
        prompt.Message(kCalledListError);
    } else {
        settings_.SCCalledSequence = called;
        ParseTrunkList(called, &called_);
    }
}

bool SavingFilter::ApplyDialog(const DialogValues& v, OperatorPrompt& prompt,
                               const std::function<bool()>& writeSettings) {
    const std::string calling = CleanTrunkList(v.calling);
    const std::string called = CleanTrunkList(v.called);
    if (!ParseTrunkList(calling, nullptr)) {
        prompt.Message(kCallingListError);
        return false;
    }
    settings_.SCCallingSequence = calling;
    if (!ParseTrunkList(called, nullptr)) {
        prompt.Message(kCalledListError);
        return false;
    }
    settings_.SCCalledSequence = called;
    calling_.reset();
    called_.reset();
    ParseTrunkList(settings_.SCCallingSequence, &calling_);
    ParseTrunkList(settings_.SCCalledSequence, &called_);
    settings_.T = v.types;
    settings_.SCFilterTRK_AND = v.trunkAnd;
    settings_.SCFilter_USE = v.use;
    if (!writeSettings())
        prompt.Message(kIniUpdateFailed);
    return true;
}

long SavingFilter::Trunk(int field, const BillingMessage& message) {
    // Trunk numbers are always read in base 16; a field that does not decode is trunk 0.
    if (!decoder_.DecodeField(field, message, RecordBase{16, 16}, field_))
        return 0;
    return std::strtol(field_.c_str(), nullptr, 10);
}

bool SavingFilter::Keep(const BillingMessage& message) {
    if (settings_.SCFilter_USE != 1)
        return true;
    const long incoming = Trunk(12, message);
    const long outgoing = Trunk(1, message);
    decoder_.DecodeField(9, message, RecordBase{16, 16}, field_);
    const uint32_t type = decoder_.CurrentCallType();
    if (settings_.T[type] != 1)
        return false;
    bool pass = true;
    switch (type) {
        case 2:
        case 3:
        case 4:
        case 8:
        case 10:
            pass = InList(called_, outgoing);
            break;
        case 11:
            pass = InList(calling_, outgoing);
            break;
        case 12:
            pass = settings_.SCFilterTRK_AND == 1
                       ? InList(calling_, incoming) && InList(called_, outgoing)
                       : InList(calling_, incoming) || InList(called_, outgoing);
            break;
        default:
            break;
    }
    if (pass && countPassed_)
        countPassed_();
    return pass;
}

}  // namespace velk
