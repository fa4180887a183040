// Times the preview renderer on a heavy scene: a camera, a light and one terrain mesh of
// 1,000,000 triangles (500 x 1000 quads) written as binary runs. The process is pinned to
// one core; prints the best of several runs for reading the scene, gathering it (world
// transform, checks) and drawing it (acceleration structure and tracing), at 640x360.
#include "Preview.h"
#include "SceneReader.h"

#include "../common/bench_goal.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

template <class T>
void binaryRun(std::string& scene, const char* name, char letter, const std::vector<T>& values) {
    scene += '"';
    scene += name;
    scene += "\" [ ";
    scene.append("\x01\x02\x03", 3);
    scene += letter;
    const uint32_t count = uint32_t(values.size());
    scene.append(reinterpret_cast<const char*>(&count), 4);
    scene.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
    scene += "] ,\n";
}

std::string terrainScene(int columns, int rows) {
    std::vector<float> vertices;
    vertices.reserve(size_t(columns + 1) * size_t(rows + 1) * 3);
    for (int j = 0; j <= rows; ++j)
        for (int i = 0; i <= columns; ++i) {
            const float x = float(i) / float(columns) * 400 - 200;
            const float z = float(j) / float(rows) * 400 - 200;
            vertices.insert(vertices.end(), {x, 10 * std::sin(x * 0.05f) * std::cos(z * 0.07f), z});
        }
    std::vector<int32_t> triangles;
    triangles.reserve(size_t(columns) * size_t(rows) * 6);
    for (int j = 0; j < rows; ++j)
        for (int i = 0; i < columns; ++i) {
            const int32_t a = j * (columns + 1) + i, b = a + 1, c = a + columns + 1, d = c + 1;
            triangles.insert(triangles.end(), {a, c, b, b, c, d});
        }
    std::string scene = "version 9\n\ncamera \"Camera\" {\n  projection \"perspective\"\n  fov 60\n"
                        "  position 0 0 0\n  direction 0 0 1\n  up 0 1 0\n"
                        "  transform 1 0 0 0 0 0.894427 0.447214 0 0 0.447214 -0.894427 0 0 150 300 1\n}\n"
                        "group \"terrain\" {\ntransform 1 0 0 0 0 1 0 0 0 0 -1 0 0 0 0 1\n"
                        "group \"Sun\" {\ntransform 1 0 0 0 0 1 0 0 0 0 1 0 100 300 -50 1\n"
                        "object \"Sun\" {\ngeometry \"triangles\" {\n"
                        "\"vertices\" [ 0 -1 0,1 0 0,0 0 1,-1 0 0,0 0 -1,0 1 0 ] ,\n"
                        "\"triangles\" [ 2,1,0,1,2,5,3,2,0,2,3,5,4,3,0,3,4,5,1,4,0,4,1,5 ] ,\n}\n"
                        "material \"Sun\" {\nsurface \"orv_point_light\" {\n\"power\" 100,\n\"color\" 1 1 1,\n}\n}\n}\n}\n"
                        "object \"Terrain\" {\ngeometry \"triangles\" {\n";
    binaryRun(scene, "vertices", 'c', vertices);
    binaryRun(scene, "triangles", 'i', triangles);
    scene += "}\nmaterial \"Grass\" {\nsurface \"orv_diffuse\" {\n\"diffuse\" 0.3 0.6 0.2,\n}\n}\n}\n}\n";
    return scene;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::puts("usage: bench_preview\n"
                  "Draws a 1,000,000-triangle scene at 640x360 on one core and prints the times of\n"
                  "reading, gathering and drawing it (best of 5).");
        return 0;
    }
    // One core: the one this process starts on.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(std::max(0, sched_getcpu()), &one);
    sched_setaffinity(0, sizeof one, &one);

    const std::string text = terrainScene(500, 1000);
    double setupBest = 1e9, parseBest = 1e9, buildBest = 1e9, drawBest = 1e9, totalBest = 1e9;
    size_t triangles = 0;
    for (int run = 0; run < 5; ++run) {
        auto start = Clock::now();
        orv::qrf::Document doc;
        orv::qrf::ParseError error;
        if (!orv::qrf::parse(text, doc, error)) {
            std::fprintf(stderr, "bench_preview: scene does not parse: %s\n", error.message.c_str());
            return 1;
        }
        const double parsed = seconds(start);
        auto gather = Clock::now();
        const preview::Scene scene = preview::buildScene(doc, "");
        const double built = seconds(gather);
        auto draw = Clock::now();
        preview::Result result;
        std::string message;
        if (!preview::render(scene, preview::Options{}, result, message)) {
            std::fprintf(stderr, "bench_preview: %s\n", message.c_str());
            return 1;
        }
        const double drawn = seconds(draw);
        // The same scene at one pixel: the acceleration structure alone.
        auto setup = Clock::now();
        preview::Options tiny;
        tiny.width = tiny.height = 1;
        preview::Result one;
        preview::render(scene, tiny, one, message);
        setupBest = std::min(setupBest, seconds(setup));
        triangles = 0;
        for (const preview::Mesh& m : scene.meshes) triangles += m.triangles.size() / 3;
        parseBest = std::min(parseBest, parsed);
        buildBest = std::min(buildBest, built);
        drawBest = std::min(drawBest, drawn);
        totalBest = std::min(totalBest, parsed + built + drawn);
    }
    std::printf("preview of %zu triangles at 640x360, one core, best of 5:\n", triangles);
    std::printf("  read scene     %7.1f ms\n", parseBest * 1000);
    std::printf("  gather         %7.1f ms\n", buildBest * 1000);
    std::printf("  draw           %7.1f ms  (of which %.1f ms build the acceleration structure)\n",
                drawBest * 1000, setupBest * 1000);
    std::printf("  total          %7.1f ms\n", totalBest * 1000);
    bench::goalAtMost("1M-triangle preview on one core", totalBest * 1000, 500, "ms");
    return 0;
}
