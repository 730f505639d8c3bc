#include "core/analysis/record_watch.h"

#include <gtest/gtest.h>

#include <utility>

namespace velk {
namespace {

TEST(SequenceCheck, ConsecutiveNumbersGiveNoAlarm) {
    SequenceCheck check;
    for (uint32_t n = 7; n < 40; ++n)
        EXPECT_FALSE(check.Take(n, 16).has_value()) << n;
    EXPECT_EQ(check.Missing(), 0u);
    EXPECT_FALSE(check.LastGap().has_value());
}

TEST(SequenceCheck, GapsOfOneAndFive) {
    SequenceCheck check;
    EXPECT_FALSE(check.Take(4, 16));  // the baseline
    const auto one = check.Take(6, 16);
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->kind, SequenceEvent::Kind::Gap);
    EXPECT_EQ(one->expected, 5u);
    EXPECT_EQ(one->received, 6u);
    EXPECT_EQ(one->missing, 1u);
    EXPECT_STREQ(one->Event(), "Sequence gap");
    EXPECT_EQ(one->Detail(), "expected 0005, received 0006, 1 missing");
    EXPECT_FALSE(check.Take(7, 16));  // counting goes on from the number received
    const auto five = check.Take(13, 16);
    ASSERT_TRUE(five.has_value());
    EXPECT_EQ(five->missing, 5u);
    EXPECT_EQ(five->Line(), "Sequence gap: expected 0008, received 0013, 5 missing");
    EXPECT_EQ(check.Missing(), 6u);
    ASSERT_TRUE(check.LastGap().has_value());
    EXPECT_EQ(check.LastGap()->expected, 8u);
}

TEST(SequenceCheck, NumbersWrapAfterFourDigitsOfTheirBase) {
    SequenceCheck hex;
    EXPECT_FALSE(hex.Take(0xFFFE, 16));
    EXPECT_FALSE(hex.Take(0xFFFF, 16));
    EXPECT_FALSE(hex.Take(0x0000, 16));  // FFFF -> 0000
    EXPECT_FALSE(hex.Take(0x0001, 16));

    SequenceCheck dec;
    EXPECT_FALSE(dec.Take(9998, 10));
    EXPECT_FALSE(dec.Take(9999, 10));
    EXPECT_FALSE(dec.Take(0, 10));  // 9999 -> 0000
    EXPECT_EQ(dec.Missing(), 0u);

    // Gaps across the wrap: 9999 and 0000 are missing, or 0000 and 0001.
    struct Across {
        int base;
        uint32_t last, next, expected;
    };
    for (const Across a : {Across{10, 9998, 1, 9999}, Across{16, 0xFFFF, 2, 0}}) {
        SequenceCheck check;
        check.Take(a.last, a.base);
        const auto gap = check.Take(a.next, a.base);
        ASSERT_TRUE(gap.has_value()) << a.base;
        EXPECT_EQ(gap->expected, a.expected);
        EXPECT_EQ(gap->missing, 2u);
    }
    SequenceCheck hex2;
    hex2.Take(0xFFFF, 16);
    const auto wrapped = hex2.Take(2, 16);
    ASSERT_TRUE(wrapped.has_value());
    EXPECT_EQ(wrapped->Detail(), "expected 0000, received 0002, 2 missing");
}

TEST(SequenceCheck, ACounterThatStartsAgainIsARestartNotAGap) {
    for (const int base : {16, 10}) {
        SequenceCheck check;
        check.Take(673, base);
        check.Take(674, base);
        check.Take(675, base);
        const auto restart = check.Take(1, base);
        ASSERT_TRUE(restart.has_value()) << base;
        EXPECT_EQ(restart->kind, SequenceEvent::Kind::Restart);
        EXPECT_EQ(restart->Line(), "Sequence restarted at 0001 (was 0675)");
        EXPECT_STREQ(restart->Event(), "Sequence restart");
        EXPECT_EQ(restart->Detail(), "at 0001 (was 0675)");
        EXPECT_EQ(check.Missing(), 0u);
        EXPECT_FALSE(check.LastGap().has_value());
        // Said once: the count goes on from the new start.
        EXPECT_FALSE(check.Take(2, base));
        EXPECT_FALSE(check.Take(3, base));
        EXPECT_EQ(check.Baseline(), 3u);
        // A gap after the restart is counted from the new numbers.
        const auto gap = check.Take(5, base);
        ASSERT_TRUE(gap.has_value());
        EXPECT_EQ(gap->missing, 1u);
        EXPECT_EQ(check.Missing(), 1u);
    }
    // A restart at 0000 as well; one number back is a restart too (nearer below than above).
    SequenceCheck zero;
    zero.Take(40, 16);
    const auto atZero = zero.Take(0, 16);
    ASSERT_TRUE(atZero.has_value());
    EXPECT_EQ(atZero->Line(), "Sequence restarted at 0000 (was 0040)");
    SequenceCheck back;
    back.Take(41, 10);
    const auto one = back.Take(40, 10);
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->kind, SequenceEvent::Kind::Restart);
    // Going on from near the top through the wrap is nearer than going back: a gap.
    SequenceCheck high;
    high.Take(9990, 10);
    const auto across = high.Take(3, 10);
    ASSERT_TRUE(across.has_value());
    EXPECT_EQ(across->kind, SequenceEvent::Kind::Gap);
    EXPECT_EQ(across->missing, 12u);
}

