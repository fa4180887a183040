#include "server.h"

#include "server_connection.h"

#include "Png.h"
#include "Preview.h"
#include "files/private_file.h"
#include "protocol.h"
#include "stream_store.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace standin {

namespace {

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


namespace {

drawing::Settings drawingSettings(const ServerOptions& options)
{
    drawing::Settings settings;
    settings.options.width = options.previewWidth;
    settings.options.height = options.previewHeight;
    settings.options.camera = options.previewCamera;
    settings.options.timeLimitSeconds = options.previewTimeLimit;
    settings.quick = options.viewPort > 0; // a page shows the quick pictures
    return settings;
}

} // namespace

Server::Server(ServerOptions options, std::ostream& console)
    : options_(std::move(options)), console_(console), pid_(int64_t(::getpid())),
      drawing_(console, drawingSettings(options_), scene_,
               [this](const drawing::PictureMessage& picture) { pictureWritten(picture); }),
      received_(options_.outputDir, pid_, options_.keepReceived), view_(console)
{
    options_.preview = options_.preview || options_.viewPort > 0;
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
        // A burst of clients waits to be accepted, not dropped: a connection that finds the
        // queue full is tried again by its client only a second later. The system caps the
        // length at its own maximum.
        if (::listen(s.get(), 1024) != 0)
            continue;
        listener_ = std::move(s);
        port_ = port;
        lastStream_ = net::nowMs();
        startView();
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
    if (!viewNote_.empty())
        console_ << "tavrin: " << viewNote_ << std::endl;
    std::vector<pollfd> fds;
    for (;;) {
        if (stop && *stop) {
            endProgress();
            console_ << "tavrin: stopping on request" << std::endl;
            return 0;
        }
        int64_t now = net::nowMs();
        closeIdleRequests(now);
        dropStalled(now);
        drawing_.checkDeadline(now);

        // Idle means no scene arriving: queries do not keep a renderer alive, or every
        // listing of instances would.
        bool receiving = false;
        bool awaitingRequest = false;
        fds.clear();
        fds.push_back(pollfd{listener_.get(), POLLIN, 0});
        for (const auto& c : connections_) {
            const short events = c->state == Connection::State::Stalled     ? 0
                                 : c->state == Connection::State::Answering ? POLLOUT
                                                                           : POLLIN;
            receiving = receiving || c->state == Connection::State::Streaming;
            awaitingRequest = awaitingRequest || c->state != Connection::State::Stalled;
            fds.push_back(pollfd{c->fd.get(), events, 0});
        }
        const size_t connectionCount = connections_.size();
        const size_t viewAt = fds.size();
        if (view_.running())
            fds.push_back(pollfd{view_.fd(), POLLIN, 0});
        const size_t drawingAt = fds.size();
        if (drawing_.running())
            fds.push_back(pollfd{drawing_.fd(), POLLIN, 0});

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
            waitMs = 1000; // to drop clients that never send their request, or stop sending
        if (const int64_t previewMs = drawing_.msUntilDeadline(now); previewMs >= 0 && (waitMs < 0 || previewMs < waitMs))
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
            if (c.closed)
                continue;
            if (c.state == Connection::State::Answering && (fds[i].revents & (POLLOUT | POLLHUP | POLLERR)))
                writeTo(c);
            else if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                readFrom(c);
        }
        if (viewAt < drawingAt && (fds[viewAt].revents & (POLLIN | POLLHUP | POLLERR)))
            view_.onReadable();
        if (drawingAt < fds.size() && (fds[drawingAt].revents & (POLLIN | POLLHUP | POLLERR)))
            drawing_.onReadable();
        std::erase_if(connections_, [](const auto& c) { return c->closed; });
    }
}


