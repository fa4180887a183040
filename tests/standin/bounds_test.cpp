// The stand-in renderer under a flood of streams keeps to its documented bounds: the files
// of its last N streams only, a memory budget and a cap on the scenes it holds (refusals
// are answered), names held and answered cut, stalled streams dropped after their limit,
// resident memory within the budget's reach, and queries answered within a second at the
// limit of its descriptors.
#include "net.h"
#include "protocol.h"
#include "scene_limits.h"
#include "standin_rig.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <sstream>
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

// Resident memory of a process in bytes: now ("VmRSS") or at its peak ("VmHWM").
uint64_t residentBytes(pid_t pid, const std::string& field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(field + ":"))
            return uint64_t(std::atoll(line.c_str() + field.size() + 1)) * 1024;
    return 0;
}

// The renderer's drawing process (its only child), or 0.
pid_t drawingOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    pid_t child = 0;
    in >> child;
    return child;
}

// A stream that opens, says it is a scene and sends nothing more.
standin::net::Fd stalledStream(int port)
{
    standin::net::Fd fd = standin::net::connectLoopback(port, 2000);
    if (fd && !standin::net::sendAll(fd.get(), standin::protocol::streamRequest(1, 1) + "version 9\n", 1000))
        fd.reset();
    return fd;
}

