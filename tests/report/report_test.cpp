// The report of a command run, read as its user reads it: c4dsim's JSON report, exit status,
// console and progress line, for documents that leave things out; and the scene, which the
// report must not change.
#include "TranslationContext.h"
#include "LightFileFactory.h"
#include "command_run.h"
#include "commands.h"
#include "ports_lock.h"
#include "report.h"
#include "sim_host.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

const std::string kSim = C4DSIM_EXE;
const std::string kPlugin = PLUGIN_MODULE;
const std::string kExamples = TAVRIN_EXAMPLES_DIR;
const std::string kOmissions = REPORT_TEST_DIR "/omissions.json";

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ToolRun {
    int status = -1;
    std::string err; // standard error (and output)
};

// Runs c4dsim with the plug-in, in a working folder, with extra environment entries. Its
// standard error goes to a file, or to a pseudo terminal when asked.
ToolRun c4dsim(std::vector<std::string> args, const fs::path& cwd, std::vector<std::string> env = {},
           bool terminal = false)
{
    args.insert(args.begin(), kSim);
    args.insert(args.end(), {"--plugin", kPlugin});
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e); // later entries lose to the ones given first
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const fs::path errFile = fs::temp_directory_path() / ("report_test_stderr_" + std::to_string(::getpid()));
    int master = -1;
    int target = -1;
    if (terminal) {
        if (::openpty(&master, &target, nullptr, nullptr, nullptr) != 0)
            return {};
    } else {
        target = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, target, 1);
    posix_spawn_file_actions_adddup2(&actions, target, 2);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(target);
    ToolRun run;
    if (terminal) {
        char buffer[4096];
        ssize_t n = 0;
        while (spawned == 0 && (n = ::read(master, buffer, sizeof buffer)) > 0)
            run.err.append(buffer, static_cast<size_t>(n));
        ::close(master);
    }
    int status = 0;
    if (spawned != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return run;
    run.status = WEXITSTATUS(status);
    if (!terminal) {
        run.err = readFile(errFile);
        fs::remove(errFile);
    }
    return run;
}

class ReportRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("report_test_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    json exportReport(const std::string& document, std::vector<std::string> extra = {}, int expected = 0)
    {
        std::vector<std::string> args{document, "--export", (dir / "out.qrf").string(), "--report",
                                      (dir / "report.json").string()};
        args.insert(args.end(), extra.begin(), extra.end());
        const ToolRun run = c4dsim(args, dir);
        EXPECT_EQ(run.status, expected) << run.err;
        return json::parse(readFile(dir / "report.json"), nullptr, false);
    }

    fs::path dir;
};

TEST_F(ReportRun, EveryKindOfOmissionIsListedWithItsObjectAndReason)
{
    const json report = exportReport(kOmissions, {"--strict"}, 6);
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["command"], "export");
    EXPECT_EQ(report["document"], "omissions");
    EXPECT_EQ(report["status"], "ok");
    EXPECT_EQ(report["destination"]["path"], (dir / "out.qrf").string());
    const json& written = report["written"];
    EXPECT_EQ(written["objects"], 5);    // textured quad, broken quad, two quads, hair
    EXPECT_EQ(written["triangles"], 8);  // 2 + 1 + 2 + 2 + 1: the broken quad keeps one polygon
    EXPECT_EQ(written["cameras"], 1);
    EXPECT_EQ(written["hair_curves"], 2);
    EXPECT_EQ(written["textures"], 1);
    EXPECT_EQ(written["bytes"], fs::file_size(dir / "out.qrf"));

    struct Expect {
        const char* reason;
        std::string path;
        const char* detail; // a part of the item's detail
        int count;
    };
    const std::string docFolder = fs::path(kOmissions).parent_path().string();
    const Expect table[] = {
        {"texture_not_found", "material \"Wood\"",
         "shader \"Grain\": \"tex/missing.png\" not found; tried ", 1},
        {"polygons_dropped", "World/Broken", "outside the 4 points", 2},
        {"unsupported_object", "World/Path", "spline (type ID 5101)", 1},
        {"generator_without_cache", "World/Empty Cube", "type ID 5159", 1},
        {"control_object", "World/Control", "", 1},
        {"hidden_by_visibility", "World/Invisible", "hidden in the render", 1},
        {"hidden_by_layer", "World/Props", "layer \"Backstage\"", 1},
        {"material_not_translated", "material \"Foreign\"", "type ID 1029501: the next texture tag", 1},
        {"shader_not_translated", "material \"Noisy\"", "shader \"Noise\" of type ID 1011116", 1},
        {"name_cut", "World/" + std::string(1023, 'N'), "object name of 1100 bytes cut to 1023", 1},
        {"parameter_default", "Lens", "field of view", 1},
        {"track_one_key", "World/Animated", "track \"Held\"", 1},
        {"track_no_time_span", "World/Animated", "track \"Stuck\"", 1},
        {"track_muted", "World/Animated", "track \"Switched off\"", 1},
        {"hair_strands_dropped", "World/Fur", "too few guide points", 1},
    };
    std::set<std::string> seen;
    for (const Expect& e : table) {
        seen.insert(e.reason);
        const json& entry = report["left_out"][e.reason];
        ASSERT_TRUE(entry.is_object()) << e.reason;
        bool found = false;
        for (const json& item : entry["items"])
            if (item["path"] == e.path && item["detail"].get<std::string>().find(e.detail) != std::string::npos) {
                found = true;
                EXPECT_EQ(item["count"], e.count) << e.reason;
            }
        EXPECT_TRUE(found) << e.reason << "\n" << entry.dump(1);
    }
    // Nothing reported beyond the table, besides the second untranslated material.
    for (const auto& [reason, entry] : report["left_out"].items())
        EXPECT_TRUE(seen.count(reason)) << reason;
    EXPECT_EQ(report["left_out"]["material_not_translated"]["total"], 2);
    // Every folder tried, in the lookup order, relative to the document.
    const std::string texture = report["left_out"]["texture_not_found"]["items"][0]["detail"];
    EXPECT_NE(texture.find(docFolder + "/tex/missing.png, " + docFolder + "/missing.png"), std::string::npos)
        << texture;
}

