// The stand-in live library (orvtavrinlive6.so, also built as orvtavrinlive.so): the
// plug-in loads it from the renderer's bundle, takes the live object from
// tavrin_live_initialize and uses its scene API back end and query API.
//
// The back end carries the scene API to a stand-in renderer as the very text the scene
// file writer produces: an orvScene_api_file writes into a stdio stream whose output goes
// to the socket. Sending never raises SIGPIPE and never blocks for longer than a few
// seconds at a time; once the renderer has vanished or stopped reading, the stream fails
// and everything after it is dropped, so the host lives on.
#include "net.h"
#include "protocol.h"

#include "ForwardingApi.h"
#include "orvScene_api_file.h"
#include "tavrin_live.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

using standin::net::Fd;
using standin::net::nowMs;

constexpr int kConnectTimeoutMs = 2000;
constexpr int kReadyTimeoutMs = 3000;
// Longest wait for room in the socket while sending; then the renderer counts as gone.
constexpr int kStallMs = 5000;
// Wait for the renderer to confirm a finished stream: a base plus time to read what it got.
constexpr int kReceivedBaseMs = 10000;
constexpr uint64_t kReceivedBytesPerMs = 20000;
constexpr int kProbeTimeoutMs = 1000;
constexpr int kSceneTimeoutMs = 2000;
constexpr size_t kMaxAnswer = 16u << 20;
constexpr size_t kStreamBuffer = 256 * 1024;

// The socket under the stdio stream. Counts what went out and remembers a failure.
struct SocketSink {
    int fd = -1;
    bool failed = false;
    uint64_t sent = 0;
};

ssize_t sinkWrite(void* cookie, const char* data, size_t size)
{
    auto* sink = static_cast<SocketSink*>(cookie);
    if (sink->failed)
        return 0; // dropped: the stream stays failed
    if (!standin::net::sendAll(sink->fd, data, size, kStallMs)) {
        sink->failed = true;
        return 0;
    }
    sink->sent += size;
    return ssize_t(size);
}

// The back end that takes the calls while nothing is connected: every call is accepted and
// dropped. It holds no state, so all live objects share it.
NullApi& unconnected()
{
    static NullApi nothing;
    return nothing;
}

// The scene API back end. Before connect and after disconnect every operation goes to a
// NullApi; while connected, to a text writer over the socket stream.
class LiveSceneApi final : public ForwardingApi {
public:
    LiveSceneApi() : ForwardingApi(unconnected()) {}
    ~LiveSceneApi() override { disconnect(); }

    bool connect(const char* host, unsigned port, int mode) override
    {
        disconnect();
        if (!host || (std::strcmp(host, "127.0.0.1") != 0 && std::strcmp(host, "localhost") != 0))
            return false; // stand-in renderers listen on the loopback address only
        if (port < 1 || port > 65535)
            return false;
        Fd fd = standin::net::connectLoopback(int(port), kConnectTimeoutMs);
        if (!fd)
            return false;
        if (!standin::net::sendAll(fd.get(), standin::protocol::streamRequest(id_, mode), kStallMs))
            return false;
        std::string line;
        if (!standin::net::readLine(fd.get(), line, standin::protocol::kMaxLine,
                                    nowMs() + kReadyTimeoutMs))
            return false; // a listener that does not answer is not a renderer
        if (!standin::protocol::parseReady(line))
            return false;

        sink_ = std::make_unique<SocketSink>();
        sink_->fd = fd.get();
        cookie_io_functions_t io{};
        io.write = sinkWrite;
        FILE* stream = fopencookie(sink_.get(), "w", io);
        if (!stream) {
            sink_.reset();
            return false;
        }
        std::setvbuf(stream, nullptr, _IOFBF, kStreamBuffer);
        socket_ = std::move(fd);
        stream_ = stream;
        writer_ = std::make_unique<orv::orvScene_api_file>(stream_, true);
        forwardTo(*writer_);
        return true;
    }

    // Flushes and ends the stream, then waits (bounded) for the renderer to confirm that
    // it took the scene in. 0 when it did, -1 otherwise (also when nothing was connected).
    int disconnect() override
    {
        if (!writer_)
            return -1;
        forwardTo(unconnected());
        writer_.reset();
        std::fflush(stream_);
        std::fclose(stream_);
        stream_ = nullptr;
        int result = -1;
        if (!sink_->failed && ::shutdown(socket_.get(), SHUT_WR) == 0) {
            int64_t wait = kReceivedBaseMs + int64_t(sink_->sent / kReceivedBytesPerMs);
            std::string line;
            if (standin::net::readLine(socket_.get(), line, standin::protocol::kMaxLine, nowMs() + wait) &&
                line.rfind("TAVRIN-RECEIVED ", 0) == 0 && line.find(" ok") != std::string::npos)
                result = 0;
        }
        socket_.reset();
        sink_.reset();
        return result;
    }

    // Before a connection the id is kept and goes to the renderer with the connection.
    void id(unsigned id) override
    {
        if (writer_)
            writer_->id(id);
        else
            id_ = id;
    }

