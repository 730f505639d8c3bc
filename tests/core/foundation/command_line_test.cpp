// The options every program shares, and the base directory they lead to.
#include "core/foundation/command_line.h"

#include <gtest/gtest.h>

#include <sstream>

#include "core/foundation/base_directory.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

CommandLine Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "velk-x");
    return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, CommonOptionsAreTakenAndTheRestLeftInOrder) {
    struct Case {
        std::vector<const char*> args;
        std::optional<std::string> dir;
        bool help, version;
        std::vector<std::string> rest;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{}, std::nullopt, false, false, {}, ""},
        {{"--dir", "/srv/velk", "a"}, "/srv/velk", false, false, {"a"}, ""},
        {{"--dir=~/VELK"}, "~/VELK", false, false, {}, ""},
        {{"--dir="}, "", false, false, {}, ""},
        {{"--dir", "a", "--dir", "b"}, "b", false, false, {}, ""},
        {{"x", "--help", "--other", "y"}, std::nullopt, true, false, {"x", "--other", "y"}, ""},
        {{"--version"}, std::nullopt, false, true, {}, ""},
        // A directory that looks like an option is still the directory.
        {{"--dir", "--help"}, "--help", false, false, {}, ""},
        {{"f", "--dir"}, std::nullopt, false, false, {"f"}, "--dir needs a directory"},
        // After "--" nothing is an option: file names beginning with dashes.
        {{"--other", "--", "--help", "--dir", "d"},
         std::nullopt,
         false,
         false,
         {"--other", "--", "--help", "--dir", "d"},
         ""},
    };
    for (const Case& c : cases) {
        const CommandLine line = Parse(c.args);
        const std::string what = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(line.dir, c.dir) << what;
        EXPECT_EQ(line.help, c.help) << what;
        EXPECT_EQ(line.version, c.version) << what;
        EXPECT_EQ(line.arguments, c.rest) << what;
        EXPECT_EQ(line.error, c.error) << what;
    }
}

TEST(CommandLine, HelpAndVersionTexts) {
    const ProgramHelp help = {"velk-x", "[--dir DIR] FILE...", "Does x.", "  --y  why\n"};
    std::ostringstream out;
    EXPECT_FALSE(AnswerHelpOrVersion(Parse({"FILE"}), help, out));
    EXPECT_EQ(out.str(), "");
    EXPECT_TRUE(AnswerHelpOrVersion(Parse({"--version"}), help, out));
    EXPECT_EQ(out.str(), std::string("velk-x (VELK) ") + VelkVersion() + "\n");
    out.str("");
    EXPECT_TRUE(AnswerHelpOrVersion(Parse({"--help", "--version"}), help, out));
    EXPECT_EQ(out.str(),
              "Usage: velk-x [--dir DIR] FILE...\n"
              "Does x.\n\n"
              "Options:\n"
              "  --dir DIR    the base directory (default: the current directory); created\n"
              "               when missing, \"~/\" at its start meaning the home directory\n"
              "  --y  why\n"
              "  --help       show this help and exit\n"
              "  --version    show the version and exit\n");
    // A program that only reads the base directory says it must be there.
    ProgramHelp reader = help;
    reader.makesBaseDirectory = false;
    out.str("");
    EXPECT_TRUE(AnswerHelpOrVersion(Parse({"--help"}), reader, out));
    EXPECT_NE(out.str().find("  --dir DIR    the base directory (default: the current directory), "
                             "which\n               must exist, \"~/\" at its start"),
              std::string::npos)
        << out.str();
    EXPECT_EQ(out.str().find("created"), std::string::npos) << out.str();
    std::ostringstream err;
    EXPECT_EQ(UsageError(help, "no file", err), 2);
    EXPECT_EQ(err.str(),
              "velk-x: no file\nUsage: velk-x [--dir DIR] FILE...\n"
              "Try 'velk-x --help' for more information.\n");
}
TEST(CommandLine, CommonOptionsEndTheProgramOnlyWhenAnswered) {
    const ProgramHelp help = {"velk-x", "[--dir DIR]", "Does x.", ""};
    std::ostringstream out, err;
    EXPECT_EQ(AnswerCommonOptions(Parse({"--dir", "d", "FILE"}), help, out, err), std::nullopt);
    EXPECT_EQ(out.str() + err.str(), "");
    EXPECT_EQ(AnswerCommonOptions(Parse({"--version", "--dir"}), help, out, err), 0);
    EXPECT_EQ(err.str(), "");
    out.str("");
    EXPECT_EQ(AnswerCommonOptions(Parse({"FILE", "--dir"}), help, out, err), kUsageExit);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str().rfind("velk-x: ", 0), 0u);
}

