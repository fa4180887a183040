#include "launch.h"

#include "InstallLocator.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstring>

extern char** environ;

namespace {

// Renderers started by this process that have not been reaped yet. Only the command
// thread starts and reaps them.
std::vector<pid_t>& launched_children() {
    static std::vector<pid_t> children;
    return children;
}

void forget_child(pid_t pid) {
    std::vector<pid_t>& children = launched_children();
    children.erase(std::remove(children.begin(), children.end(), pid), children.end());
}

// A pipe whose ends are closed on exec, so that no program started meanwhile keeps it.
bool open_gate(int gate[2]) {
#ifdef __linux__
    return ::pipe2(gate, O_CLOEXEC) == 0;
#else
    // Without pipe2 (macOS) a fork of another thread may see the ends before they are
    // marked; it keeps them only until its own exec.
    if (::pipe(gate) != 0) return false;
    ::fcntl(gate[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(gate[1], F_SETFD, FD_CLOEXEC);
    return true;
#endif
}

} // namespace

FilterEnv::FilterEnv(const std::vector<std::string>& names) {
    build(names, environ);
}

FilterEnv::FilterEnv(const std::vector<std::string>& names, const char* const* environment) {
    build(names, environment);
}

FilterEnv::~FilterEnv() = default;

void FilterEnv::build(const std::vector<std::string>& names, const char* const* environment) {
    std::vector<std::string> prefixes;
    prefixes.reserve(names.size());
    for (const std::string& name : names) prefixes.push_back(name + "=");

    if (environment) {
        for (const char* const* entry = environment; *entry; ++entry) {
            const size_t length = std::strlen(*entry);
            const bool dropped = std::any_of(prefixes.begin(), prefixes.end(), [&](const std::string& p) {
                return length >= p.size() && std::memcmp(*entry, p.data(), p.size()) == 0;
            });
            if (!dropped) entries_.emplace_back(*entry, length);
        }
    }
    std::sort(entries_.begin(), entries_.end());
    entries_.erase(std::unique(entries_.begin(), entries_.end()), entries_.end());

    pointers_.reserve(entries_.size() + 1);
    for (std::string& entry : entries_) pointers_.push_back(entry.data());
    pointers_.push_back(nullptr);
}

const std::vector<std::string>& launch_filtered_names() {
    static const std::vector<std::string> names = {
        "PYTHONHOME",     "PYTHONPATH",        "QTWEBENGINE_CHROMIUM_FLAGS", "QTWEBENGINE_REMOTE_DEBUGGING",
        "QT_PLUGIN_PATH", "NCS_USER_PREFS",    "NCS_MACHINE_PREFS",          "PYTHONDONTWRITEBYTECODE",
    };
    return names;
}

int spawn_detached(const std::string& executable, const std::function<void(int pid)>& before_exec) {
    if (executable.empty()) return -1;

    // Built in the parent: after fork in a multithreaded host the child may not allocate
    // (another thread may have held the allocator's lock at the moment of the fork).
    std::string path = executable;
    char* const argv[] = {path.data(), nullptr};
    const FilterEnv env(launch_filtered_names());

    // The child waits at a gate (the end of a pipe) until the parent has done what must be
    // done before the renderer can show itself.
    int gate[2] = {-1, -1};
    if (before_exec && !open_gate(gate)) return -1;

    const pid_t pid = ::fork();
    if (pid < 0) {
        if (gate[0] >= 0) {
            ::close(gate[0]);
            ::close(gate[1]);
        }
        return -1;
    }
    if (pid == 0) {
        // Child: only async-signal-safe calls from here on.
        ::setsid();
        if (gate[0] >= 0) {
            ::close(gate[1]);
            char byte = 0;
            while (::read(gate[0], &byte, 1) < 0 && errno == EINTR) {
            }
        }
        // The renderer must not inherit the host's descriptors (its sockets, its log file,
        // the scene file being written): mark every one beyond the standard three
        // close-on-exec. A kernel without close_range leaves them as they are.
#ifdef __linux__
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
#else
        for (int fd = 3, limit = ::getdtablesize(); fd < limit; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
        ::execve(argv[0], argv, env.envp());
        ::_exit(127);
    }
    if (gate[0] >= 0) {
        ::close(gate[0]);
        try {
            before_exec(static_cast<int>(pid));
        } catch (...) {
            // The child is let through all the same; only the preparation is lost.
        }
        ::close(gate[1]);
    }
    return static_cast<int>(pid);
}

LaunchedRenderer start_renderer(int lowest, int highest) {
    LaunchedRenderer launched;
    launched.path = InstallLocator::find_executable(lowest, highest);
    // The new renderer is claimed before it can answer the instance list, so no other
    // command takes it for an empty renderer free to use.
    const int pid = spawn_detached(launched.path, [&launched](int child) { InstanceClaim::take(child, launched.claim); });
    if (pid > 0) {
        launched.pid = pid;
        launched_children().push_back(static_cast<pid_t>(pid));
    }
    return launched;
}

bool launch_renderer(int lowest, int highest) {
    return start_renderer(lowest, highest).pid > 0;
}

bool renderer_exited(int64_t pid, int& status) {
    if (pid <= 0) return false;
    int waitStatus = 0;
    pid_t reaped = 0;
    do {
        reaped = ::waitpid(static_cast<pid_t>(pid), &waitStatus, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == 0) return false;
    forget_child(static_cast<pid_t>(pid));
    // Not (or no longer) our child: someone else reaped it, or the host ignores SIGCHLD
    // and the system did. Either way it is gone.
    status = reaped < 0 ? -1 : waitStatus;
    return true;
}

void reap_launched_renderers() {
    const std::vector<pid_t> children = launched_children();
    int status = 0;
    for (pid_t pid : children) renderer_exited(pid, status);
}

std::string describe_exit(int status) {
    if (status != -1 && WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (status != -1 && WIFSIGNALED(status)) return "was ended by signal " + std::to_string(WTERMSIG(status));
    return "ended";
}
