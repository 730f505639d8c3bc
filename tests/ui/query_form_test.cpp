// The query form: its grid from the decoded-file columns, the in-place editor and chooser, every
// field kind's editing aid with the menus answered by the test, and Copy / Paste / Clear Case.
#include "ui/query_form.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QHeaderView>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <deque>

#include "core/decode/code_tables.h"
#include "core/link/link_fakes.h"
#include "support/collector_fixture.h"
#include "support/qt_app.h"
#include "ui/main_window.h"

namespace velk {
namespace {

class QueryFormTest : public ::testing::Test {
protected:
    QueryFormTest() {
        // Decoded-file columns 1..7 hold these fields; column 3 is switched off.
        const int fields[] = {0, 2, 33, 9, 4, 48, 6, 32};
        for (size_t k = 0; k < std::size(fields); ++k) {
            settings.f[k] = k == 2 ? 0 : 1;
            settings.SaveInd[k] = fields[k];
        }
        clock.now = {2024, 5, 6, 7, 8, 9};
    }
    std::unique_ptr<QueryForm> Form() {
        auto form = std::make_unique<QueryForm>(settings, clock);
        form->SetMenuRunner([this](const std::vector<QueryMenuItem>& items, const QPoint& at) {
            menus.push_back(items);
            positions.push_back(at);
            if (answers.empty())
                return 0;
            const int a = answers.front();
            answers.pop_front();
            return a;
        });
        form->resize(1100, 400);
        form->show();
        return form;
    }
    static QTableWidget* Grid(QueryForm& f) { return f.findChild<QTableWidget*>("queryGrid"); }
    static QLineEdit* Editor(QueryForm& f) { return f.findChild<QLineEdit*>("cellEditor"); }
    // Rows of the grid (columns 1, 2, 4, 5, 6, 7, 8 of the file).
    enum Row { kSequence, kCharge, kCallType, kStart, kCallDuration, kDialled, kDuration };

