// qrfdump: prints a Tavrin scene file as readable text, checks that it is well formed, or
// counts what it holds.
//
// Exit statuses: 0 done (well formed), 1 the file is not a valid scene or the output
// cannot be written, 2 usage error, 3 the file cannot be read.
#include "QrfText.h"
#include "SceneReader.h"
#include "tool_cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

constexpr int kMalformed = tool::kExitFailure;
constexpr int kCannotRead = tool::kExitInput;

int run(const std::string& path, bool check, bool stats) {
    std::string data;
    std::string reason;
    if (!orv::qrf::readInput(path, data, reason)) {
        std::fprintf(stderr, "qrfdump: %s\n", reason.c_str());
        return kCannotRead;
    }
    orv::qrf::Document document;
    orv::qrf::ParseError error;
    if (!orv::qrf::parse(data, document, error)) {
        std::fprintf(stderr, "qrfdump: %s: offset %zu: %s\n", path.c_str(), error.offset, error.message.c_str());
        return kMalformed;
    }
    if (check) return 0;
    if (stats) {
        const std::string text = orv::qrf::formatStats(orv::qrf::computeStats(document, data.size()));
        std::fwrite(text.data(), 1, text.size(), stdout);
    } else {
        orv::qrf::dumpDocument(document, [](std::string_view piece) {
            std::fwrite(piece.data(), 1, piece.size(), stdout);
        });
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "qrfdump: cannot write the output: %s\n", std::strerror(errno));
        return tool::kExitFailure;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Prints a Tavrin scene file as readable text (binary runs decoded to numbers),\n"
                 "checks that it is well formed, or counts what it holds."};
    tool::setUp(app, "qrfdump",
                {{tool::kExitFailure, "the file is not a valid scene (the offset and the fault are printed), "
                                      "or the output cannot be written"},
                 {tool::kExitInput, "the file cannot be read (the system's reason is printed)"}});
    std::string path;
    bool check = false;
    bool stats = false;
    app.add_option("FILE", path, "scene file; - reads standard input")->required();
    auto* checkFlag = app.add_flag("--check", check,
                                   "only check the file: exit 0 when well formed, else 1 with the offset "
                                   "and what is wrong");
    auto* statsFlag = app.add_flag("--stats", stats,
                                   "print key: value counts (groups, objects, triangles, vertices, materials, "
                                   "shaders, cameras, lights, animations, curves, bytes)");
    checkFlag->excludes(statsFlag);
    if (const auto status = tool::parse(app, argc, argv)) return *status;
    try {
        return run(path, check, stats);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qrfdump: %s\n", e.what());
        return tool::kExitFailure;
    }
}
