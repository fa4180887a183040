// The renderer's descriptors against its limit (RLIMIT_NOFILE; 256 by default on macOS):
// connections never take the last few, so a query can always be accepted and answered, and
// a listener that cannot accept (the process or the system out of descriptors) is emptied
// instead of waking the loop again and again.
//
// A connection holds one descriptor while it sends its request and while it is answered,
// and two while its stream arrives (the socket and the stream's file). When a new
// connection would take one of the reserved descriptors, the server first closes the
// connection that has been silent longest (see Server::makeRoom); streams never take the
// last kForQueries of them, so a query finds room even while streams fill the rest.
#pragma once

#include "net.h"

#include <cstddef>

namespace standin::limits {

class DescriptorBudget {
public:
    // Descriptors kept for everything but connections: the listener, the console, the
    // drawing process, files being written, a query accepted at the limit.
    static constexpr size_t kReserve = 24;
    // Of the descriptors for connections, streams leave this many to queries.
    static constexpr size_t kForQueries = 16;

    DescriptorBudget();

    // Descriptors connections may hold in all.
    size_t forConnections() const { return forConnections_; }

    // Takes one connection off the listener when the process is out of descriptors: the
    // spare descriptor kept for this is given up for a moment, the connection accepted and
    // closed at once. False when even that failed.
    bool shed(int listener);

private:
    size_t forConnections_ = 0;
    net::Fd spare_;
};

} // namespace standin::limits