    test::QtApp app_;
    AppSettings settings;
    test::FakeClock clock;
    std::deque<int> answers;
    std::vector<std::vector<QueryMenuItem>> menus;
    std::vector<QPoint> positions;
};

TEST_F(QueryFormTest, NoSwitchedOnColumnGivesNoRows) {
    AppSettings none;
    QueryForm form(none, clock);
    EXPECT_EQ(form.windowTitle(), "Query Form");
    ASSERT_NE(Grid(form), nullptr);
    EXPECT_EQ(Grid(form)->rowCount(), 0);
    EXPECT_EQ(Grid(form)->columnCount(), 8);
}

TEST_F(QueryFormTest, GridRowsHeadersAndColours) {
    auto form = Form();
    QTableWidget* grid = Grid(*form);
    ASSERT_EQ(grid->rowCount(), 7);
    const QStringList headers{
        "Saved Fields ID", "Saved Fields Name", "Case 1", "Case 2", "Case 3", "Case 4", "Case 5",
        "Case 6"};
    for (int c = 0; c < 8; ++c)
        EXPECT_EQ(grid->horizontalHeaderItem(c)->text(), headers[c]);
    // At least the original widths; wider where the header or a name needs it.
    EXPECT_GE(grid->columnWidth(0), 30);
    EXPECT_GE(grid->columnWidth(0), grid->horizontalHeader()->sectionSizeHint(0));
    EXPECT_GE(grid->columnWidth(1), 150);
    EXPECT_GE(grid->columnWidth(1),
              grid->fontMetrics().horizontalAdvance("Start Time of Conversation"));
    EXPECT_EQ(grid->columnWidth(7), 130);
    EXPECT_EQ(grid->item(0, 0)->text(), "01");
    EXPECT_EQ(grid->item(0, 1)->text(), "Sequence Number");
    EXPECT_EQ(grid->item(kCallType, 0)->text(), "03");
    EXPECT_EQ(grid->item(kCallType, 1)->text(), "Call Type");  // column 3 (off) is left out
    EXPECT_EQ(grid->item(kDuration, 1)->text(), "Duration");
    EXPECT_EQ(grid->item(kCharge, 4)->background().color(), QColor(230, 230, 230));
    EXPECT_EQ(grid->item(kCallType, 0)->background().color(), QColor(235, 255, 235));
    EXPECT_EQ(grid->item(kStart, 7)->background().color(), QColor(235, 255, 255));
    EXPECT_EQ(grid->item(kDialled, 2)->background().color(), QColor(255, 255, 235));
    EXPECT_EQ(grid->item(kSequence, 2)->background().color(), QColor(245, 245, 245));
    EXPECT_EQ(grid->item(kCallDuration, 2)->background().color(), QColor(255, 235, 255));
    EXPECT_EQ(form->CaseText(kSequence, 0), "");

    // No evaluation and no storage: a new form starts empty.
    form->ClickCell(kSequence, 2);
    QTest::keyClicks(Editor(*form), "12");
    EXPECT_EQ(form->CaseText(kSequence, 0), "12");
    EXPECT_EQ(Form()->CaseText(kSequence, 0), "");
}

TEST_F(QueryFormTest, EditorSitsOverTheClickedCellAndWritesThrough) {
    auto form = Form();
    QTableWidget* grid = Grid(*form);
    QLineEdit* editor = Editor(*form);
    ASSERT_NE(editor, nullptr);
    EXPECT_FALSE(editor->isVisible());

    form->ClickCell(kDialled, 3);
    EXPECT_TRUE(editor->isVisible());
    EXPECT_EQ(editor->geometry(), grid->visualRect(grid->model()->index(kDialled, 3)));
    QTest::keyClicks(editor, "0044");
    EXPECT_EQ(form->CaseText(kDialled, 1), "0044");
    EXPECT_EQ(grid->item(kDialled, 3)->text(), "0044");

    form->ClickCell(kSequence, 2);  // another cell: the editor takes its text
    EXPECT_EQ(editor->text(), "");
    form->ClickCell(kDialled, 3);
    EXPECT_EQ(editor->text(), "0044");

    form->ClickCell(kDialled, 1);  // the name column is no case: nothing moves
    EXPECT_EQ(form->CurrentColumn(), 3);

    // A click through the real grid does the same.
    const QRect cell = grid->visualRect(grid->model()->index(kSequence, 5));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
    EXPECT_EQ(form->CurrentRow(), kSequence);
    EXPECT_EQ(form->CurrentColumn(), 5);
    EXPECT_EQ(editor->geometry(), cell);

    // Scrolling would leave the editor over another cell: it is hidden.
    form->resize(500, 300);
    QCoreApplication::processEvents();
    ASSERT_GT(grid->horizontalScrollBar()->maximum(), 0);
    EXPECT_TRUE(editor->isVisible());
    grid->horizontalScrollBar()->setValue(grid->horizontalScrollBar()->maximum());
    EXPECT_FALSE(editor->isVisible());
}

TEST_F(QueryFormTest, CodedFieldChooserListsItsTable) {
    auto form = Form();
    auto* chooser = form->findChild<QComboBox*>("codeChooser");
    ASSERT_NE(chooser, nullptr);
    form->ClickCell(kCallType, 2);
    QTest::keyClicks(Editor(*form), "Feature Service");
    form->DoubleClickCell(kCallType, 2, QPoint(10, 10));
    EXPECT_TRUE(form->ChooserOpen());
    EXPECT_TRUE(chooser->isVisible());
    EXPECT_FALSE(Editor(*form)->isVisible());
    const auto types = QueryCodeChoices(9);
    ASSERT_EQ(chooser->count(), static_cast<int>(types.size()));
    for (int i = 0; i < chooser->count(); ++i)
        EXPECT_EQ(chooser->itemText(i).toStdString(), types[static_cast<size_t>(i)]);
    EXPECT_EQ(chooser->currentIndex(), 13);  // the cell's text is selected
    const QRect cell = Grid(*form)->visualRect(Grid(*form)->model()->index(kCallType, 2));
    EXPECT_EQ(chooser->geometry().top(), cell.top() - 3);

    form->ClickCell(kSequence, 4);  // ignored while the chooser is open
    EXPECT_EQ(form->CurrentRow(), kCallType);

    // Picked as an operator picks: with the mouse, then with the keyboard (the list takes no
    // click right after it opened).
    QAbstractItemView* list = chooser->view();
    ASSERT_TRUE(list->isVisible());
    const auto pickWithMouse = [&](int entry) {
        QTest::qWait(QApplication::doubleClickInterval() + 100);
        const QModelIndex index = list->model()->index(entry, 0);
        list->scrollTo(index);
        const QPoint at = list->visualRect(index).center();
        QTest::mouseMove(list->viewport(), at);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !form->ChooserOpen(); }, 2000));
    };
    pickWithMouse(2);
    EXPECT_FALSE(chooser->isVisible());
    EXPECT_EQ(form->CaseText(kCallType, 0).toStdString(), types[2]);

    form->ClickCell(kCallType, 0 + 2);
    form->DoubleClickCell(kCallType, 2, QPoint());
    EXPECT_EQ(chooser->currentIndex(), 2);
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form->ChooserOpen(); }, 2000));
    EXPECT_EQ(form->CaseText(kCallType, 0).toStdString(), types[4]);

    // A cell whose text is no code text selects the first entry; closing the list without a
    // pick gives the cell that entry.
    form->ClickCell(kCallType, 3);
    QTest::keyClicks(Editor(*form), "nonsense");
    form->DoubleClickCell(kCallType, 3, QPoint());
    EXPECT_EQ(chooser->currentIndex(), 0);
    QTest::keyClick(list, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form->ChooserOpen(); }, 2000));
    EXPECT_EQ(form->CaseText(kCallType, 1).toStdString(), types[0]);
}

