#include "view_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace standin::view {

namespace {

constexpr int kStartMs = 5000;

} // namespace

Process::~Process()
{
    stop();
}

bool Process::start(const PageSettings& settings, std::string& error)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::strerror(errno);
        return false;
    }
    console_.flush();
    const pid_t pid = ::fork();
    if (pid < 0) {
        error = std::strerror(errno);
        ::close(pair[0]);
        ::close(pair[1]);
        return false;
    }
    if (pid == 0) {
        // Nothing of the server's: not its listener, not its connections.
        const int socket = pair[1];
        ::close_range(3, unsigned(socket) - 1, 0);
        ::close_range(unsigned(socket) + 1, ~0U, 0);
        // Stopped by its socket closing, not by the signals that stop the server.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_IGN);
        std::signal(SIGHUP, SIG_IGN);
        std::signal(SIGPIPE, SIG_IGN);
        ::_exit(servePage(socket, settings));
    }
    ::close(pair[1]);
    socket_.reset(pair[0]);
    child_ = pid;
    int fd = -1;
    const std::optional<std::string> answer = drawing::receiveMessage(socket_.get(), kStartMs, fd);
    if (fd >= 0)
        ::close(fd);
    if (answer && *answer == "ok")
        return true;
    error = !answer ? "the page's process did not start" : answer->starts_with("error ") ? answer->substr(6)
                                                                                       : "the page's process ended";
    stop();
    return false;
}

void Process::picture(const drawing::PictureMessage& picture)
{
    if (running())
        drawing::sendMessage(socket_.get(), drawing::pictureMessage(picture));
}

void Process::onReadable()
{
    int fd = -1;
    const std::optional<std::string> message = drawing::receiveMessage(socket_.get(), 0, fd);
    if (fd >= 0)
        ::close(fd);
    if (!message || !message->empty())
        return; // it says nothing else
    int status = 0;
    while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
    socket_.reset();
    console_ << "tavrin: the live page stopped ("
             << (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                     : "status " + std::to_string(WEXITSTATUS(status)))
             << "); the renderer goes on serving" << std::endl;
}

void Process::stop()
{
    if (!running())
        return;
    socket_.reset(); // the page's process leaves when it sees this
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        const pid_t r = ::waitpid(child_, &status, WNOHANG);
        if (r == child_ || (r < 0 && errno != EINTR)) {
            child_ = -1;
            return;
        }
        ::usleep(20000);
    }
    ::kill(child_, SIGKILL);
    while (::waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
}

} // namespace standin::view
