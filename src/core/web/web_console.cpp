#include "core/web/web_console.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "core/analysis/query_form.h"
#include "core/analysis/system_load.h"
#include "core/decode/field_names.h"
#include "core/record/call_recorder.h"
#include "core/web/web_assets.h"

namespace velk {
namespace {

constexpr int kCases = 6;
constexpr size_t kNewestShown = 50;

std::string JsonText(const std::string& t) {
    std::string q = "\"";
    for (unsigned char c : t) {
        if (c == '"') {
            q += "\\\"";
        } else if (c == '\\') {
            q += "\\\\";
        } else if (c < 0x20 || c >= 0x7F) {
            // Record texts are 8-bit: every other byte as its Latin-1 character.
            char u[8];
            std::snprintf(u, sizeof u, "\\u%04x", c);
            q += u;
        } else {
            q += static_cast<char>(c);
        }
    }
    return q + "\"";
}

std::string Two(int v) {
    char t[8];
    std::snprintf(t, sizeof t, "%02d", v);
    return t;
}

std::string DateText(const LocalTime& t) {
    return std::to_string(t.year) + "-" + Two(t.month) + "-" + Two(t.day);
}

WebResponse Text(int status, const std::string& type, std::string body) {
    WebResponse r;
    r.status = status;
    r.Header("Content-Type", type);
    r.body = std::move(body);
    return r;
}

WebResponse Json(int status, std::string body) {
    return Text(status, "application/json", std::move(body));
}

WebResponse JsonError(int status, const std::string& message) {
    return Json(status, "{\"error\": " + JsonText(message) + "}\n");
}

WebResponse Redirect(const std::string& to) {
    WebResponse r = Text(303, "text/plain; charset=utf-8", "See " + to + "\n");
    r.Header("Location", to);
    return r;
}

struct NavItem {
    const char* path;
    const char* title;
};
constexpr NavItem kNav[] = {{"/status", "Status"},  {"/calls", "Calls"},
                            {"/find", "Find"},      {"/reports", "Reports"},
                            {"/load", "System load"}};

// A whole page: the navigation, the body, the scripts as files of their own.
std::string Page(const std::string& title, const std::string& path, const std::string& user,
                 const std::string& body, bool chart = false) {
    std::string out =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<title>VELK - " + HtmlEscape(title) + "</title>"
        "<link rel=\"stylesheet\" href=\"/static/velk.css\">";
    if (chart)
        out += "<script src=\"/chart.js/chart.min.js\" defer></script>";
    out += "<script src=\"/static/velk.js\" defer></script></head>\n<body data-page=\"" +
           HtmlEscape(path.substr(1)) + "\">\n<nav>";
    for (const NavItem& item : kNav) {
        out += std::string("<a href=\"") + item.path + "\"" +
               (path == item.path ? " class=\"here\"" : "") + ">" + item.title + "</a>";
    }
    out += "<form method=\"post\" action=\"/logout\" class=\"logout\"><span class=\"user\">" +
           HtmlEscape(user) +
           "</span> <button type=\"submit\" id=\"logout\">Log out</button></form></nav>\n<main>"
           "<h1>" + HtmlEscape(title) + "</h1>\n" + body + "</main></body></html>\n";
    return out;
}

WebResponse HtmlPage(int status, std::string html) {
    return Text(status, "text/html; charset=utf-8", std::move(html));
}

std::string LoginForm(const std::string& message) {
    std::string out =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>VELK - Log in"
        "</title><link rel=\"stylesheet\" href=\"/static/velk.css\"></head>\n<body class=\"login\">"
        "<main><h1>VELK</h1>";
    if (!message.empty())
        out += "<p class=\"problem\" id=\"login-problem\">" + HtmlEscape(message) + "</p>";
    out +=
        "<form method=\"post\" action=\"/login\"><label>Name <input name=\"user\" id=\"user\" "
        "autocomplete=\"username\" maxlength=\"64\" required></label><label>Password <input "
        "name=\"password\" id=\"password\" type=\"password\" autocomplete=\"current-password\" "
        "maxlength=\"1024\" required></label><button type=\"submit\" id=\"login\">Log in</button>"
        "</form></main></body></html>\n";
    return out;
}

std::string StatusJson(const WebStatus& s) {
    std::string alarms = "[";
    for (size_t i = 0; i < s.alarms.size(); ++i)
        alarms += (i > 0 ? ", " : "") + JsonText(s.alarms[i]);
    alarms += "]";
    return std::string("{\"known\": ") + (s.known ? "true" : "false") +
           ", \"why\": " + JsonText(s.why) + ", \"age_seconds\": " + std::to_string(s.ageSeconds) +
           ", \"link_up\": " + (s.linkUp ? "true" : "false") + ", \"link\": " + JsonText(s.link) +
           ", \"peer\": " + JsonText(s.peer) +
           ", \"records_today\": " + std::to_string(s.recordsToday) +
           ", \"last_record\": " + JsonText(s.lastRecord) + ", \"alarms\": " + alarms +
           ", \"database\": " + JsonText(s.database) +
           ", \"free_disk_bytes\": " + std::to_string(s.freeDiskBytes) + "}\n";
}

std::string FreeDiskText(int64_t bytes) {
    if (bytes < 0)
        return "unknown";
    char t[32];
    std::snprintf(t, sizeof t, "%.1f GiB", static_cast<double>(bytes) / (1024.0 * 1024 * 1024));
    return t;
}

// The listed columns' texts of a call.
std::vector<std::string> Cells(const std::array<std::string, 50>& texts,
                               const std::vector<int>& fields) {
    std::vector<std::string> cells;
    for (int f : fields)
        cells.push_back(texts[static_cast<size_t>(f)]);
    return cells;
}

std::string HeaderRow(const std::vector<int>& fields) {
    std::string out = "<tr>";
    for (int f : fields)
        out += "<th>" + HtmlEscape(std::string(kFieldNames[static_cast<size_t>(f)])) + "</th>";
    return out + "</tr>";
}

std::string CallRow(const std::vector<std::string>& cells) {
    std::string out = "<tr>";
    for (const std::string& c : cells)
        out += "<td>" + HtmlEscape(c) + "</td>";
    return out + "</tr>\n";
}

bool ReadCount(const std::string& text, int64_t& value) {
    return !text.empty() && text.size() <= 9 &&
           text.find_first_not_of("0123456789") == std::string::npos &&
           (value = std::stoll(text), true);
}

// Texts compared as numbers where both are whole numbers, else byte by byte.
bool CellLess(const std::string& a, const std::string& b) {
    int64_t x = 0, y = 0;
    const bool na = ReadInteger(a, x), nb = ReadInteger(b, y);
    if (na && nb)
        return x < y;
    if (na != nb)
        return na;
    return a < b;
}

// The query of a request's search fields only, for links that keep the search.
std::string SearchQuery(const WebRequest& request) {
    std::string out;
    for (const auto& [name, value] : request.query) {
        if (name == "page" || name == "sort" || name == "desc")
            continue;
        if (value.empty())
            continue;
        out += (out.empty() ? "" : "&") + UrlEncode(name) + "=" + UrlEncode(value);
    }
    return out;
}

struct ListedCalls {
    std::vector<std::array<std::string, 50>> texts;
    std::vector<std::string> sites;
    int64_t count = 0, totalSeconds = 0;
    bool ok = true, stopped = false;
    std::string error;
};

}  // namespace

std::string HtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default:
                if (c >= 0x80) {
                    out += "&#" + std::to_string(c) + ";";
                } else if (c < 0x20 && c != '\t' && c != '\n') {
                    out += "&#xfffd;";
                } else if (c == 0x7f) {
                    out += "&#xfffd;";
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string LogSafe(const std::string& text, size_t most) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < most; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        out += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    if (text.size() > most)
        out += "...";
    return out;
}

WebSearch ReadWebSearch(const WebRequest& request) {
    WebSearch search;
    search.cases.resize(kCases);
    for (const auto& [name, value] : request.query) {
        if (name.size() < 4 || name[0] != 'c' || value.empty())
            continue;
        const size_t f = name.find('f');
        int64_t k = 0, field = 0;
        if (f == std::string::npos || !ReadCount(name.substr(1, f - 1), k) ||
            !ReadCount(name.substr(f + 1), field) || k < 1 || k > kCases || field >= 50)
            continue;
        auto& cells = search.cases[static_cast<size_t>(k - 1)];
        if (std::none_of(cells.begin(), cells.end(),
                         [&](const QueryCell& c) { return c.field == field; }))
            cells.push_back(QueryCell{static_cast<int>(field), value});
    }
    for (auto& cells : search.cases) {
        std::sort(cells.begin(), cells.end(),
                  [](const QueryCell& a, const QueryCell& b) { return a.field < b.field; });
    }
    std::vector<CellProblem> problems;
    CallQuery::Read(search.cases, problems);
    for (const CellProblem& p : problems) {
        const QueryCell& cell = search.cases[static_cast<size_t>(p.caseIndex)][p.cell];
        search.problems.push_back("Case " + std::to_string(p.caseIndex + 1) + ", " +
                                  std::string(kFieldNames[static_cast<size_t>(cell.field)]) +
                                  " = " + cell.text + ": " + p.why);
    }
    const std::string from = request.Field("from"), to = request.Field("to");
    if (!from.empty() || !to.empty()) {
        std::string why;
        search.start = StartBetween(from, to, why);
        if (!search.start)
            search.problems.push_back(why);
    }
    return search;
}

BoundedIndex::BoundedIndex(RecordIndex& index, std::function<int64_t()> monotonic,
                           int64_t seconds)
    : index_(index), monotonic_(std::move(monotonic)), seconds_(seconds) {}

bool BoundedIndex::Add(std::vector<IndexRow>& rows, bool onlyMissing) {
    return index_.Add(rows, onlyMissing);
}

bool BoundedIndex::Select(const IndexFilter& filter,
                          const std::function<bool(const IndexRow&)>& visit) {
    const int64_t end = monotonic_() + seconds_;
    uint32_t rows = 0;
    return index_.Select(filter, [&](const IndexRow& row) {
        if ((++rows & 255) == 0 && monotonic_() >= end) {
            stopped_ = true;
            return false;
        }
        return visit(row);
    });
}

std::optional<std::vector<GroupTotals>> BoundedIndex::Totals(ReportBy by, int prefixDigits,
                                                             const std::string& from,
                                                             const std::string& to) {
    return index_.Totals(by, prefixDigits, from, to);
}

WebConsole::WebConsole(AppSettings settings, WebArchive& archive, WebStatusSource& status,
                       PasswordHasher& hasher, std::function<std::string()> accountsText,
                       SessionStore& sessions, LoginThrottle& throttle, const Clock& clock,
                       Seconds monotonic, Log log, WebConsoleOptions options)
    : settings_(std::move(settings)), archive_(archive), status_(status), hasher_(hasher),
      accountsText_(std::move(accountsText)), sessions_(sessions), throttle_(throttle),
      clock_(clock), monotonic_(std::move(monotonic)), log_(std::move(log)),
      options_(std::move(options)) {}

WebResponse WebConsole::Handle(const WebRequest& request) {
    WebResponse r = [&] {
        const std::string& path = request.path;
        if (path == "/metrics")
            return Metrics(request);
        if (path == "/static/velk.css")
            return Text(200, "text/css; charset=utf-8", kConsoleCss);
        if (path == "/login") {
            if (request.method == "POST")
                return Login(request);
            return HtmlPage(200, LoginForm({}));
        }
        const auto cookie = request.cookies.find(kCookieName);
        const std::optional<std::string> user =
            cookie == request.cookies.end() ? std::nullopt : sessions_.User(cookie->second);
        if (!user) {
            if (path.rfind("/api/", 0) == 0)
                return JsonError(401, "log in first");
            if (request.method == "GET" || request.method == "HEAD")
                return Redirect("/login");
            return Text(401, "text/plain; charset=utf-8", "Log in first.\n");
        }
        if (path == "/logout")
            return request.method == "POST" ? Logout(request)
                                            : Text(405, "text/plain; charset=utf-8",
                                                   "Log out with the page's button.\n");
        if (request.method != "GET" && request.method != "HEAD")
            return Text(405, "text/plain; charset=utf-8", "Only GET here.\n");
        if (path == "/" )
            return Redirect("/status");
        if (path == "/status")
            return StatusPage(*user);
        if (path == "/calls")
            return CallsPage(*user);
        if (path == "/find")
            return FindPage(request, *user);
        if (path == "/find.csv")
            return FindExport(request);
        if (path == "/reports")
            return ReportsPage(request, *user);
        if (path == "/load")
            return LoadPage(request, *user);
        if (path == "/api/status")
            return ApiStatus();
        if (path == "/api/newest")
            return ApiNewest(request);
        if (path == "/api/calls")
            return ApiCalls(request);
        if (path == "/api/report")
            return ApiReport(request);
        if (path == "/static/velk.js")
            return Text(200, "text/javascript; charset=utf-8", kConsoleScript);
        if (path.rfind("/chart.js/", 0) == 0)
            return ChartFile(path.substr(10));
        return Text(404, "text/plain; charset=utf-8", "Not found.\n");
    }();
    r.Header("Content-Security-Policy",
             "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
             "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'");
    r.Header("X-Content-Type-Options", "nosniff");
    r.Header("X-Frame-Options", "DENY");
    r.Header("Referrer-Policy", "no-referrer");
    if (r.HeaderValue("Cache-Control").empty())
        r.Header("Cache-Control", "no-store");
    if (options_.tls)
        r.Header("Strict-Transport-Security", "max-age=31536000");
    return r;
}

WebResponse WebConsole::Login(const WebRequest& request) {
    const std::string name = request.Field("user"), password = request.Field("password");
    const int64_t wait = throttle_.WaitSeconds(request.peer);
    if (wait > 0) {
        WebResponse r = HtmlPage(429, LoginForm("Too many wrong passwords from this address: try "
                                                "again in " + std::to_string(wait) + " s."));
        r.Header("Retry-After", std::to_string(wait));
        return r;
    }
    const auto accounts = ReadAccounts(accountsText_());
    const auto account = accounts.find(name);
    bool right = false;
    if (account != accounts.end() && !password.empty() && password.size() <= 1024) {
        right = hasher_.Verify(password, account->second);
    } else if (!accounts.empty()) {
        // An unknown name takes as long as a wrong password.
        hasher_.Verify(password.substr(0, 1024), accounts.begin()->second);
    }
    if (!right) {
        throttle_.Failed(request.peer);
        log_("login refused: " + LogSafe(name) + " from " + LogSafe(request.peer));
        return HtmlPage(401, LoginForm("Wrong name or password."));
    }
    const std::string token = sessions_.Open(name);
    if (token.empty())
        return HtmlPage(503, LoginForm("No session can be opened now."));
    throttle_.Succeeded(request.peer);
    log_("login: " + LogSafe(name) + " from " + LogSafe(request.peer));
    WebResponse r = Redirect("/status");
    r.Header("Set-Cookie", std::string(kCookieName) + "=" + token +
                               "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                               std::to_string(sessions_.IdleSeconds()) +
                               (options_.tls ? "; Secure" : ""));
    return r;
}

WebResponse WebConsole::Logout(const WebRequest& request) {
    const auto cookie = request.cookies.find(kCookieName);
    if (cookie != request.cookies.end()) {
        if (const auto user = sessions_.User(cookie->second))
            log_("logout: " + LogSafe(*user) + " from " + LogSafe(request.peer));
        sessions_.Close(cookie->second);
    }
    WebResponse r = Redirect("/login");
    r.Header("Set-Cookie", std::string(kCookieName) + "=; Path=/; HttpOnly; SameSite=Strict; "
                           "Max-Age=0" + (options_.tls ? "; Secure" : ""));
    return r;
}

WebResponse WebConsole::StatusPage(const std::string& user) {
    const WebStatus s = status_.Read();
    std::string alarms;
    for (const std::string& a : s.alarms)
        alarms += "<li>" + HtmlEscape(a) + "</li>";
    const auto row = [](const char* label, const char* id, const std::string& value) {
        return std::string("<tr><th>") + label + "</th><td id=\"" + id + "\">" +
               HtmlEscape(value) + "</td></tr>\n";
    };
    std::string body = "<p id=\"status-known\" class=\"problem\"" +
                       std::string(s.known ? " hidden" : "") + ">" +
                       HtmlEscape(s.known ? std::string() : s.why) + "</p>\n<table class=\"status\">\n";
    body += row("Link", "link", s.link + (s.peer.empty() ? "" : " (" + s.peer + ")"));
    body += row("Calls stored today", "records-today", std::to_string(s.recordsToday));
    body += row("Last call", "last-record", s.lastRecord);
    body += row("Database server", "database", s.database);
    body += row("Free disk space", "free-disk", FreeDiskText(s.freeDiskBytes));
    body += "<tr><th>Alarms</th><td><ul id=\"alarms\">" + alarms + "</ul></td></tr>\n</table>\n";
    body += "<p class=\"note\">Updated every second.</p>";
    return HtmlPage(200, Page("Status", "/status", user, body));
}

WebResponse WebConsole::ApiStatus() {
    return Json(200, StatusJson(status_.Read()));
}

WebResponse WebConsole::CallsPage(const std::string& user) {
    const std::vector<int> fields = ListedFields(settings_);
    std::vector<IndexRow> rows;
    int64_t lastId = 0;
    std::string why;
    std::string body;
    if (!archive_.Newest(-1, kNewestShown, rows, lastId, why))
        body += "<p class=\"problem\">The record index cannot be read: " + HtmlEscape(why) + "</p>";
    body += "<p class=\"note\">The newest calls first; a new call appears within two seconds."
            "</p>\n<table class=\"calls\" id=\"calls-table\"><thead>" + HeaderRow(fields) +
            "</thead><tbody id=\"calls\" data-after=\"" + std::to_string(lastId) + "\">\n";
    for (auto it = rows.rbegin(); it != rows.rend(); ++it)
        body += CallRow(Cells(CallTexts(*it, settings_), fields));
    body += "</tbody></table>\n";
    return HtmlPage(200, Page("Calls", "/calls", user, body));
}

WebResponse WebConsole::ApiNewest(const WebRequest& request) {
    int64_t after = -1;
    if (request.Has("after") && !ReadCount(request.Field("after"), after))
        return JsonError(400, "after takes a call's number");
    std::vector<IndexRow> rows;
    int64_t lastId = 0;
    std::string why;
    if (!archive_.Newest(after, kNewestShown, rows, lastId, why))
        return JsonError(503, "the record index cannot be read: " + why);
    const std::vector<int> fields = ListedFields(settings_);
    std::string out = "{\"last_id\": " + std::to_string(lastId) + ", \"columns\": [";
    for (size_t i = 0; i < fields.size(); ++i)
        out += (i > 0 ? ", " : "") +
               JsonText(std::string(kFieldNames[static_cast<size_t>(fields[i])]));
    out += "], \"calls\": [";
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::vector<std::string> cells = Cells(CallTexts(rows[i], settings_), fields);
        out += std::string(i > 0 ? ", " : "") + "{\"id\": " + std::to_string(rows[i].id) +
               ", \"cells\": [";
        for (size_t c = 0; c < cells.size(); ++c)
            out += (c > 0 ? ", " : "") + JsonText(cells[c]);
        out += "]}";
    }
    return Json(200, out + "]}\n");
}

