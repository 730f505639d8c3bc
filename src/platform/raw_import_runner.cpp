#include "platform/raw_import_runner.h"

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace velk {

FileImportSource::FileImportSource(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    // Without waiting, should a pipe have taken the file's place meanwhile.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
        length_ = static_cast<uint64_t>(st.st_size);
    } else if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

FileImportSource::~FileImportSource() {
    if (fd_ >= 0)
        ::close(fd_);
}

size_t FileImportSource::Read(uint8_t* to, size_t n) {
    for (;;) {
        const ssize_t r = ::read(fd_, to, n);
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0 ? static_cast<size_t>(r) : 0;
    }
}

namespace {

// The worker's side: messages and failed checks go to the main thread and wait there.
class RunnerSink : public ImportSink {
public:
    RunnerSink(RawImportRunner& runner, const RawImportRunner::Deliver& message,
               const std::function<void()>& badCheck, std::atomic<bool>& cancel, int pauseMs,
               StoredRecords* leaveOut)
        : runner_(runner),
          message_(message),
          badCheck_(badCheck),
          cancel_(cancel),
          pauseMs_(pauseMs),
          leaveOut_(leaveOut) {}

    bool Skip(const uint8_t* frame, uint32_t length) override {
        storedIn_.clear();
        if (leaveOut_ == nullptr)
            return false;
        StoredRecords::Found found = leaveOut_->TakeStored(frame, length);
        storedIn_ = std::move(found.files);
        return found.everywhere;
    }
    void Message(const uint8_t* frame, uint32_t length) override {
        QMetaObject::invokeMethod(
            &runner_, [this, frame, length] { message_(frame, length, storedIn_); },
            Qt::BlockingQueuedConnection);
    }
    void BadCheck() override {
        QMetaObject::invokeMethod(
            &runner_, [this] { badCheck_(); }, Qt::BlockingQueuedConnection);
    }
    void Progress(uint32_t percent) override {
        if (percent != lastPercent_) {
            lastPercent_ = percent;
            emit runner_.Progress(percent);
        }
    }
    void Imported(uint64_t count) override { emit runner_.Imported(count); }
    void Pause() override {
        if (pauseMs_ <= 0)
            return;
        // At most one message per pause: the time the message took counts towards it.
        const auto now = std::chrono::steady_clock::now();
        next_ = std::max(next_ + std::chrono::milliseconds(pauseMs_), now);
        std::this_thread::sleep_until(next_);
    }
    bool Cancelled() override { return cancel_; }

private:
    RawImportRunner& runner_;
    const RawImportRunner::Deliver& message_;
    const std::function<void()>& badCheck_;
    std::atomic<bool>& cancel_;
    int pauseMs_;
    StoredRecords* leaveOut_;
    std::vector<std::filesystem::path> storedIn_;  // of the message Skip was asked about last
    uint32_t lastPercent_ = 101;
    std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now();
};

}  // namespace

RawImportRunner::RawImportRunner(Deliver message, std::function<void()> badCheck, QObject* parent)
    : QObject(parent), message_(std::move(message)), badCheck_(std::move(badCheck)) {
    qRegisterMetaType<velk::ImportResult>();
}

void RawImportRunner::CheckStoredRecords(const AppSettings* settings, OutputDirectories dirs,
                                         AskStoreAgain ask) {
    settings_ = settings;
    dirs_ = std::move(dirs);
    ask_ = std::move(ask);
}

RawImportRunner::~RawImportRunner() {
    Cancel();
    Wait();
}

bool RawImportRunner::Start(const std::string& path, bool otherProgram, int pauseMs) {
    if (Running())
        return false;
    auto source = std::make_shared<FileImportSource>(path);
    if (!source->Ok())
        return false;
    cancel_ = false;
    std::shared_ptr<StoredRecords> stored;
    if (settings_ != nullptr)
        stored = std::make_shared<StoredRecords>(*settings_, dirs_);
    thread_.reset(QThread::create([this, path, source, otherProgram, pauseMs, stored] {
        ImportResult result;
        try {
            result = Import(path, *source, otherProgram, pauseMs, stored.get());
        } catch (const std::exception&) {
            result.end = ImportEnd::NoMemory;  // what was stored stays, each record whole
        }
        QMetaObject::invokeMethod(
            this,
            [this, result] {
                Wait();
                emit Finished(result);
            },
            Qt::QueuedConnection);
    }));
    thread_->setObjectName(QStringLiteral("velk import"));
    thread_->start();
    return true;
}

ImportResult RawImportRunner::Import(const std::string& path, ImportSource& source,
                                     bool otherProgram, int pauseMs, StoredRecords* stored) {
    ImportResult cancelled;
    cancelled.end = ImportEnd::Cancelled;
    StoredRecords* leaveOut = nullptr;
    if (stored != nullptr && stored->Comparable()) {
        FileImportSource first(path);
        const ImportSurvey found =
            SurveyImport(first, otherProgram, *stored, [this] { return cancel_.load(); });
        if (found.cancelled || cancel_)
            return cancelled;
        bool again = true;
        if (found.alreadyStored > 0) {
            // Asked on the main thread, unless the import was called off meanwhile (the window
            // may be closing and waiting for this thread).
            QMetaObject::invokeMethod(
                this,
                [this, &again, found] {
                    again = cancel_ || ask_(found.alreadyStored, found.callRecords);
                },
                Qt::BlockingQueuedConnection);
        }
        if (cancel_)
            return cancelled;  // nothing stored
        leaveOut = again ? nullptr : stored;
    }
    RunnerSink sink(*this, message_, badCheck_, cancel_, pauseMs, leaveOut);
    return RunRawImport(source, sink, otherProgram);
}

void RawImportRunner::Wait() {
    if (thread_ == nullptr)
        return;
    // The worker may be waiting for this thread to store a message.
    while (!thread_->wait(10))
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    thread_.reset();
}

}  // namespace velk
