// The command-line convention shared by c4dsim, qrfdump and tavrin: one set of exit
// statuses, --version, and every error as one line that starts with the program's name.
#pragma once

#include <CLI/CLI.hpp>

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

namespace tool {

// Exit statuses. Every status means the same in every tool; a tool uses the ones that
// apply to it and lists them in its --help.
enum ExitStatus : int {
    kExitSuccess = 0,
    kExitFailure = 1,    // the run did its work and the result is a failure
    kExitUsage = 2,      // bad command line
    kExitInput = 3,      // an input cannot be read (missing file, syntax or structure error)
    kExitPlugin = 4,     // the plug-in cannot be loaded or refused to start
    kExitNoCommand = 5,  // the plug-in registered no command with the requested ID
    kExitIncomplete = 6, // the command succeeded but left something out
};

// The project version ("10.1.0").
const char* version();

// Names the program, adds --version and puts the exit statuses the tool uses into the
// help's footer, each with its meaning for this tool (0 and 2 are always listed).
void setUp(CLI::App& app, const std::string& name,
           std::initializer_list<std::pair<ExitStatus, const char*>> statuses);

// Parses the command line. Returns the status to exit with when the run ends here: 0
// after --help or --version, kExitUsage after a one-line error on standard error.
// Returns nothing when the program should go on.
std::optional<int> parse(CLI::App& app, int argc, char** argv);

// Writes "NAME: MESSAGE" and a newline to standard error.
void error(const CLI::App& app, const std::string& message);

// True when both names lead to one file: the same file when both exist, else the same
// absolute path once links and dots are resolved as far as they exist. An output that
// names an input (or another output) is a mistake of the command line.
bool samePath(const std::string& a, const std::string& b);

} // namespace tool
