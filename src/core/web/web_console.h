#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/archive/call_report.h"
#include "core/archive/record_index.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/clock.h"
#include "core/web/http_message.h"
#include "core/web/web_address.h"
#include "core/web/web_login.h"

namespace velk {

// What the collector last told of itself, as the Status page shows it.
struct WebStatus {
    bool known = false;   // false: no state could be read (why says what)
    std::string why;
    int64_t ageSeconds = 0;  // since the collector wrote it
    bool linkUp = false;
    std::string link;  // the link's state in words
    std::string peer;
    int64_t recordsToday = 0;
    std::string lastRecord;  // the last record's time, empty when none today
    std::vector<std::string> alarms;
    std::string database;
    int64_t freeDiskBytes = -1;  // -1: unknown
};

class WebStatusSource {
public:
    virtual ~WebStatusSource() = default;
    virtual WebStatus Read() = 0;
    // The Prometheus text of /metrics.
    virtual std::string Metrics() = 0;
};

// The stored calls: the record index of this site (read only) or the database server of all.
class WebArchive {
public:
    virtual ~WebArchive() = default;
    // The record index (server: the database server of many sites, `site` empty for all);
    // nullptr with the reason when it cannot be opened.
    virtual std::unique_ptr<RecordIndex> Open(bool server, const std::string& site,
                                              std::string& why) = 0;
    // The calls stored after the call `afterId`, at most `most`, the newest of them (ascending
    // by id), and the newest call's id; false with the reason when the index cannot be read.
    virtual bool Newest(int64_t afterId, size_t most, std::vector<IndexRow>& rows,
                        int64_t& lastId, std::string& why) = 0;
    virtual bool HasServer() const = 0;
};

struct WebConsoleOptions {
    bool tls = false;                         // cookies are then Secure
    std::vector<AddressRange> metricsFrom;    // who may read /metrics
    int64_t searchSeconds = 10;               // a search or report stops after this long
    size_t mostListed = 10000;                // calls a Find lists (sorted and paged)
    size_t mostApiCalls = 100000;             // calls /api/calls answers at most
    size_t pageRows = 100;                    // calls on a page of Find
    std::filesystem::path chartDirectory = "/usr/share/javascript/chart.js";
    std::filesystem::path trafficDirectory;
};

// The web console: every page and API answer of velk-web from a request. Safe to call from
// several threads at once (each request opens the index for itself).
class WebConsole {
public:
    using Log = std::function<void(const std::string&)>;
    using Seconds = std::function<int64_t()>;  // a clock that never goes back

    WebConsole(AppSettings settings, WebArchive& archive, WebStatusSource& status,
               PasswordHasher& hasher, std::function<std::string()> accountsText,
               SessionStore& sessions, LoginThrottle& throttle, const Clock& clock,
               Seconds monotonic, Log log, WebConsoleOptions options);

    WebResponse Handle(const WebRequest& request);

    static constexpr const char* kCookieName = "velk_session";

private:
    WebResponse Login(const WebRequest& request);
    WebResponse Logout(const WebRequest& request);
    WebResponse StatusPage(const std::string& user);
    WebResponse CallsPage(const std::string& user);
    WebResponse FindPage(const WebRequest& request, const std::string& user);
    WebResponse FindExport(const WebRequest& request);
    WebResponse ReportsPage(const WebRequest& request, const std::string& user);
    WebResponse LoadPage(const WebRequest& request, const std::string& user);
    WebResponse ApiStatus();
    WebResponse ApiNewest(const WebRequest& request);
    WebResponse ApiCalls(const WebRequest& request);
    WebResponse ApiReport(const WebRequest& request);
    WebResponse Metrics(const WebRequest& request);
    WebResponse ChartFile(const std::string& name);

    AppSettings settings_;
    WebArchive& archive_;
    WebStatusSource& status_;
    PasswordHasher& hasher_;
    std::function<std::string()> accountsText_;
    SessionStore& sessions_;
    LoginThrottle& throttle_;
    const Clock& clock_;
    Seconds monotonic_;
    Log log_;
    WebConsoleOptions options_;
};

// The text of a value for an HTML page: &, <, >, " and ' as entities, bytes above 127 as their
// Latin-1 character, control characters as U+FFFD.
std::string HtmlEscape(const std::string& text);
// A text for a log line: at most `most` bytes, every byte outside printable ASCII as '?'.
std::string LogSafe(const std::string& text, size_t most = 64);

// The search a request asks for: the cases of its grid ("c<case>f<field>" fields, case 1 to 6,
// field 0 to 49) and the start range of "from" and "to".
struct WebSearch {
    std::vector<std::vector<QueryCell>> cases;
    std::optional<CellCondition> start;
    std::vector<std::string> problems;  // the cells and dates that cannot be read, in words
};
WebSearch ReadWebSearch(const WebRequest& request);

// An index whose searches stop once `seconds` have passed: the visit then ends as though the
// visitor had said so, and Stopped() tells it.
class BoundedIndex : public RecordIndex {
public:
    BoundedIndex(RecordIndex& index, std::function<int64_t()> monotonic, int64_t seconds);
    bool Add(std::vector<IndexRow>& rows, bool onlyMissing) override;
    bool Select(const IndexFilter& filter,
                const std::function<bool(const IndexRow&)>& visit) override;
    std::optional<std::vector<GroupTotals>> Totals(ReportBy by, int prefixDigits,
                                                   const std::string& from,
                                                   const std::string& to) override;
    std::string ErrorText() const override { return index_.ErrorText(); }
    bool Stopped() const { return stopped_; }

private:
    RecordIndex& index_;
    std::function<int64_t()> monotonic_;
    int64_t seconds_;
    bool stopped_ = false;
};

}  // namespace velk
