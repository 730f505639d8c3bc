#pragma once

#include <QObject>
#include <QThread>
#include <atomic>
#include <functional>
#include <filesystem>
#include <memory>
#include <vector>
#include <string>

#include "core/analysis/raw_import.h"
#include "core/archive/stored_records.h"

namespace velk {

// A raw file read from its start, in chunks. Only a regular file is opened: a pipe or a device
// would hold the reader for ever (or give no end).
class FileImportSource : public ImportSource {
public:
    explicit FileImportSource(const std::string& path);
    ~FileImportSource() override;
    FileImportSource(const FileImportSource&) = delete;
    FileImportSource& operator=(const FileImportSource&) = delete;

    bool Ok() const { return fd_ >= 0; }
    uint64_t Length() const override { return length_; }
    size_t Read(uint8_t* to, size_t n) override;

private:
    int fd_ = -1;
    uint64_t length_ = 0;
};

// Runs an import on a worker thread of its own. Messages are assembled in the import's own area
// and handed to the thread this object lives on (the main thread) one at a time, blocking until
// they were stored; the progress and the counts reach it as signals. A pause of 5 ms per message
// keeps the window responsive.
class RawImportRunner : public QObject {
    Q_OBJECT
public:
    // A message to store; storedIn: the files it stands in already (a run stopped before),
    // which it is not to be stored into again.
    using Deliver = std::function<void(const uint8_t* frame, uint32_t length,
                                       const std::vector<std::filesystem::path>& storedIn)>;
    // Asked on this object's thread when call records of the file stand in the record files
    // already: true stores them again, false leaves them out.
    using AskStoreAgain = std::function<bool(uint64_t alreadyStored, uint64_t callRecords)>;

    RawImportRunner(Deliver message, std::function<void()> badCheck, QObject* parent = nullptr);
    ~RawImportRunner() override;

    // Before an import stores anything, its call records are looked up in the record files that
    // these settings keep (the settings are copied at each start).
    void CheckStoredRecords(const AppSettings* settings, OutputDirectories dirs, AskStoreAgain ask);

    // False when the file cannot be opened (nothing starts).
    bool Start(const std::string& path, bool otherProgram, int pauseMs = 5);
    void Cancel() { cancel_ = true; }
    bool Running() const { return thread_ != nullptr; }
    // Waits for the worker (events keep being handled meanwhile).
    void Wait();

signals:
    void Progress(uint32_t percent);
    void Imported(quint64 count);
    void Finished(velk::ImportResult result);

private:
    // On the worker: the records already stored looked up (and the operator asked), then the
    // import.
    ImportResult Import(const std::string& path, ImportSource& source, bool otherProgram,
                        int pauseMs, StoredRecords* stored);

    Deliver message_;
    std::function<void()> badCheck_;
    const AppSettings* settings_ = nullptr;
    OutputDirectories dirs_;
    AskStoreAgain ask_;
    std::unique_ptr<QThread> thread_;
    std::atomic<bool> cancel_{false};
};

}  // namespace velk

Q_DECLARE_METATYPE(velk::ImportResult)
