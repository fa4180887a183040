// c4dsim's live sessions end to end: the plug-in module loaded by c4dsim, a stand-in launched
// from a scratch installation. Steps taken one update each or merged by --pace, the document
// closed or switched after them, and the watch mode with a version that does not load and
// the signals that end it.
#include "standin_rig.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using standintest::readFile;
using standintest::Rig;

const std::string kLive = std::string(TAVRIN_EXAMPLES_DIR) + "/live/";

size_t count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::vector<std::string> c4dsim(std::vector<std::string> args)
{
    args.insert(args.begin(), {C4DSIM_EXE, "--plugin", PLUGIN_MODULE});
    return args;
}

// Waits (bounded) until the file holds `part`.
bool waitFor(const std::string& log, const std::string& part)
{
    for (int waited = 0; count(readFile(log), part) == 0; waited += 20) {
        if (waited > 20000)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A version saved as an editor saves it: written whole beside, then renamed over.
void save(const std::string& path, const std::string& text)
{
    std::ofstream(path + ".new") << text;
    fs::rename(path + ".new", path);
}

class LivePaths : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Rig::waitForFreePorts(40000)) << "another renderer keeps answering on the live-link ports";
        ::setenv("TAVRIN_STANDIN_NO_PREVIEW", "1", 1);
    }
    void TearDown() override
    {
        ::unsetenv("TAVRIN_STANDIN_NO_PREVIEW");
        rig.stopRenderers();
    }
    Rig rig;
};

TEST_F(LivePaths, SessionsOfStepsEndAsTheCommandLineAsks)
{
    std::vector<std::string> steps;
    for (int i = 1; i <= 4; ++i)
        steps.push_back(kLive + "step-" + std::to_string(i) + ".json");
    const struct {
        const char* what;
        std::vector<std::string> options;
        bool merged; // fewer updates than steps
        const char* end;
    } cases[] = {
        {"one update per step", {}, false, "Tavrin Live off after 5 updates\n"},
        {"steps at a fast pace are merged", {"--pace", "1"}, true, "Tavrin Live off after 2 updates\n"},
        {"the document closes", {"--then-close"}, false, "Tavrin Live off after 5 updates: the document was closed\n"},
        {"another document in front",
         {"--then-switch", std::string(TAVRIN_EXAMPLES_DIR) + "/minimal.json"},
         false,
         "Tavrin Live off after 5 updates: another document is active\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t streams = rig.receivedFiles().size();
        std::vector<std::string> args = {kLive + "start.json", "--live", "--report", rig.root() + "/r.json", "--steps"};
        args.insert(args.end(), steps.begin(), steps.end());
        args.insert(args.end(), c.options.begin(), c.options.end());
        std::string output;
        EXPECT_EQ(standintest::runProgram(c4dsim(args), 60000, &output), 0) << output;
        const size_t updates = count(output, "Tavrin Live update ") + 1;
        EXPECT_EQ(rig.receivedFiles().size() - streams, updates);
        EXPECT_EQ(updates < steps.size() + 1, c.merged) << output;
        EXPECT_EQ(count(output, "Tavrin Live off"), 1u) << output;
        EXPECT_NE(output.find(c.end), std::string::npos) << output;
        EXPECT_EQ(json::parse(readFile(rig.root() + "/r.json"))["updates"].size(), updates);
    }
}

TEST_F(LivePaths, WatchingTakesEachSavedVersionAndASignalEndsTheRun)
{
    const std::string watched = rig.root() + "/watched.json";
    const std::string report = rig.root() + "/r.json";
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGINT");
        save(watched, readFile(kLive + "start.json"));
        const std::string log = rig.root() + "/c4dsim.log";
        std::vector<std::string> args = c4dsim({watched, "--live", "--report", report});
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t output;
        posix_spawn_file_actions_init(&output);
        posix_spawn_file_actions_addopen(&output, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&output, 1, 2);
        pid_t pid = -1;
        ASSERT_EQ(::posix_spawn(&pid, argv[0], &output, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&output);
        ASSERT_TRUE(waitFor(log, "Tavrin Live on")) << readFile(log);
        save(watched, readFile(kLive + "step-1.json"));
        ASSERT_TRUE(waitFor(log, "Tavrin Live update 2: moved 1 object")) << readFile(log);
        save(watched, "{\n  \"objects\": [ }\n");
        EXPECT_TRUE(waitFor(log, watched + ":2:")) << readFile(log);
        EXPECT_TRUE(waitFor(log, "(the last good version stays)")) << readFile(log);
        save(watched, readFile(kLive + "step-2.json"));
        ASSERT_TRUE(waitFor(log, "Tavrin Live update 3: ")) << readFile(log);

        ASSERT_EQ(::kill(pid, signal), 0);
        EXPECT_EQ(standintest::exitStatusWithin(pid, 15000), 0) << readFile(log);
        EXPECT_EQ(count(readFile(log), "Tavrin Live off after 3 updates\n"), 1u) << readFile(log);
        EXPECT_EQ(json::parse(readFile(report))["updates"].size(), 3u);
        for (const auto& entry : fs::directory_iterator(rig.root()))
            EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    }
}

} // namespace
