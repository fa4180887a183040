// Builds a grid of quads in the simulated host (UVW tag, phong normals, two texture tags,
// the right one restricted to a selection of half the polygons), exports it through the
// file factory as the Export command does, and compares the export's wall time with one
// plain fwrite of the same number of bytes. Prints the bytes written, the peak resident
// memory and the size of the host's own mesh data.
#include "LightFactory.h"
#include "TranslationContext.h"
#include "c4d_host.h"
#include "command_run.h"
#include "sim_host.h"

#include "../common/bench_clock.h"
#include "../common/bench_goal.h"
#include "../common/bench_grid.h"

#include <CLI/CLI.hpp>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using bench::Clock;
using bench::processorSeconds;
using bench::secondsSince;

double peakResidentMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
}

constexpr double kMiB = 1024.0 * 1024.0;

// A command run into a back end that discards everything, with or without the counting
// back end: what counting and the report add to an export, apart from the file writing both
// share. Both runs publish their report; the counted one makes its JSON text and lines once
// more, standing for the report that the other would not have made. Answers processor time.
double translateOnce(TranslationContext& context, sim::Document& doc, bool reported)
{
    NullApi discard;
    orv::PassThroughFactory factory(&discard);
    const double start = processorSeconds();
    {
        CommandRun run(context, "export", host::Document(sim::handle(&doc)));
        if (!reported)
            run.leaveCounterOut();
        run.write(factory);
    }
    if (reported && (context.report.written().objects == 0 || context.report.json().empty() ||
                     context.report.lines().empty()))
        throw std::runtime_error("no report");
    return processorSeconds() - start;
}

