#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/archive/index_row.h"

namespace velk {

// How far the server has a site's records: the last row of the site's record index it confirmed,
// by its id and a fingerprint of the row (a rebuilt index numbers its rows anew; the
// fingerprint tells whether the row under that id is still the one the server got).
struct ShipMark {
    int64_t throughId = 0;
    int64_t fingerprint = 0;
    bool operator==(const ShipMark&) const = default;
};

// The fingerprint of an index row: its message, occurrence, source and storing time.
int64_t ShipFingerprint(const IndexRow& row);

// Why the server did not do what was asked.
enum class ServerFault {
    None,
    Unreachable,   // no connection, or it broke
    NotAnswering,  // connected (or connecting), but it did not answer in time
    LoginRefused,  // the server refuses the role, the password or the database
    Schema,        // its tables are of another VELK version, or cannot be made
    Refused,       // the rows cannot be written (a full disk, a read-only table, no right)
    Conflict,      // the site's mark moved meanwhile: another collector sends as this site
};

// The database server every site sends its records to. Its rows carry the site and their
// record's identity (message, occurrence, start), unique within the site, so that a batch sent
// again (after a crash, a lost reply, a rebuilt index) adds nothing twice.
class RecordServer {
public:
    virtual ~RecordServer() = default;
    // Connects when not connected and makes sure the tables are there (creating them on first
    // contact); false with Fault and ErrorText. Any failure closes the connection.
    virtual bool Open() = 0;
    virtual void Close() = 0;
    // The site's mark (zero when the server has nothing of it yet); nullopt on failure.
    virtual std::optional<ShipMark> Mark(const std::string& site) = 0;
    // Whether the server holds any of these records (by message and start) as the site's:
    // nullopt on failure.
    virtual std::optional<bool> Holds(const std::string& site, const std::vector<IndexRow>& rows) = 0;
    // In one transaction: the rows (those the server has already are left out) and the site's
    // mark moved from `from` to `to`. Nothing is kept when it fails.
    virtual bool Ship(const std::string& site, int32_t systemType, const std::vector<IndexRow>& rows,
                      const ShipMark& from, const ShipMark& to) = 0;
    // The fault of the last call: None after one that succeeded.
    virtual ServerFault Fault() const = 0;
    virtual std::string ErrorText() const = 0;
};

// The records waiting for the server: the rows of the site's record index after the mark, in
// the order they entered it.
class ShipQueue {
public:
    virtual ~ShipQueue() = default;
    // The id of the newest row (0 when there is none yet); -1 when the index cannot be read.
    virtual int64_t LastId() = 0;
    // Up to `most` rows after `id`, oldest first. False when the index cannot be read.
    virtual bool ReadAfter(int64_t id, size_t most, std::vector<IndexRow>& rows) = 0;
    virtual std::string ErrorText() const = 0;
    // True (once) when the index was replaced by another since the last call (a rebuild made a
    // new one): its ids are no longer those the server's mark counts.
    virtual bool Replaced() { return false; }
    // The server's mark as last seen, kept beside the rows so that a start while the server is
    // away can count what waits; false when none is kept.
    virtual bool LocalMark(const std::string& site, ShipMark& mark) {
        (void)site;
        (void)mark;
        return false;
    }
    virtual void KeepMark(const std::string& site, const ShipMark& mark) {
        (void)site;
        (void)mark;
    }
};

}  // namespace velk
