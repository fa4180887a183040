// Writes past the process's file-size limit (ulimit -f) fail like a full disk instead of
// killing the process: while a SizeLimitGuard lives, SIGXFSZ is blocked on the calling
// thread, so such a write returns EFBIG ("File too large"). A SIGXFSZ that a write raised
// meanwhile is taken off the thread before the signal mask is given back, so it is never
// delivered later. No signal handler is installed: the host's own disposition stays.
#pragma once

#include <csignal>

namespace tavrin::files {

class SizeLimitGuard {
public:
    SizeLimitGuard();
    ~SizeLimitGuard();
    SizeLimitGuard(const SizeLimitGuard&) = delete;
    SizeLimitGuard& operator=(const SizeLimitGuard&) = delete;

private:
    bool blocked_ = false;     // this guard blocked the signal (it was not blocked before)
    bool wasPending_ = false;  // a SIGXFSZ was already pending when the guard began
};

} // namespace tavrin::files