TEST(SequenceCheck, TheHighestNumberIsFollowedByZeroOrOne) {
    for (const auto& [base, top] : {std::pair{10, 9999u}, std::pair{16, 0xFFFFu}}) {
        for (const uint32_t next : {0u, 1u}) {
            SequenceCheck check;
            check.Take(top - 1, base);
            check.Take(top, base);
            EXPECT_FALSE(check.Take(next, base)) << base << " " << next;
            EXPECT_FALSE(check.Take(next + 1, base)) << base << " " << next;
            EXPECT_EQ(check.Missing(), 0u);
        }
    }
}

TEST(SequenceCheck, RepeatAndReset) {
    SequenceCheck check;
    check.Take(20, 16);
    const auto repeat = check.Take(20, 16);
    ASSERT_TRUE(repeat.has_value());
    EXPECT_EQ(repeat->kind, SequenceEvent::Kind::Repeat);
    EXPECT_EQ(repeat->Line(), "Sequence repeat: expected 0021, received 0020");
    EXPECT_EQ(check.Missing(), 0u);
    EXPECT_FALSE(check.Take(21, 16));  // the repeat did not move the count

    check.Take(30, 16);
    EXPECT_EQ(check.Missing(), 8u);
    check.Reset();  // statistics cleared: a new baseline, nothing missing
    EXPECT_EQ(check.Missing(), 0u);
    EXPECT_FALSE(check.LastGap().has_value());
    EXPECT_FALSE(check.Take(500, 16));
    EXPECT_FALSE(check.Take(501, 16));
}

TEST(SilenceCheck, FiresOnceAndAgainOnlyAfterRecords) {
    SilenceCheck silence;
    EXPECT_FALSE(silence.Tick(true, 0));  // no minutes set: never
    EXPECT_FALSE(silence.Tick(true, 100000));

    silence.SetMinutes(15);
    EXPECT_FALSE(silence.Tick(true, 1000));  // counted from the first look while connected
    EXPECT_FALSE(silence.Tick(true, 1000 + 15 * 60 - 1));
    EXPECT_TRUE(silence.Tick(true, 1000 + 15 * 60));
    EXPECT_FALSE(silence.Tick(true, 1000 + 15 * 60 + 10));
    EXPECT_FALSE(silence.Tick(true, 1000 + 2 * 15 * 60));  // once per silence
    EXPECT_EQ(silence.Detail(), "no call record for 15 minutes while connected");

    silence.Record(5000);  // records came back: the alarm is armed again
    EXPECT_FALSE(silence.Tick(true, 5000 + 15 * 60 - 1));
    EXPECT_TRUE(silence.Tick(true, 5000 + 15 * 60));

    // Not connected, nothing is counted; a reconnection starts the count anew.
    silence.Record(10000);
    EXPECT_FALSE(silence.Tick(false, 10000 + 20 * 60));
    EXPECT_FALSE(silence.Tick(true, 10000 + 21 * 60));
    EXPECT_FALSE(silence.Tick(true, 10000 + 21 * 60 + 15 * 60 - 1));
    EXPECT_TRUE(silence.Tick(true, 10000 + 21 * 60 + 15 * 60));

    SilenceCheck one;
    one.SetMinutes(1);
    EXPECT_EQ(one.Detail(), "no call record for 1 minute while connected");
}

}  // namespace
}  // namespace velk