namespace {

// The calls of a search in start-time order, at most `most` (then `count` tells all of them).
ListedCalls ListCalls(WebArchive& archive, const AppSettings& settings, const WebRequest& request,
                      const WebSearch& search, size_t most, const std::function<int64_t()>& clock,
                      int64_t seconds) {
    ListedCalls listed;
    std::string why;
    const bool server = request.Field("server") == "1" && archive.HasServer();
    auto index = archive.Open(server, request.Field("site"), why);
    if (!index) {
        listed.ok = false;
        listed.error = why;
        return listed;
    }
    std::vector<CellProblem> problems;
    const CallQuery query = CallQuery::Read(search.cases, problems);
    BoundedIndex bounded(*index, clock, seconds);
    const CallsVisited visited =
        EachCall(bounded, query, search.start, [&](const IndexRow& row) {
            if (listed.texts.size() < most) {
                listed.texts.push_back(CallTexts(row, settings));
                listed.sites.push_back(row.site);
            }
            return true;
        });
    listed.count = visited.count;
    listed.totalSeconds = visited.totalSeconds;
    listed.ok = visited.ok;
    listed.error = visited.error;
    listed.stopped = bounded.Stopped();
    return listed;
}

// Sorts the listed calls by a column (a field), keeping the start-time order among equals.
void SortCalls(ListedCalls& listed, int field, bool descending) {
    std::vector<size_t> order(listed.texts.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    const auto f = static_cast<size_t>(field);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return descending ? CellLess(listed.texts[b][f], listed.texts[a][f])
                          : CellLess(listed.texts[a][f], listed.texts[b][f]);
    });
    ListedCalls sorted;
    for (size_t i : order) {
        sorted.texts.push_back(std::move(listed.texts[i]));
        sorted.sites.push_back(std::move(listed.sites[i]));
    }
    listed.texts = std::move(sorted.texts);
    listed.sites = std::move(sorted.sites);
}

