#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace velk {

// The options every VELK program understands, whatever else it takes:
//   --dir DIR, --dir=DIR  the base directory instead of the current directory
//   --help, --version     answered on standard output; the program then ends
// Everything else is left to the program, in order; from a "--" on (kept, for a program that
// takes file names) nothing is taken as one of these options.
struct CommandLine {
    std::optional<std::string> dir;
    bool help = false;
    bool version = false;
    std::vector<std::string> arguments;
    // "--dir" with nothing after it.
    std::string error;
};

CommandLine ParseCommandLine(int argc, const char* const argv[]);

// What --help tells about one program. help2man turns it into the manual page: the usage line is
// the synopsis, the description its first section, the options its option list.
struct ProgramHelp {
    const char* name;
    const char* usage;        // what follows the name, e.g. "[--dir DIR] [--other-program] FILE..."
    const char* description;  // one paragraph, lines of at most 79 characters
    const char* options;      // the program's own options, "  --opt  text" lines, or ""
    // Whether the program makes the base directory when it is missing (a program that only
    // reads it needs it there).
    bool makesBaseDirectory = true;
};

// Prints the help or the version line ("velk-collector (VELK) 1.0.0") when asked for; true when
// the program should then end with exit code 0.
bool AnswerHelpOrVersion(const CommandLine& line, const ProgramHelp& help, std::ostream& out);

// Says what is wrong with the arguments and where help is; returns the exit code for it.
inline constexpr int kUsageExit = 2;
int UsageError(const ProgramHelp& help, const std::string& what, std::ostream& err);

// What every program does first with its command line: the exit code when --help, --version or a
// malformed --dir ends it here (0, or kUsageExit after saying what is wrong), nothing when the
// program goes on with its own arguments.
std::optional<int> AnswerCommonOptions(const CommandLine& line, const ProgramHelp& help,
                                       std::ostream& out, std::ostream& err);

// The program version, from the build.
const char* VelkVersion();

}  // namespace velk
