#include "preview_runner.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace standin {

namespace {

// How long a child may run past the preview's own limit (which it keeps itself) before it
// is killed: reading textures and building the scene happen before the limit is checked.
constexpr int64_t kGraceMs = 5000;

void writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

} // namespace

PreviewRunner::PreviewRunner(std::ostream& console, double timeLimitSeconds, Draw draw)
    : console_(console), timeLimitSeconds_(timeLimitSeconds), draw_(std::move(draw))
{
}

PreviewRunner::~PreviewRunner()
{
    stop();
}

void PreviewRunner::request(PreviewRequest r)
{
    if (busy())
        waiting_ = std::move(r);
    else
        start(r);
}

int64_t PreviewRunner::msUntilDeadline(int64_t now) const
{
    if (!busy() || timeLimitSeconds_ <= 0)
        return -1;
    return deadline_ > now ? deadline_ - now : 0;
}

void PreviewRunner::start(const PreviewRequest& r)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        console_ << "tavrin: stream " << r.number << ": no preview: " << std::strerror(errno) << std::endl;
        return;
    }
    console_.flush();
    const pid_t pid = ::fork();
    if (pid < 0) {
        console_ << "tavrin: stream " << r.number << ": no preview: " << std::strerror(errno) << std::endl;
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    if (pid == 0) {
        // The child keeps no socket of the server: a client waiting for the end of its
        // answer must not wait for the picture as well.
        const int out = fds[1];
        ::close_range(3, unsigned(out) - 1, 0);
        ::close_range(unsigned(out) + 1, ~0U, 0);
        std::string text;
        try {
            for (const std::string& line : draw_(r))
                text += line + "\n";
        } catch (const std::exception& e) {
            text = "tavrin: stream " + std::to_string(r.number) + ": no preview: " + e.what() + "\n";
        }
        writeAll(out, text);
        ::_exit(0); // nothing of the server's state is to be cleaned up here
    }
    ::close(fds[1]);
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    pipe_.reset(fds[0]);
    child_ = pid;
    running_ = r;
    report_.clear();
    deadline_ = net::nowMs() + int64_t(timeLimitSeconds_ * 1000) + kGraceMs;
}

void PreviewRunner::onReadable()
{
    if (!busy())
        return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipe_.get(), buffer, sizeof buffer);
        if (n > 0) {
            if (report_.size() < 64 * 1024)
                report_.append(buffer, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        finish(false); // end of the report: the child is done
        return;
    }
}

void PreviewRunner::checkDeadline(int64_t now)
{
    if (busy() && timeLimitSeconds_ > 0 && now >= deadline_) {
        ::kill(child_, SIGKILL);
        finish(true);
    }
}

void PreviewRunner::finish(bool killedForTime)
{
    int status = 0;
    while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
    pipe_.reset();
    if (killedForTime)
        console_ << "tavrin: stream " << running_.number << ": preview abandoned after "
                 << timeLimitSeconds_ << " s; the renderer goes on serving" << std::endl;
    else if (WIFSIGNALED(status))
        console_ << "tavrin: stream " << running_.number << ": no preview: the drawing ended on signal "
                 << WTERMSIG(status) << std::endl;
    else
        console_ << report_ << std::flush;
    report_.clear();
    if (waiting_) {
        PreviewRequest next = std::move(*waiting_);
        waiting_.reset();
        start(next);
    }
}

void PreviewRunner::stop()
{
    waiting_.reset();
    if (!busy())
        return;
    ::kill(child_, SIGKILL);
    int status = 0;
    while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
    pipe_.reset();
}

} // namespace standin
