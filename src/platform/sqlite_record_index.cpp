#include "platform/sqlite_record_index.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <system_error>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "core/decode/code_tables.h"

namespace velk {
namespace {

// The columns after id and occurrence, in the order every statement uses.
constexpr int kRaw = kIndexColumns, kHexType = kIndexColumns + 1, kSource = kIndexColumns + 2,
              kStoredAt = kIndexColumns + 3;

std::string Quoted(const std::string& name) {
    return "\"" + name + "\"";
}

std::string ColumnList() {
    std::string list;
    for (int c = 0; c < kIndexColumns; ++c)
        list += Quoted(IndexColumnName(c)) + ", ";
    return list + "raw, hex_type, source, stored_at";
}

const std::string& Start() {
    static const std::string name = Quoted(IndexColumnName(4));
    return name;
}

// What schema 2 added: how far each raw file is read, the server's mark as last seen.
std::string FollowSchema() {
    return "CREATE TABLE followed_files (file TEXT PRIMARY KEY, device INTEGER NOT NULL,"
           " inode INTEGER NOT NULL, position INTEGER NOT NULL, checking INTEGER NOT NULL,"
           " check_until INTEGER NOT NULL)"
           " WITHOUT ROWID;\n"
           "CREATE TABLE server_marks (site TEXT PRIMARY KEY, through_id INTEGER NOT NULL,"
           " fingerprint INTEGER NOT NULL) WITHOUT ROWID;\n";
}

// What the reports count, kept per day: for each kind of group (kTotalsKinds) and day (the start
// time's first ten characters) the figures of each group, so that a report over a long time adds
// up a row per group and day instead of reading every call. Each commit of a writer counts the
// calls added since the last one (in one statement per kind, not a statement per call), whoever
// added them: until then the reports read the calls. A call changed or removed (nothing of VELK's
// does either) marks them unsound, and the next writer to open the index counts them again.
enum TotalsKind { kByExtension = 0, kByTrunk = 1, kByCallType = 2, kByPrefix = 3, kByHour = 4 };
constexpr int kTotalsKinds = 5;
// The dialled numbers' prefixes are kept this long: a report by a shorter prefix adds them up,
// one by a longer one reads the calls.
constexpr int kKeptPrefixDigits = 4;

// The group of a call of `kind` in SQL, of the row named `c`.
std::string TotalsGroup(int kind, const std::string& c) {
    switch (kind) {
        case kByExtension:
            return c + "." + Quoted(IndexColumnName(3));
        case kByTrunk:
            return c + ".trunk";
        case kByCallType:
            return c + "." + Quoted(IndexColumnName(9));
        case kByPrefix:
            return "substr(" + c + "." + Quoted(IndexColumnName(6)) + ", 1, " +
                   std::to_string(kKeptPrefixDigits) + ")";
        default:
            return "substr(" + c + "." + Quoted(IndexColumnName(4)) + ", 12, 2)";
    }
}

std::string TotalsDay(const std::string& c) {
    return "substr(" + c + "." + Quoted(IndexColumnName(4)) + ", 1, 10)";
}

// The seconds a call adds to its group: a duration kept as text (unknown) compares above every
// number and counts 0, as a negative one does.
std::string KnownSeconds(const std::string& c) {
    const std::string duration = c + "." + Quoted(IndexColumnName(32));
    return "iif(" + duration + " BETWEEN 1 AND 999999999999, " + duration + ", 0)";
}

// The id the next call added takes.
constexpr const char* kNextId = "(SELECT coalesce(max(id), 0) + 1 FROM calls)";

// Counts the kept totals again from the calls: forgets them, and has the calls there are now
// counted in steps (CountSomeTotals); the calls added meanwhile count at the commits that add
// them. Either way a group's day has one row.
std::string RecountTotals() {
    return std::string("DELETE FROM call_totals;\n"
                       "UPDATE call_totals_state SET sound = 1,"
                       " next_id = (SELECT coalesce(min(id), 1) FROM calls), end_id = ") +
           kNextId + ", counted_to = " + kNextId + ";\n";
}

// A day or group as the totals keep it: an absent one as the empty blob, which no call's value
// is (they are numbers, texts or absent), so that it can be part of the key. It sorts after
// every text.
std::string Kept(const std::string& value) {
    return "coalesce(" + value + ", x'')";
}

// Adds a call's figures (or a group's of many calls) to the row of its kind, day and group.
constexpr const char* kAddToTotals =
    " ON CONFLICT (kind, day, grp) DO UPDATE SET calls = calls + excluded.calls,"
    " answered = answered + excluded.answered, seconds = seconds + excluded.seconds,"
    " longest = max(longest, excluded.longest)";

// The totals of the calls with ids in [?1, ?2), per kind, day and group.
std::string TotalsOfIds() {
    std::string sql;
    for (int kind = 0; kind < kTotalsKinds; ++kind) {
        sql += std::string(kind > 0 ? " UNION ALL " : "") + "SELECT " + std::to_string(kind) +
               ", " + Kept(TotalsDay("c")) + ", " + Kept(TotalsGroup(kind, "c")) +
               ", count(*), sum(coalesce(c.answered, 0)), sum(" + KnownSeconds("c") + "), max(" +
               KnownSeconds("c") + ") FROM calls c WHERE c.id >= ?1 AND c.id < ?2 GROUP BY 2, 3";
    }
    return sql;
}

// A call put in below the ids the commits have counted (a row restored by hand with its old id,
// or replaced in place) would never be counted: the totals are counted again instead. VELK's
// own calls take the next id and pass by.
std::string BehindTrigger() {
    return "CREATE TRIGGER call_totals_behind AFTER INSERT ON calls"
           " WHEN NEW.id < (SELECT counted_to FROM call_totals_state) BEGIN\n"
           "  UPDATE call_totals_state SET sound = 0;\nEND;\n";
}

// A call changed or removed under the index leaves the totals to be counted again.
std::string ChangeTriggers() {
    return "CREATE TRIGGER call_totals_changed AFTER UPDATE ON calls BEGIN\n"
           "  UPDATE call_totals_state SET sound = 0;\nEND;\n"
           "CREATE TRIGGER call_totals_removed AFTER DELETE ON calls BEGIN\n"
           "  UPDATE call_totals_state SET sound = 0;\nEND;\n";
}

// What schema 4 added (without the trigger that counted each call as it came, which schema 5
// left for the counting at each commit): the totals per day, and the calls there are to be
// counted.
std::string TotalsSchema() {
    return "CREATE TABLE call_totals (kind INTEGER NOT NULL, day NOT NULL, grp NOT NULL,"
           " calls INTEGER NOT NULL, answered INTEGER NOT NULL, seconds INTEGER NOT NULL,"
           " longest INTEGER NOT NULL, PRIMARY KEY (kind, day, grp)) WITHOUT ROWID;\n"
           // sound: 0 when a call was changed or removed (the totals must be counted again); the
           // calls with ids in [next_id, end_id) are not counted yet, nor those from counted_to
           // on (added since the last commit that counted).
           "CREATE TABLE call_totals_state (sound INTEGER NOT NULL,"
           " next_id INTEGER NOT NULL, end_id INTEGER NOT NULL, counted_to INTEGER NOT NULL);\n"
           "INSERT INTO call_totals_state VALUES (0, 0, 0, 0);\n" +
           ChangeTriggers() + BehindTrigger() + RecountTotals();
}

// The view of the calls with the text of every coded field beside its code; a code the table has
// no text for reads "?", as in the decoded files.
std::string TextsView() {
    std::string view = "CREATE VIEW calls_with_texts AS SELECT c.*";
    for (int f = 0; f < 50; ++f) {
        if (FieldDescriptors()[static_cast<size_t>(f)].table == nullptr)
            continue;
        const std::string name = IndexColumnName(f);
        view += ", iif(c." + Quoted(name) +
                " IS NULL, NULL, coalesce((SELECT text FROM code_texts t "
                "WHERE t.field = '" +
                name + "' AND t.code = c." + Quoted(name) + "), '?')) AS " + Quoted(name + "_text");
    }
    return view +
           ", (SELECT name FROM sources s WHERE s.source = c.source) AS source_name FROM calls c";
}

// A file name as an SQLite URI: every byte but the unreserved ones and '/' percent-encoded.
std::string FileUri(const std::filesystem::path& file) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (unsigned char c : file.string()) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += kHex[c >> 4];
            uri += kHex[c & 15];
        }
    }
    return uri;
}