void Server::readFrom(Connection& c)
{
    if (c.state == Connection::State::Stalled || c.state == Connection::State::Answering || c.closed)
        return;
    c.heard = net::nowMs();
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
    if (c.state == Connection::State::Streaming)
        lastStream_ = c.heard;

    if (c.state == Connection::State::Draining)
        return;
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
    c.scanner->feed(data, size);
    // A stream that cannot fit the memory budget is refused while it arrives, not after
    // gigabytes of it were written.
    const std::string why =
        c.streamBytes > kMaxStreamBytes ? std::string("refused: the stream is larger than the limit") : refusalOf(c);
    if (!why.empty()) {
        endProgress();
        console_ << "tavrin: stream " << c.number << " dropped after " << c.streamBytes << " bytes: " << why
                 << std::endl;
        net::sendAll(c.fd.get(), "TAVRIN-RECEIVED " + std::to_string(c.streamBytes) + " error 0 " + why + "\n",
                     kReplyStallMs);
        // The sender reads the answer once it has sent all: until then its bytes are read
        // and let go (closing now would lose the answer).
        c.stream.discard();
        c.state = Connection::State::Draining;
        return;
    }
    std::string error;
    if (!c.stream.append(data, size, error)) {
        endProgress();
        console_ << "tavrin: stream " << c.number << " dropped: " << error << std::endl;
        c.closed = true;
        return;
    }
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
        answer(c, instanceXml(net::kMajorVersion, pid_, port_));
        return;
    case protocol::Request::Kind::QueryScene:
        answer(c, sceneAnswer());
        return;
    case protocol::Request::Kind::Stream:
        break;
    }
    // The stream's file takes one more descriptor; streams leave some for queries.
    if (descriptorsHeld() + 1 + limits::DescriptorBudget::kForQueries > descriptors_.forConnections() && !makeRoom()) {
        console_ << "tavrin: a stream is refused: out of descriptors" << std::endl;
        c.closed = true;
        return;
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
    const int64_t arrived = net::nowMs();
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
    const std::string refused = good ? refusalOf(c) : std::string();
    received_.add(number);
    std::string reply = "TAVRIN-RECEIVED " + std::to_string(size);
    if (good && refused.empty()) {
        reply += " ok\n";
    } else if (good) {
        good = false;
        console_ << "tavrin: stream " << number << " " << refused << std::endl;
        reply += " error 0 " + refused + "\n";
    } else {
        console_ << "tavrin: stream " << number << " is malformed at byte " << error.offset << ": "
                 << printable(error.message, 200) << std::endl;
        reply += " error " + std::to_string(error.offset) + " " + printable(error.message, 200) + "\n";
    }
    net::sendAll(c.fd.get(), reply, kReplyStallMs);
    if (good) {
        const bool taken = takeIn(bytes, number, c.request.id);
        sceneChanged_ = true;
        measureHeld();
        if (taken) {
            if (options_.writeHeld)
                writeHeld(file, number);
            if (options_.preview)
                drawPreview(c, arrived); // after the sender has its answer: it never waits for the picture
        } else {
            drawing_.restart(); // the held scene may have been changed half-way
        }
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
        limits::capGroupNames(doc);
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

// Why a checked stream must not be taken in, or "": the model sets it would add, and what
// its parse would take (see limits/scene_limits.h).
std::string Server::refusalOf(const Connection& c) const
{
    std::vector<std::string> named;
    size_t newSets = c.scanner->groupsPassed() ? 1 : 0;
    uint64_t replaced = 0;
    for (const std::string& name : c.scanner->topGroups()) {
        const std::string held = limits::heldName(name);
        if (std::find(named.begin(), named.end(), held) != named.end())
            continue;
        named.push_back(held);
        const auto set = setBytes_.find(held);
        if (set == setBytes_.end())
            ++newSets;
        else
            replaced += set->second;
    }
    const uint64_t staying = heldBytes_ > replaced ? heldBytes_ - replaced : 0;
    return limits::refusal(
        scene_.modelSets().size(), newSets, staying,
        limits::parsedEstimate(c.streamBytes, c.scanner->binaryBytes(), c.scanner->quotedBytes()), options_.memoryBudget);
}

void Server::measureHeld()
{
    heldBytes_ = limits::parsedBytes(scene_.drawable());
    setBytes_.clear();
    for (const ModelSet& set : scene_.modelSets())
        setBytes_[set.name] = limits::parsedBytes({&set.group});
}

const std::string& Server::sceneAnswer()
{
    if (sceneChanged_)
        sceneXml_ = scene_.sceneXml(pid_, net::kMajorVersion);
    sceneChanged_ = false;
    return sceneXml_;
}

// A picture finished for a stream whose files were removed meanwhile goes too: the output
// folder holds what the bound says.
void Server::pictureWritten(const drawing::PictureMessage& picture)
{
    if (!received_.kept(picture.number))
        received_.remove(picture.number);
    else
        view_.picture(picture);
}

void Server::startView()
{
    if (options_.viewPort <= 0)
        return;
    view::PageSettings settings;
    settings.port = options_.viewPort;
    settings.width = options_.previewWidth;
    settings.height = options_.previewHeight;
    settings.rendererPid = pid_;
    std::string error;
    if (view_.start(settings, error))
        viewNote_ = "live page on http://127.0.0.1:" + std::to_string(options_.viewPort) + "/";
    else
        viewNote_ = "no live page: " + error;
}

void Server::drawPreview(const Connection& c, int64_t arrived)
{
    drawing::StreamMessage stream;
    stream.number = c.number;
    stream.id = c.request.id;
    stream.mode = c.request.mode;
    stream.arrivedMs = arrived;
    stream.png = std::filesystem::path(c.stream.file()).replace_extension(".png").string();
    drawing_.taken(stream, c.stream.fd());
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
