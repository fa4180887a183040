// c4dsim against names that are not what they seem and animations that ask too much: every
// case ends within a bound, with its exit status and a message that says why, and leaves
// the files it must not write as they were.
#include "QrfNumbers.h"
#include "SceneReader.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
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

// Starts c4dsim with the plug-in in `cwd`, standard output into `out`, standard error into
// cwd/stderr.txt; -1 when it cannot be started.
pid_t startC4dsim(std::vector<std::string> args, const fs::path& cwd, const fs::path& out)
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
    return spawned == 0 ? pid : -1;
}

// Runs c4dsim as startC4dsim does, for 20 s at most.
SimRun c4dsim(std::vector<std::string> args, const fs::path& cwd, const fs::path& out)
{
    const fs::path errFile = cwd / "stderr.txt";
    const pid_t pid = startC4dsim(std::move(args), cwd, out);
    SimRun run;
    if (pid < 0)
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
    // Planted by another user: replaced, never written through (a link of one's own is
    // followed, as Export follows it).
    const bool planted = ::geteuid() == 0 && ::lchown((dir / "planted.json").c_str(), 65534, 65534) == 0;
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
    EXPECT_EQ(readFile(dir / "victim.txt") == "keep me", planted);
    EXPECT_EQ(fs::is_symlink(dir / "planted.json"), !planted);
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

// Values and times the scene cannot hold: each run says so under its reason (--strict: 6),
// and the scene it writes holds no number that is not finite.
TEST_F(Hostile, NumbersAndTimesPastTheSceneAreReportedNeverWritten)
{
    const auto track = [](const char* keys) {
        return std::string(R"({"type": "null", "name": "N", "tracks": [{"name": "Position . X",
          "parameter": "position", "component": "x", "keys": )") + keys + "}]}";
    };
    const struct {
        std::string object;
        const char* reason;
        const char* detail;
        std::string name = "d.c4d";
    } cases[] = {
        {R"({"type": "polygon", "name": "Far", "points": [[1e39, 0, 0], [-1e308, 0, 0], [0, 1, 0]],
            "polygons": [[0, 1, 2]]})", "number_out_of_range", "attribute \"vertices\""},
        {R"({"type": "polygon", "name": "Wild", "points": [[0, 0, 0], [1, 0, 0], [0, 1, 0]], "polygons": [[0, 1, 2]],
            "tags": [{"type": "uvw", "uvw": [[[1e39, 0], [0, 0], [0, 1]]]}]})", "number_out_of_range",
         "attribute \"uv_tex\""},
        {R"({"type": "polygon", "name": "Tilted", "points": [[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]],
            "polygons": [[0, 1, 2, 3]], "phongNormals": [[0, 0, 1], [0, 0, 1], [0, -1e39, 1], [0, 0, 1]]})",
         "number_out_of_range", "attribute \"normals\""},
        {R"({"type": "null", "name": "Huge", "scale": [1e308, 1, 1]})", "number_out_of_range", "transform"},
        {R"({"type": "light", "name": "L", "params": {"light_color": [1e308, 1, 1]}})", "number_out_of_range",
         "attribute \"color\""},
        {track("[[0, 0], [1, 1e308]]"), "number_out_of_range", "sample values beyond the range"},
        {R"({"type": "camera", "name": "C", "params": {"fov": -0.5}})", "parameter_default", "not above 0"},
        {track("[[-2e6, 0], [0, 1]]"), "track_shortened", "131072 samples kept, the first 4374.5 s of 2000000.0 s"},
        {track("[[0, 0], [1e100, 1]]"), "track_shortened", "of 1e+100 s"},
        {track("[[-1e308, 0], [1e308, 1]]"), "track_not_sampled", "first key at -1e+308 s"},
        {R"({"type": "null", "name": "Plain"})", "name_cut", "document name of 200000 bytes cut to 1023",
         std::string(200000, 'x') + ".c4d"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason + std::string(": ") + c.detail);
        std::ofstream(dir / "d.json") << R"({"name": ")" << c.name << R"(", "objects": [)" << c.object << "]}";
        const SimRun run = c4dsim({"d.json", "--export", "d.qrf", "--report", "r.json", "--strict"}, dir,
                               dir / "stdout.txt");
        ASSERT_EQ(run.status, 6) << run.err;
        const json r = json::parse(readFile(dir / "r.json"), nullptr, false);
        const json& items = r["left_out"][c.reason]["items"];
        ASSERT_FALSE(items.empty()) << r.dump(1);
        EXPECT_TRUE(std::any_of(items.begin(), items.end(), [&](const json& item) {
            return item["detail"].get<std::string>().find(c.detail) != std::string::npos;
        })) << items.dump(1);
        orv::qrf::Document scene;
        orv::qrf::ParseError error;
        ASSERT_TRUE(orv::qrf::parseFile((dir / "d.qrf").string(), scene, error)) << error.message;
        size_t offset = 0;
        std::string what;
        EXPECT_TRUE(orv::qrf::allNumbersFinite(scene, offset, what)) << offset << ": " << what;
    }
    // What an older export wrote is refused by the check.
    std::ofstream(dir / "inf.qrf") << "version 7\ngroup \"g\" {\n  transform 1 0 0 0 0 inf 0 0 0 0 1 0 0 0 0 1\n}\n";
    orv::qrf::Document scene;
    orv::qrf::ParseError error;
    ASSERT_TRUE(orv::qrf::parseFile((dir / "inf.qrf").string(), scene, error)) << error.message;
    size_t offset = 0;
    std::string what;
    EXPECT_FALSE(orv::qrf::allNumbersFinite(scene, offset, what));
    EXPECT_EQ(offset, 24u);
}

