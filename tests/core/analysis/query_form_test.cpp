#include "core/analysis/query_form.h"

#include <gtest/gtest.h>

#include <map>

#include "core/decode/code_tables.h"
#include "core/decode/field_names.h"

namespace velk {
namespace {

AppSettings Columns(std::initializer_list<std::pair<int, int32_t>> switchedOn) {
    AppSettings s;  // every column off
    for (auto [column, field] : switchedOn) {
        s.f[static_cast<size_t>(column)] = 1;
        s.SaveInd[static_cast<size_t>(column)] = field;
    }
    return s;
}

TEST(QueryForm, RowsAreTheColumnsOfTheDecodedFile) {
    EXPECT_TRUE(QueryRows(AppSettings{}).empty());  // no column switched on: no rows

    // Columns 2, 5 and 50 are on; column 1 is off although it names a field.
    AppSettings s = Columns({{1, 2}, {4, 48}, {49, kEmptyFieldIndex}});
    s.SaveInd[0] = 9;
    const auto rows = QueryRows(s);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].id, "01");
    EXPECT_EQ(rows[0].name, "Charge Information");
    EXPECT_EQ(rows[0].field, 2);
    EXPECT_EQ(rows[0].kind, QueryKind::BillingMask);
    EXPECT_EQ(rows[1].id, "02");
    EXPECT_EQ(rows[1].name, "Call Duration Time");
    EXPECT_EQ(rows[1].kind, QueryKind::CallDuration);
    EXPECT_EQ(rows[2].id, "03");
    EXPECT_EQ(rows[2].name, "Empty");  // no field: default colours, no editing aid
    EXPECT_EQ(rows[2].field, -1);
    EXPECT_EQ(rows[2].kind, QueryKind::None);
    EXPECT_FALSE(QueryRowColour(rows[2].kind).has_value());

    // A hand-edited index outside the list is an empty column, as in the file's header.
    const auto odd = QueryRows(Columns({{0, -1}, {1, 51}, {2, 0}}));
    ASSERT_EQ(odd.size(), 3u);
    EXPECT_EQ(odd[0].name, "Empty");
    EXPECT_EQ(odd[1].name, "Empty");
    EXPECT_EQ(odd[2].kind, QueryKind::Sequence);

    // All fifty columns on: rows "01".."50", every field with an editing kind.
    AppSettings all;
    for (int k = 0; k < 50; ++k) {
        all.f[static_cast<size_t>(k)] = 1;
        all.SaveInd[static_cast<size_t>(k)] = k;
    }
    const auto full = QueryRows(all);
    ASSERT_EQ(full.size(), 50u);
    EXPECT_EQ(full[49].id, "50");
    for (const auto& row : full)
        EXPECT_NE(row.kind, QueryKind::None) << row.name;
}

TEST(QueryForm, KindsAndRowColours) {
    std::map<QueryKind, int> count;
    for (int field = 0; field < 50; ++field)
        ++count[QueryKindOf(field)];
    EXPECT_EQ(count[QueryKind::Coded], 12);
    EXPECT_EQ(count[QueryKind::Text], 20);
    EXPECT_EQ(count[QueryKind::Number], 10);
    EXPECT_EQ(count[QueryKind::Sequence], 1);
    EXPECT_EQ(count[QueryKind::DateTime], 4);
    EXPECT_EQ(QueryKindOf(32), QueryKind::Duration);
    EXPECT_EQ(QueryKindOf(48), QueryKind::CallDuration);
    EXPECT_EQ(QueryKindOf(2), QueryKind::BillingMask);
    EXPECT_EQ(QueryKindOf(50), QueryKind::None);
    EXPECT_EQ(QueryKindOf(-1), QueryKind::None);

    EXPECT_EQ(*QueryRowColour(QueryKind::Coded), (Rgb{235, 255, 235}));
    EXPECT_EQ(*QueryRowColour(QueryKind::Text), (Rgb{255, 255, 235}));
    EXPECT_EQ(*QueryRowColour(QueryKind::Number), (Rgb{235, 235, 255}));
    EXPECT_EQ(*QueryRowColour(QueryKind::Sequence), (Rgb{245, 245, 245}));
    EXPECT_EQ(*QueryRowColour(QueryKind::DateTime), (Rgb{235, 255, 255}));
    EXPECT_EQ(*QueryRowColour(QueryKind::Duration), (Rgb{255, 235, 255}));
    EXPECT_EQ(*QueryRowColour(QueryKind::CallDuration), (Rgb{255, 235, 255}));
    EXPECT_EQ(*QueryRowColour(QueryKind::BillingMask), (Rgb{230, 230, 230}));
}