std::string Schema() {
    std::string columns;
    for (int c = 0; c < kIndexColumns; ++c)
        columns += "  " + Quoted(IndexColumnName(c)) + ",\n";
    std::string sql =
        "CREATE TABLE calls (\n"
        "  id INTEGER PRIMARY KEY,\n"
        "  occurrence INTEGER NOT NULL,\n" +
        columns +
        "  raw TEXT NOT NULL,\n"
        "  hex_type INTEGER NOT NULL,\n"
        "  source INTEGER NOT NULL,\n"
        "  stored_at INTEGER NOT NULL,\n"
        "  raw_hash INTEGER NOT NULL);\n"
        "CREATE INDEX calls_start ON calls(" + Start() + ", raw_hash);\n"
        // Holds what a report by extension counts, so that it reads this index alone.
        "CREATE INDEX calls_calling ON calls(" + Quoted(IndexColumnName(3)) + ", " +
        Quoted(IndexColumnName(32)) + ", answered);\n"
        "CREATE INDEX calls_dialled ON calls(" + Quoted(IndexColumnName(6)) + ");\n"
        "CREATE INDEX calls_trunk ON calls(trunk);\n"
        "CREATE INDEX calls_call_type ON calls(" + Quoted(IndexColumnName(9)) + ");\n"
        "CREATE TABLE code_texts (field TEXT NOT NULL, code INTEGER NOT NULL, text TEXT NOT NULL,"
        " PRIMARY KEY (field, code)) WITHOUT ROWID;\n"
        "CREATE TABLE sources (source INTEGER PRIMARY KEY, name TEXT NOT NULL);\n" +
        FollowSchema() + TotalsSchema();
    for (int s = 0; s <= static_cast<int>(RecordSource::RawFile); ++s) {
        sql += "INSERT INTO sources VALUES (" + std::to_string(s) + ", '" +
               SourceName(static_cast<RecordSource>(s)) + "');\n";
    }
    for (int f = 0; f < 50; ++f) {
        const FieldDescriptor& d = FieldDescriptors()[static_cast<size_t>(f)];
        for (int code = 0; d.table != nullptr && code < d.rows; ++code) {
            std::string text;
            for (char ch : (*d.table)[static_cast<size_t>(code)])
                text += ch == '\'' ? std::string("''") : std::string(1, ch);
            sql += "INSERT INTO code_texts VALUES ('" + IndexColumnName(f) + "', " +
                   std::to_string(code) + ", '" + text + "');\n";
        }
    }
    return sql + TextsView() + ";\n";
}

// The value must stay as it is until the statement has run.
void Bind(sqlite3_stmt* s, int at, const IndexValue& v) {
    if (const auto* n = std::get_if<int64_t>(&v))
        sqlite3_bind_int64(s, at, *n);
    else if (const auto* t = std::get_if<std::string>(&v))
        sqlite3_bind_text(s, at, t->data(), static_cast<int>(t->size()), SQLITE_STATIC);
    else
        sqlite3_bind_null(s, at);
}

IndexValue Value(sqlite3_stmt* s, int at) {
    switch (sqlite3_column_type(s, at)) {
        case SQLITE_INTEGER:
            return static_cast<int64_t>(sqlite3_column_int64(s, at));
        case SQLITE_NULL:
            return std::monostate{};
        default: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, at));
            return std::string(text, static_cast<size_t>(sqlite3_column_bytes(s, at)));
        }
    }
}

// Finds identical records quickly (many records can share a start time).
int64_t RawHash(const std::string& raw) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : raw)
        h = (h ^ c) * 1099511628211ull;
    return static_cast<int64_t>(h);
}

std::string Text(sqlite3_stmt* s, int at) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, at));
    return text == nullptr ? std::string()
                           : std::string(text, static_cast<size_t>(sqlite3_column_bytes(s, at)));
}

// One range as SQL with its values to bind.
void RangeSql(const IndexRange& r, std::string& sql, std::vector<const IndexValue*>& binds) {
    const std::string column = Quoted(IndexColumnName(r.column));
    std::string terms;
    const auto term = [&](const char* op, const IndexValue& v) {
        if (std::holds_alternative<std::monostate>(v))
            return;
        if (!terms.empty())
            terms += " AND ";
        terms += column + op + "?";
        binds.push_back(&v);
    };
    if (r.low == r.high && !std::holds_alternative<std::monostate>(r.low)) {
        term(" = ", r.low);
    } else {
        term(" >= ", r.low);
        term(" <= ", r.high);
    }
    sql += terms.empty() ? column + " IS NOT NULL" : terms;
}

// A row of "SELECT id, occurrence, <ColumnList()>".
void ReadRow(sqlite3_stmt* s, IndexRow& row) {
    row.id = sqlite3_column_int64(s, 0);
    row.occurrence = sqlite3_column_int64(s, 1);
    for (int c = 0; c < kIndexColumns; ++c)
        row.values[static_cast<size_t>(c)] = Value(s, 2 + c);
    row.raw = Text(s, 2 + kRaw);
    row.hexType = sqlite3_column_int(s, 2 + kHexType);
    row.source = static_cast<RecordSource>(sqlite3_column_int(s, 2 + kSource));
    row.storedAt = sqlite3_column_int64(s, 2 + kStoredAt);
}

bool Identify(const std::filesystem::path& file, FileIdentity& identity) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return false;
    identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    return true;
}

// Removes the log or shared-memory file beside a database that was deleted or replaced, when it is
// still the one of the database this connection has open (`was`, taken at the opening): a new
// database at the same name would take it as its own, and SQLite would mix the two databases'
// logs. Removed (or moved to `to`) under a lock of its own, so that two connections noticing at
// once never remove what the first made anew.
void RemoveLeftOver(const std::string& path, const FileIdentity& was, const std::string& to = {}) {
    if (was.inode == 0)
        return;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    struct stat held {}, named {};
    if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &held) == 0 &&
        ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino &&
        FileIdentity{static_cast<uint64_t>(held.st_dev), static_cast<uint64_t>(held.st_ino)} ==
            was) {
        if (to.empty() || ::rename(path.c_str(), to.c_str()) != 0)
            ::unlink(path.c_str());
    }
    ::close(fd);
}

