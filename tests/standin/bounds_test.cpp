// The stand-in renderer under a flood of streams keeps to its documented bounds: the files
// of its last N streams only, a memory budget and a cap on the scenes it holds (refusals
// are answered), names held and answered cut, stalled streams dropped after their limit,
// and queries answered within a second at the limit of its descriptors.
#include "net.h"
#include "protocol.h"
#include "scene_limits.h"
#include "standin_rig.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using standintest::ask;
using standintest::nowMs;
using standintest::portOf;
using standintest::Rig;

class StandinBounds : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Rig::waitForFreePorts(40000)) << "another renderer keeps answering on the live-link ports";
    }
    Rig rig;
};

std::string sceneWith(const std::string& group, const std::string& body = "")
{
    return "version 9\ngroup \"" + group + "\" {\n" + body + "}\n";
}

// A mesh of `floats` numbers as one binary run.
std::string binaryMesh(size_t floats)
{
    std::string run = "object \"M\" {\ngeometry \"triangles\" {\n\"vertices\" [ \x01\x02\x03" "c";
    const uint32_t count = uint32_t(floats);
    run.append(reinterpret_cast<const char*>(&count), 4);
    run.append(floats * 4, '\0');
    return run + "] ,\n}\n}\n";
}

std::vector<std::string> filesIn(const std::string& folder)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Whether the peer ends the connection (closes or resets it) before the deadline; what it
// sends first is read and let go.
bool endedByThePeer(int fd, int64_t deadline)
{
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int64_t left = deadline - nowMs();
        if (left <= 0 || ::poll(&p, 1, int(left)) <= 0)
            return false;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return true;
    }
}

// Processor time the process has used, in clock ticks.
long processorTicks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14)
            utime = std::atol(field.c_str());
        if (i == 15) {
            stime = std::atol(field.c_str());
            break;
        }
    }
    return utime + stime;
}

// Junk and scenes alike count as received; only the last N keep their files, however they
// are asked for.
TEST_F(StandinBounds, OnlyTheLastStreamsKeepTheirFiles)
{
    struct Case {
        const char* what;
        std::vector<std::string> args;
        const char* environment; // TAVRIN_STANDIN_KEEP
        size_t keep;
    };
    const Case cases[] = {{"--keep-received 3, held scenes written", {"--keep-received", "3", "--write-held"}, nullptr, 3},
                          {"TAVRIN_STANDIN_KEEP=2", {}, "2", 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.environment)
            ::setenv("TAVRIN_STANDIN_KEEP", c.environment, 1);
        const pid_t pid = rig.startRenderer(c.args);
        ::unsetenv("TAVRIN_STANDIN_KEEP");
        ASSERT_GT(pid, 0);
        const int port = portOf(pid);
        for (int i = 1; i <= 7; ++i)
            ask(port, standin::protocol::streamRequest(1, 1), i % 3 == 0 ? std::string("AAAA") : sceneWith("S" + std::to_string(i)));
        const std::string last = (fs::path(rig.output()) / ("received-" + std::to_string(pid) + "-7.png")).string();
        for (int i = 0; i < 200 && !fs::exists(last); ++i)
            ::usleep(50000);
        ::usleep(300000); // a picture of an earlier stream still on its way would land now
        std::vector<std::string> streams, expected;
        size_t pictures = 0, held = 0;
        for (const std::string& name : filesIn(rig.output())) {
            streams.push_back(name);
            pictures += name.ends_with(".png");
            held += name.starts_with("held-");
        }
        std::erase_if(streams, [](const std::string& name) { return !name.starts_with("received-") || !name.ends_with(".qrf"); });
        for (size_t n = 7 - c.keep + 1; n <= 7; ++n)
            expected.push_back("received-" + std::to_string(pid) + "-" + std::to_string(n) + ".qrf");
        EXPECT_EQ(streams, expected);
        EXPECT_TRUE(fs::exists(last));
        EXPECT_LE(pictures, c.keep);
        EXPECT_LE(held, c.keep);
        rig.stopRenderers();
        fs::remove_all(rig.output());
    }
}