TEST_F(QueryFormTest, TextDateAndDurationMenus) {
    auto form = Form();
    answers = {kCmdMatchedAtMiddle};
    form->ClickCell(kDialled, 2);
    form->DoubleClickCell(kDialled, 2, QPoint(40, 50));
    ASSERT_EQ(menus.size(), 1u);
    EXPECT_EQ(menus[0], TextMatchMenu());
    EXPECT_EQ(positions[0], QPoint(40, 50));
    EXPECT_EQ(form->CaseText(kDialled, 0), "??");
    QLineEdit* editor = Editor(*form);
    EXPECT_TRUE(editor->isVisible());
    EXPECT_EQ(editor->text(), "??");
    EXPECT_EQ(editor->cursorPosition(), 1);
    QTest::keyClicks(editor, "555");
    EXPECT_EQ(form->CaseText(kDialled, 0), "?555?");

    answers = {kCmdDateRange};
    form->DoubleClickCell(kStart, 4, QPoint());
    EXPECT_EQ(menus.back(), DateTimeMenu());
    EXPECT_EQ(form->CaseText(kStart, 2), "2024-05-06 XX:XX:XX~2024-05-06 XX:XX:XX");
    clock.now = {2026, 12, 8, 23, 59, 58};  // the time of the command counts
    answers = {kCmdTime};
    form->DoubleClickCell(kStart, 4, QPoint());
    EXPECT_EQ(form->CaseText(kStart, 2), "XXXX-XX-XX 23:59:58");

    answers = {220};
    form->DoubleClickCell(kDuration, 7, QPoint());
    EXPECT_EQ(menus.back(), DurationMenu(QueryKind::Duration));
    EXPECT_EQ(form->CaseText(kDuration, 5), "<hhh.mm.ss");
    answers = {225};
    form->DoubleClickCell(kCallDuration, 7, QPoint());
    EXPECT_EQ(menus.back(), DurationMenu(QueryKind::CallDuration));
    EXPECT_EQ(form->CaseText(kCallDuration, 5), "ddd.hh.mm.ss~ddd.hh.mm.ss");

    const size_t shown = menus.size();
    form->DoubleClickCell(kSequence, 2, QPoint());  // typing only: no aid
    EXPECT_EQ(menus.size(), shown);
    answers = {0};  // a menu closed without a choice leaves the cell
    form->DoubleClickCell(kDuration, 7, QPoint());
    EXPECT_EQ(form->CaseText(kDuration, 5), "<hhh.mm.ss");

    // For the record: a picture of a filled form when asked for one.
    if (const QByteArray dir = qgetenv("VELK_SCREENSHOT_DIR"); !dir.isEmpty())
        form->grab().save(QString::fromLocal8Bit(dir) + "/query-form.png");
}

