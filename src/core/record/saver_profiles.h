#pragma once

#include <array>

namespace velk {

// One output column of the decoded files: the field it holds (50 for "Empty") and whether it is
// written.
struct SaverColumn {
    int field = 50;
    bool checked = false;
};
using SaverProfile = std::array<SaverColumn, 50>;

enum class SaverProfileKind { AllFields, Cs1000, IpecsMg };

// The columns a profile button of the saver settings sets.
SaverProfile MakeSaverProfile(SaverProfileKind kind);

}  // namespace velk
