#include "descriptor_budget.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>


namespace standin::limits {

namespace {

net::Fd spareDescriptor()
{
    return net::Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

} // namespace

DescriptorBudget::DescriptorBudget() : spare_(spareDescriptor())
{
    rlimit limit{};
    size_t soft = 256;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        soft = size_t(limit.rlim_cur);
    else if (limit.rlim_cur == RLIM_INFINITY)
        soft = 1 << 20;
    // The descriptors taken before the server runs (standard streams, the log, a test's own)
    // count too: the spare one took the first free number.
    const size_t before = spare_ ? size_t(spare_.get()) : 3;
    forConnections_ = soft > before + kReserve ? soft - before - kReserve : 1;
}

bool DescriptorBudget::shed(int listener)
{
    spare_.reset();
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
        ::close(fd);
    spare_ = spareDescriptor();
    return fd >= 0;
}

} // namespace standin::limits
