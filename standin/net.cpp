#include "net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace standin::net {

Fd& Fd::operator=(Fd&& o) noexcept
{
    if (this != &o)
        reset(o.release());
    return *this;
}

int Fd::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

int64_t nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace {

int remainingMs(int64_t deadlineMs)
{
    int64_t left = deadlineMs - nowMs();
    if (left <= 0)
        return 0;
    return int(std::min<int64_t>(left, 1 << 30));
}

// Waits for the events on fd until the deadline; EINTR restarts the wait with the time
// that is left. Returns the revents, or 0 on timeout.
short waitFor(int fd, short events, int64_t deadlineMs)
{
    for (;;) {
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, remainingMs(deadlineMs));
        if (r > 0)
            return p.revents;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return POLLERR;
    }
}

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Starts a non-blocking connect. Returns the socket with started set when the connection
// is pending or made; an invalid Fd when it failed at once.
Fd startConnect(int port, bool& pending)
{
    pending = false;
    if (port < 1 || port > 65535)
        return Fd();
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s)
        return Fd();
    sockaddr_in a = loopback(port);
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        return s;
    if (errno == EINPROGRESS || errno == EINTR) {
        pending = true;
        return s;
    }
    return Fd();
}

bool connectSucceeded(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

} // namespace

Fd connectLoopback(int port, int timeoutMs)
{
    bool pending = false;
    Fd s = startConnect(port, pending);
    if (!s || !pending)
        return s;
    short ev = waitFor(s.get(), POLLOUT, nowMs() + timeoutMs);
    if (!(ev & POLLOUT) || !connectSucceeded(s.get()))
        return Fd();
    return s;
}

bool sendAll(int fd, const void* data, size_t size, int stallMs)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            size -= size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            short ev = waitFor(fd, POLLOUT, nowMs() + stallMs);
            if (ev & (POLLERR | POLLHUP | POLLNVAL))
                return false;
            if (!(ev & POLLOUT))
                return false; // the peer stopped reading
            continue;
        }
        return false; // EPIPE, ECONNRESET and the like: the peer is gone
    }
    return true;
}

bool sendAll(int fd, const std::string& text, int stallMs)
{
    return sendAll(fd, text.data(), text.size(), stallMs);
}

// After a non-blocking recv failed: true when reading may be tried again (interrupted, or
// data or the peer's end arrived before the deadline), false on an error or time-out.
static bool readableAgain(int fd, int64_t deadlineMs)
{
    if (errno == EINTR)
        return true;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
        return false;
    return (waitFor(fd, POLLIN, deadlineMs) & (POLLIN | POLLHUP)) != 0;
}

bool readLine(int fd, std::string& line, size_t maxBytes, int64_t deadlineMs)
{
    line.clear();
    for (;;) {
        char c = 0;
        ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
        if (n == 1) {
            if (c == '\n')
                return true;
            if (line.size() >= maxBytes)
                return false;
            line.push_back(c);
            continue;
        }
        if (n == 0)
            return false;
        if (!readableAgain(fd, deadlineMs))
            return false;
    }
}

bool readToEnd(int fd, std::string& out, size_t maxBytes, int64_t deadlineMs)
{
    out.clear();
    char buffer[16384];
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            if (out.size() + size_t(n) > maxBytes)
                return false;
            out.append(buffer, size_t(n));
            continue;
        }
        if (n == 0)
            return true;
        if (!readableAgain(fd, deadlineMs))
            return false;
    }
}

std::vector<ProbeAnswer> probePorts(int first, int last, const std::string& request,
                                    int timeoutMs, size_t maxBytes)
{
    enum class State { Connecting, Sending, Reading, Done };
    struct Probe {
        int port = 0;
        Fd fd;
        State state = State::Connecting;
        size_t sent = 0;
        std::string text;
        bool ok = false;
    };
    std::vector<Probe> probes;
    for (int port = first; port <= last; ++port) {
        bool pending = false;
        Fd s = startConnect(port, pending);
        if (s)
            {
            Probe p;
            p.port = port;
            p.fd = std::move(s);
            p.state = pending ? State::Connecting : State::Sending;
            probes.push_back(std::move(p));
        }
    }

    const int64_t deadline = nowMs() + timeoutMs;
    std::vector<pollfd> fds;
    std::vector<size_t> which;
    for (;;) {
        fds.clear();
        which.clear();
        for (size_t i = 0; i < probes.size(); ++i) {
            Probe& p = probes[i];
            if (p.state == State::Done)
                continue;
            short events = p.state == State::Reading ? POLLIN : POLLOUT;
            fds.push_back(pollfd{p.fd.get(), events, 0});
            which.push_back(i);
        }
        if (fds.empty())
            break;
        int left = remainingMs(deadline);
        if (left == 0)
            break;
        int r = ::poll(fds.data(), fds.size(), left);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        for (size_t k = 0; k < fds.size(); ++k) {
            if (fds[k].revents == 0)
                continue;
            Probe& p = probes[which[k]];
            if (p.state == State::Connecting) {
                if (!connectSucceeded(p.fd.get())) {
                    p.state = State::Done;
                    continue;
                }
                p.state = State::Sending;
            }
            if (p.state == State::Sending) {
                ssize_t n = ::send(p.fd.get(), request.data() + p.sent, request.size() - p.sent,
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                if (n < 0) {
                    p.state = State::Done;
                    continue;
                }
                p.sent += size_t(n);
                if (p.sent == request.size())
                    p.state = State::Reading;
                continue;
            }
            if (p.state == State::Reading) {
                char buffer[4096];
                ssize_t n = ::recv(p.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                if (n == 0) {
                    p.ok = true;
                    p.state = State::Done;
                } else if (n < 0 || p.text.size() + size_t(n) > maxBytes) {
                    p.state = State::Done;
                } else {
                    p.text.append(buffer, size_t(n));
                }
            }
        }
    }

    std::vector<ProbeAnswer> answers;
    for (Probe& p : probes)
        if (p.ok)
            answers.push_back(ProbeAnswer{p.port, std::move(p.text)});
    return answers;
}

} // namespace standin::net