double plainWriteOnce(const std::vector<char>& bytes, const std::string& path)
{
    const auto start = Clock::now();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        throw std::runtime_error("cannot open " + path);
    const size_t written = std::fwrite(bytes.data(), 1, bytes.size(), f);
    if (std::fclose(f) != 0 || written != bytes.size())
        throw std::runtime_error("cannot write " + path);
    return secondsSince(start);
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Exports a grid of quads with UVs, phong normals and two texture tags (one on a\n"
                 "selection of half the polygons) and compares it with one plain fwrite of the\n"
                 "same number of bytes."};
    int side = 1000;
    int runs = 10;
    std::string folder = std::filesystem::temp_directory_path().string();
    app.add_option("--side", side, "Quads per grid side (side x side quads)")->check(CLI::Range(1, 20000));
    app.add_option("--runs", runs, "Runs of each measurement; the fastest counts")->check(CLI::Range(1, 50));
    app.add_option("--dir", folder, "Folder for the output files")->check(CLI::ExistingDirectory);
    bool keep = false;
    app.add_flag("--keep", keep, "Keep the scene file (to compare its bytes)");
    CLI11_PARSE(app, argc, argv);

    try {
        const std::string stem = folder + "/bench_mesh_export_" + std::to_string(getpid());
        const std::string scenePath = stem + ".qrf";
        const std::string plainPath = stem + ".bin";

        bench::Grid grid = bench::buildGrid(side);
        host::bind(sim::hostTable());
        sim::setConsoleQuiet(true); // the reports of the runs

        TranslationContext context;
        // One export first, for the size of the plain write; later the export and the plain
        // write take turns, alternating which goes first, so that both meet the same state of
        // the machine (its page cache and free memory drift from run to run).
        double exportTime = 1e30;
        double exportProcessor = 1e30;
        const auto exportRun = [&] {
            const double start = processorSeconds();
            exportTime = std::min(exportTime, bench::exportOnce(context, *grid.doc, scenePath));
            exportProcessor = std::min(exportProcessor, processorSeconds() - start);
        };
        exportRun();
        // With and without the report, alternating which goes first, so that both meet the
        // same state of the machine.
        double plainTranslation = 1e30;
        double reportedTranslation = 1e30;
        for (int i = 0; i < 2 * runs; ++i) {
            const bool reportFirst = (i & 1) != 0;
            const double first = translateOnce(context, *grid.doc, reportFirst);
            const double second = translateOnce(context, *grid.doc, !reportFirst);
            plainTranslation = std::min(plainTranslation, reportFirst ? second : first);
            reportedTranslation = std::min(reportedTranslation, reportFirst ? first : second);
        }
        // The peak so far: the export's and the translations' own, before the plain write's
        // buffer is made.
        const double peak = peakResidentMiB();
        const auto bytes = static_cast<size_t>(std::filesystem::file_size(scenePath));
        std::vector<char> buffer(bytes, 'x');
        double plainTime = 1e30;
        double plainProcessor = 1e30;
        const auto plainRun = [&] {
            const double start = processorSeconds();
            plainTime = std::min(plainTime, plainWriteOnce(buffer, plainPath));
            plainProcessor = std::min(plainProcessor, processorSeconds() - start);
        };
        for (int i = 0; i < runs; ++i) {
            if (i & 1) {
                plainRun();
                exportRun();
            } else {
                exportRun();
                plainRun();
            }
        }
        // The host's own share: handing out the phong normals (its own array, not a copy).
        double phongTime = 1e30;
        for (int i = 0; i < runs; ++i) {
            const auto start = Clock::now();
            const host::PhongNormals normals = host::Object(sim::handle(grid.doc->objects[0].get())).phongNormals();
            phongTime = std::min(phongTime, secondsSince(start));
        }
        if (!keep)
            std::filesystem::remove(scenePath);
        std::filesystem::remove(plainPath);

        const double hostMiB = grid.hostBytes / kMiB;
        const double regionMiB = grid.largestRegionBytes / kMiB;
        const double budget = hostMiB + 1.5 * regionMiB;
        std::printf("quads: %lld\n", static_cast<long long>(side) * side);
        std::printf("bytes written: %zu (%.1f MiB)\n", bytes, bytes / kMiB);
        std::printf("export: %.3f s\n", exportTime);
        std::printf("  of which the host's phong normals: %.3f s\n", phongTime);
        std::printf("report cost: %+.2f%% of the export's processor time (command run %.3f s with the "
                    "counter and report, %.3f s without; export %.3f s; target under 2%%)\n",
                    exportProcessor > 0 ? (reportedTranslation - plainTranslation) / exportProcessor * 100.0 : 0.0,
                    reportedTranslation, plainTranslation, exportProcessor);
        std::printf("plain fwrite: %.3f s (%.3f s of processor time)\n", plainTime, plainProcessor);
        std::printf("ratio: %.2fx (limit 1.5x)\n", plainTime > 0 ? exportTime / plainTime : 0.0);
        // Processor time counts only what this process did: on a machine others share, it
        // is the steadier figure.
        std::printf("ratio of processor times: %.2fx\n", plainProcessor > 0 ? exportProcessor / plainProcessor : 0.0);
        std::printf("host mesh data: %.1f MiB\n", hostMiB);
        std::printf("largest region output: %.1f MiB\n", grid.largestRegionBytes / kMiB);
        std::printf("peak resident memory: %.1f MiB (limit: host data + 1.5 x largest region = %.1f MiB)\n", peak,
                    budget);
        bench::goalAtMost("1M-quad export against plain fwrite", plainTime > 0 ? exportTime / plainTime : 0.0, 1.5,
                          "x");
        bench::goalAtMost("the same by processor time", plainProcessor > 0 ? exportProcessor / plainProcessor : 0.0,
                          1.5, "x");
        bench::goalAtMost("report's share of the export",
                          exportProcessor > 0 ? (reportedTranslation - plainTranslation) / exportProcessor * 100.0
                                              : 0.0,
                          2.0, "%");
        bench::goalAtMost("peak memory against its budget", budget > 0 ? peak / budget : 0.0, 1.0, "x");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_mesh_export: %s\n", e.what());
        return 1;
    }
}
