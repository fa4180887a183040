// Times two Exports through the simulated host: a document of animated objects (position,
// rotation and scale tracks on every object) and a document holding one heavy hair object.
// Prints the best export time of each and the bytes of the scene file written.
#include "TranslationContext.h"
#include "c4d_host.h"
#include "commands.h"
#include "sim_host.h"

#include "../common/bench_clock.h"
#include "../common/bench_goal.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

using bench::Clock;
using bench::processorSeconds;
using bench::secondsSince;

constexpr int32_t kNull = 5140;
constexpr int32_t kHair = 1017305;

std::unique_ptr<sim::Document> animatedObjects(int objects, double seconds)
{
    auto doc = std::make_unique<sim::Document>();
    doc->docName = "animated.c4d";
    for (int i = 0; i < objects; ++i) {
        auto o = std::make_unique<sim::Object>();
        o->type = kNull;
        o->name = "Animated " + std::to_string(i);
        for (int32_t parameter : {903, 904, 905}) {
            for (int32_t component : {1000, 1001, 1002}) {
                auto t = std::make_unique<sim::Track>();
                t->name = "track";
                t->descId = {parameter, component};
                const double base = parameter == 905 ? 1.0 : 0.0;
                t->keys = {sim::Key{{0, 1}, base}, sim::Key{{seconds / 2, 1}, base + 0.5 + i * 1e-3},
                           sim::Key{{seconds, 1}, base + 1.0}};
                o->tracks.push_back(std::move(t));
            }
        }
        doc->objects.push_back(std::move(o));
    }
    return doc;
}

std::unique_ptr<sim::Document> hairDocument(int strands, int points)
{
    auto doc = std::make_unique<sim::Document>();
    doc->docName = "hair.c4d";
    auto o = std::make_unique<sim::Object>();
    o->type = kHair;
    o->name = "Hair";
    o->pos = {0, 10, 0};
    o->hair.strandCount = strands;
    o->hair.segmentCount = points - 1;
    o->hair.points.reserve(static_cast<size_t>(strands) * static_cast<size_t>(points));
    o->hair.rootUV.reserve(static_cast<size_t>(strands));
    for (int i = 0; i < strands; ++i) {
        const double x = (i % 1000) * 0.01, z = (i / 1000) * 0.01;
        for (int j = 0; j < points; ++j)
            o->hair.points.push_back({x, 10.0 + j * 0.1, z});
        o->hair.rootUV.push_back({x / 10.0, z / 10.0, 0});
    }
    doc->objects.push_back(std::move(o));
    return doc;
}

struct Result {
    double seconds = 0;
    uintmax_t bytes = 0;
    double cpuSeconds = 0; // processor time of the fastest run (the machine may be shared)
};

Result exportBest(sim::Document& doc, int runs, const std::filesystem::path& path, bool keep)
{
    sim::finalize(doc);
    host::bind(sim::hostTable());
    sim::setConsoleQuiet(true); // the reports of the runs
    Result best{1e30, 0, 0};
    for (int r = 0; r < runs; ++r) {
        TranslationContext context;
        const auto start = Clock::now();
        const double cpuStart = processorSeconds();
        if (!exportDocumentTo(context, host::Document(sim::handle(&doc)), path.string()))
            throw std::runtime_error("the export of " + path.string() + " failed");
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        if (t < best.seconds) {
            best.seconds = t;
            best.cpuSeconds = processorSeconds() - cpuStart;
        }
        best.bytes = std::filesystem::file_size(path);
    }
    if (!keep)
        std::filesystem::remove(path);
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Times the Export of 1,000 animated objects and of one hair object of 100,000 "
                 "strands through the simulated host, and prints the time and bytes of each."};
    int objects = 1000;
    double seconds = 10.0;
    int strands = 100000;
    int points = 8;
    int runs = 3;
    app.add_option("--objects", objects, "animated objects, each with 9 tracks")->check(CLI::Range(1, 1000000));
    app.add_option("--seconds", seconds, "length of every track in seconds")->check(CLI::Range(0.1, 3600.0));
    app.add_option("--strands", strands, "hair strands")->check(CLI::Range(0, 10000000));
    app.add_option("--points", points, "points per strand")->check(CLI::Range(2, 1000));
    app.add_option("--runs", runs, "runs of each export; the fastest counts")->check(CLI::Range(1, 100));
    std::string dir = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path().string();
    app.add_option("--dir", dir, "folder for the scene files")->check(CLI::ExistingDirectory);
    bool keep = false;
    app.add_flag("--keep", keep, "keep the scene files (to compare their bytes)");
    CLI11_PARSE(app, argc, argv);

    const std::filesystem::path folder = dir;
    const std::string tag = std::to_string(getpid());
    try {
        auto animated = animatedObjects(objects, seconds);
        const Result a = exportBest(*animated, runs, folder / ("bench_animation_" + tag + ".qrf"), keep);
        const double mbps = static_cast<double>(a.bytes) / 1e6 / a.seconds;
        std::printf("animation: %d objects x 9 tracks over %g s: %.3f s (%.3f s of processor time), %ju bytes\n",
                    objects, seconds, a.seconds, a.cpuSeconds, a.bytes);
        std::printf("animation: %.0f MB/s (target 400 MB/s: %.2fx of it; by processor time %.0f MB/s)\n", mbps,
                    mbps / 400.0, static_cast<double>(a.bytes) / 1e6 / a.cpuSeconds);
        bench::goalAtLeast("animation export", mbps, 400, "MB/s");

        auto hair = hairDocument(strands, points);
        const Result h = exportBest(*hair, runs, folder / ("bench_hair_" + tag + ".qrf"), keep);
        std::printf("hair: %d strands x %d points: %.3f s, %ju bytes\n", strands, points, h.seconds, h.bytes);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_animation_hair: %s\n", e.what());
        return 1;
    }
    return 0;
}
