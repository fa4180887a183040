#include "contained_import.h"

#include "hand_back.h"

#include "sim_document_pack.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <new>
#include <poll.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAVRIN_IMPORT_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define TAVRIN_IMPORT_SANITIZED 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer's allocator interface (its header ships with clang only).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#define TAVRIN_IMPORT_ALLOCATION_HOOK 1
#endif

namespace modelimport {

namespace {

using Clock = std::chrono::steady_clock;

int gReplyFd = -1; // the child's end of the pipe, for the allocation failure handler

// An allocation failed in the child: under the address-space limit this is the limit. The
// handler must not allocate; it reports and ends the child at once.
void outOfMemory()
{
    handback::sendOutOfMemory(gReplyFd);
    ::_exit(0);
}

#ifdef TAVRIN_IMPORT_ALLOCATION_HOOK
// The sanitizer reserves terabytes of address space, so the address-space limit cannot stand
// in the child. Its allocator counts what the import holds instead: past the limit, the
// allocation that crossed it ends the child as a failed allocation would, before the import
// spends its processor time filling the memory.
unsigned long long gAllocationLimit = 0;

void watchAllocation(const volatile void*, size_t)
{
    if (__sanitizer_get_current_allocated_bytes() > gAllocationLimit)
        outOfMemory();
}
#endif

void setLimit(int resource, rlim_t soft, rlim_t hard)
{
    rlimit limit{};
    if (::getrlimit(resource, &limit) == 0) {
        // An inherited hard limit below ours stays: a child may only lower it.
        if (limit.rlim_max != RLIM_INFINITY && hard > limit.rlim_max)
            hard = limit.rlim_max;
        if (soft > hard)
            soft = hard;
    }
    limit.rlim_cur = soft;
    limit.rlim_max = hard;
    ::setrlimit(resource, &limit);
}

[[noreturn]] void runChild(int fd, const std::string& path, const LoadOptions& options, const ImportLimits& limits)
{
    gReplyFd = fd;
    std::signal(SIGXCPU, SIG_DFL);
    std::signal(SIGPIPE, SIG_DFL);
    setLimit(RLIMIT_CORE, 0, 0);
    if (limits.cpuSeconds > 0)
        setLimit(RLIMIT_CPU, limits.cpuSeconds, limits.cpuSeconds + 1);
    if (limits.memoryBytes > 0 && memoryLimitApplies())
        setLimit(RLIMIT_AS, limits.memoryBytes, limits.memoryBytes);
#ifdef TAVRIN_IMPORT_ALLOCATION_HOOK
    if (limits.memoryBytes > 0) {
        gAllocationLimit = limits.memoryBytes;
        __sanitizer_install_malloc_and_free_hooks(watchAllocation, [](const volatile void*) {});
    }
#endif
    std::set_new_handler(outOfMemory);

    // A write that fails leaves the parent a message cut short, which it reports.
    try {
        Summary summary;
        std::string error;
        auto document = importModel(path, options, summary, error);
        if (document) {
            handback::sendDocument(fd, summary.notes(), *document);
            // The pipe may still hold the document's pages: it stays, unchanged, until the
            // process ends.
            (void)document.release();
        } else {
            handback::sendError(fd, error);
        }
    } catch (const std::bad_alloc&) {
        outOfMemory();
    } catch (const std::exception& e) {
        handback::sendError(fd, "cannot load \"" + path + "\": " + e.what());
    }
    ::_exit(0);
}

const char* signalName(int signal)
{
    switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGABRT: return "SIGABRT";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGKILL: return "SIGKILL";
    case SIGTERM: return "SIGTERM";
    case SIGPIPE: return "SIGPIPE";
    case SIGTRAP: return "SIGTRAP";
    case SIGSYS: return "SIGSYS";
    case SIGXCPU: return "SIGXCPU";
    case SIGXFSZ: return "SIGXFSZ";
    default: return nullptr;
    }
}

std::string sizeText(unsigned long long bytes)
{
    char text[32];
    if (bytes >= (1ull << 30))
        std::snprintf(text, sizeof text, "%.1f GiB", double(bytes) / double(1ull << 30));
    else
        std::snprintf(text, sizeof text, "%llu MiB", bytes >> 20);
    return text;
}

// The last non-empty line of a text, its runs of white space made one space, at most 200
// characters, so that it fits in a one-line message.
std::string lastLine(const std::string& text)
{
    size_t end = text.size();
    while (end > 0 && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    const size_t newline = text.rfind('\n', end == 0 ? 0 : end - 1);
    const size_t begin = newline == std::string::npos || end == 0 ? 0 : newline + 1;
    std::string line;
    for (size_t i = begin; i < end && line.size() < 200; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (std::isspace(c) || c < 0x20) {
            if (!line.empty() && line.back() != ' ')
                line += ' ';
        } else {
            line += char(c);
        }
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

// What the parent read from its child, and how the reading ended.
struct ChildOutput {
    std::string diagnostics;   // the end of the child's standard error
    std::string readError;     // why the result pipe could not be read
    bool timedOut = false;
    bool overMemory = false;
};

// Reads the child's result and standard error until it closes both or a limit is reached.
// The wall-clock limit is on the import: once the first bytes of the result are in, the import
// is done, and the hand-over goes on while bytes keep coming (a stall of kHandOverStall ends
// it). A parent that was not scheduled until past the deadline (stopped, or starved on a busy
// machine) first takes what is already in the pipes, so that a child that finished in time is
// not called timed out.
ChildOutput readChild(pid_t child, int resultFd, int diagnosticsFd, const ImportLimits& limits,
                      Clock::time_point deadline, handback::Receiver& result)
{
    constexpr auto kHandOverStall = std::chrono::seconds(10);
    ChildOutput out;
    // Without the address-space limit, the resident size is checked every 50 ms.
    const bool watchMemory = limits.memoryBytes > 0 && !memoryLimitApplies();
    pollfd p[2] = {{resultFd, POLLIN, 0}, {diagnosticsFd, POLLIN, 0}};
    char buffer[1 << 16];
    bool lastLook = false;
    auto lastByte = Clock::now();
    while (p[0].fd >= 0 || p[1].fd >= 0) {
        const auto now = Clock::now();
        const bool handingOver = result.started();
        long long wait = watchMemory ? 50LL : 1000LL;
        if (!handingOver) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
            if (left <= 0 && lastLook) {
                out.timedOut = true;
                break;
            }
            lastLook = left <= 0;
            wait = std::max(0LL, std::min<long long>(wait, left));
        }
        if (watchMemory && residentBytes(child) > limits.memoryBytes) {
            out.overMemory = true;
            break;
        }
        const int ready = ::poll(p, 2, static_cast<int>(wait));
        // The hand-over is judged by what the poll finds, not by the clock alone, for the same
        // reason as the deadline.
        if (ready == 0 && handingOver && Clock::now() - lastByte > kHandOverStall) {
            out.timedOut = true;
            break;
        }
        if (ready < 0 && errno != EINTR) {
            out.readError = std::strerror(errno);
            break;
        }
        for (int i = 0; ready > 0 && i < 2; ++i) {
            if (p[i].fd < 0 || p[i].revents == 0)
                continue;
            // The result goes where the receiver says (a document's arrays straight into the
            // vectors that will hold them); standard error through the buffer.
            size_t room = sizeof buffer;
            char* at = i == 0 ? result.room(room) : buffer;
            const ssize_t n = ::read(p[i].fd, at, room);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n < 0 && i == 0)
                out.readError = std::strerror(errno);
            if (n <= 0) {
                ::close(p[i].fd);
                p[i].fd = -1;
                continue;
            }
            if (i == 0) {
                result.took(static_cast<size_t>(n));
                lastByte = Clock::now();
            } else {
                out.diagnostics.append(buffer, static_cast<size_t>(n));
            }
            // Only the end of what the child says is kept: its last line tells what went wrong.
            if (i == 1 && out.diagnostics.size() > 2 * sizeof buffer)
                out.diagnostics.erase(0, out.diagnostics.size() - sizeof buffer);
        }
        if (!out.readError.empty())
            break;
    }
    for (const pollfd& open : p)
        if (open.fd >= 0)
            ::close(open.fd);
    return out;
}

double cpuSecondsOf(const rusage& usage)
{
    return double(usage.ru_utime.tv_sec) + double(usage.ru_stime.tv_sec) +
           (double(usage.ru_utime.tv_usec) + double(usage.ru_stime.tv_usec)) / 1e6;
}

} // namespace

unsigned long long residentBytes(pid_t pid)
{
    const std::string statm = "/proc/" + std::to_string(pid) + "/statm";
    FILE* f = std::fopen(statm.c_str(), "r");
    if (f == nullptr)
        return 0;
    unsigned long long size = 0, resident = 0;
    const int got = std::fscanf(f, "%llu %llu", &size, &resident);
    std::fclose(f);
    return got == 2 ? resident * static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE)) : 0;
}