std::string StoppedText(int64_t seconds) {
    return "The search was stopped after " + std::to_string(seconds) +
           " s: the figures are incomplete. Narrow it down (a shorter date range, more "
           "conditions).";
}

}  // namespace

WebResponse WebConsole::FindPage(const WebRequest& request, const std::string& user) {
    const WebSearch search = ReadWebSearch(request);
    std::string body = "<form method=\"get\" action=\"/find\" id=\"find-form\">\n"
                       "<table class=\"grid\"><thead><tr><th>Field</th>";
    for (int k = 1; k <= kCases; ++k)
        body += "<th>Case " + std::to_string(k) + "</th>";
    body += "</tr></thead><tbody>\n";
    std::vector<int> shown;
    for (const QueryRow& row : QueryRows(settings_)) {
        if (row.field < 0 || std::find(shown.begin(), shown.end(), row.field) != shown.end())
            continue;
        shown.push_back(row.field);
        body += "<tr><th>" + HtmlEscape(row.name) + "</th>";
        for (int k = 1; k <= kCases; ++k) {
            const std::string name = "c" + std::to_string(k) + "f" + std::to_string(row.field);
            body += "<td><input name=\"" + name + "\" id=\"" + name + "\" value=\"" +
                    HtmlEscape(request.Field(name)) + "\" maxlength=\"64\"></td>";
        }
        body += "</tr>\n";
    }
    body += "</tbody></table>\n<p class=\"note\">Digits and texts: ? stands for any text (12? "
            "begins with 12). Numbers: n, &gt;n, &lt;n or a~b. Date-times: YYYY-MM-DD hh:mm:ss, "
            "X for any character, a~b for a range. Durations: hhh.mm.ss.</p>\n"
            "<p><label>From <input name=\"from\" id=\"from\" placeholder=\"YYYY-MM-DD\" value=\"" +
            HtmlEscape(request.Field("from")) +
            "\" maxlength=\"19\"></label> <label>To <input name=\"to\" id=\"to\" "
            "placeholder=\"YYYY-MM-DD\" value=\"" + HtmlEscape(request.Field("to")) +
            "\" maxlength=\"19\"></label>";
    if (archive_.HasServer())
        body += std::string(" <label><input type=\"checkbox\" name=\"server\" value=\"1\"") +
                (request.Field("server") == "1" ? " checked" : "") +
                "> All sites (database server)</label> <label>Site <input name=\"site\" value=\"" +
                HtmlEscape(request.Field("site")) + "\" maxlength=\"200\"></label>";
    body += " <button type=\"submit\" name=\"run\" value=\"1\" id=\"find\">Find</button></p>"
            "</form>\n";
    // Once found, the calls come first and the form folds away under them.
    const std::string form = std::move(body);
    body.clear();
    if (request.Field("run") != "1")
        return HtmlPage(200, Page("Find", "/find", user, form));
    if (!search.problems.empty()) {
        body += "<ul class=\"problem\" id=\"problems\">";
        for (const std::string& p : search.problems)
            body += "<li>" + HtmlEscape(p) + "</li>";
        body += "</ul>\n";
        return HtmlPage(400, Page("Find", "/find", user, body + form));
    }
    ListedCalls listed = ListCalls(archive_, settings_, request, search, options_.mostListed,
                                   monotonic_, options_.searchSeconds);
    if (!listed.ok) {
        body += "<p class=\"problem\">The record index cannot be read: " + HtmlEscape(listed.error) +
                "</p>";
        return HtmlPage(503, Page("Find", "/find", user, body + form));
    }
    const std::vector<int> fields = ListedFields(settings_);
    int64_t sortColumn = -1, page = 1;
    ReadCount(request.Field("sort"), sortColumn);
    if (sortColumn >= static_cast<int64_t>(fields.size()))
        sortColumn = -1;
    const bool descending = request.Field("desc") == "1";
    if (sortColumn >= 0)
        SortCalls(listed, fields[static_cast<size_t>(sortColumn)], descending);
    ReadCount(request.Field("page"), page);
    const int64_t pages = std::max<int64_t>(
        1, (static_cast<int64_t>(listed.texts.size()) + static_cast<int64_t>(options_.pageRows) - 1) /
               static_cast<int64_t>(options_.pageRows));
    page = std::clamp<int64_t>(page, 1, pages);
    const std::string keep = SearchQuery(request);
    body += "<p id=\"summary\"><span id=\"count\">" + std::to_string(listed.count) +
            "</span> calls, total duration <span id=\"total\">" +
            DurationText(listed.totalSeconds) + "</span>";
    if (listed.count > static_cast<int64_t>(listed.texts.size()))
        body += " (the first " + std::to_string(listed.texts.size()) +
                " by start time are listed)";
    body += ". <a id=\"export\" href=\"/find.csv?" + HtmlEscape(keep) +
            (sortColumn >= 0 ? "&amp;sort=" + std::to_string(sortColumn) +
                                   (descending ? "&amp;desc=1" : "")
                             : std::string()) +
            "\" download>Export CSV</a></p>\n";
    if (listed.stopped)
        body += "<p class=\"problem\" id=\"stopped\">" + HtmlEscape(StoppedText(options_.searchSeconds)) + "</p>\n";
    // Calls of many sites (the database server) begin with their site.
    const bool sites = request.Field("server") == "1" && archive_.HasServer();
    body += std::string("<table class=\"calls\" id=\"results\"><thead><tr>") +
            (sites ? "<th>Site</th>" : "");
    for (size_t c = 0; c < fields.size(); ++c) {
        const bool here = static_cast<int64_t>(c) == sortColumn;
        body += "<th><a href=\"/find?" + HtmlEscape(keep) + "&amp;sort=" + std::to_string(c) +
                (here && !descending ? "&amp;desc=1" : "") + "\">" +
                HtmlEscape(std::string(kFieldNames[static_cast<size_t>(fields[c])])) +
                (here ? (descending ? " &#9660;" : " &#9650;") : "") + "</a></th>";
    }
    body += "</tr></thead><tbody>\n";
    const size_t first = static_cast<size_t>(page - 1) * options_.pageRows;
    for (size_t i = first; i < listed.texts.size() && i < first + options_.pageRows; ++i) {
        std::vector<std::string> cells = Cells(listed.texts[i], fields);
        if (sites)
            cells.insert(cells.begin(), listed.sites[i]);
        body += CallRow(cells);
    }
    body += "</tbody></table>\n<p class=\"pages\">Page " + std::to_string(page) + " of " +
            std::to_string(pages);
    const std::string sortPart = sortColumn >= 0 ? "&amp;sort=" + std::to_string(sortColumn) +
                                                       (descending ? "&amp;desc=1" : "")
                                                 : std::string();
    if (page > 1)
        body += " <a id=\"previous\" href=\"/find?" + HtmlEscape(keep) + sortPart + "&amp;page=" +
                std::to_string(page - 1) + "\">Previous</a>";
    if (page < pages)
        body += " <a id=\"next\" href=\"/find?" + HtmlEscape(keep) + sortPart + "&amp;page=" +
                std::to_string(page + 1) + "\">Next</a>";
    body += "</p>\n";
    body += "<details id=\"search\"><summary>Search</summary>\n" + form + "</details>\n";
    return HtmlPage(200, Page("Find", "/find", user, body));
}

