#pragma once

#include <array>
#include <bitset>
#include <functional>
#include <string>

#include "core/decode/field_decoder.h"
#include "core/decode/record_pipeline.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/operator_prompt.h"

namespace velk {

inline constexpr const char* kCallingListError = "Error in Calling Trunks Assignment!\n";
inline constexpr const char* kCalledListError = "Error in Called Trunks Assignment!\n";

// Trunk lists as typed: digits, '-' and ',' kept (no two separators in a row), everything else
// dropped; an empty result means every trunk, "1-1024"; a text over 70 characters cleans to
// "1-1024" as well (it is refused as empty first).
std::string CleanTrunkList(const std::string& text);

// Membership of trunks 1..1024.
using TrunkTable = std::bitset<1025>;

// Parses a cleaned list; false on any error. When `table` is given the trunks are marked in it.
bool ParseTrunkList(const std::string& text, TrunkTable* table);

// The saving filter: which call types and trunks are saved.
class SavingFilter : public RecordFilter {
public:
    // countPassed counts link event 11 for every record that passes while the filter is in use.
    SavingFilter(AppSettings& settings, std::function<void()> countPassed);

    // Loads both lists at start-up, with a message for each list that cannot be parsed.
    void LoadAtStartup(OperatorPrompt& prompt);

    // The saving-filter dialog's OK. False (and a message) when a list is wrong: the dialog stays
    // open. The calling list is already in force when only the called list was wrong.
    struct DialogValues {
        std::string calling, called;
        std::array<int32_t, kCallTypeCount> types{};
        int32_t trunkAnd = 0, use = 0;
    };
    bool ApplyDialog(const DialogValues& values, OperatorPrompt& prompt,
                     const std::function<bool()>& writeSettings);

    bool Keep(const BillingMessage& message) override;

    const TrunkTable& Calling() const { return calling_; }
    const TrunkTable& Called() const { return called_; }

private:
    bool InList(const TrunkTable& t, long trunk) const {
        return trunk >= 1 && trunk <= 1024 && t.test(static_cast<size_t>(trunk));
    }
    long Trunk(int field, const BillingMessage& message);

    AppSettings& settings_;
    std::function<void()> countPassed_;
    FieldDecoder decoder_;
    TrunkTable calling_, called_;
    std::string field_;
};

}  // namespace velk
