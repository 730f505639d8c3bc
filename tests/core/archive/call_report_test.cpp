#include "core/archive/call_report.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

// The average of a group is its mean duration rounded to the nearest second, a half up.
TEST(CallReport, AverageSecondsAreRounded) {
    const std::vector<GroupTotals> groups = {
        {"2041", 2, 1, 5, 3},  // 2.5
        {"2042", 3, 0, 5, 4},  // 1.67
        {"2043", 3, 3, 7, 5},  // 2.33
        {"2044", 4, 2, 6, 6},  // 1.5
    };
    EXPECT_EQ(FormatGroups(groups, ReportFormat::Csv),
              "group,calls,answered,total_seconds,average_seconds,longest_seconds\n"
              "2041,2,1,5,3,3\n"
              "2042,3,0,5,2,4\n"
              "2043,3,3,7,2,5\n"
              "2044,4,2,6,2,6\n");
}

}  // namespace
}  // namespace velk
