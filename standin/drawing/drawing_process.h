// The stand-in's drawing process, seen from the server: one child process, forked from the
// server when a picture is first wanted (so it starts with the server's held scene), kept
// alive from one picture to the next so that the ray tracer's structures and the decoded
// textures survive (see drawing_child.h). The server goes on answering queries and taking
// streams while a picture is drawn, and a picture that crashes or runs past its time takes
// nothing else with it.
//
// Every stream the server takes in is passed on, its bytes as a descriptor. A picture still
// drawing some seconds past the preview's own time limit has its process killed and is
// reported abandoned; so is a process that falls too far behind. The next stream starts a
// fresh one, which builds everything again from the held scene.
#pragma once

#include "drawing_child.h"
#include "drawing_messages.h"
#include "net.h"
#include "scene_state.h"

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <ostream>
#include <string>

namespace standin::drawing {

class Process {
public:
    // Told of every picture (and quick picture) written.
    using OnPicture = std::function<void(const PictureMessage&)>;

    Process(std::ostream& console, Settings settings, SceneState& scene, OnPicture onPicture);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // A stream the server has taken in (its bytes readable through streamFd): drawn next.
    void taken(const StreamMessage& stream, int streamFd);
    // The server's held scene may now differ from the drawing's (a take-in failed half-way):
    // the drawing process ends, and the next picture starts a fresh one.
    void restart();

    bool running() const { return child_ > 0; }
    // The socket to poll for the child's messages, or -1.
    int fd() const { return socket_.get(); }
    // Milliseconds until a picture being drawn must be stopped; -1 when none is drawn.
    int64_t msUntilDeadline(int64_t now) const;

    // Reads what the child sent; reports its end.
    void onReadable();
    // Kills a child whose picture is past its deadline.
    void checkDeadline(int64_t now);
    // Kills and reaps the child (at exit).
    void stop();

private:
    bool start(const StreamMessage& first);
    void ended();

    std::ostream& console_;
    Settings settings_;
    SceneState& scene_; // the server's; the child's own copy after the fork
    OnPicture onPicture_;
    pid_t child_ = -1;
    net::Fd socket_;
    int drawing_ = 0;       // the stream whose picture is being drawn; 0: none
    int64_t deadline_ = 0;
    int sent_ = 0;          // the last stream passed on
    // The streams passed on that the child had not yet taken in when it last began a
    // picture (their numbers leave gaps: junk and dropped streams are never passed on).
    std::deque<int> waiting_;
};

} // namespace standin::drawing