// A flood of streams under a limit of 256 descriptors: junk, scenes small and large, some
// past the memory budget or the cap on scenes, a 20 MB group name, and between them ever
// more streams that stall. Each stream gets its answer (refusals say why) within 20 s, and
// after each the renderer answers queries within a second, small and whole; in the end the
// output folder holds the files of the last streams only, none larger than the budget,
// resident memory stayed within the budget's reach, and every stalled stream was dropped.
TEST_F(StandinBounds, AFloodOfStreamsStaysWithinItsBounds)
{
    constexpr uint64_t kBudgetMb = 48, kBudget = kBudgetMb << 20;
    constexpr int kKeep = 4, kStallSeconds = 3;
    const size_t tenMb = (10 << 20) / 12 * 3; // floats: whole vertices
    std::string manyGroups = "version 9\n";
    for (size_t i = 0; i <= standin::limits::kMaxModelSets; ++i)
        manyGroups += "group \"G" + std::to_string(i) + "\" {\n}\n";
    const std::string longName(20 << 20, 'n');
    const std::string cutName = "name=\"" + std::string(standin::limits::kMaxNameBytes, 'n') + "\"";
    const std::string budgetPassed = "error 0 refused: the renderer's memory budget of 48 MB would be passed";
    struct Case {
        const char* what;
        int count;
        std::function<std::string(int)> text; // of the i-th stream of the case
        std::string answer;                    // in each answer
        size_t setsAfter;
        std::string inScene = {};              // in the scene answer after it
    };
    const Case cases[] = {
        {"a scene group name of 20 MB", 1, [&](int) { return sceneWith(longName); }, " ok\n", 1, cutName},
        {"junk", 6, [](int) { return std::string("AAAA"); }, " error ", 1},
        {"small scenes, a set each", 6, [](int i) { return sceneWith("S" + std::to_string(i)); }, " ok\n", 7},
        {"scenes of 10 MB, three names in turn, each replacing itself", 6,
         [&](int i) { return sceneWith("L" + std::to_string(i % 3), binaryMesh(tenMb)); }, " ok\n", 10},
        {"a fourth of 10 MB", 1, [&](int) { return sceneWith("L3", binaryMesh(tenMb)); }, " ok\n", 11},
        {"a fifth, past the 48 MB budget", 2, [&](int) { return sceneWith("L4", binaryMesh(tenMb)); }, budgetPassed, 11},
        {"one of 60 MB, refused while it arrives", 1, [&](int) { return sceneWith("Huge", binaryMesh(6 * tenMb)); },
         budgetPassed, 11},
        {"text that parses to more than the budget", 1,
         [](int) { return sceneWith("Text", "\"list\" [ " + std::string(3 << 20, '1') + " ] ,\n"); },
         "error 0 refused: the renderer's memory budget", 11},
        {"more scene groups than are kept", 1, [&](int) { return manyGroups; },
         "error 0 refused: the renderer holds 11 scenes and keeps at most 256", 11},
    };
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's quarantine of freed memory is no part of what the renderer holds.
    const std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    ::setenv("ASAN_OPTIONS", (asan + ":quarantine_size_mb=8:thread_local_quarantine_size_kb=256").c_str(), 1);
#endif
    const pid_t pid = rig.startRenderer({"--memory-budget", std::to_string(kBudgetMb), "--keep-received",
                                         std::to_string(kKeep), "--stall-limit", std::to_string(kStallSeconds),
                                         "--preview-size", "160x90", "--idle-exit", "120"},
                                        256);
#if defined(__SANITIZE_ADDRESS__)
    ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
#endif
    ASSERT_GT(pid, 0);
    const int port = portOf(pid);
    const uint64_t baseline = residentBytes(pid, "VmRSS");
    std::vector<standin::net::Fd> stalled;
    int64_t lastStalled = nowMs();
    pid_t drawing = 0; // the drawing process, from the first picture on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // More streams that stall, until they hold what the descriptors leave to streams.
        for (int i = 0; i < 24; ++i)
            if (standin::net::Fd fd = stalledStream(port))
                stalled.push_back(std::move(fd));
        lastStalled = nowMs();
        for (int i = 0; i < c.count; ++i) {
            const int64_t start = nowMs();
            const std::string answer = ask(port, standin::protocol::streamRequest(1, 1), c.text(i));
            EXPECT_NE(answer.find(c.answer), std::string::npos) << i << ": " << answer.substr(0, 300);
            EXPECT_LT(nowMs() - start, 20000);
        }
        for (const std::string& query : {std::string(standin::protocol::kQueryInstance),
                                         std::string(standin::protocol::kQueryScene)}) {
            const int64_t asked = nowMs();
            const std::string text = ask(port, query);
            EXPECT_LT(nowMs() - asked, 1000) << query << " took its time";
            EXPECT_LT(text.size(), 16u * 1024) << query << ": the answer stays small";
            EXPECT_TRUE(text.ends_with("</tavrin_instance>\n") || text.ends_with("</tavrin_scene>\n"))
                << query << ": the answer is whole: " << text.substr(0, 300);
            if (query != standin::protocol::kQueryScene)
                continue;
            size_t sets = 0;
            for (size_t at = text.find("<modelset "); at != std::string::npos; at = text.find("<modelset ", at + 1))
                ++sets;
            EXPECT_EQ(sets, c.setsAfter) << text.substr(0, 300);
            EXPECT_NE(text.find(c.inScene), std::string::npos) << text.substr(0, 300);
        }
        for (int i = 0; i < 100 && !drawing && !(drawing = drawingOf(pid)); ++i)
            ::usleep(50000);
    }
    // Junk and stalled streams are never drawn: they leave the drawing its state.
    EXPECT_EQ(drawingOf(pid), drawing) << "the drawing was started afresh";
    EXPECT_GT(stalled.size(), 150u) << "the stalled streams were refused before they filled the descriptors";
    // Every stalled stream is dropped: at once for room, or after its limit.
    size_t closed = 0;
    for (standin::net::Fd& fd : stalled)
        closed += endedByThePeer(fd.get(), lastStalled + (kStallSeconds + 8) * 1000);
    EXPECT_EQ(closed, stalled.size());
    // The last pictures come in; then the folder holds what the bounds say.
    for (int i = 0; i < 100 && drawingOf(pid) != 0 && fs::exists(rig.output()) &&
                    std::none_of(fs::directory_iterator(rig.output()), fs::directory_iterator(),
                                 [](const auto& e) { return e.path().extension() == ".png"; });
         ++i)
        ::usleep(100000);
    size_t streams = 0, pictures = 0, parts = 0;
    uint64_t bytes = 0;
    for (const auto& entry : fs::directory_iterator(rig.output())) {
        const std::string name = entry.path().filename().string();
        streams += name.ends_with(".qrf");
        pictures += name.ends_with(".png");
        parts += name.ends_with(".part");
        bytes += entry.file_size();
        EXPECT_LE(entry.file_size(), kBudget + (1 << 20)) << name << " is larger than a stream may be";
    }
    EXPECT_EQ(streams, size_t(kKeep));
    EXPECT_LE(pictures, size_t(2 * kKeep)); // a picture and a quick one each at most
    EXPECT_EQ(parts, 0u) << "unfinished streams leave nothing behind";
    EXPECT_LE(bytes, kKeep * kBudget);
    // At its peak: the scene held (40 MB of the budget), and a stream taken in, read back
    // and parsed (it too within the budget). The drawing holds a copy of the same.
    EXPECT_LE(residentBytes(pid, "VmHWM"), baseline + 2 * kBudget) << "the renderer's peak";
    EXPECT_LE(residentBytes(drawing, "VmHWM"), baseline + 2 * kBudget) << "the drawing's peak";
    EXPECT_NE(ask(port, standin::protocol::kQueryInstance).find("<process_id>" + std::to_string(pid)), std::string::npos);
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
    for (int i = 0; i < 130; ++i)
        if (standin::net::Fd fd = stalledStream(port))
            stalled.push_back(std::move(fd));
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