bool memoryLimitApplies()
{
#ifdef TAVRIN_IMPORT_SANITIZED
    return false;
#else
    return true;
#endif
}

ImportLimits limitsFor(const std::string& path)
{
    ImportLimits limits;
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path, ec); // a stat: never blocks
    if (ec)
        return limits;
    const uintmax_t extraSeconds = std::min<uintmax_t>(size >> 20, 1u << 20);
    limits.cpuSeconds += static_cast<unsigned>(extraSeconds);
    limits.wallSeconds += static_cast<unsigned>(extraSeconds);
    limits.memoryBytes = (4ull << 30) + std::min<uintmax_t>(size, 1ull << 40) * 256;
    return limits;
}

ContainedImport importModelContained(const std::string& path, const LoadOptions& options)
{
    return importModelContained(path, options, limitsFor(path));
}

ContainedImport importModelContained(const std::string& path, const LoadOptions& options, const ImportLimits& limits)
{
    ContainedImport out;
    const std::string failed = "cannot read model \"" + path + "\": ";
    // One pipe for the result, one for what the child writes to standard error.
    int result[2] = {-1, -1}, diagnostics[2] = {-1, -1};
    if (::pipe2(result, O_CLOEXEC) != 0 || ::pipe2(diagnostics, O_CLOEXEC) != 0) {
        out.error = failed + "cannot start the import: " + std::strerror(errno);
        for (int fd : {result[0], result[1]})
            if (fd >= 0)
                ::close(fd);
        return out;
    }
#ifdef F_SETPIPE_SZ
    // A larger pipe hands a large document over in fewer turns (the default holds 64 KiB);
    // where the system refuses, the default serves.
    ::fcntl(result[1], F_SETPIPE_SZ, 1 << 20);
#endif
    const pid_t child = ::fork();
    if (child < 0) {
        out.error = failed + "cannot start the import: " + std::strerror(errno);
        for (int fd : {result[0], result[1], diagnostics[0], diagnostics[1]})
            ::close(fd);
        return out;
    }
    if (child == 0) {
        ::close(result[0]);
        ::close(diagnostics[0]);
        ::dup2(diagnostics[1], STDERR_FILENO);
        runChild(result[1], path, options, limits);
    }
    ::close(result[1]);
    ::close(diagnostics[1]);

    // Read both pipes until the child closes them or the time is up.
    const auto deadline = Clock::now() + std::chrono::seconds(limits.wallSeconds);
    handback::Receiver received(limits.memoryBytes);
    ChildOutput read = readChild(child, result[0], diagnostics[0], limits, deadline, received);
    const std::string& stderrText = read.diagnostics;
    const std::string& readError = read.readError;
    bool timedOut = read.timedOut;
    const bool overMemory = read.overMemory;

    // Reap the child. One that has closed its pipes is ending; one that does not end within a
    // second after the deadline (or after it closed them, for a parent that came late) is killed.
    const auto reapBy = std::max(Clock::now() + std::chrono::seconds(1), deadline);
    int status = 0;
    rusage usage{};
    for (;;) {
        const bool stop = timedOut || overMemory || !readError.empty();
        if (stop)
            ::kill(child, SIGKILL);
        const pid_t done = ::wait4(child, &status, stop ? 0 : WNOHANG, &usage);
        if (done == child)
            break;
        if (done < 0 && errno != EINTR) {
            out.error = failed + "the import process was lost: " + std::strerror(errno);
            return out;
        }
        if (Clock::now() >= reapBy)
            timedOut = true;
        else if (done == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    if (timedOut) {
        // The processor time tells a loop (close to the wall time) from a stall (near none).
        char used[64];
        std::snprintf(used, sizeof used, " (%.1f s of processor time used)", cpuSecondsOf(usage));
        out.error = failed + "timed out after " + std::to_string(limits.wallSeconds) + " s" + used;
        return out;
    }
    if (!readError.empty()) {
        out.error = failed + "cannot read the import's result: " + readError;
        return out;
    }
    if (overMemory || received.outOfMemory()) {
        out.error = failed + (limits.memoryBytes > 0
                                  ? "memory limit of " + sizeText(limits.memoryBytes) + " exceeded"
                                  : std::string("out of memory"));
        return out;
    }
    std::string detail;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !received.started()) {
        // The import died: its last words (an assertion, an uncaught exception) say why.
        const std::string last = lastLine(stderrText);
        if (!last.empty())
            detail = " (" + last + ")";
    } else if (!stderrText.empty()) {
        std::fwrite(stderrText.data(), 1, stderrText.size(), stderr);
    }
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        if (limits.cpuSeconds > 0 &&
            (signal == SIGXCPU || (signal == SIGKILL && cpuSecondsOf(usage) >= limits.cpuSeconds)))
            out.error = failed + "CPU time limit of " + std::to_string(limits.cpuSeconds) + " s exceeded";
        else if (const char* name = signalName(signal))
            out.error = failed + "killed by signal " + name + detail;
        else
            out.error = failed + "killed by signal " + std::to_string(signal) + detail;
        return out;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        out.error = failed + "the import ended with status " + std::to_string(WEXITSTATUS(status)) + detail;
        return out;
    }

    std::string text;
    if (received.error(text)) {
        out.error = text;
        return out;
    }
    handback::DocumentMessage handed;
    if (!received.document(handed)) {
        out.error = failed + "the import ended without a result" + detail;
        return out;
    }
    for (ImportNote& note : handed.notes) {
        out.summary.push_back(summaryLine(note));
        out.notes.push_back(std::move(note));
    }
    std::string error;
    const std::string folder = std::filesystem::path(path).parent_path().generic_string();
    out.document = sim::unpackDocument(handed.text, std::move(handed.arrays), folder, error, path);
    if (!out.document)
        out.error = failed + "the imported document does not load again: " + error;
    return out;
}

} // namespace modelimport