// SQLite counts every allocation under one process-wide mutex, for statistics nothing here reads
// (a writer adding calls spends a twentieth of its time there). This can only be set before SQLite
// starts, so it is set as the program loads, before any thread opens a database.
[[maybe_unused]] const bool kNoMemoryStatistics = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;

}  // namespace

// The report totals of the calls a transaction inserts, counted as they go in, so that its commit
// adds them without reading them back: the same groups and figures the statement of TotalsOfIds
// gives. A call whose groups only SQLite can tell (a start or dialled number with bytes outside
// printable ASCII, where SQLite counts characters; an answered flag that is not a number) or ids
// that do not follow one another leave the commit to the statement.
class NewCallTotals {
public:
    void Clear() {
        groups_.clear();
        first_ = 0;
        next_.reset();
        usable_ = true;
    }
    // Calls went in another way (a statement run in the transaction).
    void Forget() { usable_ = false; }
    void Add(const IndexRow& row, int64_t id) {
        if (!usable_)
            return;
        if (!next_)
            first_ = id;
        usable_ = id == next_.value_or(id) && id < INT64_MAX;
        next_ = id + 1;
        Kept start, dialled;
        int64_t answered = 0;
        if (!usable_ || !AsText(row.Field(4), start) || !AsText(row.Field(6), dialled) ||
            !Answered(row.Field(kAnsweredColumn), answered)) {
            usable_ = false;
            return;
        }
        const Kept day = Substr(start, 1, 10);
        const int64_t seconds = KnownSeconds(row.Field(32));
        const Kept groups[kTotalsKinds] = {Value(row.Field(3)), Value(row.Field(kTrunkColumn)),
                                           Value(row.Field(9)),
                                           Substr(dialled, 1, kKeptPrefixDigits),
                                           Substr(start, 12, 2)};
        for (int kind = 0; kind < kTotalsKinds; ++kind) {
            Figures& f = groups_[{kind, day, groups[kind]}];
            ++f.calls;
            f.answered += answered;
            f.seconds += seconds;
            f.longest = std::max(f.longest, seconds);
        }
    }
    // Whether these are the totals of the calls with ids in [from, until).
    bool Cover(int64_t from, int64_t until) const {
        return usable_ && next_ && first_ == from && *next_ == until;
    }
    // Adds each group's figures to its row through `add` (the kept totals' upsert).
    bool AddTo(sqlite3_stmt* add) const {
        for (const auto& [key, f] : groups_) {
            const auto& [kind, day, group] = key;
            sqlite3_bind_int(add, 1, kind);
            Bind(add, 2, day);
            Bind(add, 3, group);
            sqlite3_bind_int64(add, 4, f.calls);
            sqlite3_bind_int64(add, 5, f.answered);
            sqlite3_bind_int64(add, 6, f.seconds);
            sqlite3_bind_int64(add, 7, f.longest);
            const bool done = sqlite3_step(add) == SQLITE_DONE;
            sqlite3_reset(add);
            if (!done)
                return false;
        }
        return true;
    }

private:
    // A day or group as the totals keep it: absent (the empty blob), a number or a text.
    struct Kept {
        enum Type { kAbsent, kNumber, kText } type = kAbsent;
        int64_t number = 0;
        std::string text;
        auto operator<=>(const Kept&) const = default;
    };
    struct Figures {
        int64_t calls = 0, answered = 0, seconds = 0, longest = 0;
    };

    static Kept Value(const IndexValue& v) {
        if (const auto* n = std::get_if<int64_t>(&v))
            return {Kept::kNumber, *n, {}};
        if (const auto* t = std::get_if<std::string>(&v))
            return {Kept::kText, 0, *t};
        return {};
    }
    // The value as SQLite's substr() reads it (a number as its decimal text); false when its
    // characters are not its bytes.
    static bool AsText(const IndexValue& v, Kept& text) {
        if (const auto* n = std::get_if<int64_t>(&v)) {
            text = {Kept::kText, 0, std::to_string(*n)};
            return true;
        }
        const auto* t = std::get_if<std::string>(&v);
        if (t == nullptr) {
            text = {};
            return true;
        }
        text = {Kept::kText, 0, *t};
        return std::all_of(t->begin(), t->end(),
                           [](char c) { return c >= 0x20 && c < 0x7f; });
    }
    static Kept Substr(const Kept& text, size_t at, size_t length) {
        if (text.type == Kept::kAbsent)
            return {};
        return {Kept::kText, 0,
                text.text.size() >= at ? text.text.substr(at - 1, length) : std::string()};
    }
    static bool Answered(const IndexValue& v, int64_t& answered) {
        const auto* n = std::get_if<int64_t>(&v);
        answered = n != nullptr ? *n : 0;
        return n != nullptr || std::holds_alternative<std::monostate>(v);
    }
    // A duration kept as text (unknown) counts 0, as a negative one does.
    static int64_t KnownSeconds(const IndexValue& v) {
        const auto* n = std::get_if<int64_t>(&v);
        return n != nullptr && *n >= 1 && *n <= 999999999999 ? *n : 0;
    }
    static void Bind(sqlite3_stmt* s, int at, const Kept& k) {
        if (k.type == Kept::kNumber)
            sqlite3_bind_int64(s, at, k.number);
        else if (k.type == Kept::kText)
            sqlite3_bind_text(s, at, k.text.data(), static_cast<int>(k.text.size()),
                              SQLITE_TRANSIENT);
        else
            sqlite3_bind_zeroblob(s, at, 0);
    }

    using Key = std::tuple<int, Kept, Kept>;  // kind, day, group
    struct KeyHash {
        size_t operator()(const Key& key) const {
            const auto one = [](const Kept& k) {
                return k.type == Kept::kText ? std::hash<std::string>{}(k.text)
                                             : std::hash<int64_t>{}(k.number) + k.type;
            };
            return (static_cast<size_t>(std::get<0>(key)) * 1000003u ^ one(std::get<1>(key))) *
                       1000003u ^
                   one(std::get<2>(key));
        }
    };
    std::unordered_map<Key, Figures, KeyHash> groups_;
    int64_t first_ = 0;
    std::optional<int64_t> next_;  // the id after the last call added
    bool usable_ = true;
};

SqliteRecordIndex::SqliteRecordIndex(std::filesystem::path file, Mode mode)
    : file_(std::move(file)),
      mode_(mode),
      busyMs_(mode == Mode::Write ? kWriteWaitMs : kReadWaitMs),
      newTotals_(std::make_unique<NewCallTotals>()) {}

SqliteRecordIndex::~SqliteRecordIndex() {
    Close();
}

bool SqliteRecordIndex::Fail(const std::string& what) {
    error_ = file_.string() + ": " + what;
    damaged_ = false;
    if (db_ != nullptr) {
        const int code = sqlite3_errcode(db_);
        damaged_ = code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
        const std::string reason = sqlite3_errmsg(db_);
        if (!reason.empty() && reason != "not an error")
            error_ += ": " + reason;
    }
    Close();
    return false;
}

void SqliteRecordIndex::Finalize() {
    for (sqlite3_stmt** s :
         {&insert_, &same_, &mark_, &setMark_, &totals_, &addTotals_, &uncounted_, &countedTo_}) {
        sqlite3_finalize(*s);
        *s = nullptr;
    }
}