WebResponse WebConsole::FindExport(const WebRequest& request) {
    const WebSearch search = ReadWebSearch(request);
    if (!search.problems.empty())
        return Text(400, "text/plain; charset=utf-8", search.problems.front() + "\n");
    ListedCalls listed = ListCalls(archive_, settings_, request, search, options_.mostApiCalls,
                                   monotonic_, options_.searchSeconds);
    if (!listed.ok)
        return Text(503, "text/plain; charset=utf-8",
                    "The record index cannot be read: " + listed.error + "\n");
    if (listed.stopped)
        return Text(503, "text/plain; charset=utf-8", StoppedText(options_.searchSeconds) + "\n");
    if (listed.count > static_cast<int64_t>(listed.texts.size()))
        return Text(413, "text/plain; charset=utf-8",
                    "More than " + std::to_string(options_.mostApiCalls) +
                        " calls: narrow the search down.\n");
    const std::vector<int> fields = ListedFields(settings_);
    int64_t sortColumn = -1;
    ReadCount(request.Field("sort"), sortColumn);
    if (sortColumn >= 0 && sortColumn < static_cast<int64_t>(fields.size()))
        SortCalls(listed, fields[static_cast<size_t>(sortColumn)], request.Field("desc") == "1");
    std::string out = DecodedFileHeader(settings_);
    for (const auto& texts : listed.texts)
        out += DecodedFileLine(settings_, texts);
    WebResponse r = Text(200, "text/csv", std::move(out));
    const std::string extension =
        settings_.File_Extension.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789") == std::string::npos &&
                !settings_.File_Extension.empty()
            ? settings_.File_Extension
            : "csv";
    r.Header("Content-Disposition", "attachment; filename=\"calls." + extension + "\"");
    return r;
}

