#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "core/app/alarm_board.h"
#include "core/app/collector_state.h"
#include "core/archive/record_shipper.h"
#include "core/foundation/clock.h"
#include "core/record/file_store.h"

namespace velk {

// Keeps the collector's state (CollectorState) up to date from its events and publishes it in
// kCollectorStateFile in the base directory for programs that read it (the web console).
//
// Publish is called every second: the file is replaced when its content changed, at most once a
// second, and at least once a minute (its "written" time tells a reader the collector still
// runs). A write that fails is tried again at the next call.
//
// Alarms: with the collector's alarm board given, the alarms in force on it (every kind: link
// down, database away, records not written ...), each from when it began, as the board holds
// them when the state is published. Without one, as the service's status line keeps them: the
// latest problem (a sequence gap, a file not written ...) until another one replaces it, a silent
// PBX until the next call record; and besides them the database server's and the hard-disk
// buffer's alarms until they are over.
class StatePublisher {
public:
    static constexpr int64_t kHeartbeatSeconds = 60;

    StatePublisher(const Clock& clock, FileStore& files, const std::filesystem::path& baseDirectory);

    // The board whose alarms are published (it must outlive the publisher); none: see above.
    void SetAlarmBoard(const AlarmBoard* board);

    // The link's state ("connected", "disconnected", "waiting", "reading") and its peer.
    void Link(const std::string& state, bool up, const std::string& peer);
    void CallStored();
    void TrafficStored();
    void Alarm(const std::string& line);
    void SilenceAlarm(const std::string& line);
    // An empty line: the alarm is over.
    void DatabaseAlarm(const std::string& line);
    void DiskBufferAlarm(const std::string& line);
    // The sender's state; none set up while its line is empty.
    void Database(const ShipStatus& status);
    // What is looked up now and then: free bytes on the disk (-1: not known) and the record
    // index's lag.
    void Measured(int64_t freeBytes, int64_t indexLagBytes, int64_t indexWaiting);

    // Writes the file when due (see above); true when it was written now.
    bool Publish();
    // The collector stops in order: the state says so at once.
    bool Stopped();

    const CollectorState& State() const { return state_; }

private:
    void NewDay();
    void CollectAlarms();
    bool Write();

    const Clock& clock_;
    FileStore& files_;
    std::filesystem::path file_;
    CollectorState state_;
    CollectorState::Alarm problem_;
    bool silence_ = false;
    CollectorState::Alarm database_;
    CollectorState::Alarm diskBuffer_;
    const AlarmBoard* board_ = nullptr;
    std::string published_;  // the last content written, its time left out
    int64_t lastWrite_ = 0;
    bool everWritten_ = false;
};

}  // namespace velk
