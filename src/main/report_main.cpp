// velk-report: calls and per-group figures from the record index VELK.db, or with --db from the
// database server all sites send their records to (every site, or one with --site). Without --by
// it lists
// the matching calls with the decoded file's columns; with --by it counts calls, answered calls,
// total, average and longest duration per group. To a terminal it writes an aligned table, to a
// pipe the chosen format (CSV when none is chosen).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/archive/call_report.h"
#include "core/decode/field_names.h"
#include "core/foundation/base_directory.h"
#include "core/foundation/command_line.h"
#include "core/foundation/settings_store.h"
#include "platform/pg_record_index.h"
#include "platform/sqlite_record_index.h"

namespace {

const velk::ProgramHelp kHelp = {
    "velk-report",
    "[--dir DIR] [--from DATE] [--to DATE] [--cases FILE] [--by GROUP] [--prefix-digits N] "
    "[--format FORMAT] [--db CONNECTION [--site NAME]]",
    "Reports the calls in the record index VELK.db of a VELK base directory, or with --db those\n"
    "every site sent to a PostgreSQL server. Without --by it lists the matching calls with the\n"
    "decoded file's columns (from the server with their site first); with --by it gives per\n"
    "group the calls, answered calls, total_seconds, average_seconds and longest_seconds. To a\n"
    "terminal it writes an aligned table, to a pipe CSV unless --format says otherwise.",
    "  --from DATE      calls that started on DATE (YYYY-MM-DD, the whole day, or YYYY-MM-DD\n"
    "                   hh:mm:ss, that second) or later\n"
    "  --to DATE        calls that started on DATE (the whole day, or that second) or earlier\n"
    "  --cases FILE     calls that meet a case of a cases file saved by the query form\n"
    "  --by GROUP       extension, trunk, call-type, dialled-prefix, hour, day, or site\n"
    "                   (with --db)\n"
    "  --prefix-digits N  digits of a dialled prefix (1 to 24, 3 unless given)\n"
    "  --format FORMAT  table, csv or json\n"
    "  --db CONNECTION  the database server of many sites: a libpq connection string or URI\n"
    "                   (the password from ~/.pgpass or the file of passfile=)\n"
    "  --site NAME      with --db, the calls of that site only\n",
    false};

}  // namespace

