#include "core/record/saving_filter.h"

#include <gtest/gtest.h>

#include "core/decode/record_builder.h"
#include "support/scripted_prompt.h"

namespace velk {
namespace {

using test::RecordBuilder;

TEST(TrunkLists, Cleaning) {
    EXPECT_EQ(CleanTrunkList("1,,2"), "1,2");
    EXPECT_EQ(CleanTrunkList("3--7"), "3-7");
    EXPECT_EQ(CleanTrunkList(" 7 , 9-11 "), "7,9-11");
    EXPECT_EQ(CleanTrunkList(""), "1-1024");
    EXPECT_EQ(CleanTrunkList("abc"), "1-1024");
    EXPECT_EQ(CleanTrunkList(",5"), ",5");  // a leading separator is kept (and fails)
    EXPECT_EQ(CleanTrunkList(std::string(71, '1')), "1-1024");
    EXPECT_EQ(CleanTrunkList(std::string(70, '1')), std::string(70, '1'));
}

TEST(TrunkLists, ParsingAndErrors) {
    TrunkTable t;
    ASSERT_TRUE(ParseTrunkList("1,2,3-5", &t));
    EXPECT_EQ(t.count(), 5u);
    EXPECT_TRUE(t.test(1) && t.test(5));
    EXPECT_FALSE(t.test(6));
    EXPECT_TRUE(ParseTrunkList("1-1024", nullptr));
    EXPECT_TRUE(ParseTrunkList("1024", nullptr));
    for (const char* bad : {"5-3", "0", "1025", "1-2-3", "5-", ",5", "1,", "-5", "99999999999"}) {
        EXPECT_FALSE(ParseTrunkList(bad, nullptr)) << bad;
    }
}

// A number is its value however many leading zeros it has; a long number is still out of range.
TEST(TrunkLists, LeadingZerosAndLongNumbers) {
    TrunkTable t;
    ASSERT_TRUE(ParseTrunkList("000000001,0000000000000003-00000000000000000000004", &t));
    EXPECT_EQ(t.count(), 3u);
    EXPECT_TRUE(t.test(1) && t.test(3) && t.test(4));
    EXPECT_TRUE(ParseTrunkList("0000000000000000000000000000000000000000000000000000000000001024",
                               nullptr));
    EXPECT_FALSE(ParseTrunkList("00000000001025", nullptr));
    EXPECT_FALSE(ParseTrunkList("1-99999999999999999999999999999999999999999999", nullptr));
    EXPECT_FALSE(ParseTrunkList("000000000", nullptr));  // zero stays out of range
}

class SavingFilterTest : public ::testing::Test {
protected:
    SavingFilterTest() : filter_(settings_, [this] { ++passed_; }) { settings_.SCFilter_USE = 1; }
    void Lists(const std::string& calling, const std::string& called) {
        settings_.SCCallingSequence = calling;
        settings_.SCCalledSequence = called;
        filter_.LoadAtStartup(prompt_);
    }
    bool Keep(int callType, const std::string& ogTrunk, const std::string& icTrunk = "") {
        RecordBuilder r;
        r.ogTrunk = ogTrunk;
        char type[8];
        std::snprintf(type, sizeof type, "%02X", callType);
        r.optional = RecordBuilder::Opt("03", type) +
                     (icTrunk.empty() ? "" : RecordBuilder::Opt("06", icTrunk)) + "FF";
        frame_ = r.Frame();
        return filter_.Keep(BillingMessage(reinterpret_cast<const uint8_t*>(frame_.data()),
                                           static_cast<uint32_t>(frame_.size() - 4)));
    }