TEST_F(ReportRun, ExitStatusTellsFailureAndWhatWasLeftOut)
{
    const std::string minimal = kExamples + "/minimal.json";
    const fs::path emptyRoot = dir / "no-installation";
    fs::create_directories(emptyRoot);
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int status;
        const char* reportStatus; // "" when no report file is asked for
    };
    const Case cases[] = {
        {"a clean export", {minimal, "--export", (dir / "a.qrf").string(), "--strict"}, 0, ""},
        {"an export into a missing folder", {minimal, "--export", "/nonexistent/dir/out.qrf"}, 1, "failed"},
        {"a cancelled export", {minimal, "--export", "--cancel", "--strict"}, 0, "cancelled"},
        {"left out, without --strict", {kOmissions, "--export", (dir / "b.qrf").string()}, 0, "ok"},
        {"left out, with --strict", {kOmissions, "--export", (dir / "c.qrf").string(), "--strict"}, 6, "ok"},
        {"a render without a renderer", {minimal, "--render", "--strict"}, 1, "failed"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        if (*c.reportStatus != '\0')
            args.insert(args.end(), {"--report", (dir / "r.json").string()});
        // A Render looks at the renderer ports: outside a private namespace it must not meet
        // (and take) the empty renderer a test of another run has just launched.
        std::optional<porttest::PortsLock> ports;
        if (std::find(args.begin(), args.end(), "--render") != args.end())
            ports.emplace();
        const ToolRun run = c4dsim(args, dir, {"TAVRIN_INSTALL_ROOT=" + emptyRoot.string()});
        EXPECT_EQ(run.status, c.status) << c.what << "\n" << run.err;
        if (*c.reportStatus != '\0') {
            const json report = json::parse(readFile(dir / "r.json"), nullptr, false);
            EXPECT_EQ(report.value("status", ""), c.reportStatus) << c.what;
            if (c.status == 1) {
                EXPECT_FALSE(report.value("failure", "").empty()) << c.what;
            }
        }
    }
    EXPECT_FALSE(fs::exists("/nonexistent/dir/out.qrf"));
}

TEST_F(ReportRun, WhatAModelImportLeavesOutJoinsTheReportAndStrictExit)
{
    // One texture of a kind the host's material does not take, in each of three materials.
    std::ofstream(dir / "kinds.mtl") << "newmtl N\nnorm n.png\nnewmtl S\nmap_Ks s.png\nnewmtl E\nmap_Ke e.png\n";
    std::ofstream(dir / "kinds.obj") << "mtllib kinds.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\n"
                                        "usemtl N\nf 1 2 3\nusemtl S\nf 1 3 2\nusemtl E\nf 2 1 3\n";
    const json kinds = exportReport((dir / "kinds.obj").string(), {"--strict"}, 6);
    std::string details;
    for (const json& item : kinds["left_out"]["texture_kind"]["items"])
        details += item.value("detail", "") + ";";
    EXPECT_EQ(details, "not carried over: Normals textures;not carried over: Specular textures;"
                       "not carried over: Emissive textures;");

    // Packaged models: each import note becomes an item of its reason, counted in the total.
    const fs::path corpus = MODEL_CORPUS;
    if (!fs::is_directory(corpus))
        GTEST_SKIP() << "no packaged models in " << corpus;
    const struct {
        const char* model;
        const char* reason;
    } cases[] = {
        {"FBX/huesitos.fbx", "bones_and_skins"},
        {"STL/triangle_with_empty_solid.stl", "empty_mesh"},
        {"Collada/lights.dae", "light_direction_lost"},
    };
    for (const auto& c : cases) {
        const json report = exportReport((corpus / c.model).string(), {"--strict"}, 6);
        ASSERT_TRUE(report.is_object()) << c.model;
        const json& entry = report["left_out"][c.reason];
        ASSERT_TRUE(entry.is_object()) << c.model << " has no " << c.reason;
        EXPECT_GE(entry.value("total", 0), 1) << c.model;
        EXPECT_EQ(entry["items"][0].value("path", ""), fs::path(c.model).filename().string()) << c.model;
        uint64_t sum = 0;
        for (const auto& [reason, e] : report["left_out"].items())
            sum += e.value("total", uint64_t{0});
        EXPECT_EQ(report.value("left_out_total", uint64_t{0}), sum) << c.model;
    }
}

