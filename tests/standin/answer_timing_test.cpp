// When the stand-in renderer answers a stream: once the stream is checked, before the scene
// is taken in and before its preview is drawn, so the sender never waits for either. The
// renderer runs in-process on a thread; its console holds every line of the take-in and the
// preview until the client has the answer, so an answer that came only after them shows.
#include "net.h"
#include "protocol.h"
#include "server.h"
#include "standin_rig.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using standintest::nowMs;

// A console that keeps the renderer's lines and makes every line of the take-in or the
// preview wait (at most a few seconds) until the client has marked the answer arrived.
class GatedConsole : public std::streambuf {
public:
    void markAnswered()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answered_ = true;
        changed_.notify_all();
    }
    // Each line with whether the answer had arrived when the renderer wrote it.
    std::vector<std::pair<std::string, bool>> lines()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

protected:
    int overflow(int c) override
    {
        if (c != traits_type::eof())
            put(char(c));
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        for (std::streamsize i = 0; i < n; ++i)
            put(s[i]);
        return n;
    }

private:
    static bool afterTheAnswer(const std::string& line)
    {
        for (const char* mark : {"model set", "scene group", "taken in", "preview", "print:"})
            if (line.find(mark) != std::string::npos)
                return true;
        return false;
    }
    void put(char c)
    {
        if (c != '\n') {
            line_ += c;
            return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (afterTheAnswer(line_))
            changed_.wait_for(lock, std::chrono::seconds(2), [this] { return answered_; });
        lines_.emplace_back(std::move(line_), answered_);
        line_.clear();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool answered_ = false;
    std::string line_;
    std::vector<std::pair<std::string, bool>> lines_;
};

// Runs a server on a thread; stops it and waits for it however the test ends.
class ServingThread {
public:
    explicit ServingThread(standin::Server& server) : server_(server)
    {
        thread_ = std::thread([this] { server_.run(&stop_, nullptr); });
    }
    ~ServingThread()
    {
        stop_ = 1;
        standin::net::Fd wake = standin::net::connectLoopback(server_.port(), 2000); // ends the wait
        thread_.join();
    }

private:
    standin::Server& server_;
    volatile sig_atomic_t stop_ = 0;
    std::thread thread_;
};

TEST(StandinAnswer, ComesBeforeTheTakeInAndThePreview)
{
    standintest::Rig rig; // holds the live-link ports for this test
    GatedConsole gate;
    std::ostream console(&gate);
    standin::ServerOptions options;
    options.outputDir = rig.output();
    options.quiet = true;
    options.previewWidth = 64;
    options.previewHeight = 36;
    standin::Server server(options, console);
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    ServingThread serving(server);

    const std::string scene = "#print \"hello\"\nversion 9\n\ngroup \"Answered\" {\n}\n";
    standin::net::Fd fd = standin::net::connectLoopback(server.port(), 2000);
    ASSERT_TRUE(fd);
    ASSERT_TRUE(standin::net::sendAll(fd.get(), standin::protocol::streamRequest(6, 1) + scene, 2000));
    ::shutdown(fd.get(), SHUT_WR);
    std::string ready, received;
    ASSERT_TRUE(standin::net::readLine(fd.get(), ready, 512, nowMs() + 10000));
    ASSERT_TRUE(standin::net::readLine(fd.get(), received, 512, nowMs() + 10000));
    // At the answer the preview of this stream does not exist yet.
    const std::vector<std::string> files = rig.receivedFiles();
    ASSERT_EQ(files.size(), 1u);
    const auto png = std::filesystem::path(files[0]).replace_extension(".png");
    EXPECT_FALSE(std::filesystem::exists(png));
    gate.markAnswered();
    EXPECT_EQ(received, "TAVRIN-RECEIVED " + std::to_string(scene.size()) + " ok");

    // The renderer closes the stream once it has taken it in; the preview is drawn apart
    // from the serving and shows up within its time limit.
    std::string rest;
    EXPECT_TRUE(standin::net::readToEnd(fd.get(), rest, 1 << 16, nowMs() + 20000));
    EXPECT_EQ(rest, "");
    const auto countAfterTheAnswer = [&gate] {
        size_t count = 0;
        for (const auto& [line, answered] : gate.lines()) {
            if (line.find("model set") != std::string::npos || line.find("preview") != std::string::npos ||
                line.find("print:") != std::string::npos) {
                EXPECT_TRUE(answered) << "written before the answer: " << line;
                ++count;
            }
        }
        return count;
    };
    const int64_t drawnBy = nowMs() + 20000;
    while ((countAfterTheAnswer() < 3 || !std::filesystem::exists(png)) && nowMs() < drawnBy)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(std::filesystem::exists(png));
    // Every line of the take-in and the preview was written after the answer had arrived.
    EXPECT_EQ(countAfterTheAnswer(), 3u); // the print record, the model set and the preview

    // And the scene is in effect for what the renderer serves next.
    standin::net::Fd query = standin::net::connectLoopback(server.port(), 2000);
    ASSERT_TRUE(query);
    ASSERT_TRUE(standin::net::sendAll(query.get(), standin::protocol::kQueryScene, 2000));
    std::string description;
    EXPECT_TRUE(standin::net::readToEnd(query.get(), description, 1 << 20, nowMs() + 10000));
    EXPECT_NE(description.find("name=\"Answered\""), std::string::npos) << description;
}

} // namespace