    bool connected() const { return writer_ != nullptr; }
    bool streamFailed() const { return sink_ && sink_->failed; }

private:
    unsigned id_ = 0;
    Fd socket_;
    std::unique_ptr<SocketSink> sink_;
    FILE* stream_ = nullptr;
    std::unique_ptr<orv::orvScene_api_file> writer_;
};

// The query API: lists the stand-in renderers on the known ports and fetches the scene
// description of the one selected.
class LiveQueryApi final : public TavrinQueryApi {
public:
    const char* instances_xml() override
    {
        known_.clear();
        instances_ = "<tavrin_instances>\n";
        auto answers = standin::net::probePorts(standin::net::kFirstPort, standin::net::kLastPort,
                                                standin::protocol::kQueryInstance, kProbeTimeoutMs,
                                                kMaxAnswer);
        for (const auto& answer : answers) {
            int64_t pid = 0;
            if (!instanceElement(answer.text, pid)) {
                // Something else listens there: what it said, for the user's message.
                if (!answer.text.empty())
                    instances_ += "<not_a_renderer port=\"" + std::to_string(answer.port) + "\">" +
                                  shownAnswer(answer.text) + "</not_a_renderer>\n";
                continue;
            }
            known_.push_back(Known{pid, answer.port});
            instances_ += answer.text;
            if (instances_.back() != '\n')
                instances_ += '\n';
        }
        instances_ += "</tavrin_instances>\n";
        return instances_.c_str();
    }

    bool select_instance(int64_t process_id) override
    {
        end_selection();
        const Known* instance = nullptr;
        for (const Known& k : known_)
            if (k.pid == process_id)
                instance = &k;
        if (!instance)
            return false;
        Fd fd = standin::net::connectLoopback(instance->port, kConnectTimeoutMs);
        if (!fd)
            return false;
        const int64_t deadline = nowMs() + kSceneTimeoutMs;
        if (!standin::net::sendAll(fd.get(), standin::protocol::kQueryScene, kSceneTimeoutMs))
            return false;
        std::string text;
        if (!standin::net::readToEnd(fd.get(), text, kMaxAnswer, deadline))
            return false;
        // Another process may have taken the port since the listing.
        if (text.find("process_id=\"" + std::to_string(process_id) + "\"") == std::string::npos)
            return false;
        scene_ = std::move(text);
        selected_ = true;
        return true;
    }

    void reserved_query1() override {}
    void end_selection() override
    {
        selected_ = false;
        scene_.clear();
    }
    void reserved_query2() override {}
    void reserved_query3() override {}
    const char* scene_xml() override { return selected_ ? scene_.c_str() : nullptr; }

    void reset()
    {
        end_selection();
        known_.clear();
        instances_.clear();
    }

private:
    struct Known {
        int64_t pid;
        int port;
    };

    // The start of an answer that is no renderer's, as XML text: printable ASCII only.
    static std::string shownAnswer(const std::string& text)
    {
        std::string out;
        for (size_t i = 0; i < text.size() && i < 60; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (c == '<') out += "&lt;";
            else if (c == '>') out += "&gt;";
            else if (c == '&') out += "&amp;";
            else out += c >= 0x20 && c < 0x7f ? char(c) : '?';
        }
        if (text.size() > 60)
            out += "...";
        return out;
    }

    // Accepts one instance element as a stand-in renderer answers it and takes its
    // process id; anything else on a known port is not a renderer.
    static bool instanceElement(const std::string& text, int64_t& pid)
    {
        static const std::string open = "<tavrin_instance>";
        static const std::string close = "</tavrin_instance>";
        if (text.compare(0, open.size(), open) != 0)
            return false;
        size_t end = text.find(close);
        if (end == std::string::npos || text.find_first_not_of("\r\n", end + close.size()) != std::string::npos)
            return false;
        if (text.find('<', open.size()) == std::string::npos)
            return false;
        size_t p = text.find("<process_id>");
        if (p == std::string::npos)
            return false;
        p += std::strlen("<process_id>");
        char* stop = nullptr;
        long long v = std::strtoll(text.c_str() + p, &stop, 10);
        if (stop == text.c_str() + p || std::strncmp(stop, "</process_id>", 13) != 0 || v <= 0)
            return false;
        pid = v;
        return true;
    }

    std::vector<Known> known_;
    std::string instances_;
    std::string scene_;
    bool selected_ = false;
};

class LiveObject final : public TavrinLive {
public:
    void reserved_live() override {}
    void shutdown() override
    {
        scene_.disconnect();
        query_.reset();
    }
    orvScene_api* scene_api() override { return &scene_; }
    TavrinQueryApi* query_api() override { return &query_; }

private:
    LiveSceneApi scene_;
    LiveQueryApi query_;
};

} // namespace

extern "C" __attribute__((visibility("default"))) TavrinLive* tavrin_live_initialize()
{
    static LiveObject live;
    return &live;
}