    AppSettings settings_;
    test::ScriptedPrompt prompt_;
    int passed_ = 0;
    SavingFilter filter_;
    std::string frame_;
};

TEST_F(SavingFilterTest, FilterNotInUsePassesEverythingWithoutCounting) {
    settings_.SCFilter_USE = 0;
    settings_.T.fill(0);
    EXPECT_TRUE(Keep(3, "FFFF"));
    EXPECT_EQ(passed_, 0);
}

TEST_F(SavingFilterTest, CallTypeRules) {
    Lists("7", "1-9");
    EXPECT_TRUE(Keep(1, "FFFF"));  // internal: no trunk rule
    for (int type : {2, 3, 4, 8, 10}) {
        EXPECT_TRUE(Keep(type, "0005")) << type;
        EXPECT_FALSE(Keep(type, "0010")) << type;  // trunk 16 not in the called list
        EXPECT_FALSE(Keep(type, "FFFF")) << type;  // no trunk: trunk 0
    }
    EXPECT_TRUE(Keep(11, "0007"));  // incoming: field 1 against the calling list
    EXPECT_FALSE(Keep(11, "0005"));
    settings_.T[1] = 0;
    EXPECT_FALSE(Keep(1, "FFFF"));
    settings_.T[1] = 2;  // hand-edited: only 1 counts as yes
    EXPECT_FALSE(Keep(1, "FFFF"));
    EXPECT_EQ(passed_, 7);
}

// Trunks 1 and 1024 are the first and the last a list holds; 0 and 1025 are never in one.
TEST_F(SavingFilterTest, TrunksAtTheEdgesOfTheLists) {
    Lists("1-1024", "1,1024");
    const std::pair<const char*, bool> trunks[] = {{"0000", false}, {"0001", true},
                                                   {"0002", false}, {"03FF", false},
                                                   {"0400", true},  {"0401", false}};
    for (auto [trunk, kept] : trunks) {
        EXPECT_EQ(Keep(2, trunk), kept) << trunk;
    }
}

// A list changed in the dialog decides the very next record, for the trunks it adds and for those
// it takes away.
TEST_F(SavingFilterTest, ListsChangedInTheDialogApplyToTheNextRecord) {
    Lists("1-1024", "1-1024");
    const auto write = [] { return true; };
    SavingFilter::DialogValues v;
    v.types.fill(1);
    v.use = 1;
    // Incoming calls check the calling list, local calls the called list.
    for (auto [calling, type] : {std::pair{true, 11}, std::pair{false, 2}}) {
        SCOPED_TRACE(calling ? "calling" : "called");
        (calling ? v.calling : v.called) = "6";
        (calling ? v.called : v.calling) = "1-1024";
        ASSERT_TRUE(filter_.ApplyDialog(v, prompt_, write));
        EXPECT_FALSE(Keep(type, "0005"));
        EXPECT_TRUE(Keep(type, "0006"));
        (calling ? v.calling : v.called) = "5";
        ASSERT_TRUE(filter_.ApplyDialog(v, prompt_, write));
        EXPECT_TRUE(Keep(type, "0005"));
        EXPECT_FALSE(Keep(type, "0006"));
    }
}

TEST_F(SavingFilterTest, TransitCallsAndOr) {
    Lists("7", "1-100");
    // Incoming trunk 7 in the calling list, outgoing trunk 900 (0x384) not in the called list.
    EXPECT_TRUE(Keep(12, "0384", "0007"));
    settings_.SCFilterTRK_AND = 1;
    EXPECT_FALSE(Keep(12, "0384", "0007"));
    EXPECT_TRUE(Keep(12, "0050", "0007"));
}

TEST_F(SavingFilterTest, StartupLoadingReportsEachBadList) {
    Lists("5-3", " 7 , 9-11 ");
    EXPECT_EQ(prompt_.Texts(), std::vector<std::string>{"Error in Calling Trunks Assignment!\n"});
    EXPECT_EQ(filter_.Calling().count(), 0u);
    EXPECT_EQ(settings_.SCCalledSequence, "7,9-11");
    EXPECT_EQ(filter_.Called().count(), 4u);
    EXPECT_FALSE(Keep(11, "0007"));  // the calling list is empty until corrected
}

TEST_F(SavingFilterTest, DialogOkOrderAndMessages) {
    int writes = 0;
    const auto write = [&writes] { return ++writes, true; };
    SavingFilter::DialogValues v;
    v.calling = "";
    v.called = "1--3,";
    v.types.fill(1);
    v.use = 1;
    EXPECT_FALSE(filter_.ApplyDialog(v, prompt_, write));
    EXPECT_EQ(prompt_.Texts().back(), "Error in Called Trunks Assignment!\n");
    EXPECT_EQ(settings_.SCCallingSequence, "1-1024");  // already in force
    EXPECT_EQ(writes, 0);
    v.called = "0";
    v.calling = "1025";
    EXPECT_FALSE(filter_.ApplyDialog(v, prompt_, write));
    EXPECT_EQ(prompt_.Texts().back(), "Error in Calling Trunks Assignment!\n");
    v.calling = "3";
    v.called = "4-6";
    v.types[13] = 0;
    v.trunkAnd = 1;
    EXPECT_TRUE(filter_.ApplyDialog(v, prompt_, [] { return false; }));
    EXPECT_EQ(prompt_.Texts().back(), "Impossible to Update *.ini file!");
    EXPECT_EQ(settings_.SCCalledSequence, "4-6");
    EXPECT_EQ(settings_.T[13], 0);
    EXPECT_EQ(settings_.SCFilterTRK_AND, 1);
    EXPECT_EQ(filter_.Called().count(), 3u);
}

}  // namespace
}  // namespace velk
