// Runs every model file of a folder that assimp reads through Export. Each model runs in a
// forked child (two at a time by default) with a time limit, so a crash or a hang fails that
// model and not the run. A model passes when assimp refuses it (an unreadable model must end
// with a message), or when its export parses as a scene file (what qrfdump --check checks)
// and holds as many triangles as assimp's triangulated reading, plus eight per light; when
// every polygon's split covers its outline and the world-space surfaces have the area and
// bounds of assimp's flattened reading up to one uniform unit factor; and
// when the document packed for the hand-back from the contained import unpacks to the same
// export, and the document saved as JSON loads again to it (for documents of at most
// --round-trip-limit points, polygons and keys; default 10 million). Where
// assimp's triangulation drops triangles of polygons it cannot split, the export may hold
// n - 2 triangles per polygon instead; such models are counted in the summary.
//
// Prints one line per failure and one summary line; exit 0 when nothing failed, 1 otherwise,
// 2 for a bad command line or a missing folder.
#include "QrfText.h"
#include "SceneReader.h"
#include "contained_import.h"
#include "import_support.h"
#include "model_import.h"
#include "sim_document_pack.h"
#include "sim_host.h"
#include "sim_json_write.h"

#include <assimp/Importer.hpp>
#include <assimp/scene.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

enum Outcome : int { kExported = 0, kRefused = 10, kFailed = 11, kExportedAssimpLoses = 12 };

// Points, polygons and track keys of an object and all below it.
size_t sizeOf(const sim::Object& o)
{
    size_t n = o.points.size() + o.polygons.size();
    for (const auto& t : o.tracks)
        n += t->keys.size();
    for (const auto& c : o.children)
        n += sizeOf(*c);
    return n;
}

