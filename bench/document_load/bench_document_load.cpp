// Writes a side x side grid of quads as a JSON document (points, polygons, a UVW tag and
// phong normals), loads it as c4dsim does and prints the throughput against 200 MB/s.
// Then loads an object with N and 10 x N empty children, and a document of M and 10 x M
// materials each named by the texture tag of one object of its own, and prints how the time
// grows (10x for linear time, 100x for quadratic).
#include "sim_host.h"

#include "../common/bench_clock.h"
#include "../common/bench_goal.h"

#include <CLI/CLI.hpp>

#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace {

using bench::Clock;
using bench::processorSeconds;
using bench::secondsSince;

void appendNumber(std::string& s, double v)
{
    char buf[32];
    const int n = std::snprintf(buf, sizeof buf, "%.9g", v);
    s.append(buf, static_cast<size_t>(n));
}

std::string gridDocument(int side)
{
    std::string s;
    const size_t quads = static_cast<size_t>(side) * side;
    s.reserve(quads * 220);
    s += R"({"name": "grid.c4d", "objects": [{"type": "polygon", "name": "Grid", "points": [)";
    const int row = side + 1;
    for (int y = 0; y <= side; ++y)
        for (int x = 0; x <= side; ++x) {
            s += (x || y) ? ",[" : "[";
            appendNumber(s, x * 0.01);
            s += ',';
            appendNumber(s, y * 0.01);
            s += ',';
            appendNumber(s, (x ^ y) * 0.001);
            s += ']';
        }
    s += R"(], "polygons": [)";
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            const int p = y * row + x;
            s += (x || y) ? ",[" : "[";
            s += std::to_string(p) + ',' + std::to_string(p + 1) + ',' + std::to_string(p + row + 1) + ',' +
                 std::to_string(p + row) + ']';
        }
    s += R"(], "phongNormals": [)";
    for (size_t i = 0; i < quads * 4; ++i)
        s += i ? ",[0,0,1]" : "[0,0,1]";
    s += R"(], "tags": [{"type": "uvw", "uvw": [)";
    const double d = 1.0 / side;
    for (size_t p = 0; p < quads; ++p) {
        const double u = static_cast<double>(p % side) * d;
        const double v = static_cast<double>(p / side) * d;
        s += p ? ",[" : "[";
        const double corners[4][2] = {{u, v}, {u + d, v}, {u + d, v + d}, {u, v + d}};
        for (int c = 0; c < 4; ++c) {
            s += c ? ",[" : "[";
            appendNumber(s, corners[c][0]);
            s += ',';
            appendNumber(s, corners[c][1]);
            s += ']';
        }
        s += ']';
    }
    s += "]}]}]}\n";
    return s;
}

std::string wideDocument(int children)
{
    std::string s = R"({"objects": [{"name": "Wide", "children": [)";
    for (int i = 0; i < children; ++i)
        s += i ? ",{}" : "{}";
    s += "]}]}\n";
    return s;
}

// `count` materials, and as many objects with a texture tag naming one of them each.
std::string materialDocument(int count)
{
    std::string s = R"({"materials": [)";
    for (int i = 0; i < count; ++i)
        s += (i ? ",{\"name\": \"Material " : "{\"name\": \"Material ") + std::to_string(i) + "\"}";
    s += R"(], "objects": [)";
    for (int i = 0; i < count; ++i)
        s += (i ? "," : "") + std::string(R"({"name": "Object )") + std::to_string(i) +
             R"(", "tags": [{"type": "texture", "material": "Material )" + std::to_string(i) + "\"}]}";
    s += "]}\n";
    return s;
}

void writeFile(const std::string& path, const std::string& text)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0)
        throw std::runtime_error("cannot write " + path);
}

struct LoadTime {
    double wall = 1e30;
    double processor = 1e30;
};

// One load of the file in this process.
LoadTime loadHere(const std::string& path)
{
    std::string error;
    const auto start = Clock::now();
    const double cpuStart = processorSeconds();
    auto doc = sim::loadDocument(path, error);
    const LoadTime t{secondsSince(start), processorSeconds() - cpuStart};
    if (!doc)
        throw std::runtime_error(error);
    return t;
}

