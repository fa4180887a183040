// The stand-in renderer's server: listens on 127.0.0.1, answers instance and scene queries,
// receives live scene streams, keeps their model sets and writes each stream to a file.
// Single-threaded: one poll loop serves every connection, so a slow or silent client
// never holds up the others. Previews are drawn in a child process (see PreviewRunner).
#pragma once

#include "Preview.h"
#include "net.h"
#include "preview_runner.h"
#include "progress_scanner.h"
#include "scene_state.h"

#include <csignal>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

struct ServerOptions {
    int port = 0;                // 0: the first free port of the known range
    std::string outputDir = "tavrin-received";
    int idleExitSeconds = 0;     // exit this long after the last scene stream; 0: never
    bool quiet = false;          // no progress bar
    // After each scene stream the active scene is drawn into <received file stem>.png.
    bool preview = true;
    int previewWidth = 640;
    int previewHeight = 360;
    preview::CameraChoice previewCamera = preview::CameraChoice::File;
    double previewTimeLimit = preview::kDefaultTimeLimitSeconds; // seconds; 0: no limit
    // After each stream taken in, the whole scene held is written to held-<pid>-<n>.qrf.
    bool writeHeld = false;
    // Test hooks: after this many stream bytes the renderer kills itself (as if it had
    // crashed), or stops reading the stream while keeping the connection. -1: off.
    int64_t failAfterBytes = -1;
    int64_t stallAfterBytes = -1;
};

class Server {
public:
    Server(ServerOptions options, std::ostream& console);
    ~Server();

    // Binds and listens; false with a message when no port could be had.
    bool start(std::string& error);
    int port() const { return port_; }

    // Serves until *stop becomes non-zero or the idle time runs out. Waits with the signal
    // mask waitMask (so signals blocked elsewhere can interrupt the wait). Returns the exit
    // status: 0.
    int run(const volatile sig_atomic_t* stop, const sigset_t* waitMask);

    const SceneState& scene() const { return scene_; }
    int streamsReceived() const { return streams_; }

private:
    struct Connection;
    void accept();
    void readFrom(Connection& c);
    void handleRequest(Connection& c);
    void take(Connection& c, const char* data, size_t size);
    void finishStream(Connection& c);
    bool takeIn(std::string_view bytes, int number, unsigned id);
    void writeHeld(const std::string& receivedFile, int number);
    void drawPreview(const std::string& receivedFile, int number);
    std::vector<std::string> previewLines(const PreviewRequest& request) const;
    void showProgress(const std::string& message, float fraction);
    void endProgress();
    void closeIdleRequests(int64_t now);

    ServerOptions options_;
    std::ostream& console_;
    net::Fd listener_;
    int port_ = 0;
    int64_t pid_ = 0;
    SceneState scene_;
    int streams_ = 0;
    bool tty_ = false;
    bool barShown_ = false;
    int64_t lastStream_ = 0; // start, or the last time a scene stream moved
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<char> readBuffer_;
    PreviewRunner previews_;
};

} // namespace standin
