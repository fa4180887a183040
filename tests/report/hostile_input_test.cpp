// c4dsim against names that are not what they seem and animations that ask too much: every
// case ends within a bound, with its exit status and a message that says why, and leaves
// the files it must not write as they were.
#include "SceneReader.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct SimRun {
    int status = -1; // -1: killed after the time limit
    std::string err;
    long maxRssKb = 0; // peak resident memory seen while it ran
};

// Runs c4dsim with the plug-in in `cwd`, standard output into `out`, for 20 s at most.
SimRun c4dsim(std::vector<std::string> args, const fs::path& cwd, const fs::path& out)
{
    args.insert(args.begin(), C4DSIM_EXE);
    args.insert(args.end(), {"--plugin", PLUGIN_MODULE});
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const fs::path errFile = cwd / "stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    SimRun run;
    if (spawned != 0)
        return run;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    pid_t done = 0;
    // The peak memory of c4dsim itself, read while it runs: the rusage of a child started
    // from this (large) process would count this process's pages too.
    const std::string statusFile = "/proc/" + std::to_string(pid) + "/status";
    while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < end) {
        std::ifstream proc(statusFile);
        for (std::string line; std::getline(proc, line);)
            if (line.rfind("VmHWM:", 0) == 0)
                run.maxRssKb = std::max(run.maxRssKb, std::atol(line.c_str() + 6));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (done == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    }
    run.err = readFile(errFile);
    return run;
}

class Hostile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/hostile-input-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

// The textured example with its texture replaced by a FIFO: nothing may wait for a writer.
const char* const kFifoTextured = R"({
  "name": "fifo.c4d",
  "materials": [{"name": "Wood", "type": "standard", "channels": {"color": true},
                 "params": {"color_shader": {"link": {"shader": "Grain"}}},
                 "shaders": [{"type": "bitmap", "name": "Grain", "file": "pipe.png"}]}],
  "objects": [{"type": "polygon", "name": "Quad", "points": [[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]],
               "polygons": [[0, 1, 2, 3]], "tags": [{"type": "texture", "name": "Wood", "material": "Wood"}]}]
})";

