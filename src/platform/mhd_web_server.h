#pragma once

#include <cstddef>
#include <cstdint>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "core/web/http_message.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace velk {

// The limits of the web server: a slow or hostile client can hold neither the server nor much of
// its memory.
struct WebServerLimits {
    unsigned connections = 1000;     // open at once, from everyone
    unsigned perAddress = 400;       // open at once from one address
    unsigned idleSeconds = 15;       // a connection quiet this long is closed
    // A request must arrive whole (request line, headers, body) within this long from the
    // connection's start or the end of its previous answer; a client that trickles it in a byte
    // at a time is cut off then.
    unsigned requestSeconds = 30;
    size_t headerBytes = 32 * 1024;  // the request line and headers of one request
    size_t headerCount = 64;         // header lines of one request
    size_t bodyBytes = 16 * 1024;    // a posted form
    unsigned threads = 4;
};

// An HTTP(S) server on libmicrohttpd: each request is read whole (within the limits), handed to
// the handler on one of the server's threads and its answer sent.
class MhdWebServer {
public:
    using Handler = std::function<WebResponse(const WebRequest&)>;

    MhdWebServer(Handler handler, WebServerLimits limits);
    ~MhdWebServer();
    MhdWebServer(const MhdWebServer&) = delete;
    MhdWebServer& operator=(const MhdWebServer&) = delete;

    // Listens on the address and port (IPv4 or IPv6 text); with a certificate and key (PEM
    // texts) over TLS. False with the reason when it cannot.
    bool Start(const std::string& host, uint16_t port, const std::string& certificatePem,
               const std::string& keyPem, std::string& why);
    void Stop();
    // The port listened on (the one chosen when 0 was asked).
    uint16_t Port() const;
    bool Tls() const { return tls_; }

    // Used by the library's callbacks.
    const Handler& RequestHandler() const { return handler_; }
    const WebServerLimits& Limits() const { return limits_; }
    // A connection began (its socket), has its request whole, had its answer sent, ended.
    void ConnectionStarted(MHD_Connection* connection, int socket);
    void RequestArrived(MHD_Connection* connection);
    void AnswerSent(MHD_Connection* connection);
    void ConnectionEnded(MHD_Connection* connection);

private:
    Handler handler_;
    WebServerLimits limits_;
    MHD_Daemon* daemon_ = nullptr;
    // Cuts off the connections whose request has not arrived whole in time: their sockets are
    // shut down (the library then closes them as it closes one the client closed).
    void CutLateRequests();
    struct Reading {
        int socket = -1;
        std::chrono::steady_clock::time_point deadline;
        bool reading = true;
        bool cut = false;
    };
    std::mutex readingMutex_;
    std::condition_variable readingWake_;
    std::map<MHD_Connection*, Reading> reading_;
    bool stopping_ = false;
    std::thread cutter_;
    bool tls_ = false;
    std::string certificate_, key_;
};

}  // namespace velk