size_t openDescriptors(pid_t pid)
{
    std::error_code ec;
    size_t n = 0;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        ++n;
    return n;
}

// A burst of stream clients and a query behind them, all waiting before the renderer takes
// any: at its descriptor limit it reads what the accepted ones asked before it sheds a
// waiting connection, so the query is answered (and the streams past the limit refused),
// whichever place in the line the limit falls on; and a burst longer than a short queue of
// waiting connections (128) holds, which would drop the query's connection for a second.
TEST_F(StandinBounds, AQueryBehindABurstOfStreamsIsAnswered)
{
    const pid_t pid = rig.startRenderer({"--stall-limit", "20", "--idle-exit", "20"}, 96);
    ASSERT_GT(pid, 0);
    const int port = portOf(pid);
    const size_t idle = openDescriptors(pid);
    std::vector<int> bursts(31);
    std::iota(bursts.begin(), bursts.end(), 50);
    bursts.push_back(200);
    for (const int burst : bursts) {
        SCOPED_TRACE(burst);
        ASSERT_EQ(::kill(pid, SIGSTOP), 0);
        std::vector<standin::net::Fd> streams;
        for (int i = 0; i < burst; ++i)
            if (standin::net::Fd fd = stalledStream(port))
                streams.push_back(std::move(fd));
        standin::net::Fd query = standin::net::connectLoopback(port, 2000);
        const bool sent = query && standin::net::sendAll(query.get(), standin::protocol::kQueryInstance, 1000);
        ASSERT_EQ(::kill(pid, SIGCONT), 0);
        ASSERT_TRUE(sent);
        EXPECT_EQ(streams.size(), size_t(burst)) << "connections were dropped while they waited";
        std::string answer;
        standin::net::readToEnd(query.get(), answer, 1 << 20, nowMs() + 5000);
        EXPECT_NE(answer.find("<process_id>" + std::to_string(pid)), std::string::npos) << answer;
        // The clients leave; the renderer lets their streams go before the next burst (it
        // may keep a few more descriptors than at the start: those of its drawing process).
        streams.clear();
        const int64_t until = nowMs() + 5000;
        while (openDescriptors(pid) > idle + 4 && nowMs() < until)
            ::usleep(2000);
        ASSERT_LE(openDescriptors(pid), idle + 4);
    }
}

} // namespace
