// The live page's process: an HTTP server (cpp-httplib) on 127.0.0.1 that serves
//   GET /                    the page,
//   GET /picture/<n>.png     the latest picture (n: its stream), and
//   GET /picture/<n>-quick.png  the latest quick picture,
//   GET /events              the event stream (server-sent events): one "picture" event
//                            for the latest picture at once, then one per new picture, with
//                            its stream, what changed, the milliseconds from the stream's
//                            arrival and its address;
// and refuses everything else: other paths (404), other methods (405), and requests whose
// Host is not this address (403), so that no other web site can read the pictures through
// a name that leads here. At most a few event streams are served at once.
#pragma once

#include <cstdint>

namespace standin::view {

struct PageSettings {
    int port = 0;
    int width = 640, height = 360; // of the pictures
    int64_t rendererPid = 0;
};

// Serves the page until the server's side of `socket` closes; sends "ok" once listening, or
// "error <reason>". Returns the process's exit status.
int servePage(int socket, const PageSettings& settings);

} // namespace standin::view
