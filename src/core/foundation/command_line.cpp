#include "core/foundation/command_line.h"

namespace velk {

CommandLine ParseCommandLine(int argc, const char* const argv[]) {
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            line.arguments.insert(line.arguments.end(), argv + i, argv + argc);
            break;
        }
        if (a == "--help") {
            line.help = true;
        } else if (a == "--version") {
            line.version = true;
        } else if (a == "--dir") {
            if (i + 1 == argc) {
                line.error = "--dir needs a directory";
                break;
            }
            line.dir = argv[++i];
        } else if (a.rfind("--dir=", 0) == 0) {
            line.dir = a.substr(6);
        } else {
            line.arguments.push_back(a);
        }
    }
    return line;
}

bool AnswerHelpOrVersion(const CommandLine& line, const ProgramHelp& help, std::ostream& out) {
    if (line.help) {
        out << "Usage: " << help.name << ' ' << help.usage << "\n"
            << help.description << "\n\n"
            << "Options:\n"
            << (help.makesBaseDirectory
                    ? "  --dir DIR    the base directory (default: the current directory); created\n"
                      "               when missing, \"~/\" at its start meaning the home directory\n"
                    : "  --dir DIR    the base directory (default: the current directory), which\n"
                      "               must exist, \"~/\" at its start meaning the home directory\n")
            << help.options << "  --help       show this help and exit\n"
            << "  --version    show the version and exit\n";
        out.flush();
        return true;
    }
    if (line.version) {
        out << help.name << " (VELK) " << VelkVersion() << "\n";
        out.flush();
        return true;
    }
    return false;
}

int UsageError(const ProgramHelp& help, const std::string& what, std::ostream& err) {
    err << help.name << ": " << what << "\nUsage: " << help.name << ' ' << help.usage << "\nTry '"
        << help.name << " --help' for more information." << std::endl;
    return kUsageExit;
}

std::optional<int> AnswerCommonOptions(const CommandLine& line, const ProgramHelp& help,
                                       std::ostream& out, std::ostream& err) {
    if (AnswerHelpOrVersion(line, help, out))
        return 0;
    if (!line.error.empty())
        return UsageError(help, line.error, err);
    return std::nullopt;
}

// VELK_VERSION comes from the project version in CMakeLists.txt.
const char* VelkVersion() {
    return VELK_VERSION;
}

}  // namespace velk
