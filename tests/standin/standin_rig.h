// A scratch stand-in installation for end-to-end runs of the Render and Update commands:
// a temporary install root holding the stand-in bundle (TAVRIN_INSTALL_ROOT points at it),
// an output folder for received streams, and bookkeeping of every renderer process so that
// none outlives the test.
//
// Outside a private network namespace (TAVRIN_PRIVATE_NETWORK=1, set by the tests'
// launcher) the live-link ports are shared by everything on the machine, so a rig holds the
// ports' lock (ports_lock.h) for its whole life: rigs and other port-opening tests in
// different test processes (other build folders included) run one after the other.
#pragma once

#include "ports_lock.h"
#include "sim_document.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace standintest {

struct Instance {
    int64_t pid = 0;
    int port = 0;
};

class Rig {
public:
    Rig();
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    const std::string& root() const { return root_; }
    const std::string& output() const { return output_; }

    // Stand-in renderers answering on the known ports right now.
    static std::vector<Instance> running();
    // Waits until no renderer answers on the known ports (those of other test runs go away
    // by themselves after their idle time); false when some still answer after timeoutMs.
    static bool waitForFreePorts(int timeoutMs);

    // Starts the built renderer with these extra arguments and waits until it answers.
    // Returns its process id, or -1 when it did not come up. With openFiles > 0 it runs
    // under that limit of descriptors (RLIMIT_NOFILE).
    pid_t startRenderer(const std::vector<std::string>& args, int openFiles = 0);

    // Streams received so far, oldest first.
    std::vector<std::string> receivedFiles() const;

    // Stops every renderer this rig started or the commands launched from its installation,
    // and waits for it.
    void stopRenderers();

private:
    // Processes whose executable lies in this rig's installation.
    std::vector<pid_t> launchedFromHere() const;

    std::unique_ptr<porttest::PortsLock> portsLock_;
    std::string root_;
    // The cache folder setting the rig replaced, given back at its end.
    std::optional<std::string> cacheHome_;
    std::string output_;
    std::vector<pid_t> started_;
};

// The port a renderer of the rig answers on, or 0.
int portOf(pid_t pid);

// Sends one request (and optionally a stream body) and reads the whole answer. A stream's
// answer ends when the renderer has taken the stream in and closes the connection, which
// for a large stream under the sanitizers and a busy machine can take seconds: the wait is
// 30 s, so that what is asked next meets a renderer that is done with it.
std::string ask(int port, const std::string& request, const std::string& body = {}, bool shutdownAfter = true);

// Exit status of a child within the time limit (128 + signal when signalled), or -1.
int exitStatusWithin(pid_t pid, int timeoutMs);

// Runs a program with a time limit; returns its exit status, or -1 when it had to be killed.
int runProgram(const std::vector<std::string>& argv, int timeoutMs, std::string* output = nullptr);

std::string readFile(const std::string& path);

// The scene text from the first record on (the banner), leaving out the header comments
// that only a scene file carries.
std::string fromBanner(const std::string& sceneText);

// A document named name with a few objects; with heavyPolygons > 0 it also holds a grid
// mesh of that many quads, enough to fill every socket buffer on the way.
void buildDocument(sim::Document& doc, const std::string& name, int heavyPolygons = 0);

// Milliseconds on a monotonic clock.
int64_t nowMs();

} // namespace standintest
