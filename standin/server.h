// The stand-in renderer's server: listens on 127.0.0.1, answers instance and scene queries,
// receives live scene streams, keeps their model sets and writes each stream to a file.
// Single-threaded: one poll loop serves every connection, so a slow or silent client
// never holds up the others. Previews are drawn in a child process that keeps its state
// from one picture to the next (see drawing/drawing_process.h).
#pragma once

#include "Preview.h"
#include "net.h"
#include "descriptor_budget.h"
#include "drawing_process.h"
#include "received_files.h"
#include "scene_limits.h"
#include "view_process.h"
#include "progress_scanner.h"
#include "scene_state.h"

#include <csignal>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace standin {

struct Connection; // one client's (server_connection.h)

// A stream that sends nothing for this long is dropped.
inline constexpr int kDefaultStreamStallSeconds = 15;

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
    // The files of the last keepReceived streams are kept in the output folder, older ones
    // removed (see limits/received_files.h).
    int keepReceived = limits::kDefaultKeepReceived;
    // The parsed scene held stays below this many bytes: a stream that would pass it is
    // refused (see limits/scene_limits.h).
    uint64_t memoryBudget = limits::kDefaultMemoryBudget;
    // A stream that sends nothing for this long is dropped (its client has stalled).
    int streamStallSeconds = kDefaultStreamStallSeconds;
    // The live page's port on 127.0.0.1 (see view/view_process.h); 0: no page. The page
    // needs pictures: with it, they are drawn whatever `preview` says.
    int viewPort = 0;
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
    void accept();
    void readFrom(Connection& c);
    void handleRequest(Connection& c);
    void answer(Connection& c, std::string text);
    void writeTo(Connection& c);
    void dropStalled(int64_t now);
    bool makeRoom();
    void readWaitingRequests();
    size_t descriptorsHeld() const;
    std::string refusalOf(const Connection& c) const;
    void measureHeld();
    void pictureWritten(const drawing::PictureMessage& picture);
    void startView();
    const std::string& sceneAnswer();
    void take(Connection& c, const char* data, size_t size);
    void finishStream(Connection& c);
    bool takeIn(std::string_view bytes, int number, unsigned id);
    void writeHeld(const std::string& receivedFile, int number);
    void drawPreview(const Connection& c, int64_t arrived);
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
    drawing::Process drawing_;
    limits::ReceivedFiles received_;
    view::Process view_;
    std::string viewNote_; // what became of the live page, said when serving starts
    limits::DescriptorBudget descriptors_;
    uint64_t heldBytes_ = 0;  // the parsed scene held, measured after each take-in
    std::unordered_map<std::string, uint64_t> setBytes_; // and of each model set, by name
    std::string sceneXml_;    // the scene answer, made again when the scene changed
    bool sceneChanged_ = true;
};

} // namespace standin