int main(int argc, char* argv[]) {
    const velk::CommandLine line = velk::ParseCommandLine(argc, argv);
    if (const auto code = velk::AnswerCommonOptions(line, kHelp, std::cout, std::cerr))
        return *code;
    const auto usage = [](const std::string& what) {
        return velk::UsageError(kHelp, what, std::cerr);
    };
    std::string from, to, casesFile, byName, formatName, db, site;
    bool siteGiven = false, casesGiven = false;
    int prefixDigits = 3;
    const std::vector<std::string>& args = line.arguments;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0)
            return usage("unknown argument '" + a + "'");
        if (a != "--from" && a != "--to" && a != "--cases" && a != "--by" && a != "--format" &&
            a != "--prefix-digits" && a != "--db" && a != "--site")
            return usage("unknown option '" + a + "'");
        if (i + 1 >= args.size())
            return usage(a + " needs a value");
        const std::string& value = args[++i];
        if (value.empty() && a != "--site")
            return usage(a + " needs a value");
        if (a == "--from")
            from = value;
        else if (a == "--to")
            to = value;
        else if (a == "--cases") {
            casesFile = value;
            casesGiven = true;
        } else if (a == "--by")
            byName = value;
        else if (a == "--format")
            formatName = value;
        else if (a == "--db")
            db = value;
        else if (a == "--site") {
            site = value;
            siteGiven = true;
        }
        else {
            prefixDigits = value.size() <= 2 && !value.empty() &&
                                   value.find_first_not_of("0123456789") == std::string::npos
                               ? std::stoi(value)
                               : 0;
            if (prefixDigits < 1 || prefixDigits > 24)
                return usage("--prefix-digits takes 1 to 24");
        }
    }
    const auto by = byName.empty() ? std::nullopt : velk::ReportByNamed(byName);
    if (!byName.empty() && !by)
        return usage("--by takes extension, trunk, call-type, dialled-prefix, hour, day or site");
    if (db.empty() && (siteGiven || byName == "site"))
        return usage("--site and --by site are for the database server: give --db");
    if (siteGiven && site.empty())
        return usage("--site needs a site name");
    auto format = velk::ReportFormatNamed(formatName);
    if (!formatName.empty() && !format)
        return usage("--format takes table, csv or json");
    if (!format)
        format = ::isatty(STDOUT_FILENO) == 1 ? velk::ReportFormat::Table : velk::ReportFormat::Csv;

    std::string why;
    std::optional<velk::CellCondition> start;
    if (!from.empty() || !to.empty()) {
        start = velk::StartBetween(from, to, why);
        if (!start)
            return usage(why);
    }
    std::vector<std::vector<velk::QueryCell>> cases;
    if (casesGiven && !velk::ReadCasesFile(casesFile, cases, why)) {
        std::fprintf(stderr, "velk-report: %s, %s\n", casesFile.c_str(), why.c_str());
        return 2;
    }
    std::vector<velk::CellProblem> problems;
    const velk::CallQuery query = velk::CallQuery::Read(cases, problems);
    for (const velk::CellProblem& p : problems) {
        const velk::QueryCell& cell = cases[static_cast<size_t>(p.caseIndex)][p.cell];
        std::fprintf(stderr, "velk-report: %s, case %d, %s=%s: %s\n", casesFile.c_str(),
                     p.caseIndex + 1,
                     std::string(velk::kFieldNames[static_cast<size_t>(cell.field)]).c_str(),
                     cell.text.c_str(), p.why.c_str());
    }
    if (!problems.empty())
        return 2;

    std::filesystem::path base;
    std::string noBase;
    // The server needs no base directory: one, when there is, gives the decoded file's columns.
    // A reader never makes one: a mistyped name is reported.
    const bool haveBase =
        velk::ChosenBaseDirectory(line.dir, std::getenv("HOME"), base, noBase, false);
    if (!haveBase && db.empty()) {
        std::fprintf(stderr, "velk-report: %s\n", noBase.c_str());
        return 1;
    }
    velk::AppSettings settings;
    if (haveBase)
        velk::SettingsStore(base).ReadIniFile(settings);
    std::unique_ptr<velk::RecordIndex> opened;
    if (db.empty())
        opened = std::make_unique<velk::SqliteRecordIndex>(base / velk::kRecordIndexFile,
                                                           velk::SqliteRecordIndex::Mode::Read);
    else
        opened = std::make_unique<velk::PgRecordIndex>(db, site);
    velk::RecordIndex& index = *opened;
    if (by) {
        const auto groups = velk::ReportTotals(index, *by, prefixDigits, query, start, why);
        if (!groups) {
            std::fprintf(stderr, "velk-report: %s\n", why.c_str());
            return 1;
        }
        std::fputs(velk::FormatGroups(*groups, *format).c_str(), stdout);
        return 0;
    }
    // Calls are written as they are read, so that a list of any length takes no more memory
    // than one call. An aligned table reads them twice: once for the widths of its columns.
    velk::CallListWriter writer(velk::ListedFields(settings), *format, !db.empty());
    const auto fail = [&](const velk::CallsVisited& visited) {
        std::fflush(stdout);
        std::fprintf(stderr, "velk-report: %s\n", visited.error.c_str());
        return 1;
    };
    if (writer.NeedsMeasuring()) {
        const velk::CallsVisited measured =
            velk::EachCall(index, query, start, [&](const velk::IndexRow& row) {
                writer.Measure(velk::CallTexts(row, settings), row.site);
                return true;
            });
        if (!measured.ok)
            return fail(measured);
    }
    std::fputs(writer.Begin().c_str(), stdout);
    const velk::CallsVisited listed =
        velk::EachCall(index, query, start, [&](const velk::IndexRow& row) {
            const std::string call = writer.Call(velk::CallTexts(row, settings), row.site);
            return std::fwrite(call.data(), 1, call.size(), stdout) == call.size();
        });
    if (!listed.ok)
        return fail(listed);
    std::fputs(writer.End().c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "velk-report: the report could not be written\n");
        return 1;
    }
    return 0;
}
