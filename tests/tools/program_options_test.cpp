// What every program of the package answers to the options they share: the manual pages are made
// from --help and --version, so these must work without a display and look alike.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "core/foundation/command_line.h"
#include "core/foundation/settings_store.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

struct ProgramRun {
    int code = -1;
    std::string out, err;
};

// Runs a program of the build in dir with the given environment changes ("NAME=value" or
// "-NAME" to remove one).
ProgramRun Program(const test::TempDir& dir, const std::string& name, const std::string& args,
                   const std::string& env = "") {
    std::string command = "cd '" + dir.Path().string() + "' && env -u DISPLAY -u WAYLAND_DISPLAY " +
                          "-u QT_QPA_PLATFORM " + env + " '" + VELK_BIN_DIR + "/" + name + "' " +
                          args + " >out.txt 2>err.txt";
    ProgramRun r;
    const int status = std::system(command.c_str());
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = test::ReadFile(dir / "out.txt");
    r.err = test::ReadFile(dir / "err.txt");
    return r;
}

std::vector<std::string> PackagedPrograms() {
    std::vector<std::string> names;
    std::ifstream list(VELK_PROGRAMS_LIST);
    for (std::string name; std::getline(list, name);) {
        if (!name.empty())
            names.push_back(name);
    }
    return names;
}

TEST(PackagedPrograms, AnswerHelpVersionAndWrongOptionsAlike) {
    const std::vector<std::string> programs = PackagedPrograms();
    ASSERT_GE(programs.size(), 4u);
    for (const std::string& name : programs) {
        test::TempDir dir;
        ProgramRun r = Program(dir, name, "--version");
        EXPECT_EQ(r.code, 0) << name;
        EXPECT_EQ(r.out, name + " (VELK) " + VelkVersion() + "\n");
        EXPECT_EQ(r.err, "") << name;

        r = Program(dir, name, "--help");
        EXPECT_EQ(r.code, 0) << name;
        EXPECT_EQ(r.out.rfind("Usage: " + name + " [--dir DIR", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("\nOptions:\n  --dir DIR    the base directory"), std::string::npos)
            << name;
        EXPECT_NE(r.out.find("\n  --version    show the version and exit\n"), std::string::npos)
            << name;
        EXPECT_EQ(r.err, "") << name;

        for (const char* wrong : {"--dir", "--no-such-option"}) {
            // A wrong option in the desktop program is found once the window system is there.
            r = Program(dir, name, wrong, "QT_QPA_PLATFORM=offscreen");
            EXPECT_EQ(r.code, 2) << name << " " << wrong;
            EXPECT_NE(r.err.find("Try '" + name + " --help' for more information.\n"),
                      std::string::npos)
                << name << " " << wrong << ": " << r.err;
            EXPECT_EQ(r.out, "") << name;
        }
        // Nothing was made in the working directory by any of these.
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            const std::string file = entry.path().filename().string();
            EXPECT_TRUE(file == "out.txt" || file == "err.txt") << name << " made " << file;
        }
    }
}

// The programs that only read a base directory refuse a missing one, and their help says it
// must exist (their manual pages are made from it).
TEST(PackagedPrograms, ReadingProgramsSayTheDirectoryMustExist) {
    const std::vector<std::pair<std::string, std::string>> programs = {{"velk-report", ""},
                                                                        {"velk-index", "check"}};
    for (const auto& [name, command] : programs) {
        test::TempDir dir;
        ProgramRun r = Program(dir, name, "--help");
        EXPECT_NE(r.out.find("--dir DIR    the base directory (default: the current directory), "
                             "which\n               must exist"),
                  std::string::npos)
            << name << ": " << r.out;
        const std::string missing = (dir / "missing").string();
        r = Program(dir, name, "--dir '" + missing + "' " + command);
        EXPECT_NE(r.code, 0) << name;
        EXPECT_FALSE(std::filesystem::exists(dir / "missing")) << name;
    }
}

// A directory given as "~/..." is the home directory's, made on first use, as the menu entry's
// "velk --dir ~/VELK" needs.
TEST(PackagedPrograms, TildeDirectoryIsMadeUnderHome) {
    test::TempDir home;
    ProgramRun r = Program(home, "velk-settings", "--dir '~/VELK' AutoConnection=1",
                           "HOME='" + home.Path().string() + "'");
    EXPECT_EQ(r.code, 0) << r.err;
    AppSettings written;
    EXPECT_EQ(SettingsStore(home / "VELK").ReadIniFile(written), 1);
    EXPECT_EQ(written.AutoConnection, 1);
    r = Program(home, "velk-settings", "--dir '~/VELK' AutoConnection=1", "-u HOME");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err,
              "velk-settings: VELK cannot use its base directory ~/VELK:\nThe home directory is "
              "not known (HOME is not set).\n");
}

}  // namespace
}  // namespace velk
