// Starting the renderer as a separate process with a filtered environment.
#pragma once

#include "instance_claim.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A copy of an environment without the entries of some variable names: the kept entries
// sorted in ascending byte order, each once, and a null-terminated pointer array over them
// that stays valid as long as the object lives.
class FilterEnv {
public:
    // Filters the process environment.
    explicit FilterEnv(const std::vector<std::string>& names);
    // Filters the given null-terminated environment (null counts as empty).
    FilterEnv(const std::vector<std::string>& names, const char* const* environment);
    virtual ~FilterEnv();

    FilterEnv(const FilterEnv&) = delete;
    FilterEnv& operator=(const FilterEnv&) = delete;

    // The kept entries followed by a null pointer, suitable for execve.
    char* const* envp() const { return pointers_.data(); }
    const std::vector<std::string>& entries() const { return entries_; }

private:
    void build(const std::vector<std::string>& names, const char* const* environment);

    std::vector<std::string> entries_;
    std::vector<char*> pointers_;
};

// The variables that the host sets for its own script interpreter and toolkit and that
// would break the renderer; they are removed from the renderer's environment.
const std::vector<std::string>& launch_filtered_names();

// Starts `executable` with no arguments but its own path and the filtered environment,
// without waiting for it. The child becomes the leader of a session of its own, so the
// host's terminal signals do not reach it. Everything the child needs is built before the
// fork; the child only calls setsid and execve, and leaves with status 127 when execve
// fails. Returns the child's process id, or -1 when no child was made (empty path or
// fork failure). When `before_exec` is given, the child waits before execve until it has
// run in the parent with the child's process id.
int spawn_detached(const std::string& executable, const std::function<void(int pid)>& before_exec = {});

// A renderer process started by start_renderer: its process id (0 when no child was made),
// the file it runs, and this process's claim on it (taken before it could be seen).
struct LaunchedRenderer {
    int64_t pid = 0;
    std::string path;
    InstanceClaim claim;
};

// Starts the newest installed renderer of the version range and keeps its process id, so
// that the child can be reaped once it ends. pid 0 when no executable is installed in the
// range or fork fails.
LaunchedRenderer start_renderer(int lowest, int highest);

// Starts the newest installed renderer of the version range. True when a child process
// was created; false when no executable is installed in the range or fork fails.
bool launch_renderer(int lowest, int highest);

// Whether a renderer that start_renderer started has ended; when it has, it is reaped and
// status holds its wait status (-1 when another part of the process reaped it first).
// Never waits.
bool renderer_exited(int64_t pid, int& status);

// Reaps every renderer started earlier that has ended since, so that none stays behind
// as a zombie of the host. Never waits; only this module's children are touched.
void reap_launched_renderers();

// "exited with status N", "was ended by signal N", or "ended" for an unknown status.
std::string describe_exit(int status);