// The child's work on one model; writes one line of detail to `out`.
int runModel(const std::string& path, const std::string& cache, size_t roundTripLimit, FILE* out)
{
    modelimport::Summary summary;
    std::string error;
    std::unique_ptr<sim::Document> doc;
    try {
        doc = modelimport::importModel(path, modelimport::LoadOptions{cache, {}}, summary, error);
    } catch (const std::bad_alloc&) {
        // Past the address-space limit: the product's contained import refuses the model.
        error = "memory limit exceeded";
    }
    if (!doc) {
        std::fprintf(out, "%s", error.c_str());
        return kRefused;
    }
    const std::string text = importtest::exportText(*doc, error);
    if (text.empty()) {
        std::fprintf(out, "export failed: %s", error.c_str());
        return kFailed;
    }
    orv::qrf::Document parsed;
    orv::qrf::ParseError parseError;
    if (!orv::qrf::parse(text, parsed, parseError)) {
        std::fprintf(out, "not a valid scene file at offset %zu: %s", parseError.offset, parseError.message.c_str());
        return kFailed;
    }
    const orv::qrf::SceneStats stats = orv::qrf::computeStats(parsed, text.size());
    uint64_t expected = 0;
    if (!importtest::assimpTriangles(path, true, expected, error)) {
        std::fprintf(out, "imported, but assimp's triangulated reading fails: %s", error.c_str());
        return kFailed;
    }
    const uint64_t lightTriangles = 8 * importtest::lightCount(*doc);
    bool lossy = false;
    expected += lightTriangles;
    if (stats.triangles != expected) {
        // assimp's triangulation leaves out triangles of polygons it cannot ear-clip
        // (self-intersecting or far from planar outlines); the export keeps n - 2 of each.
        uint64_t polygons = 0;
        if (stats.triangles > expected && importtest::assimpTriangles(path, false, polygons, error) &&
            stats.triangles == polygons + lightTriangles) {
            lossy = true;
        } else {
            std::fprintf(out, "%llu triangles written, assimp's triangulated reading gives %llu",
                         static_cast<unsigned long long>(stats.triangles), static_cast<unsigned long long>(expected));
            return kFailed;
        }
    }
    // Every polygon split covers its outline, and the document's world-space surfaces are
    // assimp's own, up to one uniform unit factor: area, and bounds up to a turn upright.
    importtest::OutlineCheck outlines;
    if (!importtest::checkOutlines(path, outlines, error)) {
        std::fprintf(out, "imported, but assimp's reading fails: %s", error.c_str());
        return kFailed;
    }
    if (outlines.mismatched > 0) {
        std::fprintf(out, "%llu polygons split into triangles that do not cover them; first: %s",
                     static_cast<unsigned long long>(outlines.mismatched), outlines.mismatch.c_str());
        return kFailed;
    }
    // The document's objects stand at the animation's start; the same import without the
    // animation stands where assimp's node tree puts them.
    importtest::Geometry world;
    {
        size_t emptyMeshes = 0;
        const auto importer = modelimport::readScene(path, 0, emptyMeshes, error);
        auto* scene = importer ? const_cast<aiScene*>(importer->GetScene()) : nullptr;
        if (!scene) {
            std::fprintf(out, "imported, but assimp's reading fails: %s", error.c_str());
            return kFailed;
        }
        const unsigned animations = scene->mNumAnimations;
        scene->mNumAnimations = 0;
        modelimport::Summary still;
        world = importtest::documentGeometry(*modelimport::buildDocument(*scene, path, {cache, {}}, still));
        scene->mNumAnimations = animations;
    }
    const bool nonFinite = std::any_of(summary.notes().begin(), summary.notes().end(),
                                       [](const modelimport::ImportNote& n) { return n.reason == "non_finite_data"; });
    if (world.any != outlines.geometry.any && !nonFinite) {
        std::fprintf(out, "the document has %s surfaces, assimp's reading %s", world.any ? "" : "no",
                     outlines.geometry.any ? "has" : "none");
        return kFailed;
    }
    if (world.any && outlines.geometry.any && !nonFinite) {
        const std::vector<double> ours = world.extents(), theirs = outlines.geometry.extents();
        const double factor = theirs[2] > 0 ? ours[2] / theirs[2] : 1;
        for (int k = 0; k < 3; ++k)
            if (std::abs(ours[k] - factor * theirs[k]) > 1e-3 * ours[2]) {
                std::fprintf(out, "bounds %g x %g x %g, assimp's %g x %g x %g times %g", ours[0], ours[1], ours[2],
                             theirs[0], theirs[1], theirs[2], factor);
                return kFailed;
            }
        const double area = outlines.geometry.area * factor * factor;
        if (outlines.crossing == 0 && std::abs(world.area - area) > 1e-3 * area + 1e-9 * ours[2] * ours[2]) {
            std::fprintf(out, "surface area %g, assimp's %g times %g squared (ratio %g)", world.area,
                         outlines.geometry.area, factor, area > 0 ? world.area / area : 0.0);
            return kFailed;
        }
    }
    std::string counts = " (" + std::to_string(outlines.polygons) + " polygons split, " +
        std::to_string(outlines.crossing) + " crossing themselves)";
    // The document packed as the contained import hands it back exports the same scene.
    const sim::PackedDocument packed = sim::packDocument(*doc);
    std::vector<sim::LongArray> arrays;
    for (const sim::PackedArray& a : packed.arrays)
        arrays.push_back(sim::LongArray::copyOf(a));
    auto unpacked = sim::unpackDocument(packed.text, std::move(arrays), doc->path, error);
    if (!unpacked || importtest::exportText(*unpacked, error) != text) {
        std::fprintf(out, "the packed document %s", unpacked ? "exports a different scene" : "does not unpack");
        return kFailed;
    }
    // The document saved as JSON and loaded again exports the same scene. Documents with more
    // points, polygons and keys than the limit skip this (JSON is slow in the sanitizer
    // build; smaller documents hold the same kinds of data).
    size_t elements = 0;
    for (const auto& o : doc->objects)
        elements += sizeOf(*o);
    const int done = lossy ? kExportedAssimpLoses : kExported;
    if (elements > roundTripLimit) {
        std::fprintf(out, "%llu triangles%s", static_cast<unsigned long long>(stats.triangles), counts.c_str());
        return done;
    }
    auto again = sim::parseDocument(sim::documentJson(*doc), doc->path, error);
    if (!again) {
        std::fprintf(out, "the saved document does not load: %s", error.c_str());
        return kFailed;
    }
    if (importtest::exportText(*again, error) != text) {
        std::fprintf(out, "the saved document exports a different scene");
        return kFailed;
    }
    std::fprintf(out, "%llu triangles%s", static_cast<unsigned long long>(stats.triangles), counts.c_str());
    return done;
}