// The files a run writes: the scene survives a write that fails, another name of it keeps
// the old scene, and no output replaces an input, a second output or what is no file.
TEST_F(Hostile, OutputsReplaceOnlyRegularFilesAndNeverAnInput)
{
    const std::string doc = TAVRIN_EXAMPLES_DIR "/hierarchy.json";
    std::ofstream(dir / "old.qrf") << "old scene";
    fs::create_hard_link(dir / "old.qrf", dir / "other.qrf");
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0644), 0);
    std::ofstream(dir / "kept.json") << "{}";
    fs::permissions(dir / "kept.json", fs::perms::owner_read | fs::perms::owner_write);
    fs::copy_file(doc, dir / "in.json");
    const struct {
        std::vector<std::string> args;
        rlim_t sizeLimit; // 0: none
        int status;
        const char* message;
    } cases[] = {
        {{doc, "--export", "old.qrf", "--strict"}, 4096, 1, "could not close file \"old.qrf\": File too large"},
        {{doc, "--export", "old.qrf", "--strict", "--report", "kept.json"}, 0, 6, ""},
        {{"in.json", "--export", "in.json"}, 0, 2, "--export names the input document"},
        {{doc, "--export", "a.qrf", "--save-document", "a.qrf"}, 0, 2, "name one file"},
        {{doc, "--save-document", "pipe"}, 0, 1, "pipe: a FIFO, not a regular file"},
        {{doc, "--export", "a.qrf", "--report", "pipe"}, 0, 1, "pipe: a FIFO, not a regular file"},
        {{doc, "--export", "/dev/null"}, 0, 1, "a character device, not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args[2]);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        if (c.sizeLimit > 0) {
            const rlimit limit{c.sizeLimit, saved.rlim_max};
            ::setrlimit(RLIMIT_FSIZE, &limit); // inherited by c4dsim, which writes nothing else here
        }
        const SimRun run = c4dsim(c.args, dir, dir / "stdout.txt");
        ::setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        for (const auto& entry : fs::directory_iterator(dir))
            EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
    }
    EXPECT_EQ(readFile(dir / "other.qrf"), "old scene");
    EXPECT_EQ(readFile(dir / "old.qrf").rfind("//---orvane", 0), 0u);
    EXPECT_EQ(fs::status(dir / "kept.json").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    const json r = json::parse(readFile(dir / "kept.json"), nullptr, false);
    EXPECT_EQ(r["left_out"]["other_links_unchanged"]["total"], 1) << r.dump(1);
    EXPECT_EQ(fs::file_size(dir / "in.json"), fs::file_size(doc));
    EXPECT_TRUE(fs::is_fifo(dir / "pipe"));
}