TEST_F(QueryFormTest, BillingMethodMenuTogglesBitsUntilExit) {
    auto form = Form();
    // An empty cell shows "0" when the menu opens.
    form->SetMenuRunner([&](const std::vector<QueryMenuItem>& items, const QPoint& at) {
        menus.push_back(items);
        positions.push_back(at);
        EXPECT_EQ(form->CaseText(kCharge, 0), "0");
        return 0;
    });
    form->DoubleClickCell(kCharge, 2, QPoint(7, 8));
    ASSERT_EQ(menus.size(), 1u);
    EXPECT_EQ(menus[0], BillingMethodMenu("0", 0));
    EXPECT_EQ(form->CaseText(kCharge, 0), "0");

    form = Form();
    menus.clear();
    positions.clear();
    form->ClickCell(kCharge, 3);
    QTest::keyClicks(Editor(*form), "9");
    answers = {kCmdBillingBit0 + 3, kCmdBillingBit0 + 7, kCmdExitAndSave};
    form->DoubleClickCell(kCharge, 3, QPoint(100, 200));
    ASSERT_EQ(menus.size(), 3u);  // shown again after every bit
    EXPECT_TRUE(menus[0][3].checked);
    EXPECT_FALSE(menus[1][3].checked);
    EXPECT_TRUE(menus[2][7].checked);
    for (const QPoint& p : positions)
        EXPECT_EQ(p, QPoint(100, 200));           // at the remembered position
    EXPECT_EQ(form->CaseText(kCharge, 1), "81");  // "9", bit 3 off, bit 7 on

    answers = {kCmdAllCalls};
    form->DoubleClickCell(kCharge, 3, QPoint());
    EXPECT_EQ(form->CaseText(kCharge, 1), "");

    settings.Server_Port_index = kSystemTypeIpecsMg;
    answers = {};
    form->DoubleClickCell(kCharge, 3, QPoint());
    EXPECT_TRUE(menus.back()[2].enabled);  // "Answered Call" is bit 2 there
    EXPECT_EQ(menus.back()[2].text, "Answered Call");
}

TEST_F(QueryFormTest, CopyPasteAndClearCaseFromTheHeader) {
    auto form = Form();
    form->ClickCell(kSequence, 2);
    QTest::keyClicks(Editor(*form), "7");
    form->ClickCell(kDialled, 2);
    QTest::keyClicks(Editor(*form), "00?");

    answers = {kCmdPasteCase};  // before any Copy: nothing
    form->ClickCaseHeader(4, QPoint());
    ASSERT_EQ(menus.size(), 1u);
    ASSERT_EQ(menus[0].size(), 3u);
    EXPECT_EQ(menus[0][0], QueryMenuItem(kCmdCopyCase, "Copy Case"));
    EXPECT_EQ(menus[0][1], QueryMenuItem(kCmdPasteCase, "Paste Case"));
    EXPECT_EQ(menus[0][2], QueryMenuItem(kCmdClearCase, "Clear Case"));
    EXPECT_EQ(form->CaseText(kSequence, 2), "");

    answers = {kCmdCopyCase, kCmdPasteCase};
    form->ClickCaseHeader(2, QPoint());
    form->ClickCaseHeader(7, QPoint());
    EXPECT_EQ(form->CaseText(kSequence, 5), "7");
    EXPECT_EQ(form->CaseText(kDialled, 5), "00?");
    EXPECT_EQ(Grid(*form)->item(kDialled, 7)->text(), "00?");

    answers = {kCmdClearCase};
    form->ClickCell(kSequence, 2);
    form->ClickCaseHeader(2, QPoint());
    EXPECT_FALSE(Editor(*form)->isVisible());
    EXPECT_EQ(form->CaseText(kSequence, 0), "");
    EXPECT_EQ(form->CaseText(kDialled, 0), "");
    EXPECT_EQ(form->CaseText(kDialled, 5), "00?");

    const size_t shown = menus.size();
    form->ClickCaseHeader(1, QPoint());  // not a case column
    EXPECT_EQ(menus.size(), shown);
}

// The main window keeps the button hidden; its command runs the form modally.
TEST(QueryFormEntry, HiddenButtonRunsTheFormModally) {
    test::QtApp app;
    test::CollectorFixture fx;
    CVELKDlg main(*fx.collector, fx.store, fx.prompt, ShutdownTiming{0, 0, 0});
    main.show();
    auto* button = main.findChild<QPushButton*>("queryFormButton");
    ASSERT_NE(button, nullptr);
    EXPECT_TRUE(button->isHidden());
    QString seen;
    QTimer::singleShot(0, [&seen] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            seen = modal->objectName() + ":" + modal->windowTitle();
            qobject_cast<QDialog*>(modal)->reject();
        }
    });
    button->click();
    EXPECT_EQ(seen, "queryForm:Query Form");
    EXPECT_TRUE(button->isHidden());
}

}  // namespace
}  // namespace velk