WebResponse WebConsole::ApiCalls(const WebRequest& request) {
    const WebSearch search = ReadWebSearch(request);
    if (!search.problems.empty())
        return JsonError(400, search.problems.front());
    const bool server = request.Field("server") == "1" && archive_.HasServer();
    ListedCalls listed = ListCalls(archive_, settings_, request, search, options_.mostApiCalls,
                                   monotonic_, options_.searchSeconds);
    if (!listed.ok)
        return JsonError(503, "the record index cannot be read: " + listed.error);
    if (listed.stopped)
        return JsonError(503, StoppedText(options_.searchSeconds));
    if (listed.count > static_cast<int64_t>(listed.texts.size()))
        return JsonError(413, "more than " + std::to_string(options_.mostApiCalls) +
                                  " calls: narrow the search down");
    return Json(200, FormatCalls(listed.texts, ListedFields(settings_), ReportFormat::Json,
                                 server ? listed.sites : std::vector<std::string>{}));
}

namespace {

struct ReportAsked {
    std::optional<ReportBy> by;
    int prefixDigits = 3;
    std::optional<CellCondition> start;
    std::string problem;
};

ReportAsked ReadReportAsked(const WebRequest& request, bool server) {
    ReportAsked asked;
    const std::string byName = request.Field("by").empty() ? "extension" : request.Field("by");
    asked.by = ReportByNamed(byName);
    if (!asked.by || (*asked.by == ReportBy::Site && !server)) {
        asked.problem = "by takes extension, trunk, call-type, dialled-prefix, hour, day or site "
                        "(all sites only)";
        asked.by.reset();
        return asked;
    }
    if (request.Has("prefix_digits") && !request.Field("prefix_digits").empty()) {
        int64_t digits = 0;
        if (!ReadCount(request.Field("prefix_digits"), digits) || digits < 1 || digits > 24) {
            asked.problem = "prefix digits take 1 to 24";
            return asked;
        }
        asked.prefixDigits = static_cast<int>(digits);
    }
    const std::string from = request.Field("from"), to = request.Field("to");
    if (!from.empty() || !to.empty()) {
        asked.start = StartBetween(from, to, asked.problem);
        if (!asked.start)
            return asked;
        asked.problem.clear();
    }
    return asked;
}

}  // namespace

