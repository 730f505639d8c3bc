#include "core/record/saver_profiles.h"

#include <cstddef>
#include <initializer_list>

namespace velk {

SaverProfile MakeSaverProfile(SaverProfileKind kind) {
    SaverProfile p{};
    const auto fill = [&p](std::initializer_list<int> fields, int checkedRows) {
        int row = 0;
        for (int f : fields)
            p[static_cast<std::size_t>(row++)].field = f;
        for (int r = 0; r < checkedRows; ++r)
            p[static_cast<std::size_t>(r)].checked = true;
    };
    switch (kind) {
        case SaverProfileKind::AllFields:
            for (int k = 0; k < 50; ++k)
                p[static_cast<std::size_t>(k)] = {k, true};
            break;
        case SaverProfileKind::Cs1000:
            fill({0,  1,  2,  3,  4,  5,  6,  9,  10, 11, 12, 13,
                  14, 18, 19, 20, 22, 26, 27, 28, 29, 30, 31, 32},
                 24);
            break;
        case SaverProfileKind::IpecsMg:
            fill({0,  2,  4,  5,  9,  22, 31, 32, 33, 34, 35, 36, 37,
                  38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50},
                 25);
            break;
    }
    return p;
}

}  // namespace velk