TEST_F(Hostile, NamesThatAreNoRegularFileEndBoundedWithTheirStatus)
{
    std::ofstream(dir / "doc.json") << kFifoTextured;
    ASSERT_EQ(::mkfifo((dir / "pipe.png").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((dir / "pipe.qrf").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((dir / "pipe.json").c_str(), 0644), 0);
    fs::create_symlink("/dev/null", dir / "null.qrf");
    std::ofstream(dir / "victim.txt") << "keep me";
    fs::create_symlink(dir / "victim.txt", dir / "planted.json");
    fs::create_directory(dir / "outdir");
    std::ofstream(dir / "scene.qrf") << "previous";
    const std::string doc = (dir / "doc.json").string();
    const std::string report = (dir / "r.json").string();

    const struct Case {
        const char* what;
        std::vector<std::string> args;
        int status;
        std::string message; // a part of standard error
    } cases[] = {
        {"a FIFO as texture", {doc, "--export", "a.qrf", "--report", report, "--strict"}, 6, ""},
        {"a FIFO as the export target", {doc, "--export", "pipe.qrf"}, 1,
         "\"pipe.qrf\": a FIFO, not a regular file"},
        {"a device as the export target", {doc, "--export", "null.qrf"}, 1,
         "\"null.qrf\": a character device, not a regular file"},
        {"a folder as the export target", {doc, "--export", "outdir"}, 2, "--export names the folder \"outdir\""},
        {"the report over the scene", {doc, "--export", "scene.qrf", "--report", "scene.qrf"}, 2,
         "--report names the scene file \"scene.qrf\""},
        {"the report over the scene the suffix makes", {doc, "--export", "scene", "--report", "./scene.qrf"}, 2,
         "--report names the scene file"},
        {"the report in a missing folder", {doc, "--export", "b.qrf", "--report", "no/r.json"}, 1,
         "cannot write the report to no/r.json: No such file or directory\n"},
        {"the report into a FIFO", {doc, "--export", "c.qrf", "--report", "pipe.json"}, 1,
         "cannot write the report to pipe.json: a FIFO, not a regular file"},
        {"the report under a planted link", {doc, "--export", "d.qrf", "--report", "planted.json"}, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SimRun run = c4dsim(c.args, dir, dir / "stdout.txt");
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    // The FIFO texture is named with its reason; the scene still names the file as given.
    const json r = json::parse(readFile(report), nullptr, false);
    const std::string detail = r["left_out"]["texture_not_found"]["items"][0].value("detail", "");
    EXPECT_NE(detail.find((dir / "pipe.png").string() + " (a FIFO, not a regular file)"), std::string::npos)
        << detail;
    // Nothing was written where it must not be.
    for (const char* fifo : {"pipe.png", "pipe.qrf", "pipe.json"})
        EXPECT_TRUE(fs::is_fifo(dir / fifo)) << fifo;
    EXPECT_EQ(readFile(dir / "scene.qrf"), "previous");
    EXPECT_EQ(readFile(dir / "victim.txt"), "keep me");
    EXPECT_FALSE(fs::is_symlink(dir / "planted.json"));
    EXPECT_FALSE(fs::exists(dir / "outdir.qrf"));
    EXPECT_FALSE(fs::exists(dir / "scene"));
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

// "--export -": the report counts the bytes that went out, not only the list data.
TEST_F(Hostile, ExportToStandardOutputCountsEveryByte)
{
    const SimRun run = c4dsim({TAVRIN_EXAMPLES_DIR "/hierarchy.json", "--export", "-", "--report",
                            (dir / "r.json").string()},
                           dir, dir / "scene.qrf");
    ASSERT_EQ(run.status, 0) << run.err;
    const json r = json::parse(readFile(dir / "r.json"), nullptr, false);
    EXPECT_EQ(r["written"]["bytes"], fs::file_size(dir / "scene.qrf"));
}

// A track keeps every sample up to an hour and beyond; one past the bound is cut to it and
// named, and neither the scene nor the memory grows with the key's time any more.
TEST_F(Hostile, LongTracksKeepAnHourAndStopAtTheBound)
{
    std::ofstream(dir / "long.json") << R"({"name": "long.c4d", "objects": [
      {"type": "null", "name": "Hour", "tracks": [{"name": "Position . X", "parameter": "position",
        "component": "x", "keys": [[0, 0], [3600, 1]]}]},
      {"type": "null", "name": "Long", "tracks": [{"name": "Position . Y", "parameter": "position",
        "component": "y", "keys": [[0, 0], [100000, 1]]}]}]})";
    const SimRun run = c4dsim({"long.json", "--export", "long.qrf", "--report", "r.json", "--strict"}, dir,
                           dir / "stdout.txt");
    ASSERT_EQ(run.status, 6) << run.err;
    EXPECT_GT(run.maxRssKb, 1000); // the probe saw it run
    EXPECT_LT(run.maxRssKb, 150 * 1024) << "kB held";
    EXPECT_LT(fs::file_size(dir / "long.qrf"), 30u << 20);

    const json r = json::parse(readFile(dir / "r.json"), nullptr, false);
    const json& shortened = r["left_out"]["track_shortened"];
    ASSERT_EQ(shortened.value("total", 0), 1) << r.dump(1);
    EXPECT_EQ(shortened["items"][0]["path"], "Long");
    EXPECT_NE(shortened["items"][0]["detail"].get<std::string>().find("track \"Position . Y\": 131072 samples kept"),
              std::string::npos);
    EXPECT_NE(run.err.find("tracks shortened to the sample bound (1)"), std::string::npos) << run.err;

    orv::qrf::Document scene;
    orv::qrf::ParseError error;
    ASSERT_TRUE(orv::qrf::parseFile((dir / "long.qrf").string(), scene, error)) << error.message;
    const auto animations = scene.top.allDeep("animation");
    ASSERT_EQ(animations.size(), 2u);
    for (const orv::qrf::Statement* animation : animations) {
        ASSERT_TRUE(animation->block);
        const std::string folder = animation->block->find("folder")->args.at(0).text;
        const std::vector<int32_t>& times = animation->block->find("timestamps")->args.at(0).ints;
        const double duration = animation->block->find("duration")->args.at(0).number();
        ASSERT_FALSE(times.empty());
        if (folder == "Hour/Position") {
            // Every sample of the hour, to its end, a thirtieth of a second (in single
            // precision steps) apart.
            EXPECT_GT(times.size(), 107000u);
            EXPECT_GE(times.back(), 3600000 - 34);
            for (size_t i = 1; i < times.size(); ++i)
                ASSERT_TRUE(times[i] > times[i - 1] && times[i] - times[i - 1] <= 34) << i;
            EXPECT_EQ(duration, 3600.0);
        } else {
            EXPECT_EQ(folder, "Long/Position");
            EXPECT_EQ(times.size(), 131072u);
            EXPECT_NEAR(duration, times.back() / 1000.0, 0.01); // the duration ends with the samples
        }
    }
}

} // namespace
