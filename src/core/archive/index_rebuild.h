#pragma once

#include <cstdint>
#include <string>

#include "core/analysis/raw_import.h"
#include "core/decode/field_decoder.h"
#include "core/foundation/app_settings.h"
#include "core/archive/call_indexer.h"

namespace velk {

// What one raw file gave the index.
struct RebuildCount {
    uint64_t callRecords = 0;  // call records read
    uint64_t added = 0;        // of them put into the index
    uint64_t badCheck = 0;     // messages whose check failed (left out)
    uint64_t others = 0;       // messages of other types
    ImportEnd end = ImportEnd::Completed;
};

// Puts the call records of raw files into the index where it lacks them: the raw files are the
// record, so an index that missed records (a failure, a damaged database, a site that had none)
// gets them back. The n-th identical record of a file (the same call imported twice) is looked
// for as the n-th in the index; a record already there is left alone, so a rebuild can run again
// and beside a running collector.
class IndexRebuild {
public:
    IndexRebuild(const AppSettings& settings, CallIndexer& indexer)
        : settings_(settings), indexer_(indexer), decoder_(settings) {}

    RebuildCount File(ImportSource& source);

private:
    const AppSettings& settings_;
    CallIndexer& indexer_;
    FieldDecoder decoder_;
};

}  // namespace velk
