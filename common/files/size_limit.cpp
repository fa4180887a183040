#include "files/size_limit.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

namespace tavrin::files {

namespace {

sigset_t onlyXfsz()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGXFSZ);
    return set;
}

bool pending()
{
    sigset_t set;
    sigemptyset(&set);
    return sigpending(&set) == 0 && sigismember(&set, SIGXFSZ) == 1;
}

} // namespace

SizeLimitGuard::SizeLimitGuard()
{
    const sigset_t set = onlyXfsz();
    sigset_t previous;
    if (pthread_sigmask(SIG_BLOCK, &set, &previous) != 0)
        return;
    blocked_ = sigismember(&previous, SIGXFSZ) != 1;
    wasPending_ = pending();
}

SizeLimitGuard::~SizeLimitGuard()
{
    if (!blocked_)
        return;
    // What the writes raised is consumed here; a signal that was pending before stays.
    if (!wasPending_ && pending()) {
        const sigset_t set = onlyXfsz();
        const timespec now{0, 0};
        const int saved = errno;
        while (sigtimedwait(&set, nullptr, &now) < 0 && errno == EINTR) {
        }
        errno = saved;
    }
    const sigset_t set = onlyXfsz();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

} // namespace tavrin::files
