#include "ports_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace porttest {

namespace {

const char* const kLockFile = "/tmp/tavrin-live-ports.lock";

} // namespace

PortsLock::PortsLock(int waitMs)
{
    const char* isolated = std::getenv("TAVRIN_PRIVATE_NETWORK");
    if (isolated && std::strcmp(isolated, "1") == 0)
        return;
    fd_ = ::open(kLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0)
        return; // no lock to be had: the test runs as it would without one
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (std::chrono::steady_clock::now() > end) {
            ::close(fd_);
            fd_ = -1;
            throw std::runtime_error(std::string("another test run kept ") + kLockFile + " locked for " +
                                     std::to_string(waitMs / 1000) + " s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

PortsLock::~PortsLock()
{
    if (fd_ >= 0)
        ::close(fd_); // releases the lock
}

} // namespace porttest
