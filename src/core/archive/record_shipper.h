#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/foundation/clock.h"
#include "core/archive/record_server.h"

namespace velk {

// What the sender says about itself: the line for the status display and, while there is
// trouble, since when (seconds since the epoch, 0 when all is well).
struct ShipStatus {
    std::string line;
    int64_t troubleSince = 0;
    int64_t waiting = -1;  // rows not yet confirmed by the server; -1 while unknown
    uint64_t sent = 0;     // rows sent since start
    // While the sending is refused (another collector sends as this site): what a person must
    // know; empty otherwise.
    std::string alarm;
    bool operator==(const ShipStatus&) const = default;
};

// A line for the connection log: its event name and details.
struct ShipNote {
    std::string event;
    std::string detail;
};

// Sends the record index's rows to the database server, oldest first, in batches, and moves the
// site's mark with every batch in the same transaction. The server away never matters to the
// rest of the program: the rows wait in the index (on the disk) and go when it is back.
//
// What is where if the program dies at any point:
//   reading the queue   the server has everything up to its mark; the next start reads its mark
//                       and goes on after it.
//   inside a batch      the transaction is rolled back by the server when the connection ends:
//                       neither the rows nor the mark moved.
//   after the commit,   the server has the rows and the mark; the next start reads the mark.
//   before the reply
//   a rebuilt index     the row under the mark is another (its fingerprint differs): every row
//                       is offered again, and the server keeps the ones it lacks.
//
// The row under the server's mark not being one of this index can also mean that another
// collector sends as this site. So before anything is sent after such a mark, the server is asked
// whether it holds some of this index's records as the site's: a rebuilt index has them there, a
// second collector has not. A second collector is refused (and so is one that finds the mark moved
// under its batch): it sends nothing while the site's mark on the server is another's, and says
// so in its log, its status and as an alarm.
//
// An outage (the first failure until everything waiting is sent again) is logged once when it
// begins, once for every other kind of failure met during it, and once when it ends.
// Step runs on one thread at a time; everything is plain data.
class RecordShipper {
public:
    struct Options {
        size_t batch = 5000;
        int64_t firstRetryMs = 1000;
        int64_t mostRetryMs = 30000;
        int64_t idleLookMs = 1000;  // how often the queue is looked at when nothing waits
    };

    RecordShipper(std::string site, int32_t systemType, ShipQueue& queue, RecordServer& server,
                  const Clock& clock, Options options);
    RecordShipper(std::string site, int32_t systemType, ShipQueue& queue, RecordServer& server,
                  const Clock& clock)
        : RecordShipper(std::move(site), systemType, queue, server, clock, Options()) {}

    // Does the next piece of work (one batch, or one attempt after a failure) and answers how
    // many milliseconds may pass before the next one (0: there is more to do at once).
    int64_t Step();

    // The log lines since the last call.
    std::vector<ShipNote> TakeNotes();
    const ShipStatus& Status() const { return status_; }
    bool CaughtUp() const { return caughtUp_; }

private:
    // A failure of the server (a ServerFault) or of the index: the outage begins or goes on.
    int64_t Fail(int fault, const std::string& text);
    bool Contact();
    // Whether the row under a mark is this index's row that the mark names.
    bool Ours(const ShipMark& mark, bool& ours);
    // The server's mark is not ours: asks whether this index's records are the site's there.
    int64_t Refuse(const std::string& why);
    bool Owner(bool& owner);
    void Note(const std::string& detail);
    void UpdateStatus();
    std::string Since() const;

    std::string site_;
    int32_t systemType_;
    ShipQueue& queue_;
    RecordServer& server_;
    const Clock& clock_;
    Options options_;

    // The server's mark as last read or moved; unknown until the next contact after a failure.
    std::optional<ShipMark> mark_;
    // The row after which the queue is read (the mark, or 0 after a rebuilt index); -1 before
    // the first contact.
    int64_t position_ = -1;
    int64_t lastId_ = -1;
    bool contacted_ = false;
    bool announced_ = false;
    // position_ was confirmed by the server in this run (not only the mark kept beside the rows).
    bool confirmed_ = false;
    bool localRead_ = false;
    // The row under the server's mark is this index's; refused: another collector's.
    bool owned_ = true;
    bool refused_ = false;
    std::optional<ShipMark> notedMark_;  // the foreign mark last noted, so that it is noted once
    std::vector<IndexRow> batch_;
    bool caughtUp_ = false;

    // The outage: since when, the kinds already logged, rows sent since the server came back.
    bool outage_ = false;
    int64_t outageSince_ = 0;
    LocalTime outageSinceTime_;
    std::set<int> logged_;
    std::string trouble_;
    uint64_t sentSinceBack_ = 0;
    int64_t retryMs_ = 0;

    std::vector<ShipNote> notes_;
    ShipStatus status_;
};

}  // namespace velk