WebResponse WebConsole::ApiReport(const WebRequest& request) {
    const bool server = request.Field("server") == "1" && archive_.HasServer();
    const ReportAsked asked = ReadReportAsked(request, server);
    if (!asked.problem.empty())
        return JsonError(400, asked.problem);
    std::string why;
    auto index = archive_.Open(server, request.Field("site"), why);
    if (!index)
        return JsonError(503, "the record index cannot be read: " + why);
    BoundedIndex bounded(*index, monotonic_, options_.searchSeconds);
    const auto groups =
        ReportTotals(bounded, *asked.by, asked.prefixDigits, CallQuery(), asked.start, why);
    if (!groups)
        return JsonError(503, "the record index cannot be read: " + why);
    if (bounded.Stopped())
        return JsonError(503, StoppedText(options_.searchSeconds));
    return Json(200, FormatGroups(*groups, ReportFormat::Json));
}

WebResponse WebConsole::ReportsPage(const WebRequest& request, const std::string& user) {
    const bool server = request.Field("server") == "1" && archive_.HasServer();
    const std::string byName = request.Field("by").empty() ? "extension" : request.Field("by");
    std::string body = "<form method=\"get\" action=\"/reports\" id=\"report-form\"><p>"
                       "<label>By <select name=\"by\" id=\"by\">";
    std::vector<std::string> groups = {"extension", "trunk", "call-type", "dialled-prefix",
                                       "hour", "day"};
    if (archive_.HasServer())
        groups.emplace_back("site");
    for (const std::string& g : groups)
        body += "<option value=\"" + g + "\"" + (g == byName ? " selected" : "") + ">" + g +
                "</option>";
    body += "</select></label> <label>From <input name=\"from\" id=\"from\" "
            "placeholder=\"YYYY-MM-DD\" value=\"" + HtmlEscape(request.Field("from")) +
            "\" maxlength=\"19\"></label> <label>To <input name=\"to\" id=\"to\" "
            "placeholder=\"YYYY-MM-DD\" value=\"" + HtmlEscape(request.Field("to")) +
            "\" maxlength=\"19\"></label> <label>Prefix digits <input name=\"prefix_digits\" "
            "id=\"prefix_digits\" size=\"2\" value=\"" +
            HtmlEscape(request.Field("prefix_digits").empty() ? "3"
                                                              : request.Field("prefix_digits")) +
            "\" maxlength=\"2\"></label>";
    if (archive_.HasServer())
        body += std::string(" <label><input type=\"checkbox\" name=\"server\" value=\"1\"") +
                (server ? " checked" : "") + "> All sites (database server)</label>";
    body += " <button type=\"submit\" id=\"report\">Report</button></p></form>\n";
    const ReportAsked asked = ReadReportAsked(request, server);
    if (!asked.problem.empty()) {
        body += "<p class=\"problem\" id=\"problems\">" + HtmlEscape(asked.problem) + "</p>";
        return HtmlPage(400, Page("Reports", "/reports", user, body, true));
    }
    std::string why;
    auto index = archive_.Open(server, request.Field("site"), why);
    std::optional<std::vector<GroupTotals>> totals;
    BoundedIndex* boundedSeen = nullptr;
    std::unique_ptr<BoundedIndex> bounded;
    if (index) {
        bounded = std::make_unique<BoundedIndex>(*index, monotonic_, options_.searchSeconds);
        boundedSeen = bounded.get();
        totals = ReportTotals(*bounded, *asked.by, asked.prefixDigits, CallQuery(), asked.start,
                              why);
    }
    if (!totals) {
        body += "<p class=\"problem\">The record index cannot be read: " + HtmlEscape(why) + "</p>";
        return HtmlPage(503, Page("Reports", "/reports", user, body, true));
    }
    if (boundedSeen != nullptr && boundedSeen->Stopped())
        body += "<p class=\"problem\" id=\"stopped\">" + HtmlEscape(StoppedText(options_.searchSeconds)) + "</p>\n";
    std::string api = "/api/report?" + SearchQuery(request);
    body += "<div class=\"chart\"><canvas id=\"chart\" data-source=\"" + HtmlEscape(api) +
            "\"></canvas></div>\n<table class=\"report\" id=\"report-table\"><thead><tr><th>" +
            HtmlEscape(byName) + "</th><th>Calls</th><th>Answered</th><th>Total duration</th>"
            "<th>Average</th><th>Longest</th></tr></thead><tbody>\n";
    for (const GroupTotals& g : *totals) {
        const int64_t average = g.calls > 0 ? (g.totalSeconds + g.calls / 2) / g.calls : 0;
        body += "<tr><td>" + HtmlEscape(g.group) + "</td><td>" + std::to_string(g.calls) +
                "</td><td>" + std::to_string(g.answered) + "</td><td>" +
                DurationText(g.totalSeconds) + "</td><td>" + DurationText(average) + "</td><td>" +
                DurationText(g.longestSeconds) + "</td></tr>\n";
    }
    body += "</tbody></table>\n";
    return HtmlPage(200, Page("Reports", "/reports", user, body, true));
}

