#include "launch.h"

#include "InstallLocator.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

extern char** environ;

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

int spawn_detached(const std::string& executable) {
    if (executable.empty()) return -1;

    // Built in the parent: after fork in a multithreaded host the child may not allocate
    // (another thread may have held the allocator's lock at the moment of the fork).
    std::string path = executable;
    char* const argv[] = {path.data(), nullptr};
    const FilterEnv env(launch_filtered_names());

    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // Child: only async-signal-safe calls from here on.
        ::setsid();
        // The renderer must not inherit the host's descriptors (its sockets, its log file,
        // the scene file being written): mark every one beyond the standard three
        // close-on-exec. A kernel without close_range leaves them as they are.
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        ::execve(argv[0], argv, env.envp());
        ::_exit(127);
    }
    return static_cast<int>(pid);
}

bool launch_renderer(int lowest, int highest) {
    return spawn_detached(InstallLocator::find_executable(lowest, highest)) > 0;
}
