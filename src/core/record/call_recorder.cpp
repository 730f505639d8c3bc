#include "core/record/call_recorder.h"

#include "core/decode/field_names.h"

namespace velk {
namespace {

int SeparatorDigit(char c) {
    if (c >= '1' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return 0;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

void AppendOnOneLine(std::string& line, std::string_view text) {
    // A billing application reads one record per line: a line break inside a field would split
    // the record in two. The raw files keep the bytes as received.
    for (char c : text)
        line += (c == '\r' || c == '\n') ? ' ' : c;
}

char SeparatorByte(const std::string& code) {
    const int hi = code.size() > 0 ? SeparatorDigit(code[0]) : 0;
    const int lo = code.size() > 1 ? SeparatorDigit(code[1]) : 0;
    return static_cast<char>(hi * 16 + lo);
}

std::string BaseName(const std::string& t) {
    if (t.size() < 10)
        return "BAD_DATE";
    for (size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u}) {
        if (!IsDigit(t[i]))
            return "BAD_DATE";
    }
    return t.substr(0, 4) + t.substr(5, 2) + t.substr(8, 2);
}

std::string RawRecord(const BillingMessage& m, const AppSettings& s) {
    // Recorders take any value other than 0 of these flags as yes.
    std::string r;
    r.reserve(m.Length() + 7);
    if (s.APP_STX != 0)
        r += '\x02';
    r.append(reinterpret_cast<const char*>(m.Data()) + 1, m.Length() + 2);
    if (s.APP_ETX != 0)
        r += '\x03';
    if (s.APP_EOT != 0)
        r += '\x04';
    if (s.APP_CR != 0)
        r += '\r';
    if (s.APP_LF != 0)
        r += '\n';
    return r;
}

bool AppendReported(FileStore& files, const std::filesystem::path& path, std::string_view bytes,
                    const FileProblemReport& report, const FileStore::Header& header) {
    switch (files.Append(path, bytes, header)) {
        case AppendResult::Written:
            return true;
        case AppendResult::CannotOpen:
            return false;
        case AppendResult::Failed:
            // A write the disk refused (full) is the store's to hold and write again: the
            // record is not given up, and the collector raises one alarm for all of them.
            return false;
        case AppendResult::Busy:
            break;
    }
    if (report)
        report("Not written", path.string() + ": " + files.ErrorText() +
                                  "; this record is missing from this file");
    return false;
}

bool CallRecorder::Append(const std::filesystem::path& path, std::string_view bytes,
                          const FileStore::Header& header) {
    return AppendReported(files_, path, bytes, report_, header);
}

CallRecorder::CallRecorder(const AppSettings& settings, FileStore& files,
                           const OutputDirectories& dirs)
    : settings_(settings), files_(files), dirs_(dirs), decoder_(settings) {}

// One line of the written columns in column order, the separator before every column but the
// first (also when the first is not written), then CR LF. columnText appends a column's text.
template <typename ColumnText>
std::string ColumnLine(const AppSettings& s, ColumnText&& columnText) {
    const char sep = SeparatorByte(s.Distributor_ASCII_Code);
    std::string line;
    for (int k = 1; k <= kSavedColumnCount; ++k) {
        if (s.f[static_cast<size_t>(k - 1)] != 1)
            continue;
        if (k > 1)
            line += sep;
        columnText(s.SaveInd[static_cast<size_t>(k - 1)], line);
    }
    return line + "\r\n";
}

std::string MakeDecodedLine(const AppSettings& settings, FieldDecoder& decoder,
                            const BillingMessage& message) {
    const RecordBase base = RecordBase::FromHexType(settings.Hex_Type);
    std::string text;
    return ColumnLine(settings, [&](int32_t field, std::string& line) {
        if (field < 0 || field >= 50)
            return;  // "Empty", or an index no list offers
        decoder.DecodeField(field, message, base, text);
        AppendOnOneLine(line, text);
    });
}

std::string CallRecorder::DecodedLine(const BillingMessage& message) {
    return MakeDecodedLine(settings_, decoder_, message);
}

std::string RawFileName(const AppSettings& settings, const std::string& baseName) {
    return (settings.RawSaveDaily == 1 ? baseName : "cs1000") + ".raw";
}

std::string DecodedFileName(const AppSettings& settings, const std::string& baseName) {
    return (baseName + "." + settings.File_Extension).substr(0, 12);
}

std::string DecodedFileLine(const AppSettings& settings, const std::array<std::string, 50>& fields) {
    return ColumnLine(settings, [&](int32_t field, std::string& line) {
        if (field >= 0 && field < 50)
            AppendOnOneLine(line, fields[static_cast<size_t>(field)]);
    });
}

std::string DecodedFileHeader(const AppSettings& settings) {
    return ColumnLine(settings, [](int32_t field, std::string& line) {
        // A hand-edited index outside the list is headed like an empty column.
        line += kFieldNames[field >= 0 && field <= 50 ? static_cast<size_t>(field) : 50];
    });
}

std::string CallRecorder::DecodedLine(const LastCallsRing::Record& fields) const {
    return DecodedFileLine(settings_, fields);
}

std::string CallRecorder::HeaderLine() const {
    return DecodedFileHeader(settings_);
}

bool CallRecorder::SaveLine(const std::string& line, const std::filesystem::path& path,
                            bool makeHeader) {
    // The line is built whole in memory, however long, and written with one write; a new file
    // gets the header in the same write.
    if (!makeHeader)
        return Append(path, line);
    return Append(path, line, [this] { return HeaderLine(); });
}

bool CallRecorder::SaveCall_inDir(const BillingMessage& message, const std::filesystem::path& path,
                                  bool makeHeader) {
    return SaveLine(DecodedLine(message), path, makeHeader);
}

bool CallRecorder::SaveCallWith(const std::filesystem::path& dir, const std::string& base,
                                const std::string& raw, const std::string& line) {
    bool written = false;
    if (settings_.RawSave == 1)
        written = Append(dir / RawFileName(settings_, base), raw);
    if (settings_.SaveToFile == 1) {
        const bool decoded =
            SaveLine(line, dir / DecodedFileName(settings_, base), settings_.MakeHeader == 1);
        written = written || decoded;
    }
    return written;
}

bool CallRecorder::SaveCall(const BillingMessage& message, const std::filesystem::path& dir) {
    decoder_.DecodeField(4, message, RecordBase::FromHexType(settings_.Hex_Type), field_);
    SaveCallWith(dir, BaseName(field_),
                 settings_.RawSave == 1 ? RawRecord(message, settings_) : std::string(),
                 settings_.SaveToFile == 1 ? DecodedLine(message) : std::string());
    return true;
}

bool CallRecorder::SaveCall_Buffers(const BillingMessage& message) {
    if (settings_.DoBufferPacked != 0)
        Append(dirs_.buffers / "buffer_in.raw", RawRecord(message, settings_));
    if (settings_.DoBufferDecoded != 0)
        SaveCall_inDir(message, dirs_.buffers / "buffer_in.csv", false);
    return true;
}

bool CallRecorder::HandOff(const std::string& in, const std::filesystem::path& out, int& failures) {
    const auto inPath = dirs_.buffers / in;
    // The out-file belongs to the pick-up program until it takes it away.
    if (files_.Exists(out))
        return false;
    if (!files_.Exists(inPath))
        return false;
    if (!files_.NobodyWriting(inPath))
        return false;
    if (beforeHandOff_ && !beforeHandOff_(inPath))
        return false;
    const std::string what = inPath.string() + " -> " + out.string();
    if (!files_.MoveNoReplace(inPath, out)) {
        // A move that keeps failing is reported at once and then once an hour of attempts; the
        // records stay in the in-file meanwhile.
        if (failures++ % 60 == 0 && report_) {
            report_("Buffer hand-off", what + ": " + files_.ErrorText() + " (" +
                                           std::to_string(failures) +
                                           " failed); the records stay in the in-file");
        }
        return false;
    }
    if (failures > 0 && report_)
        report_("Buffer hand-off",
                what + ": works again after " + std::to_string(failures) + " failed");
    failures = 0;
    if (afterHandOff_)
        afterHandOff_(inPath);
    return true;
}

void CallRecorder::DropDoubledInFiles() {
    const std::pair<std::filesystem::path, std::filesystem::path> pairs[] = {
        {dirs_.buffers / "buffer_in.raw", settings_.DoBufferPackedToOut != 0
                                              ? dirs_.buffersRaw / "buffer_out.raw"
                                              : dirs_.buffers / "buffer_out.raw"},
        {dirs_.buffers / "buffer_in.csv", settings_.DoBufferDecodedToOut != 0
                                              ? dirs_.buffersCsv / "buffer_out.csv"
                                              : dirs_.buffers / "buffer_out.csv"}};
    for (const auto& [in, out] : pairs) {
        if (!files_.SameFile(in, out))
            continue;
        const bool removed = files_.RemoveName(in);
        if (report_) {
            report_("Buffer hand-off",
                    in.string() + " and " + out.string() +
                        " are one file (a hand-off stopped between its link and its unlink): " +
                        (removed ? "the in-file's name is removed, the records stay in the "
                                   "out-file once"
                                 : "the in-file's name cannot be removed (" + files_.ErrorText() +
                                       ")"));
        }
    }
}

bool CallRecorder::StoresRecords() const {
    return settings_.RawSave == 1 || settings_.SaveToFile == 1 || settings_.DoBufferPacked != 0 ||
           settings_.DoBufferDecoded != 0;
}

int CallRecorder::HandOffFailures(const std::string& in) const {
    return in == "buffer_in.raw" ? rawHandOffFailures_ : decodedHandOffFailures_;
}

bool CallRecorder::BuffersOnTimer() {
    bool result = false;
    if (settings_.DoBufferPacked != 0) {
        result = HandOff("buffer_in.raw",
                         settings_.DoBufferPackedToOut != 0 ? dirs_.buffersRaw / "buffer_out.raw"
                                                            : dirs_.buffers / "buffer_out.raw",
                         rawHandOffFailures_);
    }
    if (settings_.DoBufferDecoded != 0) {
        result = HandOff("buffer_in.csv",
                         settings_.DoBufferDecodedToOut != 0 ? dirs_.buffersCsv / "buffer_out.csv"
                                                             : dirs_.buffers / "buffer_out.csv",
                         decodedHandOffFailures_);
    }
    return result;
}

bool CallRecorder::SaveCall_All(const BillingMessage& message) {
    decoder_.DecodeField(4, message, RecordBase::FromHexType(settings_.Hex_Type), field_);
    return SaveAll(message, BaseName(field_), [&] { return DecodedLine(message); });
}

bool CallRecorder::SaveDecoded(const BillingMessage& message, const LastCallsRing::Record& fields) {
    return SaveAll(message, BaseName(fields[4]), [&] { return DecodedLine(fields); });
}

bool CallRecorder::SaveAll(const BillingMessage& message, const std::string& base,
                           const std::function<std::string()>& decodedLine) {
    // The raw record and the decoded line are made once and go into every file of the record.
    const bool raw = settings_.RawSave == 1 || settings_.DoBufferPacked != 0;
    const bool decoded = settings_.SaveToFile == 1 || settings_.DoBufferDecoded != 0;
    const std::string rawRecord = raw ? RawRecord(message, settings_) : std::string();
    const std::string line = decoded ? decodedLine() : std::string();
    bool written = SaveCallWith(dirs_.bill, base, rawRecord, line);
    written = SaveCallWith(dirs_.billBackup, base, rawRecord, line) || written;
    if (settings_.DoBufferPacked != 0)
        written = Append(dirs_.buffers / "buffer_in.raw", rawRecord) || written;
    if (settings_.DoBufferDecoded != 0)
        written = SaveLine(line, dirs_.buffers / "buffer_in.csv", false) || written;
    recordsWritten_ += written ? 1 : 0;
    savedSinceHandOff_ = true;
    if (!handOffWaits_)
        HandOffAfterRecord();
    return true;
}

void CallRecorder::HandOffAfterRecord() {
    if (!savedSinceHandOff_)
        return;
    savedSinceHandOff_ = false;
    if (BuffersOnTimer() && restart_)
        restart_();
}

}  // namespace velk
