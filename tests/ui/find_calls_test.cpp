// "Find Calls" of the query form over a real record index: cells that cannot be read are marked
// and stop the search, the found calls come in a window of their own with their count and total
// duration, Export writes them as the decoded files have them, and cases go to a file and back.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QTableView>
#include <QTableWidget>

#include "core/decode/record_builder.h"
#include "core/link/link_fakes.h"
#include "core/archive/call_indexer.h"
#include "core/archive/index_row.h"
#include "core/record/call_recorder.h"
#include "platform/index_search.h"
#include "platform/pg_record_index.h"
#include "platform/pg_record_server.h"
#include "platform/sqlite_record_index.h"
#include "support/pg_server.h"
#include "support/qt_app.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"
#include "ui/call_results.h"
#include "ui/query_form.h"

namespace velk {
namespace {

class FindCallsTest : public ::testing::Test {
protected:
    FindCallsTest() {
        // The decoded file: calling number, call type, start time, duration.
        const int fields[] = {3, 9, 4, 32};
        for (size_t k = 0; k < std::size(fields); ++k) {
            settings.f[k] = 1;
            settings.SaveInd[k] = fields[k];
        }
        settings.Distributor_ASCII_Code = "3B";
        // Three calls: 2041 ISD 120 s, 2042 ISD 30 s, 3000 local 600 s.
        SqliteRecordIndex index(dir / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
        CallIndexer indexer(settings, clock, &index, nullptr, nullptr);
        FieldDecoder decoder(settings);
        struct Call {
            const char *calling, *type, *end;
        };
        for (const Call& c : {Call{"2041", "04", "141A0C080C202D"},
                              Call{"2042", "04", "141A0C080C1F0F"},
                              Call{"3000", "02", "141A0C080C282D"}}) {
            test::RecordBuilder r;
            r.calling = std::string(c.calling) + "FFFF";
            r.end = c.end;
            r.optional = test::RecordBuilder::Opt("03", c.type) + "FF";
            const std::string f = r.Frame();
            const BillingMessage m(reinterpret_cast<const uint8_t*>(f.data()),
                                   static_cast<uint32_t>(f.size() - 4));
            std::array<std::string, 50> texts;
            decoder.DecodeRecord(m, settings.Hex_Type, texts);
            indexer.Add(m, texts, RecordSource::Link);
            lines.push_back(DecodedFileLine(settings, texts));
        }
        EXPECT_EQ(indexer.EnteredCount(), 3u);
        form = std::make_unique<QueryForm>(settings, clock);
        form->SetFinder(&search, &prompt);
        form->resize(1100, 400);
        form->show();
    }
    QTableWidget* Grid() { return form->findChild<QTableWidget*>("queryGrid"); }
    void Type(int row, int caseIndex, const QString& text) {
        form->ClickCell(row, QueryForm::kFirstCaseColumn + caseIndex);
        form->findChild<QLineEdit*>("cellEditor")->setText(text);
    }
    enum Row { kCalling, kCallType, kStart, kDuration };

    test::QtApp app_;
    test::TempDir dir;
    AppSettings settings;
    test::FakeClock clock;
    test::ScriptedPrompt prompt;
    IndexSearch search{dir / kRecordIndexFile};
    std::unique_ptr<QueryForm> form;
    std::vector<std::string> lines;
};

TEST_F(FindCallsTest, UnreadableCellsAreMarkedAndStopTheSearch) {
    Type(kStart, 0, "2026/12/08");
    Type(kDuration, 1, ">000.02.00");
    QTableWidgetItem* bad = Grid()->item(kStart, QueryForm::kFirstCaseColumn);
    EXPECT_EQ(bad->foreground().color(), QColor(Qt::red));
    EXPECT_TRUE(bad->toolTip().startsWith("write a date-time YYYY-MM-DD hh:mm:ss")) << bad->toolTip().toStdString();
    QTableWidgetItem* good = Grid()->item(kDuration, QueryForm::kFirstCaseColumn + 1);
    EXPECT_NE(good->foreground().color(), QColor(Qt::red));
    EXPECT_EQ(good->toolTip(), ">000.02.00");

    form->FindCalls();
    EXPECT_FALSE(search.Running());
    EXPECT_EQ(form->StatusText(), "1 cell(s) cannot be read (in red; the tip says why)");
    EXPECT_EQ(form->Results(), nullptr);

    // Mended, the mark goes.
    Type(kStart, 0, "2026-12-08");
    EXPECT_NE(bad->foreground().color(), QColor(Qt::red));
}

TEST_F(FindCallsTest, FoundCallsComeInAWindowOfTheirOwnAndExportAsTheDecodedFile) {
    // The calls of 204x that are ISD calls, or any call longer than five minutes.
    Type(kCalling, 0, "204?");
    Type(kCallType, 0, "ISD Call");
    Type(kDuration, 1, ">000.05.00");
    form->FindCalls();
    search.Wait();
    CallResultsWindow* results = form->Results();
    ASSERT_NE(results, nullptr);
    EXPECT_TRUE(results->isVisible());
    EXPECT_EQ(results->Summary().toStdString(), "3 calls, total duration 000:12:30");
    auto* table = results->findChild<QTableView*>("callResults");
    ASSERT_EQ(table->model()->rowCount(), 3);
    EXPECT_EQ(table->model()->headerData(3, Qt::Horizontal).toString(), "Duration");

    // Sorted by duration (by its value), then exported in that order.
    table->sortByColumn(3, Qt::DescendingOrder);
    EXPECT_EQ(table->model()->index(0, 0).data().toString(), "3000");
    prompt.files = {(dir / "found.csv").string()};
    results->Export();
    EXPECT_EQ(prompt.filters.back(), "Decoded Call Records (*.csv)|*.csv|*.*|*.*||");
    EXPECT_EQ(test::ReadFile(dir / "found.csv"),
              DecodedFileHeader(settings) + lines[2] + lines[0] + lines[1]);

    // A narrower search shows again in the same window.
    Type(kDuration, 1, "");
    form->FindCalls();
    search.Wait();
    EXPECT_EQ(form->Results(), results);
    EXPECT_EQ(results->Summary().toStdString(), "2 calls, total duration 000:02:30");
}

// A duration that cannot be read ("???:??:??", from an end that is no date) sorts with its
// kind: the readable durations in order (by value: an end before the start, more than 999
// hours), the others together at one end, whichever way.
TEST_F(FindCallsTest, UnreadableDurationsSortTogetherAtOneEnd) {
    FoundCalls found;
    FieldDecoder decoder(settings);
    for (const char* end : {"141A0C080C282D", "141A0D200000FF", "141A0C080C1D2D", "141A0C080C1F0F",
                            "141A0D20000000", "141B02010C1E2D", "141A0C080C202D", "141A0C080C1E0F",
                            "141A0C080C1E2D", "141A0C2A0C202D"}) {
        test::RecordBuilder r;
        r.end = end;
        const std::string f = r.Frame();
        const BillingMessage m(reinterpret_cast<const uint8_t*>(f.data()),
                               static_cast<uint32_t>(f.size() - 4));
        std::array<std::string, 50> texts;
        decoder.DecodeRecord(m, settings.Hex_Type, texts);
        found.rows.push_back(MakeIndexRow(m, texts, 1, 2, RecordSource::Link, 0));
        found.rows.back().id = static_cast<int64_t>(found.rows.size());
    }
    found.count = static_cast<int64_t>(found.rows.size());
    CallResultsWindow results(settings, prompt);
    results.Show(found);
    auto* table = results.findChild<QTableView*>("callResults");
    const auto column = [&] {
        std::vector<std::string> shown;
        for (int r = 0; r < table->model()->rowCount(); ++r)
            shown.push_back(table->model()->index(r, 3).data().toString().toStdString());
        return shown;
    };
    const std::vector<std::string> unsorted = column();
    ASSERT_EQ(std::count(unsorted.begin(), unsorted.end(), "???:??:??"), 3) << unsorted[1];
    table->sortByColumn(3, Qt::AscendingOrder);
    EXPECT_EQ(column(), (std::vector<std::string>{"-000:01:00", "-000:00:30", "000:00:00",
                                                  "000:00:30", "000:02:00", "000:10:00",
                                                  "1320:00:00", "???:??:??", "???:??:??",
                                                  "???:??:??"}));
    table->sortByColumn(3, Qt::DescendingOrder);
    EXPECT_EQ(column(), (std::vector<std::string>{"???:??:??", "???:??:??", "???:??:??",
                                                  "1320:00:00", "000:10:00", "000:02:00",
                                                  "000:00:30", "000:00:00", "-000:00:30",
                                                  "-000:01:00"}));
}

// A name typed without an extension gets the decoded files' one; a typed extension stays.
TEST_F(FindCallsTest, ExportAddsTheExtensionWhenNoneIsTyped) {
    form->FindCalls();
    search.Wait();
    CallResultsWindow* results = form->Results();
    ASSERT_NE(results, nullptr);
    prompt.files = {(dir / "found").string(), (dir / "found.txt").string()};
    results->Export();
    results->Export();
    EXPECT_FALSE(std::filesystem::exists(dir / "found"));
    const std::string all = DecodedFileHeader(settings) + lines[0] + lines[1] + lines[2];
    EXPECT_EQ(test::ReadFile(dir / "found.csv"), all);
    EXPECT_EQ(test::ReadFile(dir / "found.txt"), all);
}

// Open Cases takes a file only, and one an editor began with a byte-order mark.
TEST_F(FindCallsTest, OpenCasesRefusesADirectoryAndTakesAByteOrderMark) {
    Type(kCalling, 0, "2041");
    prompt.files = {dir.Path().string()};
    form->OpenCases();
    EXPECT_EQ(form->StatusText().toStdString(),
              dir.Path().string() + ": it is a directory, not a cases file");
    EXPECT_EQ(form->CaseText(kCalling, 0), "2041");  // the cases stay as they were
    test::WriteFile(dir / "bom.cases", "\xEF\xBB\xBF[Case 2]\r\nCall Type=ISD Call\r\n");
    prompt.files = {(dir / "bom.cases").string()};
    form->OpenCases();
    EXPECT_EQ(form->StatusText(), "Cases opened");
    EXPECT_EQ(form->CaseText(kCallType, 1), "ISD Call");
    EXPECT_EQ(form->CaseText(kCalling, 0), "");
}

TEST_F(FindCallsTest, CasesGoToAFileAndBack) {
    Type(kCalling, 0, "2041");
    Type(kCallType, 2, "ISD Call");
    Type(kStart, 2, "2026-12-01~2026-12-07");
    prompt.files = {(dir / "my.cases").string()};
    form->SaveCases();
    EXPECT_EQ(test::ReadFile(dir / "my.cases").substr(test::ReadFile(dir / "my.cases").find('\n') + 1),
              "[Case 1]\nCalling Phone Number=2041\n"
              "[Case 3]\nCall Type=ISD Call\nStart Time of Conversation=2026-12-01~2026-12-07\n");

    // Another form (as after closing this one): the file brings the cases back, and a condition
    // on a field that is not in the grid is counted as left out.
    test::WriteFile(dir / "more.cases", test::ReadFile(dir / "my.cases") + "[Case 4]\nDialled Phone Number=00?\n");
    QueryForm other(settings, clock);
    other.SetFinder(&search, &prompt);
    prompt.files = {(dir / "more.cases").string()};
    other.OpenCases();
    EXPECT_EQ(other.CaseText(kCalling, 0), "2041");
    EXPECT_EQ(other.CaseText(kCallType, 2), "ISD Call");
    EXPECT_EQ(other.CaseText(kStart, 2), "2026-12-01~2026-12-07");
    EXPECT_EQ(other.CaseText(kCalling, 3), "");
    EXPECT_TRUE(other.StatusText().startsWith("Cases opened; 1 condition(s) left out"));
}

TEST_F(FindCallsTest, WithADatabaseServerTheOperatorChoosesThisSiteOrAllSites) {
    auto* where = form->findChild<QComboBox*>("searchWhere");
    ASSERT_NE(where, nullptr);
    EXPECT_FALSE(where->isVisible());  // no database: the form is as before

    test::PgServer pg;
    ASSERT_TRUE(pg.Ok()) << pg.Error();
    std::vector<IndexRow> rows;
    ASSERT_TRUE(SqliteRecordIndex(dir / kRecordIndexFile, SqliteRecordIndex::Mode::Read)
                    .After(0, 10, rows));
    PgRecordServer sender(pg.Connection());
    const ShipMark mark{3, ShipFingerprint(rows.back())};
    ASSERT_TRUE(sender.Ship("Site A", 0, rows, {}, mark)) << sender.ErrorText();
    ASSERT_TRUE(sender.Ship("Site B", 0, rows, {}, mark)) << sender.ErrorText();
    const std::string connection = pg.Connection();
    IndexSearch server([connection]() -> std::unique_ptr<RecordIndex> {
        return std::make_unique<PgRecordIndex>(connection, std::string());
    });
    form->SetServerSearch(&server);
    EXPECT_TRUE(where->isVisible());
    EXPECT_EQ(where->itemText(1), "All sites (database server)");

    Type(kCalling, 0, "204?");
    where->setCurrentIndex(1);
    form->FindCalls();
    server.Wait();
    auto* table = form->Results()->findChild<QTableView*>("callResults");
    ASSERT_EQ(table->model()->rowCount(), 4);
    EXPECT_EQ(table->model()->headerData(0, Qt::Horizontal).toString(), "Site");
    table->sortByColumn(0, Qt::AscendingOrder);
    EXPECT_EQ(table->model()->index(0, 0).data().toString(), "Site A");
    EXPECT_EQ(table->model()->index(3, 0).data().toString(), "Site B");
    EXPECT_EQ(table->model()->index(3, 1).data().toString().left(3), "204");

    where->setCurrentIndex(0);
    form->FindCalls();
    search.Wait();
    ASSERT_EQ(table->model()->rowCount(), 2);
    EXPECT_EQ(table->model()->headerData(0, Qt::Horizontal).toString(), "Calling Phone Number");
}

}  // namespace
}  // namespace velk
