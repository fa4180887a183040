// Loopback socket helpers shared by the stand-in renderer and the stand-in live library.
// Every wait is bounded: connecting, sending and receiving take a timeout, and a peer that
// vanishes or stops answering makes the call fail instead of blocking or raising SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace standin::net {

// Ports on which stand-in renderers listen, first to last (inclusive).
constexpr int kFirstPort = 3141;
constexpr int kLastPort = 3151;
// The major version the stand-in renderer reports.
constexpr int kMajorVersion = 10;

// Owns one file descriptor; closes it on destruction.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Milliseconds on a monotonic clock.
int64_t nowMs();

// Connects to 127.0.0.1:port, waiting at most timeoutMs. The socket is left non-blocking
// with close-on-exec. Returns an invalid Fd on failure (refused, timed out, bad port).
Fd connectLoopback(int port, int timeoutMs);

// Sends all bytes. Each time the socket cannot take more, waits at most stallMs for room;
// fails when a wait runs out or the peer is gone. Never raises SIGPIPE.
bool sendAll(int fd, const void* data, size_t size, int stallMs);
bool sendAll(int fd, const std::string& text, int stallMs);

// Reads one line (without its "\n") arriving before the deadline (a nowMs() value).
// Reads byte by byte so that nothing after the line is consumed. Fails on end of stream,
// error, timeout or a line longer than maxBytes.
bool readLine(int fd, std::string& line, size_t maxBytes, int64_t deadlineMs);

// Reads until the peer closes, the deadline passes or more than maxBytes arrive. True
// only when the peer closed the stream within the limits.
bool readToEnd(int fd, std::string& out, size_t maxBytes, int64_t deadlineMs);

// Asks every port of [first, last] the same request in parallel and collects each
// answer up to the peer's close. All of it ends after timeoutMs at the latest; ports
// that refuse, stay silent or answer too much give no entry.
struct ProbeAnswer {
    int port = 0;
    std::string text;
};
std::vector<ProbeAnswer> probePorts(int first, int last, const std::string& request,
                                    int timeoutMs, size_t maxBytes);

} // namespace standin::net
