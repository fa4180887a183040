// qrfdump: prints a Tavrin scene file as readable text, checks that it is well formed, or
// counts what it holds.
//
// Exit statuses: 0 done (well formed), 1 the file is not a valid scene, the output or the
// preview cannot be written or the preview passed its time limit, 2 usage error, 3 the file
// cannot be read.
#include "Preview.h"
#include "Png.h"
#include "QrfNumbers.h"
#include "QrfText.h"
#include "SceneReader.h"
#include "files/output_file.h"
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

// What --render asks for: the PNG, its size, the camera and the time limit.
struct RenderRequest {
    std::string out;
    std::string size;
    std::string camera;
    double timeLimit = preview::kDefaultTimeLimitSeconds;
};

// Draws the scene into a PNG preview; relative texture paths are also looked for beside
// the scene file.
int renderPreview(const orv::qrf::Document& document, const std::string& path, const RenderRequest& request) {
    preview::Options options;
    options.timeLimitSeconds = request.timeLimit;
    if (!request.camera.empty())
        preview::parseCameraChoice(request.camera, options.camera); // checked by the option
    if (!request.size.empty())
        preview::parseSize(request.size, options.width, options.height); // checked by the option
    const std::string& out = request.out;
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

int run(const std::string& path, bool check, bool stats, const RenderRequest& render) {
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
        size_t offset = 0;
        std::string what;
        if (!orv::qrf::allNumbersFinite(document, offset, what)) {
            std::fprintf(stderr, "qrfdump: %s: offset %zu: %s: not a finite number\n", path.c_str(), offset,
                         what.c_str());
            return kMalformed;
        }
        return 0;
    }
    if (!render.out.empty()) return renderPreview(document, path, render);
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
                                      "the output cannot be written, or the preview was abandoned past its "
                                      "time limit"},
                 {tool::kExitInput, "the file cannot be read (the system's reason is printed)"}});
    std::string path;
    bool check = false;
    bool stats = false;
    app.add_option("FILE", path, "scene file; - reads standard input")->required();
    auto* checkFlag = app.add_flag("--check", check,
                                   "only check the file: exit 0 when it is a well-formed scene (records "
                                   "including the version, every number finite), else 1 with the offset and what is wrong");
    auto* statsFlag = app.add_flag("--stats", stats,
                                   "print key: value counts (groups, objects, triangles, vertices, materials, "
                                   "shaders, cameras, lights, animations, curves, bytes)");
    checkFlag->excludes(statsFlag);
    RenderRequest render;
    auto* renderOption = app.add_option("--render", render.out, "draw the scene into this PNG preview image")
                             ->excludes(checkFlag)->excludes(statsFlag);
    app.add_option("--size", render.size, "preview image size WIDTHxHEIGHT (default 640x360)")
        ->needs(renderOption)
        ->check([](const std::string& text) {
            int w = 0, h = 0;
            return preview::parseSize(text, w, h)
                       ? std::string()
                       : "wants WIDTHxHEIGHT, each 1.." + std::to_string(preview::kMaxImageSide);
        });
    app.add_option("--camera", render.camera,
                   "auto: view the whole scene from in front of, right of and above its centre, at the "
                   "distance that fits it into the picture; file (default): the file's first camera")
        ->needs(renderOption)
        ->check(CLI::IsMember({"auto", "file"}));
    app.add_option("--time-limit", render.timeLimit,
                   "abandon the preview after this many seconds (default 15; 0: no limit)")
        ->needs(renderOption)
        ->check(CLI::Range(0.0, 86400.0));
    if (const auto status = tool::parse(app, argc, argv)) return *status;
    try {
        if (!render.out.empty() && path != "-" && tool::samePath(render.out, path)) {
            tool::error(app, "--render names the scene file \"" + path + "\"; give another file");
            return tool::kExitUsage;
        }
        // A target that is no regular file is refused before the scene is drawn.
        if (const std::string why = render.out.empty() ? std::string() : tavrin::files::refusedOutput(render.out);
            !why.empty()) {
            tool::error(app, "cannot write the preview to " + render.out + ": " + why);
            return tool::kExitFailure;
        }
        return run(path, check, stats, render);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qrfdump: %s\n", e.what());
        return tool::kExitFailure;
    }
}
