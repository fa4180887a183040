#include "server.h"

#include "Png.h"
#include "Preview.h"
#include "files/private_file.h"
#include "protocol.h"
#include "stream_store.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace standin {

namespace {

constexpr int64_t kRequestTimeoutMs = 5000;
constexpr int kReplyStallMs = 1000;
constexpr uint64_t kMaxStreamBytes = uint64_t(4) << 30;
constexpr size_t kReadChunk = 256 * 1024;

std::string printable(std::string_view text, size_t max)
{
    std::string out;
    for (char c : text.substr(0, max))
        out.push_back(static_cast<unsigned char>(c) < 0x20 ? '?' : c);
    if (text.size() > max)
        out += "...";
    return out;
}

// Well-formed text is a scene when it states its format version first (only comments "//"
// and directives "#print", "#error" before it), as every scene file and stream of the
// plug-in does, or, written straight through the scene API, holds at least one record with a
// block (a group, a camera, an object). Bare words such as "AAAA" are no scene.
bool opensWithVersion(std::string_view text)
{
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(at, end - at);
        const size_t first = line.find_first_not_of(" \t\r");
        at = end + 1;
        if (first == std::string_view::npos)
            continue;
        line.remove_prefix(first);
        if (line.starts_with("//") || line.starts_with("#"))
            continue;
        return line.starts_with("version") && (line.size() == 7 || line[7] == ' ' || line[7] == '\t' || line[7] == '\r');
    }
    return false;
}

bool isScene(std::string_view text)
{
    if (opensWithVersion(text))
        return true;
    orv::qrf::Document doc;
    orv::qrf::ParseError error;
    if (!orv::qrf::parse(text, doc, error))
        return false;
    for (const orv::qrf::Statement& s : doc.top.statements)
        if (s.block || s.keyword == "version")
            return true;
    return false;
}

} // namespace

struct Server::Connection {
    enum class State { Request, Streaming, Stalled };
    net::Fd fd;
    State state = State::Request;
    int64_t opened = 0;
    std::string data; // the request line while it arrives
    StreamStore stream; // the stream as it arrives
    uint64_t streamBytes = 0;
    int number = 0; // of the stream, counted from 1
    protocol::Request request;
    std::unique_ptr<ProgressScanner> scanner;
    bool closed = false;
};

Server::Server(ServerOptions options, std::ostream& console)
    : options_(std::move(options)), console_(console),
      previews_(console, options_.previewTimeLimit, [this](const PreviewRequest& r) { return previewLines(r); })
{
    pid_ = int64_t(::getpid());
    tty_ = ::isatty(STDOUT_FILENO) == 1;
}

Server::~Server() = default;

bool Server::start(std::string& error)
{
    std::error_code ec;
    std::filesystem::create_directories(options_.outputDir, ec);
    if (ec || !std::filesystem::is_directory(options_.outputDir)) {
        error = "cannot use the output folder \"" + options_.outputDir + "\": " +
                (ec ? ec.message() : std::string("not a folder"));
        return false;
    }

    int first = options_.port > 0 ? options_.port : net::kFirstPort;
    int last = options_.port > 0 ? options_.port : net::kLastPort;
    for (int port = first; port <= last; ++port) {
        net::Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!s) {
            error = std::string("cannot make a socket: ") + std::strerror(errno);
            return false;
        }
        int one = 1;
        ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            continue;
        if (::listen(s.get(), 16) != 0)
            continue;
        listener_ = std::move(s);
        port_ = port;
        lastStream_ = net::nowMs();
        return true;
    }
    if (options_.port > 0)
        error = "port " + std::to_string(options_.port) + " on 127.0.0.1 is not free";
    else
        error = "no free port on 127.0.0.1 between " + std::to_string(net::kFirstPort) + " and " +
                std::to_string(net::kLastPort);
    return false;
}

