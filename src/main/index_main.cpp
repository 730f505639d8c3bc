// velk-index rebuild [--dir DIR] [FILE...]: puts the call records of the raw files into the
// record index VELK.db where it lacks them (all of Bill/*.raw when no file is named). A damaged
// database is set aside as VELK.db.damaged and built anew. It can run beside velk or
// velk-collector: a record already in the index is left alone, its transactions are short, and
// the raw files of Bill get the marks the collector reads them on from.
// velk-index check [--dir DIR]: reads the index only (a user who may read the files but not
// write them can run it): whether it reads as sound, and how many calls it holds.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <filesystem>
#include <string>
#include <vector>

#include "core/archive/call_indexer.h"
#include "core/foundation/base_directory.h"
#include "core/foundation/command_line.h"
#include "core/foundation/settings_store.h"
#include "platform/posix_followed_files.h"
#include "platform/sqlite_occurrence_counter.h"
#include "platform/sqlite_record_index.h"

namespace {

const velk::ProgramHelp kHelp = {
    "velk-index", "[--dir DIR] rebuild [FILE...] | check",
    "rebuild puts the call records of raw record files into the record index VELK.db of a VELK\n"
    "base directory where the index lacks them; without FILE, every raw file in Bill. A damaged\n"
    "VELK.db is set aside as VELK.db.damaged and built anew. Records already in the index are\n"
    "left alone, so it can run again, and beside velk or velk-collector.\n"
    "check reads the index without changing it: whether it reads as sound and how many calls it\n"
    "holds (exit code 1 when it cannot be read or is damaged).",
    "",
    false};

// The index read only, as a billing application's user reads it.
int Check(const std::filesystem::path& base) {
    velk::SqliteRecordIndex index(base / velk::kRecordIndexFile,
                                  velk::SqliteRecordIndex::Mode::Read);
    if (!index.Sound()) {
        std::fprintf(stderr, "velk-index: %s\n", index.ErrorText().c_str());
        return 1;
    }
    const int64_t calls = index.Count();
    if (calls < 0) {
        std::fprintf(stderr, "velk-index: %s\n", index.ErrorText().c_str());
        return 1;
    }
    std::printf("%s: sound, %lld calls\n", (base / velk::kRecordIndexFile).c_str(),
                static_cast<long long>(calls));
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    const velk::CommandLine line = velk::ParseCommandLine(argc, argv);
    if (const auto code = velk::AnswerCommonOptions(line, kHelp, std::cout, std::cerr))
        return *code;
    std::vector<std::string> files;
    std::string command;
    bool options = true;
    for (const std::string& a : line.arguments) {
        if (options && a == "--")
            options = false;
        else if (options && a.rfind("--", 0) == 0)
            return velk::UsageError(kHelp, "unknown option '" + a + "'", std::cerr);
        else if (command.empty() && (a == "rebuild" || a == "check"))
            command = a;
        else if (command.empty())
            return velk::UsageError(kHelp, "unknown command '" + a + "'", std::cerr);
        else if (command == "check")
            return velk::UsageError(kHelp, "check takes no files", std::cerr);
        else
            files.push_back(a);
    }
    if (command.empty())
        return velk::UsageError(kHelp, "no command (rebuild or check)", std::cerr);
    // A mistyped directory is reported, not made: there would be nothing in it to index.
    std::filesystem::path base;
    std::string noBase;
    if (!velk::ChosenBaseDirectory(line.dir, std::getenv("HOME"), base, noBase, false)) {
        std::fprintf(stderr, "velk-index: %s\n", noBase.c_str());
        return 1;
    }
    if (command == "check")
        return Check(base);
    velk::AppSettings settings;
    velk::SettingsStore(base).ReadIniFile(settings);
    if (files.empty()) {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(base / "Bill", ec)) {
            if (e.path().extension() == ".raw")
                files.push_back(e.path().string());
        }
        std::sort(files.begin(), files.end());
    }

    const std::filesystem::path db = base / velk::kRecordIndexFile;
    velk::SqliteRecordIndex index(db, velk::SqliteRecordIndex::Mode::Write);
    // A collector's transactions are short; a reader's search may take a while.
    index.SetBusyTimeout(60000);
    std::error_code ec;
    if (std::filesystem::exists(db, ec) && !index.Sound()) {
        if (!index.Damaged()) {
            std::fprintf(stderr, "velk-index: %s\n", index.ErrorText().c_str());
            return 1;
        }
        const std::string damage = index.ErrorText();
        std::string where;
        if (!index.SetAside(where)) {
            std::fprintf(stderr, "velk-index: %s; %s\n", damage.c_str(), index.ErrorText().c_str());
            return 1;
        }
        std::fprintf(stderr, "velk-index: %s; it is set aside as %s and built anew\n",
                     damage.c_str(), where.c_str());
    }
    // Years of records in one go: a page cache that holds the indexes' working part.
    if (!index.Execute("PRAGMA cache_size=-262144")) {
        std::fprintf(stderr, "velk-index: %s\n", index.ErrorText().c_str());
        return 1;
    }

    velk::SystemClock clock;
    std::string failure;
    velk::CallIndexer indexer(settings, clock, &index, nullptr,
                              [&failure](const std::string&, const std::string& detail) {
                                  failure = detail;
                              });
    // Identical records of a file that can hold years of them are counted on the disk.
    velk::SqliteOccurrenceCounter counter;
    indexer.SetCounter(&counter);
    // The raw files of Bill get their marks: a collector reads them on from there.
    const std::filesystem::path billDir = velk::OutputDirectories::Under(base).bill;
    velk::PosixFollowedFiles bill(billDir, ".raw"), elsewhere;
    const std::filesystem::path billPath = std::filesystem::weakly_canonical(billDir, ec);
    int exitCode = 0;
    uint64_t read = 0, added = 0;
    bool setAside = false;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& file = files[i];
        const std::filesystem::path path(file);
        const bool followed =
            std::filesystem::weakly_canonical(path, ec).parent_path() == billPath;
        velk::CheckCount count;
        const bool checked =
            followed ? indexer.Check(bill, path.filename().string(), true, count)
                     : indexer.Check(elsewhere, file, false, count);
        if (!count.error.empty()) {
            std::fprintf(stderr, "velk-index: %s: %s\n", file.c_str(), count.error.c_str());
            return 1;
        }
        if (!checked) {
            // Damage met on the way: the database was set aside, and every file goes in again.
            if (!indexer.Failing() && !setAside) {
                std::fprintf(stderr, "velk-index: %s\n", failure.c_str());
                setAside = true;
                i = static_cast<size_t>(-1);
                read = added = 0;
                continue;
            }
            std::fprintf(stderr, "velk-index: %s\n", failure.c_str());
            return 1;
        }
        if (count.readFailed) {
            std::fprintf(stderr, "%s: cannot be read\n", file.c_str());
            exitCode = 1;
            continue;
        }
        read += count.callRecords;
        added += count.added;
        std::printf("%s: %llu call records, %llu added to the index, %llu were there%s\n",
                    file.c_str(), static_cast<unsigned long long>(count.callRecords),
                    static_cast<unsigned long long>(count.added),
                    static_cast<unsigned long long>(count.callRecords - count.added),
                    count.badChecks > 0 ? (", " + std::to_string(count.badChecks) +
                                           " messages with a wrong check left out")
                                              .c_str()
                                        : "");
    }
    std::printf("%zu raw files, %llu call records, %llu added; the index holds %lld\n",
                files.size(), static_cast<unsigned long long>(read),
                static_cast<unsigned long long>(added), static_cast<long long>(index.Count()));
    return exitCode;
}
