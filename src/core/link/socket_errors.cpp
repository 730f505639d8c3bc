#include "core/link/socket_errors.h"

namespace velk {

std::string SocketErrorText(int code) {
    switch (code) {
        case 0:
            return "No error";
        case 10014:
            return "The nSockAddrLen argument is incorrect.";
        case 10022:
            return "Invalid host address.";
        case 10024:
            return "No more file descriptors are available.";
        case 10035:
            return "The socket is marked as nonblocking and the connection cannot be completed "
                   "immediately.";
        case 10036:
            return "A blocking Windows Sockets call is in progress.";
        case 10038:
            return "The descriptor is not a socket.";
        case 10039:
            return "A destination address is required.";
        case 10047:
            return "Addresses in the specified family cannot be used with this socket.";
        case 10048:
            return "The specified address is already in use.";
        case 10049:
            return "The specified address is not available from the local machine.";
        case 10050:
            return "The Windows Sockets implementation detected that the network subsystem failed.";
        case 10051:
            return "The network cannot be reached from this host at this time.";
        case 10055:
            return "No buffer space is available. The socket cannot be connected.";
        case 10056:
            return "The socket is already connected.";
        case 10060:
            return "Attempt to connect timed out without establishing a connection.";
        case 10061:
            return "The attempt to connect was rejected.";
        case 10093:
            return "A successful AfxSocketInit must occur before using this API.";
        default:
            return "Not specified socket create error = " + std::to_string(code);
    }
}

}  // namespace velk