WebResponse WebConsole::LoadPage(const WebRequest& request, const std::string& user) {
    std::string date = request.Field("date");
    if (date.empty())
        date = DateText(clock_.Now());
    std::string body = "<form method=\"get\" action=\"/load\"><p><label>Day <input name=\"date\" "
                       "id=\"date\" value=\"" + HtmlEscape(date) +
                       "\" maxlength=\"10\" placeholder=\"YYYY-MM-DD\"></label> <button "
                       "type=\"submit\">Show</button></p></form>\n";
    int64_t y = 0, m = 0, d = 0;
    const bool readable = date.size() == 10 && date[4] == '-' && date[7] == '-' &&
                          ReadCount(date.substr(0, 4), y) && ReadCount(date.substr(5, 2), m) &&
                          ReadCount(date.substr(8, 2), d) && m >= 1 && m <= 12 && d >= 1 &&
                          d <= 31;
    if (!readable) {
        body += "<p class=\"problem\">A day is YYYY-MM-DD.</p>";
        return HtmlPage(400, Page("System load", "/load", user, body));
    }
    auto day = std::make_unique<TrafficDay>();
    const auto file = TrafficFileName(options_.trafficDirectory, static_cast<int>(y),
                                      static_cast<int>(m), static_cast<int>(d));
    if (!LoadTrafficFile(file, *day)) {
        body += "<p class=\"problem\" id=\"no-traffic\">No traffic file for " + HtmlEscape(date) +
                ".</p>";
        return HtmlPage(200, Page("System load", "/load", user, body));
    }
    body += "<table class=\"load\" id=\"load-totals\"><thead><tr><th></th>";
    for (int h = 0; h < kHours; ++h)
        body += "<th>" + Two(h) + "</th>";
    body += "</tr></thead><tbody><tr><th>Port Seizure</th>";
    for (int h = 0; h < kHours; ++h)
        body += "<td>" + CountText(day->seizures[static_cast<size_t>(h)]) + "</td>";
    body += "</tr><tr><th>Traffic (by Erlang)</th>";
    for (int h = 0; h < kHours; ++h)
        body += "<td>" + ErlangText(day->Erlang(h)) + "</td>";
    body += "</tr></tbody></table>\n<h2>Load per slot</h2><table class=\"load\" "
            "id=\"load-slots\"><thead><tr><th>Slot</th>";
    for (int h = 0; h < kHours; ++h)
        body += "<th>" + Two(h) + "</th>";
    body += "</tr></thead><tbody>\n";
    for (int s = 0; s < kSlotCount; ++s) {
        body += "<tr><th>" + SlotLabel(s) + "</th>";
        for (int h = 0; h < kHours; ++h) {
            const std::string text = LoadText(day->SlotLoad(s, h));
            body += "<td class=\"b" + std::to_string(CellBand(text)) + "\">" + text + "</td>";
        }
        body += "</tr>\n";
    }
    body += "</tbody></table>\n<p class=\"legend\">";
    for (int b = 0; b < kLoadBands; ++b)
        body += "<span class=\"b" + std::to_string(b) + "\">" + HtmlEscape(BandLegend(b)) +
                "</span> ";
    body += "</p>\n";
    return HtmlPage(200, Page("System load", "/load", user, body));
}

WebResponse WebConsole::Metrics(const WebRequest& request) {
    if (!AddressAllowed(request.peer, options_.metricsFrom))
        return Text(403, "text/plain; charset=utf-8", "Not from this address.\n");
    return Text(200, "text/plain; version=0.0.4; charset=utf-8", status_.Metrics());
}

WebResponse WebConsole::ChartFile(const std::string& name) {
    // One file of the folder by its plain name: no folders, no dot files, nothing that could
    // lead out of it.
    const bool plain =
        !name.empty() && name.size() <= 64 && name[0] != '.' &&
        name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") ==
            std::string::npos &&
        name.find("..") == std::string::npos;
    if (!plain || name.size() < 3 || name.substr(name.size() - 3) != ".js")
        return Text(404, "text/plain; charset=utf-8", "Not found.\n");
    std::ifstream in(options_.chartDirectory / name, std::ios::binary);
    if (!in)
        return Text(404, "text/plain; charset=utf-8", "Not found.\n");
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    WebResponse r = Text(200, "text/javascript; charset=utf-8", std::move(content));
    r.Header("Cache-Control", "private, max-age=3600");
    return r;
}

}  // namespace velk