int Server::run(const volatile sig_atomic_t* stop, const sigset_t* waitMask)
{
    console_ << "tavrin " << net::kMajorVersion << " (stand-in) listening on 127.0.0.1:" << port_
             << ", process " << pid_ << ", writing to " << options_.outputDir;
    if (options_.idleExitSeconds > 0)
        console_ << ", leaving after " << options_.idleExitSeconds << " s without a scene";
    console_ << std::endl;
    std::vector<pollfd> fds;
    for (;;) {
        if (stop && *stop) {
            endProgress();
            console_ << "tavrin: stopping on request" << std::endl;
            return 0;
        }
        int64_t now = net::nowMs();
        closeIdleRequests(now);
        previews_.checkDeadline(now);

        // Idle means no scene arriving: queries do not keep a renderer alive, or every
        // listing of instances would.
        bool receiving = false;
        bool awaitingRequest = false;
        fds.clear();
        fds.push_back(pollfd{listener_.get(), POLLIN, 0});
        for (const auto& c : connections_) {
            short events = c->state == Connection::State::Stalled ? 0 : POLLIN;
            receiving = receiving || c->state == Connection::State::Streaming;
            awaitingRequest = awaitingRequest || c->state == Connection::State::Request;
            fds.push_back(pollfd{c->fd.get(), events, 0});
        }
        const size_t connectionCount = connections_.size();
        if (previews_.busy())
            fds.push_back(pollfd{previews_.fd(), POLLIN, 0});

        int64_t waitMs = -1;
        if (options_.idleExitSeconds > 0 && !receiving) {
            int64_t deadline = lastStream_ + int64_t(options_.idleExitSeconds) * 1000;
            if (now >= deadline) {
                endProgress();
                console_ << "tavrin: idle for " << options_.idleExitSeconds << " s, exiting"
                         << std::endl;
                return 0;
            }
            waitMs = deadline - now;
        }
        if (awaitingRequest && (waitMs < 0 || waitMs > 1000))
            waitMs = 1000; // to drop clients that never send their request
        if (const int64_t previewMs = previews_.msUntilDeadline(now); previewMs >= 0 && (waitMs < 0 || previewMs < waitMs))
            waitMs = previewMs;
        timespec ts{};
        timespec* timeout = nullptr;
        if (waitMs >= 0) {
            ts.tv_sec = time_t(waitMs / 1000);
            ts.tv_nsec = long(waitMs % 1000) * 1000000L;
            timeout = &ts;
        }
        int r = ::ppoll(fds.data(), fds.size(), timeout, waitMask);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            console_ << "tavrin: poll failed: " << std::strerror(errno) << std::endl;
            return 1;
        }
        if (r == 0)
            continue;
        if (fds[0].revents & POLLIN)
            accept();
        for (size_t i = 1; i <= connectionCount; ++i) {
            Connection& c = *connections_[i - 1];
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                readFrom(c);
        }
        if (fds.size() > connectionCount + 1 && (fds.back().revents & (POLLIN | POLLHUP | POLLERR)))
            previews_.onReadable();
        std::erase_if(connections_, [](const auto& c) { return c->closed; });
    }
}

void Server::accept()
{
    for (;;) {
        int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        auto c = std::make_unique<Connection>();
        c->fd.reset(fd);
        c->opened = net::nowMs();
        connections_.push_back(std::move(c));
    }
}

void Server::closeIdleRequests(int64_t now)
{
    for (auto& c : connections_) {
        if (c->state == Connection::State::Request && now - c->opened > kRequestTimeoutMs)
            c->closed = true;
    }
    std::erase_if(connections_, [](const auto& c) { return c->closed; });
}

void Server::readFrom(Connection& c)
{
    if (c.state == Connection::State::Stalled || c.closed)
        return;
    if (c.state == Connection::State::Streaming)
        lastStream_ = net::nowMs();
    readBuffer_.resize(kReadChunk);
    char* buffer = readBuffer_.data();
    ssize_t n = ::recv(c.fd.get(), buffer, readBuffer_.size(), MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        if (c.state == Connection::State::Streaming) {
            endProgress();
            console_ << "tavrin: stream " << c.number << " broke off after " << c.streamBytes
                     << " bytes: " << std::strerror(errno) << std::endl;
            finishStream(c); // kept on disk like any other; a cut scene does not parse
        }
        c.closed = true;
        return;
    }
    if (n == 0) {
        if (c.state == Connection::State::Streaming)
            finishStream(c);
        c.closed = true;
        return;
    }

    if (c.state == Connection::State::Request) {
        c.data.append(buffer, size_t(n));
        size_t eol = c.data.find('\n');
        if (eol == std::string::npos) {
            if (c.data.size() > protocol::kMaxLine)
                c.closed = true;
            return;
        }
        std::string rest = c.data.substr(eol + 1);
        c.data.resize(eol);
        handleRequest(c);
        if (c.closed || rest.empty())
            return;
        take(c, rest.data(), rest.size());
        return;
    }
    take(c, buffer, size_t(n));
}

