#include "core/archive/record_shipper.h"

#include <algorithm>
#include <cstdio>

namespace velk {
namespace {

// The failure of the record index itself, beside the server's faults.
constexpr int kLocalFault = -1;

std::string Trouble(int fault, const std::string& site) {
    switch (fault) {
        case static_cast<int>(ServerFault::LoginRefused):
            return "refuses the login";
        case static_cast<int>(ServerFault::Schema):
            return "tables cannot be used";
        case static_cast<int>(ServerFault::Refused):
            return "refuses the records";
        case static_cast<int>(ServerFault::Conflict):
            return "refused: another collector sends as site \"" + site + "\"";
        case static_cast<int>(ServerFault::NotAnswering):
            return "not answering";
        case kLocalFault:
            return "waits: the record index cannot be read";
        default:
            return "unreachable";
    }
}

}  // namespace

int64_t ShipFingerprint(const IndexRow& row) {
    uint64_t h = 14695981039346656037ull;
    const auto add = [&h](const void* data, size_t size) {
        for (size_t i = 0; i < size; ++i)
            h = (h ^ static_cast<const unsigned char*>(data)[i]) * 1099511628211ull;
    };
    add(row.raw.data(), row.raw.size());
    const int64_t numbers[] = {row.occurrence, static_cast<int64_t>(row.source), row.storedAt};
    add(numbers, sizeof numbers);
    return static_cast<int64_t>(h);
}

RecordShipper::RecordShipper(std::string site, int32_t systemType, ShipQueue& queue,
                             RecordServer& server, const Clock& clock, Options options)
    : site_(std::move(site)),
      systemType_(systemType),
      queue_(queue),
      server_(server),
      clock_(clock),
      options_(options) {
    UpdateStatus();
}

std::vector<ShipNote> RecordShipper::TakeNotes() {
    std::vector<ShipNote> notes;
    notes.swap(notes_);
    return notes;
}

void RecordShipper::Note(const std::string& detail) {
    notes_.push_back({"Database", detail});
}

std::string RecordShipper::Since() const {
    const LocalTime& t = outageSinceTime_;
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

bool RecordShipper::Ours(const ShipMark& mark, bool& ours) {
    ours = mark.throughId == 0;
    if (ours)
        return true;
    std::vector<IndexRow> row;
    if (!queue_.ReadAfter(mark.throughId - 1, 1, row))
        return false;
    ours = !row.empty() && row[0].id == mark.throughId && ShipFingerprint(row[0]) == mark.fingerprint;
    return true;
}

bool RecordShipper::Contact() {
    const std::optional<ShipMark> mark = server_.Mark(site_);
    if (!mark)
        return false;
    bool ours = false;
    if (!Ours(*mark, ours))
        return false;
    // A row under a mark not ours is looked at before anything is sent (Owner).
    const int64_t position = ours ? mark->throughId : 0;
    if (ours && confirmed_ && position > position_) {
        // Batches the server took though their answer was lost on the way.
        const auto delivered = static_cast<uint64_t>(position - position_);
        status_.sent += delivered;
        if (outage_)
            sentSinceBack_ += delivered;
    }
    if (ours && mark->throughId > 0)
        queue_.KeepMark(site_, *mark);
    contacted_ = true;
    owned_ = ours;
    mark_ = *mark;
    position_ = position;
    confirmed_ = true;
    return true;
}

bool RecordShipper::Owner(bool& owner) {
    // A few of this index's rows up to the mark, spread: a rebuilt index holds records the server
    // has had for long.
    const int64_t upTo = std::min(mark_->throughId, lastId_);
    std::vector<IndexRow> sample;
    constexpr int64_t kLooks = 8;
    for (int64_t k = 0; k < kLooks && upTo > 0; ++k) {
        const int64_t id = 1 + k * (upTo - 1) / (kLooks - 1);
        if (!sample.empty() && sample.back().id >= id)
            continue;
        std::vector<IndexRow> row;
        if (!queue_.ReadAfter(id - 1, 1, row))
            return false;
        sample.insert(sample.end(), row.begin(), row.end());
    }
    if (sample.empty()) {
        owner = false;
        return true;
    }
    const std::optional<bool> holds = server_.Holds(site_, sample);
    if (!holds)
        return false;
    owner = *holds;
    return true;
}

int64_t RecordShipper::Refuse(const std::string& why) {
    refused_ = true;
    mark_.reset();
    status_.alarm = "Database: another collector sends as site \"" + site_ +
                    "\"; this one sends nothing until [Database] Site names a site of its own "
                    "(or the site's mark is removed from velk_sites on the server)";
    return Fail(static_cast<int>(ServerFault::Conflict), why);
}

int64_t RecordShipper::Step() {
    lastId_ = queue_.LastId();
    if (lastId_ < 0)
        return Fail(kLocalFault, queue_.ErrorText());
    // Another index: its ids are not those of any mark seen.
    if (queue_.Replaced()) {
        mark_.reset();
        notedMark_.reset();
        position_ = -1;
        confirmed_ = false;
        localRead_ = false;
    }
    // Started while the server is away: the mark kept beside the rows says what waits.
    if (position_ < 0 && !localRead_) {
        localRead_ = true;
        ShipMark local;
        bool ours = false;
        if (queue_.LocalMark(site_, local) && Ours(local, ours) && ours)
            position_ = local.throughId;
    }
    if (!server_.Open())
        return Fail(static_cast<int>(server_.Fault()), server_.ErrorText());
    if (!mark_ && !Contact()) {
        return server_.Fault() == ServerFault::None
                   ? Fail(kLocalFault, queue_.ErrorText())
                   : Fail(static_cast<int>(server_.Fault()), server_.ErrorText());
    }
    if (refused_) {
        // Refused until the site's mark is this index's again, or removed on the server.
        if (!owned_) {
            mark_.reset();
            return Fail(static_cast<int>(ServerFault::Conflict), "still refused");
        }
        refused_ = false;
        status_.alarm.clear();
        Note("the mark of site \"" + site_ + "\" on the server is this collector's again: sending");
    }
    batch_.clear();
    if (lastId_ > position_ && !queue_.ReadAfter(position_, options_.batch, batch_))
        return Fail(kLocalFault, queue_.ErrorText());
    if (!batch_.empty() && !owned_) {
        bool owner = false;
        if (!Owner(owner)) {
            mark_.reset();
            return server_.Fault() == ServerFault::None
                       ? Fail(kLocalFault, queue_.ErrorText())
                       : Fail(static_cast<int>(server_.Fault()), server_.ErrorText());
        }
        if (!owner) {
            return Refuse("the server's mark for site \"" + site_ + "\" (row " +
                          std::to_string(mark_->throughId) +
                          ") names a record this collector does not have, and none of its "
                          "records is there as the site's");
        }
        owned_ = true;
        if (!notedMark_ || !(*notedMark_ == *mark_)) {
            Note("the server's mark for site \"" + site_ + "\" (row " +
                 std::to_string(mark_->throughId) +
                 ") is not a row of this record index (it was built anew): every record is "
                 "offered again, and the server keeps those it lacks");
            notedMark_ = *mark_;
        }
    }
    if (!announced_ && owned_) {
        Note("sending the records of site \"" + site_ + "\", from row " +
             std::to_string(position_ + 1) + " of the record index");
        announced_ = true;
    }
    if (batch_.empty()) {
        caughtUp_ = true;
        if (outage_) {
            Note("reachable again, " + std::to_string(sentSinceBack_) + " records sent");
            outage_ = false;
            trouble_.clear();
        }
        retryMs_ = 0;
        UpdateStatus();
        return options_.idleLookMs;
    }
    caughtUp_ = false;
    const ShipMark to{batch_.back().id, ShipFingerprint(batch_.back())};
    if (!server_.Ship(site_, systemType_, batch_, *mark_, to)) {
        mark_.reset();
        // The mark moved under the batch: someone else sends as this site.
        if (server_.Fault() == ServerFault::Conflict)
            return Refuse(server_.ErrorText());
        return Fail(static_cast<int>(server_.Fault()), server_.ErrorText());
    }
    mark_ = to;
    position_ = to.throughId;
    queue_.KeepMark(site_, to);
    status_.sent += batch_.size();
    if (outage_)
        sentSinceBack_ += batch_.size();
    retryMs_ = 0;
    UpdateStatus();
    return 0;
}

int64_t RecordShipper::Fail(int fault, const std::string& text) {
    // The mark is read again on the next contact.
    mark_.reset();
    caughtUp_ = false;
    if (!outage_) {
        outage_ = true;
        outageSince_ = clock_.Seconds();
        outageSinceTime_ = clock_.Now();
        logged_.clear();
        sentSinceBack_ = 0;
    }
    trouble_ = Trouble(fault, site_) + " since " + Since();
    if (logged_.insert(fault).second)
        Note(trouble_ + ": " + text);
    retryMs_ = retryMs_ == 0 ? options_.firstRetryMs
                             : std::min(2 * retryMs_, options_.mostRetryMs);
    UpdateStatus();
    return retryMs_;
}

void RecordShipper::UpdateStatus() {
    status_.waiting = position_ >= 0 && lastId_ >= 0 ? std::max<int64_t>(0, lastId_ - position_) : -1;
    status_.troubleSince = outage_ ? outageSince_ : 0;
    const std::string waiting =
        status_.waiting < 0 ? std::string() : std::to_string(status_.waiting) + " records waiting";
    if (!trouble_.empty())
        status_.line = "Database " + trouble_ + (waiting.empty() ? "" : ", " + waiting);
    else if (!contacted_)
        status_.line = "Database: connecting";
    else
        status_.line = status_.waiting > 0 ? "Database: " + waiting + " to be sent"
                                           : "Database: every record sent";
}

}  // namespace velk
