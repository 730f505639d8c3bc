#pragma once

#include <QObject>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "core/analysis/raw_import.h"

namespace velk {

// A raw file read from its start, in chunks.
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
    using Deliver = std::function<void(const uint8_t* frame, uint32_t length)>;

    RawImportRunner(Deliver message, std::function<void()> badCheck, QObject* parent = nullptr);
    ~RawImportRunner() override;

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
    Deliver message_;
    std::function<void()> badCheck_;
    std::unique_ptr<QThread> thread_;
    std::atomic<bool> cancel_{false};
};

}  // namespace velk

Q_DECLARE_METATYPE(velk::ImportResult)