// Stream bytes go to their file as they arrive; the progress scanner sees them on the way.
void Server::take(Connection& c, const char* data, size_t size)
{
    c.streamBytes += uint64_t(size);
    if (c.streamBytes > kMaxStreamBytes) {
        endProgress();
        console_ << "tavrin: stream " << c.number << " is larger than the limit, dropped"
                 << std::endl;
        c.closed = true;
        return;
    }
    std::string error;
    if (!c.stream.append(data, size, error)) {
        endProgress();
        console_ << "tavrin: stream " << c.number << " dropped: " << error << std::endl;
        c.closed = true;
        return;
    }
    c.scanner->feed(data, size);
    if (options_.failAfterBytes >= 0 && c.streamBytes >= uint64_t(options_.failAfterBytes)) {
        endProgress();
        console_ << "tavrin: failing on purpose after " << c.streamBytes << " bytes" << std::endl;
        std::raise(SIGKILL);
    }
    if (options_.stallAfterBytes >= 0 && c.streamBytes >= uint64_t(options_.stallAfterBytes)) {
        endProgress();
        console_ << "tavrin: no longer reading stream " << c.number << " after " << c.streamBytes
                 << " bytes (on purpose)" << std::endl;
        c.state = Connection::State::Stalled;
    }
}

void Server::handleRequest(Connection& c)
{
    auto request = protocol::parseRequest(c.data);
    if (!request) {
        console_ << "tavrin: unknown request \"" << printable(c.data, 80) << "\", connection closed"
                 << std::endl;
        c.closed = true;
        return;
    }
    c.request = *request;
    switch (request->kind) {
    case protocol::Request::Kind::QueryInstance:
        net::sendAll(c.fd.get(), instanceXml(net::kMajorVersion, pid_, port_), kReplyStallMs);
        c.closed = true;
        return;
    case protocol::Request::Kind::QueryScene:
        net::sendAll(c.fd.get(), scene_.sceneXml(pid_, net::kMajorVersion), kReplyStallMs);
        c.closed = true;
        return;
    case protocol::Request::Kind::Stream:
        break;
    }
    c.number = ++streams_;
    lastStream_ = net::nowMs();
    endProgress();
    console_ << "tavrin: receiving stream " << c.number << " (id " << request->id << ", mode "
             << request->mode << ")" << std::endl;
    c.state = Connection::State::Streaming;
    c.data.clear();
    c.streamBytes = 0;
    const std::string file = (std::filesystem::path(options_.outputDir) /
                              ("received-" + std::to_string(pid_) + "-" + std::to_string(c.number) + ".qrf"))
                                 .string();
    std::string error;
    if (!c.stream.open(file, error)) {
        console_ << "tavrin: stream " << c.number << " refused: " << error << std::endl;
        c.closed = true;
        return;
    }
    c.scanner = std::make_unique<ProgressScanner>(
        [this](const std::string& message, float fraction) { showProgress(message, fraction); });
    if (!net::sendAll(c.fd.get(), protocol::readyLine(net::kMajorVersion, pid_), kReplyStallMs))
        c.closed = true;
}

// The stream is checked in full (without building anything) and answered; only then is
// it parsed and taken in, so the sender waits for the check alone. Nothing else is served
// in between, so whatever asks after the answer sees the scene in effect.
void Server::finishStream(Connection& c)
{
    endProgress();
    const int number = c.number;
    const uint64_t size = c.streamBytes;
    const std::string& file = c.stream.file();
    std::string reason;
    if (c.stream.finish(reason))
        console_ << "tavrin: stream " << number << ": " << size << " bytes written to " << file << std::endl;
    else
        console_ << "tavrin: stream " << number << ": could not write " << file << ": " << reason << std::endl;

    const std::string_view bytes = c.stream.bytes();
    orv::qrf::ParseError error;
    if (!c.stream.readable())
        error = orv::qrf::ParseError{0, "the stream could not be read back", false};
    bool good = c.stream.readable() && orv::qrf::check(bytes, error);
    if (good && !isScene(bytes)) {
        good = false;
        error = orv::qrf::ParseError{0, "not a scene: neither a version record nor any group, camera or object", false};
    }
    std::string reply = "TAVRIN-RECEIVED " + std::to_string(size);
    if (good) {
        reply += " ok\n";
    } else {
        console_ << "tavrin: stream " << number << " is malformed at byte " << error.offset << ": "
                 << printable(error.message, 200) << std::endl;
        reply += " error " + std::to_string(error.offset) + " " + printable(error.message, 200) + "\n";
    }
    net::sendAll(c.fd.get(), reply, kReplyStallMs);
    if (good && takeIn(bytes, number, c.request.id)) {
        if (options_.writeHeld)
            writeHeld(file, number);
        if (options_.preview)
            drawPreview(file, number); // after the sender has its answer: it never waits for the picture
    }
    lastStream_ = net::nowMs();
}

