#pragma once

#include <functional>
#include <string>
#include <vector>

namespace velk {

// The environment and files the check looks at, given by the program (tests give their own).
struct DisplayContext {
    std::function<const char*(const char*)> variable;     // getenv
    std::function<bool(const std::string&)> exists;        // a file (a socket) is there
    std::vector<std::string> arguments;                    // the command line, program included
};

// Why the desktop program can show no window here, or empty when it can (as far as can be told
// before the window system is asked, which ends the program when it finds nothing): no DISPLAY
// and no WAYLAND_DISPLAY, or a local X display or Wayland socket that is not there. A platform
// chosen by QT_QPA_PLATFORM or -platform is taken as it is.
std::string NoDisplayReason(const DisplayContext& context);

// What velk says then, with the program a server needs.
std::string NoDisplayMessage(const std::string& reason);

}  // namespace velk
