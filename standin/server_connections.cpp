// The server's connections against its descriptors and its time: accepting within the
// descriptor budget (the silent making room), dropping those that wait too long for
// nothing, and sending answers as the clients take them.
#include "server.h"

#include "server_connection.h"

#include <cerrno>
#include <sys/socket.h>

namespace standin {

namespace {

constexpr int64_t kRequestTimeoutMs = 5000;

} // namespace

// Accepts what waits, while descriptors last: at the limit, the connection silent longest
// makes room; else the requests already waiting on accepted connections are read, which
// answers queries and refuses the streams past the limit; when even that frees nothing, a
// waiting connection is taken and closed at once, so the listener does not keep the loop
// awake. Without the reading, a burst of stream clients accepted moments ago would leave a
// query behind them closed unanswered.
void Server::accept()
{
    for (int taken = 0; taken < 64; ++taken) {
        if (descriptorsHeld() + 1 > descriptors_.forConnections() && !makeRoom()) {
            readWaitingRequests();
            if (descriptorsHeld() + 1 > descriptors_.forConnections()) {
                descriptors_.shed(listener_.get());
                return;
            }
        }
        int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE)
                descriptors_.shed(listener_.get());
            return;
        }
        auto c = std::make_unique<Connection>();
        c->fd.reset(fd);
        c->opened = c->heard = net::nowMs();
        connections_.push_back(std::move(c));
    }
}

// Reads the request of every accepted connection that has not sent one yet (most have it
// waiting); a connection with nothing to read stays as it is. Those it closes (streams
// refused past the limit) give their descriptors back at once, for the accepting that
// follows: they stay on the list, for the loop to take off.
void Server::readWaitingRequests()
{
    for (size_t i = 0, n = connections_.size(); i < n; ++i) {
        Connection& c = *connections_[i];
        if (c.closed || c.state != Connection::State::Request)
            continue;
        readFrom(c);
        if (c.closed)
            c.fd.reset();
    }
}

size_t Server::descriptorsHeld() const
{
    // Counted by what is open, closed connections included: they keep their descriptors
    // until the loop takes them off the list.
    size_t n = 0;
    for (const auto& c : connections_)
        n += (c->fd ? 1 : 0) + c->stream.descriptors();
    return n;
}

// Closes the connection that has been silent longest, for a second at least: one that has
// not sent its request, else a stream whose client sends nothing. False when every
// connection is busy (one just accepted may have its request waiting to be read).
bool Server::makeRoom()
{
    Connection* victim = nullptr;
    const int64_t now = net::nowMs();
    for (const auto& c : connections_)
        if (!c->closed && c->state == Connection::State::Request && now - c->heard >= 1000 &&
            (!victim || c->heard < victim->heard))
            victim = c.get();
    if (!victim)
        for (const auto& c : connections_)
            if (!c->closed && c->state == Connection::State::Streaming && now - c->heard >= 1000 &&
                (!victim || c->heard < victim->heard))
                victim = c.get();
    if (!victim)
        return false;
    if (victim->state == Connection::State::Streaming) {
        endProgress();
        console_ << "tavrin: stream " << victim->number << " dropped: out of descriptors, and its client was silent "
                 << (now - victim->heard) / 1000 << " s" << std::endl;
    }
    // Closed now, taken off the list by the loop (which may be walking it).
    victim->closed = true;
    victim->stream.discard();
    victim->fd.reset();
    return true;
}

void Server::closeIdleRequests(int64_t now)
{
    for (auto& c : connections_) {
        if ((c->state == Connection::State::Request || c->state == Connection::State::Answering) &&
            now - c->opened > kRequestTimeoutMs)
            c->closed = true;
    }
    std::erase_if(connections_, [](const auto& c) { return c->closed; });
}

// A client that stops sending its stream is dropped after the stall limit: it would keep
// the stream's file open and the renderer from its idle exit for ever.
void Server::dropStalled(int64_t now)
{
    const int64_t limit = int64_t(options_.streamStallSeconds) * 1000;
    for (auto& c : connections_) {
        const bool streaming = c->state == Connection::State::Streaming;
        if ((!streaming && c->state != Connection::State::Draining) || now - c->heard <= limit)
            continue;
        if (streaming) {
            endProgress();
            console_ << "tavrin: stream " << c->number << " sent nothing for " << options_.streamStallSeconds
                     << " s, dropped after " << c->streamBytes << " bytes" << std::endl;
        }
        c->closed = true;
    }
    std::erase_if(connections_, [](const auto& c) { return c->closed; });
}

// Answers go out as the client takes them, never holding up the loop; a client that does not
// take its answer within the request time is dropped.
void Server::answer(Connection& c, std::string text)
{
    c.out = std::move(text);
    c.sent = 0;
    c.state = Connection::State::Answering;
    writeTo(c);
}

void Server::writeTo(Connection& c)
{
    while (c.sent < c.out.size()) {
        const ssize_t n = ::send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.sent += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        break; // the client is gone
    }
    c.closed = true;
}

} // namespace standin
