// Loads a model file into the simulated host (assimp's reading plus the document build) and
// exports it through the file factory as the Export command does. Prints the two times
// apart, best of a few runs, with the model's size in points, polygons and bytes written,
// and the cost of reading the model in a child process (as c4dsim does) against in process.
#include "TranslationContext.h"
#include "c4d_host.h"
#include "commands.h"
#include "contained_import.h"
#include "model_import.h"
#include "sim_host.h"

#include "../common/bench_clock.h"
#include "../common/bench_goal.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

namespace {

using bench::Clock;
using bench::processorSeconds;
using bench::secondsSince;

void count(const sim::Object& o, size_t& points, size_t& polygons)
{
    points += o.points.size();
    polygons += o.polygons.size();
    for (const auto& c : o.children)
        count(*c, points, polygons);
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Times model import and Export apart on one model file."};
    std::string model = TAVRIN_LARGEST_MODEL;
    int runs = 3;
    app.add_option("model", model, "The model file")->capture_default_str();
    app.add_option("--runs", runs, "Runs; the best time of each stage is shown")->capture_default_str();
    bool keep = false;
    app.add_flag("--keep", keep, "Keep the scene file (to compare its bytes)");
    CLI11_PARSE(app, argc, argv);

    try {
        const std::string out = (std::filesystem::temp_directory_path() /
                                 ("bench_model_import_" + std::to_string(getpid()) + ".qrf")).string();
        double bestLoad = 1e30, bestExport = 1e30, bestContained = 1e30;
        size_t points = 0, polygons = 0;
        uintmax_t bytes = 0;
        host::bind(sim::hostTable());
        sim::setConsoleQuiet(true); // the reports of the runs
        for (int r = 0; r < std::max(1, runs); ++r) {
            // The child first, forked from a process that holds no document yet, as c4dsim
            // forks it before it loads the plug-in.
            auto start = Clock::now();
            {
                auto contained = modelimport::importModelContained(model, {});
                if (!contained.document) {
                    std::fprintf(stderr, "bench_model_import: %s\n", contained.error.c_str());
                    return 3;
                }
            }
            bestContained = std::min(bestContained, secondsSince(start));
            start = Clock::now();
            modelimport::Summary summary;
            std::string error;
            auto doc = modelimport::importModel(model, {}, summary, error);
            if (!doc) {
                std::fprintf(stderr, "bench_model_import: %s\n", error.c_str());
                return 3;
            }
            bestLoad = std::min(bestLoad, secondsSince(start));
            start = Clock::now();
            {
                TranslationContext context;
                if (!exportDocumentTo(context, host::Document(sim::handle(doc.get())), out)) {
                    std::fprintf(stderr, "bench_model_import: the export of %s failed\n", out.c_str());
                    return 1;
                }
            }
            bestExport = std::min(bestExport, secondsSince(start));
            points = polygons = 0;
            for (const auto& o : doc->objects)
                count(*o, points, polygons);
            bytes = std::filesystem::file_size(out);
        }
        if (!keep)
            std::filesystem::remove(out);
        std::printf("model: %s\n", model.c_str());
        std::printf("points: %zu  polygons: %zu  scene bytes: %ju\n", points, polygons, bytes);
        std::printf("load (assimp read + document build): %.3f s\n", bestLoad);
        std::printf("export (translation + scene file):   %.3f s\n", bestExport);
        std::printf("export / load: %.2f\n", bestExport / bestLoad);
        std::printf("load in a child process (read, build, hand-back): %.3f s\n", bestContained);
        std::printf("child process / in process: %.2f\n", bestContained / bestLoad);
        bench::goalAtMost("largest model read in a child against in process", bestContained / bestLoad, 1.3, "x");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_model_import: %s\n", e.what());
        return 1;
    }
    return 0;
}
