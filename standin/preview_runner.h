// Draws the stand-in's previews in a child process, so the server goes on answering
// queries and receiving streams while a picture is drawn, and a preview that runs past its
// time, or crashes, takes nothing else with it.
//
// One preview is drawn at a time. A preview asked for while one is drawn waits, and only
// the latest such request is kept: when it starts, it draws the scene held at that moment.
// The child reports through a pipe, which the server polls with its connections; the
// child's lines are passed on to the console when it ends. A child still running some
// seconds past the preview's own time limit is killed, and the preview reported abandoned.
#pragma once

#include "Preview.h"
#include "net.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace standin {

struct PreviewRequest {
    int number = 0;  // of the stream that asked for it
    std::string png; // where the picture goes
};

class PreviewRunner {
public:
    // draw runs in the child: it draws the scene held now for the request and returns the
    // lines to report.
    using Draw = std::function<std::vector<std::string>(const PreviewRequest&)>;

    PreviewRunner(std::ostream& console, double timeLimitSeconds, Draw draw);
    ~PreviewRunner();
    PreviewRunner(const PreviewRunner&) = delete;
    PreviewRunner& operator=(const PreviewRunner&) = delete;

    // Starts the preview now when none is drawn, else keeps it for later.
    void request(PreviewRequest r);

    bool busy() const { return child_ > 0; }
    // The pipe to poll for the running child's report, or -1.
    int fd() const { return pipe_.get(); }
    // Milliseconds until the running child must be stopped; -1 when none runs.
    int64_t msUntilDeadline(int64_t now) const;

    // Reads what the child wrote; when it has ended, reports and starts a waiting request.
    void onReadable();
    // Kills a child past its deadline.
    void checkDeadline(int64_t now);
    // Kills and reaps a running child (at exit).
    void stop();

private:
    void start(const PreviewRequest& r);
    void finish(bool killedForTime);

    std::ostream& console_;
    double timeLimitSeconds_;
    Draw draw_;
    pid_t child_ = -1;
    net::Fd pipe_;
    std::string report_;
    PreviewRequest running_;
    int64_t deadline_ = 0;
    std::optional<PreviewRequest> waiting_;
};

} // namespace standin
