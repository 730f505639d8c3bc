// The system-load window: a picked day, both tables, copying, the minute re-read of today's file,
// the notice for a day without a file, and two windows beside a main window that keeps working.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QRadioButton>
#include <QScrollBar>
#include <QTableView>
#include <QTest>

#include "core/decode/record_builder.h"
#include "support/collector_fixture.h"
#include "support/qt_app.h"
#include "support/traffic_line.h"
#include "ui/list_clipboard.h"
#include "ui/main_window.h"
#include "ui/system_load_window.h"

namespace velk {
namespace {

std::string Line(int day, int hour, const std::set<int>& busy, unsigned seizures = 1) {
    return test::TrafficLine(day, hour, busy, seizures);
}

class SystemLoadTest : public ::testing::Test, protected test::CollectorFixture {
protected:
    SystemLoadTest() {
        MakeSaveDir(OutputDirectories::Under(dir.Path()));
        settings.Site_Name = "North";
        clock.now = {2026, 12, 8, 14, 30, 0};
    }
    std::filesystem::path Trf() const { return dir / "Trf"; }
    static void WaitFor(SystemLoadingWindow& w, int ms = 5000) {
        QElapsedTimer t;
        t.start();
        do {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        } while (w.Loading() && t.elapsed() < ms);
    }
    static QString Cell(SystemLoadingWindow& w, const char* table, int row, int col) {
        return w.findChild<QTableView*>(table)->model()->index(row, col).data().toString();
    }
    test::QtApp app_;
};

// Opened on a day whose traffic file is there, the window shows that day at once; a title
// without a site name ends after "System Load".
TEST_F(SystemLoadTest, OpensOnTodayWhenItsFileIsThere) {
    settings.Site_Name.clear();
    std::string file;
    for (int r = 0; r < 12; ++r)
        file += Line(8, 9, r < 6 ? std::set<int>{0} : std::set<int>{}, 1);
    test::WriteFile(Trf() / "20261208.trf", file);
    SystemLoadingWindow w(settings, Trf(), clock, prompt);
    EXPECT_EQ(w.windowTitle(), "CS1000 System Load");
    WaitFor(w);
    EXPECT_EQ(w.Status(), "Auto data updating for selected today date ");
    EXPECT_TRUE(w.MinuteTimerActive());  // today: read again every minute
    EXPECT_EQ(Cell(w, "byPortsTable", 0, 11), "0.500");
    EXPECT_TRUE(prompt.Texts().empty());

    // No file for today: nothing is picked, nothing is said.
    std::filesystem::remove(Trf() / "20261208.trf");
    SystemLoadingWindow none(settings, Trf(), clock, prompt);
    WaitFor(none);
    EXPECT_EQ(none.Status(), "Date is not selected");
    EXPECT_TRUE(prompt.Texts().empty());
}

TEST_F(SystemLoadTest, PickedDayFillsBothTablesAndTheTotals) {
    std::string file;
    for (int r = 0; r < 12; ++r)
        file += Line(7, 10, r < 3 ? std::set<int>{0} : std::set<int>{}, 2);
    test::WriteFile(Trf() / "20261207.trf", file);
    SystemLoadingWindow w(settings, Trf(), clock, prompt);
    w.show();
    EXPECT_EQ(w.windowTitle(), "CS1000 System Load at North");
    EXPECT_EQ(w.Status(), "Date is not selected");
    auto* byPorts = w.findChild<QTableView*>("byPortsTable");
    auto* perSlot = w.findChild<QTableView*>("perSlotTable");
    EXPECT_FALSE(byPorts->isVisible());  // neither table before a choice
    EXPECT_FALSE(perSlot->isVisible());

    w.PickDate(QDate(2026, 12, 7));
    WaitFor(w);
    EXPECT_EQ(w.Status(), "Date 2026:12:07 is selected");
    EXPECT_FALSE(w.MinuteTimerActive());  // not today
    ASSERT_EQ(byPorts->model()->rowCount(), 992);
    EXPECT_EQ(Cell(w, "byPortsTable", 0, 0), "0020");
    EXPECT_EQ(Cell(w, "byPortsTable", 0, 1), "1/01/01");
    EXPECT_EQ(byPorts->model()->headerData(12, Qt::Horizontal).toString(), "10");
    EXPECT_EQ(Cell(w, "byPortsTable", 0, 12), "0.250");
    EXPECT_EQ(byPorts->model()->index(0, 12).data(Qt::BackgroundRole).value<QColor>(),
              QColor(200, 255, 200));
    EXPECT_EQ(byPorts->model()->index(1, 12).data(Qt::BackgroundRole).value<QColor>(),
              QColor(255, 255, 255));
    EXPECT_EQ(Cell(w, "byPortsTable", 991, 1), "3/12/32");
    EXPECT_EQ(Cell(w, "perSlotTable", 0, 0), "1/01");
    EXPECT_EQ(Cell(w, "perSlotTable", 0, 11), "0.016");  // 3 of 12 reports x 1 of 16 ports
    EXPECT_EQ(Cell(w, "totalsTable", 0, 11), "24");      // seizures
    EXPECT_EQ(Cell(w, "totalsTable", 1, 11), "0.25");    // Erlang
    EXPECT_EQ(Cell(w, "totalsTable", 1, 12), "");

    w.findChild<QRadioButton*>("perSlotRadio")->click();
    EXPECT_TRUE(perSlot->isVisible());
    EXPECT_FALSE(byPorts->isVisible());
    w.findChild<QRadioButton*>("byPortsRadio")->click();
    EXPECT_TRUE(byPorts->isVisible());
    EXPECT_FALSE(perSlot->isVisible());

    CopyListToClipboard(*perSlot->model(), prompt);
    const QString copied = QApplication::clipboard()->text();
    EXPECT_TRUE(copied.startsWith("Slot\t00\t01\t"));
    EXPECT_TRUE(copied.contains("1/01\t\t\t\t\t\t\t\t\t\t\t0.016\t"));
    EXPECT_EQ(copied.count("\r\n"), 35);
}

TEST_F(SystemLoadTest, TodayIsReadAgainEveryMinuteUntilTheDateChanges) {
    test::WriteFile(Trf() / "20261208.trf", Line(8, 9, {1}));
    SystemLoadingWindow w(settings, Trf(), clock, prompt);
    w.PickDate(QDate(2026, 12, 8));
    WaitFor(w);
    EXPECT_EQ(w.Status(), "Auto data updating for selected today date ");
    EXPECT_TRUE(w.MinuteTimerActive());
    EXPECT_EQ(SystemLoadingWindow::kRereadMs, 60000);
    EXPECT_EQ(Cell(w, "totalsTable", 0, 10), "1");

    // The recorder appends a report, and another one is half written.
    std::ofstream(Trf() / "20261208.trf", std::ios::app)
        << Line(8, 9, {1, 2}, 3) << Line(8, 9, {3}).substr(0, 100);
    w.OnMinuteTimer();
    WaitFor(w);
    EXPECT_EQ(Cell(w, "totalsTable", 0, 10), "4");
    EXPECT_EQ(Cell(w, "totalsTable", 1, 10), "1.50");
    EXPECT_TRUE(w.MinuteTimerActive());

    clock.now.day = 9;  // past midnight: the re-reading stops
    w.OnMinuteTimer();
    WaitFor(w);
    EXPECT_FALSE(w.MinuteTimerActive());
    EXPECT_EQ(w.Status(), "");
}

TEST_F(SystemLoadTest, DayWithoutAFileShowsTheNoticeAndKeepsTheTables) {
    test::WriteFile(Trf() / "20261207.trf", Line(7, 10, {0}));
    SystemLoadingWindow w(settings, Trf(), clock, prompt);
    w.show();
    w.PickDate(QDate(2026, 12, 7));
    WaitFor(w);
    w.PickDate(QDate(2026, 12, 6));
    WaitFor(w);
    auto* notice = w.findChild<QLabel*>("noTrafficNotice");
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->text(), "Attention! There is no traffic data for selected date!");
    EXPECT_EQ(notice->size(), QSize(280, 40));
    EXPECT_EQ(Cell(w, "byPortsTable", 0, 12), "1.0");  // still the day before
    EXPECT_EQ(w.Status(), "Date 2026:12:07 is selected");