// Stopped by the user while Export writes, c4dsim leaves no temporary file behind and dies
// of the signal it was sent; a scene file, if one stands, is a whole one.
TEST_F(Hostile, AnInterruptedExportLeavesNoTemporaryFile)
{
    json objects = json::array();
    for (int i = 0; i < 40; ++i)
        objects.push_back({{"type", "null"}, {"name", "Hour" + std::to_string(i)},
                           {"tracks", {{{"name", "Position . X"}, {"parameter", "position"}, {"component", "x"},
                                        {"keys", {{0, 0}, {3600, i}}}}}}});
    std::ofstream(dir / "long.json") << json{{"name", "long.c4d"}, {"objects", objects}}.dump();
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        const pid_t pid = startC4dsim({"long.json", "--export", "long.qrf", "--report", "r.json"}, dir,
                                      dir / "stdout.txt");
        ASSERT_GT(pid, 0);
        // The signal goes as soon as the export's temporary file is there.
        bool seen = false;
        int status = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!seen && ::waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < end) {
            for (const auto& entry : fs::directory_iterator(dir))
                seen = seen || entry.path().filename().string().rfind(".long.qrf.tmp-", 0) == 0;
            if (!seen)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(seen) << "the export ended before it could be interrupted: " << readFile(dir / "stderr.txt");
        ::kill(pid, signal);
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        for (const auto& entry : fs::directory_iterator(dir))
            EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
        if (fs::exists(dir / "long.qrf")) {
            orv::qrf::Document scene;
            orv::qrf::ParseError error;
            EXPECT_TRUE(orv::qrf::parseFile((dir / "long.qrf").string(), scene, error)) << error.message;
            fs::remove(dir / "long.qrf");
        }
    }
}

// A model reads only below its root: the folder above its own, or --model-root. What lies
// outside is refused and reported, and a model that cannot do without it exits 3 naming it.
TEST_F(Hostile, ModelsReadOnlyBelowTheirRoot)
{
    fs::create_directories(dir / "top/models/m");
    fs::create_directories(dir / "top/secret");
    std::ofstream(dir / "top/secret/key.bin") << std::string(36, 'k');
    std::ofstream(dir / "top/secret/m.mtl") << "newmtl M\nKd 1 0 0\nmap_Kd /etc/passwd\n";
    const std::string gltf = R"({"asset": {"version": "2.0"}, "scenes": [{"nodes": [0]}], "nodes": [{"mesh": 0}],
      "meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
      "buffers": [{"uri": "../../secret/key.bin", "byteLength": 36}],
      "bufferViews": [{"buffer": 0, "byteLength": 36}],
      "accessors": [{"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3",
                     "min": [0, 0, 0], "max": [1, 1, 1]}]})";
    std::ofstream(dir / "top/models/m/leak.gltf") << gltf;
    std::ofstream(dir / "top/models/m/a.obj") << "mtllib ../../secret/m.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
    std::ofstream(dir / "top/models/m/b.obj") << "mtllib b.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl M\nf 1 2 3\n";
    std::ofstream(dir / "top/models/m/b.mtl") << "newmtl M\nKd 1 0 0\nmap_Kd /etc/passwd\n";
    std::ofstream(dir / "top/models/m/zero.ase") << std::string(100, '\0');
    const struct {
        std::vector<std::string> args;
        int status;
        const char* message; // on standard error, or in the report's outside_model_root entry
    } cases[] = {
        {{"top/models/m/leak.gltf"}, 3, "it needs \"top/models/m/../../secret/key.bin\", outside the model root"},
        {{"top/models/m/leak.gltf", "--model-root", "top"}, 0, ""},
        {{"top/models/m/a.obj"}, 0, "file \"top/models/m/../../secret/m.mtl\", outside the model root"},
        {{"top/models/m/b.obj"}, 0, "texture \"/etc/passwd\", outside the model root"},
        {{"top/models/m/zero.ase"}, 3, "cannot read model \"top/models/m/zero.ase\": no meshes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--export", "s.qrf", "--report", "r.json", "-q"});
        fs::remove(dir / "r.json");
        const SimRun run = c4dsim(args, dir, dir / "stdout.txt");
        EXPECT_EQ(run.status, c.status) << run.err;
        std::string said = run.err;
        const json r = json::parse(readFile(dir / "r.json"), nullptr, false);
        if (r.is_object() && r["left_out"].contains("outside_model_root"))
            for (const json& item : r["left_out"]["outside_model_root"]["items"])
                said += item["detail"].get<std::string>() + "\n";
        EXPECT_NE(said.find(c.message), std::string::npos) << said;
        if (run.status == 0) {
            const std::string scene = readFile(dir / "s.qrf");
            EXPECT_EQ(scene.find("passwd"), std::string::npos);
            EXPECT_EQ(scene.find("kkkk"), std::string::npos);
        }
    }
}

} // namespace
