#pragma once

#include <QObject>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "core/foundation/app_settings.h"
#include "core/foundation/clock.h"
#include "core/archive/record_shipper.h"

namespace velk {

class PgRecordServer;

// Sends the record index's rows to the database server of [Database] on a thread of its own, so
// that a slow or absent server never holds up the record pipeline. The thread has its own
// connections to VELK.db and to the server; what it has to say (log lines and the status line)
// comes back to the thread this object lives on.
class DatabaseSender : public QObject {
    Q_OBJECT
public:
    using Report = std::function<void(const std::vector<ShipNote>& notes, const ShipStatus& status)>;

    // Starts sending when the settings name a database (and allow it: no password in the
    // connection, a site name); otherwise says why not, once, and does nothing.
    DatabaseSender(const AppSettings& settings, const std::filesystem::path& database,
                   Report report, RecordShipper::Options options = RecordShipper::Options(),
                   QObject* parent = nullptr);
    ~DatabaseSender() override;

    bool Running() const { return thread_.joinable(); }
    // New rows are in the index: send them now rather than at the next look.
    void Wake();
    // Ends the sending at once, whatever the server does: a statement or a connection attempt
    // under way is abandoned (the server rolls back what it had of a batch), the thread ends.
    void Stop();

private:
    void Run();
    void Publish(std::vector<ShipNote> notes, const ShipStatus& status);

    Report report_;
    SystemClock clock_;
    class Queue;
    std::unique_ptr<Queue> queue_;
    std::unique_ptr<PgRecordServer> server_;
    std::unique_ptr<RecordShipper> shipper_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool woken_ = false;
    std::thread thread_;
    ShipStatus published_;  // on the sending thread only
};

}  // namespace velk
