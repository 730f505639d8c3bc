#include "core/app/display_check.h"

namespace velk {
namespace {

std::string Value(const DisplayContext& c, const char* name) {
    const char* v = c.variable(name);
    return v != nullptr ? v : "";
}

// The socket of a local X display (":0", ":1.0", "unix:0"); empty for a display on another
// host, which only the window system can reach.
std::string LocalXSocket(const std::string& display) {
    const auto colon = display.rfind(':');
    if (colon == std::string::npos)
        return {};
    const std::string host = display.substr(0, colon);
    if (!host.empty() && host != "unix")
        return {};
    std::string number = display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        return {};
    return "/tmp/.X11-unix/X" + number;
}

}  // namespace

std::string NoDisplayReason(const DisplayContext& c) {
    if (!Value(c, "QT_QPA_PLATFORM").empty())
        return {};
    for (size_t i = 1; i < c.arguments.size(); ++i) {
        if (c.arguments[i] == "-platform" || c.arguments[i].rfind("-platform=", 0) == 0)
            return {};
    }
    const std::string x = Value(c, "DISPLAY");
    const std::string wayland = Value(c, "WAYLAND_DISPLAY");
    if (x.empty() && wayland.empty())
        return "DISPLAY and WAYLAND_DISPLAY are not set";
    if (!wayland.empty()) {
        const std::string runtime = Value(c, "XDG_RUNTIME_DIR");
        const std::string socket =
            wayland[0] == '/' ? wayland : (runtime.empty() ? "" : runtime + "/" + wayland);
        if (!socket.empty() && c.exists(socket))
            return {};
    }
    if (!x.empty()) {
        const std::string socket = LocalXSocket(x);
        if (socket.empty() || c.exists(socket))
            return {};
        return "the X display " + x + " is not there (no " + socket + ")";
    }
    return "the Wayland display " + wayland + " is not there";
}

std::string NoDisplayMessage(const std::string& reason) {
    return "velk: no display was found (" + reason +
           "), so the window cannot be shown.\n"
           "On a server, run velk-collector, the collector without a window: velk-collector "
           "--dir DIR, or the service velk-collector (man velk-collector).";
}

}  // namespace velk
