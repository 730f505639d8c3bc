#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/analysis/raw_import.h"
#include "core/decode/field_decoder.h"
#include "core/foundation/app_settings.h"
#include "core/archive/call_indexer.h"

namespace velk {

// Counts the identical message bodies of one file. A rebuild asks for every record of a file
// that can hold years of them, so a counter for such files keeps its counts outside memory.
class OccurrenceCounter {
public:
    virtual ~OccurrenceCounter() = default;
    // Forgets every body: a new file begins.
    virtual void Clear() = 0;
    // How many times `body` came since Clear (0 the first time); it is counted for the next
    // time. -1 when the counts cannot be kept (ErrorText says why).
    virtual int64_t Next(std::string_view body) = 0;
    virtual std::string ErrorText() const { return {}; }
};

// What one raw file gave the index.
struct RebuildCount {
    uint64_t callRecords = 0;  // call records read
    uint64_t added = 0;        // of them put into the index
    uint64_t badCheck = 0;     // messages whose check failed (left out)
    uint64_t others = 0;       // messages of other types
    ImportEnd end = ImportEnd::Completed;
    std::string error;  // why the file was not read to its end
};

// Puts the call records of raw files into the index where it lacks them: the raw files are the
// record, so an index that missed records (a failure, a damaged database, a site that had none)
// gets them back. The n-th identical record of a file (the same call imported twice) is looked
// for as the n-th in the index; a record already there is left alone, so a rebuild can run again
// and beside a running collector. The files are read as VELK stores them.
class IndexRebuild {
public:
    IndexRebuild(const AppSettings& settings, CallIndexer& indexer, OccurrenceCounter& counter)
        : settings_(settings), indexer_(indexer), counter_(counter), decoder_(settings) {}

    RebuildCount File(ImportSource& source);

private:
    const AppSettings& settings_;
    CallIndexer& indexer_;
    OccurrenceCounter& counter_;
    FieldDecoder decoder_;
};

}  // namespace velk