TEST(QueryForm, EveryCodedFieldOffersItsTableInCodeOrder) {
    for (int field = 0; field < 50; ++field) {
        if (QueryKindOf(field) != QueryKind::Coded)
            continue;
        const auto choices = QueryCodeChoices(field);
        const FieldDescriptor& d = FieldDescriptors()[static_cast<size_t>(field)];
        ASSERT_NE(d.table, nullptr) << field;
        ASSERT_EQ(choices.size(), static_cast<size_t>(d.rows)) << field;
        ASSERT_FALSE(choices.empty()) << field;
        for (int code = 0; code < d.rows; ++code)
            EXPECT_EQ(choices[static_cast<size_t>(code)], CodeText(field, code));
    }
    EXPECT_TRUE(QueryCodeChoices(0).empty());  // the sequence number has no table
    EXPECT_TRUE(QueryCodeChoices(50).empty());

    const auto types = QueryCodeChoices(9);
    ASSERT_EQ(types.size(), 14u);
    EXPECT_EQ(QueryChoiceFor(types, "Feature Service"), 13);
    EXPECT_EQ(QueryChoiceFor(types, types[0]), 0);
    EXPECT_EQ(QueryChoiceFor(types, "no such text"), 0);
    EXPECT_EQ(QueryChoiceFor({}, "x"), 0);
}

TEST(QueryForm, BillingMethodMask) {
    EXPECT_EQ(BillingMaskText(BillingMask("")), "0");  // an empty cell shows "0"
    EXPECT_EQ(BillingMaskText(BillingMask("00C")), "c");
    EXPECT_EQ(BillingMaskText(BillingMask("FF")), "ff");
    EXPECT_EQ(BillingMaskText(BillingMask("zz9")), "9");  // a non-digit counts 0
    EXPECT_EQ(BillingMaskText(BillingMask("ffffffff")), "ffffffff");

    const LocalTime now{};
    const auto toggled = ApplyQueryCommand(kCmdBillingBit0 + 3, "9", now);
    ASSERT_TRUE(toggled.has_value());
    EXPECT_EQ(toggled->text, "1");
    EXPECT_TRUE(toggled->reopen);  // the menu shows again for the next bit
    EXPECT_FALSE(toggled->caret.has_value());
    EXPECT_EQ(ApplyQueryCommand(kCmdBillingBit0, "", now)->text, "1");
    EXPECT_EQ(ApplyQueryCommand(kCmdBillingBit0 + 7, "0", now)->text, "80");
    EXPECT_EQ(ApplyQueryCommand(kCmdBillingBit0 + 7, "80", now)->text, "0");

    const auto cs1000 = BillingMethodMenu("9", 0);
    ASSERT_EQ(cs1000.size(), 10u);
    for (int bit = 0; bit < 8; ++bit) {
        const auto& item = cs1000[static_cast<size_t>(bit)];
        EXPECT_EQ(item.command, kCmdBillingBit0 + bit);
        EXPECT_EQ(item.text, BillingMethodName(bit, 0));
        EXPECT_EQ(item.checked, bit == 0 || bit == 3) << bit;
        EXPECT_EQ(item.enabled, bit == 3) << bit;
    }
    EXPECT_EQ(cs1000[3].text, "Answered Call");
    EXPECT_EQ(cs1000[8], QueryMenuItem(kCmdAllCalls, "All Calls"));
    EXPECT_EQ(cs1000[9], QueryMenuItem(kCmdExitAndSave, "Exit and Save"));

    const auto ipecs = BillingMethodMenu("", kSystemTypeIpecsMg);
    ASSERT_EQ(ipecs.size(), 10u);
    EXPECT_EQ(ipecs[2].text, "Answered Call");
    EXPECT_TRUE(ipecs[2].enabled);
    EXPECT_FALSE(ipecs[3].enabled);
    EXPECT_EQ(ipecs[0].text, "Singular/Plural method");
    for (const auto& item : ipecs)
        EXPECT_FALSE(item.checked);
    EXPECT_EQ(AnsweredCallBit(2), 3);  // every CS1000 type

    EXPECT_EQ(ApplyQueryCommand(kCmdAllCalls, "ff", now)->text, "");
    EXPECT_FALSE(ApplyQueryCommand(kCmdExitAndSave, "ff", now).has_value());
}

TEST(QueryForm, DateAndTimeTemplatesTakeTheTimeOfTheCommand) {
    const LocalTime now{2024, 5, 6, 7, 8, 9};
    EXPECT_EQ(QueryNow(now), "2024-05-06 07:08:09");
    EXPECT_EQ(ApplyQueryCommand(kCmdDate, "", now)->text, "2024-05-06 XX:XX:XX");
    EXPECT_EQ(ApplyQueryCommand(kCmdTime, "", now)->text, "XXXX-XX-XX 07:08:09");
    EXPECT_EQ(ApplyQueryCommand(kCmdDateAndTime, "", now)->text, "2024-05-06 07:08:09");
    EXPECT_EQ(ApplyQueryCommand(kCmdDateRange, "", now)->text,
              "2024-05-06 XX:XX:XX~2024-05-06 XX:XX:XX");
    EXPECT_EQ(ApplyQueryCommand(kCmdTimeRange, "", now)->text,
              "XXXX-XX-XX 07:08:09~XXXX-XX-XX 07:08:09");
    EXPECT_EQ(ApplyQueryCommand(kCmdDateAndTimeRange, "x", now)->text,
              "2024-05-06 07:08:09~2024-05-06 07:08:09");
    // The last second of a year.
    EXPECT_EQ(ApplyQueryCommand(kCmdDate, "", {2026, 12, 31, 23, 59, 59})->text,
              "2026-12-31 XX:XX:XX");

    const auto menu = DateTimeMenu();
    ASSERT_EQ(menu.size(), 7u);
    EXPECT_EQ(menu[0].text, "Date               ");
    EXPECT_EQ(menu[3].command, 0);  // the separator between the two groups
    EXPECT_EQ(menu[6].text, "Date and Time Range");
    for (const auto& item : menu)
        EXPECT_TRUE(item.command == 0 || item.text.size() == 19u);
}

