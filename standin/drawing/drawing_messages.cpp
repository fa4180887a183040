#include "drawing_messages.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace standin::drawing {

namespace {

// Takes the next blank-ended number from text; false when there is none.
template <typename T>
bool takeNumber(std::string_view& text, T& out)
{
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    if (ec != std::errc() || ptr == text.data() || ptr == text.data() + text.size() || *ptr != ' ')
        return false;
    text.remove_prefix(size_t(ptr - text.data()) + 1);
    return true;
}

} // namespace

bool sendMessage(int socket, const std::string& text, int fd)
{
    if (text.size() > kMaxMessage)
        return false;
    iovec part{const_cast<char*>(text.data()), text.size()};
    msghdr m{};
    m.msg_iov = &part;
    m.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
    }
    for (;;) {
        const ssize_t n = ::sendmsg(socket, &m, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0)
            return size_t(n) == text.size();
        if (errno != EINTR)
            return false;
    }
}

std::optional<std::string> receiveMessage(int socket, int timeoutMs, int& fd)
{
    fd = -1;
    for (;;) {
        pollfd p{socket, POLLIN, 0};
        const int r = ::poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return std::string();
        if (r == 0)
            return std::nullopt;
        break;
    }
    std::string text(kMaxMessage, '\0');
    iovec part{text.data(), text.size()};
    msghdr m{};
    m.msg_iov = &part;
    m.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n = -1;
    do
        n = ::recvmsg(socket, &m, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return std::nullopt;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && c->cmsg_len >= CMSG_LEN(sizeof(int)))
            std::memcpy(&fd, CMSG_DATA(c), sizeof(int));
    if (n <= 0) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        return std::string();
    }
    text.resize(size_t(n));
    return text;
}

std::string streamMessage(const StreamMessage& m)
{
    return "S " + std::to_string(m.number) + " " + std::to_string(m.id) + " " + std::to_string(m.mode) + " " +
           std::to_string(m.arrivedMs) + " " + m.png;
}

std::optional<StreamMessage> parseStreamMessage(const std::string& text)
{
    std::string_view rest = text;
    if (!rest.starts_with("S "))
        return std::nullopt;
    rest.remove_prefix(2);
    StreamMessage m;
    if (!takeNumber(rest, m.number) || !takeNumber(rest, m.id) || !takeNumber(rest, m.mode) ||
        !takeNumber(rest, m.arrivedMs) || rest.empty())
        return std::nullopt;
    m.png = std::string(rest);
    return m;
}

std::string pictureMessage(const PictureMessage& m)
{
    std::string text = std::string(m.quick ? "Q " : "P ") + std::to_string(m.number) + " " + std::to_string(m.ms) +
                       " " + m.png;
    if (!m.quick)
        text += "\t" + m.changed;
    return text;
}

std::optional<PictureMessage> parsePictureMessage(const std::string& text)
{
    std::string_view rest = text;
    PictureMessage m;
    if (rest.starts_with("Q "))
        m.quick = true;
    else if (!rest.starts_with("P "))
        return std::nullopt;
    rest.remove_prefix(2);
    if (!takeNumber(rest, m.number) || !takeNumber(rest, m.ms) || rest.empty())
        return std::nullopt;
    if (!m.quick) {
        const size_t tab = rest.rfind('\t');
        if (tab == std::string_view::npos)
            return std::nullopt;
        m.changed = std::string(rest.substr(tab + 1));
        rest = rest.substr(0, tab);
    }
    m.png = std::string(rest);
    return m;
}

} // namespace standin::drawing
