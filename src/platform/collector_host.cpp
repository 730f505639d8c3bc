#include "platform/collector_host.h"

#include <QSysInfo>

#include "core/foundation/database_settings.h"

namespace velk {

CollectorHost::CollectorHost(AppSettings& settings, const std::filesystem::path& baseDirectory,
                             OperatorPrompt& prompt, LastCallsRing& ring)
    : index_(baseDirectory / kRecordIndexFile, SqliteRecordIndex::Mode::Write),
      rawFiles_(OutputDirectories::Under(baseDirectory).bill, ".raw"),
      timers_([this](int id) { collector_.OnTimer(id); }),
      collector_(settings, baseDirectory, prompt, clock_, timers_, ring, files_),
      socket_(collector_.Protocol(), collector_.LinkEvents(), settings,
              [this] { collector_.OnPeerClosed(); }),
      serial_(collector_.Protocol(), collector_.LinkEvents(), settings, prompt,
              [this] { collector_.OnPeerClosed(); }),
      disk_(
          settings,
          [this](uint32_t firstSlot, const std::vector<BillingRecord>& records) {
              return collector_.DeliverFromDiskBuffer(firstSlot, records);
          },
          [this](QueueNotice kind, const std::string& text) {
              collector_.DiskBufferNotice(kind, text);
          }),
      sender_(settings, baseDirectory / kRecordIndexFile,
              [this](const std::vector<ShipNote>& notes, const ShipStatus& status) {
                  collector_.DatabaseReport(notes, status);
              }),
      alerts_(settings,
              AlertOrigin{DatabaseSiteName(settings),
                          QSysInfo::machineHostName().toStdString(), baseDirectory.string()},
              [this](const std::vector<AlertNote>& notes) { collector_.AlertReport(notes); }) {
    collector_.SetChannels(&socket_, &serial_);
    collector_.SetDiskBuffer(&disk_);
    collector_.SetRecordIndex(&index_, &rawFiles_);
    if (alerts_.Running())
        collector_.SetAlertSink([this](const Alert& alert) { alerts_.Submit(alert); });
    if (sender_.Running())
        collector_.Indexer().SetEntered([this](uint64_t) { sender_.Wake(); });
}

}  // namespace velk
