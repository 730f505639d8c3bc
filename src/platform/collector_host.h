#pragma once

#include <filesystem>

#include "core/app/collector.h"
#include "platform/alert_sender.h"
#include "platform/database_sender.h"
#include "platform/disk_buffer_reader.h"
#include "platform/posix_file_store.h"
#include "platform/posix_followed_files.h"
#include "platform/qt_timer_host.h"
#include "platform/serial_channel.h"
#include "platform/sqlite_record_index.h"
#include "platform/tcp_channel.h"

namespace velk {

// The collector as the programs run it: the machine's clock and files, timers on the Qt event
// loop, the TCP channel, the serial channel, the hard-disk buffer, the record index VELK.db (a view
// of the raw files of Bill) and, when [Database] names one, the sender of its rows to the
// database server; and the alerts of [Alerts], delivered on a thread of their own.
class CollectorHost {
public:
    CollectorHost(AppSettings& settings, const std::filesystem::path& baseDirectory,
                  OperatorPrompt& prompt, LastCallsRing& ring);
    Collector& Get() { return collector_; }

private:
    SystemClock clock_;
    PosixFileStore files_;
    SqliteRecordIndex index_;
    PosixFollowedFiles rawFiles_;
    QtTimerHost timers_;
    Collector collector_;
    MyCSocket socket_;
    SerialPort serial_;
    DiskBufferReader disk_;
    DatabaseSender sender_;
    AlertSender alerts_;
};

}  // namespace velk
