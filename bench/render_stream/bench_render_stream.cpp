// Runs the Render command in-process on a grid of quads against a stand-in renderer started
// from a scratch installation, and the Export flow on the same document into a file in the
// same folder. A Render counts until the renderer has confirmed the whole stream; the
// ratio of the fastest runs is printed against the limit of 1.3.
#include "LightFileFactory.h"
#include "TranslationContext.h"
#include "c4d_host.h"
#include "commands.h"
#include "net.h"
#include "orvSceneapi_oo.h"
#include "protocol.h"
#include "sim_host.h"
#include "translate_document.h"

#include "../common/bench_clock.h"
#include "../common/bench_goal.h"
#include "../common/bench_grid.h"

#include <CLI/CLI.hpp>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using bench::Clock;
using bench::processorSeconds;
using bench::secondsSince;

// A scratch installation holding the stand-in bundle; the Render command finds it through
// TAVRIN_INSTALL_ROOT.
struct Installation {
    std::string root, output;

    explicit Installation(const std::string& folder)
    {
        root = folder + "/bench_render_stream_" + std::to_string(getpid());
        output = root + "/received";
        const fs::path bundle = fs::path(root) / "Applications/Tavrin10.app/Contents/MacOS";
        fs::create_directories(bundle);
        fs::create_directories(fs::path(root) / "Library/Application Support/Tavrin10");
        fs::create_directories(output);
        fs::copy_file(TAVRIN_STANDIN_EXE, bundle / "tavrin");
        fs::copy_file(TAVRIN_LIVE_LIBRARY, bundle / "orvtavrinlive6.so");
        ::setenv("TAVRIN_INSTALL_ROOT", root.c_str(), 1);
        ::setenv("TAVRIN_STANDIN_OUTPUT", output.c_str(), 1);
        ::setenv("TAVRIN_STANDIN_IDLE_EXIT", "30", 1);
    }
    ~Installation()
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void clearOutput() const
    {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(output, ec))
            fs::remove(entry.path(), ec);
    }
};

// A stand-in renderer of the installation, stopped when this goes.
class Renderer {
public:
    explicit Renderer(const Installation& install)
    {
        std::vector<std::string> args = {TAVRIN_STANDIN_EXE, "--output", install.output, "--quiet",
                                          "--idle-exit", "30"};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("cannot start the stand-in renderer");
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < end) {
            for (const auto& answer : standin::net::probePorts(standin::net::kFirstPort, standin::net::kLastPort,
                                                               standin::protocol::kQueryInstance, 1000, 1 << 16))
                if (answer.text.find("<process_id>" + std::to_string(pid_) + "<") != std::string::npos)
                    return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stop();
        throw std::runtime_error("the stand-in renderer did not answer");
    }
    ~Renderer() { stop(); }

private:
    void stop()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    pid_t pid_ = -1;
};

double renderOnce(const Installation& install, TranslationContext& context, sim::Document& doc)
{
    install.clearOutput();
    Renderer renderer(install);
    const size_t failures = sim::messages().size();
    const auto start = Clock::now();
    TavrinCinema4DRender(&context).Execute(host::Document(sim::handle(&doc)));
    const double t = secondsSince(start);
    if (sim::messages().size() != failures)
        throw std::runtime_error("the Render command failed: " + sim::messages().back());
    return t;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Renders a grid of quads through a stand-in renderer on the loopback interface and\n"
                 "exports it to a file, and prints the ratio of the two times (limit 1.3)."};
    int side = 1000;
    int runs = 3;
    std::string folder = fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
    app.add_option("--side", side, "Quads per grid side (side x side quads)")->check(CLI::Range(1, 20000));
    app.add_option("--runs", runs, "Runs of each measurement; the fastest counts")->check(CLI::Range(1, 50));
    app.add_option("--dir", folder, "Folder for the installation, the received stream and the file")
        ->check(CLI::ExistingDirectory);
    CLI11_PARSE(app, argc, argv);

    try {
        ::signal(SIGPIPE, SIG_IGN);
        bench::Grid grid = bench::buildGrid(side);
        host::bind(sim::hostTable());
        TranslationContext context;
        const Installation install(folder);
        const std::string scenePath = install.root + "/export.qrf";

        double exportTime = 1e30, renderTime = 1e30;
        for (int i = 0; i < runs; ++i) {
            exportTime = std::min(exportTime, bench::exportOnce(context, *grid.doc, scenePath));
            renderTime = std::min(renderTime, renderOnce(install, context, *grid.doc));
        }
        const auto bytes = fs::file_size(scenePath);
        std::printf("quads: %lld, scene %.1f MiB\n", static_cast<long long>(side) * side, bytes / 1048576.0);
        std::printf("export to %s: %.3f s\n", folder.c_str(), exportTime);
        std::printf("render until confirmed: %.3f s\n", renderTime);
        std::printf("ratio: %.2fx (limit 1.3x)\n", renderTime / exportTime);
        bench::goalAtMost("Render until confirmed against Export", renderTime / exportTime, 1.3, "x");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_render_stream: %s\n", e.what());
        return 1;
    }
}