TEST_F(ReportRun, ProgressLineOnlyWhenForcedOrOnATerminal)
{
    const std::string document = kExamples + "/hierarchy.json";
    struct Case {
        const char* what;
        bool forced;
        bool terminal;
        bool line;
    };
    const Case cases[] = {
        {"piped", false, false, false},
        {"piped, forced", true, false, true},
        {"on a terminal", false, true, true},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{document, "--export", (dir / "p.qrf").string()};
        if (c.forced)
            args.push_back("--progress");
        const ToolRun run = c4dsim(args, dir, {}, c.terminal);
        EXPECT_EQ(run.status, 0) << c.what;
        EXPECT_EQ(run.err.find("100% ") != std::string::npos, c.line) << c.what << "\n" << run.err;
        EXPECT_EQ(run.err.find('\r') != std::string::npos, c.line || c.terminal) << c.what;
        // The console lines of the report are there in every case, the progress line erased
        // before them.
        const size_t head = run.err.find("export \"hierarchy\" to ");
        ASSERT_NE(head, std::string::npos) << c.what << "\n" << run.err;
        EXPECT_TRUE(head == 0 || run.err[head - 1] == '\r') << c.what << "\n" << run.err;
        EXPECT_NE(run.err.find("World/Backstage: layer \"Hidden\""), std::string::npos) << c.what;
    }
}

// The scene written through the Export command (with its counting) against the scene of a
// run without the counter; and a relative texture name, which is found in the
// document's folder whatever the working folder.
TEST_F(ReportRun, ScenesAreTheSameWithOrWithoutReportAndFromAnyWorkingFolder)
{
    for (const std::string& document : {kOmissions, kExamples + "/left_out.json", kExamples + "/hair.json"}) {
        std::string error;
        const std::unique_ptr<sim::Document> doc = sim::loadDocument(document, error);
        ASSERT_TRUE(doc) << error;
        const fs::path reported = dir / "reported.qrf";
        const fs::path plain = dir / "plain.qrf";
        host::bind(sim::hostTable());
        {
            TranslationContext context;
            ASSERT_TRUE(exportDocumentTo(context, host::Document(sim::handle(doc.get())), reported.string()));
            EXPECT_GT(context.report.leftOutTotal() + context.report.written().objects, 0u);
        }
        {
            TranslationContext context;
            CommandRun run(context, "export", host::Document(sim::handle(doc.get())));
            run.leaveCounterOut();
            orv::LightFileFactory factory(plain.string());
            ASSERT_TRUE(run.write(factory));
            factory.close();
        }
        host::unbind();
        EXPECT_EQ(readFile(reported), readFile(plain)) << document;
    }

    // A tree deeper than the walk descends, which no document file can hold: the report
    // names the object where the walk stopped.
    {
        sim::Document deep;
        auto top = std::make_unique<sim::Object>();
        sim::Object* level = top.get();
        for (int i = 0; i < 1001; ++i) {
            level->type = 5140;
            level->name = "L";
            level->children.push_back(std::make_unique<sim::Object>());
            level = level->children.back().get();
        }
        deep.objects.push_back(std::move(top));
        sim::finalize(deep);
        host::bind(sim::hostTable());
        TranslationContext context;
        EXPECT_TRUE(exportDocumentTo(context, host::Document(sim::handle(&deep)), (dir / "deep.qrf").string()));
        host::unbind();
        const auto& entry = context.report.entry(report::Reason::NestedTooDeeply);
        ASSERT_EQ(entry.items.size(), 1u);
        EXPECT_EQ(entry.items[0].path.size(), 1000u * 2 - 1); // "L/L/.../L", 1000 levels
    }

    const fs::path elsewhere = dir / "elsewhere";
    fs::create_directories(elsewhere);
    const std::string document = kExamples + "/left_out.json";
    ASSERT_EQ(c4dsim({document, "--export", (dir / "from-examples.qrf").string()}, kExamples).status, 0);
    ASSERT_EQ(c4dsim({document, "--export", (dir / "from-elsewhere.qrf").string()}, elsewhere).status, 0);
    const std::string scene = readFile(dir / "from-examples.qrf");
    EXPECT_EQ(scene, readFile(dir / "from-elsewhere.qrf"));
    EXPECT_NE(scene.find(kExamples + "/tex/wood.png"), std::string::npos);
}

