// One connection of the stand-in's server, as its parts see it: the request line while it
// arrives, then the stream or the answer. Shared by the server's files, no one else's.
#pragma once

#include "net.h"
#include "progress_scanner.h"
#include "protocol.h"
#include "stream_store.h"

#include <cstdint>
#include <memory>
#include <string>

namespace standin {

struct Connection {
    // Request: its request line arrives; Streaming: its stream arrives; Stalled: the renderer
    // stopped reading it (a test hook); Answering: its answer is on its way out; Draining:
    // its stream was refused while it arrived (answered so), and the rest is read and let go.
    enum class State { Request, Streaming, Stalled, Answering, Draining };
    net::Fd fd;
    State state = State::Request;
    int64_t opened = 0;
    int64_t heard = 0;  // when it last sent something
    std::string out;    // the answer to send
    size_t sent = 0;
    std::string data; // the request line while it arrives
    StreamStore stream; // the stream as it arrives
    uint64_t streamBytes = 0;
    int number = 0; // of the stream, counted from 1
    protocol::Request request;
    std::unique_ptr<ProgressScanner> scanner;
    bool closed = false;
};

} // namespace standin