void SqliteRecordIndex::Close() {
    Finalize();
    // The log kept for readers is left empty: frames of it that outlived their database would
    // be read into a VELK.db put in its place (a copy from a backup), as if they were its own.
    if (db_ != nullptr && mode_ == Mode::Write)
        sqlite3_exec(db_, "PRAGMA journal_size_limit=0", nullptr, nullptr, nullptr);
    if (db_ != nullptr) {
        // An open transaction is rolled back with the connection.
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    transaction_ = false;
}

bool SqliteRecordIndex::Prepare(sqlite3_stmt*& statement, const std::string& sql) {
    return sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement,
                              nullptr) == SQLITE_OK;
}

int SqliteRecordIndex::SchemaVersion() {
    sqlite3_stmt* version = nullptr;
    const bool read = Prepare(version, "PRAGMA user_version") && sqlite3_step(version) == SQLITE_ROW;
    const int schema = read ? sqlite3_column_int(version, 0) : -1;
    sqlite3_finalize(version);
    return schema;
}

bool SqliteRecordIndex::CopyLog() {
    if (mode_ != Mode::Write || transaction_)
        return false;
    // Another database under the name now (deleted, set aside, rebuilt): the writer's connection
    // opens it, and takes care of what the old one left beside it.
    FileIdentity now;
    if (db_ != nullptr && (!Identify(file_, now) || !(now == opened_)))
        Close();
    if (db_ == nullptr) {
        // Only a database a writer has made and brought up to this schema: this connection makes
        // nothing, and leaves the log in place when it closes. The database, its log and its
        // shared memory are opened by name: one the name left meanwhile is not used (its log
        // could be another database's).
        if (!Identify(file_, opened_) ||
            sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            Close();
            return false;
        }
        int persist = 1;
        sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
        if (SchemaVersion() != kSchemaVersion || !Identify(file_, now) || !(now == opened_)) {
            Close();
            return false;
        }
    }
    return sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) ==
           SQLITE_OK;
}

bool SqliteRecordIndex::Execute(const std::string& sql) {
    if (!OpenCurrent())
        return false;
    newTotals_->Forget();
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK ||
           Fail("cannot run a statement");
}

bool SqliteRecordIndex::Renewed() {
    return std::exchange(renewed_, false);
}

bool SqliteRecordIndex::OpenCurrent() {
    if (db_ != nullptr && !transaction_) {
        FileIdentity now;
        if (!Identify(file_, now) || !(now == opened_)) {
            // While this connection still holds them, the files cannot be another's.
            if (mode_ == Mode::Write) {
                RemoveLeftOver(file_.string() + "-wal", wal_);
                RemoveLeftOver(file_.string() + "-shm", shm_);
            }
            Close();
        }
    }
    return Open();
}

