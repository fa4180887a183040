// qrfdump: prints a Tavrin scene file as readable text, checks that it is well formed, or
// counts what it holds.
//
// Exit statuses: 0 done (well formed), 1 the file is not a valid scene, the output or the
// preview cannot be written, 2 usage error, 3 the file cannot be read.
#include "Preview.h"
#include "Png.h"
#include "QrfText.h"
#include "SceneReader.h"
#include "tool_cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

namespace {

constexpr int kMalformed = tool::kExitFailure;
constexpr int kCannotRead = tool::kExitInput;

// True when both numbers of WIDTHxHEIGHT are plain decimals no larger than the preview's
// side limit. Checked digit by digit, so that a number past the range of an int (say
// 4294967297) is refused instead of wrapping round to a small size.
bool sizeInRange(const std::string& text) {
    const size_t x = text.find_first_of("xX");
    if (x == std::string::npos) return false;
    for (const std::string& part : {text.substr(0, x), text.substr(x + 1)}) {
        if (part.empty() || part.size() > 9 || part.find_first_not_of("0123456789") != std::string::npos) return false;
        if (std::stol(part) > preview::kMaxImageSide) return false;
    }
    return true;
}

int badSize(const std::string& size) {
    std::fprintf(stderr, "qrfdump: --size wants WIDTHxHEIGHT (1..%d each), not \"%s\"\n", preview::kMaxImageSide,
                 size.c_str());
    return tool::kExitUsage;
}

// Draws the scene into a PNG preview; relative texture paths are also looked for beside
// the scene file.
int renderPreview(const orv::qrf::Document& document, const std::string& path, const std::string& out,
                  const std::string& size) {
    preview::Options options;
    if (!size.empty() && !preview::parseSize(size, options.width, options.height)) return badSize(size);
    options.textureFolder = std::filesystem::path(path).parent_path().string();
    preview::Result result;
    std::string error;
    if (!preview::render(document, options, result, error) || !preview::writePng(out, result.image, error)) {
        std::fprintf(stderr, "qrfdump: %s\n", error.c_str());
        return kMalformed;
    }
    for (const std::string& warning : result.warnings)
        std::fprintf(stderr, "qrfdump: %s: %s\n", path.c_str(), warning.c_str());
    return 0;
}

int run(const std::string& path, bool check, bool stats, const std::string& renderTo, const std::string& size) {
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
    if (check) {
        // Parsing accepts a text without records (an empty file, the header lines alone);
        // a scene file always states its format version.
        if (!document.top.find("version")) {
            std::fprintf(stderr, "qrfdump: %s: offset %zu: no version record, not a scene file\n", path.c_str(),
                         data.size());
            return kMalformed;
        }
        return 0;
    }
    if (!renderTo.empty()) return renderPreview(document, path, renderTo, size);
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
                                   "only check the file: exit 0 when it is a well-formed scene (records "
                                   "including the version), else 1 with the offset and what is wrong");
    auto* statsFlag = app.add_flag("--stats", stats,
                                   "print key: value counts (groups, objects, triangles, vertices, materials, "
                                   "shaders, cameras, lights, animations, curves, bytes)");
    checkFlag->excludes(statsFlag);
    std::string renderTo, size;
    auto* renderOption = app.add_option("--render", renderTo, "draw the scene into this PNG preview image")
                             ->excludes(checkFlag)->excludes(statsFlag);
    app.add_option("--size", size, "preview image size WIDTHxHEIGHT (default 640x360)")->needs(renderOption);
    if (const auto status = tool::parse(app, argc, argv)) return *status;
    // A bad size is a mistake of the command line, told before any input is read.
    if (!size.empty() && !sizeInRange(size)) return badSize(size);
    try {
        return run(path, check, stats, renderTo, size);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qrfdump: %s\n", e.what());
        return tool::kExitFailure;
    }
}
