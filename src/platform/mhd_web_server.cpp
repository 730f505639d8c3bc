#include "platform/mhd_web_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <vector>

namespace velk {
namespace {

// What is gathered of a request between the library's calls.
struct PendingRequest {
    std::string body;
    bool tooLarge = false;
};

struct CollectContext {
    WebRequest* request;
    bool cookies;
};

MHD_Result CollectValue(void* cls, MHD_ValueKind kind, const char* key, const char* value) {
    auto* request = static_cast<WebRequest*>(cls);
    if (key == nullptr)
        return MHD_YES;
    if (kind == MHD_COOKIE_KIND)
        request->cookies.emplace(key, value != nullptr ? value : "");
    else
        request->query.emplace(key, value != nullptr ? value : "");
    return MHD_YES;
}

MHD_Result Send(MHD_Connection* connection, const WebResponse& answer) {
    MHD_Response* response = MHD_create_response_from_buffer(
        answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    for (const auto& [name, value] : answer.headers)
        MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
}

WebResponse Refusal(int status, const std::string& text) {
    WebResponse r;
    r.status = status;
    r.Header("Content-Type", "text/plain; charset=utf-8");
    r.Header("Connection", "close");
    r.body = text;
    return r;
}

MHD_Result Answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char* /*version*/, const char* uploadData, size_t* uploadSize,
                  void** state) {
    auto* server = static_cast<MhdWebServer*>(cls);
    const WebServerLimits& limits = server->Limits();
    auto* pending = static_cast<PendingRequest*>(*state);
    if (pending == nullptr) {
        *state = new PendingRequest;
        return MHD_YES;
    }
    if (*uploadSize > 0) {
        if (pending->body.size() + *uploadSize > limits.bodyBytes)
            pending->tooLarge = true;
        else
            pending->body.append(uploadData, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    server->RequestArrived(connection);
    if (pending->tooLarge)
        return Send(connection, Refusal(413, "The request is too large.\n"));
    const int headers = MHD_get_connection_values(connection, MHD_HEADER_KIND, nullptr, nullptr);
    if (headers < 0 || static_cast<size_t>(headers) > limits.headerCount)
        return Send(connection, Refusal(431, "Too many header lines.\n"));

    WebRequest request;
    request.method = method;
    request.path = url;
    request.tls = server->Tls();
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, CollectValue, &request);
    MHD_get_connection_values(connection, MHD_COOKIE_KIND, CollectValue, &request);
    const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    const char* origin = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Origin");
    request.host = host != nullptr ? host : "";
    request.origin = origin != nullptr ? origin : "";
    const char* type =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
    if (!pending->body.empty() && type != nullptr &&
        std::strncmp(type, "application/x-www-form-urlencoded", 33) == 0)
        ReadFormFields(pending->body, request.query);
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info != nullptr && info->client_addr != nullptr) {
        char text[INET6_ADDRSTRLEN] = {};
        const sockaddr* address = info->client_addr;
        if (address->sa_family == AF_INET) {
            sockaddr_in v4;
            std::memcpy(&v4, address, sizeof v4);
            ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        } else if (address->sa_family == AF_INET6) {
            sockaddr_in6 v6;
            std::memcpy(&v6, address, sizeof v6);
            ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        }
        request.peer = text;
        // An IPv4 caller of a dual-stack socket is told by its own address.
        if (request.peer.rfind("::ffff:", 0) == 0 && request.peer.find('.') != std::string::npos)
            request.peer = request.peer.substr(7);
    }
    return Send(connection, server->RequestHandler()(request));
}

void Completed(void* cls, MHD_Connection* connection, void** state,
               MHD_RequestTerminationCode /*why*/) {
    delete static_cast<PendingRequest*>(*state);
    *state = nullptr;
    static_cast<MhdWebServer*>(cls)->AnswerSent(connection);
}

void ConnectionNotice(void* cls, MHD_Connection* connection, void** /*state*/,
                      MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<MhdWebServer*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        server->ConnectionStarted(connection, info != nullptr ? info->connect_fd : -1);
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        server->ConnectionEnded(connection);
    }
}

void Quiet(void* /*cls*/, const char* /*format*/, va_list /*arguments*/) {}

}  // namespace

