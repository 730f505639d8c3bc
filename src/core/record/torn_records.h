#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundation/app_settings.h"
#include "core/foundation/base_directory.h"
#include "core/record/call_recorder.h"
#include "core/record/file_store.h"

namespace velk {

// How a record file's end stands: where its last whole record ends (its size when the end is
// whole), or Unknown when the file does not read as the settings write records (another profile
// wrote it): such a file is left as it is.
struct RecordFileEnd {
    static constexpr uint64_t kUnknown = ~uint64_t{0};
    uint64_t wholeUpTo = kUnknown;
};

// The end of a raw file's content: records are [STX] body [ETX] [EOT] [CR] [LF] as the settings
// say, the body three length digits and L + 2 bytes in all; they are counted from the start.
RecordFileEnd RawRecordsEnd(std::string_view content, const AppSettings& settings);
// The end of a line file's content (decoded files, traffic files): just past its last line end.
RecordFileEnd LinesEnd(std::string_view content);

// A program killed inside an append can leave part of a record at a file's end. Before anything
// is appended, every record file (Bill and Bill_Backup, the buffer in-files, the traffic files)
// whose end is not a whole record is cut back to its last whole record, and each cut is reported
// ("Cut back" and the details). Returns the files cut.
std::vector<std::filesystem::path> CutTornRecords(FileStore& files, const AppSettings& settings,
                                                  const OutputDirectories& dirs,
                                                  const FileProblemReport& report);

}  // namespace velk