bool SqliteRecordIndex::OpenToRead() {
    // Read only, as a billing application's user in VELK's group reads it: such a user may
    // create no file beside it. The writers keep the -wal and -shm files in place (readable by
    // the group, as the database is), which is what SQLite needs to read a WAL database read
    // only; a -shm file it may not write it reads into memory of its own.
    const std::string uri = FileUri(file_);
    const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2((uri + "?mode=ro").c_str(), &db_, flags, nullptr) != SQLITE_OK)
        return Fail("cannot open the record index");
    sqlite3_busy_timeout(db_, 5000);
    if (sqlite3_exec(db_, "PRAGMA user_version", nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    // A database no writer has opened since it kept its WAL files (one written by an older
    // VELK) has neither, and without them nothing that cannot create them can read it. Its
    // contents are then all in the database file, which changes only when a writer that has
    // come meanwhile checkpoints its log: read as it is.
    std::error_code ec;
    const int code = sqlite3_errcode(db_);
    if ((code != SQLITE_CANTOPEN && code != SQLITE_READONLY) ||
        std::filesystem::exists(file_.string() + "-wal", ec))
        return Fail("cannot read the record index");
    sqlite3_close_v2(db_);
    db_ = nullptr;
    if (sqlite3_open_v2((uri + "?mode=ro&immutable=1").c_str(), &db_, flags, nullptr) != SQLITE_OK)
        return Fail("cannot open the record index");
    return true;
}

bool SqliteRecordIndex::Open() {
    if (db_ != nullptr)
        return true;
    std::error_code ec;
    if (mode_ == Mode::Read && !std::filesystem::exists(file_, ec)) {
        error_ = file_.string() + ": there is no record index (nothing has been indexed here)";
        return false;
    }
    if (mode_ == Mode::Read) {
        if (!OpenToRead())
            return false;
    } else {
        // A log left beside a deleted database is not taken into a new one: SQLite removes the
        // log of an empty database file when it opens it.
        if (sqlite3_open_v2(file_.c_str(), &db_,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK)
            return Fail("cannot open the record index");
        sqlite3_busy_timeout(db_, busyMs_);
        if (checkpointPages_ > 0)
            sqlite3_wal_autocheckpoint(db_, checkpointPages_);
        // The last writer to close leaves the -wal and -shm files in place, so that a reader
        // who cannot create them finds them.
        int persist = 1;
        sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    }
    FileIdentity identity;
    if (!Identify(file_, identity))
        return Fail("cannot open the record index: it went away");
    if (known_ && !(identity == opened_))
        renewed_ = true;
    opened_ = identity;
    known_ = true;
    const int schema = SchemaVersion();
    if (schema < 0)
        return Fail("cannot read the record index");
    if (schema > kSchemaVersion)
        return Fail("the record index was made by a newer VELK (schema " +
                    std::to_string(schema) + ")");
    if (schema == 0 && mode_ == Mode::Read)
        return Fail("the record index is empty");
    if (mode_ == Mode::Write) {
        if (sqlite3_exec(db_,
                         "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; "
                         "PRAGMA cache_size=-16384; PRAGMA journal_size_limit=67108864",
                         nullptr, nullptr, nullptr) != SQLITE_OK)
            return Fail("cannot set up the record index");
        if (schema < kSchemaVersion && !SetUp(schema))
            return false;
        if (schema > 0)
            RenewTextsView();
        RecountTotalsIfUnsound();
        // Every insert fires the totals' trigger, for which SQLite keeps a statement journal:
        // in memory, not in a temporary file written page by page. Whatever else this writer
        // sorts from here on is one commit's calls or one step's (an upgrade's new indexes over
        // every call were built above, with temporary files).
        sqlite3_exec(db_, "PRAGMA temp_store=MEMORY", nullptr, nullptr, nullptr);
        std::string marks;
        for (int c = 0; c < kIndexColumns + 6; ++c)
            marks += c == 0 ? "?" : ", ?";
        if (!Prepare(insert_, "INSERT INTO calls (occurrence, " + ColumnList() +
                                  ", raw_hash) VALUES (" + marks + ")") ||
            !Prepare(same_, "SELECT count(*) FROM calls WHERE " + Start() +
                                " IS ?1 AND raw_hash = ?2 AND raw = ?3") ||
            !Prepare(mark_, "SELECT device, inode, position, checking, check_until FROM "
                            "followed_files WHERE file = ?1") ||
            !Prepare(setMark_,
                     "INSERT OR REPLACE INTO followed_files VALUES (?1, ?2, ?3, ?4, ?5, ?6)") ||
            !Prepare(totals_, TotalsOfIds()) ||
            !Prepare(addTotals_, std::string("INSERT INTO call_totals VALUES (?1, ?2, ?3, ?4, ?5, "
                                             "?6, ?7)") + kAddToTotals) ||
            !Prepare(uncounted_,
                     std::string("SELECT counted_to, ") + kNextId + " FROM call_totals_state") ||
            !Prepare(countedTo_, "UPDATE call_totals_state SET counted_to = ?1"))
            return Fail("cannot prepare the record index");
        // The files SQLite keeps beside this database now (made by the statements above).
        wal_ = shm_ = FileIdentity{};
        Identify(file_.string() + "-wal", wal_);
        Identify(file_.string() + "-shm", shm_);
    }
    return true;
}

void SqliteRecordIndex::RenewTextsView() {
    // An index made by an earlier VELK shows no text for a code its table lacks. Renewed when
    // no other writer is busy; otherwise at a later opening.
    const std::string view = TextsView();
    sqlite3_stmt* s = nullptr;
    const bool same = Prepare(s, "SELECT sql FROM sqlite_master WHERE name = 'calls_with_texts'") &&
                      sqlite3_step(s) == SQLITE_ROW && Text(s, 0) == view;
    sqlite3_finalize(s);
    if (same)
        return;
    const std::string sql =
        "BEGIN IMMEDIATE; DROP VIEW IF EXISTS calls_with_texts; " + view + "; COMMIT";
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}


void SqliteRecordIndex::RecountTotalsIfUnsound() {
    sqlite3_stmt* s = nullptr;
    const bool unsound = sqlite3_prepare_v2(db_, "SELECT sound FROM call_totals_state", -1, &s,
                                            nullptr) == SQLITE_OK &&
                         sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) == 0;
    sqlite3_finalize(s);
    // Counted again when no other writer is busy; otherwise at a later opening (the reports
    // read the calls meanwhile).
    if (unsound) {
        const std::string sql = "BEGIN IMMEDIATE; " + RecountTotals() + "COMMIT";
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    totalsPending_ = true;
}

bool SqliteRecordIndex::KeptTotalsSound() {
    // An index of an older schema, read only, has none.
    sqlite3_stmt* s = nullptr;
    const bool sound =
        sqlite3_prepare_v2(db_,
                           (std::string("SELECT sound = 1 AND next_id >= end_id AND ") +
                            "counted_to >= " + kNextId + " FROM call_totals_state")
                               .c_str(),
                           -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) == 1;
    sqlite3_finalize(s);
    return sound;
}

bool SqliteRecordIndex::AddTotalsOfIds(int64_t from, int64_t until) {
    // Each group and day of them added to its row.
    sqlite3_bind_int64(totals_, 1, from);
    sqlite3_bind_int64(totals_, 2, until);
    bool ok = true;
    int step = SQLITE_ROW;
    while (ok && (step = sqlite3_step(totals_)) == SQLITE_ROW) {
        for (int i = 0; i < 7; ++i)
            sqlite3_bind_value(addTotals_, i + 1, sqlite3_column_value(totals_, i));
        ok = sqlite3_step(addTotals_) == SQLITE_DONE;
        sqlite3_reset(addTotals_);
    }
    ok = ok && step == SQLITE_DONE;
    sqlite3_reset(totals_);
    return ok;
}

bool SqliteRecordIndex::CountNewTotals() {
    // The calls added since the last commit that counted (by this writer, or by hand).
    const bool read = sqlite3_step(uncounted_) == SQLITE_ROW;
    const int64_t from = read ? sqlite3_column_int64(uncounted_, 0) : 0;
    const int64_t until = read ? sqlite3_column_int64(uncounted_, 1) : 0;
    sqlite3_reset(uncounted_);
    if (!read || from >= until)
        return read;
    if (newTotals_->Cover(from, until) ? !newTotals_->AddTo(addTotals_)
                                       : !AddTotalsOfIds(from, until))
        return false;
    sqlite3_bind_int64(countedTo_, 1, until);
    const bool moved = sqlite3_step(countedTo_) == SQLITE_DONE;
    sqlite3_reset(countedTo_);
    return moved;
}

bool SqliteRecordIndex::CountSomeTotals(int64_t most) {
    if (mode_ != Mode::Write || transaction_ || !OpenCurrent())
        return false;
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return true;  // another writer is busy: later
    sqlite3_stmt* s = nullptr;
    int64_t next = 0, end = 0;
    bool ok = sqlite3_prepare_v2(db_, "SELECT sound, next_id, end_id FROM call_totals_state", -1,
                                 &s, nullptr) == SQLITE_OK &&
              sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) == 1;
    if (ok) {
        next = sqlite3_column_int64(s, 1);
        end = sqlite3_column_int64(s, 2);
    }
    sqlite3_finalize(s);
    if (!ok || next >= end) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    const int64_t until = end - next > most ? next + most : end;
    sqlite3_stmt* done = nullptr;
    ok = AddTotalsOfIds(next, until) &&
         sqlite3_prepare_v2(db_, "UPDATE call_totals_state SET next_id = ?1", -1, &done,
                            nullptr) == SQLITE_OK;
    if (ok) {
        sqlite3_bind_int64(done, 1, until);
        ok = sqlite3_step(done) == SQLITE_DONE;
    }
    sqlite3_finalize(done);
    if (!ok || sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return true;
    }
    return until < end;
}

bool SqliteRecordIndex::SetUp(int schema) {
    // Two programs meeting a new database: the second finds it made once it has the lock.
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return Fail("cannot create the record index");
    const int now = SchemaVersion();
    std::string sql;
    if (now == 0)
        sql = Schema();
    if (now == 1)
        sql = FollowSchema();
    // Schema 3 kept them in a table of another shape: made anew, as whatever of them an older
    // index holds.
    if (now >= 1 && now <= 3)
        sql += "DROP TRIGGER IF EXISTS call_totals_add; DROP TRIGGER IF EXISTS call_totals_changed;"
               " DROP TRIGGER IF EXISTS call_totals_removed;"
               " DROP TRIGGER IF EXISTS call_totals_behind; DROP TABLE IF EXISTS call_totals;"
               " DROP TABLE IF EXISTS call_totals_state;\n" +
               TotalsSchema();
    // Schema 4 counted each call through a trigger, every one of them by now: the commits count
    // from the next call on.
    if (now == 4)
        sql = std::string("DROP TRIGGER IF EXISTS call_totals_add;\n"
                          "ALTER TABLE call_totals_state ADD COLUMN counted_to INTEGER NOT "
                          "NULL DEFAULT 0;\n"
                          "UPDATE call_totals_state SET counted_to = ") +
              kNextId + ";\n" +
              BehindTrigger();
    if (now >= 0 && now < kSchemaVersion)
        sql += "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";\n";
    if (now < 0 || sqlite3_exec(db_, (sql + "COMMIT;").c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return Fail(schema == 0 ? "cannot create the record index"
                                : "cannot bring the record index up to this VELK's schema");
    }
    return true;
}

bool SqliteRecordIndex::InTransaction(const char* what) {
    if (db_ != nullptr && transaction_)
        return true;
    error_ = file_.string() + ": " + what + " outside a transaction";
    return false;
}

bool SqliteRecordIndex::Begin() {
    if (mode_ != Mode::Write) {
        error_ = file_.string() + ": opened for reading";
        return false;
    }
    if (transaction_)
        Rollback();
    if (!OpenCurrent())
        return false;
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return Fail("cannot write the record index");
    transaction_ = true;
    newTotals_->Clear();
    return true;
}

void SqliteRecordIndex::Rollback() {
    if (db_ != nullptr && transaction_)
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    transaction_ = false;
}

bool SqliteRecordIndex::Commit() {
    if (!InTransaction("commit"))
        return false;
    if (!CountNewTotals() || sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return Fail("cannot write the record index");
    }
    transaction_ = false;
    // Calls of an older index not counted in the report totals yet: a step of them at most once
    // a second, after the writer's own work, so that the link is served in between.
    const auto now = std::chrono::steady_clock::now();
    if (totalsPending_ && now - lastTotalsStep_ >= std::chrono::seconds(1)) {
        lastTotalsStep_ = now;
        totalsPending_ = CountSomeTotals(kTotalsStep);
    }
    return true;
}

bool SqliteRecordIndex::Add(std::vector<IndexRow>& rows, bool onlyMissing) {
    if (!Begin())
        return false;
    if (!Insert(rows, onlyMissing)) {
        Rollback();
        return false;
    }
    return Commit();
}

bool SqliteRecordIndex::Insert(std::vector<IndexRow>& rows, bool onlyMissing) {
    if (!InTransaction("rows added"))
        return false;
    for (IndexRow& row : rows) {
        const int64_t hash = RawHash(row.raw);
        Bind(same_, 1, row.Field(4));
        sqlite3_bind_int64(same_, 2, hash);
        sqlite3_bind_text(same_, 3, row.raw.data(), static_cast<int>(row.raw.size()),
                          SQLITE_STATIC);
        const int found = sqlite3_step(same_);
        const int64_t same = found == SQLITE_ROW ? sqlite3_column_int64(same_, 0) : -1;
        sqlite3_reset(same_);
        if (same < 0) {
            for (IndexRow& r : rows)
                r.id = 0;
            return Fail("cannot read the record index");
        }
        // A row that must be missing, and is not (it is the row.occurrence-th of its kind), is
        // already there.
        if (onlyMissing && same > row.occurrence) {
            row.id = 0;
            continue;
        }
        row.occurrence = same;
        sqlite3_bind_int64(insert_, 1, row.occurrence);
        for (int c = 0; c < kIndexColumns; ++c)
            Bind(insert_, 2 + c, row.values[static_cast<size_t>(c)]);
        sqlite3_bind_text(insert_, 2 + kRaw, row.raw.data(), static_cast<int>(row.raw.size()),
                          SQLITE_STATIC);
        sqlite3_bind_int(insert_, 2 + kHexType, row.hexType);
        sqlite3_bind_int(insert_, 2 + kSource, static_cast<int>(row.source));
        sqlite3_bind_int64(insert_, 2 + kStoredAt, row.storedAt);
        sqlite3_bind_int64(insert_, 3 + kStoredAt, hash);
        const int done = sqlite3_step(insert_);
        sqlite3_reset(insert_);
        if (done != SQLITE_DONE) {
            for (IndexRow& r : rows)
                r.id = 0;
            return Fail("cannot write the record index");
        }
        row.id = sqlite3_last_insert_rowid(db_);
        newTotals_->Add(row, row.id);
    }
    return true;
}

bool SqliteRecordIndex::Mark(const std::string& file, std::optional<FileMark>& mark) {
    mark.reset();
    if (!InTransaction("a file's mark read"))
        return false;
    sqlite3_bind_text(mark_, 1, file.data(), static_cast<int>(file.size()), SQLITE_STATIC);
    const int step = sqlite3_step(mark_);
    if (step == SQLITE_ROW) {
        mark = FileMark{file,
                        {static_cast<uint64_t>(sqlite3_column_int64(mark_, 0)),
                         static_cast<uint64_t>(sqlite3_column_int64(mark_, 1))},
                        static_cast<uint64_t>(sqlite3_column_int64(mark_, 2)),
                        sqlite3_column_int(mark_, 3) != 0,
                        static_cast<uint64_t>(sqlite3_column_int64(mark_, 4))};
    }
    sqlite3_reset(mark_);
    return step == SQLITE_ROW || step == SQLITE_DONE || Fail("cannot read the record index");
}

bool SqliteRecordIndex::SetMark(const FileMark& mark) {
    if (!InTransaction("a file's mark set"))
        return false;
    sqlite3_bind_text(setMark_, 1, mark.file.data(), static_cast<int>(mark.file.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int64(setMark_, 2, static_cast<sqlite3_int64>(mark.identity.device));
    sqlite3_bind_int64(setMark_, 3, static_cast<sqlite3_int64>(mark.identity.inode));
    sqlite3_bind_int64(setMark_, 4, static_cast<sqlite3_int64>(mark.position));
    sqlite3_bind_int(setMark_, 5, mark.checking ? 1 : 0);
    sqlite3_bind_int64(setMark_, 6, static_cast<sqlite3_int64>(mark.checkUntil));
    const int step = sqlite3_step(setMark_);
    sqlite3_reset(setMark_);
    return step == SQLITE_DONE || Fail("cannot write the record index");
}

bool SqliteRecordIndex::Marks(std::vector<FileMark>& marks) {
    marks.clear();
    if (!OpenCurrent())
        return false;
    sqlite3_stmt* s = nullptr;
    if (!Prepare(s, "SELECT file, device, inode, position, checking, check_until FROM "
                    "followed_files")) {
        sqlite3_finalize(s);
        return Fail("cannot read the record index");
    }
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(s)) == SQLITE_ROW) {
        marks.push_back({Text(s, 0),
                         {static_cast<uint64_t>(sqlite3_column_int64(s, 1)),
                          static_cast<uint64_t>(sqlite3_column_int64(s, 2))},
                         static_cast<uint64_t>(sqlite3_column_int64(s, 3)),
                         sqlite3_column_int(s, 4) != 0,
                         static_cast<uint64_t>(sqlite3_column_int64(s, 5))});
    }
    sqlite3_finalize(s);
    return step == SQLITE_DONE || Fail("cannot read the record index");
}

bool SqliteRecordIndex::SetAside(std::string& where) {
    Close();
    std::error_code ec;
    for (int n = 1;; ++n) {
        where = file_.string() + ".damaged" + (n == 1 ? std::string() : std::to_string(n));
        if (!std::filesystem::exists(where, ec))
            break;
    }
    // Its log goes with it; another program's connection to it keeps the shared-memory file it
    // has, and the new database gets one of its own.
    RemoveLeftOver(file_.string() + "-wal", wal_, where + "-wal");
    RemoveLeftOver(file_.string() + "-shm", shm_);
    // Renamed in one step: another program's connection to it notices that it is another file
    // and opens the new one (its own log beside it).
    if (std::filesystem::exists(file_, ec) && ::rename(file_.c_str(), where.c_str()) != 0) {
        error_ = file_.string() + ": cannot be set aside as " + where + ": " + std::strerror(errno);
        return false;
    }
    // A database this program put in place is no surprise to it.
    known_ = false;
    damaged_ = false;
    return Open();
}

bool SqliteRecordIndex::ServerMark(const std::string& site, int64_t& throughId,
                                   int64_t& fingerprint) {
    if (!OpenCurrent())
        return false;
    sqlite3_stmt* s = nullptr;
    bool found = false;
    if (Prepare(s, "SELECT through_id, fingerprint FROM server_marks WHERE site = ?1")) {
        sqlite3_bind_text(s, 1, site.data(), static_cast<int>(site.size()), SQLITE_STATIC);
        if (sqlite3_step(s) == SQLITE_ROW) {
            throughId = sqlite3_column_int64(s, 0);
            fingerprint = sqlite3_column_int64(s, 1);
            found = true;
        }
    }
    sqlite3_finalize(s);
    return found;
}

bool SqliteRecordIndex::SetServerMark(const std::string& site, int64_t throughId,
                                      int64_t fingerprint) {
    if (!OpenCurrent())
        return false;
    sqlite3_stmt* s = nullptr;
    bool done = false;
    if (Prepare(s, "INSERT OR REPLACE INTO server_marks VALUES (?1, ?2, ?3)")) {
        sqlite3_bind_text(s, 1, site.data(), static_cast<int>(site.size()), SQLITE_STATIC);
        sqlite3_bind_int64(s, 2, throughId);
        sqlite3_bind_int64(s, 3, fingerprint);
        done = sqlite3_step(s) == SQLITE_DONE;
    }
    sqlite3_finalize(s);
    return done;
}

bool SqliteRecordIndex::Select(const IndexFilter& filter,
                               const std::function<bool(const IndexRow&)>& visit) {
    if (!OpenCurrent())
        return false;
    std::string where;
    std::vector<const IndexValue*> binds;
    for (const IndexRange& r : filter.common) {
        where += where.empty() ? " WHERE " : " AND ";
        RangeSql(r, where, binds);
    }
    std::string alternatives;
    std::vector<const IndexValue*> alternativeBinds;
    bool all = filter.alternatives.empty();
    for (const auto& alternative : filter.alternatives) {
        all = all || alternative.empty();
        alternatives += alternatives.empty() ? "(" : " OR (";
        for (size_t i = 0; i < alternative.size(); ++i) {
            if (i > 0)
                alternatives += " AND ";
            RangeSql(alternative[i], alternatives, alternativeBinds);
        }
        alternatives += ")";
    }
    if (!all) {
        where += (where.empty() ? " WHERE (" : " AND (") + alternatives + ")";
        binds.insert(binds.end(), alternativeBinds.begin(), alternativeBinds.end());
    }
    sqlite3_stmt* s = nullptr;
    // Rows without a start come first, as in any ordering of the rows' values here.
    const std::string order = filter.byStart ? " ORDER BY " + Start() + ", id" : " ORDER BY id";
    if (!Prepare(s, "SELECT id, occurrence, " + ColumnList() + " FROM calls" + where + order)) {
        sqlite3_finalize(s);
        return Fail("cannot search the record index");
    }
    for (size_t i = 0; i < binds.size(); ++i)
        Bind(s, static_cast<int>(i) + 1, *binds[i]);
    int step = SQLITE_ROW;
    IndexRow row;
    while ((step = sqlite3_step(s)) == SQLITE_ROW) {
        ReadRow(s, row);
        if (!visit(row)) {
            step = SQLITE_DONE;
            break;
        }
    }
    sqlite3_finalize(s);
    return step == SQLITE_DONE || Fail("cannot search the record index");
}

std::optional<std::vector<GroupTotals>> SqliteRecordIndex::Totals(ReportBy by, int prefixDigits,
                                                                  const std::string& from,
                                                                  const std::string& to) {
    if (!OpenCurrent())
        return std::nullopt;
    const bool kept = by != ReportBy::Site &&
                      (by != ReportBy::DialledPrefix ||
                       (prefixDigits >= 1 && prefixDigits <= kKeptPrefixDigits));
    if (kept && !transaction_) {
        // The kept totals and the calls of the days they leave out, read in one snapshot.
        if (sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
            Fail("cannot count in the record index");
            return std::nullopt;
        }
        std::optional<std::vector<GroupTotals>> totals;
        bool read = true;
        if (KeptTotalsSound())
            totals = TotalsKept(by, prefixDigits, from, to, read);
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        if (!read) {
            Fail("cannot count in the record index");
            return std::nullopt;
        }
        if (totals)
            return totals;
    }
    return TotalsOfCalls(by, prefixDigits, from, to);
}

std::optional<std::vector<GroupTotals>> SqliteRecordIndex::TotalsKept(ReportBy by,
                                                                      int prefixDigits,
                                                                      const std::string& from,
                                                                      const std::string& to,
                                                                      bool& read) {
    // The calls of a day all lie in [from, to] when the day is from or later and lies before
    // the first ten characters of `to` (every start begins with its day): its kept totals count.
    // The calls of the other days in the range are read: those of from's own day at or after
    // from, and those of the days from to's first ten characters on, up to to.
    int kind = kByHour;
    std::string keptGroup = "nullif(grp, x'')", callGroup;
    switch (by) {
        case ReportBy::Extension:
            kind = kByExtension;
            break;
        case ReportBy::Trunk:
            kind = kByTrunk;
            break;
        case ReportBy::CallType:
            kind = kByCallType;
            break;
        case ReportBy::DialledPrefix:
            kind = kByPrefix;
            keptGroup = "substr(nullif(grp, x''), 1, " + std::to_string(prefixDigits) + ")";
            break;
        case ReportBy::Hour:
            break;
        case ReportBy::Day:
            keptGroup = "nullif(day, x'')";
            break;
        case ReportBy::Site:
            return std::nullopt;
    }
    callGroup = kind == kByPrefix || by == ReportBy::Day
                    ? (by == ReportBy::Day ? TotalsDay("c") : "substr(c." +
                                                                  Quoted(IndexColumnName(6)) +
                                                                  ", 1, " +
                                                                  std::to_string(prefixDigits) +
                                                                  ")")
                    : TotalsGroup(kind, "c");
    const std::string toDay = to.substr(0, std::min<size_t>(to.size(), 10));
    std::map<IndexValue, GroupTotals> byGroup;
    const auto run = [&](const std::string& sql, const std::vector<const std::string*>& binds) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
            sqlite3_finalize(s);
            return false;
        }
        for (size_t i = 0; i < binds.size(); ++i)
            sqlite3_bind_text(s, static_cast<int>(i) + 1, binds[i]->data(),
                              static_cast<int>(binds[i]->size()), SQLITE_STATIC);
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(s)) == SQLITE_ROW) {
            GroupTotals& g = byGroup[Value(s, 0)];
            g.calls += sqlite3_column_int64(s, 1);
            g.answered += sqlite3_column_int64(s, 2);
            g.totalSeconds += sqlite3_column_int64(s, 3);
            g.longestSeconds = std::max<int64_t>(g.longestSeconds, sqlite3_column_int64(s, 4));
        }
        sqlite3_finalize(s);
        return step == SQLITE_DONE;
    };
    // The whole days.
    std::string sql = "SELECT " + keptGroup +
                      ", calls, answered, seconds, longest FROM call_totals"
                      " WHERE kind = " + std::to_string(kind);
    std::vector<const std::string*> binds;
    if (!from.empty()) {
        sql += " AND day >= ?" + std::to_string(binds.size() + 1);
        binds.push_back(&from);
    }
    if (!to.empty()) {
        sql += " AND day < ?" + std::to_string(binds.size() + 1);
        binds.push_back(&toDay);
    } else if (!from.empty()) {
        sql += " AND day < x''";  // not the calls without a day (kept as the empty blob)
    }
    // Added up here rather than by the database: a few groups from many days want no sorting.
    read = run(sql, binds);
    // Through the start times' index, whatever the group: a day of calls, not all of them.
    const std::string calls = "SELECT " + callGroup + ", count(*), sum(c.answered), sum(" +
                              KnownSeconds("c") + "), max(" + KnownSeconds("c") +
                              ") FROM calls c INDEXED BY calls_start WHERE ";
    const std::string start = "c." + Start(), day = TotalsDay("c");
    // From's own day, when from lies inside it (a day's calls all begin with the day itself,
    // and no call before from lies in it otherwise).
    if (read && from.size() > 10) {
        std::string fromDay = from.substr(0, 10), next = fromDay;
        while (!next.empty() && static_cast<unsigned char>(next.back()) == 0xFF)
            next.pop_back();
        if (!next.empty())
            next.back() = static_cast<char>(static_cast<unsigned char>(next.back()) + 1);
        sql = calls + start + " >= ?1 AND " + day + " < ?1";
        binds = {&from};
        if (!next.empty()) {
            sql += " AND " + start + " < ?2";
            binds.push_back(&next);
        }
        if (!to.empty()) {
            sql += " AND " + start + " <= ?" + std::to_string(binds.size() + 1);
            binds.push_back(&to);
        }
        read = run(sql + " GROUP BY 1", binds);
    }
    // The days from to's first ten characters on, up to to (none of from's own day before
    // from).
    if (read && !to.empty()) {
        const std::string& low = !from.empty() && from > toDay ? from : toDay;
        sql = calls + start + " >= ?1 AND " + start + " <= ?2 AND " + day + " >= ?3";
        binds = {&low, &to, &toDay};
        if (!from.empty()) {
            sql += " AND " + day + " >= ?4";
            binds.push_back(&from);
        }
        read = run(sql + " GROUP BY 1", binds);
    }
    if (!read)
        return std::nullopt;
    std::vector<GroupTotals> totals;
    for (auto& [value, g] : byGroup) {
        // A group whose calls were all counted elsewhere is no group.
        if (g.calls == 0)
            continue;
        g.group = IndexValueText(value);
        totals.push_back(std::move(g));
    }
    return totals;
}

