#include "platform/database_sender.h"

#include <sys/stat.h>

#include <cerrno>

#include "core/foundation/database_settings.h"
#include "platform/pq_connection_reader.h"
#include "platform/pg_record_server.h"
#include "platform/sqlite_record_index.h"

namespace velk {

// The queue is the record index itself, read through a connection of the sending thread. A
// rebuild may put a new VELK.db in place of the one open, or it may be deleted and made anew: the
// connection notices (by device and inode) and opens the one there now, which is then said to be
// another.
class DatabaseSender::Queue : public ShipQueue {
public:
    explicit Queue(std::filesystem::path file)
        : file_(file),
          index_(file, SqliteRecordIndex::Mode::Read),
          marks_(std::move(file), SqliteRecordIndex::Mode::Write) {}
    int64_t LastId() override {
        struct stat now {};
        // No index yet: nothing has been stored, nothing waits.
        if (::stat(file_.c_str(), &now) != 0)
            return errno == ENOENT ? 0 : -1;
        return index_.LastId();
    }
    bool ReadAfter(int64_t id, size_t most, std::vector<IndexRow>& rows) override {
        return index_.After(id, most, rows);
    }
    std::string ErrorText() const override { return index_.ErrorText(); }
    bool Replaced() override { return index_.Renewed(); }
    bool LocalMark(const std::string& site, ShipMark& mark) override {
        return index_.ServerMark(site, mark.throughId, mark.fingerprint);
    }
    void KeepMark(const std::string& site, const ShipMark& mark) override {
        // Only for the counts of a later start: a mark not kept costs nothing else.
        marks_.SetServerMark(site, mark.throughId, mark.fingerprint);
    }

private:
    std::filesystem::path file_;
    SqliteRecordIndex index_;
    // The rows are read read only; the server's mark is written through a connection of its own.
    SqliteRecordIndex marks_;
};

DatabaseSender::DatabaseSender(const AppSettings& settings, const std::filesystem::path& database,
                               Report report, RecordShipper::Options options, QObject* parent)
    : QObject(parent), report_(std::move(report)) {
    if (settings.Database_Connection.empty())
        return;
    const std::string refusal = DatabaseSettingsRefusal(settings, PqConnectionReader());
    if (!refusal.empty()) {
        ShipStatus status;
        status.line = "Database: " + refusal.substr(0, refusal.find(':'));
        Publish({{"Database", refusal}}, status);
        return;
    }
    queue_ = std::make_unique<Queue>(database);
    server_ = std::make_unique<PgRecordServer>(settings.Database_Connection);
    server_->SetTimeout(settings.Database_Timeout);
    shipper_ = std::make_unique<RecordShipper>(DatabaseSiteName(settings),
                                               settings.Server_Port_index, *queue_, *server_,
                                               clock_, options);
    thread_ = std::thread([this] { Run(); });
}

DatabaseSender::~DatabaseSender() {
    Stop();
}

void DatabaseSender::Wake() {
    std::lock_guard<std::mutex> hold(lock_);
    woken_ = true;
    changed_.notify_one();
}

void DatabaseSender::Stop() {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
        changed_.notify_one();
    }
    // Whatever the server does (nothing at all, when its processes are stopped), the thread
    // stops waiting for it now.
    server_->Interrupt();
    thread_.join();
}

void DatabaseSender::Run() {
    std::unique_lock<std::mutex> hold(lock_);
    while (!stopping_) {
        woken_ = false;
        hold.unlock();
        const int64_t wait = shipper_->Step();
        Publish(shipper_->TakeNotes(), shipper_->Status());
        // While the server is in trouble new rows do not bring the next attempt forward.
        const bool troubled = shipper_->Status().troubleSince != 0;
        hold.lock();
        if (wait > 0) {
            changed_.wait_for(hold, std::chrono::milliseconds(wait),
                              [&] { return stopping_ || (woken_ && !troubled); });
        }
    }
    hold.unlock();
    server_->Close();
}

void DatabaseSender::Publish(std::vector<ShipNote> notes, const ShipStatus& status) {
    if (notes.empty() && status == published_)
        return;
    published_ = status;
    QMetaObject::invokeMethod(
        this, [this, notes = std::move(notes), status] { report_(notes, status); },
        Qt::QueuedConnection);
}

}  // namespace velk
