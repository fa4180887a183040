#include "view_server.h"

#include "drawing_messages.h"
#include "files/regular_file.h"
#include "net.h"
#include "view_page.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <unistd.h>

namespace standin::view {

namespace {

constexpr long long kMaxPictureBytes = 256ll << 20;
constexpr int kMaxEventStreams = 4;
constexpr int kThreads = 8;
// An event stream says something at least this often, so a page that went away is noticed.
constexpr auto kKeepAlive = std::chrono::seconds(15);

struct Shown {
    drawing::PictureMessage picture;
    std::string name; // "<n>" or "<n>-quick", as its address has it
    std::string png;  // the file's bytes
};

// The pictures the page can show: the latest full one and the latest quick one. Shared by
// the page's threads and the one that hears of new pictures.
class Board {
public:
    void put(Shown shown)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::optional<Shown>& slot = shown.picture.quick ? quick_ : full_;
        slot = std::move(shown);
        latest_ = &*slot;
        ++version_;
        changed_.notify_all();
    }

    std::optional<std::string> png(const std::string& name)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::optional<Shown>* s : {&full_, &quick_})
            if (*s && (*s)->name == name)
                return (*s)->png;
        return std::nullopt;
    }

    // Waits until a picture newer than `seen` is there (then its event, and `seen` moves on),
    // the keep-alive time passes (an empty event) or the board closes (nullopt).
    std::optional<std::string> next(unsigned& seen)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, kKeepAlive, [&] { return closed_ || (latest_ && version_ != seen); });
        if (closed_)
            return std::nullopt;
        if (!latest_ || version_ == seen)
            return std::string();
        seen = version_;
        const drawing::PictureMessage& p = latest_->picture;
        const nlohmann::json event = {{"number", p.number}, {"quick", p.quick},   {"ms", p.ms},
                                      {"changed", p.changed}, {"url", "/picture/" + latest_->name + ".png"}};
        return event.dump();
    }

    void close()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<Shown> full_, quick_;
    const Shown* latest_ = nullptr;
    unsigned version_ = 0;
    bool closed_ = false;
};

std::string filled(std::string page, const PageSettings& settings)
{
    const std::pair<std::string, std::string> fields[] = {{"@WIDTH@", std::to_string(settings.width)},
                                                          {"@HEIGHT@", std::to_string(settings.height)},
                                                          {"@MAJOR@", std::to_string(net::kMajorVersion)},
                                                          {"@PID@", std::to_string(settings.rendererPid)}};
    for (const auto& [field, value] : fields)
        for (size_t at = page.find(field); at != std::string::npos; at = page.find(field, at + value.size()))
            page.replace(at, field.size(), value);
    return page;
}

// Whether the request names this server as a browser does when it came here directly.
bool addressedHere(const httplib::Request& request, int port)
{
    const std::string host = request.get_header_value("Host");
    const std::string suffix = ":" + std::to_string(port);
    return host == "127.0.0.1" + suffix || host == "localhost" + suffix;
}

bool pictureName(const std::string& path, std::string& name)
{
    constexpr std::string_view prefix = "/picture/", suffix = ".png";
    if (!path.starts_with(prefix) || !path.ends_with(suffix) || path.size() <= prefix.size() + suffix.size())
        return false;
    name = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    std::string_view number = name;
    if (number.ends_with("-quick"))
        number.remove_suffix(6);
    return !number.empty() && number.size() < 12 && number.find_first_not_of("0123456789") == std::string_view::npos;
}

void refuse(httplib::Response& response, int status, const char* why)
{
    response.status = status;
    response.set_content(std::string(why) + "\n", "text/plain");
}