// The report's seconds are the time the command's run took, to the millisecond: a run held
// for a little more than a second says so, with three decimals.
TEST(Report, SecondsAreTheRunsTimeToTheMillisecond)
{
    using Clock = std::chrono::steady_clock;
    sim::Document doc;
    sim::finalize(doc);
    sim::clearHostState();
    host::bind(sim::hostTable());
    TranslationContext context;
    std::chrono::duration<double> held{};
    const auto before = Clock::now();
    {
        CommandRun run(context, "export", host::Document(sim::handle(&doc)));
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(1050));
        held = Clock::now() - start;
    }
    const std::chrono::duration<double> whole = Clock::now() - before;
    host::unbind();
    const std::string text = sim::commandReport();
    const json report = json::parse(text, nullptr, false);
    ASSERT_TRUE(report["written"]["seconds"].is_number()) << text;
    const double seconds = report["written"]["seconds"];
    EXPECT_GE(seconds, held.count() - 0.0005) << text;
    EXPECT_LE(seconds, whole.count() + 0.0005) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("\"seconds\": ?[0-9]+\\.[0-9]{3}\\}"))) << text;
}

// The collector alone: merging, the list bound, and names that are not UTF-8.
TEST(Report, MergesRepeatsBoundsItsListsAndShowsAnyNameSafely)
{
    report::Report r;
    r.begin("export");
    for (int i = 0; i < 3; ++i)
        r.leftOut(report::Reason::PolygonsDropped, "World/Mesh", "point index outside", 10);
    for (int i = 0; i < 1000000; ++i)
        r.leftOut(report::Reason::TextureNotFound, "material \"M" + std::to_string(i) + "\"", "gone.png");
    r.leftOut(report::Reason::NameCut, "bad \xff\xfe name \xc3", "\xe2\x82 \xed\xa0\x80 \xed\xbf\xbf", 1);
    r.leftOut(report::Reason::NameCut, "control \x01 \"quoted\"", "", 1);

    const std::string text = r.json();
    EXPECT_LT(text.size(), 200000u);
    const json report = json::parse(text, nullptr, false);
    ASSERT_FALSE(report.is_discarded());
    const json& dropped = report["left_out"]["polygons_dropped"];
    EXPECT_EQ(dropped["total"], 30);
    ASSERT_EQ(dropped["items"].size(), 1u);
    EXPECT_EQ(dropped["items"][0]["count"], 30);
    const json& textures = report["left_out"]["texture_not_found"];
    EXPECT_EQ(textures["total"], 1000000);
    EXPECT_EQ(textures["items"].size(), report::kMaxItems);
    EXPECT_EQ(textures["unlisted"], 1000000 - report::kMaxItems);
    const json& names = report["left_out"]["name_cut"]["items"];
    EXPECT_EQ(names[0]["path"], "bad \xef\xbf\xbd\xef\xbf\xbd name \xef\xbf\xbd");
    // Encoded surrogates (ED A0..BF xx) are no characters: each of their bytes is replaced.
    const std::string bad = "\xef\xbf\xbd", badThree = bad + bad + bad;
    EXPECT_EQ(names[0]["detail"], bad + bad + " " + badThree + " " + badThree);
    EXPECT_EQ(names[1]["path"], "control \x01 \"quoted\"");
    EXPECT_EQ(report["left_out_total"], 1000032);

    const std::vector<std::string> lines = r.lines();
    EXPECT_LT(lines.size(), 1100u);
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.find(" " + badThree + " " + badThree) != l.npos; }),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "    and 999000 more"), lines.end());

    // Published to a host, and to a host built before the console entries (a shorter table),
    // which the plug-in must not reach past.
    sim::clearHostState();
    c4d_host_table older = *sim::hostTable();
    older.size = C4D_HOST_TABLE_BASE_SIZE;
    for (const c4d_host_table* table : {sim::hostTable(), static_cast<const c4d_host_table*>(&older)}) {
        host::bind(table);
        r.publish();
        host::unbind();
    }
    EXPECT_EQ(sim::consoleLines(), lines);
    EXPECT_EQ(sim::commandReport(), text);
}

} // namespace