struct Running {
    pid_t pid;
    size_t model;
    int pipe;
    Clock::time_point started;
    std::string output;          // the child's standard error, then its one line of detail
    unsigned long long memory;   // the product's memory limit for this model
};

// Reads what the child has written so far (the pipe does not block), so that a child with a
// lot to say never waits on a full pipe.
void drain(Running& r)
{
    char buffer[4096];
    ssize_t n;
    while ((n = read(r.pipe, buffer, sizeof buffer)) > 0)
        r.output.append(buffer, static_cast<size_t>(n));
}

// The child's detail line (the last line), and everything before it (assimp's complaints,
// sanitizer reports) for a failure.
std::string lastLine(const std::string& text)
{
    const size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos)
        return {};
    const size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start == std::string::npos ? 0 : start + 1));
}

} // namespace

int main(int argc, char** argv)
{
    std::string folder;
    int jobs = 2;
    double timeout = 120;
    bool verbose = false;
    size_t roundTripLimit = 10'000'000;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--jobs" && i + 1 < argc)
            jobs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--timeout" && i + 1 < argc)
            timeout = std::max(1.0, std::atof(argv[++i]));
        else if (a == "--round-trip-limit" && i + 1 < argc)
            roundTripLimit = size_t(std::max(0.0, std::atof(argv[++i])));
        else if (a == "--verbose")
            verbose = true;
        else if (folder.empty() && a[0] != '-')
            folder = a;
        else {
            std::fprintf(stderr, "usage: corpus_driver FOLDER [--jobs N] [--timeout SECONDS] "
                                 "[--round-trip-limit ELEMENTS] [--verbose]\n");
            return 2;
        }
    }
    std::error_code ec;
    if (folder.empty() || !fs::is_directory(folder, ec)) {
        std::fprintf(stderr, "corpus_driver: no model folder \"%s\" (the assimp-testmodels package installs it)\n",
                     folder.c_str());
        return 2;
    }

    std::vector<std::string> models;
    {
        Assimp::Importer importer;
        for (auto it = fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied, ec);
             it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (ec)
                break;
            if (it->is_regular_file(ec) && importer.IsExtensionSupported(it->path().extension().string()))
                models.push_back(it->path().string());
        }
    }
    std::sort(models.begin(), models.end());
    const fs::path cache = fs::temp_directory_path() / ("corpus_textures_" + std::to_string(getpid()));

    size_t next = 0, exported = 0, refused = 0, failed = 0, lossy = 0;
    unsigned long long polygonsSplit = 0, crossing = 0;
    std::vector<Running> running;
    const auto started = Clock::now();
    while (next < models.size() || !running.empty()) {
        while (next < models.size() && running.size() < static_cast<size_t>(jobs)) {
            int fds[2];
            if (pipe(fds) != 0) {
                std::perror("corpus_driver: pipe");
                return 2;
            }
            std::fflush(nullptr);
            // Each model gets the memory the product's import gives it, so that a model that
            // asks for gigabytes is refused at once and does not crowd the machine.
            const unsigned long long memory = modelimport::limitsFor(models[next]).memoryBytes;
            const pid_t pid = fork();
            if (pid == 0) {
                close(fds[0]);
                if (modelimport::memoryLimitApplies()) {
                    const rlimit limit{memory, memory};
                    setrlimit(RLIMIT_AS, &limit);
                }
                // assimp's parsers print some complaints themselves: standard output goes
                // nowhere, standard error into the pipe, shown only when the model fails.
                if (FILE* quiet = std::fopen("/dev/null", "w"))
                    dup2(fileno(quiet), 1);
                dup2(fds[1], 2);
                FILE* out = fdopen(fds[1], "w");
                std::fputc('\n', out);
                const int code = runModel(models[next], cache.string(), roundTripLimit, out);
                std::fclose(out);
                _exit(code);
            }
            close(fds[1]);
            if (pid < 0) {
                std::perror("corpus_driver: fork");
                return 2;
            }
            fcntl(fds[0], F_SETFL, O_NONBLOCK);
            running.push_back({pid, next++, fds[0], Clock::now(), {}, memory});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (auto it = running.begin(); it != running.end();) {
            int status = 0;
            drain(*it);
            const pid_t done = waitpid(it->pid, &status, WNOHANG);
            const double seconds = std::chrono::duration<double>(Clock::now() - it->started).count();
            // Where the address-space limit cannot be set (sanitizers), the resident size is
            // watched: past the limit the model counts as refused, as the product refuses it.
            const bool overMemory =
                done == 0 && !modelimport::memoryLimitApplies() && modelimport::residentBytes(it->pid) > it->memory;
            if (done == 0 && seconds < timeout && !overMemory) {
                ++it;
                continue;
            }
            std::string detail;
            if (overMemory) {
                kill(it->pid, SIGKILL);
                waitpid(it->pid, &status, 0);
                detail = "cannot read model \"" + models[it->model] + "\": memory limit exceeded";
            } else if (done == 0) {
                kill(it->pid, SIGKILL);
                waitpid(it->pid, &status, 0);
                detail = "no end within " + std::to_string(int(timeout)) + " s";
                status = -1;
            } else {
                drain(*it);
                detail = lastLine(it->output);
            }
            close(it->pipe);
            const std::string& model = models[it->model];
            const bool loses =
                !overMemory && status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == kExportedAssimpLoses;
            if (!overMemory && status >= 0 && WIFEXITED(status) && (WEXITSTATUS(status) == kExported || loses)) {
                ++exported;
                lossy += loses;
                unsigned long long split = 0, crossed = 0;
                const size_t at = detail.find(" (");
                if (at != std::string::npos &&
                    std::sscanf(detail.c_str() + at, " (%llu polygons split, %llu crossing", &split, &crossed) == 2) {
                    polygonsSplit += split;
                    crossing += crossed;
                }
                if (verbose)
                    std::printf("ok       %s: %s (%.2f s)\n", model.c_str(), detail.c_str(), seconds);
            } else if (overMemory || (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == kRefused)) {
                ++refused;
                if (verbose)
                    std::printf("refused  %s\n", detail.c_str());
            } else {
                ++failed;
                if (status >= 0 && WIFSIGNALED(status))
                    detail = std::string("ended by signal ") + strsignal(WTERMSIG(status));
                else if (status >= 0 && !(WIFEXITED(status) && WEXITSTATUS(status) == kFailed))
                    detail = "ended with status " + std::to_string(WEXITSTATUS(status)) + " " + detail;
                std::printf("FAILED   %s: %s\n", model.c_str(), detail.c_str());
                const size_t said = it->output.find_last_not_of('\n');
                const std::string before = said == std::string::npos ? "" : it->output.substr(0, it->output.rfind('\n', said));
                if (before.find_first_not_of('\n') != std::string::npos)
                    std::printf("%s\n", before.c_str());
            }
            it = running.erase(it);
        }
    }
    fs::remove_all(cache, ec);
    const double total = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("corpus: %zu tried, %zu exported, %zu refused by assimp, %zu failed (%.0f s; %zu exports keep "
                "triangles that assimp's own triangulation drops; %llu polygons of four or more corners split, "
                "%llu of them crossing themselves)\n",
                models.size(), exported, refused, failed, total, lossy, polygonsSplit, crossing);
    return failed == 0 ? 0 : 1;
}
