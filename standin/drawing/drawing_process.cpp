#include "drawing_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace standin::drawing {

namespace {

// How long a picture may run past the preview's own limit (which the drawing keeps itself)
// before its process is killed: reading textures and gathering come before the limit is
// looked at.
constexpr int64_t kGraceMs = 5000;
// Streams passed on and not yet taken in by the drawing, past which it is started afresh
// instead (it would only draw a scene that no longer stands).
constexpr int kMaxBehind = 32;

} // namespace

Process::Process(std::ostream& console, Settings settings, SceneState& scene, OnPicture onPicture)
    : console_(console), settings_(std::move(settings)), scene_(scene), onPicture_(std::move(onPicture))
{
}

Process::~Process()
{
    stop();
}

int64_t Process::msUntilDeadline(int64_t now) const
{
    if (!running() || drawing_ == 0 || settings_.options.timeLimitSeconds <= 0)
        return -1;
    return deadline_ > now ? deadline_ - now : 0;
}

void Process::taken(const StreamMessage& stream, int streamFd)
{
    if (running() && waiting_.size() >= size_t(kMaxBehind)) {
        console_ << "tavrin: drawing: " << waiting_.size() << " streams behind, started afresh" << std::endl;
        stop();
    }
    if (running() && sendMessage(socket_.get(), streamMessage(stream), streamFd)) {
        sent_ = stream.number;
        waiting_.push_back(stream.number);
        return;
    }
    if (running()) {
        console_ << "tavrin: drawing: the drawing process takes no more, started afresh" << std::endl;
        stop();
    }
    start(stream);
}

void Process::restart()
{
    stop();
}

bool Process::start(const StreamMessage& first)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        console_ << "tavrin: stream " << first.number << ": no preview: " << std::strerror(errno) << std::endl;
        return false;
    }
    console_.flush();
    const pid_t pid = ::fork();
    if (pid < 0) {
        console_ << "tavrin: stream " << first.number << ": no preview: " << std::strerror(errno) << std::endl;
        ::close(pair[0]);
        ::close(pair[1]);
        return false;
    }
    if (pid == 0) {
        // The drawing keeps no socket of the server: a client waiting for the end of its
        // answer must not wait for a picture as well.
        const int socket = pair[1];
        ::close_range(3, unsigned(socket) - 1, 0);
        ::close_range(unsigned(socket) + 1, ~0U, 0);
        // The server's own copy of the held scene is this process's from now on.
        serve(socket, scene_, settings_, first);
        ::_exit(0); // nothing of the server's state is to be cleaned up here
    }
    ::close(pair[1]);
    socket_.reset(pair[0]);
    child_ = pid;
    sent_ = first.number;
    waiting_.clear();
    drawing_ = 0;
    return true;
}

void Process::onReadable()
{
    while (running()) {
        int fd = -1;
        const std::optional<std::string> message = receiveMessage(socket_.get(), 0, fd);
        if (fd >= 0)
            ::close(fd);
        if (!message)
            return;
        if (message->empty()) {
            ended();
            return;
        }
        const std::string& m = *message;
        if (m.starts_with("L ")) {
            console_ << m.substr(2) << std::endl;
        } else if (m.starts_with("B ")) {
            drawing_ = std::atoi(m.c_str() + 2);
            while (!waiting_.empty() && waiting_.front() <= drawing_)
                waiting_.pop_front();
            deadline_ = net::nowMs() + int64_t(settings_.options.timeLimitSeconds * 1000) + kGraceMs;
        } else if (m.starts_with("E ")) {
            drawing_ = 0;
        } else if (std::optional<PictureMessage> picture = parsePictureMessage(m)) {
            if (!picture->quick)
                drawing_ = 0;
            if (onPicture_)
                onPicture_(*picture);
        }
    }
}

void Process::checkDeadline(int64_t now)
{
    if (running() && drawing_ != 0 && settings_.options.timeLimitSeconds > 0 && now >= deadline_) {
        const int number = drawing_;
        stop();
        console_ << "tavrin: stream " << number << ": preview abandoned after " << settings_.options.timeLimitSeconds
                 << " s; the renderer goes on serving" << std::endl;
    }
}

// The child closed its side: it ended, by itself or not.
void Process::ended()
{
    int status = 0;
    while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
    const int number = drawing_;
    child_ = -1;
    socket_.reset();
    drawing_ = 0;
    waiting_.clear();
    if (WIFSIGNALED(status))
        console_ << "tavrin: stream " << (number ? number : sent_) << ": no preview: the drawing ended on signal "
                 << WTERMSIG(status) << std::endl;
}

void Process::stop()
{
    if (!running())
        return;
    ::kill(child_, SIGKILL);
    int status = 0;
    while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
    socket_.reset();
    drawing_ = 0;
    waiting_.clear();
}

} // namespace standin::drawing
