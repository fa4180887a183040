// The messages between the stand-in's server and its drawing process, one datagram each on
// a local sequenced-packet socket pair (a message never arrives in pieces, and a process
// that ends closes its side, which the other sees at once).
//
// Server to drawing process:
//   "S <number> <id> <mode> <arrived ms> <png path>" with the stream's bytes as a descriptor:
//       a stream the server has taken in; the drawing process takes it in too, and draws
//       the held scene into <png path> once no other stream waits.
// Drawing process to server:
//   "B <number>"      drawing begins, every stream up to <number> taken in
//   "L <text>"        a line for the renderer's console
//   "Q <number> <ms> <png path>"            a quick picture (a third of the size) is written
//   "P <number> <ms> <png path>\t<what changed>"   the picture is written
//   "E <number>"      no picture (the lines said why)
// <ms> counts from the stream's arrival (CLOCK_MONOTONIC, which both processes share).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace standin::drawing {

// The largest message either side sends.
constexpr size_t kMaxMessage = 16 * 1024;

// Sends one message, with a descriptor when fd >= 0. Never blocks: false when the socket
// has no room or is gone.
bool sendMessage(int socket, const std::string& text, int fd = -1);

// Receives one message and the descriptor that came with it (-1: none). Waits at most
// timeoutMs (-1: for ever). nullopt on a timeout; an empty text when the other side is
// gone.
std::optional<std::string> receiveMessage(int socket, int timeoutMs, int& fd);

struct StreamMessage {
    int number = 0;
    unsigned id = 0;
    int mode = 0;
    int64_t arrivedMs = 0;
    std::string png;
};
std::string streamMessage(const StreamMessage& m);
std::optional<StreamMessage> parseStreamMessage(const std::string& text);

// A "Q" or "P" message.
struct PictureMessage {
    bool quick = false;
    int number = 0;
    int64_t ms = 0;
    std::string png;
    std::string changed;
};
std::string pictureMessage(const PictureMessage& m);
std::optional<PictureMessage> parsePictureMessage(const std::string& text);

} // namespace standin::drawing
