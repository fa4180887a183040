// The live page, seen from the server: `tavrin --view PORT` (or TAVRIN_STANDIN_VIEW=PORT)
// serves one page on 127.0.0.1:PORT that shows the latest picture and replaces it by itself
// as each new one is written (see view_server.h). The page is served by a process of its
// own, forked when the server starts: its HTTP library runs threads, which the server and
// the drawing it forks must not have, and whatever a browser sends it reaches nothing else.
// The server tells it of every picture written; it reads the picture from its file.
#pragma once

#include "drawing_messages.h"
#include "net.h"
#include "view_server.h"

#include <sys/types.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace standin::view {

class Process {
public:
    explicit Process(std::ostream& console) : console_(console) {}
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Starts the page's process and waits (a few seconds at most) until it listens. False
    // with the reason when it cannot (the port is taken, say).
    bool start(const PageSettings& settings, std::string& error);
    bool running() const { return child_ > 0; }
    // The socket to poll for the process's end, or -1.
    int fd() const { return socket_.get(); }

    // A picture was written: the page shows it. Never blocks; a notice that finds no room
    // is dropped (the next picture replaces it anyway).
    void picture(const drawing::PictureMessage& picture);
    // The process ended (its socket closed): reaps it and says so.
    void onReadable();
    void stop();

private:
    std::ostream& console_;
    pid_t child_ = -1;
    net::Fd socket_;
};

} // namespace standin::view