bool Server::takeIn(std::string_view bytes, int number, unsigned id)
{
    try {
        orv::qrf::Document doc;
        orv::qrf::ParseError error;
        if (!orv::qrf::parse(bytes, doc, error)) // cannot happen after a good check
            throw std::runtime_error(error.message);
        for (const orv::qrf::Statement& s : doc.top.statements) {
            if (s.keyword == "#print" || s.keyword == "#error")
                console_ << "tavrin: " << s.keyword.substr(1) << ": " << printable(s.name(), 200)
                         << std::endl;
        }
        // The held scene is written in the bytes its parts arrived in, so their texts are kept.
        StreamText text = options_.writeHeld ? std::make_shared<const std::string>(bytes) : nullptr;
        std::vector<std::string> names = scene_.receive(doc, number, id, std::move(text));
        for (const std::string& name : names)
            console_ << "tavrin: model set \"" << printable(name, 200) << "\" is active" << std::endl;
        if (names.empty())
            console_ << "tavrin: stream " << number << " holds no scene group" << std::endl;
        return true;
    } catch (const std::exception& e) {
        // Out of memory on a huge scene: the renderer goes on serving.
        console_ << "tavrin: stream " << number << " could not be taken in: " << printable(e.what(), 200)
                 << std::endl;
        return false;
    }
}

// held-<pid>-<n>.qrf beside received-<pid>-<n>.qrf: what the renderer holds after stream n.
void Server::writeHeld(const std::string& receivedFile, int number)
{
    const std::string held =
        (std::filesystem::path(receivedFile).parent_path() /
         ("held-" + std::to_string(pid_) + "-" + std::to_string(number) + ".qrf"))
            .string();
    std::string text;
    std::string why;
    try {
        if (!scene_.heldText(text))
            why = "a part of the held scene came without its text";
        else
            tavrin::files::writeFileAtomically(held, text, &why);
    } catch (const std::exception& e) {
        why = e.what();
    }
    if (why.empty())
        console_ << "tavrin: stream " << number << ": held scene written to " << held << std::endl;
    else
        console_ << "tavrin: stream " << number << ": held scene not written: " << printable(why, 200) << std::endl;
}

void Server::drawPreview(const std::string& receivedFile, int number)
{
    previews_.request({number, std::filesystem::path(receivedFile).replace_extension(".png").string()});
}

// Runs in the preview's child process: draws the scene held now.
std::vector<std::string> Server::previewLines(const PreviewRequest& request) const
{
    const std::string head = "tavrin: stream " + std::to_string(request.number) + ": ";
    std::vector<std::string> lines;
    std::string error;
    preview::Result result;
    const int64_t started = net::nowMs();
    try {
        preview::Options options;
        options.width = options_.previewWidth;
        options.height = options_.previewHeight;
        options.camera = options_.previewCamera;
        options.timeLimitSeconds = options_.previewTimeLimit;
        const std::vector<const orv::qrf::Statement*> top = scene_.drawable();
        if (preview::render(top, options, result, error) && preview::writePng(request.png, result.image, error)) {
            lines.push_back(head + "preview " + std::to_string(options.width) + "x" +
                            std::to_string(options.height) + " written to " + request.png + " (" +
                            std::to_string(net::nowMs() - started) + " ms)");
            for (size_t i = 0; i < result.warnings.size() && i < 10; ++i)
                lines.push_back("tavrin: preview: " + printable(result.warnings[i], 200));
            return lines;
        }
    } catch (const std::exception& e) {
        error = e.what(); // out of memory on a huge scene
    }
    lines.push_back(head + "no preview: " + printable(error, 200));
    return lines;
}

void Server::showProgress(const std::string& message, float fraction)
{
    if (options_.quiet)
        return;
    if (!(fraction >= 0))
        fraction = 0;
    if (fraction > 1)
        fraction = 1;
    int percent = int(fraction * 100.0f + 0.5f);
    if (!tty_) {
        console_ << "progress " << percent << "% " << printable(message, 60) << "\n";
        return;
    }
    constexpr int width = 30;
    int filled = int(fraction * width + 0.5f);
    std::string bar(size_t(filled), '#');
    bar.append(size_t(width - filled), '.');
    std::string text = printable(message, 40);
    text.resize(43, ' ');
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3d%%", percent);
    console_ << "\r[" << bar << "] " << pct << " " << text << std::flush;
    barShown_ = true;
}

void Server::endProgress()
{
    if (barShown_)
        console_ << "\n";
    barShown_ = false;
}

} // namespace standin