class ChosenBaseDirectoryTest : public ::testing::Test {
protected:
    ChosenBaseDirectoryTest() : before_(std::filesystem::current_path()) {
        std::filesystem::create_directories(home_ / "work");
        std::filesystem::current_path(home_ / "work");
    }
    ~ChosenBaseDirectoryTest() override { std::filesystem::current_path(before_); }
    std::string Home() const { return home_.Path().string(); }
    std::filesystem::path Real(const std::string& name) const {
        const auto home = std::filesystem::canonical(home_.Path());
        return name.empty() ? home : home / name;
    }

    std::filesystem::path before_;
    test::TempDir home_;
    std::filesystem::path base_;
    std::string error_;
};

TEST_F(ChosenBaseDirectoryTest, HomeRelativeAndAbsoluteDirectoriesAreMadeAndUsed) {
    struct Case {
        std::string dir;
        std::string expected;  // under the home directory
    };
    for (const Case& c : std::vector<Case>{{"~/VELK", "VELK"},
                                           {"~", ""},
                                           {"~/", ""},
                                           {"site", "work/site"},
                                           {"../work/./site", "work/site"},
                                           {Home() + "/abs", "abs"},
                                           {"~notahome", "work/~notahome"}}) {
        error_.clear();
        ASSERT_TRUE(ChosenBaseDirectory(c.dir, Home().c_str(), base_, error_)) << c.dir << error_;
        EXPECT_EQ(base_, Real(c.expected)) << c.dir;
        EXPECT_TRUE(std::filesystem::is_directory(base_)) << c.dir;
    }
    // A link is followed: the lock file and the settings are the same whichever name is used.
    std::filesystem::create_directory_symlink(Real("VELK"), home_ / "link");
    ASSERT_TRUE(ChosenBaseDirectory("~/link", Home().c_str(), base_, error_));
    EXPECT_EQ(base_, Real("VELK"));
    // No --dir: the current directory, as before.
    ASSERT_TRUE(ChosenBaseDirectory(std::nullopt, nullptr, base_, error_));
    EXPECT_EQ(base_, Real("work"));
}

TEST_F(ChosenBaseDirectoryTest, DirectoriesThatCannotBeUsedAreReported) {
    test::WriteFile(home_ / "file", "x");
    struct Case {
        std::string dir;
        const char* home;
        std::string error;
    };
    const std::string home = Home();
    for (const Case& c : std::vector<Case>{
             {"", home.c_str(),
              "VELK cannot use its base directory :\nAn empty name is no directory."},
             {"~/VELK", nullptr,
              "VELK cannot use its base directory ~/VELK:\nThe home directory is not known "
              "(HOME is not set)."},
             {"~/VELK", "",
              "VELK cannot use its base directory ~/VELK:\nThe home directory is not known "
              "(HOME is not set)."},
             // Only the last part is made: a mistyped parent is no new tree of directories.
             {"~/no/VELK", home.c_str(),
              "VELK cannot use its base directory ~/no/VELK:\nNo such file or directory."},
             {"~/file", home.c_str(),
              "VELK cannot use its base directory ~/file:\nIt is not a directory."},
         }) {
        error_.clear();
        EXPECT_FALSE(ChosenBaseDirectory(c.dir, c.home, base_, error_)) << c.dir;
        EXPECT_EQ(error_, c.error);
    }
    EXPECT_FALSE(std::filesystem::exists(home_ / "no"));
}

// A program that only reads takes a directory that is there and never makes one.
TEST_F(ChosenBaseDirectoryTest, AReaderNeverMakesTheDirectory) {
    EXPECT_FALSE(ChosenBaseDirectory("~/NEW", Home().c_str(), base_, error_, false));
    EXPECT_EQ(error_, "VELK cannot use its base directory ~/NEW:\nThere is no such directory.");
    EXPECT_FALSE(std::filesystem::exists(home_ / "NEW"));
    std::filesystem::create_directory(home_ / "NEW");
    ASSERT_TRUE(ChosenBaseDirectory("~/NEW", Home().c_str(), base_, error_, false)) << error_;
    EXPECT_EQ(base_, Real("NEW"));
}

}  // namespace
}  // namespace velk