    // An imported file replaces the tables and stops the minute re-read.
    test::WriteFile(dir / "other.trf", Line(1, 5, {991}));
    prompt.files.push_back((dir / "other.trf").string());
    w.ImportExternalFile();
    WaitFor(w);
    EXPECT_EQ(prompt.filters.back(), "VELK Traffic File (*.trf)|*.trf|*.*|*.*||");
    EXPECT_EQ(w.Status(),
              "File " + QString::fromStdString((dir / "other.trf").string()) + " is imported");
    EXPECT_EQ(Cell(w, "byPortsTable", 991, 7), "1.0");
}

// Leaving the date field (for a radio button, another window) loads nothing unless a date was
// typed there; Enter loads the date shown.
TEST_F(SystemLoadTest, LeavingTheDateFieldLoadsOnlyADateTypedThere) {
    test::WriteFile(Trf() / "20261207.trf", Line(7, 10, {0}));
    SystemLoadingWindow w(settings, Trf(), clock, prompt);
    // Today's file comes after the window opened (one there before would be shown at once).
    test::WriteFile(Trf() / "20261208.trf", Line(8, 9, {1}));
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    auto* date = w.findChild<QDateEdit*>("datePicker");
    auto* radio = w.findChild<QRadioButton*>("perSlotRadio");
    const auto leaveField = [&] {
        date->setFocus();
        radio->setFocus();
        WaitFor(w);
    };
    leaveField();
    EXPECT_EQ(w.Status(), "Date is not selected");
    EXPECT_EQ(w.Day().reports[9], 0u);

    date->setFocus();
    QTest::keyClick(date, Qt::Key_Return);
    WaitFor(w);
    EXPECT_EQ(w.Status(), "Auto data updating for selected today date ");
    EXPECT_EQ(w.Day().reports[9], 1u);

    date->setFocus();
    date->setDate(QDate(2026, 12, 7));
    radio->setFocus();
    WaitFor(w);
    EXPECT_EQ(w.Status(), "Date 2026:12:07 is selected");

    // Left again unchanged: not read again (the file is gone, so a reading would show the notice).
    std::filesystem::remove(Trf() / "20261207.trf");
    leaveField();
    EXPECT_EQ(w.findChild<QLabel*>("noTrafficNotice"), nullptr);
    EXPECT_EQ(w.Status(), "Date 2026:12:07 is selected");
}

// At its first size the window shows every hour; the hour columns of the totals and of the table
// below keep one width and scroll together; a count of six digits and one of seven fit their cells.
TEST_F(SystemLoadTest, AllHoursShowAndLineUp) {
    std::string file;
    for (int r = 0; r < 10; ++r)
        file += Line(7, 10, {0}, 50000) + Line(7, 11, {0}, 0xFFFF);  // 500000 and 655350
    test::WriteFile(Trf() / "20261207.trf", file);
    SystemLoadingWindow w(settings, Trf(), clock, prompt);
    w.show();
    auto* totals = w.findChild<QTableView*>("totalsTable");
    auto* byPorts = w.findChild<QTableView*>("byPortsTable");
    auto* perSlot = w.findChild<QTableView*>("perSlotTable");
    auto* legend = w.findChild<QTableView*>("legendTable");
    // At least the widths the tables were laid out with, and wide enough for every text.
    const auto fits = [](QTableView* table, int column, const QString& text) {
        return QFontMetrics(table->font()).horizontalAdvance(text) + 6 < table->columnWidth(column);
    };
    EXPECT_GE(byPorts->columnWidth(0), 35);
    EXPECT_GE(byPorts->columnWidth(1), 45);
    EXPECT_GE(totals->columnWidth(0), 80);
    EXPECT_EQ(byPorts->columnWidth(0) + byPorts->columnWidth(1), totals->columnWidth(0));
    EXPECT_EQ(perSlot->columnWidth(0), totals->columnWidth(0));
    EXPECT_TRUE(fits(totals, 0, "Traffic (by Erlang)"));
    EXPECT_TRUE(fits(byPorts, 1, "3/12/32"));
    EXPECT_TRUE(fits(legend, 0, "< 0.001"));
    EXPECT_GE(legend->columnWidth(6), 40);
    EXPECT_GE(totals->columnWidth(1), 37);
    EXPECT_TRUE(fits(byPorts, 2, "0.250"));
    for (int h = 0; h < kHours; ++h) {
        EXPECT_EQ(byPorts->columnWidth(2 + h), totals->columnWidth(1));
        EXPECT_EQ(perSlot->columnWidth(1 + h), totals->columnWidth(1));
    }

    w.PickDate(QDate(2026, 12, 7));
    WaitFor(w);
    w.findChild<QRadioButton*>("byPortsRadio")->click();
    QCoreApplication::processEvents();
    ASSERT_EQ(Cell(w, "totalsTable", 0, 11), "500000");
    ASSERT_EQ(Cell(w, "totalsTable", 0, 12), "655350");
    EXPECT_TRUE(fits(totals, 12, "655350"));
    EXPECT_EQ(totals->horizontalScrollBar()->maximum(), 0) << "hours out of sight";
    EXPECT_EQ(byPorts->horizontalScrollBar()->maximum(), 0) << "hours out of sight";
    const int x = totals->columnViewportPosition(24);
    EXPECT_EQ(byPorts->columnViewportPosition(25), x);

    // Seven digits widen the hours of every table alike.
    file.clear();
    for (int r = 0; r < 30; ++r)
        file += Line(7, 10, {0}, 50000);  // 1500000
    test::WriteFile(Trf() / "20261207.trf", file);
    w.PickDate(QDate(2026, 12, 7));
    WaitFor(w);
    ASSERT_EQ(Cell(w, "totalsTable", 0, 11), "1500000");
    EXPECT_TRUE(fits(totals, 11, "1500000"));
    EXPECT_EQ(byPorts->horizontalScrollBar()->maximum(), 0) << "hours out of sight";
    EXPECT_EQ(byPorts->columnWidth(2), totals->columnWidth(1));
    EXPECT_EQ(perSlot->columnWidth(24), totals->columnWidth(1));

    // Narrower than the tables: scrolling one scrolls the other, also the table chosen later.
    w.resize(500, 500);
    QCoreApplication::processEvents();
    ASSERT_GT(byPorts->horizontalScrollBar()->maximum(), 100);
    byPorts->horizontalScrollBar()->setValue(100);
    EXPECT_EQ(totals->horizontalScrollBar()->value(), 100);
    totals->horizontalScrollBar()->setValue(60);
    EXPECT_EQ(byPorts->horizontalScrollBar()->value(), 60);
    EXPECT_EQ(byPorts->columnViewportPosition(12), totals->columnViewportPosition(11));
    w.findChild<QRadioButton*>("perSlotRadio")->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(perSlot->columnViewportPosition(11), totals->columnViewportPosition(11));

    // A table hidden while the window was narrowed follows the whole way once shown again.
    w.resize(900, 500);
    QCoreApplication::processEvents();
    w.findChild<QRadioButton*>("byPortsRadio")->click();
    w.resize(500, 500);
    QCoreApplication::processEvents();
    ASSERT_GT(totals->horizontalScrollBar()->maximum(), 300);
    totals->horizontalScrollBar()->setValue(300);
    EXPECT_EQ(totals->horizontalScrollBar()->value(), 300);
    EXPECT_EQ(byPorts->horizontalScrollBar()->value(), 300);
    w.findChild<QRadioButton*>("perSlotRadio")->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(perSlot->horizontalScrollBar()->value(), 300);
    EXPECT_EQ(totals->horizontalScrollBar()->value(), 300);
}

// Two windows beside the main window, which goes on storing records; a third is refused without a
// word; a closed one frees its place.
TEST_F(SystemLoadTest, TwoWindowsWhileRecordsKeepArriving) {
    std::string day;
    for (int minute = 0; minute < 1440; ++minute)
        day += Line(8, minute / 60, {minute % 992});
    test::WriteFile(Trf() / "20261207.trf", day);
    CVELKDlg main(*collector, store, prompt, ShutdownTiming{0, 0, 0});
    main.Action(kCmdSystemLoad)->trigger();
    SystemLoadingWindow* first = nullptr;
    SystemLoadingWindow* second = main.OpenSystemLoad();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(main.SystemLoadWindows(), 2);
    EXPECT_EQ(main.OpenSystemLoad(), nullptr);
    EXPECT_TRUE(prompt.shown.empty());
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* s = qobject_cast<SystemLoadingWindow*>(w); s != nullptr && s != second)
            first = s;
    }
    ASSERT_NE(first, nullptr);
    first->PickDate(QDate(2026, 12, 7));
    second->PickDate(QDate(2026, 12, 7));
    for (int i = 1; i <= 20; ++i) {
        test::RecordBuilder r;
        char seq[16];
        std::snprintf(seq, sizeof seq, "%04X", static_cast<unsigned>(i));
        r.sequence = seq;
        const std::string f = r.Frame();
        collector->Pipeline().ProcessMessage(reinterpret_cast<const uint8_t*>(f.data()),
                                             static_cast<uint32_t>(f.size() - 4));
        QCoreApplication::processEvents();
    }
    WaitFor(*first);
    WaitFor(*second);
    EXPECT_EQ(main.LastCallsList()->model()->index(19, 1).data().toString(), "0020");
    EXPECT_EQ(Cell(*first, "totalsTable", 1, 1), "1.00");
    EXPECT_EQ(Cell(*second, "totalsTable", 1, 24), "1.00");
    first->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(main.SystemLoadWindows(), 1);
    EXPECT_NE(main.OpenSystemLoad(), nullptr);
}

}  // namespace
}  // namespace velk