TEST(QueryForm, DurationAndTextMatchTemplates) {
    const LocalTime now{};
    EXPECT_EQ(ApplyQueryCommand(218, "", now)->text, "hhh.mm.ss");
    EXPECT_EQ(ApplyQueryCommand(219, "", now)->text, ">hhh.mm.ss");
    EXPECT_EQ(ApplyQueryCommand(220, "", now)->text, "<hhh.mm.ss");
    EXPECT_EQ(ApplyQueryCommand(221, "", now)->text, "hhh.mm.ss~hhh.mm.ss");
    EXPECT_EQ(ApplyQueryCommand(222, "", now)->text, "ddd.hh.mm.ss");
    EXPECT_EQ(ApplyQueryCommand(223, "", now)->text, ">ddd.hh.mm.ss");
    EXPECT_EQ(ApplyQueryCommand(224, "", now)->text, "<ddd.hh.mm.ss");
    EXPECT_EQ(ApplyQueryCommand(225, "", now)->text, "ddd.hh.mm.ss~ddd.hh.mm.ss");
    EXPECT_FALSE(ApplyQueryCommand(225, "", now)->caret.has_value());

    const auto duration = DurationMenu(QueryKind::Duration);
    ASSERT_EQ(duration.size(), 6u);
    EXPECT_EQ(duration[0], QueryMenuItem(218, "Exactly   "));
    EXPECT_EQ(duration[1].command, 0);
    EXPECT_EQ(duration[2], QueryMenuItem(219, "More than "));
    EXPECT_EQ(duration[3], QueryMenuItem(220, "Less than "));
    EXPECT_EQ(duration[5], QueryMenuItem(221, "Range     "));
    EXPECT_EQ(DurationMenu(QueryKind::CallDuration)[5].command, 225);

    // The template goes into the editor with the caret where the operator types.
    const auto begin = ApplyQueryCommand(kCmdMatchedAtBegin, "old", now);
    EXPECT_EQ(begin->text, "?");
    EXPECT_EQ(begin->caret, 0u);
    EXPECT_EQ(ApplyQueryCommand(kCmdMatchedAtEnd, "", now)->caret, 1u);
    const auto middle = ApplyQueryCommand(kCmdMatchedAtMiddle, "", now);
    EXPECT_EQ(middle->text, "??");
    EXPECT_EQ(middle->caret, 1u);
    const auto full = ApplyQueryCommand(kCmdFullMatched, "old", now);
    EXPECT_EQ(full->text, "");
    EXPECT_EQ(full->caret, 0u);
    const auto menu = TextMatchMenu();
    ASSERT_EQ(menu.size(), 4u);
    EXPECT_EQ(menu[0].text, "Matched at Begin ");
    EXPECT_EQ(menu[1].text, "Matched at End   ");
    EXPECT_EQ(menu[2].text, "Matched at Middle");
    EXPECT_EQ(menu[3].text, "Full Matched     ");
    EXPECT_FALSE(ApplyQueryCommand(230, "x", now).has_value());
    EXPECT_FALSE(ApplyQueryCommand(198, "x", now).has_value());
}

TEST(QueryForm, CopyPasteAndClearCase) {
    QueryCases cases(3);
    cases.SetCell(0, 0, "a");
    cases.SetCell(2, 0, "c");
    cases.SetCell(1, 2, "keep?");
    cases.PasteCase(2);  // nothing was copied: nothing happens
    EXPECT_EQ(cases.Cell(1, 2), "keep?");
    EXPECT_FALSE(cases.CopySource().has_value());

    cases.CopyCase(0);
    cases.PasteCase(5);
    EXPECT_EQ(cases.Cell(0, 5), "a");
    EXPECT_EQ(cases.Cell(1, 5), "");
    EXPECT_EQ(cases.Cell(2, 5), "c");
    cases.SetCell(0, 0, "changed");  // a paste takes the source as it is then
    cases.PasteCase(2);
    EXPECT_EQ(cases.Cell(0, 2), "changed");
    EXPECT_EQ(cases.Cell(1, 2), "");

    cases.ClearCase(0);
    for (size_t r = 0; r < cases.Rows(); ++r)
        EXPECT_EQ(cases.Cell(r, 0), "");
    EXPECT_EQ(cases.Cell(2, 5), "c");
    EXPECT_EQ(cases.CopySource(), 0);
}

}  // namespace
}  // namespace velk
