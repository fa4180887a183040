#include "tool_cli.h"

#include <cstdio>
#include <filesystem>
#include <map>

namespace tool {

const char* version() { return TAVRIN_PROJECT_VERSION; }

void setUp(CLI::App& app, const std::string& name,
           std::initializer_list<std::pair<ExitStatus, const char*>> statuses)
{
    app.name(name);
    app.set_version_flag("--version", name + " " + version(), "Print the version and exit");
    std::map<int, std::string> meaning{{kExitSuccess, "success"}, {kExitUsage, "usage error (bad command line)"}};
    for (const auto& [status, text] : statuses)
        meaning[status] = text;
    std::string footer = "Exit status (the same meanings in c4dsim, qrfdump and tavrin):\n";
    for (const auto& [status, text] : meaning)
        footer += "  " + std::to_string(status) + "  " + text + "\n";
    footer += "Errors are one line on standard error, starting with \"" + name + ": \".\n";
    app.footer(footer);
}

std::optional<int> parse(CLI::App& app, int argc, char** argv)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e); // --help or --version, printed on standard output
    } catch (const CLI::ParseError& e) {
        error(app, std::string(e.what()) + " (see --help)");
        return kExitUsage;
    }
    return std::nullopt;
}

void error(const CLI::App& app, const std::string& message)
{
    // Keep the message to one line even when a library's text spans several.
    std::string line = message;
    for (char& c : line)
        if (c == '\n')
            c = ' ';
    std::fprintf(stderr, "%s: %s\n", app.get_name().c_str(), line.c_str());
}

bool samePath(const std::string& a, const std::string& b)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::equivalent(a, b, ec))
        return true;
    const fs::path ca = fs::weakly_canonical(fs::absolute(a, ec), ec);
    const fs::path cb = fs::weakly_canonical(fs::absolute(b, ec), ec);
    return !ec && ca == cb;
}

} // namespace tool