// What passes the memory budget or the cap on scenes is refused with an answer that says
// so, and leaves the held scene as it was; a name past the cap is held cut, and the scene
// answer stays small and quick.
TEST_F(StandinBounds, RefusalsAreAnsweredAndLongNamesAreCut)
{
    std::string manyGroups = "version 9\n";
    for (size_t i = 0; i <= standin::limits::kMaxModelSets; ++i)
        manyGroups += "group \"G" + std::to_string(i) + "\" {\n}\n";
    const std::string longName(20 << 20, 'n');
    struct Case {
        const char* what;
        std::string text;
        const char* answer; // in the answer
        size_t setsAfter;
        std::string inScene = {}; // in the scene answer after it
    };
    const std::string cutName = "name=\"" + std::string(standin::limits::kMaxNameBytes, 'n') + "\"";
    struct Renderer {
        std::vector<std::string> args;
        std::vector<Case> cases;
    };
    const Renderer renderers[] = {
        {{"--memory-budget", "4"},
         {{"a scene of 1 MB", sceneWith("First", binaryMesh(249999)), " ok\n", 1},
          {"another of 2 MB", sceneWith("Second", binaryMesh(499998)), " ok\n", 2},
          {"one more that would pass the 4 MB budget", sceneWith("Third", binaryMesh(499998)),
           "error 0 refused: the renderer's memory budget of 4 MB would be passed", 2},
          {"the second again, replacing itself", sceneWith("Second", binaryMesh(499998)), " ok\n", 2},
          {"text that parses to more than the budget", sceneWith("Text", "\"list\" [ " + std::string(300000, '1') + " ] ,\n"),
           "error 0 refused: the renderer's memory budget", 2}}},
        {{},
         {{"more scene groups than are kept", manyGroups, "error 0 refused: the renderer holds 0 scenes and keeps at most 256", 0},
          {"a scene group name of 20 MB", sceneWith(longName), " ok\n", 1, cutName},
          {"the same name again", sceneWith(longName, "object \"O\" {\n}\n"), " ok\n", 1, "<objects>1</objects>"}}},
    };
    for (const Renderer& r : renderers) {
        const pid_t pid = rig.startRenderer(r.args);
        ASSERT_GT(pid, 0);
        const int port = portOf(pid);
        for (const Case& c : r.cases) {
            SCOPED_TRACE(c.what);
            const int64_t start = nowMs();
            const std::string answer = ask(port, standin::protocol::streamRequest(1, 1), c.text);
            EXPECT_NE(answer.find(c.answer), std::string::npos) << answer.substr(0, 300);
            EXPECT_LT(nowMs() - start, 20000);
            const int64_t asked = nowMs();
            const std::string scene = ask(port, standin::protocol::kQueryScene);
            EXPECT_LT(nowMs() - asked, 1000) << "the scene answer took its time";
            EXPECT_LT(scene.size(), 16u * 1024) << "the scene answer stays small";
            EXPECT_TRUE(scene.ends_with("</tavrin_scene>\n")) << "the scene answer is whole";
            size_t sets = 0;
            for (size_t at = scene.find("<modelset "); at != std::string::npos; at = scene.find("<modelset ", at + 1))
                ++sets;
            EXPECT_EQ(sets, c.setsAfter) << scene.substr(0, 300);
            EXPECT_NE(scene.find(c.inScene), std::string::npos) << scene.substr(0, 300);
        }
        rig.stopRenderers();
    }
}

// Streams that stall fill the descriptors: queries are still answered at once, the renderer
// does not spin, stalled streams go after their limit, and the renderer leaves when idle.
TEST_F(StandinBounds, StalledStreamsAtTheDescriptorLimit)
{
    const pid_t pid = rig.startRenderer({"--stall-limit", "2", "--idle-exit", "5"}, 256);
    ASSERT_GT(pid, 0);
    const int port = portOf(pid);
    const int64_t start = nowMs();
    std::vector<standin::net::Fd> stalled;
    for (int i = 0; i < 130; ++i) {
        standin::net::Fd fd = standin::net::connectLoopback(port, 2000);
        if (fd && standin::net::sendAll(fd.get(), standin::protocol::streamRequest(1, 1) + "version 9\n", 1000))
            stalled.push_back(std::move(fd));
    }
    EXPECT_GT(stalled.size(), 100u);
    const long ticks = processorTicks(pid);
    for (int i = 0; i < 5; ++i) {
        const int64_t asked = nowMs();
        EXPECT_NE(ask(port, standin::protocol::kQueryInstance).find("<process_id>" + std::to_string(pid)), std::string::npos);
        EXPECT_LT(nowMs() - asked, 1000) << "query " << i;
        ::usleep(100000);
    }
    EXPECT_LT(processorTicks(pid) - ticks, sysconf(_SC_CLK_TCK) / 2) << "the renderer spins";
    // After the stall limit every stalled stream is closed by the renderer (those it had no
    // room for at once).
    size_t closed = 0;
    for (standin::net::Fd& fd : stalled)
        closed += endedByThePeer(fd.get(), start + 8000);
    EXPECT_EQ(closed, stalled.size());
    // The clients hold on to their sockets, yet the renderer leaves by its idle time.
    EXPECT_EQ(standintest::exitStatusWithin(pid, 15000), 0);
    EXPECT_LT(nowMs() - start, 20000);
}

} // namespace
