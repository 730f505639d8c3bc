#include "core/app/display_check.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace velk {
namespace {

struct Machine {
    std::map<std::string, std::string> env;
    std::set<std::string> files;
    std::vector<std::string> args{"velk"};
    std::string Reason() const {
        return NoDisplayReason({[this](const char* name) -> const char* {
                                    const auto it = env.find(name);
                                    return it == env.end() ? nullptr : it->second.c_str();
                                },
                                [this](const std::string& p) { return files.count(p) != 0; },
                                args});
    }
};

TEST(DisplayCheck, NoDisplayIsSaidBeforeTheWindowSystemIsAsked) {
    Machine server;
    EXPECT_EQ(server.Reason(), "DISPLAY and WAYLAND_DISPLAY are not set");
    server.env["DISPLAY"] = "";
    EXPECT_EQ(server.Reason(), "DISPLAY and WAYLAND_DISPLAY are not set");
    EXPECT_EQ(NoDisplayMessage(server.Reason()),
              "velk: no display was found (DISPLAY and WAYLAND_DISPLAY are not set), so the "
              "window cannot be shown.\nOn a server, run velk-collector, the collector without a "
              "window: velk-collector --dir DIR, or the service velk-collector (man "
              "velk-collector).");

    Machine x;
    x.env["DISPLAY"] = ":1.0";
    EXPECT_EQ(x.Reason(), "the X display :1.0 is not there (no /tmp/.X11-unix/X1)");
    x.files.insert("/tmp/.X11-unix/X1");
    EXPECT_EQ(x.Reason(), "");
    Machine remote;  // another host's display: only the window system can tell
    remote.env["DISPLAY"] = "desk.example.org:0";
    EXPECT_EQ(remote.Reason(), "");

    Machine wayland;
    wayland.env["WAYLAND_DISPLAY"] = "wayland-0";
    wayland.env["XDG_RUNTIME_DIR"] = "/run/user/1000";
    EXPECT_EQ(wayland.Reason(), "the Wayland display wayland-0 is not there");
    wayland.files.insert("/run/user/1000/wayland-0");
    EXPECT_EQ(wayland.Reason(), "");

    // A platform chosen on purpose (offscreen, vnc) needs no display.
    Machine chosen;
    chosen.env["QT_QPA_PLATFORM"] = "offscreen";
    EXPECT_EQ(chosen.Reason(), "");
    Machine argument;
    argument.args = {"velk", "-platform", "offscreen"};
    EXPECT_EQ(argument.Reason(), "");
}

}  // namespace
}  // namespace velk