std::optional<std::vector<GroupTotals>> SqliteRecordIndex::TotalsOfCalls(ReportBy by,
                                                                         int prefixDigits,
                                                                         const std::string& from,
                                                                         const std::string& to) {
    std::string group;
    switch (by) {
        case ReportBy::Extension:
            group = Quoted(IndexColumnName(3));
            break;
        case ReportBy::Trunk:
            group = "trunk";
            break;
        case ReportBy::CallType:
            group = Quoted(IndexColumnName(9));
            break;
        case ReportBy::DialledPrefix:
            group = "substr(" + Quoted(IndexColumnName(6)) + ", 1, " +
                    std::to_string(prefixDigits) + ")";
            break;
        case ReportBy::Hour:
            group = "substr(" + Start() + ", 12, 2)";
            break;
        case ReportBy::Day:
            group = "substr(" + Start() + ", 1, 10)";
            break;
        case ReportBy::Site:
            group = "''";  // one site here
            break;
    }
    const std::string duration = Quoted(IndexColumnName(32));
    // A duration kept as text (unknown) compares above every number: it counts 0, as a negative
    // one does.
    const std::string known =
        "iif(" + duration + " BETWEEN 1 AND 999999999999, " + duration + ", 0)";
    std::string where;
    if (!from.empty())
        where += " WHERE " + Start() + " >= ?1";
    if (!to.empty())
        where += (where.empty() ? " WHERE " : " AND ") + Start() + " <= ?2";
    sqlite3_stmt* s = nullptr;
    if (!Prepare(s, "SELECT " + group + ", count(*), sum(answered), sum(" + known + "), max(" +
                        known + ") FROM calls" + where + " GROUP BY 1")) {
        sqlite3_finalize(s);
        Fail("cannot count in the record index");
        return std::nullopt;
    }
    if (!from.empty())
        sqlite3_bind_text(s, 1, from.data(), static_cast<int>(from.size()), SQLITE_STATIC);
    if (!to.empty())
        sqlite3_bind_text(s, 2, to.data(), static_cast<int>(to.size()), SQLITE_STATIC);
    std::vector<GroupTotals> totals;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(s)) == SQLITE_ROW) {
        GroupTotals t;
        t.group = IndexValueText(Value(s, 0));
        t.calls = sqlite3_column_int64(s, 1);
        t.answered = sqlite3_column_int64(s, 2);
        t.totalSeconds = sqlite3_column_int64(s, 3);
        t.longestSeconds = sqlite3_column_int64(s, 4);
        totals.push_back(std::move(t));
    }
    sqlite3_finalize(s);
    if (step != SQLITE_DONE) {
        Fail("cannot count in the record index");
        return std::nullopt;
    }
    return totals;
}

