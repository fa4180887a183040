// Times reading a scene made of large binary runs (vertex, normal, texture-coordinate and
// index lists, as an export of heavy meshes writes them) and compares it with a plain copy
// of the runs into fresh memory. Prints both times and the ratio.
#include "SceneReader.h"

#include "../common/bench_goal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

template <class Body> double best(int runs, Body body) {
    double fastest = 1e9;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        body();
        fastest = std::min(fastest, seconds(start));
    }
    return fastest;
}

struct Run {
    size_t offset, bytes;
};

void binaryRun(std::string& scene, std::vector<Run>& runs, const char* name, char letter, uint32_t scalars) {
    scene += '"';
    scene += name;
    scene += "\" [ ";
    scene.append("\x01\x02\x03", 3);
    scene += letter;
    scene.append(reinterpret_cast<const char*>(&scalars), 4);
    const size_t at = scene.size();
    scene.resize(at + size_t{scalars} * 4);
    runs.push_back({at, size_t{scalars} * 4});
    for (size_t i = at; i < scene.size(); ++i) scene[i] = static_cast<char>(i * 131);
    scene += "] ,\n";
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::puts("usage: bench_reader [MEGABYTES]\n"
                  "Builds a scene of about MEGABYTES (default 100) of binary runs, reads it with the\n"
                  "scene file reader and copies each run into fresh memory, and prints both times and\n"
                  "their ratio.");
        return 0;
    }
    size_t megabytes = 100;
    if (argc > 1) {
        char* end = nullptr;
        const unsigned long long n = std::strtoull(argv[1], &end, 10);
        if (!end || *end || n == 0 || n > 4000) {
            std::fprintf(stderr, "bench_reader: MEGABYTES must be a number from 1 to 4000\n");
            return 2;
        }
        megabytes = static_cast<size_t>(n);
    }
    // One mesh of 100,000 vertices and 200,000 triangles is about 5.6 MB.
    std::string scene = "version 9\n\n";
    std::vector<Run> runs;
    for (size_t mesh = 0; scene.size() < megabytes * 1000000; ++mesh) {
        scene += "object \"mesh" + std::to_string(mesh) + "\" {\ngeometry \"triangles\" {\n";
        binaryRun(scene, runs, "vertices", 'c', 300000);
        binaryRun(scene, runs, "normals", 'c', 300000);
        binaryRun(scene, runs, "uv_tex", 'f', 200000);
        binaryRun(scene, runs, "triangles", 'i', 600000);
        scene += "}\n}\n";
    }

    const int rounds = 5;
    // The least any reader does: copy each run into fresh memory of its own.
    const double copy = best(rounds, [&] {
        std::vector<std::vector<char>> copies;
        copies.reserve(runs.size());
        for (const Run& run : runs) {
            copies.emplace_back(run.bytes);
            std::memcpy(copies.back().data(), scene.data() + run.offset, run.bytes);
        }
    });
    orv::qrf::ParseError error;
    bool ok = true;
    const double read = best(rounds, [&] {
        orv::qrf::Document document;
        ok = ok && orv::qrf::parse(scene, document, error);
    });
    if (!ok) {
        std::fprintf(stderr, "bench_reader: offset %zu: %s\n", error.offset, error.message.c_str());
        return 1;
    }
    std::printf("scene: %.1f MB\ncopy of the runs: %.3f s (%.2f GB/s)\nreader: %.3f s (%.2f GB/s)\nratio: %.2f\n",
                scene.size() / 1e6, copy, scene.size() / copy / 1e9, read, scene.size() / read / 1e9,
                read / copy);
    bench::goalAtMost("reading binary runs against copying them", read / copy, 1.5, "x");
    return 0;
}
