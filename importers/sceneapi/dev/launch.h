// Starting the renderer as a separate process with a filtered environment.
#pragma once

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
// fork failure).
int spawn_detached(const std::string& executable);

// Starts the newest installed renderer of the version range. True when a child process
// was created; false when no executable is installed in the range or fork fails.
bool launch_renderer(int lowest, int highest);
