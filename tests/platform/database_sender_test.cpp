// The sender at a collector's start: settings it cannot use (written into VELK.INI by hand,
// past velk-settings) are said once, without the password, and nothing is sent.
#include "platform/database_sender.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include "support/temp_dir.h"

namespace velk {
namespace {

TEST(DatabaseSender, SettingsItCannotUseAreSaidAtStartWithoutThePassword) {
    const std::string secret = "S3cr3t";
    struct Case {
        std::string connection, site, line, detail;
    };
    const Case cases[] = {
        {"host=/nonexistent dbname=velk user=velk", std::string(9000, 'x'),
         "Database: the site name is too long for the database server",
         "the site name is too long for the database server: 9000 characters, at most 200 (Site "
         "of [Database], or Site Name); nothing is sent until it is shortened"},
        {"host=/nonexistent dbname=velk", "Branch Z\xc3\xbcrich " + std::string(186, 'y'), "", ""},
        {" postgresql://velk:" + secret + "@/velk?host=/nonexistent", "Site A",
         "Database: the connection of [Database] in VELK.INI holds a password; VELK.INI is no "
         "place for it",
         ""},
        {"host=/nonexistent dbname=velk user=velk PASSWORD=" + secret, "Site A",
         "Database: the connection of [Database] in VELK.INI holds a password; VELK.INI is no "
         "place for it",
         ""},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        AppSettings settings;
        settings.Database_Connection = c.connection;
        settings.Database_Site = c.site;
        std::vector<ShipNote> notes;
        ShipStatus status;
        int reports = 0;
        DatabaseSender sender(settings, dir / "VELK.db",
                              [&](const std::vector<ShipNote>& n, const ShipStatus& s) {
                                  notes.insert(notes.end(), n.begin(), n.end());
                                  status = s;
                                  ++reports;
                              });
        if (c.line.empty()) {
            // A name of 200 characters is one the server takes: the sender runs.
            EXPECT_TRUE(sender.Running()) << c.site.size();
            sender.Stop();
            continue;
        }
        EXPECT_FALSE(sender.Running()) << c.connection;
        QElapsedTimer waited;
        waited.start();
        while (reports == 0 && waited.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        ASSERT_EQ(reports, 1) << c.connection;
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_EQ(notes[0].event, "Database");
        if (!c.detail.empty()) {
            EXPECT_EQ(notes[0].detail, c.detail);
        }
        EXPECT_EQ(notes[0].detail.find(secret), std::string::npos) << notes[0].detail;
        EXPECT_EQ(status.line, c.line);
    }
}

}  // namespace
}  // namespace velk