// One load of the file in a fresh process, as c4dsim meets a document: memory that an
// earlier load freed would spare a small document the page faults a large one pays.
LoadTime loadFresh(const std::string& path)
{
    int answer[2];
    if (::pipe(answer) != 0)
        throw std::runtime_error("cannot make a pipe");
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("cannot fork");
    if (child == 0) {
        ::close(answer[0]);
        std::string error;
        const auto start = Clock::now();
        const double cpuStart = processorSeconds();
        auto doc = sim::loadDocument(path, error);
        const double measured[2] = {secondsSince(start), processorSeconds() - cpuStart};
        if (!doc) {
            std::fprintf(stderr, "bench_document_load: %s\n", error.c_str());
            ::_exit(1);
        }
        const bool sent = ::write(answer[1], measured, sizeof measured) == static_cast<ssize_t>(sizeof measured);
        ::_exit(sent ? 0 : 1);
    }
    ::close(answer[1]);
    double measured[2] = {0, 0};
    const ssize_t got = ::read(answer[0], measured, sizeof measured);
    ::close(answer[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (got != static_cast<ssize_t>(sizeof measured) || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("the load of " + path + " failed");
    return {measured[0], measured[1]};
}

// The fastest of `runs` loads of the file, in seconds of wall and of processor time, each in
// a fresh process or all in this one.
LoadTime loadTime(const std::string& path, int runs, bool fresh = true)
{
    LoadTime best;
    for (int i = 0; i < runs; ++i) {
        const LoadTime t = fresh ? loadFresh(path) : loadHere(path);
        best.wall = std::min(best.wall, t.wall);
        best.processor = std::min(best.processor, t.processor);
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Loads a textured grid of quads and a wide document from JSON and prints the\n"
                 "throughput and the growth of the time with the number of children."};
    int side = 1000;
    int wide = 100000;
    int materials = 10000;
    int runs = 3;
    std::string folder = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path().string();
    app.add_option("--side", side, "Quads per grid side (side x side quads)")->check(CLI::Range(1, 5000));
    app.add_option("--wide", wide, "Children of the smaller wide document (the larger has 10x)")
        ->check(CLI::Range(1, 1000000));
    app.add_option("--materials", materials, "Materials of the smaller material document (the larger has 10x)")
        ->check(CLI::Range(1, 1000000));
    app.add_option("--runs", runs, "Runs of each measurement; the fastest counts")->check(CLI::Range(1, 50));
    app.add_option("--dir", folder, "Folder for the documents")->check(CLI::ExistingDirectory);
    CLI11_PARSE(app, argc, argv);

    try {
        const std::string stem = folder + "/bench_document_load_" + std::to_string(getpid());
        const std::string gridPath = stem + "_grid.json";
        writeFile(gridPath, gridDocument(side));
        const double bytes = static_cast<double>(std::filesystem::file_size(gridPath));
        // The throughput as it has always been measured: the best of loads in one process.
        const LoadTime gridTime = loadTime(gridPath, runs, false);
        std::filesystem::remove(gridPath);
        const double mbps = bytes / 1e6 / gridTime.wall;
        const double cpuMbps = bytes / 1e6 / gridTime.processor;
        std::printf("grid: %lld quads, %.1f MB, load %.3f s: %.0f MB/s (target 200 MB/s: %.2fx of it); "
                    "processor time %.3f s: %.0f MB/s\n",
                    static_cast<long long>(side) * side, bytes / 1e6, gridTime.wall, mbps, mbps / 200.0,
                    gridTime.processor, cpuMbps);

        const std::string widePath = stem + "_wide.json";
        writeFile(widePath, wideDocument(wide));
        const double small = loadTime(widePath, runs).wall;
        writeFile(widePath, wideDocument(wide * 10));
        const double large = loadTime(widePath, runs).wall;
        std::filesystem::remove(widePath);
        std::printf("wide: %d children %.3f s, %d children %.3f s: %.1fx (linear 10x, quadratic 100x)\n", wide,
                    small, wide * 10, large, small > 0 ? large / small : 0.0);

        const std::string materialPath = stem + "_materials.json";
        writeFile(materialPath, materialDocument(materials));
        const double few = loadTime(materialPath, runs).wall;
        writeFile(materialPath, materialDocument(materials * 10));
        const double many = loadTime(materialPath, runs).wall;
        std::filesystem::remove(materialPath);
        std::printf("materials named by texture tags: %d %.3f s, %d %.3f s: %.1fx (linear 10x, quadratic 100x)\n",
                    materials, few, materials * 10, many, few > 0 ? many / few : 0.0);

        bench::goalAtLeast("document load throughput", mbps, 200, "MB/s");
        bench::goalAtMost("load of 10x the children", small > 0 ? large / small : 0.0, 12, "x");
        bench::goalAtMost("load of 10x the materials named by tags", few > 0 ? many / few : 0.0, 12, "x");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_document_load: %s\n", e.what());
        return 1;
    }
}
