// The renderer ports are the machine's own outside a private network namespace: every test
// process that opens them (other build folders and other users' runs included) takes this
// lock for as long as it uses them, so that no test meets another's renderer. A renderer a
// test launches is empty for a moment, and any Render elsewhere would take it.
//
// In a private namespace (TAVRIN_PRIVATE_NETWORK=1, set by private_network) the ports are
// the test's alone and no lock is taken.
#pragma once

namespace porttest {

class PortsLock {
public:
    // Waits up to waitMs for the lock; throws std::runtime_error when another run keeps it.
    explicit PortsLock(int waitMs = 150000);
    ~PortsLock();
    PortsLock(const PortsLock&) = delete;
    PortsLock& operator=(const PortsLock&) = delete;

private:
    int fd_ = -1;
};

} // namespace porttest