bool SqliteRecordIndex::Sound() {
    if (!OpenCurrent())
        return false;
    sqlite3_stmt* s = nullptr;
    const bool prepared = Prepare(s, "PRAGMA quick_check");
    const int step = prepared ? sqlite3_step(s) : SQLITE_ERROR;
    const bool ok = step == SQLITE_ROW && Text(s, 0) == "ok";
    sqlite3_finalize(s);
    if (!ok) {
        Fail("the record index is damaged");
        damaged_ = damaged_ || step == SQLITE_ROW;
    }
    return ok;
}

bool SqliteRecordIndex::After(int64_t id, size_t most, std::vector<IndexRow>& rows) {
    if (!OpenCurrent())
        return false;
    sqlite3_stmt* s = nullptr;
    if (!Prepare(s, "SELECT id, occurrence, " + ColumnList() + " FROM calls WHERE id > ?1 ORDER BY id LIMIT ?2")) {
        sqlite3_finalize(s);
        return Fail("cannot read the record index");
    }
    sqlite3_bind_int64(s, 1, id);
    sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(std::min<size_t>(most, INT64_MAX)));
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(s)) == SQLITE_ROW) {
        rows.emplace_back();
        ReadRow(s, rows.back());
    }
    sqlite3_finalize(s);
    return step == SQLITE_DONE || Fail("cannot read the record index");
}

int64_t SqliteRecordIndex::LastId() {
    const int64_t id = Number("SELECT coalesce(max(id), 0) FROM calls");
    if (id < 0 && db_ != nullptr)
        Fail("cannot read the record index");
    return id;
}

int64_t SqliteRecordIndex::Count() {
    return Number("SELECT count(*) FROM calls");
}

int64_t SqliteRecordIndex::Number(const std::string& sql) {
    if (!OpenCurrent())
        return -1;
    sqlite3_stmt* s = nullptr;
    int64_t n = -1;
    if (Prepare(s, sql) && sqlite3_step(s) == SQLITE_ROW)
        n = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return n;
}

}  // namespace velk
