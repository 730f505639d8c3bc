// A hand-off by link and unlink (where the file system refuses to rename without replacing) that
// was stopped between its two steps leaves one buffer file under two names: the next start takes
// the in-file's name away, so the pick-up program gets those records once.
#include <gtest/gtest.h>

#include "core/app/alarm_view.h"
#include "core/app/collector.h"
#include "core/link/link_fakes.h"
#include "core/record/fake_file_store.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

TEST(CollectorHandOff, InFileThatIsTheOutFileLosesItsNameAtStart) {
    test::TempDir dir;
    AppSettings settings;
    settings.DoBufferPacked = 1;
    settings.DoBufferDecoded = 1;
    settings.DoBufferDecodedToOut = 1;
    const auto buffers = dir.Path() / "Buffers";
    const std::string in = (buffers / "buffer_in.raw").string();
    const std::string out = (buffers / "buffer_out.raw").string();
    const std::string inCsv = (buffers / "buffer_in.csv").string();
    const std::string outCsv = (buffers / "CSV" / "buffer_out.csv").string();
    test::FakeFileStore files;
    for (const auto& p : {in, out})
        files.files[p] = files.disk[p] = "\x02" "0A5record\r\n";
    files.links.insert({out, in});  // linked, not yet unlinked
    // A decoded pair of two files of their own is left alone.
    files.files[inCsv] = "newer;line\r\n";
    files.files[outCsv] = "older;line\r\n";

    test::FakeTimers timers;
    test::FakeClock clock;
    test::ScriptedPrompt prompt;
    LastCallsRing ring;
    test::AlarmView view;
    Collector collector(settings, dir.Path(), prompt, clock, timers, ring, files);
    collector.SetView(&view);
    collector.Start();

    EXPECT_FALSE(files.Exists(in));
    EXPECT_EQ(files.disk.count(in), 0u);
    EXPECT_EQ(files.Content(out), "\x02" "0A5record\r\n");
    EXPECT_EQ(files.Content(inCsv), "newer;line\r\n");
    EXPECT_EQ(files.Content(outCsv), "older;line\r\n");
    const std::string line = "Buffer hand-off: " + in + " and " + out +
                             " are one file (a hand-off stopped between its link and its unlink): "
                             "the in-file's name is removed, the records stay in the out-file once";
    EXPECT_EQ(view.problems, std::vector<std::string>{line});
    EXPECT_NE(test::ReadFile(dir.Path() / "VELK.LOG").find(in + " and " + out + " are one file"),
              std::string::npos);
}

}  // namespace
}  // namespace velk
