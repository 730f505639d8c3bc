#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QMenuBar>
#include <QPushButton>
#include <QFontMetrics>
#include <QLabel>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include "core/decode/field_names.h"
#include "core/foundation/ini_file.h"
#include "support/collector_fixture.h"
#include "support/qt_app.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"
#include "ui/app_set_dialog.h"

namespace velk {
namespace {

class MainWindowTest : public ::testing::Test, protected test::CollectorFixture {
protected:
    std::unique_ptr<CVELKDlg> MakeWindow() {
        return std::make_unique<CVELKDlg>(*collector, store_, prompt_, ShutdownTiming{0, 0, 0});
    }
    QString Text(CVELKDlg& w, const char* name) {
        auto* label = w.findChild<QLabel*>(QString::fromLatin1(name));
        return label ? label->text() : QStringLiteral("<missing>");
    }

    test::QtApp app_;
    test::TempDir& dir_ = dir;
    SettingsStore& store_ = store;
    AppSettings& settings_ = settings;
    test::ScriptedPrompt& prompt_ = prompt;
};

// Settings that write no daily record file are said in the window, in red, above the lists.
TEST_F(MainWindowTest, TheWindowSaysWhenNoRecordFileIsWritten) {
    auto w = MakeWindow();
    w->Start();
    auto* note = w->findChild<QLabel*>("recordFilesNote");
    ASSERT_NE(note, nullptr);
    EXPECT_FALSE(note->isHidden());
    EXPECT_EQ(note->text(), "no record files are written: RawSave and SaveToFile are off");
    settings_.RawSave = 1;
    w->ShowRecordFilesNote();  // what a confirmed settings dialog does
    EXPECT_TRUE(note->isHidden());
}

TEST_F(MainWindowTest, ShellShowsTitleMenuTabsAndPanel) {
    auto w = MakeWindow();
    EXPECT_EQ(w->windowTitle(), "VELK");
    QStringList menus;
    for (QAction* a : w->menuBar()->actions())
        menus << a->text();
    EXPECT_EQ(menus, QStringList({"Control", "Settings", "Import", "Version"}));
    ASSERT_NE(w->Action(kCmdExit), nullptr);
    EXPECT_TRUE(w->Action(kCmdExit)->isEnabled());
    EXPECT_TRUE(w->Action(kCmdApplication)->isEnabled());

    auto* tabs = w->findChild<QTabWidget*>("pageTabs");
    ASSERT_NE(tabs, nullptr);
    ASSERT_EQ(tabs->count(), 3);
    EXPECT_EQ(tabs->tabText(0), "Last Calls Info");
    EXPECT_EQ(tabs->tabText(1), "Last Call Detail Info");
    EXPECT_EQ(tabs->tabText(2), "VELK Statistic");

    EXPECT_EQ(Text(*w, "connectedText"), "No  ");
    EXPECT_EQ(Text(*w, "connectionsLabel"), "Connections : 0");
    EXPECT_EQ(Text(*w, "rawDataLine"), "Raw Data:");
    EXPECT_EQ(Text(*w, "messageRateLabel"), "MSGs per hour : ");
    EXPECT_EQ(Text(*w, "chartCaption"), "VELK Statistic Event : Statictic Event Not Selected.");
    auto* query = w->findChild<QPushButton*>("queryFormButton");
    ASSERT_NE(query, nullptr);
    EXPECT_TRUE(query->isHidden());
    // The hidden button's form is opened from the Control menu, with its search.
    ASSERT_NE(w->Action(kCmdFindCalls), nullptr);
    EXPECT_EQ(w->Action(kCmdFindCalls)->text(), "Find Calls...");
    bool searching = false;
    QTimer::singleShot(0, [&searching] {
        auto* form = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(form->objectName(), "queryForm");
        searching = form->findChild<QPushButton*>("findCallsButton")->isEnabled();
        form->reject();
    });
    w->Action(kCmdFindCalls)->trigger();
    EXPECT_TRUE(searching);
}

// A layout nobody chose (every column hidden, as older tools wrote it, or every column at the
// width a new settings file gets) gives columns as wide as their texts: dates and times whole,
// headers up to a limit. A user's layout, a single hidden column included, is kept as saved;
// "Default View" shows the table's columns, again as wide as their texts.
TEST_F(MainWindowTest, ColumnsFitTheirTextsUnlessAUserChoseTheWidths) {
    const auto fits = [](QTableView* list, int column, const QString& text) {
        return list->columnWidth(column) >=
               QFontMetrics(list->font()).horizontalAdvance(text) + 8;
    };
    for (const int32_t width : {0, kComputedColumnWidth}) {
        settings_.Col.fill(width);
        ASSERT_EQ(store_.WriteIniFile(settings_), 1);
        auto w = MakeWindow();
        QTableView* list = w->LastCallsList();
        for (int c = 0; c < kColumnCount; ++c)
            EXPECT_FALSE(list->isColumnHidden(c)) << c;
        for (const int c : {5, 6, 24, 25})  // start, end and their alternatives
            EXPECT_TRUE(fits(list, c, "2026-12-08 12:30:45")) << width << " " << c;
        EXPECT_TRUE(fits(list, 1, "Sequence Number")) << width;
        EXPECT_TRUE(fits(list, 10, "Call Type")) << width;
        EXPECT_LE(list->columnWidth(16), 160);  // "Alternative OG Trunk Serial Number" is cut
    }
    settings_.Col.fill(0);
    settings_.Col[7] = 80;
    ASSERT_EQ(store_.WriteIniFile(settings_), 1);
    auto saved = MakeWindow();
    QTableView* list = saved->LastCallsList();
    EXPECT_EQ(list->columnWidth(7), 80);
    EXPECT_TRUE(list->isColumnHidden(0));
    saved->OnDefaultView();  // brings column 0 back too
    EXPECT_FALSE(list->isColumnHidden(0));
    EXPECT_TRUE(list->isColumnHidden(8));  // field 7, System ID, is not in the table
    EXPECT_TRUE(fits(list, 5, "2026-12-08 12:30:45"));
    EXPECT_TRUE(fits(list, 6, "2026-12-08 12:30:45"));
    EXPECT_TRUE(fits(list, 1, "Sequence Number"));
    EXPECT_GE(list->columnWidth(28), 103);  // at least the table's width
}

TEST_F(MainWindowTest, HeadersStandAsTheirCellsAndTheStatisticsListFits) {
    auto w = MakeWindow();
    const auto header = [&w](const char* list, int column) {
        return w->findChild<QTableView*>(list)
            ->model()
            ->headerData(column, Qt::Horizontal, Qt::TextAlignmentRole)
            .toInt();
    };
    const int left = Qt::AlignLeft | Qt::AlignVCenter;
    const int right = Qt::AlignRight | Qt::AlignVCenter;
    EXPECT_EQ(header("lastCallsList", 0), left);
    EXPECT_EQ(header("lastCallsList", 50), left);
    EXPECT_EQ(header("detailList", 0), int(Qt::AlignCenter));
    EXPECT_EQ(header("detailList", 2), left);
    EXPECT_EQ(header("statisticsList", 0), int(Qt::AlignCenter));
    EXPECT_EQ(header("statisticsList", 1), right);
    EXPECT_EQ(header("statisticsList", 25), right);
    auto* statistics = w->findChild<QTableView*>("statisticsList");
    EXPECT_EQ(statistics->columnWidth(0), 200);
    EXPECT_EQ(statistics->columnWidth(1), 48);
    for (int c = 2; c < 26; ++c)
        EXPECT_EQ(statistics->columnWidth(c), 30) << c;
    // No minimise or maximise box; a close box and the system menu.
    const Qt::WindowFlags flags = w->windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
}

// Log-out or SIGTERM: the orderly shutdown without a question, also over an open dialog.
TEST_F(MainWindowTest, CloseOnRequestCancelsAnOpenDialogAndShutsDown) {
    auto w = MakeWindow();
    w->show();
    w->LastCallsList()->setColumnWidth(5, 99);
    bool dialogWasOpen = false;
    QTimer::singleShot(50, [&] {
        dialogWasOpen = QApplication::activeModalWidget() != nullptr;
        w->CloseOnRequest();
    });
    w->Action(kCmdCommunication)->trigger();  // a modal dialog; the request comes while it runs
    QElapsedTimer t;
    t.start();
    while (!w->ClosingFlag() && t.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_TRUE(dialogWasOpen);
    EXPECT_TRUE(w->ClosingFlag());
    EXPECT_FALSE(w->isVisible());
    EXPECT_TRUE(prompt_.shown.empty());  // nobody was asked
    AppSettings read;
    ASSERT_EQ(store_.ReadIniFile(read), 1);
    EXPECT_EQ(read.Col[5], 99);
}

TEST_F(MainWindowTest, ListsHaveTheirColumnsAndFixedRows) {
    auto w = MakeWindow();
    auto* last = w->findChild<QTableView*>("lastCallsList");
    ASSERT_NE(last, nullptr);
    auto* m = last->model();
    ASSERT_EQ(m->columnCount(), 51);
    ASSERT_EQ(m->rowCount(), 31);
    EXPECT_EQ(m->headerData(0, Qt::Horizontal).toString(), "Last Calls");
    EXPECT_EQ(m->headerData(50, Qt::Horizontal).toString(), "Call Release Reason");
    EXPECT_EQ(m->index(0, 0).data().toString(), "01");
    EXPECT_EQ(m->index(29, 0).data().toString(), "30");
    EXPECT_EQ(m->index(30, 0).data().toString(), "Fields");
    EXPECT_EQ(m->index(30, 1).data().toString(), "1 Sequence Number");
    EXPECT_EQ(m->index(1, 8).data(Qt::BackgroundRole).value<QColor>(), QColor(255, 255, 235));

    auto* detail = w->findChild<QTableView*>("detailList")->model();
    ASSERT_EQ(detail->rowCount(), 50);
    EXPECT_EQ(detail->index(49, 0).data().toString(), "50");
    EXPECT_EQ(detail->index(32, 1).data().toString(), "Duration");
    EXPECT_EQ(detail->headerData(2, Qt::Horizontal).toString(), "Fields value");

    auto* stats = w->findChild<QTableView*>("statisticsList")->model();
    ASSERT_EQ(stats->rowCount(), 26);
    ASSERT_EQ(stats->columnCount(), 26);
    EXPECT_EQ(stats->index(9, 0).data().toString(), "Time  :   EOT Wait Timer Expired ");
    EXPECT_EQ(stats->index(25, 0).data().toString(), "Call Type : Feature Service");
    EXPECT_EQ(stats->headerData(25, Qt::Horizontal).toString(), "23");
    EXPECT_EQ(stats->index(0, 1).data().toString(), "");  // zero shows as an empty cell
}

TEST_F(MainWindowTest, ExitAnsweredNoChangesNothing) {
    auto w = MakeWindow();
    w->show();
    prompt_.answers = {false};
    w->OnExit();
    ASSERT_EQ(prompt_.shown.size(), 1u);
    EXPECT_EQ(prompt_.shown[0].text, "    Are you sure?");
    EXPECT_EQ(prompt_.shown[0].caption, "VELK Exit!");
    EXPECT_TRUE(prompt_.shown[0].question);
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(w->ClosingFlag());
    EXPECT_FALSE(std::filesystem::exists(dir_ / "VELK.INI"));
}

TEST_F(MainWindowTest, ExitAnsweredYesWritesSettingsWithColumnWidths) {
    auto w = MakeWindow();
    w->show();
    w->LastCallsList()->setColumnWidth(3, 123);
    w->LastCallsList()->setColumnHidden(8, true);
    prompt_.answers = {true};
    w->OnExit();
    EXPECT_TRUE(w->ClosingFlag());
    EXPECT_FALSE(w->isVisible());
    IniDocument doc;
    ASSERT_EQ(doc.Load(dir_ / "VELK.INI"), IniDocument::LoadResult::Loaded);
    EXPECT_EQ(DecodeStructInt(doc.Get("List1ColWidth", "Col3").value_or("")), 123);
    EXPECT_EQ(DecodeStructInt(doc.Get("List1ColWidth", "Col8").value_or("")), 0);
    EXPECT_EQ(prompt_.shown.size(), 1u);  // the final close does not ask again

    // The next window takes the saved widths.
    auto next = MakeWindow();
    EXPECT_EQ(next->LastCallsList()->columnWidth(3), 123);
    EXPECT_TRUE(next->LastCallsList()->isColumnHidden(8));
}

TEST_F(MainWindowTest, EscapeAsksTheSameQuestion) {
    auto w = MakeWindow();
    w->show();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    prompt_.answers = {false, true};
    QTest::keyClick(w.get(), Qt::Key_Escape);
    ASSERT_EQ(prompt_.shown.size(), 1u);
    EXPECT_TRUE(w->isVisible());
    w->close();
    EXPECT_FALSE(w->isVisible());
    ASSERT_EQ(prompt_.shown.size(), 2u);
    EXPECT_EQ(prompt_.shown[1].caption, "VELK Exit!");
    EXPECT_TRUE(std::filesystem::exists(dir_ / "VELK.INI"));
}

TEST_F(MainWindowTest, FailedSettingsWriteIsReportedAndShutdownCompletes) {
    std::filesystem::create_directory(dir_ / "VELK.INI");  // cannot be written
    auto w = MakeWindow();
    w->show();
    prompt_.answers = {true};
    w->OnExit();
    ASSERT_EQ(prompt_.shown.size(), 2u);
    EXPECT_EQ(prompt_.shown[1].text, "Impossible to Update *.ini file!");
    EXPECT_FALSE(w->isVisible());
}

TEST_F(MainWindowTest, ShutdownPausesKeepTheEventLoopRunning) {
    CVELKDlg w(*collector, store_, prompt_, ShutdownTiming{30, 30, 30});
    w.show();
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(5);
    prompt_.answers = {true};
    w.OnExit();
    EXPECT_GE(ticks, 3);  // timers fired while the shutdown waited
}

TEST_F(MainWindowTest, AppSetStoresLaunchMin) {
    settings_.LaunchMin = 1;
    AppSet dialog(settings_, store_, prompt_);
    EXPECT_EQ(dialog.windowTitle(), "VELK Application settings");
    auto* box = dialog.findChild<QCheckBox*>("launchMinCheck");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "Minimize Launched?");
    EXPECT_TRUE(box->isChecked());
    box->setChecked(false);
    dialog.findChild<QPushButton*>("okButton")->click();
    EXPECT_EQ(settings_.LaunchMin, 0);
    AppSettings read;
    SettingsStore(dir_.Path()).ReadIniFile(read);
    read.LaunchMin = 5;
    SettingsStore(dir_.Path()).ReadIniFile(read);
    EXPECT_EQ(read.LaunchMin, 0);
}

TEST_F(MainWindowTest, AppSetClosedWithoutOkChangesNothing) {
    settings_.LaunchMin = 0;
    AppSet dialog(settings_, store_, prompt_);
    dialog.findChild<QCheckBox*>("launchMinCheck")->setChecked(true);
    dialog.reject();
    EXPECT_EQ(settings_.LaunchMin, 0);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "VELK.INI"));
}

}  // namespace
}  // namespace velk
