// The stand-in Tavrin renderer: a process that behaves towards the plug-in like a running
// renderer (instance and scene queries, live scene streams); it draws a preview image of
// the active scene after each stream.
// A renderer launched by the plug-in gets no arguments, so the settings that matter in
// tests can also come from the environment.
//
// Started the way the plug-in starts a renderer (no arguments, as the leader of a session
// of its own), the stand-in leaves after kLaunchedIdleExitSeconds without a scene unless
// TAVRIN_STANDIN_IDLE_EXIT says otherwise, and writes what it has to say into
// tavrin-<pid>.log in its output folder instead of the terminal of whoever launched it.
#include "Preview.h"
#include "net.h"
#include "server.h"
#include "tool_cli.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

namespace {

volatile sig_atomic_t g_stop = 0;

constexpr int kLaunchedIdleExitSeconds = 600;

void onSignal(int)
{
    g_stop = 1;
}

// Reads a whole number in [low, high] from the environment; false with a message when the
// variable is set but is not one.
bool numberFromEnvironment(const char* name, const char* what, long low, long high, int& out, std::string& error)
{
    const char* value = std::getenv(name);
    if (!value || !*value)
        return true;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(value, &end, 10);
    if (*end != '\0' || errno != 0 || v < low || v > high) {
        error = std::string(name) + " must be " + what + ", not \"" + value + "\"";
        return false;
    }
    out = int(v);
    return true;
}

// A launched renderer: no arguments, and the leader of its own session (the plug-in starts
// it with setsid; a renderer started from a shell belongs to the shell's session).
bool launchedByThePlugIn(int argc)
{
    return argc == 1 && ::getsid(0) == ::getpid();
}

// Sends standard output and error to tavrin-<pid>.log in the output folder, and reads
// standard input from /dev/null. False with the reason when the log cannot be made (the
// output then stays where it was).
bool writeToLog(const std::string& outputDir, std::string& error)
{
    std::error_code ec;
    std::filesystem::create_directories(outputDir, ec);
    const std::string log =
        (std::filesystem::path(outputDir) / ("tavrin-" + std::to_string(::getpid()) + ".log")).string();
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = log + ": " + std::strerror(errno);
        return false;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    if (const int none = ::open("/dev/null", O_RDONLY | O_CLOEXEC); none >= 0) {
        ::dup2(none, STDIN_FILENO);
        ::close(none);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    standin::ServerOptions options;
    if (const char* dir = std::getenv("TAVRIN_STANDIN_OUTPUT"); dir && *dir)
        options.outputDir = dir;
    const bool launched = launchedByThePlugIn(argc);
    if (launched) {
        options.idleExitSeconds = kLaunchedIdleExitSeconds;
        options.quiet = true; // progress lines are for a terminal that watches
        std::string logError;
        if (!writeToLog(options.outputDir, logError))
            std::cerr << "tavrin: cannot write the log, writing here: " << logError << "\n";
    }
    std::string envError;
    if (!numberFromEnvironment("TAVRIN_STANDIN_IDLE_EXIT", "a whole number of seconds", 0, 86400 * 365,
                               options.idleExitSeconds, envError) ||
        !numberFromEnvironment("TAVRIN_STANDIN_KEEP", "a whole number of streams, at least 1", 1, 1000000,
                               options.keepReceived, envError) ||
        !numberFromEnvironment("TAVRIN_STANDIN_VIEW", "a port number, 1..65535", 1, 65535, options.viewPort, envError)) {
        std::cerr << "tavrin: " << envError << "\n";
        return tool::kExitUsage;
    }

    if (const char* off = std::getenv("TAVRIN_STANDIN_NO_PREVIEW"); off && *off && std::string(off) != "0")
        options.preview = false;
    if (const char* held = std::getenv("TAVRIN_STANDIN_HELD"); held && *held && std::string(held) != "0")
        options.writeHeld = true;

    CLI::App app{"Stand-in Tavrin " + std::to_string(standin::net::kMajorVersion) +
                 " renderer: answers instance and scene queries and receives live scene streams "
                 "on 127.0.0.1. Every received stream is written to a file in the output folder, "
                 "beside a PNG preview of the active scene."};
    tool::setUp(app, "tavrin",
                {{tool::kExitFailure, "cannot serve: no usable port, the output folder cannot be made, "
                                      "or waiting failed"}});
    app.add_option("--port", options.port,
                   "Port to listen on (default: the first free one of 3141..3151)")
        ->check(CLI::Range(1, 65535));
    app.add_option("--output", options.outputDir,
                   "Folder for received streams (default: $TAVRIN_STANDIN_OUTPUT, else "
                   "./tavrin-received)");
    app.add_option("--idle-exit", options.idleExitSeconds,
                   "Exit after this many seconds without receiving a scene; queries do not count "
                   "(default: $TAVRIN_STANDIN_IDLE_EXIT, else 0 = never; a renderer launched by the "
                   "plug-in: " + std::to_string(kLaunchedIdleExitSeconds) + ")")
        ->check(CLI::Range(0, 86400 * 365));
    app.add_flag("-q,--quiet", options.quiet, "Do not show the progress bar");
    app.add_option("--keep-received", options.keepReceived,
                   "Keep the files of the last N streams in the output folder (the stream, its preview, the held "
                   "scene); older ones are removed (default: $TAVRIN_STANDIN_KEEP, else " +
                       std::to_string(standin::limits::kDefaultKeepReceived) + ")")
        ->check(CLI::Range(1, 1000000));
    app.add_option("--view", options.viewPort,
                   "Serve the live page on 127.0.0.1:PORT: the latest picture, replaced as each new one is "
                   "drawn, with what changed (default: $TAVRIN_STANDIN_VIEW, else none)")
        ->check(CLI::Range(1, 65535));
    int memoryBudgetMb = int(standin::limits::kDefaultMemoryBudget >> 20);
    app.add_option("--memory-budget", memoryBudgetMb,
                   "Refuse a stream when the parsed scene held would pass this many MB (default " +
                       std::to_string(memoryBudgetMb) + ")")
        ->check(CLI::Range(1, 1 << 24));
    app.add_option("--stall-limit", options.streamStallSeconds,
                   "Drop a stream that sends nothing for this many seconds (default " +
                       std::to_string(standin::kDefaultStreamStallSeconds) + ")")
        ->check(CLI::Range(1, 86400));
    bool noPreview = false;
    app.add_flag("--no-preview", noPreview,
                 "Do not draw the PNG preview of each received scene (also: "
                 "TAVRIN_STANDIN_NO_PREVIEW=1)");
    app.add_flag("--write-held", options.writeHeld,
                 "After each stream taken in, write the whole scene held as held-<pid>-<n>.qrf beside the "
                 "received file (also: TAVRIN_STANDIN_HELD=1)");
    std::string previewSize = "640x360";
    app.add_option("--preview-size", previewSize, "Preview image size, WIDTHxHEIGHT (default 640x360)")
        ->check([](const std::string& text) {
            int w = 0, h = 0;
            return preview::parseSize(text, w, h)
                       ? std::string()
                       : "wants WIDTHxHEIGHT, each 1.." + std::to_string(preview::kMaxImageSide);
        });
    app.add_option("--fail-after", options.failAfterBytes,
                   "Testing: die (SIGKILL) after receiving this many bytes of a stream")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--stall-after", options.stallAfterBytes,
                   "Testing: stop reading a stream after this many bytes")
        ->check(CLI::NonNegativeNumber);
    std::string previewCamera = "file";
    if (const char* camera = std::getenv("TAVRIN_STANDIN_PREVIEW_CAMERA"); camera && *camera)
        previewCamera = camera;
    app.add_option("--preview-camera", previewCamera,
                   "auto: previews view the whole scene from in front of, right of and above its centre; "
                   "file: from the scene's camera (default: $TAVRIN_STANDIN_PREVIEW_CAMERA, else file)")
        ->check(CLI::IsMember({"auto", "file"}));
    app.add_option("--preview-time-limit", options.previewTimeLimit,
                   "Abandon a preview after this many seconds (default 15; 0: no limit)")
        ->check(CLI::Range(0.0, 86400.0));
    if (const auto status = tool::parse(app, argc, argv))
        return *status;
    options.preview = options.preview && !noPreview;
    options.memoryBudget = uint64_t(memoryBudgetMb) << 20;
    preview::parseSize(previewSize, options.previewWidth, options.previewHeight);
    if (!preview::parseCameraChoice(previewCamera, options.previewCamera)) {
        std::cerr << "tavrin: TAVRIN_STANDIN_PREVIEW_CAMERA must be auto or file, not \"" << previewCamera
                  << "\"\n";
        return tool::kExitUsage;
    }

    // SIGTERM, SIGINT and SIGHUP are blocked except while the server waits, so a stop
    // request can never fall between its check and the wait.
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGHUP);

    try {
        standin::Server server(options, std::cout);
        std::string error;
        if (!server.start(error)) {
            std::cerr << "tavrin: " << error << "\n";
            return tool::kExitFailure;
        }
        return server.run(&g_stop, &waitMask);
    } catch (const std::exception& e) {
        std::cerr << "tavrin: " << e.what() << "\n";
        return tool::kExitFailure;
    }
}