class Page {
public:
    Page(const PageSettings& settings, Board& board) : settings_(settings), board_(board), page_(filled(kPage, settings))
    {
        server_.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
        server_.set_keep_alive_max_count(20);
        server_.set_read_timeout(5, 0);
        server_.set_write_timeout(5, 0);
        server_.set_payload_max_length(4096);
        server_.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
            return screen(request, response);
        });
        server_.Get("/", [this](const httplib::Request&, httplib::Response& response) {
            response.set_header("Cache-Control", "no-store");
            response.set_content(page_, "text/html; charset=utf-8");
        });
        server_.Get(R"(/picture/[0-9]+(-quick)?\.png)", [this](const httplib::Request& request, httplib::Response& response) {
            std::string name;
            std::optional<std::string> png = pictureName(request.path, name) ? board_.png(name) : std::nullopt;
            if (!png)
                return refuse(response, 404, "no such picture (only the latest is kept)");
            response.set_header("Cache-Control", "no-store");
            response.set_content(std::move(*png), "image/png");
        });
        server_.Get("/events", [this](const httplib::Request&, httplib::Response& response) { events(response); });
    }

    bool bind(std::string& error)
    {
        if (server_.bind_to_port("127.0.0.1", settings_.port))
            return true;
        error = "port " + std::to_string(settings_.port) + " on 127.0.0.1 is not free";
        return false;
    }
    void serve() { server_.listen_after_bind(); }
    void stop() { server_.stop(); }

private:
    // Only GET (and HEAD) of the page's own addresses, asked of this address.
    httplib::Server::HandlerResponse screen(const httplib::Request& request, httplib::Response& response)
    {
        std::string name;
        const bool known = request.path == "/" || request.path == "/events" || pictureName(request.path, name);
        if (!addressedHere(request, settings_.port))
            refuse(response, 403, "this page answers only at its own address");
        else if (request.method != "GET" && request.method != "HEAD")
            refuse(response, 405, "only GET");
        else if (!known)
            refuse(response, 404, "not found");
        else
            return httplib::Server::HandlerResponse::Unhandled;
        return httplib::Server::HandlerResponse::Handled;
    }

    void events(httplib::Response& response)
    {
        if (streams_.fetch_add(1) >= kMaxEventStreams) {
            streams_.fetch_sub(1);
            return refuse(response, 503, "too many pages are watching");
        }
        response.set_header("Cache-Control", "no-store");
        auto seen = std::make_shared<unsigned>(0);
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, seen](size_t, httplib::DataSink& sink) {
                const std::optional<std::string> event = board_.next(*seen);
                if (!event)
                    return false;
                const std::string text = event->empty() ? std::string(": still here\n\n")
                                                        : "event: picture\ndata: " + *event + "\n\n";
                return sink.write(text.data(), text.size());
            },
            [this](bool) { streams_.fetch_sub(1); });
    }

    const PageSettings& settings_;
    Board& board_;
    std::string page_;
    httplib::Server server_;
    std::atomic<int> streams_{0};
};

} // namespace

int servePage(int socket, const PageSettings& settings)
{
    try {
        Board board;
        Page page(settings, board);
        std::string error;
        if (!page.bind(error)) {
            drawing::sendMessage(socket, "error " + error);
            return 1;
        }
        drawing::sendMessage(socket, "ok");
        std::thread serving([&page] { page.serve(); });
        for (;;) {
            int fd = -1;
            const std::optional<std::string> message = drawing::receiveMessage(socket, -1, fd);
            if (fd >= 0)
                ::close(fd);
            if (!message || message->empty())
                break; // the renderer is gone
            std::optional<drawing::PictureMessage> picture = drawing::parsePictureMessage(*message);
            Shown shown;
            if (!picture || !tavrin::files::readRegularFile(picture->png, shown.png, nullptr, kMaxPictureBytes))
                continue; // a picture already gone is replaced by the next
            shown.name = std::to_string(picture->number) + (picture->quick ? "-quick" : "");
            shown.picture = std::move(*picture);
            board.put(std::move(shown));
        }
        board.close();
        page.stop();
        serving.join();
        return 0;
    } catch (const std::exception& e) {
        drawing::sendMessage(socket, std::string("error ") + e.what());
        return 1;
    }
}

} // namespace standin::view