MhdWebServer::MhdWebServer(Handler handler, WebServerLimits limits)
    : handler_(std::move(handler)), limits_(limits) {}

MhdWebServer::~MhdWebServer() { Stop(); }

void MhdWebServer::ConnectionStarted(MHD_Connection* connection, int socket) {
    std::lock_guard<std::mutex> lock(readingMutex_);
    reading_[connection] = {socket,
                            std::chrono::steady_clock::now() +
                                std::chrono::seconds(limits_.requestSeconds),
                            true, false};
}

void MhdWebServer::RequestArrived(MHD_Connection* connection) {
    std::lock_guard<std::mutex> lock(readingMutex_);
    const auto it = reading_.find(connection);
    if (it != reading_.end())
        it->second.reading = false;
}

void MhdWebServer::AnswerSent(MHD_Connection* connection) {
    // The next request on the connection has the whole time again.
    std::lock_guard<std::mutex> lock(readingMutex_);
    const auto it = reading_.find(connection);
    if (it != reading_.end()) {
        it->second.reading = true;
        it->second.deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(limits_.requestSeconds);
    }
}

void MhdWebServer::ConnectionEnded(MHD_Connection* connection) {
    // Told before the library closes the socket: it is never another connection's meanwhile.
    std::lock_guard<std::mutex> lock(readingMutex_);
    reading_.erase(connection);
}

void MhdWebServer::CutLateRequests() {
    std::unique_lock<std::mutex> lock(readingMutex_);
    while (!stopping_) {
        readingWake_.wait_for(lock, std::chrono::milliseconds(250));
        const auto now = std::chrono::steady_clock::now();
        for (auto& [connection, r] : reading_) {
            if (r.reading && !r.cut && r.socket >= 0 && now >= r.deadline) {
                ::shutdown(r.socket, SHUT_RDWR);
                r.cut = true;
            }
        }
    }
}

bool MhdWebServer::Start(const std::string& host, uint16_t port,
                         const std::string& certificatePem, const std::string& keyPem,
                         std::string& why) {
    sockaddr_storage address{};
    socklen_t length = 0;
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG;
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr = v4;
        std::memcpy(&address, &a, sizeof a);
        length = sizeof a;
    } else if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        a.sin6_addr = v6;
        std::memcpy(&address, &a, sizeof a);
        length = sizeof a;
        flags |= MHD_USE_IPv6;
    } else {
        why = "'" + host + "' is no IP address";
        return false;
    }
    (void)length;
    tls_ = !certificatePem.empty();
    certificate_ = certificatePem;
    key_ = keyPem;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_SOCK_ADDR, 0, &address},
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(limits_.connections), nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<intptr_t>(limits_.perAddress), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(limits_.idleSeconds), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(limits_.headerBytes), nullptr},
        {MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(limits_.threads), nullptr},
        {MHD_OPTION_LISTENING_ADDRESS_REUSE, 1, nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&ConnectionNotice), this},
    };
    if (tls_) {
        flags |= MHD_USE_TLS;
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, certificate_.data()});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, key_.data()});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_ = MHD_start_daemon(
        flags, port, nullptr, nullptr, &Answer, this, MHD_OPTION_NOTIFY_COMPLETED, &Completed,
        this, MHD_OPTION_EXTERNAL_LOGGER, &Quiet, nullptr, MHD_OPTION_ARRAY, options.data(),
        MHD_OPTION_END);
    if (daemon_ == nullptr) {
        why = "cannot listen on " + host + " port " + std::to_string(port) +
              (tls_ ? " (or the certificate and key cannot be used)" : "") + ": " +
              std::strerror(errno);
        return false;
    }
    stopping_ = false;
    cutter_ = std::thread([this] { CutLateRequests(); });
    return true;
}

void MhdWebServer::Stop() {
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
    if (cutter_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(readingMutex_);
            stopping_ = true;
        }
        readingWake_.notify_all();
        cutter_.join();
    }
}

uint16_t MhdWebServer::Port() const {
    if (daemon_ == nullptr)
        return 0;
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    return info != nullptr ? info->port : 0;
}

}  // namespace velk
