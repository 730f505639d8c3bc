// The headless collector's lines about its link.
#include "core/app/console_view.h"

#include <gtest/gtest.h>

#include <sstream>

#include "core/link/link_fakes.h"

namespace velk {
namespace {

TEST(ConsoleView, AConnectionNeverMadeSaysWhyAndNotDisconnected) {
    std::ostringstream out;
    AppSettings settings;
    settings.IP_Used = 1;
    settings.APP_IPAddr = "10.0.0.5";
    test::FakeClock clock;
    ConsoleView view(out, settings, clock);
    int lost = 0;
    view.SetConnectionLost([&lost] { ++lost; });

    view.Notify(NOTIFY_CONNECTION, 3);
    view.ConnectionFailed("Connection refused");
    view.Notify(NOTIFY_CONNECTION, 0);
    view.Notify(NOTIFY_CONNECTION, 3);
    view.ConnectionFailed("");
    view.Notify(NOTIFY_CONNECTION, 0);
    // A connection that was there and ends is a disconnection.
    view.Notify(NOTIFY_CONNECTION, 1);
    view.Notify(NOTIFY_CONNECTION, 0);
    const std::string where = "10.0.0.5:6013 (CS1000 Main Billing Server)";
    EXPECT_EQ(out.str(), "2026-12-08 14:30:00  waiting for a connection to " + where + "\n" +
                             "2026-12-08 14:30:00  cannot connect to " + where +
                             ": Connection refused\n" +
                             "2026-12-08 14:30:00  waiting for a connection to " + where + "\n" +
                             "2026-12-08 14:30:00  cannot connect to " + where + "\n" +
                             "2026-12-08 14:30:00  connected to " + where + "\n" +
                             "2026-12-08 14:30:00  disconnected from " + where + "\n");
    EXPECT_EQ(lost, 1);
}

TEST(ConsoleView, ASerialPortThatCannotBeOpened) {
    std::ostringstream out;
    AppSettings settings;
    settings.IP_Used = 0;
    test::FakeClock clock;
    ConsoleView view(out, settings, clock);
    view.ConnectionFailed("/dev/ttyS0: Permission denied (is the user in the group dialout?)");
    view.Notify(NOTIFY_CONNECTION, 0);
    EXPECT_EQ(out.str(),
              "2026-12-08 14:30:00  cannot connect to COM1 at 1200 baud: /dev/ttyS0: Permission "
              "denied (is the user in the group dialout?)\n");
}

}  // namespace
}  // namespace velk
