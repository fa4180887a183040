#include "drawing_child.h"

#include "Png.h"
#include "net.h"
#include "scene_limits.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string_view>

namespace standin::drawing {

namespace {

std::string printable(std::string_view text, size_t max)
{
    std::string out;
    for (char c : text.substr(0, max))
        out.push_back(static_cast<unsigned char>(c) < 0x20 ? '?' : c);
    if (text.size() > max)
        out += "...";
    return out;
}

class Child {
public:
    Child(int socket, SceneState& scene, const Settings& settings) : socket_(socket), scene_(scene), settings_(settings)
    {
    }

    void serve(std::optional<StreamMessage> pending)
    {
        for (;;) {
            // Everything that waits is taken in before a picture is drawn.
            for (;;) {
                int fd = -1;
                const std::optional<std::string> message = receiveMessage(socket_, pending ? 0 : -1, fd);
                if (!message)
                    break;
                if (message->empty())
                    return; // the server is gone
                if (std::optional<StreamMessage> stream = takeIn(*message, fd))
                    pending = std::move(stream);
                else
                    pending.reset();
            }
            if (pending)
                draw(*pending);
            pending.reset();
        }
    }

private:
    void say(const std::string& line) { sendMessage(socket_, "L " + line); }

    // Takes in the stream a message passes on; nullopt when it cannot (said why: the held
    // scenes then differ, so this process ends and the server starts another).
    std::optional<StreamMessage> takeIn(const std::string& message, int fd)
    {
        net::Fd bytes(fd);
        std::optional<StreamMessage> stream = parseStreamMessage(message);
        if (!stream || !bytes) {
            say("tavrin: drawing: a message that is no stream, ignored");
            return std::nullopt;
        }
        struct stat st {};
        void* mapped = MAP_FAILED;
        if (::fstat(bytes.get(), &st) == 0 && st.st_size > 0)
            mapped = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, bytes.get(), 0);
        std::string why = mapped == MAP_FAILED ? "the stream cannot be read" : "";
        if (why.empty()) {
            try {
                orv::qrf::Document doc;
                orv::qrf::ParseError error;
                if (orv::qrf::parse(std::string_view(static_cast<const char*>(mapped), size_t(st.st_size)), doc, error)) {
                    limits::capGroupNames(doc); // as the server did
                    scene_.receive(doc, stream->number, stream->id);
                }
                else
                    why = error.message;
            } catch (const std::exception& e) {
                why = e.what(); // out of memory
            }
            ::munmap(mapped, size_t(st.st_size));
        }
        if (why.empty())
            return stream;
        say("tavrin: stream " + std::to_string(stream->number) + ": no preview: the drawing could not take the stream in: " +
            printable(why, 200));
        sendMessage(socket_, "E " + std::to_string(stream->number));
        ::_exit(3);
    }

    void draw(const StreamMessage& stream)
    {
        const std::string head = "tavrin: stream " + std::to_string(stream.number) + ": ";
        sendMessage(socket_, "B " + std::to_string(stream.number));
        const preview::Options& options = settings_.options;
        std::string error;
        std::string quick;
        const auto first = [&](const preview::Image& image) {
            std::string why;
            const std::string path = quickPath(stream.png);
            if (preview::writePng(path, image, why, preview::PngCompression::Fast)) {
                quick = path;
                sendMessage(socket_, pictureMessage({true, stream.number, net::nowMs() - stream.arrivedMs, path, ""}));
            }
        };
        try {
            preview::Result result;
            const std::vector<const orv::qrf::Statement*> top = scene_.drawable();
            if (drawing_.draw(top, options, result, error, settings_.quick ? preview::Drawing::QuickPicture(first)
                                                                          : preview::Drawing::QuickPicture()) &&
                preview::writePng(stream.png, result.image, error, preview::PngCompression::Fast)) {
                const int64_t ms = net::nowMs() - stream.arrivedMs;
                const std::string changed = drawing_.changes().summary();
                say(head + "preview " + std::to_string(options.width) + "x" + std::to_string(options.height) +
                    " written to " + stream.png + " (" + std::to_string(ms) + " ms after the stream arrived; " +
                    changed + ")");
                for (size_t i = 0; i < result.warnings.size() && i < 10; ++i)
                    say("tavrin: preview: " + printable(result.warnings[i], 200));
                if (!quick.empty())
                    ::unlink(quick.c_str());
                sendMessage(socket_, pictureMessage({false, stream.number, ms, stream.png, changed}));
                return;
            }
        } catch (const std::exception& e) {
            error = e.what(); // out of memory on a huge scene
        }
        if (!quick.empty())
            ::unlink(quick.c_str());
        say(head + "no preview: " + printable(error, 200));
        sendMessage(socket_, "E " + std::to_string(stream.number));
    }

    int socket_;
    SceneState& scene_;
    const Settings& settings_;
    preview::Drawing drawing_;
};

} // namespace

std::string quickPath(const std::string& png)
{
    std::filesystem::path p(png);
    return (p.parent_path() / (p.stem().string() + "-quick.png")).string();
}

void serve(int socket, SceneState& scene, const Settings& settings, std::optional<StreamMessage> first)
{
    try {
        Child child(socket, scene, settings);
        child.serve(std::move(first));
    } catch (const std::exception& e) {
        sendMessage(socket, std::string("L tavrin: drawing: ") + e.what());
    }
}

} // namespace standin::drawing
